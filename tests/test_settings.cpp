// The named-setting exports, walked row by row from the settings table: each
// sends its typed command with its exact section and key texts and passes
// values through.
#include <cstring>
#include <set>
#include <string>

#include "VGClient/VAVarive32.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT kStatus = 0x00150005;
const VGSESSIONID kId = {0x0BADF00Du, 0x5555, 0xAAAA, {1, 1, 2, 3, 5, 8, 13, 21}};

// The service answers every Get with the value bytes "WXYZ".
const uint32_t kReplyWord = 0x5A595857u;

// What a call sent back: its result and the value it stored, as text.
struct Outcome {
    VGHRESULT hr;
    std::string value;
};

Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, uint8_t*, VGDWORD), VGSESSIONID id) {
    uint8_t v = 0;
    const VGHRESULT hr = f(id, &v, 0x77);
    return {hr, std::to_string(v)};
}
Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, VGBOOL*, VGDWORD), VGSESSIONID id) {
    VGBOOL v = 0;
    const VGHRESULT hr = f(id, &v, 0x77);
    return {hr, std::to_string(static_cast<uint32_t>(v))};
}
Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, uint16_t*, VGDWORD), VGSESSIONID id) {
    uint16_t v = 0;
    const VGHRESULT hr = f(id, &v, 0x77);
    return {hr, std::to_string(v)};
}
Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, VGDWORD*, VGDWORD), VGSESSIONID id) {
    VGDWORD v = 0;
    const VGHRESULT hr = f(id, &v, 0x77);
    return {hr, std::to_string(v)};
}
Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, char*, VGDWORD, VGDWORD), VGSESSIONID id) {
    char sz[16] = {};
    const VGHRESULT hr = f(id, sz, sizeof(sz), 0x77);
    return {hr, sz};
}

// Sets the value each type's row expects to find in the request.
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, uint8_t, VGDWORD), VGSESSIONID id) { return f(id, 0xA5, 0); }
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, VGBOOL, VGDWORD), VGSESSIONID id) { return f(id, 3, 0); }
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, uint16_t, VGDWORD), VGSESSIONID id) { return f(id, 0xA5A5, 0); }
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, VGDWORD, VGDWORD), VGSESSIONID id) { return f(id, 0xA5A5A5A5u, 0); }
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, const char*, VGDWORD), VGSESSIONID id) { return f(id, "value", 0); }

struct TypeInfo {
    const char* name;
    uint32_t setCommand, getCommand;
    uint32_t setWord;        // the value area's first word after Set
    std::string getValue;    // what Get stores from "WXYZ"
};

const TypeInfo kTypes[] = {
    {"BYTE", VGCMD_CONFIGSETBYTE, VGCMD_CONFIGGETBYTE, 0xA5, std::to_string(kReplyWord & 0xFF)},
    {"BOOL", VGCMD_CONFIGSETBOOL, VGCMD_CONFIGGETBOOL, 3, std::to_string(kReplyWord)},
    {"WORD", VGCMD_CONFIGSETWORD, VGCMD_CONFIGGETWORD, 0xA5A5, std::to_string(kReplyWord & 0xFFFF)},
    {"DWORD", VGCMD_CONFIGSETDWORD, VGCMD_CONFIGGETDWORD, 0xA5A5A5A5u, std::to_string(kReplyWord)},
    {"SZ", VGCMD_CONFIGSETSZ, VGCMD_CONFIGGETSZ, 0x756C6176u /* "valu" */, "WXYZ"},
};

struct Row {
    const char* section;
    const char* key;
    const char* type;
    const char* getter;
    const char* setter;  // null: get-only
    Outcome (*get)(VGSESSIONID);
    VGHRESULT (*set)(VGSESSIONID);
};

#define VG_SETTING(section, key, type, getter, setter)                      \
    {section, key, #type, #getter, #setter,                                 \
     [](VGSESSIONID id) { return Get(getter, id); },                        \
     [](VGSESSIONID id) { return Set(setter, id); }},
#define VG_SETTING_GETONLY(section, key, type, getter) \
    {section, key, #type, #getter, nullptr, [](VGSESSIONID id) { return Get(getter, id); }, nullptr},
const Row kRows[] = {
#include "VGClient/vgsettings.inc"
};
#undef VG_SETTING
#undef VG_SETTING_GETONLY

const TypeInfo* TypeOf(const Row& row) {
    for (const TypeInfo& t : kTypes)
        if (std::strcmp(t.name, row.type) == 0) return &t;
    return nullptr;
}

class Settings : public VgServiceTest {
protected:
    void SetUp() override {
        VgServiceTest::SetUp();
        m_mgmt.reset(new FakeService(VG_MANAGEMENT_PIPE));
        m_mgmt->SetHandler([](const Bytes& req) {
            FakeAction a;
            a.reply.assign(ReplySize(U32At(req, 4)), 0);
            std::memcpy(&a.reply[8], &kStatus, 4);
            if (a.reply.size() > 12) std::memcpy(&a.reply[12], "WXYZ", 4);
            return a;
        });
    }
    void TearDown() override {
        m_mgmt.reset();
        VgServiceTest::TearDown();
    }
    Bytes Last() {
        auto r = m_mgmt->Requests();
        return r.empty() ? Bytes(764) : r.back();
    }
    std::unique_ptr<FakeService> m_mgmt;
};

TEST_F(Settings, TheTableHoldsEveryKeyOnceWithItsExportNames) {
    std::set<std::string> sections, keys;
    size_t cSetters = 0;
    for (const Row& row : kRows) {
        sections.insert(row.section);
        EXPECT_TRUE(keys.insert(std::string(row.section) + "/" + row.key).second) << row.key;
        EXPECT_NE(TypeOf(row), nullptr) << row.getter;
        EXPECT_EQ(row.getter, "HrVGGet" + std::string(row.section) + "_" + row.key);
        if (row.setter) {
            ++cSetters;
            EXPECT_EQ(row.setter, "HrVGSet" + std::string(row.section) + "_" + row.key);
        } else {
            EXPECT_EQ(std::string(row.getter), "HrVGGetSupport_LatestLogFile");
        }
    }
    EXPECT_EQ(sizeof(kRows) / sizeof(kRows[0]), 127u);
    EXPECT_EQ(cSetters, 126u);
    EXPECT_EQ(sections.size(), 19u);
}

TEST_F(Settings, EachExportSendsItsTypedCommandWithItsSectionAndKey) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.getter);
        const TypeInfo* type = TypeOf(row);
        ASSERT_NE(type, nullptr);

        const Outcome got = row.get(kId);
        EXPECT_EQ(got.hr, std::strcmp(row.type, "SZ") == 0 ? 0 : kStatus);
        EXPECT_EQ(got.value, type->getValue);
        Bytes req = Last();
        ASSERT_EQ(req.size(), 244u);
        EXPECT_EQ(U32At(req, 0), 244u);
        EXPECT_EQ(U32At(req, 4), type->getCommand);
        EXPECT_EQ(std::memcmp(&req[84], &kId, 16), 0);
        EXPECT_EQ(TextAt(req, 116, 64), row.section);
        EXPECT_EQ(TextAt(req, 180, 64), row.key);

        if (!row.set) continue;
        EXPECT_EQ(row.set(kId), kStatus);
        req = Last();
        ASSERT_EQ(req.size(), 764u);
        EXPECT_EQ(U32At(req, 4), type->setCommand);
        EXPECT_EQ(std::memcmp(&req[84], &kId, 16), 0);
        EXPECT_EQ(TextAt(req, 116, 64), row.section);
        EXPECT_EQ(TextAt(req, 180, 64), row.key);
        EXPECT_EQ(U32At(req, 244), type->setWord);
    }
    EXPECT_EQ(m_mgmt->RequestCount(), 253u);
    EXPECT_EQ(m_service->RequestCount(), 0u);  // nothing on the screening pipe
}

TEST_F(Settings, ForwardersAreTheAccessorsWithFixedNames) {
    EXPECT_EQ(HrVGSetSystem_Enable(kId, 2, 0), kStatus);
    EXPECT_EQ(HrVGConfigSetBOOL(kId, "System", "Enable", 2, 0), kStatus);
    auto reqs = m_mgmt->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], reqs[1]);

    char sz[3];
    EXPECT_EQ(HrVGGetNotify_DefaultAddress(kId, sz, sizeof(sz), 0), static_cast<VGHRESULT>(0x8007007Au));
    EXPECT_STREQ(sz, "WX");
    uint8_t bits = 0;
    EXPECT_EQ(HrVGGetAuthFail_IPV4AggBits(kId, nullptr, 0), static_cast<VGHRESULT>(0x800700A0u));
    EXPECT_EQ(HrVGGetAuthFail_IPV4AggBits(kId, &bits, 0), kStatus);
    EXPECT_EQ(bits, 'W');
}

}  // namespace
