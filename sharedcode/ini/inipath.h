// Paths of settings files: cleaning, the long-path form, the directory
// chain, and the name of the mutex that every process using one file shares.
//
// Forms recognised: drive paths ('C:\dir\a.ini'), UNC paths
// ('\\server\share\a.ini'), long drive paths ('\\?\C:\a.ini'), long UNC paths
// ('\\?\UNC\server\share\a.ini'); anything else (relative paths, and on POSIX
// absolute paths, which arrive as '\etc\a.ini') passes unchanged. None of
// these routines keeps state.
#pragma once

#include <cstddef>

#include "sharedcode/tsz.h"
#include "sharedcode/wintypes.h"

// Cleans a path in place; cchSize is the room from the start of the path.
// After a "\\?\" prefix (left as it is): | < > * ? " become '_' and '/'
// becomes '\'; doubled backslashes collapse (the two that open a UNC path
// stay); "\.\" , " \" and "\ " become '\'; trailing blanks, dots and
// backslashes go. 0 on success, also when nothing is left. Null path
// 0x80004003, size 0 0x80070057, empty path 0x800700A1; a scratch block that
// cannot be had stops the cleaning where it is, with 0x80070008.
HRESULT SzNormalizePath(char* szPath, DWORD cchSize);
HRESULT WszNormalizePath(wchar_t* wszPath, DWORD cchSize);

// The long form of a narrow path, as wide text in out: cleaned drive paths
// get "\\?\", cleaned UNC paths become "\\?\UNC\server\share\...", long forms
// stay (a long drive path is cleaned after its prefix), other paths are taken
// as they are. Null or empty path 0x80070057, out unchanged; a cleaning
// failure is returned with out unchanged. A path that does not convert gives
// an empty out and 0; a string heap that refuses the text 0x80030008.
HRESULT HrToLongPath(const char* szPath, TSz<wchar_t>& out);

// An existing entry that is not a directory, a device or offline. A null or
// empty path sets the last error to ERROR_BAD_PATHNAME.
bool IsFilePath(const wchar_t* wszPath);

// An existing directory that is not offline; trailing backslashes do not
// matter. Paths of 1024 characters or more are not looked at.
bool IsDirectoryPath(const wchar_t* wszPath);

// Creates the directory and every missing parent. 0 when it exists
// afterwards; the folded system error of the first creation that failed;
// null path 0x800701E7, empty path 0x800700A0; a UNC path without a folder
// below its share 0x80070057. Paths longer than 2047 characters are cut.
HRESULT HrCreateDirectoryPath(const wchar_t* wszPath);

// Appends to out the 32 lower-case hexadecimal digits of the MD5 digest of
// the long path with A-Z folded to a-z, taken as UTF-16LE bytes without the
// terminator (lone surrogate halves as '?', by the rule of platform/text.h),
// so that every build names the mutex of a file alike. A failed
// digest gives the folded system error, a refusing string heap 0x80030008.
HRESULT FileMutexName(const wchar_t* wszLongPath, TSz<char>& out);

// Drive letters: narrow text knows A-Z and a-z; wide text also the letters
// 0xC0-0xDE and 0xE0-0xFF and up, without 0xD7 and 0xF7.
bool IsNarrowDriveLetter(char ch);
bool IsWideDriveLetter(wchar_t ch);

// Characters before the terminator, of narrow or wide text.
template <typename C>
size_t TextLength(const C* psz) {
    size_t n = 0;
    while (psz[n]) ++n;
    return n;
}

// Whether narrow or wide text begins with the ASCII text sz, compared exactly.
template <typename C>
bool TextStartsWith(const C* psz, const char* sz) {
    for (; *sz; ++psz, ++sz) {
        if (*psz != static_cast<C>(static_cast<unsigned char>(*sz))) return false;
    }
    return true;
}
