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
