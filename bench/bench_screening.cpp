// One screening call against the same framed round trip done by hand: the
// library's cost over the bare connect-send-receive-close on AF_UNIX.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "ratio.h"

namespace {

bool ReadAll(int fd, void* pv, size_t cb) {
    char* p = static_cast<char*>(pv);
    while (cb) {
        ssize_t n = ::recv(fd, p, cb, 0);
        if (n <= 0) return false;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

// An in-process service answering every list query with a 16-byte reply,
// as fast as it can, on a few threads.
class Responder {
public:
    Responder() {
        char tmpl[] = "/tmp/vgbench.XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        ::setenv("VIGILON_PIPE_DIR", m_dir.c_str(), 1);
        // The registry is read on every call: give it a real file to read.
        m_registry = m_dir + "/registry.reg";
        std::ofstream(m_registry) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern\\Vigilon\\Configuration]\r\n"
                                     "\"FailoverMode\"=dword:00000000\r\n";
        ::setenv("VIGILON_REGISTRY", m_registry.c_str(), 1);

        m_path = m_dir + "/" VG_SCREENING_PIPE;
        memset(&m_addr, 0, sizeof(m_addr));
        m_addr.sun_family = AF_UNIX;
        strcpy(m_addr.sun_path, m_path.c_str());
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&m_addr), sizeof(m_addr));
        ::listen(m_listen, 256);
        for (int i = 0; i < 2; ++i) m_threads.emplace_back([this] { Serve(); });
    }
    ~Responder() {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        for (auto& t : m_threads) t.join();
        ::close(m_listen);
        ::unlink(m_path.c_str());
        ::unlink(m_registry.c_str());
        ::rmdir(m_dir.c_str());
    }
    const sockaddr_un& Address() const { return m_addr; }

private:
    void Serve() {
        unsigned char reply[4 + 16] = {16, 0, 0, 0};
        while (!m_stop) {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0) continue;
            uint32_t cb = 0;
            unsigned char req[2048];
            if (ReadAll(fd, &cb, 4) && cb <= sizeof(req) && ReadAll(fd, req, cb))
                ::send(fd, reply, sizeof(reply), MSG_NOSIGNAL);
            ::close(fd);
        }
    }

    std::string m_dir, m_path, m_registry;
    sockaddr_un m_addr;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

Responder& TheResponder() {
    static Responder r;
    return r;
}

void BM_ScreeningCall(benchmark::State& state) {
    TheResponder();
    for (auto _ : state) {
        VGDWORD dwResult = 0;
        if (HrVGIsBlackListed(&dwResult, "192.168.100.200", 0) != 0) state.SkipWithError("call failed");
        benchmark::DoNotOptimize(dwResult);
    }
}

// The same bytes by hand: connect, one frame out, one frame in, close.
void BM_RawRoundTrip(benchmark::State& state) {
    const sockaddr_un& addr = TheResponder().Address();
    unsigned char request[4 + sizeof(VGIPQUERY)] = {sizeof(VGIPQUERY), 0, 0, 0};
    VGIPQUERY* q = reinterpret_cast<VGIPQUERY*>(request + 4);
    q->hdr.cbSize = sizeof(VGIPQUERY);
    q->hdr.dwCommand = VGCMD_ISBLACKLISTED;
    strcpy(q->szIPAddress, "192.168.100.200");
    for (auto _ : state) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        unsigned char reply[4 + 16];
        bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 &&
                  ::send(fd, request, sizeof(request), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(request)) &&
                  ReadAll(fd, reply, sizeof(reply));
        ::close(fd);
        if (!ok) state.SkipWithError("round trip failed");
        benchmark::DoNotOptimize(reply);
    }
}

BENCHMARK(BM_RawRoundTrip)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ScreeningCall)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_RawRoundTrip)->Threads(2)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ScreeningCall)->Threads(2)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(
        argc, argv,
        {{"screening_call_vs_raw_1t", "BM_ScreeningCall/repeats:5/real_time/threads:1", "BM_RawRoundTrip/repeats:5/real_time/threads:1",
          1.25},
         {"screening_call_vs_raw_2t", "BM_ScreeningCall/repeats:5/real_time/threads:2", "BM_RawRoundTrip/repeats:5/real_time/threads:2",
          1.25}});
}
