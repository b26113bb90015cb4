// The accept thread of a listening interpreter: one thread at a time waits in accept; each
// connection is handled by the thread that took it, after it has started its successor (with
// no thread to spare, it handles the connection and then accepts the next itself).
// Connections are refused Busy when descriptors run short and Denied when no permission
// list admits the peer; a line end as first byte starts a text connection (a connect-kind
// interpreter), anything else belongs to the protocol server of the HTTP side.
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
// session) refused because no thread could be had for it; ip in host order.
void report_no_threads(uint32_t ip);
// The same start for listener id, looked up under tqi_lock (a listener closed meanwhile
// closes the stream and gives -1).
int launch_accept_thread_id(STREAM* stream, uint32_t ip, unsigned listener, PERMISSION_LIST* list);

// The protocol server's entry for a connection whose first byte is not a line end, set by
// its start-up: 1 a session was opened and *new_st is to be served as a text connection,
// 0 the server has taken the connection, -1 the caller closes it. Unset, such a
// connection is closed.
extern int (*http_accept_hook)(STREAM** new_st, ACCESS_KEY* key, unsigned listener, PERMISSION_LIST* list);

// The rules of accept_interval, as pure steps: after a connection whose first byte took dt
// seconds (now: tick seconds), and after a first byte that never came.
void accept_interval_after_byte(TQ_INTERPRETER* listener, unsigned dt, unsigned now);
void accept_interval_after_miss(TQ_INTERPRETER* listener, unsigned now);

// Pause after an accept that failed for lack of descriptors or memory, in seconds (of the
// tick layer's clock); pauses taken so far, for diagnostics (tqi_lock).
inline constexpr int kAcceptRetryPause = 1;
extern int accept_pauses;  // raised under tqi_lock (tick_sleep); tests read it under that lock

}  // namespace tq
