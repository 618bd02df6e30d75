// POSIX side of platform/heap.h: calloc and free for the process heap, and
// private heaps of their own.
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/faults.h"

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "sharedcode/platform/process.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VG_POISON(p, cb) ASAN_POISON_MEMORY_REGION((p), (cb))
#define VG_UNPOISON(p, cb) ASAN_UNPOISON_MEMORY_REGION((p), (cb))
// The heap's own bookkeeping lives in poisoned memory.
#define VG_NO_ASAN __attribute__((no_sanitize_address))
#else
#define VG_POISON(p, cb) ((void)(p), (void)(cb))
#define VG_UNPOISON(p, cb) ((void)(p), (void)(cb))
#define VG_NO_ASAN
#endif

namespace plat {

using namespace faults;

void* ProcessHeapAlloc(size_t cb) {
    // HeapAlloc hands out a distinct block for 0 bytes as well.
    void* pv = TakeInjectedFailure() ? nullptr : ::calloc(1, cb ? cb : 1);
    if (!pv) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pv;
}

void ProcessHeapFree(void* pv) { ::free(pv); }

// ---------------------------------------------------------------------------
// Private heaps.
//
// Every block is preceded by a 16-byte header naming its heap, its size and
// its size class. Blocks up to kMediumMax bytes are carved from slabs and,
// once freed, kept on their class's free list; larger ones are taken one by
// one (malloc'd, or mapped from kMapMin bytes on) and linked into the heap's
// list. The heap owns its slabs and its large blocks, so destroying it
// releases everything at once.

namespace {

constexpr uint32_t kHeapMagic = 0x50486561;  // "aeHP"
constexpr uint16_t kTagLive = 0x4C56;
constexpr uint16_t kTagFree = 0x4652;
constexpr uint16_t kLargeClass = 0xFFFF;

constexpr size_t kGranule = 16;
constexpr size_t kSmallMax = 1024;    // classes of 16-byte steps up to here
constexpr size_t kMediumStep = 256;
constexpr size_t kMediumMax = 16384;  // classes of 256-byte steps up to here
constexpr unsigned kSmallClasses = kSmallMax / kGranule;
constexpr unsigned kClasses = kSmallClasses + (kMediumMax - kSmallMax) / kMediumStep;
constexpr size_t kSlabSize = 64 * 1024;
// Large blocks of this size and more get a mapping of their own, whose pages
// the system hands out zero-filled on first touch: zeroing them again would
// make a block that is asked for but never filled (a list whose header
// announces far more records than arrive) cost memory and time instead of
// address space. Smaller ones come from malloc, which reuses the memory of
// blocks freed before: a block that is filled at once (a settings file's
// image) would otherwise take a page fault for each of its pages on every
// allocation, which costs more than zeroing it. A block below the bound
// that is never filled costs at most its zeroing, a few milliseconds.
constexpr size_t kMapMin = 8 * 1024 * 1024;
// Larger requests fail, as they do on a 32-bit Windows heap.
constexpr size_t kMaxBlock = 0x7FFF0000;

struct BlockHeader {
    union {
        PrivateHeap* pOwner;      // while live
        BlockHeader* pNextFree;   // while on a free list
    };
    uint32_t cb;                  // bytes asked for
    uint16_t iClass;              // size class, or kLargeClass
    uint16_t wTag;                // kTagLive or kTagFree
};
static_assert(sizeof(BlockHeader) == kGranule, "block headers keep blocks 16-byte aligned");

// Precedes the header of a large block.
struct LargeLink {
    LargeLink* pPrev;
    LargeLink* pNext;
    size_t cbCapacity;
    size_t cbMapped;  // the whole mapping; 0 for a malloc'd block
};
static_assert(sizeof(LargeLink) % kGranule == 0, "large blocks stay 16-byte aligned");

struct Slab {
    Slab* pNext;
    size_t cb;
};
constexpr size_t kSlabHeader = 16;
static_assert(sizeof(Slab) <= kSlabHeader, "slab header");

unsigned ClassOf(size_t cb) {
    if (cb <= kSmallMax) return cb ? static_cast<unsigned>((cb - 1) / kGranule) : 0;
    return kSmallClasses + static_cast<unsigned>((cb - kSmallMax - 1) / kMediumStep);
}

size_t ClassSize(unsigned i) {
    return i < kSmallClasses ? (i + 1) * kGranule : kSmallMax + (i - kSmallClasses + 1) * kMediumStep;
}

size_t RoundUp(size_t cb, size_t to) { return (cb + to - 1) / to * to; }

// Test-and-test-and-set; the sections it guards are a few instructions long.
class SpinLock {
public:
    void Lock() {
        while (m_fHeld.exchange(true, std::memory_order_acquire)) {
            for (int n = 0; m_fHeld.load(std::memory_order_relaxed);) {
                if (++n < 64) {
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                } else {
                    ::sched_yield();
                    n = 0;
                }
            }
        }
    }
    void Unlock() { m_fHeld.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_fHeld{false};
};

}  // namespace

struct PrivateHeap {
    uint32_t dwMagic = kHeapMagic;
    bool fSerialize = true;
    bool fTerminateOnCorruption = false;
    size_t cbMaximum = 0;    // 0: growable
    size_t cbCommitted = 0;  // slabs and large blocks
    SpinLock lock;
    BlockHeader* rgpFree[kClasses] = {};
    Slab* pSlabs = nullptr;
    char* pCarve = nullptr;  // unused part of the newest slab
    char* pCarveEnd = nullptr;
    LargeLink large = {&large, &large, 0, 0};  // circular list of large blocks
};

namespace {

bool IsHeap(HHEAP hHeap) { return hHeap && hHeap->dwMagic == kHeapMagic; }

class HeapLock {
public:
    HeapLock(HHEAP hHeap, DWORD dwFlags) : m_hHeap(hHeap), m_fLocked(hHeap->fSerialize && !(dwFlags & kHeapNoSerialize)) {
        if (m_fLocked) m_hHeap->lock.Lock();
    }
    ~HeapLock() { Unlock(); }
    void Unlock() {
        if (m_fLocked) m_hHeap->lock.Unlock();
        m_fLocked = false;
    }

private:
    HHEAP m_hHeap;
    bool m_fLocked;
};

bool FitsMaximum(HHEAP hHeap, size_t cb) {
    return hHeap->cbMaximum == 0 || (cb <= hHeap->cbMaximum && hHeap->cbCommitted <= hHeap->cbMaximum - cb);
}

// Adds a slab of at least cbNeed usable bytes and makes it the carving area.
bool AddSlab(HHEAP hHeap, size_t cbNeed) {
    size_t cb = RoundUp(kSlabHeader + cbNeed, 4096);
    if (cb < kSlabSize) cb = kSlabSize;
    if (!FitsMaximum(hHeap, cb)) {
        // A bounded heap takes what is left, if that is enough.
        if (hHeap->cbMaximum - hHeap->cbCommitted < kSlabHeader + cbNeed) return false;
        cb = hHeap->cbMaximum - hHeap->cbCommitted;
    }
    Slab* pSlab = static_cast<Slab*>(::malloc(cb));
    if (!pSlab) return false;
    pSlab->pNext = hHeap->pSlabs;
    pSlab->cb = cb;
    hHeap->pSlabs = pSlab;
    hHeap->cbCommitted += cb;
    hHeap->pCarve = reinterpret_cast<char*>(pSlab) + kSlabHeader;
    hHeap->pCarveEnd = reinterpret_cast<char*>(pSlab) + cb;
    VG_POISON(hHeap->pCarve, hHeap->pCarveEnd - hHeap->pCarve);
    return true;
}

// Under the heap's lock: a live block of class iClass, or null.
VG_NO_ASAN BlockHeader* TakeSmall(HHEAP hHeap, unsigned iClass, size_t cb) {
    BlockHeader* pHdr = hHeap->rgpFree[iClass];
    if (pHdr) {
        hHeap->rgpFree[iClass] = pHdr->pNextFree;
    } else {
        size_t cbBlock = sizeof(BlockHeader) + ClassSize(iClass);
        if (static_cast<size_t>(hHeap->pCarveEnd - hHeap->pCarve) < cbBlock && !AddSlab(hHeap, cbBlock))
            return nullptr;
        pHdr = reinterpret_cast<BlockHeader*>(hHeap->pCarve);
        hHeap->pCarve += cbBlock;
    }
    pHdr->pOwner = hHeap;
    pHdr->cb = static_cast<uint32_t>(cb);
    pHdr->iClass = static_cast<uint16_t>(iClass);
    pHdr->wTag = kTagLive;
    return pHdr;
}

size_t PageSize() {
    static const size_t s_cb = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return s_cb;
}

// The bytes a large block takes from the system, its link and header included.
size_t RawSize(const LargeLink* pLink) {
    return pLink->cbMapped ? pLink->cbMapped : sizeof(LargeLink) + sizeof(BlockHeader) + pLink->cbCapacity;
}

// Outside the heap's lock: the memory of a large block of cb bytes, or null.
LargeLink* NewLarge(size_t cb) {
    const size_t cbRaw = sizeof(LargeLink) + sizeof(BlockHeader) + cb;
    LargeLink* pLink;
    size_t cbMapped = 0;
    if (cb >= kMapMin) {
        cbMapped = RoundUp(cbRaw, PageSize());
        void* pv = ::mmap(nullptr, cbMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        pLink = pv == MAP_FAILED ? nullptr : static_cast<LargeLink*>(pv);
    } else {
        pLink = static_cast<LargeLink*>(::malloc(cbRaw));
    }
    if (!pLink) return nullptr;
    pLink->cbCapacity = cbMapped ? cbMapped - sizeof(LargeLink) - sizeof(BlockHeader) : cb;
    pLink->cbMapped = cbMapped;
    return pLink;
}

// Outside the heap's lock: gives a large block's memory back.
void ReleaseLarge(LargeLink* pLink) {
    const size_t cbRaw = RawSize(pLink);
    VG_UNPOISON(pLink, cbRaw);
    if (pLink->cbMapped) {
        ::munmap(pLink, cbRaw);
    } else {
        ::free(pLink);
    }
}

// Under the heap's lock: makes a block of NewLarge a live block of the heap,
// or returns null when the heap's maximum does not allow it.
VG_NO_ASAN BlockHeader* LinkLarge(HHEAP hHeap, LargeLink* pLink, size_t cb) {
    const size_t cbRaw = RawSize(pLink);
    if (!FitsMaximum(hHeap, cbRaw)) return nullptr;
    pLink->pNext = hHeap->large.pNext;
    pLink->pPrev = &hHeap->large;
    pLink->pNext->pPrev = pLink;
    hHeap->large.pNext = pLink;
    hHeap->cbCommitted += cbRaw;
    BlockHeader* pHdr = reinterpret_cast<BlockHeader*>(pLink + 1);
    pHdr->pOwner = hHeap;
    pHdr->cb = static_cast<uint32_t>(cb);
    pHdr->iClass = kLargeClass;
    pHdr->wTag = kTagLive;
    VG_POISON(pHdr, sizeof(BlockHeader));
    return pHdr;
}

// The usable size of a live block.
VG_NO_ASAN size_t CapacityOf(const BlockHeader* pHdr) {
    return pHdr->iClass == kLargeClass ? reinterpret_cast<const LargeLink*>(pHdr)[-1].cbCapacity
                                       : ClassSize(pHdr->iClass);
}

VG_NO_ASAN bool IsLiveBlockOf(HHEAP hHeap, const void* pv) {
    if (reinterpret_cast<uintptr_t>(pv) % kGranule != 0) return false;
    const BlockHeader* pHdr = static_cast<const BlockHeader*>(pv) - 1;
    return pHdr->wTag == kTagLive && pHdr->pOwner == hHeap &&
           (pHdr->iClass == kLargeClass || pHdr->iClass < kClasses);
}

VG_NO_ASAN uint32_t SizeOf(const void* pv) { return (static_cast<const BlockHeader*>(pv) - 1)->cb; }
VG_NO_ASAN void SetSize(void* pv, size_t cb) { (static_cast<BlockHeader*>(pv) - 1)->cb = static_cast<uint32_t>(cb); }

// A block that is not a live block of the heap: a caller's bug or a
// corrupted heap.
BOOL Corrupt(HHEAP hHeap) {
    if (hHeap->fTerminateOnCorruption) {
        static const char kText[] = "heap corruption detected: freeing a block that is not live\n";
        ssize_t n = ::write(2, kText, sizeof(kText) - 1);
        (void)n;
        ::abort();
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// Marks a block's bytes beyond cb as unusable, the first cb as usable.
void ShapeBlock(void* pv, size_t cb, size_t cbCapacity) {
    VG_UNPOISON(pv, cb);
    VG_POISON(static_cast<char*>(pv) + cb, cbCapacity - cb);
}

}  // namespace

HHEAP HeapCreate(DWORD flOptions, size_t cbInitial, size_t cbMaximum) {
    if (TakeFailure(g_cFailHeapCreates)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* pv = ::malloc(sizeof(PrivateHeap));
    if (!pv) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HHEAP hHeap = new (pv) PrivateHeap;
    hHeap->fSerialize = !(flOptions & kHeapNoSerialize);
    if (cbMaximum) hHeap->cbMaximum = RoundUp(cbMaximum > cbInitial ? cbMaximum : cbInitial, 4096);
    if (cbInitial && !AddSlab(hHeap, RoundUp(cbInitial, 4096) - kSlabHeader)) {
        ::free(pv);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return hHeap;
}

namespace {

// HeapAlloc without its zero-filling: *pfZeroed tells whether the block's
// bytes are zero already (a fresh mapping).
void* AllocBlock(HHEAP hHeap, DWORD dwFlags, size_t cb, bool* pfZeroed) {
    *pfZeroed = false;
    if (cb > kMaxBlock || TakeHeapFailure(hHeap)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    BlockHeader* pHdr = nullptr;
    size_t cbCapacity = 0;
    if (cb <= kMediumMax) {
        HeapLock lock(hHeap, dwFlags);
        pHdr = TakeSmall(hHeap, ClassOf(cb), cb);
        cbCapacity = ClassSize(ClassOf(cb));
    } else {
        LargeLink* pLink = NewLarge(cb);
        if (pLink) {
            cbCapacity = pLink->cbCapacity;
            *pfZeroed = pLink->cbMapped != 0;
            {
                HeapLock lock(hHeap, dwFlags);
                pHdr = LinkLarge(hHeap, pLink, cb);
            }
            if (!pHdr) ReleaseLarge(pLink);
        }
    }
    if (!pHdr) {
        *pfZeroed = false;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* pv = pHdr + 1;
    ShapeBlock(pv, cb, cbCapacity);
    return pv;
}

}  // namespace

void* HeapAlloc(HHEAP hHeap, DWORD dwFlags, size_t cb) {
    if (!IsHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    bool fZeroed;
    void* pv = AllocBlock(hHeap, dwFlags, cb, &fZeroed);
    if (pv && (dwFlags & kHeapZeroMemory) && !fZeroed) ::memset(pv, 0, cb);
    return pv;
}

void* HeapReAlloc(HHEAP hHeap, DWORD dwFlags, void* pv, size_t cb) {
    if (!IsHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!pv) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (cb > kMaxBlock || TakeHeapFailure(hHeap)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t cbOld;
    {
        HeapLock lock(hHeap, dwFlags);
        if (!IsLiveBlockOf(hHeap, pv)) {
            lock.Unlock();
            Corrupt(hHeap);
            return nullptr;
        }
        cbOld = SizeOf(pv);
        size_t cbCapacity = CapacityOf(static_cast<BlockHeader*>(pv) - 1);
        if (cb <= cbCapacity) {
            SetSize(pv, cb);
            lock.Unlock();
            ShapeBlock(pv, cb, cbCapacity);
            if ((dwFlags & kHeapZeroMemory) && cb > cbOld) ::memset(static_cast<char*>(pv) + cbOld, 0, cb - cbOld);
            return pv;
        }
    }
    if (dwFlags & kHeapReallocInPlaceOnly) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    bool fZeroed;
    void* pvNew = AllocBlock(hHeap, dwFlags, cb, &fZeroed);
    if (!pvNew) return nullptr;
    ::memcpy(pvNew, pv, cbOld < cb ? cbOld : cb);
    if ((dwFlags & kHeapZeroMemory) && cb > cbOld && !fZeroed)
        ::memset(static_cast<char*>(pvNew) + cbOld, 0, cb - cbOld);
    HeapFree(hHeap, dwFlags, pv);
    return pvNew;
}

VG_NO_ASAN BOOL HeapFree(HHEAP hHeap, DWORD dwFlags, void* pv) {
    if (!IsHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!pv) return TRUE;
    BlockHeader* pHdr = static_cast<BlockHeader*>(pv) - 1;
    LargeLink* pLink = nullptr;
    {
        HeapLock lock(hHeap, dwFlags);
        if (!IsLiveBlockOf(hHeap, pv)) {
            lock.Unlock();
            return Corrupt(hHeap);
        }
        if (pHdr->iClass == kLargeClass) {
            pLink = reinterpret_cast<LargeLink*>(pHdr) - 1;
            pLink->pPrev->pNext = pLink->pNext;
            pLink->pNext->pPrev = pLink->pPrev;
            hHeap->cbCommitted -= RawSize(pLink);
        } else {
            // Poisoned before it is on the list: another thread may take it
            // from there at once.
            VG_POISON(pv, ClassSize(pHdr->iClass));
            pHdr->wTag = kTagFree;
            pHdr->pNextFree = hHeap->rgpFree[pHdr->iClass];
            hHeap->rgpFree[pHdr->iClass] = pHdr;
        }
    }
    if (pLink) {
        pHdr->wTag = kTagFree;
        ReleaseLarge(pLink);
    }
    return TRUE;
}

BOOL HeapDestroy(HHEAP hHeap) {
    if (!IsHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (Slab* pSlab = hHeap->pSlabs; pSlab;) {
        Slab* pNext = pSlab->pNext;
        VG_UNPOISON(pSlab, pSlab->cb);
        ::free(pSlab);
        pSlab = pNext;
    }
    for (LargeLink* pLink = hHeap->large.pNext; pLink != &hHeap->large;) {
        LargeLink* pNext = pLink->pNext;
        ReleaseLarge(pLink);
        pLink = pNext;
    }
    hHeap->dwMagic = 0;
    hHeap->~PrivateHeap();
    ::free(hHeap);
    return TRUE;
}

BOOL HeapSetInformation(HHEAP hHeap, HeapInfoClass infoClass, void* pvInfo, size_t cbInfo) {
    if (!IsHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (infoClass) {
        case HeapInfoClass::Compatibility: {
            uint32_t mode = 0;
            if (!pvInfo || cbInfo < sizeof(mode)) break;
            ::memcpy(&mode, pvInfo, sizeof(mode));
            if (mode != 0 && mode != 2) break;
            return TRUE;
        }
        case HeapInfoClass::EnableTerminationOnCorruption:
            hHeap->fTerminateOnCorruption = true;
            return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace plat
