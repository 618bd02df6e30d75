// POSIX side of platform/pipeserver.h: what an accepted connection is, for
// pipeserver_posix.cpp and for test services that write bytes past the
// framing (a length that lies, a frame cut short).
#pragma once

#include <cstddef>
#include <vector>

#include "sharedcode/platform/pipeserver.h"

namespace plat {

struct PipeConnection {
    int fd = -1;       // the accepted stream socket, blocking
    int msArmed = -1;  // its receive time-out; -1: none
    // Bytes received past the message read last, from aheadPos on.
    std::vector<unsigned char> ahead;
    size_t aheadPos = 0;
};

}  // namespace plat
