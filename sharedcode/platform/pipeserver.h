// Platform layer: the server side of named pipes.
//
// A listener owns the name \\.\pipe\NAME; each accepted client is a
// connection of its own, on which the server reads whole request messages
// and writes reply messages (one message per write, so a streamed list is a
// series of writes, and a write of 0 bytes is an empty message). The
// operations report failure through the last error with Win32 codes.
//
// Every operation that waits takes a time-out in milliseconds
// (kPipeWaitForever waits as long as it takes); running out fails with
// ERROR_SEM_TIMEOUT. Any number of threads may accept on one listener at
// once (a new client wakes one of them), and each connection may be served
// by a thread of its own.
//
// POSIX: the listener is an AF_UNIX stream socket at $VIGILON_PIPE_DIR/NAME
// (a stale socket file is replaced); every message travels as one frame, a
// 4-byte little-endian length and that many bytes, as the client side reads
// it. Windows: message-mode pipe instances, one always waiting for the next
// client while the listener exists, so that clients never find the name
// missing while the server is merely busy.
#pragma once

#include "sharedcode/platform/pipe.h"
#include "sharedcode/wintypes.h"

namespace plat {

struct PipeListener;
typedef PipeListener* HPIPELISTENER;
struct PipeConnection;
typedef PipeConnection* HPIPECONN;

// Who may connect to a listener besides its owner. POSIX: the socket file's
// mode, 0600 for kPipeAccessOwner, 0660 for kPipeAccessGroup (the group of
// the folder or of the process). Windows: the instances' security
// descriptor; owner only, or every authenticated local user.
constexpr DWORD kPipeAccessOwner = 0;
constexpr DWORD kPipeAccessGroup = 1;

// Creates the server end of szPipePath (\\.\pipe\NAME; another server name
// fails as the client side does). dwBacklog bounds the clients that wait to
// be accepted (POSIX: the listen backlog; beyond it clients see a busy pipe).
// Null on failure: ERROR_ACCESS_DENIED (also when another live server owns
// the name), ERROR_PATH_NOT_FOUND (no pipe folder), ERROR_INVALID_PARAMETER.
HPIPELISTENER CreatePipeListener(const char* szPipePath, DWORD dwAccess, DWORD dwBacklog);

// Waits up to dwTimeoutMs for the next client. Null on failure:
// ERROR_SEM_TIMEOUT, or ERROR_OPERATION_ABORTED once CancelPipeListener was
// called (every waiting and every later accept).
HPIPECONN AcceptPipeClient(HPIPELISTENER hListener, DWORD dwTimeoutMs);

// Makes every waiting and later AcceptPipeClient fail with
// ERROR_OPERATION_ABORTED; connections already accepted are not touched.
BOOL CancelPipeListener(HPIPELISTENER hListener);

// Closes the listener and removes the name. No thread may still be inside
// AcceptPipeClient (cancel, then join them).
BOOL ClosePipeListener(HPIPELISTENER hListener);

// Reads one whole message of at most cb bytes into pv; *pcbRead receives its
// length. The wait for the message's first byte and for the rest share one
// deadline. Fails with ERROR_BROKEN_PIPE when the client closed before a
// whole message (or before any), ERROR_SEM_TIMEOUT (a later read gets the
// whole message, what had come of it included), or ERROR_MORE_DATA when
// the message is longer than cb: pv then holds its first cb bytes, the rest
// is not read, and the connection is fit only to be closed.
BOOL ReadPipeMessage(HPIPECONN hConn, void* pv, DWORD cb, DWORD* pcbRead, DWORD dwTimeoutMs);

// Writes cb bytes as one message, waiting up to dwTimeoutMs for the client
// to make room. The client gone: ERROR_NO_DATA or ERROR_BROKEN_PIPE.
BOOL WritePipeMessage(HPIPECONN hConn, const void* pv, DWORD cb, DWORD dwTimeoutMs);

// Closes a connection; the client's pending and later reads end with
// ERROR_BROKEN_PIPE once it has read what was written. Null fails with
// ERROR_INVALID_HANDLE.
BOOL ClosePipeConnection(HPIPECONN hConn);

}  // namespace plat
