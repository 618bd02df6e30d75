// POSIX side of the platform layer only: what the named objects make of
// security attributes.
#pragma once

#include <sys/types.h>

#include "sharedcode/platform/secdesc.h"

namespace plat {
namespace secdesc_posix {

// The permissions the attributes ask for (see namedobj.h): 0666 for a
// discretionary list that lets everyone read and write, or a null one; 0600
// otherwise.
mode_t ModeFor(const SecurityAttributesStorage* psa);

}  // namespace secdesc_posix
}  // namespace plat
