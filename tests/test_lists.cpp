// List retrieval over the list channel: the request, how the header and the
// end of the record stream decide the result, hostile headers, opening a
// busy channel, and the byte-mode reads underneath.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgtransport.h"
#include "VGClient/vgwire.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/faults_testhook.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/pipe.h"
#include "tests/mgmt_test.h"
#include "tests/signal_storm.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr VGHRESULT Hr(uint32_t v) { return static_cast<VGHRESULT>(v); }
constexpr VGHRESULT kBrokenPipe = Hr(0x8007006Du), kBadHeader = Hr(0x8007000Du), kMoreRecords = Hr(0x800700EAu);
constexpr VGHRESULT kMissingArg = Hr(0x800700A0u), kNoMemory = Hr(0x8007000Eu);

const VGSESSIONID kSession = {0x11223344u, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01}};

// Each list's retrieval and free behind one signature.
struct ListApi {
    uint32_t command;
    uint32_t cbItem;
    VGHRESULT (*get)(VGSESSIONID, void**, VGDWORD*);
    VGHRESULT (*release)(void*);
};

template <typename Item, VGHRESULT(VGAPI* Get)(VGSESSIONID, Item**, VGDWORD*, VGDWORD)>
VGHRESULT GetAs(VGSESSIONID id, void** ppItems, VGDWORD* pcItems) {
    return Get(id, reinterpret_cast<Item**>(ppItems), pcItems, 0);
}

const ListApi kLists[] = {
    {32, 160, GetAs<VGWHITEITEM, HrVGGetWhiteItemList>, [](void* p) { return HrVGFreeWhiteItemList(p, 0); }},
    {36, 160, GetAs<VGBLACKITEM, HrVGGetBlackItemList>, [](void* p) { return HrVGFreeBlackItemList(p, 1); }},
    {40, 120, GetAs<VGTRUSTEDIPITEM, HrVGGetTrustedIPItemList>, [](void* p) { return HrVGFreeTrustedIPItemList(p); }},
    {43, 328, GetAs<VGGATEWAYITEM, HrVGGetGatewayItemList>, [](void* p) { return HrVGFreeGatewayItemList(p); }},
    {46, 352, GetAs<VGFROZENACCOUNT, HrVGGetFrozenAccountList>, [](void* p) { return HrVGFreeFrozenAccountList(p); }},
    {51, 716, GetAs<VGAUTHFAILITEM, HrVGGetAuthFailItemList>, [](void* p) { return HrVGFreeAuthFailItemList(p); }},
};
enum { kWhite = 0, kFrozen = 4, kAuthFail = 5 };

Bytes ListHeader(int32_t hrStatus, uint32_t cItems, uint32_t cbItem, size_t cb = 20) {
    VGLISTHDR hdr = {{20, VG_PROTOCOL_VERSION, hrStatus}, cItems, cbItem};
    return FakeService::Of(hdr, cb);
}

// Records 0 to n-1 of a list, back to back: bytes that differ from record to
// record and from zero.
Bytes Records(uint32_t cb, uint32_t n, uint32_t first = 0) {
    Bytes b(size_t{cb} * n);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>((first + i / cb) * 31 + i % cb + 1);
    return b;
}

// A header, cSent records of one frame each, and the end of the stream: a
// frame of length 0 unless fClose.
std::vector<Bytes> ListFrames(int32_t hrStatus, uint32_t cItems, uint32_t cbItem, uint32_t cSent, bool fClose = false) {
    std::vector<Bytes> frames = {ListHeader(hrStatus, cItems, cbItem)};
    for (uint32_t i = 0; i < cSent; ++i) frames.push_back(Records(cbItem, 1, i));
    if (!fClose) frames.push_back(Bytes());
    return frames;
}

// The pause before each frame after the first where a test sends them one at
// a time, as a service writes them: a Windows byte-mode read returns what has
// arrived, so frames queued together would run into one read there.
constexpr int kOneByOneMs = 20;

// A retrieval's result and count, and the first cSlots records of its array.
struct Retrieved { VGHRESULT hr; VGDWORD n; Bytes records; };

class Lists : public VgMgmtTest {
protected:
    // The frames in order; none: the service closes without a word.
    void Answer(std::vector<Bytes> frames, int frameGapMs = 0) {
        m_service->SetHandler([=](const Bytes&) {
            FakeAction a;
            a.stream = frames;
            a.closeWithoutReply = frames.empty();
            a.frameGapMs = frameGapMs;
            return a;
        });
    }
    // Frees the array with the next list's free: all arrays come from one heap.
    Retrieved Retrieve(size_t iList, uint32_t cSlots = 0) {
        const ListApi& list = kLists[iList];
        void* p = &p;
        VGDWORD n = 99;
        Retrieved r = {list.get(kSession, &p, &n), n, {}};
        EXPECT_EQ(p == nullptr, n == 0) << "an array exactly when records came";
        if (p && p != &p) {
            r.records = Bytes(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + list.cbItem * std::max<size_t>(cSlots, n));
            EXPECT_EQ(kLists[(iList + 1) % 6].release(p), 0);
        }
        return r;
    }
};

// Null arguments are refused before the channel is opened.
TEST_F(Lists, EachListSendsItsRequestAndHandsOutItsRecords) {
    for (size_t i = 0; i < 6; ++i) {
        const ListApi& list = kLists[i];
        void* p = nullptr;
        VGDWORD n = 0;
        EXPECT_EQ(list.get(kSession, nullptr, &n), kMissingArg) << list.command;
        EXPECT_EQ(list.get(kSession, &p, nullptr), kMissingArg) << list.command;
        EXPECT_EQ(list.release(nullptr), Hr(0x80070057u)) << list.command;

        Answer(ListFrames(0, 3, list.cbItem, 3));
        const Retrieved r = Retrieve(i, 4);
        EXPECT_EQ(r.hr, 0) << list.command;
        EXPECT_EQ(r.n, 3u) << list.command;
        Bytes expected = Records(list.cbItem, 3);
        expected.resize(expected.size() + list.cbItem);  // the spare slot stays zero
        EXPECT_TRUE(r.records == expected) << list.command;
        ExpectSessionHeader(m_service->Requests().at(i), list.command, 116, kSession);
    }
    EXPECT_EQ(m_service->Connections(), 6);
}

// The header, then how the record stream ends, decide what is handed out.
TEST_F(Lists, HeaderAndEndOfStreamDecideCountAndResult) {
    struct Case { const char* what; std::vector<Bytes> frames; VGHRESULT expected; uint32_t cExpected; size_t iList = 0; bool fNoMemory = false; bool fSpareTaken = false; };
    const Case cases[] = {
        {"empty list with a success status", {ListHeader(1, 0, 160), Bytes()}, 1, 0},
        {"refused list, records following", ListFrames(Hr(0x81500123u), 4, 160, 4), Hr(0x81500123u), 0},
        {"header of the status only", {ListHeader(7, 5, 160, 12)}, 7, 0},
        {"header frame of length 0", {Bytes(), ListHeader(0, 3, 160)}, 0, 0},
        {"closed before the header", {}, kBrokenPipe, 0},
        {"all, then the service closes", ListFrames(0, 3, 160, 3, true), kBrokenPipe, 3},
        {"none of those announced", ListFrames(0, 5, 160, 0), 0, 0},
        {"closed before the first record", ListFrames(0, 5, 160, 0, true), kBrokenPipe, 0},
        {"a success status gives way to the zero read", ListFrames(1, 2, 160, 2), 0, 2},
        {"a short read ends it", {ListHeader(0, 2, 160), Records(160, 2), Bytes(100, 1), {}, Records(160, 1)}, 0, 2, kWhite, false, true},
        // Records beyond those announced are not kept: the spare slot stays.
        {"one more than announced", ListFrames(0, 2, 160, 3), kMoreRecords, 2},
        {"many more than announced", ListFrames(0, 2, 160, 6), kMoreRecords, 2},
        {"many more than announced, then closed", ListFrames(0, 1, 160, 50, true), kMoreRecords, 1},
        {"array not allocated", ListFrames(0, 3, 160, 3), kNoMemory, 0, kWhite, true},
        // Hostile headers are refused before any record is read.
        {"count 0xFFFFFFFF", {ListHeader(0, 0xFFFFFFFFu, 160), Records(160, 4)}, kBadHeader, 0},
        {"record size one too large", {ListHeader(0, 3, 161), Records(160, 4)}, kBadHeader, 0},
        {"count whose array size wraps 32 bits", {ListHeader(0, 5998558, 716)}, kBadHeader, 0, kAuthFail},
        {"array just above 256 MiB", {ListHeader(0, 1677721, 160), Records(160, 4)}, kBadHeader, 0},
        // A header without its record size (a read of length 0 ends it) keeps
        // the preset: the list's own except for the authentication-failure list.
        {"short header", {ListHeader(0, 3, 716, 16), {}, Records(716, 4)}, kBadHeader, 0, kAuthFail},
        {"frozen list, short header", {ListHeader(0, 2, 999, 16), {}, Records(352, 4)}, 0, 0, kFrozen},
    };
    for (const Case& c : cases) {
        Answer(c.frames, kOneByOneMs);
        plat::testing::FailHeapAllocs(CModuleHeap::Instance().Handle(), c.fNoMemory ? 1 : 0);
        const Retrieved r = Retrieve(c.iList, c.cExpected + 1);
        EXPECT_EQ(r.hr, c.expected) << c.what;
        EXPECT_EQ(r.n, c.cExpected) << c.what;
        if (r.n == 0) continue;
        Bytes expected = Records(kLists[c.iList].cbItem, c.cExpected);
        if (!c.fSpareTaken) expected.resize(r.records.size());  // the spare slot, zero
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r.records.begin())) << c.what;
    }
}

// No pipe: the wait fails at once. Busy: the open's error after one wait.
TEST_F(Lists, MissingOrBusyChannelIsWaitedForOnce) {
    m_service.reset();
    auto t0 = Clock::now();
    EXPECT_EQ(Retrieve(kWhite).hr, Hr(0x80070002u));
    EXPECT_LT(MsSince(t0), 100);

    m_service.reset(new FakeService(VG_MANAGEMENT_PIPE, 0));
    Answer(ListFrames(0, 1, 160, 1));
    m_service->SetAccepting(false);
    // Takes the one free place: the backlog's slot, or the idle instance.
    char szPath[VG_PIPE_PATH_SIZE];
    FormatPipePath(VG_PIPE_MANAGEMENT, szPath);
    plat::HPIPE blocker = plat::CreateFileA(szPath, plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                                            plat::kPipeOpenExisting, 0);
    ASSERT_NE(blocker, nullptr);
    WithSignalStorms([&](int storm) {
        t0 = Clock::now();
        EXPECT_EQ(Retrieve(kWhite).hr, Hr(0x800700E7u)) << storm;
        EXPECT_GE(MsSince(t0), 240) << storm;
        EXPECT_LT(MsSince(t0), 600) << storm;
    });

    // An instance that comes free within the wait serves the retrieval. On
    // POSIX it does so on the connection the wait made, so the service sees
    // no empty one besides the closed blocker; on Windows the wait makes
    // none, and the blocker's instance is passed over unseen.
    plat::CloseHandle(blocker);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_service->SetAccepting(true);
    });
    const Retrieved r = Retrieve(kWhite);
    release.join();
    EXPECT_EQ(r.hr, 0);
    EXPECT_EQ(r.n, 1u);
#ifdef _WIN32
    EXPECT_EQ(m_service->Connections(), 1);
#else
    EXPECT_EQ(m_service->Connections(), 2) << "the closed blocker and the retrieval";
#endif
    EXPECT_EQ(m_service->RequestCount(), 1u);
}

// ReplyTimeout bounds each read: a service that falls silent ends the
// retrieval with ERROR_SEM_TIMEOUT and the records that came before.
TEST_F(Lists, ReplyTimeoutEndsASilentStream) {
    WriteConfiguration("\"ReplyTimeout\"=dword:00000064\r\n");
    for (int cSent : {2, 0}) {
        m_service->SetHandler([=](const Bytes&) {
            FakeAction a;
            a.stream = ListFrames(0, 3, 160, static_cast<uint32_t>(cSent), true);
            a.delayMs = cSent ? 0 : 500;
            a.holdOpenMs = 500;
            return a;
        });
        auto t0 = Clock::now();
        const Retrieved r = Retrieve(kWhite);
        EXPECT_LT(MsSince(t0), 400) << cSent;
        EXPECT_EQ(r.hr, Hr(0x80070079u)) << cSent;
        EXPECT_EQ(r.n, static_cast<VGDWORD>(cSent));
        EXPECT_TRUE(r.records == Records(160, r.n)) << cSent;
    }
}

// The channel's platform reads serve bytes, not frames: a read spans frames
// and stops only at a frame of length 0 (which answers the next read) or the
// close, however the service cuts its stream and whenever the frames arrive.
TEST_F(Lists, ChannelReadsServeBytesNotFrames) {
    VG_POSIX_ONLY("the socket substitute's framing; a Windows pipe's reads are the system's");
    char szPath[VG_PIPE_PATH_SIZE];
    FormatPipePath(VG_PIPE_MANAGEMENT, szPath);
    auto open = [&](const std::vector<Bytes>& frames, int frameGapMs) {
        Answer(frames, frameGapMs);
        plat::HPIPE h = plat::CreateFileA(szPath, plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                                          plat::kPipeOpenExisting, 0);
        EXPECT_TRUE(h && plat::WriteFile(h, "x", 1, nullptr));
        return h;
    };
    plat::HPIPE h = open({Bytes{'a', 'b', 'c'}, {}, Bytes{'d', 'e', 'f', 'g', 'h'}, Bytes{'i', 'j'}}, 15);
    const std::pair<DWORD, std::string> reads[] = {{10, "abc"}, {10, ""}, {4, "defg"}, {10, "hij"}, {10, "error 109"}};
    for (const auto& r : reads) {
        std::string s(r.first, '\0');
        DWORD got = 12345;
        const bool ok = plat::ReadFile(h, &s[0], r.first, &got);
        EXPECT_EQ(ok ? s.substr(0, got) : "error " + std::to_string(plat::GetLastError()), r.second);
    }
    EXPECT_TRUE(plat::CloseHandle(h));

    // Large frames, and many small ones whose headers straddle the receive
    // buffer's end, read whole or in small pieces.
    Bytes big(600 * 1024);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::vector<Bytes> small;
    for (size_t i = 0; i < big.size(); i += 7)
        small.emplace_back(big.begin() + i, big.begin() + std::min(big.size(), i + 7));
    for (int pass = 0; pass < 3; ++pass) {
        h = open(pass == 2 ? small : std::vector<Bytes>{big}, 0);
        Bytes got(big.size());
        const size_t chunk = pass == 0 ? big.size() : 13;
        for (DWORD at = 0, n = 0; at < got.size(); at += n) {
            const DWORD want = static_cast<DWORD>(std::min(chunk, got.size() - at));
            ASSERT_TRUE(plat::ReadFile(h, &got[at], want, &n) && n == want) << "pass " << pass << " at " << at;
        }
        EXPECT_TRUE(got == big) << "pass " << pass;
        plat::CloseHandle(h);
    }
}

}  // namespace
