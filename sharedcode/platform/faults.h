// Injected failures: counters that the heap and crypto sides of both builds
// consult before they call the system. Only the test archive's hooks
// (faults_testhook.h) set them; in the shipped library they stay zero.
#pragma once

#include <atomic>

#include "sharedcode/platform/heap.h"

namespace plat {
namespace faults {

inline std::atomic<int> g_cFailAllocs{0};
inline std::atomic<int> g_cFailHeapCreates{0};
inline std::atomic<HHEAP> g_hFailHeap{nullptr};
inline std::atomic<int> g_cFailHeapAllocs{0};
inline std::atomic<int> g_cFailDerivations{0};

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

}  // namespace faults
}  // namespace plat
