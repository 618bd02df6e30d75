// Win32 side of platform/debug.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/debug.h"

namespace plat {

BOOL IsDebuggerPresent() { return ::IsDebuggerPresent(); }

void OutputDebugStringA(const char* sz) {
    if (sz) ::OutputDebugStringA(sz);
}

void GetLocalTime(LocalTime* pTime) {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    pTime->wHour = st.wHour;
    pTime->wMinute = st.wMinute;
    pTime->wSecond = st.wSecond;
    pTime->wMilliseconds = st.wMilliseconds;
}

}  // namespace plat
