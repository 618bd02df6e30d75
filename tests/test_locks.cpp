// Critical sections and locked pointer arrays.
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "sharedcode/critsec.h"
#include "sharedcode/platform/faults_testhook.h"
#include "sharedcode/platform/process.h"

namespace {

struct Rec {
    int key;
};

int CompareKeys(const void* pv1, const void* pv2) {
    const int k1 = (*static_cast<Rec* const*>(pv1))->key, k2 = (*static_cast<Rec* const*>(pv2))->key;
    return (k1 > k2) - (k1 < k2);
}

TEST(Locks, CriticalSectionIsRecursive) {
    CriticalSection cs;
    auto otherThreadCanEnter = [&cs] {
        return std::async(std::launch::async, [&cs] { return cs.TryEnter() ? (cs.Leave(), true) : false; }).get();
    };
    cs.Enter();
    cs.Enter();
    cs.Leave();
    EXPECT_FALSE(otherThreadCanEnter());  // left once of twice
    cs.Leave();
    EXPECT_TRUE(otherThreadCanEnter());
}

TEST(Locks, GrowthByStepAndRefusedGrowth) {
    CLockedPtrArray<Rec> arr(0);  // grow step 0 behaves as 256
    Rec r = {1};
    EXPECT_EQ(-1, arr.AddCopy(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::GetLastError());
    plat::testing::FailProcessHeapAllocs(1);
    EXPECT_EQ(-1, arr.AddCopy(&r));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), plat::GetLastError());
    for (; r.key <= 255; ++r.key) ASSERT_EQ(r.key, arr.AddCopy(&r));
    EXPECT_EQ(256u, arr.Capacity());  // the 255th fitted without growing

    // The 256th needs a growth; refused, it leaves everything as it was.
    Rec* const* before = arr.Slots();
    plat::testing::FailProcessHeapAllocs(1);
    EXPECT_EQ(-1, arr.AddCopy(&r));
    EXPECT_EQ(before, arr.Slots());
    EXPECT_EQ(256, arr.AddCopy(&r));
    EXPECT_EQ(512u, arr.Capacity());
    for (DWORD i = 0; i < arr.Count(); ++i) ASSERT_EQ(static_cast<int>(i + 1), arr[i]->key);
}

TEST(Locks, AddedElementsStayTheCallers) {
    // Stack elements: the sanitizer build fails if the array frees them.
    Rec a = {1}, b = {2}, other = {3};
    CLockedPtrArray<Rec> arr;
    arr.Add(&a);
    arr.Add(&b);
    EXPECT_EQ(3, arr.Add(&a));
    arr.Remove(&other);
    arr.Remove(&a);  // searched from the end: the later duplicate goes
    ASSERT_EQ(2u, arr.Count());
    EXPECT_EQ(&a, arr[0]);
    EXPECT_EQ(&b, arr[1]);
    EXPECT_EQ(nullptr, arr[2]);
}

// Threads add while removing under an outer hold of the array's lock; then
// the slots are sorted.
TEST(Locks, ConcurrentAddsAllLandAndSort) {
    constexpr int kThreads = 8, kPerThread = 3000;
    CLockedPtrArray<Rec> arr;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&arr, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Rec r = {(i * kThreads + t) * 7919 % 100003};
                ASSERT_GT(arr.AddCopy(&r), 0);
                if (i % 10 == 0) {
                    CriticalSection::CLock lock(arr);
                    arr.Remove(arr[arr.Count() - 1]);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(static_cast<DWORD>(kThreads * (kPerThread - kPerThread / 10)), arr.Count());
    arr.Sort(CompareKeys);
    EXPECT_EQ(nullptr, arr[arr.Count()]);
    for (DWORD i = 1; i < arr.Count(); ++i) ASSERT_LT(arr[i - 1]->key, arr[i]->key);
}

}  // namespace
