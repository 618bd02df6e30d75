// Message texts: the library's catalogue, the system's texts, and what the
// caller gets when neither has one.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgformat.h"
#include "gtest/gtest.h"
#include "sharedcode/platform/sysmsg.h"
#if !defined(_WIN32)
#include "sharedcode/platform/errno_posix.h"
#endif
#include "tests/pe_image.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT kNotFound = static_cast<VGHRESULT>(0x80070490u);
constexpr VGHRESULT kInvalidArg = static_cast<VGHRESULT>(0x80070057u);

std::string Format(VGDWORD code, VGHRESULT* phr, VGDWORD cch = 256) {
    char buf[512];
    std::memset(buf, 'x', sizeof(buf));
    *phr = HrVGFormatMessage(code, buf, cch);
    return buf;
}

// Catalogue texts (the low 16 bits are not tried again), system texts
// without their line break, inserts, and the bounds of the caller's buffer.
TEST(Format, CatalogueAndSystemTextsWithinTheBuffer) {
    const struct { VGDWORD code, cch; std::string text; VGHRESULT hr; } cases[] = {
        {0xC1500009u, 256, "Vigilon Service starting", 0},
        {0x81502103u, 256, "Refusing SMTP access: IP:%1", 0},  // the insert left as it stands
        {0x41500002u, 256, "", kNotFound},
        {0x80070005u, 256, SystemText(5), 0},
        {2, 256, SystemText(2), 0},
        {0x8007007Eu, 256, SystemText(126), 0},  // a resource library that is missing
        {0x80070FFFu, 256, "", kNotFound},
        {0x41500009u, 25, "Vigilon Service starting", 0},  // 24 characters and the terminator
        {0x41500009u, 24, "", kNotFound},
    };
    for (const auto& c : cases) {
        VGHRESULT hr;
        EXPECT_EQ(Format(c.code, &hr, c.cch), c.text) << std::hex << c.code;
        EXPECT_EQ(hr, c.hr) << std::hex << c.code;
    }
    EXPECT_EQ(HrVGFormatMessage(0x41500009u, nullptr, 256), kInvalidArg);
    char one = 'x';
    EXPECT_EQ(HrVGFormatMessage(0x41500009u, &one, 0), kNotFound);
    EXPECT_EQ(one, 'x') << "nothing written without room";

    char buf[64];
    const char* inserts[] = {"10.0.0.7"};
    EXPECT_EQ(HrFormatMessage(nullptr, 0x41502103u, buf, sizeof(buf), inserts, 1), 0);
    EXPECT_STREQ(buf, "Refusing SMTP access: IP:10.0.0.7");
    // An insert that does not fit fails like a text that does not fit.
    EXPECT_EQ(HrFormatMessage(nullptr, 0x41502103u, buf, 30, inserts, 1), kNotFound);
    EXPECT_STREQ(buf, "");
}

#if !defined(_WIN32)
// Every code the POSIX platform layer sets has a system text: whatever errno
// a call meets, and every named code (the calls' own errno rules give named
// codes only).
TEST(Format, EveryCodeOfThePlatformLayerHasASystemText) {
    char buf[512];
    const auto hasText = [&buf](DWORD code) { return plat::FormatSystemMessageA(code, buf, sizeof(buf)) > 0; };
    for (int e = 0; e < 200; ++e) {
        EXPECT_TRUE(hasText(plat::Win32FromErrno(e))) << "errno " << e;
        EXPECT_TRUE(hasText(plat::Win32FromErrno(e, {}, ERROR_IO_DEVICE))) << "errno " << e;
    }
#define VG_WIN32_ERROR(dwCode, Name, szText) EXPECT_TRUE(hasText(Name)) << #Name;
#include "sharedcode/winerrors.inc"
#undef VG_WIN32_ERROR
}
#endif

TEST(Format, Classification) {
    EXPECT_TRUE(IsApplicationCode(0x01310000u));
    EXPECT_FALSE(IsApplicationCode(0x80070005u));
    EXPECT_FALSE(IsApplicationCode(0x02000000u));
    EXPECT_FALSE(IsApplicationCode(0x11500000u)) << "reserved bit set";
}

// Loads a module as data from a PE image holding a message table.
class ModuleTexts : public VgTestEnv {
protected:
    void TearDown() override {
        for (plat::HMODULE h : m_loaded) plat::FreeLibrary(h);
        VgTestEnv::TearDown();
    }
    // fProcess: loaded as the process's own module, which the formatter finds
    // by name; otherwise as data.
    plat::HMODULE Load(const std::string& name, const std::vector<std::pair<uint32_t, std::string>>& texts,
                       bool fProcess = false) {
        peimage::PeLayout layout;
        layout.fPe32Plus = sizeof(void*) == 8;
        layout.wType = 11;  // RT_MESSAGETABLE
        layout.wName = 1;
        layout.payload = peimage::MessageTable(texts);
        std::vector<uint8_t> image = peimage::BuildPe(layout);
        std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        plat::HMODULE h = fProcess ? LoadModule(path) : plat::LoadLibraryAsDataA(path.c_str());
        if (h) m_loaded.push_back(h);
        return h;
    }
    void Free(plat::HMODULE h) {
        plat::FreeLibrary(h);
        m_loaded.erase(std::find(m_loaded.begin(), m_loaded.end(), h));
    }
    std::vector<plat::HMODULE> m_loaded;
};

// The preferred module first for both kinds of code; then, for application
// codes, a loaded resource library, then the catalogue.
TEST_F(ModuleTexts, PreferredModuleThenResourceLibraryThenCatalogue) {
    plat::HMODULE hOther = Load("other.dll", {{0x41500009u, "preferred text"}, {5, "preferred access text\r\n"}});
    ASSERT_NE(hOther, nullptr);
    char buf[128];
    EXPECT_EQ(HrFormatMessage(hOther, 0x41500009u, buf, sizeof(buf), nullptr, 0), 0);
    EXPECT_STREQ(buf, "preferred text");
    EXPECT_EQ(HrFormatMessage(hOther, 0x80070005u, buf, sizeof(buf), nullptr, 0), 0) << "by its low 16 bits";
    EXPECT_STREQ(buf, "preferred access text");
    EXPECT_EQ(HrFormatMessage(hOther, 0x80070002u, buf, sizeof(buf), nullptr, 0), 0);
    EXPECT_EQ(buf, SystemText(2)) << "then the system's table";
    VGHRESULT hr;
    EXPECT_EQ(Format(0x41500009u, &hr), "Vigilon Service starting") << "other.dll is not the resource library";

    plat::HMODULE hRes = Load("PNASRes.dll", {{0x41500009u, "Service starting (resource library)\r\n"}}, true);
    ASSERT_NE(hRes, nullptr);
    EXPECT_EQ(Format(0x41500009u, &hr), "Service starting (resource library)");
    EXPECT_EQ(Format(0xC1500009u, &hr), "Vigilon Service starting") << "not in the library's table";
    Free(hRes);
    EXPECT_EQ(Format(0x41500009u, &hr), "Vigilon Service starting");
}

}  // namespace
