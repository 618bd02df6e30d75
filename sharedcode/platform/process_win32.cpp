// Win32 side of platform/process.h: pass-through.
#include <windows.h>
#include <psapi.h>

#include <cstring>

#include "sharedcode/platform/process.h"

namespace plat {

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD dwError) { ::SetLastError(dwError); }
DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }
DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }
// Every request carries the computer name, and the system reads it from the
// registry each time. The NetBIOS name stays what it was at start-up until
// the next restart (a new name takes effect then), so it is read once per
// process; a failed reading is tried again on the next call.
BOOL GetComputerNameA(char* szBuffer, DWORD* pcch) {
    struct Name {
        char sz[MAX_COMPUTERNAME_LENGTH + 1];
        DWORD cch;
        BOOL fOk;
    };
    static const Name s_name = [] {
        Name name = {};
        name.cch = sizeof(name.sz);
        name.fOk = ::GetComputerNameA(name.sz, &name.cch);
        return name;
    }();
    if (!s_name.fOk) return ::GetComputerNameA(szBuffer, pcch);
    if (!pcch || (!szBuffer && *pcch)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (*pcch < s_name.cch + 1) {
        *pcch = s_name.cch + 1;
        ::SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(szBuffer, s_name.sz, s_name.cch + 1);
    *pcch = s_name.cch;
    return TRUE;
}
void Sleep(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }
DWORD GetTickCount() { return ::GetTickCount(); }

BOOL GetOsMajorVersion(DWORD* pdwMajor) {
    if (!pdwMajor) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!::GetVersionExA(&info)) return FALSE;
    *pdwMajor = info.dwMajorVersion;
    return TRUE;
}

uint64_t GetResidentBytes() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    return ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc)) ? pmc.WorkingSetSize : 0;
}

bool RunsUnderWine() {
    static const bool s_fWine = [] {
        HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
        return hNtdll && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
    }();
    return s_fWine;
}

}  // namespace plat
