// The module heap: a private heap for the blocks the library hands to its
// callers and for the INI engine's objects and records.
//
// Process-wide objects of the module infrastructure (the heaps, tracing and
// their locks) are function-local statics: made by the first call that needs
// them and destroyed at process exit in the reverse order of their making.
// Blocks still allocated from a heap when it is destroyed go with it.
#pragma once

#include <atomic>

#include "sharedcode/critsec.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/wintypes.h"

namespace CRVN {

// Process-wide objects made on first use count themselves here, so that a
// test can see that a path of the library made none.
DWORD ProcessObjectsCreated();
void NoteProcessObjectCreated();

// A process-wide object of type T that counts itself once it is built.
template <typename T>
class TProcessObject : public T {
public:
    TProcessObject() { NoteProcessObjectCreated(); }
};

}  // namespace CRVN

class CModuleHeap {
public:
    static constexpr DWORD kInitialSize = 0xFFFF;
    // Source lines the heap's trace entries name.
    static constexpr DWORD kTraceLineHeapCreate = 151;
    static constexpr DWORD kTraceLineLowFragmentation = 166;
    static constexpr DWORD kTraceLineTermination = 174;
    static constexpr DWORD kTraceLineNoHeap = 224;

    // A zero-filled block of cb bytes from the process-wide module heap, or
    // null. Without a heap (its creation failed, or it was destroyed at exit)
    // the attempt is traced and the last error is ERROR_INVALID_HANDLE.
    static void* Malloc(DWORD cb);
    // Releases a block of Malloc: non-zero on success. No heap: 0 with
    // ERROR_INVALID_HANDLE; a null block: 0 with ERROR_INVALID_ADDRESS, and
    // the last result becomes 0x800701E7.
    static BOOL Free(void* pv);

    // The process-wide instance; its heap is created on first use.
    static CModuleHeap& Instance();

    // Creates and configures a heap of its own. Failures are recorded in the
    // last result and traced; they never throw.
    CModuleHeap();
    // Destroys the heap and every block still in it.
    virtual ~CModuleHeap();

    CModuleHeap(const CModuleHeap&) = delete;
    CModuleHeap& operator=(const CModuleHeap&) = delete;

    // Malloc and Free on this instance.
    void* Alloc(DWORD cb);
    BOOL Release(void* pv);

    // The last failure the heap recorded; 0 until one occurs.
    HRESULT LastResult() const { return m_hrLast.load(std::memory_order_relaxed); }
    // Null when creation failed and after destruction.
    plat::HHEAP Handle() const { return m_hHeap; }

private:
    void Record(HRESULT hr) { m_hrLast.store(hr, std::memory_order_relaxed); }

    std::atomic<HRESULT> m_hrLast;
    plat::HHEAP m_hHeap;
    CriticalSection m_lock;  // held while the heap is created, configured and destroyed
};
