// POSIX side of platform/text.h: UTF-32 wide text and UTF-8 as ANSI.
#include "sharedcode/platform/text.h"

#include <cstring>
#include <cwchar>

#include "sharedcode/platform/process.h"

namespace plat {

namespace {

// Bytes of one code point in UTF-8; 0 for a value that is not a scalar, so
// that a decoded overlong form or surrogate half shows.
int Utf8Length(uint32_t c) {
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c >= 0xD800 && c < 0xE000) return 0;
    if (c < 0x10000) return 3;
    if (c < 0x110000) return 4;
    return 0;
}

}  // namespace

int WideToAnsi(const wchar_t* wsz, int cchWide, char* sz, int cb) {
    if (!wsz || cb < 0 || (cb > 0 && !sz) || cchWide < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t n = cchWide == -1 ? std::wcslen(wsz) + 1 : static_cast<size_t>(cchWide);
    int out = 0;
    for (size_t i = 0; i < n;) {
        char ab[4];
        const int len = EncodeUtf8(NextWide(wsz, n, &i), ab);
        if (cb > 0) {
            if (out + len > cb) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(sz + out, ab, static_cast<size_t>(len));
        }
        out += len;
    }
    return out;
}

int AnsiToWide(const char* sz, int cb, wchar_t* wsz, int cchWide) {
    if (!sz || cchWide < 0 || (cchWide > 0 && !wsz) || cb < -1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sz);
    size_t n = 0;
    if (cb == -1) {
        while (p[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(cb);
    }
    int out = 0;
    for (size_t i = 0; i < n;) {
        uint32_t c = p[i];
        int len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + static_cast<size_t>(len) > n) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        if (len > 1) {
            c &= 0x7F >> len;
            for (int k = 1; k < len; ++k) {
                if ((p[i + static_cast<size_t>(k)] & 0xC0) != 0x80) {
                    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                    return 0;
                }
                c = c << 6 | (p[i + static_cast<size_t>(k)] & 0x3F);
            }
            if (Utf8Length(c) != len) {  // overlong form or not a scalar
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
        }
        if (cchWide > 0) {
            if (out >= cchWide) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            wsz[out] = static_cast<wchar_t>(c);
        }
        ++out;
        i += static_cast<size_t>(len);
    }
    return out;
}

}  // namespace plat
