// The matrix store's shared state: locks, the ring of open matrices, the holder ring and
// its collector step, the element-type table and the close key.
#include "matrix/matrix_registry.h"

#include <atomic>

#include "lang/gc.h"
#include "matrix/matrix.h"
#include "matrix/matrix_node.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "text/l_string.h"

namespace tq {

SEM matrix_lock;
SEM matrix_gc_lock;
MATRIX* matrices_root;
MATRIX_SEXP* ms_root;
int total_ncache_size;
MATRIX_NODE* nd_root;
int nd_cnt;
MDT mtx_type_tbl[kMxTypeTableSize];
SYS_QUEUE matrix_que;
TQISP_ENV* matrix_tq_env;

namespace {

char close_key;  // its address is the key

// Whether this thread's collection took matrix_gc_lock. The lock may come into being while
// a collection runs (the store starts after the collector), and that collection must then
// neither release a lock it never took nor walk the ring without it.
thread_local bool gc_holds_matrix_lock;

}  // namespace

void insert_matrix_type_table(MDT tp) {
  if (tp->type < 0 || tp->type >= kMxTypeTableSize) er_panic("insert_matrix_type_table");
  mtx_type_tbl[tp->type] = tp;
}

MDT get_matrix_data_type(int type) {
  return type >= 0 && type < kMxTypeTableSize ? mtx_type_tbl[type] : nullptr;
}

void _insert_matrix_ring(MATRIX* m) {
  m->mx_prev = matrices_root;
  m->mx_next = matrices_root->mx_next;
  matrices_root->mx_next->mx_prev = m;
  matrices_root->mx_next = m;
  m->last_access = int64_t(tick_now());  // the idle pass measures on the tick clock
}

void _delete_matrix_ring(MATRIX* m) {
  m->mx_prev->mx_next = m->mx_next;
  m->mx_next->mx_prev = m->mx_prev;
  m->mx_next = m->mx_prev = nullptr;
}

MATRIX* _search_matrix_filename(const L_CHAR* filename) {
  if (!filename) return nullptr;
  for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next)
    if (m->filename && l_strcmp(m->filename, filename) == 0) return m;
  return nullptr;
}

void _xx_insert_matrix_sexp(MATRIX_SEXP* d, const char* file, int line) {
  LOCK_SCOPE(matrix_gc_lock);
  d->file = file;
  d->line = line;
  d->prev = ms_root;
  d->next = ms_root->next;
  ms_root->next->prev = d;
  ms_root->next = d;
}

MATRIX_SEXP* xx_new_matrix_sexp(TQ_SEXP* s, const char* file, int line) {
  auto* d = static_cast<MATRIX_SEXP*>(xx_d_calloc(1, sizeof(MATRIX_SEXP), file, line));
  d->data = s;
  d->gc_func = gc_qv_sexp;
  LOCK_SCOPE(matrix_lock);
  _xx_insert_matrix_sexp(d, file, line);
  return d;
}

void _delete_matrix_sexp(MATRIX_SEXP* d) {
  d->prev->next = d->next;
  d->next->prev = d->prev;
  d->next = d->prev = nullptr;
}

void gc_matrix_lock() {
  // The store's start-up makes the lock while collections run already: it is read once, as
  // published, so the record it names is seen whole.
  const SEM lock = std::atomic_ref<SEM>(matrix_gc_lock).load(std::memory_order_acquire);
  gc_holds_matrix_lock = lock_up_test(lock);
  if (gc_holds_matrix_lock) lock_task(lock);
}

void gc_matrix_unlock() {
  if (gc_holds_matrix_lock) unlock_task(matrix_gc_lock, "gc_matrix_unlock");
  gc_holds_matrix_lock = false;
}

void gc_matrix() {
  // The words' environment is marked by a collection that began before the lock existed
  // too: made meanwhile, it has no other root once its maker's frame has closed.
  if (TQISP_ENV* env = std::atomic_ref<TQISP_ENV*>(matrix_tq_env).load(std::memory_order_acquire)) gc_qvlisp_env(env);
  if (!gc_holds_matrix_lock || !ms_root) return;
  for (MATRIX_SEXP* d = ms_root->next; d != ms_root;) {
    MATRIX_SEXP* next = d->next;
    if (d->del) {
      _delete_matrix_sexp(d);
      d_f_ree(d);
    } else if (d->gc_func) {
      d->gc_func(d->data);
    }
    d = next;
  }
}

const void* matrix_close_key() { return &close_key; }

void wakeup_close_key_if_idle() {
  // A racy read is enough: every waiter re-tests its condition after waking.
  if (__atomic_load_n(&matrix_que.total_cnt, __ATOMIC_RELAXED) == 0) wakeup_task(&close_key);
}

}  // namespace tq
