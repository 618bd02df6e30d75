// One screening call against the same framed round trip done by hand: the
// library's cost over the bare connect-send-receive-close on AF_UNIX.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgwire.h"
#include "bench_service.h"
#include "ratio.h"

namespace {

// An in-process service answering every list query with a 16-byte reply,
// as fast as it can, on two threads.
class Responder : public BenchService {
public:
    Responder() : BenchService(VG_SCREENING_PIPE, 256) { Start(2); }
    ~Responder() override { Stop(); }

private:
    void Answer(int fd) override {
        static const unsigned char reply[4 + 16] = {16, 0, 0, 0};
        WriteAll(fd, reply, sizeof(reply));
    }
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
    RawQuery query(TheResponder().Address(), "192.168.100.200");
    for (auto _ : state)
        if (!query.Exchange()) state.SkipWithError("round trip failed");
}

// Both on one thread in alternation, each call timed on its own: on a busy
// machine the two sides then meet the same load, where separate runs of
// either can land in a quiet or a busy stretch. A repetition's ratio is that
// of the two sides' median call times, so that the few calls which the rest
// of the machine held up for a time slice (milliseconds against tens of
// microseconds) do not decide it, as they do a ratio of sums.
std::vector<double> g_pairedRatios;

double MedianOf(std::vector<double>* pv) {
    std::nth_element(pv->begin(), pv->begin() + pv->size() / 2, pv->end());
    return (*pv)[pv->size() / 2];
}

void BM_ScreeningCallPairedWithRaw(benchmark::State& state) {
    RawQuery query(TheResponder().Address(), "192.168.100.200");
    std::vector<double> raw, call;
    raw.reserve(state.max_iterations);
    call.reserve(state.max_iterations);
    bool fRawFirst = true;
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            if (fRawFirst) {
                if (!query.Exchange()) state.SkipWithError("round trip failed");
                raw.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            } else {
                VGDWORD dwResult = 0;
                if (HrVGIsBlackListed(&dwResult, "192.168.100.200", 0) != 0) state.SkipWithError("call failed");
                call.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            }
            fRawFirst = !fRawFirst;
        }
        fRawFirst = !fRawFirst;
    }
    if (!raw.empty() && !call.empty()) g_pairedRatios.push_back(MedianOf(&call) / MedianOf(&raw));
}

bool MedianPairedRatio(double* pMeasured, double* pLimit) {
    *pLimit = 1.10;
    if (g_pairedRatios.empty()) return false;
    std::vector<double> r = g_pairedRatios;
    *pMeasured = MedianOf(&r);
    return true;
}

BENCHMARK(BM_RawRoundTrip)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ScreeningCall)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ScreeningCallPairedWithRaw)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_RawRoundTrip)->Threads(2)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ScreeningCall)->Threads(2)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(
        argc, argv,
        {{"screening_call_vs_raw_2t", "BM_ScreeningCall/repeats:5/real_time/threads:2", "BM_RawRoundTrip/repeats:5/real_time/threads:2",
          1.25}},
        {{"screening_call_vs_raw_1t",
          [](const SecondsOf&, double* pMeasured, double* pLimit) { return MedianPairedRatio(pMeasured, pLimit); }}});
}
