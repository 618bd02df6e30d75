// The typed configuration accessors against the fake service: request
// layout, value placement, silent cuts, and what a Get stores.
#include <cstring>
#include <functional>
#include <string>

#include "VGClient/vgwire.h"
#include "tests/mgmt_test.h"

namespace {

constexpr VGHRESULT Hr(uint32_t v) { return static_cast<VGHRESULT>(v); }
constexpr VGHRESULT kEFail = Hr(0x80004005u), kMissingArg = Hr(0x800700A0u);

const VGSESSIONID kId = {0xA1B2C3D4u, 0x1122, 0x3344, {9, 8, 7, 6, 5, 4, 3, 2}};

Bytes Padded(Bytes b, size_t cb) { return b.resize(cb), b; }

// A request's header, and its two names in zero-filled fields of 64.
void ExpectRequest(const Bytes& req, uint32_t cmd, size_t cb, const std::string& section, const std::string& key) {
    ExpectSessionHeader(req, cmd, cb, kId);
    EXPECT_TRUE(Bytes(&req[116], &req[180]) == Padded(Bytes(section.begin(), section.end()), 64)) << section;
    EXPECT_TRUE(Bytes(&req[180], &req[244]) == Padded(Bytes(key.begin(), key.end()), 64)) << key;
}

using Config = VgMgmtTest;

// Each write puts its value at the start of a zero value area and passes the
// service's status back as it is.
TEST_F(Config, WritesPlaceTheirValueAtTheStartOfAZeroValueArea) {
    struct Write { uint32_t command; Bytes value; std::function<VGHRESULT()> call; };
    const Write writes[] = {
        {VGCMD_CONFIGSETBYTE, {0xFF}, [] { return HrVGConfigSetBYTE(kId, "Sec", "Key", 0xFF, 0); }},
        {VGCMD_CONFIGSETBOOL, {2, 0, 0, 0}, [] { return HrVGConfigSetBOOL(kId, "Sec", "Key", 2, 0); }},
        {VGCMD_CONFIGSETWORD, {0xEF, 0xBE}, [] { return HrVGConfigSetWORD(kId, "Sec", "Key", 0xBEEF, 0); }},
        {VGCMD_CONFIGSETDWORD, {4, 3, 2, 1}, [] { return HrVGConfigSetDWORD(kId, "Sec", "Key", 0x01020304u, 0); }},
        {VGCMD_CONFIGSETSZ, {'a', ' ', 't'}, [] { return HrVGConfigSetSZ(kId, "Sec", "Key", "a t", 0); }},
        {VGCMD_CONFIGDELETE, {}, [] { return HrVGConfigDelete(kId, "Sec", "Key", 0); }},
    };
    for (VGHRESULT status : {Hr(0x00150002u), kEFail}) {
        Answer(status);
        for (const auto& w : writes) {
            EXPECT_EQ(w.call(), status) << w.command;
            const Bytes req = Last();
            ExpectRequest(req, w.command, 764, "Sec", "Key");
            EXPECT_TRUE(Bytes(req.begin() + 244, req.end()) == Padded(w.value, 520)) << w.command;
        }
    }
}

TEST_F(Config, LongNamesAndTextsAreCutAndStillSent) {
    Answer(0);
    const std::string s64(64, 's'), k70(70, 'k'), v600(600, 'v');
    EXPECT_EQ(HrVGConfigSetSZ(kId, s64.c_str(), k70.c_str(), v600.c_str(), 0), 0);
    ExpectRequest(Last(), VGCMD_CONFIGSETSZ, 764, std::string(63, 's'), std::string(63, 'k'));
    EXPECT_EQ(TextAt(Last(), 244, 520), std::string(519, 'v'));
    VGDWORD dw = 0;
    EXPECT_EQ(HrVGConfigGetDWORD(kId, s64.c_str(), "", &dw, 0), 0);
    ExpectRequest(Last(), VGCMD_CONFIGGETDWORD, 244, std::string(63, 's'), "");
}

TEST_F(Config, GetsStoreExactlyTheirWidthAndOnlyOnSuccess) {
    Answer(0x00150003, {0x11, 0x22, 0x33, 0x44, 0x55});
    uint8_t bytes[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(HrVGConfigGetBYTE(kId, "S", "K", &bytes[1], 0), 0x00150003);
    ExpectRequest(Last(), VGCMD_CONFIGGETBYTE, 244, "S", "K");
    EXPECT_TRUE(Bytes(bytes, bytes + 3) == (Bytes{0xEE, 0x11, 0xEE}));

    // A failure status or a failed exchange stores nothing.
    Answer(kEFail, {0x99, 0x99, 0x99, 0x99});
    VGDWORD dw = 7;
    EXPECT_EQ(HrVGConfigGetDWORD(kId, "S", "K", &dw, 0), kEFail);
    EXPECT_EQ(dw, 7u);
    char sz[8] = "keep";
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, sizeof(sz), 0), kEFail);
    EXPECT_STREQ(sz, "keep");
    m_service.reset();
    EXPECT_EQ(HrVGConfigGetBYTE(kId, "S", "K", &bytes[1], 0), Hr(0x80070002u));
    EXPECT_EQ(bytes[1], 0x11);
}

TEST_F(Config, GetSZReturnsTheResultOfItsCopy) {
    Answer(0x00150004, {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    char sz[16];
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, sizeof(sz), 0), 0);  // not the service's status
    ExpectRequest(Last(), VGCMD_CONFIGGETSZ, 244, "S", "K");
    EXPECT_STREQ(sz, "0123456789");
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, 4, 0), Hr(0x8007007Au));
    EXPECT_STREQ(sz, "012");

    // A value area without a terminator yields at most 519 characters.
    Answer(0, Bytes(520, 'x'));
    std::string big(600, '#');
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", &big[0], 600, 0), 0);
    EXPECT_EQ(std::string(big.c_str()), std::string(519, 'x'));
}

// One check of each helper's arguments; nothing is sent.
TEST_F(Config, RequiredPointersAreCheckedBeforeSending) {
    uint16_t w;
    char sz[4];
    EXPECT_EQ(HrVGConfigDelete(kId, nullptr, "K", 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetDWORD(kId, "S", nullptr, 1, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetSZ(kId, "S", "K", nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetWORD(kId, nullptr, "K", &w, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetWORD(kId, "S", "K", nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", nullptr, sz, 4, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", nullptr, 4, 0), kMissingArg);
    EXPECT_EQ(m_service->RequestCount(), 0u);
}

}  // namespace
