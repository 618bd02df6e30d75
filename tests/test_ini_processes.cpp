// CSmartIni across processes: the file mutex, the byte-range locks and the
// lock file. Every child is bounded in time and killed when it overruns.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "sharedcode/platform/file.h"
#include "tests/child_process.h"
#include "tests/test_ini_support.h"

namespace {

using namespace initest;
using childtest::Child;
using childtest::Signal;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using IniProcesses = IniFiles;

// Every change is a save, which takes Wine some milliseconds.
constexpr int kcKeys = kWindows ? 150 : 400;

// args: the file, the section whose keys 0 to kcKeys-1 it sets.
VG_CHILD(SetKeys) {
    CSmartIni ini;
    if (ini.HrOpen(args[0].c_str(), false, false) != S_OK) return 2;
    for (int i = 0; i < kcKeys; ++i)
        if (ini.HrSetString(args[1].c_str(), std::to_string(i).c_str(), "v") != S_OK) return 3;
    return 0;
}

// Two processes change different keys of one file, one call at a time; no
// change is lost, because each holds the file mutex from its look at the
// file to its save.
TEST_F(IniProcesses, TwoWritersLoseNoUpdate) {
    const std::string path = PathOf("shared.ini");
    std::deque<Child> writers;
    for (const char* szSection : {"A", "B"}) writers.emplace_back(SetKeys, childtest::Args{path, szSection}, 120);
    for (Child& writer : writers) EXPECT_EQ(0, writer.Wait(110000));

    CSmartIni reader;
    ASSERT_EQ(S_OK, reader.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(2u * kcKeys, CSmartIniTestPeer(reader).Cache().Count());
}

// args: the file, a signal raised after the first save. Saves a long value
// and a short one in turn until it is killed.
VG_CHILD(SaveForever) {
    const std::string longValue = std::string(3990, 'x') + "=1";
    Signal saved(args[1]);
    CSmartIni ini;
    if (ini.HrOpen(args[0].c_str(), false, false) != S_OK) return 2;
    for (int i = 0;; ++i) {
        if (HrFailed(ini.HrSetString("S", "k", i % 2 ? "1" : longValue.c_str()))) return 3;
        if (i == 0) saved.Raise();
    }
}

plat::FileHandle OpenShared(const std::wstring& path, DWORD dwAccess) {
    return plat::CreateFileW(path.c_str(), dwAccess, 3, plat::kOpenExisting, 0);
}

// A writer killed at any moment of a save leaves the old text or the new one,
// never the new text over the tail of a longer old one, where a key nobody
// set ("xxx...x=1") would appear and outlive later saves. The second half of
// the rounds makes every save write in place, as when the replace is refused:
// Windows refuses it while another process holds the file open without
// delete sharing (Wine: at all); POSIX for a file reached through a link.
TEST_F(IniProcesses, WriterKilledMidSaveLeavesOldOrNewText) {
    // Wine takes about half a second to start a process.
    const int kcRounds = kWindows ? 25 : 50;
    const std::string path = PathOf("torn.ini");
    std::mt19937 rng(8);
    plat::ScopedFile hold;
    for (const bool fInPlace : {false, true}) {
        if (fInPlace && kWindows) {
            hold.Reset(OpenShared(Windows(path), plat::kFileGenericRead));
            ASSERT_TRUE(hold.IsOpen());
        } else if (fInPlace) {
            std::filesystem::rename(path, m_dir + "/target.ini");
            std::filesystem::create_symlink("target.ini", path);
        }
        for (int iRound = 0; iRound < kcRounds; ++iRound) {
            Signal saved;
            Child writer(SaveForever, {path, saved.Name()});
            ASSERT_TRUE(saved.Wait()) << "round " << iRound << ", in place " << fInPlace;
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
            writer.Kill();
            ASSERT_EQ(-1, writer.Wait()) << "round " << iRound << ", in place " << fInPlace;

            CSmartIni reader;
            ASSERT_EQ(S_OK, reader.HrOpen(path.c_str(), false, false));
            ASSERT_EQ(1u, CSmartIniTestPeer(reader).Cache().Count())
                << "round " << iRound << ", in place " << fInPlace << ": " << ReadAll(path).size() << " bytes";
            ASSERT_STREQ("k", CSmartIniTestPeer(reader).Cache().Entry(0)->szKey.Get());
        }
    }
    // What a killed writer left beside the file goes with the next save.
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "2"));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected =
        kWindows ? std::vector<std::string>{"torn.ini"} : std::vector<std::string>{"target.ini", "torn.ini"};
    EXPECT_EQ(expected, names);
}

// args: the file, a signal raised once it owns the lock file, a signal that
// lets it go.
VG_CHILD(OwnLockFile) {
    Signal ready(args[1]), release(args[2]);
    CSmartIni ini;
    if (ini.HrOpen(args[0].c_str(), true, true) != S_OK) return 2;
    ready.Raise();
    release.Wait(60000);
    return 0;
}

TEST_F(IniProcesses, LockFileHasOneOwnerAtATimeAndGoesWithIt) {
    const std::string path = PathOf("x.ini");
    for (const bool fKill : {false, true}) {
        Signal ready, release;
        Child owner(OwnLockFile, {path, ready.Name(), release.Name()});
        ASSERT_TRUE(ready.Wait()) << "kill " << fKill;
        CSmartIni second;
        EXPECT_EQ(INI_E_LOCKED, second.HrOpen(path.c_str(), false, true)) << "kill " << fKill;
        if (fKill) {
            owner.Kill();
            EXPECT_EQ(-1, owner.Wait());
            // Windows deletes it with the dead owner's handle; POSIX leaves
            // it behind, no longer held.
            EXPECT_NE(kWindows, Exists(path + ".lck"));
        } else {
            release.Raise();
            EXPECT_EQ(0, owner.Wait());
            EXPECT_FALSE(Exists(path + ".lck"));
        }
        EXPECT_EQ(S_OK, second.HrOpen(path.c_str(), false, true)) << "kill " << fKill;
        second.HrOpen(path.c_str(), false, false);
        EXPECT_FALSE(Exists(path + ".lck"));
    }
}

constexpr uint64_t kcbRange = 0xFFFFFFFFu;

// args: the file, a signal raised once it holds the exclusive lock. Writes
// new text under the lock a moment later.
VG_CHILD(WriteUnderExclusiveLock) {
    Signal locked(args[1]);
    plat::FileHandle h = OpenShared(Windows(args[0]), plat::kFileGenericWrite);
    if (h == plat::InvalidFile() || !plat::LockFileEx(h, plat::kLockfileExclusiveLock, 0, kcbRange)) return 2;
    locked.Raise();
    std::this_thread::sleep_for(milliseconds(300));
    plat::WriteFile(h, "[S]\r\nk=new\r\n", 12, nullptr);
    plat::UnlockFileEx(h, 0, kcbRange);
    plat::CloseFile(h);
    return 0;
}

// A reload waits for another process's exclusive byte-range lock (taken
// without the file mutex), then reads what that process wrote. Shared locks
// of two handles coexist and hold back an exclusive one.
TEST_F(IniProcesses, ByteRangeLocksShareReadsAndExcludeAWriter) {
    const std::string path = PathOf("r.ini");
    WriteExternally(path, "[S]\r\nk=old\r\n");
    const std::wstring wpath = Windows(path);
    const DWORD dwSharedNow = plat::kLockfileFailImmediately;
    auto open = [&wpath](DWORD dwAccess) { return OpenShared(wpath, dwAccess); };
    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));

    Signal locked;
    Child writer(WriteUnderExclusiveLock, {path, locked.Name()});
    ASSERT_TRUE(locked.Wait());
    const Clock::time_point start = Clock::now();
    plat::FileHandle hRead = open(plat::kFileGenericRead), hRead2 = open(plat::kFileGenericRead);
    EXPECT_FALSE(plat::LockFileEx(hRead, dwSharedNow, 0, kcbRange));
    EXPECT_EQ(ERROR_LOCK_VIOLATION, plat::GetLastError());
    EXPECT_EQ(S_OK, ini.HrReload());
    EXPECT_GE(Clock::now() - start, milliseconds(250));
    char sz[8];
    EXPECT_EQ(S_OK, ini.HrGetString("S", "k", nullptr, sz, sizeof(sz)));
    EXPECT_STREQ("new", sz);
    EXPECT_EQ(0, writer.Wait());

    for (plat::FileHandle h : {hRead, hRead2}) EXPECT_TRUE(plat::LockFileEx(h, dwSharedNow, 0, kcbRange));
    plat::FileHandle hWrite = open(plat::kFileGenericWrite);
    const DWORD dwExclusiveNow = plat::kLockfileExclusiveLock | plat::kLockfileFailImmediately;
    EXPECT_FALSE(plat::LockFileEx(hWrite, dwExclusiveNow, 0, kcbRange));
    for (plat::FileHandle h : {hRead, hRead2}) EXPECT_TRUE(plat::UnlockFileEx(h, 0, kcbRange));
    EXPECT_TRUE(plat::LockFileEx(hWrite, dwExclusiveNow, 0, kcbRange));
    for (plat::FileHandle h : {hWrite, hRead2, hRead}) plat::CloseFile(h);
}

// args: the file, a signal raised once it holds the file's mutex, which it
// lets go a moment later.
VG_CHILD(HoldFileMutex) {
    Signal locked(args[1]);
    CSmartIni ini;
    if (ini.HrOpen(args[0].c_str(), false, false) != S_OK) return 2;
    CRVN::IPC::CNamedMutex& mutex = CSmartIniTestPeer(ini).FileMutex();
    if (!mutex.Lock()) return 3;
    locked.Raise();
    std::this_thread::sleep_for(milliseconds(400));
    mutex.Unlock();
    return 0;
}

// Another process holding the file's mutex holds back a change until it
// lets go.
TEST_F(IniProcesses, FileMutexSerialisesChangesAcrossProcesses) {
    const std::string path = PathOf("m.ini");
    Signal locked;
    Child holder(HoldFileMutex, {path, locked.Name()});
    ASSERT_TRUE(locked.Wait());
    CSmartIni ini;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    EXPECT_GE(Clock::now() - start, milliseconds(300));
    EXPECT_EQ(0, holder.Wait());
}

}  // namespace
