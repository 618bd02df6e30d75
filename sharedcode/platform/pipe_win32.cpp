// Win32 side of platform/pipe.h: pass-through, except where a read time-out
// asks for overlapped I/O.
#include <windows.h>

#include <new>

#include "sharedcode/platform/pipe.h"

namespace plat {

static_assert(kPipeGenericRead == GENERIC_READ && kPipeGenericWrite == GENERIC_WRITE &&
                  kPipeOpenExisting == OPEN_EXISTING && kPipeReadModeByte == (PIPE_READMODE_BYTE | PIPE_WAIT) &&
                  kPipeWaitForever == INFINITE && kPipeWaitForever == NMPWAIT_WAIT_FOREVER,
              "pipe constants");

struct PipeHandle {
    ::HANDLE h;
    DWORD dwReadTimeoutMs;  // kPipeWaitForever: a handle for synchronous I/O
};

namespace {

// One read or write. On a handle opened for overlapped I/O it waits up to
// dwTimeoutMs, then cancels; a transfer cancelled that way fails with
// ERROR_SEM_TIMEOUT. A message longer than the buffer fails with
// ERROR_MORE_DATA and its first cb bytes, as a synchronous read does.
BOOL Transfer(::HANDLE h, bool fOverlapped, bool fRead, void* pv, DWORD cb, DWORD* pcbDone, DWORD dwTimeoutMs) {
    DWORD cbDone = 0;
    BOOL ok;
    if (!fOverlapped) {
        ok = fRead ? ::ReadFile(h, pv, cb, &cbDone, nullptr) : ::WriteFile(h, pv, cb, &cbDone, nullptr);
    } else {
        OVERLAPPED ov = {};
        ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!ov.hEvent) return FALSE;
        ok = fRead ? ::ReadFile(h, pv, cb, nullptr, &ov) : ::WriteFile(h, pv, cb, nullptr, &ov);
        DWORD err = ok ? ERROR_SUCCESS : ::GetLastError();
        if (ok || err == ERROR_IO_PENDING || err == ERROR_MORE_DATA) {
            if (err == ERROR_IO_PENDING && ::WaitForSingleObject(ov.hEvent, dwTimeoutMs) != WAIT_OBJECT_0)
                ::CancelIoEx(h, &ov);
            // Waits for the cancellation too: ov and pv are the caller's until then.
            ok = ::GetOverlappedResult(h, &ov, &cbDone, TRUE);
            err = ok ? ERROR_SUCCESS : ::GetLastError();
            if (err == ERROR_OPERATION_ABORTED) err = ERROR_SEM_TIMEOUT;
        }
        ::CloseHandle(ov.hEvent);
        ::SetLastError(err);
    }
    if (pcbDone) *pcbDone = cbDone;
    return ok;
}

bool IsOverlapped(DWORD dwReadTimeoutMs) { return dwReadTimeoutMs != kPipeWaitForever; }

}  // namespace

// Win32's CallNamedPipeA reads its reply without a time-out; with one, the
// same steps with an overlapped handle: open, on a busy pipe wait for an
// instance and open once more, message mode, write, read, close.
BOOL CallNamedPipeA(const char* szPipePath, const void* pvIn, DWORD cbIn, void* pvOut, DWORD cbOut,
                    DWORD* pcbRead, DWORD dwTimeoutMs, DWORD dwReplyTimeoutMs) {
    DWORD cbRead = 0;
    if (pcbRead) *pcbRead = 0;
    if (!IsOverlapped(dwReplyTimeoutMs)) {
        BOOL ok = ::CallNamedPipeA(szPipePath, const_cast<void*>(pvIn), cbIn, pvOut, cbOut, &cbRead, dwTimeoutMs);
        if (pcbRead) *pcbRead = cbRead;
        return ok;
    }
    const DWORD dwAccess = GENERIC_READ | GENERIC_WRITE;
    ::HANDLE h = ::CreateFileA(szPipePath, dwAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY) {
        if (!::WaitNamedPipeA(szPipePath, dwTimeoutMs)) return FALSE;
        h = ::CreateFileA(szPipePath, dwAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    DWORD cbWritten = 0;
    BOOL ok = ::SetNamedPipeHandleState(h, &dwMode, nullptr, nullptr) &&
              Transfer(h, true, false, const_cast<void*>(pvIn), cbIn, &cbWritten, INFINITE) &&
              Transfer(h, true, true, pvOut, cbOut, &cbRead, dwReplyTimeoutMs);
    const DWORD err = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(ok ? ERROR_SUCCESS : err);
    if (pcbRead) *pcbRead = cbRead;
    return ok;
}

HPIPE CreateFileA(const char* szPipePath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition,
                  DWORD dwFlagsAndAttributes, DWORD dwReadTimeoutMs) {
    PipeHandle* p = new (std::nothrow) PipeHandle{INVALID_HANDLE_VALUE, dwReadTimeoutMs};
    if (!p) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (IsOverlapped(dwReadTimeoutMs)) dwFlagsAndAttributes |= FILE_FLAG_OVERLAPPED;
    p->h = ::CreateFileA(szPipePath, dwDesiredAccess, dwShareMode, nullptr, dwCreationDisposition,
                         dwFlagsAndAttributes, nullptr);
    if (p->h == INVALID_HANDLE_VALUE) {
        delete p;
        return nullptr;
    }
    return p;
}

BOOL WaitNamedPipeA(const char* szPipePath, DWORD dwTimeoutMs) { return ::WaitNamedPipeA(szPipePath, dwTimeoutMs); }

BOOL SetNamedPipeHandleState(HPIPE hPipe, const DWORD* pdwMode) {
    DWORD dwMode = pdwMode ? *pdwMode : 0;
    return ::SetNamedPipeHandleState(hPipe ? hPipe->h : nullptr, pdwMode ? &dwMode : nullptr, nullptr, nullptr);
}

BOOL WriteFile(HPIPE hPipe, const void* pv, DWORD cb, DWORD* pcbWritten) {
    if (pcbWritten) *pcbWritten = 0;
    if (!hPipe) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Transfer(hPipe->h, IsOverlapped(hPipe->dwReadTimeoutMs), false, const_cast<void*>(pv), cb, pcbWritten,
                    INFINITE);
}

BOOL ReadFile(HPIPE hPipe, void* pv, DWORD cb, DWORD* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!hPipe) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Transfer(hPipe->h, IsOverlapped(hPipe->dwReadTimeoutMs), true, pv, cb, pcbRead, hPipe->dwReadTimeoutMs);
}

BOOL CloseHandle(HPIPE hPipe) {
    if (!hPipe) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BOOL ok = ::CloseHandle(hPipe->h);
    delete hPipe;
    return ok;
}

}  // namespace plat
