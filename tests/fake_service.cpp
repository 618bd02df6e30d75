#include "tests/fake_service.h"

#include <chrono>
#include <stdexcept>

#ifndef _WIN32
#include <sys/socket.h>

#include "sharedcode/platform/pipeserver_posix.h"
#endif

namespace {

// A client that connects and never sends must not hold the service (and the
// test's end) forever.
constexpr DWORD kReceiveTimeoutMs = 10000;
constexpr DWORD kSendTimeoutMs = 10000;
constexpr size_t kMaxRequest = 1 << 20;

// A frame whose length lies. Only the POSIX framing can be cheated; a
// Windows pipe message is whole.
void WriteRawPosixOnly(plat::HPIPECONN conn, const Bytes& bytes) {
#ifdef _WIN32
    (void)conn;
    ADD_FAILURE() << "raw bytes on a pipe exist on POSIX only: " << bytes.size();
#else
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(conn->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
#endif
}

}  // namespace

FakeService::FakeService(const std::string& pipeName, int backlog) {
    m_listener = plat::CreatePipeListener(("\\\\.\\pipe\\" + pipeName).c_str(), plat::kPipeAccessOwner,
                                          static_cast<DWORD>(backlog));
    if (!m_listener) throw std::runtime_error("cannot listen on " + pipeName);
    m_handler = [](const Bytes&) { return FakeAction{}; };
    m_thread = std::thread([this] { Run(); });
}

FakeService::~FakeService() {
    m_stop = true;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_accepting = true;
    }
    m_cv.notify_all();
    plat::CancelPipeListener(m_listener);
    m_thread.join();
    plat::ClosePipeListener(m_listener);
}

void FakeService::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_handler = std::move(handler);
}

void FakeService::SetAccepting(bool accepting) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_accepting = accepting;
    m_cv.notify_all();
    // Paused once no accept is under way: a client that comes later waits.
    m_cv.wait(lock, [this] { return m_accepting || !m_inAccept; });
}

std::vector<Bytes> FakeService::Requests() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

size_t FakeService::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests.size();
}

void FakeService::Run() {
    while (!m_stop) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_cv.wait(lock, [this] { return m_accepting || m_stop; });
            m_inAccept = true;
        }
        // A short wait, so that a pause takes effect soon.
        plat::HPIPECONN conn = plat::AcceptPipeClient(m_listener, 20);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_inAccept = false;
        }
        m_cv.notify_all();
        if (!conn) continue;
        ++m_connections;
        Serve(conn);
        plat::ClosePipeConnection(conn);
    }
}

void FakeService::Serve(plat::HPIPECONN conn) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        handler = m_handler;
    }
    // Into the service's own buffer: a fresh megabyte per request costs
    // Wine milliseconds of page faults and the sanitizer build minutes.
    m_buffer.resize(kMaxRequest);
    DWORD cb = 0;
    if (!plat::ReadPipeMessage(conn, m_buffer.data(), static_cast<DWORD>(m_buffer.size()), &cb, kReceiveTimeoutMs))
        return;
    const Bytes request(m_buffer.begin(), m_buffer.begin() + cb);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back(request);
    }
    const FakeAction action = handler(request);
    if (action.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
    if (action.closeWithoutReply) return;
    if (action.stream.empty()) {
        if (action.frameLength < 0) {
            plat::WritePipeMessage(conn, action.reply.data(), static_cast<DWORD>(action.reply.size()), kSendTimeoutMs);
        } else {
            // The frame as scripted, its length little-endian, in one write.
            const uint32_t len = static_cast<uint32_t>(action.frameLength);
            Bytes frame = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len >> 16),
                           static_cast<uint8_t>(len >> 24)};
            frame.insert(frame.end(), action.reply.begin(), action.reply.end());
            WriteRawPosixOnly(conn, frame);
        }
        return;
    }
    for (size_t i = 0; i < action.stream.size(); ++i) {
        if (i > 0 && action.frameGapMs) std::this_thread::sleep_for(std::chrono::milliseconds(action.frameGapMs));
        const Bytes& m = action.stream[i];
        if (!plat::WritePipeMessage(conn, m.data(), static_cast<DWORD>(m.size()), kSendTimeoutMs)) return;
    }
    if (action.holdOpenMs) std::this_thread::sleep_for(std::chrono::milliseconds(action.holdOpenMs));
}

uint32_t U32At(const Bytes& b, size_t offset) {
    if (offset + 4 > b.size()) return 0xDEADBEEF;
    return b[offset] | b[offset + 1] << 8 | b[offset + 2] << 16 | static_cast<uint32_t>(b[offset + 3]) << 24;
}

std::string TextAt(const Bytes& b, size_t offset, size_t width) {
    std::string s;
    for (size_t i = offset; i < offset + width && i < b.size() && b[i]; ++i) s += static_cast<char>(b[i]);
    return s;
}

size_t ReplySize(uint32_t dwCommand) {
#define VG_REPLY_SIZE_(code, name, pipe, cbRequest, cbReply) \
    if (dwCommand == code) return cbReply;
    VG_COMMAND_TABLE(VG_REPLY_SIZE_)
#undef VG_REPLY_SIZE_
    return 0;
}
