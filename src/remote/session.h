// The session switch: the one door through which the rest of the system talks to a
// remote server named by a URL. A caller opens a session descriptor (open_session), issues
// requests on it (remote_session), each naming a URL and a list of forms to run there, and
// closes it (close_session). The URL's protocol picks a row of session_sw_table; each
// descriptor opens one protocol-level session per row, on that row's first request, and
// hands every request to the row. The switch also caches the version records servers
// report (get_remote_version).
//
// session_lock (session_tqp.h) guards the descriptors, their lists, the id counter and the
// version cache; a row's open runs under it, its session, close and version query without.
#pragma once
#include "lang/env.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "util/url.h"
#include "util/version.h"

namespace tq {

// Options of one request.
struct REMOTE_SESSION_OPT {
  int timeout_count;  // >= 0 replaces the native protocol's retry count; -1 the default
  int return_format;  // 2: an HTTP reply comes back without its content-type head; 0 default
  // Seconds an HTTP reply's head is awaited; 0: the calling thread's (http_reply_wait). A
  // request handed to a worker carries its caller's here, the worker having none of its own.
  int reply_wait;
};

using SESSION_FUNC = TQ_SEXP* (*)(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                                  const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln,
                                  int session_lock_enable, REMOTE_SESSION_OPT* opt);

// One protocol row.
struct SESSION_SW {
  const char* proto;               // compared with the URL's proto, case-sensitively
  int (*open)(int open_opt);       // a protocol-level session id, negative on failure
  void (*close)(int id);
  SESSION_FUNC session;            // runs one request on the protocol-level session id
  VERSION* (*get_remote_version)(int id, URL* u, const char* layer);  // may be null
};
// "tqp" then "http", ended by a row without proto.
extern const SESSION_SW session_sw_table[3];
// The last descriptor id given (session_lock).
extern int session_sw_id;

// One cached server with the version records it reported (newest first).
struct SESSION_REMOTE_VERSION {
  SESSION_REMOTE_VERSION* next;
  URL url;     // a private copy
  VERSION* v;  // records chained by next
};

// Start-up of the session layer: the native sessions (lock, tick, time-out task), then the
// HTTP sessions' queue. The result of the latter.
int init_session();

// A new descriptor; its id (>= 1), never one still open.
int open_session(int open_opt);
// Closes descriptor id and every protocol-level session opened under it; unknown ids do
// nothing.
void close_session(int id);
// The protocol-level session of descriptor id for proto ("tqp" or "http"), opened on first
// use as a request would open it; -1 without such a descriptor, or when it cannot open.
int protocol_session_id(int id, const char* proto);
// Runs the forms cmd at u through descriptor id: the row's result (a delayed value, a
// value, nil or an error cell) or error 0x80040503, site "RemoteSession", position (f, ln),
// data ("invalid session id(session)" id), ("undefined proto(session)"), ("undefined
// server(session)"), ("undefined port(session)"), ("invalid session protocol" proto) or
// ("cannot connect the protocol" proto), checked in that order. agent, login_mode and
// center_cmd may be null.
TQ_SEXP* remote_session(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                        const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                        REMOTE_SESSION_OPT* opt);
// The version record of layer that the server of u reports, asked through descriptor id on
// first use and cached for the life of the process (the cache owns it); null when none.
VERSION* get_remote_version(int id, URL* u, const char* layer);
// Frees the URL and the records of a cache entry (not the entry itself).
void free_remote_version(SESSION_REMOTE_VERSION* rv);
void setup_remote_session_opt(REMOTE_SESSION_OPT* opt);  // -1, 0 and 0

}  // namespace tq
