// The library's message table: its layout, its texts, and a lookup that
// stays inside the bytes it is given.

#include <gtest/gtest.h>

#include <algorithm>
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
// way: blocks ascending with a gap between runs, entries packed after the
// block array, each a multiple of 4 bytes, ANSI, NUL-terminated and
// zero-padded. Returns every identifier's text.
std::map<uint32_t, std::string> Walk(const std::vector<unsigned char>& t) {
    std::map<uint32_t, std::string> texts;
    const uint32_t blocks = U32(t.data());
    size_t at = 4 + 12 * size_t{blocks};
    for (uint32_t b = 0; b < blocks; ++b) {
        const unsigned char* block = t.data() + 4 + 12 * b;
        const uint32_t low = U32(block), high = U32(block + 4);
        EXPECT_TRUE(low <= high && (b == 0 || low > U32(block - 8) + 1)) << std::hex << low;
        EXPECT_EQ(U32(block + 8), at) << "block " << b;
        for (uint32_t id = low; id <= high; ++id) {
            const uint16_t length = U16(t.data() + at);
            const std::string body(reinterpret_cast<const char*>(t.data() + at + 4), length - 4u);
            const size_t cch = body.find('\0');
            EXPECT_TRUE(length % 4 == 0 && U16(t.data() + at + 2) == 0 && cch != std::string::npos &&
                        body.find_first_not_of('\0', cch) == std::string::npos)
                << std::hex << id;
            texts[id] = body.substr(0, cch);
            at += length;
        }
    }
    EXPECT_EQ(at, t.size()) << "bytes after the last entry";
    return texts;
}

TEST(Catalogue, LayoutIsAWindowsMessageTableWithEveryCodeAtThreeSeverities) {
    const std::map<uint32_t, std::string> texts = Walk(TableCopy());
    EXPECT_EQ(texts.size(), 1254u);
    std::map<uint32_t, std::string> bySeverity[4];  // every code has one text at all three
    for (const auto& [id, text] : texts) {
        bySeverity[id >> 30][id & 0xFFFF] = text;
        EXPECT_EQ(id & 0x3FFF0000u, 0x01500000u) << std::hex << id;  // facility, no customer bit
        EXPECT_TRUE(!text.empty() && text.back() != '\n' && text.back() != '\r') << std::hex << id;
        EXPECT_EQ(Lookup(id), text) << std::hex << id;
        const char* sz = nullptr;  // the library's own index finds the same text
        size_t cch = 0;
        EXPECT_TRUE(VgFindOwnMessage(id, &sz, &cch) && std::string(sz, cch) == text) << std::hex << id;
    }
    EXPECT_TRUE(bySeverity[0].empty());
    EXPECT_EQ(bySeverity[1].size(), 418u);
    EXPECT_EQ(bySeverity[2], bySeverity[1]);
    EXPECT_EQ(bySeverity[3], bySeverity[1]);
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
    // Codes next to runs, at every severity; then severity 0, another
    // facility, the customer bit, a system code.
    for (uint32_t code : {0x0002u, 0x2000u, 0x21C0u, 0x3011u, 0x8101u, 0xFFFFu})
        for (uint32_t severity = 1; severity <= 3; ++severity)
            EXPECT_EQ(Lookup(VgMessageId(severity, code)), "<none>") << std::hex << code;
    for (uint32_t id : {0x01500009u, 0x41510009u, 0x61500009u, 0x80070005u, 0u, 0xFFFFFFFFu})
        EXPECT_EQ(Lookup(id), "<none>") << std::hex << id;
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
}

}  // namespace
