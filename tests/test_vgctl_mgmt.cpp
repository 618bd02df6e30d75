// vgctl's management commands as a child process against a fake management
// service: sessions, typed configuration values and named settings.
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "VGClient/VAVarive32.h"
#include "tests/fake_service.h"
#include "tests/pe_image.h"
#include "tests/test_env.h"

namespace {

struct Result {
    int status;
    std::string out;  // stdout and stderr
};

// env: assignments put before the command, e.g. "VGCTL_USER=bob ".
Result RunVgctl(const std::string& args, const std::string& env = "") {
    const std::string cmd = env + std::string(VGCTL_PATH) + " " + args + " 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return {-1, ""};
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    const int st = ::pclose(f);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const char kIdText[] = "{01234567-89AB-CDEF-0102-030405060708}";
const uint8_t kIdBytes[16] = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD, 1, 2, 3, 4, 5, 6, 7, 8};

class VgctlMgmt : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        const std::string app = m_dir + "/app";
        ::mkdir(app.c_str(), 0700);
        peimage::PeLayout layout;
        const std::vector<uint8_t> pe = peimage::BuildPe(layout);
        std::ofstream(app + "/PNASRes.dll", std::ios::binary)
            .write(reinterpret_cast<const char*>(pe.data()), static_cast<std::streamsize>(pe.size()));
        WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern]\r\n\"AppPath\"=\"" + app + "\"\r\n");
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
        // Status 0; the open's reply carries kIdBytes, a Get's the text "WXYZ".
        m_service->SetHandler([](const Bytes& req) {
            FakeAction a;
            a.reply.assign(ReplySize(U32At(req, 4)), 0);
            if (U32At(req, 4) == VGCMD_OPENMGMTSESSION)
                std::memcpy(&a.reply[12], kIdBytes, 16);
            else if (a.reply.size() > 12)
                std::memcpy(&a.reply[12], "WXYZ", 4);
            return a;
        });
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    Bytes Last() {
        auto r = m_service->Requests();
        return r.empty() ? Bytes(1304) : r.back();
    }
    std::unique_ptr<FakeService> m_service;
};

TEST_F(VgctlMgmt, SessionOpenTakesTextsFromOptionsOrEnvironment) {
    Result r = RunVgctl("session open --user bob --password pw --text3 third");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, std::string("session=") + kIdText + "\nhr=0x00000000\n")) << r.out;
    const Bytes byOptions = Last();
    ASSERT_EQ(byOptions.size(), 1304u);
    EXPECT_EQ(U32At(byOptions, 4), static_cast<uint32_t>(VGCMD_OPENMGMTSESSION));
    EXPECT_EQ(TextAt(byOptions, 978, 64), "third");
    EXPECT_FALSE(TextAt(byOptions, 84, 638).empty());

    // The same texts from the environment seal the same; an option wins.
    r = RunVgctl("session open", "VGCTL_USER=bob VGCTL_PASSWORD=pw VGCTL_TEXT3=third ");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(std::equal(byOptions.begin() + 84, byOptions.end(), Last().begin() + 84));  // after the ids
    r = RunVgctl("session open --user alice", "VGCTL_USER=bob VGCTL_TEXT3=third ");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(TextAt(Last(), 84, 638), TextAt(byOptions, 84, 638));
    EXPECT_EQ(TextAt(Last(), 722, 256), "");  // no password: sealed as empty

    r = RunVgctl("session open --user bob", "VGCTL_TEXT3= ");  // empty is given; unset is not
    EXPECT_EQ(r.status, 0) << r.out;
    r = RunVgctl("session open --user bob");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(Contains(r.out, "VGCTL_TEXT3")) << r.out;
    EXPECT_EQ(m_service->RequestCount(), 4u);
}

TEST_F(VgctlMgmt, SessionIdsAreGuidTextsWithOrWithoutBraces) {
    Result r = RunVgctl(std::string("session end ") + kIdText);
    EXPECT_EQ(r.status, 0) << r.out;
    r = RunVgctl("session abort 01234567-89ab-cdef-0102-030405060708");
    EXPECT_EQ(r.status, 0) << r.out;
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(U32At(reqs[0], 4), static_cast<uint32_t>(VGCMD_ENDMGMTSESSION));
    EXPECT_EQ(U32At(reqs[1], 4), static_cast<uint32_t>(VGCMD_ABORTMGMTSESSION));
    for (const Bytes& req : reqs) EXPECT_EQ(std::memcmp(&req[84], kIdBytes, 16), 0);

    for (const char* bad : {"{01234567-89AB-CDEF-0102-030405060708", "01234567-89AB-CDEF-0102-03040506070",
                            "0123456789AB-CDEF-0102-030405060708x", "01234567-89AB-CDEF-0102-03040506070g"}) {
        r = RunVgctl(std::string("session end '") + bad + "'");
        EXPECT_EQ(r.status, 2) << bad << "\n" << r.out;
    }
    EXPECT_EQ(m_service->RequestCount(), 2u);
}

TEST_F(VgctlMgmt, ConfigCommandsSendTheirTypedRequest) {
    const std::string session = std::string(" --session ") + kIdText;
    Result r = RunVgctl("config set Logs LogLevel 0x1234 --type word" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    Bytes req = Last();
    EXPECT_EQ(U32At(req, 4), static_cast<uint32_t>(VGCMD_CONFIGSETWORD));
    EXPECT_EQ(TextAt(req, 116, 64), "Logs");
    EXPECT_EQ(TextAt(req, 180, 64), "LogLevel");
    EXPECT_EQ(U32At(req, 244), 0x1234u);
    EXPECT_EQ(std::memcmp(&req[84], kIdBytes, 16), 0);

    r = RunVgctl("config set Notify DefaultAddress 'ops@example.net' --type sz" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(TextAt(Last(), 244, 520), "ops@example.net");
    r = RunVgctl("config set System Enable true --type BOOL" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(U32At(Last(), 244), 1u);

    r = RunVgctl("config get Notify DefaultAddress --type sz" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "value=WXYZ\nhr=0x00000000\n")) << r.out;
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_CONFIGGETSZ));
    r = RunVgctl("config get AuthFail IPV4AggBits --type byte" + session);
    EXPECT_TRUE(Contains(r.out, "value=87\n")) << r.out;  // 'W'
    r = RunVgctl("config delete Notify DefaultAddress" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_CONFIGDELETE));
    EXPECT_EQ(m_service->RequestCount(), 6u);

    // Usage errors send nothing.
    for (const std::string& bad :
         {"config set S K 256 --type byte" + session, "config set S K 70000 --type word" + session,
          "config get S K --type float" + session, "config get S K" + session, std::string("config get S K --type sz")}) {
        r = RunVgctl(bad);
        EXPECT_EQ(r.status, 2) << bad << "\n" << r.out;
    }
    EXPECT_EQ(m_service->RequestCount(), 6u);
}

TEST_F(VgctlMgmt, SettingsGoByTheirName) {
    const std::string session = std::string(" --session ") + kIdText;
    Result r = RunVgctl("setting set AuthFail.BlockThreshold 30" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_CONFIGSETDWORD));
    EXPECT_EQ(TextAt(Last(), 116, 64), "AuthFail");
    EXPECT_EQ(TextAt(Last(), 180, 64), "BlockThreshold");
    EXPECT_EQ(U32At(Last(), 244), 30u);

    r = RunVgctl("setting get support.latestlogfile" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "value=WXYZ\n")) << r.out;
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_CONFIGGETSZ));
    EXPECT_EQ(TextAt(Last(), 180, 64), "LatestLogFile");

    for (const std::string& bad : {"setting set Support.LatestLogFile x" + session, "setting get No.Such" + session,
                                   "setting set AuthFail.IPV4AggBits 300" + session}) {
        r = RunVgctl(bad);
        EXPECT_EQ(r.status, 2) << bad << "\n" << r.out;
    }
    EXPECT_EQ(m_service->RequestCount(), 2u);

    r = RunVgctl("setting list");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Contains(r.out, "AuthFail.IPV4AggBits byte\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Support.LatestLogFile sz (read only)\n")) << r.out;
    EXPECT_FALSE(Contains(r.out, "hr=")) << r.out;
}

TEST_F(VgctlMgmt, HelpExplainsTheManagementCommands) {
    const Result r = RunVgctl("--help");
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"session open", "session end ID", "config set SECTION KEY VALUE", "setting get NAME",
                             "AuthFail.BlockThreshold", "VGCTL_PASSWORD", "byte, bool, word, dword or sz"})
        EXPECT_TRUE(Contains(r.out, part)) << part;
}

}  // namespace

namespace {

TEST_F(VgctlMgmt, ControlQueryAndStatistics) {
    const std::string session = std::string(" --session ") + kIdText;
    Result r = RunVgctl("query-service" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("state=0x5A595857\n"), std::string::npos) << r.out;  // "WXYZ"
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_QUERYSERVICE));

    r = RunVgctl("control 0x10" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(U32At(Last(), 116), 0x10u);

    r = RunVgctl("stats" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("size="), std::string::npos) << r.out;
    EXPECT_EQ(Last().size(), 2544u);
}

}  // namespace

namespace {

TEST_F(VgctlMgmt, ListsAndListOperations) {
    const std::string session = std::string(" --session ") + kIdText;
    // A white list of two records: "10.0.0.1" and "10.0.0.2", each with an id.
    VGLISTHDR hdr = {{20, VG_PROTOCOL_VERSION, 0}, 2, VG_WHITEITEM_SIZE};
    std::vector<Bytes> frames = {FakeService::Of(hdr)};
    for (int i = 1; i <= 2; ++i) {
        VGWHITEITEM item = {};
        std::string ip = "10.0.0." + std::to_string(i);
        std::memcpy(item.abData1, ip.data(), ip.size());
        item.idItem.Data1 = static_cast<uint32_t>(i);
        frames.push_back(FakeService::Of(item));
    }
    frames.push_back(Bytes());
    m_service->SetHandler([frames](const Bytes& req) {
        FakeAction a;
        if (U32At(req, 4) == VGCMD_GETWHITEITEMLIST) {
            a.stream = frames;
        } else {
            a.reply.assign(ReplySize(U32At(req, 4)), 0);
            if (a.reply.size() >= 28) a.reply[12] = 0x77;  // the new item's id
        }
        return a;
    });
    Result r = RunVgctl("list white" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("count=2\n0: id={00000001-0000-0000-0000-000000000000} text=\"10.0.0.1\"\n"),
              std::string::npos)
        << r.out;

    r = RunVgctl("add black 192.0.2.9" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("id={00000077-"), std::string::npos) << r.out;
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_ADDBLACKITEM));
    EXPECT_EQ(TextAt(Last(), 116, 160), "192.0.2.9");

    r = RunVgctl("reset authfail" + session);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(U32At(Last(), 4), static_cast<uint32_t>(VGCMD_RESETAUTHFAILITEMLIST));

    r = RunVgctl("reset trusted" + session);
    EXPECT_EQ(r.status, 2) << r.out;
}

}  // namespace
