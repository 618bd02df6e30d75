// POSIX side of platform/credentials.h: libxcrypt and the terminal.
#include "sharedcode/platform/credentials.h"

#include <crypt.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "sharedcode/platform/process.h"

namespace plat {
namespace {

BOOL Fail(DWORD dwError) {
    SetLastError(dwError);
    return FALSE;
}

void Wipe(void* pv, size_t cb) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(pv);
    while (cb--) *p++ = 0;
}

// crypt_data is large (about 32 KiB): kept off the caller's stack, and wiped.
struct CryptWork {
    crypt_data data;
    CryptWork() { std::memset(&data, 0, sizeof(data)); }
    ~CryptWork() { Wipe(&data, sizeof(data)); }
};

bool ValidPassword(const char* szPassword) {
    return szPassword && ::strnlen(szPassword, kMaxPasswordLength + 1) <= kMaxPasswordLength;
}

}  // namespace

BOOL HashPassword(const char* szPassword, char* szHash, DWORD cchHash) {
    if (!ValidPassword(szPassword) || !szHash || cchHash == 0) return Fail(ERROR_INVALID_PARAMETER);
    char szSetting[CRYPT_GENSALT_OUTPUT_SIZE];
    // A null random source makes libxcrypt take the salt from the system's.
    if (!::crypt_gensalt_rn("$y$", 0, nullptr, 0, szSetting, sizeof(szSetting))) return Fail(ERROR_GEN_FAILURE);
    std::unique_ptr<CryptWork> work(new CryptWork);
    const char* szOut = ::crypt_rn(szPassword, szSetting, &work->data, sizeof(work->data));
    if (!szOut || szOut[0] == '*') return Fail(ERROR_GEN_FAILURE);
    const size_t cch = std::strlen(szOut);
    if (cch + 1 > cchHash) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(szHash, szOut, cch + 1);
    return TRUE;
}

BOOL CheckPassword(const char* szPassword, const char* szHash) {
    if (!ValidPassword(szPassword) || !szHash || !*szHash) return Fail(ERROR_INVALID_PARAMETER);
    std::unique_ptr<CryptWork> work(new CryptWork);
    const char* szOut = ::crypt_rn(szPassword, szHash, &work->data, sizeof(work->data));
    if (!szOut || szOut[0] == '*') return Fail(ERROR_INVALID_DATA);
    const size_t cchOut = std::strlen(szOut), cchHash = std::strlen(szHash);
    unsigned char diff = cchOut != cchHash;
    for (size_t i = 0; i < cchOut && i < cchHash; ++i) diff |= static_cast<unsigned char>(szOut[i] ^ szHash[i]);
    return diff ? Fail(ERROR_LOGON_FAILURE) : TRUE;
}

BOOL SetStdinEcho(BOOL fEcho) {
    termios t;
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &t) != 0) return FALSE;
    if (fEcho)
        t.c_lflag |= ECHO;
    else
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    return ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &t) == 0;
}

}  // namespace plat
