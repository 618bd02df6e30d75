// Platform layer: conversions between wide text and the ANSI code page.
//
// Shaped after WideCharToMultiByte / MultiByteToWideChar with CP_ACP. The
// ANSI code page of the POSIX build is UTF-8, and its wchar_t holds UTF-32.
// Counts include the terminator when the source count includes it; a
// destination size of 0 asks for the size needed. Failures return 0 and set
// the last error (ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION 1113).
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

int WideToAnsi(const wchar_t* wsz, int cchWide, char* sz, int cb);
int AnsiToWide(const char* sz, int cb, wchar_t* wsz, int cchWide);

}  // namespace plat
