// Delayed values (D_SEXP), the delay queue and its lock, the delay thread, and the
// reconnect queue.
#include "interp/delay.h"

#include "interp/reply.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/tick.h"

namespace tq {

SYS_QUEUE interpreter_que;
int dque_lock_cnt;
int interpreter_que_task;

namespace {

int delay_key;           // the delay thread sleeps on its address
unsigned dque_gen;       // bumped by every wake-up of the delay thread (tqi_lock)
HTID dque_task;          // the thread serving the queue, for diagnostics
int dque_task_point;     // how far it has got: 1 waiting .. 5 replied

struct RECONNECT_QUE {
  TQ_SEXP* sexp;
  RECONNECT_QUE* next;
};
RECONNECT_QUE* _reconnect_que;
RECONNECT_QUE* _reconnect_que_tail;
int _reconnect_que_task_nos;
constexpr int kReconnectTasks = 5;

bool marked(void* p) { return gc_block_of(p)->mark & kMarkLive; }

// ---- the delay-queue lock (tqi_lock held; the waits release it) ----

void dque_lock_tqi(TQ_INTERPRETER* t) {
  while (dque_lock_cnt < 0 || (t->flags & TQF_DQUE_LOCK)) tqi_sleep(&dque_lock_cnt);
  t->flags |= TQF_DQUE_LOCK;
  ++dque_lock_cnt;
}

void dque_unlock_tqi(TQ_INTERPRETER* t) {
  t->flags &= ~TQF_DQUE_LOCK;
  --dque_lock_cnt;
  wakeup_task(&t->flags);
  wakeup_task(&dque_lock_cnt);
  _wakeup_delay_thread();
}

void dque_lock_delay() {
  while (dque_lock_cnt > 0) tqi_sleep(&dque_lock_cnt);
  --dque_lock_cnt;
}

void dque_unlock_delay() {
  ++dque_lock_cnt;
  wakeup_task(&dque_lock_cnt);
}

int entry_of(SYS_QUEUE*, Q_HEADER* item, void* tqi) {
  return reinterpret_cast<DELAY_QUE_T*>(item)->tqi == tqi ? 0 : -1;
}

// An entry whose value is no longer pending; its readiness state goes to *state.
int ready_entry(SYS_QUEUE*, Q_HEADER* item, void* state) {
  const int st = check_delay(reinterpret_cast<DELAY_QUE_T*>(item)->ret, 0);
  if (st == 1) return -1;
  *static_cast<int*>(state) = st;
  return 0;
}

bool is_d_sexp(TQ_SEXP* s) {
  return s && sexp_tag(s) == kTagDelay && s->delay.dtype == kDelayFunc && s->delay.d.func &&
         s->delay.d.func->func == d_sexp_func;
}

D_SEXP* search(TQ_SEXP* s, int depth) {
  if (depth >= kNestLimit) return nullptr;
  for (; s; s = s->pair.cdr) {
    if (is_d_sexp(s)) return reinterpret_cast<D_SEXP*>(s->delay.d.func);
    if (sexp_tag(s) != kTagPair) return nullptr;
    if (D_SEXP* d = search(s->pair.car, depth + 1)) return d;
  }
  return nullptr;
}

void reconnect_task(void*) {
  setup_self_interpreter();
  for (;;) {
    TQ_SEXP* form;
    {
      TqiLock l;
      RECONNECT_QUE* e = _reconnect_que;
      if (!e || _reconnect_que_task_nos > kReconnectTasks) break;
      _reconnect_que = e->next;
      if (!_reconnect_que) _reconnect_que_tail = nullptr;
      form = e->sexp;
      gc_push(form, gc_qv_sexp, "_reconnect_que_task");  // rooted before the entry goes
      d_f_ree(e);
    }
    get_type(form);  // forcing the form is the work
    gc_pop(nullptr, nullptr);
  }
  {
    TqiLock l;
    --_reconnect_que_task_nos;
  }
  close_self_interpreter();
}

}  // namespace

// ---- D_SEXP ------------------------------------------------------------------------------------

TQ_SEXP* new_d_sexp(D_SEXP** dp) {
  GcFrame frame("new_d_sexp");
  auto* d = static_cast<D_SEXP*>(mmalloc(sizeof(D_SEXP), gc_d_sexp));
  d->h.func = d_sexp_func;
  d->h.gc_func = gc_d_sexp;
  d->h.check_func = check_d_sexp;
  *dp = d;
  return frame.release(init_delay_func(&d->h));
}

void set_d_sexp(D_SEXP* d, TQ_SEXP* value) {
  TqiLock l;
  d->ret = value;
  d->flags |= 1;
  wakeup_task(d);
  _wakeup_delay_thread();
}

TQ_SEXP* d_sexp_func(TQ_SEXP* cell) {
  auto* d = reinterpret_cast<D_SEXP*>(cell->delay.d.func);
  TQ_SEXP* v;
  {
    TqiLock l;
    while (!(d->flags & 1)) tqi_sleep(d);
    v = d->ret;
  }
  over_write_sexp(cell, v);
  return cell;
}

int check_d_sexp(DELAY_FUNC* d, int) {
  TqiLock l;
  return reinterpret_cast<D_SEXP*>(d)->flags & 1 ? 2 : 1;
}

void gc_d_sexp(void* p) {
  if (!p || marked(p)) return;
  gc_text(p);
  gc_qv_sexp(static_cast<D_SEXP*>(p)->ret);
}

D_SEXP* search_d_sexp(TQ_SEXP* form) {
  MemLock m;
  return search(form, 0);
}

// ---- the delay queue ----------------------------------------------------------------------------

void init_delay_queue() {
  interpreter_que = SYS_QUEUE{};
  interpreter_que.flags = SQ_HIGH;
  interpreter_que.gc_func = gc_ique;
  interpreter_que.gc_get = gc_get_ique;
  interpreter_que.pri = 4;
  setup_queue(&interpreter_que);
}

void gc_ique(Q_HEADER* entry) { gc_qv_sexp(reinterpret_cast<DELAY_QUE_T*>(entry)->ret); }

void gc_get_ique(Q_HEADER* entry) { gc_set(reinterpret_cast<DELAY_QUE_T*>(entry)->ret, gc_qv_sexp); }

void _wakeup_delay_thread() {
  ++dque_gen;
  wakeup_task(&delay_key);
}

void insert_delay_que(TQ_INTERPRETER* tqi, int line, TQ_SEXP* value) {
  TqiLock l;
  dque_lock_tqi(tqi);
  if (tqi->flags & TQF_DQUE_CLOSED) {
    dque_unlock_tqi(tqi);
    return;
  }
  ++tqi->delay_que_cnt;
  unlock_task(tqi_lock, "insert_delay_que");  // the queue's lock comes before tqi_lock
  auto* e = reinterpret_cast<DELAY_QUE_T*>(new_queue_node(sizeof(DELAY_QUE_T)));
  e->ret = value;
  e->tqi = tqi;
  e->line = line;
  insert_queue(&interpreter_que, &e->h, 2);
  lock_task(tqi_lock);
  dque_unlock_tqi(tqi);
}

void close_delay_que(TQ_INTERPRETER* tqi, bool deliver) {
  // The wait holds no lock: tqi_sleep gives tqi_lock up, and the delay-queue lock is taken
  // only after it, so the delay thread can reply meanwhile and wake this on the count.
  while (deliver && tqi->delay_que_cnt > 0 && !(tqi->flags & TQF_CLOSE) && tqi->out)
    tqi_sleep(&tqi->delay_que_cnt);
  dque_lock_tqi(tqi);
  tqi->flags |= TQF_DQUE_CLOSED;
  while (tqi->delay_que_cnt > 0) {
    unlock_task(tqi_lock, "close_delay_que");
    Q_HEADER* e = delete_queue(&interpreter_que, entry_of, tqi, 0);
    lock_task(tqi_lock);
    if (!e) break;
    --tqi->delay_que_cnt;
    d_f_ree(e);
  }
  dque_unlock_tqi(tqi);
}

void delay_thread(void*) {
  setup_self_interpreter();
  for (;;) {
    {
      TqiLock l;
      if (interpreter_que_task > 0) break;  // another thread serves the queue
      ++interpreter_que_task;
    }
    GcFrame frame("delay_thread");
    DELAY_QUE_T* e = nullptr;
    int state = 0;
    for (;;) {
      unsigned gen;
      {
        TqiLock l;
        dque_lock_delay();
        dque_task = self_htid();
        dque_task_point = 1;
        gen = dque_gen;
      }
      e = reinterpret_cast<DELAY_QUE_T*>(delete_queue(&interpreter_que, ready_entry, &state, 0));
      if (e) break;
      TqiLock l;
      dque_unlock_delay();
      if (gen != dque_gen) continue;  // woken while looking
      new_timeout(&delay_key, 1);
      sleep_task(&delay_key, tqi_lock);
      del_timeout(&delay_key);
      lock_task(tqi_lock);
    }
    {
      TqiLock l;
      --interpreter_que_task;
      dque_task_point = 2;
    }
    // The value is computed here, maybe long: another thread serves the queue meanwhile. It is
    // started without waiting, as this one holds the delay-queue lock that every relay's
    // insertion and close waits for; with none to have, the queue waits for this value.
    if (state == 0) create_task_nowait(delay_thread, nullptr, 4);
    TQ_SEXP* value = realize_sexp(e->ret);
    dque_task_point = 3;
    _reply(e->tqi, e->line, value);
    dque_task_point = 4;
    {
      TqiLock l;
      --e->tqi->delay_que_cnt;
      wakeup_task(&e->tqi->delay_que_cnt);  // a relay whose input has ended may await it
      e->tqi->silent_cnt = 0;
      dque_unlock_delay();
      dque_task_point = 5;
    }
    d_f_ree(e);
  }
  close_self_interpreter();
}

// ---- the reconnect queue ---------------------------------------------------------------------------

namespace {

// Queues form (tqi_lock taken here) and starts a task for it from *spare when fewer than five
// run (the reservation is then used up); -1 when a task is due and *spare is none.
int queue_reconnect(TQ_SEXP* form, POOL_THREAD** spare) {
  TqiLock l;
  for (RECONNECT_QUE* e = _reconnect_que; e; e = e->next)
    if (e->sexp == form) return 0;
  const bool start = _reconnect_que_task_nos < kReconnectTasks;
  if (start && !*spare) return -1;
  auto* e = static_cast<RECONNECT_QUE*>(d_alloc(sizeof(RECONNECT_QUE)));
  e->sexp = form;
  e->next = nullptr;
  if (_reconnect_que_tail)
    _reconnect_que_tail->next = e;
  else
    _reconnect_que = e;
  _reconnect_que_tail = e;
  if (start && *spare) {
    ++_reconnect_que_task_nos;
    start_reserved_task(*spare, reconnect_task, nullptr, 2);
    *spare = nullptr;
  }
  return 0;
}

}  // namespace

int sexp_reconnect(TQ_SEXP* form) {
  // The task's thread is reserved before tqi_lock: a wait for one there would hold up every
  // interpreter, and their ends are what would give threads back.
  POOL_THREAD* spare = reserve_task();
  const int err = errno;
  const int r = queue_reconnect(form, &spare);
  if (spare) release_reserved_task(spare);
  errno = err;
  return r;
}

void gc_reconnect_que() {
  for (RECONNECT_QUE* e = _reconnect_que; e; e = e->next) gc_qv_sexp(e->sexp);
}

}  // namespace tq
