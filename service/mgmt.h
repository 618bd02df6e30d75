// The management side of the service: administrators' sessions and what the
// handlers of commands 13 to 51 share.
//
// Every command but the logon (13) names its session; a session that is
// unknown, ended or idle longer than its time-out is refused with
// kHrNoSession, and nothing else happens.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "service/dispatch.h"
#include "service/listindex.h"

namespace vgsvc {

class Service;

// Results of management requests, besides the dispatcher's.
constexpr HRESULT kHrLogonFailure = static_cast<HRESULT>(0x8007052Eu);    // unknown name, wrong password or unreadable texts
constexpr HRESULT kHrNoSession = static_cast<HRESULT>(0x80070520u);       // no such session (never, ended or expired)
constexpr HRESULT kHrTooManySessions = static_cast<HRESULT>(0x80070045u); // kMaxSessions are open
constexpr HRESULT kHrNotFound = static_cast<HRESULT>(0x80070490u);        // no such key, item or account
constexpr HRESULT kHrExists = static_cast<HRESULT>(0x800700B7u);          // the list holds that range already
constexpr HRESULT kHrInvalidArg = static_cast<HRESULT>(0x80070057u);      // a name, value, address or code that cannot be used
constexpr HRESULT kHrInvalidData = static_cast<HRESULT>(0x8007000Du);     // a stored value that is not of the type asked for

// A session ends after this many seconds without a request, unless the
// settings file says otherwise in [Management] SessionTimeout.
constexpr int64_t kDefaultSessionTimeout = 1800;
constexpr size_t kMaxSessions = 256;

class Sessions {
public:
    // A new session of the administrator; false when kMaxSessions are open
    // and none has been idle for `timeout` seconds.
    bool Open(const std::string& admin, int64_t now, int64_t timeout, VGITEMID* pId);
    // Whether the session is open and has been used within `timeout` seconds;
    // if so it counts as used now. An expired session is ended.
    bool Touch(const VGITEMID& id, int64_t now, int64_t timeout, std::string* pAdmin);
    // Ends the session; false when there was none.
    bool End(const VGITEMID& id, std::string* pAdmin);
    size_t Count() const;

    std::atomic<uint64_t> logons{0};
    std::atomic<uint64_t> logonFailures{0};

private:
    void DropExpired(int64_t now, int64_t timeout);

    struct Session {
        std::string admin;
        int64_t lastUsed;
    };
    mutable std::mutex m_lock;
    ItemIdMap<Session> m_sessions;
};

// The session of a request of commands 15 to 51, which starts with the
// extended header. When it is not in force the failure answer is written and
// the result is false.
bool CheckSession(Service& service, const Request& req, MessageWriter& out, std::string* pAdmin = nullptr);

// Idle seconds after which a session ends.
int64_t SessionTimeout(Service& service);

// HrGetString of the settings file's engine. A change of the file on disk is
// taken into the service's settings first: the read would reload the engine's
// cache, and the service's own re-read would then find nothing changed.
HRESULT ReadSettingText(Service& service, const char* szSection, const char* szKey, const char* szDefault,
                        char* szValue, DWORD cchValue);

// `vigilond --add-admin NAME`: reads a password (from the terminal without
// echo, or one line of standard input) and stores its hash for NAME in the
// database of stateDir, replacing an earlier one. The service must be
// stopped: it holds its database alone. The exit status.
int AddAdministrator(const std::string& stateDir, const std::string& name);

void RegisterSessionHandlers(Dispatcher& d);
void RegisterConfigHandlers(Dispatcher& d);
void RegisterListHandlers(Dispatcher& d);
void RegisterControlHandlers(Dispatcher& d);

}  // namespace vgsvc
