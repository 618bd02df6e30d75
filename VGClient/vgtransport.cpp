#include "VGClient/vgtransport.h"

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

void ResolveServerName(char* szServer, DWORD* pdwReplyTimeoutMs) {
    for (DWORD i = 0; i < VG_SERVER_NAME_SIZE; ++i) szServer[i] = 0;
    if (pdwReplyTimeoutMs) *pdwReplyTimeoutMs = plat::kPipeWaitForever;
    // The values come from one opening of the key: one look at the registry
    // per call, and the values always from the same state of it.
    plat::HKEY hKey = nullptr;
    LONG err = plat::RegOpenKeyExA(plat::HkeyLocalMachine(), VG_CONFIGURATION_KEY, 0, plat::kKeyRead, &hKey);
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

void FormatPipePath(DWORD dwPipe, char* szPath, DWORD* pdwReplyTimeoutMs) {
    char szServer[VG_SERVER_NAME_SIZE];
    ResolveServerName(szServer, pdwReplyTimeoutMs);
    // \\SERVER\pipe\NAME without a formatter: this runs on every call.
    SzCopy(szPath, VG_PIPE_PATH_SIZE, "\\\\");
    SzAppendN(szPath, VG_PIPE_PATH_SIZE - 1, szServer);
    SzAppendN(szPath, VG_PIPE_PATH_SIZE - 1, "\\pipe\\");
    SzAppendN(szPath, VG_PIPE_PATH_SIZE - 1, dwPipe == VG_PIPE_SCREENING ? VG_SCREENING_PIPE : VG_MANAGEMENT_PIPE);
}

HRESULT HrPipeTransact(DWORD dwPipe, const void* pvRequest, DWORD cbRequest, void* pvReply, DWORD cbReply) {
    char szPath[VG_PIPE_PATH_SIZE] = {};
    DWORD dwReplyTimeoutMs = 0;
    FormatPipePath(dwPipe, szPath, &dwReplyTimeoutMs);
    for (DWORD dwAttemptsLeft = VG_PIPE_ATTEMPTS;;) {
        DWORD cbRead = 0;
        if (plat::CallNamedPipeA(szPath, pvRequest, cbRequest, pvReply, cbReply, &cbRead, VG_PIPE_WAIT_MS,
                                 dwReplyTimeoutMs))
            return S_OK;
        HRESULT hr = HrFromLastError();
        if ((hr & 0xFFFF) == ERROR_FILE_NOT_FOUND) return hr;  // the service is not running
        plat::Sleep(VG_PIPE_PAUSE_MS);
        if (hr >= 0) return hr;  // failed without an error code: the presets stand
        if (--dwAttemptsLeft == 0) return hr;
    }
}
