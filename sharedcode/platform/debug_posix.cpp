// POSIX side of platform/debug.h: a tracer stands for the debugger.
#include "sharedcode/platform/debug.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "sharedcode/platform/robust_posix.h"

namespace plat {

BOOL IsDebuggerPresent() {
    int fd = RobustOpen("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FALSE;
    // TracerPid sits in the first kilobyte or so; read the whole file anyway.
    char buf[4096];
    size_t cb = 0;
    RobustReadFull(fd, buf, sizeof(buf) - 1, &cb);
    ::close(fd);
    buf[cb] = 0;
    const char* p = ::strstr(buf, "\nTracerPid:");
    if (!p) return FALSE;
    p += sizeof("\nTracerPid:") - 1;
    while (*p == ' ' || *p == '\t') ++p;
    return *p >= '1' && *p <= '9' ? TRUE : FALSE;
}

void OutputDebugStringA(const char* sz) {
    if (!sz || !IsDebuggerPresent()) return;
    size_t cbDone = 0;
    RobustWriteFull(STDERR_FILENO, sz, ::strlen(sz), &cbDone);
}

void GetLocalTime(LocalTime* pTime) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmLocal;
    if (!::localtime_r(&ts.tv_sec, &tmLocal)) memset(&tmLocal, 0, sizeof(tmLocal));
    pTime->wHour = static_cast<WORD>(tmLocal.tm_hour);
    pTime->wMinute = static_cast<WORD>(tmLocal.tm_min);
    pTime->wSecond = static_cast<WORD>(tmLocal.tm_sec);
    pTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

}  // namespace plat
