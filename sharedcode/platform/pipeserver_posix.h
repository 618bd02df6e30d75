// POSIX side of platform/pipeserver.h: what an accepted connection is, for
// pipeserver_posix.cpp and for test services that write bytes past the
// framing (a length that lies, a frame cut short).
#pragma once

#include "sharedcode/platform/pipeserver.h"

namespace plat {

struct PipeConnection {
    int fd = -1;  // the accepted stream socket
};

}  // namespace plat
