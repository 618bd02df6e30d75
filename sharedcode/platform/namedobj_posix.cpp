// POSIX side of platform/namedobj.h: named mutexes and mappings in POSIX
// shared memory.
#include "sharedcode/platform/namedobj.h"
#include "sharedcode/platform/namedobj_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sharedcode/platform/errno_posix.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"
#include "sharedcode/platform/secdesc_posix.h"
#include "sharedcode/platform/text.h"

namespace plat {

using secdesc_posix::ModeFor;

// ---------------------------------------------------------------------------
// Names

constexpr size_t kMaxPosixName = 255;  // NAME_MAX of /dev/shm, after the '/'

bool namedobj_posix::PosixName(const wchar_t* wszName, std::string& out) {
    const int cb = WideToAnsi(wszName, -1, nullptr, 0);
    if (cb <= 0) return false;
    std::string utf8(static_cast<size_t>(cb), '\0');
    if (WideToAnsi(wszName, -1, &utf8[0], cb) != cb) return false;
    utf8.resize(static_cast<size_t>(cb) - 1);
    out = "/";
    for (char c : utf8) {
        switch (c) {
            case '/': out += "%2F"; break;
            case '\\': out += "%5C"; break;
            case '%': out += "%25"; break;
            default: out += c; break;
        }
    }
    if (out.size() - 1 > kMaxPosixName) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

DWORD namedobj_posix::ErrorFromErrno(int e) {
    return Win32FromErrno(e, {{EINVAL, ERROR_INVALID_NAME}, {ENOSPC, ERROR_NOT_ENOUGH_MEMORY}, {EFBIG, ERROR_NOT_ENOUGH_MEMORY}});
}

namespace {

using namedobj_posix::ErrorFromErrno;
using namedobj_posix::PosixName;

// Creates the shared-memory object with the attributes' mode, or opens it.
DWORD OpenSharedObject(const std::string& name, const SecurityAttributesStorage* psa, int* pfd, bool* pfCreated) {
    const mode_t mode = ModeFor(psa);
    // Another process may remove the object between the two opens; then the
    // next round creates it.
    for (int round = 0; round < 100; ++round) {
        int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (::fchmod(fd, mode) != 0) {
                const DWORD err = ErrorFromErrno(errno);
                ::close(fd);
                ::shm_unlink(name.c_str());
                return err;
            }
            *pfd = fd;
            *pfCreated = true;
            return ERROR_SUCCESS;
        }
        if (errno != EEXIST) return ErrorFromErrno(errno);
        fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0) {
            *pfd = fd;
            *pfCreated = false;
            return ERROR_SUCCESS;
        }
        if (errno != ENOENT) return ErrorFromErrno(errno);
    }
    return ERROR_GEN_FAILURE;
}

// Extends the object to cb bytes with its pages reserved, so that a full
// /dev/shm fails here rather than with SIGBUS at the first write.
DWORD Extend(int fd, off_t cb) {
    int e = ::posix_fallocate(fd, 0, cb);
    if (e == EOPNOTSUPP || e == EINVAL) e = ::ftruncate(fd, cb) == 0 ? 0 : errno;
    return e ? ErrorFromErrno(e) : ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Mutexes

constexpr uint32_t kSharedMutexMagic = 0x584D4756;  // "VGMX"

struct SharedMutex {
    uint32_t magic;    // kSharedMutexMagic once initialised
    uint32_t cbMutex;  // sizeof(pthread_mutex_t) of the initialiser
    pthread_mutex_t mutex;
};

// One per mutex and process, however many handles refer to it.
struct MutexObject {
    std::string name;        // empty for a mutex of this process alone
    SharedMutex* pShared;
    int cHandles;            // under Registry().lock
    std::atomic<int> cHeld;  // acquisitions by threads of this process
};

struct Registry {
    std::mutex lock;
    std::vector<MutexObject*> mutexes;
    std::vector<std::pair<void*, size_t>> views;
};

void LockRegistryForFork();
void UnlockRegistryAfterFork();

Registry& Objects() {
    static Registry* p = [] {
        // A child forked while another thread held the lock must not inherit
        // it held.
        ::pthread_atfork(LockRegistryForFork, UnlockRegistryAfterFork, UnlockRegistryAfterFork);
        return new Registry;
    }();
    return *p;
}
void LockRegistryForFork() { Objects().lock.lock(); }
void UnlockRegistryAfterFork() { Objects().lock.unlock(); }

bool InitSharedMutex(SharedMutex* p) {
    pthread_mutexattr_t attr;
    if (::pthread_mutexattr_init(&attr) != 0) return false;
    ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int e = ::pthread_mutex_init(&p->mutex, &attr);
    ::pthread_mutexattr_destroy(&attr);
    if (e != 0) return false;
    p->cbMutex = sizeof(pthread_mutex_t);
    p->magic = kSharedMutexMagic;
    return true;
}

// Maps the named mutex, initialising it if nobody has. Whoever initialises
// does so under an exclusive flock, and every opener takes that lock before
// looking, so nobody uses a half-built mutex; a creator that died halfway
// left the magic unset, and the next opener starts again.
DWORD MapNamedMutex(const std::string& name, const SecurityAttributesStorage* psa, SharedMutex** ppShared,
                    bool* pfCreated) {
    int fd = -1;
    DWORD err = OpenSharedObject(name, psa, &fd, pfCreated);
    if (err != ERROR_SUCCESS) return err;
    RobustFlock(fd, LOCK_EX);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        err = ErrorFromErrno(errno);
    } else if (st.st_size == 0) {
        err = Extend(fd, sizeof(SharedMutex));
    } else if (st.st_size != static_cast<off_t>(sizeof(SharedMutex))) {
        err = ERROR_INVALID_HANDLE;  // some other kind of object
    }
    void* pv = MAP_FAILED;
    if (err == ERROR_SUCCESS) {
        pv = ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (pv == MAP_FAILED) err = ErrorFromErrno(errno);
    }
    if (err == ERROR_SUCCESS) {
        SharedMutex* p = static_cast<SharedMutex*>(pv);
        if (p->magic == 0) {
            if (!InitSharedMutex(p)) err = ERROR_NOT_ENOUGH_MEMORY;
        } else if (p->magic != kSharedMutexMagic || p->cbMutex != sizeof(pthread_mutex_t)) {
            err = ERROR_INVALID_HANDLE;
        }
        if (err == ERROR_SUCCESS) {
            *ppShared = p;
        } else {
            ::munmap(pv, sizeof(SharedMutex));
        }
    }
    RobustFlock(fd, LOCK_UN);
    ::close(fd);
    return err;
}

}  // namespace

struct KernelObject {
    enum Kind : uint32_t { kClosed = 0, kMutex = 0x4D555458, kMapping = 0x4D415050 };
    Kind kind;
    MutexObject* pMutex;  // kMutex
    int fd;               // kMapping
};

namespace {
bool IsMutex(HANDLE h) { return h && h->kind == KernelObject::kMutex; }
bool IsMapping(HANDLE h) { return h && h->kind == KernelObject::kMapping; }

void FreeMutexObject(MutexObject* pObj) {
    ::munmap(pObj->pShared, sizeof(SharedMutex));
    delete pObj;
}
}  // namespace

// ---------------------------------------------------------------------------
// Mutexes

HANDLE CreateMutexW(const SecurityAttributesStorage* psa, const wchar_t* wszName) {
    std::string name;
    if (wszName && *wszName && !PosixName(wszName, name)) return nullptr;
    Registry& reg = Objects();
    std::lock_guard<std::mutex> guard(reg.lock);
    MutexObject* pObj = nullptr;
    bool fCreated = true;
    if (!name.empty()) {
        for (MutexObject* p : reg.mutexes) {
            if (p->name == name) {
                pObj = p;
                fCreated = false;
                break;
            }
        }
    }
    if (!pObj) {
        SharedMutex* pShared = nullptr;
        if (name.empty()) {
            void* pv = ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            if (pv == MAP_FAILED) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            pShared = static_cast<SharedMutex*>(pv);
            if (!InitSharedMutex(pShared)) {
                ::munmap(pv, sizeof(SharedMutex));
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
        } else {
            const DWORD err = MapNamedMutex(name, psa, &pShared, &fCreated);
            if (err != ERROR_SUCCESS) {
                SetLastError(err);
                return nullptr;
            }
        }
        pObj = new MutexObject{name, pShared, 0, {0}};
        reg.mutexes.push_back(pObj);
    }
    ++pObj->cHandles;
    SetLastError(fCreated ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return new KernelObject{KernelObject::kMutex, pObj, -1};
}

DWORD WaitForSingleObject(HANDLE hMutex, DWORD dwMilliseconds) {
    if (!IsMutex(hMutex)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return kWaitFailed;
    }
    MutexObject* pObj = hMutex->pMutex;
    pthread_mutex_t* pm = &pObj->pShared->mutex;
    int e;
    if (dwMilliseconds == kInfinite) {
        e = ::pthread_mutex_lock(pm);
    } else if (dwMilliseconds == 0) {
        e = ::pthread_mutex_trylock(pm);
    } else {
        // Never cut short by a signal: pthread waits do not fail with EINTR.
        e = ::pthread_mutex_clocklock(pm, CLOCK_MONOTONIC, &Deadline::In(dwMilliseconds).At());
    }
    switch (e) {
        case 0:
            pObj->cHeld.fetch_add(1);
            return kWaitObject0;
        case EOWNERDEAD:
            // The owner ended while holding it: ours now, as an abandoned
            // Win32 mutex is.
            ::pthread_mutex_consistent(pm);
            pObj->cHeld.fetch_add(1);
            return kWaitAbandoned;
        case EBUSY:
        case ETIMEDOUT:
            return kWaitTimeout;
        case EAGAIN:  // recursion limit
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return kWaitFailed;
        default:
            SetLastError(ERROR_GEN_FAILURE);
            return kWaitFailed;
    }
}

BOOL ReleaseMutex(HANDLE hMutex) {
    if (!IsMutex(hMutex)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MutexObject* pObj = hMutex->pMutex;
    const int e = ::pthread_mutex_unlock(&pObj->pShared->mutex);
    if (e != 0) {
        SetLastError(e == EPERM ? ERROR_NOT_OWNER : ERROR_GEN_FAILURE);
        return FALSE;
    }
    pObj->cHeld.fetch_sub(1);
    return TRUE;
}

// ---------------------------------------------------------------------------
// File mappings

HANDLE CreateFileMappingW(const SecurityAttributesStorage* psa, DWORD cbSize, const wchar_t* wszName) {
    if (cbSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int fd = -1;
    bool fCreated = true;
    DWORD err = ERROR_SUCCESS;
    if (!wszName || !*wszName) {
        fd = ::memfd_create("vavarive32-mapping", MFD_CLOEXEC);
        if (fd < 0) err = ErrorFromErrno(errno);
    } else {
        std::string name;
        if (!PosixName(wszName, name)) return nullptr;
        err = OpenSharedObject(name, psa, &fd, &fCreated);
    }
    if (err == ERROR_SUCCESS) {
        struct stat st;
        uint32_t magic = 0;
        if (::fstat(fd, &st) != 0) {
            err = ErrorFromErrno(errno);
        } else if (st.st_size == static_cast<off_t>(sizeof(SharedMutex)) &&
                   ::pread(fd, &magic, sizeof(magic), 0) == sizeof(magic) && magic == kSharedMutexMagic) {
            err = ERROR_INVALID_HANDLE;  // the name belongs to a mutex
        } else if (st.st_size < static_cast<off_t>(cbSize)) {
            err = Extend(fd, cbSize);
        }
        if (err != ERROR_SUCCESS) ::close(fd);
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return nullptr;
    }
    SetLastError(fCreated ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return new KernelObject{KernelObject::kMapping, nullptr, fd};
}

void* MapViewOfFile(HANDLE hMapping, DWORD cbBytes) {
    if (!IsMapping(hMapping)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    struct stat st;
    if (::fstat(hMapping->fd, &st) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    const size_t cb = cbBytes ? cbBytes : static_cast<size_t>(st.st_size);
    if (cb == 0 || static_cast<off_t>(cb) > st.st_size) {
        SetLastError(ERROR_ACCESS_DENIED);  // as Win32 answers a view larger than the object
        return nullptr;
    }
    void* pv = ::mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, hMapping->fd, 0);
    if (pv == MAP_FAILED) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    Registry& reg = Objects();
    std::lock_guard<std::mutex> guard(reg.lock);
    reg.views.emplace_back(pv, cb);
    return pv;
}

BOOL UnmapViewOfFile(const void* pvView) {
    Registry& reg = Objects();
    std::lock_guard<std::mutex> guard(reg.lock);
    auto it = std::find_if(reg.views.begin(), reg.views.end(),
                           [pvView](const std::pair<void*, size_t>& v) { return v.first == pvView; });
    if (it == reg.views.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    ::munmap(it->first, it->second);
    reg.views.erase(it);
    return TRUE;
}

// ---------------------------------------------------------------------------

BOOL CloseHandle(HANDLE h) {
    if (!IsMutex(h) && !IsMapping(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (h->kind == KernelObject::kMapping) {
        ::close(h->fd);
    } else {
        Registry& reg = Objects();
        std::lock_guard<std::mutex> guard(reg.lock);
        MutexObject* pObj = h->pMutex;
        // A mutex still held here stays mapped: its owner's robust list
        // points into it.
        if (--pObj->cHandles == 0 && pObj->cHeld.load() == 0) {
            reg.mutexes.erase(std::find(reg.mutexes.begin(), reg.mutexes.end(), pObj));
            FreeMutexObject(pObj);
        }
    }
    h->kind = KernelObject::kClosed;
    delete h;
    return TRUE;
}

}  // namespace plat
