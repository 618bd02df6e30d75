// Win32 side of platform/namedobj.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/namedobj.h"

namespace plat {

static_assert(kWaitAbandoned == WAIT_ABANDONED && kWaitTimeout == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED &&
                  kInfinite == INFINITE,
              "wait results");

namespace {
::HANDLE Native(HANDLE h) { return reinterpret_cast<::HANDLE>(h); }
HANDLE Wrap(::HANDLE h) { return reinterpret_cast<HANDLE>(h); }
LPSECURITY_ATTRIBUTES Native(const SecurityAttributesStorage* psa) {
    return reinterpret_cast<LPSECURITY_ATTRIBUTES>(const_cast<SecurityAttributesStorage*>(psa));
}
}  // namespace

HANDLE CreateMutexW(const SecurityAttributesStorage* psa, const wchar_t* wszName) {
    return Wrap(::CreateMutexW(Native(psa), FALSE, wszName));
}

DWORD WaitForSingleObject(HANDLE hMutex, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(Native(hMutex), dwMilliseconds);
}

BOOL ReleaseMutex(HANDLE hMutex) { return ::ReleaseMutex(Native(hMutex)); }

HANDLE CreateFileMappingW(const SecurityAttributesStorage* psa, DWORD cbSize, const wchar_t* wszName) {
    return Wrap(::CreateFileMappingW(INVALID_HANDLE_VALUE, Native(psa), PAGE_READWRITE, 0, cbSize, wszName));
}

void* MapViewOfFile(HANDLE hMapping, DWORD cbBytes) {
    return ::MapViewOfFile(Native(hMapping), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, cbBytes);
}

BOOL UnmapViewOfFile(const void* pvView) { return ::UnmapViewOfFile(pvView); }

BOOL CloseHandle(HANDLE h) { return ::CloseHandle(Native(h)); }

}  // namespace plat
