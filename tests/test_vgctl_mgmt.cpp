// vgctl's management commands as a child process against a fake management
// service: sessions, typed configuration values, named settings, control and
// lists.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "VGClient/vgservicerecords.h"
#include "VGClient/vgwire.h"
#include "tests/mgmt_test.h"
#include "tests/pe_image.h"
#include "tests/vgctl_runner.h"

namespace {

const char kIdText[] = "{01234567-89AB-CDEF-0102-030405060708}";
const VGSESSIONID kId = {0x01234567u, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
const Bytes kIdBytes = FakeService::Of(kId);
const std::string kSession = std::string(" --session ") + kIdText;

class VgctlMgmt : public VgMgmtTest {
protected:
    void SetUp() override {
        VgMgmtTest::SetUp();
        const Bytes pe = peimage::BuildPe(peimage::KeyLayout());
        std::ofstream(m_dir + "/PNASRes.dll", std::ios::binary)
            .write(reinterpret_cast<const char*>(pe.data()), static_cast<std::streamsize>(pe.size()));
        WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern]\r\n\"AppPath\"=\"" + m_dir + "\"\r\n");
        // Status 0; the open's reply carries kIdBytes, any other the bytes "WXYZ".
        m_service->SetHandler([](const Bytes& req) {
            FakeAction a;
            a.reply.assign(ReplySize(U32At(req, 4)), 0);
            if (a.reply.size() > 12) std::memcpy(&a.reply[12], "WXYZ", 4);
            if (U32At(req, 4) == VGCMD_OPENMGMTSESSION) std::copy(kIdBytes.begin(), kIdBytes.end(), &a.reply[12]);
            return a;
        });
    }
    // Runs vgctl and expects the exit status.
    std::string Run(const std::string& args, int status = 0, const std::string& env = "") {
        const VgctlResult r = RunVgctl(args, env);
        EXPECT_EQ(r.status, status) << args << "\n" << r.out;
        return r.out;
    }
};

TEST_F(VgctlMgmt, SessionOpenTakesTextsFromOptionsOrEnvironment) {
    EXPECT_TRUE(Contains(Run("session open --user bob --password pw --text3 third"),
                         std::string("session=") + kIdText + "\nhr=0x00000000\n"));
    const Bytes byOptions = Last();
    ASSERT_EQ(byOptions.size(), 1304u);
    EXPECT_EQ(U32At(byOptions, 4), static_cast<uint32_t>(VGCMD_OPENMGMTSESSION));
    EXPECT_EQ(TextAt(byOptions, 978, 64), "third");
    EXPECT_FALSE(TextAt(byOptions, 84, 638).empty());

    // The same texts from the environment seal the same; an option wins.
    Run("session open", 0, "VGCTL_USER=bob VGCTL_PASSWORD=pw VGCTL_TEXT3=third ");
    EXPECT_TRUE(std::equal(byOptions.begin() + 84, byOptions.end(), Last().begin() + 84));  // after the ids
    Run("session open --user alice", 0, "VGCTL_USER=bob VGCTL_TEXT3=third ");
    EXPECT_NE(TextAt(Last(), 84, 638), TextAt(byOptions, 84, 638));
    EXPECT_EQ(TextAt(Last(), 722, 256), "");  // no password: sealed as empty

    Run("session open --user bob", 0, "VGCTL_TEXT3= ");  // empty is given; unset is not
    EXPECT_TRUE(Contains(Run("session open --user bob", 2), "VGCTL_TEXT3"));
    EXPECT_EQ(m_service->RequestCount(), 4u);
}

TEST_F(VgctlMgmt, SessionIdsAreGuidTextsWithOrWithoutBraces) {
    Run(std::string("session end ") + kIdText);
    Run("session abort 01234567-89ab-cdef-0102-030405060708");
    const auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    ExpectSessionHeader(reqs[0], VGCMD_ENDMGMTSESSION, 116, kId);
    ExpectSessionHeader(reqs[1], VGCMD_ABORTMGMTSESSION, 116, kId);

    for (const char* bad : {"{01234567-89AB-CDEF-0102-030405060708", "01234567-89AB-CDEF-0102-03040506070",
                            "01234567-89AB-CDEF-0102-03040506070g"})
        Run(std::string("session end '") + bad + "'", 2);
    EXPECT_EQ(m_service->RequestCount(), 2u);
}

TEST_F(VgctlMgmt, ConfigAndSettingCommandsSendTheirTypedRequest) {
    // name: SECTION.KEY; value: the value area's text, or the output's value line.
    struct Case { std::string args; uint32_t command; const char* name; std::string value; };
    const Case cases[] = {
        {"config set Logs LogLevel 0x1234 --type word", VGCMD_CONFIGSETWORD, "Logs.LogLevel", "\x34\x12"},
        {"config set Notify DefaultAddress 'ops@example.net' --type sz", VGCMD_CONFIGSETSZ, "Notify.DefaultAddress",
         "ops@example.net"},
        {"config set System Enable true --type BOOL", VGCMD_CONFIGSETBOOL, "System.Enable", "\x01"},
        {"config get AuthFail IPV4AggBits --type byte", VGCMD_CONFIGGETBYTE, "AuthFail.IPV4AggBits", "value=87\n"},
        {"config delete Notify DefaultAddress", VGCMD_CONFIGDELETE, "Notify.DefaultAddress", ""},
        {"setting set AuthFail.BlockThreshold 30", VGCMD_CONFIGSETDWORD, "AuthFail.BlockThreshold", "\x1E"},
        {"setting get support.latestlogfile", VGCMD_CONFIGGETSZ, "Support.LatestLogFile", "value=WXYZ\nhr=0x00000000"},
    };
    for (const auto& c : cases) {
        const std::string out = Run(c.args + kSession);
        const Bytes req = Last();
        ExpectSessionHeader(req, c.command, U32At(req, 0), kId);
        EXPECT_EQ(TextAt(req, 116, 64) + "." + TextAt(req, 180, 64), c.name) << c.args;
        if (req.size() == 764) EXPECT_EQ(TextAt(req, 244, 520), c.value) << c.args;
        else EXPECT_TRUE(Contains(out, c.value)) << c.args << "\n" << out;
    }

    // Usage errors send nothing.
    for (const std::string& bad :
         {"config set S K 256 --type byte" + kSession, "config set S K 70000 --type word" + kSession,
          "config get S K --type float" + kSession, "config get S K" + kSession,
          std::string("config get S K --type sz"), "setting set Support.LatestLogFile x" + kSession,
          "setting get No.Such" + kSession, "setting set AuthFail.IPV4AggBits 300" + kSession})
        Run(bad, 2);
    EXPECT_EQ(m_service->RequestCount(), 7u);

    const std::string list = Run("setting list");
    EXPECT_TRUE(Contains(list, "AuthFail.IPV4AggBits byte\n")) << list;
    EXPECT_TRUE(Contains(list, "Support.LatestLogFile sz (read only)\n")) << list;
    EXPECT_FALSE(Contains(list, "hr=")) << list;
}

TEST_F(VgctlMgmt, ControlQueryAndStatistics) {
    EXPECT_TRUE(Contains(Run("query-service" + kSession), "state=0x5A595857\n"));  // "WXYZ"
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_QUERYSERVICE));
    Run("control 0x10" + kSession);
    EXPECT_EQ(U32At(Last(), 116), 0x10u);
    EXPECT_TRUE(Contains(Run("stats" + kSession), "size="));  // a record of another layout
    EXPECT_EQ(Last().size(), 2544u);

    // The service's layout: its named counters.
    VGSTATSREC rec = {};
    rec.cbSize = VG_STATISTICS_SIZE;
    rec.bLayout = VG_STATS_LAYOUT;
    std::strcpy(rec.szService, "vigilond 1.0");
    rec.cCounters = 2;
    rec.rgCounters[0] = {96, VG_STAT_Blocks, 3, {}, "Blocks"};
    rec.rgCounters[1] = {96, VG_STAT_UptimeSeconds, 5000000000ull, {}, "UptimeSeconds"};
    Bytes body(4);  // the gap before the record
    const Bytes record = FakeService::Of(rec);
    body.insert(body.end(), record.begin(), record.end());
    Answer(0, body);
    EXPECT_TRUE(Contains(Run("stats" + kSession), "service=vigilond 1.0\nBlocks=3\nUptimeSeconds=5000000000\nhr="));
}

TEST_F(VgctlMgmt, ListsAndListOperations) {
    // A white list of one record: "10.0.0.1" with its id.
    const VGLISTHDR hdr = {{20, VG_PROTOCOL_VERSION, 0}, 1, VG_WHITEITEM_SIZE};
    VGWHITEITEM item = {};
    std::memcpy(item.abData1, "10.0.0.1", 8);
    item.idItem.Data1 = 1;
    const std::vector<Bytes> frames = {FakeService::Of(hdr), FakeService::Of(item), Bytes()};
    m_service->SetHandler([frames](const Bytes& req) {
        FakeAction a;
        if (U32At(req, 4) == VGCMD_GETWHITEITEMLIST) a.stream = frames;
        a.reply.assign(ReplySize(U32At(req, 4)), 0);
        if (a.reply.size() >= 28) a.reply[12] = 0x77;  // the new item's id
        return a;
    });
    // Columns under a heading: id, address, expiry, hits, who and when, comment.
    const std::string listed = Run("list white" + kSession);
    EXPECT_TRUE(Contains(listed, "count=1\nID  "));
    EXPECT_TRUE(Contains(listed, "\n{00000001-0000-0000-0000-000000000000}  10.0.0.1  never    0     ")) << listed;
    EXPECT_TRUE(Contains(Run("add black 192.0.2.9" + kSession), "id={00000077-"));
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_ADDBLACKITEM));
    EXPECT_EQ(TextAt(Last(), 116, 160), "192.0.2.9");
    Run("reset authfail" + kSession);
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_RESETAUTHFAILITEMLIST));
    Run("reset trusted" + kSession, 2);
}

}  // namespace
