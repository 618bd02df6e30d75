// Handlers of the screening pipe, commands 1 to 12.
#include <cstring>

#include "VGClient/vgservicerecords.h"
#include "service/dispatch.h"
#include "service/log.h"
#include "service/service.h"

namespace vgsvc {
namespace {

// The location text until location data is resolved.
constexpr char kUnresolved[] = "unresolved";

ListKind ListOf(uint32_t dwCommand) {
    return dwCommand == VGCMD_ISWHITELISTED ? kWhiteList : dwCommand == VGCMD_ISBLACKLISTED ? kBlackList : kTrustedList;
}

void HandleListQuery(Service& service, const Request& req, MessageWriter& out) {
    const VGIPQUERY& q = req.As<VGIPQUERY>();
    VGQUERYREPLY reply = PresetReply<VGQUERYREPLY>();
    const std::string ip = FieldText(q.szIPAddress);
    uint32_t dwResult = 0;
    reply.hdr.hrStatus = service.IsListed(ListOf(req.dwCommand), ip.c_str(), q.dwService, &dwResult);
    reply.dwResult = dwResult;
    out.Write(&reply, sizeof(reply));
}

void PresetGeoData(VGGEODATA* p) {
    std::memset(p, 0, sizeof(*p));
    p->cbSize = VG_GEODATA_SIZE;
}

// Commands 4 and 5: nothing is blocked by location yet.
void HandleGeoBlock(Service& service, const Request& req, MessageWriter& out) {
    const VGIPQUERY& q = req.As<VGIPQUERY>();
    VGGEOBLOCKREPLYEX reply = PresetReply<VGGEOBLOCKREPLYEX>(req.cbReply);
    std::memcpy(reply.base.szLocation, kUnresolved, sizeof(kUnresolved));
    PresetGeoData(&reply.geoData);
    if (service.GetSettings().Current()->logs.allGeoBlockHits)
        Log::ServiceEvent(kInfo, msg::kLocationIgnored, q.dwService, FieldText(q.szIPAddress));
    out.Write(&reply, req.cbReply);
}

void HandleGeoData(Service&, const Request&, MessageWriter& out) {
    VGGEODATAREPLY reply = PresetReply<VGGEODATAREPLY>();
    PresetGeoData(&reply.geoData);
    out.Write(&reply, sizeof(reply));
}

void HandleAdmission(Service& service, const Request& req, MessageWriter& out) {
    const VGADMISSIONREQ& q = req.As<VGADMISSIONREQ>();
    const bool fAccount = req.dwCommand == VGCMD_ALLOWCONNECTION || req.dwCommand == VGCMD_ALLOWCONNECTIONEX;
    const std::string ip = FieldText(q.szIPAddress);
    const std::string account = fAccount ? FieldText(q.u.account.szAccount) : std::string();
    const Admission a = service.Admit(ip.c_str(), q.dwService, fAccount ? account.c_str() : nullptr);
    VGADMISSIONREPLY reply = PresetReply<VGADMISSIONREPLY>(req.cbReply);
    reply.dwVerdict = a.dwVerdict;
    reply.dwInfo1 = a.dwInfo1;
    PresetGeoData(&reply.geoData);
    out.Write(&reply, req.cbReply);
}

void HandleAuthFailure(Service& service, const Request& req, MessageWriter& out) {
    WriteStatus(out, service.ProcessAuthFailure(req.As<VGAUTHFAILURE>()));
}

void HandleAuthSuccess(Service& service, const Request& req, MessageWriter& out) {
    WriteStatus(out, service.ProcessAuthSuccess(req.As<VGAUTHSUCCESS>()));
}

}  // namespace

void RegisterScreeningHandlers(Dispatcher& d) {
    d.Register({
        {HandleListQuery, VGCMD_ISWHITELISTED, VGCMD_ISTRUSTED},
        {HandleGeoBlock, VGCMD_ISGEOBLOCKED, VGCMD_ISGEOBLOCKEDEX},
        {HandleAdmission, VGCMD_ALLOWIPCONNECTION, VGCMD_ALLOWCONNECTIONEX},
        {HandleAuthFailure, VGCMD_PROCESSAUTHFAILURE},
        {HandleAuthSuccess, VGCMD_PROCESSAUTHSUCCESS},
        {HandleGeoData, VGCMD_GETGEODATA},
    });
}

}  // namespace vgsvc
