#include "VGClient/vgrecords.h"

#include <cstring>

#include "sharedcode/platform/process.h"

void VgFillReqHdr(VGREQHDR* pHdr, DWORD dwCommand, DWORD cbSize) {
    pHdr->cbSize = cbSize;
    pHdr->dwCommand = dwCommand;
    pHdr->dwProcessId = plat::GetCurrentProcessId();
    pHdr->dwThreadId = plat::GetCurrentThreadId();
    pHdr->dwVersion = VG_PROTOCOL_VERSION;
    std::memset(pHdr->szComputerName, 0, sizeof(pHdr->szComputerName));
    DWORD cch = sizeof(pHdr->szComputerName);
    plat::GetComputerNameA(pHdr->szComputerName, &cch);  // a failure leaves it empty
}

void VgFillReqHdrEx(VGREQHDREX* pHdr, DWORD dwCommand, DWORD cbSize, const VGSESSIONID* pidSession) {
    VgFillReqHdr(&pHdr->hdr, dwCommand, cbSize);
    if (pidSession)
        pHdr->idSession = *pidSession;
    else
        std::memset(&pHdr->idSession, 0, sizeof(pHdr->idSession));
    std::memset(pHdr->abReserved, 0, sizeof(pHdr->abReserved));
}

void VgInitIPQuery(VGIPQUERY* pReq) {
    std::memset(pReq, 0, sizeof(*pReq));
    VgFillReqHdr(&pReq->hdr, 0, sizeof(VGIPQUERY));
}

void VgInitGeoQuery(VGGEOQUERY* pReq) {
    std::memset(pReq, 0, sizeof(*pReq));
    VgFillReqHdr(&pReq->hdr, VGCMD_GETGEODATA, sizeof(VGGEOQUERY));
}

void VgInitConfigReadReq(VGCONFIGREADREQ* pReq) {
    std::memset(pReq, 0, sizeof(*pReq));
    VgFillReqHdrEx(&pReq->hdr, 0, sizeof(VGCONFIGREADREQ), nullptr);
}

void VgInitConfigWriteReq(VGCONFIGWRITEREQ* pReq) {
    std::memset(pReq, 0, sizeof(*pReq));
    VgFillReqHdrEx(&pReq->hdr, VGCMD_CONFIGSETBYTE, sizeof(VGCONFIGWRITEREQ), nullptr);
}

void VgPresetReply(VGREPLYHDR* pHdr, DWORD cbSize) {
    pHdr->cbSize = cbSize;
    pHdr->dwVersion = VG_PROTOCOL_VERSION;
    pHdr->hrStatus = 0;
}

void VgPresetGeoData(VGGEODATA* pGeo) {
    std::memset(pGeo, 0, sizeof(*pGeo));
    pGeo->cbSize = VG_GEODATA_SIZE;
}
