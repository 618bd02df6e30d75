// Injected allocation failures for tests, shared by both sides of
// platform/heap.h. Included by heap_posix.cpp or heap_win32.cpp, exactly one
// per build.
#pragma once

#include <atomic>

#include "sharedcode/platform/heap.h"

namespace plat {
namespace heapfaults {

inline std::atomic<int> g_cFailAllocs{0};
inline std::atomic<int> g_cFailHeapCreates{0};
inline std::atomic<HHEAP> g_hFailHeap{nullptr};
inline std::atomic<int> g_cFailHeapAllocs{0};

// Takes one pending injected failure from a counter, if any.
inline bool TakeFailure(std::atomic<int>& counter) {
    int n = counter.load(std::memory_order_relaxed);
    while (n > 0 && !counter.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
    }
    return n > 0;
}

inline bool TakeInjectedFailure() { return TakeFailure(g_cFailAllocs); }

inline bool TakeHeapFailure(HHEAP hHeap) {
    return g_cFailHeapAllocs.load(std::memory_order_relaxed) > 0 &&
           g_hFailHeap.load(std::memory_order_relaxed) == hHeap && TakeFailure(g_cFailHeapAllocs);
}

}  // namespace heapfaults

// The test hooks of heap.h, defined here once for whichever side is built.
namespace testing {
void FailProcessHeapAllocs(int n) { heapfaults::g_cFailAllocs.store(n > 0 ? n : 0); }
void FailHeapCreates(int n) { heapfaults::g_cFailHeapCreates.store(n > 0 ? n : 0); }
void FailHeapAllocs(HHEAP hHeap, int n) {
    heapfaults::g_cFailHeapAllocs.store(0);
    heapfaults::g_hFailHeap.store(hHeap);
    heapfaults::g_cFailHeapAllocs.store(n > 0 ? n : 0);
}
}  // namespace testing

}  // namespace plat
