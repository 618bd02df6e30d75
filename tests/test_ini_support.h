// Shared by the INI engine's suites: a temporary folder per test, file
// helpers, and removal of the file mutexes the test created.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sharedcode/ini/inipath.h"
#include "sharedcode/ini/smartini.h"

// What the tests look at inside a CSmartIni.
class CSmartIniTestPeer {
public:
    explicit CSmartIniTestPeer(CSmartIni& ini) : m_ini(ini) {}
    const CSmartIni::CEntryCache& Cache() const { return m_ini.m_cache; }
    const char* PlainPath() const { return m_ini.m_szPlainPath.Get(); }
    plat::FileTime LastWriteTime() { return m_ini.LastWriteTime(); }
    CRVN::IPC::CNamedMutex& FileMutex() { return m_ini.m_mtxFile; }

private:
    CSmartIni& m_ini;
};

namespace initest {

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The form the engine keeps a POSIX path in.
inline std::wstring Windows(const std::string& posix) {
    std::wstring w = Wide(posix);
    for (wchar_t& c : w) c = c == '/' ? '\\' : c;
    return w;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Last-write time in nanoseconds since 1970; 0 for a missing file.
inline long long MTime(const std::string& path) {
    struct stat st = {};
    ::stat(path.c_str(), &st);
    return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

// Writes as another program would, and makes sure the last-write time moves
// even within one tick of the file system's clock.
inline void WriteExternally(const std::string& path, const std::string& text) {
    const long long before = MTime(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(before / 1000000000 + 1), 0}};
    if (MTime(path) <= before) ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class IniFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = "/tmp/vgini.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(&m_dir[0]));
    }
    void TearDown() override {
        for (const std::string& o : m_mutexObjects) ::unlink(o.c_str());
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // A path in the test's folder, whose mutex goes when the test ends.
    std::string PathOf(const std::string& name) {
        Forget(Windows(m_dir + "/" + name));
        return m_dir + "/" + name;
    }
    // Removes the shared-memory objects of the long path's file mutex when
    // the test ends.
    void Forget(const std::wstring& longPath) {
        TSz<char> name;
        FileMutexName(longPath.c_str(), name);
        const std::string base = std::string("/dev/shm/Global%5C") + name.Get();
        m_mutexObjects.insert(m_mutexObjects.end(), {base, base + ";!"});
    }

    std::string m_dir;
    std::vector<std::string> m_mutexObjects;
};

}  // namespace initest
