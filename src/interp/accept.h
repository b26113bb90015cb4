// The accept thread of a listening interpreter: one thread at a time waits in accept; each
// connection is handled by the thread that took it, after it has started its successor.
// With no thread to spare, the accepting thread hands the connection over to wait for its
// first byte elsewhere and accepts the next at once, so a peer that sends nothing never
// holds up the listener. Connections are refused Busy when descriptors or threads run
// short and Denied when no permission list admits the peer; a line end as first byte
// starts a text connection (a connect-kind interpreter), anything else belongs to the
// protocol server of the HTTP side.
#pragma once
#include <atomic>

#include "interp/interpreter.h"
#include "platform/socket.h"

namespace tq {

inline constexpr unsigned kAcceptIntervalMin = 10;   // seconds for a first byte
inline constexpr unsigned kAcceptIntervalMax = 120;

void _accept_thread(void* listener);  // task body, priority 1
// A connect-kind interpreter on an admitted stream (a copy of the listener's record):
// the set-up writes "\n", then "&cx%x;\n<Permission>Allow</Permission>\n" follows. The id or
// a set-up result; SETUP_BUSY when its two threads could not be reserved: the stream was
// answered "<Permission>Busy</Permission>\n" and closed, and a line on standard error says so.
int launch_accept_thread(STREAM* stream, uint32_t ip, TQ_INTERPRETER* listener, PERMISSION_LIST* list);
void accept_thread_tick(void* stream);  // closes a connection whose first byte is late
// The operator's line on standard error for a connection (a text connection or a new HTTP
// session) refused because no thread could be had for it; ip in host order, err the errno
// of the refused reservation. The line names the cause: "no memory for its threads" when
// the address space has no room for a thread's stack and the headroom past it, "thread
// limit reached" when it has (the system's limit on threads refused), else the error.
void report_no_threads(uint32_t ip, int err);
// Refuses a connection no thread could be had for (err: why): the operator's line, then
// "<Permission>Busy</Permission>\n" written and the stream closed.
void refuse_no_threads(STREAM* s, uint32_t ip, int err);
// Starts the interpreter of an admitted stream (a text connection, or the interpreter's end
// of a new protocol session) for listener id, looked up under tqi_lock:
// | state                                         | answer     | stream                  |
// |-----------------------------------------------|------------|-------------------------|
// | 40/64 of the descriptors or more are open     | SETUP_BUSY | Busy written, closed    |
// | its two threads cannot be reserved            | SETUP_BUSY | Busy written, closed,   |
// |                                               |            | the operator's line     |
// | the listener is gone (list is not one of the  | -1         | closed                  |
// | lists of whatever now holds its id)           |            |                         |
// | otherwise                                     | the new id | the interpreter's       |
int admit_connection(STREAM* stream, uint32_t ip, unsigned listener, PERMISSION_LIST* list);

// The protocol server's entry for a connection whose first byte is not a line end (pushed
// back), set by its start-up: 0 the server has taken the connection, -1 the caller closes
// it. Unset, such a connection is closed.
extern int (*http_accept_hook)(ACCESS_KEY* key, unsigned listener, PERMISSION_LIST* list);
// Where a connection waits for its first byte when the listener has no thread for it, set
// by the protocol server's start-up (its keep-alive connections wait there too): 0 when it
// took the stream, which then waits without a thread until it is readable and is served by
// serve_parked_connection, or is closed once `limit` seconds have passed; -1 otherwise.
// Unset (or -1), such a connection is answered Busy at once.
extern int (*park_first_byte_hook)(STREAM* s, uint32_t ip, unsigned listener, PERMISSION_LIST* list,
                                   unsigned limit);
// Serves a parked connection that has become readable: its first byte (read within the
// listener's accept interval) decides, as for a connection handled at once.
void serve_parked_connection(STREAM* s, uint32_t ip, unsigned listener, PERMISSION_LIST* list);

// The rules of accept_interval, as pure steps: after a connection whose first byte took dt
// seconds (now: tick seconds), and after a first byte that never came.
void accept_interval_after_byte(TQ_INTERPRETER* listener, unsigned dt, unsigned now);
void accept_interval_after_miss(TQ_INTERPRETER* listener, unsigned now);

// Pause after an accept that failed for lack of descriptors or memory, in seconds (of the
// tick layer's clock); pauses taken so far, for diagnostics (tqi_lock).
inline constexpr int kAcceptRetryPause = 1;
extern int accept_pauses;  // raised under tqi_lock (tick_sleep); tests read it under that lock

}  // namespace tq
