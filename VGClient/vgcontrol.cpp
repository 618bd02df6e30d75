// Service control, the service's state word and its statistics record.
#include <cstring>

#include "VGClient/vgcontrol.h"
#include "VGClient/vglibrary.h"
#include "VGClient/vgrecords.h"
#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/hresult.h"
#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/namedevent.h"
#include "sharedcode/platform/process.h"

// The service's INI path, read from "IniPath" by the first control call that
// finds it empty and kept until the library is unloaded; INI objects bind to
// it when they are made.
void VgCacheIniPath() {
    CriticalSection::CLock lock(VgConfigurationLock());
    char* szCached = CSmartIni::ModuleIniPath();
    if (szCached[0]) return;
    char sz[CSmartIni::kcchModuleIniPath] = {};
    if (VgReadConfigValue("IniPath", sz, sizeof(sz) - 1) == ERROR_SUCCESS) std::memcpy(szCached, sz, sizeof(sz));
}

namespace {

constexpr const char* kServiceEvent = "Global\\W.A.R.D.E.N.";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// n hexadecimal digits at sz, most significant first; a non-digit counts 0.
uint32_t HexField(const char* sz, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
        int d = HexValue(sz[i]);
        v = v << 4 | static_cast<uint32_t>(d < 0 ? 0 : d);
    }
    return v;
}

// The local enable path: true when it settled the call (the result in *phr).
bool HandleLocally(const VGSESSIONID& idSession, DWORD dwControl, HRESULT* phr) {
    VgCacheIniPath();
    const bool fEnabled = VgReadServiceEnabled();

    char szClsid[64] = {};
    VgReadConfigValue("CLSID", szClsid, sizeof(szClsid) - 1);
    VGSESSIONID clsid;
    ParseGuidText(szClsid, &clsid);

    if (!fEnabled && std::memcmp(&idSession, &clsid, sizeof(clsid)) == 0) {
        // The caller presents the service's own class identifier: wake it.
        plat::HEVENT hEvent = plat::OpenEventA(kServiceEvent);
        if (!hEvent) {
            *phr = HrFromLastError();
            return true;
        }
        *phr = plat::SetEvent(hEvent) ? S_OK : HrFromLastError();
        plat::CloseEvent(hEvent);
        return true;
    }
    if (dwControl == VG_CONTROL_ENABLE && fEnabled) {
        *phr = S_OK;
        return true;
    }
    return false;
}

}  // namespace

void ParseGuidText(const char* szText, VGSESSIONID* pGuid) {
    std::memset(pGuid, 0, sizeof(*pGuid));
    char sz[64] = {};
    for (int i = 0; i < 39 && szText && szText[i]; ++i) sz[i] = szText[i];
    for (int i = 0; sz[i]; ++i)
        if (HexValue(sz[i]) < 0 && sz[i] != '{' && sz[i] != '}' && sz[i] != '-') return;

    // The braced form: {8-4-4-4-12}.
    char b[64] = {};
    if (sz[0] == '{' && sz[37] == '}' && sz[9] == '-' && sz[14] == '-' && sz[19] == '-' && sz[24] == '-') {
        std::memcpy(b, sz, sizeof(sz));
    } else if (sz[8] == '-' && sz[13] == '-' && sz[18] == '-' && sz[23] == '-') {
        b[0] = '{';
        std::memcpy(b + 1, sz, 62);
    } else {
        int at = 0;
        b[at++] = '{';
        for (int i = 0; i < 32; ++i) {
            if (i == 8 || i == 12 || i == 16 || i == 20) b[at++] = '-';
            b[at++] = sz[i];
        }
        b[at] = '}';
    }
    pGuid->Data1 = HexField(b + 1, 8);
    pGuid->Data2 = static_cast<uint16_t>(HexField(b + 10, 4));
    pGuid->Data3 = static_cast<uint16_t>(HexField(b + 15, 4));
    pGuid->Data4[0] = static_cast<uint8_t>(HexField(b + 20, 2));
    pGuid->Data4[1] = static_cast<uint8_t>(HexField(b + 22, 2));
    for (int i = 0; i < 6; ++i) pGuid->Data4[2 + i] = static_cast<uint8_t>(HexField(b + 25 + 2 * i, 2));
}

VGHRESULT VGAPI HrVGControlService(VGSESSIONID idSession, VGDWORD dwControl, VGDWORD) {
    HRESULT hr = S_OK;
    if ((dwControl & VG_CONTROL_ENABLE) && HandleLocally(idSession, dwControl, &hr)) return hr;

    VGCONTROLREQ req;
    std::memset(&req, 0, sizeof(req));
    VgFillReqHdrEx(&req.hdr, VGCMD_CONTROLSERVICE, sizeof(req), &idSession);
    req.dwControl = dwControl;
    VGREPLYHDR reply;
    VgPresetReply(&reply, sizeof(reply));
    hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, sizeof(req), &reply, sizeof(reply));
    return HrFailed(hr) ? hr : reply.hrStatus;
}

VGHRESULT VGAPI HrVGQueryService(VGSESSIONID idSession, VGDWORD* pdwState, VGDWORD) {
    if (!pdwState) return VG_E_MISSINGARG;
    VGREQHDREX req;
    VgFillReqHdrEx(&req, VGCMD_QUERYSERVICE, sizeof(req), &idSession);
    VGQUERYSERVICEREPLY reply;
    VgPresetReply(&reply.hdr, sizeof(reply));
    reply.dwState = 0;
    HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, sizeof(req), &reply, sizeof(reply));
    if (HrFailed(hr)) return hr;
    *pdwState = reply.dwState;
    return S_OK;
}

VGHRESULT VGAPI HrVGQueryStatistics(VGSESSIONID idSession, VGSTATISTICS* pStatistics, VGDWORD) {
    if (!pStatistics) return VG_E_MISSINGARG;
    // Two records of 2.5 KB each on the caller's stack, like every request.
    VGSTATSREQ req;
    VgFillReqHdrEx(&req.hdr, VGCMD_QUERYSTATISTICS, sizeof(VGREQHDREX), &idSession);
    req.dwAlignment = 0;
    std::memcpy(&req.stats, pStatistics, sizeof(req.stats));
    VGSTATSREPLY reply;
    VgPresetReply(&reply.hdr, sizeof(reply));
    reply.dwAlignment = 0;
    std::memset(&reply.stats, 0, sizeof(reply.stats));
    HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, sizeof(req), &reply, sizeof(reply));
    if (HrFailed(hr)) return hr;
    if (HrFailed(reply.hdr.hrStatus)) return reply.hdr.hrStatus;
    std::memcpy(pStatistics, &reply.stats, sizeof(*pStatistics));
    return reply.hdr.hrStatus;
}
