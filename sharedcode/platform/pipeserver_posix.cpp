// POSIX side of platform/pipeserver.h: a listening AF_UNIX socket, framed
// messages on each accepted connection.
#include "sharedcode/platform/pipeserver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

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
    int fd = -1;
    int wake[2] = {-1, -1};  // written once by CancelPipeListener, never read
    std::atomic<bool> fCancelled{false};
    sockaddr_un addr = {};
    dev_t dev = 0;
    ino_t ino = 0;
    // Epoll instances of the accepting threads, each watching the listener
    // exclusively and the wake pipe: a new client wakes one waiting thread,
    // where a poll of the listener would wake them all. Idle ones wait here
    // for the next accept; there are as many as threads ever waited at once.
    std::mutex idleLock;
    std::vector<int> idleWaits;
};


namespace {

using pipe_posix::PipeError;

// Waits until fd is ready for events. ERROR_SUCCESS or ERROR_SEM_TIMEOUT.
DWORD WaitReady(int fd, short events, const Deadline& deadline) {
    pollfd pfd = {fd, events, 0};
    int rc = RobustPoll(&pfd, 1, deadline);
    if (rc < 0) return PipeError(errno);
    if (rc == 0) return ERROR_SEM_TIMEOUT;
    return ERROR_SUCCESS;  // ready, or an error the next call reports
}

// Receives exactly cb bytes. ERROR_BROKEN_PIPE when the peer closes first.
DWORD ReceiveAll(int fd, void* pv, size_t cb, const Deadline& deadline) {
    char* p = static_cast<char*>(pv);
    while (cb) {
        ssize_t n = RobustRecv(fd, p, cb, Deadline::Never());
        if (n > 0) {
            p += n;
            cb -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return ERROR_BROKEN_PIPE;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return PipeError(errno);
        DWORD err = WaitReady(fd, POLLIN, deadline);
        if (err != ERROR_SUCCESS) return err;
    }
    return ERROR_SUCCESS;
}

DWORD Fail(DWORD err) {
    SetLastError(err);
    return err;
}

// An epoll instance watching the listener (exclusively) and the wake pipe;
// -1 with errno on failure.
int NewAcceptWait(const PipeListener* h) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return -1;
    epoll_event client = {};
    client.events = EPOLLIN | EPOLLEXCLUSIVE;
    client.data.fd = h->fd;
    epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.fd = h->wake[0];
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, h->fd, &client) != 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, h->wake[0], &wake) != 0) {
        const int e = errno;
        ::close(ep);
        errno = e;
        return -1;
    }
    return ep;
}

// Waits until a client may be there to accept, waking alone.
// ERROR_SUCCESS, ERROR_SEM_TIMEOUT or ERROR_OPERATION_ABORTED.
DWORD WaitForClient(PipeListener* h, const Deadline& deadline) {
    int ep = -1;
    {
        std::lock_guard<std::mutex> g(h->idleLock);
        if (!h->idleWaits.empty()) {
            ep = h->idleWaits.back();
            h->idleWaits.pop_back();
        }
    }
    if (ep < 0 && (ep = NewAcceptWait(h)) < 0) return PipeError(errno);
    epoll_event events[2];
    const int n = RobustEpollWait(ep, events, 2, deadline);
    DWORD err = n < 0 ? PipeError(errno) : n == 0 ? ERROR_SEM_TIMEOUT : ERROR_SUCCESS;
    for (int i = 0; i < n; ++i)
        if (events[i].data.fd == h->wake[0]) err = ERROR_OPERATION_ABORTED;
    {
        std::lock_guard<std::mutex> g(h->idleLock);
        try {
            h->idleWaits.push_back(ep);
            ep = -1;
        } catch (...) {
        }
    }
    if (ep >= 0) ::close(ep);
    return err;
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
    h->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (h->fd < 0 || ::pipe2(h->wake, O_CLOEXEC) != 0) {
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
        if (h->wake[0] >= 0) ::close(h->wake[0]);
        if (h->wake[1] >= 0) ::close(h->wake[1]);
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
        // The wait comes first: a waiting client makes it return at once,
        // and an idle listener costs no failed accept.
        DWORD err = WaitForClient(h, deadline);
        if (err != ERROR_SUCCESS) {
            Fail(err);
            return nullptr;
        }
        int fd = ::accept4(h->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
        // Another thread may have taken the client that woke this one; a
        // client that gave up before being accepted is passed over.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            Fail(PipeError(errno));
            return nullptr;
        }
    }
}

BOOL CancelPipeListener(HPIPELISTENER h) {
    if (!h) return Fail(ERROR_INVALID_HANDLE), FALSE;
    if (!h->fCancelled.exchange(true)) {
        RobustWrite(h->wake[1], "x", 1);
    }
    return TRUE;
}

BOOL ClosePipeListener(HPIPELISTENER h) {
    if (!h) return Fail(ERROR_INVALID_HANDLE), FALSE;
    // The name goes only while it is still this listener's: a newer server
    // may have replaced a listener that was thought dead.
    struct stat st;
    if (::stat(h->addr.sun_path, &st) == 0 && st.st_dev == h->dev && st.st_ino == h->ino) ::unlink(h->addr.sun_path);
    for (int ep : h->idleWaits) ::close(ep);
    ::close(h->fd);
    ::close(h->wake[0]);
    ::close(h->wake[1]);
    delete h;
    return TRUE;
}

BOOL ReadPipeMessage(HPIPECONN c, void* pv, DWORD cb, DWORD* pcbRead, DWORD dwTimeoutMs) {
    if (pcbRead) *pcbRead = 0;
    if (!c) return Fail(ERROR_INVALID_HANDLE), FALSE;
    if (!pv && cb) return Fail(ERROR_INVALID_PARAMETER), FALSE;
    const Deadline deadline = Deadline::In(dwTimeoutMs);
    unsigned char hdr[4];
    DWORD err = ReceiveAll(c->fd, hdr, sizeof(hdr), deadline);
    if (err != ERROR_SUCCESS) return Fail(err), FALSE;
    const uint32_t cbMessage = static_cast<uint32_t>(hdr[0]) | static_cast<uint32_t>(hdr[1]) << 8 |
                               static_cast<uint32_t>(hdr[2]) << 16 | static_cast<uint32_t>(hdr[3]) << 24;
    const DWORD cbTake = cbMessage < cb ? cbMessage : cb;
    err = ReceiveAll(c->fd, pv, cbTake, deadline);
    if (err != ERROR_SUCCESS) return Fail(err), FALSE;
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
        ssize_t n = RobustSendmsg(c->fd, &msg, MSG_NOSIGNAL);
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
