// The screening calls of the protocol front ends: list membership, location
// screening and data, connection admission, authentication outcomes.
//
// Each call builds its request and reply on the caller's stack and makes one
// transaction on the screening pipe. A null text or record pointer that the
// call needs is refused with 0x800700A0 before anything is sent; the VG twins
// answer their fixed failure value instead.
#include <cstring>

#include "VGClient/vgrecords.h"
#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/hresult.h"

namespace {

// ---------------------------------------------------------------------------
// List membership (commands 1 to 3)

HRESULT HrListQuery(DWORD dwCommand, const char* szIPAddress, VGQUERYREPLY* pReply) {
    if (!szIPAddress) return VG_E_MISSINGARG;
    VGIPQUERY req;
    VgInitIPQuery(&req);
    req.hdr.dwCommand = dwCommand;
    VgCopyText(req.szIPAddress, szIPAddress);

    VgPresetReply(&pReply->hdr, sizeof(*pReply));
    pReply->dwResult = 0;
    HRESULT hr = HrPipeTransact(VG_PIPE_SCREENING, &req, sizeof(req), pReply, sizeof(*pReply));
    if (HrFailed(hr)) return hr;
    if (HrFailed(pReply->hdr.hrStatus)) return pReply->hdr.hrStatus;
    return S_OK;  // a positive status is not passed on
}

HRESULT HrListAnswer(DWORD dwCommand, VGDWORD* pdwResult, const char* szIPAddress) {
    VGQUERYREPLY reply;
    HRESULT hr = HrListQuery(dwCommand, szIPAddress, &reply);
    if (HrFailed(hr)) return hr;
    if (pdwResult) *pdwResult = reply.dwResult;
    return S_OK;
}

DWORD ListAnswer(DWORD dwCommand, const char* szIPAddress) {
    VGQUERYREPLY reply;
    return HrFailed(HrListQuery(dwCommand, szIPAddress, &reply)) ? 0 : reply.dwResult;
}

// ---------------------------------------------------------------------------
// Location screening (commands 4, 5) and location data (command 12)

// The transaction of commands 4 and 5; the reply's first cbReply bytes are
// used (144 for command 4, 376 for command 5).
HRESULT HrGeoBlockQuery(DWORD dwCommand, const char* szIPAddress, DWORD dwService, DWORD dwParam,
                        const VGGEODATA* pCallerGeo, VGGEOBLOCKREPLYEX* pReply, DWORD cbReply) {
    VGIPQUERY req;
    VgInitIPQuery(&req);
    req.hdr.dwCommand = dwCommand;
    VgCopyText(req.szIPAddress, szIPAddress);
    req.dwService = dwService;
    req.dwParam = dwParam;

    std::memset(pReply, 0, sizeof(*pReply));
    VgPresetReply(&pReply->base.hdr, cbReply);
    VgPresetGeoData(&pReply->geoData);
    if (!szIPAddress) return VG_E_MISSINGARG;
    if (dwCommand == VGCMD_ISGEOBLOCKEDEX) {
        if (!pCallerGeo) return VG_E_MISSINGARG;
        if (pCallerGeo->cbSize != VG_GEODATA_SIZE) return VG_E_BADSIZE;
    }
    HRESULT hr = HrPipeTransact(VG_PIPE_SCREENING, &req, sizeof(req), pReply, cbReply);
    if (HrFailed(hr)) return hr;
    if (HrFailed(pReply->base.hdr.hrStatus)) return pReply->base.hdr.hrStatus;
    return S_OK;
}

// Copies the location text when a buffer and a size are given: S_OK,
// 0x8007007A when cut, 0x80070057 for a size above 0x7FFFFFFF.
HRESULT HrCopyLocation(const VGGEOBLOCKREPLY& reply, char* szLocation, VGDWORD cchLocation) {
    if (!szLocation || !cchLocation) return S_OK;
    return SzCopy(szLocation, cchLocation, reply.szLocation);
}

HRESULT HrGeoData(VGGEOQUERY* pReq, VGGEODATA* pGeoData) {
    VGGEODATAREPLY reply;
    std::memset(&reply, 0, sizeof(reply));
    VgPresetReply(&reply.hdr, sizeof(reply));
    VgPresetGeoData(&reply.geoData);
    if (!pGeoData) return VG_E_MISSINGARG;
    if (pGeoData->cbSize != VG_GEODATA_SIZE) return VG_E_BADSIZE;
    HRESULT hr = HrPipeTransact(VG_PIPE_SCREENING, pReq, sizeof(*pReq), &reply, sizeof(reply));
    if (HrFailed(hr)) return hr;
    if (HrFailed(reply.hdr.hrStatus)) return reply.hdr.hrStatus;
    std::memcpy(pGeoData, &reply.geoData, sizeof(*pGeoData));
    return S_OK;
}

// ---------------------------------------------------------------------------
// Connection admission (commands 6 to 9)

// One record holds every admission request and reply; each command sends
// and reads the part of it that its row of the command table gives.
static_assert(sizeof(VGADMISSIONREQ) == VgCommandRow(VGCMD_ALLOWCONNECTIONEX).cbRequest, "largest request");
static_assert(sizeof(VGADMISSIONREPLY) == VgCommandRow(VGCMD_ALLOWCONNECTIONEX).cbReply, "largest reply");

// One admission request. The reply's status plays no part; on a transport
// failure nothing is written, so a twin's verdict word keeps its 1.
HRESULT HrAdmit(DWORD dwCommand, const char* szIPAddress, DWORD dwService, const char* szAccount, DWORD dwParam1,
                DWORD dwParam2, VGDWORD* pdwVerdict, VGDWORD* pdwInfo1, VGGEODATA* pGeoData, VGDWORD* pdwInfo2) {
    const bool bAccount = dwCommand == VGCMD_ALLOWCONNECTION || dwCommand == VGCMD_ALLOWCONNECTIONEX;
    const bool bExtended = dwCommand == VGCMD_ALLOWIPCONNECTIONEX || dwCommand == VGCMD_ALLOWCONNECTIONEX;
    const VGCOMMANDROW row = VgCommandRow(dwCommand);
    const DWORD cbRequest = row.cbRequest;
    const DWORD cbReply = row.cbReply;
    if (!szIPAddress || (bAccount && !szAccount)) return VG_E_MISSINGARG;

    VGADMISSIONREQ req;
    std::memset(&req, 0, sizeof(req));
    VgFillReqHdrEx(&req.hdr, dwCommand, cbRequest, nullptr);
    VgCopyText(req.szIPAddress, szIPAddress);
    req.dwService = dwService;
    if (bAccount) {
        VgCopyText(req.u.account.szAccount, szAccount);
        req.u.account.dwReserved = 0;
        if (bExtended) {
            req.u.account.dwParam1 = dwParam1;
            req.u.account.dwParam2 = dwParam2;
        }
    } else if (bExtended) {
        req.u.ip.dwParam1 = dwParam1;
        req.u.ip.dwParam2 = dwParam2;
    }

    VGADMISSIONREPLY reply;
    std::memset(&reply, 0, sizeof(reply));
    VgPresetReply(&reply.hdr, cbReply);
    reply.dwVerdict = 1;
    VgPresetGeoData(&reply.geoData);
    HRESULT hr = HrPipeTransact(row.dwPipe, &req, cbRequest, &reply, cbReply);
    if (HrFailed(hr)) return hr;

    if (pdwVerdict) *pdwVerdict = reply.dwVerdict;
    if (pdwInfo1) *pdwInfo1 = reply.dwInfo1;
    if (bExtended) {
        if (pdwInfo2) *pdwInfo2 = reply.dwInfo2;
        if (pGeoData) std::memcpy(pGeoData, &reply.geoData, sizeof(*pGeoData));
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Authentication outcomes (commands 10, 11): the service's status is the result.

template <typename Request>
HRESULT HrReport(Request* pReq) {
    VGREPLYHDR reply;
    VgPresetReply(&reply, sizeof(reply));
    HRESULT hr = HrPipeTransact(VG_PIPE_SCREENING, pReq, sizeof(*pReq), &reply, sizeof(reply));
    return HrFailed(hr) ? hr : reply.hrStatus;
}

}  // namespace

// ---------------------------------------------------------------------------
// Exports

VGHRESULT VGAPI HrVGIsWhiteListed(VGDWORD* pdwResult, const char* szIPAddress, VGDWORD) {
    return HrListAnswer(VGCMD_ISWHITELISTED, pdwResult, szIPAddress);
}

VGHRESULT VGAPI HrVGIsBlackListed(VGDWORD* pdwResult, const char* szIPAddress, VGDWORD) {
    return HrListAnswer(VGCMD_ISBLACKLISTED, pdwResult, szIPAddress);
}

VGHRESULT VGAPI HrVGIsTrusted(VGDWORD* pdwResult, const char* szIPAddress, VGDWORD) {
    return HrListAnswer(VGCMD_ISTRUSTED, pdwResult, szIPAddress);
}

VGDWORD VGAPI VGIsWhiteListed(const char* szIPAddress, VGDWORD) {
    return ListAnswer(VGCMD_ISWHITELISTED, szIPAddress);
}

VGDWORD VGAPI VGIsBlackListed(const char* szIPAddress, VGDWORD, VGDWORD) {
    return ListAnswer(VGCMD_ISBLACKLISTED, szIPAddress);
}

VGDWORD VGAPI VGIsTrusted(const char* szIPAddress, VGDWORD) { return ListAnswer(VGCMD_ISTRUSTED, szIPAddress); }

VGHRESULT VGAPI HrVGIsGeoBlocked(VGDWORD* pdwBlocked, const char* szIPAddress, VGDWORD dwService,
                                 char* szLocation, VGDWORD cchLocation, VGDWORD) {
    VGGEOBLOCKREPLYEX reply;
    HRESULT hr = HrGeoBlockQuery(VGCMD_ISGEOBLOCKED, szIPAddress, dwService, 0, nullptr, &reply,
                                 sizeof(VGGEOBLOCKREPLY));
    if (HrFailed(hr)) return hr;
    if (pdwBlocked) *pdwBlocked = reply.base.dwResult;
    return HrCopyLocation(reply.base, szLocation, cchLocation);
}

VGDWORD VGAPI VGIsGeoBlocked(const char* szIPAddress, VGDWORD dwService, char* szLocation, VGDWORD cchLocation,
                             VGDWORD) {
    VGGEOBLOCKREPLYEX reply;
    if (HrFailed(HrGeoBlockQuery(VGCMD_ISGEOBLOCKED, szIPAddress, dwService, 0, nullptr, &reply,
                                 sizeof(VGGEOBLOCKREPLY))))
        return 0;
    HrCopyLocation(reply.base, szLocation, cchLocation);
    return reply.base.dwResult;
}

VGHRESULT VGAPI HrVGIsGeoBlockedEx(VGDWORD* pdwBlocked, const char* szIPAddress, VGDWORD dwService,
                                   VGDWORD dwParam, char* szLocation, VGDWORD cchLocation, VGGEODATA* pGeoData) {
    VGGEOBLOCKREPLYEX reply;
    HRESULT hr = HrGeoBlockQuery(VGCMD_ISGEOBLOCKEDEX, szIPAddress, dwService, dwParam, pGeoData, &reply,
                                 sizeof(reply));
    if (HrFailed(hr)) return hr;
    if (pdwBlocked) *pdwBlocked = reply.base.dwResult;
    hr = HrCopyLocation(reply.base, szLocation, cchLocation);
    std::memcpy(pGeoData, &reply.geoData, sizeof(*pGeoData));  // also when the text was cut
    return hr;
}

VGDWORD VGAPI VGIsGeoBlockedEx(const char* szIPAddress, VGDWORD dwService, VGDWORD dwParam, char* szLocation,
                               VGDWORD cchLocation, VGGEODATA* pGeoData) {
    VGGEOBLOCKREPLYEX reply;
    if (HrFailed(HrGeoBlockQuery(VGCMD_ISGEOBLOCKEDEX, szIPAddress, dwService, dwParam, pGeoData, &reply,
                                 sizeof(reply))))
        return 0;
    HrCopyLocation(reply.base, szLocation, cchLocation);
    std::memcpy(pGeoData, &reply.geoData, sizeof(*pGeoData));
    return reply.base.dwResult;
}

VGHRESULT VGAPI HrVGGetGeoDataByIP(const char* szIPAddress, VGDWORD dwParam, VGGEODATA* pGeoData) {
    VGGEOQUERY req;
    VgInitGeoQuery(&req);
    if (!szIPAddress) return VG_E_MISSINGARG;
    VgCopyText(req.szIPAddress, szIPAddress);
    req.dwParam = dwParam;
    return HrGeoData(&req, pGeoData);
}

VGHRESULT VGAPI HrVGGetGeoDataByID(VGDWORD dwID1, VGDWORD dwID2, VGDWORD dwID3, VGDWORD dwParam,
                                   VGGEODATA* pGeoData) {
    VGGEOQUERY req;
    VgInitGeoQuery(&req);
    req.dwID1 = dwID1;
    req.dwID2 = dwID2;
    req.dwID3 = dwID3;
    req.dwParam = dwParam;
    return HrGeoData(&req, pGeoData);
}

VGHRESULT VGAPI HrVGAllowIPConnection(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                      VGDWORD* pdwInfo1, VGDWORD) {
    return HrAdmit(VGCMD_ALLOWIPCONNECTION, szIPAddress, dwService, nullptr, 0, 0, pdwVerdict, pdwInfo1, nullptr,
                   nullptr);
}

VGHRESULT VGAPI HrVGAllowConnection(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                    const char* szAccount, VGDWORD* pdwInfo1, VGDWORD) {
    return HrAdmit(VGCMD_ALLOWCONNECTION, szIPAddress, dwService, szAccount, 0, 0, pdwVerdict, pdwInfo1, nullptr,
                   nullptr);
}

VGHRESULT VGAPI HrVGAllowIPConnectionEx(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                        VGDWORD* pdwInfo1, VGGEODATA* pGeoData, VGDWORD dwParam1,
                                        VGDWORD* pdwInfo2, VGDWORD dwParam2) {
    return HrAdmit(VGCMD_ALLOWIPCONNECTIONEX, szIPAddress, dwService, nullptr, dwParam1, dwParam2, pdwVerdict,
                   pdwInfo1, pGeoData, pdwInfo2);
}

VGHRESULT VGAPI HrVGAllowConnectionEx(VGDWORD* pdwVerdict, const char* szIPAddress, VGDWORD dwService,
                                      const char* szAccount, VGDWORD* pdwInfo1, VGGEODATA* pGeoData,
                                      VGDWORD dwParam1, VGDWORD* pdwInfo2, VGDWORD dwParam2) {
    return HrAdmit(VGCMD_ALLOWCONNECTIONEX, szIPAddress, dwService, szAccount, dwParam1, dwParam2, pdwVerdict,
                   pdwInfo1, pGeoData, pdwInfo2);
}

VGDWORD VGAPI VGAllowIPConnection(const char* szIPAddress, VGDWORD dwService, VGDWORD* pdwInfo1, VGDWORD) {
    VGDWORD dwVerdict = 1;
    HrAdmit(VGCMD_ALLOWIPCONNECTION, szIPAddress, dwService, nullptr, 0, 0, &dwVerdict, pdwInfo1, nullptr, nullptr);
    return dwVerdict;
}

VGDWORD VGAPI VGAllowConnection(const char* szIPAddress, VGDWORD dwService, const char* szAccount,
                                VGDWORD* pdwInfo1, VGDWORD) {
    VGDWORD dwVerdict = 1;
    HrAdmit(VGCMD_ALLOWCONNECTION, szIPAddress, dwService, szAccount, 0, 0, &dwVerdict, pdwInfo1, nullptr, nullptr);
    return dwVerdict;
}

VGDWORD VGAPI VGAllowIPConnectionEx(const char* szIPAddress, VGDWORD dwService, VGDWORD* pdwInfo1,
                                    VGGEODATA* pGeoData, VGDWORD dwParam1, VGDWORD* pdwInfo2, VGDWORD dwParam2) {
    VGDWORD dwVerdict = 1;
    HrAdmit(VGCMD_ALLOWIPCONNECTIONEX, szIPAddress, dwService, nullptr, dwParam1, dwParam2, &dwVerdict, pdwInfo1,
            pGeoData, pdwInfo2);
    return dwVerdict;
}

VGDWORD VGAPI VGAllowConnectionEx(const char* szIPAddress, VGDWORD dwService, const char* szAccount,
                                  VGDWORD* pdwInfo1, VGGEODATA* pGeoData, VGDWORD dwParam1, VGDWORD* pdwInfo2,
                                  VGDWORD dwParam2) {
    VGDWORD dwVerdict = 1;
    HrVGAllowConnectionEx(&dwVerdict, szIPAddress, dwService, szAccount, pdwInfo1, pGeoData, dwParam1, pdwInfo2,
                          dwParam2);
    return dwVerdict;
}

VGHRESULT VGAPI HrVGProcessAuthFailure(const char* szAccount, const char* szIPAddress, VGDWORD dwService,
                                       const char* szAuthText, const char* szAuthDetail, const char* szAuthNote,
                                       VGDWORD) {
    VGAUTHFAILURE req;
    std::memset(&req, 0, sizeof(req));
    VgFillReqHdrEx(&req.hdr, VGCMD_PROCESSAUTHFAILURE, sizeof(req), nullptr);
    if (!szAccount || !szIPAddress || dwService == 0 || !szAuthText) return VG_E_MISSINGARG;
    VgCopyText(req.szAccount, szAccount);
    VgCopyText(req.szIPAddress, szIPAddress);
    req.dwService = dwService;
    VgCopyText(req.szAuthText, szAuthText);
    VgCopyText(req.szAuthDetail, szAuthDetail);
    VgCopyText(req.szAuthNote, szAuthNote);
    return HrReport(&req);
}

VGHRESULT VGAPI HrVGProcessAuthSuccess(const char* szAccount, const char* szIPAddress, VGDWORD dwService, VGDWORD) {
    VGAUTHSUCCESS req;
    std::memset(&req, 0, sizeof(req));
    VgFillReqHdrEx(&req.hdr, VGCMD_PROCESSAUTHSUCCESS, sizeof(req), nullptr);
    if (!szAccount || !szIPAddress) return VG_E_MISSINGARG;
    VgCopyText(req.szAccount, szAccount);
    VgCopyText(req.szIPAddress, szIPAddress);
    req.dwService = dwService;
    return HrReport(&req);
}
