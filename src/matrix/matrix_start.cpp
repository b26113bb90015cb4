// The matrix store's start-up, one table of steps in their fixed order, and the access
// queue's worker.
#include "matrix/matrix_start.h"

#include <array>
#include <atomic>

#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "matrix/matrix_node.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_token.h"
#include "matrix/mx_code.h"
#include "matrix/mx_file_access.h"
#include "matrix/matrix_upkeep.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/tick.h"

namespace tq {

std::span<const MX_WORD_REGISTRAR> matrix_word_registrars;

namespace {

constexpr int kWorkerPri = 3;  // thread priority of the access queue's workers

bool started;
std::array<const char*, 64> steps_run;  // the last entry stays null
int steps_cnt;

void record(const char* name) {
  if (steps_cnt < int(steps_run.size()) - 1) steps_run[size_t(steps_cnt++)] = name;
}

template <class T>
T* new_head() {
  return static_cast<T*>(d_calloc(1, sizeof(T)));
}

void init_rings() {
  MATRIX_SEXP* ms = new_head<MATRIX_SEXP>();
  ms->next = ms->prev = ms;
  MATRIX_NODE* nd = new_head<MATRIX_NODE>();
  nd->h.next = nd->h.prev = nd;
  nd_root = nd;
  nd_cnt = 0;
  ms_root = ms;
}

void init_budget() { total_ncache_size = kMinNodeCacheSize; }

// The collector takes matrix_gc_lock once it exists (its hooks are set before the store
// starts), so the handle is published with release, after the rings it guards are made.
void init_locks() {
  matrix_lock = new_lock();
  set_lock_waits(matrix_lock, waits(PeerWait::kHelper));  // a store file in another user's folder: see platform/rules.h
  std::atomic_ref<SEM>(matrix_gc_lock).store(new_lock(), std::memory_order_release);
}

void init_matrix_ring() {
  MATRIX* m = new_head<MATRIX>();
  m->mx_next = m->mx_prev = m;
  matrices_root = m;
}

void init_access_queue() {
  matrix_que = SYS_QUEUE{};
  matrix_que.flags = SQ_PRI;  // highest pri first, arrival order among equals
  matrix_que.key_func = matrix_que_task;
  matrix_que.pri = kWorkerPri;
  setup_queue(&matrix_que);
}

void init_element_types() {
  for (MDT tp : mx_type_register_order) insert_matrix_type_table(tp);
}

// Rooted by init_matrix's frame until it is published; every collection marks it from then
// on, also one that began before the store's lock existed.
void init_word_env() {
  std::atomic_ref<TQISP_ENV*>(matrix_tq_env).store(new_env(qvlisp_top_env0), std::memory_order_release);
}

void init_access_tick() { new_tick(matrix_access_tick, kMatrixAccessTickSeconds, nullptr); }

struct Step {
  const char* name;
  void (*run)();  // null: the word registrars
};

constexpr Step kSteps[] = {
    {"init_mx_file", init_mx_file},
    {"init_rings", init_rings},
    {"init_budget", init_budget},
    {"init_locks", init_locks},
    {"init_matrix_ring", init_matrix_ring},
    {"init_access_queue", init_access_queue},
    {"init_element_types", init_element_types},
    {"init_word_env", init_word_env},
    {"init_words", nullptr},
    {"init_access_tick", init_access_tick},
};

}  // namespace

void init_matrix() {
  if (started) return;
  started = true;
  // A collection may run meanwhile (the collector started before the store), and what a
  // step makes stays unrooted until it is bound: this frame holds it until then.
  GcFrame frame("init_matrix");
  for (const Step& s : kSteps) {
    if (s.run) {
      s.run();
      record(s.name);
      continue;
    }
    for (const MX_WORD_REGISTRAR& r : matrix_word_registrars) {
      r.init(matrix_tq_env);
      record(r.name);
    }
  }
}

const char* const* matrix_start_steps() { return steps_run.data(); }

void matrix_que_task(void*) {
  L_CHAR* key = touch_qkey(&matrix_que);
  if (!key) return;
  setup_self_interpreter();  // a self-kind interpreter bound to this thread
  for (;;) {
    GcFrame frame("dm_loading_task");
    auto* t = reinterpret_cast<MATRIX_TOKEN*>(delete_queue(&matrix_que, sq_key_cond, key, 0));
    if (!t) break;
    t->func(t);
  }
  close_self_interpreter();
  release_qkey(&matrix_que, key);
  d_f_ree(key);
}

}  // namespace tq
