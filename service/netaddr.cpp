#include "service/netaddr.h"

#include <cstdio>
#include <cstring>

namespace vgsvc {
namespace {

constexpr uint64_t kV4MappedHigh = 0xFFFFull << 32;

bool ParseV4(const char* p, const char* end, uint32_t* pv) {
    uint32_t v = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p == end || *p != '.') return false;
            ++p;
        }
        const char* start = p;
        uint32_t n = 0;
        while (p != end && *p >= '0' && *p <= '9' && p - start < 3) n = n * 10 + static_cast<uint32_t>(*p++ - '0');
        // No empty parts, no leading zeros (they read as octal elsewhere).
        if (p == start || n > 255 || (p - start > 1 && *start == '0')) return false;
        v = v << 8 | n;
    }
    if (p != end) return false;
    *pv = v;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseV6(const char* p, const char* end, uint16_t (&groups)[8]) {
    uint16_t head[8] = {}, tail[8] = {};
    int cHead = 0, cTail = 0;
    bool fGap = false;
    if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
        fGap = true;
        p += 2;
    } else if (p != end && *p == ':') {
        return false;
    }
    while (p != end) {
        uint16_t* pDest = fGap ? tail : head;
        int& c = fGap ? cTail : cHead;
        // An embedded IPv4 address ends the text.
        const char* dot = static_cast<const char*>(std::memchr(p, '.', static_cast<size_t>(end - p)));
        const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(end - p)));
        if (dot && (!colon || dot < colon)) {
            uint32_t v4 = 0;
            if (cHead + cTail > 6 || !ParseV4(p, end, &v4)) return false;
            pDest[c++] = static_cast<uint16_t>(v4 >> 16);
            pDest[c++] = static_cast<uint16_t>(v4);
            p = end;
            break;
        }
        uint32_t g = 0;
        int cDigits = 0;
        for (int d; p != end && (d = HexDigit(*p)) >= 0; ++p) {
            if (++cDigits > 4) return false;
            g = g << 4 | static_cast<uint32_t>(d);
        }
        if (cDigits == 0 || cHead + cTail >= 8) return false;
        pDest[c++] = static_cast<uint16_t>(g);
        if (p == end) break;
        if (*p != ':') return false;
        ++p;
        if (p != end && *p == ':') {
            if (fGap) return false;
            fGap = true;
            ++p;
        } else if (p == end) {
            return false;  // a trailing single colon
        }
    }
    if (fGap ? cHead + cTail > 7 : cHead != 8) return false;
    for (int i = 0; i < 8; ++i) groups[i] = 0;
    for (int i = 0; i < cHead; ++i) groups[i] = head[i];
    for (int i = 0; i < cTail; ++i) groups[8 - cTail + i] = tail[i];
    return true;
}

bool ParseSpan(const char* p, const char* end, Addr128* pAddr, bool* pfV4) {
    uint32_t v4 = 0;
    if (ParseV4(p, end, &v4)) {
        pAddr->hi = 0;
        pAddr->lo = kV4MappedHigh | v4;
        *pfV4 = true;
        return true;
    }
    uint16_t g[8];
    if (!ParseV6(p, end, g)) return false;
    pAddr->hi = uint64_t{g[0]} << 48 | uint64_t{g[1]} << 32 | uint64_t{g[2]} << 16 | g[3];
    pAddr->lo = uint64_t{g[4]} << 48 | uint64_t{g[5]} << 32 | uint64_t{g[6]} << 16 | g[7];
    *pfV4 = pAddr->IsV4();
    return true;
}

// The range of the first `bits` bits (of 128) of a.
AddrRange MakeRange(const Addr128& a, unsigned bits128) {
    AddrRange r;
    uint64_t maskHi, maskLo;
    if (bits128 >= 128) {
        maskHi = maskLo = ~0ull;
    } else if (bits128 >= 64) {
        maskHi = ~0ull;
        maskLo = bits128 == 64 ? 0 : ~0ull << (128 - bits128);
    } else {
        maskHi = bits128 == 0 ? 0 : ~0ull << (64 - bits128);
        maskLo = 0;
    }
    r.first.hi = a.hi & maskHi;
    r.first.lo = a.lo & maskLo;
    r.last.hi = a.hi | ~maskHi;
    r.last.lo = a.lo | ~maskLo;
    return r;
}

}  // namespace

bool ParseAddress(const char* szText, Addr128* pAddr) {
    if (!szText) return false;
    bool fV4 = false;
    return ParseSpan(szText, szText + std::strlen(szText), pAddr, &fV4);
}

bool ParseRange(const char* szText, AddrRange* pRange) {
    if (!szText) return false;
    const char* end = szText + std::strlen(szText);
    const char* slash = std::strchr(szText, '/');
    Addr128 a;
    bool fV4 = false;
    if (!ParseSpan(szText, slash ? slash : end, &a, &fV4)) return false;
    const unsigned width = fV4 ? 32 : 128;
    unsigned prefix = width;
    if (slash) {
        const char* p = slash + 1;
        if (p == end || end - p > 3) return false;
        prefix = 0;
        for (; p != end; ++p) {
            if (*p < '0' || *p > '9') return false;
            prefix = prefix * 10 + static_cast<unsigned>(*p - '0');
        }
        if (prefix > width) return false;
    }
    *pRange = MakeRange(a, fV4 ? prefix + 96 : prefix);
    pRange->prefix = prefix;
    pRange->v4 = fV4;
    return true;
}

std::string FormatAddress(const Addr128& a) {
    char sz[64];
    if (a.IsV4()) {
        const uint32_t v = static_cast<uint32_t>(a.lo);
        std::snprintf(sz, sizeof(sz), "%u.%u.%u.%u", v >> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255);
        return sz;
    }
    uint16_t g[8];
    for (int i = 0; i < 4; ++i) {
        g[i] = static_cast<uint16_t>(a.hi >> (48 - 16 * i));
        g[4 + i] = static_cast<uint16_t>(a.lo >> (48 - 16 * i));
    }
    // The longest run of two or more zero groups becomes "::".
    int best = -1, bestLen = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i > bestLen) best = i, bestLen = j - i;
        i = j == i ? i + 1 : j;
    }
    std::string s;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            s += "::";
            i += bestLen - 1;
            continue;
        }
        if (!s.empty() && s.back() != ':') s += ':';
        std::snprintf(sz, sizeof(sz), "%x", g[i]);
        s += sz;
    }
    return s;
}

std::string FormatRange(const AddrRange& r) {
    std::string s = FormatAddress(r.first);
    if (r.prefix < (r.v4 ? 32u : 128u)) s += "/" + std::to_string(r.prefix);
    return s;
}

AddrRange Aggregate(const Addr128& a, unsigned bits) {
    const bool fV4 = a.IsV4();
    const unsigned width = fV4 ? 32 : 128;
    if (bits == 0 || bits > width) bits = width;
    AddrRange r = MakeRange(a, fV4 ? bits + 96 : bits);
    r.prefix = bits;
    r.v4 = fV4;
    return r;
}

}  // namespace vgsvc
