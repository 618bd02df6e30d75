// Win32 side of platform/pipe.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/pipe.h"

namespace plat {

BOOL CallNamedPipeA(const char* szPipePath, const void* pvIn, DWORD cbIn, void* pvOut, DWORD cbOut,
                    DWORD* pcbRead, DWORD dwTimeoutMs) {
    DWORD cbRead = 0;
    BOOL ok = ::CallNamedPipeA(szPipePath, const_cast<void*>(pvIn), cbIn, pvOut, cbOut, &cbRead, dwTimeoutMs);
    if (pcbRead) *pcbRead = cbRead;
    return ok;
}

}  // namespace plat

namespace plat {

static_assert(kPipeGenericRead == GENERIC_READ && kPipeGenericWrite == GENERIC_WRITE &&
                  kPipeOpenExisting == OPEN_EXISTING && kPipeReadModeByte == (PIPE_READMODE_BYTE | PIPE_WAIT),
              "pipe constants");

namespace {
::HANDLE Native(HPIPE h) { return reinterpret_cast<::HANDLE>(h); }
}  // namespace

HPIPE CreateFileA(const char* szPipePath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition,
                  DWORD dwFlagsAndAttributes) {
    ::HANDLE h = ::CreateFileA(szPipePath, dwDesiredAccess, dwShareMode, nullptr, dwCreationDisposition,
                               dwFlagsAndAttributes, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<HPIPE>(h);
}

BOOL WaitNamedPipeA(const char* szPipePath, DWORD dwTimeoutMs) { return ::WaitNamedPipeA(szPipePath, dwTimeoutMs); }

BOOL SetNamedPipeHandleState(HPIPE hPipe, const DWORD* pdwMode) {
    DWORD dwMode = pdwMode ? *pdwMode : 0;
    return ::SetNamedPipeHandleState(Native(hPipe), pdwMode ? &dwMode : nullptr, nullptr, nullptr);
}

BOOL WriteFile(HPIPE hPipe, const void* pv, DWORD cb, DWORD* pcbWritten) {
    DWORD cbWritten = 0;
    BOOL ok = ::WriteFile(Native(hPipe), pv, cb, &cbWritten, nullptr);
    if (pcbWritten) *pcbWritten = cbWritten;
    return ok;
}

BOOL ReadFile(HPIPE hPipe, void* pv, DWORD cb, DWORD* pcbRead) {
    DWORD cbRead = 0;
    BOOL ok = ::ReadFile(Native(hPipe), pv, cb, &cbRead, nullptr);
    if (pcbRead) *pcbRead = cbRead;
    return ok;
}

BOOL CloseHandle(HPIPE hPipe) { return ::CloseHandle(Native(hPipe)); }

}  // namespace plat
