// What exists from the moment the library is loaded: the configuration lock.
// Everything else process-wide is made on first use (function-local statics)
// and goes at exit in reverse order of creation.
#pragma once

#include "sharedcode/critsec.h"

// Guards the library's cached copy of the service's configuration path.
CriticalSection& VgConfigurationLock();
