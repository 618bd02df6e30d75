// CSmartIni bound to files: opening, loading, saving, the value operations,
// transactions and the lock file, within one process.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "sharedcode/platform/faults_testhook.h"
#include "sharedcode/platform/file.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/process.h"
#include "tests/test_ini_support.h"

namespace {

using namespace initest;

constexpr HRESULT kHrTruncated = static_cast<HRESULT>(0x8007007Au);

using SmartIni = IniFiles;

std::string Get(CSmartIni& ini, const char* szSection, const char* szKey) {
    char sz[64] = "untouched";
    EXPECT_EQ(S_OK, ini.HrGetString(szSection, szKey, nullptr, sz, sizeof(sz))) << szSection << "/" << szKey;
    return sz;
}

TEST_F(SmartIni, MissingFileLoadsEmptyAndTheFirstChangeCreatesIt) {
    const std::string path = PathOf("a.ini"), made = PathOf("blocked/b.ini");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    // Deleted again, the next change writes back all that was loaded.
    std::filesystem::remove(path);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k2", "w"));
    EXPECT_EQ("\r\n[S]\r\nk=v\r\nk2=w\r\n", ReadAll(path));

    // Creation makes the directories (replacing a plain file in the way) and
    // an empty file, and leaves an existing file as it is.
    std::ofstream(m_dir + "/blocked") << "in the way";
    ASSERT_EQ(S_OK, ini.HrOpen(made.c_str(), true, false));
    EXPECT_EQ("\r\n", ReadAll(made));
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), true, false));
    EXPECT_EQ("\r\n[S]\r\nk=v\r\nk2=w\r\n", ReadAll(path));
}

TEST_F(SmartIni, PathFormsAndRefusedOpens) {
    CSmartIni ini;
    Forget(LongPathOf(m_dir));
    EXPECT_EQ(INI_E_ISDIRECTORY, ini.HrOpen(m_dir.c_str(), false, false));
    EXPECT_EQ(E_INVALIDARG, ini.HrOpen(L"rel.ini", false, false)) << "the wide form takes drive and UNC paths only";

    const std::string path = PathOf("w.ini");
    WriteExternally(path, "[S]\r\nk=wide\r\n");
    const std::wstring drive = DrivePath(path);
    Forget(L"\\\\?\\" + drive);
    ASSERT_EQ(S_OK, ini.HrOpen(drive.c_str(), false, false));
    EXPECT_EQ("wide", Get(ini, "S", "k"));
    Forget(L"\\\\?\\UNC\\nosuchsrv\\share\\x.ini");
    EXPECT_EQ(S_OK, ini.HrOpen(L"\\\\?\\UNC\\nosuchsrv\\\\share\\x.ini", false, false)) << "nothing there yet";
    EXPECT_STREQ("\\\\nosuchsrv\\share\\x.ini", CSmartIniTestPeer(ini).PlainPath());

    // An exclusive open within one process: refused until the first lets go.
    const std::string excl = PathOf("x.ini");
    CSmartIni second;
    ASSERT_EQ(S_OK, ini.HrOpen(excl.c_str(), true, true));
    EXPECT_EQ(INI_E_LOCKED, second.HrOpen(excl.c_str(), false, true));
    ini.HrOpen(excl.c_str(), false, false);
    EXPECT_EQ(S_OK, second.HrOpen(excl.c_str(), false, true));
}

TEST_F(SmartIni, GetStringAndGetBoolResults) {
    const std::string path = PathOf("g.ini");
    WriteExternally(path, "[S]\r\nk=0123456789\r\n[B]\r\ny=Yes\r\nt=TRUE\r\none=1\r\nn=no\r\nf=False\r\nzero=0\r\n"
                          "two=2\r\nlong=disabled!\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    char sz[8] = "xxxxxxx";
    EXPECT_EQ(kHrTruncated, ini.HrGetString("S", "k", nullptr, sz, sizeof(sz)));
    EXPECT_STREQ("0123456", sz);
    EXPECT_EQ(S_OK, ini.HrGetString("s", "K", "dflt", nullptr, 0)) << "presence";
    EXPECT_EQ(INI_E_NOTFOUND, ini.HrGetString("S", "missing", nullptr, nullptr, 0));
    EXPECT_EQ(INI_S_DEFAULTUSED, ini.HrGetString("S", "missing", "dflt", sz, sizeof(sz)));
    EXPECT_STREQ("dflt", sz);
    EXPECT_EQ(E_POINTER, ini.HrGetString("S", "missing", "dflt", nullptr, 0));
    EXPECT_EQ(INI_E_NOTFOUND, ini.HrGetString("S", "missing", sz, sz, sizeof(sz))) << "own default";
    EXPECT_STREQ("", sz);
    // A null name gives back the last result, an empty one is refused.
    ini.SetLastResult(0x0BADF00D);
    EXPECT_EQ(0x0BADF00D, ini.HrGetString(nullptr, "k", "d", sz, sizeof(sz)));
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrGetString("S", "", "d", sz, sizeof(sz)));

    // Booleans go by the first character.
    const struct { const char* szKey; BYTE fDefault; HRESULT hr; BYTE fResult; } cases[] = {
        {"y", 0, S_OK, 1}, {"t", 0, S_OK, 1}, {"one", 0, S_OK, 1}, {"n", 1, S_OK, 0}, {"f", 1, S_OK, 0},
        {"zero", 1, S_OK, 0}, {"two", 7, S_OK, 7}, {"long", 1, kHrTruncated, 1}, {"missing", 1, INI_S_DEFAULTUSED, 1},
        {"missing", 2, INI_S_DEFAULTUSED, 0},  // the default text is "n" unless the default is 1
    };
    for (const auto& c : cases) {
        BYTE f = 0xEE;
        EXPECT_EQ(c.hr, ini.HrGetBool("B", c.szKey, c.fDefault, &f)) << c.szKey;
        EXPECT_EQ(c.fResult, f) << c.szKey;
    }
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrGetBool("B", "y", 0, nullptr));
}

// Only real changes are written, and nothing while read-only; a changed
// object saves what it kept once writable again.
TEST_F(SmartIni, SavesWriteOnlyRealChanges) {
    const std::string path = PathOf("s.ini"), dotIni = PathOf(".inirc");
    CSmartIni ini, refused, unbound;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    const long long written = MTime(path);
    EXPECT_EQ(INI_S_UNCHANGED, ini.HrSetString("s", "K", "v"));
    EXPECT_EQ(INI_S_NOTPRESENT, ini.HrSetString("S", "other", nullptr));
    EXPECT_EQ(S_OK, ini.HrSave(false));
    ini.SetReadOnly(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "a", "1"));
    EXPECT_EQ(S_OK, ini.HrSave(true));
    EXPECT_EQ(written, MTime(path)) << "nothing written";
    ini.SetReadOnly(false);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", nullptr));
    EXPECT_EQ("\r\n[S]\r\na=1\r\n", ReadAll(path));
    EXPECT_EQ(S_OK, ini.HrDeleteKey("s", "A"));
    EXPECT_EQ("", ReadAll(path));

    ASSERT_EQ(S_OK, refused.HrOpen(dotIni.c_str(), false, false));
    EXPECT_EQ(INI_E_BADSAVEPATH, refused.HrSetString("S", "k", "v"));
    EXPECT_FALSE(Exists(dotIni));
    EXPECT_EQ(INI_E_BADSAVEPATH, unbound.HrSave(true));
}

// A save puts a new file in the old one's place: what a writer waiting for
// the old file's lock finds out before writing. Windows refuses the replace
// while a handle lacks delete sharing, and Wine while any handle is open
// (rename over an open file): the text is then written in place. Either way
// nothing is left beside the file.
TEST_F(SmartIni, SaveReplacesTheFileOrWritesInPlaceWhenRefused) {
    const std::string path = PathOf("p.ini");
    const std::wstring wpath = Windows(path);
    WriteExternally(path, "[S]\r\nk=old\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    for (const DWORD dwShare : {7u, 3u}) {
        plat::FileHandle hOld = plat::CreateFileW(wpath.c_str(), plat::kFileGenericRead, dwShare, plat::kOpenExisting, 0);
        EXPECT_TRUE(plat::IsFileAtPath(hOld, wpath.c_str()));
        const std::string value = "v" + std::to_string(dwShare);
        ASSERT_EQ(S_OK, ini.HrSetString("S", "k", value.c_str()));
        const bool fReplaceable = !kWindows || (dwShare == 7 && !plat::RunsUnderWine());
        EXPECT_EQ(!fReplaceable, plat::IsFileAtPath(hOld, wpath.c_str())) << "share " << dwShare;
        if (fReplaceable) {
            EXPECT_EQ(ERROR_FILE_INVALID, plat::GetLastError());
        }
        plat::CloseFile(hOld);
        EXPECT_EQ("\r\n[S]\r\nk=" + value + "\r\n", ReadAll(path));
        EXPECT_FALSE(Exists(path + ".tmp") || Exists(path + ".new")) << "share " << dwShare;
    }
}

// A writer stopped while it wrote in place left its whole text beside a file
// that may be torn: loads take that text, and the next save leaves one file.
TEST_F(SmartIni, RecoveryCopyStandsForATornFile) {
    const std::string path = PathOf("r.ini");
    WriteExternally(path, "[S]\r\nk=1\r\nxxxx=1\r\n");
    WriteExternally(path + ".new", "[S]\r\nk=1\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(1u, CSmartIniTestPeer(ini).Cache().Count());
    ASSERT_EQ(S_OK, ini.HrSetString("S", "k", "2"));
    EXPECT_EQ("\r\n[S]\r\nk=2\r\n", ReadAll(path));
    EXPECT_FALSE(Exists(path + ".new"));
}

// The new file keeps the old one's permissions; a settings file reached
// through a symbolic link is written in place, so that the link stays one.
TEST_F(SmartIni, SaveKeepsPermissionsAndSymbolicLinks) {
    VG_POSIX_ONLY("mode bits and symbolic links of the settings file");
    namespace fs = std::filesystem;
    const std::string path = PathOf("p.ini"), target = PathOf("target.ini"), link = PathOf("link.ini");
    WriteExternally(path, "[S]\r\nk=old\r\n");
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(path, mode);
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.HrSetString("S", "k", "new"));
    EXPECT_EQ(mode, fs::status(path).permissions());

    WriteExternally(target, "[S]\r\nk=old\r\n");
    fs::create_symlink(target, link);
    ASSERT_EQ(S_OK, ini.HrOpen(link.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.HrSetString("S", "k", "new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(std::string::npos, ReadAll(target).find("k=new"));
    EXPECT_FALSE(Exists(link + ".tmp") || Exists(link + ".new"));
}

TEST_F(SmartIni, DeleteOnCloseRemovesTheFileAtDestructionAndAtRebinding) {
    const std::string first = PathOf("d1.ini"), second = PathOf("d2.ini");
    auto ini = std::make_unique<CSmartIni>();
    ASSERT_EQ(S_OK, ini->HrOpen(first.c_str(), true, false));
    ini->SetDeleteOnClose(true);
    ASSERT_EQ(S_OK, ini->HrOpen(second.c_str(), true, false));
    EXPECT_FALSE(Exists(first));
    ini.reset();
    EXPECT_FALSE(Exists(second));
}

TEST_F(SmartIni, TransactionGathersChangesForOneSaveOrDiscardsThem) {
    const std::string path = PathOf("t.ini");
    WriteExternally(path, "[S]\r\nk=0\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ini.SetInTransaction(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "a", "1"));
    EXPECT_EQ(S_OK, ini.HrDeleteKey("S", "k"));
    EXPECT_EQ("[S]\r\nk=0\r\n", ReadAll(path));
    EXPECT_EQ("1", Get(ini, "S", "a"));
    ini.SetInTransaction(false);
    EXPECT_EQ(S_OK, ini.HrSave(false));
    EXPECT_EQ("\r\n[S]\r\na=1\r\n", ReadAll(path));

    // Closing drops the journal and its changes; the detached object never
    // touches the file.
    ini.SetInTransaction(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "c", "3"));
    ini.Close();
    EXPECT_EQ(INI_E_NOTBOUND, ini.HrSetString("S", "k", "2"));
    EXPECT_EQ("\r\n[S]\r\na=1\r\n", ReadAll(path));

    // Abandoning reloads, and gives back one hold of the file mutex that the
    // caller took across the transaction.
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_TRUE(CSmartIniTestPeer(ini).FileMutex().Lock());
    ini.SetInTransaction(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "d", "4"));
    EXPECT_EQ(S_OK, ini.AbandonTransaction());
    EXPECT_EQ(0, CSmartIniTestPeer(ini).FileMutex().HoldCount());
    EXPECT_EQ(INI_E_NOTFOUND, ini.HrGetString("S", "d", nullptr, nullptr, 0));
}

// Faster than the file system's clock ticks: each save must still be told
// apart by its last-write time, which every save moves past the one it
// replaced (even past a time set ahead).
TEST_F(SmartIni, ChangesOfAnotherObjectAreSeenAtOnce) {
    const std::string path = PathOf("shared.ini");
    WriteExternally(path, "[S]\r\nk=1\r\n");
    const long long ahead = MTime(path) + 3600000000000LL;
    ASSERT_TRUE(SetMTime(path, ahead));
    CSmartIni writer, reader;
    ASSERT_EQ(S_OK, writer.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, reader.HrOpen(path.c_str(), false, false));
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(S_OK, writer.HrSetString("S", std::to_string(i).c_str(), "w"));
        ASSERT_EQ("w", Get(reader, "S", std::to_string(i).c_str())) << i;
    }
    EXPECT_GT(MTime(path), ahead);
    EXPECT_EQ(plat::FileTimeValue(CSmartIniTestPeer(writer).LastWriteTime()), kUnixEpochAsFileTime + MTime(path) / 100);
}

TEST_F(SmartIni, ReloadIntervalHoldsBackReadsButNotChanges) {
    const std::string path = PathOf("i.ini");
    WriteExternally(path, "[S]\r\nk=old\r\n");
    CSmartIni ini;
    ini.SetReloadInterval(1);
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    WriteExternally(path, "[S]\r\nk=new\r\n");
    EXPECT_EQ("old", Get(ini, "S", "k"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ("new", Get(ini, "S", "k"));

    // A change reads the file first, whatever the interval.
    WriteExternally(path, "[S]\r\nk=new\r\next=1\r\n");
    EXPECT_EQ(S_OK, ini.HrSetString("S", "mine", "2"));
    EXPECT_EQ("\r\n[S]\r\next=1\r\nk=new\r\nmine=2\r\n", ReadAll(path));
}

TEST_F(SmartIni, SaveThatCannotBuildItsTextKeepsTheChangeAndReleasesItsLocks) {
    const std::string path = PathOf("m.ini");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.CacheStore("S", "k", "v"));
    plat::testing::FailProcessHeapAllocs(1);
    EXPECT_EQ(TSZ_E_OUTOFMEMORY, ini.HrSave(false));
    plat::testing::FailProcessHeapAllocs(0);
    EXPECT_EQ(S_OK, std::async(std::launch::async, [&ini] { return ini.CacheLookup("S", "k", nullptr, 0); }).get());
    EXPECT_EQ(S_OK, ini.HrSave(false));
    EXPECT_EQ("\r\n[S]\r\nk=v\r\n", ReadAll(path));
}

}  // namespace
