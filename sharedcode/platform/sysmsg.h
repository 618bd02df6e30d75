// Platform layer: the system's message table.
//
// FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)
// with the neutral language: the text of a system error code, ending in CR LF
// as Windows texts do, written with its terminator into cch characters.
// Returns the length without the terminator; 0 on failure, with the last
// error ERROR_MR_MID_NOT_FOUND (317) for an unknown code or
// ERROR_INSUFFICIENT_BUFFER when the text does not fit.
//
// POSIX: a table of the Windows texts of the codes this library can produce.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

DWORD FormatSystemMessageA(DWORD dwMessageId, char* szBuffer, DWORD cch);

}  // namespace plat
