// POSIX side of platform/process.h.
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace plat {

namespace {
thread_local DWORD t_dwLastError = 0;
thread_local DWORD t_dwThreadId = 0;

// Every request carries the process id and the computer name, so both are
// kept rather than asked for on every call. The id is forgotten in a forked
// child; the name, like Windows' NetBIOS name, is read once per process.
std::atomic<DWORD> g_dwProcessId{0};
pthread_once_t g_atforkOnce = PTHREAD_ONCE_INIT;
void ForgetProcessId() {
    g_dwProcessId.store(0, std::memory_order_relaxed);
    t_dwThreadId = 0;
}
void RegisterAtfork() { ::pthread_atfork(nullptr, nullptr, ForgetProcessId); }

struct ComputerName {
    char sz[16] = {};
    size_t cch = 0;
    ComputerName() {
        char host[256] = {};
        if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = 0;
        while (cch < 15 && host[cch] && host[cch] != '.') {
            sz[cch] = static_cast<char>(::toupper(static_cast<unsigned char>(host[cch])));
            ++cch;
        }
    }
};
}  // namespace

DWORD GetLastError() { return t_dwLastError; }
void SetLastError(DWORD dwError) { t_dwLastError = dwError; }

DWORD GetCurrentProcessId() {
    DWORD pid = g_dwProcessId.load(std::memory_order_relaxed);
    if (pid == 0) {
        ::pthread_once(&g_atforkOnce, RegisterAtfork);
        pid = static_cast<DWORD>(::getpid());
        g_dwProcessId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

DWORD GetCurrentThreadId() {
    if (t_dwThreadId == 0) t_dwThreadId = static_cast<DWORD>(::syscall(SYS_gettid));
    return t_dwThreadId;
}

BOOL GetComputerNameA(char* szBuffer, DWORD* pcch) {
    if (!pcch || (!szBuffer && *pcch)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    static const ComputerName name;
    const size_t n = name.cch;
    if (*pcch < n + 1) {
        *pcch = static_cast<DWORD>(n + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    memcpy(szBuffer, name.sz, n);
    szBuffer[n] = 0;
    *pcch = static_cast<DWORD>(n);
    return TRUE;
}

void Sleep(DWORD dwMilliseconds) { RobustNanosleep(dwMilliseconds); }

DWORD GetTickCount() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

BOOL GetOsMajorVersion(DWORD* pdwMajor) {
    if (!pdwMajor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pdwMajor = 10;
    return TRUE;
}

uint64_t GetResidentBytes() {
    int fd = RobustOpen("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char sz[128];
    size_t cb = 0;
    const int rc = RobustReadFull(fd, sz, sizeof(sz) - 1, &cb);
    ::close(fd);
    if (rc != 0) return 0;
    sz[cb] = 0;
    unsigned long long pages = 0, resident = 0;
    if (::sscanf(sz, "%llu %llu", &pages, &resident) != 2) return 0;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool RunsUnderWine() { return false; }

}  // namespace plat
