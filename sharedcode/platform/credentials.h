// Platform layer: administrators' password hashes, and the terminal echo
// turned off while a person types a password.
//
// Used by the service only: the library does not link these (their POSIX side
// needs libcrypt).
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// Room for a hash with its NUL.
constexpr DWORD kPasswordHashSize = 384;
// Longer passwords are refused rather than silently cut.
constexpr DWORD kMaxPasswordLength = 512;

// A new hash of szPassword, with a fresh random salt, into szHash (cchHash
// characters with the NUL). POSIX: crypt(3) of libxcrypt in the yescrypt form
// ("$y$..."). FALSE with the last error: ERROR_INVALID_PARAMETER for a null
// or over-long password or a null buffer, ERROR_INSUFFICIENT_BUFFER when the
// hash does not fit, ERROR_NOT_SUPPORTED where the system has no such hash
// (the Windows build), ERROR_GEN_FAILURE when the hashing itself fails.
BOOL HashPassword(const char* szPassword, char* szHash, DWORD cchHash);

// TRUE when szPassword hashes to szHash under szHash's own method and salt;
// the comparison takes the same time wherever the texts differ. FALSE for a
// mismatch, a null argument or a hash the system cannot read (the last error
// says which: ERROR_LOGON_FAILURE for a mismatch).
BOOL CheckPassword(const char* szPassword, const char* szHash);

// Turns the echo of typed characters on standard input off (FALSE) or back
// on (TRUE). FALSE, with nothing changed, when standard input is not a
// terminal (or console).
BOOL SetStdinEcho(BOOL fEcho);

}  // namespace plat
