// Service control, state and statistics, and the local enable path.
#include <cstring>
#include <fstream>
#include <string>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgcontrol.h"
#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/namedevent.h"
#include "tests/mgmt_test.h"

namespace {

constexpr VGHRESULT kEFail = static_cast<VGHRESULT>(0x80004005u);

const VGSESSIONID kSession = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

class Control : public VgMgmtTest {
protected:
    void SetUp() override {
        VgMgmtTest::SetUp();
        CSmartIni::ModuleIniPath()[0] = 0;  // each test configures its own
    }
};

TEST_F(Control, ControlQueryAndStatisticsRequests) {
    Answer(kEFail);
    EXPECT_EQ(HrVGControlService(kSession, 0x42, 0), kEFail);
    ExpectSessionHeader(Last(), 17, 120, kSession);
    EXPECT_EQ(U32At(Last(), 116), 0x42u);

    // The state is stored whatever the status.
    Answer(kEFail, {7, 0, 0, 0});
    VGDWORD state = 0;
    EXPECT_EQ(HrVGQueryService(kSession, &state, 0), 0);
    EXPECT_EQ(state, 7u);
    ExpectSessionHeader(Last(), 18, 116, kSession);
    EXPECT_EQ(HrVGQueryService(kSession, nullptr, 0), static_cast<VGHRESULT>(0x800700A0u));

    // The caller's record goes out whole behind a header that says 116; the
    // service's record replaces it unless the status is a failure.
    VGSTATISTICS stats = {};
    stats.cbSize = VG_STATISTICS_SIZE;
    stats.rgEntries[23].abData2[63] = 0x5A;
    Answer(1, Bytes(4000, 0xAB));
    EXPECT_EQ(HrVGQueryStatistics(kSession, &stats, 0), 1);
    EXPECT_EQ(stats.rgEntries[23].abData2[63], 0xAB);
    const Bytes req = Last();
    ASSERT_EQ(req.size(), 2544u);
    EXPECT_EQ(U32At(req, 0), 116u);
    EXPECT_EQ(U32At(req, 4), 19u);
    EXPECT_EQ(req[120 + 120 + 23 * 96 + 95], 0x5A);
    Answer(kEFail, Bytes(4000, 0xCD));
    EXPECT_EQ(HrVGQueryStatistics(kSession, &stats, 0), kEFail);
    EXPECT_EQ(stats.rgEntries[23].abData2[63], 0xAB);
}

TEST(GuidText, ThreeFormsOneValue) {
    VGSESSIONID a, b, c;
    ParseGuidText("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", &a);
    ParseGuidText("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", &b);
    ParseGuidText("0A1B2C3D4E5F60718293A4B5C6D7E8F9", &c);
    const VGSESSIONID zero = {};
    const VGSESSIONID expected = {0x0A1B2C3Du, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
    for (const VGSESSIONID* id : {&a, &b, &c}) EXPECT_EQ(std::memcmp(id, &expected, 16), 0);

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
    EXPECT_EQ(U32At(Last(), 116), VG_CONTROL_ENABLE | 4);

    // The path is kept: a later change of IniPath is not seen.
    WriteConfiguration("\"IniPath\"=\"" + m_dir + "/other.ini\"\r\n");
    EXPECT_EQ(HrVGControlService(kSession, VG_CONTROL_ENABLE, 0), 0);
    EXPECT_EQ(m_service->RequestCount(), 1u);
}

}  // namespace
