// Win32 side of platform/heap.h: the process heap and private heaps.
#include <windows.h>

#include <atomic>

#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/faults.h"

namespace plat {

using namespace faults;

namespace {
HANDLE Win(HHEAP hHeap) { return reinterpret_cast<HANDLE>(hHeap); }
}  // namespace

void* ProcessHeapAlloc(size_t cb) {
    void* pv = TakeInjectedFailure() ? nullptr : ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, cb);
    // HeapAlloc without HEAP_GENERATE_EXCEPTIONS leaves the last error alone.
    if (!pv) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pv;
}

void ProcessHeapFree(void* pv) {
    if (pv) ::HeapFree(::GetProcessHeap(), 0, pv);
}

HHEAP HeapCreate(DWORD flOptions, size_t cbInitial, size_t cbMaximum) {
    if (TakeFailure(g_cFailHeapCreates)) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return reinterpret_cast<HHEAP>(::HeapCreate(flOptions, cbInitial, cbMaximum));
}

void* HeapAlloc(HHEAP hHeap, DWORD dwFlags, size_t cb) {
    if (!hHeap) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* pv = TakeHeapFailure(hHeap) ? nullptr : ::HeapAlloc(Win(hHeap), dwFlags, cb);
    if (!pv) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pv;
}

void* HeapReAlloc(HHEAP hHeap, DWORD dwFlags, void* pv, size_t cb) {
    if (!hHeap) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!pv) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* pvNew = TakeHeapFailure(hHeap) ? nullptr : ::HeapReAlloc(Win(hHeap), dwFlags, pv, cb);
    if (!pvNew) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pvNew;
}

BOOL HeapFree(HHEAP hHeap, DWORD dwFlags, void* pv) {
    if (!hHeap) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return pv ? ::HeapFree(Win(hHeap), dwFlags, pv) : TRUE;
}

BOOL HeapDestroy(HHEAP hHeap) {
    if (!hHeap) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return ::HeapDestroy(Win(hHeap));
}

BOOL HeapSetInformation(HHEAP hHeap, HeapInfoClass infoClass, void* pvInfo, size_t cbInfo) {
    return ::HeapSetInformation(Win(hHeap), static_cast<HEAP_INFORMATION_CLASS>(infoClass), pvInfo, cbInfo);
}

}  // namespace plat
