// libFuzzer target: the PE resource reader on arbitrary bytes, loaded as a
// data file the way the library loads the mail server's resource library.
//
// Every byte of each resource found is read, so that AddressSanitizer sees
// any resource that reaches past the file's bytes. Beyond memory safety: a
// module that loads is found again by its name, a resource asked for twice is
// the same, and a failure says why with the codes the reader promises.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "sharedcode/platform/module.h"
#include "sharedcode/platform/process.h"

namespace {

void Check(bool f) {
    if (!f) std::abort();
}

// The key material of credential sealing, the message table, and one more.
const WORD kResources[][2] = {{1000, 2}, {1, 11}, {7, 3}};

std::string g_dir;

void RemoveFolder() {
    ::unlink((g_dir + "/PNASRes.dll").c_str());
    ::rmdir(g_dir.c_str());
}

// The file in a folder of its own, memory-backed where there is such a
// folder (a file is written per input), removed when the fuzzer ends.
std::string Path() {
    if (g_dir.empty()) {
        char shm[] = "/dev/shm/vgfuzzpe.XXXXXX", tmp[] = "/tmp/vgfuzzpe.XXXXXX";
        const char* dir = ::mkdtemp(shm);
        if (!dir) dir = ::mkdtemp(tmp);
        Check(dir != nullptr);
        g_dir = dir;
        std::atexit(RemoveFolder);
    }
    return g_dir + "/PNASRes.dll";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream f(Path(), std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    plat::HMODULE hModule = plat::LoadLibraryAsDataA(Path().c_str());
    if (!hModule) {
        Check(plat::GetLastError() == ERROR_BAD_EXE_FORMAT);
        return 0;
    }
    Check(plat::GetModuleHandleA("pnasres.DLL") == hModule);
    for (const auto& r : kResources) {
        plat::HRSRC hRes = plat::FindResourceA(hModule, r[0], r[1]);
        if (!hRes) {
            const DWORD dwError = plat::GetLastError();
            Check(dwError >= ERROR_RESOURCE_DATA_NOT_FOUND && dwError <= ERROR_RESOURCE_LANG_NOT_FOUND);
            continue;
        }
        Check(plat::FindResourceA(hModule, r[0], r[1]) == hRes);
        const DWORD cb = plat::SizeofResource(hModule, hRes);
        const auto* pb = static_cast<const volatile uint8_t*>(plat::LoadResourceBytes(hModule, hRes));
        Check(pb != nullptr || cb == 0);
        unsigned sum = 0;
        for (DWORD i = 0; i < cb; ++i) sum += pb[i];
        (void)sum;
    }
    Check(plat::FreeLibrary(hModule));
    Check(plat::GetModuleHandleA("PNASRes.dll") == nullptr && plat::GetLastError() == ERROR_MOD_NOT_FOUND);
    return 0;
}
