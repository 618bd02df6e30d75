#include "service/settings.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include "sharedcode/ini/smartini.h"

namespace vgsvc {
namespace {

// The twelve front-end sections, by service code.
const char* const kFrontEndSections[kServiceCodes] = {nullptr, "IMAP", "POP", "SMTP", "BM",  "AS",  "RA",  "API",
                                                      "PNDP",  "DAV",  "AD",  "XMPP", "MNGR", "IMAP", "POP", "SMTP"};

struct Row {
    const char* szDefault;
    const char* szMeaning;
};

const Row* FindRow(const char* szSection, const char* szKey) {
    static const struct {
        const char* szSection;
        const char* szKey;
        Row row;
    } kGeneral[] = {
#define VGS_DEFAULT(section, key, value, meaning) {section, key, {value, meaning}},
#define VGS_SERVICE_DEFAULT(key, value, meaning)
#include "service/defaults.inc"
#undef VGS_DEFAULT
#undef VGS_SERVICE_DEFAULT
    };
    static const struct {
        const char* szKey;
        Row row;
    } kFrontEnd[] = {
#define VGS_DEFAULT(section, key, value, meaning)
#define VGS_SERVICE_DEFAULT(key, value, meaning) {key, {value, meaning}},
#include "service/defaults.inc"
#undef VGS_DEFAULT
#undef VGS_SERVICE_DEFAULT
    };
    for (const auto& g : kGeneral)
        if (std::strcmp(g.szSection, szSection) == 0 && std::strcmp(g.szKey, szKey) == 0) return &g.row;
    bool fFrontEnd = false;
    for (const char* s : kFrontEndSections) fFrontEnd |= s && std::strcmp(s, szSection) == 0;
    if (fFrontEnd)
        for (const auto& f : kFrontEnd)
            if (std::strcmp(f.szKey, szKey) == 0) return &f.row;
    return nullptr;
}

bool ParseBool(const std::string& s, bool fDefault) {
    switch (s.empty() ? 0 : s[0]) {
        case '1': case 't': case 'T': case 'y': case 'Y': return true;
        case '0': case 'f': case 'F': case 'n': case 'N': return false;
        default: return fDefault;
    }
}

uint32_t ParseNumber(const std::string& s, uint32_t dflt) {
    if (s.empty()) return dflt;
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    uint64_t v = 0;
    for (size_t i = hex ? 2 : 0; i < s.size(); ++i) {
        const char c = s[i];
        int d = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return dflt;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFu) return dflt;
    }
    return static_cast<uint32_t>(v);
}

}  // namespace

const Config::FrontEnd& Config::ForService(uint32_t dwService) const {
    static const FrontEnd kAll;
    return dwService < kServiceCodes ? frontEnds[dwService] : kAll;
}

const std::vector<SettingDefault>& SettingDefaults() {
    static const std::vector<SettingDefault> rows = [] {
        std::vector<SettingDefault> v;
        auto add = [&v](const char* szSection, const char* szKey, const char* szType) {
            const Row* r = FindRow(szSection, szKey);
            v.push_back({szSection, szKey, szType, r ? r->szDefault : nullptr, r ? r->szMeaning : nullptr});
        };
#define VG_SETTING(section, key, type, getter, setter) add(section, key, #type);
#define VG_SETTING_GETONLY(section, key, type, getter) add(section, key, #type);
#include "VGClient/vgsettings.inc"
#undef VG_SETTING
#undef VG_SETTING_GETONLY
        return v;
    }();
    return rows;
}

const SettingDefault* FindSettingDefault(const char* szSection, const char* szKey) {
    for (const SettingDefault& d : SettingDefaults())
        if (CSmartIni::CompareNames(d.szSection, szSection) == 0 && CSmartIni::CompareNames(d.szKey, szKey) == 0)
            return &d;
    return nullptr;
}

std::string DefaultIniText() {
    std::string text;
    const char* szSection = nullptr;
    for (const SettingDefault& d : SettingDefaults()) {
        if (!szSection || std::strcmp(szSection, d.szSection) != 0) {
            if (szSection) text += "\r\n";
            szSection = d.szSection;
            text += std::string("[") + szSection + "]\r\n";
        }
        text += std::string(d.szKey) + "=" + (d.szDefault ? d.szDefault : "") + "\r\n";
    }
    return text;
}

Settings::Settings() = default;
Settings::~Settings() = default;

HRESULT Settings::Open(const std::string& path) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    m_path = path;
    if (!std::ifstream(path).good()) {
        // First start: every setting at its default, written whole or not at all.
        std::error_code ec;
        const std::filesystem::path dir = std::filesystem::path(path).parent_path();
        if (!dir.empty()) std::filesystem::create_directories(dir, ec);
        const std::string tmp = path + ".new";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f << DefaultIniText();
            if (!f.flush()) return HrFromWin32(ERROR_ACCESS_DENIED);
        }
        if (std::rename(tmp.c_str(), path.c_str()) != 0) return HrFromWin32(ERROR_ACCESS_DENIED);
    }
    m_ini.reset(new CSmartIni());
    HRESULT hr = m_ini->HrOpen(path.c_str(), false, false);
    if (HrFailed(hr)) return hr;
    std::atomic_store(&m_config, Read());
    return S_OK;
}

std::shared_ptr<const Config> Settings::Current() const { return std::atomic_load(&m_config); }

bool Settings::Reload(bool fForce) {
    std::lock_guard<std::recursive_mutex> g(m_lock);
    if (!m_ini) return false;
    bool fReloaded = false;
    m_ini->HrRefreshIfChanged(&fReloaded);
    if (!fReloaded && !fForce) return false;
    std::atomic_store(&m_config, Read());
    return true;
}

std::shared_ptr<const Config> Settings::Read() {
    auto c = std::make_shared<Config>();
    auto text = [this](const char* szSection, const char* szKey) {
        char sz[520] = {};
        const SettingDefault* d = FindSettingDefault(szSection, szKey);
        m_ini->HrGetString(szSection, szKey, d && d->szDefault ? d->szDefault : "", sz, sizeof(sz));
        return std::string(sz);
    };
    auto flag = [&](const char* szSection, const char* szKey, bool fDefault) {
        return ParseBool(text(szSection, szKey), fDefault);
    };
    auto number = [&](const char* szSection, const char* szKey, uint32_t dflt) {
        return ParseNumber(text(szSection, szKey), dflt);
    };
    c->enable = flag("System", "Enable", c->enable);
    c->enableBlackList = flag("System", "EnableBlackList", c->enableBlackList);
    c->enableWhiteList = flag("System", "EnableWhiteList", c->enableWhiteList);
    c->enableAuthFailures = flag("System", "EnableAuthFailures", c->enableAuthFailures);
    c->ioIntervalSeconds = number("System", "IOInterval", c->ioIntervalSeconds);
    for (uint32_t s = 0; s < kServiceCodes; ++s) {
        const char* szSection = kFrontEndSections[s];
        if (!szSection) continue;
        Config::FrontEnd& f = c->frontEnds[s];
        f.useBlackList = flag(szSection, "UseBlackList", f.useBlackList);
        f.useWhiteList = flag(szSection, "UseWhiteList", f.useWhiteList);
        f.useAuthFailures = flag(szSection, "UseAuthFailures", f.useAuthFailures);
        f.useGeoBlock = flag(szSection, "UseGeoBlock", f.useGeoBlock);
    }
    c->blockThreshold = number("AuthFail", "BlockThreshold", c->blockThreshold);
    c->freezeThreshold = number("AuthFail", "FreezeThreshold", c->freezeThreshold);
    c->freezeTimespan = number("AuthFail", "FreezeTimespan", c->freezeTimespan);
    c->blockTimespan = number("AuthFail", "BlockTimespan", c->blockTimespan);
    c->freezeTimeout = number("AuthFail", "FreezeTimeout", c->freezeTimeout);
    c->freezeAccount = flag("AuthFail", "FreezeAccount", c->freezeAccount);
    c->enableBlocking = flag("AuthFail", "EnableBlocking", c->enableBlocking);
    c->ip4Aggregation = flag("AuthFail", "IP4EnableAggregation", c->ip4Aggregation);
    c->ip6Aggregation = flag("AuthFail", "IP6EnableAggregation", c->ip6Aggregation);
    c->autoThaw = flag("AuthFail", "AutoThaw", c->autoThaw);
    c->ip4AggBits = number("AuthFail", "IPV4AggBits", c->ip4AggBits);
    c->ip6AggBits = number("AuthFail", "IPV6AggBits", c->ip6AggBits);
    c->neverExpire = flag("BlackList", "NeverExpire", c->neverExpire);
    c->expMinutes = number("BlackList", "ExpMinutes", c->expMinutes);
    c->repeatPenalty[0] = number("BlackList", "RepeatOffense02Penalty", c->repeatPenalty[0]);
    c->repeatPenalty[1] = number("BlackList", "RepeatOffense03Penalty", c->repeatPenalty[1]);
    c->repeatPenalty[2] = number("BlackList", "RepeatOffense04Penalty", c->repeatPenalty[2]);
    Config::Logs& l = c->logs;
    l.whiteListAtStartup = flag("Logs", "WhiteListAtStartup", l.whiteListAtStartup);
    l.blackListAtStartup = flag("Logs", "BlackListAtStartup", l.blackListAtStartup);
    l.authFailAtStartup = flag("Logs", "AuthFailAtStartup", l.authFailAtStartup);
    l.detectedChanges = flag("Logs", "DetectedChanges", l.detectedChanges);
    l.authSuccess = flag("Logs", "AuthSuccess", l.authSuccess);
    l.authFail = flag("Logs", "AuthFail", l.authFail);
    l.connectionsAllowed = flag("Logs", "ConnectionsAllowed", l.connectionsAllowed);
    l.connectionsRefused = flag("Logs", "ConnectionsRefused", l.connectionsRefused);
    l.allBlacklistHits = flag("Logs", "AllBlacklistHits", l.allBlacklistHits);
    l.allGeoBlockHits = flag("Logs", "AllGeoBlockHits", l.allGeoBlockHits);
    l.allWhitelistHits = flag("Logs", "AllWhitelistHits", l.allWhitelistHits);
    l.allTrustedHits = flag("Logs", "AllTrustedIPlistHits", l.allTrustedHits);
    l.logLevel = number("Logs", "LogLevel", l.logLevel);
    l.txBlackList = flag("TxLog", "BlackList", l.txBlackList);
    l.txWhiteList = flag("TxLog", "WhiteList", l.txWhiteList);
    l.txGatewayList = flag("TxLog", "GatewayList", l.txGatewayList);
    l.txAccessDenied = flag("TxLog", "AccessDenied", l.txAccessDenied);
    return c;
}

}  // namespace vgsvc
