// Test hook of the POSIX pipe layer, for tests and fuzzers only; the library
// itself never calls it. It lets them hand the real receive code a stream of
// their own (one end of a socket pair) without a listening service. The
// function lives in pipe_posix.cpp beside the state it touches; it is not
// exported from the shared library.
#pragma once

namespace plat {

// The calling thread's next connection to any pipe (CallNamedPipeA,
// CreateFileA) uses fd, a connected stream socket, instead of connecting.
// The pipe layer owns fd from then on.
void AdoptPipeConnection(int fd);

}  // namespace plat
