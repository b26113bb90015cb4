// Sockets as streams: the accept class 'a' (a listening socket), accepted and outgoing
// connections as file-class streams of type 4, and outgoing connections through the host
// blacklist. The descriptor work is the platform layer's (platform/socket.h).
#pragma once
#include "platform/socket.h"
#include "stream/stream.h"

namespace tq {

extern S_TABLE s_accept_table;

// Registers the accept class and installs the platform socket hooks (shutdown test,
// stream collector). Start-up, after init_stream.
void init_socket_stream();

// A listening stream on the first free port of base_port .. base_port+limit-1 (*open_port
// gets it), or null; null also once network streams are shutting down.
STREAM* init_server(int* open_port, int base_port, int limit);
// The next connection on the listening stream sd, or null: sd is not a live accept
// stream, network streams are shutting down, accept failed, or sd was closed meanwhile
// (closing sd ends a wait here). errno tells why (EMFILE when descriptors ran out even
// after the collector hook ran once).
ACCESS_KEY* accept_connection(STREAM* sd);
// Queues the key's stream for close and frees the key.
void close_key(ACCESS_KEY* key);
int s_close_accept(STREAM* s);

// A file stream connected to hostname (when given) or to ip (host order), port `port`;
// null with the error number in *cerr (see connect_socket).
STREAM* new_connection(int* cerr, const char* hostname, uint32_t ip, int port, CONNECT_NOTIFY func, void* work);
// new_connection through the host blacklist: a failing host gives null at once, leaving
// *cerr unchanged; only a connection that runs out of time makes a host failing.
STREAM* bl_new_connection(int* cerr, const char* hostname, uint32_t ip, int port, CONNECT_NOTIFY func,
                          void* work);

// Encrypted streams are not provided: ends the process with "s_bio_new not implemented.".
[[noreturn]] STREAM* s_bio_new();

}  // namespace tq
