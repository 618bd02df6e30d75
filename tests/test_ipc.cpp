// Named mutexes, their owner records and security attributes, across
// threads and processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "sharedcode/ipc.h"
#include "sharedcode/platform/ipc.h"
#include "sharedcode/platform/process.h"

namespace {

using CRVN::IPC::CNamedMutex;
using CRVN::IPC::CNamedMutexLock;
using CRVN::IPC::CSecurityAttributes;

constexpr HRESULT kHrTruncated = static_cast<HRESULT>(0x8007007Au);
constexpr HRESULT kHrPointer = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT kHrInvalidArg = static_cast<HRESULT>(0x80070057u);

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The shared-memory object behind a Windows object name.
std::string ShmPath(const std::string& name) {
    std::string out = "/dev/shm/";
    for (char c : name) {
        if (c == '/') out += "%2F";
        else if (c == '\\') out += "%5C";
        else if (c == '%') out += "%25";
        else out += c;
    }
    return out;
}

// Waits for a child at most timeoutMs, killing it when it overruns. Returns
// its exit code, or -1 when it did not exit normally.
int WaitChild(pid_t pid, int timeoutMs = 20000) {
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

// Runs fn in a child process that exits with its result; a child stuck for a
// minute is ended by its alarm.
template <typename Fn>
pid_t Spawn(Fn fn) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(60);
        ::_exit(fn());
    }
    return pid;
}

// What another thread of this process gets from a zero-time wait on the name.
DWORD TryFromOtherThread(const std::wstring& name) {
    return std::async(std::launch::async, [&name] {
               plat::HANDLE h = plat::CreateMutexW(nullptr, name.c_str());
               if (!h) return plat::kWaitFailed;
               DWORD dw = plat::WaitForSingleObject(h, 0);
               if (dw == plat::kWaitObject0 || dw == plat::kWaitAbandoned) plat::ReleaseMutex(h);
               plat::CloseHandle(h);
               return dw;
           }).get();
}

// Gives each test fresh names and removes their objects afterwards.
class NamedMutex : public ::testing::Test {
protected:
    // "vgtest-<pid>-<n>-<stem>"
    std::string Unique(const char* szStem) {
        static int s_n = 0;
        return "vgtest-" + std::to_string(::getpid()) + "-" + std::to_string(++s_n) + "-" + szStem;
    }
    // Removes the mutex and its owner record when the test ends.
    void Forget(const std::string& windowsName) {
        m_paths.push_back(ShmPath(windowsName));
        m_paths.push_back(ShmPath(windowsName + ";!"));
    }
    std::string Global(const char* szStem) {
        std::string name = "Global\\" + Unique(szStem);
        Forget(name);
        return name;
    }
    void TearDown() override {
        for (const std::string& p : m_paths) ::unlink(p.c_str());
    }

    std::vector<std::string> m_paths;
};

using NamedMutexLockTest = NamedMutex;
using IpcObjects = NamedMutex;

// ---------------------------------------------------------------------------

TEST(SecurityAttributes, WellKnownSidsBecomeAllowEntriesInOrder) {
    CSecurityAttributes sa;
    for (DWORD i = 0; i <= 5; ++i) EXPECT_EQ(S_OK, sa.AddWellKnown(i));
    EXPECT_EQ(kHrInvalidArg, sa.AddWellKnown(6));
    EXPECT_EQ(6u, sa.EntryCount());
    ASSERT_EQ(S_OK, sa.Build());

    const plat::SecurityAttributesStorage* psa = sa.Get();
    EXPECT_EQ(sizeof(plat::SecurityAttributesStorage), psa->nLength);
    EXPECT_FALSE(psa->bInheritHandle);
    const auto* pSD = static_cast<const plat::SecurityDescriptorStorage*>(psa->lpSecurityDescriptor);
    ASSERT_NE(nullptr, pSD);
    EXPECT_EQ(1, pSD->Revision);
    EXPECT_EQ(0x0004, pSD->Control & 0x000C);  // list present, not defaulted
    const BYTE* pAcl = static_cast<const BYTE*>(pSD->Dacl);
    ASSERT_NE(nullptr, pAcl);

    // ACL header, then per entry: type 0, flags 0, size 20, generic all,
    // S-1-<authority>-0.
    EXPECT_EQ(2, pAcl[0]);
    EXPECT_EQ(6 * 20 + 8, pAcl[2] | pAcl[3] << 8);
    EXPECT_EQ(6, pAcl[4] | pAcl[5] << 8);
    const BYTE authorities[6] = {0, 1, 2, 3, 4, 9};
    for (int i = 0; i < 6; ++i) {
        const BYTE* pAce = pAcl + 8 + 20 * i;
        const BYTE expected[20] = {0, 0, 20, 0, 0, 0, 0, 0x10, 1, 1, 0, 0, 0, 0, 0, authorities[i], 0, 0, 0, 0};
        EXPECT_EQ(0, std::memcmp(expected, pAce, sizeof(expected))) << "entry " << i;
    }
}

TEST(SecurityAttributes, ListThatWouldOverflowItsBufferFails) {
    // 204 entries of 20 bytes and the header fill 4088 of the 4096 bytes.
    CSecurityAttributes fits;
    for (int i = 0; i < 204; ++i) fits.AddWellKnown(1);
    ASSERT_EQ(S_OK, fits.Build());
    const BYTE* pAcl = static_cast<const BYTE*>(
        static_cast<const plat::SecurityDescriptorStorage*>(fits.Get()->lpSecurityDescriptor)->Dacl);
    EXPECT_EQ(204, pAcl[4] | pAcl[5] << 8);

    CSecurityAttributes tooMany;
    for (int i = 0; i < 205; ++i) tooMany.AddWellKnown(1);
    EXPECT_EQ(kHrTruncated, tooMany.Build());
}

// ---------------------------------------------------------------------------

TEST_F(NamedMutex, NamesAndTheObjectsBehindThem) {
    const mode_t umaskWas = ::umask(077);
    const std::string stem = Unique("MyLock");
    Forget("Global\\" + stem);
    CNamedMutex m;
    ASSERT_TRUE(m.Create(stem.c_str()));
    EXPECT_EQ(S_OK, m.LastResult());
    EXPECT_EQ(Wide("Global\\" + stem), m.Name());

    // Everyone may open both objects, whatever the creator's umask.
    struct stat st;
    ASSERT_EQ(0, ::stat(ShmPath("Global\\" + stem).c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
    ASSERT_EQ(0, ::stat(ShmPath("Global\\" + stem + ";!").c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
    EXPECT_EQ(8, st.st_size);
    ::umask(umaskWas);

    // Backslashes after the namespace prefix become '/'; without a prefix,
    // the wide Create replaces them all and adds none.
    const std::string inner = Unique("b");
    Forget("Global\\a/" + inner);
    ASSERT_TRUE(m.Create(("Global\\a\\" + inner).c_str()));
    EXPECT_EQ(Wide("Global\\a/" + inner), m.Name());
    EXPECT_EQ(0, ::access(ShmPath("Global\\a/" + inner).c_str(), F_OK));

    Forget("Local\\p/" + inner);
    ASSERT_TRUE(m.Create(Wide("Local\\p\\" + inner).c_str()));
    EXPECT_EQ(Wide("Local\\p/" + inner), m.Name());
    Forget("x/" + inner);
    ASSERT_TRUE(m.Create(Wide("x\\" + inner).c_str()));
    EXPECT_EQ(Wide("x/" + inner), m.Name());
}

TEST_F(NamedMutex, CreateRejectsMissingAndOverlongNames) {
    const std::string name = Global("ok");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()));

    // Create closes what the object held first, even when it then fails.
    EXPECT_FALSE(m.Create(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(kHrPointer, m.LastResult());
    EXPECT_FALSE(m.IsCreated());

    EXPECT_FALSE(m.Create(std::wstring(262, L'n').c_str()));
    EXPECT_EQ(kHrTruncated, m.LastResult());
    EXPECT_FALSE(m.IsCreated());

    EXPECT_FALSE(m.Create(static_cast<const char*>(nullptr)));
    EXPECT_EQ(kHrInvalidArg, m.LastResult());

    // "Global\" and 254 characters make 261, one more than the narrow form allows.
    EXPECT_FALSE(m.Create(std::string(254, 'n').c_str()));
    EXPECT_EQ(kHrTruncated, m.LastResult());
    EXPECT_FALSE(m.IsCreated());
}

TEST_F(NamedMutex, CloseReleasesEveryHoldAndUnlockStopsAtZero) {
    const std::string name = Global("holds");
    CNamedMutex m;
    EXPECT_FALSE(m.Lock());  // nothing created yet
    m.Unlock();
    ASSERT_TRUE(m.Create(name.c_str()));

    ASSERT_TRUE(m.Lock());
    ASSERT_TRUE(m.Lock());
    EXPECT_EQ(2, m.HoldCount());
    EXPECT_EQ(plat::GetCurrentProcessId(), m.OwnerProcessId());
    EXPECT_EQ(plat::GetCurrentThreadId(), m.OwnerThreadId());
    m.Unlock();
    EXPECT_EQ(1, m.HoldCount());
    EXPECT_EQ(plat::kWaitTimeout, TryFromOtherThread(Wide(name)));  // still held once

    ASSERT_TRUE(m.Lock());
    m.Close();
    EXPECT_EQ(0, m.HoldCount());
    EXPECT_EQ(plat::kWaitObject0, TryFromOtherThread(Wide(name)));

    // An unlock without a hold neither goes below zero nor frees another's hold.
    ASSERT_TRUE(m.Create(name.c_str()));
    m.Unlock();
    EXPECT_EQ(0, m.HoldCount());
    m.Close();
}

TEST_F(NamedMutexLockTest, HoldsForItsScope) {
    const std::string name = Global("scope");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()));
    {
        CNamedMutexLock lock(m);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_EQ(1, m.HoldCount());
        EXPECT_EQ(plat::kWaitTimeout, TryFromOtherThread(Wide(name)));
    }
    EXPECT_EQ(0, m.HoldCount());
    EXPECT_EQ(plat::kWaitObject0, TryFromOtherThread(Wide(name)));

    {
        // Closed inside the scope: the lock has nothing left to release.
        CNamedMutexLock lock(m);
        m.Close();
    }
    CNamedMutexLock none(m);
    EXPECT_FALSE(none.IsLocked());
    EXPECT_TRUE(none.SetLocked(true));
    EXPECT_FALSE(none.SetLocked(false));
    EXPECT_FALSE(none.IsLocked());
}

TEST_F(NamedMutex, ThreadsSharingOneObjectTakeTurns) {
    const std::string name = Global("threads");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()));
    int counter = 0;  // deliberately not atomic
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                CNamedMutexLock lock(m);
                int v = counter;
                if (i % 64 == 0) std::this_thread::yield();
                counter = v + 1;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(8000, counter);
    EXPECT_EQ(0, m.HoldCount());
}

// Several processes create the same new name at the same moment, then take
// turns on a counter in memory they share.
TEST_F(NamedMutex, ProcessesCreatingAtOnceShareOneMutex) {
    const std::string name = Global("processes");
    struct Shared {
        std::atomic<int> go;
        int counter;
        int inside;
        int overlaps;
    };
    void* pv = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, pv);
    Shared* s = new (pv) Shared{};

    constexpr int kProcesses = 4, kRounds = 500;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(Spawn([&] {
            while (!s->go.load()) {
            }
            CNamedMutex m;
            if (!m.Create(name.c_str())) return 2;
            for (int i = 0; i < kRounds; ++i) {
                if (!m.Lock()) return 3;
                if (s->inside++ != 0) ++s->overlaps;
                int v = s->counter;
                if (i % 16 == 0) ::sched_yield();
                s->counter = v + 1;
                --s->inside;
                m.Unlock();
            }
            return 0;
        }));
    }
    s->go.store(1);
    for (pid_t pid : pids) EXPECT_EQ(0, WaitChild(pid));
    EXPECT_EQ(kProcesses * kRounds, s->counter);
    EXPECT_EQ(0, s->overlaps);

    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()));
    EXPECT_NE(pids.end(), std::find(pids.begin(), pids.end(), static_cast<pid_t>(m.OwnerProcessId())));
    ::munmap(pv, sizeof(Shared));
}

TEST_F(NamedMutex, MutexOfADeadHolderIsTakenOver) {
    const std::string name = Global("abandoned");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()));

    // Children end with _exit while holding it, before any destructor runs.
    const pid_t dead = Spawn([&] {
        CNamedMutex mine;
        ::_exit(mine.Create(name.c_str()) && mine.Lock() ? 0 : 2);
        return 2;
    });
    ASSERT_EQ(0, WaitChild(dead));
    EXPECT_EQ(static_cast<DWORD>(dead), m.OwnerProcessId());

    // The next Lock succeeds and records its taker; it too ends holding it.
    const pid_t taker = Spawn([&] {
        CNamedMutex mine;
        if (!mine.Create(name.c_str()) || !mine.Lock()) return 2;
        if (mine.OwnerProcessId() != static_cast<DWORD>(::getpid())) return 3;
        if (mine.OwnerThreadId() != plat::GetCurrentThreadId()) return 4;
        ::_exit(mine.HoldCount() == 1 ? 0 : 5);
        return 5;
    });
    ASSERT_EQ(0, WaitChild(taker));
    EXPECT_EQ(static_cast<DWORD>(taker), m.OwnerProcessId());

    // Abandonment is reported once, to the first waiter.
    plat::HANDLE h = plat::CreateMutexW(nullptr, Wide(name).c_str());
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(plat::kWaitAbandoned, plat::WaitForSingleObject(h, 5000));
    EXPECT_TRUE(plat::ReleaseMutex(h));
    EXPECT_EQ(plat::kWaitObject0, plat::WaitForSingleObject(h, 0));
    EXPECT_TRUE(plat::ReleaseMutex(h));
    plat::CloseHandle(h);

    ASSERT_TRUE(m.Lock());
    EXPECT_EQ(plat::GetCurrentProcessId(), m.OwnerProcessId());
    m.Unlock();
}

// ---------------------------------------------------------------------------

TEST_F(IpcObjects, EscapedNamesStayDistinct) {
    const std::string stem = Unique("d");
    const std::string names[] = {"Global\\" + stem + "/x", "Global\\" + stem + "\\x", "Global\\" + stem + "%2Fx",
                                 "Global\\" + stem + "%5Cx"};
    std::vector<plat::HANDLE> handles;
    for (const std::string& n : names) {
        Forget(n);
        plat::HANDLE h = plat::CreateMutexW(nullptr, Wide(n).c_str());
        ASSERT_NE(nullptr, h) << n;
        EXPECT_EQ(0, ::access(ShmPath(n).c_str(), F_OK)) << n;
        handles.push_back(h);
    }
    // Holding the first leaves the others free.
    ASSERT_EQ(plat::kWaitObject0, plat::WaitForSingleObject(handles[0], 0));
    EXPECT_EQ(plat::kWaitTimeout, TryFromOtherThread(Wide(names[0])));
    for (int i = 1; i < 4; ++i) EXPECT_EQ(plat::kWaitObject0, TryFromOtherThread(Wide(names[i]))) << names[i];

    // Only the owner may release.
    const DWORD dwOther = std::async(std::launch::async, [&] {
                              return plat::ReleaseMutex(handles[0]) ? 0 : plat::GetLastError();
                          }).get();
    EXPECT_EQ(plat::kErrorNotOwner, dwOther);
    EXPECT_TRUE(plat::ReleaseMutex(handles[0]));
    for (plat::HANDLE h : handles) EXPECT_TRUE(plat::CloseHandle(h));
}

TEST_F(IpcObjects, MappingsShareBytesAndOutliveTheirHandles) {
    const std::string name = Global("map");
    const mode_t umaskWas = ::umask(0);
    plat::HANDLE h1 = plat::CreateFileMappingW(nullptr, 8, Wide(name).c_str());
    ::umask(umaskWas);
    ASSERT_NE(nullptr, h1);
    struct stat st;
    ASSERT_EQ(0, ::stat(ShmPath(name).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);  // no attributes: the owner alone

    plat::HANDLE h2 = plat::CreateFileMappingW(nullptr, 8, Wide(name).c_str());
    ASSERT_NE(nullptr, h2);
    EXPECT_EQ(plat::kErrorAlreadyExists, plat::GetLastError());
    auto* p1 = static_cast<volatile DWORD*>(plat::MapViewOfFile(h1, 0));
    auto* p2 = static_cast<volatile DWORD*>(plat::MapViewOfFile(h2, 8));
    ASSERT_TRUE(p1 && p2);
    EXPECT_TRUE(plat::CloseHandle(h1));
    EXPECT_TRUE(plat::CloseHandle(h2));
    p1[1] = 0x12345678;
    EXPECT_EQ(0x12345678u, p2[1]);
    EXPECT_EQ(nullptr, plat::MapViewOfFile(nullptr, 8));
    EXPECT_TRUE(plat::UnmapViewOfFile(const_cast<DWORD*>(p1)));
    EXPECT_FALSE(plat::UnmapViewOfFile(const_cast<DWORD*>(p1)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), plat::GetLastError());
    EXPECT_TRUE(plat::UnmapViewOfFile(const_cast<DWORD*>(p2)));

    // A name holds one kind of object.
    const std::string mutexName = Global("kind");
    plat::HANDLE hMutex = plat::CreateMutexW(nullptr, Wide(mutexName).c_str());
    ASSERT_NE(nullptr, hMutex);
    EXPECT_EQ(nullptr, plat::CreateFileMappingW(nullptr, 8, Wide(mutexName).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
    EXPECT_EQ(nullptr, plat::CreateMutexW(nullptr, Wide(name).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
    plat::CloseHandle(hMutex);
}

}  // namespace
