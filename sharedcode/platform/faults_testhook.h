// Test hooks that make the platform layer refuse, for tests of the paths
// that handle a refusal. They live in the test archive (vg_testhooks), never
// in the shipped library. Process-wide.
#pragma once

#include "sharedcode/platform/heap.h"

namespace plat {
namespace testing {

// Makes the next n process-heap allocations fail.
void FailProcessHeapAllocs(int n);

// Makes the next n HeapCreate calls fail (ERROR_NOT_ENOUGH_MEMORY).
void FailHeapCreates(int n);

// Makes the next n HeapAlloc or HeapReAlloc calls on hHeap fail (in-place
// resizes included). One heap at a time; a new call replaces the last.
void FailHeapAllocs(HHEAP hHeap, int n);

// Makes the next n CryptDeriveKey calls fail with NTE_FAIL, without a key.
void FailKeyDerivations(int n);

}  // namespace testing
}  // namespace plat
