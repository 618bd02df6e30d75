// Win32 side of platform/sync.h: pass-through to the real critical sections.
#include <windows.h>

#include <cstddef>

#include "sharedcode/platform/sync.h"

namespace plat {

static_assert(sizeof(CRITICAL_SECTION) == sizeof(CriticalSectionStorage),
              "CriticalSectionStorage must have the size of CRITICAL_SECTION");
static_assert(alignof(CRITICAL_SECTION) == alignof(CriticalSectionStorage),
              "CriticalSectionStorage must have the alignment of CRITICAL_SECTION");
static_assert(offsetof(CRITICAL_SECTION, LockCount) == offsetof(CriticalSectionStorage, LockCount) &&
                  offsetof(CRITICAL_SECTION, OwningThread) == offsetof(CriticalSectionStorage, OwningThread) &&
                  offsetof(CRITICAL_SECTION, SpinCount) == offsetof(CriticalSectionStorage, SpinCount),
              "CriticalSectionStorage must have the layout of CRITICAL_SECTION");

namespace {
CRITICAL_SECTION* Cs(CriticalSectionStorage* pcs) { return reinterpret_cast<CRITICAL_SECTION*>(pcs); }
}  // namespace

BOOL InitializeCriticalSectionAndSpinCount(CriticalSectionStorage* pcs, DWORD dwSpinCount) {
    return ::InitializeCriticalSectionAndSpinCount(Cs(pcs), dwSpinCount);
}
void DeleteCriticalSection(CriticalSectionStorage* pcs) { ::DeleteCriticalSection(Cs(pcs)); }
void EnterCriticalSection(CriticalSectionStorage* pcs) { ::EnterCriticalSection(Cs(pcs)); }
BOOL TryEnterCriticalSection(CriticalSectionStorage* pcs) { return ::TryEnterCriticalSection(Cs(pcs)); }
void LeaveCriticalSection(CriticalSectionStorage* pcs) { ::LeaveCriticalSection(Cs(pcs)); }

}  // namespace plat
