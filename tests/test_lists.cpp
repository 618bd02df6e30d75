// List retrieval over the list channel: the request, how the header and the
// end of the record stream decide the result, hostile headers, opening a
// busy channel, and the byte-mode reads underneath.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgtransport.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/pipe.h"
#include "sharedcode/platform/process.h"
#include "tests/fake_service.h"
#include "tests/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr VGHRESULT Hr(uint32_t v) { return static_cast<VGHRESULT>(v); }
constexpr VGHRESULT kBrokenPipe = Hr(0x8007006Du);
constexpr VGHRESULT kBadHeader = Hr(0x8007000Du);
constexpr VGHRESULT kMoreRecords = Hr(0x800700EAu);

const VGSESSIONID kSession = {0x11223344u, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01}};

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Each list's retrieval and free behind one signature.
struct ListApi {
    const char* name;
    uint32_t command;
    uint32_t cbItem;
    VGHRESULT (*get)(VGSESSIONID, void**, VGDWORD*);
    VGHRESULT (*release)(void*);
};

template <typename Item, VGHRESULT(VGAPI* Get)(VGSESSIONID, Item**, VGDWORD*, VGDWORD)>
VGHRESULT GetAs(VGSESSIONID id, void** ppItems, VGDWORD* pcItems) {
    Item* p = nullptr;
    VGHRESULT hr = Get(id, ppItems ? &p : nullptr, pcItems, 0);
    if (ppItems) *ppItems = p;
    return hr;
}

const ListApi kLists[] = {
    {"white", 32, 160, GetAs<VGWHITEITEM, HrVGGetWhiteItemList>,
     [](void* p) { return HrVGFreeWhiteItemList(p, 0); }},
    {"black", 36, 160, GetAs<VGBLACKITEM, HrVGGetBlackItemList>,
     [](void* p) { return HrVGFreeBlackItemList(p, 0xFFFFFFFF); }},
    {"trusted", 40, 120, GetAs<VGTRUSTEDIPITEM, HrVGGetTrustedIPItemList>,
     [](void* p) { return HrVGFreeTrustedIPItemList(p); }},
    {"gateway", 43, 328, GetAs<VGGATEWAYITEM, HrVGGetGatewayItemList>,
     [](void* p) { return HrVGFreeGatewayItemList(p); }},
    {"frozen", 46, 352, GetAs<VGFROZENACCOUNT, HrVGGetFrozenAccountList>,
     [](void* p) { return HrVGFreeFrozenAccountList(p); }},
    {"auth-failure", 51, 716, GetAs<VGAUTHFAILITEM, HrVGGetAuthFailItemList>,
     [](void* p) { return HrVGFreeAuthFailItemList(p); }},
};
const ListApi& kWhite = kLists[0];

Bytes ListHeader(int32_t hrStatus, uint32_t cItems, uint32_t cbItem, size_t cb = 20) {
    Bytes b(20, 0);
    VGLISTHDR hdr = {{20, VG_PROTOCOL_VERSION, hrStatus}, cItems, cbItem};
    std::memcpy(b.data(), &hdr, sizeof(hdr));
    b.resize(cb);
    return b;
}

// Record n of a list: bytes that differ from record to record and from zero.
Bytes Record(uint32_t cb, uint32_t n) {
    Bytes b(cb);
    for (uint32_t i = 0; i < cb; ++i) b[i] = static_cast<uint8_t>(n * 31 + i + 1);
    return b;
}

enum class End { ZeroFrame, Close };

// A header, cSent records of one frame each, and the end of the stream.
std::vector<Bytes> ListFrames(int32_t hrStatus, uint32_t cItems, uint32_t cbItem, uint32_t cSent,
                              End end = End::ZeroFrame) {
    std::vector<Bytes> frames = {ListHeader(hrStatus, cItems, cbItem)};
    for (uint32_t i = 0; i < cSent; ++i) frames.push_back(Record(cbItem, i));
    if (end == End::ZeroFrame) frames.push_back(Bytes());
    return frames;
}

// Records 0 to n-1, as ListFrames sends them, at the start of the array.
void ExpectRecords(const void* pv, uint32_t cbItem, uint32_t n, const char* what) {
    ASSERT_NE(pv, nullptr) << what;
    for (uint32_t i = 0; i < n; ++i)
        EXPECT_EQ(std::memcmp(static_cast<const uint8_t*>(pv) + size_t{i} * cbItem, Record(cbItem, i).data(), cbItem),
                  0)
            << what << ": record " << i;
}

bool AllZero(const void* pv, size_t cb) {
    for (size_t i = 0; i < cb; ++i)
        if (static_cast<const uint8_t*>(pv)[i]) return false;
    return true;
}

class Lists : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    void Answer(std::vector<Bytes> frames, Bytes rawTail = {}, int frameGapMs = 0) {
        m_service->SetHandler([=](const Bytes&) {
            FakeAction a;
            a.stream = frames;
            a.rawTail = rawTail;
            a.frameGapMs = frameGapMs;
            return a;
        });
    }
    std::unique_ptr<FakeService> m_service;
};

TEST_F(Lists, EachListSendsItsRequestAndHandsOutItsRecords) {
    size_t iRequest = 0;
    for (const ListApi& list : kLists) {
        Answer(ListFrames(0, 3, list.cbItem, 3));
        void* p = nullptr;
        VGDWORD c = 99;
        EXPECT_EQ(list.get(kSession, &p, &c), 0) << list.name;
        ASSERT_EQ(c, 3u) << list.name;
        ExpectRecords(p, list.cbItem, 3, list.name);
        EXPECT_TRUE(AllZero(static_cast<uint8_t*>(p) + 3 * list.cbItem, list.cbItem)) << list.name << ": spare slot";
        EXPECT_EQ(list.release(p), 0) << list.name;

        auto requests = m_service->Requests();
        ASSERT_EQ(requests.size(), ++iRequest) << list.name;
        const Bytes& req = requests.back();
        ASSERT_EQ(req.size(), 116u) << list.name;
        EXPECT_EQ(U32At(req, 0), 116u);
        EXPECT_EQ(U32At(req, 4), list.command) << list.name;
        EXPECT_EQ(U32At(req, 8), plat::GetCurrentProcessId());
        EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION);
        EXPECT_EQ(std::memcmp(&req[84], &kSession, 16), 0) << list.name << ": session id at 84";
        EXPECT_TRUE(AllZero(&req[100], 16)) << list.name << ": abReserved";
    }
    EXPECT_EQ(m_service->Connections(), 6);
}

TEST_F(Lists, EmptyRefusedOrUnreadableListsHandOutNothing) {
    struct Case {
        const char* what;
        std::vector<Bytes> frames;
        VGHRESULT expected;
    } cases[] = {
        {"empty list with a success status", {ListHeader(1, 0, 160), Bytes()}, 1},
        {"refused list, records following", ListFrames(Hr(0x81500123u), 4, 160, 4), Hr(0x81500123u)},
        {"header of the status only", {ListHeader(7, 5, 160, 12)}, 7},
        {"header frame of length 0", {Bytes(), ListHeader(0, 3, 160)}, 0},
    };
    for (const Case& c : cases) {
        Answer(c.frames);
        void* p = &p;
        VGDWORD n = 99;
        EXPECT_EQ(kWhite.get(kSession, &p, &n), c.expected) << c.what;
        EXPECT_EQ(p, nullptr) << c.what;
        EXPECT_EQ(n, 0u) << c.what;
    }

    m_service->SetHandler([](const Bytes&) {
        FakeAction a;
        a.closeWithoutReply = true;
        return a;
    });
    void* p = &p;
    VGDWORD n = 99;
    EXPECT_EQ(kWhite.get(kSession, &p, &n), kBrokenPipe) << "closed before the header";
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);
}

TEST_F(Lists, TheEndOfTheStreamDecidesCountAndResult) {
    struct Case {
        const char* what;
        int32_t hrStatus;
        uint32_t cAnnounced, cSent;
        End end;
        VGHRESULT expected;
        uint32_t cExpected;
    } cases[] = {
        {"all, then a zero read", 0, 3, 3, End::ZeroFrame, 0, 3},
        {"all, then the service closes", 0, 3, 3, End::Close, kBrokenPipe, 3},
        {"fewer than announced", 0, 5, 2, End::ZeroFrame, 0, 2},
        {"none of those announced", 0, 5, 0, End::ZeroFrame, 0, 0},
        {"closed before the first record", 0, 5, 0, End::Close, kBrokenPipe, 0},
        {"a success status gives way to the zero read", 1, 2, 2, End::ZeroFrame, 0, 2},
        {"one more than announced fills the spare slot", 0, 2, 3, End::ZeroFrame, 0, 3},
        {"more than the array holds", 0, 2, 6, End::ZeroFrame, kMoreRecords, 3},
        {"more than the array holds, then closed", 0, 1, 50, End::Close, kMoreRecords, 2},
    };
    for (const Case& c : cases) {
        Answer(ListFrames(c.hrStatus, c.cAnnounced, 160, c.cSent, c.end));
        void* p = nullptr;
        VGDWORD n = 99;
        EXPECT_EQ(kWhite.get(kSession, &p, &n), c.expected) << c.what;
        EXPECT_EQ(n, c.cExpected) << c.what;
        if (c.cExpected == 0) {
            EXPECT_EQ(p, nullptr) << c.what;
            continue;
        }
        ExpectRecords(p, 160, c.cExpected, c.what);
        EXPECT_EQ(HrVGFreeWhiteItemList(p, 0), 0);
    }
}

TEST_F(Lists, AShortReadEndsTheList) {
    std::vector<Bytes> frames = ListFrames(0, 2, 328, 2, End::Close);
    frames.push_back(Bytes(100, 0xAB));
    frames.push_back(Bytes());
    frames.push_back(Record(328, 9));  // never read
    Answer(frames);
    void* p = nullptr;
    VGDWORD n = 0;
    EXPECT_EQ(kLists[3].get(kSession, &p, &n), 0);
    ASSERT_EQ(n, 2u);
    ExpectRecords(p, 328, 2, "gateway");
    const uint8_t* pSpare = static_cast<uint8_t*>(p) + 2 * 328;
    EXPECT_EQ(pSpare[0], 0xAB);
    EXPECT_EQ(pSpare[99], 0xAB);
    EXPECT_TRUE(AllZero(pSpare + 100, 228));
    EXPECT_EQ(HrVGFreeGatewayItemList(p), 0);

    // A stream cut off inside a record: the bytes that came are a short read.
    Answer(ListFrames(0, 3, 160, 1, End::Close), {160, 0, 0, 0, 1, 2, 3});
    p = nullptr;
    EXPECT_EQ(kWhite.get(kSession, &p, &n), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(static_cast<uint8_t*>(p)[160], 1);
    EXPECT_EQ(static_cast<uint8_t*>(p)[162], 3);
    EXPECT_TRUE(AllZero(static_cast<uint8_t*>(p) + 163, 157));
    HrVGFreeWhiteItemList(p, 0);
}

// The channel reads bytes, not frames: how the service cuts its stream into
// frames, and when the frames arrive, does not matter.
TEST_F(Lists, RecordsArriveWhateverTheFraming) {
    const uint32_t cb = 120, cItems = 20;
    Bytes whole = ListHeader(0, cItems, cb);
    for (uint32_t i = 0; i < cItems; ++i) {
        Bytes r = Record(cb, i);
        whole.insert(whole.end(), r.begin(), r.end());
    }
    std::vector<Bytes> oneFrame = {whole, Bytes()};
    std::vector<Bytes> halves = {ListHeader(0, 4, cb)};
    for (uint32_t i = 0; i < 4; ++i) {
        Bytes r = Record(cb, i);
        halves.emplace_back(r.begin(), r.begin() + 50);
        halves.emplace_back(r.begin() + 50, r.end());
    }
    halves.push_back(Bytes());

    struct Case {
        const char* what;
        std::vector<Bytes> frames;
        int gapMs;
        uint32_t cExpected;
    } cases[] = {
        {"header and records in one frame", oneFrame, 0, cItems},
        {"records split in two frames, sent with pauses", halves, 15, 4},
    };
    for (const Case& c : cases) {
        Answer(c.frames, {}, c.gapMs);
        void* p = nullptr;
        VGDWORD n = 0;
        EXPECT_EQ(kLists[2].get(kSession, &p, &n), 0) << c.what;
        EXPECT_EQ(n, c.cExpected) << c.what;
        ExpectRecords(p, cb, c.cExpected, c.what);
        HrVGFreeTrustedIPItemList(p);
    }
}

TEST_F(Lists, HostileHeadersAreRefusedBeforeAnyRecordIsRead) {
    struct Case {
        const char* what;
        const ListApi& list;
        Bytes header;
    } cases[] = {
        {"count 0xFFFFFFFF", kWhite, ListHeader(0, 0xFFFFFFFFu, 160)},
        {"record size 0", kWhite, ListHeader(0, 3, 0)},
        {"record size one too large", kWhite, ListHeader(0, 3, 161)},
        {"record size one too small", kWhite, ListHeader(0, 3, 159)},
        {"another list's record size", kLists[2], ListHeader(0, 3, 160)},
        {"count whose array size wraps 32 bits", kLists[5], ListHeader(0, 5998558, 716)},
        {"array just above 256 MiB", kWhite, ListHeader(0, 1677721, 160)},
        {"header without its record size", kLists[5], ListHeader(0, 3, 716, 16)},
    };
    for (const Case& c : cases) {
        // Records right behind a whole header; a short one needs a read of
        // length 0 to end it, or it would take its missing bytes from them.
        std::vector<Bytes> frames = {c.header};
        if (c.header.size() < 20) frames.push_back(Bytes());
        for (uint32_t i = 0; i < 4; ++i) frames.push_back(Record(c.list.cbItem, i));
        Answer(frames);
        void* p = &p;
        VGDWORD n = 99;
        EXPECT_EQ(c.list.get(kSession, &p, &n), kBadHeader) << c.what;
        EXPECT_EQ(p, nullptr) << c.what;
        EXPECT_EQ(n, 0u) << c.what;
    }

    // A header that names nothing but the count keeps the list's own size
    // (the authentication-failure list's preset is not its own).
    Answer({ListHeader(0, 2, 999, 16), Bytes()});
    void* p = &p;
    VGDWORD n = 99;
    EXPECT_EQ(kLists[4].get(kSession, &p, &n), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);
}

TEST_F(Lists, ArrayAllocationFailure) {
    Answer(ListFrames(0, 3, 160, 3));
    plat::testing::FailHeapAllocs(CModuleHeap::Instance().Handle(), 1);
    void* p = &p;
    VGDWORD n = 99;
    EXPECT_EQ(kWhite.get(kSession, &p, &n), Hr(0x8007000Eu));
    plat::testing::FailHeapAllocs(CModuleHeap::Instance().Handle(), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);
}

TEST_F(Lists, MissingOutPointersAndNullArrays) {
    for (const ListApi& list : kLists) {
        void* p = nullptr;
        VGDWORD n = 0;
        EXPECT_EQ(list.get(kSession, nullptr, &n), Hr(0x800700A0u)) << list.name;
        EXPECT_EQ(list.get(kSession, &p, nullptr), Hr(0x800700A0u)) << list.name;
        EXPECT_EQ(list.release(nullptr), Hr(0x80070057u)) << list.name;
    }
    EXPECT_EQ(m_service->Connections(), 0);
}

// All arrays come from one heap: any free export takes any list's array.
TEST_F(Lists, AnyFreeReleasesAnyArray) {
    for (size_t i = 0; i < 6; ++i) {
        const ListApi& list = kLists[i];
        Answer(ListFrames(0, 2, list.cbItem, 2));
        void* p = nullptr;
        VGDWORD n = 0;
        ASSERT_EQ(list.get(kSession, &p, &n), 0) << list.name;
        EXPECT_EQ(kLists[(i + 1) % 6].release(p), 0) << list.name;
    }
}

TEST_F(Lists, ChannelThatCannotBeOpened) {
    m_service.reset();
    void* p = &p;
    VGDWORD n = 99;
    auto t0 = Clock::now();
    EXPECT_EQ(kWhite.get(kSession, &p, &n), Hr(0x80070002u));
    EXPECT_LT(MsSince(t0), 100) << "no pipe: the wait fails at once";
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 0u);

    WriteConfiguration("\"Server\"=\"ELSEWHERE\"\r\n");
    EXPECT_EQ(kWhite.get(kSession, &p, &n), Hr(0x80070035u));
}

// Holds the one backlog slot of a listener created with backlog 0.
int OccupyBacklog(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
}

TEST_F(Lists, BusyChannelIsWaitedForOnce) {
    m_service.reset();
    m_service.reset(new FakeService(VG_MANAGEMENT_PIPE, 0));
    Answer(ListFrames(0, 1, 160, 1));
    m_service->SetAccepting(false);
    int blocker = OccupyBacklog(m_service->Path());

    // Busy for the whole wait: the open's error, after one wait.
    void* p = nullptr;
    VGDWORD n = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(kWhite.get(kSession, &p, &n), Hr(0x800700E7u));
    EXPECT_GE(MsSince(t0), 240);
    EXPECT_LT(MsSince(t0), 600);

    // An instance that comes free within the wait serves the retrieval, on
    // the connection the wait made: the service sees no empty one.
    ::close(blocker);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_service->SetAccepting(true);
    });
    EXPECT_EQ(kWhite.get(kSession, &p, &n), 0);
    EXPECT_EQ(n, 1u);
    release.join();
    HrVGFreeWhiteItemList(p, 0);
    EXPECT_EQ(m_service->Connections(), 2) << "the closed blocker and the retrieval";
    EXPECT_EQ(m_service->RequestCount(), 1u);
}

// ---------------------------------------------------------------------------
// The channel's platform operations

std::string ManagementPath() {
    char sz[VG_PIPE_PATH_SIZE];
    FormatPipePath(VGPIPE_MANAGEMENT, sz);
    return sz;
}

plat::HPIPE Open() {
    return plat::CreateFileA(ManagementPath().c_str(), plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                             plat::kPipeOpenExisting, 0);
}

std::string Read(plat::HPIPE h, DWORD cb, BOOL* pOk = nullptr) {
    std::string s(cb, '\0');
    DWORD got = 12345;
    BOOL ok = plat::ReadFile(h, &s[0], cb, &got);
    if (pOk) *pOk = ok;
    s.resize(ok ? got : 0);
    return s;
}

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

using ListChannel = Lists;

TEST_F(ListChannel, ReadsServeThePayloadsAsAByteModePipe) {
    Answer({B("abc"), Bytes(), B("defgh"), B("ij")});
    plat::HPIPE h = Open();
    ASSERT_NE(h, nullptr);
    DWORD mode = plat::kPipeReadModeByte, cbWritten = 0;
    ASSERT_TRUE(plat::SetNamedPipeHandleState(h, &mode));
    ASSERT_TRUE(plat::WriteFile(h, "request", 7, &cbWritten));
    EXPECT_EQ(cbWritten, 7u);

    BOOL ok = FALSE;
    EXPECT_EQ(Read(h, 10, &ok), "abc") << "stops at the frame of length 0";
    EXPECT_TRUE(ok);
    EXPECT_EQ(Read(h, 10, &ok), "") << "which answers the next read";
    EXPECT_TRUE(ok);
    EXPECT_EQ(Read(h, 4), "defg");
    EXPECT_EQ(Read(h, 10, &ok), "hij") << "across frames, up to the close";
    EXPECT_TRUE(ok);
    Read(h, 10, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_TRUE(plat::CloseHandle(h));
    EXPECT_EQ(m_service->Requests().at(0), B("request"));
}

// Large frames, and many small ones whose headers straddle the receive
// buffer's end.
TEST_F(ListChannel, LongStreamsInLargeAndSmallFrames) {
    Bytes big(600 * 1024);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::vector<Bytes> small;
    for (size_t i = 0; i < big.size(); i += 7)
        small.emplace_back(big.begin() + i, big.begin() + std::min(big.size(), i + 7));

    for (int pass = 0; pass < 3; ++pass) {
        Answer(pass == 2 ? small : std::vector<Bytes>{big});
        plat::HPIPE h = Open();
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(plat::WriteFile(h, "x", 1, nullptr));
        Bytes got(big.size());
        DWORD chunk = pass == 0 ? static_cast<DWORD>(big.size()) : 13;
        for (size_t at = 0; at < got.size();) {
            DWORD want = static_cast<DWORD>(std::min<size_t>(chunk, got.size() - at)), n = 0;
            ASSERT_TRUE(plat::ReadFile(h, &got[at], want, &n)) << "pass " << pass << " at " << at;
            ASSERT_EQ(n, want) << "pass " << pass << " at " << at;
            at += n;
        }
        EXPECT_TRUE(got == big) << "pass " << pass;
        plat::CloseHandle(h);
    }
}

}  // namespace
