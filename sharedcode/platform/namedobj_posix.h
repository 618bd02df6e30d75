// POSIX side of the platform layer only: the names and errors of named
// objects, shared by the mutexes and mappings and by the events.
#pragma once

#include <string>

#include "sharedcode/wintypes.h"

namespace plat {
namespace namedobj_posix {

// "/" + the UTF-8 name with '/', '\' and '%' percent-encoded. False with the
// last error set when the name cannot be converted or is too long.
bool PosixName(const wchar_t* wszName, std::string& out);

// A named object's errno: a name the system refuses is an invalid name, and
// a shared-memory object that cannot grow is out of memory.
DWORD ErrorFromErrno(int e);

}  // namespace namedobj_posix
}  // namespace plat
