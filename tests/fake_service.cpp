#include "tests/fake_service.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>

namespace {

bool ReadAll(int fd, void* pv, size_t cb) {
    char* p = static_cast<char*>(pv);
    while (cb) {
        ssize_t n = ::recv(fd, p, cb, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

void WriteAll(int fd, const void* pv, size_t cb) {
    const char* p = static_cast<const char*>(pv);
    while (cb) {
        ssize_t n = ::send(fd, p, cb, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        cb -= static_cast<size_t>(n);
    }
}

}  // namespace

FakeService::FakeService(const std::string& pipeName, int backlog) {
    const char* dir = ::getenv("VIGILON_PIPE_DIR");
    if (!dir) throw std::runtime_error("VIGILON_PIPE_DIR not set");
    m_path = std::string(dir) + "/" + pipeName;
    ::unlink(m_path.c_str());
    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (m_path.size() >= sizeof(addr.sun_path)) throw std::runtime_error("pipe path too long");
    std::memcpy(addr.sun_path, m_path.c_str(), m_path.size() + 1);
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_listen, backlog) != 0)
        throw std::runtime_error("cannot listen on " + m_path);
    if (::pipe(m_wake) != 0) throw std::runtime_error("pipe");
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
    ssize_t ignored = ::write(m_wake[1], "x", 1);
    (void)ignored;
    m_thread.join();
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
    ::unlink(m_path.c_str());
}

void FakeService::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_handler = std::move(handler);
}

void FakeService::SetAccepting(bool accepting) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_accepting = accepting;
    }
    m_cv.notify_all();
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
        }
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, 20) <= 0 || !(fds[0].revents & POLLIN)) continue;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_accepting) continue;
        }
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++m_connections;
        // A client that connects and never sends must not hold the service
        // (and the test's end) forever.
        struct timeval tv = {10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        Serve(fd);
        ::close(fd);
    }
}

void FakeService::Serve(int fd) {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        handler = m_handler;
    }
    Bytes request;
    FakeAction action;
    uint8_t hdr[4];
    if (!ReadAll(fd, hdr, 4)) return;
    uint32_t cb = hdr[0] | hdr[1] << 8 | hdr[2] << 16 | static_cast<uint32_t>(hdr[3]) << 24;
    if (cb > (1u << 20)) return;
    request.resize(cb);
    if (!ReadAll(fd, request.data(), cb)) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back(request);
    }
    action = handler(request);
    if (action.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(action.delayMs));
    if (action.closeWithoutReply) return;
    if (!action.stream.empty()) {
        Stream(fd, action);
        return;
    }
    uint32_t len = action.frameLength >= 0 ? static_cast<uint32_t>(action.frameLength)
                                           : static_cast<uint32_t>(action.reply.size());
    Bytes frame = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len >> 16),
                   static_cast<uint8_t>(len >> 24)};
    frame.insert(frame.end(), action.reply.begin(), action.reply.end());
    frame.insert(frame.end(), action.rawTail.begin(), action.rawTail.end());
    WriteAll(fd, frame.data(), frame.size());
}

void FakeService::Stream(int fd, const FakeAction& action) {
    Bytes out;
    for (size_t i = 0; i < action.stream.size(); ++i) {
        if (i > 0 && action.frameGapMs) {
            WriteAll(fd, out.data(), out.size());
            out.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(action.frameGapMs));
        }
        AppendFrame(&out, action.stream[i]);
    }
    out.insert(out.end(), action.rawTail.begin(), action.rawTail.end());
    WriteAll(fd, out.data(), out.size());
    if (action.holdOpenMs) std::this_thread::sleep_for(std::chrono::milliseconds(action.holdOpenMs));
}

void AppendFrame(Bytes* out, const Bytes& payload) {
    uint32_t len = static_cast<uint32_t>(payload.size());
    const uint8_t hdr[4] = {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len >> 16),
                            static_cast<uint8_t>(len >> 24)};
    out->insert(out->end(), hdr, hdr + 4);
    out->insert(out->end(), payload.begin(), payload.end());
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
