// Critical sections and locked pointer arrays.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "sharedcode/critsec.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/process.h"

namespace {

struct Rec {
    int key;
    char name[12];
};

int CompareKeys(const void* pv1, const void* pv2) {
    const Rec* p1 = *static_cast<Rec* const*>(pv1);
    const Rec* p2 = *static_cast<Rec* const*>(pv2);
    return (p1->key > p2->key) - (p1->key < p2->key);
}

bool OtherThreadCanEnter(CriticalSection& cs) {
    return std::async(std::launch::async, [&cs] {
               if (!cs.TryEnter()) return false;
               cs.Leave();
               return true;
           }).get();
}

TEST(Locks, CriticalSectionIsRecursive) {
    CriticalSection cs;
    cs.Enter();
    {
        CriticalSection::CLock again(cs);
        EXPECT_FALSE(OtherThreadCanEnter(cs));
    }
    EXPECT_FALSE(OtherThreadCanEnter(cs));  // left once of twice
    cs.Leave();
    EXPECT_TRUE(OtherThreadCanEnter(cs));
}

TEST(Locks, GrowthByStepAndFailedGrowth) {
    CLockedPtrArray<Rec> arr;
    Rec r = {};
    plat::testing::FailProcessHeapAllocs(1);
    EXPECT_EQ(-1, arr.AddCopy(&r));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), plat::GetLastError());
    EXPECT_EQ(0u, arr.Capacity());
    EXPECT_EQ(nullptr, arr.Slots()[0]);

    for (int i = 1; i <= 255; ++i) {
        r.key = i;
        ASSERT_EQ(i, arr.AddCopy(&r));
    }
    EXPECT_EQ(256u, arr.Capacity());  // the 255th fitted without growing
    EXPECT_EQ(nullptr, arr[255]);

    // The 256th needs a growth; refused, it leaves everything as it was.
    Rec* const* before = arr.Slots();
    plat::testing::FailProcessHeapAllocs(1);
    EXPECT_EQ(-1, arr.AddCopy(&r));
    plat::testing::FailProcessHeapAllocs(1);
    EXPECT_EQ(0, arr.Add(&r));
    EXPECT_EQ(255u, arr.Count());
    EXPECT_EQ(before, arr.Slots());

    r.key = 256;
    EXPECT_EQ(256, arr.AddCopy(&r));
    EXPECT_EQ(512u, arr.Capacity());
    EXPECT_EQ(nullptr, arr[256]);
    for (DWORD i = 0; i < arr.Count(); ++i) ASSERT_EQ(static_cast<int>(i + 1), arr[i]->key);

    CLockedPtrArray<Rec> zero(0);  // grow step 0 behaves as 256
    EXPECT_EQ(1, zero.AddCopy(&r));
    EXPECT_EQ(256u, zero.Capacity());
}

TEST(Locks, AddCopyOwnsIndependentCopies) {
    CLockedPtrArray<Rec> arr;
    plat::SetLastError(0);
    EXPECT_EQ(-1, arr.AddCopy(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::GetLastError());
    EXPECT_EQ(0, arr.Add(nullptr));

    Rec r = {7, "seven"};
    ASSERT_EQ(1, arr.AddCopy(&r));
    r.key = 8;
    EXPECT_EQ(7, arr[0]->key);
    EXPECT_STREQ("seven", arr[0]->name);

    char line[] = "; one";
    CLockedPtrArray<char> notes;
    ASSERT_EQ(1, notes.AddCopy(line));
    line[0] = '#';
    notes.AddCopy("two");
    notes.AddCopy("three");
    plat::testing::FailProcessHeapAllocs(1);  // the copy itself fails
    EXPECT_EQ(-1, notes.AddCopy("four"));
    notes.Remove(notes[1]);  // released; leak checks cover the rest
    ASSERT_EQ(2u, notes.Count());
    EXPECT_STREQ("; one", notes[0]);
    EXPECT_STREQ("three", notes[1]);
    EXPECT_EQ(nullptr, notes[2]);
}

TEST(Locks, AddedElementsStayTheCallers) {
    // Stack elements: the sanitizer build fails if the array frees them.
    Rec a = {1, ""}, b = {2, ""}, c = {3, ""}, other = {4, ""};
    CLockedPtrArray<Rec> arr;
    arr.Add(&a);
    arr.Add(&b);
    arr.Add(&c);
    EXPECT_EQ(4, arr.Add(&b));

    arr.Remove(&other);
    EXPECT_EQ(4u, arr.Count());
    arr.Remove(&b);  // searched from the end: the later duplicate goes
    arr.Remove(&a);
    ASSERT_EQ(2u, arr.Count());
    EXPECT_EQ(&b, arr[0]);
    EXPECT_EQ(&c, arr[1]);
    EXPECT_EQ(nullptr, arr[2]);

    arr.Clear();
    EXPECT_EQ(0u, arr.Capacity());
    EXPECT_EQ(1, arr.Add(&a));
}

TEST(Locks, SortOrdersSlots) {
    CLockedPtrArray<Rec> arr;
    arr.Sort(CompareKeys);
    for (int k : {5, -3, 9, 0, 5, 2}) {
        Rec r = {k, ""};
        arr.AddCopy(&r);
    }
    Rec* pNine = arr[2];
    arr.Sort(CompareKeys);
    const int want[] = {-3, 0, 2, 5, 5, 9};
    for (DWORD i = 0; i < arr.Count(); ++i) EXPECT_EQ(want[i], arr[i]->key);
    EXPECT_EQ(pNine, arr[5]);  // elements themselves do not move
    EXPECT_EQ(nullptr, arr[6]);
}

TEST(Locks, ConcurrentAddsAllLand) {
    constexpr int kThreads = 8, kPerThread = 3000;
    CLockedPtrArray<Rec> arr;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&arr, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Rec r = {t * kPerThread + i, ""};
                ASSERT_GT(arr.AddCopy(&r), 0);
                if (i % 10 == 0) {  // removals meanwhile move slots under contention
                    CriticalSection::CLock lock(arr);
                    arr.Remove(arr[arr.Count() - 1]);
                }
            }
        });
    }
    for (auto& th : threads) th.join();

    ASSERT_EQ(static_cast<DWORD>(kThreads * (kPerThread - kPerThread / 10)), arr.Count());
    EXPECT_EQ(nullptr, arr[arr.Count()]);
    arr.Sort(CompareKeys);
    for (DWORD i = 1; i < arr.Count(); ++i) ASSERT_LT(arr[i - 1]->key, arr[i]->key);
}

}  // namespace
