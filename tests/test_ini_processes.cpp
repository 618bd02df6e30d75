// CSmartIni across processes: the file mutex, the byte-range locks and the
// lock file. Every child is bounded in time and killed when it overruns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/file.h"
#include "tests/test_ini_support.h"

namespace {

using namespace initest;
using Clock = std::chrono::steady_clock;

// Waits for a child at most timeoutMs, killing it when it overruns. Returns
// its exit code, or -1 when it did not exit normally.
int WaitChild(pid_t pid, int timeoutMs = 60000) {
    int status = 0;
    for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
        if (waited >= timeoutMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs fn in a child that exits with its result; its alarm ends it after
// two minutes whatever happens.
template <typename Fn>
pid_t Spawn(Fn fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(120);
        ::_exit(fn());
    }
    return pid;
}

// A one-way signal between processes: one byte through a pipe.
class Signal {
public:
    Signal() { EXPECT_EQ(0, ::pipe(m_fd)); }
    ~Signal() {
        ::close(m_fd[0]);
        ::close(m_fd[1]);
    }
    void Raise() { (void)!::write(m_fd[1], "x", 1); }
    // False after timeoutMs without a signal.
    bool Wait(int timeoutMs = 20000) {
        for (int waited = 0; waited < timeoutMs; waited += 2) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_fd[0], &set);
            struct timeval tv = {0, 2000};
            if (::select(m_fd[0] + 1, &set, nullptr, nullptr, &tv) > 0) {
                char c;
                return ::read(m_fd[0], &c, 1) == 1;
            }
        }
        return false;
    }

private:
    int m_fd[2];
};

long MsSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

using IniProcesses = IniFiles;

// Two processes change different keys of one file, one call at a time; no
// change is lost, because each holds the file mutex from its look at the
// file to its save.
TEST_F(IniProcesses, TwoWritersLoseNoUpdate) {
    const std::string path = PathOf("shared.ini");
    constexpr int kcKeys = 1000;
    auto writer = [&path](const char* szSection) {
        return [&path, szSection] {
            CSmartIni ini;
            if (ini.HrOpen(path.c_str(), false, false) != S_OK) return 2;
            for (int i = 0; i < kcKeys; ++i) {
                const std::string key = "key" + std::to_string(i);
                if (ini.HrSetString(szSection, key.c_str(), std::to_string(i).c_str()) != S_OK) return 3;
            }
            return 0;
        };
    };
    const pid_t a = Spawn(writer("A"));
    const pid_t b = Spawn(writer("B"));
    ASSERT_EQ(0, WaitChild(a, 110000));
    ASSERT_EQ(0, WaitChild(b, 110000));

    CSmartIni reader;
    ASSERT_EQ(S_OK, reader.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(2u * kcKeys, reader.EntryCount());
    int cMissing = 0;
    for (const char* szSection : {"A", "B"}) {
        for (int i = 0; i < kcKeys; ++i) {
            char sz[16];
            const std::string key = "key" + std::to_string(i);
            if (reader.HrGetString(szSection, key.c_str(), nullptr, sz, sizeof(sz)) != S_OK ||
                std::to_string(i) != sz)
                ++cMissing;
        }
    }
    EXPECT_EQ(0, cMissing);
}

TEST_F(IniProcesses, LockFileHasOneOwnerAtATimeAndGoesWithIt) {
    const std::string path = PathOf("x.ini");
    for (const bool fKill : {false, true}) {
        Signal ready, release;
        const pid_t owner = Spawn([&] {
            CSmartIni ini;
            if (ini.HrOpen(path.c_str(), true, true) != S_OK) return 2;
            ready.Raise();
            release.Wait(60000);
            return 0;
        });
        ASSERT_TRUE(ready.Wait()) << "kill " << fKill;
        CSmartIni second;
        EXPECT_EQ(INI_E_LOCKED, second.HrOpen(path.c_str(), false, true)) << "kill " << fKill;
        if (fKill) {
            ::kill(owner, SIGKILL);
            EXPECT_EQ(-1, WaitChild(owner));
            EXPECT_TRUE(Exists(path + ".lck")) << "left behind, but no longer held";
        } else {
            release.Raise();
            EXPECT_EQ(0, WaitChild(owner));
            EXPECT_FALSE(Exists(path + ".lck"));
        }
        EXPECT_EQ(S_OK, second.HrOpen(path.c_str(), false, true)) << "kill " << fKill;
        EXPECT_TRUE(second.HoldsLockFile());
        second.HrOpen(path.c_str(), false, false);
        EXPECT_FALSE(Exists(path + ".lck"));
    }
}

TEST_F(IniProcesses, ByteRangeLocksShareReadsAndExcludeAWriter) {
    const std::string path = PathOf("r.ini");
    WriteExternally(path, "[S]\r\nk=old\r\n");
    const std::wstring wpath = Windows(path);
    const uint64_t cbRange = 0xFFFFFFFFu;

    CSmartIni ini;
    ASSERT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));

    Signal locked;
    const pid_t writer = Spawn([&] {
        plat::FileHandle h = plat::CreateFileW(wpath.c_str(), plat::kFileGenericWrite, 3, plat::kOpenExisting, 0);
        if (h == plat::InvalidFile() || !plat::LockFileEx(h, plat::kLockfileExclusiveLock, 0, cbRange)) return 2;
        locked.Raise();
        ::usleep(300000);
        DWORD cb;
        plat::WriteFile(h, "[S]\r\nk=new\r\n", 12, &cb);
        plat::UnlockFileEx(h, 0, cbRange);
        plat::CloseFile(h);
        return 0;
    });
    ASSERT_TRUE(locked.Wait());
    const Clock::time_point start = Clock::now();

    plat::FileHandle hRead = plat::CreateFileW(wpath.c_str(), plat::kFileGenericRead, 3, plat::kOpenExisting, 0);
    ASSERT_NE(plat::InvalidFile(), hRead);
    EXPECT_FALSE(plat::LockFileEx(hRead, plat::kLockfileFailImmediately, 0, cbRange));
    EXPECT_EQ(plat::kErrorLockViolation, plat::GetLastError());

    // A reload waits for the writer's lock (the writer does not hold the
    // file mutex), then reads what it wrote.
    EXPECT_EQ(S_OK, ini.HrReload());
    EXPECT_GE(MsSince(start), 250);
    char sz[8];
    EXPECT_EQ(S_OK, ini.HrGetString("S", "k", nullptr, sz, sizeof(sz)));
    EXPECT_STREQ("new", sz);
    EXPECT_EQ(0, WaitChild(writer));

    // Shared locks of two handles coexist; a writer's exclusive lock waits.
    ASSERT_TRUE(plat::LockFileEx(hRead, plat::kLockfileFailImmediately, 0, cbRange));
    plat::FileHandle hRead2 = plat::CreateFileW(wpath.c_str(), plat::kFileGenericRead, 3, plat::kOpenExisting, 0);
    EXPECT_TRUE(plat::LockFileEx(hRead2, plat::kLockfileFailImmediately, 0, cbRange));
    plat::FileHandle hWrite = plat::CreateFileW(wpath.c_str(), plat::kFileGenericWrite, 3, plat::kOpenExisting, 0);
    EXPECT_FALSE(plat::LockFileEx(hWrite, plat::kLockfileExclusiveLock | plat::kLockfileFailImmediately, 0, cbRange));
    EXPECT_TRUE(plat::UnlockFileEx(hRead, 0, cbRange));
    EXPECT_TRUE(plat::UnlockFileEx(hRead2, 0, cbRange));
    EXPECT_TRUE(plat::LockFileEx(hWrite, plat::kLockfileExclusiveLock | plat::kLockfileFailImmediately, 0, cbRange));
    plat::CloseFile(hWrite);
    plat::CloseFile(hRead2);
    plat::CloseFile(hRead);
}

// Another process holding the file's mutex (found by the path's digest)
// holds back a change until it lets go.
TEST_F(IniProcesses, FileMutexSerialisesChangesAcrossProcesses) {
    const std::string path = PathOf("m.ini");
    Signal locked;
    const pid_t holder = Spawn([&] {
        TSz<char> name;
        FileMutexName(Windows(path).c_str(), name);
        CRVN::IPC::CNamedMutex mutex;
        if (!mutex.Create(name.Get()) || !mutex.Lock()) return 2;
        locked.Raise();
        ::usleep(400000);
        mutex.Unlock();
        return 0;
    });
    ASSERT_TRUE(locked.Wait());
    CSmartIni ini;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(S_OK, ini.HrOpen(path.c_str(), false, false));
    EXPECT_EQ(S_OK, ini.HrSetString("S", "k", "v"));
    EXPECT_GE(MsSince(start), 300);
    EXPECT_EQ(0, WaitChild(holder));
}

}  // namespace
