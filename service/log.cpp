#include "service/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "VGClient/vgformat.h"
#include "VGClient/vgmessagetable.h"
#include "sharedcode/hresult.h"

namespace vgsvc {
namespace {

std::atomic<uint32_t> g_level{3};
std::mutex g_lock;  // one line at a time, and gmtime's buffer

const char* SeverityName(Severity s) {
    switch (s) {
        case kError: return "error";
        case kWarning: return "warning";
        default: return "info";
    }
}

}  // namespace

void Log::SetLevel(uint32_t level) { g_level.store(level, std::memory_order_relaxed); }

bool Log::Enabled(Severity severity) { return severity + g_level.load(std::memory_order_relaxed) > 3; }

void Log::Event(Severity severity, uint32_t code, const std::string& insert) {
    if (!Enabled(severity)) return;
    const uint32_t id = VgMessageId(severity, code);
    char sz[1024];
    const char* rgszInserts[1] = {insert.c_str()};
    if (HrFailed(HrFormatMessage(nullptr, id, sz, sizeof(sz), rgszInserts, 1)))
        std::snprintf(sz, sizeof(sz), "%s", insert.c_str());
    Write(severity, id, sz);
}

void Log::ServiceEvent(Severity severity, uint32_t base, uint32_t dwService, const std::string& insert) {
    Event(severity, base + (dwService < 16 ? dwService : 0), insert);
}

void Log::Text(Severity severity, const std::string& text) {
    if (Enabled(severity)) Write(severity, 0, text.c_str());
}

void Log::Write(Severity severity, uint32_t id, const char* szText) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::lock_guard<std::mutex> g(g_lock);
    char szTime[32] = "?";
    if (const std::tm* tm = std::gmtime(&t)) std::strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%S", tm);
    if (id)
        std::fprintf(stderr, "%s.%03ldZ %s 0x%08X %s\n", szTime, ms, SeverityName(severity), id, szText);
    else
        std::fprintf(stderr, "%s.%03ldZ %s %s\n", szTime, ms, SeverityName(severity), szText);
}

}  // namespace vgsvc
