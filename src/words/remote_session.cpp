// The word RemoteSession, its two queues of requests and their workers.
//
// A request (RS_T) is made by the word, waits in rs_que1, is sent by the key's first
// worker through remote_session, waits in rs_que2 with its answer, and is stored and freed by
// the key's second worker. While queued its cells are marked by the queue; while a worker
// holds it they are roots of the worker's frame. rs_t_count counts it from the word until
// its answer is stored, under tqi_lock.
#include "words/remote_session.h"

#include "interp/delay.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/core_words.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "remote/session.h"
#include "remote/session_http.h"
#include "text/l_string.h"
#include "util/sys_queue.h"
#include "words/registrars.h"

namespace tq {

namespace {

struct RS_T {
  Q_HEADER h;         // its key: the server key of the URL
  TQISP_ENV* env;     // the caller's environment
  int id;             // the session
  L_CHAR* path;       // not set (null)
  L_CHAR* agent;      // the attribute forms' values (debug heap), or null
  L_CHAR* lt;
  L_CHAR* ccmd;       // "Get" when absent
  URL u;              // all fields empty without a URL
  TQ_SEXP* s;         // the forms to send
  TQ_FILE* file;      // position of the word's form
  int line;
  TQ_SEXP* ret;       // the answer
  D_SEXP* d;          // filled with the answer
  int reply_wait;     // the caller's wait for an HTTP reply's head, in seconds
};

SYS_QUEUE rs_que1;
SYS_QUEUE rs_que2;
int rs_t_count;

constexpr int kWorkerPriority = 2;

void gc_rs_que(Q_HEADER* h) {
  auto* r = reinterpret_cast<RS_T*>(h);
  gc_qv_sexp(r->s);
  gc_d_sexp(r->d);
  gc_qv_sexp(r->ret);
  gc_qvlisp_env(r->env);
  gc_qv_file(r->file);
}

void gc_get_rs_que(Q_HEADER* h) {
  auto* r = reinterpret_cast<RS_T*>(h);
  MemLock m;
  gc_set_nl(r->s, gc_qv_sexp);
  gc_set_nl(r->d, gc_d_sexp);
  gc_set_nl(r->ret, gc_qv_sexp);
  gc_set_nl(r->env, gc_qvlisp_env);
  gc_set_nl(r->file, gc_qv_file);
}

void free_request(RS_T* r) {
  free_url(&r->u);
  for (L_CHAR* t : {r->agent, r->lt, r->ccmd, r->h.key})
    if (t) d_f_ree(t);
  d_f_ree(r);
}

// The worker loop shared by both queues: claims a key, binds an interpreter of its own,
// handles the key's requests newest first, then lets the key go.
template <void (*Handle)(RS_T*)>
void rs_worker(void* data) {
  auto* q = static_cast<SYS_QUEUE*>(data);
  L_CHAR* key = touch_qkey(q);
  if (!key) return;
  setup_self_interpreter();
  for (;;) {
    GcFrame frame("rs_worker");
    auto* r = reinterpret_cast<RS_T*>(delete_queue(q, sq_key_cond, key, 0));
    if (!r) break;
    Handle(r);
  }
  release_qkey(q, key);
  d_f_ree(key);
  close_self_interpreter();
}

void store_answer(RS_T* r) {
  set_d_sexp(r->d, r->ret);
  free_request(r);
  rs_count(-1);
}

void send_request(RS_T* r) {
  REMOTE_SESSION_OPT opt;  // the defaults, but the caller's wait: this worker has no time-out
  setup_remote_session_opt(&opt);
  opt.reply_wait = r->reply_wait;
  r->ret = remote_session(r->env, r->id, &r->u, r->agent, r->lt, r->ccmd, r->s, r->file, r->line, 0, &opt);
  // With no thread for the second queue's worker, this one stores the answer itself.
  if (insert_queue_reserving(&rs_que2, &r->h, 1) != 0) store_answer(r);
}

void rs_task1(void* q) { rs_worker<send_request>(q); }
void rs_task2(void* q) { rs_worker<store_answer>(q); }

bool is_named(TQ_SEXP* sym, const char* name) { return l_text_is(sym->symbol.data, name); }

// The attribute forms from element 2 on: their values go to r, *body becomes the rest.
// Null, or the error to return.
TQ_SEXP* read_attributes(TQISP_ENV* env, TQ_SEXP* s, RS_T* r, L_CHAR** url_text, TQ_SEXP** body) {
  static const char* const kNames[] = {"URL", "Agent", "LoginMode", "Command"};
  L_CHAR** fields[] = {url_text, &r->agent, &r->lt, &r->ccmd};
  *body = nullptr;
  for (TQ_SEXP* p = cdr(cdr(s)); get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    const int t = get_type(e);
    if (t == kTagError) return e;
    TQ_SEXP* head = t == kTagPair ? e->pair.car : nullptr;
    if (t == kTagPair && get_type(head) == kTagError) return head;
    int which = -1;
    for (int i = 0; i < 4 && head && get_type(head) == kTagSymbol; ++i)
      if (is_named(head, kNames[i])) which = i;
    if (which < 0) {
      *body = p;
      return nullptr;
    }
    if (list_length(e) != 2) return lang_error(s, ER_ARG_COUNT, "RemoteSession", n_get_string("invalid parameter length"));
    TQ_SEXP* v = eval(env, get_el(e, 1));
    if (get_type(v) == kTagError) return v;
    if (get_type(v) != kTagString) return lang_error(s, ER_TYPE, "RemoteSession", n_get_string("type missmatch"));
    L_CHAR*& field = *fields[which];
    if (field) d_f_ree(field);
    field = ll_copy_str(v->string.data);
  }
  return nullptr;
}

TQ_SEXP* tq_RemoteSession(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  TQ_SEXP* id = eval(env, get_el(s, 1));
  if (get_type(id) == kTagError) return id;
  if (get_type(id) != kTagInteger) return lang_error(s, ER_TYPE, "RemoteSession", n_get_string("type missmatch"));
  auto* r = reinterpret_cast<RS_T*>(new_queue_node(sizeof(RS_T)));
  r->id = int(uint32_t(uint64_t(id->integer.data)));
  L_CHAR* url_text = nullptr;
  TQ_SEXP* body = nullptr;
  TQ_SEXP* err = read_attributes(env, s, r, &url_text, &body);
  if (!err) {
    if (url_text) get_url2(&r->u, url_text);
    if (const L_CHAR* type = get_sf_attribute(sf, _l_string_2(std_cm, "type"))) {
      body = qv_quote_trace(env, body, type);
      if (get_type(body) == kTagError) err = body;
    }
  }
  r->h.key = get_server_key(url_text ? &r->u : nullptr, nullptr);
  if (url_text) d_f_ree(url_text);
  if (err) {
    free_request(r);
    return err;
  }
  if (!r->ccmd) r->ccmd = nl_copy_str_2(std_cm, "Get");
  r->env = env;
  r->s = body;
  r->file = s->h.file;
  r->line = s->h.line;
  r->reply_wait = http_reply_wait();
  TQ_SEXP* cell = new_d_sexp(&r->d);
  rs_count(1);  // before the workers can take it, so the count never drops below its requests
  if (insert_queue_reserving(&rs_que1, &r->h, 1) == 0) return cell;
  // No thread for the server's worker: the request is refused, naming the shortage.
  char cause[kNoThreadCauseSize];
  no_thread_cause(cause, errno);
  rs_count(-1);
  TQ_SEXP* data = List(n_get_string("cannot access the server"), get_string(get_url_str2(&r->u)), n_get_string(cause), kListEnd);
  free_request(r);
  return lang_error(s, ER_STREAM_ACCESS, "RemoteSession", data);
}

void setup_rs_queue(SYS_QUEUE* q, TASK_FUNC worker) {
  *q = SYS_QUEUE{};
  q->flags = SQ_LIFO;
  q->gc_func = gc_rs_que;
  q->gc_get = gc_get_rs_que;
  q->key_func = worker;
  q->pri = kWorkerPriority;
  setup_queue(q);
}

}  // namespace

void rs_count(int n) {
  TqiLock l;
  rs_t_count += n;
  wakeup_task(&rs_t_count);
}

void _wait_rs_queue() {
  while (rs_t_count > 0) tqi_sleep(&rs_t_count);
}

void wait_rs_queue() {
  TqiLock l;
  _wait_rs_queue();
}

void init_RemoteSession(TQISP_ENV* env) {
  set_env(env, _l_string_2(std_cm, "RemoteSession"), get_func_prim(tq_RemoteSession, 0, nullptr, 2, kNoMax));
  setup_rs_queue(&rs_que1, rs_task1);
  setup_rs_queue(&rs_que2, rs_task2);
  rs_queue_wait_hook = _wait_rs_queue;
}

}  // namespace tq
