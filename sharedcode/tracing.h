// Debugger tracing: diagnostic lines for an attached debugger, nothing
// without one.
//
// One entry is a Header call followed by a Message call on the same thread.
// The line lock is held from the start of the header to the end of the
// message, so entries of different threads never interleave; nothing else
// may be traced or locked between the two calls.
//
//     TRACE_HEADER(151, "CModuleHeap::CModuleHeap");
//     TRACE_MESSAGE("%s failed", "HeapCreate");
#pragma once

#include <cstdarg>

#include "sharedcode/critsec.h"
#include "sharedcode/wintypes.h"

// The call site's source file goes into the header.
#define TRACE_HEADER(dwLine, szFunction) ::CRVN::Tracing::Instance().Header(__FILE__, (dwLine), (szFunction))
#define TRACE_MESSAGE(...) ::CRVN::Tracing::Instance().Message(__VA_ARGS__)

namespace CRVN {

class Tracing {
public:
    // Header parts.
    static constexpr DWORD kFile = 0x001;      // source file name
    static constexpr DWORD kLine = 0x002;      // "(%u): ", only with kFile
    static constexpr DWORD kTime = 0x004;      // "%02u:%02u:%02u.%03u " local time
    static constexpr DWORD kThread = 0x010;    // "TID(%04xh) "
    static constexpr DWORD kFunction = 0x040;  // function name and " "
    static constexpr DWORD kFullPath = 0x080;  // the whole path of the source file, not its base name
    static constexpr DWORD kModule = 0x100;    // own module name, then "!" before a function name, else " "
    static constexpr DWORD kDefaultFlags = kFile | kLine | kTime | kThread | kFunction | kModule;  // 0x157

    static constexpr size_t kcchHeader = 4096;
    static constexpr size_t kcchScratch = 1024;
    static constexpr size_t kcchMessage = 4096;
    static constexpr size_t kcchModule = 264;

    typedef BOOL (*PFNDEBUGGERPRESENT)();
    typedef void (*PFNOUTPUT)(const char* sz);

    // The process-wide instance, made on first use.
    static Tracing& Instance();

    Tracing();
    virtual ~Tracing();

    Tracing(const Tracing&) = delete;
    Tracing& operator=(const Tracing&) = delete;

    // Writes the header of one entry for the call site's source file, line
    // and function (which may be null), and keeps the line lock until the
    // entry's Message. Without a debugger it does nothing.
    void Header(const char* szFile, DWORD dwLine, const char* szFunction);

    // Writes the entry's message, printf-style, cut at 4095 characters (a
    // cut message loses its line feed); a null format writes "<NULL>\n".
    // Leaves the line lock if this thread's Header took it.
    void Message(const char* szFormat, ...) CRVN_PRINTF_FORMAT(2, 3);
    void MessageV(const char* szFormat, va_list args);

    DWORD Flags() const { return m_dwFlags; }

    // For tests: replaces the debugger test and the debug-output channel.
    // Call it while nothing is traced through this instance.
    void SetChannel(PFNDEBUGGERPRESENT pfnDebuggerPresent, PFNOUTPUT pfnOutput);

private:
    void AppendPiece(const char* szPiece);
    void AppendFormatted(const char* szFormat, ...) CRVN_PRINTF_FORMAT(2, 3);
    void FindModuleName();

    DWORD m_dwFlags;
    CriticalSection m_lineLock;
    PFNDEBUGGERPRESENT m_pfnDebuggerPresent;
    PFNOUTPUT m_pfnOutput;
    // Touched only while the line lock is held.
    char m_szHeader[kcchHeader];
    char m_szScratch[kcchScratch];
    char m_szMessage[kcchMessage];
    char m_szModule[kcchModule];  // empty until the own module was found
};

}  // namespace CRVN
