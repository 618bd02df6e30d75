// Paths of settings files: cleaning, long forms, directories, mutex names.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sharedcode/hresult.h"
#include "sharedcode/ini/inipath.h"
#include "sharedcode/platform/process.h"

namespace {

constexpr HRESULT kHrBadPathname = static_cast<HRESULT>(0x800700A1u);
constexpr HRESULT kHrInvalidAddress = static_cast<HRESULT>(0x800701E7u);

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The Windows form of a POSIX path, as the engine keeps it.
std::wstring Windows(const std::string& posix) {
    std::wstring w = Wide(posix);
    for (wchar_t& c : w) {
        if (c == '/') c = '\\';
    }
    return w;
}

struct NormalizeCase {
    const char* szIn;
    const char* szOut;
};

TEST(IniPathNormalize, CleansNarrowAndWideTextAlike) {
    const NormalizeCase cases[] = {
        {"C:/Data//Mail\\\\Ini\\.\\app.ini. ", "C:\\Data\\Mail\\Ini\\app.ini"},
        {"C:\\a|b?c<d>e*f\"g", "C:\\a_b_c_d_e_f_g"},
        {"\\\\?\\C:\\a?b", "\\\\?\\C:\\a_b"},            // the prefix's '?' stays
        {"\\\\srv\\\\share\\\\\\x", "\\\\srv\\share\\x"},  // UNC opening kept, doubles collapse
        {"\\\\\\srv", "\\\\srv"},
        {"C:\\", "C:"},
        {"a\\.\\.\\.\\b", "a\\b"},
        {"C:\\dir \\ sub\\file", "C:\\dir\\sub\\file"},
        {"C:\\dir\\..\\\\.. \t", "C:\\dir"},  // trailing blanks, dots and backslashes go in turns
        {". . .", ""},
        {"plain.ini", "plain.ini"},
    };
    for (const NormalizeCase& c : cases) {
        std::vector<char> narrow(c.szIn, c.szIn + std::strlen(c.szIn) + 1);
        EXPECT_EQ(S_OK, SzNormalizePath(narrow.data(), static_cast<DWORD>(narrow.size()))) << c.szIn;
        EXPECT_STREQ(c.szOut, narrow.data()) << c.szIn;

        std::wstring wide = Wide(c.szIn);
        EXPECT_EQ(S_OK, WszNormalizePath(&wide[0], static_cast<DWORD>(wide.size() + 1))) << c.szIn;
        EXPECT_EQ(Wide(c.szOut), wide.c_str()) << c.szIn;
    }

    char sz[] = "x";
    EXPECT_EQ(E_POINTER, SzNormalizePath(nullptr, 10));
    EXPECT_EQ(E_INVALIDARG, SzNormalizePath(sz, 0));
    char szEmpty[] = "";
    EXPECT_EQ(kHrBadPathname, SzNormalizePath(szEmpty, 1));
    wchar_t wszEmpty[] = L"";
    EXPECT_EQ(kHrBadPathname, WszNormalizePath(wszEmpty, 1));
}

TEST(IniPathNormalize, StaysWithinTheRoomGiven) {
    // Room for 6 characters and the terminator; the rest is the caller's.
    char sz[] = "a\\\\b\\\\c\\\\d\0ZZZZ";
    EXPECT_EQ(S_OK, SzNormalizePath(sz, 7));
    EXPECT_STREQ("a\\b\\c", sz) << "cut to the room, then trimmed";
    EXPECT_EQ(0, std::memcmp(sz + 11, "ZZZZ", 4));
}

TEST(IniPathLong, LongFormsOfNarrowPaths) {
    const NormalizeCase cases[] = {
        {"C:\\a.ini", "\\\\?\\C:\\a.ini"},
        {"c:/x//y.ini", "\\\\?\\c:\\x\\y.ini"},
        {"\\\\srv\\share\\a.ini", "\\\\?\\UNC\\srv\\share\\a.ini"},
        {"\\\\?\\UNC\\srv\\share\\a.ini", "\\\\?\\UNC\\srv\\share\\a.ini"},
        {"\\\\?\\UNC\\srv\\\\share", "\\\\?\\UNC\\srv\\\\share"},  // taken as it stands
        {"\\\\?\\C:\\x\\\\y.ini", "\\\\?\\C:\\x\\y.ini"},
        {"a.ini", "a.ini"},
        {"dir//a?.ini", "dir//a?.ini"},  // relative paths are not cleaned
        {"\\etc\\x.ini", "\\etc\\x.ini"},
    };
    for (const NormalizeCase& c : cases) {
        TSz<wchar_t> out;
        EXPECT_EQ(S_OK, HrToLongPath(c.szIn, out)) << c.szIn;
        EXPECT_EQ(Wide(c.szOut), out.Get()) << c.szIn;
    }

    TSz<wchar_t> out(L"kept");
    EXPECT_EQ(E_INVALIDARG, HrToLongPath(nullptr, out));
    EXPECT_EQ(E_INVALIDARG, HrToLongPath("", out));
    EXPECT_STREQ(L"kept", out.Get());

    // ANSI is UTF-8 here: 'é' becomes one wide character.
    EXPECT_EQ(S_OK, HrToLongPath("C:\\\xC3\xA9.ini", out));
    EXPECT_STREQ(L"\\\\?\\C:\\\u00E9.ini", out.Get());
}

TEST(IniPathMutexName, Md5OfTheLowerCasedPathAsUtf16) {
    TSz<char> name;
    ASSERT_EQ(S_OK, FileMutexName(L"\\\\?\\C:\\Data\\App.ini", name));
    EXPECT_STREQ("9e8fbd90055c7df1f6e57715677e38ad", name.Get());

    // Appends; A-Z fold, other letters do not; characters beyond the BMP
    // count as surrogate pairs.
    TSz<char> more("x:");
    ASSERT_EQ(S_OK, FileMutexName(L"\\\\?\\unc\\sRV\\SHARE\\A.INI", more));
    EXPECT_STREQ("x:f345cebf481b48803cafd78e4c7c08a8", more.Get());
    TSz<char> accented;
    ASSERT_EQ(S_OK, FileMutexName(L"\\\\?\\C:\\\u00C9.ini", accented));
    EXPECT_STREQ("d7b8d729038915d4d6ee2e28566a1135", accented.Get());
    TSz<char> emoji;
    ASSERT_EQ(S_OK, FileMutexName(L"\\tmp\\x\\\U0001F600.ini", emoji));
    EXPECT_STREQ("00972a2b373488bb798d844ef89ed0c7", emoji.Get());
}

TEST(IniPathDriveLetters, WideTextKnowsMoreLetters) {
    EXPECT_TRUE(IsNarrowDriveLetter('z'));
    EXPECT_FALSE(IsNarrowDriveLetter('1'));
    EXPECT_FALSE(IsNarrowDriveLetter('\xC0'));
    EXPECT_TRUE(IsWideDriveLetter(0xC0));
    EXPECT_FALSE(IsWideDriveLetter(0xD7));
    EXPECT_TRUE(IsWideDriveLetter(0xDE));
    EXPECT_FALSE(IsWideDriveLetter(0xDF));
    EXPECT_FALSE(IsWideDriveLetter(0xF7));
    EXPECT_TRUE(IsWideDriveLetter(0x100));
    EXPECT_FALSE(IsWideDriveLetter('_'));
}

class IniPathFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vgini.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(tmpl));
        m_dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string m_dir;
};

TEST_F(IniPathFiles, FilesAndDirectoriesAreToldApart) {
    const std::string file = m_dir + "/a.ini";
    std::ofstream(file) << "x";
    EXPECT_TRUE(IsFilePath(Windows(file).c_str()));
    EXPECT_FALSE(IsFilePath(Windows(m_dir).c_str()));
    EXPECT_FALSE(IsFilePath(Windows(m_dir + "/missing").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), plat::GetLastError());
    EXPECT_FALSE(IsFilePath(Windows(m_dir + "/no/such").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), plat::GetLastError());
    EXPECT_FALSE(IsFilePath(L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), plat::GetLastError());
    EXPECT_FALSE(IsFilePath(nullptr));
    EXPECT_FALSE(IsFilePath(L"\\dev\\null")) << "a device is no file";

    EXPECT_TRUE(IsDirectoryPath(Windows(m_dir).c_str()));
    EXPECT_TRUE(IsDirectoryPath((Windows(m_dir) + L"\\\\").c_str()));
    EXPECT_TRUE(IsDirectoryPath(L"\\"));
    EXPECT_FALSE(IsDirectoryPath(Windows(file).c_str()));
    EXPECT_FALSE(IsDirectoryPath(Windows(m_dir + "/missing").c_str()));
    EXPECT_FALSE(IsDirectoryPath(nullptr));
    EXPECT_FALSE(IsDirectoryPath((Windows(m_dir) + L"\\" + std::wstring(1100, L'x')).c_str()));
}

TEST_F(IniPathFiles, CreatesEveryMissingDirectory) {
    const std::string deep = m_dir + "/a/b/c";
    EXPECT_EQ(S_OK, HrCreateDirectoryPath((Windows(deep) + L"\\").c_str()));
    struct stat st;
    ASSERT_EQ(0, ::stat(deep.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(S_OK, HrCreateDirectoryPath(Windows(deep).c_str())) << "existing";

    // A long drive path: creation starts below "\\?\C:\" (the drive is the
    // root of the file system here).
    const std::wstring longPath = L"\\\\?\\C:" + Windows(m_dir + "/d/e");
    EXPECT_EQ(S_OK, HrCreateDirectoryPath(longPath.c_str()));
    EXPECT_EQ(0, ::stat((m_dir + "/d/e").c_str(), &st));

    // A file in the way is reported as the system reports it.
    std::ofstream(m_dir + "/f") << "x";
    EXPECT_EQ(static_cast<HRESULT>(0x800700B7u), HrCreateDirectoryPath(Windows(m_dir + "/f/g").c_str()));
    EXPECT_EQ(static_cast<HRESULT>(0x800700B7u), HrCreateDirectoryPath(Windows(m_dir + "/f").c_str()));

    EXPECT_EQ(kHrInvalidAddress, HrCreateDirectoryPath(nullptr));
    EXPECT_EQ(VG_E_MISSINGARG, HrCreateDirectoryPath(L""));
    EXPECT_EQ(E_INVALIDARG, HrCreateDirectoryPath(L"\\\\nosuchsrv\\share"));
    EXPECT_EQ(E_INVALIDARG, HrCreateDirectoryPath(L"\\\\?\\UNC\\nosuchsrv\\share\\"));
    EXPECT_EQ(E_INVALIDARG, HrCreateDirectoryPath(L"\\\\nosuchsrv"));
}

TEST_F(IniPathFiles, RelativePathsStartInTheWorkingDirectory) {
    char szWas[4096];
    ASSERT_NE(nullptr, ::getcwd(szWas, sizeof(szWas)));
    ASSERT_EQ(0, ::chdir(m_dir.c_str()));
    const HRESULT hr = HrCreateDirectoryPath(L"r1\\r2");
    const bool fMade = IsDirectoryPath(L"r1\\r2");
    ASSERT_EQ(0, ::chdir(szWas));
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(fMade);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/r1/r2"));
}

}  // namespace
