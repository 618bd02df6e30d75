// A first-in, first-out queue of element pointers guarded by its own
// critical section. The queue owns what it holds: elements still queued when
// it is destroyed are released with Traits::Destroy. Nodes come from the
// process heap.
#pragma once

#include "sharedcode/critsec.h"

template <typename T, typename Traits = LockedPtrArrayTraits<T>>
class CLockedQueue {
public:
    CLockedQueue() = default;
    ~CLockedQueue() {
        while (T* p = Pop()) Traits::Destroy(p);
    }

    CLockedQueue(const CLockedQueue&) = delete;
    CLockedQueue& operator=(const CLockedQueue&) = delete;

    // Appends at the tail; false (the element stays the caller's) when no
    // node can be had or the element is null.
    bool Push(T* pElement) {
        if (!pElement) return false;
        tagNODE* pNode = static_cast<tagNODE*>(plat::ProcessHeapAlloc(sizeof(tagNODE)));
        if (!pNode) return false;
        pNode->pItem = pElement;
        pNode->pNext = nullptr;
        CriticalSection::CLock lock(m_cs);
        if (m_pTail) {
            m_pTail->pNext = pNode;
        } else {
            m_pHead = pNode;
        }
        m_pTail = pNode;
        ++m_cCount;
        return true;
    }

    // Takes the element at the head; null when the queue is empty.
    T* Pop() {
        tagNODE* pNode;
        {
            CriticalSection::CLock lock(m_cs);
            pNode = m_pHead;
            if (!pNode) return nullptr;
            m_pHead = pNode->pNext;
            if (!m_pHead) m_pTail = nullptr;
            --m_cCount;
        }
        T* p = pNode->pItem;
        plat::ProcessHeapFree(pNode);
        return p;
    }

    DWORD Count() {
        CriticalSection::CLock lock(m_cs);
        return m_cCount;
    }

private:
    struct tagNODE {
        T* pItem;
        tagNODE* pNext;
    };

    tagNODE* m_pHead = nullptr;
    tagNODE* m_pTail = nullptr;
    CriticalSection m_cs;
    DWORD m_cCount = 0;
};
