#include "service/dispatch.h"

#include <cstring>

namespace vgsvc {
namespace {

const CommandRow kCommands[] = {
#define VGS_ROW_(code, name, pipe, cbRequest, cbReply) {code, #name, pipe, cbRequest, cbReply},
    VG_COMMAND_TABLE(VGS_ROW_)
#undef VGS_ROW_
};

}  // namespace

const CommandRow* FindCommand(uint32_t dwCommand) {
    for (const CommandRow& row : kCommands)
        if (row.code == dwCommand) return &row;
    return nullptr;
}

Dispatcher::Dispatcher() {
    RegisterScreeningHandlers(*this);
    RegisterManagementHandlers(*this);
}

bool Dispatcher::Register(uint32_t dwCommand, Handler handler) {
    if (!FindCommand(dwCommand) || dwCommand > kMaxCommandCode) return false;
    m_handlers[dwCommand] = handler;
    return true;
}

void Dispatcher::Register(std::initializer_list<HandlerRow> rows) {
    for (const HandlerRow& row : rows)
        for (uint32_t c = row.first; c <= (row.last ? row.last : row.first) && c <= kMaxCommandCode; ++c)
            Register(c, row.handler);
}

bool Dispatcher::WriteFailure(const CommandRow* pRow, HRESULT hr, MessageWriter& out) {
    if (pRow && pRow->pipe == VG_PIPE_STREAMED) return WriteStatus(out, hr, PresetReply<VGLISTHDR>());
    return WriteStatus(out, hr);
}

bool Dispatcher::Dispatch(Service& service, PipeKind pipe, const uint8_t* pb, size_t cb, MessageWriter& out) const {
    if (!pb || cb < 8) return false;
    uint32_t dwCommand;
    std::memcpy(&dwCommand, pb + 4, sizeof(dwCommand));
    const CommandRow* pRow = FindCommand(dwCommand);
    if (!pRow) return WriteFailure(nullptr, kHrUnknownCommand, out);
    const bool fScreening = pRow->pipe == VG_PIPE_SCREENING;
    if (fScreening != (pipe == kScreeningPipe)) return WriteFailure(pRow, kHrWrongPipe, out);
    uint32_t dwVersion = 0;
    if (cb >= sizeof(VGREQHDR)) std::memcpy(&dwVersion, pb + offsetof(VGREQHDR, dwVersion), sizeof(dwVersion));
    if (cb != pRow->cbRequest || dwVersion != VG_PROTOCOL_VERSION) return WriteFailure(pRow, kHrBadRequest, out);
    const Handler handler = m_handlers[dwCommand];
    if (!handler) return WriteFailure(pRow, kHrNotImplemented, out);

    // Handlers read the request as its record: give them an aligned copy.
    alignas(8) uint8_t ab[kMaxRequestSize];
    std::memcpy(ab, pb, cb);
    const Request req{ab, cb, dwCommand, pipe, pRow->cbReply, pRow->pipe == VG_PIPE_STREAMED};
    handler(service, req, out);
    return true;
}

}  // namespace vgsvc
