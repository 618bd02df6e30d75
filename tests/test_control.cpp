// Service control, state and statistics, and the local enable path.
#include <cstring>
#include <fstream>
#include <string>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgcontrol.h"
#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/ipc.h"
#include "tests/fake_service.h"

namespace {

constexpr VGHRESULT kEFail = static_cast<VGHRESULT>(0x80004005u);

const VGSESSIONID kSession = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

class Control : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        CSmartIni::ModuleIniPath()[0] = 0;  // each test configures its own
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    // Answers with the status and the words that follow the reply header.
    void Answer(int32_t hr, uint32_t word12 = 0, uint8_t fill16 = 0) {
        m_service->SetHandler([=](const Bytes& req) {
            FakeAction a;
            a.reply.assign(ReplySize(U32At(req, 4)), fill16);
            std::memset(a.reply.data(), 0, a.reply.size() < 16 ? a.reply.size() : 16);
            std::memcpy(&a.reply[8], &hr, 4);
            if (a.reply.size() >= 16) std::memcpy(&a.reply[12], &word12, 4);
            return a;
        });
    }
    std::unique_ptr<FakeService> m_service;
};

bool SessionAt84(const Bytes& req) { return req.size() >= 100 && std::memcmp(&req[84], &kSession, 16) == 0; }

TEST_F(Control, ControlCodeTravelsWithTheSession) {
    Answer(1);
    EXPECT_EQ(HrVGControlService(kSession, 0x42, 0), 1);
    Answer(kEFail);
    EXPECT_EQ(HrVGControlService(kSession, 0x43, 0), kEFail);
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].size(), 120u);
    EXPECT_EQ(U32At(reqs[0], 0), 120u);
    EXPECT_EQ(U32At(reqs[0], 4), 17u);
    EXPECT_TRUE(SessionAt84(reqs[0]));
    EXPECT_EQ(U32At(reqs[0], 116), 0x42u);
}

TEST_F(Control, QueryServiceStoresTheStateWhateverTheStatus) {
    Answer(kEFail, 7);
    VGDWORD state = 0;
    EXPECT_EQ(HrVGQueryService(kSession, &state, 0), 0);
    EXPECT_EQ(state, 7u);
    EXPECT_EQ(HrVGQueryService(kSession, nullptr, 0), static_cast<VGHRESULT>(0x800700A0u));
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].size(), 116u);
    EXPECT_EQ(U32At(reqs[0], 4), 18u);
    EXPECT_TRUE(SessionAt84(reqs[0]));
}

TEST_F(Control, StatisticsRecordGoesOutWholeAndComesBackOnSuccess) {
    VGSTATISTICS stats;
    std::memset(&stats, 0, sizeof(stats));
    stats.cbSize = VG_STATISTICS_SIZE;
    stats.rgEntries[23].abData2[63] = 0x5A;

    Answer(1, 0, 0xAB);
    EXPECT_EQ(HrVGQueryStatistics(kSession, &stats, 0), 1);
    EXPECT_EQ(stats.rgEntries[23].abData2[63], 0xAB) << "the service's record replaces the caller's";
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].size(), 2544u);
    EXPECT_EQ(U32At(reqs[0], 0), 116u) << "the size field says 116";
    EXPECT_EQ(U32At(reqs[0], 4), 19u);
    EXPECT_EQ(U32At(reqs[0], 120), 2424u);
    EXPECT_EQ(reqs[0][120 + 120 + 23 * 96 + 95], 0x5A);

    Answer(kEFail, 0, 0xCD);
    EXPECT_EQ(HrVGQueryStatistics(kSession, &stats, 0), kEFail);
    EXPECT_EQ(stats.rgEntries[23].abData2[63], 0xAB) << "a failed status leaves the record";
}

TEST(GuidText, ThreeFormsOneValue) {
    VGSESSIONID a, b, c;
    ParseGuidText("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", &a);
    ParseGuidText("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", &b);
    ParseGuidText("0A1B2C3D4E5F60718293A4B5C6D7E8F9", &c);
    EXPECT_EQ(a.Data1, 0x0A1B2C3Du);
    EXPECT_EQ(a.Data2, 0x4E5F);
    EXPECT_EQ(a.Data3, 0x6071);
    const uint8_t d4[8] = {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9};
    EXPECT_EQ(std::memcmp(a.Data4, d4, 8), 0);
    EXPECT_EQ(std::memcmp(&a, &b, 16), 0);
    EXPECT_EQ(std::memcmp(&a, &c, 16), 0);

    const VGSESSIONID zero = {};
    for (const char* bad : {"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9 }", "0A1B2C3G4E5F60718293A4B5C6D7E8F9", ""}) {
        ParseGuidText(bad, &a);
        EXPECT_EQ(std::memcmp(&a, &zero, 16), 0) << bad;
    }
    ParseGuidText("0A1B", &a);  // short: the missing digits read as 0
    EXPECT_EQ(a.Data1, 0x0A1B0000u);
}

// The local path with the service disabled (no INI path configured).
TEST_F(Control, DisabledServiceIsWokenWithItsClassIdentifier) {
    Answer(0);
    WriteConfiguration("\"CLSID\"=\"{11223344-5566-7788-0102-030405060708}\"\r\n");
    const char* kEvent = "Global\\W.A.R.D.E.N.";
    plat::UnlinkEventA(kEvent);

    // No event: the wake-up fails with the event's error, nothing is sent.
    EXPECT_EQ(HrVGControlService(kSession, VG_CONTROL_ENABLE | 1, 0), static_cast<VGHRESULT>(0x80070002u));

    plat::HEVENT hEvent = plat::CreateEventA(nullptr, kEvent);
    ASSERT_NE(hEvent, nullptr);
    EXPECT_EQ(HrVGControlService(kSession, VG_CONTROL_ENABLE | 1, 0), 0);
    EXPECT_EQ(plat::WaitForEvent(hEvent, 1000), plat::kWaitObject0);
    EXPECT_EQ(m_service->RequestCount(), 0u);

    // Another identifier: the request goes to the service.
    VGSESSIONID other = kSession;
    other.Data4[7] ^= 1;
    EXPECT_EQ(HrVGControlService(other, VG_CONTROL_ENABLE, 0), 0);
    EXPECT_EQ(m_service->RequestCount(), 1u);
    EXPECT_EQ(plat::WaitForEvent(hEvent, 0), plat::kWaitTimeout);
    plat::CloseEvent(hEvent);
    plat::UnlinkEventA(kEvent);
}

// The local path with the service enabled in its INI file.
TEST_F(Control, EnabledServiceAnswersABareEnableItself) {
    Answer(1);
    const std::string ini = m_dir + "/service.ini";
    std::ofstream(ini) << "[System]\r\nEnable=1\r\n";
    WriteConfiguration("\"IniPath\"=\"" + ini + "\"\r\n");
    EXPECT_EQ(HrVGControlService(kSession, VG_CONTROL_ENABLE, 0), 0);
    EXPECT_EQ(m_service->RequestCount(), 0u);
    // Any further bit: the full code goes to the service.
    EXPECT_EQ(HrVGControlService(kSession, VG_CONTROL_ENABLE | 4, 0), 1);
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(U32At(reqs[0], 116), VG_CONTROL_ENABLE | 4);

    // The path is kept: a later change of IniPath is not seen.
    WriteConfiguration("\"IniPath\"=\"" + m_dir + "/other.ini\"\r\n");
    EXPECT_EQ(HrVGControlService(kSession, VG_CONTROL_ENABLE, 0), 0);
    EXPECT_EQ(m_service->RequestCount(), 1u);
}

}  // namespace
