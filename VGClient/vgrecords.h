// Shared initialisers of the request records and reply presets.
#pragma once

#include "VGClient/vgwire.h"
#include "sharedcode/szbounded.h"
#include "sharedcode/wintypes.h"

// One row of the command table: the pipe and the request and reply sizes of
// a command, looked up at compile time. An unknown command gives zeros.
struct VGCOMMANDROW {
    DWORD dwCommand;
    DWORD dwPipe;  // VG_PIPE_SCREENING, VG_PIPE_MANAGEMENT or VG_PIPE_STREAMED
    DWORD cbRequest;
    DWORD cbReply;  // of a streamed command: its list header
};

constexpr VGCOMMANDROW VgCommandRow(DWORD dwCommand) {
#define VG_COMMAND_ROW_(code, name, pipe, cbReq, cbRep) \
    if (dwCommand == (code)) return VGCOMMANDROW{(code), (pipe), (cbReq), (cbRep)};
    VG_COMMAND_TABLE(VG_COMMAND_ROW_)
#undef VG_COMMAND_ROW_
    return VGCOMMANDROW{0, 0, 0, 0};
}

// Header fields: size, command, process and thread ids, version, computer name.
void VgFillReqHdr(VGREQHDR* pHdr, DWORD dwCommand, DWORD cbSize);
// The same, then the session id (null: 16 zero bytes) and zero abReserved.
void VgFillReqHdrEx(VGREQHDREX* pHdr, DWORD dwCommand, DWORD cbSize, const VGSESSIONID* pidSession);

// tagVGIPQUERY with command 0 (the caller sets 1 to 5) and a zero body.
void VgInitIPQuery(VGIPQUERY* pReq);
// tagVGGEOQUERY with command 12 and a zero body.
void VgInitGeoQuery(VGGEOQUERY* pReq);
// The configuration read request (244 bytes) with command 0 (the caller sets
// 27 to 31) and the write request (764 bytes) with command 22 (the caller
// sets 20 or 22 to 26): session id, names and value area zero.
void VgInitConfigReadReq(VGCONFIGREADREQ* pReq);
void VgInitConfigWriteReq(VGCONFIGWRITEREQ* pReq);

// Reply header preset: the version, hrStatus 0.
void VgPresetReply(VGREPLYHDR* pHdr, DWORD cbSize);
// An embedded location record preset: zero with cbSize 232.
void VgPresetGeoData(VGGEODATA* pGeo);

// Copies a caller's text into a zero-filled field of N bytes: at most N-1
// characters, cut silently. A null text leaves the field empty.
template <size_t N>
inline void VgCopyText(char (&field)[N], const char* szText) {
    if (szText) SzCopy(field, N, szText);
}
