// Management sessions: the logon (command 13) with its sealed texts checked
// against the administrators' password hashes, the end and the abort (15,
// 16), and the session check every other management command makes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "VGClient/vgsession.h"
#include "service/log.h"
#include "service/mgmt.h"
#include "service/service.h"
#include "sharedcode/hresult.h"
#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/credentials.h"

namespace vgsvc {
namespace {

constexpr uint32_t kMsgLogon = 0x4000;
constexpr uint32_t kMsgLogonFailure = 0x4001;
constexpr uint32_t kMsgLogoff = 0x4002;
constexpr uint32_t kMsgAbort = 0x4003;

void Wipe(std::string& s) {
    volatile char* p = s.empty() ? nullptr : &s[0];
    for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

VGITEMID IdOf(const VGSESSIONID& id) {
    VGITEMID out;
    std::memcpy(&out, &id, sizeof(out));
    return out;
}

// The logon's texts, unsealed with the key the library seals them with.
class Unsealer {
public:
    Unsealer() { m_hr = DeriveSealingKey(&m_hProv, &m_hKey); }
    ~Unsealer() {
        if (m_hKey) plat::CryptDestroyKey(m_hKey);
        if (m_hProv) plat::CryptReleaseContext(m_hProv);
    }
    HRESULT Status() const { return m_hr; }

    // False when the field is not Base64 or its text holds a control
    // character (no administrator's name or password does).
    template <size_t N>
    bool Unseal(const char (&field)[N], std::string* pText) {
        const std::string sealed = FieldText(field);
        DWORD cb = 0;
        if (!plat::CryptStringToBinaryA(sealed.c_str(), 0, plat::kCryptStringBase64, nullptr, &cb)) return false;
        pText->assign(cb, '\0');
        if (cb && (!plat::CryptStringToBinaryA(sealed.c_str(), 0, plat::kCryptStringBase64,
                                               reinterpret_cast<BYTE*>(&(*pText)[0]), &cb) ||
                   !plat::CryptEncrypt(m_hKey, TRUE, reinterpret_cast<BYTE*>(&(*pText)[0]), &cb, cb))) {
            Wipe(*pText);
            return false;
        }
        for (char c : *pText)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                Wipe(*pText);
                return false;
            }
        return true;
    }

private:
    HRESULT m_hr;
    plat::HCRYPTPROV m_hProv = nullptr;
    plat::HCRYPTKEY m_hKey = nullptr;
};

// A hash to check passwords of unknown names against, so that a refusal takes
// as long whether or not the name exists.
const std::string& DecoyHash() {
    static std::once_flag once;
    static std::string hash;
    std::call_once(once, [] {
        char sz[plat::kPasswordHashSize] = {};
        if (plat::HashPassword("decoy", sz, sizeof(sz))) hash = sz;
    });
    return hash;
}

bool PasswordMatches(Store& store, const std::string& name, const std::string& password) {
    std::string hash;
    const HRESULT hr = name.empty() ? S_FALSE : store.AdminHash(name, &hash);
    if (hr != S_OK) {
        if (!DecoyHash().empty()) plat::CheckPassword(password.c_str(), DecoyHash().c_str());
        return false;
    }
    return plat::CheckPassword(password.c_str(), hash.c_str()) != FALSE;
}

void HandleOpen(Service& service, const Request& req, MessageWriter& out) {
    const VGOPENSESSIONREQ& q = req.As<VGOPENSESSIONREQ>();
    VGOPENSESSIONREPLY reply = PresetReply<VGOPENSESSIONREPLY>();
    Sessions& sessions = service.GetSessions();
    std::string name, password, module;
    Unsealer unsealer;
    bool fOk = HrSucceeded(unsealer.Status());
    if (!fOk) Log::Text(kError, "cannot derive the sealing key from PNASRes.dll");
    fOk = fOk && unsealer.Unseal(q.szText1, &name) && unsealer.Unseal(q.szText2, &password) &&
          unsealer.Unseal(q.szModule, &module);
    const std::string who = name + " (" + module + ", " + FieldText(q.szText3) + ")";
    fOk = fOk && PasswordMatches(service.GetStore(), name, password);
    Wipe(password);
    if (!fOk) {
        sessions.logonFailures++;
        Log::Event(kWarning, kMsgLogonFailure, who);
        WriteStatus(out, kHrLogonFailure, reply);
        return;
    }
    VGITEMID id;
    if (!sessions.Open(name, service.Now(), SessionTimeout(service), &id)) {
        Log::Event(kWarning, kMsgLogonFailure, who + ": too many sessions");
        WriteStatus(out, kHrTooManySessions, reply);
        return;
    }
    sessions.logons++;
    Log::Event(kInfo, kMsgLogon, who);
    std::memcpy(&reply.idSession, &id, sizeof(id));
    out.Write(&reply, sizeof(reply));
}

void HandleEnd(Service& service, const Request& req, MessageWriter& out) {
    // An expired session cannot be ended any more than used.
    const VGITEMID id = IdOf(req.As<VGREQHDREX>().idSession);
    Sessions& sessions = service.GetSessions();
    std::string admin;
    const bool fEnded = sessions.Touch(id, service.Now(), SessionTimeout(service), &admin) && sessions.End(id, nullptr);
    if (fEnded) Log::Event(kInfo, req.dwCommand == VGCMD_ENDMGMTSESSION ? kMsgLogoff : kMsgAbort, admin);
    WriteStatus(out, fEnded ? S_OK : kHrNoSession);
}

// One line of standard input, without echo when a person types it. False at
// the end of input, or for a line longer than a password may be.
bool ReadPassword(const std::string& prompt, std::string* pPassword) {
    const bool fTerminal = plat::SetStdinEcho(FALSE) != FALSE;
    if (fTerminal) std::fputs(prompt.c_str(), stderr);
    bool fAny = false;
    for (int c; (c = std::getchar()) != EOF;) {
        fAny = true;
        if (c == '\n') break;
        if (pPassword->size() <= plat::kMaxPasswordLength) pPassword->push_back(static_cast<char>(c));
    }
    if (!pPassword->empty() && pPassword->back() == '\r') pPassword->pop_back();
    if (fTerminal) {
        plat::SetStdinEcho(TRUE);
        std::fputc('\n', stderr);
    }
    if (pPassword->size() <= plat::kMaxPasswordLength) return fAny;
    Wipe(*pPassword);
    return false;
}

}  // namespace

void Sessions::DropExpired(int64_t now, int64_t timeout) {
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = now - it->second.lastUsed > timeout ? m_sessions.erase(it) : std::next(it);
}

bool Sessions::Open(const std::string& admin, int64_t now, int64_t timeout, VGITEMID* pId) {
    std::lock_guard<std::mutex> g(m_lock);
    DropExpired(now, timeout);
    if (m_sessions.size() >= kMaxSessions) return false;
    VGITEMID id;
    do id = NewItemId();
    while (m_sessions.count(id));
    m_sessions[id] = {admin, now};
    *pId = id;
    return true;
}

bool Sessions::Touch(const VGITEMID& id, int64_t now, int64_t timeout, std::string* pAdmin) {
    std::lock_guard<std::mutex> g(m_lock);
    // Expired sessions go first, so that the table only holds live ones.
    DropExpired(now, timeout);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end()) return false;
    it->second.lastUsed = now;
    if (pAdmin) *pAdmin = it->second.admin;
    return true;
}

bool Sessions::End(const VGITEMID& id, std::string* pAdmin) {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end()) return false;
    if (pAdmin) *pAdmin = it->second.admin;
    m_sessions.erase(it);
    return true;
}

size_t Sessions::Count() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_sessions.size();
}

HRESULT ReadSettingText(Service& service, const char* szSection, const char* szKey, const char* szDefault,
                        char* szValue, DWORD cchValue) {
    Settings& settings = service.GetSettings();
    std::lock_guard g(settings.Lock());
    service.ReloadSettings(false);
    return settings.Ini().HrGetString(szSection, szKey, szDefault, szValue, cchValue);
}

int64_t SessionTimeout(Service& service) {
    char sz[32] = {};
    ReadSettingText(service, "Management", "SessionTimeout", "", sz, sizeof(sz));
    char* pEnd = nullptr;
    const long long v = std::strtoll(sz, &pEnd, 10);
    return *sz && pEnd && !*pEnd && v > 0 ? v : kDefaultSessionTimeout;
}

bool CheckSession(Service& service, const Request& req, MessageWriter& out, std::string* pAdmin) {
    const VGITEMID id = IdOf(req.As<VGREQHDREX>().idSession);
    if (service.GetSessions().Touch(id, service.Now(), SessionTimeout(service), pAdmin)) return true;
    if (service.GetSettings().Current()->logs.txAccessDenied)
        Log::Text(kWarning, "management command " + std::to_string(req.dwCommand) + " refused: no session " +
                                FormatItemId(id));
    Dispatcher::WriteFailure(FindCommand(req.dwCommand), kHrNoSession, out);
    return false;
}

void RegisterSessionHandlers(Dispatcher& d) {
    d.Register({{HandleOpen, VGCMD_OPENMGMTSESSION}, {HandleEnd, VGCMD_ENDMGMTSESSION, VGCMD_ABORTMGMTSESSION}});
}

int AddAdministrator(const std::string& stateDir, const std::string& name) {
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7F) {
            std::fprintf(stderr, "vigilond: an administrator's name has no blanks or control characters\n");
            return 2;
        }
    if (name.empty() || name.size() > 462) {
        std::fprintf(stderr, "vigilond: an administrator's name has 1 to 462 characters\n");
        return 2;
    }
    std::string password;
    if (!ReadPassword("Password for " + name + ": ", &password)) {
        std::fprintf(stderr, "vigilond: no password read (one line of at most %u characters)\n",
                     static_cast<unsigned>(plat::kMaxPasswordLength));
        return 1;
    }
    char szHash[plat::kPasswordHashSize] = {};
    const bool fHashed = !password.empty() && plat::HashPassword(password.c_str(), szHash, sizeof(szHash));
    Wipe(password);
    if (!fHashed) {
        std::fprintf(stderr, "vigilond: cannot hash the password (an empty one is refused)\n");
        return 1;
    }
    Store store;
    HRESULT hr = store.Open(stateDir);
    if (HrSucceeded(hr)) hr = store.SetAdmin(name, szHash, static_cast<int64_t>(std::time(nullptr)));
    if (HrFailed(hr)) {
        // A running service holds its database alone.
        std::fprintf(stderr, "vigilond: %s (is the service running? stop it first)\n", store.LastError().c_str());
        return 1;
    }
    std::fprintf(stderr, "vigilond: administrator %s stored\n", name.c_str());
    return 0;
}

}  // namespace vgsvc
