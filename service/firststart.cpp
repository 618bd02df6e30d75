#include "service/firststart.h"

#include <filesystem>
#include <fstream>
#include <random>

#include "VGClient/vgtransport.h"
#include "service/store.h"
#include "sharedcode/peimage.h"
#include "sharedcode/platform/registry.h"

namespace vgsvc {
namespace {

// The product key of AppPath, above the configuration key.
constexpr char kProductKey[] = "SOFTWARE\\Corvanetic\\Postern";

std::string RegText(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string ReadRegText(const char* szKey, const char* szName) {
    plat::HKEY hKey = nullptr;
    if (plat::RegOpenKeyExA(plat::HkeyLocalMachine(), szKey, 0, plat::kKeyRead, &hKey) != ERROR_SUCCESS) return "";
    char sz[261] = {};
    DWORD cb = sizeof(sz) - 1;
    const LONG err = plat::RegQueryValueExA(hKey, szName, nullptr, nullptr, reinterpret_cast<BYTE*>(sz), &cb);
    plat::RegCloseKey(hKey);
    return err == ERROR_SUCCESS ? std::string(sz) : std::string();
}

// Writes a whole file or nothing: a temporary beside it, then a rename.
bool WriteWhole(const std::string& path, const std::string& bytes, std::string* pError) {
    const std::string tmp = path + ".new";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!f.flush()) {
            *pError = "cannot write " + tmp;
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) *pError = "cannot write " + path + ": " + ec.message();
    return !ec;
}

}  // namespace

bool PrepareFirstStart(Paths& paths, std::string* pError) {
    std::error_code ec;
    std::filesystem::create_directories(paths.stateDir, ec);
    if (ec) {
        *pError = "cannot make " + paths.stateDir + ": " + ec.message();
        return false;
    }
    paths.stateDir = std::filesystem::absolute(paths.stateDir).lexically_normal().string();
    if (paths.iniPath.empty()) paths.iniPath = ReadRegText(VG_CONFIGURATION_KEY, "IniPath");
    if (paths.iniPath.empty()) paths.iniPath = paths.stateDir + "/vigilon.ini";
    paths.iniPath = std::filesystem::absolute(paths.iniPath).lexically_normal().string();

    if (!std::filesystem::exists(paths.registry)) {
        const std::filesystem::path dir = std::filesystem::path(paths.registry).parent_path();
        if (!dir.empty()) std::filesystem::create_directories(dir, ec);
        const std::string text =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\" + std::string(kProductKey) + "]\r\n"
            "\"AppPath\"=\"" + RegText(paths.stateDir) + "\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\" VG_CONFIGURATION_KEY "]\r\n"
            "\"IniPath\"=\"" + RegText(paths.iniPath) + "\"\r\n"
            "\"CLSID\"=\"" + FormatItemId(NewItemId()) + "\"\r\n"
            "\"FailoverMode\"=dword:00000000\r\n";
        if (!WriteWhole(paths.registry, text, pError)) return false;
    }

    // The sealing key material: 64 random bytes as resource 1000 of type 2.
    std::string appPath = ReadRegText(kProductKey, "AppPath");
    if (appPath.empty()) appPath = paths.stateDir;
    const std::string dll = appPath + "/PNASRes.dll";
    if (!std::filesystem::exists(dll)) {
        peimage::PeLayout layout;
        std::random_device rd;
        layout.payload.resize(64);
        for (uint8_t& b : layout.payload) b = static_cast<uint8_t>(rd());
        const std::vector<uint8_t> image = peimage::BuildPe(layout);
        if (!WriteWhole(dll, std::string(image.begin(), image.end()), pError)) return false;
    }
    return true;
}

}  // namespace vgsvc
