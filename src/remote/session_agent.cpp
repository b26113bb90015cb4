// Native-protocol sessions: connections to servers, agents selected with SetAgent, the
// prefix table asked with GetPrefixMode, the settling of a connection's time-out, and the
// 10-second session tick.
#include <climits>
#include <cstdint>

#include "interp/fifo.h"
#include "interp/interpreter.h"
#include "interp/reply.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "remote/query.h"
#include "remote/session_tqp.h"
#include "remote/setagent.h"
#include "stream/stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kConnectAttempts = 3;
constexpr int kConnectPause = 2;            // seconds between attempts
constexpr int kServerConnectTimeout = 30;   // of a new connection, until SetAgent settles it
constexpr int kAgentConnectTimeout = 120;   // after SetAgent, until the server's own is known
constexpr unsigned kStalledConnect = 9;     // seconds after which a connection attempt is stalled
constexpr int kShutdownFlag = 4;

int agent_timeout_key;  // the time-out task sleeps on it

TQ_SEXP* agent_error(TQ_FILE* f, int ln, uint32_t code, const char* text, const URL* u, TQ_SEXP* more) {
  TQ_SEXP* t = n_get_string(text);
  TQ_SEXP* url = get_string(get_url_str2(u));
  TQ_SEXP* data = more ? List(t, url, more, kListEnd) : List(t, url, kListEnd);
  return get_error(f, ln, code, _l_string_2(std_cm, "RemoteSession"), data);
}

// What a failed connection's error names: the set-up's result, or, when no thread could be
// had for it, the cause ("no thread: EAGAIN").
TQ_SEXP* setup_failure(int result, int err) {
  if (result != SETUP_NO_THREAD) return get_integer(result, nullptr);
  char cause[kNoThreadCauseSize];
  no_thread_cause(cause, err);
  return n_get_string(cause);
}

void set_setup_time(CON_SERVER* sv, uint32_t t) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  sv->setup_i_time = t;
}

// Waits kConnectPause seconds of the tick clock.
void pause_connect() {
  int key = 0;
  lock_task(session_lock);
  new_timeout(&key, kConnectPause);
  ++connect_pauses;
  sleep_task(&key, session_lock);
  del_timeout(&key);
}

// (SetAgent name login_mode), name cut at its first '#', the client text as attribute.
TQ_SEXP* setagent_form(const L_CHAR* name, const L_CHAR* login_mode) {
  int n = 0;
  while (name[n] && name[n] != '#') ++n;
  L_CHAR* cut = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + 1)));
  for (int i = 0; i < n; ++i) cut[i] = name[i];
  cut[n] = 0;
  TQ_SEXP* head = n_get_symbol("SetAgent");
  if (setagent_msg && *setagent_msg)
    set_attribute(head, _l_string_2(std_cm, "client"), _l_string_1(std_cm, setagent_msg));
  TQ_SEXP* form = List(head, get_string(cut), get_string(login_mode), kListEnd);
  d_f_ree(cut);
  return form;
}

// The spare connection of sv, taken (0 when none or dead).
int take_spare(CON_SERVER* sv) {
  const int iid = sv->iid;
  sv->iid = 0;
  return iid > 0 && check_iid(unsigned(iid)) ? iid : 0;
}

void set_agent_iid(CON_AGENT* a, int iid) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  a->iid = iid;
}

// Sends SetAgent on the new connection iid of a, with its output held until the reply and
// the form feed after it are through: 0, or the reply's error.
TQ_SEXP* send_setagent(TQISP_ENV* env, CON_AGENT* a, int iid, const L_CHAR* login_mode) {
  const bool held = lock_tqi_out_iid(unsigned(iid)) == 0;
  TQ_SEXP* r = remote_query(iid, env, nullptr, setagent_form(a->name, login_mode));
  if (get_type(r) != kTagError) {
    tqi_page_feed(unsigned(iid));
    if (held) unlock_tqi_out_iid(unsigned(iid));
    set_c_timeout(unsigned(iid), kAgentConnectTimeout);
    {
      ScopedLock l(session_lock, __FILE__, __LINE__);
      while (CON_AGENT_INITIAL* i = a->initial_list) {  // the new connection has received none
        a->initial_list = i->next;
        d_f_ree(i);
      }
    }
    send_code_sync(unsigned(iid));
    return nullptr;
  }
  if (held) unlock_tqi_out_iid(unsigned(iid));
  return r;
}

// The prefix of u's resource: its tail from the last '.', or null.
const L_CHAR* resource_prefix(const URL* u) {
  const L_CHAR* dot = nullptr;
  for (const L_CHAR* p = u->resource; p && *p; ++p)
    if (*p == '.') dot = p;
  return dot;
}

}  // namespace

// ---- connections ----------------------------------------------------------------------------------

int connect_server(TQISP_ENV* env, CON_SERVER* sv, const URL* u) {
  for (int attempt = 1;; ++attempt) {
    TQ_INTERPRETER* t = new_tq_interpreter();
    t->a_type = TQI_CONNECT;
    t->env = env;
    t->port = u->port;
    t->environment = 1;
    t->hostname = ll_copy_str(u->server);
    t->connection_timeout = kServerConnectTimeout;
    if (sv) set_setup_time(sv, tick_now());
    const int r = setup_i(t);
    const int err = errno;
    if (r == SETUP_MAIN_CLOSED) release_unregistered(t);  // left to the caller
    if (sv) set_setup_time(sv, 0);
    // A shortage of threads is not the server's: the request is refused at once.
    if (r >= 0 || r == SETUP_DENIED || r == SETUP_BUSY || r == SETUP_NO_THREAD || attempt == kConnectAttempts ||
        (shutdown_stream_flags & kShutdownFlag)) {
      errno = err;
      return r;
    }
    pause_connect();
  }
}

TQ_SEXP* connect_agent(TQISP_ENV* env, CON_AGENT* a, const L_CHAR* login_mode, TQ_FILE* f, int ln) {
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    if (a->iid && check_iid(unsigned(a->iid))) return nullptr;
  }
  write_lock_agent(a);
  int spare = -1;  // stays -1 when another thread connected meanwhile
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    if (!a->iid || !check_iid(unsigned(a->iid))) spare = take_spare(a->server);
  }
  if (spare < 0) {
    write_unlock_agent(a);
    return nullptr;
  }
  GcFrame frame("connect_agent");
  TQ_SEXP* result = nullptr;
  for (int retry_cnt = 1;;) {
    {
      ScopedLock l(session_lock, __FILE__, __LINE__);
      a->timeout = AT_CONNECTING;
    }
    const int iid = spare ? spare : connect_server(env, a->server, &a->server->url);
    const int err = errno;
    spare = 0;
    if (iid <= 0) {
      set_agent_iid(a, 0);
      result = agent_error(f, ln, ER_STREAM_ACCESS, "cannot access the server", &a->server->url, setup_failure(iid, err));
      break;
    }
    set_agent_iid(a, iid);
    result = send_setagent(env, a, iid, login_mode);
    if (!result) break;
    set_agent_iid(a, 0);
    if (!lost_connection(result)) {
      close_interpreter(unsigned(iid));
      break;
    }
    close_interpreter_nowait(unsigned(iid));  // nothing refers to it any more
    if (--retry_cnt < 0) break;
  }
  write_unlock_agent(a);
  ScopedLock l(session_lock, __FILE__, __LINE__);
  a->timeout = AT_UNSETTLED;
  _wakeup_agent_timeout();
  return frame.release(result);
}

CON_AGENT* get_agent(TQ_SEXP** err, TQISP_ENV* env, CON_SERVER* sv, const URL* u, const L_CHAR* cmd) {
  *err = nullptr;
  const L_CHAR* pref = resource_prefix(u);
  if (!pref) {
    *err = agent_error(nullptr, 0, ER_CANNOT_OPEN, "GET AGENT: invalid prefix (there is no prifix) ", u, nullptr);
    return nullptr;
  }
  int iid = 0;
  for (int pass = 0; pass < 2 && !iid; ++pass) {
    CON_AGENT* idle;
    {
      ScopedLock l(session_lock, __FILE__, __LINE__);
      if (CON_AGENT* a = _search_con_agent_by_prefix(sv, pref, cmd)) return a;
      if ((iid = take_spare(sv)) != 0) break;
      if (!(idle = _search_con_agent_idle(sv))) break;
    }
    read_lock_agent(idle);
    int aiid;
    {
      ScopedLock l(session_lock, __FILE__, __LINE__);
      aiid = idle->iid;
      if (aiid && !check_iid(unsigned(aiid))) idle->iid = aiid = 0;
    }
    const int r = aiid ? get_prefix_mode(sv, aiid, env, pref) : -1;
    read_unlock_agent(idle);
    if (r != 0) break;
  }
  if (!iid && (iid = connect_server(env, sv, u)) < 0) {
    *err = agent_error(nullptr, 0, ER_CANNOT_OPEN, "GET AGENT: cannot connect the server", u, setup_failure(iid, errno));
    return nullptr;
  }
  if (get_prefix_mode(sv, iid, env, pref) != 0) {
    close_interpreter_nowait(unsigned(iid));  // it would be nobody's
    return nullptr;
  }
  CON_AGENT* a;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    if (sv->iid && sv->iid != iid) close_interpreter_nowait(unsigned(sv->iid));
    sv->iid = iid;  // the spare connection, for connect_agent
    a = _search_con_agent_by_prefix(sv, pref, cmd);
  }
  if (!a) *err = agent_error(nullptr, 0, ER_CANNOT_OPEN, "GET AGENT: invalid prefix", u, nullptr);
  return a;
}

int get_prefix_mode(CON_SERVER* sv, int iid, TQISP_ENV* env, const L_CHAR* pref) {
  GcFrame frame("get_prefix_mode");
  TQ_SEXP* r = remote_query(iid, env, nullptr, List(n_get_symbol("GetPrefixMode"), get_string(pref), kListEnd));
  if (get_type(r) == kTagError) return -1;
  for (TQ_SEXP* p = r; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    TQ_SEXP* prefix = get_el(e, 0);
    TQ_SEXP* agent = get_el(e, 1);
    if (get_type(e) != kTagPair || get_type(prefix) != kTagString || get_type(agent) != kTagString) continue;
    for (TQ_SEXP* c = get_el(e, 4); get_type(c) == kTagPair; c = c->pair.cdr) {
      TQ_SEXP* name = c->pair.car;
      if (get_type(name) != kTagString) continue;
      ScopedLock l(session_lock, __FILE__, __LINE__);
      _new_con_prefix(_new_con_agent(sv, agent->string.data, 0), prefix->string.data, name->string.data);
    }
  }
  return 0;
}

// ---- the connection time-out ------------------------------------------------------------------

void _wakeup_agent_timeout() { wakeup_task(&agent_timeout_key); }

void call_timeout(int iid) {
  GcFrame frame("call_timeout");
  TQ_SEXP* r = remote_query(iid, qvlisp_top_env0, _l_string_2(std_cm, "(GetTQIinfo 0)"), nullptr);
  int timeout = kAgentConnectTimeout;
  if (get_type(r) != kTagError) {
    TQ_SEXP* t = get_el(get_el_by_symbol(r, _l_string_2(std_cm, "connection-timeout"), nullptr), 1);
    if (get_type(t) == kTagInteger) {  // a peer's huge value stays the largest time-out
      const int64_t v = t->integer.data;
      timeout = v < 0 ? -1 : v > INT_MAX / 3 ? INT_MAX : int(v * 3);
    }
  }
  ScopedLock l(session_lock, __FILE__, __LINE__);
  set_c_timeout(unsigned(iid), timeout);
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    for (CON_AGENT* a = sv->agent; a; a = a->next)
      if (a->iid == iid && a->timeout == AT_UNSETTLED) a->timeout = timeout;
}

// The first agent whose new connection waits for its time-out (session_lock held), or 0.
int _unsettled_agent() {
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    for (CON_AGENT* a = sv->agent; a; a = a->next)
      if (a->iid > 0 && a->timeout == AT_UNSETTLED) return a->iid;
  return 0;
}

// Runs for the life of the process; it is bound to an interpreter of its own only while it
// has connections to settle.
void agent_timeout_task(void*) {
  bool bound = false;
  for (;;) {
    int iid;
    {
      ScopedLock l(session_lock, __FILE__, __LINE__);
      iid = _unsettled_agent();
      if (!iid && !bound) {
        session_sleep(&agent_timeout_key);
        continue;
      }
    }
    if (!iid) {  // nothing to settle: the interpreter goes before the task sleeps
      close_self_interpreter();
      bound = false;
      continue;
    }
    if (!bound) bound = setup_self_interpreter() > 0;
    call_timeout(iid);
  }
}

// ---- the session tick -----------------------------------------------------------------------------

namespace {

// With more than twice as many servers as sessions, the servers no session uses go, those
// with the fewest attachments first, until twice as many are left (session_lock held).
void _connection_check() {
  int sessions = 0, servers = 0;
  for (CON_SESSION* s = session_list; s; s = s->next) ++sessions;
  for (CON_SERVER* sv = server_list; sv; sv = sv->next) ++servers;
  if (2 * sessions >= servers) return;
  for (int n = servers - 2 * sessions; n > 0; --n) {
    CON_SERVER* low = nullptr;
    for (CON_SERVER* sv = server_list; sv; sv = sv->next)
      if (!sv->session && (!low || sv->ac < low->ac)) low = sv;
    if (!low) break;
    _free_con_server(low);
  }
  for (CON_SERVER* sv = server_list; sv; sv = sv->next) sv->ac = sv->ac * 2 / 3;
}

// Connections of a server whose connection attempt has stalled, and on which no request
// waits, are dropped (session_lock held).
void _drop_stalled() {
  const uint32_t now = tick_now();
  for (CON_SERVER* sv = server_list; sv; sv = sv->next) {
    if (!sv->setup_i_time || now - sv->setup_i_time <= kStalledConnect) continue;
    for (CON_AGENT* a = sv->agent; a; a = a->next) {
      if (a->iid <= 0) continue;
      TQ_INTERPRETER info;
      if (get_tqi_info(&info, unsigned(a->iid)) == 0 && info.result_head) continue;
      const int iid = a->iid;
      a->iid = 0;
      close_interpreter_nowait(unsigned(iid));
    }
  }
}

}  // namespace

void session_tick(void*) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  _connection_check();
  _drop_stalled();
}

}  // namespace tq
