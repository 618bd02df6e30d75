// Named mutexes, their owner records and security attributes, across
// threads and processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sharedcode/ipc.h"
#include "sharedcode/platform/namedobj.h"
#include "sharedcode/platform/process.h"
#include "tests/child_process.h"
#include "tests/test_env.h"

namespace {

using CRVN::IPC::CNamedMutex;
using CRVN::IPC::CNamedMutexLock;
using CRVN::IPC::CSecurityAttributes;
using childtest::Args;
using childtest::Child;

#ifndef _WIN32
// The shared-memory object behind a Windows object name.
std::string ShmPath(const std::string& name) {
    std::string out = "/dev/shm/";
    for (char c : name) out += c == '/' ? "%2F" : c == '\\' ? "%5C" : c == '%' ? "%25" : std::string(1, c);
    return out;
}
#endif

// What another thread of this process gets from a zero-time wait on the name.
DWORD TryFromOtherThread(const std::string& name) {
    return std::async(std::launch::async, [&name] {
               plat::HANDLE h = plat::CreateMutexW(nullptr, Wide(name).c_str());
               DWORD dw = plat::WaitForSingleObject(h, 0);
               if (dw == plat::kWaitObject0 || dw == plat::kWaitAbandoned) plat::ReleaseMutex(h);
               plat::CloseHandle(h);
               return dw;
           }).get();
}

// Gives each test fresh names and removes their objects afterwards (POSIX:
// they outlive their last handle; Windows: they go with it).
class NamedMutex : public ::testing::Test {
protected:
    // "vgtest-<pid>-<n>-<stem>"
    static std::string Unique(const char* szStem) {
        static int s_n = 0;
        return Tag() + std::to_string(++s_n) + "-" + szStem;
    }
    static std::string Global(const char* szStem) { return "Global\\" + Unique(szStem); }
    void TearDown() override {
#ifndef _WIN32
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm"))
            if (entry.path().filename().string().find(Tag()) != std::string::npos) ::unlink(entry.path().c_str());
#endif
    }
    static std::string Tag() { return "vgtest-" + std::to_string(plat::GetCurrentProcessId()) + "-"; }
};

// ---------------------------------------------------------------------------

TEST(SecurityAttributes, WellKnownSidsBecomeAllowEntriesInOrder) {
    CSecurityAttributes sa;
    for (DWORD i = 0; i <= 5; ++i) EXPECT_EQ(S_OK, sa.AddWellKnown(i));
    EXPECT_EQ(static_cast<HRESULT>(0x80070057u), sa.AddWellKnown(6));
    ASSERT_EQ(S_OK, sa.Build());
    const auto* pSD = static_cast<const plat::SecurityDescriptorStorage*>(sa.Get()->lpSecurityDescriptor);
    const BYTE* pAcl = static_cast<const BYTE*>(pSD->Dacl);

    // ACL header, then per entry: type 0, flags 0, size 20, generic all,
    // S-1-<authority>-0.
    EXPECT_EQ(6 * 20 + 8, pAcl[2] | pAcl[3] << 8);
    const BYTE authorities[6] = {0, 1, 2, 3, 4, 9};
    for (int i = 0; i < 6; ++i) {
        const BYTE expected[20] = {0, 0, 20, 0, 0, 0, 0, 0x10, 1, 1, 0, 0, 0, 0, 0, authorities[i], 0, 0, 0, 0};
        EXPECT_EQ(0, std::memcmp(expected, pAcl + 8 + 20 * i, sizeof(expected))) << "entry " << i;
    }

    // 204 entries and the header fill 4088 of the list's 4096 bytes; 205 do not fit.
    for (int i = 6; i < 204; ++i) sa.AddWellKnown(1);
    EXPECT_EQ(S_OK, sa.Build());
    sa.AddWellKnown(1);
    EXPECT_EQ(static_cast<HRESULT>(0x8007007Au), sa.Build());
}

// ---------------------------------------------------------------------------

TEST_F(NamedMutex, NamesAndTheObjectsBehindThem) {
    const std::string stem = Unique("MyLock");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(stem.c_str()));
    ASSERT_TRUE(m.Lock());

    // "Global\" is put in front; the owner record is a mapping named after
    // the mutex with ";!" added, holding the owner's process id first.
    const std::wstring global = Wide("Global\\" + stem);
    plat::HANDLE hMutex = plat::CreateMutexW(nullptr, global.c_str());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), plat::GetLastError());
    plat::HANDLE hRecord = plat::CreateFileMappingW(nullptr, 8, (global + L";!").c_str());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), plat::GetLastError());
    const void* pvRecord = plat::MapViewOfFile(hRecord, 8);
    ASSERT_NE(nullptr, pvRecord);
    DWORD dwOwner = 0;
    std::memcpy(&dwOwner, pvRecord, 4);
    EXPECT_EQ(plat::GetCurrentProcessId(), dwOwner);
    plat::UnmapViewOfFile(pvRecord);
    for (plat::HANDLE h : {hMutex, hRecord}) plat::CloseHandle(h);
    m.Unlock();

    // Backslashes after the namespace prefix become '/'; without a prefix,
    // the wide Create replaces them all and adds none.
    const std::string inner = Unique("b");
    ASSERT_TRUE(m.Create(("Global\\a\\" + inner).c_str()));
    EXPECT_EQ(Wide("Global\\a/" + inner), m.Name());
    ASSERT_TRUE(m.Create(Wide("x\\" + inner).c_str()));
    EXPECT_EQ(Wide("x/" + inner), m.Name());

    // Create closes what the object held first, even when it then fails.
    EXPECT_FALSE(m.Create(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(m.IsCreated());
    EXPECT_FALSE(m.Create(std::wstring(262, L'n').c_str()));
    EXPECT_EQ(static_cast<HRESULT>(0x8007007Au), m.LastResult());
    // "Global\" and 254 characters make 261, one more than the narrow form allows.
    EXPECT_FALSE(m.Create(std::string(254, 'n').c_str()));
    EXPECT_EQ(static_cast<HRESULT>(0x8007007Au), m.LastResult());
}

// The modes of the shared-memory objects: everyone may open a mutex and its
// owner record, whatever the creator's umask; a mapping made without
// attributes is its owner's alone.
TEST_F(NamedMutex, SharedMemoryObjectModes) {
#ifdef _WIN32
    VG_POSIX_ONLY("/dev/shm objects; Windows guards kernel objects with their security descriptor");
#else
    const mode_t umaskWas = ::umask(077);
    const std::string stem = Unique("modes");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(stem.c_str()));
    ::umask(umaskWas);
    struct stat st;
    for (const char* szSuffix : {"", ";!"}) {
        ASSERT_EQ(0, ::stat(ShmPath("Global\\" + stem + szSuffix).c_str(), &st));
        EXPECT_EQ(0666u, st.st_mode & 0777);
    }
    EXPECT_EQ(8, st.st_size);  // the owner record

    const std::string mapName = Global("map");
    plat::HANDLE h = plat::CreateFileMappingW(nullptr, 8, Wide(mapName).c_str());
    ASSERT_EQ(0, ::stat(ShmPath(mapName).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    plat::CloseHandle(h);
#endif
}

TEST_F(NamedMutex, HoldsAreCountedAndReleasedByCloseAndScope) {
    const std::string name = Global("holds");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()) && m.Lock());
    {
        CNamedMutexLock lock(m);
        EXPECT_EQ(2, m.HoldCount());
        EXPECT_EQ(plat::GetCurrentProcessId(), m.OwnerProcessId());
    }
    EXPECT_EQ(1, m.HoldCount());
    EXPECT_EQ(plat::kWaitTimeout, TryFromOtherThread(name));  // still held once
    ASSERT_TRUE(m.Lock());
    m.Close();
    EXPECT_EQ(plat::kWaitObject0, TryFromOtherThread(name));

    // An unlock without a hold neither goes below zero nor frees another's
    // hold; a lock whose mutex was closed inside its scope releases nothing.
    ASSERT_TRUE(m.Create(name.c_str()));
    m.Unlock();
    EXPECT_EQ(0, m.HoldCount());
    {
        CNamedMutexLock lock(m);
        m.Close();
    }
    EXPECT_FALSE(CNamedMutexLock(m).IsLocked());
}

// Shared by the processes of the next test.
struct Counter {
    int counter;  // deliberately not atomic
};

// args: the mutex name, the shared memory's name, the start signal's name.
VG_CHILD(CountUnderMutex) {
    childtest::SharedMemory memory(args[1], sizeof(Counter));
    childtest::Signal go(args[2]);
    Counter* s = static_cast<Counter*>(memory.Get());
    if (!s || !go.Wait()) return 4;
    CNamedMutex m;
    if (!m.Create(args[0].c_str())) return 2;
    auto work = [&] {
        for (int i = 0; i < 500; ++i) {
            CNamedMutexLock lock(m);
            const int v = s->counter;
            if (i % 16 == 0) std::this_thread::yield();
            s->counter = v + 1;
        }
    };
    std::thread other(work);
    work();
    other.join();
    return m.HoldCount() == 0 ? 0 : 3;
}

// Four processes create the same new name at the same moment, then their
// two threads each take turns on a counter in memory they all share.
TEST_F(NamedMutex, ProcessesAndThreadsCreatingAtOnceShareOneMutex) {
    childtest::SharedMemory memory(sizeof(Counter));
    ASSERT_NE(nullptr, memory.Get());
    childtest::Signal go;
    const Args args = {Global("processes"), memory.Name(), go.Name()};
    std::deque<Child> children;
    for (int p = 0; p < 4; ++p) children.emplace_back(CountUnderMutex, args);
    for (int p = 0; p < 4; ++p) go.Raise();
    for (Child& child : children) EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(4 * 2 * 500, static_cast<Counter*>(memory.Get())->counter);
}

// Takes the mutex, checks the owner record and ends while holding it, before
// any destructor runs.
VG_CHILD(HoldAndDie) {
    CNamedMutex mine;
    std::_Exit(mine.Create(args[0].c_str()) && mine.Lock() && mine.HoldCount() == 1 &&
                       mine.OwnerProcessId() == plat::GetCurrentProcessId() &&
                       mine.OwnerThreadId() == plat::GetCurrentThreadId()
                   ? 0
                   : 2);
}

TEST_F(NamedMutex, MutexOfADeadHolderIsTakenOver) {
    const std::string name = Global("abandoned");
    CNamedMutex m;
    ASSERT_TRUE(m.Create(name.c_str()));

    // The second child takes over from the first.
    for (int i = 0; i < 2; ++i) {
        Child child(HoldAndDie, {name});
        ASSERT_EQ(0, child.Wait());
        EXPECT_EQ(child.Pid(), m.OwnerProcessId());
    }

    // Abandonment is reported once, to the first waiter.
    plat::HANDLE h = plat::CreateMutexW(nullptr, Wide(name).c_str());
    EXPECT_EQ(plat::kWaitAbandoned, plat::WaitForSingleObject(h, 5000));
    EXPECT_TRUE(plat::ReleaseMutex(h));
    EXPECT_EQ(plat::kWaitObject0, plat::WaitForSingleObject(h, 0));
    plat::ReleaseMutex(h);
    plat::CloseHandle(h);
}

// ---------------------------------------------------------------------------

TEST_F(NamedMutex, EscapedNamesStayDistinctAndHoldOneKindOfObject) {
    const std::string stem = Global("d");
    const std::string names[] = {stem + "/x", stem + "%2Fx"};
    std::vector<plat::HANDLE> handles;
    for (const std::string& n : names) handles.push_back(plat::CreateMutexW(nullptr, Wide(n).c_str()));
    ASSERT_EQ(plat::kWaitObject0, plat::WaitForSingleObject(handles[0], 0));
    EXPECT_EQ(plat::kWaitTimeout, TryFromOtherThread(names[0]));
    EXPECT_EQ(plat::kWaitObject0, TryFromOtherThread(names[1]));
    EXPECT_TRUE(plat::ReleaseMutex(handles[0]));

    // A mapping of a mutex's name, and a mutex of a mapping's, are refused.
    EXPECT_EQ(nullptr, plat::CreateFileMappingW(nullptr, 8, Wide(names[0]).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
    const std::string mapName = Global("map");
    handles.push_back(plat::CreateFileMappingW(nullptr, 8, Wide(mapName).c_str()));
    EXPECT_EQ(nullptr, plat::CreateMutexW(nullptr, Wide(mapName).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
    for (plat::HANDLE h : handles) EXPECT_TRUE(plat::CloseHandle(h));
}

}  // namespace
