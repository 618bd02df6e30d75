// The listener: both pipes, each served by a small fixed pool of workers
// that accept, read one request, answer it through the dispatcher and close.
// The workers of a pipe all wait to accept, and a new client wakes one of
// them (the platform's accept wakes a single waiter), so each request costs
// one thread switch on the service's side, and the workers serve clients in
// parallel.
// Clients beyond the pool wait in the listener's backlog (and see a busy
// pipe when it is full). A front end sends its request as it connects: a
// client whose request has not come whole within kFirstBytesMs is handed to
// the slow lane, a few threads of its own, so that silent or slow clients do
// not hold the workers; the slow lane drops it kReadDeadlineMs after it was
// accepted, or at once when kSlowLaneLimit clients are already waiting there.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "service/dispatch.h"
#include "sharedcode/platform/pipeserver.h"
#include "sharedcode/wintypes.h"

namespace vgsvc {

class Service;

constexpr DWORD kReadDeadlineMs = 800;
constexpr DWORD kFirstBytesMs = 20;
constexpr unsigned kSlowLaneThreads = 4;
constexpr size_t kSlowLaneLimit = 64;
constexpr DWORD kWriteDeadlineMs = 5000;
constexpr DWORD kListenBacklog = 128;
constexpr DWORD kRetryAfterFailureMs = 50;

class Server {
public:
    Server(Service& service, unsigned screeningWorkers, unsigned managementWorkers);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates both listeners (screening 0660, management 0600) and starts
    // the workers; the folder of the pipes must exist.
    HRESULT Start();
    // Stops accepting, lets every request in flight finish, and closes.
    void Stop();

private:
    // A client whose request is still on its way.
    struct SlowClient {
        plat::HPIPECONN hConn;
        PipeKind pipe;
        std::chrono::steady_clock::time_point accepted;
    };

    void Work(int iPipe);
    void WorkSlowLane();
    // Reads the request within dwTimeoutMs and answers it; false when it has
    // not come whole in time (the connection is left open).
    bool Serve(PipeKind pipe, plat::HPIPECONN hConn, DWORD dwTimeoutMs);

    Service& m_service;
    unsigned m_workers[2];
    plat::HPIPELISTENER m_listeners[2] = {nullptr, nullptr};
    std::vector<std::thread> m_threads;
    std::mutex m_slowLock;
    std::condition_variable m_slowReady;
    std::deque<SlowClient> m_slow;
    bool m_fStopping = false;
};

}  // namespace vgsvc
