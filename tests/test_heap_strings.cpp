// Private heaps, the module heap, growable strings and wide-to-narrow
// conversion; which process-wide objects a process makes, and blocks that
// outlive them at exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sharedcode/hresult.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/debug.h"
#include "sharedcode/platform/faults_testhook.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/tracing.h"
#include "sharedcode/tsz.h"
#include "tests/fake_service.h"

namespace {

bool AllBytes(const void* pv, size_t cb, unsigned char b) {
    const unsigned char* p = static_cast<const unsigned char*>(pv);
    return std::all_of(p, p + cb, [b](unsigned char c) { return c == b; });
}

// Four threads allocate, resize and free random blocks on one heap (small,
// medium and mapped ones), each block filled with a byte of its own address:
// overlap, lost content or unzeroed memory shows. Blocks still live at the
// end go with the heap.
TEST(PrivateHeap, ThreadsKeepTheirBlocksApart) {
    plat::HHEAP hHeap = plat::HeapCreate(0, 0xFFFF, 0);
    ASSERT_NE(nullptr, hHeap);
    std::atomic<int> failures{0};
    auto work = [&](unsigned t) {
        auto fill = [t](const void* p) {
            return static_cast<unsigned char>(1 + (reinterpret_cast<uintptr_t>(p) / 16 + t) % 255);
        };
        std::vector<std::pair<unsigned char*, size_t>> live;
        std::mt19937 rng(20240601 + t);
        for (int round = 0; round < 6000; ++round) {
            const size_t cb = rng() % 64 == 0 ? rng() % 600000 : rng() % 16 == 0 ? rng() % 40000 : rng() % 1100;
            const unsigned op = live.empty() ? 0 : rng() % 8;  // 0-3 allocate, 4-5 free, 6-7 resize
            const size_t i = op < 4 ? live.size() : rng() % live.size();
            const auto [p, cbOld] = op < 4 ? std::pair<unsigned char*, size_t>() : live[i];
            const unsigned char fillOld = p ? fill(p) : 0;
            if (!AllBytes(p, cbOld, fillOld)) return ++failures;
            if (op == 4 || op == 5) {
                if (!plat::HeapFree(hHeap, 0, p)) return ++failures;
                live[i] = live.back();
                live.pop_back();
                continue;
            }
            auto* pNew = static_cast<unsigned char*>(p ? plat::HeapReAlloc(hHeap, plat::kHeapZeroMemory, p, cb)
                                                       : plat::HeapAlloc(hHeap, plat::kHeapZeroMemory, cb));
            if (!pNew || reinterpret_cast<uintptr_t>(pNew) % 16 != 0 || !AllBytes(pNew, std::min(cb, cbOld), fillOld) ||
                (cb > cbOld && !AllBytes(pNew + cbOld, cb - cbOld, 0)))
                return ++failures;
            std::memset(pNew, fill(pNew), cb);
            live.resize(std::max(live.size(), i + 1));
            live[i] = {pNew, cb};
        }
        return 0;
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back(work, t);
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_TRUE(plat::HeapDestroy(hHeap));
}

TEST(PrivateHeap, ForeignBlocksAndRefusals) {
    plat::HHEAP hHeap = plat::HeapCreate(0, 0, 0);
    plat::HHEAP hOther = plat::HeapCreate(0, 0, 0);
    ASSERT_TRUE(hHeap && hOther);
    void* pv = plat::HeapAlloc(hOther, 0, 40);
    EXPECT_FALSE(plat::HeapFree(hHeap, 0, pv));  // not this heap's
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::GetLastError());
    EXPECT_TRUE(plat::HeapFree(hOther, 0, pv));
    EXPECT_FALSE(plat::HeapFree(hOther, 0, pv));  // twice
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::GetLastError());
    plat::testing::FailHeapAllocs(hHeap, 1);
    EXPECT_EQ(nullptr, plat::HeapAlloc(hHeap, 0, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), plat::GetLastError());
    EXPECT_TRUE(plat::HeapDestroy(hOther) && plat::HeapDestroy(hHeap));
}

// A block as large as the largest list array, asked for and never filled,
// costs address space only: it reads as zeros without being written. (Under
// AddressSanitizer, marking it usable writes its shadow, an eighth of it.)
TEST(ModuleHeap, LargeBlockCostsNoMemoryUntilFilled) {
    constexpr DWORD cb = 268000000;
#if defined(__SANITIZE_ADDRESS__)
    constexpr uint64_t cbShadow = cb / 8;
#else
    constexpr uint64_t cbShadow = 0;
#endif
    const uint64_t cbBefore = plat::GetResidentBytes();
    auto* pb = static_cast<unsigned char*>(CModuleHeap::Malloc(cb));
    ASSERT_NE(nullptr, pb);
    const uint64_t cbGrowth = plat::GetResidentBytes() - cbBefore;
    EXPECT_LT(cbGrowth, cbShadow + (uint64_t{8} << 20));
    EXPECT_TRUE(AllBytes(pb, 4096, 0) && AllBytes(pb + cb / 2, 4096, 0) && AllBytes(pb + cb - 4096, 4096, 0));
    EXPECT_TRUE(CModuleHeap::Free(pb));
}

std::vector<std::string> g_trace;

TEST(ModuleHeap, RefusalsAreRecordedAndTraced) {
    EXPECT_FALSE(CModuleHeap::Free(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), plat::GetLastError());
    EXPECT_EQ(static_cast<HRESULT>(0x800701E7u), CModuleHeap::Instance().LastResult());

    CRVN::Tracing::Instance().SetChannel([]() -> BOOL { return TRUE; }, [](const char* sz) { g_trace.push_back(sz); });
    g_trace.clear();
    plat::testing::FailHeapCreates(1);
    {
        CModuleHeap heap;
        EXPECT_EQ(HrFromWin32(ERROR_NOT_ENOUGH_MEMORY), heap.LastResult());
        EXPECT_EQ(nullptr, heap.Alloc(16));
        EXPECT_FALSE(heap.Release(nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
    }
    CRVN::Tracing::Instance().SetChannel(plat::IsDebuggerPresent, plat::OutputDebugStringA);
    // Each a header and a message.
    ASSERT_EQ(4u, g_trace.size());
    EXPECT_EQ("HeapCreate failed\n", g_trace[1]);
    EXPECT_EQ("Invalid Heap Handle. @ERR=ERROR_INVALID_HANDLE\n", g_trace[3]);
}

// ---------------------------------------------------------------------------
// Strings

plat::HHEAP StringHeap() { return CTSzHeap::Instance().Handle(); }

// A buffer is replaced when a text's length + 1 reaches its capacity, by one
// of the grow step + the length; Append grows by capacity + step + 1 + n;
// Format by steps until the text fits.
TEST(TSz, GrowthRules) {
    TSz<char> s;
    const char* before = s.Get();
    s.Assign(std::string(62, 'a').c_str());  // 62 + 1 stays below 64
    EXPECT_EQ(before, s.Get());
    s.Assign(std::string(63, 'b').c_str());  // 63 + 1 reaches it
    EXPECT_EQ(127u, s.Capacity());
    EXPECT_EQ(std::string(63, 'b'), s.Get());

    TSz<char> t("hello");
    EXPECT_EQ(69u, t.Capacity());
    t.Assign(t.Get() + 2);  // a text from its own buffer
    EXPECT_STREQ("llo", t.Get());
    EXPECT_EQ(-1, t.Find(""));

    TSz<char> a;
    a.Append(std::string(60, 'a').c_str());
    EXPECT_EQ(64u, a.Capacity());  // 64 > 0 + 1 + 60
    a.Append("bcd");               // 64 <= 60 + 1 + 3
    EXPECT_EQ(132u, a.Capacity());
    a.Append(a.Get() + 57);  // its own tail, across a move
    EXPECT_EQ(std::string(60, 'a') + "bcd" + "aaabcd", a.Get());

    TSz<char> f;
    EXPECT_EQ(std::string(100, 'x'), f.Format("%s", std::string(100, 'x').c_str()));
    EXPECT_EQ(128u, f.Capacity());
    f.Format("%s", std::string(300, 'y').c_str());
    EXPECT_EQ(320u, f.Capacity());
}

// A refusing heap leaves an empty string without a buffer; nothing is
// written through a null one, and the next operation asks again.
TEST(TSz, RefusedBuffers) {
    plat::testing::FailHeapAllocs(StringHeap(), 100);
    TSz<char> none;
    EXPECT_EQ(0u, none.Capacity());
    EXPECT_STREQ("", none.Assign("abc").Get());
    EXPECT_STREQ("", none.Format("%d", 12345));
    EXPECT_THROW(none.Append("x"), long);
    plat::testing::FailHeapAllocs(StringHeap(), 2);
    TSz<char> s, g;
    EXPECT_EQ(67u, s.Assign("abc").Capacity());
    EXPECT_STREQ("12345", g.Format("%d", 12345));

    // A formatter failure (no C-locale form of the character) is not a cut:
    // growing would never end it. A refused growth leaves the text as it was,
    // cut to the buffer by Format, thrown by Append.
    TSz<char> bad, cut, full(std::string(63, 'z').c_str());  // capacity 127
    bad.Format("%ls", L"caf\u00e9");
    EXPECT_EQ(64u, bad.Capacity());
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    cut.Format("%s", std::string(100, 'x').c_str());
    EXPECT_EQ(std::string(63, 'x'), cut.Get());
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    EXPECT_THROW(full.Append(std::string(64, 'q').c_str()), long);  // TSZ_E_OUTOFMEMORY
    EXPECT_EQ(std::string(63, 'z'), full.Get());
    EXPECT_EQ(127u, full.Capacity());
}

// The block a string released is the next one of its size the heap hands
// out; taken without zero-filling, it shows what the string left in it.
TEST(TSz, WipeZeroFillsEveryReleasedBuffer) {
    // A secret of 57 characters: it fills most of its 64-character buffer.
    const std::string secret = "correct horse battery staple, correct horse battery staple", more(100, '-');
    for (bool fWipe : {false, true}) {
        for (int how = 0; how < 3; ++how) {
            auto s = std::make_unique<TSz<char>>();
            EXPECT_EQ(fWipe, s->SetWipe(fWipe));
            s->Assign(secret.c_str());
            const char* old = s->Get();
            if (how == 0) s->Assign(more.c_str());       // replaced
            else if (how == 1) s->Append(more.c_str());  // moved
            else s.reset();                              // destroyed
            void* pv = plat::HeapAlloc(StringHeap(), 0, 64);
#ifdef _WIN32
            if (old != pv) {
                plat::HeapFree(StringHeap(), 0, pv);
                GTEST_SKIP() << "the system's heap did not hand the released block out again";
            }
#endif
            ASSERT_EQ(old, pv) << "the heap did not hand the released block out again";
            EXPECT_EQ(fWipe, AllBytes(pv, 64, 0)) << how;
            // The heap's own links may take the first bytes of a free block.
            EXPECT_EQ(!fWipe, std::string(old, 64).find(secret.substr(24)) != std::string::npos) << how;
            plat::HeapFree(StringHeap(), 0, pv);
        }
    }
}

TEST(WCharChar, FromWide) {
    CWCharChar conv;
    EXPECT_EQ(S_OK, conv.FromWide(L"Gr\u00fc\u00dfe \u20ac"));
#ifdef _WIN32
    EXPECT_EQ(AnsiText(L"Gr\u00fc\u00dfe \u20ac"), conv.Narrow());
#else
    EXPECT_STREQ("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", conv.Narrow());  // the ANSI code page is UTF-8
#endif
    EXPECT_EQ(E_INVALIDARG, conv.FromWide(nullptr));
    EXPECT_STREQ("", conv.Narrow());
    // The heap refusing the conversion buffer.
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    EXPECT_EQ(HrFromWin32(ERROR_NOT_ENOUGH_MEMORY), conv.FromWide(std::wstring(10, L'b').c_str()));
    EXPECT_STREQ("", conv.Narrow());
}

// ---------------------------------------------------------------------------
// Process-wide objects, in a fresh process.

class ProcessObjectsDeathTest : public VgTestEnv {};

TEST_F(ProcessObjectsDeathTest, ScreeningCallsMakeNone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VGHRESULT hr;
            {
                FakeService service(VG_SCREENING_PIPE);
                service.SetHandler([](const Bytes& req) { return FakeAction{Bytes(ReplySize(U32At(req, 4)))}; });
                VGDWORD dw = 0;
                hr = HrVGIsBlackListed(&dw, "192.0.2.1", 0) | HrVGAllowIPConnection(&dw, "192.0.2.1", 1, nullptr, 0);
            }
            const unsigned cBefore = CRVN::ProcessObjectsCreated();
            // The first block and the first string make one heap each.
            CModuleHeap::Malloc(100);
            TSz<char> s("text");
            std::fprintf(stderr, "hr %ld, %u then %u\n", static_cast<long>(hr), cBefore,
                         static_cast<unsigned>(CRVN::ProcessObjectsCreated()));
            TearDown();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "hr 0, 0 then 2");
}

// Objects of the caller's that outlive the process-wide heaps at exit: a
// static made before the heaps is destroyed after them.
TEST(ExitOrderDeathTest, BlocksOutlivingTheirHeapAreLeftAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Both statics are complete before the heaps exist, so they go
            // after them.
            static std::optional<TSz<char>> s_text;
            static void* s_block = nullptr;
            static struct Release {
                ~Release() { CModuleHeap::Free(s_block); }
            } s_release;
            s_text.emplace("made after its holder");
            s_text->Append(" and grown");
            s_block = CModuleHeap::Malloc(64);
            std::exit(s_block ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
