// In-process locks and the growable pointer arrays that carry one.
//
// CriticalSection is the library's only in-process lock: recursive, spin
// count 2000. CLockedPtrArray<T> is a pointer array guarded by its own
// critical section; each operation holds it for its whole span, so when
// several operations must form one unit the caller holds an outer lock (the
// array's lock is always the innermost one).
#pragma once

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/sync.h"
#include "sharedcode/wintypes.h"

class CriticalSection : public plat::CriticalSectionStorage {
public:
    static constexpr DWORD kSpinCount = 2000;

    // Zero-fills the structure and initialises it.
    CriticalSection();
    virtual ~CriticalSection();

    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { plat::EnterCriticalSection(this); }
    bool TryEnter() { return plat::TryEnterCriticalSection(this) != FALSE; }
    void Leave() { plat::LeaveCriticalSection(this); }

    // Holds the critical section for its scope.
    class CLock {
    public:
        explicit CLock(CriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
        ~CLock() { m_cs.Leave(); }
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;

    private:
        CriticalSection& m_cs;
    };
};

// How CLockedPtrArray<T>::AddCopy makes and releases its own copies. The
// default suits plain records: a zero-filled process-heap block holding a
// bitwise copy. Elements added with Add are released the same way only while
// the array owns its elements.
template <typename T>
struct LockedPtrArrayTraits {
    static T* Copy(const T* pSrc) {
        static_assert(std::is_trivially_copyable<T>::value, "AddCopy copies plain records only");
        void* pv = plat::ProcessHeapAlloc(sizeof(T));
        if (pv) std::memcpy(pv, pSrc, sizeof(T));
        return static_cast<T*>(pv);
    }
    static void Destroy(T* p) { plat::ProcessHeapFree(p); }
};

// char elements are NUL-terminated strings: the copy is the whole text.
template <>
struct LockedPtrArrayTraits<char> {
    static char* Copy(const char* psz) {
        size_t cb = std::strlen(psz) + 1;
        void* pv = plat::ProcessHeapAlloc(cb);
        if (pv) std::memcpy(pv, psz, cb);
        return static_cast<char*>(pv);
    }
    static void Destroy(char* psz) { plat::ProcessHeapFree(psz); }
};

template <typename T, typename Traits = LockedPtrArrayTraits<T>>
class CLockedPtrArray : public CriticalSection {
public:
    static constexpr DWORD kDefaultGrowStep = 256;

    // qsort comparison: each argument points at a slot (a T* const*).
    typedef int (*PFNCOMPARE)(const void* pvSlot1, const void* pvSlot2);

    // A grow step of 0 becomes kDefaultGrowStep at the first growth.
    explicit CLockedPtrArray(DWORD cGrowStep = kDefaultGrowStep) : m_cGrowStep(cGrowStep) {}

    // Releases the elements from the last to the first (when owned), then the
    // slot array.
    ~CLockedPtrArray() override {
        CLock lock(*this);
        while (m_cCount > 0) {
            T* p = m_ppSlots[--m_cCount];
            m_ppSlots[m_cCount] = nullptr;
            if (m_fOwns) Traits::Destroy(p);
        }
        FreeSlots();
    }

    // Appends a copy owned by the array. Returns the new count, or -1: a null
    // element (last error ERROR_INVALID_PARAMETER) or no memory. The array
    // owns its elements from here on.
    int AddCopy(const T* pElement) {
        CLock lock(*this);
        m_fOwns = 1;
        if (!pElement) {
            plat::SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        if (!HasRoom()) return -1;
        T* pCopy = Traits::Copy(pElement);
        if (!pCopy) return -1;
        return Append(pCopy);
    }

    // Appends the caller's pointer, which stays the caller's: the array no
    // longer owns its elements. Returns the new count, or 0 (null element or
    // no memory).
    int Add(T* pElement) {
        CLock lock(*this);
        m_fOwns = 0;
        if (!pElement || !HasRoom()) return 0;
        return Append(pElement);
    }

    // Removes the last slot holding pElement, keeping the order of the rest;
    // releases the element when owned. Unknown pointers change nothing.
    void Remove(T* pElement) {
        CLock lock(*this);
        for (DWORD i = m_cCount; i-- > 0;) {
            if (m_ppSlots[i] != pElement) continue;
            // Moves the null slot after the last element up as well.
            std::memmove(&m_ppSlots[i], &m_ppSlots[i + 1], (m_cCount - i) * sizeof(T*));
            --m_cCount;
            if (m_fOwns) Traits::Destroy(pElement);
            return;
        }
    }

    // Releases every element (when owned) and the slot array.
    void Clear() {
        CLock lock(*this);
        if (m_fOwns) {
            for (DWORD i = 0; i < m_cCount; ++i) Traits::Destroy(m_ppSlots[i]);
        }
        m_cCount = 0;
        FreeSlots();
    }

    void Sort(PFNCOMPARE pfnCompare) {
        CLock lock(*this);
        if (m_cCount > 1) std::qsort(m_ppSlots, m_cCount, sizeof(T*), pfnCompare);
    }

    // Makes room for cElements elements (and the null slot) in one growth,
    // so that adding that many grows no further. False when the slot array
    // cannot grow; the array stays as it was.
    bool Reserve(DWORD cElements) {
        CLock lock(*this);
        if (cElements < m_cCapacity) return true;
        if (cElements + 1 < cElements) {
            plat::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        return GrowTo(cElements + 1);
    }

    // AddCopy at slot i (0 to Count()), moving the slots from i on up by
    // one; keeps a sorted array sorted when i is the element's place. Returns
    // the new count, or -1 (null element, i beyond the count, no memory).
    int InsertCopyAt(DWORD i, const T* pElement) {
        CLock lock(*this);
        m_fOwns = 1;
        if (!pElement || i > m_cCount) {
            plat::SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        if (!HasRoom()) return -1;
        T* pCopy = Traits::Copy(pElement);
        if (!pCopy) return -1;
        std::memmove(&m_ppSlots[i + 1], &m_ppSlots[i], (m_cCount - i + 1) * sizeof(T*));
        m_ppSlots[i] = pCopy;
        ++m_cCount;
        return static_cast<int>(m_cCount);
    }

    // Visits the elements in slot order and removes those for which
    // fnRemove(element) is true, in one pass, keeping the order of the rest;
    // removed elements are released when owned. Returns how many went.
    template <typename Pred>
    DWORD RemoveWhere(Pred fnRemove) {
        CLock lock(*this);
        DWORD iKept = 0;
        for (DWORD i = 0; i < m_cCount; ++i) {
            T* p = m_ppSlots[i];
            if (fnRemove(p)) {
                if (m_fOwns) Traits::Destroy(p);
            } else {
                m_ppSlots[iKept++] = p;
            }
        }
        const DWORD cRemoved = m_cCount - iKept;
        if (m_ppSlots) {
            for (DWORD i = iKept; i < m_cCount; ++i) m_ppSlots[i] = nullptr;
        }
        m_cCount = iKept;
        return cRemoved;
    }

    // The accessors read without the lock: hold the array (Enter/Leave or a
    // CLock) or an outer lock while other threads may change it.
    DWORD Count() const { return m_cCount; }
    // Slots allocated, the terminating null slot included; 0 before the first.
    DWORD Capacity() const { return m_cCapacity; }
    DWORD GrowStep() const { return m_cGrowStep; }
    bool OwnsElements() const { return m_fOwns != 0; }
    // Count() elements followed by a null slot, also while none is allocated.
    T* const* Slots() const { return m_ppSlots ? m_ppSlots : m_rgpEmpty; }
    T* operator[](DWORD i) const { return Slots()[i]; }
    // Null when i is not below Count().
    T* At(DWORD i) const { return i < m_cCount ? m_ppSlots[i] : nullptr; }

private:
    // Makes sure one more element and the null slot after it fit; a failed
    // growth leaves the array as it was.
    bool HasRoom() {
        if (m_ppSlots && m_cCount + 1 < m_cCapacity) return true;
        if (m_cGrowStep == 0) m_cGrowStep = kDefaultGrowStep;
        DWORD cNew = m_cCapacity + m_cGrowStep;
        if (cNew < m_cCapacity) {
            plat::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        return GrowTo(cNew) && m_cCount + 1 < m_cCapacity;
    }

    // Replaces the slot array by a zero-filled one of cNew slots holding the
    // same elements; a failure leaves the array as it was.
    bool GrowTo(DWORD cNew) {
        if (cNew > static_cast<size_t>(-1) / sizeof(T*)) {
            plat::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        T** ppNew = static_cast<T**>(plat::ProcessHeapAlloc(cNew * sizeof(T*)));
        if (!ppNew) return false;
        if (m_ppSlots) {
            std::memcpy(ppNew, m_ppSlots, m_cCount * sizeof(T*));
            plat::ProcessHeapFree(m_ppSlots);
        }
        m_ppSlots = ppNew;
        m_cCapacity = cNew;
        return true;
    }

    int Append(T* p) {
        m_ppSlots[m_cCount++] = p;
        m_ppSlots[m_cCount] = nullptr;
        return static_cast<int>(m_cCount);
    }

    void FreeSlots() {
        plat::ProcessHeapFree(m_ppSlots);
        m_ppSlots = nullptr;
        m_cCapacity = 0;
    }

    DWORD m_cCount = 0;
    DWORD m_cCapacity = 0;
    T** m_ppSlots = nullptr;      // process heap, zero-filled; m_ppSlots[m_cCount] is null
    T* m_rgpEmpty[2] = {};        // stands for the slot array while none is allocated
    BYTE m_fSorted = 0;
    BYTE m_fOwns = 1;
    DWORD m_cGrowStep;
    DWORD m_dwReserved = 0;
};
