// List commands 32 to 51: each list streamed whole (a list header, the
// records, then an empty message that ends the list), items added and
// removed, lists reset, frozen accounts thawed. The records are those of
// VGClient/vgservicerecords.h.
//
// An added item is a single address or a CIDR range with an optional expiry
// in the future and a comment; the service fills in its id, who added it and
// when. A range the list holds already is refused with kHrExists and the
// held item's id. A removal names the item by its id, or (an all-zero id, and
// always on the trusted-IP list) by its address; nothing to remove is
// kHrNotFound.
#include <cstring>
#include <vector>

#include "VGClient/vgrecords.h"
#include "VGClient/vgservicerecords.h"
#include "service/log.h"
#include "service/mgmt.h"
#include "service/service.h"
#include "sharedcode/hresult.h"

namespace vgsvc {
namespace {

// Records per message of a streamed list.
constexpr size_t kRecordsPerMessage = 256;

// The commands, log texts and switches of the four address lists.
struct AddressList {
    ListKind kind;
    uint32_t get, add, remove, reset;      // reset 0: the list has none
    uint32_t msgGet, msgAdd, msgRemoveByAddress, msgRemoveById, msgReset;  // 0: none
    bool Config::Logs::*txSwitch;
};

const AddressList kAddressLists[] = {
    {kWhiteList, VGCMD_GETWHITEITEMLIST, VGCMD_ADDWHITEITEM, VGCMD_REMOVEWHITEITEM, VGCMD_RESETWHITEITEMLIST,
     0x4009, 0x400C, 0x4010, 0x4012, 0x4023, &Config::Logs::txWhiteList},
    {kBlackList, VGCMD_GETBLACKITEMLIST, VGCMD_ADDBLACKITEM, VGCMD_REMOVEBLACKITEM, VGCMD_RESETBLACKITEMLIST,
     0x400A, 0x400D, 0x4011, 0x4013, 0x4022, &Config::Logs::txBlackList},
    {kTrustedList, VGCMD_GETTRUSTEDIPITEMLIST, VGCMD_ADDTRUSTEDIPITEM, VGCMD_REMOVETRUSTEDIPITEM, 0,
     0, 0x4027, 0x4028, 0x4028, 0, &Config::Logs::txWhiteList},
    {kGatewayList, VGCMD_GETGATEWAYITEMLIST, VGCMD_ADDGATEWAYITEM, VGCMD_REMOVEGATEWAYITEM, 0,
     0, 0x4029, 0x402A, 0x402A, 0, &Config::Logs::txGatewayList},
};

const AddressList& ListOf(uint32_t dwCommand) {
    for (const AddressList& l : kAddressLists)
        if (dwCommand == l.get || dwCommand == l.add || dwCommand == l.remove || dwCommand == l.reset) return l;
    return kAddressLists[0];  // not reached: only these commands are registered
}

constexpr uint32_t kMsgGetFrozen = 0x4008;
constexpr uint32_t kMsgResetFailures = 0x4021;
constexpr uint32_t kMsgResetFrozen = 0x4024;
constexpr uint32_t kMsgThaw = 0x4025;

void LogChange(Service& service, const AddressList& l, uint32_t code, const std::string& insert) {
    if (code && service.GetSettings().Current()->logs.*l.txSwitch) Log::Event(kInfo, code, insert);
}

bool IsZero(const VGITEMID& id) {
    static const VGITEMID kZero{};
    return std::memcmp(&id, &kZero, sizeof(id)) == 0;
}

// The record kinds of the address lists, and what sets them apart.
void SetId(VGLISTITEMREC& r, const VGITEMID& id) { r.idItem = id; }
void SetId(VGGATEWAYREC& r, const VGITEMID& id) { r.idItem = id; }
void SetId(VGTRUSTEDREC&, const VGITEMID&) {}
VGITEMID IdOf(const VGLISTITEMREC& r) { return r.idItem; }
VGITEMID IdOf(const VGGATEWAYREC& r) { return r.idItem; }
VGITEMID IdOf(const VGTRUSTEDREC&) { return VGITEMID{}; }

template <typename Rec>
Rec RecordOf(const ListItem& item, uint32_t hits) {
    Rec r{};
    VgCopyText(r.szAddress, item.address.c_str());
    r.qwExpires = static_cast<uint64_t>(item.expires);
    r.qwAdded = static_cast<uint64_t>(item.added);
    r.dwHits = hits;
    r.dwFlags = item.flags;
    VgCopyText(r.szAddedBy, item.addedBy.c_str());
    VgCopyText(r.szComment, item.comment.c_str());
    SetId(r, item.id);
    return r;
}

// The record a request carries behind its header.
template <typename Rec>
Rec RequestRecord(const Request& req) {
    Rec r;
    std::memcpy(&r, req.pb + sizeof(VGREQHDREX), sizeof(r));
    return r;
}

// A list header, the records in messages of kRecordsPerMessage, and the
// empty message that ends the list.
template <typename Rec>
void Stream(HRESULT hr, const std::vector<Rec>& records, MessageWriter& out) {
    VGLISTHDR hdr = PresetReply<VGLISTHDR>();
    hdr.hdr.hrStatus = hr;
    hdr.cItems = HrSucceeded(hr) ? static_cast<uint32_t>(records.size()) : 0;
    hdr.cbItem = sizeof(Rec);
    if (!out.Write(&hdr, sizeof(hdr)) || HrFailed(hr)) return;
    for (size_t i = 0; i < records.size(); i += kRecordsPerMessage) {
        const size_t n = records.size() - i < kRecordsPerMessage ? records.size() - i : kRecordsPerMessage;
        if (!out.Write(&records[i], n * sizeof(Rec))) return;
    }
    out.Write(nullptr, 0);
}

template <typename Rec>
void GetAddressList(Service& service, const AddressList& l, MessageWriter& out) {
    const ItemIdMap<uint32_t> hits = service.GetStore().Snapshot()->HitsById(l.kind);
    std::vector<Rec> records;
    const HRESULT hr = service.GetStore().EnumerateItems(l.kind, [&](const ListItem& item) {
        auto it = hits.find(item.id);
        records.push_back(RecordOf<Rec>(item, it == hits.end() ? 0 : it->second));
        return true;
    });
    if (l.msgGet) Log::Event(kInfo, l.msgGet);
    Stream(hr, records, out);
}

template <typename Rec>
void AddItem(Service& service, const AddressList& l, const Request& req, const std::string& admin, MessageWriter& out) {
    const Rec r = RequestRecord<Rec>(req);
    VGADDITEMREPLY reply = PresetReply<VGADDITEMREPLY>(req.cbReply);
    ListItem item;
    item.list = l.kind;
    item.expires = static_cast<int64_t>(r.qwExpires);
    item.added = service.Now();
    item.addedBy = admin;
    item.comment = FieldText(r.szComment);
    const std::string address = FieldText(r.szAddress);
    HRESULT hr = S_OK;
    if (!ParseRange(address.c_str(), &item.range) || item.expires < 0 || (item.expires && item.expires <= item.added))
        hr = kHrInvalidArg;
    else if (service.GetStore().FindItem(l.kind, item.range, &reply.idItem) == S_OK)
        hr = kHrExists;
    else if (HrSucceeded(hr = service.GetStore().AddItem(item)))
        reply.idItem = item.id;
    LogChange(service, l, l.msgAdd, HrSucceeded(hr) ? item.address : address + " refused");
    reply.hdr.hrStatus = hr;
    out.Write(&reply, req.cbReply < sizeof(reply) ? req.cbReply : sizeof(reply));
}

template <typename Rec>
void RemoveItem(Service& service, const AddressList& l, const Request& req, MessageWriter& out) {
    const Rec r = RequestRecord<Rec>(req);
    const VGITEMID id = IdOf(r);
    HRESULT hr;
    std::string what;
    if (!IsZero(id)) {
        hr = service.GetStore().RemoveItem(l.kind, id);
        what = FormatItemId(id);
    } else {
        AddrRange range;
        what = FieldText(r.szAddress);
        hr = ParseRange(what.c_str(), &range) ? service.GetStore().RemoveItemByAddress(l.kind, range) : kHrInvalidArg;
    }
    if (hr == S_FALSE) hr = kHrNotFound;
    LogChange(service, l, IsZero(id) ? l.msgRemoveByAddress : l.msgRemoveById, HrSucceeded(hr) ? what : what + " refused");
    WriteStatus(out, hr);
}

void HandleAddressList(Service& service, const Request& req, MessageWriter& out) {
    std::string admin;
    if (!CheckSession(service, req, out, &admin)) return;
    const AddressList& l = ListOf(req.dwCommand);
    if (req.dwCommand == l.reset) {
        const HRESULT hr = service.GetStore().ResetList(l.kind);
        LogChange(service, l, l.msgReset, "");
        WriteStatus(out, HrFailed(hr) ? hr : S_OK);
        return;
    }
    switch (l.kind) {
        case kWhiteList:
        case kBlackList:
            if (req.dwCommand == l.get) return GetAddressList<VGLISTITEMREC>(service, l, out);
            if (req.dwCommand == l.add) return AddItem<VGLISTITEMREC>(service, l, req, admin, out);
            return RemoveItem<VGLISTITEMREC>(service, l, req, out);
        case kTrustedList:
            if (req.dwCommand == l.get) return GetAddressList<VGTRUSTEDREC>(service, l, out);
            if (req.dwCommand == l.add) return AddItem<VGTRUSTEDREC>(service, l, req, admin, out);
            return RemoveItem<VGTRUSTEDREC>(service, l, req, out);
        case kGatewayList:
            if (req.dwCommand == l.get) return GetAddressList<VGGATEWAYREC>(service, l, out);
            if (req.dwCommand == l.add) return AddItem<VGGATEWAYREC>(service, l, req, admin, out);
            return RemoveItem<VGGATEWAYREC>(service, l, req, out);
    }
}

void HandleGetFrozen(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    const std::shared_ptr<const Config> c = service.GetSettings().Current();
    const int64_t thawAfter = c->autoThaw && c->freezeTimeout ? int64_t{c->freezeTimeout} * 60 : 0;
    std::vector<VGFROZENREC> records;
    const HRESULT hr = service.GetStore().EnumerateFrozen([&](const FrozenAccount& a) {
        VGFROZENREC r{};
        r.idAccount = a.id;
        r.qwFrozen = static_cast<uint64_t>(a.frozen);
        r.qwThawAt = thawAfter ? static_cast<uint64_t>(a.frozen + thawAfter) : 0;
        r.dwService = a.service;
        r.dwFailures = a.failures;
        VgCopyText(r.szIPAddress, a.address.c_str());
        VgCopyText(r.szAccount, a.account.c_str());
        records.push_back(r);
        return true;
    });
    Log::Event(kInfo, kMsgGetFrozen);
    Stream(hr, records, out);
}

void HandleGetFailures(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    std::vector<VGAUTHFAILREC> records;
    const HRESULT hr = service.GetStore().EnumerateFailures([&](const AuthFailure& f) {
        VGAUTHFAILREC r{};
        VgCopyText(r.szIPAddress, f.address.c_str());
        r.dwTime = static_cast<uint32_t>(f.time);
        r.dwService = f.service;
        VgCopyText(r.szAccount, f.account.c_str());
        VgCopyText(r.szAuthText, f.authText.c_str());
        VgCopyText(r.szAuthDetail, f.authDetail.c_str());
        records.push_back(r);
        return true;
    });
    Stream(hr, records, out);
}

// Commands 47 and 49.
void HandleReset(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    const bool fFrozen = req.dwCommand == VGCMD_RESETFROZENACCOUNTLIST;
    const HRESULT hr = fFrozen ? service.GetStore().ResetFrozen() : service.GetStore().ResetFailures();
    Log::Event(kInfo, fFrozen ? kMsgResetFrozen : kMsgResetFailures);
    WriteStatus(out, HrFailed(hr) ? hr : S_OK);
}

void HandleThaw(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    VGITEMID id;
    std::memcpy(&id, req.pb + sizeof(VGREQHDREX), sizeof(id));
    std::string account;
    HRESULT hr = service.GetStore().Thaw(id, &account);
    if (hr == S_FALSE) hr = kHrNotFound;
    if (hr == S_OK) service.GetCounters().thaws++;
    Log::Event(kInfo, kMsgThaw, hr == S_OK ? account : FormatItemId(id) + " not frozen");
    WriteStatus(out, hr);
}

}  // namespace

void RegisterListHandlers(Dispatcher& d) {
    for (const AddressList& l : kAddressLists)
        for (uint32_t c : {l.get, l.add, l.remove, l.reset})
            if (c) d.Register(c, HandleAddressList);
    d.Register({{HandleGetFrozen, VGCMD_GETFROZENACCOUNTLIST}, {HandleGetFailures, VGCMD_GETAUTHFAILITEMLIST},
                {HandleReset, VGCMD_RESETFROZENACCOUNTLIST, VGCMD_RESETAUTHFAILITEMLIST},
                {HandleThaw, VGCMD_THAWFROZENACCOUNT}});
}

}  // namespace vgsvc
