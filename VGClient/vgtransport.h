// The one-shot transport: which computer answers, and one request and its
// reply over the screening or the management pipe.
#pragma once

#include "VGClient/vgwire.h"
#include "sharedcode/wintypes.h"

// HKEY_LOCAL_MACHINE key of FailoverMode, Server, ReplyTimeout, IniPath and
// CLSID.
#define VG_CONFIGURATION_KEY "SOFTWARE\\Corvanetic\\Postern\\Vigilon\\Configuration"

constexpr DWORD VG_SERVER_NAME_SIZE = 64;
constexpr DWORD VG_PIPE_PATH_SIZE = 261;
constexpr DWORD VG_PIPE_ATTEMPTS = 2;
constexpr DWORD VG_PIPE_WAIT_MS = 1500;
constexpr DWORD VG_PIPE_PAUSE_MS = 50;

// Reads one value of the configuration key into pv (at most cb bytes); the
// stored type is not checked. A Win32 code.
LONG VgReadConfigValue(const char* szName, void* pv, DWORD cb);

// Fills szServer (VG_SERVER_NAME_SIZE bytes) with the computer whose service
// answers this call: "." in fail-over mode or when Server cannot be read,
// else Server as read, even when empty. *pdwReplyTimeoutMs (may be null)
// receives how long the call waits for the service's answer: ReplyTimeout,
// or INFINITE when it is missing, 0 or not a REG_DWORD. Read afresh on
// every call.
void ResolveServerName(char* szServer, DWORD* pdwReplyTimeoutMs = nullptr);

// Formats \\SERVER\pipe\NAME for this call into szPath (VG_PIPE_PATH_SIZE),
// with the reply time-out as ResolveServerName gives it. dwPipe is the
// command table's pipe column: VG_PIPE_SCREENING names the screening pipe,
// the others the management pipe (the list channel is on it).
void FormatPipePath(DWORD dwPipe, char* szPath, DWORD* pdwReplyTimeoutMs = nullptr);

// Sends the request unchanged and reads one reply over the presets in
// pvReply. Two attempts; none more when the pipe does not exist; a 50 ms
// pause after every other failed attempt, the last one too.
HRESULT HrPipeTransact(DWORD dwPipe, const void* pvRequest, DWORD cbRequest, void* pvReply, DWORD cbReply);
