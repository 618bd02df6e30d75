// Configuration commands 20 to 31: any section and key of the settings file,
// read and written as BYTE, BOOL, WORD, DWORD or text. A change is saved at
// once and the service reads its settings again, so it takes effect without
// a restart.
//
// Values are stored as the file's text: numbers in decimal, BOOL as 1 or 0.
// A key of the named settings is read and written only as its own type
// (another type: kHrInvalidArg); a missing one reads as its default. Any
// other key takes any type, and reading it as a number needs a number that
// fits (else kHrInvalidData); a missing one is kHrNotFound.
#include <cstring>
#include <mutex>

#include "service/log.h"
#include "service/mgmt.h"
#include "service/service.h"
#include "sharedcode/hresult.h"
#include "sharedcode/ini/smartini.h"

namespace vgsvc {
namespace {

constexpr uint32_t kMsgConfigSet = 0x4006;
constexpr uint32_t kMsgConfigGet = 0x4007;
constexpr uint32_t kMsgConfigDelete = 0x400F;

enum ValueType { kByte, kBool, kWord, kDword, kSz, kNone };

// The command's type of value (kNone for the delete).
ValueType TypeOf(uint32_t dwCommand) {
    switch (dwCommand) {
        case VGCMD_CONFIGSETBYTE: case VGCMD_CONFIGGETBYTE: return kByte;
        case VGCMD_CONFIGSETBOOL: case VGCMD_CONFIGGETBOOL: return kBool;
        case VGCMD_CONFIGSETWORD: case VGCMD_CONFIGGETWORD: return kWord;
        case VGCMD_CONFIGSETDWORD: case VGCMD_CONFIGGETDWORD: return kDword;
        case VGCMD_CONFIGSETSZ: case VGCMD_CONFIGGETSZ: return kSz;
        default: return kNone;
    }
}

const char* const kTypeNames[] = {"BYTE", "BOOL", "WORD", "DWORD", "SZ"};

// A name the file can hold: printable, without the brackets and the equals
// sign of its syntax, not starting like a comment.
bool ValidName(const std::string& s) {
    if (s.empty() || s[0] == ';' || s[0] == '#' || s.front() == ' ' || s.back() == ' ') return false;
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '[' || c == ']' || c == '=') return false;
    return true;
}

// Checks the names and the type against the named settings. *ppDefault
// receives the key's default when it is one of them.
HRESULT CheckKey(const std::string& section, const std::string& key, ValueType type, const char** ppDefault) {
    *ppDefault = nullptr;
    if (!ValidName(section) || !ValidName(key)) return kHrInvalidArg;
    const SettingDefault* d = FindSettingDefault(section.c_str(), key.c_str());
    if (!d) return S_OK;
    if (type != kNone && std::strcmp(d->szType, kTypeNames[type]) != 0) return kHrInvalidArg;
    *ppDefault = d->szDefault ? d->szDefault : "";
    return S_OK;
}

// The text stored for a value area of the given type.
bool ValueText(ValueType type, const VGCONFIGVALUE& v, std::string* pText) {
    switch (type) {
        case kByte: *pText = std::to_string(v.dwValue & 0xFFu); return true;
        case kWord: *pText = std::to_string(v.dwValue & 0xFFFFu); return true;
        case kDword: *pText = std::to_string(v.dwValue); return true;
        case kBool: *pText = v.dwValue ? "1" : "0"; return true;
        default: break;
    }
    *pText = FieldText(v.szValue);
    for (char c : *pText)
        if (c == '\r' || c == '\n') return false;  // would end the line in the file
    return true;
}

// A stored text as a value of the type: decimal or 0x hexadecimal within the
// type's width; BOOL as the file's yes/no forms.
bool ParseValue(ValueType type, const std::string& text, VGCONFIGVALUE* pValue) {
    if (type == kSz) {
        std::memcpy(pValue->szValue, text.data(), text.size() < sizeof(pValue->szValue) ? text.size() : sizeof(pValue->szValue) - 1);
        return true;
    }
    if (type == kBool) {
        switch (text.empty() ? 0 : text[0]) {
            case '1': case 't': case 'T': case 'y': case 'Y': pValue->dwValue = 1; return true;
            case '0': case 'f': case 'F': case 'n': case 'N': pValue->dwValue = 0; return true;
            default: return false;
        }
    }
    const bool fHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.size() == (fHex ? 2u : 0u)) return false;
    uint64_t v = 0;
    for (size_t i = fHex ? 2 : 0; i < text.size(); ++i) {
        const char c = text[i];
        const int d = c >= '0' && c <= '9' ? c - '0'
                      : fHex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : fHex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0 || (v = v * (fHex ? 16 : 10) + static_cast<unsigned>(d)) > 0xFFFFFFFFu) return false;
    }
    const uint64_t max = type == kByte ? 0xFFu : type == kWord ? 0xFFFFu : 0xFFFFFFFFu;
    if (v > max) return false;
    pValue->dwValue = static_cast<uint32_t>(v);
    return true;
}

// Commands 20 and 22 to 26.
void HandleWrite(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    const VGCONFIGWRITEREQ& q = req.As<VGCONFIGWRITEREQ>();
    const std::string section = FieldText(q.szSection), key = FieldText(q.szKey);
    const ValueType type = TypeOf(req.dwCommand);
    const char* szDefault;
    HRESULT hr = CheckKey(section, key, type, &szDefault);
    std::string text;
    if (HrSucceeded(hr) && type != kNone && !ValueText(type, q.value, &text)) hr = kHrInvalidArg;
    if (HrSucceeded(hr)) {
        Settings& settings = service.GetSettings();
        {
            std::lock_guard g(settings.Lock());
            hr = type == kNone ? settings.Ini().HrDeleteKey(section.c_str(), key.c_str())
                               : settings.Ini().HrSetString(section.c_str(), key.c_str(), text.c_str());
        }
        if (hr == INI_S_NOTPRESENT) hr = kHrNotFound;
        if (hr == INI_S_UNCHANGED) hr = S_OK;
        if (HrSucceeded(hr)) service.ReloadSettings(true);
    }
    const std::string what = section + "." + key + (type == kNone ? "" : "=" + text);
    Log::Event(HrSucceeded(hr) ? kInfo : kWarning, type == kNone ? kMsgConfigDelete : kMsgConfigSet,
               HrSucceeded(hr) ? what : what + " refused");
    WriteStatus(out, hr);
}

// Commands 27 to 31.
void HandleRead(Service& service, const Request& req, MessageWriter& out) {
    if (!CheckSession(service, req, out)) return;
    const VGCONFIGREADREQ& q = req.As<VGCONFIGREADREQ>();
    const std::string section = FieldText(q.szSection), key = FieldText(q.szKey);
    const ValueType type = TypeOf(req.dwCommand);
    VGCONFIGREPLY reply = PresetReply<VGCONFIGREPLY>();
    const char* szDefault;
    HRESULT hr = CheckKey(section, key, type, &szDefault);
    if (HrSucceeded(hr)) {
        char sz[VG_CONFIG_VALUE_SIZE] = {};
        hr = ReadSettingText(service, section.c_str(), key.c_str(), szDefault, sz, sizeof(sz));
        if (hr == INI_E_NOTFOUND) hr = kHrNotFound;
        if (hr == VG_E_TRUNCATED) hr = S_OK;  // the value area holds 519 characters
        if (HrSucceeded(hr)) hr = ParseValue(type, sz, &reply.value) ? S_OK : kHrInvalidData;
    }
    Log::Event(kInfo, kMsgConfigGet, section + "." + key);
    WriteStatus(out, hr, reply);
}

}  // namespace

void RegisterConfigHandlers(Dispatcher& d) {
    d.Register({{HandleWrite, VGCMD_CONFIGDELETE, VGCMD_CONFIGSETSZ}, {HandleRead, VGCMD_CONFIGGETBYTE, VGCMD_CONFIGGETSZ}});
}

}  // namespace vgsvc
