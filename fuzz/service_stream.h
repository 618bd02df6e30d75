// Shared by the fuzz targets that play the service: its stream goes into one
// end of a socket pair, and the pipe layer gets the other end for the
// thread's next connection, so the real receive code reads it.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "VGClient/vgwire.h"
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

// The service's end of a stream handed to the pipe layer: the whole stream
// is written ahead and the end's write side shut, so the client reads it and
// then the end of the stream; the end stays open until the call is done, so
// that the request has somewhere to go. Not ok when the stream does not fit
// the socket's buffer.
class ServiceStream {
public:
    ServiceStream(const uint8_t* pb, size_t cb) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
        if (::send(sv[1], pb, cb, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(cb) ||
            ::shutdown(sv[1], SHUT_WR) != 0) {
            ::close(sv[0]);
            ::close(sv[1]);
            return;
        }
        m_fd = sv[1];
        plat::AdoptPipeConnection(sv[0]);
    }
    ~ServiceStream() {
        if (m_fd >= 0) ::close(m_fd);
    }
    ServiceStream(const ServiceStream&) = delete;
    ServiceStream& operator=(const ServiceStream&) = delete;
    bool Ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
