#include "service/server.h"

#include <cstring>

#include "VGClient/vgwire.h"
#include "service/service.h"
#include "sharedcode/hresult.h"
#include "sharedcode/platform/process.h"

namespace vgsvc {
namespace {

class ConnectionWriter : public MessageWriter {
public:
    explicit ConnectionWriter(plat::HPIPECONN hConn) : m_hConn(hConn) {}
    bool Write(const void* pv, size_t cb) override {
        return m_fOpen = m_fOpen && plat::WritePipeMessage(m_hConn, pv, static_cast<DWORD>(cb), kWriteDeadlineMs);
    }

private:
    plat::HPIPECONN m_hConn;
    bool m_fOpen = true;
};

}  // namespace

Server::Server(Service& service, unsigned screeningWorkers, unsigned managementWorkers)
    : m_service(service), m_workers{screeningWorkers, managementWorkers} {}

Server::~Server() { Stop(); }

HRESULT Server::Start() {
    static const char* const kPaths[2] = {"\\\\.\\pipe\\" VG_SCREENING_PIPE, "\\\\.\\pipe\\" VG_MANAGEMENT_PIPE};
    static const DWORD kAccess[2] = {plat::kPipeAccessGroup, plat::kPipeAccessOwner};
    for (int i = 0; i < 2; ++i) {
        m_listeners[i] = plat::CreatePipeListener(kPaths[i], kAccess[i], kListenBacklog);
        if (!m_listeners[i]) {
            const HRESULT hr = HrFromLastError();
            Stop();
            return HrFailed(hr) ? hr : E_FAIL;
        }
    }
    m_fStopping = false;
    for (int i = 0; i < 2; ++i)
        for (unsigned n = 0; n < m_workers[i]; ++n)
            m_threads.emplace_back(&Server::Work, this, i);
    for (unsigned n = 0; n < kSlowLaneThreads; ++n) m_threads.emplace_back(&Server::WorkSlowLane, this);
    return S_OK;
}

void Server::Stop() {
    for (plat::HPIPELISTENER h : m_listeners)
        if (h) plat::CancelPipeListener(h);
    {
        std::lock_guard<std::mutex> g(m_slowLock);
        m_fStopping = true;
    }
    m_slowReady.notify_all();
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
    for (plat::HPIPELISTENER& h : m_listeners) {
        if (h) plat::ClosePipeListener(h);
        h = nullptr;
    }
}

void Server::Work(int iPipe) {
    const PipeKind pipe = iPipe == 0 ? kScreeningPipe : kManagementPipe;
    for (;;) {
        plat::HPIPECONN hConn = plat::AcceptPipeClient(m_listeners[iPipe], plat::kPipeWaitForever);
        if (!hConn) {
            if (plat::GetLastError() == ERROR_OPERATION_ABORTED) return;
            // Out of descriptors or memory for a moment: the worker stays.
            plat::Sleep(kRetryAfterFailureMs);
            continue;
        }
        if (Serve(pipe, hConn, kFirstBytesMs)) continue;
        const auto accepted = std::chrono::steady_clock::now() - std::chrono::milliseconds(kFirstBytesMs);
        {
            std::lock_guard<std::mutex> g(m_slowLock);
            if (m_slow.size() < kSlowLaneLimit && !m_fStopping) {
                m_slow.push_back({hConn, pipe, accepted});
                hConn = nullptr;
            }
        }
        if (hConn) {
            m_service.GetCounters().badRequests++;
            plat::ClosePipeConnection(hConn);
        } else {
            m_slowReady.notify_one();
        }
    }
}

void Server::WorkSlowLane() {
    for (;;) {
        SlowClient client;
        bool fStopping;
        {
            std::unique_lock<std::mutex> g(m_slowLock);
            m_slowReady.wait(g, [this] { return m_fStopping || !m_slow.empty(); });
            if (m_slow.empty()) return;
            client = m_slow.front();
            m_slow.pop_front();
            fStopping = m_fStopping;
        }
        // Once the service stops, only what has already come is answered.
        const auto left = std::chrono::milliseconds(kReadDeadlineMs) - (std::chrono::steady_clock::now() - client.accepted);
        const auto ms = fStopping ? 0 : std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        if (!Serve(client.pipe, client.hConn, ms > 0 ? static_cast<DWORD>(ms) : 0)) {
            m_service.GetCounters().badRequests++;
            plat::ClosePipeConnection(client.hConn);
        }
    }
}

bool Server::Serve(PipeKind pipe, plat::HPIPECONN hConn, DWORD dwTimeoutMs) {
    alignas(8) uint8_t ab[kMaxRequestSize];
    DWORD cb = 0;
    Counters& counters = m_service.GetCounters();
    if (plat::ReadPipeMessage(hConn, ab, sizeof(ab), &cb, dwTimeoutMs)) {
        counters.requests++;
        ConnectionWriter out(hConn);
        if (!m_service.GetDispatcher().Dispatch(m_service, pipe, ab, cb, out)) counters.badRequests++;
    } else if (plat::GetLastError() == ERROR_SEM_TIMEOUT) {
        return false;
    } else {
        counters.badRequests++;
    }
    plat::ClosePipeConnection(hConn);
    return true;
}

}  // namespace vgsvc
