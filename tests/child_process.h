// Child processes for the cross-process suites: run a function in a fork,
// wait for it with a time limit, and signal between parent and child.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace childtest {

// Waits for a child at most timeoutMs, killing it when it overruns. Returns
// its exit code, or -1 when it did not exit normally.
inline int WaitChild(pid_t pid, int timeoutMs = 20000) {
    int status = 0;
    for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
        if (waited >= timeoutMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs fn in a child that exits with its result; its alarm ends it after
// alarmSeconds whatever happens.
template <typename Fn>
pid_t Spawn(Fn fn, unsigned alarmSeconds = 60) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(alarmSeconds);
        ::_exit(fn());
    }
    return pid;
}

// A one-way signal between processes: one byte through a pipe. Create it
// before the fork.
class Signal {
public:
    Signal() {
        if (::pipe(m_fd) != 0) m_fd[0] = m_fd[1] = -1;
    }
    ~Signal() {
        ::close(m_fd[0]);
        ::close(m_fd[1]);
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void Raise() { (void)!::write(m_fd[1], "x", 1); }
    // False after timeoutMs without a signal.
    bool Wait(int timeoutMs = 20000) {
        struct pollfd pfd = {m_fd[0], POLLIN, 0};
        char c;
        return ::poll(&pfd, 1, timeoutMs) == 1 && ::read(m_fd[0], &c, 1) == 1;
    }

private:
    int m_fd[2];
};

}  // namespace childtest
