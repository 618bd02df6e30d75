// What only the Windows build does, checked with the system's own calls: the
// registry values as the library reads them, named mutexes' security
// descriptors and abandonment by a thread, the DLL's message table through
// FormatMessageA. Registry changes, sealing, byte-range locks, the lock file
// and trace lines to a debugger: test_transport, test_session,
// test_ini_processes and test_tracing, which run here too.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgformat.h"
#include "VGClient/vgmessagetable.h"
#include "VGClient/vgtransport.h"
#include "sharedcode/ipc.h"
#include "sharedcode/platform/namedobj.h"
#include "sharedcode/platform/pipe.h"
#include "tests/test_env.h"

namespace {

// A name of this process alone, so that programs in one prefix never meet.
std::string UniqueName(const char* szStem) {
    return std::string(szStem) + "." + std::to_string(::GetCurrentProcessId());
}

// ---------------------------------------------------------------------------
// The registry

using Win32Config = VgTestEnv;

// Server, FailoverMode and ReplyTimeout through RegQueryValueExA: a value
// that is missing or of another size counts as not set. (The common values,
// and changes seen by the next call: test_transport, which runs here too.)
TEST_F(Win32Config, ServerFailoverModeAndReplyTimeoutAsTheLibraryReadsThem) {
    auto expectResolved = [](const std::string& server, DWORD dwTimeoutMs, const std::string& what) {
        char szServer[VG_SERVER_NAME_SIZE];
        std::memset(szServer, '#', sizeof(szServer));
        DWORD dwTimeout = 0;
        ResolveServerName(szServer, &dwTimeout);
        EXPECT_EQ(std::string(szServer), server) << what;
        EXPECT_EQ(dwTimeout, dwTimeoutMs) << what;
    };
    const DWORD kForever = plat::kPipeWaitForever;
    const struct {
        std::string lines;
        const char* szServer;
        DWORD dwTimeout;
    } cases[] = {
        {"\"Server\"=\"primary\"\r\n\"FailoverMode\"=dword:00000000\r\n\"ReplyTimeout\"=dword:00002710", "primary",
         10000},
        // Any type of DWORD size counts; longer, RegQueryValueExA fails with
        // ERROR_MORE_DATA and may have written into the buffer all the same.
        {"\"Server\"=\"primary\"\r\n\"FailoverMode\"=hex:01,00,00,00", ".", kForever},
        {"\"Server\"=\"primary\"\r\n\"FailoverMode\"=hex:01,00,00,00,01", "primary", kForever},
    };
    for (const auto& c : cases) {
        WriteConfiguration(c.lines);
        expectResolved(c.szServer, c.dwTimeout, c.lines);
    }

    // A text stored without its terminator still ends at its last character.
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, VG_CONFIGURATION_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(hKey, "Server", 0, REG_SZ, reinterpret_cast<const BYTE*>("backup"), 6);
    ::RegCloseKey(hKey);
    expectResolved("backup", kForever, "unterminated");
}

// ---------------------------------------------------------------------------
// Named mutexes

class Win32Mutex : public ::testing::Test {
protected:
    void SetUp() override { m_name = UniqueName("VgWin32Mutex"); }
    std::string m_name;
};

// The access list of a kernel object: "SID:mask" per entry.
std::vector<std::string> AccessEntries(HANDLE h) {
    std::vector<std::string> entries;
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pSD = nullptr;
    if (::GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &pDacl, nullptr,
                          &pSD) != ERROR_SUCCESS)
        return {"GetSecurityInfo failed"};
    for (DWORD i = 0; pDacl && i < pDacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* pAce = nullptr;
        if (!::GetAce(pDacl, i, reinterpret_cast<void**>(&pAce))) continue;
        char* szSid = nullptr;
        std::string entry = pAce->Header.AceType == ACCESS_ALLOWED_ACE_TYPE ? "" : "not allowing ";
        if (::ConvertSidToStringSidA(&pAce->SidStart, &szSid)) {
            entry += szSid;
            ::LocalFree(szSid);
        }
        char szMask[16];
        std::snprintf(szMask, sizeof(szMask), ":%08lX", static_cast<unsigned long>(pAce->Mask));
        entries.push_back(entry + szMask);
    }
    ::LocalFree(pSD);
    return entries;
}

// The mutex and its owner record are kernel objects whose access lists hold
// everyone and creator owner with all access. (Their names and the record's
// contents: test_ipc, which runs here too.)
TEST_F(Win32Mutex, MutexAndOwnerRecordAdmitEveryone) {
    CRVN::IPC::CNamedMutex mutex;
    ASSERT_TRUE(mutex.Create(m_name.c_str())) << std::hex << mutex.LastResult();
    const std::wstring wszGlobal = L"Global\\" + Wide(m_name);
    HANDLE hMutex = ::OpenMutexW(READ_CONTROL, FALSE, wszGlobal.c_str());
    HANDLE hRecord = ::OpenFileMappingW(READ_CONTROL, FALSE, (wszGlobal + L";!").c_str());
    ASSERT_TRUE(hMutex && hRecord) << ::GetLastError();
    // Generic all: Windows stores it mapped to the object's own rights,
    // Wine as it was given.
    const std::vector<std::string> generic = {"S-1-1-0:10000000", "S-1-3-0:10000000"};
    const std::vector<std::string> mutexAll = {"S-1-1-0:001F0001", "S-1-3-0:001F0001"};
    const std::vector<std::string> sectionAll = {"S-1-1-0:000F001F", "S-1-3-0:000F001F"};
    const std::vector<std::string> mutexEntries = AccessEntries(hMutex), recordEntries = AccessEntries(hRecord);
    EXPECT_TRUE(mutexEntries == generic || mutexEntries == mutexAll) << ::testing::PrintToString(mutexEntries);
    EXPECT_TRUE(recordEntries == generic || recordEntries == sectionAll) << ::testing::PrintToString(recordEntries);
    ::CloseHandle(hRecord);
    ::CloseHandle(hMutex);
}

// A thread that ends holding the mutex abandons it: CNamedMutex::Lock takes
// it over and rewrites the owner record. (An owner process that ends:
// test_ipc, which runs here too.)
TEST_F(Win32Mutex, AbandonedByAThreadIsTakenOver) {
    CRVN::IPC::CNamedMutex mutex;
    ASSERT_TRUE(mutex.Create(m_name.c_str()));
    std::thread([this] {
        plat::HANDLE h = plat::CreateMutexW(nullptr, (L"Global\\" + Wide(m_name)).c_str());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(plat::WaitForSingleObject(h, 0), plat::kWaitObject0);
    }).join();  // ends holding it
    EXPECT_TRUE(mutex.Lock());
    EXPECT_EQ(mutex.OwnerThreadId(), ::GetCurrentThreadId());
    EXPECT_EQ(mutex.HoldCount(), 1);
    mutex.Close();
}

// ---------------------------------------------------------------------------
// The DLL's message table

// The DLL that ships, loaded as data: the system's FormatMessageA finds every
// identifier of the catalogue with the library's own text, with and without
// an insert, and the library's formatter reads the same table through the
// resource calls.
TEST(Win32Messages, TheDllsTableThroughFormatMessageA) {
    HMODULE hDll = ::LoadLibraryExA(VG_DLL_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hDll, nullptr) << VG_DLL_PATH << " " << ::GetLastError();
    size_t cRows = 0;
    const VgMessageIndexRow* pRows = VgMessageIndex(&cRows);
    ASSERT_EQ(cRows, 1254u);
    int cWithInsert = 0;
    for (size_t i = 0; i < cRows; ++i) {
        const DWORD id = pRows[i].id;
        const char* szOwn = nullptr;
        size_t cchOwn = 0;
        ASSERT_TRUE(VgFindOwnMessage(id, &szOwn, &cchOwn));
        const std::string own(szOwn, cchOwn);
        char szSystem[1024];
        DWORD cch = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, hDll, id, 0,
                                     szSystem, sizeof(szSystem), nullptr);
        ASSERT_EQ(std::string(szSystem, cch), own) << std::hex << id;
        char szLibrary[1024];
        ASSERT_EQ(HrFormatMessage(reinterpret_cast<plat::HMODULE>(hDll), id, szLibrary, sizeof(szLibrary), nullptr, 0),
                  S_OK);
        EXPECT_EQ(szLibrary, own) << std::hex << id;

        if (own.find("%1") == std::string::npos) continue;
        ++cWithInsert;
        const char* rgszInserts[] = {"10.0.0.7"};
        DWORD_PTR rgArguments[] = {reinterpret_cast<DWORD_PTR>(rgszInserts[0])};
        cch = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, hDll, id, 0, szSystem,
                               sizeof(szSystem), reinterpret_cast<va_list*>(rgArguments));
        ASSERT_NE(cch, 0u) << std::hex << id;
        ASSERT_EQ(HrFormatMessage(nullptr, id, szLibrary, sizeof(szLibrary), rgszInserts, 1), S_OK);
        EXPECT_EQ(std::string(szSystem, cch), szLibrary) << std::hex << id;
        EXPECT_NE(std::string(szLibrary).find("10.0.0.7"), std::string::npos) << std::hex << id;
    }
    EXPECT_GT(cWithInsert, 100);
    ::FreeLibrary(hDll);
}

}  // namespace
