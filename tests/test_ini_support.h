// Shared by the INI engine's suites: a temporary folder per test, file
// helpers, and removal of the file mutexes the test created.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sharedcode/ini/inipath.h"
#include "sharedcode/ini/smartini.h"

namespace initest {

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The form the engine keeps a POSIX path in.
inline std::wstring Windows(const std::string& posix) {
    std::wstring w = Wide(posix);
    for (wchar_t& c : w) {
        if (c == '/') c = '\\';
    }
    return w;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

inline struct timespec MTime(const std::string& path) {
    struct stat st = {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

inline bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Writes as another program would, and makes sure the last-write time moves
// even within one tick of the file system's clock.
inline void WriteExternally(const std::string& path, const std::string& text) {
    const struct timespec before = MTime(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    struct timespec after = MTime(path);
    if (after.tv_sec < before.tv_sec || (after.tv_sec == before.tv_sec && after.tv_nsec <= before.tv_nsec)) {
        after = before;
        after.tv_nsec += 1000;
        if (after.tv_nsec >= 1000000000) {
            after.tv_nsec -= 1000000000;
            ++after.tv_sec;
        }
        const struct timespec times[2] = {{0, UTIME_OMIT}, after};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
}

// The shared-memory objects behind the file mutex of a path.
inline std::vector<std::string> MutexObjects(const std::wstring& longPath) {
    TSz<char> name;
    FileMutexName(longPath.c_str(), name);
    const std::string base = std::string("/dev/shm/Global%5C") + name.Get();
    return {base, base + ";!"};
}

class IniFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vgini.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(tmpl));
        m_dir = tmpl;
    }
    void TearDown() override {
        for (const std::wstring& p : m_longPaths) {
            for (const std::string& o : MutexObjects(p)) ::unlink(o.c_str());
        }
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // A path in the test's folder, whose mutex goes when the test ends.
    std::string PathOf(const std::string& name) {
        std::string p = m_dir + "/" + name;
        Forget(Windows(p));
        return p;
    }
    void Forget(const std::wstring& longPath) { m_longPaths.push_back(longPath); }

    std::string m_dir;
    std::vector<std::wstring> m_longPaths;
};

}  // namespace initest
