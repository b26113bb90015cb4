// TCP over IPv4 at the descriptor level: a listening socket on the first free port of a
// range, accepting one connection, and an outgoing connection with a deadline, retries and
// the fork lock. The stream layer wraps these descriptors as streams of the accept and
// file classes (stream/socket_stream.h); it installs the two hooks below at start-up.
#pragma once
#include <cstdint>

namespace tq {

union STREAM;

// One accepted connection: made by accept_connection, released by close_key.
struct ACCESS_KEY {
  STREAM* s;    // the new file stream
  uint32_t ip;  // the peer's IPv4 address, host order
  void* work;   // the caller's; 0 when made
};

// Called with 0 before the first connect attempt and with 1 when the attempts end.
using CONNECT_NOTIFY = void (*)(int phase, void* work);

// Seconds after which a connection that has not come about fails with ETIMEDOUT (240),
// and after which one connect call that has not finished is broken (480). Tests shorten
// them.
extern int connect_deadline;
extern int connect_break;

// Installed by the stream layer: nonzero once network streams are shutting down (no new
// socket is made then); and a call that releases unreferenced streams, tried once per
// operation when descriptors have run out.
extern int (*socket_refused_hook)();
extern void (*socket_release_hook)();
// Called by a connect once its socket is registered for a break and before it connects:
// a test's seam into that moment.
extern void (*connect_registered_hook)();

// Creates netutils_lock and the resolver's locks (start-up).
void init_netutils();

// Clears O_NONBLOCK and no other status flag; 0 or -1.
int set_blocking(int fd);
// Sends small writes at once (TCP_NODELAY): the protocols on these sockets write a message
// in a few pieces and wait for the answer, which a delayed acknowledgment would hold back
// by a whole timer period. 0 or -1.
int set_nodelay(int fd);

// A listening socket (backlog 5, SO_REUSEADDR) bound to 0.0.0.0 on the first of the ports
// base_port .. base_port+limit-1 that binds; *open_port gets the port. The socket is
// non-blocking, so that accepting never blocks outside a wait that a close can break.
// -1 with errno when none binds or a call fails.
int listen_socket(int* open_port, int base_port, int limit);

// accept on a listening socket: the new descriptor (peer address in *peer_ip, host
// order), or -1 with errno (EAGAIN when no connection is pending).
int do_accept(int fd, uint32_t* peer_ip);

// A connected descriptor (blocking) to hostname when given, else to the address ip (host
// order), port `port`; or -1 with the error number in *cerr: ETIMEDOUT once
// connect_deadline has passed, ECONNREFUSED at once when nobody listens, ESHUTDOWN once
// network streams are shutting down, or the error of the failing call. While one connect
// runs, the thread holds the fork lock's read side; a fork meanwhile, or a throw_signal to
// the thread, makes it start again on a new socket.
// Diagnostics of a failed lookup, socket or bind go to standard error.
int connect_socket(int* cerr, const char* hostname, uint32_t ip, int port, CONNECT_NOTIFY func, void* work);

}  // namespace tq
