// The hooks of faults_testhook.h: they arm the counters of faults.h.
#include "sharedcode/platform/faults_testhook.h"

#include "sharedcode/platform/faults.h"

namespace plat {
namespace testing {

void FailProcessHeapAllocs(int n) { faults::g_cFailAllocs.store(n > 0 ? n : 0); }

void FailHeapCreates(int n) { faults::g_cFailHeapCreates.store(n > 0 ? n : 0); }

void FailHeapAllocs(HHEAP hHeap, int n) {
    faults::g_cFailHeapAllocs.store(0);
    faults::g_hFailHeap.store(hHeap);
    faults::g_cFailHeapAllocs.store(n > 0 ? n : 0);
}

void FailKeyDerivations(int n) { faults::g_cFailDerivations.store(n > 0 ? n : 0); }

}  // namespace testing
}  // namespace plat
