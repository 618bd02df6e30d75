#include "VGClient/vglibrary.h"

namespace {

// Built by the library's static initialisation at load: only a critical
// section, nothing that waits, loads a module or starts a thread.
CriticalSection g_csConfiguration;

}  // namespace

CriticalSection& VgConfigurationLock() { return g_csConfiguration; }
