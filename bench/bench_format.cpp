// HrVGFormatMessage over the whole catalogue (1,254 identifiers) against a
// minimal in-memory catalogue: the same texts in an array sorted by
// identifier, found by bisection and copied out. The formatter also asks
// whether a resource library is loaded and classifies the code before it
// reaches its own table, hence a limit of 3.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgmessagetable.h"
#include "ratio.h"

namespace {

// Every identifier of the catalogue, read from its blocks.
std::vector<uint32_t> CatalogueIds() {
    size_t cb = 0;
    const unsigned char* p = VgMessageTableBytes(&cb);
    uint32_t blocks;
    std::memcpy(&blocks, p, 4);
    std::vector<uint32_t> ids;
    for (uint32_t b = 0; b < blocks; ++b) {
        uint32_t lo, hi;
        std::memcpy(&lo, p + 4 + 12 * b, 4);
        std::memcpy(&hi, p + 8 + 12 * b, 4);
        for (uint64_t id = lo; id <= hi; ++id) ids.push_back(static_cast<uint32_t>(id));
    }
    return ids;
}

const std::vector<uint32_t>& Ids() {
    static const std::vector<uint32_t> ids = CatalogueIds();
    return ids;
}

void BM_FormatMessage(benchmark::State& state) {
    char buf[256];
    for (auto _ : state) {
        for (uint32_t id : Ids()) {
            if (HrVGFormatMessage(id, buf, sizeof(buf)) != 0) state.SkipWithError("no text");
            benchmark::DoNotOptimize(buf);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Ids().size()));
}

void BM_SortedCopy(benchmark::State& state) {
    std::vector<std::pair<uint32_t, std::string>> texts;
    char buf[256];
    for (uint32_t id : Ids()) {
        HrVGFormatMessage(id, buf, sizeof(buf));
        texts.emplace_back(id, buf);
    }
    for (auto _ : state) {
        for (uint32_t id : Ids()) {
            auto it = std::lower_bound(texts.begin(), texts.end(), id,
                                       [](const std::pair<uint32_t, std::string>& t, uint32_t v) { return t.first < v; });
            if (it == texts.end() || it->first != id || it->second.size() + 1 > sizeof(buf)) state.SkipWithError("no text");
            std::memcpy(buf, it->second.c_str(), it->second.size() + 1);
            benchmark::DoNotOptimize(buf);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(Ids().size()));
}

BENCHMARK(BM_SortedCopy)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_FormatMessage)->Repetitions(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(
        argc, argv, {{"format_vs_sorted_copy", "BM_FormatMessage/repeats:5/real_time", "BM_SortedCopy/repeats:5/real_time",
                          3.0}});
}
