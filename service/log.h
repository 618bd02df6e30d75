// The service's log: one line per event on standard error (where systemd's
// journal picks it up), with the time, the severity and the catalogue's own
// text of the event with its insert filled in.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace vgsvc {

enum Severity : uint32_t { kInfo = 1, kWarning = 2, kError = 3 };

class Log {
public:
    // LogLevel: 0 nothing, 1 errors, 2 and warnings, 3 and information.
    static void SetLevel(uint32_t level);
    static bool Enabled(Severity severity);
    // The catalogue text of `code` (a message code of facility 0x150) with
    // %1 replaced by the insert.
    static void Event(Severity severity, uint32_t code, const std::string& insert = std::string());
    // A family member: code = base + service code (0 to 15; others log as 0).
    static void ServiceEvent(Severity severity, uint32_t base, uint32_t dwService, const std::string& insert);
    // A line of the service's own, for what the catalogue has no text for
    // (start-up failures, database errors).
    static void Text(Severity severity, const std::string& text);

private:
    static void Write(Severity severity, uint32_t id, const char* szText);
};

// Message codes the service logs (the catalogue's first member of a family).
namespace msg {
constexpr uint32_t kServiceStarting = 0x0009;
constexpr uint32_t kLoadingConfiguration = 0x0012;
constexpr uint32_t kInitializingLists = 0x0016;
constexpr uint32_t kServiceStopping = 0x001F;
constexpr uint32_t kSavingDatabases = 0x0026;
constexpr uint32_t kClientThreadReady = 0x0201;
constexpr uint32_t kManagementThreadReady = 0x0101;
constexpr uint32_t kConfigurationChange = 0x0301;
constexpr uint32_t kConfiguration = 0x0302;
constexpr uint32_t kExemptHeading = 0x0402;
constexpr uint32_t kBlockedHeading = 0x0404;
constexpr uint32_t kStartupWhitelist = 0x0406;
constexpr uint32_t kStartupTrusted = 0x0408;
constexpr uint32_t kStartupBlacklist = 0x040A;
constexpr uint32_t kStartupAuthFailure = 0x040C;
constexpr uint32_t kMinuteMaintenance = 0x1108;
constexpr uint32_t kExpiringListed = 0x1109;
constexpr uint32_t kExpiringBlacklisted = 0x110A;
constexpr uint32_t kExpiringWhitelisted = 0x110C;
constexpr uint32_t kBlacklistBlocking = 0x1200;
constexpr uint32_t kAuthFailure = 0x2010;
constexpr uint32_t kAuthSuccess = 0x2040;
constexpr uint32_t kAccessRefused = 0x2100;
constexpr uint32_t kThresholdMet = 0x2110;
constexpr uint32_t kAccessAllowed = 0x2120;
constexpr uint32_t kWhitelistFound = 0x2130;
constexpr uint32_t kWhitelistIgnored = 0x2140;
constexpr uint32_t kTrustedFound = 0x2150;
constexpr uint32_t kBlacklistFound = 0x2170;
constexpr uint32_t kBlacklistIgnored = 0x2180;
constexpr uint32_t kLocationIgnored = 0x21A0;
constexpr uint32_t kGatewayExemption = 0x21B0;
constexpr uint32_t kWhitelistExemption = 0x21D0;
constexpr uint32_t kTrustedExemption = 0x21F0;
constexpr uint32_t kAccountFrozen = 0x3000;
constexpr uint32_t kAutoThaw = 0x3014;
constexpr uint32_t kLocationUnresolved = 0x3020;
constexpr uint32_t kInvalidAddress = 0x8000;
constexpr uint32_t kCorruptData = 0x8100;
}  // namespace msg

}  // namespace vgsvc
