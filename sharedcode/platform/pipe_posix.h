// POSIX side of the pipes, shared by the client end (pipe_posix.cpp) and the
// server end (pipeserver_posix.cpp).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include "sharedcode/wintypes.h"

namespace plat {
namespace pipe_posix {

// \\.\pipe\NAME -> the socket address of $VIGILON_PIPE_DIR/NAME (default
// /run/vigilon). ERROR_BAD_NETPATH for another server, ERROR_BAD_PATHNAME for
// an empty server or name or a path not of that form,
// ERROR_FILENAME_EXCED_RANGE when the socket path does not fit.
DWORD ResolvePipePath(const char* szPath, sockaddr_un* addr, socklen_t* len);

// The Win32 code of a socket call's errno.
DWORD Win32FromErrno(int e);

}  // namespace pipe_posix
}  // namespace plat
