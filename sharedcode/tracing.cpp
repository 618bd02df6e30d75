// Debugger tracing.
#include "sharedcode/tracing.h"

#include <atomic>
#include <cstring>

#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/debug.h"
#include "sharedcode/platform/module.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/szbounded.h"

namespace CRVN {

namespace {

// The instance whose line lock this thread's Header holds.
thread_local const Tracing* t_pHolding = nullptr;

// Set when the process-wide instance has been destroyed at exit: later trace
// calls (from other exit-time destructors) do nothing.
std::atomic<const Tracing*> g_pProcessTracing{nullptr};
std::atomic<bool> g_fProcessTracingGone{false};

bool IsGone(const Tracing* pTracing) {
    return g_fProcessTracingGone.load(std::memory_order_acquire) &&
           g_pProcessTracing.load(std::memory_order_relaxed) == pTracing;
}

// Lies in the library's own image: finds the module by address.
const char g_chImageAnchor = 0;

// The part after the last path separator.
const char* BaseName(const char* szPath) {
    const char* szBase = szPath;
    for (const char* p = szPath; *p; ++p) {
        if (*p == '\\' || *p == '/') szBase = p + 1;
    }
    return szBase;
}

}  // namespace

Tracing::Tracing()
    : m_dwFlags(kDefaultFlags),
      m_pfnDebuggerPresent(plat::IsDebuggerPresent),
      m_pfnOutput(plat::OutputDebugStringA),
      m_szHeader(),
      m_szScratch(),
      m_szMessage(),
      m_szModule() {}

Tracing::~Tracing() {
    if (g_pProcessTracing.load(std::memory_order_relaxed) == this)
        g_fProcessTracingGone.store(true, std::memory_order_release);
}

Tracing& Tracing::Instance() {
    // After exit only the address is used, to find the entry calls gone.
    if (g_fProcessTracingGone.load(std::memory_order_acquire))
        return *const_cast<Tracing*>(g_pProcessTracing.load(std::memory_order_relaxed));
    static TProcessObject<CriticalSection> s_guard;
    CriticalSection::CLock lock(s_guard);
    static TProcessObject<Tracing> s_tracing;
    g_pProcessTracing.store(&s_tracing, std::memory_order_relaxed);
    return s_tracing;
}

void Tracing::SetChannel(PFNDEBUGGERPRESENT pfnDebuggerPresent, PFNOUTPUT pfnOutput) {
    m_pfnDebuggerPresent = pfnDebuggerPresent;
    m_pfnOutput = pfnOutput;
}

void Tracing::AppendPiece(const char* szPiece) { SzAppend4096(m_szHeader, szPiece); }

// A piece that does not format whole is left out.
void Tracing::AppendFormatted(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    HRESULT hr = SzFormatV(m_szScratch, kcchScratch, szFormat, args);
    va_end(args);
    if (hr >= 0) AppendPiece(m_szScratch);
}

void Tracing::FindModuleName() {
    plat::HMODULE hModule = plat::ModuleFromAddress(&g_chImageAnchor);
    if (!hModule) return;
    char szPath[261];
    if (plat::GetModuleFileNameA(hModule, szPath, sizeof(szPath)) == 0) return;
    char* szName = const_cast<char*>(BaseName(szPath));
    if (char* pDot = std::strchr(szName, '.')) *pDot = 0;
    SzCopy(m_szModule, kcchModule, szName);
}

void Tracing::Header(const char* szFile, DWORD dwLine, const char* szFunction) {
    if (IsGone(this) || !m_pfnDebuggerPresent()) return;
    if (t_pHolding != this) {
        m_lineLock.Enter();
        t_pHolding = this;
    }
    m_szHeader[0] = 0;
    m_szScratch[0] = 0;
    const DWORD dwFlags = m_dwFlags;
    const bool fFunction = szFunction && (dwFlags & kFunction);

    if (dwFlags & kFile) {
        const char* szName = szFile ? szFile : "";
        AppendPiece((dwFlags & kFullPath) ? szName : BaseName(szName));
        if (dwFlags & kLine) AppendFormatted("(%u): ", static_cast<unsigned>(dwLine));
    }
    if (dwFlags & kTime) {
        plat::LocalTime t;
        plat::GetLocalTime(&t);
        AppendFormatted("%02u:%02u:%02u.%03u ", static_cast<unsigned>(t.wHour), static_cast<unsigned>(t.wMinute),
                        static_cast<unsigned>(t.wSecond), static_cast<unsigned>(t.wMilliseconds));
    }
    if (dwFlags & kModule) {
        if (!m_szModule[0]) FindModuleName();
        AppendPiece(m_szModule);
        AppendPiece(fFunction ? "!" : " ");
    }
    if (dwFlags & kThread) AppendFormatted("TID(%04xh) ", static_cast<unsigned>(plat::GetCurrentThreadId()));
    if (fFunction) {
        AppendPiece(szFunction);
        AppendPiece(" ");
    }
    m_pfnOutput(m_szHeader);
}

void Tracing::Message(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    MessageV(szFormat, args);
    va_end(args);
}

void Tracing::MessageV(const char* szFormat, va_list args) {
    if (IsGone(this)) return;
    const bool fHeld = t_pHolding == this;
    if (m_pfnDebuggerPresent()) {
        // A debugger that arrived after the header: the buffer still needs the lock.
        if (!fHeld) m_lineLock.Enter();
        if (!szFormat) {
            m_pfnOutput("<NULL>\n");
        } else {
            // Cut at 4095 characters; the line feed only goes in while there is room.
            SzFormatV(m_szMessage, kcchMessage, szFormat, args);
            SzAppend4096(m_szMessage, "\n");
            m_pfnOutput(m_szMessage);
        }
        if (!fHeld) m_lineLock.Leave();
    }
    if (fHeld) {
        t_pHolding = nullptr;
        m_lineLock.Leave();
    }
}

}  // namespace CRVN
