// POSIX side of platform/pipe.h: named pipes as framed AF_UNIX stream sockets.
#include "sharedcode/platform/pipe.h"
#include "sharedcode/platform/pipe_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>

#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"

namespace plat {

namespace {

constexpr const char* kDefaultPipeDir = "/run/vigilon";
constexpr DWORD kDefaultWaitMs = 50;        // NMPWAIT_USE_DEFAULT_WAIT

}  // namespace

namespace pipe_posix {

static bool IEquals(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// \\SERVER\pipe\NAME -> the socket address of NAME; a Win32 code on failure.
DWORD ResolvePipePath(const char* szPath, sockaddr_un* addr, socklen_t* len) {
    if (!szPath || szPath[0] != '\\' || szPath[1] != '\\') return ERROR_BAD_PATHNAME;
    const char* server = szPath + 2;
    const char* sep = strchr(server, '\\');
    if (!sep) return ERROR_BAD_PATHNAME;
    if (sep == server) return ERROR_BAD_PATHNAME;
    if (!(sep - server == 1 && server[0] == '.')) return ERROR_BAD_NETPATH;
    if (!IEquals(sep, "\\pipe\\", 6)) return ERROR_BAD_PATHNAME;
    const char* name = sep + 6;
    if (!*name) return ERROR_BAD_PATHNAME;

    const char* dir = ::getenv("VIGILON_PIPE_DIR");
    if (!dir || !*dir) dir = kDefaultPipeDir;
    size_t dirLen = strlen(dir);
    size_t nameLen = strlen(name);
    if (dirLen + 1 + nameLen + 1 > sizeof(addr->sun_path)) return ERROR_FILENAME_EXCED_RANGE;
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, dir, dirLen);
    addr->sun_path[dirLen] = '/';
    // A backslash inside a pipe name stays one file name.
    for (size_t i = 0; i < nameLen; ++i) addr->sun_path[dirLen + 1 + i] = name[i] == '/' ? '\\' : name[i];
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + dirLen + 1 + nameLen + 1);
    return ERROR_SUCCESS;
}

}  // namespace pipe_posix

namespace {

using pipe_posix::ResolvePipePath;
using pipe_posix::PipeError;

// Connects, waiting up to dwTimeoutMs while the listener's backlog is full.
// The kernel does the waiting: a blocking connect on a full backlog sleeps
// for the socket's send time-out and then fails with EAGAIN.
DWORD Connect(const sockaddr_un& addr, socklen_t len, DWORD dwTimeoutMs, int* pfd) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return PipeError(errno);
    if (dwTimeoutMs == 0) dwTimeoutMs = kDefaultWaitMs;
    if (RobustConnect(fd, reinterpret_cast<const sockaddr*>(&addr), len, Deadline::In(dwTimeoutMs)) != 0) {
        DWORD err = PipeError(errno);
        ::close(fd);
        return err;
    }
    // The send time-out stays: a request is far smaller than the socket
    // buffer.
    *pfd = fd;
    return ERROR_SUCCESS;
}

// Sends all cb bytes. A non-blocking socket whose buffer is full is waited
// on for up to dwWaitMs, then fails as a blocking send's time-out does:
// ERROR_PIPE_BUSY.
DWORD SendAll(int fd, const void* pv, size_t cb, DWORD dwWaitMs) {
    Deadline deadline;
    bool fWaited = false;
    for (size_t done = 0; done < cb;) {
        const ssize_t n = RobustSend(fd, static_cast<const char*>(pv) + done, cb - done, MSG_NOSIGNAL);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (errno != EAGAIN) return PipeError(errno);
        if (!fWaited) deadline = Deadline::In(dwWaitMs);
        fWaited = true;
        struct pollfd pfd = {fd, POLLOUT, 0};
        const int rc = RobustPoll(&pfd, 1, deadline);
        if (rc <= 0) return rc == 0 ? ERROR_PIPE_BUSY : PipeError(errno);
    }
    return ERROR_SUCCESS;
}

// Sends one frame: a payload of up to 4 KiB (every request of the command
// table) together with its length in one send, a larger one in a send of its
// own after it.
DWORD SendFrame(int fd, const void* pv, DWORD cb, DWORD dwWaitMs) {
    unsigned char frame[4096];
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<unsigned char>(cb >> (8 * i));
    const DWORD cbInline = pv && cb <= sizeof(frame) - 4 ? cb : 0;
    if (cbInline) memcpy(frame + 4, pv, cbInline);
    DWORD err = SendAll(fd, frame, 4 + cbInline, dwWaitMs);
    if (err == ERROR_SUCCESS && pv && cb > cbInline) err = SendAll(fd, pv, cb, dwWaitMs);
    return err;
}

// Receives exactly cb bytes unless the peer closes first (ERROR_BROKEN_PIPE)
// or the deadline passes (ERROR_SEM_TIMEOUT); *pcbGot receives how many came.
DWORD ReceiveExactly(int fd, void* pv, size_t cb, const Deadline& deadline, size_t* pcbGot) {
    size_t got = 0;
    DWORD err = ERROR_SUCCESS;
    while (got < cb) {
        const ssize_t n = RobustRecv(fd, static_cast<char*>(pv) + got, cb - got, deadline);
        if (n <= 0) {
            err = n == 0 ? ERROR_BROKEN_PIPE : PipeError(errno);
            break;
        }
        got += static_cast<size_t>(n);
    }
    *pcbGot = got;
    return err;
}

// Reads one frame into pvOut, up to cbOut bytes of its payload. The length
// and the start of the payload come in one receive into a buffer of its own,
// at most the bytes the caller can take; a short reply, the usual case, then
// needs no second one. Nothing past the frame is ever taken into pvOut. A
// frame longer than cbOut leaves pvOut full and answers ERROR_MORE_DATA.
DWORD ReceiveFrame(int fd, void* pvOut, DWORD cbOut, const Deadline& deadline, DWORD* pcbRead) {
    unsigned char first[4 + 508];
    const size_t cbFirst = cbOut < sizeof(first) - 4 ? 4 + cbOut : sizeof(first);
    size_t got = 0;
    *pcbRead = 0;
    while (got < 4) {
        const ssize_t n = RobustRecv(fd, first + got, cbFirst - got, deadline);
        if (n <= 0) return n == 0 ? ERROR_BROKEN_PIPE : PipeError(errno);
        got += static_cast<size_t>(n);
    }
    const uint32_t cbFrame = static_cast<uint32_t>(first[0]) | static_cast<uint32_t>(first[1]) << 8 |
                             static_cast<uint32_t>(first[2]) << 16 | static_cast<uint32_t>(first[3]) << 24;
    const size_t cbTake = cbFrame < cbOut ? cbFrame : cbOut;
    const size_t cbInHand = got - 4 < cbTake ? got - 4 : cbTake;
    if (cbInHand) memcpy(pvOut, first + 4, cbInHand);
    size_t cbRest = 0;
    DWORD err = ReceiveExactly(fd, static_cast<char*>(pvOut) + cbInHand, cbTake - cbInHand, deadline, &cbRest);
    *pcbRead = static_cast<DWORD>(cbInHand + cbRest);
    if (err == ERROR_SUCCESS && cbFrame > cbOut) err = ERROR_MORE_DATA;
    return err;
}

// The connection of KeepConnection (pipe_posix.h); an empty szPath serves
// any path.
struct ReservedConnection {
    int fd = -1;
    char szPath[sizeof(sockaddr_un::sun_path)] = {};

    ~ReservedConnection() { Drop(); }
    void Drop() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int Take(const sockaddr_un& addr) {
        if (fd < 0 || (szPath[0] && strcmp(szPath, addr.sun_path) != 0)) return -1;
        int taken = fd;
        fd = -1;
        return taken;
    }
    void Keep(int fdNew, const sockaddr_un& addr) {
        Drop();
        fd = fdNew;
        memcpy(szPath, addr.sun_path, sizeof(szPath));
    }
};
thread_local ReservedConnection t_reserved;

// Connects a non-blocking socket without waiting: a full backlog is a busy
// pipe. With fBlocking the socket then blocks.
DWORD ConnectNow(const sockaddr_un& addr, socklen_t len, bool fBlocking, int* pfd) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return PipeError(errno);
    if (RobustConnect(fd, reinterpret_cast<const sockaddr*>(&addr), len, Deadline::Never()) != 0 ||
        (fBlocking && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        DWORD err = PipeError(errno);
        ::close(fd);
        return err;
    }
    *pfd = fd;
    return ERROR_SUCCESS;
}

}  // namespace

// The receive side keeps the unread part of the incoming stream in
// rgbBuffer[iBegin, iEnd) and its place in the framing: the bytes left of
// the current frame's payload, or a frame boundary when that is 0.
struct PipeHandle {
    static constexpr size_t kBufferSize = 256 * 1024;
    // A read at least this large that finds the buffer empty receives
    // straight into the caller's memory.
    static constexpr size_t kDirectRead = 16 * 1024;

    int fd = -1;
    DWORD dwReadTimeoutMs = kPipeWaitForever;  // each ReadFile's wait for the peer
    size_t iBegin = 0;
    size_t iEnd = 0;
    uint32_t cbFrameLeft = 0;
    bool fZeroFramePending = false;  // reached by a read that had bytes to hand back
    bool fClosed = false;            // the peer closed; what is buffered is still served
    unsigned char* rgbBuffer = nullptr;
};

namespace {

uint32_t U32Le(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Waits for more of the stream and receives it behind the buffered bytes.
// ERROR_SUCCESS when bytes arrived; ERROR_BROKEN_PIPE once the peer has
// closed; ERROR_SEM_TIMEOUT when the deadline passed first.
DWORD Fill(PipeHandle* h, const Deadline& deadline) {
    if (h->fClosed) return ERROR_BROKEN_PIPE;
    if (h->iBegin == h->iEnd) {
        h->iBegin = h->iEnd = 0;
    } else if (h->iEnd == PipeHandle::kBufferSize) {
        // Only a frame header can be split across the end.
        memmove(h->rgbBuffer, h->rgbBuffer + h->iBegin, h->iEnd - h->iBegin);
        h->iEnd -= h->iBegin;
        h->iBegin = 0;
    }
    ssize_t n = RobustRecv(h->fd, h->rgbBuffer + h->iEnd, PipeHandle::kBufferSize - h->iEnd, deadline);
    if (n > 0) {
        h->iEnd += static_cast<size_t>(n);
        return ERROR_SUCCESS;
    }
    if (n < 0) return PipeError(errno);
    h->fClosed = true;
    return ERROR_BROKEN_PIPE;
}

// Serves up to cb bytes from the frames' payloads; *pcbGot receives how
// many. ERROR_SUCCESS also for a short read; otherwise the error that ended
// a read with nothing to give.
DWORD ReadPayload(PipeHandle* h, unsigned char* pb, size_t cb, size_t* pcbGot) {
    const Deadline deadline = Deadline::In(h->dwReadTimeoutMs);
    size_t got = 0;
    DWORD err = ERROR_SUCCESS;
    *pcbGot = 0;
    if (h->fZeroFramePending) {
        h->fZeroFramePending = false;
        return ERROR_SUCCESS;
    }
    while (got < cb) {
        if (h->cbFrameLeft == 0) {
            // A frame boundary: the next frame's length.
            while (h->iEnd - h->iBegin < 4 && (err = Fill(h, deadline)) == ERROR_SUCCESS) {
            }
            if (err != ERROR_SUCCESS) break;
            h->cbFrameLeft = U32Le(h->rgbBuffer + h->iBegin);
            h->iBegin += 4;
            if (h->cbFrameLeft == 0) {
                if (got > 0) h->fZeroFramePending = true;
                break;
            }
        }
        size_t want = cb - got;
        if (want > h->cbFrameLeft) want = h->cbFrameLeft;
        size_t have = h->iEnd - h->iBegin;
        if (have == 0 && want >= PipeHandle::kDirectRead) {
            ssize_t n = RobustRecv(h->fd, pb + got, want, deadline);
            if (n <= 0) {
                err = n == 0 ? ERROR_BROKEN_PIPE : PipeError(errno);
                if (n == 0) h->fClosed = true;
                break;
            }
            got += static_cast<size_t>(n);
            h->cbFrameLeft -= static_cast<uint32_t>(n);
            continue;
        }
        if (have == 0) {
            if ((err = Fill(h, deadline)) != ERROR_SUCCESS) break;
            continue;
        }
        if (want > have) want = have;
        memcpy(pb + got, h->rgbBuffer + h->iBegin, want);
        h->iBegin += want;
        h->cbFrameLeft -= static_cast<uint32_t>(want);
        got += want;
    }
    *pcbGot = got;
    // The end of the stream cuts a read short with what it has; a read with
    // nothing to give fails, and so does one whose time ran out.
    return got == 0 || err == ERROR_SEM_TIMEOUT ? err : ERROR_SUCCESS;
}

}  // namespace

BOOL CallNamedPipeA(const char* szPipePath, const void* pvIn, DWORD cbIn, void* pvOut, DWORD cbOut,
                    DWORD* pcbRead, DWORD dwTimeoutMs, DWORD dwReplyTimeoutMs) {
    DWORD cbRead = 0;
    if (pcbRead) *pcbRead = 0;
    if ((!pvIn && cbIn) || (!pvOut && cbOut)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sockaddr_un addr;
    socklen_t len = 0;
    DWORD err = ResolvePipePath(szPipePath, &addr, &len);
    int fd = -1;
    if (err == ERROR_SUCCESS && (fd = t_reserved.Take(addr)) < 0) {
        // A free place in the backlog takes the connection at once, with no
        // time-out to set; only a full one needs the timed wait.
        err = ConnectNow(addr, len, false, &fd);
        if (err == ERROR_PIPE_BUSY) err = Connect(addr, len, dwTimeoutMs, &fd);
    }
    if (err == ERROR_SUCCESS) {
        err = SendFrame(fd, pvIn, cbIn, dwTimeoutMs == 0 ? kDefaultWaitMs : dwTimeoutMs);
        if (err == ERROR_SUCCESS) {
            // Without a reply time-out the connection turns blocking and the
            // receive sleeps in the kernel, which costs less than a poll
            // followed by a receive. One left non-blocking is polled.
            Deadline deadline = Deadline::In(dwReplyTimeoutMs);
            if (deadline.IsNever() && ::fcntl(fd, F_SETFL, 0) != 0) deadline = Deadline::In(kPipeWaitForever - 1);
            err = ReceiveFrame(fd, pvOut, cbOut, deadline, &cbRead);
        }
        ::close(fd);
    }
    if (pcbRead) *pcbRead = cbRead;
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

HPIPE CreateFileA(const char* szPipePath, DWORD /*dwDesiredAccess*/, DWORD /*dwShareMode*/,
                  DWORD dwCreationDisposition, DWORD /*dwFlagsAndAttributes*/, DWORD dwReadTimeoutMs) {
    if (dwCreationDisposition != kPipeOpenExisting) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sockaddr_un addr;
    socklen_t len = 0;
    DWORD err = ResolvePipePath(szPipePath, &addr, &len);
    int fd = -1;
    if (err == ERROR_SUCCESS) {
        fd = t_reserved.Take(addr);
        if (fd < 0) err = ConnectNow(addr, len, true, &fd);
    }
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return nullptr;
    }
    PipeHandle* h = new (std::nothrow) PipeHandle;
    unsigned char* pb = static_cast<unsigned char*>(::malloc(PipeHandle::kBufferSize));
    if (!h || !pb) {
        delete h;
        ::free(pb);
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    h->fd = fd;
    h->dwReadTimeoutMs = dwReadTimeoutMs;
    h->rgbBuffer = pb;
    return h;
}

BOOL WaitNamedPipeA(const char* szPipePath, DWORD dwTimeoutMs) {
    sockaddr_un addr;
    socklen_t len = 0;
    DWORD err = ResolvePipePath(szPipePath, &addr, &len);
    int fd = -1;
    if (err == ERROR_SUCCESS) err = Connect(addr, len, dwTimeoutMs, &fd);
    if (err == ERROR_PIPE_BUSY) err = ERROR_SEM_TIMEOUT;
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    // The kept connection writes without the wait's time-out.
    struct timeval tv = {};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    pipe_posix::KeepConnection(fd, addr);
    return TRUE;
}

BOOL SetNamedPipeHandleState(HPIPE hPipe, const DWORD* pdwMode) {
    if (!hPipe) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (pdwMode && *pdwMode != kPipeReadModeByte) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

namespace {

// The arguments of a read or a write; false with the last error set.
bool IoArgumentsOk(HPIPE hPipe, const void* pv, DWORD cb) {
    if (!hPipe) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!pv && cb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

BOOL WriteFile(HPIPE hPipe, const void* pv, DWORD cb, DWORD* pcbWritten) {
    if (pcbWritten) *pcbWritten = 0;
    if (!IoArgumentsOk(hPipe, pv, cb)) return FALSE;
    DWORD err = SendFrame(hPipe->fd, pv, cb, kPipeWaitForever);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    if (pcbWritten) *pcbWritten = cb;
    return TRUE;
}

BOOL ReadFile(HPIPE hPipe, void* pv, DWORD cb, DWORD* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!IoArgumentsOk(hPipe, pv, cb)) return FALSE;
    size_t got = 0;
    DWORD err = ReadPayload(hPipe, static_cast<unsigned char*>(pv), cb, &got);
    if (pcbRead) *pcbRead = static_cast<DWORD>(got);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

void pipe_posix::KeepConnection(int fd, const sockaddr_un& addr) { t_reserved.Keep(fd, addr); }

BOOL CloseHandle(HPIPE hPipe) {
    if (!hPipe) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ::close(hPipe->fd);
    ::free(hPipe->rgbBuffer);
    delete hPipe;
    return TRUE;
}

}  // namespace plat
