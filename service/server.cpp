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
    for (int i = 0; i < 2; ++i)
        for (unsigned n = 0; n < m_workers[i]; ++n)
            m_threads.emplace_back(&Server::Work, this, i);
    return S_OK;
}

void Server::Stop() {
    for (plat::HPIPELISTENER h : m_listeners)
        if (h) plat::CancelPipeListener(h);
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
    for (plat::HPIPELISTENER& h : m_listeners) {
        if (h) plat::ClosePipeListener(h);
        h = nullptr;
    }
}

void Server::Work(int iPipe) {
    const PipeKind pipe = iPipe == 0 ? kScreeningPipe : kManagementPipe;
    const Dispatcher& dispatcher = m_service.GetDispatcher();
    Counters& counters = m_service.GetCounters();
    alignas(8) uint8_t ab[kMaxRequestSize];
    for (;;) {
        plat::HPIPECONN hConn = plat::AcceptPipeClient(m_listeners[iPipe], plat::kPipeWaitForever);
        if (!hConn) {
            if (plat::GetLastError() == ERROR_OPERATION_ABORTED) return;
            // Out of descriptors or memory for a moment: the worker stays.
            plat::Sleep(kRetryAfterFailureMs);
            continue;
        }
        DWORD cb = 0;
        if (plat::ReadPipeMessage(hConn, ab, sizeof(ab), &cb, kReadDeadlineMs)) {
            counters.requests++;
            ConnectionWriter out(hConn);
            if (!dispatcher.Dispatch(m_service, pipe, ab, cb, out)) counters.badRequests++;
        } else {
            counters.badRequests++;
        }
        plat::ClosePipeConnection(hConn);
    }
}

}  // namespace vgsvc
