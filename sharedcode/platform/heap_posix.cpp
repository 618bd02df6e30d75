// POSIX side of platform/heap.h: calloc and free.
#include "sharedcode/platform/heap.h"

#include <stdlib.h>

#include <atomic>

#include "sharedcode/platform/process.h"

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
    // HeapAlloc hands out a distinct block for 0 bytes as well.
    void* pv = TakeInjectedFailure() ? nullptr : ::calloc(1, cb ? cb : 1);
    if (!pv) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pv;
}

void ProcessHeapFree(void* pv) { ::free(pv); }

namespace testing {
void FailProcessHeapAllocs(int n) { g_cFailAllocs.store(n > 0 ? n : 0); }
}  // namespace testing

}  // namespace plat
