// libFuzzer target: the service's request dispatcher on arbitrary bytes.
// The first byte picks the pipe (bit 0: management) and, for the management
// pipe, whether the request carries the id of a session open for the run
// (bit 1), so that the handlers behind the session check are reached; the
// rest is the request. Beyond memory safety it checks that every answer
// begins with a reply header and that no one-shot answer is longer than its
// command's reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "service/dispatch.h"
#include "service/log.h"
#include "service/mgmt.h"
#include "service/service.h"

namespace {

void Check(bool f) {
    if (!f) std::abort();
}

class Collect : public vgsvc::MessageWriter {
public:
    bool Write(const void*, size_t cb) override {
        sizes.push_back(cb);
        return true;
    }
    std::vector<size_t> sizes;
};

vgsvc::Service& TheService() {
    static vgsvc::Service* p = [] {
        vgsvc::Log::SetLevel(0);
        const std::string dir = std::filesystem::temp_directory_path().string() + "/fuzz_dispatch";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);  // the settings file is written into it first
        auto* s = new vgsvc::Service();
        Check(s->Open(dir + "/state", dir + "/vigilon.ini") == 0);
        vgsvc::Log::SetLevel(0);
        return s;
    }();
    return *p;
}

// The id of a session open now, opened through the service's own session
// code when the last one ended or expired (an input may end it, or shorten
// the time-out through the settings). False when none can be opened.
bool LiveSession(vgsvc::Service& service, VGITEMID* pId) {
    static VGITEMID id = {};
    static bool fOpen = false;
    vgsvc::Sessions& sessions = service.GetSessions();
    const int64_t timeout = vgsvc::SessionTimeout(service);
    if (!fOpen || !sessions.Touch(id, service.Now(), timeout, nullptr))
        fOpen = sessions.Open("fuzz", service.Now(), timeout, &id);
    *pId = id;
    return fOpen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    vgsvc::Service& service = TheService();
    const vgsvc::PipeKind pipe = data[0] & 1 ? vgsvc::kManagementPipe : vgsvc::kScreeningPipe;
    std::vector<uint8_t> request(data + 1, data + size);
    VGITEMID id;
    if (pipe == vgsvc::kManagementPipe && (data[0] & 2) && request.size() >= sizeof(VGREQHDREX) &&
        LiveSession(service, &id))
        std::memcpy(&request[offsetof(VGREQHDREX, idSession)], &id, sizeof(id));
    Collect out;
    const bool fAnswered = service.GetDispatcher().Dispatch(service, pipe, request.data(), request.size(), out);
    Check(fAnswered == (request.size() >= 8));
    if (!fAnswered) return 0;
    Check(!out.sizes.empty());
    uint32_t dwCommand;
    std::memcpy(&dwCommand, request.data() + 4, 4);
    const vgsvc::CommandRow* row = vgsvc::FindCommand(dwCommand);
    if (row && row->pipe != VG_PIPE_STREAMED) Check(out.sizes.size() == 1 && out.sizes[0] <= row->cbReply);
    Check(out.sizes[0] >= sizeof(VGREPLYHDR));
    return 0;
}
