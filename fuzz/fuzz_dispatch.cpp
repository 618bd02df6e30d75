// libFuzzer target: the service's request dispatcher on arbitrary bytes.
// The first byte picks the pipe; the rest is the request. Beyond memory
// safety it checks that every answer begins with a reply header whose
// status is a failure unless the request was well formed, and that no
// one-shot answer is longer than its command's reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "service/dispatch.h"
#include "service/log.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    vgsvc::Service& service = TheService();
    const vgsvc::PipeKind pipe = data[0] & 1 ? vgsvc::kManagementPipe : vgsvc::kScreeningPipe;
    Collect out;
    const bool fAnswered = service.GetDispatcher().Dispatch(service, pipe, data + 1, size - 1, out);
    Check(fAnswered == (size - 1 >= 8));
    if (!fAnswered) return 0;
    Check(!out.sizes.empty());
    uint32_t dwCommand;
    std::memcpy(&dwCommand, data + 1 + 4, 4);
    const vgsvc::CommandRow* row = vgsvc::FindCommand(dwCommand);
    if (row && row->pipe != VG_PIPE_STREAMED) Check(out.sizes.size() == 1 && out.sizes[0] <= row->cbReply);
    Check(out.sizes[0] >= sizeof(VGREPLYHDR));
    return 0;
}
