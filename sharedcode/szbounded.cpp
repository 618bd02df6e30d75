// Bounded string routines.
#include "sharedcode/szbounded.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "sharedcode/hresult.h"

namespace {

constexpr size_t kMaxCch = 0x7FFFFFFF;

bool BadSize(size_t cch) { return cch == 0 || cch > kMaxCch; }

// Copies at most cchMax characters and a terminator after them; true when the
// source had more. Reads no more than cchMax + 1 source characters.
template <typename Ch>
bool CopyBounded(Ch* pDest, size_t cchMax, const Ch* pSrc) {
    size_t i = 0;
    for (; i < cchMax && pSrc[i]; ++i) pDest[i] = pSrc[i];
    pDest[i] = 0;
    return pSrc[i] != 0;
}

// Length of the text in a buffer of cchBuf characters; cchBuf when it holds
// no terminator.
template <typename Ch>
size_t LengthBounded(const Ch* p, size_t cchBuf) {
    size_t i = 0;
    while (i < cchBuf && p[i]) ++i;
    return i;
}

// Appends so that at most cch characters stand before the terminator.
template <typename Ch>
HRESULT AppendN(Ch* pDest, size_t cch, const Ch* pSrc) {
    size_t cchHave = LengthBounded(pDest, cch);
    if (cchHave == cch) {
        // Already full (or unterminated within cch): only the terminator fits.
        pDest[cch] = 0;
        return pSrc[0] ? VG_E_TRUNCATED : S_OK;
    }
    return CopyBounded(pDest + cchHave, cch - cchHave, pSrc) ? VG_E_TRUNCATED : S_OK;
}

template <typename Ch>
HRESULT ReplaceAny(Ch* p, const Ch* pSet, Ch chReplace) {
    if (!p) return S_OK;
    bool fReplaced = false;
    for (; *p; ++p) {
        for (const Ch* s = pSet; *s; ++s) {
            if (*s == *p) {
                *p = chReplace;
                fReplaced = true;
                break;
            }
        }
    }
    return fReplaced ? S_OK : VG_E_NOTFOUND;
}

// Shared tail of the formatters: n is what the formatter returned. A negative
// result means failure or (for the wide formatter) truncation; n >= cch means
// the output was cut. Either way the last character becomes the terminator.
template <typename Ch>
HRESULT FinishFormat(Ch* pDest, size_t cch, int n) {
    if (n < 0 || static_cast<size_t>(n) >= cch) {
        pDest[cch - 1] = 0;
        return VG_E_TRUNCATED;
    }
    pDest[n] = 0;  // Some runtimes leave it out when the output fills the buffer exactly.
    return S_OK;
}

}  // namespace

HRESULT SzCopy(char* szDest, size_t cchDest, const char* szSrc) {
    if (BadSize(cchDest)) return VG_E_INVALIDARG;
    return CopyBounded(szDest, cchDest - 1, szSrc) ? VG_E_TRUNCATED : S_OK;
}

HRESULT SzAppend4096(char* szDest, const char* szSrc) {
    constexpr size_t kCch = 4096;
    size_t cchHave = LengthBounded(szDest, kCch);
    if (cchHave == kCch) return VG_E_INVALIDARG;
    return CopyBounded(szDest + cchHave, kCch - cchHave - 1, szSrc) ? VG_E_TRUNCATED : S_OK;
}

HRESULT WszFormat(wchar_t* wszDest, size_t cchDest, const wchar_t* wszFormat, ...) {
    va_list args;
    va_start(args, wszFormat);
    HRESULT hr = WszFormatV(wszDest, cchDest, wszFormat, args);
    va_end(args);
    return hr;
}

HRESULT SzFormat(char* szDest, size_t cchDest, const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    HRESULT hr = SzFormatV(szDest, cchDest, szFormat, args);
    va_end(args);
    return hr;
}

HRESULT SzFormatV(char* szDest, size_t cchDest, const char* szFormat, va_list args) {
    if (BadSize(cchDest)) return VG_E_INVALIDARG;
    return FinishFormat(szDest, cchDest, std::vsnprintf(szDest, cchDest, szFormat, args));
}

HRESULT WszFormatV(wchar_t* wszDest, size_t cchDest, const wchar_t* wszFormat, va_list args) {
    if (BadSize(cchDest)) return VG_E_INVALIDARG;
    return FinishFormat(wszDest, cchDest, std::vswprintf(wszDest, cchDest, wszFormat, args));
}

HRESULT SzCopyN(char* szDest, size_t cchDest, const char* szSrc) {
    if (BadSize(cchDest)) return VG_E_INVALIDARG;
    szDest[0] = 0;
    if (!szSrc) return VG_E_POINTER;
    return CopyBounded(szDest, cchDest - 1, szSrc) ? VG_E_TRUNCATED : S_OK;
}

HRESULT WszCopyN(wchar_t* wszDest, size_t cch, const wchar_t* wszSrc) {
    wszDest[0] = 0;
    if (!wszSrc) return VG_E_POINTER;
    return CopyBounded(wszDest, cch, wszSrc) ? VG_E_TRUNCATED : S_OK;
}

HRESULT SzAppendN(char* szDest, size_t cch, const char* szSrc) {
    if (!szDest || !szSrc) return VG_E_POINTER;
    return AppendN(szDest, cch, szSrc);
}

HRESULT WszAppendN(wchar_t* wszDest, size_t cch, const wchar_t* wszSrc) {
    if (!wszSrc) return VG_E_POINTER;
    return AppendN(wszDest, cch, wszSrc);
}

size_t WszLength(const wchar_t* wsz) { return wsz ? std::wcslen(wsz) : 0; }

HRESULT SzReplaceAny(char* sz, const char* szSet, char chReplace) {
    return ReplaceAny(sz, szSet, chReplace);
}

HRESULT WszReplaceAny(wchar_t* wsz, const wchar_t* wszSet, wchar_t chReplace) {
    return ReplaceAny(wsz, wszSet, chReplace);
}

namespace {
BYTE HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return static_cast<BYTE>(ch - '0');
    if (ch >= 'A' && ch <= 'F') return static_cast<BYTE>(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f') return static_cast<BYTE>(ch - 'a' + 10);
    return 0;
}
}  // namespace

BYTE HexPairToByte(char chHigh, char chLow) {
    return static_cast<BYTE>((HexDigit(chHigh) << 4) | HexDigit(chLow));
}

BOOL CopyBytes(void* pvDest, const void* pvSrc, size_t cb) {
    if (!pvSrc || cb == 0) return FALSE;
    std::memmove(pvDest, pvSrc, cb);
    return TRUE;
}
