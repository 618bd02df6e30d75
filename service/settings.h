// The service's settings: its INI file, read through the library's CSmartIni,
// with a default for every named setting. The typed view the decisions read
// is rebuilt whole on every re-read and swapped in, like the list index.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sharedcode/wintypes.h"

class CSmartIni;

namespace vgsvc {

constexpr uint32_t kServiceCodes = 16;

struct Config {
    bool enable = true;
    bool enableBlackList = true;
    bool enableWhiteList = true;
    bool enableAuthFailures = true;
    uint32_t ioIntervalSeconds = 60;

    struct FrontEnd {
        bool useBlackList = true;
        bool useWhiteList = true;
        bool useAuthFailures = true;
        bool useGeoBlock = false;
    };
    // By service code; codes 13 to 15 (the secure variants) read the
    // sections of IMAP, POP and SMTP, code 0 and codes above 15 none.
    FrontEnd frontEnds[kServiceCodes];
    const FrontEnd& ForService(uint32_t dwService) const;

    uint32_t blockThreshold = 5;
    uint32_t freezeThreshold = 10;
    uint32_t freezeTimespan = 60;
    uint32_t blockTimespan = 15;
    uint32_t freezeTimeout = 30;
    bool freezeAccount = true;
    bool enableBlocking = true;
    bool ip4Aggregation = false;
    bool ip6Aggregation = true;
    bool autoThaw = true;
    uint32_t ip4AggBits = 24;
    uint32_t ip6AggBits = 64;

    bool neverExpire = false;
    uint32_t expMinutes = 60;
    uint32_t repeatPenalty[3] = {2, 4, 8};  // second, third, fourth and later

    struct Logs {
        bool whiteListAtStartup = true;
        bool blackListAtStartup = true;
        bool authFailAtStartup = false;
        bool detectedChanges = true;
        bool authSuccess = false;
        bool authFail = true;
        bool connectionsAllowed = false;
        bool connectionsRefused = true;
        bool allBlacklistHits = false;
        bool allGeoBlockHits = false;
        bool allWhitelistHits = false;
        bool allTrustedHits = false;
        uint32_t logLevel = 3;
        bool txBlackList = true;
        bool txWhiteList = true;
        bool txGatewayList = true;
        bool txAccessDenied = true;
    } logs;
};

// One row of the defaults table, for every named setting.
struct SettingDefault {
    const char* szSection;
    const char* szKey;
    const char* szType;  // BYTE, BOOL, WORD, DWORD or SZ
    const char* szDefault;
    const char* szMeaning;
};
const std::vector<SettingDefault>& SettingDefaults();
const SettingDefault* FindSettingDefault(const char* szSection, const char* szKey);

// The INI text of every setting at its default, in the engine's own format.
std::string DefaultIniText();

class Settings {
public:
    Settings();
    ~Settings();
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // Binds to the file (made with every default when missing) and reads it.
    HRESULT Open(const std::string& path);
    const std::string& Path() const { return m_path; }

    std::shared_ptr<const Config> Current() const;
    // Re-reads when the file changed since the last read, or always when
    // forced; true when a new view was made.
    bool Reload(bool fForce);

    // The engine object, for whoever reads or writes single keys (the
    // management commands): hold Lock() around its use (it may be held
    // across Reload) and call Reload(true) after a change.
    CSmartIni& Ini() { return *m_ini; }
    std::recursive_mutex& Lock() { return m_lock; }

private:
    std::shared_ptr<const Config> Read();

    std::string m_path;
    std::unique_ptr<CSmartIni> m_ini;
    std::recursive_mutex m_lock;
    std::shared_ptr<const Config> m_config;
};

}  // namespace vgsvc
