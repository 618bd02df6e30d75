// Typed access to the service's configuration: one request per call on the
// management pipe, section and key names cut silently to their fields.
#include <cstring>

#include "VGClient/vgrecords.h"
#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/hresult.h"

namespace {

// Sends a write request (command 20 or 22 to 26) whose value area the caller
// filled; the service's status or the transport's error.
HRESULT HrWrite(VGCONFIGWRITEREQ* pReq, DWORD dwCommand, const VGSESSIONID& idSession, const char* szSection,
                const char* szKey) {
    pReq->hdr.hdr.dwCommand = dwCommand;
    pReq->hdr.idSession = idSession;
    VgCopyText(pReq->szSection, szSection);
    VgCopyText(pReq->szKey, szKey);
    VGREPLYHDR reply;
    VgPresetReply(&reply, sizeof(reply));
    const HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, pReq, sizeof(*pReq), &reply, sizeof(reply));
    return HrFailed(hr) ? hr : reply.hrStatus;
}

HRESULT HrSetNumber(DWORD dwCommand, const VGSESSIONID& idSession, const char* szSection, const char* szKey,
                    uint32_t dwValue) {
    if (!szSection || !szKey) return VG_E_MISSINGARG;
    VGCONFIGWRITEREQ req;
    VgInitConfigWriteReq(&req);
    req.value.dwValue = dwValue;
    return HrWrite(&req, dwCommand, idSession, szSection, szKey);
}

// Sends a read request (commands 27 to 31) into a reply preset to zero. A
// failed exchange or a negative status is the result, and the reply is not
// to be used.
HRESULT HrRead(DWORD dwCommand, const VGSESSIONID& idSession, const char* szSection, const char* szKey,
               VGCONFIGREPLY* pReply) {
    VGCONFIGREADREQ req;
    VgInitConfigReadReq(&req);
    req.hdr.hdr.dwCommand = dwCommand;
    req.hdr.idSession = idSession;
    VgCopyText(req.szSection, szSection);
    VgCopyText(req.szKey, szKey);
    std::memset(pReply, 0, sizeof(*pReply));
    VgPresetReply(&pReply->hdr, sizeof(*pReply));
    const HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, sizeof(req), pReply, sizeof(*pReply));
    return HrFailed(hr) ? hr : pReply->hdr.hrStatus;
}

// A number of the value's width from the start of the value area; the
// caller's variable is written only on success, and only its own bytes.
template <typename T>
HRESULT HrGetNumber(DWORD dwCommand, const VGSESSIONID& idSession, const char* szSection, const char* szKey,
                    T* pValue) {
    if (!szSection || !szKey || !pValue) return VG_E_MISSINGARG;
    VGCONFIGREPLY reply;
    const HRESULT hr = HrRead(dwCommand, idSession, szSection, szKey, &reply);
    if (HrFailed(hr)) return hr;
    std::memcpy(pValue, &reply.value, sizeof(T));
    return hr;
}

}  // namespace

VGHRESULT VGAPI HrVGConfigDelete(VGSESSIONID idSession, const char* szSection, const char* szKey, VGDWORD) {
    return HrSetNumber(VGCMD_CONFIGDELETE, idSession, szSection, szKey, 0);
}

VGHRESULT VGAPI HrVGConfigSetBYTE(VGSESSIONID idSession, const char* szSection, const char* szKey, uint8_t bValue,
                                  VGDWORD) {
    return HrSetNumber(VGCMD_CONFIGSETBYTE, idSession, szSection, szKey, bValue);
}

VGHRESULT VGAPI HrVGConfigSetBOOL(VGSESSIONID idSession, const char* szSection, const char* szKey, VGBOOL fValue,
                                  VGDWORD) {
    return HrSetNumber(VGCMD_CONFIGSETBOOL, idSession, szSection, szKey, static_cast<uint32_t>(fValue));
}

VGHRESULT VGAPI HrVGConfigSetWORD(VGSESSIONID idSession, const char* szSection, const char* szKey, uint16_t wValue,
                                  VGDWORD) {
    return HrSetNumber(VGCMD_CONFIGSETWORD, idSession, szSection, szKey, wValue);
}

VGHRESULT VGAPI HrVGConfigSetDWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                   VGDWORD dwValue, VGDWORD) {
    return HrSetNumber(VGCMD_CONFIGSETDWORD, idSession, szSection, szKey, dwValue);
}

VGHRESULT VGAPI HrVGConfigSetSZ(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                const char* szValue, VGDWORD) {
    if (!szSection || !szKey || !szValue) return VG_E_MISSINGARG;
    VGCONFIGWRITEREQ req;
    VgInitConfigWriteReq(&req);
    VgCopyText(req.value.szValue, szValue);
    return HrWrite(&req, VGCMD_CONFIGSETSZ, idSession, szSection, szKey);
}

VGHRESULT VGAPI HrVGConfigGetBYTE(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                  uint8_t* pbValue, VGDWORD) {
    return HrGetNumber(VGCMD_CONFIGGETBYTE, idSession, szSection, szKey, pbValue);
}

VGHRESULT VGAPI HrVGConfigGetBOOL(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                  VGBOOL* pfValue, VGDWORD) {
    return HrGetNumber(VGCMD_CONFIGGETBOOL, idSession, szSection, szKey, pfValue);
}

VGHRESULT VGAPI HrVGConfigGetWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                  uint16_t* pwValue, VGDWORD) {
    return HrGetNumber(VGCMD_CONFIGGETWORD, idSession, szSection, szKey, pwValue);
}

VGHRESULT VGAPI HrVGConfigGetDWORD(VGSESSIONID idSession, const char* szSection, const char* szKey,
                                   VGDWORD* pdwValue, VGDWORD) {
    return HrGetNumber(VGCMD_CONFIGGETDWORD, idSession, szSection, szKey, pdwValue);
}

VGHRESULT VGAPI HrVGConfigGetSZ(VGSESSIONID idSession, const char* szSection, const char* szKey, char* szValue,
                                VGDWORD cchValue, VGDWORD) {
    if (!szSection || !szKey || !szValue) return VG_E_MISSINGARG;
    VGCONFIGREPLY reply;
    const HRESULT hr = HrRead(VGCMD_CONFIGGETSZ, idSession, szSection, szKey, &reply);
    if (HrFailed(hr)) return hr;
    // The field holds at most 519 characters, whatever the service wrote.
    reply.value.szValue[VG_CONFIG_VALUE_SIZE - 1] = 0;
    return SzCopy(szValue, cchValue, reply.value.szValue);
}
