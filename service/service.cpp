#include "service/service.h"

#include "VGClient/vgservicerecords.h"
#include "service/log.h"
#include "sharedcode/hresult.h"

namespace vgsvc {
namespace {

std::string IpText(const char* szIPAddress) { return szIPAddress ? szIPAddress : ""; }

}  // namespace

Service::Service() : m_started(std::chrono::steady_clock::now()) {}
Service::~Service() { Close(); }

HRESULT Service::Open(const std::string& stateDir, const std::string& iniPath) {
    Log::Event(kInfo, msg::kLoadingConfiguration);
    HRESULT hr = m_settings.Open(iniPath);
    if (HrFailed(hr)) {
        Log::Text(kError, "cannot open the settings file " + iniPath);
        return hr;
    }
    Log::SetLevel(m_settings.Current()->logs.logLevel);
    Log::Event(kInfo, msg::kInitializingLists);
    hr = m_store.Open(stateDir);
    if (HrFailed(hr)) Log::Text(kError, "cannot open the database: " + m_store.LastError());
    return hr;
}

void Service::Close() { m_store.Close(); }

int64_t Service::Now() const {
    const int64_t stopped = m_stoppedAt.load();
    const int64_t now = stopped ? stopped
                                : std::chrono::duration_cast<std::chrono::seconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count();
    return now + m_clockOffset.load();
}

HRESULT Service::IsListed(ListKind list, const char* szIPAddress, uint32_t dwService, uint32_t* pdwResult) {
    *pdwResult = 0;
    Addr128 a;
    if (!ParseAddress(szIPAddress, &a)) {
        Log::ServiceEvent(kWarning, msg::kInvalidAddress, dwService, "");
        return E_INVALIDARG;
    }
    const std::shared_ptr<const Config> c = m_settings.Current();
    const Config::FrontEnd& fe = c->ForService(dwService);
    if (!c->enable) return S_OK;
    if (list == kWhiteList && !(c->enableWhiteList && fe.useWhiteList)) return S_OK;
    if (list == kBlackList && !(c->enableBlackList && fe.useBlackList)) return S_OK;
    if (!m_store.Snapshot()->Lookup(list, a, Now())) return S_OK;
    *pdwResult = 1;
    switch (list) {
        case kWhiteList:
            m_counters.whiteHits++;
            if (c->logs.allWhitelistHits) Log::ServiceEvent(kInfo, msg::kWhitelistFound, dwService, IpText(szIPAddress));
            break;
        case kBlackList:
            m_counters.blackHits++;
            if (c->logs.allBlacklistHits) Log::ServiceEvent(kInfo, msg::kBlacklistFound, dwService, IpText(szIPAddress));
            break;
        case kTrustedList:
            m_counters.trustedHits++;
            if (c->logs.allTrustedHits) Log::ServiceEvent(kInfo, msg::kTrustedFound, dwService, IpText(szIPAddress));
            break;
        default:
            break;
    }
    return S_OK;
}

Admission Service::Admit(const char* szIPAddress, uint32_t dwService, const char* szAccount) {
    Admission result;
    const std::shared_ptr<const Config> c = m_settings.Current();
    const std::string ip = IpText(szIPAddress);
    auto allow = [&](uint32_t dwInfo) {
        result = {1, dwInfo};
        m_counters.connectionsAllowed++;
        if (c->logs.connectionsAllowed) Log::ServiceEvent(kInfo, msg::kAccessAllowed, dwService, ip);
        return result;
    };
    auto refuse = [&](uint32_t dwInfo) {
        result = {0, dwInfo};
        m_counters.connectionsRefused++;
        if (c->logs.connectionsRefused) Log::ServiceEvent(kInfo, msg::kAccessRefused, dwService, ip);
        return result;
    };
    if (!c->enable) return allow(VG_ADMIT_DISABLED);
    Addr128 a;
    if (!ParseAddress(szIPAddress, &a)) {
        Log::ServiceEvent(kWarning, msg::kInvalidAddress, dwService, "");
        return allow(VG_ADMIT_BADADDRESS);
    }
    const Config::FrontEnd& fe = c->ForService(dwService);
    const std::shared_ptr<const IndexSnapshot> snap = m_store.Snapshot();
    const int64_t now = Now();

    if (snap->Lookup(kWhiteList, a, now)) {
        if (c->enableWhiteList && fe.useWhiteList) {
            m_counters.whiteHits++;
            if (c->logs.allWhitelistHits) Log::ServiceEvent(kInfo, msg::kWhitelistFound, dwService, ip);
            return allow(VG_ADMIT_WHITELIST);
        }
        if (c->logs.allWhitelistHits) Log::ServiceEvent(kInfo, msg::kWhitelistIgnored, dwService, ip);
    }
    if (snap->Lookup(kTrustedList, a, now)) {
        m_counters.trustedHits++;
        if (c->logs.allTrustedHits) Log::ServiceEvent(kInfo, msg::kTrustedFound, dwService, ip);
        return allow(VG_ADMIT_TRUSTED);
    }
    if (snap->Lookup(kBlackList, a, now)) {
        if (c->enableBlackList && fe.useBlackList) {
            m_counters.blackHits++;
            if (c->logs.allBlacklistHits) Log::ServiceEvent(kInfo, msg::kBlacklistFound, dwService, ip);
            return refuse(VG_ADMIT_BLACKLIST);
        }
        if (c->logs.allBlacklistHits) Log::ServiceEvent(kInfo, msg::kBlacklistIgnored, dwService, ip);
    }
    if (szAccount && *szAccount && c->enableAuthFailures && fe.useAuthFailures) {
        auto it = snap->frozen->find(FoldAccount(szAccount));
        const bool fThawed = c->autoThaw && c->freezeTimeout &&
                             it != snap->frozen->end() && now >= it->second + int64_t{c->freezeTimeout} * 60;
        if (it != snap->frozen->end() && !fThawed) return refuse(VG_ADMIT_FROZEN);
    }
    return allow(VG_ADMIT_DEFAULT);
}

AddrRange Service::CountedRange(const Config& c, const Addr128& a) {
    if (a.IsV4()) return Aggregate(a, c.ip4Aggregation ? c.ip4AggBits : 32);
    return Aggregate(a, c.ip6Aggregation ? c.ip6AggBits : 128);
}

int64_t Service::BlockExpiry(const Config& c, uint32_t offencesBefore, int64_t now) {
    if (c.neverExpire) return 0;
    int64_t minutes = c.expMinutes;
    if (offencesBefore > 0) {
        const uint32_t factor = c.repeatPenalty[offencesBefore >= 3 ? 2 : offencesBefore - 1];
        minutes *= factor ? factor : 1;
    }
    return now + minutes * 60;
}

HRESULT Service::ProcessAuthFailure(const VGAUTHFAILURE& req) {
    const std::shared_ptr<const Config> c = m_settings.Current();
    const uint32_t dwService = req.dwService;
    AuthFailure f;
    f.time = Now();
    f.address = FieldText(req.szIPAddress);
    f.account = FieldText(req.szAccount);
    f.service = dwService;
    f.authText = FieldText(req.szAuthText);
    f.authDetail = FieldText(req.szAuthDetail);
    f.authNote = FieldText(req.szAuthNote);

    Addr128 a;
    if (!ParseAddress(f.address.c_str(), &a)) {
        Log::ServiceEvent(kWarning, msg::kInvalidAddress, dwService, "");
        return E_INVALIDARG;
    }
    if (!c->enable || !c->enableAuthFailures || !c->ForService(dwService).useAuthFailures) return S_FALSE;
    m_counters.authFailures++;
    if (c->logs.authFail) Log::ServiceEvent(kInfo, msg::kAuthFailure, dwService, f.address);

    // White and trusted addresses cancel the processing; a gateway (a proxy
    // or webmail front end speaking for many clients) is never counted or
    // blocked itself, but its users' accounts still are.
    const std::shared_ptr<const IndexSnapshot> snap = m_store.Snapshot();
    if (c->enableWhiteList && snap->lists[kWhiteList]->index.Find(a, f.time) >= 0) {
        Log::ServiceEvent(kInfo, msg::kWhitelistExemption, dwService, f.address);
        return S_FALSE;
    }
    if (snap->lists[kTrustedList]->index.Find(a, f.time) >= 0) {
        Log::ServiceEvent(kInfo, msg::kTrustedExemption, dwService, f.address);
        return S_FALSE;
    }
    const bool fGateway = snap->lists[kGatewayList]->index.Find(a, f.time) >= 0;
    if (fGateway) Log::ServiceEvent(kInfo, msg::kGatewayExemption, dwService, f.address);

    const AddrRange range = CountedRange(*c, a);
    auto since = [&](uint32_t minutes) { return minutes ? f.time - int64_t{minutes} * 60 + 1 : INT64_MIN; };
    Store::FailureActions done;
    const Config& cfg = *c;
    Store::CountLimits limits;
    limits.addressSince = since(cfg.blockTimespan);
    limits.accountSince = since(cfg.freezeTimespan);
    limits.addressLimit = cfg.enableBlocking ? cfg.blockThreshold : 0;
    limits.accountLimit = cfg.freezeAccount ? cfg.freezeThreshold : 0;
    HRESULT hr = m_store.RecordFailure(
        f, fGateway ? nullptr : &range, limits,
        [&cfg, &f](const Store::FailureCounts& n) {
            Store::FailureActions act;
            act.block = cfg.enableBlocking && cfg.blockThreshold && n.addressFailures >= cfg.blockThreshold;
            if (act.block) act.blockExpires = BlockExpiry(cfg, n.offences, f.time);
            act.freeze = cfg.freezeAccount && cfg.freezeThreshold && n.accountFailures >= cfg.freezeThreshold;
            return act;
        },
        &done);
    if (HrFailed(hr)) {
        Log::Text(kError, "cannot record a failure: " + m_store.LastError());
        return hr;
    }
    if (done.block) {
        m_counters.blocks++;
        Log::ServiceEvent(kWarning, msg::kThresholdMet, dwService, f.address);
        Log::ServiceEvent(kWarning, msg::kBlacklistBlocking, dwService, FormatRange(range));
    }
    if (done.freeze) {
        m_counters.freezes++;
        Log::ServiceEvent(kWarning, msg::kAccountFrozen, dwService, f.account);
    }
    return S_OK;
}

HRESULT Service::ProcessAuthSuccess(const VGAUTHSUCCESS& req) {
    const std::shared_ptr<const Config> c = m_settings.Current();
    const std::string ip = FieldText(req.szIPAddress);
    Addr128 a;
    if (!ParseAddress(ip.c_str(), &a)) {
        Log::ServiceEvent(kWarning, msg::kInvalidAddress, req.dwService, "");
        return E_INVALIDARG;
    }
    m_counters.authSuccesses++;
    if (c->logs.authSuccess) Log::ServiceEvent(kInfo, msg::kAuthSuccess, req.dwService, ip);
    if (!c->enable || !c->enableAuthFailures) return S_FALSE;
    HRESULT hr = m_store.ClearAddressCount(CountedRange(*c, a), Now());
    if (HrFailed(hr)) Log::Text(kError, "cannot clear a failure count: " + m_store.LastError());
    return hr;
}

void Service::ReloadSettings(bool fForce) {
    if (!m_settings.Reload(fForce)) return;
    const std::shared_ptr<const Config> c = m_settings.Current();
    Log::SetLevel(c->logs.logLevel);
    if (c->logs.detectedChanges) Log::Event(kInfo, msg::kConfigurationChange);
}

void Service::Maintain() {
    const std::shared_ptr<const Config> c = m_settings.Current();
    const int64_t now = Now();
    const uint32_t keepMinutes = std::max(c->blockTimespan, c->freezeTimespan);
    // With a window of 0 (all history counts) nothing is dropped.
    const int64_t failuresBefore = c->blockTimespan && c->freezeTimespan ? now - int64_t{keepMinutes} * 60 : INT64_MIN;
    const int64_t thawBefore = c->autoThaw && c->freezeTimeout ? now - int64_t{c->freezeTimeout} * 60 : 0;
    HRESULT hr = m_store.Expire(now, failuresBefore, thawBefore, [this](const ListItem* pItem, const FrozenAccount* pAccount) {
        if (pItem) {
            m_counters.expired++;
            const uint32_t code = pItem->list == kBlackList ? msg::kExpiringBlacklisted
                                  : pItem->list == kWhiteList ? msg::kExpiringWhitelisted
                                                              : msg::kExpiringListed;
            Log::Event(kInfo, code, pItem->address);
        }
        if (pAccount) {
            m_counters.thaws++;
            Log::Event(kInfo, msg::kAutoThaw, pAccount->account);
        }
    });
    if (HrFailed(hr)) Log::Text(kError, "maintenance failed: " + m_store.LastError());
}

void Service::LogStartup() {
    const std::shared_ptr<const Config> c = m_settings.Current();
    // The first entries of each list; a list of a million would drown the log.
    constexpr size_t kReported = 50;
    auto report = [this](ListKind list, uint32_t code) {
        size_t c = 0;
        m_store.EnumerateItems(list, [code, &c](const ListItem& item) {
            Log::Event(kInfo, code, item.address);
            return ++c < kReported;
        });
        const size_t cAll = m_store.ItemCount(list);
        if (cAll > c) Log::Event(kInfo, code, "... " + std::to_string(cAll - c) + " more");
    };
    if (c->logs.whiteListAtStartup) {
        Log::Event(kInfo, msg::kExemptHeading);
        report(kWhiteList, msg::kStartupWhitelist);
        report(kTrustedList, msg::kStartupTrusted);
    }
    if (c->logs.blackListAtStartup) {
        Log::Event(kInfo, msg::kBlockedHeading);
        report(kBlackList, msg::kStartupBlacklist);
    }
    if (c->logs.authFailAtStartup) {
        size_t c = 0;
        m_store.EnumerateFailures([&c](const AuthFailure& f) {
            Log::Event(kInfo, msg::kStartupAuthFailure, f.address);
            return ++c < kReported;
        });
    }
}

}  // namespace vgsvc
