// The server side of pipes: what a client of the library sees of it, waits
// that end at their deadline, cancellation, and a second server refused.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sharedcode/platform/pipe.h"
#include "sharedcode/platform/pipeserver.h"
#include "sharedcode/platform/process.h"
#include "tests/test_env.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPath = "\\\\.\\pipe\\ServerSide";

class PipeServer : public VgTestEnv {
protected:
    void TearDown() override {
        if (m_listener) plat::ClosePipeListener(m_listener);
        VgTestEnv::TearDown();
    }
    void Listen(DWORD dwAccess = plat::kPipeAccessOwner) {
        m_listener = plat::CreatePipeListener(kPath, dwAccess, 16);
        ASSERT_NE(m_listener, nullptr) << plat::GetLastError();
    }
    plat::HPIPELISTENER m_listener = nullptr;
};

// A message longer than any request of the command table (the client sends
// it in two pieces) reaches the server whole; the client reads the answer as
// a byte stream up to the empty message (a read may end at a message's end
// on Windows). One-shot calls: every screening suite.
TEST_F(PipeServer, LongMessagesAndStreamedAnswersReachTheirPeer) {
    Listen();
    std::thread server([this] {
        plat::HPIPECONN c = plat::AcceptPipeClient(m_listener, 5000);
        ASSERT_NE(c, nullptr);
        char request[8192] = {};
        DWORD cb = 0;
        ASSERT_TRUE(plat::ReadPipeMessage(c, request, sizeof(request), &cb, 5000));
        const std::string reply = "re:" + std::string(request, cb);
        EXPECT_TRUE(plat::WritePipeMessage(c, reply.data(), static_cast<DWORD>(reply.size()), 5000));
        EXPECT_TRUE(plat::WritePipeMessage(c, "tail", 4, 5000));
        EXPECT_TRUE(plat::WritePipeMessage(c, nullptr, 0, 5000));
        plat::ClosePipeConnection(c);
    });
    plat::HPIPE h = plat::CreateFileA(kPath, plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                                      plat::kPipeOpenExisting, 0);
    ASSERT_NE(h, nullptr);
    const std::string list = "list" + std::string(6000, '.');
    ASSERT_TRUE(plat::WriteFile(h, list.data(), static_cast<DWORD>(list.size()), nullptr));
    std::string stream;
    char part[32];
    for (DWORD cbRead = 0; plat::ReadFile(h, part, sizeof(part), &cbRead) && cbRead;) stream.append(part, cbRead);
    EXPECT_EQ(stream, "re:" + list + "tail");
    plat::CloseHandle(h);
    server.join();
}

TEST_F(PipeServer, WaitsEndAtTheirDeadline) {
    Listen();
    auto t0 = Clock::now();
    EXPECT_EQ(plat::AcceptPipeClient(m_listener, 200), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(MsSince(t0), 180);

    // A client that connects and says nothing, or half a message, is given
    // up on when the read's time runs out.
    plat::HPIPE h = plat::CreateFileA(kPath, plat::kPipeGenericWrite, 0, plat::kPipeOpenExisting, 0);
    ASSERT_NE(h, nullptr);
    plat::HPIPECONN c = plat::AcceptPipeClient(m_listener, 2000);
    ASSERT_NE(c, nullptr);
    char buf[8];
    DWORD cb = 0;
    t0 = Clock::now();
    EXPECT_FALSE(plat::ReadPipeMessage(c, buf, sizeof(buf), &cb, 200));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_LT(MsSince(t0), 2000);

    // Longer than the buffer: the start is kept, the rest is refused.
    ASSERT_TRUE(plat::WriteFile(h, "0123456789", 10, nullptr));
    EXPECT_FALSE(plat::ReadPipeMessage(c, buf, sizeof(buf), &cb, 2000));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(buf, cb), "01234567");

    // The client gone.
    plat::CloseHandle(h);
    plat::ClosePipeConnection(c);
    h = plat::CreateFileA(kPath, plat::kPipeGenericWrite, 0, plat::kPipeOpenExisting, 0);
    c = plat::AcceptPipeClient(m_listener, 2000);
    ASSERT_NE(c, nullptr);
    plat::CloseHandle(h);
    EXPECT_FALSE(plat::ReadPipeMessage(c, buf, sizeof(buf), &cb, 2000));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    plat::ClosePipeConnection(c);
}

TEST_F(PipeServer, CancelWakesEveryAcceptor) {
    Listen();
    std::vector<std::thread> acceptors;
    std::vector<DWORD> errors(3, 0);
    for (int i = 0; i < 3; ++i) {
        acceptors.emplace_back([this, i, &errors] {
            EXPECT_EQ(plat::AcceptPipeClient(m_listener, 5000), nullptr);
            errors[i] = plat::GetLastError();
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = Clock::now();
    ASSERT_TRUE(plat::CancelPipeListener(m_listener));
    for (auto& t : acceptors) t.join();
    EXPECT_LT(MsSince(t0), 1000);
    for (DWORD e : errors) EXPECT_EQ(e, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(PipeServer, NameBelongsToOneLiveServer) {
    Listen(plat::kPipeAccessGroup);
    EXPECT_EQ(plat::CreatePipeListener(kPath, plat::kPipeAccessOwner, 4), nullptr);
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
#ifndef _WIN32
    std::string file = m_pipeDir + "/ServerSide";
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    // Closing removes the name; a dead server's socket file is taken over.
    plat::ClosePipeListener(m_listener);
    m_listener = nullptr;
    EXPECT_NE(::stat(file.c_str(), &st), 0);
    int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, file.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(stale);
    Listen();
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    plat::ClosePipeListener(m_listener);
    m_listener = nullptr;
    EXPECT_NE(::stat(file.c_str(), &st), 0);
#endif
}

// Bytes read past a message are the next message's: two messages and part of
// a third's length in one write, the rest of the third later. A read that
// runs out of time in the middle of a message keeps what came of it.
TEST_F(PipeServer, MessagesAreReadOneByOneHoweverTheirBytesArrive) {
    VG_POSIX_ONLY("only the socket's framing can be cut");
#ifndef _WIN32
    Listen();
    auto frame = [](const std::string& text) {
        const uint32_t cb = static_cast<uint32_t>(text.size());
        return std::string{static_cast<char>(cb), 0, 0, 0} + text;
    };
    const std::string first = frame("one") + frame("second");
    const std::string bytes = first + frame("3rd");
    const size_t cut = first.size() + 2;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (m_pipeDir + "/ServerSide").c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::send(fd, bytes.data(), cut, 0), static_cast<ssize_t>(cut));
    plat::HPIPECONN c = plat::AcceptPipeClient(m_listener, 2000);
    ASSERT_NE(c, nullptr);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::send(fd, bytes.data() + cut, bytes.size() - cut, 0);
    });
    char buf[16];
    DWORD cb = 0;
    for (const char* expected : {"one", "second", "3rd"}) {
        EXPECT_TRUE(plat::ReadPipeMessage(c, buf, sizeof(buf), &cb, 2000)) << expected;
        EXPECT_EQ(std::string(buf, cb), expected);
    }
    late.join();
    const std::string fourth = frame("fourth");
    ASSERT_EQ(::send(fd, fourth.data(), 6, 0), 6);
    EXPECT_FALSE(plat::ReadPipeMessage(c, buf, sizeof(buf), &cb, 100));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    ASSERT_EQ(::send(fd, fourth.data() + 6, fourth.size() - 6, 0), static_cast<ssize_t>(fourth.size() - 6));
    EXPECT_TRUE(plat::ReadPipeMessage(c, buf, sizeof(buf), &cb, 2000));
    EXPECT_EQ(std::string(buf, cb), "fourth");
    plat::ClosePipeConnection(c);
    ::close(fd);
#endif
}

}  // namespace
