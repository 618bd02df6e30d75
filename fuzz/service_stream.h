// Shared by the fuzz targets that play the service: its stream goes into one
// end of a socket pair, and the pipe layer gets the other end for the
// thread's next connection, so the real receive code reads it.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "VGClient/VAVarive32.h"
#include "sharedcode/platform/pipe_testhook.h"

inline void Check(bool f) {
    if (!f) std::abort();
}

const VGSESSIONID kFuzzSession = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

// No registry and no pipe folder: only a handed-over stream answers. (Each
// target is one file, which includes this header once.)
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("VIGILON_REGISTRY", "/nonexistent/registry.reg", 1);
    ::setenv("VIGILON_PIPE_DIR", "/nonexistent", 1);
    return 0;
}

// Writes the whole stream ahead and closes the service's end; false when it
// does not fit the socket's buffer.
inline bool HandOverStream(const uint8_t* pb, size_t cb) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    const bool ok = ::send(sv[1], pb, cb, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(cb);
    ::close(sv[1]);
    if (!ok) {
        ::close(sv[0]);
        return false;
    }
    plat::AdoptPipeConnection(sv[0]);
    return true;
}
