// POSIX side of platform/crypto.h, on GNU Nettle.
#include "sharedcode/platform/crypto.h"

#include <nettle/arcfour.h>
#include <nettle/base64.h>
#include <nettle/md5.h>
#include <strings.h>

#include <cstring>
#include <new>
#include <string>

#include "sharedcode/platform/faults.h"
#include "sharedcode/platform/process.h"

namespace plat {

struct CryptProvider {};

struct CryptHash {
    md5_ctx ctx;
    bool fFinished = false;
    uint8_t abDigest[MD5_DIGEST_SIZE] = {};

    const uint8_t* Finish() {
        if (!fFinished) md5_digest(&ctx, sizeof(abDigest), abDigest);
        fFinished = true;
        return abDigest;
    }
};

struct CryptKey {
    uint8_t abKey[MD5_DIGEST_SIZE];
    arcfour_ctx ctx;

    void Restart() { arcfour_set_key(&ctx, sizeof(abKey), abKey); }
};

namespace {

constexpr size_t kBytesPerLine = 48;  // 64 Base64 characters

BOOL Fail(DWORD dwError) {
    SetLastError(dwError);
    return FALSE;
}

bool KnownProvider(const char* szProvider) {
    static const char* const kNames[] = {
        kMsStrongProv,
        "Microsoft Base Cryptographic Provider v1.0",
        "Microsoft Enhanced Cryptographic Provider v1.0",
    };
    if (!szProvider) return true;
    for (const char* name : kNames)
        if (::strcasecmp(szProvider, name) == 0) return true;
    return false;
}

// Characters of the line-broken text without its NUL.
size_t Base64Length(DWORD cb) {
    const size_t cLines = cb == 0 ? 1 : (cb + kBytesPerLine - 1) / kBytesPerLine;
    return BASE64_ENCODE_RAW_LENGTH(static_cast<size_t>(cb)) + 2 * cLines;
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider, DWORD dwProvType,
                          DWORD dwFlags) {
    if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
    *phProv = nullptr;
    if (dwProvType != kProvRsaFull) return Fail(kNteBadProvType);
    if (!KnownProvider(szProvider)) return Fail(kNteKeysetNotDef);
    if ((dwFlags & ~(kCryptVerifyContext | kCryptMachineKeyset | kCryptSilent)) != 0) return Fail(kNteBadFlags);
    if ((dwFlags & kCryptVerifyContext) != kCryptVerifyContext || szContainer) return Fail(kNteBadKeyset);
    *phProv = new (std::nothrow) CryptProvider;
    return *phProv ? TRUE : Fail(ERROR_NOT_ENOUGH_MEMORY);
}

BOOL CryptCreateHash(HCRYPTPROV hProv, DWORD algid, HCRYPTHASH* phHash) {
    if (!hProv || !phHash) return Fail(ERROR_INVALID_PARAMETER);
    *phHash = nullptr;
    if (algid != kCalgMd5) return Fail(kNteBadAlgid);
    CryptHash* pHash = new (std::nothrow) CryptHash;
    if (!pHash) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    md5_init(&pHash->ctx);
    *phHash = pHash;
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData) {
    if (!hHash || (!pbData && cbData)) return Fail(ERROR_INVALID_PARAMETER);
    if (hHash->fFinished) return Fail(kNteBadHashState);
    if (cbData) md5_update(&hHash->ctx, cbData, pbData);
    return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbData) {
    if (!hHash || !pcbData) return Fail(ERROR_INVALID_PARAMETER);
    if (dwParam != kHpHashVal) return Fail(kNteBadFlags);
    const DWORD cbNeeded = MD5_DIGEST_SIZE;
    if (!pbData) {
        *pcbData = cbNeeded;
        return TRUE;
    }
    if (*pcbData < cbNeeded) {
        *pcbData = cbNeeded;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(pbData, hHash->Finish(), cbNeeded);
    *pcbData = cbNeeded;
    return TRUE;
}

BOOL CryptDeriveKey(HCRYPTPROV hProv, DWORD algid, HCRYPTHASH hHash, DWORD dwFlags, HCRYPTKEY* phKey) {
    if (!hProv || !hHash || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    *phKey = nullptr;
    if (faults::TakeFailure(faults::g_cFailDerivations)) return Fail(kNteFail);
    if (algid != kCalgRc4) return Fail(kNteBadAlgid);
    const DWORD cBits = dwFlags >> 16;
    if (cBits != 0 && cBits != 8 * MD5_DIGEST_SIZE) return Fail(kNteBadFlags);
    CryptKey* pKey = new (std::nothrow) CryptKey;
    if (!pKey) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(pKey->abKey, hHash->Finish(), sizeof(pKey->abKey));
    pKey->Restart();
    *phKey = pKey;
    return TRUE;
}

BOOL CryptEncrypt(HCRYPTKEY hKey, BOOL fFinal, BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen) {
    if (!hKey || !pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (!pbData) return TRUE;  // a stream cipher's output is as long as its input
    if (dwBufLen < *pdwDataLen) return Fail(ERROR_MORE_DATA);
    if (*pdwDataLen) arcfour_crypt(&hKey->ctx, *pdwDataLen, pbData, pbData);
    if (fFinal) hKey->Restart();
    return TRUE;
}

BOOL CryptBinaryToStringA(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, char* pszString, DWORD* pcchString) {
    if (!pcchString || (!pbBinary && cbBinary)) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != kCryptStringBase64) return Fail(ERROR_INVALID_PARAMETER);
    const size_t cch = Base64Length(cbBinary);
    if (cch + 1 > 0xFFFFFFFFu) return Fail(ERROR_INVALID_PARAMETER);
    if (!pszString) {
        *pcchString = static_cast<DWORD>(cch + 1);
        return TRUE;
    }
    if (*pcchString < cch + 1) return Fail(ERROR_MORE_DATA);
    char* p = pszString;
    size_t cbLeft = cbBinary;
    do {
        const size_t cbLine = cbLeft < kBytesPerLine ? cbLeft : kBytesPerLine;
        if (cbLine) base64_encode_raw(p, cbLine, pbBinary);
        p += BASE64_ENCODE_RAW_LENGTH(cbLine);
        *p++ = '\r';
        *p++ = '\n';
        pbBinary += cbLine;
        cbLeft -= cbLine;
    } while (cbLeft);
    *p = 0;
    *pcchString = static_cast<DWORD>(cch);
    return TRUE;
}

BOOL CryptStringToBinaryA(const char* pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary, DWORD* pcbBinary) {
    if (!pszString || !pcbBinary) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != kCryptStringBase64) return Fail(ERROR_INVALID_PARAMETER);
    std::string text;
    for (DWORD i = 0; cchString ? i < cchString : pszString[i] != 0; ++i) {
        const char c = pszString[i];
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') text += c;
    }
    // The plain bytes do not stay behind in freed memory.
    struct Wiped : std::string {
        using std::string::string;
        ~Wiped() {
            volatile char* p = &(*this)[0];
            for (size_t i = 0; i < size(); ++i) p[i] = 0;
        }
    } bytes(BASE64_DECODE_LENGTH(text.size()) + 1, '\0');
    base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    size_t cb = bytes.size();
    if (text.size() % 4 != 0 ||
        !base64_decode_update(&ctx, &cb, reinterpret_cast<uint8_t*>(&bytes[0]), text.size(), text.data()) ||
        !base64_decode_final(&ctx))
        return Fail(ERROR_INVALID_DATA);
    const DWORD cbBuffer = *pcbBinary;
    *pcbBinary = static_cast<DWORD>(cb);
    if (!pbBinary) return TRUE;
    if (cbBuffer < cb) return Fail(ERROR_MORE_DATA);
    if (cb) std::memcpy(pbBinary, bytes.data(), cb);
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    if (!hHash) return Fail(ERROR_INVALID_PARAMETER);
    delete hHash;
    return TRUE;
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    if (!hKey) return Fail(ERROR_INVALID_PARAMETER);
    // The key material does not outlive the handle.
    volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(hKey);
    for (size_t i = 0; i < sizeof(*hKey); ++i) p[i] = 0;
    delete hKey;
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV hProv) {
    if (!hProv) return Fail(ERROR_INVALID_PARAMETER);
    delete hProv;
    return TRUE;
}

}  // namespace plat
