// Debugger tracing: the header pieces, the message cut, the line lock held
// across an entry, and the process-wide channel to an attached debugger.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "sharedcode/platform/debug.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/tracing.h"
#include "tests/child_process.h"

namespace {

// Written under the tracer's line lock only.
std::vector<std::string> g_out;

// The time piece, checked for range rather than value, and the module name.
const std::string kTimeModule = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} test_tracing";

class Tracing : public ::testing::Test {
protected:
    Tracing() {
        g_out.clear();
        m_tracing.SetChannel([]() -> BOOL { return TRUE; }, [](const char* sz) { g_out.push_back(sz); });
    }
    CRVN::Tracing m_tracing;
};

TEST_F(Tracing, HeaderPiecesInOrder) {
    m_tracing.Header("C:\\src\\sharedcode\\moduleheap.cpp", 151, "CModuleHeap::CModuleHeap");
    m_tracing.Message("%s failed", "HeapCreate");
    // Without a function name the module name is followed by a blank.
    m_tracing.Header("/src/sharedcode/tracing.cpp", 7, nullptr);
    m_tracing.Message("plain");

    char szTid[32];
    std::snprintf(szTid, sizeof(szTid), "TID\\(%04xh\\) ", static_cast<unsigned>(plat::GetCurrentThreadId()));
    ASSERT_EQ(4u, g_out.size());
    EXPECT_TRUE(std::regex_match(g_out[0], std::regex("moduleheap\\.cpp\\(151\\): " + kTimeModule + "!" + szTid +
                                                      "CModuleHeap::CModuleHeap ")))
        << g_out[0];
    EXPECT_EQ("HeapCreate failed\n", g_out[1]);
    EXPECT_TRUE(std::regex_match(g_out[2], std::regex("tracing\\.cpp\\(7\\): " + kTimeModule + " " + szTid)))
        << g_out[2];
    EXPECT_EQ("plain\n", g_out[3]);
}

TEST_F(Tracing, MessageCutAt4095AndNullFormat) {
    for (size_t cch : {4094, 4095, 5000}) {
        const std::string text(cch, 'x');
        m_tracing.Message("%s", text.c_str());
        EXPECT_EQ(cch < 4095 ? text + "\n" : text.substr(0, 4095), g_out.back()) << cch;
    }
    m_tracing.Message(nullptr);
    EXPECT_EQ("<NULL>\n", g_out.back());
}

// Another thread's entry waits from this thread's header to its message.
TEST_F(Tracing, LineLockHeldFromHeaderToMessage) {
    m_tracing.Header(__FILE__, 1, "first");
    auto other = std::async(std::launch::async, [this] {
        m_tracing.Header(__FILE__, 2, "second");
        m_tracing.Message("second");
    });
    EXPECT_EQ(std::future_status::timeout, other.wait_for(std::chrono::milliseconds(100)));
    m_tracing.Message("first");
    other.get();
    ASSERT_EQ(4u, g_out.size());
    EXPECT_EQ("first\n", g_out[1]);
    EXPECT_EQ("second\n", g_out[3]);
}

VG_CHILD(TraceProbe) {
    TRACE_HEADER(42, "Probe");
    TRACE_MESSAGE("value %d", 7);
    return 0;
}

// The process-wide instance: silent without a debugger, everything with one
// (POSIX: a tracer, and the text on stderr).
TEST(TracingChannel, OnlyAnAttachedDebuggerGetsTheLines) {
    int rc = -1;
    EXPECT_EQ("", childtest::DebuggerOutput(TraceProbe, {}, false, &rc));
    EXPECT_EQ(0, rc);
    const std::string text = childtest::DebuggerOutput(TraceProbe, {}, true, &rc);
    if (rc == childtest::kTracingRefused) GTEST_SKIP() << "tracing a child is not permitted here";
    ASSERT_EQ(0, rc) << text;
    EXPECT_TRUE(std::regex_match(text, std::regex("test_tracing\\.cpp\\(42\\): " + kTimeModule +
                                                  "!TID\\([0-9a-f]{4,}h\\) Probe value 7\n")))
        << text;
}

}  // namespace
