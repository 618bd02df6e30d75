// Win32 side of platform/process.h: pass-through.
#include <windows.h>
#include <psapi.h>

#include "sharedcode/platform/process.h"

namespace plat {

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD dwError) { ::SetLastError(dwError); }
DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }
DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }
BOOL GetComputerNameA(char* szBuffer, DWORD* pcch) { return ::GetComputerNameA(szBuffer, pcch); }
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

}  // namespace plat
