// Credential sealing for the management logon: RC4 under a key derived from
// the MD5 of resource 1000 (type 2) of the resource library, then Base64.
#pragma once

#include "sharedcode/platform/crypto.h"
#include "sharedcode/wintypes.h"

// HKEY_LOCAL_MACHINE key of AppPath, the folder of the resource library.
#define VG_PRODUCT_KEY "SOFTWARE\\Corvanetic\\Postern"

constexpr DWORD VG_APP_PATH_SIZE = 261;
constexpr DWORD VG_MODULE_PATH_SIZE = 1024;

// A provider context and an RC4 key from the resource library's key
// resource. On success the caller owns both; on failure neither exists and
// the result is the registry's, the loader's or the provider's error.
HRESULT DeriveSealingKey(plat::HCRYPTPROV* phProv, plat::HCRYPTKEY* phKey);

// Seals cbText bytes of pbText into szField of *pcchField bytes: one line of
// Base64 and a NUL, the rest of the field zero. Each call derives its own
// key. On success *pcchField receives the encoder's character count, line
// breaks included; a text whose line-broken form does not fit fails with the
// encoder's error (0x800700EA).
HRESULT SealCredential(const void* pbText, DWORD cbText, char* szField, DWORD* pcchField);
