// The module heap against calloc/free and against a plain malloc-backed
// heap: batches of zero-filled blocks of 16 to 1,024 bytes, allocated and
// then released.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <array>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_set>

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

// The plainest private heap that keeps the module heap's promises, against
// which its slabs are weighed: every block malloc'd behind a header that
// links it into the heap's list (destroying the heap frees the list), and a
// set of the live blocks, because freeing a block twice must fail rather
// than touch memory that malloc has taken back.
class MallocListHeap {
public:
    ~MallocListHeap() {
        while (m_head.pNext != &m_head) Unlink(m_head.pNext);
    }
    void* Alloc(size_t cb) {
        Link* p = static_cast<Link*>(::malloc(sizeof(Link) + cb));
        if (!p) return nullptr;
        p->cb = cb;
        std::lock_guard<std::mutex> lock(m_lock);
        p->pNext = m_head.pNext;
        p->pPrev = &m_head;
        m_head.pNext->pPrev = p;
        m_head.pNext = p;
        m_live.insert(p);
        void* pv = p + 1;
        ::memset(pv, 0, cb);
        return pv;
    }
    bool Free(void* pv) {
        Link* p = static_cast<Link*>(pv) - 1;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_live.erase(p) == 0) return false;
        Unlink(p);
        return true;
    }

private:
    struct alignas(16) Link {
        Link* pPrev;
        Link* pNext;
        size_t cb;
    };
    void Unlink(Link* p) {
        p->pPrev->pNext = p->pNext;
        p->pNext->pPrev = p->pPrev;
        ::free(p);
    }
    std::mutex m_lock;
    Link m_head{&m_head, &m_head, 0};
    std::unordered_set<Link*> m_live;
};

void BM_MallocListHeap(benchmark::State& state) {
    static MallocListHeap heap;
    RunBatches(state, [](DWORD cb) { return heap.Alloc(cb); }, [](void* pv) { heap.Free(pv); });
}

BENCHMARK(BM_Calloc)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ModuleHeap)->Threads(1)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_MallocListHeap)->Threads(1)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(
        argc, argv,
        {{"heap_vs_calloc", "BM_ModuleHeap/repeats:5/real_time/threads:1", "BM_Calloc/repeats:5/real_time/threads:1",
          1.5},
         // Below 1: the slabs earn their keep over the plain heap.
         {"heap_vs_malloc_list_heap", "BM_ModuleHeap/repeats:5/real_time/threads:1",
          "BM_MallocListHeap/repeats:5/real_time/threads:1", 1.0}});
}
