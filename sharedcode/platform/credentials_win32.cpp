// Win32 side of platform/credentials.h. The Windows service has no crypt(3);
// its password store is still to come, so hashing fails cleanly.
#include <windows.h>

#include "sharedcode/platform/credentials.h"

namespace plat {

BOOL HashPassword(const char*, char*, DWORD) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL CheckPassword(const char*, const char*) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL SetStdinEcho(BOOL fEcho) {
    const HANDLE hIn = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    if (!::GetConsoleMode(hIn, &dwMode)) return FALSE;
    dwMode = fEcho ? dwMode | ENABLE_ECHO_INPUT : dwMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT);
    return ::SetConsoleMode(hIn, dwMode);
}

}  // namespace plat
