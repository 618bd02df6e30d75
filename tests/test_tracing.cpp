// Debugger tracing: the header pieces, the message cut, the line lock held
// across an entry, and the POSIX channel (a tracer, stderr).
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sharedcode/platform/debug.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/tracing.h"

namespace {

std::atomic<bool> g_fAttached{true};
std::mutex g_outLock;
std::vector<std::string> g_out;

BOOL Attached() { return g_fAttached ? TRUE : FALSE; }
void Capture(const char* sz) {
    std::lock_guard<std::mutex> lock(g_outLock);
    g_out.push_back(sz);
}
std::vector<std::string> Output() {
    std::lock_guard<std::mutex> lock(g_outLock);
    return g_out;
}

std::string ThreadId() {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "%04x", static_cast<unsigned>(plat::GetCurrentThreadId()));
    return sz;
}

// The time piece, checked for range rather than value.
const char kTime[] = "([0-2][0-9]):([0-5][0-9]):([0-5][0-9])\\.[0-9]{3} ";

class Tracing : public ::testing::Test {
protected:
    void SetUp() override {
        g_fAttached = true;
        {
            std::lock_guard<std::mutex> lock(g_outLock);
            g_out.clear();
        }
        m_tracing.SetChannel(Attached, Capture);
    }
    CRVN::Tracing m_tracing;
};

TEST_F(Tracing, HeaderPiecesInOrder) {
    m_tracing.Header("C:\\src\\sharedcode\\moduleheap.cpp", 151, "CModuleHeap::CModuleHeap");
    m_tracing.Message("%s failed", "HeapCreate");
    // Without a function name the module name is followed by a blank.
    m_tracing.Header("/src/sharedcode/tracing.cpp", 7, nullptr);
    m_tracing.Message("plain");

    auto out = Output();
    ASSERT_EQ(4u, out.size());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[0], m,
                                 std::regex(std::string("moduleheap\\.cpp\\(151\\): ") + kTime + "test_tracing!TID\\(" +
                                            ThreadId() + "h\\) CModuleHeap::CModuleHeap ")))
        << out[0];
    EXPECT_LT(std::stoi(m[1]), 24);
    EXPECT_EQ("HeapCreate failed\n", out[1]);
    EXPECT_TRUE(std::regex_match(
        out[2], std::regex(std::string("tracing\\.cpp\\(7\\): ") + kTime + "test_tracing TID\\(" + ThreadId() + "h\\) ")))
        << out[2];
    EXPECT_EQ("plain\n", out[3]);
}

TEST_F(Tracing, MessageCutAt4095AndNullFormat) {
    struct {
        size_t cch;
        size_t cchWant;
        bool fLineFeed;
    } cases[] = {{4094, 4094, true}, {4095, 4095, false}, {5000, 4095, false}};
    for (const auto& c : cases) {
        std::string text(c.cch, 'x');
        m_tracing.Header(__FILE__, __LINE__, "f");
        m_tracing.Message("%s", text.c_str());
        std::string want = text.substr(0, c.cchWant) + (c.fLineFeed ? "\n" : "");
        EXPECT_EQ(want, Output().back()) << c.cch;
    }
    m_tracing.Header(__FILE__, __LINE__, "f");
    m_tracing.Message(nullptr);
    EXPECT_EQ("<NULL>\n", Output().back());
}

TEST_F(Tracing, LineLockHeldFromHeaderToMessage) {
    m_tracing.Header(__FILE__, 1, "first");
    std::thread other([this] {
        m_tracing.Header(__FILE__, 2, "second");
        m_tracing.Message("second");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, Output().size());  // the other entry waits for this one
    m_tracing.Message("first");
    other.join();

    auto out = Output();
    ASSERT_EQ(4u, out.size());
    EXPECT_NE(std::string::npos, out[0].find(" first "));
    EXPECT_EQ("first\n", out[1]);
    EXPECT_NE(std::string::npos, out[2].find(" second "));
    EXPECT_EQ("second\n", out[3]);
}

TEST_F(Tracing, WithoutDebuggerNothingIsWrittenOrLocked) {
    g_fAttached = false;
    m_tracing.Header(__FILE__, 1, "f");
    g_fAttached = true;
    auto other = std::async(std::launch::async, [this] {
        m_tracing.Header(__FILE__, 2, "g");
        m_tracing.Message("other");
    });
    EXPECT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(5)));
    g_fAttached = false;
    m_tracing.Message("dropped");  // ends this thread's entry either way
    other.get();

    auto out = Output();
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ("other\n", out[1]);
}

// The process-wide instance on the POSIX channel: silent without a tracer,
// stderr with one.
TEST(TracingChannel, TracedProcessWritesToStderr) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        if (plat::IsDebuggerPresent()) ::_exit(4);
        TRACE_HEADER(41, "Probe");
        TRACE_MESSAGE("unseen");
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
        if (!plat::IsDebuggerPresent()) ::_exit(5);
        TRACE_HEADER(42, "Probe");
        TRACE_MESSAGE("value %d", 7);
        ::_exit(0);  // no exit-time leak check: it cannot run under a tracer
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(WSTOPSIG(status))));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "ptrace is not permitted here";
    if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "already running under a tracer";
    ASSERT_EQ(0, WEXITSTATUS(status)) << text;
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string("test_tracing\\.cpp\\(42\\): ") + kTime +
                                                  "test_tracing!TID\\([0-9a-f]{4,}h\\) Probe value 7\n")))
        << text;
}

}  // namespace
