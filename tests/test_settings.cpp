// The named-setting exports, walked row by row from the settings table: each
// sends its typed command with its exact section and key texts and passes
// values through.
#include <cstring>
#include <set>
#include <string>

#include "VGClient/vgwire.h"
#include "tests/mgmt_test.h"

namespace {

constexpr VGHRESULT kStatus = 0x00150005;
const VGSESSIONID kId = {0x0BADF00Du, 0x5555, 0xAAAA, {1, 1, 2, 3, 5, 8, 13, 21}};

// What a Get returned and stored, the value as text. The service answers
// every Get with the value bytes "WXYZ"; a text is read into 3 characters.
struct Outcome { VGHRESULT hr; std::string value; };

template <typename T>
Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, T*, VGDWORD)) {
    T v = 0;
    const VGHRESULT hr = f(kId, &v, 0x77);
    return {hr, std::to_string(static_cast<uint32_t>(v))};
}
Outcome Get(VGHRESULT(VGAPI* f)(VGSESSIONID, char*, VGDWORD, VGDWORD)) {
    char sz[16] = {};
    const VGHRESULT hr = f(kId, sz, 3, 0x77);
    return {hr, sz};
}

// Sets 0xA5A5A5A5 cut to the type's width, or the text "value".
template <typename T>
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, T, VGDWORD)) {
    return f(kId, static_cast<T>(0xA5A5A5A5u), 0);
}
VGHRESULT Set(VGHRESULT(VGAPI* f)(VGSESSIONID, const char*, VGDWORD)) { return f(kId, "value", 0); }

struct TypeInfo {
    const char* name;
    uint32_t getCommand, setCommand;
    VGHRESULT getResult;
    std::string getValue;  // what Get stores from "WXYZ"
    uint32_t setWord;      // the value area's first word after Set
};

const TypeInfo kTypes[] = {
    {"BYTE", VGCMD_CONFIGGETBYTE, VGCMD_CONFIGSETBYTE, kStatus, "87", 0xA5},
    {"BOOL", VGCMD_CONFIGGETBOOL, VGCMD_CONFIGSETBOOL, kStatus, "1515804759", 0xA5A5A5A5u},
    {"WORD", VGCMD_CONFIGGETWORD, VGCMD_CONFIGSETWORD, kStatus, "22615", 0xA5A5},
    {"DWORD", VGCMD_CONFIGGETDWORD, VGCMD_CONFIGSETDWORD, kStatus, "1515804759", 0xA5A5A5A5u},
    // The text's own copy decides the result: cut to "WX".
    {"SZ", VGCMD_CONFIGGETSZ, VGCMD_CONFIGSETSZ, static_cast<VGHRESULT>(0x8007007Au), "WX", 0x756C6176u},
};

struct Row {
    const char* section;
    const char* key;
    const char* type;
    const char* getter;
    const char* setter;  // null: get-only
    Outcome (*get)();
    VGHRESULT (*set)();
};

#define VG_SETTING(section, key, type, getter, setter) \
    {section, key, #type, #getter, #setter, [] { return Get(getter); }, [] { return Set(setter); }},
#define VG_SETTING_GETONLY(section, key, type, getter) \
    {section, key, #type, #getter, nullptr, [] { return Get(getter); }, nullptr},
const Row kRows[] = {
#include "VGClient/vgsettings.inc"
};
#undef VG_SETTING
#undef VG_SETTING_GETONLY

using Settings = VgMgmtTest;

TEST_F(Settings, EachExportSendsItsTypedCommandWithItsSectionAndKey) {
    Answer(kStatus, {'W', 'X', 'Y', 'Z'});
    std::set<std::string> keys;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.getter);
        // The export names follow the section and key; no key twice.
        EXPECT_TRUE(keys.insert(std::string(row.section) + "/" + row.key).second);
        EXPECT_EQ(row.getter, "HrVGGet" + std::string(row.section) + "_" + row.key);
        const TypeInfo* type = nullptr;
        for (const TypeInfo& t : kTypes)
            if (std::strcmp(t.name, row.type) == 0) type = &t;
        ASSERT_NE(type, nullptr);

        const Outcome got = row.get();
        EXPECT_EQ(got.hr, type->getResult);
        EXPECT_EQ(got.value, type->getValue);
        Bytes req = Last();
        ExpectSessionHeader(req, type->getCommand, 244, kId);
        EXPECT_EQ(TextAt(req, 116, 64), row.section);
        EXPECT_EQ(TextAt(req, 180, 64), row.key);
        if (!row.set) continue;
        EXPECT_EQ(row.setter, "HrVGSet" + std::string(row.section) + "_" + row.key);
        EXPECT_EQ(row.set(), kStatus);
        req = Last();
        ExpectSessionHeader(req, type->setCommand, 764, kId);
        EXPECT_EQ(TextAt(req, 116, 64), row.section);
        EXPECT_EQ(TextAt(req, 180, 64), row.key);
        EXPECT_EQ(U32At(req, 244), type->setWord);
    }
    EXPECT_EQ(HrVGGetAuthFail_IPV4AggBits(kId, nullptr, 0), static_cast<VGHRESULT>(0x800700A0u));
}

}  // namespace
