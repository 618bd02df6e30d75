// The request dispatcher: one table keyed by command code, filled from the
// library's command table, mapping each command to its handler. A handler
// gets the request's bytes (their length already checked against the
// command's row) and answers through a writer: one reply message for a
// one-shot command, a list header and records for a streamed list.
//
// Requests that cannot be answered as asked get the reply header alone (or
// a list header, for a streamed command) with a failure status:
//   0x8007000D  the length does not match the command, or the header's
//               version is not the protocol's
//   0x80070001  no such command
//   0x80070005  the command belongs to the other pipe
//   0x80004001  the command has no handler in this build
// A request too short to name a command gets no reply: the connection closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "VGClient/vgwire.h"
#include "sharedcode/wintypes.h"

namespace vgsvc {

class Service;

constexpr HRESULT kHrBadRequest = static_cast<HRESULT>(0x8007000Du);
constexpr HRESULT kHrUnknownCommand = static_cast<HRESULT>(0x80070001u);
constexpr HRESULT kHrWrongPipe = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT kHrNotImplemented = static_cast<HRESULT>(0x80004001u);

// The largest request of the command table; longer messages are refused
// before they are read whole.
constexpr uint32_t kMaxRequestSize = 2544;
constexpr uint32_t kMaxCommandCode = 63;

// Which pipe a request came in on.
enum PipeKind { kScreeningPipe, kManagementPipe };

// Where a handler's answer goes. Each Write sends one message; a streamed
// list may be sent as several. False once the peer is gone.
class MessageWriter {
public:
    virtual ~MessageWriter() = default;
    virtual bool Write(const void* pv, size_t cb) = 0;
};

struct Request {
    const uint8_t* pb;
    size_t cb;
    uint32_t dwCommand;
    PipeKind pipe;
    // The command's row.
    uint32_t cbReply;
    bool streamed;

    template <typename T>
    const T& As() const { return *reinterpret_cast<const T*>(pb); }
};

typedef void (*Handler)(Service& service, const Request& request, MessageWriter& out);

// A handler and the commands it answers: every command of the table from
// first to last (last 0: first alone).
struct HandlerRow {
    Handler handler;
    uint32_t first;
    uint32_t last = 0;
};

struct CommandRow {
    uint32_t code;
    const char* szName;
    int pipe;  // VG_PIPE_SCREENING, VG_PIPE_MANAGEMENT or VG_PIPE_STREAMED
    uint32_t cbRequest;
    uint32_t cbReply;
};
// The library's row of a command, or null.
const CommandRow* FindCommand(uint32_t dwCommand);

class Dispatcher {
public:
    // Registers every handler: the screening side's and the management side's.
    Dispatcher();

    // Sets the handler of a command of the table (false for a code not in it).
    bool Register(uint32_t dwCommand, Handler handler);
    // Sets the handlers of the rows.
    void Register(std::initializer_list<HandlerRow> rows);

    // Answers one request. False when nothing could be answered (the request
    // is too short to name its command); the caller then closes.
    bool Dispatch(Service& service, PipeKind pipe, const uint8_t* pb, size_t cb, MessageWriter& out) const;

    // Writes a failure answer for a command: the reply header alone, or a list
    // header for a streamed command.
    static bool WriteFailure(const CommandRow* pRow, HRESULT hr, MessageWriter& out);

private:
    Handler m_handlers[kMaxCommandCode + 1] = {};
};

// Registration of each side's handlers; the management side's lives in its
// own files.
void RegisterScreeningHandlers(Dispatcher& d);
void RegisterManagementHandlers(Dispatcher& d);

// Helpers for handlers: a reply record preset with its size, the version and
// status 0.
template <typename T>
T PresetReply(uint32_t cbSize = sizeof(T)) {
    T reply{};
    VGREPLYHDR& hdr = reinterpret_cast<VGREPLYHDR&>(reply);
    hdr.cbSize = cbSize;
    hdr.dwVersion = VG_PROTOCOL_VERSION;
    hdr.hrStatus = S_OK;
    return reply;
}

// Writes a reply record with the given status: the reply header alone, or
// the record given (its other fields set).
template <typename T = VGREPLYHDR>
bool WriteStatus(MessageWriter& out, HRESULT hr, T reply = PresetReply<T>()) {
    reinterpret_cast<VGREPLYHDR&>(reply).hrStatus = hr;
    return out.Write(&reply, sizeof(reply));
}

// A bounded copy of a request's text field, which the sender may have left
// without its terminator.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n]) ++n;
    return std::string(field, n);
}

}  // namespace vgsvc
