// List operations: one record added to or removed from a list, a list
// cleared, a frozen account thawed. Each is one transaction on the
// management pipe, and the service's status is the result.
#include <cstddef>
#include <cstring>

#include "VGClient/vgrecords.h"
#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/hresult.h"

namespace {

// The header followed by the caller's record, sent 116 + record size long.
struct ItemRequest {
    VGREQHDREX hdr;
    BYTE abItem[VG_GATEWAYITEM_SIZE];  // the largest record sent
};

struct ThawRequest {
    VGREQHDREX hdr;
    VGITEMID idAccount;
};
static_assert(sizeof(ThawRequest) == 132, "thaw request size");

// Fills the request with the caller's record, or an all-zero one when there
// is none; returns the size to send.
DWORD BuildItemRequest(ItemRequest* pReq, DWORD dwCommand, const VGSESSIONID& idSession, const void* pItem,
                       DWORD cbItem) {
    const DWORD cbRequest = static_cast<DWORD>(sizeof(VGREQHDREX)) + cbItem;
    VgFillReqHdrEx(&pReq->hdr, dwCommand, cbRequest, &idSession);
    if (pItem)
        std::memcpy(pReq->abItem, pItem, cbItem);
    else
        std::memset(pReq->abItem, 0, cbItem);
    return cbRequest;
}

// One exchange answered by the reply header alone.
HRESULT HrExchange(const void* pvRequest, DWORD cbRequest) {
    VGREPLYHDR reply;
    VgPresetReply(&reply, sizeof(reply));
    HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, pvRequest, cbRequest, &reply, sizeof(reply));
    return HrFailed(hr) ? hr : reply.hrStatus;
}

HRESULT HrItemOperation(DWORD dwCommand, const VGSESSIONID& idSession, const void* pItem, DWORD cbItem) {
    ItemRequest req;
    DWORD cbRequest = BuildItemRequest(&req, dwCommand, idSession, pItem, cbItem);
    return HrExchange(&req, cbRequest);
}

// An add whose reply carries the identifier the service assigned. It goes
// into the caller's record at offIdItem, after a refused add too unless
// dwReserved is nonzero; a failed exchange leaves the record alone.
HRESULT HrAddWithIdentifier(DWORD dwCommand, const VGSESSIONID& idSession, void* pItem, DWORD cbItem,
                            size_t offIdItem, DWORD dwReserved) {
    ItemRequest req;
    DWORD cbRequest = BuildItemRequest(&req, dwCommand, idSession, pItem, cbItem);
    VGADDITEMREPLY reply;
    std::memset(&reply, 0, sizeof(reply));
    VgPresetReply(&reply.hdr, sizeof(reply));
    HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, cbRequest, &reply, sizeof(reply));
    if (HrFailed(hr)) return hr;
    if (pItem && (HrSucceeded(reply.hdr.hrStatus) || dwReserved == 0))
        std::memcpy(static_cast<BYTE*>(pItem) + offIdItem, &reply.idItem, sizeof(reply.idItem));
    return reply.hdr.hrStatus;
}

HRESULT HrResetList(DWORD dwCommand, const VGSESSIONID& idSession) {
    VGREQHDREX req;
    VgFillReqHdrEx(&req, dwCommand, sizeof(req), &idSession);
    return HrExchange(&req, sizeof(req));
}

}  // namespace

// ---------------------------------------------------------------------------
// Exports

VGHRESULT VGAPI HrVGAddWhiteItem(VGSESSIONID idSession, VGWHITEITEM* pItem, VGDWORD dwReserved) {
    return HrAddWithIdentifier(VGCMD_ADDWHITEITEM, idSession, pItem, VG_WHITEITEM_SIZE, offsetof(VGWHITEITEM, idItem),
                               dwReserved);
}

VGHRESULT VGAPI HrVGRemoveWhiteItem(VGSESSIONID idSession, const VGWHITEITEM* pItem, VGDWORD) {
    return HrItemOperation(VGCMD_REMOVEWHITEITEM, idSession, pItem, VG_WHITEITEM_SIZE);
}

VGHRESULT VGAPI HrVGResetWhiteItemList(VGSESSIONID idSession, VGDWORD) {
    return HrResetList(VGCMD_RESETWHITEITEMLIST, idSession);
}

VGHRESULT VGAPI HrVGAddBlackItem(VGSESSIONID idSession, VGBLACKITEM* pItem, VGDWORD dwReserved) {
    return HrAddWithIdentifier(VGCMD_ADDBLACKITEM, idSession, pItem, VG_BLACKITEM_SIZE, offsetof(VGBLACKITEM, idItem),
                               dwReserved);
}

VGHRESULT VGAPI HrVGRemoveBlackItem(VGSESSIONID idSession, const VGBLACKITEM* pItem, VGDWORD) {
    return HrItemOperation(VGCMD_REMOVEBLACKITEM, idSession, pItem, VG_BLACKITEM_SIZE);
}

VGHRESULT VGAPI HrVGResetBlackItemList(VGSESSIONID idSession, VGDWORD) {
    return HrResetList(VGCMD_RESETBLACKITEMLIST, idSession);
}

VGHRESULT VGAPI HrVGAddTrustedIPItem(VGSESSIONID idSession, const VGTRUSTEDIPITEM* pItem, VGDWORD) {
    return HrItemOperation(VGCMD_ADDTRUSTEDIPITEM, idSession, pItem, VG_TRUSTEDIPITEM_SIZE);
}

VGHRESULT VGAPI HrVGRemoveTrustedIPItem(VGSESSIONID idSession, const VGTRUSTEDIPITEM* pItem, VGDWORD) {
    return HrItemOperation(VGCMD_REMOVETRUSTEDIPITEM, idSession, pItem, VG_TRUSTEDIPITEM_SIZE);
}

VGHRESULT VGAPI HrVGAddGatewayItem(VGSESSIONID idSession, VGGATEWAYITEM* pItem, VGDWORD dwReserved) {
    return HrAddWithIdentifier(VGCMD_ADDGATEWAYITEM, idSession, pItem, VG_GATEWAYITEM_SIZE,
                               offsetof(VGGATEWAYITEM, idItem), dwReserved);
}

VGHRESULT VGAPI HrVGRemoveGatewayItem(VGSESSIONID idSession, const VGGATEWAYITEM* pItem, VGDWORD) {
    return HrItemOperation(VGCMD_REMOVEGATEWAYITEM, idSession, pItem, VG_GATEWAYITEM_SIZE);
}

VGHRESULT VGAPI HrVGResetFrozenAccountList(VGSESSIONID idSession, VGDWORD) {
    return HrResetList(VGCMD_RESETFROZENACCOUNTLIST, idSession);
}

VGHRESULT VGAPI HrVGResetAuthFailItemList(VGSESSIONID idSession, VGDWORD) {
    return HrResetList(VGCMD_RESETAUTHFAILITEMLIST, idSession);
}

VGHRESULT VGAPI HrVGThawFrozenAccount(VGSESSIONID idSession, VGITEMID idAccount, VGDWORD) {
    ThawRequest req;
    VgFillReqHdrEx(&req.hdr, VGCMD_THAWFROZENACCOUNT, sizeof(req), &idSession);
    req.idAccount = idAccount;
    return HrExchange(&req, sizeof(req));
}
