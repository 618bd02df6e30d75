// vgctl: calls the screening service through the library's exports and prints
// what comes back.
//
// Every subcommand is one row of kCommands: its name (one or more words), its
// arguments, a line of help, the options it accepts and the handler that makes
// the call. A handler returns the call's HRESULT; main prints it as the last
// line and turns it into the exit status: 0 success, 1 failure, 2 usage error.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgservicerecords.h"

namespace {

// A fault in the command line; main reports it with the command's usage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Stored by the location calls when the text had to be cut: the rest of the
// answer is still valid.
constexpr uint32_t kTextCut = 0x8007007Au;

bool Failed(VGHRESULT hr) { return hr < 0; }

// ---------------------------------------------------------------------------
// Parsed command line

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // a flag maps to ""

    bool Has(const char* name) const { return options.count(name) != 0; }
    const char* Text(const char* name) const {
        auto it = options.find(name);
        return it == options.end() ? nullptr : it->second.c_str();
    }
    const char* RequiredText(const char* name) const {
        const char* s = Text(name);
        if (!s) throw UsageError(std::string("missing --") + name);
        return s;
    }
};

// Decimal or 0x-prefixed hexadecimal, 32 bits, nothing else.
VGDWORD ParseNumber(const std::string& s, const char* what) {
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (s.size() == start) throw UsageError(std::string("bad number for ") + what + ": '" + s + "'");
    uint64_t v = 0;
    for (size_t i = start; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (hex && std::isxdigit(c))
            digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else
            throw UsageError(std::string("bad number for ") + what + ": '" + s + "'");
        v = v * (hex ? 16 : 10) + digit;
        if (v > 0xFFFFFFFFu) throw UsageError(std::string("number too large for ") + what + ": '" + s + "'");
    }
    return static_cast<VGDWORD>(v);
}

VGDWORD NumberOption(const Args& args, const char* name, VGDWORD dflt) {
    const char* s = args.Text(name);
    return s ? ParseNumber(s, (std::string("--") + name).c_str()) : dflt;
}

// ---------------------------------------------------------------------------
// Service codes: a tag of the service table (case-insensitive) or a number

struct ServiceName {
    VGDWORD code;
    const char* tag;
};

#define VGCTL_SERVICE_ROW_(code, name, tag, section) {code, tag},
const ServiceName kServices[] = {VG_SERVICE_TABLE(VGCTL_SERVICE_ROW_)};
#undef VGCTL_SERVICE_ROW_

// The command-line spelling of a tag: lower case, without the parentheses
// that "(unspecified)" carries in message texts.
std::string ServiceWord(const char* tag) {
    std::string word;
    for (const char* p = tag; *p; ++p)
        if (*p != '(' && *p != ')') word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return word;
}

std::string ServiceWords() {
    std::string list;
    for (const ServiceName& s : kServices) list += (list.empty() ? "" : ", ") + ServiceWord(s.tag);
    return list;
}

VGDWORD ServiceOption(const Args& args) {
    const char* s = args.RequiredText("service");
    if (std::isdigit(static_cast<unsigned char>(s[0]))) return ParseNumber(s, "--service");
    std::string word;
    for (const char* p = s; *p; ++p) word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    for (const ServiceName& svc : kServices)
        if (ServiceWord(svc.tag) == word) return svc.code;
    throw UsageError(std::string("unknown service '") + s + "' (one of " + ServiceWords() + ", or a number)");
}

// ---------------------------------------------------------------------------
// Output

std::string Hex(const uint8_t* p, size_t cb) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < cb; ++i) {
        if (i) s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Offset, 16 bytes in hex, and their printable characters.
void HexDump(const void* pv, size_t cb) {
    const uint8_t* p = static_cast<const uint8_t*>(pv);
    for (size_t off = 0; off < cb; off += 16) {
        const size_t n = cb - off < 16 ? cb - off : 16;
        std::string text;
        for (size_t i = 0; i < n; ++i) text += std::isprint(p[off + i]) ? static_cast<char>(p[off + i]) : '.';
        std::printf("%04x  %-47s  |%s|\n", static_cast<unsigned>(off), Hex(p + off, n).c_str(), text.c_str());
    }
}

VGGEODATA EmptyGeoData() {
    VGGEODATA geo;
    std::memset(&geo, 0, sizeof(geo));
    geo.cbSize = VG_GEODATA_SIZE;
    return geo;
}

// ---------------------------------------------------------------------------
// Handlers

VGHRESULT ListQuery(VGHRESULT(VGAPI* query)(VGDWORD*, const char*, VGDWORD), const char* label, const Args& args) {
    VGDWORD result = 0;
    const VGHRESULT hr = query(&result, args.positional[0].c_str(), 0);
    if (!Failed(hr)) std::printf("%s=%lu\n", label, static_cast<unsigned long>(result));
    return hr;
}

VGHRESULT RunIsWhite(const Args& args) { return ListQuery(HrVGIsWhiteListed, "whitelisted", args); }
VGHRESULT RunIsBlack(const Args& args) { return ListQuery(HrVGIsBlackListed, "blacklisted", args); }
VGHRESULT RunIsTrusted(const Args& args) { return ListQuery(HrVGIsTrusted, "trusted", args); }

VGHRESULT RunGeoBlocked(const Args& args) {
    const char* ip = args.positional[0].c_str();
    const VGDWORD service = ServiceOption(args);
    const bool ex = args.Has("ex");
    if (!ex && args.Has("param")) throw UsageError("--param needs --ex");
    const VGDWORD param = NumberOption(args, "param", 0);

    VGDWORD blocked = 0;
    char location[128] = "";
    VGGEODATA geo = EmptyGeoData();
    const VGHRESULT hr = ex ? HrVGIsGeoBlockedEx(&blocked, ip, service, param, location, sizeof(location), &geo)
                            : HrVGIsGeoBlocked(&blocked, ip, service, location, sizeof(location), 0);
    if (!Failed(hr) || static_cast<uint32_t>(hr) == kTextCut) {
        std::printf("blocked=%lu\nlocation=%s\n", static_cast<unsigned long>(blocked), location);
        if (ex) std::printf("geodata=%s ...\n", Hex(reinterpret_cast<const uint8_t*>(&geo), 32).c_str());
    }
    return hr;
}

VGHRESULT RunGeoData(const Args& args) {
    const VGDWORD param = NumberOption(args, "param", 0);
    VGGEODATA geo = EmptyGeoData();
    VGHRESULT hr;
    if (args.Has("id")) {
        if (args.positional.size() != 3) throw UsageError("--id needs three numbers");
        hr = HrVGGetGeoDataByID(ParseNumber(args.positional[0], "ID1"), ParseNumber(args.positional[1], "ID2"),
                                ParseNumber(args.positional[2], "ID3"), param, &geo);
    } else {
        if (args.positional.size() != 1) throw UsageError("expected one IP address, or --id and three numbers");
        hr = HrVGGetGeoDataByIP(args.positional[0].c_str(), param, &geo);
    }
    if (!Failed(hr)) HexDump(&geo, sizeof(geo));
    return hr;
}

VGHRESULT RunAllow(const Args& args) {
    const char* ip = args.positional[0].c_str();
    const VGDWORD service = ServiceOption(args);
    const char* account = args.Text("account");
    const bool ex = args.Has("ex");
    if (!ex && (args.Has("param1") || args.Has("param2"))) throw UsageError("--param1 and --param2 need --ex");
    const VGDWORD param1 = NumberOption(args, "param1", 0);
    const VGDWORD param2 = NumberOption(args, "param2", 0);

    VGDWORD verdict = 0, info1 = 0, info2 = 0;
    VGGEODATA geo = EmptyGeoData();
    VGHRESULT hr;
    if (ex)
        hr = account ? HrVGAllowConnectionEx(&verdict, ip, service, account, &info1, &geo, param1, &info2, param2)
                     : HrVGAllowIPConnectionEx(&verdict, ip, service, &info1, &geo, param1, &info2, param2);
    else
        hr = account ? HrVGAllowConnection(&verdict, ip, service, account, &info1, 0)
                     : HrVGAllowIPConnection(&verdict, ip, service, &info1, 0);
    if (!Failed(hr)) {
        std::printf("verdict=%s (%lu)\ninfo1=%lu\n", verdict ? "allow" : "refuse", static_cast<unsigned long>(verdict),
                    static_cast<unsigned long>(info1));
        if (ex) std::printf("info2=%lu\n", static_cast<unsigned long>(info2));
    }
    return hr;
}

VGHRESULT RunAuthFail(const Args& args) {
    return HrVGProcessAuthFailure(args.positional[0].c_str(), args.positional[1].c_str(), ServiceOption(args),
                                  args.RequiredText("text"), args.Text("detail"), args.Text("note"), 0);
}

VGHRESULT RunAuthOk(const Args& args) {
    return HrVGProcessAuthSuccess(args.positional[0].c_str(), args.positional[1].c_str(), ServiceOption(args), 0);
}

// The text of a message identifier or HRESULT, given in hex or decimal; a
// negative decimal is taken as the signed form of an HRESULT.
VGHRESULT RunFormat(const Args& args) {
    const std::string& s = args.positional[0];
    const VGDWORD code = s.size() > 1 && s[0] == '-' ? 0u - ParseNumber(s.substr(1), "CODE") : ParseNumber(s, "CODE");
    char text[4096];
    const VGHRESULT hr = HrVGFormatMessage(code, text, sizeof(text));
    if (!Failed(hr)) std::printf("%s\n", text);
    return hr;
}

// ---------------------------------------------------------------------------
// Management: session ids, typed values, named settings

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, upper-case as Windows writes GUIDs.
std::string GuidText(const VGSESSIONID& id) {
    char sz[40];
    std::snprintf(sz, sizeof(sz), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return sz;
}

// The same form, braces optional, hex digits in either case.
VGSESSIONID ParseGuid(const std::string& text) {
    std::string s = text;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
    uint8_t b[16];
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (s[i] != '-') break;
            continue;
        }
        const unsigned char hi = static_cast<unsigned char>(s[i]);
        const unsigned char lo = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
        if (n == 16 || !std::isxdigit(hi) || !std::isxdigit(lo)) break;
        auto nibble = [](unsigned char c) { return std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10; };
        b[n++] = static_cast<uint8_t>(nibble(hi) << 4 | nibble(lo));
        ++i;
    }
    if (s.size() != 36 || n != 16 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        throw UsageError("bad session id '" + text + "' (expected {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx})");
    VGSESSIONID id;
    id.Data1 = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | b[2] << 8 | b[3];
    id.Data2 = static_cast<uint16_t>(b[4] << 8 | b[5]);
    id.Data3 = static_cast<uint16_t>(b[6] << 8 | b[7]);
    std::memcpy(id.Data4, b + 8, 8);
    return id;
}

// --session, else VGCTL_SESSION.
VGSESSIONID SessionOption(const Args& args) {
    const char* text = args.Text("session");
    if (!text) text = std::getenv("VGCTL_SESSION");
    if (!text || !*text) throw UsageError("missing --session (or VGCTL_SESSION)");
    return ParseGuid(text);
}

// ---------------------------------------------------------------------------
// Lists. The records are laid out as vgservicerecords.h says; the tool shows
// them as columns and builds new ones from the command line.

VGITEMID ItemId(const std::string& text) {
    const VGSESSIONID g = ParseGuid(text);
    VGITEMID id;
    std::memcpy(&id, &g, sizeof(id));
    return id;
}

std::string ItemIdText(const VGITEMID& id) {
    VGSESSIONID g;
    std::memcpy(&g, &id, sizeof(g));
    return GuidText(g);
}

// A record's text field, up to its NUL or its end.
template <size_t N>
std::string Field(const char (&field)[N]) {
    return std::string(field, std::find(field, field + N, '\0'));
}

// Seconds since 1970 as UTC, or `zero` for 0.
std::string TimeText(uint64_t t, const char* zero) {
    if (t == 0) return zero;
    const std::time_t tt = static_cast<std::time_t>(t);
    const std::tm* tm = std::gmtime(&tt);  // one thread: its buffer is ours
    char sz[32];
    if (!tm || !std::strftime(sz, sizeof(sz), "%Y-%m-%d %H:%M:%SZ", tm)) return std::to_string(t);
    return sz;
}

std::string ServiceText(VGDWORD code) {
    for (const ServiceName& s : kServices)
        if (s.code == code) return ServiceWord(s.tag);
    return std::to_string(code);
}

// Rows under a heading, each column as wide as its widest cell; the last
// column is not padded.
void PrintTable(const std::vector<std::string>& heading, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width(heading.size());
    for (size_t c = 0; c < heading.size(); ++c) width[c] = heading[c].size();
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size() && c < width.size(); ++c) width[c] = std::max(width[c], row[c].size());
    auto print = [&](const std::vector<std::string>& row) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    };
    print(heading);
    for (const auto& row : rows) print(row);
}


// One row per record kind, under its heading.
const std::vector<std::string> kAddressHeading = {"ID", "ADDRESS", "EXPIRES", "HITS", "BY", "ADDED", "COMMENT"};
std::vector<std::string> Row(const VGLISTITEMREC& r) {
    return {ItemIdText(r.idItem), Field(r.szAddress), TimeText(r.qwExpires, "never"), std::to_string(r.dwHits),
            r.dwFlags & VG_ITEM_AUTOMATIC ? "(auto)" : Field(r.szAddedBy), TimeText(r.qwAdded, "-"), Field(r.szComment)};
}
std::vector<std::string> Row(const VGGATEWAYREC& r) {
    return {ItemIdText(r.idItem), Field(r.szAddress), TimeText(r.qwExpires, "never"), std::to_string(r.dwHits),
            Field(r.szAddedBy), TimeText(r.qwAdded, "-"), Field(r.szComment)};
}
std::vector<std::string> Row(const VGTRUSTEDREC& r) {
    return {"-", Field(r.szAddress), TimeText(r.qwExpires, "never"), std::to_string(r.dwHits), Field(r.szAddedBy),
            TimeText(r.qwAdded, "-"), Field(r.szComment)};
}
const std::vector<std::string> kFrozenHeading = {"ID", "ACCOUNT", "FROZEN", "THAWS", "FAILURES", "SERVICE", "ADDRESS"};
std::vector<std::string> Row(const VGFROZENREC& r) {
    return {ItemIdText(r.idAccount), Field(r.szAccount), TimeText(r.qwFrozen, "-"), TimeText(r.qwThawAt, "by hand"),
            std::to_string(r.dwFailures), ServiceText(r.dwService), Field(r.szIPAddress)};
}
const std::vector<std::string> kAuthFailHeading = {"TIME", "ADDRESS", "ACCOUNT", "SERVICE", "AUTH"};
std::vector<std::string> Row(const VGAUTHFAILREC& r) {
    return {TimeText(r.dwTime, "-"), Field(r.szIPAddress), Field(r.szAccount), ServiceText(r.dwService),
            Field(r.szAuthText)};
}

// Item: the library's opaque record; Rec: the service's view of it.
template <typename Item, typename Rec>
VGHRESULT ListOf(const Args& args, VGHRESULT(VGAPI* get)(VGSESSIONID, Item**, VGDWORD*, VGDWORD),
                 VGHRESULT(VGAPI* release)(void*), const std::vector<std::string>& heading) {
    static_assert(sizeof(Item) == sizeof(Rec), "a view of the whole record");
    Item* items = nullptr;
    VGDWORD count = 0;
    const VGHRESULT hr = get(SessionOption(args), &items, &count, 0);
    std::printf("count=%lu\n", static_cast<unsigned long>(count));
    if (count) {
        std::vector<std::vector<std::string>> rows;
        for (VGDWORD i = 0; i < count; ++i) {
            Rec r;
            std::memcpy(&r, &items[i], sizeof(r));
            rows.push_back(Row(r));
        }
        PrintTable(heading, rows);
        if (args.Has("raw"))
            for (VGDWORD i = 0; i < count; ++i) HexDump(&items[i], sizeof(Item));
    }
    if (items) release(items);
    return hr;
}

// The free exports of the white and black lists take a second, ignored word.
VGHRESULT VGAPI FreeWhite(void* p) { return HrVGFreeWhiteItemList(p, 0); }
VGHRESULT VGAPI FreeBlack(void* p) { return HrVGFreeBlackItemList(p, 0); }

VGHRESULT RunList(const Args& args) {
    const std::string& which = args.positional[0];
    if (which == "white")
        return ListOf<VGWHITEITEM, VGLISTITEMREC>(args, HrVGGetWhiteItemList, FreeWhite, kAddressHeading);
    if (which == "black")
        return ListOf<VGBLACKITEM, VGLISTITEMREC>(args, HrVGGetBlackItemList, FreeBlack, kAddressHeading);
    if (which == "trusted")
        return ListOf<VGTRUSTEDIPITEM, VGTRUSTEDREC>(args, HrVGGetTrustedIPItemList, HrVGFreeTrustedIPItemList,
                                                     kAddressHeading);
    if (which == "gateway")
        return ListOf<VGGATEWAYITEM, VGGATEWAYREC>(args, HrVGGetGatewayItemList, HrVGFreeGatewayItemList,
                                                   kAddressHeading);
    if (which == "frozen")
        return ListOf<VGFROZENACCOUNT, VGFROZENREC>(args, HrVGGetFrozenAccountList, HrVGFreeFrozenAccountList,
                                                    kFrozenHeading);
    if (which == "authfail")
        return ListOf<VGAUTHFAILITEM, VGAUTHFAILREC>(args, HrVGGetAuthFailItemList, HrVGFreeAuthFailItemList,
                                                     kAuthFailHeading);
    throw UsageError("unknown list '" + which + "' (white, black, trusted, gateway, frozen or authfail)");
}

// A record of the service's view Rec for an address, with the options'
// comment and expiry (minutes from now), as the library's Item.
template <typename Item, typename Rec>
Item ItemFor(const Args& args, const std::string& address) {
    static_assert(sizeof(Item) == sizeof(Rec), "a view of the whole record");
    Rec r;
    std::memset(&r, 0, sizeof(r));
    const char* comment = args.Text("comment");
    if (address.size() >= sizeof(r.szAddress)) throw UsageError("address too long: '" + address + "'");
    if (comment && std::strlen(comment) >= sizeof(r.szComment))
        throw UsageError("comment longer than " + std::to_string(sizeof(r.szComment) - 1) + " characters");
    std::memcpy(r.szAddress, address.data(), address.size());
    if (comment) std::memcpy(r.szComment, comment, std::strlen(comment));
    if (args.Has("expires")) r.qwExpires = static_cast<uint64_t>(std::time(nullptr)) + 60ull * NumberOption(args, "expires", 0);
    Item item;
    std::memcpy(&item, &r, sizeof(item));
    return item;
}

template <typename Item, typename Rec>
VGHRESULT AddWithId(const Args& args, VGHRESULT(VGAPI* add)(VGSESSIONID, Item*, VGDWORD)) {
    Item item = ItemFor<Item, Rec>(args, args.positional[1]);
    const VGHRESULT hr = add(SessionOption(args), &item, 0);
    Rec r;
    std::memcpy(&r, &item, sizeof(r));
    // A range listed already is refused with the id of the item that holds it.
    if (!Failed(hr) || hr == static_cast<VGHRESULT>(0x800700B7u)) std::printf("id=%s\n", ItemIdText(r.idItem).c_str());
    return hr;
}

VGHRESULT RunAdd(const Args& args) {
    const std::string& which = args.positional[0];
    if (which == "white") return AddWithId<VGWHITEITEM, VGLISTITEMREC>(args, HrVGAddWhiteItem);
    if (which == "black") return AddWithId<VGBLACKITEM, VGLISTITEMREC>(args, HrVGAddBlackItem);
    if (which == "gateway") return AddWithId<VGGATEWAYITEM, VGGATEWAYREC>(args, HrVGAddGatewayItem);
    if (which == "trusted") {
        const VGTRUSTEDIPITEM item = ItemFor<VGTRUSTEDIPITEM, VGTRUSTEDREC>(args, args.positional[1]);
        return HrVGAddTrustedIPItem(SessionOption(args), &item, 0);
    }
    throw UsageError("items are added to the white, black, trusted or gateway list");
}

bool LooksLikeId(const std::string& s) { return (s.size() == 36 || s.size() == 38) && s.find('-') != std::string::npos; }

// A record naming the item to remove: by its identifier, or (zero id) by
// its address.
template <typename Item, typename Rec>
VGHRESULT RemoveItem(const Args& args, VGHRESULT(VGAPI* remove)(VGSESSIONID, const Item*, VGDWORD)) {
    const std::string& what = args.positional[1];
    Item item = ItemFor<Item, Rec>(args, LooksLikeId(what) ? std::string() : what);
    if (LooksLikeId(what)) {
        Rec r;
        std::memcpy(&r, &item, sizeof(r));
        r.idItem = ItemId(what);
        std::memcpy(&item, &r, sizeof(item));
    }
    return remove(SessionOption(args), &item, 0);
}

VGHRESULT RunRemove(const Args& args) {
    const std::string& which = args.positional[0];
    if (which == "white") return RemoveItem<VGWHITEITEM, VGLISTITEMREC>(args, HrVGRemoveWhiteItem);
    if (which == "black") return RemoveItem<VGBLACKITEM, VGLISTITEMREC>(args, HrVGRemoveBlackItem);
    if (which == "gateway") return RemoveItem<VGGATEWAYITEM, VGGATEWAYREC>(args, HrVGRemoveGatewayItem);
    if (which == "trusted") {
        const VGTRUSTEDIPITEM item = ItemFor<VGTRUSTEDIPITEM, VGTRUSTEDREC>(args, args.positional[1]);
        return HrVGRemoveTrustedIPItem(SessionOption(args), &item, 0);
    }
    throw UsageError("items are removed from the white, black, trusted or gateway list");
}

VGHRESULT RunReset(const Args& args) {
    const std::string& which = args.positional[0];
    const VGSESSIONID id = SessionOption(args);
    if (which == "white") return HrVGResetWhiteItemList(id, 0);
    if (which == "black") return HrVGResetBlackItemList(id, 0);
    if (which == "frozen") return HrVGResetFrozenAccountList(id, 0);
    if (which == "authfail") return HrVGResetAuthFailItemList(id, 0);
    throw UsageError("the white, black, frozen and authfail lists can be reset");
}

VGHRESULT RunThaw(const Args& args) { return HrVGThawFrozenAccount(SessionOption(args), ItemId(args.positional[0]), 0); }

// ---------------------------------------------------------------------------
// Service control

VGHRESULT RunControl(const Args& args) {
    return HrVGControlService(SessionOption(args), ParseNumber(args.positional[0], "CODE"), 0);
}

VGHRESULT RunQueryService(const Args& args) {
    VGDWORD state = 0;
    const VGHRESULT hr = HrVGQueryService(SessionOption(args), &state, 0);
    if (!Failed(hr)) std::printf("state=0x%08lX\n", static_cast<unsigned long>(state));
    return hr;
}

// A fresh record (size 2424, the rest zero) out, the service's record back:
// its named counters, or for a record of another layout its entries' words.
VGHRESULT RunStats(const Args& args) {
    VGSTATISTICS stats;
    std::memset(&stats, 0, sizeof(stats));
    stats.cbSize = VG_STATISTICS_SIZE;
    const VGHRESULT hr = HrVGQueryStatistics(SessionOption(args), &stats, 0);
    if (Failed(hr)) return hr;
    VGSTATSREC rec;
    std::memcpy(&rec, &stats, sizeof(rec));
    if (rec.cbSize == VG_STATISTICS_SIZE && rec.bLayout == VG_STATS_LAYOUT) {
        std::printf("service=%s\n", Field(rec.szService).c_str());
        for (uint32_t i = 0; i < rec.cCounters && i < VG_STATISTICS_ENTRIES; ++i)
            std::printf("%s=%llu\n", Field(rec.rgCounters[i].szName).c_str(),
                        static_cast<unsigned long long>(rec.rgCounters[i].qwValue));
    } else {
        std::printf("size=%lu\n", static_cast<unsigned long>(stats.cbSize));
        for (int i = 0; i < VG_STATISTICS_ENTRIES; ++i) {
            const VGSTATSENTRY& e = stats.rgEntries[i];
            if (e.cbSize == 0) continue;
            std::printf("entry %d: %lu %lu %lu\n", i, static_cast<unsigned long>(e.dwValue1),
                        static_cast<unsigned long>(e.dwValue2), static_cast<unsigned long>(e.dwValue3));
        }
    }
    if (args.Has("raw")) HexDump(&stats, sizeof(stats));
    return hr;
}

enum class ValueType { Byte, Bool, Word, Dword, Sz };

struct ValueTypeName {
    ValueType type;
    const char* word;  // --type, and the settings table's type in upper case
};
const ValueTypeName kValueTypes[] = {{ValueType::Byte, "byte"},
                                     {ValueType::Bool, "bool"},
                                     {ValueType::Word, "word"},
                                     {ValueType::Dword, "dword"},
                                     {ValueType::Sz, "sz"}};

std::string Lower(const char* s) {
    std::string w;
    for (; *s; ++s) w += static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
    return w;
}

ValueType TypeFromWord(const char* word) {
    for (const ValueTypeName& t : kValueTypes)
        if (Lower(word) == t.word) return t.type;
    throw UsageError(std::string("unknown type '") + word + "' (one of byte, bool, word, dword, sz)");
}

const char* TypeWord(ValueType type) {
    for (const ValueTypeName& t : kValueTypes)
        if (t.type == type) return t.word;
    return "?";
}

// A number for a typed value, within the type's width; bool also takes
// true and false.
VGDWORD ParseTyped(ValueType type, const std::string& text) {
    if (type == ValueType::Bool) {
        const std::string w = Lower(text.c_str());
        if (w == "true") return 1;
        if (w == "false") return 0;
    }
    const VGDWORD v = ParseNumber(text, "VALUE");
    const VGDWORD max = type == ValueType::Byte ? 0xFFu : type == ValueType::Word ? 0xFFFFu : 0xFFFFFFFFu;
    if (v > max) throw UsageError("value '" + text + "' too large for " + TypeWord(type));
    return v;
}

// Runs a typed read through call(pValue) and renders the value.
template <typename T, typename Call>
VGHRESULT ReadNumber(Call call, std::string* out) {
    T v = 0;
    const VGHRESULT hr = call(&v);
    *out = std::to_string(static_cast<unsigned long>(static_cast<uint32_t>(v)));
    return hr;
}

template <typename Call>
VGHRESULT ReadText(Call call, std::string* out) {
    char sz[VG_CONFIG_VALUE_SIZE] = "";
    const VGHRESULT hr = call(sz, static_cast<VGDWORD>(sizeof(sz)));
    *out = sz;
    return hr;
}

// The named-setting exports by their type of value.
VGHRESULT GetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, uint8_t*, VGDWORD), VGSESSIONID id, std::string* out) {
    return ReadNumber<uint8_t>([&](uint8_t* p) { return f(id, p, 0); }, out);
}
VGHRESULT GetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, VGBOOL*, VGDWORD), VGSESSIONID id, std::string* out) {
    return ReadNumber<VGBOOL>([&](VGBOOL* p) { return f(id, p, 0); }, out);
}
VGHRESULT GetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, uint16_t*, VGDWORD), VGSESSIONID id, std::string* out) {
    return ReadNumber<uint16_t>([&](uint16_t* p) { return f(id, p, 0); }, out);
}
VGHRESULT GetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, VGDWORD*, VGDWORD), VGSESSIONID id, std::string* out) {
    return ReadNumber<VGDWORD>([&](VGDWORD* p) { return f(id, p, 0); }, out);
}
VGHRESULT GetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, char*, VGDWORD, VGDWORD), VGSESSIONID id, std::string* out) {
    return ReadText([&](char* sz, VGDWORD cch) { return f(id, sz, cch, 0); }, out);
}

VGHRESULT SetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, uint8_t, VGDWORD), VGSESSIONID id, const std::string& v) {
    return f(id, static_cast<uint8_t>(ParseTyped(ValueType::Byte, v)), 0);
}
VGHRESULT SetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, VGBOOL, VGDWORD), VGSESSIONID id, const std::string& v) {
    return f(id, static_cast<VGBOOL>(ParseTyped(ValueType::Bool, v)), 0);
}
VGHRESULT SetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, uint16_t, VGDWORD), VGSESSIONID id, const std::string& v) {
    return f(id, static_cast<uint16_t>(ParseTyped(ValueType::Word, v)), 0);
}
VGHRESULT SetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, VGDWORD, VGDWORD), VGSESSIONID id, const std::string& v) {
    return f(id, ParseTyped(ValueType::Dword, v), 0);
}
VGHRESULT SetVia(VGHRESULT(VGAPI* f)(VGSESSIONID, const char*, VGDWORD), VGSESSIONID id, const std::string& v) {
    return f(id, v.c_str(), 0);
}

// The named settings, from the library's settings table.
struct Setting {
    const char* section;
    const char* key;
    const char* type;  // BYTE, BOOL, WORD, DWORD or SZ
    VGHRESULT (*get)(VGSESSIONID, std::string*);
    VGHRESULT (*set)(VGSESSIONID, const std::string&);  // null: it has no setter
};

#define VG_SETTING(section, key, type, getter, setter)                                \
    {section, key, #type, [](VGSESSIONID id, std::string* v) { return GetVia(getter, id, v); }, \
     [](VGSESSIONID id, const std::string& v) { return SetVia(setter, id, v); }},
#define VG_SETTING_GETONLY(section, key, type, getter) \
    {section, key, #type, [](VGSESSIONID id, std::string* v) { return GetVia(getter, id, v); }, nullptr},
const Setting kSettings[] = {
#include "VGClient/vgsettings.inc"
};
#undef VG_SETTING
#undef VG_SETTING_GETONLY

// SECTION.KEY, case-insensitive as the service's names are.
const Setting& FindSetting(const std::string& name) {
    for (const Setting& s : kSettings)
        if (Lower(name.c_str()) == Lower((std::string(s.section) + "." + s.key).c_str())) return s;
    throw UsageError("unknown setting '" + name + "' ('vgctl setting list' shows them)");
}

// ---------------------------------------------------------------------------
// Management handlers

// An option, else the environment variable, else null.
const char* OptionOrEnv(const Args& args, const char* option, const char* variable) {
    const char* s = args.Text(option);
    return s ? s : std::getenv(variable);
}

VGHRESULT RunSessionOpen(const Args& args) {
    const char* user = OptionOrEnv(args, "user", "VGCTL_USER");
    const char* password = OptionOrEnv(args, "password", "VGCTL_PASSWORD");
    const char* text3 = OptionOrEnv(args, "text3", "VGCTL_TEXT3");
    if (!text3) throw UsageError("missing --text3 (or VGCTL_TEXT3)");
    VGSESSIONID id;
    std::memset(&id, 0, sizeof(id));
    const VGHRESULT hr = HrVGOpenMgmtSession(user, password, text3, &id, nullptr);
    if (!Failed(hr)) std::printf("session=%s\n", GuidText(id).c_str());
    return hr;
}

VGHRESULT RunSessionEnd(const Args& args) { return HrVGEndMgmtSession(ParseGuid(args.positional[0]), 0); }
VGHRESULT RunSessionAbort(const Args& args) { return HrVGAbortMgmtSession(ParseGuid(args.positional[0]), 0); }

VGHRESULT RunConfigGet(const Args& args) {
    const VGSESSIONID id = SessionOption(args);
    const char* s = args.positional[0].c_str();
    const char* k = args.positional[1].c_str();
    std::string value;
    VGHRESULT hr = 0;
    switch (TypeFromWord(args.RequiredText("type"))) {
        case ValueType::Byte:
            hr = ReadNumber<uint8_t>([&](uint8_t* p) { return HrVGConfigGetBYTE(id, s, k, p, 0); }, &value);
            break;
        case ValueType::Bool:
            hr = ReadNumber<VGBOOL>([&](VGBOOL* p) { return HrVGConfigGetBOOL(id, s, k, p, 0); }, &value);
            break;
        case ValueType::Word:
            hr = ReadNumber<uint16_t>([&](uint16_t* p) { return HrVGConfigGetWORD(id, s, k, p, 0); }, &value);
            break;
        case ValueType::Dword:
            hr = ReadNumber<VGDWORD>([&](VGDWORD* p) { return HrVGConfigGetDWORD(id, s, k, p, 0); }, &value);
            break;
        case ValueType::Sz:
            hr = ReadText([&](char* sz, VGDWORD cch) { return HrVGConfigGetSZ(id, s, k, sz, cch, 0); }, &value);
            break;
    }
    if (!Failed(hr)) std::printf("value=%s\n", value.c_str());
    return hr;
}

VGHRESULT RunConfigSet(const Args& args) {
    const VGSESSIONID id = SessionOption(args);
    const char* s = args.positional[0].c_str();
    const char* k = args.positional[1].c_str();
    const std::string& v = args.positional[2];
    const ValueType type = TypeFromWord(args.RequiredText("type"));
    switch (type) {
        case ValueType::Byte: return HrVGConfigSetBYTE(id, s, k, static_cast<uint8_t>(ParseTyped(type, v)), 0);
        case ValueType::Bool: return HrVGConfigSetBOOL(id, s, k, static_cast<VGBOOL>(ParseTyped(type, v)), 0);
        case ValueType::Word: return HrVGConfigSetWORD(id, s, k, static_cast<uint16_t>(ParseTyped(type, v)), 0);
        case ValueType::Dword: return HrVGConfigSetDWORD(id, s, k, ParseTyped(type, v), 0);
        case ValueType::Sz: break;
    }
    return HrVGConfigSetSZ(id, s, k, v.c_str(), 0);
}

VGHRESULT RunConfigDelete(const Args& args) {
    return HrVGConfigDelete(SessionOption(args), args.positional[0].c_str(), args.positional[1].c_str(), 0);
}

VGHRESULT RunSettingGet(const Args& args) {
    const Setting& setting = FindSetting(args.positional[0]);
    const VGSESSIONID id = SessionOption(args);
    std::string value;
    const VGHRESULT hr = setting.get(id, &value);
    if (!Failed(hr)) std::printf("value=%s\n", value.c_str());
    return hr;
}

VGHRESULT RunSettingSet(const Args& args) {
    const Setting& setting = FindSetting(args.positional[0]);
    if (!setting.set) throw UsageError("setting " + args.positional[0] + " can only be read");
    return setting.set(SessionOption(args), args.positional[1]);
}

// Makes no call, so main prints no HRESULT for it.
VGHRESULT RunSettingList(const Args&) {
    for (const Setting& s : kSettings)
        std::printf("%s.%s %s%s\n", s.section, s.key, Lower(s.type).c_str(), s.set ? "" : " (read only)");
    return 0;
}

VGHRESULT RunHelp(const Args& args);

// ---------------------------------------------------------------------------
// The subcommands

struct Command {
    const char* name;     // words typed after "vgctl"
    const char* usage;    // what follows the name
    const char* help;     // one line
    const char* options;  // accepted options, space-separated; "name=" takes a value
    size_t minArgs, maxArgs;
    VGHRESULT (*run)(const Args&);
};

const Command kCommands[] = {
    {"is-white", "IP", "ask whether IP is on the white list", "", 1, 1, RunIsWhite},
    {"is-black", "IP", "ask whether IP is on the black list", "", 1, 1, RunIsBlack},
    {"is-trusted", "IP", "ask whether IP is a trusted address", "", 1, 1, RunIsTrusted},
    {"geo-blocked", "IP --service S [--param N] [--ex]",
     "ask whether IP is blocked by its location; --ex also fetches the location record", "service= param= ex", 1, 1,
     RunGeoBlocked},
    {"geo-data", "IP | --id ID1 ID2 ID3 [--param N]", "fetch the location record of an address or an identifier",
     "id param=", 1, 3, RunGeoData},
    {"allow", "IP --service S [--account NAME] [--ex --param1 N --param2 N]",
     "ask whether a connection from IP (for NAME) may go on", "service= account= ex param1= param2=", 1, 1,
     RunAllow},
    {"auth-fail", "ACCOUNT IP --service S --text T [--detail D] [--note N]",
     "report a failed authentication of ACCOUNT from IP", "service= text= detail= note=", 2, 2, RunAuthFail},
    {"auth-ok", "ACCOUNT IP --service S", "report a successful authentication of ACCOUNT from IP", "service=", 2, 2,
     RunAuthOk},
    {"session open", "[--user U] [--password P] --text3 T",
     "log on to the management service and print the session id; U, P and T may come from VGCTL_USER, "
     "VGCTL_PASSWORD and VGCTL_TEXT3 instead",
     "user= password= text3=", 0, 0, RunSessionOpen},
    {"session end", "ID", "end a management session", "", 1, 1, RunSessionEnd},
    {"session abort", "ID", "abandon a management session", "", 1, 1, RunSessionAbort},
    {"config get", "SECTION KEY --session ID --type T", "read a configuration value of type T", "session= type=", 2,
     2, RunConfigGet},
    {"config set", "SECTION KEY VALUE --session ID --type T", "write a configuration value of type T",
     "session= type=", 3, 3, RunConfigSet},
    {"config delete", "SECTION KEY --session ID", "delete a configuration key", "session=", 2, 2, RunConfigDelete},
    {"setting get", "NAME --session ID", "read a named setting, NAME as in AuthFail.BlockThreshold", "session=", 1,
     1, RunSettingGet},
    {"setting set", "NAME VALUE --session ID", "write a named setting", "session=", 2, 2, RunSettingSet},
    {"setting list", "", "list the named settings and their types", "", 0, 0, RunSettingList},
    {"control", "CODE --session ID", "pass a control code to the service (0x2000000 enables it)", "session=", 1, 1,
     RunControl},
    {"query-service", "--session ID", "print the service's state word", "session=", 0, 0, RunQueryService},
    {"stats", "--session ID [--raw]", "print the service's named counters (--raw: the whole record in hex)",
     "session= raw", 0, 0, RunStats},
    {"list", "white|black|trusted|gateway|frozen|authfail --session ID [--raw]",
     "print a list: its count, then a row per record (address or account, expiry, hits, comment; --raw: the "
     "records in hex too)",
     "session= raw", 1, 1, RunList},
    {"add", "white|black|trusted|gateway ADDRESS --session ID [--comment C] [--expires MINUTES]",
     "add an address or CIDR range; prints the identifier the service gives it", "session= comment= expires=", 2, 2,
     RunAdd},
    {"remove", "white|black|trusted|gateway ITEMID|ADDRESS --session ID",
     "remove a record by its identifier or by its address", "session=", 2, 2, RunRemove},
    {"reset", "white|black|frozen|authfail --session ID", "empty a list", "session=", 1, 1, RunReset},
    {"thaw", "ACCOUNTID --session ID", "thaw a frozen account", "session=", 1, 1, RunThaw},
    {"format", "CODE", "print the text of a message identifier or HRESULT (hex or decimal)", "", 1, 1, RunFormat},
    {"help", "[COMMAND]", "show all commands, or one", "", 0, 8, RunHelp},
};

std::vector<std::string> Words(const char* s) {
    std::vector<std::string> words;
    std::string w;
    for (const char* p = s;; ++p) {
        if (*p && *p != ' ') {
            w += *p;
        } else {
            if (!w.empty()) words.push_back(w);
            w.clear();
            if (!*p) return words;
        }
    }
}

// The command whose name words begin argv; the longest match wins, so that
// "x y" and "x" can both be commands. *pUsed receives the number of words.
const Command* FindCommand(const std::vector<std::string>& argv, size_t* pUsed) {
    const Command* best = nullptr;
    size_t bestLen = 0;
    for (const Command& c : kCommands) {
        const std::vector<std::string> name = Words(c.name);
        if (name.size() <= bestLen || name.size() > argv.size()) continue;
        bool match = true;
        for (size_t i = 0; i < name.size() && match; ++i) match = name[i] == argv[i];
        if (match) best = &c, bestLen = name.size();
    }
    *pUsed = bestLen;
    return best;
}

// "--name value", "--name=value", flags "--name"; "--" ends the options.
Args Parse(const Command& cmd, const std::vector<std::string>& argv) {
    Args args;
    const std::vector<std::string> accepted = Words(cmd.options);
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        // A negative number (an HRESULT in decimal) is an argument, not an option.
        if (optionsEnded || a.size() < 2 || a[0] != '-' || std::isdigit(static_cast<unsigned char>(a[1]))) {
            args.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            args.options["help"];
            continue;
        }
        if (a[1] != '-') throw UsageError("unknown option " + a);
        const size_t eq = a.find('=');
        const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        bool known = false, takesValue = false;
        for (const std::string& o : accepted) {
            const bool valued = o.back() == '=';
            if ((valued ? o.substr(0, o.size() - 1) : o) == name) known = true, takesValue = valued;
        }
        if (!known) throw UsageError("unknown option " + a);
        if (!takesValue) {
            if (eq != std::string::npos) throw UsageError("option --" + name + " takes no value");
            args.options[name];
        } else if (eq != std::string::npos) {
            args.options[name] = a.substr(eq + 1);
        } else if (i + 1 < argv.size()) {
            args.options[name] = argv[++i];
        } else {
            throw UsageError("option --" + name + " needs a value");
        }
    }
    if (args.Has("help")) return args;
    if (args.positional.size() < cmd.minArgs) throw UsageError("missing argument");
    if (args.positional.size() > cmd.maxArgs) throw UsageError("too many arguments");
    return args;
}

void PrintUsage(const Command& c) { std::printf("usage: vgctl %s %s\n  %s\n", c.name, c.usage, c.help); }

void PrintHelp() {
    std::printf("usage: vgctl COMMAND [ARGUMENTS] [OPTIONS]\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s %s\n      %s\n", c.name, c.usage, c.help);
    std::printf(
        "\nS is a service, by name or number:\n  %s\n"
        "ID is a session id as 'session open' prints it,\n"
        "  {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, braces optional.\n"
        "T is a type of value: byte, bool, word, dword or sz (text). A bool is a\n"
        "  number (sent as given) or true/false.\n"
        "Numbers are decimal or 0x hex. Each call prints its results, then\n"
        "hr=0x........ (its HRESULT); the exit status is 0 on success, 1 when the\n"
        "HRESULT is a failure, 2 on a usage error.\n"
        "\nEnvironment:\n"
        "  VGCTL_USER, VGCTL_PASSWORD, VGCTL_TEXT3\n"
        "                     logon texts of 'session open' not given as options\n"
        "                     (an option shows in the process list; these do not)\n"
        "  VGCTL_SESSION      the session id of commands not given --session\n"
        "  VIGILON_PIPE_DIR   POSIX build: folder of the pipe sockets (default /run/vigilon)\n"
        "  VIGILON_REGISTRY   POSIX build: registry file (default /etc/vigilon/registry.reg)\n",
        ServiceWords().c_str());
}

// Makes no call, so main prints no HRESULT for it.
VGHRESULT RunHelp(const Args& args) {
    if (args.positional.empty()) {
        PrintHelp();
        return 0;
    }
    size_t used = 0;
    const Command* c = FindCommand(args.positional, &used);
    if (!c || used != args.positional.size()) throw UsageError("unknown command '" + args.positional[0] + "'");
    PrintUsage(*c);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.size() == 1 && (words[0] == "-h" || words[0] == "--help")) words[0] = "help";

    size_t used = 0;
    const Command* cmd = FindCommand(words, &used);
    if (!cmd) {
        if (words.empty())
            std::fprintf(stderr, "vgctl: no command given\n");
        else
            std::fprintf(stderr, "vgctl: unknown command '%s'\n", words[0].c_str());
        std::fprintf(stderr, "usage: vgctl COMMAND [ARGUMENTS] [OPTIONS]; 'vgctl help' lists the commands\n");
        return 2;
    }
    words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(used));

    VGHRESULT hr;
    try {
        const Args args = Parse(*cmd, words);
        if (args.Has("help")) {
            PrintUsage(*cmd);
            return 0;
        }
        hr = cmd->run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "vgctl %s: %s\nusage: vgctl %s %s\n", cmd->name, e.what(), cmd->name, cmd->usage);
        return 2;
    }
    if (cmd->run == RunHelp || cmd->run == RunSettingList) return 0;
    if (Failed(hr) && cmd->run != RunFormat) {
        char text[1024];
        if (!Failed(HrVGFormatMessage(static_cast<VGDWORD>(hr), text, sizeof(text)))) std::printf("error=%s\n", text);
    }
    std::printf("hr=0x%08X\n", static_cast<unsigned>(static_cast<uint32_t>(hr)));
    return Failed(hr) ? 1 : 0;
}
