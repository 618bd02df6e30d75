// Retrieving a list of a million white items against a raw buffered read of
// the same framed stream: the library's cost over receiving the bytes and
// copying the records into one array by hand.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "bench_service.h"
#include "ratio.h"

namespace {

constexpr uint32_t kItems = 1000000;
constexpr uint32_t kItemSize = VG_WHITEITEM_SIZE;

void PutFrameLength(std::vector<unsigned char>& out, uint32_t cb) {
    const unsigned char hdr[4] = {static_cast<unsigned char>(cb), static_cast<unsigned char>(cb >> 8),
                                  static_cast<unsigned char>(cb >> 16), static_cast<unsigned char>(cb >> 24)};
    out.insert(out.end(), hdr, hdr + 4);
}

// An in-process service that answers every list request with the same
// stream, built once and sent as fast as the socket takes it: the list
// header, one frame per record, and a frame of length 0.
class Responder : public BenchService {
public:
    Responder() : BenchService(VG_MANAGEMENT_PIPE, 16) {
        VGLISTHDR hdr = {{sizeof(VGLISTHDR), VG_PROTOCOL_VERSION, 0}, kItems, kItemSize};
        m_stream.reserve(4 + sizeof(hdr) + size_t{kItems} * (4 + kItemSize) + 4);
        PutFrameLength(m_stream, sizeof(hdr));
        m_stream.insert(m_stream.end(), reinterpret_cast<unsigned char*>(&hdr),
                        reinterpret_cast<unsigned char*>(&hdr) + sizeof(hdr));
        unsigned char item[kItemSize];
        for (uint32_t i = 0; i < kItems; ++i) {
            for (uint32_t b = 0; b < kItemSize; ++b) item[b] = static_cast<unsigned char>(i + b);
            PutFrameLength(m_stream, kItemSize);
            m_stream.insert(m_stream.end(), item, item + kItemSize);
        }
        PutFrameLength(m_stream, 0);

        Start(1);
    }
    ~Responder() override { Stop(); }

private:
    void Answer(int fd) override { WriteAll(fd, m_stream.data(), m_stream.size()); }

    std::vector<unsigned char> m_stream;
};

Responder& TheResponder() {
    static Responder r;
    return r;
}

void BM_ListRetrieval(benchmark::State& state) {
    TheResponder();
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

BENCHMARK(BM_RawListRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_ListRetrieval)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
    return RunBenchmarksWithRatios(argc, argv,
                                   {{"list_retrieval_vs_raw", "BM_ListRetrieval/repeats:5/real_time",
                                     "BM_RawListRead/repeats:5/real_time", 1.5}});
}
