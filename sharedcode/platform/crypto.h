// Platform layer: hashing, stream encryption and Base64 text.
//
// Shaped after CryptAcquireContextA, CryptCreateHash, CryptHashData,
// CryptGetHashParam, CryptDeriveKey, CryptEncrypt, CryptBinaryToStringA,
// CryptDestroyHash, CryptDestroyKey and CryptReleaseContext. Each returns
// non-zero on success; on failure it returns 0 and sets the last error, which
// for the provider's own refusals is an NTE_ value (already an HRESULT) and
// otherwise a system error code.
//
// Only what the library needs exists: a verify-context provider of type
// PROV_RSA_FULL, MD5 hashes, RC4 keys derived from a hash, and Base64 text.
//
// POSIX: MD5, RC4 and Base64 come from GNU Nettle. There are no key
// containers, so a context must be acquired with kCryptVerifyContext. The
// provider name may be null or one of the three Microsoft RSA providers; all
// derive the same RC4 key from an MD5 hash: the whole 16-byte digest (the
// strong provider's default length of 128 bits). Handles are heap objects
// owned by the caller until destroyed; keys and hashes do not refer to their
// context, so their order of destruction is free.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

struct CryptProvider;
typedef CryptProvider* HCRYPTPROV;
struct CryptHash;
typedef CryptHash* HCRYPTHASH;
struct CryptKey;
typedef CryptKey* HCRYPTKEY;

constexpr DWORD kProvRsaFull = 1;                     // PROV_RSA_FULL
constexpr DWORD kCryptVerifyContext = 0xF0000000u;    // CRYPT_VERIFYCONTEXT
constexpr DWORD kCryptMachineKeyset = 0x00000020u;    // CRYPT_MACHINE_KEYSET
constexpr DWORD kCryptSilent = 0x00000040u;           // CRYPT_SILENT
constexpr char kMsStrongProv[] = "Microsoft Strong Cryptographic Provider";  // MS_STRONG_PROV_A

constexpr DWORD kCalgMd5 = 0x8003;                    // CALG_MD5
constexpr DWORD kCalgRc4 = 0x6801;                    // CALG_RC4
constexpr DWORD kCryptExportable = 0x00000001u;       // CRYPT_EXPORTABLE
constexpr DWORD kHpHashVal = 0x0002;                  // HP_HASHVAL
constexpr DWORD kCryptStringBase64 = 0x00000001u;     // CRYPT_STRING_BASE64

// Provider refusals, with the values of winerror.h.
constexpr DWORD kNteBadAlgid = 0x80090008u;           // NTE_BAD_ALGID
constexpr DWORD kNteBadFlags = 0x80090009u;           // NTE_BAD_FLAGS
constexpr DWORD kNteBadHashState = 0x8009000Cu;       // NTE_BAD_HASH_STATE
constexpr DWORD kNteBadKeyset = 0x80090016u;          // NTE_BAD_KEYSET
constexpr DWORD kNteBadProvType = 0x80090014u;        // NTE_BAD_PROV_TYPE
constexpr DWORD kNteKeysetNotDef = 0x80090019u;       // NTE_KEYSET_NOT_DEF
constexpr DWORD kNteFail = 0x80090020u;               // NTE_FAIL

// CryptAcquireContextA(phProv, szContainer, szProvider, dwProvType, dwFlags).
// POSIX: szContainer must be null and dwFlags must hold kCryptVerifyContext
// (else NTE_BAD_KEYSET); kCryptMachineKeyset and kCryptSilent are accepted.
// A provider type other than kProvRsaFull: NTE_BAD_PROV_TYPE; an unknown
// provider name: NTE_KEYSET_NOT_DEF.
BOOL CryptAcquireContextA(HCRYPTPROV* phProv, const char* szContainer, const char* szProvider, DWORD dwProvType,
                          DWORD dwFlags);

// CryptCreateHash(hProv, algid, 0, 0, phHash): only kCalgMd5 (else
// NTE_BAD_ALGID).
BOOL CryptCreateHash(HCRYPTPROV hProv, DWORD algid, HCRYPTHASH* phHash);

// CryptHashData(hHash, pb, cb, 0): adds bytes. A hash already finished (its
// value read or a key derived from it): NTE_BAD_HASH_STATE.
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD cbData);

// CryptGetHashParam(hHash, kHpHashVal, pb, pcb, 0): the digest (16 bytes for
// MD5); finishes the hash. pbData null: *pcbData receives the size. A buffer
// too small: ERROR_MORE_DATA, *pcbData set to the size.
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbData);

// CryptDeriveKey(hProv, algid, hHash, dwFlags, phKey): only kCalgRc4 (else
// NTE_BAD_ALGID). The high 16 bits of dwFlags give the key length in bits: 0
// (the default) or 128, else NTE_BAD_FLAGS; of the low bits only
// kCryptExportable means anything here. Finishes the hash.
BOOL CryptDeriveKey(HCRYPTPROV hProv, DWORD algid, HCRYPTHASH hHash, DWORD dwFlags, HCRYPTKEY* phKey);

// CryptEncrypt(hKey, 0, fFinal, 0, pbData, pdwDataLen, dwBufLen), stream
// cipher: the output is as long as the input. pbData null asks only for the
// output length (*pdwDataLen stays the input length). dwBufLen smaller than
// *pdwDataLen: ERROR_MORE_DATA. Encrypts *pdwDataLen bytes in place; after a
// final block the key starts its key stream afresh.
BOOL CryptEncrypt(HCRYPTKEY hKey, BOOL fFinal, BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen);

// CryptBinaryToStringA(pb, cb, kCryptStringBase64, psz, pcch): Base64 in lines
// of 64 characters, each line (the last too) followed by CR LF, then a NUL;
// zero bytes give one empty line. psz null: *pcch receives the size needed,
// NUL included. Otherwise *pcch is the buffer's size; when all of the text and
// its NUL do not fit the call fails with ERROR_MORE_DATA (POSIX: writing
// nothing), and on success *pcch is the count written without the NUL.
// POSIX: no other format flag (ERROR_INVALID_PARAMETER).
BOOL CryptBinaryToStringA(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, char* pszString, DWORD* pcchString);

// CryptStringToBinaryA(psz, cch, kCryptStringBase64, pb, pcb, null, null):
// decodes Base64 text; cchString 0 reads up to the NUL. CR, LF, space and TAB
// are skipped. pbBinary null: *pcbBinary receives the size needed. A buffer
// too small: ERROR_MORE_DATA. Text that is not Base64: ERROR_INVALID_DATA.
// POSIX: no other format flag (ERROR_INVALID_PARAMETER).
BOOL CryptStringToBinaryA(const char* pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary, DWORD* pcbBinary);

BOOL CryptDestroyHash(HCRYPTHASH hHash);
BOOL CryptDestroyKey(HCRYPTKEY hKey);
// CryptReleaseContext(hProv, 0).
BOOL CryptReleaseContext(HCRYPTPROV hProv);

}  // namespace plat
