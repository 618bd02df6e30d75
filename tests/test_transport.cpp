// The transport: which computer a call goes to, the outcomes of one
// transaction and its two-attempt rule, and many callers at once.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgtransport.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string PathOf(VGPIPE pipe) {
    char sz[VG_PIPE_PATH_SIZE];
    FormatPipePath(pipe, sz);
    return sz;
}

// A 16-byte list-query reply with status 0 and the given answer.
Bytes ListReply(uint32_t answer, size_t cb = 16) {
    Bytes b(cb < 16 ? 16 : cb, 0);
    std::memcpy(&b[12], &answer, 4);
    b.resize(cb);
    return b;
}

class Endpoint : public VgTestEnv {};

TEST_F(Endpoint, LocalComputerUnlessAServerIsConfigured) {
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.") << "no registry file";
    WriteConfiguration("");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.") << "no Server value";

    WriteConfiguration("\"Server\"=\"PRIMARY01\"\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\PRIMARY01\\pipe\\W.A.R.D.E.N.");
    EXPECT_EQ(PathOf(VGPIPE_MANAGEMENT), "\\\\PRIMARY01\\pipe\\Quartermast") << "both pipes, same computer";

    WriteConfiguration("\"Server\"=\"PRIMARY01\"\r\n\"FailoverMode\"=dword:00000001\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.");
    EXPECT_EQ(PathOf(VGPIPE_MANAGEMENT), "\\\\.\\pipe\\Quartermast");

    WriteConfiguration("\"Server\"=\"PRIMARY01\"\r\n\"FailoverMode\"=dword:00000000\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\PRIMARY01\\pipe\\W.A.R.D.E.N.");
}

TEST_F(Endpoint, ServerValueEdges) {
    WriteConfiguration("\"Server\"=\"\"\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\\\pipe\\W.A.R.D.E.N.") << "empty is used as read";

    std::string s63(63, 'S'), s64(64, 'S');
    WriteConfiguration("\"Server\"=\"" + s63 + "\"\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\" + s63 + "\\pipe\\W.A.R.D.E.N.");
    WriteConfiguration("\"Server\"=\"" + s64 + "\"\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.") << "too long to read";

    // The stored type is not checked.
    WriteConfiguration("\"Server\"=hex:41,42,00\r\n\"FailoverMode\"=\"\"\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\AB\\pipe\\W.A.R.D.E.N.");

    WriteRegistry("this is not a registry file\r\n");
    EXPECT_EQ(PathOf(VGPIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.") << "a corrupt registry selects the local computer";
}

TEST_F(Endpoint, CallsFollowTheRegistry) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(3), -1, 0, false}; });
    VGDWORD v = 0;
    WriteConfiguration("\"Server\"=\"ELSEWHERE\"\r\n\"FailoverMode\"=dword:1\r\n");
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), 0);
    EXPECT_EQ(v, 3u);

    // A remote server is not reachable from this build; an empty name is a bad path.
    WriteConfiguration("\"Server\"=\"ELSEWHERE\"\r\n");
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), static_cast<VGHRESULT>(0x80070035u));
    WriteConfiguration("\"Server\"=\"\"\r\n");
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), static_cast<VGHRESULT>(0x800700A1u));
    EXPECT_EQ(service.RequestCount(), 1u);
}

class Transport : public VgTestEnv {};

TEST_F(Transport, MissingPipeFailsAtOnceWithOneAttempt) {
    auto t0 = Clock::now();
    EXPECT_EQ(HrVGIsBlackListed(nullptr, "1.1.1.1", 0), static_cast<VGHRESULT>(0x80070002u));
    EXPECT_LT(MsSince(t0), 40) << "no pause after a missing pipe";

    // A socket file with nobody listening is a missing pipe too.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string path = m_pipeDir + "/" VG_SCREENING_PIPE;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
    t0 = Clock::now();
    EXPECT_EQ(VGIsTrusted("1.1.1.1", 0), 0u);
    EXPECT_EQ(HrVGIsTrusted(nullptr, "1.1.1.1", 0), static_cast<VGHRESULT>(0x80070002u));
    EXPECT_LT(MsSince(t0), 40);
}

TEST_F(Transport, FailedAttemptsAreRetriedOnceWithPauses) {
    FakeService service(VG_SCREENING_PIPE);
    struct Case {
        const char* what;
        FakeAction action;
        VGHRESULT expected;
    } cases[] = {
        {"closes without replying", {{}, -1, 0, true}, static_cast<VGHRESULT>(0x8007006Du)},
        {"closes inside the frame", {ListReply(1, 8), 16, 0, false}, static_cast<VGHRESULT>(0x8007006Du)},
        {"reply larger than the buffer", {ListReply(1, 20), -1, 0, false}, static_cast<VGHRESULT>(0x800700EAu)},
    };
    for (const Case& c : cases) {
        int before = service.Connections();
        FakeAction action = c.action;
        service.SetHandler([action](const Bytes&) { return action; });
        VGDWORD v = 77;
        auto t0 = Clock::now();
        EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), c.expected) << c.what;
        EXPECT_GE(MsSince(t0), 100) << c.what << ": a pause after each of the two attempts";
        EXPECT_EQ(service.Connections() - before, 2) << c.what;
        EXPECT_EQ(v, 77u) << c.what;
    }
}

TEST_F(Transport, SlowServiceIsWaitedForBeyondTheInstanceWait) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(5), -1, 1700, false}; });
    VGDWORD v = 0;
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), 0);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(service.Connections(), 1);
}

// Holds the one backlog slot of a listener created with backlog 0.
int OccupyBacklog(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
}

TEST_F(Transport, BusyServiceIsWaitedForThenReportedBusy) {
    FakeService service(VG_SCREENING_PIPE, 0);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(9), -1, 0, false}; });
    service.SetAccepting(false);
    int blocker = OccupyBacklog(service.Path());

    // Every instance busy for the whole wait, twice.
    auto t0 = Clock::now();
    EXPECT_EQ(HrVGIsWhiteListed(nullptr, "1.1.1.1", 0), static_cast<VGHRESULT>(0x800700E7u));
    EXPECT_GE(MsSince(t0), 2 * 1500 + 2 * 50 - 20);

    // An instance that comes free within the wait serves the call.
    ::close(blocker);  // stays queued until accepted
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        service.SetAccepting(true);
    });
    VGDWORD v = 0;
    t0 = Clock::now();
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), 0);
    EXPECT_GE(MsSince(t0), 300);
    EXPECT_EQ(v, 9u);
    release.join();
}

// Many threads, different exports: every answer belongs to its own request.
TEST_F(Transport, ConcurrentCallersGetTheirOwnAnswers) {
    FakeService service(VG_SCREENING_PIPE);
    // The answer is derived from the request: command, IP text and service code.
    service.SetHandler([](const Bytes& req) {
        uint32_t cmd = U32At(req, 4);
        FakeAction a;
        a.reply.assign(ReplySize(cmd), 0);
        uint32_t answer = 0;
        if (cmd <= 3) {
            answer = static_cast<uint32_t>(std::stoul(TextAt(req, 84, 56))) * 4 + cmd;
        } else if (cmd == 6 || cmd == 7) {
            answer = static_cast<uint32_t>(std::stoul(TextAt(req, 116, 56))) * 4 + U32At(req, 172);
        }
        if (a.reply.size() >= 16) std::memcpy(&a.reply[12], &answer, 4);
        if (cmd == 7) {
            uint32_t info = static_cast<uint32_t>(TextAt(req, 176, 319).size());
            std::memcpy(&a.reply[16], &info, 4);
        }
        if (cmd == 11) {
            uint32_t status = U32At(req, 492);
            std::memcpy(&a.reply[8], &status, 4);
        }
        return a;
    });

    constexpr int kThreads = 16, kCalls = 1000;
    std::vector<std::thread> threads;
    std::vector<int> mismatches(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < kCalls; ++i) {
                uint32_t n = static_cast<uint32_t>(t * kCalls + i);
                std::string ip = std::to_string(n);
                VGDWORD v = 0, info = 0;
                bool ok = true;
                switch ((t + i) % 4) {
                    case 0:
                        ok = HrVGIsWhiteListed(&v, ip.c_str(), 0) == 0 && v == n * 4 + 1;
                        break;
                    case 1:
                        ok = VGIsTrusted(ip.c_str(), 0) == n * 4 + 3;
                        break;
                    case 2: {
                        std::string account(static_cast<size_t>(i % 300), 'x');
                        ok = HrVGAllowConnection(&v, ip.c_str(), 2, account.c_str(), &info, 0) == 0 &&
                             v == n * 4 + 2 && info == account.size();
                        break;
                    }
                    default:
                        ok = HrVGProcessAuthSuccess("u", ip.c_str(), n, 0) == static_cast<VGHRESULT>(n);
                        break;
                }
                if (!ok) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_EQ(service.RequestCount(), static_cast<size_t>(kThreads * kCalls));
}

}  // namespace
