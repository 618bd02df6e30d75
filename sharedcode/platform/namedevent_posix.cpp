// POSIX side of platform/namedevent.h: named semaphores under the escaped
// names of named objects.
#include "sharedcode/platform/namedevent.h"

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>

#include <new>
#include <string>

#include "sharedcode/platform/namedobj_posix.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"
#include "sharedcode/platform/secdesc_posix.h"
#include "sharedcode/platform/text.h"

namespace plat {

using namedobj_posix::ErrorFromErrno;
using namedobj_posix::PosixName;
using secdesc_posix::ModeFor;

struct EventObject {
    sem_t* pSem;
};

namespace {

bool EventName(const char* szName, std::string& out) {
    if (!szName || !*szName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int cch = AnsiToWide(szName, -1, nullptr, 0);
    if (cch <= 0) return false;
    std::wstring wide(static_cast<size_t>(cch), L'\0');
    if (AnsiToWide(szName, -1, &wide[0], cch) != cch) return false;
    return PosixName(wide.c_str(), out);
}

HEVENT OpenSemaphore(const char* szName, bool fCreate, mode_t mode) {
    std::string name;
    if (!EventName(szName, name)) return nullptr;
    sem_t* p = fCreate ? ::sem_open(name.c_str(), O_CREAT, mode, 0) : ::sem_open(name.c_str(), 0);
    if (p == SEM_FAILED) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
        return nullptr;
    }
    HEVENT h = new (std::nothrow) EventObject{p};
    if (!h) {
        ::sem_close(p);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return h;
}

}  // namespace

HEVENT OpenEventA(const char* szName) { return OpenSemaphore(szName, false, 0); }

HEVENT CreateEventA(const SecurityAttributesStorage* psa, const char* szName) {
    return OpenSemaphore(szName, true, ModeFor(psa));
}

BOOL SetEvent(HEVENT hEvent) {
    if (!hEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Auto-reset: a set event stays set once, however often it is set.
    int value = 0;
    if (::sem_getvalue(hEvent->pSem, &value) == 0 && value > 0) return TRUE;
    if (::sem_post(hEvent->pSem) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForEvent(HEVENT hEvent, DWORD dwMilliseconds) {
    if (!hEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return kWaitFailed;
    }
    const int rc = RobustSemWait(hEvent->pSem, Deadline::In(dwMilliseconds));
    if (rc != 0 && errno == ETIMEDOUT) return kWaitTimeout;
    if (rc != 0) {
        SetLastError(ErrorFromErrno(errno));
        return kWaitFailed;
    }
    return kWaitObject0;
}

BOOL CloseEvent(HEVENT hEvent) {
    if (!hEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ::sem_close(hEvent->pSem);
    delete hEvent;
    return TRUE;
}

void UnlinkEventA(const char* szName) {
    std::string name;
    if (EventName(szName, name)) ::sem_unlink(name.c_str());
}

}  // namespace plat
