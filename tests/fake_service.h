// A scriptable stand-in for the screening service: listens on a pipe of the
// test's pipe folder, records every request's raw bytes and answers each one
// as the script says.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VGClient/vgwire.h"
#include "sharedcode/platform/pipeserver.h"
#include "tests/test_env.h"

typedef std::vector<uint8_t> Bytes;

struct FakeAction {
    Bytes reply;                 // sent as one message
    // POSIX only: the length the frame announces, when it lies; -1: none.
    int64_t frameLength = -1;
    int delayMs = 0;             // before answering
    bool closeWithoutReply = false;
    // Streamed answers (the list channel): when stream is not empty its
    // messages go out in order instead of reply, with a pause of frameGapMs
    // before each after the first. The connection closes after holdOpenMs,
    // or at once when the client no longer takes the messages.
    std::vector<Bytes> stream = {};
    int frameGapMs = 0;
    int holdOpenMs = 0;
};

class FakeService {
public:
    typedef std::function<FakeAction(const Bytes& request)> Handler;

    // Listens on \\.\pipe\<pipeName> (POSIX: $VIGILON_PIPE_DIR/<pipeName>).
    explicit FakeService(const std::string& pipeName, int backlog = 128);
    ~FakeService();

    void SetHandler(Handler handler);
    // While paused, connections wait in the listener's backlog (Windows: one
    // waits on the idle instance, the others find the pipe busy).
    void SetAccepting(bool accepting);

    std::vector<Bytes> Requests() const;
    size_t RequestCount() const;
    int Connections() const { return m_connections.load(); }

    // Reply bytes of a record, optionally only its first cb bytes.
    template <typename T>
    static Bytes Of(const T& record, size_t cb = sizeof(T)) {
        Bytes b(cb);
        std::memcpy(b.data(), &record, cb < sizeof(T) ? cb : sizeof(T));
        return b;
    }

private:
    void Run();
    void Serve(plat::HPIPECONN conn);

    plat::HPIPELISTENER m_listener = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_accepting = true;
    bool m_inAccept = false;
    Handler m_handler;
    std::vector<Bytes> m_requests;
    Bytes m_buffer;  // the request being read
};

// The reply size of a command (the list header's for a streamed list).
size_t ReplySize(uint32_t dwCommand);
// Reads a little-endian u32 at an offset of raw request bytes.
uint32_t U32At(const Bytes& b, size_t offset);
// The NUL-terminated text of a field at an offset.
std::string TextAt(const Bytes& b, size_t offset, size_t width);

// A test with its own pipe folder and registry, and a fake service listening
// on the screening pipe.
class VgServiceTest : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_service.reset(new FakeService(VG_SCREENING_PIPE));
    }
    void TearDown() override {
        m_service.reset();
        VgTestEnv::TearDown();
    }
    std::unique_ptr<FakeService> m_service;
};
