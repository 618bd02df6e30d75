// vigilond end to end: HrVGIsBlackListed against a service holding 100,000
// black-list entries and ranges, and HrVGProcessAuthFailure (which writes),
// each against the bare AF_UNIX round trip (connect, one frame each way,
// close) to a trivial echo service in the same run. Also prints the
// service's resident memory holding 1,000,000 entries.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "bench_service.h"
#include "ratio.h"
#include "service/log.h"
#include "service/store.h"

namespace {

constexpr char kEchoPipe[] = "Echo";

// The reference: answers every request with a 16-byte reply. It serves from
// a process of its own, as vigilond does, so that both sides of a ratio pay
// the same switches between address spaces.
class Echo : public BenchService {
public:
    Echo() : BenchService(kEchoPipe, 256) {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            Start(2);
            for (;;) ::pause();
        }
    }
    ~Echo() override {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        Stop();
    }

private:
    void Answer(int fd) override {
        static const unsigned char reply[4 + 16] = {16, 0, 0, 0};
        WriteAll(fd, reply, sizeof(reply));
    }

    pid_t m_pid = -1;
};

Echo& TheEcho() {
    static Echo e;
    return e;
}

std::string PipeDir() { return ::getenv("VIGILON_PIPE_DIR"); }

// The n-th black-list entry: single IPv4 addresses, IPv4 ranges and IPv6
// ranges, none overlapping.
std::string Entry(size_t n) {
    char sz[64];
    switch (n % 4) {
        case 0:
        case 1: std::snprintf(sz, sizeof(sz), "10.%zu.%zu.%zu", n / 65536 % 256, n / 256 % 256, n % 256); break;
        case 2: std::snprintf(sz, sizeof(sz), "100.%zu.%zu.0/24", n / 256 % 256, n % 256); break;
        default: std::snprintf(sz, sizeof(sz), "2001:db8:%zx:%zx::/64", n / 65536 % 65536, n % 65536); break;
    }
    return sz;
}

// vigilond as a child process on the echo service's pipe folder, with
// cEntries black-list entries in a state folder of its own.
class Daemon {
public:
    Daemon(const std::string& name, size_t cEntries) {
        m_state = PipeDir() + "/" + name;
        ::mkdir(m_state.c_str(), 0700);
        std::ofstream(m_state + "/vigilon.ini")
            << "[Logs]\r\nLogLevel=1\r\n[AuthFail]\r\nBlockThreshold=0\r\nFreezeThreshold=0\r\n";
        {
            vgsvc::Log::SetLevel(1);
            vgsvc::Store store;
            store.Open(m_state);
            std::vector<vgsvc::ListItem> items;
            for (size_t n = 0; n < cEntries; ++n) {
                vgsvc::ListItem item;
                item.list = vgsvc::kBlackList;
                vgsvc::ParseRange(Entry(n).c_str(), &item.range);
                items.push_back(item);
                if (items.size() == 100000 || n + 1 == cEntries) {
                    store.AddItems(items);
                    items.clear();
                }
            }
        }
        const std::string pipe = PipeDir() + "/W.A.R.D.E.N.";
        ::unlink(pipe.c_str());
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl(VIGILOND_PATH, VIGILOND_PATH, "--state-dir", m_state.c_str(), "--ini",
                    (m_state + "/vigilon.ini").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        struct stat st;
        for (int i = 0; i < 6000 && ::stat(pipe.c_str(), &st) != 0; ++i) ::usleep(10000);
    }
    ~Daemon() {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        std::error_code ec;
        std::filesystem::remove_all(m_state, ec);
    }
    // VmRSS of the process, in bytes.
    uint64_t Resident() const {
        std::ifstream f("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
        return 0;
    }

private:
    std::string m_state;
    pid_t m_pid = -1;
};

Daemon& TheDaemon() {
    TheEcho();
    static Daemon d("state100k", 100000);
    return d;
}

void BM_RawRoundTrip(benchmark::State& state) {
    RawQuery query(TheEcho().Address(), "10.1.2.3");
    for (auto _ : state)
        if (!query.Exchange()) state.SkipWithError("round trip failed");
}

void BM_IsBlackListed(benchmark::State& state) {
    TheDaemon();
    size_t n = static_cast<size_t>(state.thread_index()) * 7919;
    for (auto _ : state) {
        // Every other address is listed.
        const std::string ip = (n & 1) ? Entry(n % 100000 / 4 * 4) : "192.0.2." + std::to_string(n % 256);
        VGDWORD dw = 0;
        if (HrVGIsBlackListed(&dw, ip.c_str(), 0) != 0 || dw != ((n & 1) ? 1u : 0u)) state.SkipWithError("wrong answer");
        ++n;
    }
}

void BM_AuthFailure(benchmark::State& state) {
    TheDaemon();
    size_t n = 0;
    for (auto _ : state) {
        const std::string ip = "198.51." + std::to_string(n / 256 % 256) + "." + std::to_string(n % 256);
        if (HrVGProcessAuthFailure("user", ip.c_str(), VGSVC_IMAP, "PLAIN", nullptr, nullptr, 0) != 0)
            state.SkipWithError("report failed");
        ++n;
    }
}

BENCHMARK(BM_RawRoundTrip)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_IsBlackListed)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_RawRoundTrip)->Threads(2)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_IsBlackListed)->Threads(2)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_AuthFailure)->Threads(1)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    TheEcho();
    {
        Daemon big("state1m", 1000000);
        std::printf("MEMORY vigilond_1m_entries %.1f MiB\n", big.Resident() / 1048576.0);
    }
    std::printf("MEMORY vigilond_100k_entries %.1f MiB\n", TheDaemon().Resident() / 1048576.0);
    std::fflush(stdout);
    return RunBenchmarksWithRatios(
        argc, argv,
        {{"vigilond_isblack_vs_raw_1t", "BM_IsBlackListed/repeats:5/real_time/threads:1",
          "BM_RawRoundTrip/repeats:5/real_time/threads:1", 1.5},
         {"vigilond_isblack_vs_raw_2t", "BM_IsBlackListed/repeats:5/real_time/threads:2",
          "BM_RawRoundTrip/repeats:5/real_time/threads:2", 1.5},
         {"vigilond_authfail_vs_raw_1t", "BM_AuthFailure/repeats:5/real_time/threads:1",
          "BM_RawRoundTrip/repeats:5/real_time/threads:1", 3.0}});
}
