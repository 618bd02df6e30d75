// vigilond as its own process, with the library as its client: every
// screening command, the rules as front ends see them, persistence across a
// kill, concurrent front ends, hostile clients, stopping and reloading.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgservicerecords.h"
#include "VGClient/vgwire.h"
#include "service/dispatch.h"
#include "service/store.h"
#include "sharedcode/platform/namedevent.h"
#include "tests/vigilond/vigilond_process.h"
#include "tests/child_process.h"
#include "tests/test_env.h"

using namespace vgsvc;

namespace {

class Vigilond : public VigilondTest {
protected:
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

    // How often the service has re-read its settings so far.
    size_t Reloads() const {
        const std::string log = m_process->Log();
        size_t c = 0;
        for (size_t at = log.find("Configuration Change"); at != std::string::npos;
             at = log.find("Configuration Change", at + 1))
            ++c;
        return c;
    }
};

// One frame announcing cbAnnounced bytes to the screening pipe: the reply's
// payload, or "closed" when the service closed without one, or "silent"
// when it sent nothing for timeoutMs.
std::string RawExchange(const void* pv, uint32_t cb, uint32_t cbAnnounced, int timeoutMs = 3000) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/%s", ::getenv("VIGILON_PIPE_DIR"), VG_SCREENING_PIPE);
    const timeval tv{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::string got = "no connection";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        if (pv) {
            std::string frame(reinterpret_cast<const char*>(&cbAnnounced), 4);
            frame.append(static_cast<const char*>(pv), cb);
            (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        }
        char buf[4096];
        ssize_t n;
        for (got.clear(); (n = ::recv(fd, buf, sizeof(buf), 0)) > 0;) got.append(buf, static_cast<size_t>(n));
        got = n < 0 ? "silent" : got.size() < 4 ? "closed" : got.substr(4);
    }
    ::close(fd);
    return got;
}

int32_t StatusOf(const std::string& reply) {
    int32_t hr = 0;
    if (reply.size() >= 12) std::memcpy(&hr, reply.data() + 8, 4);
    return hr;
}

}  // namespace

TEST_F(Vigilond, AnswersEveryScreeningCommandThroughTheLibrary) {
    Seed({{kWhiteList, "192.0.2.0/24"}, {kBlackList, "198.51.100.0/24"}, {kTrustedList, "2001:db8::7"}});
    StartWith();
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
    EXPECT_EQ(HrVGProcessAuthSuccess("bob", "203.0.113.51", 0, 0), S_OK);

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
    StartWith("[AuthFail]\r\nBlockThreshold=1\r\nFreezeAccount=0\r\n[Logs]\r\nLogLevel=1\r\n");
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
    StartWith();
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
    StartWith();
    std::deque<childtest::Child> children;
    for (int p = 0; p < 4; ++p) children.emplace_back(AskConcurrently);
    for (childtest::Child& child : children) EXPECT_EQ(child.Wait(60000), 0);
    EXPECT_EQ(m_process->Stop(), 0);
}

// The dispatcher's statuses for each kind of bad request are checked below
// the pipe; here, what only a connection shows.
TEST_F(Vigilond, HostileClientsGetAFailureOrACloseAndDoNotStallIt) {
    StartWith();
    VGIPQUERY q{};
    q.hdr.cbSize = sizeof(q);
    q.hdr.dwCommand = 99;
    q.hdr.dwVersion = VG_PROTOCOL_VERSION;
    std::strcpy(q.szIPAddress, "192.0.2.1");
    EXPECT_EQ(RawExchange(&q, 3, 3), "closed");                          // names no command
    EXPECT_EQ(RawExchange(&q, sizeof(q), 1000000), "closed");            // oversized
    EXPECT_EQ(RawExchange(&q, sizeof(q), sizeof(q) + 4), "closed");      // cut short
    EXPECT_EQ(StatusOf(RawExchange(&q, sizeof(q), sizeof(q))), kHrUnknownCommand);

    // More silent clients than workers: each is dropped, and a front end
    // that comes after them is answered.
    std::vector<std::thread> silent;
    std::atomic<int> cClosed{0};
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; ++i) silent.emplace_back([&] { cClosed += RawExchange(nullptr, 0, 0, 5000) == "closed"; });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(VGIsBlackListed("192.0.2.1", 0, 0), 0u);
    EXPECT_EQ(HrVGIsBlackListed(nullptr, "192.0.2.1", 0), S_OK);
    for (std::thread& t : silent) t.join();
    EXPECT_EQ(cClosed.load(), 12);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
    EXPECT_EQ(m_process->Stop(), 0);
}

// SIGHUP and the wake-up event re-read the settings although the file did
// not change (an edit of the file is checked with the management side); a
// name of the test's own keeps parallel tests from taking its wake-ups.
TEST_F(Vigilond, ReadsItsSettingsAgainOnSighupOrItsWakeUpEvent) {
    const std::string event = "Global\\vgtest.wake." + std::to_string(::getpid());
    StartWith("", {"--wake-event", event});
    plat::HEVENT hEvent = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (hEvent = plat::OpenEventA(event.c_str())) != nullptr; }));
    for (size_t round = 0; round < 3; ++round) {
        const size_t cBefore = Reloads();
        if (round == 0)
            m_process->Signal(SIGHUP);
        else
            ASSERT_TRUE(plat::SetEvent(hEvent));
        EXPECT_TRUE(WaitFor([&] { return Reloads() > cBefore; })) << round;
    }
    plat::CloseEvent(hEvent);
    EXPECT_EQ(m_process->Stop(SIGINT), 0);
    // The service removes the name it made.
    EXPECT_EQ(plat::OpenEventA(event.c_str()), nullptr);
}

TEST(VigilondCommandLine, HelpAndUnknownOptions) {
    EXPECT_EQ(std::system(VIGILOND_PATH " --help >/dev/null"), 0);
    EXPECT_NE(std::system(VIGILOND_PATH " --bogus 2>/dev/null"), 0);
}
