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
// size and modification time, so every read sees the file as it is now
// (RegOpenKeyWatched can defer that look to its caller).
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

// ---------------------------------------------------------------------------
// Deferred checks. A caller that is about to wait anyway (a pipe call waiting
// for its reply) may open a key without the look for changes that every open
// takes, and take that look during its wait instead.

// The registry state a key was opened on, and how to learn of later changes.
struct RegNotice {
    // A descriptor that turns readable when the registry may have changed
    // (POSIX: the watch of the file's folder); -1 when there is none
    // (Windows, or a registry without a watch).
    int fdChanged = -1;
    // The state the key shows; RegStateMoved compares it with the newest.
    uint64_t uState = 0;
    // The look for changes was skipped: the key may show the registry as it
    // was before changes made since the last open that looked. The caller
    // owes that look before anything the key said decides an outcome.
    bool fUnchecked = false;
};

// RegOpenKeyExA (kKeyRead) that also fills *pNotice. With fDeferCheck, where
// the registry is watched, the look for changes is skipped (no system call);
// elsewhere, and on Windows, the open looks as every open does.
LONG RegOpenKeyWatched(HKEY hkRoot, const char* szSubKey, bool fDeferCheck, HKEY* phkResult, RegNotice* pNotice);

// The state that RegOpenKeyWatched with fDeferCheck would show now, without
// opening a key: TRUE with *pNotice filled as that open would fill it; FALSE
// where that open would look for changes (then nothing is deferred). Two
// opens on the same state show the same values.
bool RegDeferredState(RegNotice* pNotice);

// Whether an open since has found a newer registry than notice's state; no
// system call. A caller that skipped the look can so learn that another
// thread took the change notice it would have seen.
bool RegStateMoved(const RegNotice& notice);

}  // namespace plat
