// Win32 side of platform/digest.h: CryptoAPI.
#include <windows.h>
#include <wincrypt.h>

#include "sharedcode/platform/digest.h"

namespace plat {

BOOL Md5Digest(const void* pv, size_t cb, BYTE abDigest[kcbMd5Digest]) {
    if ((!pv && cb) || !abDigest || cb > 0xFFFFFFFFu) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HCRYPTPROV hProv = 0;
    if (!::CryptAcquireContextA(&hProv, nullptr, "Microsoft Strong Cryptographic Provider", PROV_RSA_FULL,
                                0xF0000060u))
        return FALSE;
    HCRYPTHASH hHash = 0;
    BOOL fOk = ::CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash);
    BYTE abHash[512];
    DWORD cbHash = sizeof(abHash);
    if (fOk) fOk = ::CryptHashData(hHash, static_cast<const BYTE*>(pv), static_cast<DWORD>(cb), 0);
    if (fOk) fOk = ::CryptGetHashParam(hHash, HP_HASHVAL, abHash, &cbHash, 0);
    const DWORD dwError = fOk ? ERROR_SUCCESS : ::GetLastError();
    if (hHash) ::CryptDestroyHash(hHash);
    ::CryptReleaseContext(hProv, 0);
    if (!fOk) {
        ::SetLastError(dwError);
        return FALSE;
    }
    if (cbHash != kcbMd5Digest) {
        ::SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    for (DWORD i = 0; i < kcbMd5Digest; ++i) abDigest[i] = abHash[i];
    return TRUE;
}

}  // namespace plat
