// The module heap.
#include "sharedcode/moduleheap.h"

#include "sharedcode/hresult.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/tracing.h"

namespace CRVN {

namespace {
std::atomic<DWORD> g_cProcessObjects{0};
}  // namespace

DWORD ProcessObjectsCreated() { return g_cProcessObjects.load(std::memory_order_relaxed); }
void NoteProcessObjectCreated() { g_cProcessObjects.fetch_add(1, std::memory_order_relaxed); }

}  // namespace CRVN

namespace {
constexpr HRESULT kHrFreeNull = static_cast<HRESULT>(0x800701E7u);
constexpr uint32_t kLowFragmentationHeap = 2;
}  // namespace

CModuleHeap::CModuleHeap() : m_hrLast(S_OK), m_hHeap(nullptr) {
    CriticalSection::CLock lock(m_lock);
    m_hHeap = plat::HeapCreate(0, kInitialSize, 0);
    if (!m_hHeap) {
        Record(HrFromLastError());
        TRACE_HEADER(kTraceLineHeapCreate, "CModuleHeap::CModuleHeap");
        TRACE_MESSAGE("%s failed", "HeapCreate");
        return;
    }
    DWORD dwMajor = 0;
    if (!plat::GetOsMajorVersion(&dwMajor)) return;
    if (dwMajor < 6) {
        uint32_t mode = kLowFragmentationHeap;
        if (!plat::HeapSetInformation(m_hHeap, plat::HeapInfoClass::Compatibility, &mode, sizeof(mode))) {
            Record(HrFromLastError());
            TRACE_HEADER(kTraceLineLowFragmentation, "CModuleHeap::CModuleHeap");
            TRACE_MESSAGE("%s failed %s", "HeapSetInformation", "HEAP_INFORMATION_CLASS::HeapCompatibilityInformation");
        }
        return;
    }
    if (!plat::HeapSetInformation(m_hHeap, plat::HeapInfoClass::EnableTerminationOnCorruption, nullptr, 0)) {
        Record(HrFromLastError());
        TRACE_HEADER(kTraceLineTermination, "CModuleHeap::CModuleHeap");
        TRACE_MESSAGE("%s failed %s", "HeapSetInformation", "HEAP_INFORMATION_CLASS::HeapEnableTerminationOnCorruption");
    }
}

namespace {

// Set when the process-wide heap goes at exit; later calls fail as calls
// without a heap do, without touching the destroyed instance.
bool g_fModuleHeapGone = false;

}  // namespace

CModuleHeap::~CModuleHeap() {
    CriticalSection::CLock lock(m_lock);
    if (m_hHeap && plat::HeapDestroy(m_hHeap)) m_hHeap = nullptr;
}

namespace {

// The process-wide instance marks its going before the heap is destroyed.
struct ProcessModuleHeap : CModuleHeap {
    ~ProcessModuleHeap() override { g_fModuleHeapGone = true; }
};

}  // namespace

CModuleHeap& CModuleHeap::Instance() {
    static CRVN::TProcessObject<ProcessModuleHeap> s_heap;
    return s_heap;
}

void* CModuleHeap::Malloc(DWORD cb) {
    if (g_fModuleHeapGone) {
        plat::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return Instance().Alloc(cb);
}

BOOL CModuleHeap::Free(void* pv) {
    if (g_fModuleHeapGone) {
        plat::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Instance().Release(pv);
}

void* CModuleHeap::Alloc(DWORD cb) {
    // The handle changes only while the instance is built and destroyed.
    plat::HHEAP hHeap = m_hHeap;
    if (hHeap) return plat::HeapAlloc(hHeap, plat::kHeapZeroMemory, cb);
    TRACE_HEADER(kTraceLineNoHeap, "CModuleHeap::Malloc");
    TRACE_MESSAGE("Invalid Heap Handle. @ERR=ERROR_INVALID_HANDLE");
    plat::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL CModuleHeap::Release(void* pv) {
    plat::HHEAP hHeap = m_hHeap;
    if (!hHeap) {
        plat::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!pv) {
        plat::SetLastError(ERROR_INVALID_ADDRESS);
        Record(kHrFreeNull);
        return FALSE;
    }
    return plat::HeapFree(hHeap, 0, pv);
}
