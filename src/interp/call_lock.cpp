// Named call locks: the lock and connection tables, taking and releasing with local sharing,
// the requests to the lock server, its events, and the hourly close of unused connections.
#include "interp/call_lock.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "text/text_util.h"

namespace tq {

SEM call_lock_lock;
CALL_LOCK_INTERPRETER* li_list;
CALL_LOCK_TABLE* lt_list;
int lock_port;
L_CHAR* lock_hostname;
int call_lock_seq;
int call_lock_busy_pauses;

namespace {

constexpr int kTakeTries = 3;
constexpr int kConnectTries = 3;
constexpr int kBusyPauseSeconds = 5;
constexpr int kUnusedSeconds = 3600;
// A lock server's answer is awaited as long as its admission: one that never comes would hold
// the taker, and with it the log worker and every change of the log's conditions.
constexpr unsigned kReplyWait = kPermissionWait;

int waiters;  // threads asleep on lt_list (call_lock_lock)

constexpr const char* kTakeFormat = "<Lock type=\"%s\" file=\"%s\" line=\"%i\" data=\"%i\" seq=\"%i\"> %s </Lock>";
constexpr const char* kReleaseFormat = "<Unlock> %s </Unlock>";

// A request text of any length, on the debug heap: a long name or file name is sent whole.
char* format_request(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
char* format_request(const char* fmt, ...) {
  va_list p, q;
  va_start(p, fmt);
  va_copy(q, p);
  const int n = vsnprintf(nullptr, 0, fmt, p);
  va_end(p);
  auto* text = static_cast<char*>(d_alloc(size_t(n) + 1));
  vsnprintf(text, size_t(n) + 1, fmt, q);
  va_end(q);
  return text;
}

// The name with the safety entities, in the standard code method (debug heap).
char* escaped_name(const L_CHAR* name) {
  L_CHAR* safe = safety_string(name);
  char* narrow = ln_copy_str(std_cm, safe);
  d_f_ree(safe);
  return narrow;
}

// Sends text on connection id and waits for the reply until deadline (tick seconds), when
// the interpreter tick closes the connection: true when the reply is not an error cell.
// call_lock_lock must not be held. alive tells whether the connection still runs after.
bool send_request(int id, const char* text, unsigned deadline, bool* alive) {
  bool granted = false;
  if (const auto query = result_ops().remote_query) {
    GcFrame frame("call lock request");
    set_reply_deadline(unsigned(id), deadline);  // before the request leaves
    TQ_SEXP* r = query(id, qvlisp_top_env1, _l_string_1(std_cm, text), nullptr);
    granted = get_type(r) != kTagError;  // forcing the delayed reply waits for it
    set_reply_deadline(unsigned(id), 0);
  }
  *alive = check_iid(unsigned(id)) == 1;
  return granted;
}

// A connection to the lock server: its interpreter id, or -1. A server that answers Busy is
// asked again 5 seconds later, three times in all. Called without call_lock_lock.
int connect_lock_tqi(int port, const L_CHAR* host) {
  for (int attempt = 1; attempt <= kConnectTries; ++attempt) {
    TQ_INTERPRETER* t = new_tq_interpreter();
    t->a_type = TQI_CONNECT;
    t->env = qvlisp_top_env1;
    t->environment = 0;
    t->port = port;
    t->hostname = ll_copy_str(host);
    const int r = setup_i(t);
    if (r == SETUP_MAIN_CLOSED) release_unregistered(t);  // left to the caller
    if (r != SETUP_BUSY) return r >= 0 ? r : -1;
    if (attempt < kConnectTries) tick_sleep(kBusyPauseSeconds, &call_lock_busy_pauses);
  }
  return -1;
}

// A new idle connection at the head of li_list, or null. call_lock_lock is held on entry
// and on return, and given up while connecting.
CALL_LOCK_INTERPRETER* new_cli() {
  if (lock_server_info() != 0) return nullptr;
  const int port = lock_port;
  L_CHAR* host = ll_copy_str(lock_hostname);
  unlock_task(call_lock_lock, "new_cli");
  const int id = connect_lock_tqi(port, host);
  d_f_ree(host);
  lock_task(call_lock_lock);
  if (id < 0) return nullptr;
  auto* c = static_cast<CALL_LOCK_INTERPRETER*>(d_calloc(1, sizeof(CALL_LOCK_INTERPRETER)));
  c->tqi = id;
  c->status = CLI_IDLE;
  c->call_time = tick_now();
  c->next = li_list;
  li_list = c;
  return c;
}

void free_cli(CALL_LOCK_INTERPRETER* c) {
  if (c->status == CLI_BUSY || c->ref != 0) er_panic("free_cli");
  for (CALL_LOCK_INTERPRETER** p = &li_list; *p; p = &(*p)->next)
    if (*p == c) {
      *p = c->next;
      break;
    }
  close_interpreter_nowait(unsigned(c->tqi));  // a tick callback must not wait
  d_f_ree(c);
}

void add_thread(CALL_LOCK_TABLE* e, int tid) {
  auto* t = static_cast<CALL_LOCK_THREAD*>(d_alloc(sizeof(CALL_LOCK_THREAD)));
  t->tid = tid;
  t->next = e->threads;
  e->threads = t;
}

// Removes one share of tid: 0, or -1 when tid holds none.
int remove_thread(CALL_LOCK_TABLE* e, int tid) {
  for (CALL_LOCK_THREAD** p = &e->threads; *p; p = &(*p)->next)
    if ((*p)->tid == tid) {
      CALL_LOCK_THREAD* t = *p;
      *p = t->next;
      d_f_ree(t);
      return 0;
    }
  return -1;
}

bool in_list(CALL_LOCK_TABLE* e) {
  for (CALL_LOCK_TABLE* p = lt_list; p; p = p->next)
    if (p == e) return true;
  return false;
}

// Equal names, or one a prefix of the other.
bool names_overlap(const L_CHAR* a, const L_CHAR* b) {
  for (; *a && *b; ++a, ++b)
    if (*a != *b) return false;
  return true;
}
bool names_equal(const L_CHAR* a, const L_CHAR* b) { return l_strcmp(a, b) == 0; }

int next_seq() {
  int s = call_lock_seq;
  if (s == 0) s = 1;
  call_lock_seq = int(unsigned(s) + 1u);
  return s;
}

void wait_for_change() {
  ++waiters;
  sleep_task(&lt_list, call_lock_lock);
  lock_task(call_lock_lock);
  --waiters;
}

// Unlinks and frees an entry that no thread holds; a granted one's release is sent through
// its connection, which is idle again afterwards (call_lock_lock given up meanwhile).
void free_clt(CALL_LOCK_TABLE* e) {
  if (e->threads || !in_list(e)) er_panic("_free_clt");
  for (CALL_LOCK_TABLE** p = &lt_list; *p; p = &(*p)->next)
    if (*p == e) {
      *p = e->next;
      break;
    }
  if (CALL_LOCK_INTERPRETER* c = e->cli) {
    char* name = escaped_name(e->name);
    char* text = format_request(kReleaseFormat, name);
    d_f_ree(name);
    c->status = CLI_BUSY;
    const int id = c->tqi;
    unlock_task(call_lock_lock, "free_clt");
    bool alive = false;
    send_request(id, text, tick_now() + kReplyWait, &alive);  // the reply is not looked at
    d_f_ree(text);
    lock_task(call_lock_lock);
    c->status = alive ? CLI_IDLE : CLI_BROKEN;
    if (--c->ref < 0) er_panic("_free_clt(ref)");
  }
  d_f_ree(e->name);
  d_f_ree(e);
}

// Asks the server for the entry's lock (call_lock_lock held, given up while the request is
// in flight): up to three tries, each on an idle or a new connection, within one reply
// deadline. A connection whose take was refused, went unanswered or broke is broken and,
// carrying no other lock, closed.
CALL_LOCK_INTERPRETER* request_take(CALL_LOCK_TABLE* e, int type, CALL_LOCK_EVENT_FUNC func, const char* file,
                                    int line, int* seq_out) {
  unsigned deadline = 0;  // set by the first request
  for (int attempt = 0; attempt < kTakeTries && (!deadline || tick_now() < deadline); ++attempt) {
    CALL_LOCK_INTERPRETER* c = li_list;
    while (c && c->status != CLI_IDLE) c = c->next;
    if (!c && !(c = new_cli())) return nullptr;
    c->status = CLI_BUSY;
    const int seq = func ? next_seq() : 0;
    char* name = escaped_name(e->name);
    char* text = format_request(kTakeFormat, type == CL_READ ? "read" : "write", file ? file : "", line,
                                int(getpid()), seq, name);
    d_f_ree(name);
    ++c->ref;
    const int id = c->tqi;
    unlock_task(call_lock_lock, "call_lock");
    if (!deadline) deadline = tick_now() + kReplyWait;
    bool alive = false;
    const bool granted = send_request(id, text, deadline, &alive);
    d_f_ree(text);
    lock_task(call_lock_lock);
    if (granted) {
      c->call_time = tick_now();
      *seq_out = seq;
      return c;
    }
    --c->ref;
    c->status = CLI_BROKEN;
    if (c->ref == 0) free_cli(c);
  }
  return nullptr;
}

CALL_LOCK_TABLE* new_clt(const L_CHAR* lock_dir, int type, int tid, CALL_LOCK_EVENT_FUNC func, void* data,
                         const char* file, int line) {
  if (type != CL_READ && type != CL_WRITE) er_panic("_new_clt");
  auto* e = static_cast<CALL_LOCK_TABLE*>(d_calloc(1, sizeof(CALL_LOCK_TABLE)));
  e->name = ll_copy_str(lock_dir);
  e->tid = type == CL_READ ? 0 : tid;
  add_thread(e, tid);
  e->next = lt_list;  // at once, so that conflicting requests wait for this take
  lt_list = e;
  int seq = 0;
  CALL_LOCK_INTERPRETER* c = request_take(e, type, func, file, line, &seq);
  if (c) {
    e->cli = c;
    e->seq = seq;
    e->event_func = func;
    e->event_data = data;
    wakeup_task(&lt_list);
    return e;
  }
  remove_thread(e, tid);
  free_clt(e);  // it has no connection: nothing is sent
  wakeup_task(&lt_list);
  return nullptr;
}

// The take (call_lock_lock held).
CALL_LOCK_DESCRIPTER take(const L_CHAR* lock_dir, int type, CALL_LOCK_EVENT_FUNC func, void* data, const char* file,
                          int line) {
  if (lock_server_info() != 0) return cl_invalid();
  const int me = get_tid();
  for (;;) {
    CALL_LOCK_TABLE* e = lt_list;
    while (e && !names_overlap(e->name, lock_dir)) e = e->next;
    if (!e) break;
    if (!e->cli) {  // another thread's take is in flight
      wait_for_change();
      continue;
    }
    if (e->tid == 0 && !e->threads) er_panic("_call_lock");
    e->cli->call_time = tick_now();
    const bool local_share = e->tid != 0 ? e->tid == me : type == CL_READ;
    if (local_share) {
      if (!names_equal(e->name, lock_dir)) break;  // a related name is a lock of its own
      add_thread(e, me);
      return CALL_LOCK_DESCRIPTER{e, me};
    }
    wait_for_change();
  }
  return CALL_LOCK_DESCRIPTER{new_clt(lock_dir, type, me, func, data, file, line), me};
}

// The value of a setting of env1 (a symbol's evaluation), or null when it is not bound;
// rooted in the caller's top frame, since another thread may set the name anew and a
// collection free the old value while it is read.
TQ_SEXP* setting(ConstText name) { return get_env_symbol(qvlisp_top_env1, _l_string_2(std_cm, name), -1); }

TQ_SEXP* tq_call_lock_event(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* n = get_el(form, 1);
  if (get_type(n) != kTagInteger) return nullptr;
  const int seq = int(n->integer.data);
  CALL_LOCK_EVENT_FUNC func = nullptr;
  void* data = nullptr;
  {
    LOCK_SCOPE(call_lock_lock);
    for (CALL_LOCK_TABLE* e = lt_list; e; e = e->next)
      if (e->seq == seq) {
        func = e->event_func;
        data = e->event_data;
        break;
      }
  }
  if (func) func(seq, data);
  return nullptr;
}

}  // namespace

void init_call_lock() {
  if (lock_up_test(call_lock_lock)) return;
  call_lock_lock = new_lock();
  new_tick(call_lock_tick, kUnusedSeconds, nullptr);
  set_env(qvlisp_top_env1, _l_string_2(std_cm, "call-lock-event"), get_func_prim(tq_call_lock_event, 1, nullptr, 2, 2));
}

int lock_server_info() {
  if (lock_port != 0 && lock_hostname) return 0;
  GcFrame frame("lock_server_info");  // roots the settings while they are read (the caller may have none)
  if (lock_port == 0) {
    TQ_SEXP* v = setting("LockPort");
    if (get_type(v) != kTagInteger) return -1;
    lock_port = int(v->integer.data);
  }
  if (!lock_hostname) {
    TQ_SEXP* v = setting("LockHostName");
    if (get_type(v) != kTagString) {
      lock_port = 0;
      return -1;
    }
    lock_hostname = ll_copy_str(v->string.data);
  }
  return 0;
}

CALL_LOCK_DESCRIPTER xx_call_lock(const L_CHAR* lock_dir, int type, CALL_LOCK_EVENT_FUNC func, void* data,
                                  const char* file, int line) {
  if (!get_my_tqi()) setup_self_interpreter();
  LOCK_SCOPE(call_lock_lock);
  return take(lock_dir, type, func, data, file, line);
}

int call_unlock(CALL_LOCK_DESCRIPTER d) {
  LOCK_SCOPE(call_lock_lock);
  CALL_LOCK_TABLE* e = d.d;
  if (!e || !in_list(e) || remove_thread(e, d.tid) != 0) return -1;
  if (e->cli) e->cli->call_time = tick_now();
  wakeup_task(&lt_list);
  if (!e->threads) free_clt(e);
  return 0;
}

int cl_error_check(CALL_LOCK_DESCRIPTER d) { return d.d ? 0 : -1; }

CALL_LOCK_DESCRIPTER cl_invalid() { return CALL_LOCK_DESCRIPTER{nullptr, 0}; }

TQ_SEXP* get_cl_error(TQ_SEXP* ss, const char* func) {
  return get_error(ss ? ss->h.file : nullptr, ss ? ss->h.line : 0, ER_INVALID_PARAM, _l_string_1(std_cm, func),
                   n_get_string("lock operation error"));
}

int get_call_lock_seq(CALL_LOCK_DESCRIPTER d) {
  LOCK_SCOPE(call_lock_lock);
  return d.d ? d.d->seq : 0;
}

void call_lock_tick(void*) {
  LOCK_SCOPE(call_lock_lock);
  const unsigned now = tick_now();
  for (CALL_LOCK_INTERPRETER* c = li_list; c;) {
    CALL_LOCK_INTERPRETER* next = c->next;
    if (c->status != CLI_BUSY && c->ref == 0 && now - c->call_time >= unsigned(kUnusedSeconds)) free_cli(c);
    c = next;
  }
}

int call_lock_waiters() {
  LOCK_SCOPE(call_lock_lock);
  return waiters;
}

}  // namespace tq
