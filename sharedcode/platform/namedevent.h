// Platform layer: named events, as the screening service creates them for a
// wake-up signal.
//
// Shaped after OpenEventA, CreateEventA, SetEvent, WaitForSingleObject and
// CloseHandle. Failures set the last error.
//
// POSIX: a named semaphore under the name a named object of namedobj.h
// would have; setting posts it. Its permissions follow the security
// attributes as those of a named object do.
#pragma once

#include "sharedcode/platform/namedobj.h"
#include "sharedcode/wintypes.h"

namespace plat {

struct EventObject;
typedef EventObject* HEVENT;

// OpenEventA(EVENT_ALL_ACCESS, FALSE, szName): an existing event only; a
// missing one fails with ERROR_FILE_NOT_FOUND.
HEVENT OpenEventA(const char* szName);
// CreateEventA(psa, FALSE (auto-reset), FALSE, szName): creates or opens.
HEVENT CreateEventA(const SecurityAttributesStorage* psa, const char* szName);
BOOL SetEvent(HEVENT hEvent);
// WaitForSingleObject on an event: kWaitObject0, kWaitTimeout or kWaitFailed.
DWORD WaitForEvent(HEVENT hEvent, DWORD dwMilliseconds);
// CloseHandle on an event.
BOOL CloseEvent(HEVENT hEvent);
// Removes the event's name (POSIX only: Windows objects go with their last
// handle); for tests and the service's shutdown.
void UnlinkEventA(const char* szName);

}  // namespace plat
