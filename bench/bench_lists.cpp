// Retrieving a list of a million white items against a raw buffered read of
// the same framed stream: the library's cost over receiving the bytes and
// copying the records into one array by hand. And a hostile list header,
// announcing 374,000 records of 716 bytes (just under the array size limit)
// of which one arrives, against a one-record list: the array it asks for
// costs address space, not time or resident memory.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgwire.h"
#include "sharedcode/platform/process.h"
#include "bench_service.h"
#include "ratio.h"

namespace {

constexpr uint32_t kItems = 1000000;
constexpr uint32_t kItemSize = VG_WHITEITEM_SIZE;
constexpr uint32_t kHostileItems = 374000;

void PutFrameLength(std::vector<unsigned char>& out, uint32_t cb) {
    const unsigned char hdr[4] = {static_cast<unsigned char>(cb), static_cast<unsigned char>(cb >> 8),
                                  static_cast<unsigned char>(cb >> 16), static_cast<unsigned char>(cb >> 24)};
    out.insert(out.end(), hdr, hdr + 4);
}

// The framed stream of a list: the header announcing cAnnounced records of
// cbItem bytes, one frame per record sent, and a frame of length 0.
std::vector<unsigned char> ListStream(uint32_t cAnnounced, uint32_t cbItem, uint32_t cSent) {
    std::vector<unsigned char> stream;
    VGLISTHDR hdr = {{sizeof(VGLISTHDR), VG_PROTOCOL_VERSION, 0}, cAnnounced, cbItem};
    stream.reserve(4 + sizeof(hdr) + size_t{cSent} * (4 + cbItem) + 4);
    PutFrameLength(stream, sizeof(hdr));
    const unsigned char* pbHdr = reinterpret_cast<const unsigned char*>(&hdr);
    stream.insert(stream.end(), pbHdr, pbHdr + sizeof(hdr));
    std::vector<unsigned char> item(cbItem);
    for (uint32_t i = 0; i < cSent; ++i) {
        for (uint32_t b = 0; b < cbItem; ++b) item[b] = static_cast<unsigned char>(i + b);
        PutFrameLength(stream, cbItem);
        stream.insert(stream.end(), item.begin(), item.end());
    }
    PutFrameLength(stream, 0);
    return stream;
}

enum class Stream { MillionWhite, HostileAuthFail, OneAuthFail };

// An in-process service that answers every list request with the stream the
// running benchmark chose, built once and sent as fast as the socket takes it.
class Responder : public BenchService {
public:
    Responder() : BenchService(VG_MANAGEMENT_PIPE, 16) {
        m_streams[static_cast<int>(Stream::MillionWhite)] = ListStream(kItems, kItemSize, kItems);
        m_streams[static_cast<int>(Stream::HostileAuthFail)] = ListStream(kHostileItems, VG_AUTHFAILITEM_SIZE, 1);
        m_streams[static_cast<int>(Stream::OneAuthFail)] = ListStream(1, VG_AUTHFAILITEM_SIZE, 1);
        Start(1);
    }
    ~Responder() override { Stop(); }

    void Use(Stream stream) { m_stream = stream; }

private:
    void Answer(int fd) override {
        const std::vector<unsigned char>& stream = m_streams[static_cast<int>(m_stream.load())];
        WriteAll(fd, stream.data(), stream.size());
    }

    std::vector<unsigned char> m_streams[3];
    std::atomic<Stream> m_stream{Stream::MillionWhite};
};

Responder& TheResponder() {
    static Responder r;
    return r;
}

void BM_ListRetrieval(benchmark::State& state) {
    TheResponder().Use(Stream::MillionWhite);
    const VGSESSIONID idSession = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    for (auto _ : state) {
        VGWHITEITEM* pItems = nullptr;
        VGDWORD cItems = 0;
        if (HrVGGetWhiteItemList(idSession, &pItems, &cItems, 0) != 0 || cItems != kItems)
            state.SkipWithError("retrieval failed");
        benchmark::DoNotOptimize(pItems);
        HrVGFreeWhiteItemList(pItems, 0);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

// The same stream by hand: connect, send the request, receive into a large
// buffer, and copy each frame's payload into one array sized from the header.
void BM_RawListRead(benchmark::State& state) {
    TheResponder().Use(Stream::MillionWhite);
    const sockaddr_un& addr = TheResponder().Address();
    unsigned char request[4 + sizeof(VGREQHDREX)] = {sizeof(VGREQHDREX), 0, 0, 0};
    VGREQHDREX* pReq = reinterpret_cast<VGREQHDREX*>(request + 4);
    pReq->hdr.cbSize = sizeof(VGREQHDREX);
    pReq->hdr.dwCommand = VGCMD_GETWHITEITEMLIST;
    std::vector<unsigned char> buffer(256 * 1024);
    for (auto _ : state) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0 &&
                  ::send(fd, request, sizeof(request), MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(request));
        VGLISTHDR hdr = {};
        unsigned char* pArray = nullptr;
        size_t cbArray = 0, cbCopied = 0;
        size_t begin = 0, end = 0;
        uint32_t frameLeft = 0;
        bool fHeader = true, fDone = false;
        while (ok && !fDone) {
            if (begin == end || (frameLeft == 0 && end - begin < 4)) {
                if (begin == end) begin = end = 0;
                ssize_t n = ::recv(fd, buffer.data() + end, buffer.size() - end, 0);
                if (n <= 0) break;
                end += static_cast<size_t>(n);
                continue;
            }
            if (frameLeft == 0) {
                memcpy(&frameLeft, buffer.data() + begin, 4);
                begin += 4;
                if (frameLeft == 0) fDone = true;
                continue;
            }
            size_t take = end - begin < frameLeft ? end - begin : frameLeft;
            if (fHeader) {
                memcpy(reinterpret_cast<unsigned char*>(&hdr) + (sizeof(hdr) - frameLeft), buffer.data() + begin, take);
                if (take == frameLeft) {
                    fHeader = false;
                    cbArray = (size_t{hdr.cItems} + 1) * hdr.cbItem;
                    pArray = static_cast<unsigned char*>(::malloc(cbArray));
                }
            } else if (cbCopied + take <= cbArray) {
                memcpy(pArray + cbCopied, buffer.data() + begin, take);
                cbCopied += take;
            }
            begin += take;
            frameLeft -= static_cast<uint32_t>(take);
        }
        ::close(fd);
        if (!fDone || cbCopied != size_t{kItems} * kItemSize) state.SkipWithError("raw read failed");
        benchmark::DoNotOptimize(pArray);
        ::free(pArray);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

// The most the resident set grew while a retrieved list was held, per stream.
double g_cbHeldGrowth[3];

// Retrieves the one record of an authentication-failure list; after the
// timed loop, a few untimed retrievals measure what holding the array costs.
void RetrieveAuthFail(benchmark::State& state, Stream stream) {
    TheResponder().Use(stream);
    const VGSESSIONID idSession = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    auto retrieve = [&](double* pcbGrowth) {
        VGAUTHFAILITEM* pItems = nullptr;
        VGDWORD cItems = 0;
        const double cbBefore = pcbGrowth ? static_cast<double>(plat::GetResidentBytes()) : 0;
        const VGHRESULT hr = HrVGGetAuthFailItemList(idSession, &pItems, &cItems, 0);
        if (hr < 0 || cItems != 1) state.SkipWithError("retrieval failed");
        if (pcbGrowth) *pcbGrowth = std::max(*pcbGrowth, static_cast<double>(plat::GetResidentBytes()) - cbBefore);
        benchmark::DoNotOptimize(pItems);
        HrVGFreeAuthFailItemList(pItems);
    };
    for (auto _ : state) retrieve(nullptr);
    for (int i = 0; i < 3; ++i) retrieve(&g_cbHeldGrowth[static_cast<int>(stream)]);
}

void BM_HostileHeaderList(benchmark::State& state) { RetrieveAuthFail(state, Stream::HostileAuthFail); }
void BM_OneRecordList(benchmark::State& state) { RetrieveAuthFail(state, Stream::OneAuthFail); }

BENCHMARK(BM_HostileHeaderList)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_OneRecordList)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_RawListRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ListRetrieval)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    const std::string hostile = "BM_HostileHeaderList/repeats:5/real_time";
    const std::string one = "BM_OneRecordList/repeats:5/real_time";
    return RunBenchmarksWithRatios(
        argc, argv,
        {{"list_retrieval_vs_raw", "BM_ListRetrieval/repeats:5/real_time", "BM_RawListRead/repeats:5/real_time", 1.5}},
        // The hostile header's retrieval against the one-record list's: its
        // time, with the limit of 10 ms in units of the reference; and the
        // resident memory it holds beyond the reference's, in MiB, limit 1.
        {{"list_hostile_header_vs_1_record",
          [=](const SecondsOf& secondsOf, double* pMeasured, double* pLimit) {
              const double t = secondsOf(hostile), tOne = secondsOf(one);
              if (t < 0 || tOne <= 0) return false;
              *pMeasured = t / tOne;
              *pLimit = 0.010 / tOne;
              return true;
          }},
         {"list_hostile_header_rss_mib_over_1_record", [](const SecondsOf&, double* pMeasured, double* pLimit) {
              const double cbOver = g_cbHeldGrowth[static_cast<int>(Stream::HostileAuthFail)] -
                                    g_cbHeldGrowth[static_cast<int>(Stream::OneAuthFail)];
              *pMeasured = std::max(0.0, cbOver) / (1 << 20);
              *pLimit = 1.0;
              return true;
          }}});
}
