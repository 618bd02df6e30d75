// Message texts: the library's catalogue, the system's texts, and what the
// caller gets when neither has one.
#include <algorithm>
#include <cstring>
#include <string>

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgformat.h"
#include "gtest/gtest.h"
#include "sharedcode/platform/module.h"
#include "tests/pe_image.h"

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

// Loads a module as data from a PE image holding a message table.
class ModuleTexts : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vgfmt.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        for (plat::HMODULE h : m_loaded) plat::FreeLibrary(h);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    plat::HMODULE Load(const std::string& name, const std::vector<std::pair<uint32_t, std::string>>& texts) {
        peimage::PeLayout layout;
        layout.wType = 11;  // RT_MESSAGETABLE
        layout.wName = 1;
        layout.payload = peimage::MessageTable(texts);
        std::vector<uint8_t> image = peimage::BuildPe(layout);
        std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        plat::HMODULE h = plat::LoadLibraryAsDataA(path.c_str());
        if (h) m_loaded.push_back(h);
        return h;
    }
    void Free(plat::HMODULE h) {
        plat::FreeLibrary(h);
        m_loaded.erase(std::find(m_loaded.begin(), m_loaded.end(), h));
    }
    std::string m_dir;
    std::vector<plat::HMODULE> m_loaded;
};

TEST_F(ModuleTexts, ALoadedResourceLibraryComesBeforeTheCatalogue) {
    plat::HMODULE h = Load("PNASRes.dll", {{0x41500009u, "Service starting (resource library)\r\n"}});
    ASSERT_NE(h, nullptr);
    VGHRESULT hr;
    EXPECT_EQ(Format(0x41500009u, &hr), "Service starting (resource library)");
    EXPECT_EQ(Format(0xC1500009u, &hr), "Vigilon Service starting") << "not in the library's table";
    Free(h);
    EXPECT_EQ(Format(0x41500009u, &hr), "Vigilon Service starting");
}

TEST_F(ModuleTexts, PreferredModuleFirstForBothKinds) {
    plat::HMODULE h = Load("other.dll", {{0x41500009u, "preferred text"}, {5, "preferred access text\r\n"}});
    ASSERT_NE(h, nullptr);
    char buf[128];
    EXPECT_EQ(HrFormatMessage(h, 0x41500009u, buf, sizeof(buf), nullptr, 0), 0);
    EXPECT_STREQ(buf, "preferred text");
    EXPECT_EQ(HrFormatMessage(h, 0x80070005u, buf, sizeof(buf), nullptr, 0), 0) << "by its low 16 bits";
    EXPECT_STREQ(buf, "preferred access text");
    EXPECT_EQ(HrFormatMessage(h, 0x80070002u, buf, sizeof(buf), nullptr, 0), 0);
    EXPECT_STREQ(buf, "The system cannot find the file specified.") << "then the system's table";
    // A module without a message table is passed over.
    EXPECT_EQ(HrVGFormatMessage(0x41500009u, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "Vigilon Service starting") << "only loaded as other.dll: not the resource library";
}

}  // namespace
