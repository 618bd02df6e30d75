// Platform layer: reading the registry.
//
// Shaped after RegOpenKeyExA / RegQueryValueExA / RegCloseKey; each returns a
// Win32 system error code (ERROR_SUCCESS on success) and does not touch the
// last error.
//
// POSIX: the registry is a text file in the export format of regedit
// ("REGEDIT4" or "Windows Registry Editor Version 5.00", then [key] lines and
// "name"=value lines: "text", dword:0000002a, hex:01,02 ...). Its path is
// $VIGILON_REGISTRY, default /etc/vigilon/registry.reg; a missing file is an
// empty registry and a malformed one answers ERROR_BADDB to every open. Key
// and value names compare case-insensitively. The parsed file is kept between
// calls; every open first takes the change notices of the file's folder
// (inotify), or where there can be none compares the file's device, inode,
// size and modification time, so every read sees the file as it is now.
//
// Windows: a key of HKEY_LOCAL_MACHINE opened with kKeyRead is served from a
// copy of its values, read again whenever a change notice on the key or its
// parent has fired since; every read still sees the registry as it is now.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

struct RegKey;
typedef RegKey* HKEY;

// The predefined root HKEY_LOCAL_MACHINE (the only root the library reads).
HKEY HkeyLocalMachine();

constexpr DWORD kKeyRead = 0x20019;  // KEY_READ

constexpr DWORD kRegNone = 0;        // REG_NONE
constexpr DWORD kRegSz = 1;          // REG_SZ
constexpr DWORD kRegExpandSz = 2;    // REG_EXPAND_SZ
constexpr DWORD kRegBinary = 3;      // REG_BINARY
constexpr DWORD kRegDword = 4;       // REG_DWORD
constexpr DWORD kRegMultiSz = 7;     // REG_MULTI_SZ

// Opens hkRoot\szSubKey. Missing key: ERROR_FILE_NOT_FOUND.
LONG RegOpenKeyExA(HKEY hkRoot, const char* szSubKey, DWORD ulOptions, DWORD samDesired, HKEY* phkResult);

// Reads value szName of an open key. pdwType and pbData may be null. Missing
// value: ERROR_FILE_NOT_FOUND. pbData given and *pcbData smaller than the
// stored size: ERROR_MORE_DATA, *pcbData set to the size needed, nothing
// copied. Success copies the stored bytes (REG_SZ with its NUL, REG_DWORD as 4
// little-endian bytes) and sets *pcbData to their count.
LONG RegQueryValueExA(HKEY hKey, const char* szName, DWORD* pdwReserved, DWORD* pdwType, BYTE* pbData,
                      DWORD* pcbData);

LONG RegCloseKey(HKEY hKey);

}  // namespace plat
