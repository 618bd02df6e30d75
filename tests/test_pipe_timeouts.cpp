// The client side's reply time-out against a server that takes the request
// and never answers: the one-shot call and a pipe handle's reads, on both
// builds (Win32 does these with overlapped I/O).
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

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
    // Takes each request and keeps the connection, silent, until the end.
    std::atomic<bool> fDone{false};
    std::thread server([&] {
        std::vector<plat::HPIPECONN> held;
        while (!fDone) {
            plat::HPIPECONN c = plat::AcceptPipeClient(listener, 50);
            char request[8];
            DWORD cb = 0;
            if (c && plat::ReadPipeMessage(c, request, sizeof(request), &cb, 5000)) held.push_back(c);
            else if (c) plat::ClosePipeConnection(c);
        }
        for (plat::HPIPECONN c : held) plat::ClosePipeConnection(c);
    });

    char reply[16];
    DWORD cbRead = 7;
    auto t0 = Clock::now();
    EXPECT_FALSE(plat::CallNamedPipeA(kPath, "q", 1, reply, sizeof(reply), &cbRead, 1500, 100));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(cbRead, 0u);
    EXPECT_GE(MsSince(t0), 90);
    EXPECT_LT(MsSince(t0), 500);

    plat::HPIPE h = plat::CreateFileA(kPath, plat::kPipeGenericRead | plat::kPipeGenericWrite, 0,
                                      plat::kPipeOpenExisting, 0, 100);
    EXPECT_NE(h, nullptr) << plat::GetLastError();
    const DWORD dwMode = plat::kPipeReadModeByte;
    EXPECT_TRUE(plat::SetNamedPipeHandleState(h, &dwMode));
    EXPECT_TRUE(plat::WriteFile(h, "q", 1, nullptr));
    t0 = Clock::now();
    EXPECT_FALSE(plat::ReadFile(h, reply, sizeof(reply), &cbRead));
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(MsSince(t0), 90);
    EXPECT_LT(MsSince(t0), 500);
    EXPECT_TRUE(plat::CloseHandle(h));

    fDone = true;
    server.join();
    plat::ClosePipeListener(listener);
}

}  // namespace
