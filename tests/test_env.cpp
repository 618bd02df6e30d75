#include "tests/test_env.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sharedcode/platform/process.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#else
#include <stdlib.h>
#include <unistd.h>
#endif

#ifdef _WIN32
namespace {

// The keys a test may write lie under these; each test starts without them.
// Test programs share the machine's registry, so they run one at a time.
const char* const kTestKeys[] = {"SOFTWARE\\Corvanetic", "SOFTWARE\\Test", "SOFTWARE\\A", "SOFTWARE\\C", "K"};

void DeleteTestKeys() {
    for (const char* key : kTestKeys) ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
}

// The value text of a .reg line after '=': "text", dword:X or hex:aa,bb.
bool SetRegValue(HKEY key, const std::string& name, const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        std::string value;
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] == '\\' && i + 2 < text.size()) ++i;
            value += text[i];
        }
        return ::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    }
    if (text.rfind("dword:", 0) == 0) {
        const DWORD value = static_cast<DWORD>(std::strtoul(text.c_str() + 6, nullptr, 16));
        return ::RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) ==
               ERROR_SUCCESS;
    }
    if (text.rfind("hex:", 0) == 0) {
        std::string bytes;
        for (const char* p = text.c_str() + 4; *p;) {
            char* end;
            bytes += static_cast<char>(std::strtoul(p, &end, 16));
            if (end == p) break;
            p = *end == ',' ? end + 1 : end;
        }
        return ::RegSetValueExA(key, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
    }
    return false;
}

}  // namespace

void VgTestEnv::SetUp() {
    m_dir = MakeTempFolder("vgtest");
    ASSERT_FALSE(m_dir.empty());
    m_pipeDir = m_dir + "/pipes";
    ASSERT_TRUE(::CreateDirectoryA(m_pipeDir.c_str(), nullptr));
    DeleteTestKeys();
}

void VgTestEnv::TearDown() {
    DeleteTestKeys();
    RemoveTempFolder(m_dir);
}

void VgTestEnv::WriteRegistry(const std::string& body) {
    DeleteTestKeys();
    HKEY key = nullptr;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string root = "[HKEY_LOCAL_MACHINE\\";
        if (line.rfind(root, 0) == 0 && line.back() == ']') {
            if (key) ::RegCloseKey(key);
            key = nullptr;
            const std::string subKey = line.substr(root.size(), line.size() - root.size() - 1);
            ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0,
                                                       KEY_ALL_ACCESS, nullptr, &key, nullptr));
            continue;
        }
        const size_t eq = line.find("\"=");
        if (key && line.size() > 1 && line[0] == '"' && eq != std::string::npos) {
            EXPECT_TRUE(SetRegValue(key, line.substr(1, eq - 1), line.substr(eq + 2))) << line;
        }
    }
    if (key) ::RegCloseKey(key);
}

#else

void VgTestEnv::SetUp() {
    m_dir = MakeTempFolder("vgtest");
    ASSERT_FALSE(m_dir.empty());
    m_pipeDir = m_dir + "/pipes";
    m_registry = m_dir + "/registry.reg";
    std::filesystem::create_directory(m_pipeDir);
    ::setenv("VIGILON_PIPE_DIR", m_pipeDir.c_str(), 1);
    ::setenv("VIGILON_REGISTRY", m_registry.c_str(), 1);
}

void VgTestEnv::TearDown() { RemoveTempFolder(m_dir); }

void VgTestEnv::WriteRegistry(const std::string& body) {
    // Write a new file and rename it, so that a reader sees a new inode even
    // within one time-stamp tick.
    std::string tmp = m_registry + ".new";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
    }
    std::filesystem::rename(tmp, m_registry);
}

#endif

// Forward slashes: the tests append "/name" and put the folder in .reg text,
// where a backslash would need escaping; Win32 takes both. Process ids come
// back soon under Wine, and a folder a crashed test left behind stays: the
// first name not taken.
std::string MakeTempFolder(const char* szPrefix) {
    static std::atomic<unsigned> s_serial{0};
    std::error_code ec;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    while (!ec) {
        const std::string dir = (temp / (std::string(szPrefix) + "." + std::to_string(plat::GetCurrentProcessId()) +
                                         "." + std::to_string(s_serial++)))
                                    .generic_string();
        if (std::filesystem::create_directory(dir, ec)) return dir;
    }
    return std::string();
}

void RemoveTempFolder(const std::string& dir) {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

void VgTestEnv::WriteConfiguration(const std::string& valueLines) {
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern\\Vigilon\\Configuration]\r\n" + valueLines);
}

plat::HMODULE LoadModule(const std::string& path) {
#ifdef _WIN32
    return reinterpret_cast<plat::HMODULE>(::LoadLibraryA(path.c_str()));
#else
    return plat::LoadLibraryAsDataA(path.c_str());
#endif
}

const void* SystemLibraryAddress() {
#ifdef _WIN32
    return reinterpret_cast<const void*>(&::GetTickCount);
#else
    return reinterpret_cast<const void*>(&::getpid);
#endif
}

std::string ProgramFileName() {
    char sz[4096] = {};
#ifdef _WIN32
    const DWORD cch = ::GetModuleFileNameA(nullptr, sz, sizeof(sz) - 1);
    const std::string path(sz, cch < sizeof(sz) ? cch : 0);
    return path.substr(path.find_last_of("\\/") + 1);
#else
    const ssize_t cch = ::readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    const std::string path(sz, cch > 0 ? static_cast<size_t>(cch) : 0);
    return path.substr(path.rfind('/') + 1);
#endif
}

#ifdef _WIN32
std::string AnsiText(const wchar_t* wsz) {
    char buf[512];
    const int cb = ::WideCharToMultiByte(CP_ACP, 0, wsz, -1, buf, sizeof(buf), nullptr, nullptr);
    return cb > 0 ? std::string(buf, cb - 1) : std::string();
}
#endif

std::string SystemText(DWORD code) {
#ifdef _WIN32
    char buf[512];
    DWORD cch = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                                 sizeof(buf), nullptr);
    while (cch > 0 && (buf[cch - 1] == '\n' || buf[cch - 1] == '\r')) --cch;
    return std::string(buf, cch);
#else
    switch (code) {
        case 2: return "The system cannot find the file specified.";
        case 5: return "Access is denied.";
        case 126: return "The specified module could not be found.";
        default: return "";
    }
#endif
}
