// The Unicode rules of platform/text.h, the same on both builds.
#include "sharedcode/platform/text.h"

namespace plat {

namespace {

bool IsCharacter(char32_t c) { return c < 0xD800 || (c >= 0xE000 && c < 0x110000); }

}  // namespace

char32_t NextUtf16(const char16_t* p, size_t n, size_t* pi) {
    const char32_t c = p[(*pi)++];
    if (c < 0xD800 || c >= 0xE000) return c;
    if (c < 0xDC00 && *pi < n && p[*pi] >= 0xDC00 && p[*pi] < 0xE000)
        return 0x10000 + ((c - 0xD800) << 10) + (p[(*pi)++] - 0xDC00);
    return kNotACharacter;
}

char32_t NextWide(const wchar_t* p, size_t n, size_t* pi) {
    if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
        return NextUtf16(reinterpret_cast<const char16_t*>(p), n, pi);
    } else {
        const char32_t c = static_cast<char32_t>(p[(*pi)++]);
        return IsCharacter(c) ? c : kNotACharacter;
    }
}

int EncodeUtf8(char32_t c, char* pb) {
    if (c < 0x80) {
        pb[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        pb[0] = static_cast<char>(0xC0 | (c >> 6));
        pb[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        pb[0] = static_cast<char>(0xE0 | (c >> 12));
        pb[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        pb[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    pb[0] = static_cast<char>(0xF0 | (c >> 18));
    pb[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    pb[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    pb[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

int EncodeUtf16(char32_t c, char16_t* pu) {
    if (c < 0x10000) {
        pu[0] = static_cast<char16_t>(c);
        return 1;
    }
    c -= 0x10000;
    pu[0] = static_cast<char16_t>(0xD800 | (c >> 10));
    pu[1] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    return 2;
}

}  // namespace plat
