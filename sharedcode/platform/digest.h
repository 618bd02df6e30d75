// Platform layer: message digests.
//
// Shaped after the CryptoAPI hash calls: CryptAcquireContextA (no container,
// the Strong provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT |
// CRYPT_MACHINE_KEYSET), CryptCreateHash (CALG_MD5), CryptHashData,
// CryptGetHashParam (HP_HASHVAL), then CryptDestroyHash and
// CryptReleaseContext. POSIX: GNU Nettle's md5.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

constexpr DWORD kcbMd5Digest = 16;

// The MD5 digest of cb bytes at pv into abDigest. FALSE with the last error
// set when a step of the provider fails (the Win32 error of that step).
BOOL Md5Digest(const void* pv, size_t cb, BYTE abDigest[kcbMd5Digest]);

}  // namespace plat
