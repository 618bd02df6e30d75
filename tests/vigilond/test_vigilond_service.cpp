// vigilond as its own process, with the library as its client: every
// screening command, the rules as front ends see them, persistence across a
// kill, concurrent front ends, hostile clients, stopping and reloading.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgservicerecords.h"
#include "VGClient/vgwire.h"
#include "service/store.h"
#include "sharedcode/platform/namedevent.h"
#include "tests/vigilond/vigilond_process.h"
#include "tests/child_process.h"
#include "tests/test_env.h"

using namespace vgsvc;

namespace {

class Vigilond : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_process.reset(new VigilondProcess(m_dir));
    }
    void TearDown() override {
        m_process.reset();
        VgTestEnv::TearDown();
    }

    // Entries placed in the database before the service starts.
    void Seed(std::initializer_list<std::pair<ListKind, const char*>> entries) {
        Store store;
        ASSERT_EQ(store.Open(m_process->StateDir()), S_OK);
        for (const auto& e : entries) {
            ListItem item;
            item.list = e.first;
            ASSERT_TRUE(ParseRange(e.second, &item.range));
            ASSERT_EQ(store.AddItem(item), S_OK);
        }
    }

    // Settings file lines before the first start; keys not named keep
    // their defaults.
    void Settings(const std::string& text) {
        ::mkdir(m_process->StateDir().c_str(), 0700);
        std::ofstream(m_process->IniPath()) << text;
    }

    // How often the service has re-read its settings so far.
    size_t Reloads() const {
        const std::string log = m_process->Log();
        size_t c = 0;
        for (size_t at = log.find("Configuration Change"); at != std::string::npos;
             at = log.find("Configuration Change", at + 1))
            ++c;
        return c;
    }

    std::unique_ptr<VigilondProcess> m_process;
};

// One raw frame to a pipe: the reply's payload, or "closed" when the
// service closed without one, or "silent" after timeoutMs.
std::string RawExchange(const std::string& pipe, const std::string& frame, int timeoutMs = 3000) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/%s", ::getenv("VIGILON_PIPE_DIR"), pipe.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return "no connection";
    }
    if (!frame.empty()) (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) != 1) {
            ::close(fd);
            return "silent";
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (got.size() < 4) return "closed";
    return got.substr(4);
}

std::string Frame(const void* pv, uint32_t cb, uint32_t cbAnnounced) {
    std::string f(reinterpret_cast<const char*>(&cbAnnounced), 4);
    f.append(static_cast<const char*>(pv), cb);
    return f;
}

int32_t StatusOf(const std::string& reply) {
    int32_t hr = 0;
    if (reply.size() >= 12) std::memcpy(&hr, reply.data() + 8, 4);
    return hr;
}

}  // namespace

TEST_F(Vigilond, AnswersEveryScreeningCommandThroughTheLibrary) {
    Seed({{kWhiteList, "192.0.2.0/24"}, {kBlackList, "198.51.100.0/24"}, {kTrustedList, "2001:db8::7"}});
    ASSERT_TRUE(m_process->Start());
    // First start made what was missing.
    for (const char* f : {"/registry.reg", "/state/PNASRes.dll", "/state/vigilon.ini", "/state/vigilon.db"})
        EXPECT_EQ(::access((m_dir + f).c_str(), R_OK), 0) << f;
    struct stat st;
    ASSERT_EQ(::stat((m_pipeDir + "/W.A.R.D.E.N.").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_EQ(::stat((m_pipeDir + "/Quartermast").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    VGDWORD dw = 9;
    EXPECT_EQ(HrVGIsWhiteListed(&dw, "192.0.2.200", 0), S_OK);
    EXPECT_EQ(dw, 1u);
    EXPECT_EQ(VGIsBlackListed("198.51.100.5", 0, 0), 1u);
    EXPECT_EQ(VGIsBlackListed("192.0.2.5", 0, 0), 0u);
    EXPECT_EQ(VGIsTrusted("2001:DB8:0::7", 0), 1u);
    EXPECT_EQ(HrVGIsBlackListed(&dw, "not an address", 0), static_cast<VGHRESULT>(0x80070057));

    char szLocation[64] = "x";
    EXPECT_EQ(HrVGIsGeoBlocked(&dw, "198.51.100.5", VGSVC_SMTP, szLocation, sizeof(szLocation), 0), S_OK);
    EXPECT_EQ(dw, 0u);
    EXPECT_STREQ(szLocation, "unresolved");
    VGGEODATA geo;
    std::memset(&geo, 0xAB, sizeof(geo));
    geo.cbSize = VG_GEODATA_SIZE;
    EXPECT_EQ(VGIsGeoBlockedEx("198.51.100.5", VGSVC_SMTP, 0, nullptr, 0, &geo), 0u);
    EXPECT_EQ(geo.abData[0], 0);
    EXPECT_EQ(HrVGGetGeoDataByID(1, 2, 3, 0, &geo), S_OK);
    EXPECT_EQ(geo.cbSize, VG_GEODATA_SIZE);

    VGDWORD verdict = 9, info1 = 9, info2 = 9;
    EXPECT_EQ(HrVGAllowIPConnection(&verdict, "198.51.100.5", VGSVC_IMAP, &info1, 0), S_OK);
    EXPECT_EQ(verdict, 0u);
    EXPECT_EQ(info1, VG_ADMIT_BLACKLIST);
    EXPECT_EQ(VGAllowConnection("192.0.2.1", VGSVC_POP, "bob", &info1, 0), 1u);
    EXPECT_EQ(info1, VG_ADMIT_WHITELIST);
    EXPECT_EQ(VGAllowIPConnectionEx("2001:db8::7", VGSVC_SMTP, &info1, &geo, 1, &info2, 2), 1u);
    EXPECT_EQ(info1, VG_ADMIT_TRUSTED);
    EXPECT_EQ(info2, 0u);
    EXPECT_EQ(HrVGAllowConnectionEx(&verdict, "203.0.113.50", VGSVC_XMPP, "bob", &info1, &geo, 0, &info2, 0), S_OK);
    EXPECT_EQ(verdict, 1u);
    EXPECT_EQ(info1, VG_ADMIT_DEFAULT);

    // Five failed logons black-list the address.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(HrVGProcessAuthFailure("bob", "203.0.113.50", VGSVC_IMAP, "PLAIN", nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(VGAllowIPConnection("203.0.113.50", VGSVC_IMAP, &info1, 0), 0u);
    EXPECT_EQ(info1, VG_ADMIT_BLACKLIST);
    EXPECT_EQ(VGIsBlackListed("203.0.113.50", 0, 0), 1u);
    EXPECT_EQ(HrVGProcessAuthSuccess("bob", "203.0.113.51", 0, 0), S_OK);
    EXPECT_EQ(HrVGProcessAuthFailure("bob", "192.0.2.1", VGSVC_IMAP, "PLAIN", nullptr, nullptr, 0), S_FALSE);

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m_process->Stop(SIGTERM), 0);
    // The service stops within a second; the bound leaves room for sanitizer
    // builds on a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    const std::string log = m_process->Log();
    EXPECT_NE(log.find("warning 0x81501201 Blacklist: IMAP: Blocking IP:203.0.113.50"), std::string::npos) << log;
    EXPECT_NE(log.find("Vigilon Service stopping"), std::string::npos);
}

TEST_F(Vigilond, NothingAcknowledgedIsLostWhenItIsKilled) {
    Settings("[AuthFail]\r\nBlockThreshold=1\r\nFreezeAccount=0\r\n[Logs]\r\nLogLevel=1\r\n");
    ASSERT_TRUE(m_process->Start());
    std::vector<std::string> acknowledged;
    std::atomic<bool> fKilled{false};
    std::thread burst([&] {
        for (int i = 0; !fKilled.load(); ++i) {
            const std::string ip = "10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
                                   std::to_string(i % 256);
            if (HrVGProcessAuthFailure("u", ip.c_str(), VGSVC_SMTP, "x", nullptr, nullptr, 0) == S_OK)
                acknowledged.push_back(ip);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    m_process->Kill();
    fKilled = true;
    burst.join();
    ASSERT_GT(acknowledged.size(), 3u);
    ASSERT_TRUE(m_process->Start());
    size_t cLost = 0;
    for (const std::string& ip : acknowledged) cLost += VGIsBlackListed(ip.c_str(), 0, 0) != 1;
    EXPECT_EQ(cLost, 0u) << "of " << acknowledged.size();
    EXPECT_EQ(m_process->Stop(), 0);
}

// Eight threads ask about addresses of both lists; the count of wrong answers.
VG_CHILD(AskConcurrently) {
    std::atomic<int> cWrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&cWrong, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string black = "198.51.100." + std::to_string((t * 40 + i) % 256);
                const std::string white = "192.0.2." + std::to_string((t * 40 + i) % 256);
                VGDWORD info = 99;
                cWrong += VGIsBlackListed(black.c_str(), 0, 0) != 1;
                cWrong += VGIsBlackListed(white.c_str(), 0, 0) != 0;
                cWrong += VGAllowIPConnection(black.c_str(), VGSVC_SMTP, &info, 0) != 0 || info != VG_ADMIT_BLACKLIST;
                cWrong += VGAllowIPConnection(white.c_str(), VGSVC_SMTP, &info, 0) != 1 || info != VG_ADMIT_WHITELIST;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    return cWrong.load() > 100 ? 100 : cWrong.load();
}

TEST_F(Vigilond, ConcurrentFrontEndsEachGetTheRightAnswer) {
    Seed({{kWhiteList, "192.0.2.0/24"}, {kBlackList, "198.51.100.0/24"}});
    ASSERT_TRUE(m_process->Start());
    std::vector<childtest::Child> children;
    for (int p = 0; p < 4; ++p) children.emplace_back(AskConcurrently);
    for (childtest::Child& child : children) EXPECT_EQ(child.Wait(60000), 0);
    EXPECT_EQ(m_process->Stop(), 0);
}

TEST_F(Vigilond, HostileClientsGetAFailureOrACloseAndDoNotStallIt) {
    ASSERT_TRUE(m_process->Start());
    VGIPQUERY q{};
    q.hdr.cbSize = sizeof(q);
    q.hdr.dwCommand = VGCMD_ISBLACKLISTED;
    q.hdr.dwVersion = VG_PROTOCOL_VERSION;
    std::strcpy(q.szIPAddress, "192.0.2.1");
    EXPECT_EQ(RawExchange(VG_SCREENING_PIPE, Frame(&q, 3, 3)), "closed");
    EXPECT_EQ(RawExchange(VG_SCREENING_PIPE, Frame(&q, sizeof(q), 1000000)), "closed");
    EXPECT_EQ(RawExchange(VG_SCREENING_PIPE, Frame(&q, sizeof(q), sizeof(q) + 4)), "closed");  // cut short
    VGIPQUERY bad = q;
    bad.hdr.dwVersion = 0;
    EXPECT_EQ(StatusOf(RawExchange(VG_SCREENING_PIPE, Frame(&bad, sizeof(bad), sizeof(bad)))),
              static_cast<int32_t>(0x8007000D));
    bad = q;
    bad.hdr.dwCommand = 99;
    EXPECT_EQ(StatusOf(RawExchange(VG_SCREENING_PIPE, Frame(&bad, sizeof(bad), sizeof(bad)))),
              static_cast<int32_t>(0x80070001));
    EXPECT_EQ(StatusOf(RawExchange(VG_MANAGEMENT_PIPE, Frame(&q, sizeof(q), sizeof(q)))),
              static_cast<int32_t>(0x80070005));
    std::memset(q.szIPAddress, 'A', sizeof(q.szIPAddress));  // no terminator
    EXPECT_EQ(StatusOf(RawExchange(VG_SCREENING_PIPE, Frame(&q, sizeof(q), sizeof(q)))),
              static_cast<int32_t>(0x80070057));

    // More silent clients than workers: each is dropped, and a front end
    // that comes after them is answered.
    std::vector<std::thread> silent;
    std::atomic<int> cClosed{0};
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; ++i)
        silent.emplace_back([&] { cClosed += RawExchange(VG_SCREENING_PIPE, "", 5000) == "closed"; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(VGIsBlackListed("192.0.2.1", 0, 0), 0u);
    EXPECT_EQ(HrVGIsBlackListed(nullptr, "192.0.2.1", 0), S_OK);
    for (std::thread& t : silent) t.join();
    EXPECT_EQ(cClosed.load(), 12);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
    EXPECT_EQ(m_process->Stop(), 0);
}

TEST_F(Vigilond, ReadsItsSettingsAgainWhenTheFileChangesOrOnSighup) {
    Seed({{kBlackList, "198.51.100.0/24"}});
    ASSERT_TRUE(m_process->Start());
    VGDWORD info = 0;
    EXPECT_EQ(VGAllowIPConnection("198.51.100.1", VGSVC_IMAP, &info, 0), 0u);
    {
        std::ifstream in(m_process->IniPath());
        std::stringstream text;
        text << in.rdbuf();
        std::string ini = text.str();
        const std::string from = "[IMAP]\r\nUseBlackList=1";
        ASSERT_NE(ini.find(from), std::string::npos);
        ini.replace(ini.find(from), from.size(), "[IMAP]\r\nUseBlackList=0");
        std::ofstream(m_process->IniPath(), std::ios::trunc) << ini;
    }
    bool fSeen = false;
    for (int i = 0; i < 100 && !fSeen; ++i) {
        fSeen = VGAllowIPConnection("198.51.100.1", VGSVC_IMAP, &info, 0) == 1;
        if (!fSeen) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_TRUE(fSeen);
    // SIGHUP re-reads the file whether it changed or not.
    const size_t cBefore = Reloads();
    m_process->Signal(SIGHUP);
    for (int i = 0; i < 100 && Reloads() == cBefore; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GT(Reloads(), cBefore);
    EXPECT_EQ(VGAllowIPConnection("198.51.100.1", VGSVC_SMTP, &info, 0), 0u);
    EXPECT_EQ(m_process->Stop(SIGINT), 0);
}

// The wake-up event re-reads the settings although the file did not change;
// a name of the test's own keeps parallel tests from taking its wake-ups.
TEST_F(Vigilond, ReadsItsSettingsAgainWhenItsWakeUpEventIsSet) {
    const std::string event = "Global\\vgtest.wake." + std::to_string(::getpid());
    ASSERT_TRUE(m_process->Start({"--wake-event", event}));
    plat::HEVENT hEvent = nullptr;
    for (int i = 0; i < 200 && !(hEvent = plat::OpenEventA(event.c_str())); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(hEvent, nullptr);
    const size_t cBefore = Reloads();
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(plat::SetEvent(hEvent));
        for (int i = 0; i < 100 && Reloads() == cBefore + round; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(Reloads(), cBefore + round + 1);
    }
    plat::CloseEvent(hEvent);
    EXPECT_EQ(m_process->Stop(), 0);
    // The service removes the name it made.
    EXPECT_EQ(plat::OpenEventA(event.c_str()), nullptr);
}

TEST(VigilondCommandLine, HelpAndUnknownOptions) {
    EXPECT_EQ(std::system(VIGILOND_PATH " --help >/dev/null"), 0);
    EXPECT_NE(std::system(VIGILOND_PATH " --bogus 2>/dev/null"), 0);
}
