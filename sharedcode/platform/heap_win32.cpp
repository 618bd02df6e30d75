// Win32 side of platform/heap.h: the process heap.
#include <windows.h>

#include <atomic>

#include "sharedcode/platform/heap.h"

namespace plat {

namespace {
std::atomic<int> g_cFailAllocs{0};

// Takes one pending injected failure, if any.
bool TakeInjectedFailure() {
    int n = g_cFailAllocs.load(std::memory_order_relaxed);
    while (n > 0 && !g_cFailAllocs.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
    }
    return n > 0;
}
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

namespace testing {
void FailProcessHeapAllocs(int n) { g_cFailAllocs.store(n > 0 ? n : 0); }
}  // namespace testing

}  // namespace plat
