#include "VGClient/vgtransport.h"

#include <cstring>

#include "sharedcode/hresult.h"
#include "sharedcode/platform/pipe.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/registry.h"
#include "sharedcode/szbounded.h"

LONG VgReadConfigValue(const char* szName, void* pv, DWORD cb) {
    plat::HKEY hKey = nullptr;
    LONG err = plat::RegOpenKeyExA(plat::HkeyLocalMachine(), VG_CONFIGURATION_KEY, 0, plat::kKeyRead, &hKey);
    if (err != ERROR_SUCCESS) return err;
    DWORD cbData = cb;
    err = plat::RegQueryValueExA(hKey, szName, nullptr, nullptr, static_cast<BYTE*>(pv), &cbData);
    plat::RegCloseKey(hKey);
    return err;
}

namespace {

// ResolveServerName from an opening of the key that may defer its look for
// changes (plat::RegOpenKeyWatched); *pNotice receives what it saw.
void ResolveServerNameWatched(char* szServer, DWORD* pdwReplyTimeoutMs, bool fDeferCheck, plat::RegNotice* pNotice) {
    for (DWORD i = 0; i < VG_SERVER_NAME_SIZE; ++i) szServer[i] = 0;
    if (pdwReplyTimeoutMs) *pdwReplyTimeoutMs = plat::kPipeWaitForever;
    // The values come from one opening of the key: one look at the registry
    // per call, and the values always from the same state of it.
    plat::HKEY hKey = nullptr;
    LONG err = plat::RegOpenKeyWatched(plat::HkeyLocalMachine(), VG_CONFIGURATION_KEY, fDeferCheck, &hKey, pNotice);
    if (err == ERROR_SUCCESS) {
        DWORD dwFailover = 0;  // stays 0 when missing; the stored type is not checked
        DWORD cb = sizeof(dwFailover);
        plat::RegQueryValueExA(hKey, "FailoverMode", nullptr, nullptr, reinterpret_cast<BYTE*>(&dwFailover), &cb);
        // ReplyTimeout goes beyond the documented transport on purpose: a
        // service that takes a request and never answers would otherwise
        // hold the caller forever. Without it the wait has no end, as before.
        DWORD dwReplyTimeout = 0, dwType = 0;
        cb = sizeof(dwReplyTimeout);
        if (pdwReplyTimeoutMs &&
            plat::RegQueryValueExA(hKey, "ReplyTimeout", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwReplyTimeout),
                                   &cb) == ERROR_SUCCESS &&
            dwType == plat::kRegDword && dwReplyTimeout != 0)
            *pdwReplyTimeoutMs = dwReplyTimeout;
        if (dwFailover == 0) {
            cb = VG_SERVER_NAME_SIZE;
            err = plat::RegQueryValueExA(hKey, "Server", nullptr, nullptr, reinterpret_cast<BYTE*>(szServer), &cb);
        } else {
            err = ERROR_INVALID_DATA;  // fail-over: the local computer
        }
        plat::RegCloseKey(hKey);
    }
    if (err != ERROR_SUCCESS) {
        szServer[0] = '.';
        szServer[1] = 0;
        return;
    }
    // A stored text without its terminator still ends inside the buffer.
    szServer[VG_SERVER_NAME_SIZE - 1] = 0;
}

void FormatPipePathWatched(DWORD dwPipe, char* szPath, DWORD* pdwReplyTimeoutMs, bool fDeferCheck,
                           plat::RegNotice* pNotice) {
    char szServer[VG_SERVER_NAME_SIZE];
    ResolveServerNameWatched(szServer, pdwReplyTimeoutMs, fDeferCheck, pNotice);
    // \\SERVER\pipe\NAME without a formatter: this runs on every call.
    SzCopy(szPath, VG_PIPE_PATH_SIZE, "\\\\");
    SzAppendN(szPath, VG_PIPE_PATH_SIZE - 1, szServer);
    SzAppendN(szPath, VG_PIPE_PATH_SIZE - 1, "\\pipe\\");
    SzAppendN(szPath, VG_PIPE_PATH_SIZE - 1, dwPipe == VG_PIPE_SCREENING ? VG_SCREENING_PIPE : VG_MANAGEMENT_PIPE);
}

// Where one transaction goes, and the registry read that said so.
struct CallTarget {
    DWORD dwPipe;
    char szPath[VG_PIPE_PATH_SIZE];
    DWORD dwReplyTimeoutMs;
    plat::RegNotice notice;
};

// Reads the registry for real: TRUE while the path is the same, with the
// reply time-out in force in *pdwReplyTimeoutMs (may be null).
BOOL RecheckTarget(void* pvTarget, DWORD* pdwReplyTimeoutMs) {
    CallTarget* t = static_cast<CallTarget*>(pvTarget);
    char szPath[VG_PIPE_PATH_SIZE];
    FormatPipePathWatched(t->dwPipe, szPath, &t->dwReplyTimeoutMs, false, &t->notice);
    if (pdwReplyTimeoutMs) *pdwReplyTimeoutMs = t->dwReplyTimeoutMs;
    if (std::strcmp(szPath, t->szPath) == 0) return TRUE;
    SzCopy(t->szPath, VG_PIPE_PATH_SIZE, szPath);
    return FALSE;
}

// Resolves a call's target from the registry as last read, without a look
// at it. A thread's last such resolution of the pipe serves again while the
// registry is in the same state: the same values give the same target.
void ResolveDeferred(DWORD dwPipe, CallTarget* t) {
    thread_local CallTarget last = {};
    plat::RegNotice notice;
    if (plat::RegDeferredState(&notice) && last.szPath[0] && last.notice.uState == notice.uState) {
        *t = last;
        t->notice = notice;
        return;
    }
    t->dwPipe = dwPipe;
    FormatPipePathWatched(dwPipe, t->szPath, &t->dwReplyTimeoutMs, true, &t->notice);
    last = *t;
}

}  // namespace

void ResolveServerName(char* szServer, DWORD* pdwReplyTimeoutMs) {
    plat::RegNotice notice;
    ResolveServerNameWatched(szServer, pdwReplyTimeoutMs, false, &notice);
}

void FormatPipePath(DWORD dwPipe, char* szPath, DWORD* pdwReplyTimeoutMs) {
    plat::RegNotice notice;
    FormatPipePathWatched(dwPipe, szPath, pdwReplyTimeoutMs, false, &notice);
}

// The first attempt starts from the registry as last read, without a look at
// it, and takes that look while it waits for the reply (plat::PipeRecheck),
// or before a failure decides anything; a new path found so runs the call
// again at once, once. The look therefore costs no system call of its own,
// and a change made before the call still decides its outcome. The price: a
// change of Server or FailoverMode away from the local service, made since
// the last call, can let this call's request reach the local service before
// the call learns of it; the call then answers as the new path does. Only
// screening calls pay that price: a management request (a list edit, a
// setting) must never reach a service the registry no longer names, so it
// looks first and is never sent again.
HRESULT HrPipeTransact(DWORD dwPipe, const void* pvRequest, DWORD cbRequest, void* pvReply, DWORD cbReply) {
    CallTarget target;
    bool fRecheck = dwPipe == VG_PIPE_SCREENING;
    if (fRecheck) {
        ResolveDeferred(dwPipe, &target);
    } else {
        target.dwPipe = dwPipe;
        FormatPipePathWatched(dwPipe, target.szPath, &target.dwReplyTimeoutMs, false, &target.notice);
    }
    const plat::PipeRecheck recheck = {&target.notice, &RecheckTarget, &target};
    for (DWORD dwAttemptsLeft = VG_PIPE_ATTEMPTS;;) {
        DWORD cbRead = 0;
        if (plat::CallNamedPipeA(target.szPath, pvRequest, cbRequest, pvReply, cbReply, &cbRead, VG_PIPE_WAIT_MS,
                                 target.dwReplyTimeoutMs, fRecheck ? &recheck : nullptr))
            return S_OK;
        HRESULT hr = HrFromLastError();
        if (fRecheck && ((hr & 0xFFFF) == ERROR_RETRY ||
                         (target.notice.fUnchecked && !RecheckTarget(&target, nullptr)))) {
            fRecheck = false;  // a new path: no attempt spent, no pause
            continue;
        }
        if ((hr & 0xFFFF) == ERROR_FILE_NOT_FOUND) return hr;  // the service is not running
        plat::Sleep(VG_PIPE_PAUSE_MS);
        if (hr >= 0) return hr;  // failed without an error code: the presets stand
        if (--dwAttemptsLeft == 0) return hr;
    }
}
