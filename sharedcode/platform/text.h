// Platform layer: conversions between wide text and the ANSI code page, and
// the Unicode rules they follow.
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

// ---------------------------------------------------------------------------
// Unicode, shared by every converter of the library (text.cpp): the POSIX
// ANSI code page, the registry file's UTF-16 and the UTF-16 of a settings
// file's mutex name. One rule for text that is not Unicode: a lone surrogate
// half, or a value beyond U+10FFFF, becomes '?', as WideCharToMultiByte
// writes for a character the code page lacks.

constexpr char32_t kNotACharacter = U'?';

// The character at p[*pi] of UTF-16 text of n units; *pi moves past it.
char32_t NextUtf16(const char16_t* p, size_t n, size_t* pi);
// The same for wide text: UTF-16 where wchar_t has 16 bits, UTF-32 otherwise.
char32_t NextWide(const wchar_t* p, size_t n, size_t* pi);

// c as UTF-8 into pb (room for 4) or UTF-16 into pu (room for 2): the count
// written. c must be a character, as NextUtf16 and NextWide return them.
int EncodeUtf8(char32_t c, char* pb);
int EncodeUtf16(char32_t c, char16_t* pu);

}  // namespace plat
