// The string heap, the buffer handling of the strings, and wide-to-narrow
// conversion.
#include "sharedcode/tsz.h"

#include <climits>
#include <cstring>

#include "sharedcode/hresult.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/text.h"

namespace {

// Set when the string heap goes at exit. Strings that outlive it (members of
// other static objects) neither allocate nor release any more: their blocks
// went with the heap. Constant-initialised, so it is valid to the very end.
bool g_fStringHeapGone = false;

}  // namespace

CTSzHeap::CTSzHeap() : m_hHeap(plat::HeapCreate(0, 0, 0)) {}

CTSzHeap::~CTSzHeap() {
    if (m_hHeap) plat::HeapDestroy(m_hHeap);
    m_hHeap = nullptr;
}

namespace {

// The process-wide instance marks its going before the heap is destroyed.
struct ProcessStringHeap : CTSzHeap {
    ~ProcessStringHeap() override { g_fStringHeapGone = true; }
};

}  // namespace

CTSzHeap& CTSzHeap::Instance() {
    static CRVN::TProcessObject<ProcessStringHeap> s_heap;
    return s_heap;
}

TSzBase::TSzBase()
    : m_cchCapacity(kDefaultCapacity),
      m_cchGrow(kDefaultGrowStep),
      m_bFlags(0),
      m_hHeap(g_fStringHeapGone ? nullptr : CTSzHeap::Instance().Handle()) {}

plat::HHEAP TSzBase::Heap() {
    if (g_fStringHeapGone) return nullptr;
    if (!m_hHeap) m_hHeap = CTSzHeap::Instance().Handle();
    return m_hHeap;
}

void* TSzBase::AllocBytes(size_t cb) {
    plat::HHEAP hHeap = Heap();
    return hHeap ? plat::HeapAlloc(hHeap, plat::kHeapZeroMemory, cb) : nullptr;
}

void TSzBase::ReleaseBytes(void* pv, size_t cb) {
    if (!pv || g_fStringHeapGone) return;
    if (m_bFlags & kFlagWipe) std::memset(pv, 0, cb);
    plat::HeapFree(m_hHeap, 0, pv);
}

void* TSzBase::GrowBytes(void* pv, size_t cbOld, size_t cbNew) {
    if (!pv) return AllocBytes(cbNew);
    if (g_fStringHeapGone) return nullptr;
    plat::HHEAP hHeap = m_hHeap;  // the heap that gave pv
    if (!(m_bFlags & kFlagWipe)) return plat::HeapReAlloc(hHeap, plat::kHeapZeroMemory, pv, cbNew);
    // A wiped string never leaves its text behind in a released block.
    void* pvNew = plat::HeapReAlloc(hHeap, plat::kHeapZeroMemory | plat::kHeapReallocInPlaceOnly, pv, cbNew);
    if (pvNew) return pvNew;
    pvNew = AllocBytes(cbNew);
    if (!pvNew) return nullptr;
    std::memcpy(pvNew, pv, cbOld);
    ReleaseBytes(pv, cbOld);
    return pvNew;
}

HRESULT CWCharChar::FromWide(const wchar_t* wsz) {
    m_narrow.Assign("");
    m_wide.Assign(L"");
    if (!wsz) return E_INVALIDARG;
    m_wide.Assign(wsz);
    size_t n = m_wide.Length();
    if (n == 0) return wsz[0] ? HrFromWin32(ERROR_NOT_ENOUGH_MEMORY) : S_OK;
    if (n >= INT_MAX) return E_INVALIDARG;

    const int cchWide = static_cast<int>(n) + 1;  // the terminator too
    int cb = plat::WideToAnsi(m_wide.Get(), cchWide, nullptr, 0);
    if (cb <= 0) return HrFromLastError();
    char* psz = static_cast<char*>(AllocBytes(static_cast<size_t>(cb)));
    if (!psz) return HrFromWin32(ERROR_NOT_ENOUGH_MEMORY);

    HRESULT hr = S_OK;
    if (plat::WideToAnsi(m_wide.Get(), cchWide, psz, cb) == 0) {
        DWORD dwError = plat::GetLastError();
        hr = dwError ? HrFromWin32(static_cast<LONG>(dwError)) : E_FAIL;
    } else {
        m_narrow.Assign(psz);
        if (m_narrow.Length() != std::strlen(psz)) hr = HrFromWin32(ERROR_NOT_ENOUGH_MEMORY);
    }
    ReleaseBytes(psz, static_cast<size_t>(cb));
    return hr;
}
