// Platform layer: in-process critical sections.
//
// CriticalSectionStorage has the layout of _RTL_CRITICAL_SECTION on Windows,
// so the core can derive from it without <windows.h>; on POSIX it holds a
// recursive pthread mutex. Like Win32 critical sections they are recursive:
// the owning thread may enter again and must leave as often.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

#if defined(_WIN32)
struct CriticalSectionStorage {
    void* DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    void* OwningThread;
    void* LockSemaphore;
    uintptr_t SpinCount;
};
#else
struct CriticalSectionStorage {
    alignas(16) unsigned char opaque[64];
};
#endif

// InitializeCriticalSectionAndSpinCount. POSIX ignores the spin count.
BOOL InitializeCriticalSectionAndSpinCount(CriticalSectionStorage* pcs, DWORD dwSpinCount);
void DeleteCriticalSection(CriticalSectionStorage* pcs);
void EnterCriticalSection(CriticalSectionStorage* pcs);
BOOL TryEnterCriticalSection(CriticalSectionStorage* pcs);
void LeaveCriticalSection(CriticalSectionStorage* pcs);

}  // namespace plat
