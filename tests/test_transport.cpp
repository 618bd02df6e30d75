// The transport: which computer a call goes to, the outcomes of one
// transaction and its two-attempt rule, and many callers at once.
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/hresult.h"
#include "sharedcode/platform/pipe.h"
#include "tests/fake_service.h"
#include "tests/signal_storm.h"
#include "tests/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string PathOf(DWORD dwPipe) {
    char sz[VG_PIPE_PATH_SIZE];
    FormatPipePath(dwPipe, sz);
    return sz;
}

// What the system answers a call on the path, as the library passes it on.
VGHRESULT SystemAnswer(const std::string& path) {
    char reply[16];
    EXPECT_FALSE(plat::CallNamedPipeA(path.c_str(), "x", 1, reply, sizeof(reply), nullptr, 50)) << path;
    return HrFromWin32(static_cast<LONG>(plat::GetLastError()));
}

// A 16-byte list-query reply with status 0 and the given answer.
Bytes ListReply(uint32_t answer, size_t cb = 16) {
    Bytes b(cb < 16 ? 16 : cb, 0);
    std::memcpy(&b[12], &answer, 4);
    b.resize(cb);
    return b;
}

class Endpoint : public VgTestEnv {};

// Both pipes go to the configured server unless fail-over is on; a value
// that cannot be read, or a corrupt registry, selects the local computer.
TEST_F(Endpoint, LocalComputerUnlessAServerIsConfigured) {
    EXPECT_EQ(PathOf(VG_PIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.") << "no registry file";
    const std::string s63(63, 'S'), s64(64, 'S');
    const struct { std::string lines, server; } cases[] = {
        {"", "."},
        {"\"Server\"=\"PRIMARY01\"\r\n", "PRIMARY01"},
        {"\"Server\"=\"PRIMARY01\"\r\n\"FailoverMode\"=dword:00000001\r\n", "."},
        {"\"Server\"=\"PRIMARY01\"\r\n\"FailoverMode\"=dword:00000000\r\n", "PRIMARY01"},
        {"\"Server\"=\"\"\r\n", ""},  // used as read
        {"\"Server\"=\"" + s63 + "\"\r\n", s63},
        {"\"Server\"=\"" + s64 + "\"\r\n", "."},  // too long to read
        {"\"Server\"=hex:41,42,00\r\n\"FailoverMode\"=\"\"\r\n", "AB"},  // the stored type is not checked
    };
    for (const auto& c : cases) {
        WriteConfiguration(c.lines);
        EXPECT_EQ(PathOf(VG_PIPE_SCREENING), "\\\\" + c.server + "\\pipe\\W.A.R.D.E.N.") << c.lines;
        EXPECT_EQ(PathOf(VG_PIPE_MANAGEMENT), "\\\\" + c.server + "\\pipe\\Quartermast") << c.lines;
    }
    WriteRegistry("this is not a registry file\r\n");
    EXPECT_EQ(PathOf(VG_PIPE_SCREENING), "\\\\.\\pipe\\W.A.R.D.E.N.");
}

TEST_F(Endpoint, CallsFollowTheRegistry) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(3)}; });
    VGDWORD v = 0;
    WriteConfiguration("\"Server\"=\"ELSEWHERE\"\r\n\"FailoverMode\"=dword:1\r\n");
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), 0);
    EXPECT_EQ(v, 3u);

    // Another computer's service is out of reach here: the call fails with
    // the system's answer (POSIX: 53 for a remote server, 161 for an empty
    // name; Wine: 3), and the local service hears nothing.
    const std::pair<const char*, LONG> remote[] = {{"\"Server\"=\"ELSEWHERE\"\r\n", 53}, {"\"Server\"=\"\"\r\n", 161}};
    for (const auto& r : remote) {
        WriteConfiguration(r.first);
        const VGHRESULT hr = HrVGIsWhiteListed(&v, "1.1.1.1", 0);
        EXPECT_LT(hr, 0) << r.first;
#ifndef _WIN32
        EXPECT_EQ(hr, HrFromWin32(r.second)) << r.first;
#endif
    }
    EXPECT_EQ(service.RequestCount(), 1u);

    // Management requests too: after the same switch the local service hears
    // nothing of them.
    FakeService management(VG_MANAGEMENT_PIPE);
    management.SetHandler([](const Bytes&) { return FakeAction{ListReply(0, 4)}; });
    const VGSESSIONID session = {1, 2, 3, {4}};
    WriteConfiguration("\"Server\"=\"ELSEWHERE\"\r\n\"FailoverMode\"=dword:1\r\n");
    EXPECT_EQ(HrVGQueryService(session, &v, 0), 0);
    WriteConfiguration("\"Server\"=\"ELSEWHERE\"\r\n");
    EXPECT_LT(HrVGQueryService(session, &v, 0), 0);
    EXPECT_EQ(management.RequestCount(), 1u);
}

class Transport : public VgTestEnv {};

TEST_F(Transport, MissingPipeFailsAtOnceWithOneAttempt) {
    auto t0 = Clock::now();
    EXPECT_EQ(HrVGIsBlackListed(nullptr, "1.1.1.1", 0), static_cast<VGHRESULT>(0x80070002u));
    EXPECT_LT(MsSince(t0), 40) << "no pause after a missing pipe";
    // A service that has stopped leaves a missing pipe; so does, on POSIX, the
    // socket file of one that crashed, where nobody listens.
    { FakeService stopped(VG_SCREENING_PIPE); }
#ifndef _WIN32
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, (m_pipeDir + "/" VG_SCREENING_PIPE).c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
#endif
    t0 = Clock::now();
    EXPECT_EQ(VGIsTrusted("1.1.1.1", 0), 0u);
    EXPECT_EQ(HrVGIsTrusted(nullptr, "1.1.1.1", 0), static_cast<VGHRESULT>(0x80070002u));
    EXPECT_LT(MsSince(t0), 40) << "no pause after a missing pipe";
}

TEST_F(Transport, FailedAttemptsAreRetriedOnceWithPauses) {
    FakeService service(VG_SCREENING_PIPE);
    const struct { const char* what; FakeAction action; VGHRESULT expected; } cases[] = {
        {"closes without replying", {{}, -1, 0, true}, static_cast<VGHRESULT>(0x8007006Du)},
#ifndef _WIN32  // a Windows pipe message arrives whole
        {"closes inside the frame", {ListReply(1, 8), 16, 0, false}, static_cast<VGHRESULT>(0x8007006Du)},
#endif
        {"reply larger than the buffer", {ListReply(1, 20), -1, 0, false}, static_cast<VGHRESULT>(0x800700EAu)},
    };
    for (const auto& c : cases) {
        int before = service.Connections();
        service.SetHandler([&c](const Bytes&) { return c.action; });
        VGDWORD v = 77;
        auto t0 = Clock::now();
        EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), c.expected) << c.what;
        EXPECT_GE(MsSince(t0), 100) << c.what << ": a pause after each of the two attempts";
        EXPECT_EQ(service.Connections() - before, 2) << c.what;
        EXPECT_EQ(v, 77u) << c.what;
    }
}

// The reply is the first message alone: what the service sends after it
// never reaches the caller's record, also where the reply is shorter than
// the buffer.
TEST_F(Transport, ReplyEndsWithItsMessage) {
    FakeService service(VG_SCREENING_PIPE);
    auto answer = [&service](Bytes reply) {
        service.SetHandler([=](const Bytes&) {
            FakeAction a;
            a.stream = {reply, Bytes(64, 4)};
            return a;
        });
    };
    answer(Bytes(12, 0));
    VGDWORD v = 77;
    EXPECT_EQ(HrVGIsBlackListed(&v, "1.1.1.1", 0), 0);
    EXPECT_EQ(v, 0u);
    answer(Bytes(1, 0));
    VGDWORD info = 0;
    EXPECT_EQ(HrVGAllowConnection(&v, "1.1.1.1", 3, "alice", &info, 0), 0);
    EXPECT_EQ(v, 1u) << "the preset verdict";
}

TEST_F(Transport, BusyServiceIsWaitedForThenReportedBusy) {
    FakeService service(VG_SCREENING_PIPE, 0);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(9), -1, 1700, false}; });
    service.SetAccepting(false);
    // Takes the one free place: the backlog's slot, or the idle instance.
    const std::string path = PathOf(VG_PIPE_SCREENING);
    plat::HPIPE blocker = plat::CreateFileA(path.c_str(), plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                                            plat::kPipeOpenExisting, 0);
    ASSERT_NE(blocker, nullptr);
    // POSIX reports the pipe busy (231); Wine's CallNamedPipeA the instance
    // wait's time-out (121).
    const VGHRESULT hrBusy = SystemAnswer(path);
#ifndef _WIN32
    ASSERT_EQ(hrBusy, static_cast<VGHRESULT>(0x800700E7u));
#endif

    // Every instance busy for the whole wait, twice; signals neither end
    // the wait early nor start it over.
    WithSignalStorms([&](int storm) {
        auto t0 = Clock::now();
        EXPECT_EQ(HrVGIsWhiteListed(nullptr, "1.1.1.1", 0), hrBusy) << storm;
        EXPECT_GE(MsSince(t0), 2 * 1500 + 2 * 50 - 20) << storm;
        EXPECT_LT(MsSince(t0), 2 * 1500 + 2 * 50 + 400) << storm;
    });

    // An instance that comes free within the wait serves the call, which then
    // waits for a slow reply beyond the instance wait.
    plat::CloseHandle(blocker);  // gone, but its place is free only once the service looks
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        service.SetAccepting(true);
    });
    VGDWORD v = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), 0);
    EXPECT_GE(MsSince(t0), 400 + 1700 - 20);
    EXPECT_EQ(v, 9u);
    release.join();
}

// ReplyTimeout bounds the wait for an answer that does not come: each of
// the two attempts ends with ERROR_SEM_TIMEOUT, and a twin answers as for
// any failure. Missing, 0 or not a DWORD: the call waits as long as it takes.
TEST_F(Transport, ReplyTimeoutBoundsTheWaitForTheAnswer) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(5), -1, 400, false}; });
    WriteConfiguration("\"ReplyTimeout\"=dword:00000064\r\n");
    VGDWORD v = 77;
    auto t0 = Clock::now();
    EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), static_cast<VGHRESULT>(0x80070079u));
    EXPECT_GE(MsSince(t0), 2 * 100 + 2 * 50 - 20);
    EXPECT_LT(MsSince(t0), 400);
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(VGIsTrusted("1.1.1.1", 0), 0u);
    // Signals during a wait without end neither end it nor lose the reply.
    WithSignalStorms([&](int storm) {
        for (const char* line : {"\"ReplyTimeout\"=dword:00000000\r\n", "\"ReplyTimeout\"=\"100\"\r\n"}) {
            WriteConfiguration(line);
            v = 0;
            EXPECT_EQ(HrVGIsWhiteListed(&v, "1.1.1.1", 0), 0) << line << storm;
            EXPECT_EQ(v, 5u) << line << storm;
        }
    });
}

// Many threads, different exports: every answer belongs to its own request.
// The service derives it from the request's command, IP text and service code.
TEST_F(Transport, ConcurrentCallersGetTheirOwnAnswers) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes& req) {
        const uint32_t cmd = U32At(req, 4);
        FakeAction a{Bytes(ReplySize(cmd))};
        uint32_t words[3] = {0, 0, 0};  // at 8: status; 12: answer; 16: first info word
        if (cmd <= 3) words[1] = static_cast<uint32_t>(std::stoul(TextAt(req, 84, 56))) * 4 + cmd;
        if (cmd == 7) {
            words[1] = static_cast<uint32_t>(std::stoul(TextAt(req, 116, 56))) * 4 + U32At(req, 172);
            words[2] = static_cast<uint32_t>(TextAt(req, 176, 319).size());
        }
        if (cmd == 11) words[0] = U32At(req, 492);
        std::memcpy(&a.reply[8], words, std::min(a.reply.size() - 8, sizeof(words)));
        return a;
    });

#ifdef _WIN32
    constexpr int kThreads = 16, kCalls = 150;  // a call under Wine takes milliseconds
#else
    constexpr int kThreads = 16, kCalls = 1000;
#endif
    std::vector<std::thread> threads;
    std::vector<int> mismatches(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < kCalls; ++i) {
                const uint32_t n = static_cast<uint32_t>(t * kCalls + i);
                const std::string ip = std::to_string(n), account(static_cast<size_t>(i % 300), 'x');
                VGDWORD v = 0, info = 0;
                const int kind = (t + i) % 4;
                const bool ok =
                    kind == 0   ? HrVGIsWhiteListed(&v, ip.c_str(), 0) == 0 && v == n * 4 + 1
                    : kind == 1 ? VGIsTrusted(ip.c_str(), 0) == n * 4 + 3
                    : kind == 2 ? HrVGAllowConnection(&v, ip.c_str(), 2, account.c_str(), &info, 0) == 0 &&
                                      v == n * 4 + 2 && info == account.size()
                                : HrVGProcessAuthSuccess("u", ip.c_str(), n, 0) == static_cast<VGHRESULT>(n);
                if (!ok) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_EQ(service.RequestCount(), static_cast<size_t>(kThreads * kCalls));
}

// Threads calling at the same moment all follow one change, whichever of
// them takes its notice; the calls of every round after a change follow it.
TEST_F(Transport, ConcurrentCallersFollowEveryChange) {
    FakeService service(VG_SCREENING_PIPE);
    service.SetHandler([](const Bytes&) { return FakeAction{ListReply(5), -1, 30, false}; });
    constexpr int kThreads = 6, kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        const bool fLocal = round % 2 == 0;
        WriteConfiguration(fLocal ? "\"Server\"=\"ELSEWHERE\"\r\n\"FailoverMode\"=dword:1\r\n"
                                  : "\"Server\"=\"ELSEWHERE\"\r\n");
        std::vector<std::thread> threads;
        std::vector<VGHRESULT> results(kThreads, 1);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&results, t] { results[t] = HrVGIsWhiteListed(nullptr, "1.1.1.1", 0); });
        for (auto& th : threads) th.join();
        for (int t = 0; t < kThreads; ++t) {
            if (fLocal)
                EXPECT_EQ(results[t], 0) << "round " << round << ", thread " << t;
            else
                EXPECT_LT(results[t], 0) << "round " << round << ", thread " << t;
        }
    }
}

}  // namespace
