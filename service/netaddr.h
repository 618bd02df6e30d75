// Addresses and ranges of the service's lists: IPv4 and IPv6 in one 128-bit
// space, IPv4 as the mapped range ::ffff:0:0/96, so one sorted index serves
// both families.
#pragma once

#include <cstdint>
#include <string>

namespace vgsvc {

struct Addr128 {
    uint64_t hi = 0;
    uint64_t lo = 0;
    friend bool operator<(const Addr128& a, const Addr128& b) { return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo; }
    friend bool operator==(const Addr128& a, const Addr128& b) { return a.hi == b.hi && a.lo == b.lo; }
    friend bool operator!=(const Addr128& a, const Addr128& b) { return !(a == b); }
    friend bool operator<=(const Addr128& a, const Addr128& b) { return !(b < a); }
    bool IsV4() const { return hi == 0 && (lo >> 32) == 0xFFFFu; }
};

// A closed range [first, last] and the prefix length it came from (counted
// in its own family: 0 to 32 for IPv4, 0 to 128 for IPv6).
struct AddrRange {
    Addr128 first;
    Addr128 last;
    unsigned prefix = 128;
    bool v4 = false;
};

// One address ("192.0.2.7", "2001:db8::1", "::ffff:192.0.2.7") or a CIDR
// range ("192.0.2.0/24"). Host bits set under the prefix are cleared. Zone
// suffixes, blanks and anything else are refused.
bool ParseAddress(const char* szText, Addr128* pAddr);
bool ParseRange(const char* szText, AddrRange* pRange);

// The canonical text: dotted quad for IPv4, RFC 5952 for IPv6, "/n" for a
// range wider than one address.
std::string FormatAddress(const Addr128& a);
std::string FormatRange(const AddrRange& r);

// The range of `bits` leading bits around an address (bits counted in its
// family; 0 or a value at or above the family's width: the address alone).
AddrRange Aggregate(const Addr128& a, unsigned bits);

}  // namespace vgsvc
