// Message texts: the library's catalogue, the system's texts, and what the
// caller gets when neither has one.
#include <cstring>
#include <string>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgformat.h"
#include "gtest/gtest.h"

namespace {

constexpr VGHRESULT kNotFound = static_cast<VGHRESULT>(0x80070490u);
constexpr VGHRESULT kInvalidArg = static_cast<VGHRESULT>(0x80070057u);

std::string Format(VGDWORD code, VGHRESULT* phr, VGDWORD cch = 256) {
    char buf[512];
    std::memset(buf, 'x', sizeof(buf));
    *phr = HrVGFormatMessage(code, buf, cch);
    return buf;
}

TEST(Format, CatalogueTextsAtEverySeverity) {
    VGHRESULT hr;
    for (VGDWORD sev : {0x40000000u, 0x80000000u, 0xC0000000u}) {
        EXPECT_EQ(Format(sev | 0x01500009u, &hr), "Vigilon Service starting");
        EXPECT_EQ(hr, 0);
        // A family member, its insert left as it stands.
        EXPECT_EQ(Format(sev | 0x01502103u, &hr), "Refusing SMTP access: IP:%1");
        EXPECT_EQ(hr, 0);
    }
    // Not in the catalogue: not retried with the low 16 bits.
    EXPECT_EQ(Format(0x41500002u, &hr), "");
    EXPECT_EQ(hr, kNotFound);
}

TEST(Format, SystemTextsWithoutTheirLineBreak) {
    VGHRESULT hr;
    EXPECT_EQ(Format(0x80070005u, &hr), "Access is denied.");
    EXPECT_EQ(hr, 0);
    EXPECT_EQ(Format(2, &hr), "The system cannot find the file specified.");
    EXPECT_EQ(Format(0, &hr), "The operation completed successfully.");
    EXPECT_EQ(Format(0x800700E7u, &hr), "All pipe instances are busy.");
    EXPECT_EQ(Format(0x80070FFFu, &hr), "");
    EXPECT_EQ(hr, kNotFound);
}

TEST(Format, BufferBounds) {
    VGHRESULT hr;
    // "Vigilon Service starting" is 24 characters: 25 with the terminator.
    EXPECT_EQ(Format(0x41500009u, &hr, 25), "Vigilon Service starting");
    EXPECT_EQ(hr, 0);
    EXPECT_EQ(Format(0x41500009u, &hr, 24), "");
    EXPECT_EQ(hr, kNotFound);
    EXPECT_EQ(HrVGFormatMessage(0x41500009u, nullptr, 256), kInvalidArg);
    char one = 'x';
    EXPECT_EQ(HrVGFormatMessage(0x41500009u, &one, 0), kNotFound);
    EXPECT_EQ(one, 'x') << "nothing written without room";
}

TEST(Format, InsertsAreFilledWhenGiven) {
    char buf[64];
    const char* inserts[] = {"10.0.0.7"};
    EXPECT_EQ(HrFormatMessage(nullptr, 0x41502103u, buf, sizeof(buf), inserts, 1), 0);
    EXPECT_STREQ(buf, "Refusing SMTP access: IP:10.0.0.7");
    // An insert that does not fit fails like a text that does not fit.
    EXPECT_EQ(HrFormatMessage(nullptr, 0x41502103u, buf, 30, inserts, 1), kNotFound);
    EXPECT_STREQ(buf, "");
}

TEST(Format, Classification) {
    EXPECT_TRUE(IsApplicationCode(0xC1500009u));
    EXPECT_TRUE(IsApplicationCode(0x01310000u));
    EXPECT_FALSE(IsApplicationCode(0x80070005u));
    EXPECT_FALSE(IsApplicationCode(0x02000000u));
    EXPECT_FALSE(IsApplicationCode(0x11500000u)) << "reserved bit set";
}

}  // namespace
