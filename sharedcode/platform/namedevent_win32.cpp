// Win32 side of platform/namedevent.h: pass-through; an HEVENT is the
// event's HANDLE.
#include <windows.h>

#include "sharedcode/platform/namedevent.h"

namespace plat {

HEVENT OpenEventA(const char* szName) {
    return reinterpret_cast<HEVENT>(::OpenEventA(EVENT_ALL_ACCESS, FALSE, szName));
}

HEVENT CreateEventA(const SecurityAttributesStorage* psa, const char* szName) {
    return reinterpret_cast<HEVENT>(::CreateEventA(
        const_cast<SECURITY_ATTRIBUTES*>(reinterpret_cast<const SECURITY_ATTRIBUTES*>(psa)), FALSE, FALSE, szName));
}

BOOL SetEvent(HEVENT hEvent) { return ::SetEvent(reinterpret_cast<::HANDLE>(hEvent)); }

DWORD WaitForEvent(HEVENT hEvent, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(reinterpret_cast<::HANDLE>(hEvent), dwMilliseconds);
}

BOOL CloseEvent(HEVENT hEvent) { return ::CloseHandle(reinterpret_cast<::HANDLE>(hEvent)); }

void UnlinkEventA(const char*) {}

}  // namespace plat
