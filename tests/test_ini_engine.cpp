// CSmartIni bound to files: opening, loading, saving, the value operations,
// transactions and the lock file, within one process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/heap.h"
#include "tests/test_ini_support.h"

namespace {

using namespace initest;

constexpr HRESULT kHrTruncated = static_cast<HRESULT>(0x8007007Au);

using SmartIni = IniFiles;

std::string Get(CSmartIni& ini, const char* szSection, const char* szKey, HRESULT hrExpected = S_OK) {
    char sz[64] = "untouched";
    EXPECT_EQ(hrExpected, ini.HrGetString(szSection, szKey, nullptr, sz, sizeof(sz))) << szSection << "/" << szKey;
    return sz;
}

TEST_F(SmartIni, MissingFileLoadsEmptyAndTheFirstChangeCreatesIt) {
    const std::string path = PathOf("a.ini");
    CSmartIni ini;
    EXPECT_EQ(VG_E_MISSINGARG, static_cast<HRESULT>(ini.LastResult())) << "the module's path is empty";
    EXPECT_FALSE(ini.IsBound());

    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(S_OK, static_cast<HRESULT>(ini.LastResult()));
    EXPECT_EQ(Windows(path), ini.Path());
    EXPECT_EQ(Windows(path + ".lck"), ini.LockPath());
    EXPECT_EQ(Windows(m_dir), ini.Directory());
    EXPECT_EQ(0u, ini.EntryCount());
    EXPECT_FALSE(Exists(path));

    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    EXPECT_EQ("\r\n[S]\r\nk=v\r\n", ReadAll(path));
    EXPECT_FALSE(ini.IsDirty());
}

TEST_F(SmartIni, CreateMakesTheDirectoriesAndAnEmptyFile) {
    const std::string path = PathOf("x/y/z.ini");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), true, false));
    EXPECT_EQ("\r\n", ReadAll(path));
    EXPECT_EQ(0u, ini.EntryCount());

    // A plain file where the directory belongs is replaced by it.
    const std::string blocked = PathOf("blocked/b.ini");
    std::ofstream(m_dir + "/blocked") << "in the way";
    CSmartIni other;
    ASSERT_EQ(S_OK, other.HrOpen(blocked.c_str(), true, false));
    EXPECT_EQ("\r\n", ReadAll(blocked));

    // An existing file is left as it is.
    WriteExternally(path, "[S]\r\nk=1\r\n");
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), true, false));
    EXPECT_EQ("1", Get(ini, "S", "k"));
    EXPECT_EQ("[S]\r\nk=1\r\n", ReadAll(path));
}

TEST_F(SmartIni, PathFormsAndTheirRefusals) {
    CSmartIni ini;
    Forget(Windows(m_dir));
    EXPECT_EQ(INI_E_ISDIRECTORY, ini.HrOpen(m_dir.c_str(), false, false));
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrOpen("", false, false));
    ini.SetLastResult(0x12345678);
    EXPECT_EQ(0x12345678, ini.HrOpen(static_cast<const char*>(nullptr), false, false));
    EXPECT_FALSE(ini.IsBound());

    // The wide overload takes drive and UNC forms only; a drive names the
    // root of the file system here.
    const std::string path = PathOf("w.ini");
    WriteExternally(path, "[S]\r\nk=wide\r\n");
    const std::wstring drive = L"C:" + Windows(path);
    Forget(L"\\\\?\\" + drive);
    ASSERT_EQ(S_OK, ini.HrOpen(drive.c_str(), false, false));
    EXPECT_EQ(L"\\\\?\\" + drive, ini.Path());
    EXPECT_EQ(drive, Wide(ini.PlainPath()));
    EXPECT_EQ("wide", Get(ini, "S", "k"));

    Forget(L"\\\\?\\UNC\\nosuchsrv\\share\\x.ini");
    EXPECT_EQ(S_OK, ini.HrOpen(L"\\\\?\\UNC\\nosuchsrv\\\\share\\x.ini", false, false)) << "nothing there yet";
    EXPECT_EQ(std::wstring(L"\\\\?\\UNC\\nosuchsrv\\share\\x.ini"), ini.Path());
    EXPECT_STREQ("\\\\nosuchsrv\\share\\x.ini", ini.PlainPath());

    EXPECT_EQ(E_INVALIDARG, ini.HrOpen(L"rel.ini", false, false));
    EXPECT_FALSE(ini.IsBound());
    EXPECT_EQ(E_INVALIDARG, ini.HrOpen(static_cast<const wchar_t*>(nullptr), false, false));
}

TEST_F(SmartIni, BareFileNameHasNoDirectoryToCreateOrDelete) {
    char szWas[4096];
    ASSERT_NE(nullptr, ::getcwd(szWas, sizeof(szWas)));
    ASSERT_EQ(0, ::chdir(m_dir.c_str()));
    Forget(L"rel.ini");
    HRESULT hrOpen, hrSet;
    std::wstring path, directory;
    {
        CSmartIni ini;
        hrOpen = ini.HrOpen("rel.ini", true, false);
        path = ini.Path();
        directory = ini.Directory();
        hrSet = ini.HrSetString("S", "k", "v");
    }
    ASSERT_EQ(0, ::chdir(szWas));
    EXPECT_EQ(S_OK, hrOpen);
    EXPECT_EQ(L"rel.ini", path);
    EXPECT_EQ(L"", directory);
    EXPECT_EQ(S_OK, hrSet);
    EXPECT_EQ("\r\n[S]\r\nk=v\r\n", ReadAll(m_dir + "/rel.ini"));
}

TEST_F(SmartIni, ConstructionBindsToTheModulePath) {
    const std::string path = PathOf("module.ini");
    WriteExternally(path, "[System]\r\nEnable=yes\r\n");
    char* szModule = CSmartIni::ModuleIniPath();
    std::strcpy(szModule, path.c_str());
    HRESULT hr;
    BYTE fEnable = 0;
    {
        CSmartIni ini;
        hr = static_cast<HRESULT>(ini.LastResult());
        // The service-control path: the cache lock held, no second look at
        // the disk.
        CSmartIni::CCacheLock lock(&ini);
        const bool fWas = ini.IsNoRefresh();
        ini.SetNoRefresh(true);
        ini.HrGetBool("System", "Enable", 0, &fEnable);
        ini.SetNoRefresh(fWas);
    }
    szModule[0] = 0;
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, fEnable);
}

TEST_F(SmartIni, GetStringResults) {
    const std::string path = PathOf("g.ini");
    WriteExternally(path, "[S]\r\nk=0123456789\r\n");
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
    // The buffer given as its own default: not found, and emptied.
    EXPECT_EQ(INI_E_NOTFOUND, ini.HrGetString("S", "missing", sz, sz, sizeof(sz)));
    EXPECT_STREQ("", sz);

    // Argument checks touch nothing.
    std::strcpy(sz, "same");
    ini.SetLastResult(0x0BADF00D);
    EXPECT_EQ(0x0BADF00D, ini.HrGetString(nullptr, "k", "d", sz, sizeof(sz)));
    EXPECT_EQ(0x0BADF00D, ini.HrGetString("S", nullptr, "d", sz, sizeof(sz)));
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrGetString("", "k", "d", sz, sizeof(sz)));
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrGetString("S", "", "d", sz, sizeof(sz)));
    EXPECT_STREQ("same", sz);

    // An unbound object fails its refresh; only in transaction mode, which
    // skips it, does it answer from defaults.
    CSmartIni unbound;
    EXPECT_EQ(INI_E_NOTBOUND, unbound.HrGetString("S", "k", "d", sz, sizeof(sz)));
    unbound.SetInTransaction(true);
    EXPECT_EQ(INI_E_NODEFAULTUNBOUND, unbound.HrGetString("S", "k", nullptr, sz, sizeof(sz)));
    EXPECT_EQ(INI_S_DEFAULTUSED, unbound.HrGetString("S", "k", "d", sz, sizeof(sz)));
    EXPECT_STREQ("d", sz);
    EXPECT_EQ(E_POINTER, unbound.HrGetString("S", "k", "d", nullptr, 0));
}

TEST_F(SmartIni, SetStringAndDeleteKeyWriteOnlyRealChanges) {
    const std::string path = PathOf("s.ini");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    const struct timespec written = MTime(path);

    EXPECT_EQ(INI_S_UNCHANGED, ini.HrSetString("s", "K", "v"));
    EXPECT_TRUE(SameTime(written, MTime(path)));
    EXPECT_EQ(INI_S_NOTPRESENT, ini.HrSetString("S", "other", nullptr));
    EXPECT_EQ(INI_S_NOTPRESENT, ini.HrDeleteKey("S", "other"));
    EXPECT_TRUE(SameTime(written, MTime(path)));

    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "V"));
    EXPECT_EQ("\r\n[S]\r\nk=V\r\n", ReadAll(path));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", nullptr));
    EXPECT_EQ("", ReadAll(path));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "a", "1"));
    EXPECT_EQ(S_OK, ini.HrDeleteKey("s", "A"));
    EXPECT_EQ("", ReadAll(path));

    ini.SetLastResult(0x0BADF00D);
    EXPECT_EQ(0x0BADF00D, ini.HrSetString(nullptr, "k", "v"));
    EXPECT_EQ(0x0BADF00D, ini.HrDeleteKey("S", nullptr));
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrSetString("S", "", "v"));
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrDeleteKey("", "k"));

    CSmartIni unbound;
    EXPECT_EQ(INI_E_NOTBOUND, unbound.HrSetString("S", "k", "v"));
    EXPECT_EQ(INI_E_NOTBOUND, unbound.HrDeleteKey("S", "k"));
}

TEST_F(SmartIni, GetBoolReadsTheFirstCharacter) {
    const std::string path = PathOf("b.ini");
    WriteExternally(path,
                    "[B]\r\nyes=Yes\r\ntrue=TRUE\r\none=1\r\nno=no\r\nfalse=False\r\nzero=0\r\n"
                    "two=2\r\nmaybe=maybe\r\nempty=\r\nlong=disabled!\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    struct Case {
        const char* szKey;
        BYTE fDefault;
        HRESULT hr;
        BYTE fResult;
    } cases[] = {
        {"yes", 0, S_OK, 1},   {"true", 0, S_OK, 1},       {"one", 0, S_OK, 1},
        {"no", 1, S_OK, 0},    {"false", 1, S_OK, 0},      {"zero", 1, S_OK, 0},
        {"two", 7, S_OK, 7},   {"maybe", 7, S_OK, 7},      {"empty", 7, S_OK, 7},
        {"long", 1, kHrTruncated, 1},
        {"missing", 1, INI_S_DEFAULTUSED, 1},
        {"missing", 2, INI_S_DEFAULTUSED, 0},  // the default text is "n" unless the default is 1
    };
    for (const Case& c : cases) {
        BYTE f = 0xEE;
        EXPECT_EQ(c.hr, ini.HrGetBool("B", c.szKey, c.fDefault, &f)) << c.szKey;
        EXPECT_EQ(c.fResult, f) << c.szKey;
        EXPECT_EQ(c.hr, static_cast<HRESULT>(ini.LastResult())) << c.szKey;
    }
    EXPECT_EQ(VG_E_MISSINGARG, ini.HrGetBool("B", "yes", 0, nullptr));
    EXPECT_EQ(S_OK, static_cast<HRESULT>(ini.LastResult()));

    CSmartIni unbound;
    BYTE f = 0;
    EXPECT_EQ(INI_E_NOTBOUND, unbound.HrGetBool("B", "yes", 1, &f));
    EXPECT_EQ(1, f);
    unbound.SetInTransaction(true);
    EXPECT_EQ(INI_S_DEFAULTUSED, unbound.HrGetBool("B", "yes", 0, &f));
    EXPECT_EQ(0, f);
}

TEST_F(SmartIni, SaveRules) {
    const std::string path = PathOf("r.ini");
    WriteExternally(path, "[S]\r\nk=1\r\n[S]\r\nk=2\r\n");
    const struct timespec original = MTime(path);
    {
        CSmartIni ini;
        ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
        EXPECT_TRUE(ini.IsDirty()) << "duplicates";
        ini.SetReadOnly(true);
        EXPECT_EQ(S_OK, ini.HrSave(true));
        EXPECT_EQ(S_OK, ini.HrSetString("S", "new", "x"));
        ini.SetReadOnly(false);
        // Destroyed dirty: nothing is written.
    }
    EXPECT_TRUE(SameTime(original, MTime(path)));

    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ini.SetDirty(false);
    EXPECT_EQ(S_OK, ini.HrSave(false));
    EXPECT_TRUE(SameTime(original, MTime(path))) << "clean: nothing written";
    EXPECT_EQ(S_OK, ini.HrSave(true));
    const std::string text = ReadAll(path);
    EXPECT_TRUE(text == "\r\n[S]\r\nk=1\r\n" || text == "\r\n[S]\r\nk=2\r\n") << text;

    const std::string dotIni = PathOf(".inirc");
    CSmartIni refused;
    ASSERT_EQ(S_OK, refused.HrOpen(dotIni.c_str(), false, false));
    EXPECT_EQ(INI_E_BADSAVEPATH, refused.HrSetString("S", "k", "v"));
    EXPECT_FALSE(Exists(dotIni));
    CSmartIni unbound;
    unbound.SetDirty(true);
    EXPECT_EQ(INI_E_BADSAVEPATH, unbound.HrSave(true));
}

TEST_F(SmartIni, DeleteOnCloseRemovesTheFileAtDestructionAndAtRebinding) {
    const std::string first = PathOf("d1.ini");
    const std::string second = PathOf("d2.ini");
    WriteExternally(first, "[S]\r\nk=1\r\n");
    WriteExternally(second, "[S]\r\nk=2\r\n");
    {
        CSmartIni ini;
        ASSERT_EQ(S_OK, ini.HrOpen(first.c_str(), false, false));
        ini.SetDeleteOnClose(true);
        ASSERT_EQ(S_OK, ini.HrOpen(second.c_str(), false, false));
        EXPECT_FALSE(Exists(first));
        EXPECT_EQ("2", Get(ini, "S", "k"));
    }
    EXPECT_FALSE(Exists(second));
}

TEST_F(SmartIni, DetachedObjectNeverTouchesTheFile) {
    const std::string path = PathOf("c.ini");
    WriteExternally(path, "[S]\r\nk=1\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ini.SetDirty(true);
    ini.Close();
    EXPECT_TRUE(ini.IsDetached());
    EXPECT_EQ(0u, ini.EntryCount());
    EXPECT_EQ(INI_E_NOTBOUND, ini.HrSetString("S", "k", "2"));
    EXPECT_EQ(INI_E_NOTBOUND, ini.HrDeleteKey("S", "k"));
    EXPECT_EQ(INI_E_NOTBOUND, ini.HrSave(true));
    EXPECT_EQ(S_OK, ini.HrReload());
    EXPECT_EQ(0u, ini.EntryCount());
    EXPECT_EQ("[S]\r\nk=1\r\n", ReadAll(path));

    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_FALSE(ini.IsDetached());
    EXPECT_EQ("1", Get(ini, "S", "k"));
}

TEST_F(SmartIni, TransactionGathersChangesForOneSaveOrDiscardsThem) {
    const std::string path = PathOf("t.ini");
    WriteExternally(path, "[S]\r\nk=0\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));

    ini.SetInTransaction(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "a", "1"));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "b", "2"));
    EXPECT_EQ(S_OK, ini.HrDeleteKey("S", "k"));
    EXPECT_EQ(INI_S_NOTPRESENT, ini.HrDeleteKey("S", "none"));
    EXPECT_EQ(4u, ini.JournalCount());
    EXPECT_EQ("[S]\r\nk=0\r\n", ReadAll(path));
    EXPECT_EQ("1", Get(ini, "S", "a"));
    ini.SetInTransaction(false);
    EXPECT_EQ(S_OK, ini.HrSave(false));
    EXPECT_EQ("\r\n[S]\r\na=1\r\nb=2\r\n", ReadAll(path));

    ini.SetInTransaction(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "c", "3"));
    ini.Close();
    EXPECT_FALSE(ini.IsInTransaction());
    EXPECT_EQ(0u, ini.JournalCount());
    EXPECT_EQ("\r\n[S]\r\na=1\r\nb=2\r\n", ReadAll(path));

    // Abandoning reloads, and gives back one hold of the file mutex that the
    // caller took across the transaction.
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_TRUE(ini.FileMutex().Lock());
    ini.SetInTransaction(true);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "d", "4"));
    EXPECT_EQ(S_OK, ini.AbandonTransaction());
    EXPECT_EQ(0, ini.FileMutex().HoldCount());
    EXPECT_EQ(INI_E_NOTFOUND, ini.HrGetString("S", "d", nullptr, nullptr, 0));
}

TEST_F(SmartIni, DeletedFileStillServesAndTheNextChangeWritesItAllBack) {
    const std::string path = PathOf("gone.ini");
    WriteExternally(path, "[S]\r\na=1\r\nb=2\r\n");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ::unlink(path.c_str());
    EXPECT_EQ("1", Get(ini, "S", "a"));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "c", "3"));
    EXPECT_EQ("\r\n[S]\r\na=1\r\nb=2\r\nc=3\r\n", ReadAll(path));
}

TEST_F(SmartIni, ChangesOfAnotherObjectAreSeenAtOnce) {
    const std::string path = PathOf("shared.ini");
    CSmartIni writer, reader;
    ASSERT_EQ(S_OK, writer.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, reader.HrOpen(path.c_str(), false, false));
    // Faster than the file system's clock ticks: each save must still be
    // told apart by its last-write time.
    for (int i = 0; i < 50; ++i) {
        const std::string key = "k" + std::to_string(i);
        ASSERT_EQ(S_OK, writer.HrSetString("S", key.c_str(), "w"));
        ASSERT_EQ("w", Get(reader, "S", key.c_str())) << i;
        ASSERT_EQ(S_OK, reader.HrSetString("R", key.c_str(), "r"));
        ASSERT_EQ("r", Get(writer, "R", key.c_str())) << i;
    }
    EXPECT_EQ(100u, writer.EntryCount());
}

// Other processes notice a save by the last-write time alone, so a save
// moves it past the one it replaced even when the clock has not (a coarse
// file-system clock, or a time set ahead).
TEST_F(SmartIni, EverySaveMovesTheLastWriteTimeOn) {
    const std::string path = PathOf("t.ini");
    WriteExternally(path, "[S]\r\nk=1\r\n");
    struct timespec ahead = MTime(path);
    ahead.tv_sec += 3600;
    const struct timespec times[2] = {{0, UTIME_OMIT}, ahead};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));

    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.HrSetString("S", "k", "2"));
    const struct timespec saved = MTime(path);
    EXPECT_TRUE(saved.tv_sec > ahead.tv_sec || (saved.tv_sec == ahead.tv_sec && saved.tv_nsec > ahead.tv_nsec));
    EXPECT_EQ(saved.tv_sec, ahead.tv_sec);
    EXPECT_EQ(plat::FileTimeValue(ini.LastWriteTime()),
              116444736000000000ull + static_cast<uint64_t>(saved.tv_sec) * 10000000u + saved.tv_nsec / 100u);
}

TEST_F(SmartIni, ReloadIntervalHoldsBackReadsButNotChanges) {
    const std::string path = PathOf("i.ini");
    WriteExternally(path, "[S]\r\nk=old\r\n");
    CSmartIni ini;
    ini.SetReloadInterval(1);
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    const auto loaded = std::chrono::steady_clock::now();

    WriteExternally(path, "[S]\r\nk=new\r\n");
    EXPECT_EQ(S_OK, ini.HrRefreshIfChanged(nullptr));
    EXPECT_EQ("old", Get(ini, "S", "k"));
    std::this_thread::sleep_until(loaded + std::chrono::milliseconds(1100));
    EXPECT_EQ("new", Get(ini, "S", "k"));

    // A change reads the file first, whatever the interval.
    WriteExternally(path, "[S]\r\nk=new\r\next=1\r\n");
    EXPECT_EQ(S_OK, ini.HrSetString("S", "mine", "2"));
    EXPECT_EQ("\r\n[S]\r\next=1\r\nk=new\r\nmine=2\r\n", ReadAll(path));
}

TEST_F(SmartIni, HooksRunAfterReloadsAndSaves) {
    const std::string path = PathOf("h.ini");
    CSmartIni ini;
    int cReloads = 0, cSaves = 0;
    ini.SetOnReload([](void* pv) -> DWORD { return ++*static_cast<int*>(pv); }, &cReloads);
    ini.SetOnSave([](void* pv) -> DWORD { return ++*static_cast<int*>(pv); }, &cSaves);
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), true, false));
    EXPECT_EQ(1, cReloads);
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    EXPECT_EQ(1, cSaves);
    WriteExternally(path, "[S]\r\nk=w\r\n");
    EXPECT_EQ("w", Get(ini, "S", "k"));
    EXPECT_EQ(2, cReloads);
}

TEST_F(SmartIni, SaveThatCannotBuildItsTextKeepsTheChangeAndReleasesItsLocks) {
    const std::string path = PathOf("m.ini");
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    ASSERT_EQ(S_OK, ini.CacheStore("S", "k", "v"));
    plat::testing::FailProcessHeapAllocs(1);
    const HRESULT hr = ini.HrSave(false);
    plat::testing::FailProcessHeapAllocs(0);
    EXPECT_EQ(TSZ_E_OUTOFMEMORY, hr);
    EXPECT_TRUE(ini.IsDirty());
    EXPECT_EQ(0, ini.FileMutex().HoldCount());
    EXPECT_EQ(S_OK, std::async(std::launch::async, [&ini] { return ini.CacheLookup("S", "k", nullptr, 0); }).get());
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(S_OK, ini.HrSave(false));
    EXPECT_EQ("\r\n[S]\r\nk=v\r\n", ReadAll(path));
}

TEST_F(SmartIni, ExclusiveOpenWithinOneProcess) {
    const std::string path = PathOf("x.ini");
    CSmartIni second;
    {
        CSmartIni first;
        ASSERT_EQ(S_OK, first.HrOpen(path.c_str(), true, true));
        EXPECT_TRUE(first.HoldsLockFile());
        EXPECT_TRUE(Exists(path + ".lck"));
        ASSERT_EQ(S_OK, first.HrSetString("S", "k", "1"));

        // Refused, but bound: reads and changes work as usual.
        EXPECT_EQ(INI_E_LOCKED, second.HrOpen(path.c_str(), false, true));
        EXPECT_FALSE(second.HoldsLockFile());
        EXPECT_TRUE(second.IsBound());
        EXPECT_EQ("1", Get(second, "S", "k"));
        EXPECT_EQ(S_OK, second.HrSetString("S", "k", "2"));
        EXPECT_EQ("2", Get(first, "S", "k"));
    }
    EXPECT_FALSE(Exists(path + ".lck"));
    EXPECT_EQ(S_OK, second.HrOpen(path.c_str(), false, true));
    EXPECT_TRUE(second.HoldsLockFile());
}

}  // namespace
