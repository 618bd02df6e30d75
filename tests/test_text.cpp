// The library's text converters agree: the ANSI code page of the POSIX
// build, the registry file's UTF-16 and a settings file's mutex name write a
// text that is not Unicode (lone surrogate halves, values beyond U+10FFFF)
// by one rule, '?' for each such value.
#include <fstream>
#include <string>

#include "sharedcode/ini/inipath.h"
#include "sharedcode/platform/registry.h"
#include "sharedcode/platform/text.h"
#include "sharedcode/tsz.h"
#include "tests/test_env.h"

namespace {

// One text as UTF-16 units, as wide text (the same units where wchar_t has
// 16 bits; pairs joined where it has 32) and as the converters must give it.
struct Case {
    std::u16string utf16;
    std::wstring wide32;
    std::string utf8;
    std::u16string utf16Out;
};

const Case kCases[] = {
    {u"a\xD800" u"b", {L'a', wchar_t(0xD800), L'b'}, "a?b", u"a?b"},
    {u"\xDC00", {wchar_t(0xDC00)}, "?", u"?"},
    {u"\xDE00\xD83D", {wchar_t(0xDE00), wchar_t(0xD83D)}, "??", u"??"},
    {u"\xD83D\xDE00", {wchar_t(0x1F600)}, "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
    {u"\x00E9\x20AC", {wchar_t(0xE9), wchar_t(0x20AC)}, "\xC3\xA9\xE2\x82\xAC", u"\x00E9\x20AC"},
};

std::wstring Wide(const Case& c) {
    if (sizeof(wchar_t) == sizeof(char16_t)) return std::wstring(c.utf16.begin(), c.utf16.end());
    return c.wide32;
}

std::string MutexName(const std::wstring& path) {
    TSz<char> name("");
    EXPECT_EQ(S_OK, FileMutexName(path.c_str(), name));
    return name.Get();
}

class Text : public VgTestEnv {
protected:
    // The value "V" of key "K" after writing it into a UTF-16LE registry file.
    std::string RegistryValue(const std::u16string& value) {
        std::u16string file = u"\xFEFFWindows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"";
        file += value + u"\"\r\n";
        std::string bytes;
        for (char16_t u : file) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
        std::ofstream(m_registry, std::ios::binary) << bytes;
        plat::HKEY h = nullptr;
        if (plat::RegOpenKeyExA(plat::HkeyLocalMachine(), "K", 0, plat::kKeyRead, &h) != ERROR_SUCCESS) return "(no key)";
        std::string out(256, '\0');
        DWORD cb = static_cast<DWORD>(out.size()), type = 0;
        const LONG err = plat::RegQueryValueExA(h, "V", nullptr, &type, reinterpret_cast<BYTE*>(&out[0]), &cb);
        plat::RegCloseKey(h);
        out.resize(err == ERROR_SUCCESS && cb > 0 ? cb - 1 : 0);
        return out;
    }
};

TEST_F(Text, ConvertersWriteWhatIsNotUnicodeAlike) {
    for (const Case& c : kCases) {
        const std::wstring wide = Wide(c);
        const std::wstring expected(c.utf16Out.begin(), c.utf16Out.end());
        if (sizeof(wchar_t) == sizeof(char16_t) || c.utf16Out.size() == c.wide32.size()) {
            EXPECT_EQ(MutexName(expected), MutexName(wide)) << c.utf8;
        }
#if !defined(_WIN32)
        std::string ansi(16, '\0');
        const int cb = plat::WideToAnsi(wide.c_str(), static_cast<int>(wide.size()), &ansi[0], 16);
        ansi.resize(cb > 0 ? static_cast<size_t>(cb) : 0);
        EXPECT_EQ(c.utf8, ansi);
        EXPECT_EQ(c.utf8, RegistryValue(c.utf16));
#endif
    }
#if !defined(_WIN32)
    // Beyond U+10FFFF: no UTF-16 form, '?' as well.
    const wchar_t beyond[] = {wchar_t(0x110000), L'x', 0};
    char sz[8] = {};
    EXPECT_EQ(3, plat::WideToAnsi(beyond, -1, sz, sizeof(sz)));
    EXPECT_STREQ("?x", sz);
    EXPECT_EQ(MutexName(L"?x"), MutexName(beyond));
#endif
}

TEST(TextUnicode, Utf16PairsAndHalves) {
    const std::u16string s = u"\xD83D\xDE00\xD800" u"A\xDC00";
    size_t i = 0;
    EXPECT_EQ(U'\U0001F600', plat::NextUtf16(s.data(), s.size(), &i));
    EXPECT_EQ(2u, i);
    EXPECT_EQ(plat::kNotACharacter, plat::NextUtf16(s.data(), s.size(), &i));
    EXPECT_EQ(U'A', plat::NextUtf16(s.data(), s.size(), &i));
    EXPECT_EQ(plat::kNotACharacter, plat::NextUtf16(s.data(), s.size(), &i));
    EXPECT_EQ(s.size(), i);
    const std::u16string high = u"\xD800";  // a high half at the very end
    i = 0;
    EXPECT_EQ(plat::kNotACharacter, plat::NextUtf16(high.data(), high.size(), &i));
    char16_t au[2];
    ASSERT_EQ(2, plat::EncodeUtf16(U'\U0010FFFF', au));
    EXPECT_EQ(0xDBFF, au[0]);
    EXPECT_EQ(0xDFFF, au[1]);
}

}  // namespace
