// Paths of settings files: cleaning, long forms, directories, mutex names.
#include <gtest/gtest.h>

#include <cstring>

#include "sharedcode/platform/process.h"
#include "tests/test_ini_support.h"

namespace {

using namespace initest;

// Cleaning (narrow and wide alike) and the long form of the same text.
TEST(IniPath, CleansAndLengthens) {
    const struct {
        const char* szIn;
        const char* szClean;
        const char* szLong;
    } cases[] = {
        {"C:/Data//Mail\\\\Ini\\.\\app.ini. ", "C:\\Data\\Mail\\Ini\\app.ini", "\\\\?\\C:\\Data\\Mail\\Ini\\app.ini"},
        {"C:\\a|b?c<d>e*f\"g", "C:\\a_b_c_d_e_f_g", "\\\\?\\C:\\a_b_c_d_e_f_g"},
        {"\\\\?\\C:\\a?b", "\\\\?\\C:\\a_b", "\\\\?\\C:\\a_b"},  // the prefix's '?' stays
        {"\\\\srv\\\\share\\\\\\x", "\\\\srv\\share\\x", "\\\\?\\UNC\\srv\\share\\x"},
        {"\\\\?\\UNC\\srv\\\\share", "\\\\?\\UNC\\srv\\share", "\\\\?\\UNC\\srv\\\\share"},  // long: as it stands
        {"C:\\dir \\ sub\\f", "C:\\dir\\sub\\f", "\\\\?\\C:\\dir\\sub\\f"},
        {"C:\\dir\\..\\\\.. \t", "C:\\dir", "\\\\?\\C:\\dir"},  // trailing blanks, dots, backslashes in turns
        // Passes repeat until nothing is found; relative and rooted paths
        // have no long form and are not cleaned.
        {"a\\.\\.\\.\\b", "a\\b", "a\\.\\.\\.\\b"},
        {"dir//a?.ini", "dir\\a_.ini", "dir//a?.ini"},
        {"\\etc\\x.ini", "\\etc\\x.ini", "\\etc\\x.ini"},
        {". . .", "", ". . ."},
    };
    for (const auto& c : cases) {
        std::vector<char> narrow(c.szIn, c.szIn + std::strlen(c.szIn) + 1);
        EXPECT_EQ(S_OK, SzNormalizePath(narrow.data(), static_cast<DWORD>(narrow.size()))) << c.szIn;
        EXPECT_STREQ(c.szClean, narrow.data()) << c.szIn;
        std::wstring wide = Wide(c.szIn);
        EXPECT_EQ(S_OK, WszNormalizePath(&wide[0], static_cast<DWORD>(wide.size() + 1))) << c.szIn;
        EXPECT_EQ(Wide(c.szClean), wide.c_str()) << c.szIn;
        TSz<wchar_t> out;
        EXPECT_EQ(S_OK, HrToLongPath(c.szIn, out)) << c.szIn;
        EXPECT_EQ(Wide(c.szLong), out.Get()) << c.szIn;
    }
    TSz<wchar_t> out;
    EXPECT_EQ(E_INVALIDARG, HrToLongPath("", out));
    // A narrow path is in the ANSI code page (UTF-8 on POSIX).
#ifdef _WIN32
    const std::string e = AnsiText(L"\u00E9");
#else
    const std::string e = "\xC3\xA9";
#endif
    EXPECT_EQ(S_OK, HrToLongPath(("C:\\" + e + ".ini").c_str(), out));
    EXPECT_STREQ(L"\\\\?\\C:\\\u00E9.ini", out.Get());

    // Room for 6 characters and the terminator; the rest is the caller's.
    char sz[] = "a\\\\b\\\\c\\\\d\0ZZZZ";
    EXPECT_EQ(S_OK, SzNormalizePath(sz, 7));
    EXPECT_STREQ("a\\b\\c", sz) << "cut to the room, then trimmed";
    EXPECT_EQ(0, std::memcmp(sz + 11, "ZZZZ", 4));
    char szEmpty[] = "";
    EXPECT_EQ(static_cast<HRESULT>(0x800700A1u), SzNormalizePath(szEmpty, 1));
}

// MD5 of the path as UTF-16LE with A-Z folded (other letters are not;
// characters beyond the BMP count as surrogate pairs), appended as hex.
TEST(IniPath, MutexNameIsTheMd5OfTheLowerCasedPathAsUtf16) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"\\\\?\\C:\\Data\\App.ini", "x:9e8fbd90055c7df1f6e57715677e38ad"},
        {L"\\\\?\\unc\\sRV\\SHARE\\A.INI", "x:f345cebf481b48803cafd78e4c7c08a8"},
        {L"\\\\?\\C:\\\u00C9.ini", "x:d7b8d729038915d4d6ee2e28566a1135"},
        {L"\\tmp\\x\\\U0001F600.ini", "x:00972a2b373488bb798d844ef89ed0c7"},
    };
    for (const auto& c : cases) {
        TSz<char> name("x:");
        ASSERT_EQ(S_OK, FileMutexName(c.first, name));
        EXPECT_STREQ(c.second, name.Get());
    }
}

TEST(IniPath, WideDriveLettersIncludeLatin1AndBeyond) {
    const wchar_t letters[] = {0xC0, 0xDE, 0x100}, others[] = {L'_', 0xD7, 0xDF, 0xF7};
    for (const wchar_t c : letters) EXPECT_TRUE(IsWideDriveLetter(c)) << c;
    for (const wchar_t c : others) EXPECT_FALSE(IsWideDriveLetter(c)) << c;
}

using IniPathFiles = IniFiles;

TEST_F(IniPathFiles, FilesAndDirectoriesAreToldApart) {
    const std::string file = m_dir + "/a.ini";
    std::ofstream(file) << "x";
    EXPECT_TRUE(IsFilePath(Windows(file).c_str()));
#ifdef _WIN32
    EXPECT_FALSE(IsFilePath(L"\\\\.\\NUL")) << "a device is no file";
#else
    EXPECT_FALSE(IsFilePath(L"\\dev\\null")) << "a device is no file";
#endif
    EXPECT_FALSE(IsFilePath(Windows(m_dir + "/missing").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), plat::GetLastError());
    EXPECT_FALSE(IsFilePath(Windows(m_dir + "/no/such").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), plat::GetLastError());

    EXPECT_TRUE(IsDirectoryPath((Windows(m_dir) + L"\\\\").c_str()));
#ifdef _WIN32
    EXPECT_FALSE(IsDirectoryPath(L"\\")) << "FindFirstFileW finds no entry for a root";
#else
    EXPECT_TRUE(IsDirectoryPath(L"\\"));
#endif
    EXPECT_FALSE(IsDirectoryPath(Windows(file).c_str()));
    EXPECT_FALSE(IsDirectoryPath(Windows(m_dir + "/missing").c_str()));
    EXPECT_FALSE(IsDirectoryPath((Windows(m_dir) + L"\\" + std::wstring(1100, L'x')).c_str()));
}

TEST_F(IniPathFiles, CreatesEveryMissingDirectory) {
    EXPECT_EQ(S_OK, HrCreateDirectoryPath((Windows(m_dir + "/a/b/c") + L"\\").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/a/b/c"));
    EXPECT_EQ(S_OK, HrCreateDirectoryPath(Windows(m_dir + "/a/b/c").c_str())) << "existing";
    // A long drive path: creation starts below "\\?\C:\".
    EXPECT_EQ(S_OK, HrCreateDirectoryPath((L"\\\\?\\" + DrivePath(m_dir + "/d/e")).c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/d/e"));

    // A file in the way, on the way or at the end, fails as the system does.
    std::ofstream(m_dir + "/f") << "x";
    for (const char* sz : {"/f/g", "/f"})
        EXPECT_EQ(static_cast<HRESULT>(0x800700B7u), HrCreateDirectoryPath(Windows(m_dir + sz).c_str())) << sz;
    for (const wchar_t* wsz : {L"\\\\nosuchsrv", L"\\\\nosuchsrv\\share", L"\\\\?\\UNC\\nosuchsrv\\share\\"})
        EXPECT_EQ(E_INVALIDARG, HrCreateDirectoryPath(wsz)) << "nothing below the share";

    // Relative paths start in the working directory.
    const std::filesystem::path was = std::filesystem::current_path();
    std::filesystem::current_path(m_dir);
    const HRESULT hr = HrCreateDirectoryPath(L"r1\\r2");
    std::filesystem::current_path(was);
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/r1/r2"));
}

}  // namespace
