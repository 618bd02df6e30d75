// Management sessions: the logon with sealed credentials, its end and its
// abort. The library keeps no session state; the service checks the id on
// every request.
#include "VGClient/vgsession.h"

#include <cstring>

#include "VGClient/vgrecords.h"
#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/blobresource.h"
#include "sharedcode/hresult.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/module.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/registry.h"
#include "sharedcode/szbounded.h"

namespace {

// The last platform error as an HRESULT; never a success, even when the
// failing call left no code.
HRESULT HrLastError() {
    const HRESULT hr = HrFromLastError();
    return HrFailed(hr) ? hr : E_FAIL;
}

HRESULT HrReadAppPath(char (&szAppPath)[VG_APP_PATH_SIZE]) {
    plat::HKEY hKey = nullptr;
    LONG err = plat::RegOpenKeyExA(plat::HkeyLocalMachine(), VG_PRODUCT_KEY, 0, plat::kKeyRead, &hKey);
    if (err != ERROR_SUCCESS) return HrFromWin32(err);
    DWORD cb = sizeof(szAppPath);
    err = plat::RegQueryValueExA(hKey, "AppPath", nullptr, nullptr, reinterpret_cast<BYTE*>(szAppPath), &cb);
    plat::RegCloseKey(hKey);
    szAppPath[VG_APP_PATH_SIZE - 1] = 0;  // a stored text without its terminator
    return HrFromWin32(err);
}

// Overwrites memory in a way the compiler may not drop as a dead store.
void Wipe(void* pv, size_t cb) {
    volatile BYTE* p = static_cast<volatile BYTE*>(pv);
    while (cb--) *p++ = 0;
}

// The last component of a Windows path: everything after the last backslash.
const char* BaseName(const char* szPath) {
    for (const char* p = std::strchr(szPath, '\\'); p; p = std::strchr(szPath, '\\')) szPath = p + 1;
    return szPath;
}

HRESULT HrSealText(const char* szText, char* szField, DWORD cbField) {
    DWORD cch = cbField;
    return SealCredential(szText, szText ? static_cast<DWORD>(std::strlen(szText)) : 0, szField, &cch);
}

HRESULT HrEndSession(DWORD dwCommand, const VGSESSIONID& idSession) {
    VGREQHDREX req;
    VgFillReqHdrEx(&req, dwCommand, sizeof(req), &idSession);
    VGREPLYHDR reply;
    VgPresetReply(&reply, sizeof(reply));
    const HRESULT hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, sizeof(req), &reply, sizeof(reply));
    return HrFailed(hr) ? hr : reply.hrStatus;
}

}  // namespace

HRESULT DeriveSealingKey(plat::HCRYPTPROV* phProv, plat::HCRYPTKEY* phKey) {
    *phProv = nullptr;
    *phKey = nullptr;
    char szAppPath[VG_APP_PATH_SIZE] = {};
    HRESULT hr = HrReadAppPath(szAppPath);
    if (HrFailed(hr)) return hr;
    char szPath[VG_MODULE_PATH_SIZE] = {};
    hr = SzFormat(szPath, sizeof(szPath), "%s\\%s.%s", szAppPath, "PNASRes", "dll");
    if (HrFailed(hr)) return hr;

    CBlobResource blob;  // unloads the resource library on every way out
    hr = blob.Load(szPath);
    if (HrFailed(hr)) return hr;
    // An empty resource fails without a system error; it is no key material.
    if (blob.Size() == 0) return HrFromWin32(ERROR_INVALID_DATA);

    plat::HCRYPTPROV hProv = nullptr;
    plat::HCRYPTHASH hHash = nullptr;
    plat::HCRYPTKEY hKey = nullptr;
    const bool fOk = plat::CryptAcquireContextA(&hProv, nullptr, plat::kMsStrongProv, plat::kProvRsaFull,
                                                plat::kCryptVerifyContext | plat::kCryptMachineKeyset |
                                                    plat::kCryptSilent) &&
                     plat::CryptCreateHash(hProv, plat::kCalgMd5, &hHash) &&
                     plat::CryptHashData(hHash, blob.Data(), blob.Size()) &&
                     plat::CryptDeriveKey(hProv, plat::kCalgRc4, hHash, plat::kCryptExportable, &hKey);
    hr = fOk ? S_OK : HrLastError();
    if (hHash) plat::CryptDestroyHash(hHash);
    if (!fOk) {
        if (hProv) plat::CryptReleaseContext(hProv);
        return hr;
    }
    *phProv = hProv;
    *phKey = hKey;
    return S_OK;
}

HRESULT SealCredential(const void* pbText, DWORD cbText, char* szField, DWORD* pcchField) {
    plat::HCRYPTPROV hProv;
    plat::HCRYPTKEY hKey;
    HRESULT hr = DeriveSealingKey(&hProv, &hKey);
    if (HrFailed(hr)) return hr;

    BYTE* pbWork = nullptr;
    DWORD cbWork = cbText;  // the cipher's output length
    if (!plat::CryptEncrypt(hKey, TRUE, nullptr, &cbWork, cbText)) {
        hr = HrLastError();
    } else if ((pbWork = static_cast<BYTE*>(CModuleHeap::Malloc(cbWork + 1))) == nullptr) {
        hr = E_OUTOFMEMORY;
    } else {
        if (cbText) std::memcpy(pbWork, pbText, cbText);
        DWORD cbData = cbText;
        DWORD cch = *pcchField;
        std::memset(szField, 0, *pcchField);
        if (!plat::CryptEncrypt(hKey, TRUE, pbWork, &cbData, cbText) ||
            !plat::CryptBinaryToStringA(pbWork, cbData, plat::kCryptStringBase64, szField, &cch)) {
            hr = HrLastError();
        } else {
            // One line: drop the encoder's line breaks (and any blank).
            char* pOut = szField;
            for (const char* p = szField; *p; ++p)
                if (*p != '\r' && *p != '\n' && *p != ' ' && *p != '\t') *pOut++ = *p;
            while (pOut < szField + cch) *pOut++ = 0;
            *pcchField = cch;
            hr = S_OK;
        }
    }

    plat::CryptDestroyKey(hKey);
    plat::CryptReleaseContext(hProv);
    if (pbWork) {
        Wipe(pbWork, cbWork + 1);
        CModuleHeap::Free(pbWork);
    }
    return hr;
}

VGHRESULT VGAPI HrVGOpenMgmtSession(const char* szText1, const char* szText2, const char* szText3,
                                    VGSESSIONID* pidSession, void* hModule) {
    if (!szText3 || !pidSession) return VG_E_MISSINGARG;

    VGOPENSESSIONREQ req;
    std::memset(&req, 0, sizeof(req));
    VgFillReqHdr(&req.hdr, VGCMD_OPENMGMTSESSION, sizeof(req));
    VGOPENSESSIONREPLY reply;
    std::memset(&reply, 0, sizeof(reply));
    VgPresetReply(&reply.hdr, sizeof(reply));

    char szModulePath[VG_MODULE_PATH_SIZE] = {};
    plat::HMODULE hCaller = hModule ? static_cast<plat::HMODULE>(hModule) : plat::GetModuleHandleA(nullptr);
    if (plat::GetModuleFileNameA(hCaller, szModulePath, sizeof(szModulePath)) == 0) szModulePath[0] = 0;

    HRESULT hr = HrSealText(BaseName(szModulePath), req.szModule, sizeof(req.szModule));
    if (HrFailed(hr)) return hr;
    hr = HrSealText(szText1, req.szText1, sizeof(req.szText1));
    if (HrFailed(hr)) return hr;
    hr = HrSealText(szText2, req.szText2, sizeof(req.szText2));
    if (HrFailed(hr)) return hr;
    hr = SzCopy(req.szText3, sizeof(req.szText3), szText3);
    if (hr != S_OK) return hr;

    hr = HrPipeTransact(VG_PIPE_MANAGEMENT, &req, sizeof(req), &reply, sizeof(reply));
    if (HrFailed(hr)) return hr;
    *pidSession = reply.idSession;
    return reply.hdr.hrStatus;
}

VGHRESULT VGAPI HrVGEndMgmtSession(VGSESSIONID idSession, VGDWORD) {
    return HrEndSession(VGCMD_ENDMGMTSESSION, idSession);
}

VGHRESULT VGAPI HrVGAbortMgmtSession(VGSESSIONID idSession, VGDWORD) {
    return HrEndSession(VGCMD_ABORTMGMTSESSION, idSession);
}
