// Keyed queues: admission under the total and per-key limits, placement by order, waiting
// and conditional removal with time-outs, the worker protocol over keys, and the
// collector's locks over the queues that hold collected values.
#include "util/sys_queue.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "text/l_string.h"

namespace tq {

SEM queue_lock;
SEM queue_lock_for_gc;
SEM queue_lock_high;
SEM queue_lock_for_gc_high;
int queue_lock_for_gc_high_flag;
SYS_QUEUE* q_list;
PRI_CTL queue_lock_ctl{5, 0, nullptr};
int64_t (*queue_clock_ms)();

namespace {

// Runs a call at the queue control's priority and restores the caller's on return.
class QueuePri {
 public:
  QueuePri() : old_(push_pri_pctl(&queue_lock_ctl)) {}
  ~QueuePri() { change_pri(0, old_); }
  QueuePri(const QueuePri&) = delete;
  QueuePri& operator=(const QueuePri&) = delete;

 private:
  int old_;
};

bool same_lock(SEM a, SEM b) { return a.so == b.so; }

// The queue's lock class, panicking on a queue that was never set up (its handle is empty).
SEM lock_of(const SYS_QUEUE* q) {
  if (!lock_up_test(q->target_lock)) er_panic("setup_queue required");
  return q->target_lock;
}

// Sleeps on q, giving up its lock, and takes the lock again after the wake-up.
void sleep_on(SYS_QUEUE* q) {
  q->sleep_cnt++;
  sleep_task(q, q->target_lock);
  lock_task(q->target_lock);
}

void owed_worker_tick(void* q);

// Starts a worker for a key that has none (lock held). The start never waits for a thread
// here: the tasks that would give one back may need this lock, or the caller's, to end. With
// none to have now, the worker is owed and a tick tries again a second later.
void start_worker(SYS_QUEUE* q) {
  if (!q->key_func) return;
  if (q->workers_owed == 0 && create_task_nowait(q->key_func, q, q->pri) >= 0) {
    q->worker_cnt++;
    return;
  }
  q->workers_owed++;
  if (!q->owed_tick_set) {
    q->owed_tick_set = 1;
    new_tick(owed_worker_tick, -1, q);
  }
}

void owed_worker_tick(void* data) {
  auto* q = static_cast<SYS_QUEUE*>(data);
  LOCK_SCOPE(q->target_lock);
  q->owed_tick_set = 0;
  while (q->workers_owed > 0 && create_task_nowait(q->key_func, q, q->pri) >= 0) {
    q->workers_owed--;
    q->worker_cnt++;
  }
  if (q->workers_owed > 0) {
    q->owed_tick_set = 1;
    new_tick(owed_worker_tick, -1, q);
  }
}

KEY_LIST* find_key(SYS_QUEUE* q, const L_CHAR* key) {
  for (KEY_LIST* k = q->keylist; k; k = k->next)
    if (l_strcmp(k->key, key) == 0) return k;
  return nullptr;
}

// ---- admission and placement -------------------------------------------------------------

enum class Admit { refused, admitted, needs_thread };

// One admission attempt (lock held): admitted when the item may be placed, its key counted
// in. A new key of a queue with workers starts its worker: from *spare when the caller
// reserved one (then used up); a caller that must have the thread (spare given, null) gets
// needs_thread with nothing changed.
Admit try_admit(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, POOL_THREAD** spare) {
  const bool full = wait_flag < 2 && q->total_limit != 0 && q->total_cnt >= q->total_limit;
  if (full) return Admit::refused;
  if (!item->key) return Admit::admitted;
  if (KEY_LIST* k = find_key(q, item->key)) {
    if (wait_flag >= 2 || q->key_limit == 0 || float(k->cnt) < k->limit) {
      k->cnt++;
      return Admit::admitted;
    }
    return Admit::refused;
  }
  if (q->key_func && spare && !*spare) return Admit::needs_thread;
  KEY_LIST* k = static_cast<KEY_LIST*>(d_calloc(1, sizeof(KEY_LIST)));
  k->key = ll_copy_str(item->key);
  k->cnt = 1;
  k->limit = float(q->key_limit);
  k->next = q->keylist;
  q->keylist = k;
  if (q->key_func && spare) {
    q->worker_cnt++;
    start_reserved_task(*spare, q->key_func, q, q->pri);
    *spare = nullptr;
  } else {
    start_worker(q);
  }
  return Admit::admitted;
}

// Waits until the item is admitted (lock held throughout, except while asleep): admitted,
// refused when wait_flag is 0, or needs_thread (see try_admit).
Admit admit(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, POOL_THREAD** spare) {
  for (;;) {
    const Admit a = try_admit(q, item, wait_flag, spare);
    if (a != Admit::refused || wait_flag == 0) return a;
    sleep_on(q);
  }
}

// Links item after prev (null: at the head), keeping tail exact.
void link_after(SYS_QUEUE* q, Q_HEADER* prev, Q_HEADER* item) {
  item->next = prev ? prev->next : q->head;
  if (prev)
    prev->next = item;
  else
    q->head = item;
  if (!item->next) q->tail = item;
}

// The item after which a new item goes in the queue's order (null: the head).
Q_HEADER* place_by_order(SYS_QUEUE* q, const Q_HEADER* item) {
  switch (q->flags & SQ_ORDER_MASK) {
    case SQ_FIFO:
      return q->tail;
    case SQ_LIFO:
      return nullptr;
    default: {
      // Priority: before the first lower item; then LIFO also before the first equal one.
      const bool lifo = (q->flags & SQ_ORDER_MASK) == SQ_PRI_LIFO;
      const Q_HEADER* t = q->tail;
      if (!q->pri_unsorted && t && (lifo ? t->pri > item->pri : t->pri >= item->pri)) return q->tail;
      Q_HEADER* prev = nullptr;
      for (Q_HEADER* p = q->head; p && (lifo ? p->pri > item->pri : p->pri >= item->pri); p = p->next) prev = p;
      return prev;
    }
  }
}

Q_HEADER* place_at_offset(SYS_QUEUE* q, int offset) {
  Q_HEADER* prev = nullptr;
  for (Q_HEADER* p = q->head; p && offset > 0; p = p->next, --offset) prev = p;
  return prev;
}

void check_free(const Q_HEADER* item) {
  if (item->ins) er_panic("_insert_queue");
}

void place(SYS_QUEUE* q, Q_HEADER* item, Q_HEADER* prev, const char* file, int line) {
  item->ins = q;
  item->file = file;
  item->line = line;
  __atomic_store_n(&q->total_cnt, q->total_cnt + 1, __ATOMIC_RELAXED);
  link_after(q, prev, item);
  wakeup_task(q);
}

// ---- removal ---------------------------------------------------------------------------

// Unlinks item (whose predecessor is prev) and uncounts it (lock held).
void take(SYS_QUEUE* q, Q_HEADER* prev, Q_HEADER* item) {
  if (q->gc_get) q->gc_get(item);
  if (prev)
    prev->next = item->next;
  else
    q->head = item->next;
  if (q->tail == item) q->tail = prev;
  if (!q->head) q->pri_unsorted = 0;
  item->next = nullptr;
  item->ins = nullptr;
  __atomic_store_n(&q->total_cnt, q->total_cnt - 1, __ATOMIC_RELAXED);
  if (item->key)
    if (KEY_LIST* k = find_key(q, item->key)) k->cnt--;
  wakeup_task(q);
}

// The first qualifying item; *prev receives its predecessor.
Q_HEADER* find_item(SYS_QUEUE* q, Q_COND_FUNC cond, void* work, Q_HEADER** prev) {
  *prev = nullptr;
  for (Q_HEADER* p = q->head; p; *prev = p, p = p->next)
    if (!cond || cond(q, p, work) == 0) return p;
  return nullptr;
}

int64_t now_ms() {
  if (queue_clock_ms) return queue_clock_ms();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A removal's wait. A timed wait keeps its own deadline and tests it after every wake-up,
// whatever woke it; its time-out is keyed on the queue and re-armed whenever it may have
// been cancelled (the generation moved) or has run out.
struct QueueWait {
  explicit QueueWait(int wait_flag) : timed(wait_flag < 0) {
    // now_ms() truncates: one more millisecond keeps the wait from ending early.
    if (timed) deadline = now_ms() + int64_t(-int64_t(wait_flag)) * 1000 + 1;
  }
  bool expired() const { return timed && now_ms() >= deadline; }

  void sleep(SYS_QUEUE* q) {
    if (timed) arm(q);
    sleep_on(q);
    if (timed && --q->timed_wait_cnt == 0) {
      del_timeout(q);
      q->timeout_gen++;
    }
  }

 private:
  void arm(SYS_QUEUE* q) {
    const int64_t now = now_ms();
    if (!armed || gen != q->timeout_gen || now >= spent) {
      int64_t secs = (deadline - now + 999) / 1000;
      if (secs < 1) secs = 1;
      new_timeout(q, int(secs));
      armed = true;
      gen = q->timeout_gen;
      spent = now + secs * 1000 + 5000;  // after the time-out's last wake-up (+2 s, +4 s)
    }
    q->timed_wait_cnt++;
  }

  bool timed;
  int64_t deadline = 0;
  bool armed = false;
  unsigned gen = 0;
  int64_t spent = 0;
};

// A conditional waiter's registration: while any waits on a queue holding items, a 1-second
// tick wakes the queue so conditions that depend on more than the queue are re-tested.
void enter_cond_wait(SYS_QUEUE* q) {
  q->cond_del_wait_cnt++;
  if (q->head && !q->dq_tick_set) {
    new_tick(dq_tick, 1, q);
    q->dq_tick_set = 1;
  }
}

void leave_cond_wait(SYS_QUEUE* q) {
  if (--q->cond_del_wait_cnt == 0 && q->dq_tick_set) {
    del_tick_with_data(dq_tick, q);
    q->dq_tick_set = 0;
  }
}

}  // namespace

// ---- set-up ------------------------------------------------------------------------------

void init_queue() {
  LOCK_SCOPE(utils_lock);
  if (lock_up_test(queue_lock)) return;
  queue_lock_for_gc = new_lock();
  queue_lock_high = new_lock();
  queue_lock_for_gc_high = new_lock();
  queue_lock = new_lock();  // last: its presence means all four exist
}

void setup_queue(SYS_QUEUE* q) {
  init_queue();
  QueuePri pri;
  const bool high = (q->flags & SQ_HIGH) != 0;
  if (high)
    q->target_lock = q->gc_func ? queue_lock_for_gc_high : queue_lock_high;
  else
    q->target_lock = q->gc_func ? queue_lock_for_gc : queue_lock;
  q->cond_del_wait_cnt = 0;
  q->timed_wait_cnt = 0;
  q->timeout_gen = 0;
  q->dq_tick_set = 0;
  q->pri_unsorted = 0;
  LOCK_SCOPE(queue_lock_for_gc);
  q->next = q_list;
  q_list = q;
}

int release_queue(SYS_QUEUE* q) {
  QueuePri pri;
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  if (q->head) return -1;
  // queue_lock_for_gc guards q_list; a queue of that class already holds it.
  const bool own = !same_lock(lock, queue_lock_for_gc);
  if (own) lock_task(queue_lock_for_gc);
  for (SYS_QUEUE** p = &q_list; *p; p = &(*p)->next)
    if (*p == q) {
      *p = q->next;
      break;
    }
  q->next = nullptr;
  if (own) unlock_task(queue_lock_for_gc, "release_queue");
  return 0;
}

Q_HEADER* xx_new_queue_node(int size, const char* file, int line) {
  if (size < int(sizeof(Q_HEADER))) size = int(sizeof(Q_HEADER));
  return static_cast<Q_HEADER*>(xx_d_calloc(1, size_t(size), file, line));
}

// ---- insertion ---------------------------------------------------------------------------

namespace {

constexpr int kByOrder = -1;  // the offset of a placement by the queue's order

// Admission and placement at offset (kByOrder: by the queue's order). reserving: a new key's
// worker gets a thread reserved before the lock is taken, or the item is refused.
int insert(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, int offset, bool reserving, const char* file, int line) {
  check_free(item);
  QueuePri pri;
  SEM lock = lock_of(q);
  POOL_THREAD* spare = nullptr;
  for (;;) {
    Admit a;
    {
      LOCK_SCOPE(lock);
      a = admit(q, item, wait_flag, reserving ? &spare : nullptr);
      if (a == Admit::admitted) {
        Q_HEADER* prev = offset == kByOrder ? place_by_order(q, item) : place_at_offset(q, offset);
        const Q_HEADER* next = prev ? prev->next : q->head;
        if (offset != kByOrder && ((prev && prev->pri < item->pri) || (next && next->pri > item->pri)))
          q->pri_unsorted = 1;
        place(q, item, prev, file, line);
      }
    }
    if (a == Admit::admitted) break;
    if (a == Admit::refused) {
      if (spare) release_reserved_task(spare);
      return -1;
    }
    // The reservation is made without the lock; the admission is tried afresh after it.
    if (!(spare = reserve_task())) return -1;  // errno from reserve_task
  }
  if (spare) release_reserved_task(spare);  // the key had its worker meanwhile
  return 0;
}

}  // namespace

int xx_insert_queue(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, const char* file, int line) {
  return insert(q, item, wait_flag, kByOrder, false, file, line);
}

int xx_insert_queue_reserving(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, const char* file, int line) {
  return insert(q, item, wait_flag, kByOrder, true, file, line);
}

int insert_queue_offset(SYS_QUEUE* q, Q_HEADER* item, int offset, int wait_flag) {
  return insert(q, item, wait_flag, offset < 0 ? 0 : offset, false, __FILE__, __LINE__);
}

// ---- removal -----------------------------------------------------------------------------

Q_HEADER* delete_queue(SYS_QUEUE* q, Q_COND_FUNC cond, void* work, int wait_flag) {
  QueuePri pri;
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  QueueWait wait(wait_flag);
  for (;;) {
    Q_HEADER* prev;
    if (Q_HEADER* item = find_item(q, cond, work, &prev)) {
      take(q, prev, item);
      return item;
    }
    if (wait_flag == 0 || wait.expired()) return nullptr;
    if (cond) enter_cond_wait(q);
    wait.sleep(q);
    if (cond) leave_cond_wait(q);
  }
}

int sq_key_cond(SYS_QUEUE*, Q_HEADER* item, void* key) {
  if (!item->key || !key) return -1;
  return l_strcmp(item->key, static_cast<const L_CHAR*>(key)) == 0 ? 0 : -1;
}

int check_queue(SYS_QUEUE* q, Q_COND_FUNC cond, void* work) {
  QueuePri pri;
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  int count = 0;
  for (Q_HEADER* p = q->head; p; p = p->next) {
    const int r = cond ? cond(q, p, work) : 0;
    if (r == 0x7FFFFFFF) break;
    if (r == 0) count++;
  }
  return count;
}

// ---- keys and workers ----------------------------------------------------------------------

L_CHAR* touch_qkey(SYS_QUEUE* q) {
  QueuePri pri;
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  for (KEY_LIST* k = q->keylist; k; k = k->next)
    if (!k->task_asign) {
      k->task_asign = 1;
      return ll_copy_str(k->key);
    }
  return nullptr;
}

void release_qkey(SYS_QUEUE* q, const L_CHAR* key) {
  QueuePri pri;
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  KEY_LIST** p = &q->keylist;
  while (*p && l_strcmp((*p)->key, key) != 0) p = &(*p)->next;
  KEY_LIST* k = *p;
  if (!k) {
    ss_printf("invalid key %ls\n", key);
    er_panic("key");
  }
  if (k->cnt == 0) {
    *p = k->next;
    d_f_ree(k->key);
    d_f_ree(k);
    return;
  }
  // Items of the key arrived after the worker's last removal: hand them to a new worker.
  k->task_asign = 0;
  start_worker(q);
}

int get_active_que_thread(SYS_QUEUE* q) {
  QueuePri pri;
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  int n = 0;
  for (KEY_LIST* k = q->keylist; k; k = k->next) n += k->task_asign ? 1 : 0;
  return n;
}

int get_key_count(SYS_QUEUE* q, const L_CHAR* key) {
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  const KEY_LIST* k = find_key(q, key);
  return k ? k->cnt : 0;
}

int set_key_limit(SYS_QUEUE* q, const L_CHAR* key, float limit) {
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  KEY_LIST* k = find_key(q, key);
  if (!k) return -1;
  k->limit = limit;
  wakeup_task(q);  // a raised limit may admit a waiting insertion
  return 0;
}

float get_key_limit(SYS_QUEUE* q, const L_CHAR* key) {
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  const KEY_LIST* k = find_key(q, key);
  return k ? k->limit : float(q->key_limit);
}

void print_key_list(SYS_QUEUE* q) {
  // Copying onto the head of a new list turns the order round: oldest key first.
  KEY_LIST* copy = nullptr;
  {
    SEM lock = lock_of(q);
    LOCK_SCOPE(lock);
    for (const KEY_LIST* k = q->keylist; k; k = k->next) {
      KEY_LIST* c = static_cast<KEY_LIST*>(d_calloc(1, sizeof(KEY_LIST)));
      *c = *k;
      c->key = ll_copy_str(k->key);
      c->next = copy;
      copy = c;
    }
  }
  ss_printf("KEY\n");
  while (KEY_LIST* c = copy) {
    ss_printf("\t%ls %i %i\n", c->key, c->cnt, c->task_asign);
    copy = c->next;
    d_f_ree(c->key);
    d_f_ree(c);
  }
  ss_printf("KEY END\n");
}

int wait_queue_total_cnt(SYS_QUEUE* q, int size, int type_flags) {
  if (!(type_flags & (SQ_CNT_EQ | SQ_CNT_BELOW | SQ_CNT_ABOVE))) {
    errno = EINVAL;  // no condition could ever end the wait
    return -1;
  }
  SEM lock = lock_of(q);
  LOCK_SCOPE(lock);
  for (;;) {
    const int n = q->total_cnt;
    if (((type_flags & SQ_CNT_EQ) && n == size) || ((type_flags & SQ_CNT_BELOW) && n < size) ||
        ((type_flags & SQ_CNT_ABOVE) && n > size))
      return 0;
    sleep_on(q);
  }
}

// ---- server keys -----------------------------------------------------------------------------

L_CHAR* xx_get_server_key(const URL* u, const char* prefix, const char* file, int line) {
  static constexpr L_CHAR kTqp[] = {'t', 'q', 'p', 0};
  static constexpr L_CHAR kServer[] = {'s', 'e', 'r', 'v', 'e', 'r', 0};
  static constexpr L_CHAR kEmpty[] = {0};
  const L_CHAR* proto = u && u->proto ? u->proto : kTqp;
  const L_CHAR* server = u && u->server ? u->server : kServer;
  const L_CHAR* agent = u && u->agent ? u->agent : kEmpty;
  const size_t cap = size_t(l_strlen(proto)) + size_t(l_strlen(server)) + size_t(l_strlen(agent)) +
                     (prefix ? std::strlen(prefix) : 0) + 32;
  L_CHAR* buf = static_cast<L_CHAR*>(d_alloc(cap * sizeof(L_CHAR)));
  int n = 0;
  if (u) n = ss_sprintf(buf, "%ls://%ls:%i/@%ls", proto, server, u->port, agent);
  if (n < 0) n = 0;
  if (prefix)
    ss_sprintf(buf + n, "-%s", prefix);
  else if (!u)
    ss_sprintf(buf, "-");
  else
    buf[n] = 0;
  L_CHAR* key = xx_ll_copy_str(buf, file, line);
  d_f_ree(buf);
  return key;
}

// ---- collector -----------------------------------------------------------------------------

void gc_queue_lock_high() {
  lock_task(queue_lock_for_gc_high);
  queue_lock_for_gc_high_flag = 1;
}

void gc_queue_lock() {
  if (!queue_lock_for_gc_high_flag) er_panic("required gc_queue_lock_high");
  lock_task(queue_lock_for_gc);
}

void gc_queue() {
  for (SYS_QUEUE* q = q_list; q; q = q->next) {
    if (!q->gc_func) continue;
    for (Q_HEADER* p = q->head; p; p = p->next) q->gc_func(p);
  }
}

void gc_queue_unlock() {
  queue_lock_for_gc_high_flag = 0;
  unlock_task(queue_lock_for_gc, "gc_queue_unlock");
  unlock_task(queue_lock_for_gc_high, "gc_queue_unlock");
}

void dq_tick(void* q) { wakeup_task(q); }

}  // namespace tq
