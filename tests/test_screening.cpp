// The screening exports against the fake service: the raw request bytes at
// their offsets, the reply presets, and what reaches the caller.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "VGClient/vgwire.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT kMissingArg = static_cast<VGHRESULT>(0x800700A0u);
constexpr VGHRESULT kBadSize = static_cast<VGHRESULT>(0x800705B6u);
constexpr VGHRESULT kTruncated = static_cast<VGHRESULT>(0x8007007Au);
constexpr VGHRESULT kEFail = static_cast<VGHRESULT>(0x80004005u);

// A reply of cb bytes: the 12-byte header with a status, then the answer word.
Bytes Status(int32_t hr, size_t cb = 12, uint32_t answer = 0) {
    Bytes b(std::max<size_t>(cb, 16), 0);
    std::memcpy(&b[8], &hr, 4);
    std::memcpy(&b[12], &answer, 4);
    b.resize(cb);
    return b;
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
            a.reply.resize(std::min(a.reply.size(), ReplySize(U32At(req, 4))));
            return a;
        });
    }
};

// The header fields shared by every request, then words at their offsets.
void ExpectRequest(const Bytes& req, uint32_t cmd, uint32_t cbSize,
                   std::initializer_list<std::pair<size_t, uint32_t>> words = {}) {
    ASSERT_EQ(req.size(), cbSize);
    EXPECT_EQ(U32At(req, 0), cbSize);
    EXPECT_EQ(U32At(req, 4), cmd);
    EXPECT_TRUE(U32At(req, 8) && U32At(req, 12));
    EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION);
    EXPECT_FALSE(TextAt(req, 20, 64).empty());
    for (const auto& w : words) EXPECT_EQ(U32At(req, w.first), w.second) << "command " << cmd << " at " << w.first;
}

bool ZeroRange(const Bytes& b, size_t from, size_t to) {
    return std::all_of(b.begin() + from, b.begin() + to, [](uint8_t c) { return c == 0; });
}

TEST_F(Screening, ListQueriesSendTheirCommandAndHandBackTheAnswer) {
    Answer(Status(1, 16, 7));  // a positive status is not passed on
    const std::string ip55(55, '1'), ip60(60, '2');
    VGDWORD answer = 0;
    EXPECT_EQ(HrVGIsWhiteListed(&answer, "10.1.2.3", 0xFFFF), 0);
    EXPECT_EQ(answer, 7u);
    EXPECT_EQ(HrVGIsBlackListed(&answer, ip55.c_str(), 0), 0);
    EXPECT_EQ(HrVGIsTrusted(nullptr, ip60.c_str(), 0), 0);
    EXPECT_EQ(VGIsWhiteListed("", 0), 7u);
    EXPECT_EQ(VGIsBlackListed("a", 0, 0), 7u);
    EXPECT_EQ(VGIsTrusted("a", 0), 7u);

    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 6u);
    const std::string texts[] = {"10.1.2.3", ip55, ip60.substr(0, 55), "", "a", "a"};
    for (size_t i = 0; i < reqs.size(); ++i) {
        ExpectRequest(reqs[i], static_cast<uint32_t>(i % 3 + 1), 148, {{140, 0}, {144, 0}});
        EXPECT_EQ(TextAt(reqs[i], 84, 56), texts[i]);
    }

    // Negative status: returned, nothing stored; the twin answers 0. A
    // 12-byte reply leaves the answer at its preset 0.
    Answer(Status(kEFail, 16, 9));
    answer = 0x55;
    EXPECT_EQ(HrVGIsBlackListed(&answer, "1.2.3.4", 0), kEFail);
    EXPECT_EQ(answer, 0x55u);
    EXPECT_EQ(VGIsBlackListed("1.2.3.4", 0, 0), 0u);
    Answer(Status(0));
    EXPECT_EQ(HrVGIsTrusted(&answer, "1.2.3.4", 0), 0);
    EXPECT_EQ(answer, 0u);
}

TEST_F(Screening, NullTextsAndBadRecordsAreRefusedWithoutSending) {
    VGGEODATA geo = GeoWithSize(232), bad = GeoWithSize(0);
    VGDWORD v = 5;
    EXPECT_EQ(HrVGIsWhiteListed(&v, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGIsGeoBlocked(&v, nullptr, 1, nullptr, 0, 0), kMissingArg);
    EXPECT_EQ(HrVGIsGeoBlockedEx(&v, "1.1.1.1", 1, 0, nullptr, 0, nullptr), kMissingArg);
    EXPECT_EQ(HrVGIsGeoBlockedEx(&v, "1.1.1.1", 1, 0, nullptr, 0, &bad), kBadSize);
    EXPECT_EQ(HrVGGetGeoDataByIP(nullptr, 0, &geo), kMissingArg);
    EXPECT_EQ(HrVGGetGeoDataByIP("1.1.1.1", 0, &bad), kBadSize);
    EXPECT_EQ(HrVGGetGeoDataByID(1, 2, 3, 0, nullptr), kMissingArg);
    EXPECT_EQ(HrVGAllowIPConnection(&v, nullptr, 1, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGAllowConnection(&v, "1.1.1.1", 1, nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(VGAllowConnectionEx("1.1.1.1", 1, nullptr, nullptr, nullptr, 0, nullptr, 0), 1u);
    EXPECT_EQ(HrVGProcessAuthSuccess(nullptr, "1.1.1.1", 1, 0), kMissingArg);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(m_service->RequestCount(), 0u);
}

// Flag, text and record are copied on success, also when the text was cut;
// a failure status writes none of them.
TEST_F(Screening, GeoBlockedCopiesFlagTextAndRecord) {
    VGGEOBLOCKREPLYEX r = {};
    r.base.dwResult = 1;
    std::strcpy(r.base.szLocation, "Atlantis, Lost City!");  // 20 characters
    r.geoData.cbSize = 999;
    r.geoData.abData[0] = 0x42;
    Answer(FakeService::Of(r));
    VGDWORD blocked = 0;
    char text[10], big[64];
    EXPECT_EQ(HrVGIsGeoBlocked(&blocked, "9.9.9.9", 3, text, sizeof(text), 0), kTruncated);
    EXPECT_EQ(blocked, 1u);
    EXPECT_STREQ(text, "Atlantis,");
    EXPECT_EQ(HrVGIsGeoBlocked(nullptr, "9.9.9.9", 3, big, sizeof(big), 0), 0);
    EXPECT_STREQ(big, "Atlantis, Lost City!");
    EXPECT_EQ(VGIsGeoBlocked("9.9.9.9", 3, text, sizeof(text), 0), 1u);
    VGGEODATA geo = GeoWithSize(232);
    EXPECT_EQ(HrVGIsGeoBlockedEx(&blocked, "9.9.9.9", 4, 77, text, sizeof(text), &geo), kTruncated);
    EXPECT_EQ(geo.cbSize, 999u);
    EXPECT_EQ(geo.abData[0], 0x42);
    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 4u);
    ExpectRequest(reqs[0], 4, 148, {{140, 3}, {144, 0}});
    ExpectRequest(reqs[3], 5, 148, {{140, 4}, {144, 77}});

    Answer(Status(kEFail, 376));
    geo = GeoWithSize(232);
    std::strcpy(text, "keep");
    blocked = 5;
    EXPECT_EQ(HrVGIsGeoBlockedEx(&blocked, "1.1.1.1", 1, 0, text, sizeof(text), &geo), kEFail);
    EXPECT_EQ(HrVGGetGeoDataByID(1, 2, 3, 4, &geo), kEFail);
    EXPECT_EQ(blocked, 5u);
    EXPECT_STREQ(text, "keep");
    EXPECT_EQ(geo.abData[0], 0xEE);
}

TEST_F(Screening, GeoDataQueriesByAddressAndIdentifier) {
    // A 16-byte reply: the caller's record becomes the preset.
    Answer(Status(0, 16));
    VGGEODATA geo = GeoWithSize(232), preset = {};
    preset.cbSize = 232;
    EXPECT_EQ(HrVGGetGeoDataByIP("8.8.4.4", 11, &geo), 0);
    EXPECT_EQ(std::memcmp(&geo, &preset, sizeof(geo)), 0);
    EXPECT_EQ(HrVGGetGeoDataByID(0x10, 0x20, 0x30, 12, &geo), 0);

    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    ExpectRequest(reqs[0], 12, 156, {{152, 11}});
    EXPECT_TRUE(ZeroRange(reqs[0], 84, 96));
    EXPECT_EQ(TextAt(reqs[0], 96, 56), "8.8.4.4");
    ExpectRequest(reqs[1], 12, 156, {{84, 0x10}, {88, 0x20}, {92, 0x30}, {152, 12}});
    EXPECT_TRUE(ZeroRange(reqs[1], 96, 152));
}

TEST_F(Screening, AdmissionRequestsHaveTheirFourLayouts) {
    Answer(Status(0, 12));
    std::string account(400, 'a');
    VGDWORD v;
    EXPECT_EQ(HrVGAllowIPConnection(&v, "1.2.3.4", 4, nullptr, 0), 0);
    EXPECT_EQ(HrVGAllowConnection(&v, "1.2.3.4", 3, account.c_str(), nullptr, 0), 0);
    EXPECT_EQ(HrVGAllowIPConnectionEx(&v, "1.2.3.4", 5, nullptr, nullptr, 0xA1, nullptr, 0xA2), 0);
    EXPECT_EQ(HrVGAllowConnectionEx(&v, "1.2.3.4", 6, "bob", nullptr, nullptr, 0xB1, nullptr, 0xB2), 0);

    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 4u);
    const uint32_t sizes[] = {176, 500, 184, 508}, services[] = {4, 3, 5, 6};
    for (size_t i = 0; i < 4; ++i) {
        ExpectRequest(reqs[i], static_cast<uint32_t>(6 + i), sizes[i], {{172, services[i]}});
        EXPECT_TRUE(ZeroRange(reqs[i], 84, 116)) << "session id and reserved bytes";
        EXPECT_EQ(TextAt(reqs[i], 116, 56), "1.2.3.4");
    }
    EXPECT_EQ(TextAt(reqs[1], 176, 319), account.substr(0, 318));
    EXPECT_EQ(TextAt(reqs[3], 176, 319), "bob");
    ExpectRequest(reqs[1], 7, 500, {{496, 0}});
    ExpectRequest(reqs[2], 8, 184, {{176, 0xA1}, {180, 0xA2}});
    ExpectRequest(reqs[3], 9, 508, {{496, 0}, {500, 0xB1}, {504, 0xB2}});
}

// The reply is handed on whatever its status; a short one leaves the presets.
TEST_F(Screening, AdmissionRepliesAndTheirPresets) {
    VGADMISSIONREPLY r = {};
    r.hdr.hrStatus = kEFail;
    r.dwInfo1 = 11;
    r.dwInfo2 = 22;
    r.geoData.abData[5] = 0x77;
    Answer(FakeService::Of(r));
    VGDWORD verdict = 9, info1 = 0, info2 = 0;
    VGGEODATA geo = GeoWithSize(0);  // not checked here
    EXPECT_EQ(HrVGAllowIPConnectionEx(&verdict, "1.1.1.1", 1, &info1, &geo, 0, &info2, 0), 0);
    EXPECT_EQ(verdict + info1 + info2, 33u);
    EXPECT_EQ(geo.abData[5], 0x77);
    EXPECT_EQ(VGAllowConnection("1.1.1.1", 1, "x", nullptr, 0), 0u);

    Answer(Status(0, 12));
    geo = GeoWithSize(0);
    EXPECT_EQ(HrVGAllowIPConnection(&verdict, "1.1.1.1", 1, &info1, 0), 0);
    EXPECT_EQ(verdict, 1u);
    EXPECT_EQ(info1, 0u);
    EXPECT_EQ(HrVGAllowConnectionEx(&verdict, "1.1.1.1", 1, "x", &info1, &geo, 0, &info2, 0), 0);
    EXPECT_EQ(info2, 0u);
    EXPECT_EQ(geo.cbSize, 232u);
    EXPECT_EQ(geo.abData[0], 0);
}

// The service's status is the result of both reports.
TEST_F(Screening, AuthReportLayoutsAndChecks) {
    Answer(Status(1));
    std::string text40(40, 't'), note300(300, 'n');
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 2, text40.c_str(), "detail", note300.c_str(), 0), 1);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 2, "", nullptr, nullptr, 0), 1);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 0, "t", nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGProcessAuthFailure(nullptr, "1.2.3.4", 2, "t", nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGProcessAuthFailure("alice", "1.2.3.4", 2, nullptr, nullptr, nullptr, 0), kMissingArg);
    EXPECT_EQ(HrVGProcessAuthSuccess("bob", "5.6.7.8", 0x1234, 0), 1);  // any service code

    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 3u);
    const struct { size_t i, off, width; std::string text; } texts[] = {
        {0, 116, 319, "alice"}, {0, 435, 56, "1.2.3.4"}, {0, 496, 32, text40.substr(0, 31)},
        {0, 528, 319, "detail"}, {0, 847, 256, note300.substr(0, 255)}, {2, 116, 319, "bob"}, {2, 435, 56, "5.6.7.8"},
    };
    for (const auto& t : texts) EXPECT_EQ(TextAt(reqs[t.i], t.off, t.width), t.text) << "at " << t.off;
    ExpectRequest(reqs[0], 10, 1104, {{492, 2}});
    EXPECT_TRUE(ZeroRange(reqs[1], 496, 1104)) << "empty text, null detail and note";
    ExpectRequest(reqs[2], 11, 496, {{492, 0x1234}});
}

}  // namespace
