// Test hook of the POSIX pipe layer, for tests and fuzzers only: it lets
// them hand the real receive code a stream of their own (one end of a socket
// pair) without a listening service. It lives in the test archive
// (vg_testhooks), never in the shipped library.
#pragma once

namespace plat {

// The calling thread's next connection to any pipe (CallNamedPipeA,
// CreateFileA) uses fd, a connected stream socket, instead of connecting.
// The pipe layer owns fd from then on.
void AdoptPipeConnection(int fd);

}  // namespace plat
