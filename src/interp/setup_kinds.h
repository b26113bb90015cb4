// Set-up of each interpreter kind: the opener makes a record (new_tq_interpreter), sets
// a_type and the fields that kind reads, and calls setup_i, which opens the kind's streams,
// names the input source, chooses the thread mode and registers the record.
//
// Results: the id, or before registration SETUP_OPEN_FAILED (stdio, file), SETUP_DESC_FAILED,
// SETUP_LISTEN_FAILED (accept, ipc), SETUP_CONNECT_FAILED, SETUP_HELD_BACK (connect to a host
// the blacklist holds back), SETUP_NO_THREAD (the pool could not give the interpreter its
// threads; errno from reserve_task) -- the streams in the record and the record are then
// released -- or what setup_tq_interpreter returns. errno is kept from the failing open; a file kind whose
// output or error file is its input file (a regular file, under any name) is refused with
// SETUP_OPEN_FAILED and EINVAL before either is opened. On
// SETUP_MAIN_CLOSED nothing is released: the record, with the streams in it, stays the
// caller's, which releases it with release_unregistered.
#pragma once
#include "interp/interpreter.h"
#include "platform/access_rules.h"

namespace tq {

// A kind of 0 or above 8 ends the process ("setup_accept(1)").
int setup_i(TQ_INTERPRETER* tqi);

// The cause of a SETUP_NO_THREAD that words give with their error: "no thread: " and the
// name of errno err ("no thread: EAGAIN" under a thread limit, "no thread: ENOMEM" short of
// address space), in buf.
inline constexpr int kNoThreadCauseSize = 48;
void no_thread_cause(char (&buf)[kNoThreadCauseSize], int err);

// Releases a record that was never registered: closes the streams it holds (the standard
// streams stay open) and frees it. A caller that gave the record streams it keeps (the
// pipe kind's) takes them out of the record first.
void release_unregistered(TQ_INTERPRETER* tqi);

// Binds a new self-kind interpreter to the calling thread (what every thread of the runtime
// that evaluates language code has): its id. close_self_interpreter undoes it.
int setup_self_interpreter();

// The proxy and server-information layer's part in the connect kind, installed at that
// layer's start-up (before it: every host is reached directly and nothing is reported).
// The route to host (null when the record has only an address): 1 directly, 2 the language
// over HTTP, 4 through the HTTP proxy, whose name (a debug-heap copy the caller frees) and
// port go to *proxy_server and *proxy_port when those are given.
extern int (*connect_route_hook)(const char* host, char** proxy_server, int* proxy_port);
// A server connected to: its name (or null) and address, host order.
extern void (*server_reached_hook)(const char* host, uint32_t ip);
// A connection's measured input throughput (bytes per second) for the server at ip, host order.
extern void (*server_thput_hook)(uint32_t ip, int thput);
// The opener of the language-over-HTTP client (routes 2 and 4), installed by that client's
// start-up (before it those routes fail as a connect does): a stream to host (else ip, host
// order) and port, through the HTTP proxy when proxy_server is given; null with *cerr.
extern STREAM* (*connect_protocol_hook)(int* cerr, const char* host, uint32_t ip, uint16_t port,
                                        const char* proxy_server, uint16_t proxy_port);

// The connect kind's functions for the host blacklist (retry probes a held-back host).
int _setup_i_connect_retry(BLACKLIST* entry, BL_CMD* command);
int _setup_i_connect_proc(BLACKLIST* entry, BL_CMD* command);

}  // namespace tq
