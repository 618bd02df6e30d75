// Win32 side of platform/crypto.h: pass-through to CryptoAPI (advapi32, and
// crypt32 for the Base64 text).
#include <windows.h>
#include <wincrypt.h>


#include "sharedcode/platform/crypto.h"
#include "sharedcode/platform/faults.h"

namespace plat {

namespace {

// CryptoAPI handles are ULONG_PTR values; the core sees them as pointers.
template <typename Native, typename Opaque>
Native ToNative(Opaque h) {
    return static_cast<Native>(reinterpret_cast<ULONG_PTR>(h));
}
template <typename Opaque, typename Native>
Opaque ToOpaque(Native h) {
    return reinterpret_cast<Opaque>(static_cast<ULONG_PTR>(h));
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider, DWORD dwProvType,
                          DWORD dwFlags) {
    ::HCRYPTPROV h = 0;
    const BOOL fOk = ::CryptAcquireContextA(&h, szContainer, szProvider, dwProvType, dwFlags);
    *phProv = fOk ? ToOpaque<HCRYPTPROV>(h) : nullptr;
    return fOk;
}

BOOL CryptCreateHash(HCRYPTPROV hProv, DWORD algid, HCRYPTHASH* phHash) {
    ::HCRYPTHASH h = 0;
    const BOOL fOk = ::CryptCreateHash(ToNative<::HCRYPTPROV>(hProv), algid, 0, 0, &h);
    *phHash = fOk ? ToOpaque<HCRYPTHASH>(h) : nullptr;
    return fOk;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData) {
    return ::CryptHashData(ToNative<::HCRYPTHASH>(hHash), pbData, cbData, 0);
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbData) {
    return ::CryptGetHashParam(ToNative<::HCRYPTHASH>(hHash), dwParam, pbData, pcbData, 0);
}

BOOL CryptDeriveKey(HCRYPTPROV hProv, DWORD algid, HCRYPTHASH hHash, DWORD dwFlags, HCRYPTKEY* phKey) {
    *phKey = nullptr;
    if (faults::TakeFailure(faults::g_cFailDerivations)) {
        ::SetLastError(kNteFail);
        return FALSE;
    }
    ::HCRYPTKEY h = 0;
    const BOOL fOk =
        ::CryptDeriveKey(ToNative<::HCRYPTPROV>(hProv), algid, ToNative<::HCRYPTHASH>(hHash), dwFlags, &h);
    if (fOk) *phKey = ToOpaque<HCRYPTKEY>(h);
    return fOk;
}

BOOL CryptEncrypt(HCRYPTKEY hKey, BOOL fFinal, BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen) {
    return ::CryptEncrypt(ToNative<::HCRYPTKEY>(hKey), 0, fFinal, 0, pbData, pdwDataLen, dwBufLen);
}

BOOL CryptBinaryToStringA(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, char* pszString, DWORD* pcchString) {
    // Zero bytes: one empty line, whatever this system's encoder makes of them.
    if (cbBinary == 0 && dwFlags == CRYPT_STRING_BASE64 && pcchString) {
        constexpr char kEmptyLine[] = "\r\n";
        if (pszString && *pcchString < sizeof(kEmptyLine)) {
            ::SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        if (pszString) {
            for (DWORD i = 0; i < sizeof(kEmptyLine); ++i) pszString[i] = kEmptyLine[i];
        }
        *pcchString = pszString ? sizeof(kEmptyLine) - 1 : sizeof(kEmptyLine);
        return TRUE;
    }
    return ::CryptBinaryToStringA(pbBinary, cbBinary, dwFlags, pszString, pcchString);
}

BOOL CryptStringToBinaryA(const char* pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary, DWORD* pcbBinary) {
    return ::CryptStringToBinaryA(pszString, cchString, dwFlags, pbBinary, pcbBinary, nullptr, nullptr);
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) { return ::CryptDestroyHash(ToNative<::HCRYPTHASH>(hHash)); }

BOOL CryptDestroyKey(HCRYPTKEY hKey) { return ::CryptDestroyKey(ToNative<::HCRYPTKEY>(hKey)); }

BOOL CryptReleaseContext(HCRYPTPROV hProv) { return ::CryptReleaseContext(ToNative<::HCRYPTPROV>(hProv), 0); }

}  // namespace plat
