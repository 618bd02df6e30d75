// POSIX side of platform/daemon.h.
#include "sharedcode/platform/daemon.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "sharedcode/platform/process.h"

namespace plat {
namespace {

sigset_t ServiceSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

BOOL SetEnvironmentVariableA(const char* szName, const char* szValue) {
    const int rc = szValue ? ::setenv(szName, szValue, 1) : ::unsetenv(szName);
    if (rc != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL HoldServiceSignals() {
    // Blocked signals stay pending for sigtimedwait; the threads started
    // later inherit the mask, so none of them is interrupted. A peer that
    // goes away must not end the process either.
    sigset_t set = ServiceSignals();
    ::signal(SIGPIPE, SIG_IGN);
    if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

ServiceSignal WaitServiceSignal(DWORD dwMilliseconds) {
    const sigset_t set = ServiceSignals();
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    const int sig = ::sigtimedwait(&set, nullptr, &ts);
    if (sig == SIGHUP) return kServiceSignalReload;
    if (sig == SIGTERM || sig == SIGINT) return kServiceSignalStop;
    return kServiceSignalNone;
}

}  // namespace plat
