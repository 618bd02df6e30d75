// The module heap against calloc/free: batches of zero-filled blocks of 16 to
// 1,024 bytes, allocated and then released, on one thread and on two.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <array>
#include <random>

#include "ratio.h"
#include "sharedcode/moduleheap.h"

namespace {

constexpr size_t kBatch = 64;

// The same pseudo-random sizes for both sides.
const std::array<DWORD, 256>& Sizes() {
    static const std::array<DWORD, 256> sizes = [] {
        std::array<DWORD, 256> a{};
        std::mt19937 rng(1024);
        for (DWORD& cb : a) cb = 16 + static_cast<DWORD>(rng() % (1024 - 16 + 1));
        return a;
    }();
    return sizes;
}

template <typename Alloc, typename Release>
void RunBatches(benchmark::State& state, Alloc alloc, Release release) {
    const auto& sizes = Sizes();
    void* blocks[kBatch];
    size_t iFirst = static_cast<size_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        for (size_t i = 0; i < kBatch; ++i) blocks[i] = alloc(sizes[(iFirst + i) & 255]);
        benchmark::DoNotOptimize(blocks);
        for (size_t i = 0; i < kBatch; ++i) release(blocks[i]);
        iFirst += 13;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
}

void BM_Calloc(benchmark::State& state) {
    RunBatches(state, [](DWORD cb) { return ::calloc(1, cb); }, [](void* pv) { ::free(pv); });
}

void BM_ModuleHeap(benchmark::State& state) {
    CModuleHeap::Instance();  // created outside the timing
    RunBatches(state, [](DWORD cb) { return CModuleHeap::Malloc(cb); }, [](void* pv) { CModuleHeap::Free(pv); });
}

BENCHMARK(BM_Calloc)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ModuleHeap)->Threads(1)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(
        argc, argv,
        {{"heap_vs_calloc", "BM_ModuleHeap/repeats:5/real_time/threads:1", "BM_Calloc/repeats:5/real_time/threads:1",
          1.5}});
}
