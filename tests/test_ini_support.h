// Shared by the INI engine's suites: a temporary folder per test, file
// helpers, and the file mutexes the tests make.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sharedcode/ini/inipath.h"
#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/file.h"
#include "sharedcode/platform/namedobj.h"
#include "tests/test_env.h"

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

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// The path with backslashes, as the engine's wide calls take it.
inline std::wstring Windows(const std::string& path) {
    std::wstring w = Wide(path);
    for (wchar_t& c : w) c = c == '/' ? '\\' : c;
    return w;
}

// The path with a drive letter. On POSIX a drive names the root of the file
// system; a Windows temporary folder has its drive already.
inline std::wstring DrivePath(const std::string& path) {
#ifdef _WIN32
    return Windows(path);
#else
    return L"C:" + Windows(path);
#endif
}

// The long form the engine keeps a narrow path in, and names its mutex after.
inline std::wstring LongPathOf(const std::string& path) {
    std::vector<char> sz(path.begin(), path.end());
    sz.push_back(0);
    TSz<wchar_t> out;
    if (HrFailed(SzNormalizePath(sz.data(), static_cast<DWORD>(sz.size()))) ||
        HrFailed(HrToLongPath(sz.data(), out)) || !out.Get())
        return std::wstring();
    return out.Get();
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// Last-write time in nanoseconds since 1970, as the system reports it (in
// steps of 100 ns); 0 for a missing file.
inline long long MTime(const std::string& path) {
    plat::FileAttributeData data;
    if (!plat::GetFileAttributesExW(Windows(path).c_str(), &data)) return 0;
    return static_cast<long long>(plat::FileTimeValue(data.ftLastWriteTime) - kUnixEpochAsFileTime) * 100;
}

// Sets the last-write time, in nanoseconds since 1970.
inline bool SetMTime(const std::string& path, long long ns) {
    plat::ScopedFile file(plat::CreateFileW(Windows(path).c_str(), plat::kFileGenericWrite,
                                            plat::kFileShareRead | plat::kFileShareWrite | plat::kFileShareDelete,
                                            plat::kOpenExisting, 0));
    const plat::FileTime ft = plat::MakeFileTime(kUnixEpochAsFileTime + static_cast<uint64_t>(ns / 100));
    return file.IsOpen() && plat::SetFileLastWriteTime(file.Get(), &ft);
}

// Writes as another program would, and makes sure the last-write time moves
// even within one tick of the file system's clock.
inline void WriteExternally(const std::string& path, const std::string& text) {
    const long long before = MTime(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    if (MTime(path) <= before) {
        EXPECT_TRUE(SetMTime(path, (before / 1000000000 + 1) * 1000000000));
    }
}

class IniFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = MakeTempFolder("vgini");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        for (const std::string& name : m_mutexNames) EndMutex(name);
        RemoveTempFolder(m_dir);
    }

    // A path in the test's folder, whose file mutex is looked after.
    std::string PathOf(const std::string& name) {
        Forget(LongPathOf(m_dir + "/" + name));
        return m_dir + "/" + name;
    }
    // Looks after the file mutex of the long path when the test ends.
    void Forget(const std::wstring& longPath) {
        TSz<char> name;
        ASSERT_EQ(S_OK, FileMutexName(longPath.c_str(), name));
        m_mutexNames.push_back(name.Get());
    }

    std::string m_dir;

private:
    // POSIX: the mutex and its owner record are shared-memory objects that
    // outlive their users; they go here. Windows: kernel objects that go
    // with their last handle, so by now the name must be free again (the
    // engine closed every handle it opened): a create that opens an
    // existing object tells otherwise.
    static void EndMutex(const std::string& name) {
#ifdef _WIN32
        const std::wstring wszName = L"Global\\" + Wide(name);
        plat::HANDLE h = plat::CreateMutexW(nullptr, wszName.c_str());
        EXPECT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), plat::GetLastError()) << "still open: " << name;
        if (h) plat::CloseHandle(h);
#else
        const std::string object = "/dev/shm/Global%5C" + name;
        std::error_code ec;
        for (const std::string& o : {object, object + ";!"}) std::filesystem::remove(o, ec);
#endif
    }

    std::vector<std::string> m_mutexNames;
};

}  // namespace initest
