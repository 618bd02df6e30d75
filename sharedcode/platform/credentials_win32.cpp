// Win32 side of platform/credentials.h. The Windows service has no crypt(3);
// its password store is still to come, so hashing fails cleanly, and reading
// a secret uses the console without echo.
#include <windows.h>

#include <cstdio>

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

BOOL ReadSecretLine(const char* szPrompt, char* szLine, DWORD cchLine) {
    if (!szLine || cchLine == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const HANDLE hIn = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    const bool fConsole = ::GetConsoleMode(hIn, &dwMode) != 0;
    if (fConsole) {
        if (szPrompt) std::fputs(szPrompt, stderr);
        ::SetConsoleMode(hIn, dwMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    DWORD cch = 0;
    bool fAny = false, fTooLong = false;
    for (int c; (c = std::getchar()) != EOF;) {
        fAny = true;
        if (c == '\n') break;
        if (cch + 1 < cchLine)
            szLine[cch++] = static_cast<char>(c);
        else
            fTooLong = true;
    }
    if (cch && szLine[cch - 1] == '\r') --cch;
    szLine[cch] = 0;
    if (fConsole) {
        ::SetConsoleMode(hIn, dwMode);
        std::fputc('\n', stderr);
    }
    if (fTooLong) {
        ::SecureZeroMemory(szLine, cchLine);
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!fAny) ::SetLastError(ERROR_NO_DATA);
    return fAny ? TRUE : FALSE;
}

}  // namespace plat
