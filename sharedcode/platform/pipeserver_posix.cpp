// POSIX side of platform/pipeserver.h: a listening AF_UNIX socket, framed
// messages on each accepted connection.
#include "sharedcode/platform/pipeserver.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "sharedcode/platform/pipe_posix.h"
#include "sharedcode/platform/pipeserver_posix.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"

namespace plat {

struct PipeListener {
    // A blocking socket: accepting threads wait inside accept, and the kernel
    // wakes one of them per client.
    int fd = -1;
    std::atomic<bool> fCancelled{false};
    sockaddr_un addr = {};
    dev_t dev = 0;
    ino_t ino = 0;
    // The socket's receive time-out bounds each accept; the kernel reads it
    // as a wait starts. It never exceeds the time left to any thread about to
    // wait, so no wait outlasts its deadline; a thread with more time left
    // wakes early and waits again.
    std::mutex timeoutLock;
    std::vector<const Deadline*> accepting;  // deadlines of the threads in AcceptPipeClient
    int msArmed = -1;                        // the time-out set; -1: none
};


namespace {

using pipe_posix::PipeError;

DWORD Fail(DWORD err) {
    SetLastError(err);
    return err;
}

// Waits until fd is ready for events. ERROR_SUCCESS or ERROR_SEM_TIMEOUT.
DWORD WaitReady(int fd, short events, const Deadline& deadline) {
    pollfd pfd = {fd, events, 0};
    int rc = RobustPoll(&pfd, 1, deadline);
    if (rc < 0) return PipeError(errno);
    if (rc == 0) return ERROR_SEM_TIMEOUT;
    return ERROR_SUCCESS;  // ready, or an error the next call reports
}

// The time-out for a wait that must end by the deadline: at least 1 ms, so
// that a deadline already passed still takes what is there; -1 for none.
int TimeoutFor(const Deadline& deadline) {
    const int ms = deadline.MsLeft();
    return ms == 0 ? 1 : ms;
}

// Enters the calling thread, bound by *pDeadline, among the accepting ones
// and sets the listener's time-out for the next wait.
DWORD EnterAccept(PipeListener* h, const Deadline* pDeadline) {
    std::lock_guard<std::mutex> g(h->timeoutLock);
    try {
        h->accepting.push_back(pDeadline);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    int ms = -1;
    for (const Deadline* d : h->accepting)
        if (!d->IsNever()) {
            const int left = TimeoutFor(*d);
            if (ms < 0 || left < ms) ms = left;
        }
    if (ms == h->msArmed) return ERROR_SUCCESS;
    if (SetSocketTimeout(h->fd, SO_RCVTIMEO, ms) != 0) return PipeError(errno);
    h->msArmed = ms;
    return ERROR_SUCCESS;
}

void LeaveAccept(PipeListener* h, const Deadline* pDeadline) {
    std::lock_guard<std::mutex> g(h->timeoutLock);
    for (size_t i = 0; i < h->accepting.size(); ++i)
        if (h->accepting[i] == pDeadline) {
            h->accepting[i] = h->accepting.back();
            h->accepting.pop_back();
            break;
        }
}

// Receives into iov once some bytes are there, waiting until the deadline:
// the count, or 0 with the error. The connection's socket blocks; its
// receive time-out is set to the deadline's time left when that changed.
size_t ReceiveSome(PipeConnection* c, iovec* iov, int ciov, const Deadline& deadline, DWORD* pErr) {
    for (;;) {
        const int ms = deadline.IsNever() ? -1 : TimeoutFor(deadline);
        if (ms != c->msArmed) {
            if (SetSocketTimeout(c->fd, SO_RCVTIMEO, ms) != 0) return *pErr = PipeError(errno), 0;
            c->msArmed = ms;
        }
        msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(ciov);
        const ssize_t n = ::recvmsg(c->fd, &msg, 0);
        if (n > 0) return static_cast<size_t>(n);
        if (n == 0) return *pErr = ERROR_BROKEN_PIPE, 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return *pErr = PipeError(errno), 0;
        if (deadline.MsLeft() == 0) return *pErr = ERROR_SEM_TIMEOUT, 0;
    }
}

// Puts bytes back ahead of what the connection has kept for the next read.
bool PutBack(PipeConnection* c, const void* pv1, size_t cb1, const void* pv2, size_t cb2) {
    const unsigned char* p1 = static_cast<const unsigned char*>(pv1);
    const unsigned char* p2 = static_cast<const unsigned char*>(pv2);
    try {
        c->ahead.erase(c->ahead.begin(), c->ahead.begin() + static_cast<ptrdiff_t>(c->aheadPos));
        c->aheadPos = 0;
        c->ahead.insert(c->ahead.begin(), p2, p2 + cb2);
        c->ahead.insert(c->ahead.begin(), p1, p1 + cb1);
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace

HPIPELISTENER CreatePipeListener(const char* szPipePath, DWORD dwAccess, DWORD dwBacklog) {
    if (dwAccess != kPipeAccessOwner && dwAccess != kPipeAccessGroup) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sockaddr_un addr;
    socklen_t len = 0;
    DWORD err = pipe_posix::ResolvePipePath(szPipePath, &addr, &len);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return nullptr;
    }
    PipeListener* h = new (std::nothrow) PipeListener;
    if (!h) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    h->addr = addr;
    h->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (h->fd < 0) {
        err = PipeError(errno);
    } else {
        // A socket file nobody answers on is a stale one of a server that
        // died; one that answers belongs to a live server.
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
            err = ERROR_ACCESS_DENIED;
        } else if (probe >= 0 && (errno == ECONNREFUSED || errno == EAGAIN)) {
            // EAGAIN: a full backlog is a live server too.
            if (errno == EAGAIN) err = ERROR_ACCESS_DENIED;
            else ::unlink(addr.sun_path);
        }
        if (probe >= 0) ::close(probe);
    }
    if (err == ERROR_SUCCESS) {
        const mode_t mode = dwAccess == kPipeAccessGroup ? 0660 : 0600;
        // The socket is made under a staging name ("~" appended) and renamed
        // into place once it has its mode and listens: whoever sees the pipe's
        // name sees a pipe that answers, never one with the umask's mode.
        sockaddr_un staged = addr;
        socklen_t stagedLen = len;
        const size_t cch = ::strlen(addr.sun_path);
        const bool fStaged = cch + 1 < sizeof(staged.sun_path);
        if (fStaged) {
            staged.sun_path[cch] = '~';
            staged.sun_path[cch + 1] = '\0';
            stagedLen = static_cast<socklen_t>(len + 1);
            ::unlink(staged.sun_path);
        }
        struct stat st;
        if (::bind(h->fd, reinterpret_cast<sockaddr*>(&staged), stagedLen) != 0 ||
            ::chmod(staged.sun_path, mode) != 0 || ::stat(staged.sun_path, &st) != 0) {
            err = errno == ENOENT ? ERROR_PATH_NOT_FOUND : PipeError(errno);
        } else {
            h->dev = st.st_dev;
            h->ino = st.st_ino;
            // Linux queues one client more than the backlog: 0 is a queue of one.
            int backlog = dwBacklog > 4096 ? 4096 : static_cast<int>(dwBacklog);
            if (::listen(h->fd, backlog) != 0 || (fStaged && ::rename(staged.sun_path, addr.sun_path) != 0))
                err = PipeError(errno);
        }
        if (err != ERROR_SUCCESS && h->ino) ::unlink(staged.sun_path);
    }
    if (err != ERROR_SUCCESS) {
        if (h->fd >= 0) ::close(h->fd);
        delete h;
        SetLastError(err);
        return nullptr;
    }
    return h;
}

HPIPECONN AcceptPipeClient(HPIPELISTENER h, DWORD dwTimeoutMs) {
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const Deadline deadline = Deadline::In(dwTimeoutMs);
    for (;;) {
        if (h->fCancelled.load()) {
            Fail(ERROR_OPERATION_ABORTED);
            return nullptr;
        }
        DWORD err = EnterAccept(h, &deadline);
        if (err != ERROR_SUCCESS) {
            Fail(err);
            return nullptr;
        }
        const int fd = ::accept4(h->fd, nullptr, nullptr, SOCK_CLOEXEC);
        const int e = errno;
        LeaveAccept(h, &deadline);
        if (fd >= 0) {
            PipeConnection* c = new (std::nothrow) PipeConnection;
            if (!c) {
                ::close(fd);
                Fail(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            c->fd = fd;
            return c;
        }
        // A wait cut short by a signal, by a shorter time-out of another
        // thread, or by a client that gave up before being accepted, goes on;
        // a cancelled (shut down) listener fails with EINVAL.
        if (e == EAGAIN || e == EWOULDBLOCK) {
            if (deadline.MsLeft() == 0) {
                Fail(ERROR_SEM_TIMEOUT);
                return nullptr;
            }
        } else if (e != EINTR && e != ECONNABORTED) {
            Fail(h->fCancelled.load() ? ERROR_OPERATION_ABORTED : PipeError(e));
            return nullptr;
        }
    }
}

BOOL CancelPipeListener(HPIPELISTENER h) {
    if (!h) return Fail(ERROR_INVALID_HANDLE), FALSE;
    // Shutting the listener down wakes every thread inside accept, and makes
    // later accepts fail at once.
    if (!h->fCancelled.exchange(true)) ::shutdown(h->fd, SHUT_RDWR);
    return TRUE;
}

BOOL ClosePipeListener(HPIPELISTENER h) {
    if (!h) return Fail(ERROR_INVALID_HANDLE), FALSE;
    // The name goes only while it is still this listener's: a newer server
    // may have replaced a listener that was thought dead.
    struct stat st;
    if (::stat(h->addr.sun_path, &st) == 0 && st.st_dev == h->dev && st.st_ino == h->ino) ::unlink(h->addr.sun_path);
    ::close(h->fd);
    delete h;
    return TRUE;
}

BOOL ReadPipeMessage(HPIPECONN c, void* pv, DWORD cb, DWORD* pcbRead, DWORD dwTimeoutMs) {
    if (pcbRead) *pcbRead = 0;
    if (!c) return Fail(ERROR_INVALID_HANDLE), FALSE;
    if (!pv && cb) return Fail(ERROR_INVALID_PARAMETER), FALSE;
    const Deadline deadline = Deadline::In(dwTimeoutMs);
    // The frame's length and its bytes arrive together in one receive as a
    // rule: both are read at once, and what follows the frame is kept for the
    // next read.
    unsigned char hdr[4];
    iovec iov[2] = {{hdr, sizeof(hdr)}, {pv, cb}};
    size_t cbWanted = sizeof(hdr) + cb;  // until the length is known
    size_t cbHave = 0;
    auto advance = [&iov](size_t n) {
        for (iovec& v : iov) {
            const size_t take = n < v.iov_len ? n : v.iov_len;
            v.iov_base = static_cast<char*>(v.iov_base) + take;
            v.iov_len -= take;
            n -= take;
        }
    };
    if (c->ahead.size() > c->aheadPos) {
        const size_t n = std::min(c->ahead.size() - c->aheadPos, cbWanted);
        const size_t cbFirst = std::min(n, sizeof(hdr));
        memcpy(hdr, c->ahead.data() + c->aheadPos, cbFirst);
        if (n > cbFirst) memcpy(pv, c->ahead.data() + c->aheadPos + cbFirst, n - cbFirst);
        c->aheadPos += n;
        cbHave = n;
        advance(n);
    }
    uint32_t cbMessage = 0;
    for (;;) {
        if (cbHave >= sizeof(hdr)) {
            cbMessage = static_cast<uint32_t>(hdr[0]) | static_cast<uint32_t>(hdr[1]) << 8 |
                        static_cast<uint32_t>(hdr[2]) << 16 | static_cast<uint32_t>(hdr[3]) << 24;
            cbWanted = sizeof(hdr) + (cbMessage < cb ? cbMessage : cb);
        }
        if (cbHave >= cbWanted) break;
        const int iFirst = iov[0].iov_len ? 0 : 1;
        DWORD err = ERROR_SUCCESS;
        const size_t n = ReceiveSome(c, iov + iFirst, 2 - iFirst, deadline, &err);
        if (!n) {
            // A read that runs out of time keeps what came for the next one.
            const size_t cbHdr = std::min(cbHave, sizeof(hdr));
            if (err == ERROR_SEM_TIMEOUT && !PutBack(c, hdr, cbHdr, pv, cbHave - cbHdr)) err = ERROR_NOT_ENOUGH_MEMORY;
            return Fail(err), FALSE;
        }
        cbHave += n;
        advance(n);
    }
    if (cbHave > cbWanted) {
        // Bytes of the next message: kept ahead of what the socket holds.
        const unsigned char* pNext = static_cast<const unsigned char*>(pv) + (cbWanted - sizeof(hdr));
        if (!PutBack(c, pNext, cbHave - cbWanted, nullptr, 0)) return Fail(ERROR_NOT_ENOUGH_MEMORY), FALSE;
    }
    const DWORD cbTake = static_cast<DWORD>(cbWanted - sizeof(hdr));
    if (pcbRead) *pcbRead = cbTake;
    if (cbMessage > cb) return Fail(ERROR_MORE_DATA), FALSE;
    return TRUE;
}

BOOL WritePipeMessage(HPIPECONN c, const void* pv, DWORD cb, DWORD dwTimeoutMs) {
    if (!c) return Fail(ERROR_INVALID_HANDLE), FALSE;
    if (!pv && cb) return Fail(ERROR_INVALID_PARAMETER), FALSE;
    const Deadline deadline = Deadline::In(dwTimeoutMs);
    unsigned char hdr[4] = {static_cast<unsigned char>(cb), static_cast<unsigned char>(cb >> 8),
                            static_cast<unsigned char>(cb >> 16), static_cast<unsigned char>(cb >> 24)};
    iovec iov[2] = {{hdr, sizeof(hdr)}, {const_cast<void*>(pv), pv ? cb : 0}};
    int iFirst = 0;
    while (iFirst < 2) {
        msghdr msg = {};
        msg.msg_iov = iov + iFirst;
        msg.msg_iovlen = static_cast<size_t>(2 - iFirst);
        ssize_t n = RobustSendmsg(c->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return Fail(errno == EPIPE || errno == ECONNRESET ? ERROR_NO_DATA : PipeError(errno)), FALSE;
            }
            DWORD err = WaitReady(c->fd, POLLOUT, deadline);
            if (err != ERROR_SUCCESS) return Fail(err), FALSE;
            continue;
        }
        size_t done = static_cast<size_t>(n);
        for (int i = iFirst; i < 2 && done; ++i) {
            size_t take = done < iov[i].iov_len ? done : iov[i].iov_len;
            iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + take;
            iov[i].iov_len -= take;
            done -= take;
        }
        while (iFirst < 2 && iov[iFirst].iov_len == 0) ++iFirst;
    }
    return TRUE;
}

BOOL ClosePipeConnection(HPIPECONN c) {
    if (!c) return Fail(ERROR_INVALID_HANDLE), FALSE;
    ::close(c->fd);
    delete c;
    return TRUE;
}

}  // namespace plat
