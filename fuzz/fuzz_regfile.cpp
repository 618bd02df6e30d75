// libFuzzer target: the registry file parser on arbitrary bytes, reached the
// way every caller reaches it, through the file named by VIGILON_REGISTRY.
//
// Inputs go to two file names in turn, so that each one is parsed afresh
// instead of being served from the parse kept of the one before. Beyond
// memory safety it checks the query contract on the values the library
// reads: the size answered without a buffer is what a buffer of that size
// receives, one byte less answers ERROR_MORE_DATA with that size and copies
// nothing, and a closed key leaks nothing.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sharedcode/platform/registry.h"

namespace {

void Check(bool f) {
    if (!f) std::abort();
}

const char* const kKeys[] = {
    "SOFTWARE\\Corvanetic\\Postern\\Vigilon\\Configuration",
    "SOFTWARE\\Corvanetic\\Postern",
    "software\\corvanetic",
};
const char* const kValues[] = {"Server", "FailoverMode", "ReplyTimeout", "IniPath", "CLSID", "AppPath", ""};

const char* const kFileNames[] = {"a.reg", "b.reg"};
std::string g_dir;

void RemoveFolder() {
    for (const char* szName : kFileNames) ::unlink((g_dir + "/" + szName).c_str());
    ::rmdir(g_dir.c_str());
}

// A folder of its own, memory-backed where there is such a folder (a file is
// written per input), removed when the fuzzer ends.
const std::string& Folder() {
    if (g_dir.empty()) {
        char shm[] = "/dev/shm/vgfuzzreg.XXXXXX", tmp[] = "/tmp/vgfuzzreg.XXXXXX";
        const char* dir = ::mkdtemp(shm);
        if (!dir) dir = ::mkdtemp(tmp);
        Check(dir != nullptr);
        g_dir = dir;
        std::atexit(RemoveFolder);
    }
    return g_dir;
}

void CheckValue(plat::HKEY hKey, const char* szName) {
    DWORD dwType = 0, cb = 0;
    const LONG rc = plat::RegQueryValueExA(hKey, szName, nullptr, &dwType, nullptr, &cb);
    if (rc != ERROR_SUCCESS) {
        Check(rc == ERROR_FILE_NOT_FOUND);
        return;
    }
    std::vector<BYTE> data(cb + 1, 0xA5);
    DWORD dwType2 = 0, cbBuffer = cb;
    Check(plat::RegQueryValueExA(hKey, szName, nullptr, &dwType2, data.data(), &cbBuffer) == ERROR_SUCCESS);
    Check(cbBuffer == cb && dwType2 == dwType && data[cb] == 0xA5);
    if (cb == 0) return;
    std::vector<BYTE> small(cb, 0xA5);
    DWORD cbSmall = cb - 1;
    Check(plat::RegQueryValueExA(hKey, szName, nullptr, nullptr, small.data(), &cbSmall) == ERROR_MORE_DATA);
    Check(cbSmall == cb && small[0] == 0xA5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static unsigned s_cInputs = 0;
    const std::string path = Folder() + "/" + kFileNames[++s_cInputs % 2];
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    ::setenv("VIGILON_REGISTRY", path.c_str(), 1);

    for (const char* szKey : kKeys) {
        plat::HKEY hKey = nullptr;
        const LONG rc = plat::RegOpenKeyExA(plat::HkeyLocalMachine(), szKey, 0, plat::kKeyRead, &hKey);
        if (rc != ERROR_SUCCESS) {
            Check(hKey == nullptr && (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_BADDB));
            continue;
        }
        for (const char* szName : kValues) CheckValue(hKey, szName);
        Check(plat::RegCloseKey(hKey) == ERROR_SUCCESS);
    }
    return 0;
}
