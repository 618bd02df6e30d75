// Platform layer: the process heap.
//
// HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb) and HeapFree on the process
// heap. Blocks are zero-filled. A failed allocation returns null and sets the
// last error to ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

void* ProcessHeapAlloc(size_t cb);
void ProcessHeapFree(void* pv);

namespace testing {
// Makes the next n process-heap allocations fail; for tests of the paths that
// handle a refusing heap. Process-wide.
void FailProcessHeapAllocs(int n);
}  // namespace testing

}  // namespace plat
