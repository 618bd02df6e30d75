// The screening exports against the fake service: the raw request bytes at
// their offsets, the reply presets, and what reaches the caller.
#include <cstring>
#include <string>

#include "VGClient/VAVarive32.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT kNoPipe = static_cast<VGHRESULT>(0x80070002u);
constexpr VGHRESULT kMissingArg = static_cast<VGHRESULT>(0x800700A0u);
constexpr VGHRESULT kBadSize = static_cast<VGHRESULT>(0x800705B6u);
constexpr VGHRESULT kTruncated = static_cast<VGHRESULT>(0x8007007Au);
constexpr VGHRESULT kInvalidArg = static_cast<VGHRESULT>(0x80070057u);
constexpr VGHRESULT kEFail = static_cast<VGHRESULT>(0x80004005u);

// The 12-byte reply header with a status.
Bytes Status(int32_t hr, size_t cb = 12) {
    Bytes b(cb, 0);
    uint32_t u = static_cast<uint32_t>(hr);
    std::memcpy(&b[8], &u, 4);
    return b;
}

void PutU32(Bytes& b, size_t off, uint32_t v) {
    if (b.size() < off + 4) b.resize(off + 4);
    std::memcpy(&b[off], &v, 4);
}

VGGEODATA GeoWithSize(uint32_t cb) {
    VGGEODATA g;
    std::memset(&g, 0xEE, sizeof(g));
    g.cbSize = cb;
    return g;
}

class Screening : public VgServiceTest {
protected:
    // Answers every request with reply, cut to the command's reply size.
    void Answer(Bytes reply) {
        m_service->SetHandler([reply](const Bytes& req) {
            FakeAction a;
            a.reply = reply;
            size_t cb = ReplySize(U32At(req, 4));
            if (a.reply.size() > cb) a.reply.resize(cb);
            return a;
        });
    }
    Bytes OnlyRequest() {
        auto r = m_service->Requests();
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? Bytes() : r[0];
    }
};

// Header fields shared by every request.
void ExpectHeader(const Bytes& req, uint32_t cmd, uint32_t cbSize, size_t cbSent) {
    ASSERT_EQ(req.size(), cbSent);
    EXPECT_EQ(U32At(req, 0), cbSize);
    EXPECT_EQ(U32At(req, 4), cmd);
    EXPECT_NE(U32At(req, 8), 0u);
    EXPECT_NE(U32At(req, 12), 0u);
    EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION);
    EXPECT_FALSE(TextAt(req, 20, 64).empty());
}

bool ZeroRange(const Bytes& b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (b[i]) return false;
    return true;
}

TEST_F(Screening, ListQueriesSendTheirCommandAndHandBackTheAnswer) {
    Bytes reply = Status(1, 16);
    PutU32(reply, 12, 7);
    Answer(reply);
    struct {
        VGHRESULT (*hr)(VGDWORD*, const char*, VGDWORD);
        uint32_t cmd;
    } calls[] = {{HrVGIsWhiteListed, 1}, {HrVGIsBlackListed, 2}, {HrVGIsTrusted, 3}};
    for (auto& c : calls) {
        VGDWORD answer = 0;
        EXPECT_EQ(c.hr(&answer, "10.1.2.3", 0xFFFF), 0);  // a positive status is not passed on
        EXPECT_EQ(answer, 7u);
    }
    EXPECT_EQ(VGIsWhiteListed("a", 0), 7u);
    EXPECT_EQ(VGIsBlackListed("a", 0, 0), 7u);
    EXPECT_EQ(VGIsTrusted("a", 0), 7u);

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 6u);
    uint32_t expectCmd[] = {1, 2, 3, 1, 2, 3};
    for (size_t i = 0; i < reqs.size(); ++i) {
        ExpectHeader(reqs[i], expectCmd[i], 148, 148);
        EXPECT_EQ(U32At(reqs[i], 140), 0u) << "dwService";
        EXPECT_EQ(U32At(reqs[i], 144), 0u) << "dwParam";
    }
    EXPECT_EQ(TextAt(reqs[0], 84, 56), "10.1.2.3");
    EXPECT_TRUE(ZeroRange(reqs[0], 84 + 8, 140)) << "text field zero behind the terminator";
}

TEST_F(Screening, ListQueryTextIsCutTo55Characters) {
    Answer(Status(0, 16));
    std::string ip55(55, '1'), ip60(60, '2');
    EXPECT_EQ(HrVGIsWhiteListed(nullptr, ip55.c_str(), 0), 0);
    EXPECT_EQ(HrVGIsWhiteListed(nullptr, ip60.c_str(), 0), 0);
    EXPECT_EQ(HrVGIsWhiteListed(nullptr, "", 0), 0);
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(TextAt(reqs[0], 84, 56), ip55);
    EXPECT_EQ(TextAt(reqs[1], 84, 56), ip60.substr(0, 55));
    EXPECT_EQ(reqs[1][139], 0);
    EXPECT_EQ(TextAt(reqs[2], 84, 56), "");
}

TEST_F(Screening, ListQueryStatusAndShortReplies) {
    // Negative status: returned, nothing stored; the twin answers 0.
    Bytes fail = Status(kEFail, 16);
    PutU32(fail, 12, 9);
    Answer(fail);
    VGDWORD answer = 0x55;
    EXPECT_EQ(HrVGIsBlackListed(&answer, "1.2.3.4", 0), kEFail);
    EXPECT_EQ(answer, 0x55u);
    EXPECT_EQ(VGIsBlackListed("1.2.3.4", 0, 0), 0u);

    // A 12-byte reply leaves the answer at its preset 0.
    Answer(Status(0));
    answer = 0x55;
    EXPECT_EQ(HrVGIsTrusted(&answer, "1.2.3.4", 0), 0);
    EXPECT_EQ(answer, 0u);
}

TEST_F(Screening, NullTextsAndRecordsAreRefusedWithoutSending) {
    VGGEODATA geo = GeoWithSize(232);
    VGDWORD v = 5;
    EXPECT_EQ(HrVGIsWhiteListed(&v, nullptr, 0), kMissingArg);
    EXPECT_EQ(VGIsTrusted(nullptr, 0), 0u);
    EXPECT_EQ(HrVGIsGeoBlocked(&v, nullptr, 1, nullptr, 0, 0), kMissingArg);
    EXPECT_EQ(HrVGIsGeoBlockedEx(&v, "1.1.1.1", 1, 0, nullptr, 0, nullptr), kMissingArg);
    EXPECT_EQ(VGIsGeoBlockedEx("1.1.1.1", 1, 0, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(HrVGGetGeoDataByIP(nullptr, 0, &geo), kMissingArg);
    EXPECT_EQ(HrVGGetGeoDataByID(1, 2, 3, 0, nullptr), kMissingArg);
    EXPECT_EQ(HrVGAllowIPConnection(&v, nullptr, 1, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGAllowConnection(&v, "1.1.1.1", 1, nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(VGAllowConnectionEx("1.1.1.1", 1, nullptr, nullptr, nullptr, 0, nullptr, 0), 1u);
    EXPECT_EQ(VGAllowIPConnection(nullptr, 1, nullptr, 0), 1u);
    EXPECT_EQ(HrVGProcessAuthSuccess(nullptr, "1.1.1.1", 1, 0), kMissingArg);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(m_service->RequestCount(), 0u);
}

TEST_F(Screening, GeoBlockedCopiesFlagTextAndRecord) {
    VGGEOBLOCKREPLYEX r;
    std::memset(&r, 0, sizeof(r));
    r.base.dwResult = 1;
    std::strcpy(r.base.szLocation, "Atlantis, Lost City!");  // 20 characters
    r.geoData.cbSize = 999;
    r.geoData.abData[0] = 0x42;
    Answer(FakeService::Of(r));

    VGDWORD blocked = 0;
    char text[10];
    EXPECT_EQ(HrVGIsGeoBlocked(&blocked, "9.9.9.9", 3, text, sizeof(text), 0), kTruncated);
    EXPECT_EQ(blocked, 1u);
    EXPECT_STREQ(text, "Atlantis,");

    char big[64];
    EXPECT_EQ(HrVGIsGeoBlocked(nullptr, "9.9.9.9", 3, big, sizeof(big), 0), 0);
    EXPECT_STREQ(big, "Atlantis, Lost City!");
    EXPECT_EQ(HrVGIsGeoBlocked(&blocked, "9.9.9.9", 3, nullptr, 40, 0), 0);
    EXPECT_EQ(HrVGIsGeoBlocked(&blocked, "9.9.9.9", 3, big, 0x80000000u, 0), kInvalidArg);
    EXPECT_EQ(VGIsGeoBlocked("9.9.9.9", 3, text, sizeof(text), 0), 1u);

    VGGEODATA geo = GeoWithSize(232);
    EXPECT_EQ(HrVGIsGeoBlockedEx(&blocked, "9.9.9.9", 4, 77, text, sizeof(text), &geo), kTruncated);
    EXPECT_EQ(geo.cbSize, 999u) << "the record is copied also when the text was cut";
    EXPECT_EQ(geo.abData[0], 0x42);

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 6u);
    ExpectHeader(reqs[0], 4, 148, 148);
    EXPECT_EQ(U32At(reqs[0], 140), 3u);
    EXPECT_EQ(U32At(reqs[0], 144), 0u);
    ExpectHeader(reqs[5], 5, 148, 148);
    EXPECT_EQ(U32At(reqs[5], 140), 4u);
    EXPECT_EQ(U32At(reqs[5], 144), 77u);
}

TEST_F(Screening, GeoBlockedExChecksTheRecordSizeBeforeSending) {
    Answer(Status(0, 376));
    VGGEODATA geo = GeoWithSize(0);
    VGDWORD blocked = 5;
    EXPECT_EQ(HrVGIsGeoBlockedEx(&blocked, "1.1.1.1", 1, 0, nullptr, 0, &geo), kBadSize);
    EXPECT_EQ(VGIsGeoBlockedEx("1.1.1.1", 1, 0, nullptr, 0, &geo), 0u);
    EXPECT_EQ(HrVGGetGeoDataByIP("1.1.1.1", 0, &geo), kBadSize);
    EXPECT_EQ(m_service->RequestCount(), 0u);
    EXPECT_EQ(blocked, 5u);
}

TEST_F(Screening, GeoQueriesFailWithStatusAndWriteNothing) {
    Answer(Status(kEFail, 376));
    VGGEODATA geo = GeoWithSize(232);
    char text[8] = "keep";
    VGDWORD blocked = 5;
    EXPECT_EQ(HrVGIsGeoBlockedEx(&blocked, "1.1.1.1", 1, 0, text, sizeof(text), &geo), kEFail);
    EXPECT_EQ(VGIsGeoBlocked("1.1.1.1", 1, text, sizeof(text), 0), 0u);
    EXPECT_EQ(HrVGGetGeoDataByID(1, 2, 3, 4, &geo), kEFail);
    EXPECT_EQ(blocked, 5u);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(geo.abData[0], 0xEE);
}

TEST_F(Screening, GeoDataQueriesByAddressAndIdentifier) {
    // A 16-byte reply: the caller's record becomes the preset.
    Answer(Status(0, 16));
    VGGEODATA geo = GeoWithSize(232);
    EXPECT_EQ(HrVGGetGeoDataByIP("8.8.4.4", 11, &geo), 0);
    VGGEODATA preset;
    std::memset(&preset, 0, sizeof(preset));
    preset.cbSize = 232;
    EXPECT_EQ(std::memcmp(&geo, &preset, sizeof(geo)), 0);

    geo = GeoWithSize(232);
    EXPECT_EQ(HrVGGetGeoDataByID(0x10, 0x20, 0x30, 12, &geo), 0);

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    ExpectHeader(reqs[0], 12, 156, 156);
    EXPECT_TRUE(ZeroRange(reqs[0], 84, 96));
    EXPECT_EQ(TextAt(reqs[0], 96, 56), "8.8.4.4");
    EXPECT_EQ(U32At(reqs[0], 152), 11u);
    ExpectHeader(reqs[1], 12, 156, 156);
    EXPECT_EQ(U32At(reqs[1], 84), 0x10u);
    EXPECT_EQ(U32At(reqs[1], 88), 0x20u);
    EXPECT_EQ(U32At(reqs[1], 92), 0x30u);
    EXPECT_TRUE(ZeroRange(reqs[1], 96, 152));
    EXPECT_EQ(U32At(reqs[1], 152), 12u);
}

TEST_F(Screening, AdmissionRequestsHaveTheirFourLayouts) {
    Answer(Status(0, 12));
    std::string account(400, 'a');
    VGDWORD v;
    EXPECT_EQ(HrVGAllowIPConnection(&v, "1.2.3.4", 4, nullptr, 0), 0);
    EXPECT_EQ(HrVGAllowConnection(&v, "1.2.3.4", 3, account.c_str(), nullptr, 0), 0);
    EXPECT_EQ(HrVGAllowIPConnectionEx(&v, "1.2.3.4", 5, nullptr, nullptr, 0xA1, nullptr, 0xA2), 0);
    EXPECT_EQ(HrVGAllowConnectionEx(&v, "1.2.3.4", 6, "bob", nullptr, nullptr, 0xB1, nullptr, 0xB2), 0);

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 4u);
    ExpectHeader(reqs[0], 6, 176, 176);
    ExpectHeader(reqs[1], 7, 500, 500);
    ExpectHeader(reqs[2], 8, 184, 184);
    ExpectHeader(reqs[3], 9, 508, 508);
    for (auto& r : reqs) {
        EXPECT_TRUE(ZeroRange(r, 84, 116)) << "session id and reserved bytes";
        EXPECT_EQ(TextAt(r, 116, 56), "1.2.3.4");
    }
    EXPECT_EQ(U32At(reqs[0], 172), 4u) << "service code sent as given";
    EXPECT_EQ(U32At(reqs[1], 172), 3u);
    EXPECT_EQ(TextAt(reqs[1], 176, 319), account.substr(0, 318));
    EXPECT_EQ(U32At(reqs[1], 496), 0u);
    EXPECT_EQ(U32At(reqs[2], 176), 0xA1u);
    EXPECT_EQ(U32At(reqs[2], 180), 0xA2u);
    EXPECT_EQ(TextAt(reqs[3], 176, 319), "bob");
    EXPECT_EQ(U32At(reqs[3], 496), 0u);
    EXPECT_EQ(U32At(reqs[3], 500), 0xB1u);
    EXPECT_EQ(U32At(reqs[3], 504), 0xB2u);
}

TEST_F(Screening, AdmissionHandsOnTheReplyWhateverItsStatus) {
    VGADMISSIONREPLY r;
    std::memset(&r, 0, sizeof(r));
    r.hdr.hrStatus = kEFail;
    r.dwVerdict = 0;
    r.dwInfo1 = 11;
    r.dwInfo2 = 22;
    r.geoData.cbSize = 232;
    r.geoData.abData[5] = 0x77;
    Answer(FakeService::Of(r));

    VGDWORD verdict = 9, info1 = 0, info2 = 0;
    VGGEODATA geo = GeoWithSize(0);  // not checked here
    EXPECT_EQ(HrVGAllowIPConnectionEx(&verdict, "1.1.1.1", 1, &info1, &geo, 0, &info2, 0), 0);
    EXPECT_EQ(verdict, 0u);
    EXPECT_EQ(info1, 11u);
    EXPECT_EQ(info2, 22u);
    EXPECT_EQ(geo.abData[5], 0x77);

    // Null record pointer: the other outputs are still written.
    verdict = 9;
    EXPECT_EQ(HrVGAllowConnectionEx(&verdict, "1.1.1.1", 1, "x", nullptr, nullptr, 0, &info2, 0), 0);
    EXPECT_EQ(verdict, 0u);
    EXPECT_EQ(VGAllowConnectionEx("1.1.1.1", 1, "x", nullptr, nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(VGAllowIPConnection("1.1.1.1", 1, &info1, 0), 0u);
    EXPECT_EQ(VGAllowConnection("1.1.1.1", 1, "x", nullptr, 0), 0u);
    EXPECT_EQ(VGAllowIPConnectionEx("1.1.1.1", 1, nullptr, nullptr, 0, nullptr, 0), 0u);
}

TEST_F(Screening, AdmissionShortReplyKeepsThePresets) {
    Answer(Status(0, 12));
    VGDWORD verdict = 0, info1 = 99, info2 = 99;
    VGGEODATA geo = GeoWithSize(0);
    EXPECT_EQ(HrVGAllowIPConnection(&verdict, "1.1.1.1", 1, &info1, 0), 0);
    EXPECT_EQ(verdict, 1u);
    EXPECT_EQ(info1, 0u);
    EXPECT_EQ(HrVGAllowConnectionEx(&verdict, "1.1.1.1", 1, "x", &info1, &geo, 0, &info2, 0), 0);
    EXPECT_EQ(info2, 0u);
    EXPECT_EQ(geo.cbSize, 232u);
    EXPECT_EQ(geo.abData[0], 0);
}

TEST_F(Screening, AuthFailureReportLayoutAndChecks) {
    Answer(Status(1));
    std::string text40(40, 't'), note300(300, 'n');
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 2, text40.c_str(), "detail", note300.c_str(), 0), 1);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 2, "", nullptr, nullptr, 0), 1);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 0, "t", nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGProcessAuthFailure(nullptr, "1.2.3.4", 2, "t", nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", nullptr, 2, "t", nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 2, nullptr, nullptr, nullptr, 0), kMissingArg);

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    ExpectHeader(reqs[0], 10, 1104, 1104);
    EXPECT_EQ(TextAt(reqs[0], 116, 319), "alice");
    EXPECT_EQ(TextAt(reqs[0], 435, 56), "1.2.3.4");
    EXPECT_EQ(U32At(reqs[0], 492), 2u);
    EXPECT_EQ(TextAt(reqs[0], 496, 32), text40.substr(0, 31));
    EXPECT_EQ(TextAt(reqs[0], 528, 319), "detail");
    EXPECT_EQ(TextAt(reqs[0], 847, 256), note300.substr(0, 255));
    EXPECT_TRUE(ZeroRange(reqs[1], 496, 1104)) << "empty text, null detail and note";
}

TEST_F(Screening, AuthSuccessSendsAnyServiceCodeAndReturnsTheStatus) {
    Answer(Status(kEFail));
    EXPECT_EQ(HrVGProcessAuthSuccess("bob", "5.6.7.8", 0, 0), kEFail);
    Answer(Status(1));
    EXPECT_EQ(HrVGProcessAuthSuccess("bob", "5.6.7.8", 0x1234, 0), 1);
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    ExpectHeader(reqs[0], 11, 496, 496);
    EXPECT_EQ(U32At(reqs[0], 492), 0u);
    EXPECT_EQ(U32At(reqs[1], 492), 0x1234u);
    EXPECT_EQ(TextAt(reqs[0], 116, 319), "bob");
    EXPECT_EQ(TextAt(reqs[0], 435, 56), "5.6.7.8");
}

// Without a service every call fails at once; the twins answer their fixed values.
class NoService : public VgTestEnv {};

TEST_F(NoService, EveryCallReportsTheMissingPipe) {
    VGDWORD v = 42;
    VGGEODATA geo = GeoWithSize(232);
    char text[8] = "keep";
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), kNoPipe);
    EXPECT_EQ(VGIsBlackListed("1.1.1.1", 0, 0), 0u);
    EXPECT_EQ(HrVGIsGeoBlockedEx(&v, "1.1.1.1", 1, 0, text, sizeof(text), &geo), kNoPipe);
    EXPECT_EQ(VGIsGeoBlocked("1.1.1.1", 1, text, sizeof(text), 0), 0u);
    EXPECT_EQ(HrVGGetGeoDataByID(1, 2, 3, 0, &geo), kNoPipe);
    EXPECT_EQ(HrVGAllowIPConnection(&v, "1.1.1.1", 1, nullptr, 0), kNoPipe);
    EXPECT_EQ(VGAllowIPConnection("1.1.1.1", 1, nullptr, 0), 1u);
    EXPECT_EQ(VGAllowConnectionEx("1.1.1.1", 1, "x", nullptr, &geo, 0, nullptr, 0), 1u);
    EXPECT_EQ(HrVGProcessAuthFailure("a", "1.1.1.1", 1, "t", nullptr, nullptr, 0), kNoPipe);
    EXPECT_EQ(v, 42u);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(geo.abData[0], 0xEE);
}

}  // namespace
