// Control, state and statistics, commands 17 to 19: the codes, the state
// word and the statistics record of VGClient/vgservicerecords.h.
#include <chrono>
#include <cstring>
#include <mutex>

#include "VGClient/vgrecords.h"
#include "VGClient/vgservicerecords.h"
#include "service/log.h"
#include "service/mgmt.h"
#include "service/service.h"
#include "sharedcode/hresult.h"
#include "sharedcode/ini/smartini.h"

namespace vgsvc {
namespace {

constexpr uint32_t kMsgControl = 0x4004;
constexpr uint32_t kMsgQuery = 0x4005;
constexpr char kServiceName[] = "vigilond 1.0";

std::string Hex(uint32_t v) {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", v);
    return sz;
}

HRESULT SetEnable(Service& service, bool fEnable) {
    Settings& settings = service.GetSettings();
    HRESULT hr;
    {
        std::lock_guard g(settings.Lock());
        hr = settings.Ini().HrSetString("System", "Enable", fEnable ? "1" : "0");
    }
    return HrFailed(hr) ? hr : S_OK;
}

void HandleControl(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    const uint32_t code = req.As<VGCONTROLREQ>().dwControl;
    HRESULT hr = S_OK;
    if ((code & ~VG_CONTROL_KNOWN) || (code & VG_CONTROL_ENABLE && code & VG_CONTROL_DISABLE)) hr = kHrInvalidArg;
    if (HrSucceeded(hr) && code & (VG_CONTROL_ENABLE | VG_CONTROL_DISABLE))
        hr = SetEnable(service, (code & VG_CONTROL_ENABLE) != 0);
    if (HrSucceeded(hr) && code & (VG_CONTROL_ENABLE | VG_CONTROL_DISABLE | VG_CONTROL_RELOAD))
        service.ReloadSettings(true);
    if (HrSucceeded(hr) && code & VG_CONTROL_MAINTAIN) service.Maintain();
    Log::Event(HrSucceeded(hr) ? kInfo : kWarning, kMsgControl, Hex(code) + (HrSucceeded(hr) ? "" : " refused"));
    WriteStatus(out, hr);
}

void HandleQuery(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    const std::shared_ptr<const Config> c = service.GetSettings().Current();
    VGQUERYSERVICEREPLY reply = PresetReply<VGQUERYSERVICEREPLY>();
    reply.dwState = VG_STATE_RUNNING | (c->enable ? VG_STATE_ENABLED : 0) |
                    (c->enableWhiteList ? VG_STATE_WHITELIST : 0) | (c->enableBlackList ? VG_STATE_BLACKLIST : 0) |
                    (c->enableAuthFailures ? VG_STATE_AUTHFAILURES : 0);
    Log::Event(kInfo, kMsgQuery, Hex(reply.dwState));
    out.Write(&reply, sizeof(reply));
}

uint64_t CounterValue(Service& service, uint32_t id) {
    const Counters& n = service.GetCounters();
    Sessions& sessions = service.GetSessions();
    Store& store = service.GetStore();
    switch (id) {
        case VG_STAT_ConnectionsAllowed: return n.connectionsAllowed;
        case VG_STAT_ConnectionsRefused: return n.connectionsRefused;
        case VG_STAT_WhiteListHits: return n.whiteHits;
        case VG_STAT_BlackListHits: return n.blackHits;
        case VG_STAT_TrustedHits: return n.trustedHits;
        case VG_STAT_AuthFailures: return n.authFailures;
        case VG_STAT_AuthSuccesses: return n.authSuccesses;
        case VG_STAT_Blocks: return n.blocks;
        case VG_STAT_Freezes: return n.freezes;
        case VG_STAT_Thaws: return n.thaws;
        case VG_STAT_Expired: return n.expired;
        case VG_STAT_Requests: return n.requests;
        case VG_STAT_BadRequests: return n.badRequests;
        case VG_STAT_UptimeSeconds:
            return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::steady_clock::now() - service.Started())
                                             .count());
        case VG_STAT_WhiteListEntries: return store.ItemCount(kWhiteList);
        case VG_STAT_BlackListEntries: return store.ItemCount(kBlackList);
        case VG_STAT_TrustedEntries: return store.ItemCount(kTrustedList);
        case VG_STAT_GatewayEntries: return store.ItemCount(kGatewayList);
        case VG_STAT_MgmtLogons: return sessions.logons;
        case VG_STAT_MgmtLogonFailures: return sessions.logonFailures;
        case VG_STAT_MgmtSessions: return sessions.Count();
        default: return 0;
    }
}

// The caller's record is not read: the answer is always a whole new one.
void HandleStatistics(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    VGSTATSREPLY reply = PresetReply<VGSTATSREPLY>();
    VGSTATSREC rec{};
    rec.cbSize = VG_STATISTICS_SIZE;
    rec.bLayout = VG_STATS_LAYOUT;
    VgCopyText(rec.szService, kServiceName);
    struct Row {
        uint32_t id;
        const char* szName;
    };
    static const Row kRows[] = {
#define VGS_STATS_ROW_(id, name) {id, #name},
        VG_STATS_TABLE(VGS_STATS_ROW_)
#undef VGS_STATS_ROW_
    };
    for (const Row& row : kRows) {
        VGSTATSCOUNTER& e = rec.rgCounters[rec.cCounters++];
        e.cbSize = sizeof(e);
        e.dwCounter = row.id;
        e.qwValue = CounterValue(service, row.id);
        VgCopyText(e.szName, row.szName);
    }
    std::memcpy(&reply.stats, &rec, sizeof(rec));
    out.Write(&reply, sizeof(reply));
}

}  // namespace

void RegisterControlHandlers(Dispatcher& d) {
    d.Register({{HandleControl, VGCMD_CONTROLSERVICE}, {HandleQuery, VGCMD_QUERYSERVICE},
                {HandleStatistics, VGCMD_QUERYSTATISTICS}});
}

}  // namespace vgsvc
