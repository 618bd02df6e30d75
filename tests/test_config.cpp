// The typed configuration accessors against the fake service: request
// layout, value placement, silent cuts, and what a Get stores.
#include <cstring>
#include <string>

#include "VGClient/VAVarive32.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT kNoPipe = static_cast<VGHRESULT>(0x80070002u);
constexpr VGHRESULT kMissingArg = static_cast<VGHRESULT>(0x800700A0u);
constexpr VGHRESULT kTruncated = static_cast<VGHRESULT>(0x8007007Au);
constexpr VGHRESULT kInvalidArg = static_cast<VGHRESULT>(0x80070057u);
constexpr VGHRESULT kEFail = static_cast<VGHRESULT>(0x80004005u);

const VGSESSIONID kId = {0xA1B2C3D4u, 0x1122, 0x3344, {9, 8, 7, 6, 5, 4, 3, 2}};

bool ZeroRange(const Bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (b[i]) return false;
    return true;
}

class Config : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
        Answer(0, Bytes());
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    // Every reply: the status, then value bytes at offset 12, cut to the
    // command's reply size.
    void Answer(int32_t hrStatus, Bytes value) {
        m_service->SetHandler([hrStatus, value](const Bytes& req) {
            FakeAction a;
            a.reply.assign(12, 0);
            std::memcpy(&a.reply[8], &hrStatus, 4);
            a.reply.insert(a.reply.end(), value.begin(), value.end());
            a.reply.resize(ReplySize(U32At(req, 4)), 0);
            return a;
        });
    }
    Bytes Last() {
        auto r = m_service->Requests();
        return r.empty() ? Bytes(764) : r.back();
    }
    std::unique_ptr<FakeService> m_service;
};

// Header, session id and the two names of a request.
void ExpectRequest(const Bytes& req, uint32_t cmd, size_t cb, const char* section, const char* key) {
    ASSERT_EQ(req.size(), cb);
    EXPECT_EQ(U32At(req, 0), cb);
    EXPECT_EQ(U32At(req, 4), cmd);
    EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION);
    EXPECT_EQ(std::memcmp(&req[84], &kId, 16), 0);
    EXPECT_TRUE(ZeroRange(req, 100, 116));
    EXPECT_EQ(TextAt(req, 116, 64), section);
    EXPECT_TRUE(ZeroRange(req, 116 + std::strlen(section), 180));
    EXPECT_EQ(TextAt(req, 180, 64), key);
    EXPECT_TRUE(ZeroRange(req, 180 + std::strlen(key), 244));
}

TEST_F(Config, SetsPlaceTheirValueAtTheStartOfAZeroValueArea) {
    Answer(0x00150002, Bytes());  // a success code other than S_OK comes back as it is
    EXPECT_EQ(HrVGConfigSetBYTE(kId, "Sec", "Byte", 0xFF, 0), 0x00150002);
    EXPECT_EQ(U32At(Last(), 244), 0xFFu);
    ExpectRequest(Last(), VGCMD_CONFIGSETBYTE, 764, "Sec", "Byte");
    EXPECT_TRUE(ZeroRange(Last(), 248, 764));

    EXPECT_EQ(HrVGConfigSetBOOL(kId, "Sec", "Bool", 2, 0), 0x00150002);  // not folded to 1
    ExpectRequest(Last(), VGCMD_CONFIGSETBOOL, 764, "Sec", "Bool");
    EXPECT_EQ(U32At(Last(), 244), 2u);

    EXPECT_EQ(HrVGConfigSetWORD(kId, "Sec", "Word", 0xBEEF, 0), 0x00150002);
    ExpectRequest(Last(), VGCMD_CONFIGSETWORD, 764, "Sec", "Word");
    EXPECT_EQ(U32At(Last(), 244), 0xBEEFu);

    EXPECT_EQ(HrVGConfigSetDWORD(kId, "Sec", "Dword", 0xDEADBEEFu, 0), 0x00150002);
    ExpectRequest(Last(), VGCMD_CONFIGSETDWORD, 764, "Sec", "Dword");
    EXPECT_EQ(U32At(Last(), 244), 0xDEADBEEFu);
    EXPECT_TRUE(ZeroRange(Last(), 248, 764));

    EXPECT_EQ(HrVGConfigSetSZ(kId, "Sec", "Text", "a text", 0), 0x00150002);
    ExpectRequest(Last(), VGCMD_CONFIGSETSZ, 764, "Sec", "Text");
    EXPECT_EQ(TextAt(Last(), 244, 520), "a text");
    EXPECT_TRUE(ZeroRange(Last(), 250, 764));

    Answer(kEFail, Bytes());
    EXPECT_EQ(HrVGConfigDelete(kId, "Sec", "Gone", 0), kEFail);
    ExpectRequest(Last(), VGCMD_CONFIGDELETE, 764, "Sec", "Gone");
    EXPECT_TRUE(ZeroRange(Last(), 244, 764));
    EXPECT_EQ(m_service->RequestCount(), 6u);
}

TEST_F(Config, LongNamesAndTextsAreCutAndStillSent) {
    const std::string s64(64, 's'), k70(70, 'k'), v600(600, 'v');
    EXPECT_EQ(HrVGConfigSetSZ(kId, s64.c_str(), k70.c_str(), v600.c_str(), 0), 0);
    ExpectRequest(Last(), VGCMD_CONFIGSETSZ, 764, std::string(63, 's').c_str(), std::string(63, 'k').c_str());
    EXPECT_EQ(TextAt(Last(), 244, 520), std::string(519, 'v'));
    EXPECT_EQ(Last()[763], 0);

    VGDWORD dw = 0;
    EXPECT_EQ(HrVGConfigGetDWORD(kId, s64.c_str(), "", &dw, 0), 0);
    ExpectRequest(Last(), VGCMD_CONFIGGETDWORD, 244, std::string(63, 's').c_str(), "");
}

TEST_F(Config, GetsStoreExactlyTheirWidthAndOnlyOnSuccess) {
    Answer(0x00150003, Bytes{0x11, 0x22, 0x33, 0x44, 0x55});
    struct {
        uint8_t before;
        uint8_t b;
        uint8_t after[3];
    } byteBox = {0xEE, 0xEE, {0xEE, 0xEE, 0xEE}};
    EXPECT_EQ(HrVGConfigGetBYTE(kId, "S", "K", &byteBox.b, 0), 0x00150003);
    ExpectRequest(Last(), VGCMD_CONFIGGETBYTE, 244, "S", "K");
    EXPECT_EQ(byteBox.b, 0x11);
    EXPECT_EQ(byteBox.before, 0xEE);
    EXPECT_EQ(byteBox.after[0], 0xEE);

    uint16_t words[2] = {0xEEEE, 0xEEEE};
    EXPECT_EQ(HrVGConfigGetWORD(kId, "S", "K", &words[0], 0), 0x00150003);
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_CONFIGGETWORD));
    EXPECT_EQ(words[0], 0x2211);
    EXPECT_EQ(words[1], 0xEEEE);

    VGBOOL f = 0;
    EXPECT_EQ(HrVGConfigGetBOOL(kId, "S", "K", &f, 0), 0x00150003);
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_CONFIGGETBOOL));
    EXPECT_EQ(static_cast<uint32_t>(f), 0x44332211u);
    VGDWORD dw = 0;
    EXPECT_EQ(HrVGConfigGetDWORD(kId, "S", "K", &dw, 0), 0x00150003);
    EXPECT_EQ(dw, 0x44332211u);

    // A failure status or a failed exchange stores nothing.
    Answer(kEFail, Bytes{0x99, 0x99, 0x99, 0x99});
    dw = 7;
    EXPECT_EQ(HrVGConfigGetDWORD(kId, "S", "K", &dw, 0), kEFail);
    EXPECT_EQ(dw, 7u);
    char sz[8] = "keep";
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, sizeof(sz), 0), kEFail);
    EXPECT_STREQ(sz, "keep");
    m_service.reset();
    EXPECT_EQ(HrVGConfigGetBYTE(kId, "S", "K", &byteBox.b, 0), kNoPipe);
    EXPECT_EQ(byteBox.b, 0x11);
}

TEST_F(Config, GetSZReturnsTheResultOfItsCopy) {
    Answer(0x00150004, Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    char sz[16];
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, sizeof(sz), 0), 0);  // not the service's status
    ExpectRequest(Last(), VGCMD_CONFIGGETSZ, 244, "S", "K");
    EXPECT_STREQ(sz, "0123456789");
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, 4, 0), kTruncated);
    EXPECT_STREQ(sz, "012");
    std::memcpy(sz, "untouched", 10);
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, 0, 0), kInvalidArg);
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", sz, 0x80000000u, 0), kInvalidArg);
    EXPECT_STREQ(sz, "untouched");

    // A value area without a terminator yields at most 519 characters.
    Answer(0, Bytes(520, 'x'));
    std::string big(600, '#');
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", &big[0], 600, 0), 0);
    EXPECT_EQ(std::string(big.c_str()), std::string(519, 'x'));
}

TEST_F(Config, RequiredPointersAreCheckedBeforeSending) {
    uint8_t b;
    VGBOOL f;
    char sz[4];
    EXPECT_EQ(HrVGConfigDelete(kId, nullptr, "K", 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetBYTE(kId, "S", nullptr, 1, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetBOOL(kId, nullptr, nullptr, 1, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetWORD(kId, nullptr, "K", 1, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetDWORD(kId, "S", nullptr, 1, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigSetSZ(kId, "S", "K", nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetBYTE(kId, nullptr, "K", &b, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetBOOL(kId, "S", nullptr, &f, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetWORD(kId, "S", "K", nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetDWORD(kId, "S", "K", nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetSZ(kId, "S", "K", nullptr, 4, 0), kMissingArg);
    EXPECT_EQ(HrVGConfigGetSZ(kId, nullptr, "K", sz, 4, 0), kMissingArg);
    EXPECT_EQ(m_service->RequestCount(), 0u);
}

}  // namespace
