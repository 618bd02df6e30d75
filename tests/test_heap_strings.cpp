// Private heaps, the module heap, growable strings and wide-to-narrow
// conversion; which process-wide objects a process makes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "sharedcode/hresult.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/debug.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/tracing.h"
#include "sharedcode/tsz.h"
#include "tests/fake_service.h"

namespace {

using plat::HHEAP;

bool AllBytes(const void* pv, size_t cb, unsigned char b) {
    const unsigned char* p = static_cast<const unsigned char*>(pv);
    return std::all_of(p, p + cb, [b](unsigned char c) { return c == b; });
}

// ---------------------------------------------------------------------------
// Private heaps

// Random allocations, resizes and releases, each block filled with its own
// byte: any overlap, lost content or unzeroed memory shows. Blocks still live
// at the end go with the heap (the leak checker watches that).
TEST(PrivateHeap, BlocksKeepTheirContent) {
    HHEAP hHeap = plat::HeapCreate(0, 0xFFFF, 0);
    ASSERT_NE(nullptr, hHeap);
    struct Block {
        unsigned char* p;
        size_t cb;
        unsigned char fill;
    };
    std::vector<Block> live;
    std::mt19937 rng(20240601);
    auto size = [&rng]() -> size_t { return rng() % 16 == 0 ? rng() % 40000 : rng() % 1100; };
    for (int round = 0; round < 20000; ++round) {
        unsigned op = rng() % 8;
        if (live.empty() || op < 4) {
            Block b{nullptr, size(), static_cast<unsigned char>(1 + round % 255)};
            b.p = static_cast<unsigned char*>(plat::HeapAlloc(hHeap, plat::kHeapZeroMemory, b.cb));
            ASSERT_NE(nullptr, b.p);
            ASSERT_EQ(0u, reinterpret_cast<uintptr_t>(b.p) % 16);
            ASSERT_TRUE(AllBytes(b.p, b.cb, 0)) << b.cb;
            std::memset(b.p, b.fill, b.cb);
            live.push_back(b);
            continue;
        }
        size_t i = rng() % live.size();
        Block& b = live[i];
        ASSERT_TRUE(AllBytes(b.p, b.cb, b.fill)) << "block of " << b.cb << " overwritten";
        if (op < 6) {
            ASSERT_TRUE(plat::HeapFree(hHeap, 0, b.p));
            live[i] = live.back();
            live.pop_back();
        } else {
            size_t cbNew = size();
            auto* p = static_cast<unsigned char*>(plat::HeapReAlloc(hHeap, plat::kHeapZeroMemory, b.p, cbNew));
            ASSERT_NE(nullptr, p);
            ASSERT_TRUE(AllBytes(p, std::min(b.cb, cbNew), b.fill));
            if (cbNew > b.cb) {
                ASSERT_TRUE(AllBytes(p + b.cb, cbNew - b.cb, 0));
            }
            b.p = p;
            b.cb = cbNew;
            std::memset(p, b.fill, cbNew);
        }
    }
    EXPECT_TRUE(plat::HeapDestroy(hHeap));
}

TEST(PrivateHeap, ForeignBlocksLimitsAndRefusals) {
    HHEAP hHeap = plat::HeapCreate(0, 0, 0);
    HHEAP hOther = plat::HeapCreate(0, 0, 0);
    ASSERT_TRUE(hHeap && hOther);
    EXPECT_TRUE(plat::HeapFree(hHeap, 0, nullptr));

    void* pv = plat::HeapAlloc(hOther, 0, 40);
    EXPECT_FALSE(plat::HeapFree(hHeap, 0, pv));  // not this heap's
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::GetLastError());
    EXPECT_TRUE(plat::HeapFree(hOther, 0, pv));
    EXPECT_FALSE(plat::HeapFree(hOther, 0, pv));  // twice
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), plat::GetLastError());

    // In place: within the block's room only; a refused resize keeps the block.
    char* p = static_cast<char*>(plat::HeapAlloc(hHeap, 0, 10));
    std::memcpy(p, "abcdefghi", 10);
    const DWORD inPlace = plat::kHeapZeroMemory | plat::kHeapReallocInPlaceOnly;
    EXPECT_EQ(p, plat::HeapReAlloc(hHeap, inPlace, p, 16));
    EXPECT_TRUE(AllBytes(p + 10, 6, 0));
    EXPECT_EQ(nullptr, plat::HeapReAlloc(hHeap, inPlace, p, 4000));
    EXPECT_STREQ("abcdefghi", p);

    plat::testing::FailHeapAllocs(hHeap, 2);
    EXPECT_EQ(nullptr, plat::HeapAlloc(hHeap, 0, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), plat::GetLastError());
    EXPECT_EQ(nullptr, plat::HeapReAlloc(hHeap, 0, p, 12));
    EXPECT_STREQ("abcdefghi", p);
    EXPECT_NE(nullptr, plat::HeapAlloc(hOther, 0, 8));  // only that heap refused
    EXPECT_NE(nullptr, plat::HeapAlloc(hHeap, 0, 8));

    // A bounded heap refuses what would take it past its maximum.
    HHEAP hSmall = plat::HeapCreate(0, 0, 64 * 1024);
    ASSERT_NE(nullptr, hSmall);
    EXPECT_EQ(nullptr, plat::HeapAlloc(hSmall, 0, 100000));
    size_t cbTotal = 0;
    while (plat::HeapAlloc(hSmall, 0, 1000)) cbTotal += 1000;
    EXPECT_GT(cbTotal, 32u * 1024);
    EXPECT_LE(cbTotal, 64u * 1024);

    EXPECT_TRUE(plat::HeapDestroy(hSmall));
    EXPECT_TRUE(plat::HeapDestroy(hOther));
    EXPECT_TRUE(plat::HeapDestroy(hHeap));
    EXPECT_FALSE(plat::HeapDestroy(nullptr));
}

TEST(PrivateHeapDeathTest, TerminationOnCorruption) {
    EXPECT_DEATH(
        {
            HHEAP hHeap = plat::HeapCreate(0, 0, 0);
            plat::HeapSetInformation(hHeap, plat::HeapInfoClass::EnableTerminationOnCorruption, nullptr, 0);
            void* pv = plat::HeapAlloc(hHeap, 0, 32);
            plat::HeapFree(hHeap, 0, pv);
            plat::HeapFree(hHeap, 0, pv);
        },
        "heap corruption");
}

// ---------------------------------------------------------------------------
// Module heap

TEST(ModuleHeap, ZeroFilledBlocksAndNullFree) {
    auto* p = static_cast<unsigned char*>(CModuleHeap::Malloc(16));
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(AllBytes(p, 16, 0));
    std::memset(p, 0xAB, 16);
    EXPECT_TRUE(CModuleHeap::Free(p));
    EXPECT_FALSE(CModuleHeap::Free(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), plat::GetLastError());
    EXPECT_EQ(static_cast<HRESULT>(0x800701E7u), CModuleHeap::Instance().LastResult());

    CModuleHeap own;  // configured without failure
    EXPECT_NE(nullptr, own.Handle());
    EXPECT_EQ(S_OK, own.LastResult());
}

std::vector<std::string> g_trace;
BOOL Attached() { return TRUE; }
void Capture(const char* sz) { g_trace.push_back(sz); }

TEST(ModuleHeap, WithoutHeapEverythingFailsAndIsTraced) {
    CRVN::Tracing& tracing = CRVN::Tracing::Instance();
    tracing.SetChannel(Attached, Capture);
    g_trace.clear();
    plat::testing::FailHeapCreates(1);
    {
        CModuleHeap heap;
        EXPECT_EQ(nullptr, heap.Handle());
        EXPECT_EQ(HrFromWin32(ERROR_NOT_ENOUGH_MEMORY), heap.LastResult());
        EXPECT_EQ(nullptr, heap.Alloc(16));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
        int block = 0;
        EXPECT_FALSE(heap.Release(&block));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), plat::GetLastError());
    }
    tracing.SetChannel(plat::IsDebuggerPresent, plat::OutputDebugStringA);

    ASSERT_EQ(4u, g_trace.size());
    EXPECT_EQ(0u, g_trace[0].find("moduleheap.cpp(151): ")) << g_trace[0];
    EXPECT_NE(std::string::npos, g_trace[0].find("!TID("));
    EXPECT_NE(std::string::npos, g_trace[0].find("h) CModuleHeap::CModuleHeap "));
    EXPECT_EQ("HeapCreate failed\n", g_trace[1]);
    EXPECT_EQ(0u, g_trace[2].find("moduleheap.cpp(224): ")) << g_trace[2];
    EXPECT_NE(std::string::npos, g_trace[2].find("h) CModuleHeap::Malloc "));
    EXPECT_EQ("Invalid Heap Handle. @ERR=ERROR_INVALID_HANDLE\n", g_trace[3]);
}

TEST(ModuleHeap, ThreadsShareTheHeap) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            std::vector<std::pair<unsigned char*, DWORD>> blocks;
            for (int i = 0; i < 20000; ++i) {
                DWORD cb = 16 + static_cast<DWORD>((i * 37 + t * 11) % 1009);
                auto* p = static_cast<unsigned char*>(CModuleHeap::Malloc(cb));
                if (!p || !AllBytes(p, cb, 0)) ++failures;
                if (!p) continue;
                std::memset(p, t + 1, cb);
                blocks.emplace_back(p, cb);
                if (blocks.size() > 64 || i % 3 == 0) {
                    auto b = blocks[static_cast<size_t>(i) % blocks.size()];
                    if (!AllBytes(b.first, b.second, static_cast<unsigned char>(t + 1))) ++failures;
                    if (!CModuleHeap::Free(b.first)) ++failures;
                    blocks[static_cast<size_t>(i) % blocks.size()] = blocks.back();
                    blocks.pop_back();
                }
            }
            for (auto& b : blocks) CModuleHeap::Free(b.first);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, failures.load());
}

// ---------------------------------------------------------------------------
// Strings

HHEAP StringHeap() { return CTSzHeap::Instance().Handle(); }

TEST(TSz, CapacityRules) {
    TSz<char> s;
    EXPECT_EQ(64u, s.Capacity());
    EXPECT_STREQ("", s.Get());
    const char* before = s.Get();
    s.Assign(std::string(62, 'a').c_str());  // 62 + 1 stays below 64
    EXPECT_EQ(before, s.Get());
    EXPECT_EQ(64u, s.Capacity());
    s.Assign(std::string(63, 'b').c_str());  // 63 + 1 reaches it
    EXPECT_EQ(127u, s.Capacity());
    EXPECT_EQ(std::string(63, 'b'), s.Get());
    s.Assign(nullptr);
    EXPECT_STREQ("", s.Get());
    EXPECT_EQ(127u, s.Capacity());

    TSz<char> t("hello");
    EXPECT_EQ(69u, t.Capacity());
    t.Assign(t.Get() + 2);  // a text from its own buffer
    EXPECT_STREQ("llo", t.Get());
    EXPECT_EQ(3u, t.Length());

    TSz<wchar_t> w;
    w.Assign(std::wstring(63, L'\u00e9').c_str());
    EXPECT_EQ(127u, w.Capacity());
    EXPECT_EQ(std::wstring(63, L'\u00e9'), w.Get());
}

TEST(TSz, FormatGrowsByStepsUntilTheTextFits) {
    const std::string text(100, 'x');
    TSz<char> s;
    EXPECT_EQ(text, s.Format("%s", text.c_str()));
    EXPECT_EQ(128u, s.Capacity());
    EXPECT_EQ(100u, s.Length());
    EXPECT_STREQ("7-b", s.Format("%d-%s", 7, "b"));
    EXPECT_EQ(3u, s.Length());

    TSz<char> t;
    t.Format("%s", std::string(300, 'y').c_str());
    EXPECT_EQ(320u, t.Capacity());

    // A formatter failure (no C-locale form of the character) is not a cut:
    // growing would never end it.
    TSz<char> bad;
    bad.Format("%ls", L"caf\u00e9");
    EXPECT_EQ(64u, bad.Capacity());

    // When the heap refuses to grow, the text stays cut to the buffer.
    TSz<char> cut;
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    cut.Format("%s", text.c_str());
    EXPECT_EQ(std::string(63, 'x'), cut.Get());
    EXPECT_EQ(64u, cut.Capacity());
    EXPECT_EQ(63u, cut.Length());
}

TEST(TSz, AppendGrowsOrThrowsLeavingTheString) {
    TSz<char> s;
    s.Append(std::string(60, 'a').c_str());
    EXPECT_EQ(64u, s.Capacity());  // 64 > 0 + 1 + 60
    s.Append("bcd");               // 64 <= 60 + 1 + 3
    EXPECT_EQ(132u, s.Capacity());
    EXPECT_EQ(std::string(60, 'a') + "bcd", s.Get());
    s.Append(s.Get() + 57);  // its own tail, across a move
    EXPECT_EQ(std::string(60, 'a') + "bcd" + "aaabcd", s.Get());
    EXPECT_EQ(69u, s.Length());

    TSz<char> full(std::string(63, 'z').c_str());  // capacity 127
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    try {
        full.Append(std::string(64, 'q').c_str());
        ADD_FAILURE() << "no exception";
    } catch (long hr) {
        EXPECT_EQ(static_cast<long>(TSZ_E_OUTOFMEMORY), hr);
        EXPECT_LT(hr, 0);
    }
    EXPECT_EQ(std::string(63, 'z'), full.Get());
    EXPECT_EQ(127u, full.Capacity());
}

TEST(TSz, Find) {
    TSz<char> s("abcabc");
    EXPECT_EQ(2, s.Find("ca"));
    EXPECT_EQ(0, s.Find("abc"));
    EXPECT_EQ(-1, s.Find("x"));
    EXPECT_EQ(-1, s.Find(""));
    EXPECT_EQ(-1, s.Find(nullptr));
    EXPECT_EQ(-1, TSz<char>().Find("a"));
}

// A refusing heap leaves an empty string without a buffer; nothing is
// written through a null one, and the next operation asks again.
TEST(TSz, RefusedBuffers) {
    plat::testing::FailHeapAllocs(StringHeap(), 100);
    {
        TSz<char> s;
        TSz<char> t("text");
        EXPECT_EQ(0u, s.Capacity());
        EXPECT_STREQ("", s.Get());
        EXPECT_STREQ("", t.Get());
        s.Assign("abc");
        EXPECT_STREQ("", s.Get());
        EXPECT_STREQ("", s.Format("%d", 12345));
        EXPECT_THROW(s.Append("x"), long);
        EXPECT_EQ(0u, s.Length());
    }
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    TSz<char> s;
    EXPECT_EQ(0u, s.Capacity());
    s.Assign("abc");
    EXPECT_STREQ("abc", s.Get());
    EXPECT_EQ(67u, s.Capacity());
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    TSz<char> g;
    EXPECT_STREQ("12345", g.Format("%d", 12345));
    TSz<wchar_t> w;
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    w.Assign(std::wstring(70, L'w').c_str());
    EXPECT_STREQ(L"", w.Get());
    EXPECT_EQ(0u, w.Capacity());
}

// The block a string released is the next one of its size the heap hands
// out; taken without zero-filling, it shows what the string left in it.
std::string LeftBehind(const void* pvReleased, size_t cb) {
    void* pv = plat::HeapAlloc(StringHeap(), 0, cb);
    EXPECT_EQ(pvReleased, pv) << "the heap did not hand the released block out again";
    std::string bytes(static_cast<const char*>(pv), cb);
    plat::HeapFree(StringHeap(), 0, pv);
    return bytes;
}

TEST(TSz, WipeZeroFillsEveryReleasedBuffer) {
    const std::string secret = "correct horse battery staple";
    for (bool fWipe : {false, true}) {
        SCOPED_TRACE(fWipe ? "wipe" : "no wipe");
        auto check = [&](const std::string& left) {
            EXPECT_EQ(fWipe, AllBytes(left.data(), left.size(), 0));
            EXPECT_EQ(!fWipe, left.find(secret) != std::string::npos);
        };
        {  // replaced by Assign
            TSz<char> s;
            EXPECT_EQ(fWipe, s.SetWipe(fWipe));
            s.Assign(secret.c_str());
            const char* old = s.Get();
            s.Assign(std::string(100, '-').c_str());
            check(LeftBehind(old, 64));
        }
        {  // moved by Append
            TSz<char> s;
            s.SetWipe(fWipe);
            s.Assign(secret.c_str());
            const char* old = s.Get();
            s.Append(std::string(100, '-').c_str());
            ASSERT_NE(old, s.Get());
            EXPECT_EQ(secret + std::string(100, '-'), s.Get());
            check(LeftBehind(old, 64));
        }
        {  // released by the destructor
            const char* old;
            {
                TSz<char> s;
                s.SetWipe(fWipe);
                s.Assign(secret.c_str());
                old = s.Get();
            }
            check(LeftBehind(old, 64));
        }
    }
}

TEST(WCharChar, FromWide) {
    CWCharChar conv;
    EXPECT_EQ(S_OK, conv.FromWide(L"Gr\u00fc\u00dfe \u20ac"));
    EXPECT_STREQ("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", conv.Narrow());
    EXPECT_STREQ(L"Gr\u00fc\u00dfe \u20ac", conv.Wide());

    EXPECT_EQ(S_OK, conv.FromWide(L""));
    EXPECT_STREQ("", conv.Narrow());
    EXPECT_EQ(E_INVALIDARG, conv.FromWide(nullptr));
    EXPECT_STREQ("", conv.Narrow());

    // The heap refusing the conversion buffer.
    CWCharChar refused;
    EXPECT_EQ(S_OK, refused.FromWide(std::wstring(200, L'a').c_str()));
    EXPECT_EQ(200u, std::strlen(refused.Narrow()));
    plat::testing::FailHeapAllocs(StringHeap(), 1);
    EXPECT_EQ(HrFromWin32(ERROR_NOT_ENOUGH_MEMORY), refused.FromWide(std::wstring(10, L'b').c_str()));
    EXPECT_STREQ("", refused.Narrow());
}

// ---------------------------------------------------------------------------
// Process-wide objects, in a fresh process each.

TEST(ProcessObjectsDeathTest, ScreeningCallsMakeNone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            char dir[] = "/tmp/vgheap.XXXXXX";
            if (!::mkdtemp(dir)) std::_Exit(2);
            ::setenv("VIGILON_PIPE_DIR", dir, 1);
            ::setenv("VIGILON_REGISTRY", (std::string(dir) + "/registry.reg").c_str(), 1);
            DWORD dwAnswers = 0;
            {
                FakeService service(VG_SCREENING_PIPE);
                service.SetHandler([](const Bytes& req) {
                    FakeAction a;
                    a.reply.assign(ReplySize(U32At(req, 4)), 0);
                    return a;
                });
                VGDWORD dw = 0;
                dwAnswers += HrVGIsBlackListed(&dw, "192.0.2.1", 0) == 0;
                dwAnswers += HrVGIsTrusted(&dw, "192.0.2.1", 0) == 0;
            }
            VGIsWhiteListed("192.0.2.1", 0);  // no service any more
            std::filesystem::remove_all(dir);
            std::fprintf(stderr, "answers %u, objects %u;", static_cast<unsigned>(dwAnswers),
                         static_cast<unsigned>(CRVN::ProcessObjectsCreated()));
            // The first block and the first string make one heap each. Both
            // hold blocks at exit, released with their heaps.
            CModuleHeap::Malloc(100);
            TSz<char> s("text");
            plat::HeapAlloc(CTSzHeap::Instance().Handle(), 0, 100);
            std::fprintf(stderr, " then %u\n", static_cast<unsigned>(CRVN::ProcessObjectsCreated()));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "answers 2, objects 0; then 2");
}

}  // namespace
