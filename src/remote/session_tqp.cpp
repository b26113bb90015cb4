// Native-protocol sessions: the session, server and agent records, the agents' lock, one
// request (_remote_session) and its delayed result that retries itself.
#include "remote/session_tqp.h"

#include <climits>

#include "interp/gc_hooks.h"
#include "interp/interpreter.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/url_gc.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "remote/native_proxy.h"
#include "remote/query.h"
#include "stream/format.h"
#include "text/l_string.h"

namespace tq {

SEM session_lock;
CON_SESSION* session_list;
CON_SERVER* server_list;
int session_id = 1;
int connect_pauses;
VERSION* (*convert_to_version_hook)(TQ_SEXP* list);

namespace {

constexpr int kDefaultRetries = 3;        // a request's retries after its first attempt
constexpr int kDefaultDelayRetries = 2;   // a delayed result's further requests
constexpr int kSessionTickSeconds = 10;

bool retry_code(uint32_t code) { return code == ER_INVALID_IID || code == ER_STREAM_ACCESS; }

TQ_RESULT* result_of(TQ_SEXP* s) { return reinterpret_cast<TQ_RESULT*>(s->delay.d.func); }

TQ_SEXP* session_error(TQ_FILE* f, int ln, uint32_t code, TQ_SEXP* data) {
  return get_error(f, ln, code, _l_string_2(std_cm, "RemoteSession"), data);
}

bool same_text(const L_CHAR* a, const L_CHAR* b) { return (!a && !b) || (a && b && l_strcmp(a, b) == 0); }

void replace_text(L_CHAR** field, const L_CHAR* value) {
  L_CHAR* copy = ll_copy_str(value);
  if (*field) d_f_ree(*field);
  *field = copy;
}

void _free_con_agent(CON_AGENT* a) {
  while (CON_PREFIX* p = a->prefix) {
    a->prefix = p->next;
    d_f_ree(p->name);
    d_f_ree(p->cmd);
    d_f_ree(p);
  }
  while (CON_AGENT_INITIAL* i = a->initial_list) {
    a->initial_list = i->next;
    d_f_ree(i);
  }
  d_f_ree(a->name);
  if (a->login_mode) d_f_ree(a->login_mode);
  d_f_ree(a);
}

// Raises the calling task to the interpreter lock's priority for a scope.
class RaisedPriority {
 public:
  RaisedPriority() : old_(push_pri_pctl(&tqi_lock_ctl)) {}
  ~RaisedPriority() { change_pri(0, old_); }

 private:
  int old_;
};

// The private copies of a request's texts.
struct RequestTexts {
  L_CHAR* agent;
  L_CHAR* login_mode;
  L_CHAR* center_cmd;
  RequestTexts(const L_CHAR* a, const L_CHAR* l, const L_CHAR* c)
      : agent(ll_copy_str(a)), login_mode(ll_copy_str(l)), center_cmd(ll_copy_str(c)) {}
  ~RequestTexts() {
    for (L_CHAR* t : {agent, login_mode, center_cmd})
      if (t) d_f_ree(t);
  }
  RequestTexts(const RequestTexts&) = delete;
  RequestTexts& operator=(const RequestTexts&) = delete;
};

// The session results whose count is not given back yet, chained by s_next (tqi_lock).
// Whoever takes one off gives its count back: the reader once it is done (or replaced by
// its retry), or the collector's sweep when nothing refers to it any more, read or not.
TQ_RESULT* session_results;

// A session's delayed result is done (or replaced by its retry): one count given back; a
// closed session whose last result this was goes.
void give_back(int id) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  CON_SESSION* ses = _search_con_session(id);
  if (!ses) return;
  // A request running on the session may wait on its peer: it closes the session at its end
  // instead, so that no giver (the collector's tick among them) waits for a peer.
  if (--ses->access_cnt < 1 && (ses->flags & CS_CLOSED) && !ses->lock) _close_session(id);
}

// Counts a new session result in its session (session_lock and tqi_lock free).
void count_result(CON_SESSION* ses, TQ_RESULT* r) {
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    ++ses->access_cnt;
  }
  TqiLock l;
  r->s_next = session_results;
  session_results = r;
}

// Takes r off the chain (tqi_lock held): whether it was on it.
bool _uncount_result(TQ_RESULT* r) {
  for (TQ_RESULT** p = &session_results; *p; p = &(*p)->s_next)
    if (*p == r) {
      *p = r->s_next;
      r->s_next = nullptr;
      return true;
    }
  return false;
}

// The reader is done with r: its count goes back, once.
void settle(TQ_RESULT* r) {
  bool counted;
  {
    TqiLock l;
    counted = _uncount_result(r);
  }
  if (counted) give_back(r->s_id);
}

int agent_iid(CON_AGENT* a) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  return a->iid;
}

// The agent's connection failed: forgotten, and closed if it still stands.
void drop_agent_connection(CON_AGENT* a, int iid) {
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    if (a->iid == iid) a->iid = 0;
  }
  if (iid > 0) close_interpreter_nowait(unsigned(iid));
}

// Steps of _remote_session that run under session_lock with the session's lock held: the
// URL completed from the session's server, the server found and the working path moved.
// Null, or the error.
TQ_SEXP* _attach(CON_SESSION* ses, URL* u, TQ_FILE* f, int ln, CON_SERVER** svp) {
  if (ses->server) {
    const URL& su = ses->server->url;
    if (!u->proto) u->proto = ll_copy_str(su.proto);
    if (!u->server) u->server = ll_copy_str(su.server);
    if (!u->port) u->port = su.port;
  } else if (!u->proto || !u->server || !u->port) {
    return session_error(f, ln, ER_INVALID_PARAM, list(n_get_string("invalid URL path 1"), get_string(get_url_str2(u)), nullptr));
  }
  CON_SERVER* sv = _new_con_server(u, ses);
  if (sv == ses->server) {
    L_CHAR* wp = compose_path(ses->working_path, u->db);
    if (!wp) return session_error(f, ln, ER_INVALID_PARAM, n_get_string("invalid URL path 3"));
    d_f_ree(ses->working_path);
    ses->working_path = wp;
  } else {
    if (!u->db || u->db[0] != '/') return session_error(f, ln, ER_INVALID_PARAM, n_get_string("invalid URL path 2"));
    replace_text(&ses->working_path, u->db);
  }
  _atouch_server(ses, sv);
  *svp = sv;
  return nullptr;
}

// The initial forms a (new) agent connection owes the session, or nil.
TQ_SEXP* initial_forms(CON_SESSION* ses, CON_AGENT* a, int id, int proxy_ses) {
  PRE_FUNC pre;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    if (_search_con_agent_initial(a, id)) return nullptr;
    _insert_con_agent_initial(a, id);
    pre = ses->pre_func;
  }
  TQ_SEXP* forms = pre ? pre(ses, a, proxy_ses) : nullptr;
  return get_type(forms) == kTagError ? nullptr : forms;
}

enum class SendEnd { kDone, kDelayed, kFailed };

// Sends the forms on the agent's connection in order, waiting for every reply but a delayed
// last one. *ret the last result, *rest the list holding the last form sent, *iid the
// connection it went on. After kDelayed and kFailed the agent's read lock is still held.
SendEnd send_forms(TQ_SEXP** ret, TQ_SEXP** rest, int* iid, TQISP_ENV* env, CON_AGENT* a, TQ_SEXP* forms) {
  for (TQ_SEXP* p = forms; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* form = p->pair.car;
    if (get_type(form) == kTagError) {
      *ret = form;
      return SendEnd::kDone;
    }
    read_lock_agent(a);
    *iid = agent_iid(a);
    *ret = remote_query(*iid, env, nullptr, form);
    *rest = p;
    const bool last = get_type(p->pair.cdr) != kTagPair;
    if (last && *ret && sexp_tag(*ret) == kTagDelay) return SendEnd::kDelayed;
    if (get_type(*ret) == kTagError) return SendEnd::kFailed;
    read_unlock_agent(a);
  }
  return SendEnd::kDone;
}

// Makes the delayed result of the last form a session result (see remote_session_delay).
void keep_for_retry(TQ_SEXP* ret, TQISP_ENV* env, int id, URL* u, const RequestTexts& t, TQ_SEXP* last,
                    TQ_FILE* f, int ln, CON_SESSION* ses, int proxy_ses, REMOTE_SESSION_OPT* opt) {
  TQ_RESULT* r = result_of(ret);
  MemLock m;
  r->aboat_flag = 0;
  r->s_env = env;
  r->s_opt.timeout_count = opt && opt->timeout_count >= 0 ? opt->timeout_count - 1 : kDefaultDelayRetries;
  r->s_opt.return_format = opt ? opt->return_format : 0;
  mcopy_url(&r->s_url, u);
  r->s_agent = copy_cell_text(t.agent);
  r->s_login_mode = copy_cell_text(t.login_mode);
  r->s_center_cmd = copy_cell_text(t.center_cmd);
  r->s_cmd = last;
  r->s_file = f;
  r->s_line = ln;
  r->s_session = ses;
  r->s_proxy_ses = proxy_ses;
  r->h.func = remote_session_delay;
  r->h.check_func = check_remote_session_delay;
  r->s_id = id;  // last: the collector marks the session fields from here on
}

// Steps 6 to 10 of a request, the session's lock held: the agent, the environment's
// SessionPath and SessionResource, the sending with its retries.
TQ_SEXP* run_request(CON_SESSION* ses, CON_SERVER* sv, TQISP_ENV* env, int id, URL* u, URL* given,
                     const RequestTexts& t, TQ_SEXP* cmd, TQ_FILE* f, int ln, int proxy_ses,
                     REMOTE_SESSION_OPT* opt) {
  CON_AGENT* a;
  TQ_SEXP* ret = nullptr;
  if (t.agent) {
    a = _new_con_agent(sv, t.agent, 0);
    unlock_task(session_lock, "_remote_session");
  } else {
    unlock_task(session_lock, "_remote_session");
    a = get_agent(&ret, env, sv, u, t.center_cmd);
    if (!a) return ret ? ret : session_error(f, ln, ER_UNDEFINED_AGENT, n_get_string("undefined agent or invalid prefix"));
  }
  set_env(env, _l_string_2(std_cm, "SessionPath"), get_string(ses->working_path));
  set_env(env, _l_string_2(std_cm, "SessionResource"), get_string(u->resource));
  int retry_cnt = opt && opt->timeout_count >= 0 ? opt->timeout_count : kDefaultRetries;
  for (;;) {
    if (TQ_SEXP* e = connect_agent(env, a, ses->login_mode, f, ln)) return e;
    TQ_SEXP* initial = initial_forms(ses, a, id, proxy_ses);
    TQ_SEXP* forms = initial ? append(initial, cmd) : cmd;
    TQ_SEXP* rest = nullptr;
    int iid = 0;
    switch (send_forms(&ret, &rest, &iid, env, a, forms)) {
      case SendEnd::kDone:
        return ret;
      case SendEnd::kDelayed:
        keep_for_retry(ret, env, id, given, t, rest, f, ln, ses, proxy_ses, opt);
        read_unlock_agent(a);
        count_result(ses, result_of(ret));
        return ret;
      case SendEnd::kFailed:
        break;
    }
    if (!lost_connection(ret)) {
      read_unlock_agent(a);
      return ret;
    }
    drop_agent_connection(a, iid);
    read_unlock_agent(a);
    if (--retry_cnt < 0) return ret;
  }
}

}  // namespace

bool lost_connection(const TQ_SEXP* e) { return retry_code(e->error.code) && get_my_tqi(); }

void session_sleep(const void* key) {
  sleep_task(key, session_lock);
  lock_task(session_lock);
}

// ---- sessions --------------------------------------------------------------------------------

CON_SESSION* _search_con_session(int id) {
  for (CON_SESSION* s = session_list; s; s = s->next)
    if (s->id == id) return s;
  return nullptr;
}

int open_session_tqp(int type) {
  if (type != 1) return -1;  // the server search serves sessions of type 1 only
  auto next = [](int id) { return id >= INT_MAX || id < 1 ? 1 : id + 1; };
  if (session_id < 1) session_id = 1;
  while (_search_con_session(session_id)) session_id = next(session_id);
  auto* s = static_cast<CON_SESSION*>(d_calloc(1, sizeof(CON_SESSION)));
  s->id = session_id;
  s->type = type;
  s->login_mode = nl_copy_str_2(std_cm, "user");
  {
    TqiLock l;  // the collector walks session_list
    s->next = session_list;
    session_list = s;
  }
  session_id = next(session_id);
  return s->id;
}

void _close_session(int id) {
  for (;;) {
    CON_SESSION* ses = _search_con_session(id);
    if (!ses) return;
    if (ses->access_cnt > 0) {
      ses->flags |= CS_CLOSED;
      return;
    }
    if (!ses->lock) break;
    session_sleep(ses);
  }
  CON_SESSION* ses = _search_con_session(id);
  {
    TqiLock l;
    for (CON_SESSION** p = &session_list; *p; p = &(*p)->next)
      if (*p == ses) {
        *p = ses->next;
        break;
      }
  }
  if (ses->pre_free) ses->pre_free(ses->pre_work);
  _detouch_server(ses);
  wakeup_task(ses);  // waiting requests find it gone
  if (ses->working_path) d_f_ree(ses->working_path);
  d_f_ree(ses->login_mode);
  d_f_ree(ses);
}

void close_session_tqp(int id) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  _close_session(id);
}

void _atouch_server(CON_SESSION* ses, CON_SERVER* sv) {
  if (ses->server == sv) return;
  _detouch_server(ses);
  ses->sl_next = sv->session;
  sv->session = ses;
  ses->server = sv;
  ++sv->ac;
}

void _detouch_server(CON_SESSION* ses) {
  if (CON_SERVER* sv = ses->server)
    for (CON_SESSION** p = &sv->session; *p; p = &(*p)->sl_next)
      if (*p == ses) {
        *p = ses->sl_next;
        break;
      }
  ses->server = nullptr;
  ses->sl_next = nullptr;
}

// ---- servers, agents, prefixes ----------------------------------------------------------------

CON_SERVER* _search_con_server(const URL* u) {
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    if (sv->direct_session_id == 0 && same_text(sv->url.proto, u->proto) && same_text(sv->url.server, u->server) &&
        sv->url.port == u->port)
      return sv;
  return nullptr;
}

CON_SERVER* _new_con_server(const URL* u, CON_SESSION*) {
  if (CON_SERVER* sv = _search_con_server(u)) return sv;
  auto* sv = static_cast<CON_SERVER*>(d_calloc(1, sizeof(CON_SERVER)));
  copy_url(&sv->url, u);
  sv->ac = 10;
  sv->next = server_list;
  server_list = sv;
  return sv;
}

// Its agents' connections go with it: nothing can reach them any more.
void _free_con_server(CON_SERVER* sv) {
  for (CON_SERVER** p = &server_list; *p; p = &(*p)->next)
    if (*p == sv) {
      *p = sv->next;
      break;
    }
  while (CON_AGENT* a = sv->agent) {
    sv->agent = a->next;
    if (a->iid > 0) close_interpreter_nowait(unsigned(a->iid));
    _free_con_agent(a);
  }
  if (sv->iid > 0) close_interpreter_nowait(unsigned(sv->iid));
  free_url(&sv->url);
  d_f_ree(sv);
}

CON_AGENT* _search_con_agent(CON_SERVER* sv, const L_CHAR* name) {
  for (CON_AGENT* a = sv->agent; a; a = a->next)
    if (l_strcmp(a->name, name) == 0) return a;
  return nullptr;
}

CON_AGENT* _new_con_agent(CON_SERVER* sv, const L_CHAR* name, int iid) {
  if (CON_AGENT* a = _search_con_agent(sv, name)) return a;
  auto* a = static_cast<CON_AGENT*>(d_calloc(1, sizeof(CON_AGENT)));
  a->name = ll_copy_str(name);
  a->iid = iid;
  a->timeout = AT_NEVER;
  a->server = sv;
  a->next = sv->agent;
  sv->agent = a;
  return a;
}

CON_AGENT* _search_con_agent_idle(CON_SERVER* sv) {
  for (CON_AGENT* a = sv->agent; a; a = a->next)
    if (a->iid && a->lock == 0) return a;
  return nullptr;
}

CON_AGENT* _search_con_agent_by_prefix(CON_SERVER* sv, const L_CHAR* pref, const L_CHAR* cmd) {
  for (CON_AGENT* a = sv->agent; a; a = a->next)
    for (CON_PREFIX* p = a->prefix; p; p = p->next)
      if (same_text(p->name, pref) && same_text(p->cmd, cmd)) return a;
  return nullptr;
}

void _new_con_prefix(CON_AGENT* a, const L_CHAR* pref, const L_CHAR* cmd) {
  for (CON_PREFIX* p = a->prefix; p; p = p->next)
    if (same_text(p->name, pref) && same_text(p->cmd, cmd)) return;
  auto* p = static_cast<CON_PREFIX*>(d_alloc(sizeof(CON_PREFIX)));
  *p = CON_PREFIX{a->prefix, ll_copy_str(pref), ll_copy_str(cmd)};
  a->prefix = p;
}

void _insert_con_agent_initial(CON_AGENT* a, int ses) {
  auto* i = static_cast<CON_AGENT_INITIAL*>(d_alloc(sizeof(CON_AGENT_INITIAL)));
  *i = CON_AGENT_INITIAL{a->initial_list, ses};
  a->initial_list = i;
}

int _search_con_agent_initial(CON_AGENT* a, int ses) {
  for (CON_AGENT_INITIAL* i = a->initial_list; i; i = i->next)
    if (i->ses == ses) return 1;
  return 0;
}

void _free_con_agent_initial_one(CON_AGENT* a, int ses) {
  for (CON_AGENT_INITIAL** p = &a->initial_list; *p; p = &(*p)->next)
    if ((*p)->ses == ses) {
      CON_AGENT_INITIAL* i = *p;
      *p = i->next;
      d_f_ree(i);
      return;
    }
}

// ---- the agents' reader/writer lock --------------------------------------------------------------

void write_lock_agent(CON_AGENT* a) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  while (a->lock != 0) session_sleep(a);
  a->lock = -1;
  hand_lock_taken(HandLock::kAgentToken, &a->lock, __FILE__, __LINE__);
}

void write_unlock_agent(CON_AGENT* a) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  if (a->lock >= 0) er_panic("write_unlock_agent");
  a->lock = 0;
  hand_lock_released(HandLock::kAgentToken, &a->lock);
  wakeup_task(a);
}

void read_lock_agent(CON_AGENT* a) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  while (a->lock < 0) session_sleep(a);
  ++a->lock;
  hand_lock_taken(HandLock::kAgentToken, &a->lock, __FILE__, __LINE__);
}

void read_unlock_agent(CON_AGENT* a) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  if (a->lock < 1) er_panic("read_unlock_agent");
  hand_lock_released(HandLock::kAgentToken, &a->lock);
  if (--a->lock == 0) wakeup_task(a);
}

// ---- requests ----------------------------------------------------------------------------------

TQ_SEXP* _remote_session(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                         const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int, int ignore_close_flag,
                         int proxy_ses, REMOTE_SESSION_OPT* opt) {
  GcFrame frame("_remote_session");
  RequestTexts t(agent, login_mode, center_cmd);
  lock_task(session_lock);
  CON_SESSION* ses;
  for (;;) {
    ses = _search_con_session(id);
    if (!ses) {
      unlock_task(session_lock, "_remote_session");
      return frame.release(session_error(f, ln, ER_INVALID_PARAM,
                                         list(n_get_string("invalid session id"), get_integer(id, nullptr), nullptr)));
    }
    if ((ses->flags & CS_CLOSED) && !ignore_close_flag) {
      unlock_task(session_lock, "_remote_session");
      return frame.release(session_error(f, ln, ER_INVALID_PARAM, n_get_string("invalid session id (closed)")));
    }
    if (!ses->lock) break;
    session_sleep(ses);
  }
  ses->lock = 1;
  ses->lock_file = __FILE__;
  ses->lock_line = __LINE__;
  ses->lock_task = get_tid();
  hand_lock_taken(HandLock::kSession, &ses->lock, __FILE__, __LINE__);
  if (t.login_mode) replace_text(&ses->login_mode, t.login_mode);
  URL uc;
  copy_url(&uc, u);
  CON_SERVER* sv = nullptr;
  TQ_SEXP* ret = _attach(ses, &uc, f, ln, &sv);
  if (ret)
    unlock_task(session_lock, "_remote_session");
  else
    ret = run_request(ses, sv, env, id, &uc, u, t, cmd, f, ln, proxy_ses, opt);  // releases session_lock
  free_url(&uc);
  ScopedLock l(session_lock, __FILE__, __LINE__);
  ses->lock = 0;
  hand_lock_released(HandLock::kSession, &ses->lock);
  wakeup_task(ses);
  // Closed, and its last result given back, while this ran: the waiters woken find it gone.
  if ((ses->flags & CS_CLOSED) && ses->access_cnt < 1) _close_session(id);
  return frame.release(ret);
}

TQ_SEXP* remote_session_tqp(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                            const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                            REMOTE_SESSION_OPT* opt) {
  RaisedPriority pri;
  const L_CHAR* name = u->agent ? u->agent : agent;
  if (native_proxy_set()) {
    int mode = 0;
    TQ_SEXP* r = native_proxy_send_session(&mode, env, id, u, name, login_mode, center_cmd, cmd, f, ln,
                                           session_lock_enable, opt);
    if (mode != NP_DIRECT) return r;
  }
  return _remote_session(env, id, u, name, login_mode, center_cmd, cmd, f, ln, session_lock_enable, 0, 0, opt);
}

// ---- delayed results ------------------------------------------------------------------------------

TQ_SEXP* remote_session_delay(TQ_SEXP* s) {
  RaisedPriority pri;
  GcFrame frame("remote_session_delay");
  TQ_RESULT* resp = result_of(s);
  const int id = resp->s_id;
  int n = resp->s_opt.timeout_count;
  TQ_SEXP* v;
  for (;;) {
    {
      TqiLock l;
      v = _wait_result_inp(resp);
    }
    if (get_type(v) != kTagError || n < 1 || !retry_code(v->error.code)) break;
    if (resp->aboat_flag) {
      ss_printf("SESSION-1\n");
      break;
    }
    TQ_SEXP* r = _remote_session(resp->s_env, resp->s_id, &resp->s_url, resp->s_agent, resp->s_login_mode,
                                 resp->s_center_cmd, resp->s_cmd, resp->s_file, resp->s_line, 0, 1, resp->s_proxy_ses,
                                 &resp->s_opt);
    if (!r || sexp_tag(r) != kTagDelay || result_of(r)->s_id != id) {
      v = r;
      break;
    }
    settle(resp);  // the result it replaces is done; the retry counted itself
    resp = result_of(r);
    --n;
  }
  settle(resp);
  over_write_sexp(s, v);
  return s;
}

int check_remote_session_delay(DELAY_FUNC* df, int key) {
  auto* resp = reinterpret_cast<TQ_RESULT*>(df);
  TqiLock l;
  const int r = _check_remote_delay(resp, key);
  if (r != 2 || !resp->ret) return r;
  if (list_length(resp->ret) < 3) er_panic("check_remote_session_delay");
  TQ_SEXP* v = get_el(resp->ret, 2);  // realised when the reply was taken
  if (!v || sexp_tag(v) != kTagError) return r;
  return retry_code(v->error.code) ? 0 : 2;  // 0: the evaluation must run, and retries
}

void remote_session_tick(void* data) { give_back(int(reinterpret_cast<intptr_t>(data))); }

int aboat_session(TQ_SEXP* s) {
  const int r = aboat_remote_query(s);
  if (s && sexp_tag(s) == kTagDelay && s->delay.dtype == kDelayFunc && s->delay.d.func &&
      s->delay.d.func->gc_func == gc_remote_delay) {
    TqiLock l;
    result_of(s)->aboat_flag = 1;
  }
  return r;
}

// ---- version query, start-up and the collector's pass ----------------------------------------------

VERSION* get_remote_version_tqp(int id, URL* u, const char* layer) {
  GcFrame frame("get_remote_version_tqp");
  TQ_SEXP* head = n_get_symbol("GetVersion");
  set_attribute(head, _l_string_2(std_cm, "layer"), _l_string_1(std_cm, layer));
  TQ_SEXP* cmd = list(list(head, nullptr), nullptr);
  TQ_SEXP* r = remote_session_tqp(qvlisp_top_env1, id, u, u->agent, _l_string_2(std_cm, "user"),
                                  _l_string_2(std_cm, "Get"), cmd, nullptr, 0, 1, nullptr);
  return get_type(r) == kTagPair && convert_to_version_hook ? convert_to_version_hook(r) : nullptr;
}

int init_session_tqp() {
  session_lock = new_lock();
  gc_session_hook.store(gc_con_sessions, std::memory_order_release);  // collections run already
  sp_gc_session_hook.store(sp_gc_con_sessions, std::memory_order_release);
  new_tick(session_tick, kSessionTickSeconds, nullptr);
  create_task(agent_timeout_task, nullptr, 1);
  return 0;
}

void gc_con_sessions() {
  for (CON_SESSION* s = session_list; s; s = s->next)
    if (s->pre_gc) s->pre_gc(s->pre_work);
}

void sp_gc_con_sessions() {
  for (TQ_RESULT** p = &session_results; *p;) {
    TQ_RESULT* r = *p;
    if (gc_block_of(r)->mark & kMarkLive) {
      p = &r->s_next;
      continue;
    }
    *p = r->s_next;
    new_tick(remote_session_tick, 0, reinterpret_cast<void*>(intptr_t(r->s_id)));
  }
}

}  // namespace tq
