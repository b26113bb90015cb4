// Delayed values (D_SEXP), the delay queue and its lock, the delay thread, and the
// reconnect queue.
#include "interp/delay.h"

#include "interp/reply.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"

namespace tq {

SYS_QUEUE interpreter_que;
int interpreter_que_task;

namespace {

int delay_key;           // the delay thread sleeps on its address
int dque_key;            // a thread waiting for an interpreter's delay-queue lock sleeps on it
unsigned dque_gen;       // bumped by every wake-up of the delay thread (tqi_lock)
DELAY_QUE_T* in_flight;  // entries taken by delay threads and not yet done with (tqi_lock)

struct RECONNECT_QUE {
  TQ_SEXP* sexp;
  RECONNECT_QUE* next;
};
RECONNECT_QUE* _reconnect_que;
RECONNECT_QUE* _reconnect_que_tail;
int _reconnect_que_task_nos;
constexpr int kReconnectTasks = 5;

bool marked(void* p) { return gc_block_of(p)->mark & kMarkLive; }

// ---- an interpreter's delay-queue lock (tqi_lock held; the wait releases it) ----

// Takes the lock of *who, waiting while another thread holds it; false, without it, when *who
// is cleared meanwhile (a delay thread's entry let go by its relay's end).
bool dque_lock(TQ_INTERPRETER* const* who, const char* file, int line) {
  while (*who && ((*who)->flags & TQF_DQUE_LOCK)) tqi_sleep(&dque_key);
  if (!*who) return false;
  (*who)->flags |= TQF_DQUE_LOCK;
  hand_lock_taken(HandLock::kDelayQueue, *who, file, line);
  return true;
}

void dque_unlock(TQ_INTERPRETER* t) {
  t->flags &= ~TQF_DQUE_LOCK;
  hand_lock_released(HandLock::kDelayQueue, t);
  wakeup_task(&dque_key);
  _wakeup_delay_thread();  // an entry of t may be taken now
}

int entry_of(SYS_QUEUE*, Q_HEADER* item, void* tqi) {
  return reinterpret_cast<DELAY_QUE_T*>(item)->tqi == tqi ? 0 : -1;
}

// Whether an entry of t may be taken (tqi_lock held): its relay goes on queuing, and no other
// entry of it is in flight, so one peer holds at most one delay thread at a time.
bool takeable(const TQ_INTERPRETER* t) {
  if (t->flags & TQF_DQUE_CLOSED) return false;
  for (const DELAY_QUE_T* f = in_flight; f; f = f->next_in_flight)
    if (f->tqi == t) return false;
  return true;
}

// An entry that may be taken and whose value is no longer pending; it is in flight from here
// on. Run under the queue's lock, under which a relay's purge removes its entries too: the
// purge finds each entry either queued or in flight.
int take_ready(SYS_QUEUE*, Q_HEADER* item, void*) {
  auto* e = reinterpret_cast<DELAY_QUE_T*>(item);
  {
    TqiLock l;
    if (!takeable(e->tqi)) return -1;
  }
  if (check_delay(e->ret, 0) == 1) return -1;
  TqiLock l;
  if (!takeable(e->tqi)) return -1;  // its relay ended while the value was looked at
  e->next_in_flight = in_flight;
  in_flight = e;
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

const void* dque_wait_key() { return &dque_key; }
const void* delay_wait_key() { return &delay_key; }

void _wakeup_delay_thread() {
  ++dque_gen;
  wakeup_task(&delay_key);
}

void insert_delay_que(TQ_INTERPRETER* tqi, int line, TQ_SEXP* value) {
  TqiLock l;
  dque_lock(&tqi, __FILE__, __LINE__);
  if (tqi->flags & TQF_DQUE_CLOSED) {
    dque_unlock(tqi);
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
  dque_unlock(tqi);
}

void close_delay_que(TQ_INTERPRETER* tqi, bool deliver) {
  // The wait holds no lock: tqi_sleep gives tqi_lock up, and the delay-queue lock is taken
  // only after it, so the delay thread can reply meanwhile and wake this on the count.
  while (deliver && tqi->delay_que_cnt > 0 && !(tqi->flags & TQF_CLOSE) && tqi->out)
    tqi_sleep(&tqi->delay_que_cnt);
  dque_lock(&tqi, __FILE__, __LINE__);  // a reply from the queue being written to it ends first
  tqi->flags |= TQF_DQUE_CLOSED;
  // An entry taken and still being forced is let go: the record may go, and its value is
  // dropped, never replied.
  for (DELAY_QUE_T* f = in_flight; f; f = f->next_in_flight)
    if (f->tqi == tqi) {
      f->tqi = nullptr;
      --tqi->delay_que_cnt;
    }
  // Every other entry counted is queued: an insertion holds the lock until its entry is in.
  while (tqi->delay_que_cnt > 0) {
    unlock_task(tqi_lock, "close_delay_que");
    Q_HEADER* e = delete_queue(&interpreter_que, entry_of, tqi, 0);
    lock_task(tqi_lock);
    if (!e) er_panic("close_delay_que");
    --tqi->delay_que_cnt;
    d_f_ree(e);
  }
  dque_unlock(tqi);
}

namespace {

// Takes the first entry that may be taken and is ready, waiting (asleep, woken by a value's
// arrival, a queuing interpreter or a one-second time-out) until there is one.
unsigned wakeups() {
  TqiLock l;
  return dque_gen;
}

DELAY_QUE_T* take_entry() {
  for (;;) {
    const unsigned gen = wakeups();
    if (auto* e = reinterpret_cast<DELAY_QUE_T*>(delete_queue(&interpreter_que, take_ready, nullptr, 0))) return e;
    TqiLock l;
    if (gen != dque_gen) continue;  // woken while looking
    new_timeout(&delay_key, 1);
    sleep_task(&delay_key, tqi_lock);
    del_timeout(&delay_key);
    lock_task(tqi_lock);
  }
}

// Forces the value of an entry taken and writes its reply, holding only the lock of the
// interpreter replied to, and only while the reply is written: so its relay does not queue
// or purge meanwhile, and every other interpreter does. An entry let go by its relay's end is
// dropped.
void reply_entry(DELAY_QUE_T* e) {
  TQ_SEXP* value = realize_sexp_from(e->ret, __FILE__, __LINE__);
  TQ_INTERPRETER* t;
  {
    TqiLock l;
    t = dque_lock(&e->tqi, __FILE__, __LINE__) ? e->tqi : nullptr;
  }
  if (t) _reply(t, e->line, value);
  TqiLock l;
  if (t) {
    // The silence count stays as the reply left it, the relay's: -1 while it evaluates a request,
    // which no time-out may cut.
    --t->delay_que_cnt;
    wakeup_task(&t->delay_que_cnt);  // a relay whose input has ended may await it
    dque_unlock(t);
  }
  DELAY_QUE_T** p = &in_flight;
  while (*p != e) p = &(*p)->next_in_flight;
  *p = e->next_in_flight;
}

}  // namespace

void delay_thread(void*) {
  setup_self_interpreter();
  for (;;) {
    {
      TqiLock l;
      if (interpreter_que_task > 0) break;  // another thread serves the queue
      ++interpreter_que_task;
    }
    GcFrame frame("delay_thread");
    DELAY_QUE_T* e = take_entry();
    {
      TqiLock l;
      --interpreter_que_task;
    }
    // Forcing the value (one still to be computed) and writing its reply (to a peer that does
    // not read) may each take long: another thread serves the queue meanwhile, so that no
    // value or peer holds up the replies to others. Its thread is reserved, as one a peer's
    // work takes, never waited for; with none to have, the queue waits for this entry.
    if (POOL_THREAD* successor = reserve_task()) start_reserved_task(successor, delay_thread, nullptr, 4);
    reply_entry(e);
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
