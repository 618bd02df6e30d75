// libFuzzer target: the one-shot reply path on an arbitrary service stream.
//
// The first byte picks a call, the rest is what the service sends back. The
// stream reaches the real receive code through a socket pair. First the
// platform call alone, with a reply buffer of the command's size: the reply
// must be the first frame's payload, cut to the buffer, and not one byte of
// the buffer beyond it may change. Then, when that reply was whole, the
// export itself on the same stream, so that its handling of the reply's
// fields runs too (a failed transport would cost the export's pauses).
#include <cstring>
#include <vector>

#include "fuzz/service_stream.h"
#include "sharedcode/platform/pipe.h"

namespace {

struct Call {
    DWORD cbReply;
    void (*run)();
};

const Call kCalls[] = {
    {16, [] { VGDWORD v; HrVGIsBlackListed(&v, "10.0.0.1", 0); }},
    {144, [] { VGDWORD v; char sz[8]; HrVGIsGeoBlocked(&v, "10.0.0.1", 3, sz, sizeof(sz), 0); }},
    {376, [] { VGDWORD v; char sz[3]; VGGEODATA geo; geo.cbSize = sizeof(geo);
               HrVGIsGeoBlockedEx(&v, "10.0.0.1", 3, 0, sz, sizeof(sz), &geo); }},
    {20, [] { VGDWORD v, info; HrVGAllowConnection(&v, "10.0.0.1", 3, "alice", &info, 0); }},
    {256, [] { VGDWORD v, i1, i2; VGGEODATA geo; geo.cbSize = sizeof(geo);
               HrVGAllowConnectionEx(&v, "10.0.0.1", 3, "alice", &i1, &geo, 0, &i2, 0); }},
    {248, [] { VGGEODATA geo; geo.cbSize = sizeof(geo); HrVGGetGeoDataByIP("10.0.0.1", 0, &geo); }},
    {532, [] { char sz[16]; HrVGConfigGetSZ(kFuzzSession, "System", "Name", sz, sizeof(sz), 0); }},
    {2440, [] { VGSTATISTICS st; HrVGQueryStatistics(kFuzzSession, &st, 0); }},
    {28, [] { VGWHITEITEM item = {}; HrVGAddWhiteItem(kFuzzSession, &item, 0); }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const Call& call = kCalls[data[0] % (sizeof(kCalls) / sizeof(kCalls[0]))];
    const uint8_t* pb = data + 1;
    const size_t cb = size - 1;
    std::vector<uint8_t> reply(call.cbReply, 0xA5);
    DWORD cbRead = 0;
    BOOL ok;
    {
        ServiceStream stream(pb, cb);
        if (!stream.Ok()) return 0;
        ok = plat::CallNamedPipeA("\\\\.\\pipe\\fuzz", "request", 7, reply.data(), call.cbReply, &cbRead, 1500);
    }
    Check(cbRead <= call.cbReply);
    Check(cb < 4 || std::memcmp(reply.data(), pb + 4, cbRead) == 0);
    for (size_t i = cbRead; i < reply.size(); ++i) Check(reply[i] == 0xA5);
    if (ok) {
        ServiceStream stream(pb, cb);
        if (stream.Ok()) call.run();
    }
    return 0;
}
