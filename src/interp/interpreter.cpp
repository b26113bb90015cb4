// Interpreter records and their tables: creation with the defaults, ids, lookups, the
// threads bound to interpreters, the output lock and permission lists. Registration and
// closing are in interpreter_close.cpp.
#include "interp/interpreter.h"

#include <cstring>

#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "text/l_string.h"

namespace tq {

SEM tqi_lock;
TQ_INTERPRETER* interpreter_hash[kTqiBuckets];
TQ_THREAD* thread_hash[kTqiBuckets];
unsigned tqi_id = 1;
TQ_INTERPRETER* main_interpreter;
int main_interpreter_flag;
LOST_REPLY main_lost_reply;
bool file_reply_lost;
PRI_CTL tqi_lock_ctl{3, 0, nullptr};
std::atomic<const TQI_RESULT_OPS*> tqi_result_ops{nullptr};
const TQI_RESULT_OPS& result_ops() {
  static constexpr TQI_RESULT_OPS none{};
  const TQI_RESULT_OPS* ops = tqi_result_ops.load(std::memory_order_acquire);
  return ops ? *ops : none;
}
TQI_AUTH_OPS tqi_auth_ops{};
// Indexed by kind 0..8: only the connect kind closes on its own, after 7200 ticks (ten hours).
const int default_connection_timeout_table[9] = {-1, -1, -1, -1, -1, 7200, -1, -1, -1};
const int default_silent_timeout_table[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};

TqiLock::TqiLock() : old_pri_(push_pri_pctl(&tqi_lock_ctl)) { lock_task(tqi_lock); }
TqiLock::~TqiLock() {
  unlock_task(tqi_lock, "TqiLock");
  change_pri(0, old_pri_);
}

void tqi_sleep(const void* key) {
  sleep_task(key, tqi_lock);
  lock_task(tqi_lock);
}

// ---- records ---------------------------------------------------------------------------------

TQ_INTERPRETER* xx_new_tq_interpreter(const char* file, int line) {
  auto* t = static_cast<TQ_INTERPRETER*>(xx_d_calloc(1, sizeof(TQ_INTERPRETER), file, line));
  t->__file = file;
  t->__line = line;
  t->proxy_type = 64;
  t->result_flag = 1;
  t->port = 9090;
  t->port_limit = 1;
  t->max_connection = 10;
  t->connection_timeout = -1;
  t->silent_timeout = -1;
  t->inp_desc = t->out_desc = t->err_desc = -1;
  t->desc_type = 2;
  t->accept_interval = 10;
  return t;
}

namespace {

void free_text(L_CHAR*& p) {
  if (p) d_f_ree(p);
  p = nullptr;
}

}  // namespace

void free_tq_interpreter(TQ_INTERPRETER* tqi) {
  if (!tqi) return;
  if (tqi->out_lock > 0 && tqi->out_lock_task == get_tid()) hand_lock_released(HandLock::kOutput, &tqi->out_lock);
  free_text(tqi->msg);
  free_text(tqi->hostname);
  free_text(tqi->input_file_name);
  free_text(tqi->output_file_name);
  free_text(tqi->error_file_name);
  free_permission_list(tqi);
  d_f_ree(tqi);
}

// ---- lookups ----------------------------------------------------------------------------------

TQ_INTERPRETER* _search_tqi_id(unsigned id) {
  for (TQ_INTERPRETER* t = interpreter_hash[id % kTqiBuckets]; t; t = t->next)
    if (t->id == id) return t;
  return nullptr;
}

TQ_INTERPRETER* search_tqi_id(unsigned id) {
  TqiLock l;
  return _search_tqi_id(id);
}

TQ_INTERPRETER* _search_tqi_thread(int tid) {
  for (TQ_THREAD* t = thread_hash[unsigned(tid) % kTqiBuckets]; t; t = t->next)
    if (t->tid == tid) return t->tqi;
  return nullptr;
}

TQ_INTERPRETER* _get_my_tqi() { return _search_tqi_thread(get_tid()); }

TQ_INTERPRETER* get_my_tqi() {
  TqiLock l;
  return _get_my_tqi();
}

int get_my_iid() {
  TqiLock l;
  TQ_INTERPRETER* t = _get_my_tqi();
  return t ? int(t->id) : 0;
}

int check_iid(unsigned id) {
  TqiLock l;
  TQ_INTERPRETER* t = _search_tqi_id(id);
  return t && t->mode == TQI_RUNNING ? 1 : 0;
}

int get_main_interpreter() {
  TqiLock l;
  return main_interpreter ? int(main_interpreter->id) : -1;
}

int get_tqi_info(TQ_INTERPRETER* buf, unsigned id) {
  TqiLock l;
  TQ_INTERPRETER* t = id == 0 ? _get_my_tqi() : _search_tqi_id(id);
  if (!t) return -1;
  std::memcpy(buf, t, sizeof *t);
  return 0;
}

unsigned get_next_iid(int id) {
  TqiLock l;
  int bucket = 0;
  if (id > 0) {
    if (TQ_INTERPRETER* t = _search_tqi_id(unsigned(id)); t && t->next) return t->next->id;
    bucket = id % kTqiBuckets + 1;
  }
  for (; bucket < kTqiBuckets; ++bucket)
    if (interpreter_hash[bucket]) return interpreter_hash[bucket]->id;
  return 0;
}

int get_launch_interpreter_nos() {
  TqiLock l;
  int n = 0;
  for (TQ_INTERPRETER* b : interpreter_hash)
    for (TQ_INTERPRETER* t = b; t; t = t->next)
      if (t->mode == TQI_RUNNING) ++n;
  return n;
}

int get_c_timeout(unsigned id) {
  TqiLock l;
  TQ_INTERPRETER* t = _search_tqi_id(id);
  return t ? t->connection_timeout : -1;
}

int set_c_timeout(unsigned id, int ticks) {
  TqiLock l;
  TQ_INTERPRETER* t = _search_tqi_id(id);
  if (!t) return -1;
  t->connection_timeout = ticks;
  return 0;
}

int set_reply_deadline(unsigned id, unsigned deadline) {
  TqiLock l;
  TQ_INTERPRETER* t = _search_tqi_id(id);
  if (!t) return -1;
  t->open_timeout = deadline;
  return 0;
}

// ---- bound threads --------------------------------------------------------------------------------

int __new_tqi_thread(TQ_INTERPRETER* tqi) {
  auto* t = static_cast<TQ_THREAD*>(d_alloc(sizeof(TQ_THREAD)));
  t->tid = get_tid();
  t->tqi = tqi;
  TQ_THREAD*& head = thread_hash[unsigned(t->tid) % kTqiBuckets];
  t->next = head;
  head = t;
  return t->tid;
}

int _new_tqi_thread(TQ_INTERPRETER* tqi) {
  TqiLock l;
  return __new_tqi_thread(tqi);
}

// The thread areas of the language core are released by the task pool when the task
// function returns, so unbinding leaves them (a bound test thread keeps its temporaries).
void _free_tqi_thread(int tid) {
  if (tid == 0) tid = get_tid();
  for (TQ_THREAD** p = &thread_hash[unsigned(tid) % kTqiBuckets]; *p; p = &(*p)->next) {
    if ((*p)->tid != tid) continue;
    TQ_THREAD* t = *p;
    *p = t->next;
    d_f_ree(t);
    return;
  }
}

// ---- the output lock ---------------------------------------------------------------------------

int _lock_tqi_out(TQ_INTERPRETER* tqi, const char* file, int line) {
  if (!tqi) return -1;
  const int me = get_tid();
  const unsigned id = tqi->id;
  for (;;) {
    if (tqi->out_lock == 0) {
      tqi->out_lock = 1;
      tqi->out_lock_task = me;
      hand_lock_taken(HandLock::kOutput, &tqi->out_lock, file, line);
      return 0;
    }
    if (tqi->out_lock_task == me) {
      ++tqi->out_lock;
      return 0;
    }
    tqi_sleep(&tqi->out_lock);
    if (_search_tqi_id(id) != tqi) return -1;  // closed (and freed) while asleep
  }
}

void _unlock_tqi_out(TQ_INTERPRETER* tqi) {
  if (!tqi || tqi->out_lock <= 0) return;
  if (--tqi->out_lock == 0) {
    if (tqi->out_lock_task == get_tid()) hand_lock_released(HandLock::kOutput, &tqi->out_lock);
    tqi->out_lock_task = 0;
    wakeup_task(&tqi->out_lock);
  }
}

int _lock_tqi_out_no_wait(TQ_INTERPRETER* tqi, const char* file, int line) {
  if (!tqi) return -1;
  const int me = get_tid();
  if (tqi->out_lock != 0 && tqi->out_lock_task != me) return -2;
  if (tqi->out_lock == 0) hand_lock_taken(HandLock::kOutput, &tqi->out_lock, file, line);
  ++tqi->out_lock;
  tqi->out_lock_task = me;
  return 0;
}

int lock_tqi_out(TQ_INTERPRETER* tqi, const char* file, int line) {
  TqiLock l;
  return _lock_tqi_out(tqi, file, line);
}
void unlock_tqi_out(TQ_INTERPRETER* tqi) {
  TqiLock l;
  _unlock_tqi_out(tqi);
}
int lock_tqi_out_no_wait(TQ_INTERPRETER* tqi, const char* file, int line) {
  TqiLock l;
  return _lock_tqi_out_no_wait(tqi, file, line);
}
int lock_tqi_out_iid(unsigned id, const char* file, int line) {
  TqiLock l;
  return _lock_tqi_out(_search_tqi_id(id), file, line);
}
void unlock_tqi_out_iid(unsigned id) {
  TqiLock l;
  _unlock_tqi_out(_search_tqi_id(id));
}

// ---- permission lists -------------------------------------------------------------------------------

PERMISSION_LIST* new_permission_list(TQ_INTERPRETER* tqi, TQ_SEXP* names) {
  auto* pl = static_cast<PERMISSION_LIST*>(d_calloc(1, sizeof(PERMISSION_LIST)));
  init_access_permission(&pl->ap);
  for (TQ_SEXP* p = names; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* name = p->pair.car;
    if (get_type(name) != kTagString) continue;
    auto* m = static_cast<P_MODE*>(d_alloc(sizeof(P_MODE)));
    m->name = ll_copy_str(name->string.data);
    m->next = pl->mode;
    pl->mode = m;
  }
  TqiLock l;
  if (tqi->pl_tail)
    tqi->pl_tail->next = pl;
  else
    tqi->pl_head = pl;
  tqi->pl_tail = pl;
  return pl;
}

PERMISSION_LIST* check_permission_list(TQ_INTERPRETER* tqi, uint32_t ip, const HOST_ENTRY* he, bool* names_needed) {
  for (PERMISSION_LIST* pl = tqi->pl_head; pl; pl = pl->next) {
    const int t = match_permission(&pl->ap, ip, he, !names_needed);
    if (t == kNeedsNames) return *names_needed = true, nullptr;
    if (t) return pl;
  }
  return nullptr;
}

void free_permission_list(TQ_INTERPRETER* tqi) {
  while (PERMISSION_LIST* pl = tqi->pl_head) {
    tqi->pl_head = pl->next;
    free_access_list(&pl->ap);
    while (P_MODE* m = pl->mode) {
      pl->mode = m->next;
      d_f_ree(m->name);
      d_f_ree(m);
    }
    d_f_ree(pl);
  }
  tqi->pl_tail = nullptr;
}

}  // namespace tq
