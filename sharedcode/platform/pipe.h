// Platform layer: named pipes.
//
// Pipe paths have the Win32 form \\SERVER\pipe\NAME. The operations report
// failure through the last error with Win32 codes.
//
// POSIX: \\.\pipe\NAME is an AF_UNIX stream socket at $VIGILON_PIPE_DIR/NAME
// (default /run/vigilon). Every message travels as one frame: a 4-byte
// little-endian length, then that many bytes. A server other than "." answers
// ERROR_BAD_NETPATH (53) and an empty server ERROR_BAD_PATHNAME (161).
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// CallNamedPipeA: connects to a message pipe, waiting up to dwTimeoutMs for a
// free instance, writes pvIn as one message, reads one reply message into
// pvOut, and closes. *pcbRead (may be null) receives the bytes read.
// Outcomes: no pipe of the name (nothing listening) ERROR_FILE_NOT_FOUND at
// once; every instance busy for dwTimeoutMs ERROR_PIPE_BUSY; ERROR_ACCESS_DENIED;
// a reply longer than cbOut fills pvOut and fails with ERROR_MORE_DATA; the
// peer closing before the whole reply arrived ERROR_BROKEN_PIPE. Once
// connected, the call waits for the reply as long as the service takes.
BOOL CallNamedPipeA(const char* szPipePath, const void* pvIn, DWORD cbIn, void* pvOut, DWORD cbOut,
                    DWORD* pcbRead, DWORD dwTimeoutMs);

}  // namespace plat
