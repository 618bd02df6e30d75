// Bounded string routines. None writes past the size it is given, and every
// one leaves its destination terminated. Sizes and counts are in characters.
// Results: 0x80070057 for a bad size (0 or above 0x7FFFFFFF), 0x8007007A when
// the text was cut, 0x80004003 for a null pointer where noted.
#pragma once

#include <cstdarg>

#include "sharedcode/wintypes.h"

// Copies at most cchDest - 1 characters and a NUL. A bad size leaves the
// destination untouched (so do the formatters and SzCopyN).
HRESULT SzCopy(char* szDest, size_t cchDest, const char* szSrc);

// Appends to a 4096-character buffer; 0x80070057 when it holds no NUL.
HRESULT SzAppend4096(char* szDest, const char* szSrc);

// printf-style formatting into cchDest characters. Output that was cut, or a
// formatter failure, leaves a terminator in the last character and returns
// 0x8007007A; output of exactly cchDest - 1 characters is not a cut.
HRESULT SzFormat(char* szDest, size_t cchDest, const char* szFormat, ...);
HRESULT SzFormatV(char* szDest, size_t cchDest, const char* szFormat, va_list args);
HRESULT WszFormat(wchar_t* wszDest, size_t cchDest, const wchar_t* wszFormat, ...);
HRESULT WszFormatV(wchar_t* wszDest, size_t cchDest, const wchar_t* wszFormat, va_list args);

// szDest[0] = 0 first; null source 0x80004003; at most cchDest - 1 characters.
HRESULT SzCopyN(char* szDest, size_t cchDest, const char* szSrc);
// wszDest[0] = 0 first; null source 0x80004003; at most cch characters and a
// NUL after them (the destination holds cch + 1).
HRESULT WszCopyN(wchar_t* wszDest, size_t cch, const wchar_t* wszSrc);
// Appends so that at most cch characters stand before the NUL (cch + 1 held).
// Null source 0x80004003; the narrow form also checks the destination.
HRESULT SzAppendN(char* szDest, size_t cch, const char* szSrc);
HRESULT WszAppendN(wchar_t* wszDest, size_t cch, const wchar_t* wszSrc);

size_t WszLength(const wchar_t* wsz);

// Replaces every character of the text found in szSet by chReplace: 0 when at
// least one was replaced, 0x80070490 when none was (or the text is empty), 0
// for a null text.
HRESULT SzReplaceAny(char* sz, const char* szSet, char chReplace);
HRESULT WszReplaceAny(wchar_t* wsz, const wchar_t* wszSet, wchar_t chReplace);

// Two hexadecimal digits as one byte, high digit first; other characters count 0.
BYTE HexPairToByte(char chHigh, char chLow);

// Null source or cb 0: copies nothing and returns 0; otherwise copies, returns 1.
BOOL CopyBytes(void* pvDest, const void* pvSrc, size_t cb);
