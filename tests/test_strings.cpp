// Bounded string routines: bounds, termination and results.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "sharedcode/hresult.h"
#include "sharedcode/szbounded.h"

namespace {

// A buffer whose bytes past the size handed to a routine must stay '#'.
struct Guarded {
    char buf[32];
    explicit Guarded(const char* init = "") {
        std::memset(buf, '#', sizeof(buf));
        std::strcpy(buf, init);
    }
    bool IntactFrom(size_t i) const {
        return std::string(buf + i, sizeof(buf) - i).find_first_not_of('#') == std::string::npos;
    }
};

TEST(Strings, CopyAndFormatStayWithinTheSize) {
    const struct { size_t cch; const char* want; HRESULT hr; } cases[] = {
        {8, "id-0042", S_OK}, {7, "id-004", VG_E_TRUNCATED}, {1, "", VG_E_TRUNCATED}};
    for (const auto& c : cases) {
        Guarded copy, copyN, format;
        EXPECT_EQ(c.hr, SzCopy(copy.buf, c.cch, "id-0042")) << c.cch;
        EXPECT_EQ(c.hr, SzCopyN(copyN.buf, c.cch, "id-0042")) << c.cch;
        EXPECT_EQ(c.hr, SzFormat(format.buf, c.cch, "%s-%04d", "id", 42)) << c.cch;
        for (const Guarded* g : {&copy, &copyN, &format}) {
            EXPECT_STREQ(c.want, g->buf) << c.cch;
            EXPECT_TRUE(g->IntactFrom(c.cch)) << c.cch;
        }
    }
    // Bad sizes leave the destination untouched.
    for (size_t cch : {size_t{0}, size_t{0x80000000u}}) {
        Guarded g("keep");
        EXPECT_EQ(VG_E_INVALIDARG, SzCopy(g.buf, cch, "x"));
        EXPECT_EQ(VG_E_INVALIDARG, SzFormat(g.buf, cch, "%d", 5));
        EXPECT_EQ(VG_E_INVALIDARG, SzCopyN(g.buf, cch, "x"));
        EXPECT_STREQ("keep", g.buf);
    }
}

TEST(Strings, AppendsStopAtTheirBound) {
    char buf[4096 + 1];
    buf[4096] = '#';
    std::memset(buf, 'x', 4096);  // no terminator in the buffer
    EXPECT_EQ(VG_E_INVALIDARG, SzAppend4096(buf, "a"));
    buf[4090] = 0;
    EXPECT_EQ(VG_E_TRUNCATED, SzAppend4096(buf, "123456789"));
    EXPECT_STREQ("12345", buf + 4090);
    EXPECT_EQ('#', buf[4096]);

    // The counted forms hold the count and a terminator, never more.
    Guarded g("ab");
    EXPECT_EQ(S_OK, SzAppendN(g.buf, 5, "cde"));
    EXPECT_EQ(VG_E_TRUNCATED, SzAppendN(g.buf, 6, "fgh"));
    EXPECT_STREQ("abcdef", g.buf);
    EXPECT_TRUE(g.IntactFrom(7));
    Guarded full;
    std::memset(full.buf, 'x', 10);  // unterminated within the count
    EXPECT_EQ(VG_E_TRUNCATED, SzAppendN(full.buf, 4, "y"));
    EXPECT_STREQ("xxxx", full.buf);
    wchar_t w[8];
    std::wmemset(w, L'#', 8);
    EXPECT_EQ(VG_E_TRUNCATED, WszCopyN(w, 3, L"abcd"));
    EXPECT_EQ(VG_E_TRUNCATED, WszAppendN(w, 4, L"de"));
    EXPECT_STREQ(L"abcd", w);
    EXPECT_EQ(L'#', w[5]);
    EXPECT_EQ(VG_E_POINTER, WszCopyN(w, 3, nullptr));
    EXPECT_EQ(0, w[0]);
}

TEST(Strings, ReplaceAnyAndBytes) {
    char path[] = "a\\b/c";
    EXPECT_EQ(S_OK, SzReplaceAny(path, "\\/", '_'));
    EXPECT_STREQ("a_b_c", path);
    EXPECT_EQ(VG_E_NOTFOUND, SzReplaceAny(path, "\\/", '_'));

    EXPECT_EQ(0xAF, HexPairToByte('a', 'F'));
    EXPECT_EQ(0x0F, HexPairToByte('g', 'F'));  // non-digits count as 0
    unsigned char dest[4] = {9, 9, 9, 9};
    EXPECT_EQ(FALSE, CopyBytes(dest, nullptr, 4));
    EXPECT_EQ(TRUE, CopyBytes(dest, "\1\2\3", 3));
    EXPECT_EQ(0, std::memcmp(dest, "\1\2\3\x09", 4));
}

}  // namespace
