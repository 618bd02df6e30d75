// POSIX side of platform/process.h.
#include "sharedcode/platform/process.h"

#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace plat {

namespace {
thread_local DWORD t_dwLastError = 0;
thread_local DWORD t_dwThreadId = 0;
constexpr DWORD kErrorBufferOverflow = 111;
}  // namespace

DWORD GetLastError() { return t_dwLastError; }
void SetLastError(DWORD dwError) { t_dwLastError = dwError; }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

DWORD GetCurrentThreadId() {
    if (t_dwThreadId == 0) t_dwThreadId = static_cast<DWORD>(::syscall(SYS_gettid));
    return t_dwThreadId;
}

BOOL GetComputerNameA(char* szBuffer, DWORD* pcch) {
    if (!pcch || (!szBuffer && *pcch)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = 0;
    size_t n = 0;
    while (n < 15 && host[n] && host[n] != '.') {
        host[n] = static_cast<char>(::toupper(static_cast<unsigned char>(host[n])));
        ++n;
    }
    if (*pcch < n + 1) {
        *pcch = static_cast<DWORD>(n + 1);
        SetLastError(kErrorBufferOverflow);
        return FALSE;
    }
    memcpy(szBuffer, host, n);
    szBuffer[n] = 0;
    *pcch = static_cast<DWORD>(n);
    return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

DWORD GetTickCount() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

}  // namespace plat
