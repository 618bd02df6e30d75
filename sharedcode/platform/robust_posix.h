// POSIX side of the platform layer only: system calls that a signal cannot
// cut short. Each wrapper resumes a call that failed with EINTR; the timed
// ones fix their deadline once on the monotonic clock and resume with the
// time left, so a signal neither ends a wait early nor makes it start over.
// No code of the platform layer retries EINTR on its own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>

#include "sharedcode/platform/namedobj.h"

namespace plat {

// A moment on the monotonic clock, or never.
class Deadline {
public:
    // dwMilliseconds from now; kInfinite: never.
    static Deadline In(DWORD dwMilliseconds);
    static Deadline Never() { return Deadline(); }

    bool IsNever() const { return m_fNever; }
    // Milliseconds left, rounded up: 0 once passed; -1 for never (poll's
    // wait without end).
    int MsLeft() const;
    // The moment itself, for waits that take an absolute CLOCK_MONOTONIC time.
    const struct timespec& At() const { return m_at; }

private:
    bool m_fNever = true;
    struct timespec m_at = {};
};

int RobustOpen(const char* szPath, int flags, mode_t mode = 0);
ssize_t RobustRead(int fd, void* pv, size_t cb);
ssize_t RobustWrite(int fd, const void* pv, size_t cb);
// Reads until cb bytes or the end of the file, writes all cb bytes: 0, or
// -1 with errno when a call failed. *pcbDone receives the bytes moved.
int RobustReadFull(int fd, void* pv, size_t cb, size_t* pcbDone);
int RobustWriteFull(int fd, const void* pv, size_t cb, size_t* pcbDone);
int RobustFcntlLock(int fd, int cmd, struct flock* pfl);
int RobustFlock(int fd, int op);
// Sleeps dwMilliseconds on the monotonic clock; kInfinite: for good.
int RobustNanosleep(DWORD dwMilliseconds);

// poll until the deadline: 0 when it passes first.
int RobustPoll(struct pollfd* pfds, nfds_t cfds, const Deadline& deadline);
// epoll_wait until the deadline: 0 when it passes first.
int RobustEpollWait(int epfd, struct epoll_event* pevents, int cevents, const Deadline& deadline);

ssize_t RobustSend(int fd, const void* pv, size_t cb, int flags);
ssize_t RobustSendmsg(int fd, const struct msghdr* pmsg, int flags);
// Receives up to cb bytes once some are there, waiting for them until the
// deadline: -1 with ETIMEDOUT when it passes first.
ssize_t RobustRecv(int fd, void* pv, size_t cb, const Deadline& deadline);
// Sets a socket's SO_RCVTIMEO or SO_SNDTIMEO to ms milliseconds; 0 or less:
// none, the kernel's waits then have no end.
int SetSocketTimeout(int fd, int optname, int ms);
// Connects a blocking socket, the kernel waiting on a full listener backlog
// until the deadline (Deadline::Never: as long as it takes): -1 with EAGAIN
// when it passes. A non-blocking socket fails with EAGAIN at once.
int RobustConnect(int fd, const struct sockaddr* paddr, socklen_t len, const Deadline& deadline);

// sem_wait until the deadline: -1 with ETIMEDOUT when it passes.
int RobustSemWait(sem_t* psem, const Deadline& deadline);

}  // namespace plat
