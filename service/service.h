// The service: its settings, its store and index, its counters and the
// decisions of the screening commands. One object per process; the
// listener hands it each request through the dispatcher.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "VGClient/vgwire.h"
#include "service/dispatch.h"
#include "service/mgmt.h"
#include "service/settings.h"
#include "service/store.h"

namespace vgsvc {

// Counters since the service started.
struct Counters {
    std::atomic<uint64_t> connectionsAllowed{0};
    std::atomic<uint64_t> connectionsRefused{0};
    std::atomic<uint64_t> whiteHits{0};
    std::atomic<uint64_t> blackHits{0};
    std::atomic<uint64_t> trustedHits{0};
    std::atomic<uint64_t> authFailures{0};
    std::atomic<uint64_t> authSuccesses{0};
    std::atomic<uint64_t> blocks{0};
    std::atomic<uint64_t> freezes{0};
    std::atomic<uint64_t> thaws{0};
    std::atomic<uint64_t> expired{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> badRequests{0};
};

struct Admission {
    uint32_t dwVerdict = 1;  // 1: go on; 0: refuse
    uint32_t dwInfo1 = 0;    // VG_ADMIT_*: the rule that decided
};

class Service {
public:
    Service();
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Opens the database in stateDir and the settings file (each made when
    // missing). Failures are logged and returned.
    HRESULT Open(const std::string& stateDir, const std::string& iniPath);
    void Close();

    Store& GetStore() { return m_store; }
    Settings& GetSettings() { return m_settings; }
    Counters& GetCounters() { return m_counters; }
    const Dispatcher& GetDispatcher() const { return m_dispatcher; }
    Sessions& GetSessions() { return m_sessions; }
    std::chrono::steady_clock::time_point Started() const { return m_started; }

    // Seconds since 1970, UTC. Tests stop the clock at a time of their own
    // and move it forward.
    int64_t Now() const;
    void StopClock(int64_t at) { m_stoppedAt = at; }
    void AdvanceClock(int64_t seconds) { m_clockOffset += seconds; }

    // Commands 1 to 3: whether the address is on the list. A text that is
    // not an address answers 0x80070057.
    HRESULT IsListed(ListKind list, const char* szIPAddress, uint32_t dwService, uint32_t* pdwResult);
    // Commands 6 to 9; szAccount is null for 6 and 8.
    Admission Admit(const char* szIPAddress, uint32_t dwService, const char* szAccount);
    // Commands 10 and 11: the status returned to the front end.
    HRESULT ProcessAuthFailure(const VGAUTHFAILURE& req);
    HRESULT ProcessAuthSuccess(const VGAUTHSUCCESS& req);

    // Re-reads the settings when the file changed (or always when forced)
    // and applies the log level.
    void ReloadSettings(bool fForce);
    // Expires list entries and failure records and thaws accounts.
    void Maintain();
    // The start-up report of the lists, as the Logs switches ask.
    void LogStartup();

    // The range failures from an address are counted under.
    static AddrRange CountedRange(const Config& c, const Addr128& a);
    // How long the next block of a range lasts (0: for good).
    static int64_t BlockExpiry(const Config& c, uint32_t offencesBefore, int64_t now);

private:
    Settings m_settings;
    Store m_store;
    Counters m_counters;
    Dispatcher m_dispatcher;
    Sessions m_sessions;
    std::chrono::steady_clock::time_point m_started;
    std::atomic<int64_t> m_clockOffset{0};
    std::atomic<int64_t> m_stoppedAt{0};
};

}  // namespace vgsvc
