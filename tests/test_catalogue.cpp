// The library's message table: its layout, its texts, and a lookup that
// stays inside the bytes it is given.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "VGClient/vgmessagetable.h"

namespace {

uint32_t U32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::vector<unsigned char> TableCopy() {
    size_t cb = 0;
    const unsigned char* p = VgMessageTableBytes(&cb);
    return std::vector<unsigned char>(p, p + cb);
}

// "<none>" when the lookup fails, so a mismatch reads well in the output.
std::string Lookup(const std::vector<unsigned char>& t, uint32_t id) {
    const char* text = nullptr;
    size_t cch = 0;
    if (!VgFindMessage(t.data(), t.size(), id, &text, &cch))
        return "<none>";
    EXPECT_GE(reinterpret_cast<const unsigned char*>(text), t.data());
    EXPECT_LE(reinterpret_cast<const unsigned char*>(text) + cch, t.data() + t.size());
    return std::string(text, cch);
}

std::string Lookup(uint32_t id) {
    static const std::vector<unsigned char> table = TableCopy();
    return Lookup(table, id);
}

// Walks the table independently of VgFindMessage, checking the layout on the
// way; returns every identifier's text.
std::map<uint32_t, std::string> Walk(const std::vector<unsigned char>& t) {
    std::map<uint32_t, std::string> texts;
    const uint32_t blocks = U32(t.data());
    size_t expected = 4 + 12 * size_t{blocks};  // entries follow the block array, packed
    uint32_t previousHigh = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
        const unsigned char* block = t.data() + 4 + 12 * b;
        const uint32_t low = U32(block), high = U32(block + 4);
        EXPECT_LE(low, high);
        if (b > 0) {  // ascending, and each block a whole run: a gap before the next
            EXPECT_GT(low, previousHigh + 1) << std::hex << low;
        }
        previousHigh = high;
        EXPECT_EQ(U32(block + 8), expected) << "block " << b;
        size_t at = U32(block + 8);
        for (uint32_t id = low;; ++id) {
            const uint16_t length = U16(t.data() + at);
            EXPECT_EQ(length % 4, 0u) << std::hex << id;
            EXPECT_EQ(U16(t.data() + at + 2), 0) << "not ANSI: " << std::hex << id;
            const char* text = reinterpret_cast<const char*>(t.data() + at + 4);
            const void* nul = std::memchr(text, '\0', length - 4u);
            const size_t cch = nul ? static_cast<const char*>(nul) - text : length - 4u;
            EXPECT_LT(cch, length - 4u) << "unterminated: " << std::hex << id;
            for (size_t i = cch; i < length - 4u; ++i)
                EXPECT_EQ(text[i], '\0') << "padding of " << std::hex << id;
            texts[id] = std::string(text, cch);
            at += length;
            if (id == high)
                break;
        }
        expected = at;
    }
    EXPECT_EQ(expected, t.size()) << "bytes after the last entry";
    return texts;
}

TEST(Catalogue, LayoutIsAWindowsMessageTable) {
    const std::vector<unsigned char> t = TableCopy();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(VgMessageTableBytes(nullptr)) % 4, 0u);
    EXPECT_EQ(U32(t.data()), 159u);
    const std::map<uint32_t, std::string> texts = Walk(t);
    EXPECT_EQ(texts.size(), 1254u);
    for (const auto& [id, text] : texts) {
        EXPECT_EQ(id & 0x3FFF0000u, 0x01500000u) << std::hex << id;  // facility, no customer bit
        EXPECT_NE(id >> 30, 0u) << std::hex << id;
        ASSERT_FALSE(text.empty()) << std::hex << id;
        EXPECT_NE(text.back(), '\n') << std::hex << id;
        EXPECT_NE(text.back(), '\r') << std::hex << id;
        EXPECT_EQ(Lookup(id), text) << std::hex << id;
    }
}

TEST(Catalogue, EveryCodeHasOneTextAtAllThreeSeverities) {
    std::map<uint32_t, std::string> bySeverity[4];
    for (const auto& [id, text] : Walk(TableCopy()))
        bySeverity[id >> 30][id & 0xFFFF] = text;
    EXPECT_TRUE(bySeverity[0].empty());
    EXPECT_EQ(bySeverity[1].size(), 418u);
    EXPECT_EQ(bySeverity[2], bySeverity[1]);
    EXPECT_EQ(bySeverity[3], bySeverity[1]);
}

TEST(Catalogue, Texts) {
    const struct {
        uint32_t code;
        const char* text;
    } samples[] = {
        // Per-service families: service 0, IMAP, and another tag each.
        {0x1200, "Blacklist: Blocking IP:%1"}, {0x1201, "Blacklist: IMAP: Blocking IP:%1"},
        {0x120E, "Blacklist: POP_S: Blocking IP:%1"},
        {0x2010, "Auth failure: (unspecified): IP:%1"}, {0x2011, "Auth failure: IMAP: IP:%1"},
        {0x2018, "Auth failure: PNDP: IP:%1"},
        {0x2040, "Auth Success: (unspecified): IP:%1"}, {0x2041, "Auth success: IMAP: IP:%1"},
        {0x204F, "Auth success: SMTP_S: IP:%1"},
        {0x2100, "Refusing access: IP:%1"}, {0x2101, "Refusing IMAP access: IP:%1"},
        {0x2103, "Refusing SMTP access: IP:%1"},
        {0x2110, "AuthFail threshold met: IP:%1"}, {0x2111, "AuthFail threshold met: IMAP: IP:%1"},
        {0x2114, "AuthFail threshold met: WM: IP:%1"},
        {0x2120, "Allowing access: IP:%1"}, {0x2121, "Allowing IMAP access: IP:%1"},
        {0x2125, "Allowing AS access: IP:%1"},
        {0x2130, "Whitelist: found IP:%1"}, {0x2131, "Whitelist: IMAP: found IP:%1"},
        {0x213B, "Whitelist: XMPP: found IP:%1"},
        {0x2140, "Whitelist: Ignored IP:%1"}, {0x2141, "Whitelist: IMAP: Ignored IP:%1"},
        {0x2146, "Whitelist: RA: Ignored IP:%1"},
        {0x2150, "TrustedIP: found IP:%1"}, {0x2151, "TrustedIP: IMAP: found IP:%1"},
        {0x2157, "TrustedIP: API: found IP:%1"},
        {0x2160, "TrustedIP: Ignored IP:%1"}, {0x2161, "TrustedIP: IMAP: Ignored IP:%1"},
        {0x2169, "TrustedIP: DAV: Ignored IP:%1"},
        {0x2170, "Blacklist: found IP:%1"}, {0x2171, "Blacklist: IMAP: found IP:%1"},
        {0x217A, "Blacklist: AD: found IP:%1"},
        {0x2180, "Blacklist: Ignored IP:%1"}, {0x2181, "Blacklist: IMAP: Ignored IP:%1"},
        {0x218C, "Blacklist: MNGR: Ignored IP:%1"},
        {0x2190, "LocationScreen: found: IP:%1"}, {0x2191, "LocationScreen: IMAP: found: IP:%1"},
        {0x219D, "LocationScreen: IMAP_S: found: IP:%1"},
        {0x21A0, "LocationScreen: Ignored: IP:%1"}, {0x21A1, "LocationScreen: IMAP: Ignored: IP:%1"},
        {0x21A2, "LocationScreen: POP: Ignored: IP:%1"},
        {0x21A3, "LocationScreen: SMTP: Accepted: IP:%1"},
        {0x21A4, "LocationScreen: WM: Ignored: IP:%1"},
        {0x21B0, "Auth Failure processing cancelled due to Gateway Exemption: IP:%1"},
        {0x21B1, "Auth Failure processing cancelled due to Gateway Exemption: IMAP: IP:%1"},
        {0x21D0, "Auth Failure processing cancelled due to Whitelist Exemption: IP:%1"},
        {0x21D1, "Auth Failure processing cancelled due to Whitelist Exemption: IMAP: IP:%1"},
        {0x21D7, "Auth Failure processing cancelled due to Whitelist Exemption: API: IP:%1"},
        {0x21D8, "Auth Failure processing cancelled due to Whitelists Exemption: PNDP: IP:%1"},
        {0x21D9, "Auth Failure processing cancelled due to Whitelist Exemption: DAV: IP:%1"},
        {0x21F0, "Auth Failure processing cancelled due to Trusted IP Exemption: IP:%1"},
        {0x21F1, "Auth Failure processing cancelled due to Trusted IP Exemption: IMAP: IP:%1"},
        {0x3000, "Freezing account: %1"}, {0x3001, "Freezing account: IMAP: %1"},
        {0x300F, "Freezing account: SMTP_S: %1"},
        {0x8000, "Invalid IP received"}, {0x8001, "Invalid IP address received from IMAP"},
        {0x800C, "Invalid IP address received from MNGR"},
        // Codes with texts of their own.
        {0x0001, "%1"},
        {0x0009, "Vigilon Service starting"},
        {0x001F, "Vigilon Service stopping"},
        {0x0206, "Client Client Connections remaining: %1"},
        {0x0402, "The following Whitelist and Trusted IP addresses are currently exempt from Vigilon"},
        {0x1185, "Notification Sent: %1"},
        {0x1220, "Blacklist: Unblocking: IP:%1"},
        {0x1303, "Invalid Operation: Attempt to Blacklist a Whitelisted IP Address: %1"},
        {0x3010, "Thawing account: %1"},
        {0x3020, "MaxMind GeoLite2 Data unresolved IP Address: %1"},
        {0x310D, "Summary: %1 Location Screen Refusals"},
        {0x4013, "Mgmt Remove: Black Item: ID:%1"},
        {0x402A, "Mgmt Remove: Gateway: UID:%1"},
        {0x6000, "Setting failover mode. All VG requests will be processed by the local service until the "
                 "cluster primary comes back online."},
        {0x8100, "Ignoring corrupt %1 data"},
    };
    for (const auto& s : samples)
        for (uint32_t severity = 1; severity <= 3; ++severity)
            EXPECT_EQ(Lookup(VgMessageId(severity, s.code)), s.text) << std::hex << VgMessageId(severity, s.code);
}

// Every text against its own listing, kept in tests/data as code, a tab and
// the text, one line per code.
TEST(Catalogue, EveryTextAsListed) {
    std::ifstream listing(VG_TEST_DATA_DIR "/catalogue_texts.txt");
    ASSERT_TRUE(listing.good());
    std::string line;
    size_t count = 0;
    while (std::getline(listing, line)) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const uint32_t code = static_cast<uint32_t>(std::stoul(line.substr(0, tab), nullptr, 16));
        EXPECT_EQ(Lookup(VgMessageId(1, code)), line.substr(tab + 1)) << std::hex << code;
        ++count;
    }
    EXPECT_EQ(count, 418u);
}

TEST(Catalogue, IdentifiersWithoutEntriesAreNotFound) {
    for (uint32_t code : {0x0002u, 0x0011u, 0x2000u, 0x21C0u, 0x21E0u, 0x3011u, 0x4014u, 0x8101u, 0xFFFFu})
        for (uint32_t severity = 1; severity <= 3; ++severity)
            EXPECT_EQ(Lookup(VgMessageId(severity, code)), "<none>") << std::hex << code;
    EXPECT_EQ(Lookup(0x01500009u), "<none>");  // severity 0
    EXPECT_EQ(Lookup(0x41510009u), "<none>");  // another facility
    EXPECT_EQ(Lookup(0x61500009u), "<none>");  // customer bit
    EXPECT_EQ(Lookup(0x80070005u), "<none>");
    EXPECT_EQ(Lookup(0u), "<none>");
    EXPECT_EQ(Lookup(0xFFFFFFFFu), "<none>");
}

// Lookups in a truncated copy succeed exactly when the entry and everything
// before it in its block are present. Each copy is allocated at its own size,
// so a read past the end shows under AddressSanitizer.
TEST(Catalogue, TruncatedTableIsNeverReadPastItsEnd) {
    const std::vector<unsigned char> full = TableCopy();
    const size_t header = 4 + 12 * size_t{U32(full.data())};
    const uint32_t first = 0x41500001u, last = 0xC1508100u, mid = 0x8150210Fu;
    std::vector<size_t> cuts;
    for (size_t n = 0; n <= header + 16; ++n)
        cuts.push_back(n);
    for (uint32_t id : {first, mid, last}) {
        const char* text = nullptr;
        size_t cch = 0;
        ASSERT_TRUE(VgFindMessage(full.data(), full.size(), id, &text, &cch));
        const size_t end = reinterpret_cast<const unsigned char*>(text) - full.data() + cch + 1;
        for (size_t n = end - 16; n <= end + 4 && n <= full.size(); ++n)
            cuts.push_back(n);
    }
    for (size_t n : cuts) {
        const std::vector<unsigned char> part(full.begin(), full.begin() + n);
        for (uint32_t id : {first, mid, last}) {
            const std::string text = Lookup(part, id);
            if (text != "<none>") {
                EXPECT_EQ(text, Lookup(full, id)) << "cut at " << n;
            }
        }
    }
    EXPECT_EQ(Lookup(std::vector<unsigned char>(full.begin(), full.begin() + header + 8), first), "%1");
}

// A one-block table { 0x41500001: "a", 0x41500002: "bcd" } to corrupt.
std::vector<unsigned char> SmallTable() {
    return {1, 0, 0, 0,                                  // one block
            0x01, 0, 0x50, 0x41, 0x02, 0, 0x50, 0x41,    // 0x41500001 to 0x41500002
            16, 0, 0, 0,                                 // entries at 16
            8, 0, 0, 0, 'a', 0, 0, 0,                    // "a"
            12, 0, 0, 0, 'b', 'c', 'd', 0, 0, 0, 0, 0};  // "bcd"
}

TEST(Catalogue, CorruptTablesFailCleanly) {
    EXPECT_EQ(Lookup(SmallTable(), 0x41500002u), "bcd");

    auto corrupt = [](size_t at, std::initializer_list<unsigned char> bytes) {
        std::vector<unsigned char> t = SmallTable();
        std::copy(bytes.begin(), bytes.end(), t.begin() + at);
        return t;
    };
    EXPECT_EQ(Lookup(corrupt(0, {0xFF, 0xFF, 0xFF, 0xFF}), 0x41500001u), "<none>");  // block count
    EXPECT_EQ(Lookup(corrupt(12, {0xFC, 0xFF, 0xFF, 0xFF}), 0x41500001u), "<none>");  // entries offset
    EXPECT_EQ(Lookup(corrupt(12, {36, 0, 0, 0}), 0x41500001u), "<none>");  // offset at the very end
    EXPECT_EQ(Lookup(corrupt(16, {0, 0}), 0x41500002u), "<none>");  // zero length
    EXPECT_EQ(Lookup(corrupt(24, {0xFF, 0xFF}), 0x41500002u), "<none>");  // length past the end
    EXPECT_EQ(Lookup(corrupt(26, {1, 0}), 0x41500002u), "<none>");  // UTF-16 entry
    EXPECT_EQ(Lookup(corrupt(28, {'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'}), 0x41500002u), "<none>");  // no NUL
    // A block claiming the whole identifier space walks off the end, not forever.
    EXPECT_EQ(Lookup(corrupt(4, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFFFFF0u), "<none>");

    const std::vector<unsigned char> t = SmallTable();
    const char* text = nullptr;
    size_t cch = 0;
    EXPECT_FALSE(VgFindMessage(nullptr, t.size(), 0x41500001u, &text, &cch));
    EXPECT_FALSE(VgFindMessage(t.data(), 3, 0x41500001u, &text, &cch));
    EXPECT_FALSE(VgFindMessage(t.data(), t.size(), 0x41500001u, nullptr, &cch));
    EXPECT_FALSE(VgFindMessage(t.data(), t.size(), 0x41500001u, &text, nullptr));
}

}  // namespace
