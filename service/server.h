// The listener: both pipes, each served by a small fixed pool of workers
// that accept, read one request, answer it through the dispatcher and close.
// The workers of a pipe all wait to accept, and a new client wakes one of
// them (the platform's accept wakes a single waiter), so each request costs
// one thread switch on the service's side, and the workers serve clients in
// parallel.
// Clients beyond the pool wait in the listener's backlog (and see a busy
// pipe when it is full), so the service never holds more than the pool's
// connections at once. A client that connects and sends nothing is dropped
// after kReadDeadlineMs.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "service/dispatch.h"
#include "sharedcode/platform/pipeserver.h"
#include "sharedcode/wintypes.h"

namespace vgsvc {

class Service;

constexpr DWORD kReadDeadlineMs = 800;
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
    void Work(int iPipe);

    Service& m_service;
    unsigned m_workers[2];
    plat::HPIPELISTENER m_listeners[2] = {nullptr, nullptr};
    std::vector<std::thread> m_threads;
};

}  // namespace vgsvc
