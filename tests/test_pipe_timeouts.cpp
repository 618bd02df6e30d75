// The client side's reply time-out against a server that takes the request
// and never answers: the one-shot call and a pipe handle's reads, on both
// builds (Win32 does these with overlapped I/O).
#include <chrono>
#include <thread>

#include "sharedcode/platform/pipe.h"
#include "sharedcode/platform/pipeserver.h"
#include "sharedcode/platform/process.h"
#include "tests/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPath = "\\\\.\\pipe\\Silent";

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

class PipeTimeouts : public VgTestEnv {};

TEST_F(PipeTimeouts, ReadsEndWhenTheServerStaysSilent) {
    plat::HPIPELISTENER listener = plat::CreatePipeListener(kPath, plat::kPipeAccessOwner, 4);
    ASSERT_NE(listener, nullptr) << plat::GetLastError();
    std::thread server([listener] {
        for (int i = 0; i < 2; ++i) {
            plat::HPIPECONN c = plat::AcceptPipeClient(listener, 5000);
            ASSERT_NE(c, nullptr);
            char request[8];
            DWORD cb = 0;
            EXPECT_TRUE(plat::ReadPipeMessage(c, request, sizeof(request), &cb, 5000));
            plat::Sleep(600);  // and no answer
            plat::ClosePipeConnection(c);
        }
    });

    char reply[16];
    DWORD cbRead = 7;
    auto t0 = Clock::now();
    EXPECT_FALSE(plat::CallNamedPipeA(kPath, "q", 1, reply, sizeof(reply), &cbRead, 1500, 100));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(cbRead, 0u);
    EXPECT_GE(MsSince(t0), 90);
    EXPECT_LT(MsSince(t0), 500);

    plat::HPIPE h = nullptr;
    for (int i = 0; i < 50 && !h; ++i) {  // the server is busy with the first client for a while
        h = plat::CreateFileA(kPath, plat::kPipeGenericRead | plat::kPipeGenericWrite, 0, plat::kPipeOpenExisting, 0,
                              100);
        if (!h) plat::WaitNamedPipeA(kPath, 1000);
    }
    ASSERT_NE(h, nullptr) << plat::GetLastError();
    const DWORD dwMode = plat::kPipeReadModeByte;
    EXPECT_TRUE(plat::SetNamedPipeHandleState(h, &dwMode));
    EXPECT_TRUE(plat::WriteFile(h, "q", 1, nullptr));
    t0 = Clock::now();
    EXPECT_FALSE(plat::ReadFile(h, reply, sizeof(reply), &cbRead));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(MsSince(t0), 90);
    EXPECT_LT(MsSince(t0), 500);
    EXPECT_TRUE(plat::CloseHandle(h));

    server.join();
    plat::ClosePipeListener(listener);
}

}  // namespace
