// Win32 side of platform/pipeserver.h: message-mode named pipe instances
// with overlapped I/O, so that every wait has a deadline and a cancel event
// can end the waits for clients.
#include <windows.h>
#include <sddl.h>

#include <new>

#include "sharedcode/platform/pipeserver.h"

namespace plat {

static_assert(kPipeWaitForever == INFINITE, "wait forever");

namespace {

constexpr DWORD kPipeBufferBytes = 64 * 1024;
constexpr DWORD kMaxIdleInstances = 16;

}  // namespace

// An instance waiting for a client, with its overlapped ConnectNamedPipe.
// A wait started by one acceptor may be completed and taken by another.
struct IdleInstance {
    HANDLE hPipe = INVALID_HANDLE_VALUE;  // none: the slot is empty
    OVERLAPPED ov;
    bool fPending = false;
};

struct PipeListener {
    char szPath[MAX_PATH];
    SECURITY_ATTRIBUTES sa;
    HANDLE hCancel = nullptr;  // manual reset: set once, wakes every acceptor
    CRITICAL_SECTION lock;
    // Instances created and not yet handed out, as many as the backlog:
    // clients connect to them while no thread is accepting. Each slot keeps
    // its event for the listener's life, because acceptors wait on the
    // handles with the lock let go.
    IdleInstance idle[kMaxIdleInstances];
    HANDLE events[kMaxIdleInstances] = {};
    DWORD cMaxIdle = 1;
};

struct PipeConnection {
    HANDLE hPipe = INVALID_HANDLE_VALUE;
    HANDLE hEvent = nullptr;
};

namespace {

BOOL Fail(DWORD err) {
    ::SetLastError(err);
    return FALSE;
}

// The security descriptor of the instances: full access for the system and
// the owner (the user the server runs as), read and write for every
// authenticated user when the group may connect. Null on failure.
PSECURITY_DESCRIPTOR MakeDescriptor(DWORD dwAccess) {
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) return nullptr;
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } info;
    DWORD cb = 0;
    char* szSid = nullptr;
    PSECURITY_DESCRIPTOR psd = nullptr;
    if (::GetTokenInformation(hToken, TokenUser, &info, sizeof(info), &cb) &&
        ::ConvertSidToStringSidA(info.user.User.Sid, &szSid)) {
        char szSddl[256];
        if (::wsprintfA(szSddl, "D:P(A;;GA;;;SY)(A;;GA;;;%s)%s", szSid,
                        dwAccess == kPipeAccessGroup ? "(A;;GRGW;;;AU)" : "") > 0) {
            ::ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &psd, nullptr);
        }
        ::LocalFree(szSid);
    }
    ::CloseHandle(hToken);
    return psd;
}

HANDLE NewInstance(PipeListener* h, bool fFirst) {
    const DWORD dwOpen = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (fFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return ::CreateNamedPipeA(h->szPath, dwOpen, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, &h->sa);
}

// Waits for an overlapped operation up to dwTimeoutMs, or until hCancel is
// set. On time-out or cancellation the operation is cancelled; if it
// completed meanwhile, that completion counts. ERROR_SUCCESS with *pcb, or
// the operation's error, ERROR_SEM_TIMEOUT or ERROR_OPERATION_ABORTED.
DWORD Finish(HANDLE hFile, OVERLAPPED* pov, DWORD dwTimeoutMs, HANDLE hCancel, DWORD* pcb) {
    HANDLE waits[2] = {pov->hEvent, hCancel};
    const DWORD rc = ::WaitForMultipleObjects(hCancel ? 2 : 1, waits, FALSE, dwTimeoutMs);
    DWORD err = ERROR_SUCCESS;
    if (rc != WAIT_OBJECT_0) {
        err = rc == WAIT_TIMEOUT ? ERROR_SEM_TIMEOUT : rc == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED
                                                                               : ::GetLastError();
        ::CancelIoEx(hFile, pov);
    }
    DWORD cb = 0;
    if (::GetOverlappedResult(hFile, pov, &cb, TRUE)) {
        err = ERROR_SUCCESS;
    } else if (::GetLastError() != ERROR_OPERATION_ABORTED || err == ERROR_SUCCESS) {
        err = ::GetLastError();
    }
    if (pcb) *pcb = cb;
    return err;
}

// Starts the slot's wait for a client, or looks whether it has ended:
// ERROR_SUCCESS when a client is connected, ERROR_IO_PENDING while the wait
// goes on, else the error (the instance is then fit only to be closed). A
// client that connected and left is passed over: the instance is
// disconnected and waits for the next (closing it instead would end the
// waits of clients in WaitNamedPipeA with a failure under Wine).
DWORD PollInstance(IdleInstance& s, HANDLE hEvent) {
    for (int round = 0; round < 2; ++round) {
        DWORD err;
        if (!s.fPending) {
            ::ResetEvent(hEvent);
            s.ov = OVERLAPPED{};
            s.ov.hEvent = hEvent;
            if (::ConnectNamedPipe(s.hPipe, &s.ov)) return ERROR_SUCCESS;
            err = ::GetLastError();
            if (err == ERROR_PIPE_CONNECTED) return ERROR_SUCCESS;  // the client came first
            if (err == ERROR_IO_PENDING) s.fPending = true;
        } else {
            DWORD cb = 0;
            err = ::GetOverlappedResult(s.hPipe, &s.ov, &cb, FALSE) ? ERROR_SUCCESS : ::GetLastError();
            if (err == ERROR_IO_INCOMPLETE) return ERROR_IO_PENDING;
            s.fPending = false;
        }
        if (err != ERROR_NO_DATA) return err;
        ::DisconnectNamedPipe(s.hPipe);
    }
    return ERROR_NO_DATA;
}

}  // namespace

HPIPELISTENER CreatePipeListener(const char* szPipePath, DWORD dwAccess, DWORD dwBacklog) {
    if (!szPipePath || ::lstrlenA(szPipePath) >= MAX_PATH ||
        (dwAccess != kPipeAccessOwner && dwAccess != kPipeAccessGroup)) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PipeListener* h = new (std::nothrow) PipeListener;
    if (!h) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ::lstrcpyA(h->szPath, szPipePath);
    h->sa.nLength = sizeof(h->sa);
    h->sa.bInheritHandle = FALSE;
    h->sa.lpSecurityDescriptor = MakeDescriptor(dwAccess);
    h->cMaxIdle = dwBacklog == 0 ? 1 : dwBacklog < kMaxIdleInstances ? dwBacklog : kMaxIdleInstances;
    h->hCancel = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool fEvents = true;
    for (DWORD i = 0; i < h->cMaxIdle; ++i) fEvents = (h->events[i] = ::CreateEventA(nullptr, TRUE, FALSE, nullptr)) && fEvents;
    DWORD err = ERROR_SUCCESS;
    if (!h->sa.lpSecurityDescriptor || !h->hCancel || !fEvents) {
        err = ::GetLastError();
    } else {
        // The first instance claims the name: a live server owning it already
        // makes this fail with ERROR_ACCESS_DENIED.
        HANDLE hFirst = NewInstance(h, true);
        DWORD cInstances = 0;
        if (hFirst == INVALID_HANDLE_VALUE) {
            err = ::GetLastError();
        } else if (!::GetNamedPipeHandleStateA(hFirst, nullptr, &cInstances, nullptr, nullptr, nullptr, 0) ||
                   cInstances != 1) {
            // Wine lets the flag pass: the count of instances tells.
            ::CloseHandle(hFirst);
            err = ERROR_ACCESS_DENIED;
        } else {
            h->idle[0].hPipe = hFirst;
        }
    }
    if (err != ERROR_SUCCESS) {
        for (HANDLE hEvent : h->events)
            if (hEvent) ::CloseHandle(hEvent);
        if (h->hCancel) ::CloseHandle(h->hCancel);
        if (h->sa.lpSecurityDescriptor) ::LocalFree(h->sa.lpSecurityDescriptor);
        delete h;
        Fail(err);
        return nullptr;
    }
    ::InitializeCriticalSection(&h->lock);
    return h;
}

HPIPECONN AcceptPipeClient(HPIPELISTENER h, DWORD dwTimeoutMs) {
    if (!h) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    PipeConnection* c = new (std::nothrow) PipeConnection;
    if (!c || !(c->hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr))) {
        delete c;
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const ULONGLONG end = ::GetTickCount64() + dwTimeoutMs;
    DWORD err = ERROR_SUCCESS;
    for (;;) {
        if (::WaitForSingleObject(h->hCancel, 0) == WAIT_OBJECT_0) {
            err = ERROR_OPERATION_ABORTED;
            break;
        }
        // Every slot holds an instance waiting for a client; the first with
        // a client connected is taken, and its slot filled again at once so
        // that the next client finds an instance.
        HANDLE waits[kMaxIdleInstances + 1];
        DWORD cWaits = 0;
        DWORD errSlot = ERROR_SUCCESS;
        ::EnterCriticalSection(&h->lock);
        for (DWORD i = 0; i < h->cMaxIdle; ++i) {
            IdleInstance& s = h->idle[i];
            if (s.hPipe == INVALID_HANDLE_VALUE) {
                s.hPipe = NewInstance(h, false);
                s.fPending = false;
            }
            DWORD e = s.hPipe == INVALID_HANDLE_VALUE ? ::GetLastError() : PollInstance(s, h->events[i]);
            if (e == ERROR_SUCCESS && c->hPipe == INVALID_HANDLE_VALUE) {
                c->hPipe = s.hPipe;
                s.hPipe = NewInstance(h, false);
                s.fPending = false;
                e = s.hPipe == INVALID_HANDLE_VALUE ? ::GetLastError() : PollInstance(s, h->events[i]);
            }
            if (e == ERROR_IO_PENDING) {
                waits[cWaits++] = h->events[i];
            } else if (e != ERROR_SUCCESS) {
                errSlot = e;
                if (s.hPipe != INVALID_HANDLE_VALUE) ::CloseHandle(s.hPipe);
                s.hPipe = INVALID_HANDLE_VALUE;
            }
        }
        ::LeaveCriticalSection(&h->lock);
        if (c->hPipe != INVALID_HANDLE_VALUE) return c;
        if (cWaits == 0) {
            err = errSlot != ERROR_SUCCESS ? errSlot : ERROR_PIPE_BUSY;
            break;
        }
        waits[cWaits++] = h->hCancel;
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = dwTimeoutMs == kPipeWaitForever ? INFINITE
                           : now < end                    ? static_cast<DWORD>(end - now)
                                                          : 0;
        const DWORD rc = ::WaitForMultipleObjects(cWaits, waits, FALSE, left);
        if (rc == WAIT_TIMEOUT) {
            err = ERROR_SEM_TIMEOUT;
            break;
        }
        if (rc == WAIT_FAILED) {
            err = ::GetLastError();
            break;
        }
    }
    ::CloseHandle(c->hEvent);
    delete c;
    Fail(err);
    return nullptr;
}

BOOL CancelPipeListener(HPIPELISTENER h) {
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    return ::SetEvent(h->hCancel);
}

BOOL ClosePipeListener(HPIPELISTENER h) {
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    for (DWORD i = 0; i < h->cMaxIdle; ++i) {
        IdleInstance& s = h->idle[i];
        if (s.hPipe == INVALID_HANDLE_VALUE) continue;
        if (s.fPending) {
            // The system writes the outcome into the slot: wait for it.
            DWORD cb;
            ::CancelIoEx(s.hPipe, &s.ov);
            ::GetOverlappedResult(s.hPipe, &s.ov, &cb, TRUE);
        }
        ::CloseHandle(s.hPipe);
    }
    for (HANDLE hEvent : h->events)
        if (hEvent) ::CloseHandle(hEvent);
    ::DeleteCriticalSection(&h->lock);
    ::CloseHandle(h->hCancel);
    ::LocalFree(h->sa.lpSecurityDescriptor);
    delete h;
    return TRUE;
}

BOOL ReadPipeMessage(HPIPECONN c, void* pv, DWORD cb, DWORD* pcbRead, DWORD dwTimeoutMs) {
    if (pcbRead) *pcbRead = 0;
    if (!c) return Fail(ERROR_INVALID_HANDLE);
    if (!pv && cb) return Fail(ERROR_INVALID_PARAMETER);
    OVERLAPPED ov = {};
    ov.hEvent = c->hEvent;
    DWORD cbRead = 0;
    DWORD err = ERROR_SUCCESS;
    if (!::ReadFile(c->hPipe, pv, cb, &cbRead, &ov)) {
        err = ::GetLastError();
        if (err == ERROR_IO_PENDING || err == ERROR_MORE_DATA) {
            err = Finish(c->hPipe, &ov, dwTimeoutMs, nullptr, &cbRead);
        }
    } else {
        ::GetOverlappedResult(c->hPipe, &ov, &cbRead, FALSE);
    }
    if (pcbRead) *pcbRead = err == ERROR_SUCCESS || err == ERROR_MORE_DATA ? cbRead : 0;
    // The pipe's own end of the client: broken, whichever way it is told.
    if (err == ERROR_NO_DATA || err == ERROR_PIPE_NOT_CONNECTED) err = ERROR_BROKEN_PIPE;
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL WritePipeMessage(HPIPECONN c, const void* pv, DWORD cb, DWORD dwTimeoutMs) {
    if (!c) return Fail(ERROR_INVALID_HANDLE);
    if (!pv && cb) return Fail(ERROR_INVALID_PARAMETER);
    static const char empty = 0;
    OVERLAPPED ov = {};
    ov.hEvent = c->hEvent;
    DWORD err = ERROR_SUCCESS;
    if (!::WriteFile(c->hPipe, pv ? pv : &empty, cb, nullptr, &ov)) {
        err = ::GetLastError();
        if (err == ERROR_IO_PENDING) err = Finish(c->hPipe, &ov, dwTimeoutMs, nullptr, nullptr);
    }
    if (err == ERROR_PIPE_NOT_CONNECTED) err = ERROR_NO_DATA;
    return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL ClosePipeConnection(HPIPECONN c) {
    if (!c) return Fail(ERROR_INVALID_HANDLE);
    // Closing without disconnecting leaves what was written for the client
    // to read before it sees the pipe broken.
    ::CloseHandle(c->hPipe);
    ::CloseHandle(c->hEvent);
    delete c;
    return TRUE;
}

}  // namespace plat
