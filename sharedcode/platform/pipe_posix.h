// POSIX side of the pipes, shared by the client end (pipe_posix.cpp) and the
// server end (pipeserver_posix.cpp).
#pragma once

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "sharedcode/platform/errno_posix.h"
#include "sharedcode/wintypes.h"

namespace plat {
namespace pipe_posix {

// \\.\pipe\NAME -> the socket address of $VIGILON_PIPE_DIR/NAME (default
// /run/vigilon). ERROR_BAD_NETPATH for another server, ERROR_BAD_PATHNAME for
// an empty server or name or a path not of that form,
// ERROR_FILENAME_EXCED_RANGE when the socket path does not fit.
DWORD ResolvePipePath(const char* szPath, sockaddr_un* addr, socklen_t* len);

// The Win32 code of a socket call's errno: the common map, with a full
// backlog a busy pipe and a missing folder a missing pipe.
inline DWORD PipeError(int e) {
    return Win32FromErrno(e, {{EAGAIN, ERROR_PIPE_BUSY}, {ENOTDIR, ERROR_FILE_NOT_FOUND}});
}

// Keeps fd, a connected stream socket, for the calling thread's next
// CreateFileA or CallNamedPipeA of addr's path (an empty path: of any path)
// instead of connecting; the pipe layer owns fd from then on and closes a
// connection it still keeps when another replaces it or the thread ends.
// WaitNamedPipeA keeps its connection so; tests hand over a stream of their
// own (pipe_testhook.h).
void KeepConnection(int fd, const sockaddr_un& addr);

}  // namespace pipe_posix
}  // namespace plat
