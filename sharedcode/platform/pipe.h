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

constexpr DWORD kPipeWaitForever = 0xFFFFFFFFu;  // NMPWAIT_WAIT_FOREVER, INFINITE

// CallNamedPipeA: connects to a message pipe, waiting up to dwTimeoutMs for a
// free instance, writes pvIn as one message, reads one reply message into
// pvOut, and closes. *pcbRead (may be null) receives the bytes read. The
// reply is the first message alone: nothing the peer sends after it is read.
// Outcomes: no pipe of the name (nothing listening) ERROR_FILE_NOT_FOUND at
// once; every instance busy for dwTimeoutMs ERROR_PIPE_BUSY; ERROR_ACCESS_DENIED;
// a reply longer than cbOut fills pvOut and fails with ERROR_MORE_DATA; the
// peer closing before the whole reply arrived ERROR_BROKEN_PIPE.
// Once connected, the call waits up to dwReplyTimeoutMs for the reply and
// then fails with ERROR_SEM_TIMEOUT; with kPipeWaitForever, as Win32's
// CallNamedPipeA, as long as the service takes.
BOOL CallNamedPipeA(const char* szPipePath, const void* pvIn, DWORD cbIn, void* pvOut, DWORD cbOut,
                    DWORD* pcbRead, DWORD dwTimeoutMs, DWORD dwReplyTimeoutMs = kPipeWaitForever);

// ---------------------------------------------------------------------------
// Pipe handles: a connection of its own to a pipe, kept open across several
// writes and reads (the list channel).
//
// POSIX: each WriteFile sends one frame. Reads in byte mode are served from
// the payloads of the incoming frames, in order, as from a byte-mode pipe:
// one read may take the rest of a frame and the start of the next. A frame
// of length 0 makes one read return 0 bytes successfully. A read waits until
// it has all the bytes asked for, and returns fewer only when it reaches a
// frame of length 0 (which then answers the next read) or the peer closing
// the connection; a read with no bytes to give after the close fails with
// ERROR_BROKEN_PIPE. So how the sender cut its frames, or how the stream
// arrives, never shortens a read. The incoming stream is received in large
// blocks into a buffer of the handle, so that many small reads cost one
// system call between them.

struct PipeHandle;
typedef PipeHandle* HPIPE;

// Access rights, disposition and read mode, with the values of winnt.h,
// winbase.h and fileapi.h.
constexpr DWORD kPipeGenericRead = 0x80000000u;   // GENERIC_READ
constexpr DWORD kPipeGenericWrite = 0x40000000u;  // GENERIC_WRITE
constexpr DWORD kPipeOpenExisting = 3;            // OPEN_EXISTING
constexpr DWORD kPipeReadModeByte = 0x00000000;   // PIPE_READMODE_BYTE | PIPE_WAIT

// CreateFileA on a pipe path, without security attributes or template:
// opens a client end of the pipe. Null on failure (where Win32 answers
// INVALID_HANDLE_VALUE). No pipe of the name, or nobody listening,
// ERROR_FILE_NOT_FOUND; every instance busy ERROR_PIPE_BUSY, at once;
// ERROR_ACCESS_DENIED. POSIX opens pipes only: it requires OPEN_EXISTING
// (else ERROR_INVALID_PARAMETER) and ignores access, sharing and flags.
// dwReadTimeoutMs bounds how long each ReadFile of the handle waits for the
// peer (kPipeWaitForever: no bound); Win32 then opens the handle for
// overlapped I/O, which stays inside this layer.
HPIPE CreateFileA(const char* szPipePath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition,
                  DWORD dwFlagsAndAttributes, DWORD dwReadTimeoutMs = kPipeWaitForever);

// WaitNamedPipeA: waits up to dwTimeoutMs for an instance of the pipe to be
// free. No pipe of the name fails at once with ERROR_FILE_NOT_FOUND; the wait
// running out fails with ERROR_SEM_TIMEOUT (121). POSIX: the wait connects,
// and the connection is kept for the calling thread's next CreateFileA (or
// CallNamedPipeA) of the same path, so that waiting shows the service no
// empty connection.
BOOL WaitNamedPipeA(const char* szPipePath, DWORD dwTimeoutMs);

// SetNamedPipeHandleState with a read mode and no collection settings.
// POSIX accepts kPipeReadModeByte only (else ERROR_INVALID_PARAMETER).
BOOL SetNamedPipeHandleState(HPIPE hPipe, const DWORD* pdwMode);

// WriteFile: writes cb bytes as one message. *pcbWritten (may be null)
// receives the bytes written. The peer gone: ERROR_NO_DATA or
// ERROR_BROKEN_PIPE.
BOOL WriteFile(HPIPE hPipe, const void* pv, DWORD cb, DWORD* pcbWritten);

// ReadFile: reads up to cb bytes; *pcbRead (may be null) receives the count,
// which may be less than cb (see above). Fails with ERROR_BROKEN_PIPE when
// the peer has closed and nothing is left to read, and with ERROR_SEM_TIMEOUT
// when the handle's read time-out runs out first.
BOOL ReadFile(HPIPE hPipe, void* pv, DWORD cb, DWORD* pcbRead);

// CloseHandle: closes a pipe handle. Null fails with ERROR_INVALID_HANDLE.
BOOL CloseHandle(HPIPE hPipe);

}  // namespace plat
