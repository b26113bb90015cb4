// Native-protocol sessions, the "tqp" row of the session switch: lists of forms run on a
// remote server over the system's own text connection (a connect-kind interpreter whose
// replies come back as (Result seq value)). On the server, named agents serve requests; a
// connection first selects its agent with SetAgent. Per client process this keeps
//  - sessions (CON_SESSION): what callers opened through the switch, each with a login
//    mode, a working path on its server and a lock that serialises its requests;
//  - servers (CON_SERVER): one per proto, server and port, shared by the sessions that use
//    it, with a spare connection;
//  - agents (CON_AGENT): one per agent name on a server, each with its connection, a
//    reader/writer lock (requests read, a reconnection writes) and the prefix table the
//    server reported (GetPrefixMode).
// A request names its agent or lets the extension of the URL's resource choose it. Requests
// are retried on connection errors, and the result of the last form is a delayed value that
// retries by itself when it turns out to be one. A 10-second tick prunes servers no session
// uses and drops connections of stalled connection attempts; a task settles each new
// connection's time-out.
//
// Invariants: session_lock guards every list and record here (and the session layer's
// switch and hooks); it is never held while a form is sent or a reply awaited, and it is
// taken before tqi_lock. A session with delayed results outstanding (access_cnt > 0) is
// only marked closed, and freed when its last one is done (or, when a request runs on it
// then, at that request's end: its lock is held across waits on the peer, a hand-made lock
// of platform/rules.h); a server record is freed only
// with no session attached, so the agents of a request's server live as long as the request.
// session_list is changed, and hook data replaced, with tqi_lock held as well, so that the
// collector (which holds tqi_lock) can mark the sessions' initial forms.
#pragma once
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "platform/lock.h"
#include "remote/session.h"
#include "util/url.h"

namespace tq {

struct CON_SESSION;
struct CON_SERVER;
struct CON_AGENT;

// The per-session hooks of initial forms and the native proxy (remote/initial_forms.h).
using PRE_FUNC = TQ_SEXP* (*)(CON_SESSION* ses, CON_AGENT* a, int proxy_ses);  // forms to send first, or nil
using PRE_PROXY = TQ_SEXP* (*)(CON_SESSION* ses, int unused);  // one form for the proxy set-up, or nil
using PRE_GC = void (*)(void* work);    // marks the hook data (during a collection)
using PRE_FREE = void (*)(void* work);  // releases the hook data

// CON_SESSION.flags
enum : int {
  CS_CLOSED = 0x1,       // closed: freed when access_cnt reaches 0
  CS_PROXY_SENT = 0x2,   // its mirror exists on the native proxy
};

struct CON_SESSION {
  CON_SESSION* next;       // session_list
  int type;                // the switch's open_opt (only 1 is served)
  int id;                  // unique among live sessions
  L_CHAR* login_mode;      // sent with SetAgent; "user" at creation (debug heap)
  L_CHAR* working_path;    // current path on the server; null until the first request
  CON_SERVER* server;      // the server it is attached to, or null
  CON_SESSION* sl_next;    // the server's session chain
  int lock;                // 1 while a request runs (until _remote_session returns)
  const char* lock_file;   // the holder (diagnostics)
  int lock_line;
  int lock_task;
  int flags;               // CS_*
  int access_cnt;          // delayed results outstanding
  PRE_FUNC pre_func;
  PRE_PROXY pre_proxy;
  PRE_GC pre_gc;
  PRE_FREE pre_free;
  void* pre_work;
};

struct CON_SERVER {
  CON_SERVER* next;        // server_list
  CON_AGENT* agent;        // newest first
  URL url;                 // private copy of the URL that made it
  CON_SESSION* session;    // attached sessions, by sl_next
  int ac;                  // attach count: 10 at creation, +1 per attach, x2/3 per pruning
  int iid;                 // spare connection, 0 if none
  int direct_session_id;   // 0 here; a record with another value is never found
  uint32_t setup_i_time;   // start (tick clock) of a connection attempt in progress, else 0
};

// CON_AGENT.timeout before it is settled.
enum : int { AT_NEVER = -4, AT_CONNECTING = -3, AT_UNSETTLED = -2 };

struct CON_PREFIX {
  CON_PREFIX* next;
  L_CHAR* name;  // a resource name's tail from its last point, the point included
  L_CHAR* cmd;   // the command served
};
struct CON_AGENT_INITIAL {
  CON_AGENT_INITIAL* next;
  int ses;  // a session id whose initial forms this connection has received
};

struct CON_AGENT {
  CON_AGENT* next;
  L_CHAR* name;    // SetAgent sends the part before the first '#'
  int iid;         // connection, 0 if none
  int timeout;     // AT_* or the settled connection time-out (-1 none)
  CON_SERVER* server;
  CON_PREFIX* prefix;  // newest first
  L_CHAR* login_mode;  // not used (null)
  int lock;            // 0 free, n > 0 readers, -1 a writer
  CON_AGENT_INITIAL* initial_list;
};

extern SEM session_lock;
extern CON_SESSION* session_list;  // newest first
extern CON_SERVER* server_list;    // newest first
extern int session_id;             // next id to try
// Pauses of connect_server between attempts (2 s of the tick clock each), for tests.
extern int connect_pauses;

int init_session_tqp();  // the lock, the 10-second tick, the agent time-out task
// Reads a peer's GetVersion reply into a new record, or null: the word library's reader of
// the list form, installed by its registrar (until then no record is made).
extern VERSION* (*convert_to_version_hook)(TQ_SEXP* list);

// The row's functions. open_session_tqp runs with session_lock held: a new session's id,
// or -1 for a type other than 1.
int open_session_tqp(int type);
void close_session_tqp(int id);
TQ_SEXP* remote_session_tqp(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                            const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                            REMOTE_SESSION_OPT* opt);
VERSION* get_remote_version_tqp(int id, URL* u, const char* layer);

// One request on session id: the forms of cmd after the session's initial forms, on the
// connection of the agent named (or found by the resource's prefix). The reply of the last
// form, as a delayed value when it is one; errors have site "RemoteSession", position
// (f, ln). ignore_close_flag lets a retry run on a session marked closed; proxy_ses is the
// client session a native-proxy request stands for (0 otherwise).
TQ_SEXP* _remote_session(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                         const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                         int ignore_close_flag, int proxy_ses, REMOTE_SESSION_OPT* opt);

// The delayed result's evaluation and check functions, and the collector's give-back of an
// unreached one (scheduled at once by the sweep; data: the session id).
TQ_SEXP* remote_session_delay(TQ_SEXP* s);
int check_remote_session_delay(DELAY_FUNC* resp, int key);
void remote_session_tick(void* session_id);
// Aborts the wait of a delayed cell; a session result is then not retried.
int aboat_session(TQ_SEXP* s);

// Record helpers (session_lock held).
CON_SESSION* _search_con_session(int id);
// Closes session id once its delayed results are done; waits for its running request.
void _close_session(int id);
void _atouch_server(CON_SESSION* ses, CON_SERVER* sv);
void _detouch_server(CON_SESSION* ses);
CON_SERVER* _new_con_server(const URL* u, CON_SESSION* ses);
CON_SERVER* _search_con_server(const URL* u);
void _free_con_server(CON_SERVER* sv);
CON_AGENT* _new_con_agent(CON_SERVER* sv, const L_CHAR* name, int iid);
CON_AGENT* _search_con_agent(CON_SERVER* sv, const L_CHAR* name);
CON_AGENT* _search_con_agent_idle(CON_SERVER* sv);
CON_AGENT* _search_con_agent_by_prefix(CON_SERVER* sv, const L_CHAR* pref, const L_CHAR* cmd);
void _new_con_prefix(CON_AGENT* a, const L_CHAR* pref, const L_CHAR* cmd);
void _insert_con_agent_initial(CON_AGENT* a, int ses);
int _search_con_agent_initial(CON_AGENT* a, int ses);  // 1 when listed
void _free_con_agent_initial_one(CON_AGENT* a, int ses);
// Sleeps on key giving up session_lock (held), and takes it again.
void session_sleep(const void* key);

// The agent's reader/writer lock (each takes session_lock itself); an unlock of a lock not
// held in that mode ends the process.
void read_lock_agent(CON_AGENT* a);
void read_unlock_agent(CON_AGENT* a);
void write_lock_agent(CON_AGENT* a);
void write_unlock_agent(CON_AGENT* a);

// Whether error e of a request on an agent's connection means the connection was lost (to
// be dropped, and the request tried again on a new one): codes 0x8004051d and 0x80040a12,
// unless the calling thread has no interpreter of its own, which no connection can mend.
bool lost_connection(const TQ_SEXP* e);

// Connections (remote/session_agent.cpp).
// A new connection to u's server: its interpreter id, or a negative set-up result after up
// to 3 attempts 2 s apart (Busy, Denied and no thread are not retried; errno kept).
int connect_server(TQISP_ENV* env, CON_SERVER* sv, const URL* u);
// Makes sure agent a has a live connection that accepted SetAgent: 0, or an error cell.
TQ_SEXP* connect_agent(TQISP_ENV* env, CON_AGENT* a, const L_CHAR* login_mode, TQ_FILE* f, int ln);
// The agent serving u's resource prefix for command cmd, asking the server when needed;
// null with *err an error cell or null.
CON_AGENT* get_agent(TQ_SEXP** err, TQISP_ENV* env, CON_SERVER* sv, const URL* u, const L_CHAR* cmd);
// Asks connection iid which agents serve pref and records them: 0, or -1.
int get_prefix_mode(CON_SERVER* sv, int iid, TQISP_ENV* env, const L_CHAR* pref);
void call_timeout(int iid);
void agent_timeout_task(void* data);
void session_tick(void* data);
// Wakes the agent time-out task (session_lock held).
void _wakeup_agent_timeout();
// The collector's pass over the sessions' hook data (tqi_lock held).
void gc_con_sessions();
// The collector's sweep over the session results still counted: each it did not reach gives
// its count back (remote_session_tick, at once).
void sp_gc_con_sessions();

}  // namespace tq
