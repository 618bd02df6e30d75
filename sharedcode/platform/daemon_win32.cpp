// Win32 side of platform/daemon.h. A console process: Ctrl+C and Ctrl+Break
// stop it; running under the service control manager comes later.
#include <windows.h>

#include "sharedcode/platform/daemon.h"

namespace plat {
namespace {

HANDLE StopEvent() {
    static HANDLE h = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return h;
}

BOOL WINAPI OnConsoleControl(DWORD dwType) {
    if (dwType != CTRL_C_EVENT && dwType != CTRL_BREAK_EVENT && dwType != CTRL_CLOSE_EVENT) return FALSE;
    ::SetEvent(StopEvent());
    return TRUE;
}

}  // namespace

BOOL SetEnvironmentVariableA(const char* szName, const char* szValue) {
    return ::SetEnvironmentVariableA(szName, szValue);
}

BOOL HoldServiceSignals() { return StopEvent() && ::SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

ServiceSignal WaitServiceSignal(DWORD dwMilliseconds) {
    return ::WaitForSingleObject(StopEvent(), dwMilliseconds) == WAIT_OBJECT_0 ? kServiceSignalStop
                                                                             : kServiceSignalNone;
}

}  // namespace plat
