// List retrieval: a connection of its own to the management pipe (the list
// channel), one request written, then a list header and the records read one
// by one into a single module-heap array that the caller owns afterwards.
#include <cstring>

#include "VGClient/vgrecords.h"
#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/hresult.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/pipe.h"
#include "sharedcode/platform/process.h"

namespace {

constexpr DWORD kListOpenAttempts = 3;
constexpr DWORD kListWaitMs = 250;

// No list of the service comes near this; a header asking for more is taken
// as garbage rather than as a reason to claim the address space.
constexpr uint64_t kMaxArrayBytes = uint64_t{256} << 20;

constexpr HRESULT kHrBadListHeader = HrFromWin32(ERROR_INVALID_DATA);  // 0x8007000D
constexpr HRESULT kHrMoreRecords = HrFromWin32(ERROR_MORE_DATA);       // 0x800700EA

struct ListKind {
    DWORD dwCommand;
    DWORD cbItem;        // what every read asks for, and what the header must announce
    DWORD cbItemPreset;  // the header's record size until the service's header is read
};

constexpr ListKind kWhiteList = {VGCMD_GETWHITEITEMLIST, VG_WHITEITEM_SIZE, VG_WHITEITEM_SIZE};
constexpr ListKind kBlackList = {VGCMD_GETBLACKITEMLIST, VG_BLACKITEM_SIZE, VG_BLACKITEM_SIZE};
constexpr ListKind kTrustedIPList = {VGCMD_GETTRUSTEDIPITEMLIST, VG_TRUSTEDIPITEM_SIZE, VG_TRUSTEDIPITEM_SIZE};
constexpr ListKind kGatewayList = {VGCMD_GETGATEWAYITEMLIST, VG_GATEWAYITEM_SIZE, VG_GATEWAYITEM_SIZE};
constexpr ListKind kFrozenList = {VGCMD_GETFROZENACCOUNTLIST, VG_FROZENACCOUNT_SIZE, VG_FROZENACCOUNT_SIZE};
// Its header is preset like the frozen-account list's, so a header too short
// to name the record size is refused.
constexpr ListKind kAuthFailList = {VGCMD_GETAUTHFAILITEMLIST, VG_AUTHFAILITEM_SIZE, VG_FROZENACCOUNT_SIZE};

// Opens the list channel and writes the request. Up to three opens, each
// failed one followed by a wait for a free instance; a wait that fails ends
// the attempts with the open's error.
HRESULT HrOpenListChannel(const VGREQHDREX& req, plat::HPIPE* phPipe) {
    *phPipe = nullptr;
    char szPath[VG_PIPE_PATH_SIZE] = {};
    DWORD dwReplyTimeoutMs = 0;  // bounds each read of the channel
    FormatPipePath(VG_PIPE_MANAGEMENT, szPath, &dwReplyTimeoutMs);
    plat::HPIPE hPipe = nullptr;
    for (DWORD dwTry = 1;; ++dwTry) {
        hPipe = plat::CreateFileA(szPath, plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                                  plat::kPipeOpenExisting, 0, dwReplyTimeoutMs);
        if (hPipe) break;
        HRESULT hr = HrFromLastError();
        if (!plat::WaitNamedPipeA(szPath, kListWaitMs) || dwTry == kListOpenAttempts) return hr;
    }
    const DWORD dwMode = plat::kPipeReadModeByte;
    DWORD cbWritten = 0;  // not compared with the request's size
    if (!plat::SetNamedPipeHandleState(hPipe, &dwMode) || !plat::WriteFile(hPipe, &req, sizeof(req), &cbWritten)) {
        HRESULT hr = HrFromLastError();
        plat::CloseHandle(hPipe);
        return hr;
    }
    *phPipe = hPipe;
    return S_OK;
}

// Reads the records that follow a header announcing a non-empty list. The
// array has room for the announced records and one more, which takes the
// read that ends the list; the reads never go past it. A whole record in
// that spare slot is one more than announced: it is not kept, the slot stays
// zero and the reply counts as too long. The array is handed out whenever a
// complete record arrived, whatever the result.
HRESULT HrReadRecords(plat::HPIPE hPipe, const VGLISTHDR& hdr, DWORD cbItem, void** ppItems, VGDWORD* pcItems) {
    const uint64_t cSlots = uint64_t{hdr.cItems} + 1;
    if (hdr.cbItem != cbItem || cSlots * cbItem > kMaxArrayBytes) return kHrBadListHeader;
    BYTE* pArray = static_cast<BYTE*>(CModuleHeap::Malloc(static_cast<DWORD>(cSlots * cbItem)));
    if (!pArray) return E_OUTOFMEMORY;

    HRESULT hr = hdr.hdr.hrStatus;
    bool fOverflow = false;
    DWORD cComplete = 0;
    plat::SetLastError(ERROR_SUCCESS);
    for (;;) {
        BYTE* pSlot = pArray + size_t{cComplete} * cbItem;
        DWORD cbRead = 0;
        if (!plat::ReadFile(hPipe, pSlot, cbItem, &cbRead)) break;
        if (cbRead != cbItem) {
            hr = HrFromLastError();
            break;
        }
        if (cComplete == hdr.cItems) {
            std::memset(pSlot, 0, cbItem);
            fOverflow = true;
            break;
        }
        ++cComplete;
    }
    // A failed read, the service closing the pipe included, decides the result.
    DWORD dwError = plat::GetLastError();
    if (dwError != ERROR_SUCCESS) hr = HrFromWin32(static_cast<LONG>(dwError));
    if (fOverflow) hr = kHrMoreRecords;

    if (cComplete > 0) {
        *ppItems = pArray;
        *pcItems = cComplete;
    } else {
        CModuleHeap::Free(pArray);
    }
    return hr;
}

HRESULT HrGetList(const VGSESSIONID& idSession, const ListKind& kind, void** ppItems, VGDWORD* pcItems) {
    *ppItems = nullptr;
    *pcItems = 0;
    VGREQHDREX req;
    VgFillReqHdrEx(&req, kind.dwCommand, sizeof(req), &idSession);
    VGLISTHDR hdr;
    VgPresetReply(&hdr.hdr, sizeof(hdr));
    hdr.cItems = 0;
    hdr.cbItem = kind.cbItemPreset;

    plat::HPIPE hPipe = nullptr;
    HRESULT hr = HrOpenListChannel(req, &hPipe);
    if (!hPipe) return hr;
    DWORD cbRead = 0;  // a short header keeps the presets of the fields it misses
    if (!plat::ReadFile(hPipe, &hdr, sizeof(hdr), &cbRead))
        hr = HrFromLastError();
    else if (HrFailed(hdr.hdr.hrStatus) || hdr.cItems == 0)
        hr = hdr.hdr.hrStatus;
    else
        hr = HrReadRecords(hPipe, hdr, kind.cbItem, ppItems, pcItems);
    plat::CloseHandle(hPipe);
    return hr;
}

template <typename Item>
HRESULT HrGetListOf(const VGSESSIONID& idSession, const ListKind& kind, Item** ppItems, VGDWORD* pcItems) {
    if (!ppItems || !pcItems) return VG_E_MISSINGARG;
    void* pv = nullptr;
    HRESULT hr = HrGetList(idSession, kind, &pv, pcItems);
    *ppItems = static_cast<Item*>(pv);
    return hr;
}

HRESULT HrFreeList(void* pItems) {
    if (!pItems) return VG_E_INVALIDARG;
    CModuleHeap::Free(pItems);
    return S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exports

VGHRESULT VGAPI HrVGGetWhiteItemList(VGSESSIONID idSession, VGWHITEITEM** ppItems, VGDWORD* pcItems, VGDWORD) {
    return HrGetListOf(idSession, kWhiteList, ppItems, pcItems);
}

VGHRESULT VGAPI HrVGGetBlackItemList(VGSESSIONID idSession, VGBLACKITEM** ppItems, VGDWORD* pcItems, VGDWORD) {
    return HrGetListOf(idSession, kBlackList, ppItems, pcItems);
}

VGHRESULT VGAPI HrVGGetTrustedIPItemList(VGSESSIONID idSession, VGTRUSTEDIPITEM** ppItems, VGDWORD* pcItems,
                                         VGDWORD) {
    return HrGetListOf(idSession, kTrustedIPList, ppItems, pcItems);
}

VGHRESULT VGAPI HrVGGetGatewayItemList(VGSESSIONID idSession, VGGATEWAYITEM** ppItems, VGDWORD* pcItems, VGDWORD) {
    return HrGetListOf(idSession, kGatewayList, ppItems, pcItems);
}

VGHRESULT VGAPI HrVGGetFrozenAccountList(VGSESSIONID idSession, VGFROZENACCOUNT** ppItems, VGDWORD* pcItems,
                                         VGDWORD) {
    return HrGetListOf(idSession, kFrozenList, ppItems, pcItems);
}

VGHRESULT VGAPI HrVGGetAuthFailItemList(VGSESSIONID idSession, VGAUTHFAILITEM** ppItems, VGDWORD* pcItems,
                                        VGDWORD) {
    return HrGetListOf(idSession, kAuthFailList, ppItems, pcItems);
}

// Every array comes from the module heap, so two routines free them all: one
// for the white and black names, which take a second, unused argument, and
// one for the other four. The other names are aliases of these two (the
// export table's alias rows), one address each.
VGHRESULT VGAPI HrVGFreeWhiteItemList(void* pItems, VGDWORD) { return HrFreeList(pItems); }
VGHRESULT VGAPI HrVGFreeTrustedIPItemList(void* pItems) { return HrFreeList(pItems); }

// An alias must be defined where its routine is. The 32-bit Windows compiler
// knows a standard-call routine by its decorated name, Routine@bytes.
#if defined(_WIN32) && !defined(_WIN64)
#define VG_ROUTINE_SYMBOL(routine, slots) #routine "@" VG_ARGUMENT_BYTES_##slots
#define VG_ARGUMENT_BYTES_1 "4"
#define VG_ARGUMENT_BYTES_2 "8"
#else
#define VG_ROUTINE_SYMBOL(routine, slots) #routine
#endif
#define VG_EXPORT(name, slots)
#define VG_EXPORT_ALIAS(name, slots, routine) \
    extern "C" decltype(routine) name __attribute__((alias(VG_ROUTINE_SYMBOL(routine, slots))));
#include "VGClient/vgexports.inc"
#undef VG_EXPORT_ALIAS
#undef VG_EXPORT
