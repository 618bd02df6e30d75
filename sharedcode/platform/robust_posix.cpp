// EINTR-safe system calls of the POSIX platform layer.
#include "sharedcode/platform/robust_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

namespace plat {

Deadline Deadline::In(DWORD dwMilliseconds) {
    Deadline d;
    if (dwMilliseconds == kInfinite) return d;
    d.m_fNever = false;
    ::clock_gettime(CLOCK_MONOTONIC, &d.m_at);
    d.m_at.tv_sec += dwMilliseconds / 1000;
    d.m_at.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (d.m_at.tv_nsec >= 1000000000L) {
        d.m_at.tv_sec += 1;
        d.m_at.tv_nsec -= 1000000000L;
    }
    return d;
}

int Deadline::MsLeft() const {
    if (m_fNever) return -1;
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = (static_cast<int64_t>(m_at.tv_sec) - now.tv_sec) * 1000000000 + (m_at.tv_nsec - now.tv_nsec);
    if (ns <= 0) return 0;
    const int64_t ms = (ns + 999999) / 1000000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

int RobustOpen(const char* szPath, int flags, mode_t mode) {
    int fd;
    do fd = ::open(szPath, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

ssize_t RobustRead(int fd, void* pv, size_t cb) {
    ssize_t n;
    do n = ::read(fd, pv, cb);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t RobustWrite(int fd, const void* pv, size_t cb) {
    ssize_t n;
    do n = ::write(fd, pv, cb);
    while (n < 0 && errno == EINTR);
    return n;
}

int RobustReadFull(int fd, void* pv, size_t cb, size_t* pcbDone) {
    size_t done = 0;
    int rc = 0;
    while (done < cb) {
        const ssize_t n = RobustRead(fd, static_cast<char*>(pv) + done, cb - done);
        if (n <= 0) {
            rc = n < 0 ? -1 : 0;
            break;
        }
        done += static_cast<size_t>(n);
    }
    *pcbDone = done;
    return rc;
}

int RobustWriteFull(int fd, const void* pv, size_t cb, size_t* pcbDone) {
    size_t done = 0;
    int rc = 0;
    while (done < cb) {
        const ssize_t n = RobustWrite(fd, static_cast<const char*>(pv) + done, cb - done);
        if (n < 0) {
            rc = -1;
            break;
        }
        done += static_cast<size_t>(n);
    }
    *pcbDone = done;
    return rc;
}

int RobustFcntlLock(int fd, int cmd, struct flock* pfl) {
    int rc;
    do rc = ::fcntl(fd, cmd, pfl);
    while (rc != 0 && errno == EINTR);
    return rc;
}

int RobustFlock(int fd, int op) {
    int rc;
    do rc = ::flock(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

int RobustNanosleep(DWORD dwMilliseconds) {
    const Deadline deadline = Deadline::In(dwMilliseconds);
    while (deadline.IsNever()) ::pause();
    int rc;
    do rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.At(), nullptr);
    while (rc == EINTR);
    return rc;
}

ssize_t RobustSend(int fd, const void* pv, size_t cb, int flags) {
    ssize_t n;
    do n = ::send(fd, pv, cb, flags);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t RobustSendmsg(int fd, const struct msghdr* pmsg, int flags) {
    ssize_t n;
    do n = ::sendmsg(fd, pmsg, flags);
    while (n < 0 && errno == EINTR);
    return n;
}

int RobustPoll(struct pollfd* pfds, nfds_t cfds, const Deadline& deadline) {
    int rc;
    do rc = ::poll(pfds, cfds, deadline.MsLeft());
    while (rc < 0 && errno == EINTR);
    return rc;
}

int RobustEpollWait(int epfd, struct epoll_event* pevents, int cevents, const Deadline& deadline) {
    int rc;
    do rc = ::epoll_wait(epfd, pevents, cevents, deadline.MsLeft());
    while (rc < 0 && errno == EINTR);
    return rc;
}

ssize_t RobustRecv(int fd, void* pv, size_t cb, const Deadline& deadline) {
    for (;;) {
        if (!deadline.IsNever()) {
            // A time left of 0 still takes what has arrived.
            struct pollfd pfd = {fd, POLLIN, 0};
            const int rc = RobustPoll(&pfd, 1, deadline);
            if (rc < 0) return -1;
            if (rc == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
        }
        const ssize_t n = ::recv(fd, pv, cb, 0);
        if (n >= 0 || errno != EINTR) return n;
    }
}

int SetSocketTimeout(int fd, int optname, int ms) {
    struct timeval tv = {};
    if (ms > 0) {
        tv.tv_sec = ms / 1000;
        tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    }
    return ::setsockopt(fd, SOL_SOCKET, optname, &tv, sizeof(tv));
}

int RobustConnect(int fd, const struct sockaddr* paddr, socklen_t len, const Deadline& deadline) {
    for (;;) {
        if (!deadline.IsNever()) {
            // The kernel waits on a full backlog for the send time-out; a
            // time-out of 0 would mean no end, so a passed deadline is busy.
            const int ms = deadline.MsLeft();
            if (ms == 0) {
                errno = EAGAIN;
                return -1;
            }
            SetSocketTimeout(fd, SO_SNDTIMEO, ms);
        }
        if (::connect(fd, paddr, len) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int RobustSemWait(sem_t* psem, const Deadline& deadline) {
    int rc;
    do rc = deadline.IsNever() ? ::sem_wait(psem) : ::sem_clockwait(psem, CLOCK_MONOTONIC, &deadline.At());
    while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace plat
