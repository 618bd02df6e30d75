// Platform layer: the calling thread and process, and time.
//
// Every platform operation reports failure through the per-thread last error,
// as Win32 does, with Win32 system error codes on every build.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// GetLastError / SetLastError: the calling thread's last system error code.
DWORD GetLastError();
void SetLastError(DWORD dwError);

// GetCurrentProcessId / GetCurrentThreadId (POSIX: getpid, gettid).
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// GetComputerNameA: writes the NetBIOS name of this computer and its NUL into
// szBuffer of *pcch characters; on success *pcch is the length without the NUL.
// A buffer too small fails with ERROR_BUFFER_OVERFLOW (111) and sets *pcch to
// the size needed. POSIX: gethostname up to the first '.', upper-cased, at
// most 15 characters.
BOOL GetComputerNameA(char* szBuffer, DWORD* pcch);

// Sleep: pauses the calling thread for dwMilliseconds.
void Sleep(DWORD dwMilliseconds);

// GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32.
DWORD GetTickCount();

// GetVersionExA's dwMajorVersion. POSIX reports 10.
BOOL GetOsMajorVersion(DWORD* pdwMajor);

// The resident memory of this process in bytes (0 when unknown). POSIX: from
// /proc/self/statm; Windows: the working set.
uint64_t GetResidentBytes();

// Whether this Windows program runs under Wine (its ntdll exports
// wine_get_version). Always false on POSIX.
bool RunsUnderWine();

}  // namespace plat
