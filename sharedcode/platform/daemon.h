// Platform layer: what a long-running service process needs of its system
// besides pipes: its environment, stop and reload requests, and the memory
// it uses.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// SetEnvironmentVariableA: sets (or with a null value removes) a variable of
// this process, for the code that reads it later (the pipe folder, the
// registry file).
BOOL SetEnvironmentVariableA(const char* szName, const char* szValue);

// Requests from outside to stop or to re-read the settings.
// POSIX: SIGTERM and SIGINT stop, SIGHUP reloads. Windows: Ctrl+C and
// Ctrl+Break stop; nothing reloads.
enum ServiceSignal { kServiceSignalNone, kServiceSignalStop, kServiceSignalReload };

// Takes the signals away from the default handling, for the calling thread
// and every thread it starts afterwards: call it first thing in main, before
// any thread exists. FALSE with the last error set when that fails.
BOOL HoldServiceSignals();

// Waits up to dwMilliseconds for the next request; kServiceSignalNone when
// none came.
ServiceSignal WaitServiceSignal(DWORD dwMilliseconds);

}  // namespace plat
