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

// Whether a request is answered from memory alone (the screening queries
// and admissions, not the failure and success reports, which write).
static bool IsQuick(PipeKind pipe, const uint8_t* pb, DWORD cb) {
    if (pipe != kScreeningPipe || cb < 8) return false;
    uint32_t dwCommand;
    std::memcpy(&dwCommand, pb + 4, sizeof(dwCommand));
    return dwCommand != VGCMD_PROCESSAUTHFAILURE && dwCommand != VGCMD_PROCESSAUTHSUCCESS;
}

void Server::Work(int iPipe) {
    const PipeKind pipe = iPipe == 0 ? kScreeningPipe : kManagementPipe;
    const Dispatcher& dispatcher = m_service.GetDispatcher();
    Counters& counters = m_service.GetCounters();
    alignas(8) uint8_t ab[kMaxRequestSize];
    for (;;) {
        std::unique_lock<std::mutex> turn(m_acceptTurn[iPipe]);
        plat::HPIPECONN hConn = plat::AcceptPipeClient(m_listeners[iPipe], kAcceptSliceMs);
        if (!hConn) {
            turn.unlock();
            if (plat::GetLastError() == ERROR_SEM_TIMEOUT) continue;
            return;  // cancelled
        }
        // A client has mostly sent its request by the time it is accepted.
        // Then a quick one is answered before the turn passes on, which
        // spares waking another worker; anything else passes the turn first.
        DWORD cb = 0;
        bool fRead = plat::ReadPipeMessage(hConn, ab, sizeof(ab), &cb, 0);
        if (!fRead && plat::GetLastError() == ERROR_SEM_TIMEOUT) {
            turn.unlock();
            fRead = plat::ReadPipeMessage(hConn, ab, sizeof(ab), &cb, kReadDeadlineMs);
        }
        if (fRead) {
            if (turn.owns_lock() && !IsQuick(pipe, ab, cb)) turn.unlock();
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
