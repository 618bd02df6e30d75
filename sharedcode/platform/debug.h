// Platform layer: the debugger's output channel and the local clock.
//
// Shaped after IsDebuggerPresent, OutputDebugStringA and GetLocalTime.
//
// POSIX: a debugger is a tracer of the process (TracerPid in
// /proc/self/status is not 0), and debug output goes to stderr, only while
// such a tracer is attached.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// IsDebuggerPresent: non-zero while a debugger is attached to the process.
BOOL IsDebuggerPresent();

// OutputDebugStringA: hands a NUL-terminated text to the attached debugger;
// without one nothing visible happens. A null text is ignored.
void OutputDebugStringA(const char* sz);

// The time-of-day fields of GetLocalTime's SYSTEMTIME.
struct LocalTime {
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
void GetLocalTime(LocalTime* pTime);

}  // namespace plat
