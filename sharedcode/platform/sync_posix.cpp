// POSIX side of platform/sync.h: a recursive pthread mutex built in place in
// the opaque storage.
#include "sharedcode/platform/sync.h"

#include <pthread.h>

#include <new>

#include "sharedcode/platform/process.h"

namespace plat {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CriticalSectionStorage::opaque),
              "pthread_mutex_t does not fit the critical-section storage");
static_assert(alignof(pthread_mutex_t) <= alignof(CriticalSectionStorage),
              "pthread_mutex_t needs a stricter alignment than the storage");

namespace {
pthread_mutex_t* Mutex(CriticalSectionStorage* pcs) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(pcs->opaque));
}
}  // namespace

BOOL InitializeCriticalSectionAndSpinCount(CriticalSectionStorage* pcs, DWORD /*dwSpinCount*/) {
    pthread_mutexattr_t attr;
    if (::pthread_mutexattr_init(&attr) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* pm = new (pcs->opaque) pthread_mutex_t;
    int err = ::pthread_mutex_init(pm, &attr);
    ::pthread_mutexattr_destroy(&attr);
    if (err != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

void DeleteCriticalSection(CriticalSectionStorage* pcs) { ::pthread_mutex_destroy(Mutex(pcs)); }
void EnterCriticalSection(CriticalSectionStorage* pcs) { ::pthread_mutex_lock(Mutex(pcs)); }
BOOL TryEnterCriticalSection(CriticalSectionStorage* pcs) {
    return ::pthread_mutex_trylock(Mutex(pcs)) == 0 ? TRUE : FALSE;
}
void LeaveCriticalSection(CriticalSectionStorage* pcs) { ::pthread_mutex_unlock(Mutex(pcs)); }

}  // namespace plat
