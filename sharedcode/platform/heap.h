// Platform layer: the process heap and private heaps.
//
// HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb) and HeapFree on the process
// heap. Blocks are zero-filled. A failed allocation returns null and sets the
// last error to ERROR_NOT_ENOUGH_MEMORY.
//
// Private heaps follow HeapCreate, HeapAlloc, HeapReAlloc, HeapFree,
// HeapDestroy and HeapSetInformation. Each heap is serialised on its own
// (unless created or called with kHeapNoSerialize). Destroying a heap releases
// every block still allocated from it; nothing needs to be freed one by one.
//
// Blocks of 128 KiB and more come zero-filled from the system and are not
// written over again, so a large block that is asked for but never filled
// costs address space, not memory or time (POSIX: a mapping of its own;
// Win32: the heap's large-block path, fresh pages above its virtual-memory
// threshold).
//
// POSIX: a private heap is an allocator of its own: size classes of 16 bytes
// up to 1 KiB and coarser ones up to 16 KiB, carved from 64 KiB slabs that
// the heap owns; larger blocks are kept one by one on the heap's list. Blocks
// are 16-byte aligned. In AddressSanitizer builds the heap poisons its block
// headers, the unused tail of each block and every freed block.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

void* ProcessHeapAlloc(size_t cb);
void ProcessHeapFree(void* pv);

struct PrivateHeap;
typedef PrivateHeap* HHEAP;

// Flags of the heap calls, with the values of winnt.h.
constexpr DWORD kHeapNoSerialize = 0x00000001;         // HEAP_NO_SERIALIZE
constexpr DWORD kHeapZeroMemory = 0x00000008;          // HEAP_ZERO_MEMORY
constexpr DWORD kHeapReallocInPlaceOnly = 0x00000010;  // HEAP_REALLOC_IN_PLACE_ONLY

// HeapCreate(flOptions, cbInitial, cbMaximum): flOptions 0 or
// kHeapNoSerialize. cbInitial bytes are committed at once; cbMaximum 0 makes
// the heap growable, otherwise allocations that would take it beyond
// cbMaximum bytes fail. Null on failure (ERROR_NOT_ENOUGH_MEMORY).
HHEAP HeapCreate(DWORD flOptions, size_t cbInitial, size_t cbMaximum);

// HeapAlloc: a block of cb bytes (a distinct block for 0 as well), zero-filled
// with kHeapZeroMemory. Null on failure, with the last error set to
// ERROR_NOT_ENOUGH_MEMORY (the Win32 call leaves it alone; this layer sets it).
void* HeapAlloc(HHEAP hHeap, DWORD dwFlags, size_t cb);

// HeapReAlloc: resizes a block, keeping its first min(old, new) bytes; with
// kHeapZeroMemory the bytes beyond the old size are zero-filled. The block may
// move unless kHeapReallocInPlaceOnly is given, in which case a resize that
// does not fit in place fails and leaves the block as it was. Null on
// failure (ERROR_NOT_ENOUGH_MEMORY; a null or foreign block
// ERROR_INVALID_PARAMETER), the old block staying valid.
void* HeapReAlloc(HHEAP hHeap, DWORD dwFlags, void* pv, size_t cb);

// HeapFree: releases a block of hHeap. A null block succeeds. A block that is
// not a live block of hHeap fails with ERROR_INVALID_PARAMETER, or ends the
// process when termination on corruption was enabled for the heap.
BOOL HeapFree(HHEAP hHeap, DWORD dwFlags, void* pv);

// HeapDestroy: releases the heap and every block still allocated from it.
// A null handle fails with ERROR_INVALID_HANDLE.
BOOL HeapDestroy(HHEAP hHeap);

// HeapSetInformation classes, with the values of HEAP_INFORMATION_CLASS.
enum class HeapInfoClass : int {
    Compatibility = 0,                  // ULONG 2: the low-fragmentation heap
    EnableTerminationOnCorruption = 1,  // no data
};

// HeapSetInformation(hHeap, infoClass, pvInfo, cbInfo). POSIX accepts the
// low-fragmentation mode (its size classes already are one) and termination
// on corruption; other values fail with ERROR_INVALID_PARAMETER.
BOOL HeapSetInformation(HHEAP hHeap, HeapInfoClass infoClass, void* pvInfo, size_t cbInfo);

}  // namespace plat
