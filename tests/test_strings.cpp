// Bounded string routines: bounds, termination and results.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>

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
        for (; i < sizeof(buf); ++i)
            if (buf[i] != '#') return false;
        return true;
    }
};

HRESULT WFormat(wchar_t* dest, size_t cch, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    HRESULT hr = WszFormatV(dest, cch, fmt, args);
    va_end(args);
    return hr;
}

TEST(Strings, CopyAndFormatStayWithinTheSize) {
    struct {
        size_t cch;
        const char* want;
        HRESULT hr;
    } cases[] = {{9, "id-0042", S_OK}, {8, "id-0042", S_OK}, {7, "id-004", VG_E_TRUNCATED}, {1, "", VG_E_TRUNCATED}};
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
    Guarded g("old");
    EXPECT_EQ(VG_E_POINTER, SzCopyN(g.buf, 8, nullptr));
    EXPECT_STREQ("", g.buf);  // cleared before the source is checked
}

TEST(Strings, BadSizesLeaveDestinationUntouched) {
    for (size_t cch : {size_t{0}, size_t{0x80000000u}}) {
        Guarded g("keep");
        EXPECT_EQ(VG_E_INVALIDARG, SzCopy(g.buf, cch, "x"));
        EXPECT_EQ(VG_E_INVALIDARG, SzFormat(g.buf, cch, "%d", 5));
        EXPECT_EQ(VG_E_INVALIDARG, SzCopyN(g.buf, cch, "x"));
        EXPECT_STREQ("keep", g.buf);
        wchar_t w[4] = L"abc";
        EXPECT_EQ(VG_E_INVALIDARG, WFormat(w, cch, L"%d", 5));
        EXPECT_STREQ(L"abc", w);
    }
}

TEST(Strings, WideFormatCutsAtTheLastCharacter) {
    wchar_t buf[8];
    std::wmemset(buf, L'#', 8);
    EXPECT_EQ(S_OK, WFormat(buf, 4, L"%ls=%u", L"k", 7u));  // exactly fits
    EXPECT_STREQ(L"k=7", buf);
    EXPECT_EQ(L'#', buf[4]);

    std::wmemset(buf, L'#', 8);
    EXPECT_EQ(VG_E_TRUNCATED, WFormat(buf, 4, L"%ls=%u", L"key", 12345u));
    EXPECT_EQ(0, buf[3]);
    EXPECT_EQ(L'#', buf[4]);
}

TEST(Strings, SzAppend4096) {
    char buf[4096 + 1];
    buf[4096] = '#';
    std::memset(buf, 'x', 4090);
    buf[4090] = 0;
    EXPECT_EQ(VG_E_TRUNCATED, SzAppend4096(buf, "123456789"));
    EXPECT_STREQ("12345", buf + 4090);
    EXPECT_EQ(VG_E_TRUNCATED, SzAppend4096(buf, "z"));
    EXPECT_EQ(S_OK, SzAppend4096(buf, ""));
    EXPECT_EQ(4095u, std::strlen(buf));

    std::memset(buf, 'x', 4096);  // no terminator in the buffer
    EXPECT_EQ(VG_E_INVALIDARG, SzAppend4096(buf, "a"));
    EXPECT_EQ('#', buf[4096]);
}

TEST(Strings, CountedCopyAndAppendHoldCountPlusTerminator) {
    wchar_t w[8];
    std::wmemset(w, L'#', 8);
    EXPECT_EQ(VG_E_TRUNCATED, WszCopyN(w, 3, L"abcd"));
    EXPECT_STREQ(L"abc", w);
    EXPECT_EQ(L'#', w[4]);
    EXPECT_EQ(VG_E_POINTER, WszCopyN(w, 3, nullptr));
    EXPECT_EQ(0, w[0]);

    Guarded g("ab");
    EXPECT_EQ(S_OK, SzAppendN(g.buf, 5, "cde"));
    EXPECT_EQ(VG_E_TRUNCATED, SzAppendN(g.buf, 6, "fgh"));
    EXPECT_STREQ("abcdef", g.buf);
    EXPECT_TRUE(g.IntactFrom(7));
    EXPECT_EQ(VG_E_TRUNCATED, SzAppendN(g.buf, 6, "x"));
    EXPECT_STREQ("abcdef", g.buf);

    // Unterminated within the count: terminated at the count, never beyond.
    Guarded full;
    std::memset(full.buf, 'x', 10);
    EXPECT_EQ(VG_E_TRUNCATED, SzAppendN(full.buf, 4, "y"));
    EXPECT_STREQ("xxxx", full.buf);

    EXPECT_EQ(VG_E_POINTER, SzAppendN(nullptr, 4, "y"));
    EXPECT_EQ(VG_E_POINTER, SzAppendN(g.buf, 4, nullptr));
    EXPECT_EQ(VG_E_POINTER, WszAppendN(w, 3, nullptr));
    std::wmemset(w, L'#', 8);
    w[0] = L'a';
    w[1] = 0;
    EXPECT_EQ(VG_E_TRUNCATED, WszAppendN(w, 2, L"bc"));
    EXPECT_STREQ(L"ab", w);
    EXPECT_EQ(L'#', w[3]);
}

TEST(Strings, ReplaceAny) {
    char path[] = "a\\b\\c";
    EXPECT_EQ(S_OK, SzReplaceAny(path, "\\", '/'));
    EXPECT_STREQ("a/b/c", path);
    char plain[] = "abc";
    EXPECT_EQ(VG_E_NOTFOUND, SzReplaceAny(plain, "\\/", '_'));
    char empty[] = "";
    EXPECT_EQ(VG_E_NOTFOUND, SzReplaceAny(empty, "a", 'b'));
    EXPECT_EQ(S_OK, SzReplaceAny(nullptr, "a", 'b'));

    wchar_t wpath[] = L"x:y*z";
    EXPECT_EQ(S_OK, WszReplaceAny(wpath, L":*", L'_'));
    EXPECT_STREQ(L"x_y_z", wpath);
}

TEST(Strings, BytesAndHexPairs) {
    EXPECT_EQ(0x9A, HexPairToByte('9', 'A'));
    EXPECT_EQ(0xAF, HexPairToByte('a', 'F'));
    EXPECT_EQ(0x0F, HexPairToByte('g', 'F'));  // non-digits count as 0
    EXPECT_EQ(0x70, HexPairToByte('7', ' '));

    unsigned char dest[4] = {9, 9, 9, 9};
    const unsigned char src[4] = {1, 2, 3, 4};
    EXPECT_EQ(FALSE, CopyBytes(dest, nullptr, 4));
    EXPECT_EQ(FALSE, CopyBytes(dest, src, 0));
    EXPECT_EQ(TRUE, CopyBytes(dest, src, 3));
    EXPECT_EQ(0, std::memcmp(dest, "\1\2\3\x09", 4));
}

}  // namespace
