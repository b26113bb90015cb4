// The log system: start-up, the hook, the two queues with their overflow rule, the worker,
// the wait action and the word GetLog.
#include "interp/log_queue.h"

#include <unistd.h>

#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "interp/log_file.h"
#include "interp/log_remote.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/print.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/log_hook.h"
#include "stream/string_stream.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

SYS_QUEUE log_queue;
SYS_QUEUE log_wait_queue;
SEM lock_log;
int log_session;

namespace {

void setup_log_queue(SYS_QUEUE* q, int limit) {
  *q = SYS_QUEUE{};
  q->flags = SQ_FIFO;
  q->total_limit = limit;
  setup_queue(q);
}

void replace_text(L_CHAR** field, const L_CHAR* value) {
  if (*field) d_f_ree(*field);
  *field = ll_copy_str(value);
}

// The stream layer's entry carries no record data.
int log_hook(int level, int layer, int, const char* fmt, va_list p) {
  return tq_log_vprintf(level, layer, nullptr, fmt, p);
}

// The record's conditions and their actions (lock_log held).
void run_conditions(LOG_NODE* n) {
  for (LOG_COND* c = condition_list; c; c = c->next)
    if (cmp_log_node_data(&n->d, c) == 0)
      for (LOG_ACTION* a = c->action_list; a; a = a->next) do_log_action(a, n);
}

void log_queue_task1(void*) {
  setup_self_interpreter();  // bound for good: llpl_close need not look
  for (;;) {
    llpl_close(0);
    Q_HEADER* h = delete_queue(&log_queue, nullptr, nullptr, 0);
    if (!h) {
      llpl_close(1);  // the queue ran empty: every file is closed until the next record
      h = delete_queue(&log_queue, nullptr, nullptr, 1);
    }
    auto* n = reinterpret_cast<LOG_NODE*>(h);
    {
      LOCK_SCOPE(lock_log);
      run_conditions(n);
    }
    free_log_node(n);
  }
}

void do_log_action_wait(LOG_ACTION* action, LOG_NODE* n) {
  LOG_NODE* c = copy_log_node(n);
  c->wait_action = copy_wait_action(action);
  log_insert_queue(&log_wait_queue, c);
}

int log_wait_q_cond(SYS_QUEUE*, Q_HEADER* item, void* work) {
  const LOG_ACTION* a = reinterpret_cast<LOG_NODE*>(item)->wait_action;
  const int ip = *static_cast<int*>(work);
  return a && (a->ip & a->mask) == (ip & a->mask) ? 0 : -1;
}

// The caller's interpreter address: its peer's, else the one it was told to connect to.
int caller_address() {
  TqiLock l;
  const TQ_INTERPRETER* t = _get_my_tqi();
  return !t ? 0 : t->connect_ip ? t->connect_ip : t->ip;
}

TQ_SEXP* tq_get_log(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return take_parked_records(caller_address());
}

// Binds each name of the table to its index.
void setup_value(TQISP_ENV* env, const char* const* table, int count) {
  for (int i = 0; i < count; ++i) set_env(env, _l_string_1(std_cm, table[i]), get_integer(i, nullptr));
}

}  // namespace

void init_log(TQISP_ENV* env0, TQISP_ENV* env1) {
  if (lock_up_test(lock_log)) return;
  lock_log = new_lock();
  setup_log_queue(&log_queue, kLogQueueLimit);
  setup_log_queue(&log_wait_queue, kLogWaitLimit);
  log_session = log_session_ops.open_session ? log_session_ops.open_session(1) : 0;
  __log_vprintf = log_hook;
  GcFrame frame("init_log");
  set_env(env0, _l_string_2(std_cm, "GetLog"), get_func_prim(tq_get_log, 1, nullptr, 1, 1));
  set_env(env1, _l_string_2(std_cm, "SetLogCondition"), get_func_prim(tq_set_log_condition, 0, nullptr, 1, kNoMax));
  set_env(env1, _l_string_2(std_cm, "FetchLog"), get_func_prim(tq_fetch_log, 1, nullptr, 1, 1));
  setup_value(env0, log_level_msg, kLogLevels);
  setup_value(env0, log_layer, kLogLayers);
  create_task(log_queue_task1, nullptr, 0);
}

int tq_log_vprintf(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, va_list p) {
  LOG_NODE* n = new_log_node();
  LOG_NODE_DATA_D& r = n->d.d;
  if (opt) copy_log_node_data(&n->d, opt);
  r.time = int(tick_now());
  r.level = level;
  r.layer = layer;
  replace_text(&r.u.server, get_tqlisp_site());
  if (r.u.agent) d_f_ree(r.u.agent);
  r.u.agent = get_agent_name();  // a copy, taken under the lock that guards its replacement
  if (r.data) d_f_ree(r.data);
  r.data = l_vformat(fmt, p);  // the message's characters as a string stream would hold them
  log_insert_queue(&log_queue, n);
  return 0;
}

int log_printf_data(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = tq_log_vprintf(level, layer, opt, fmt, p);
  va_end(p);
  return r;
}

int log_print_sexp(int level, int layer, const LOG_NODE_DATA* opt, const char* str, TQ_SEXP* s, int flags) {
  STREAM* st = s_open_string_write(std_cm);
  print_sexp(st, s, flags);
  const int r = log_printf_data(level, layer, opt, "%s = %s", str, s_get_string(st));
  d_s_close(st);
  return r;
}

void log_insert_queue(SYS_QUEUE* q, LOG_NODE* n) {
  while (insert_queue(q, &n->h, 0) < 0) {
    // Reported only for a record really dropped: the worker may have emptied the queue since.
    if (Q_HEADER* old = delete_queue(q, nullptr, nullptr, 0)) {
      ss_printf("LOG OVER FLOW %i\n", int(getpid()));
      free_log_node(reinterpret_cast<LOG_NODE*>(old));
    }
  }
}

void log_get_element(TQ_SEXP* form) {
  LOG_NODE* n = new_log_node();
  get_log_node_data_from_sexp(&n->d, form);
  log_insert_queue(&log_queue, n);
}

void do_log_action(LOG_ACTION* action, LOG_NODE* n) {
  switch (action->type) {
    case LA_SAVE: do_log_action_save_file(action, n); break;
    case LA_CONSOLE: do_log_action_console(action, n); break;
    case LA_RELAY: do_log_action_relay(action, n); break;
    case LA_WAIT: do_log_action_wait(action, n); break;
    default: break;
  }
}

TQ_SEXP* take_parked_records(int ip) {
  TQ_SEXP* head = nullptr;
  TQ_SEXP** tail = &head;
  for (int i = 0; i < kGetLogMax; ++i) {
    Q_HEADER* h = delete_queue(&log_wait_queue, log_wait_q_cond, &ip, 0);
    if (!h) break;
    auto* n = reinterpret_cast<LOG_NODE*>(h);
    *tail = cons(get_log_node_sexp(&n->d), nullptr);
    tail = &(*tail)->pair.cdr;
    free_log_node(n);
  }
  return head;
}

}  // namespace tq
