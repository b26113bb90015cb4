// The matrix store for benchmarks: started once on first use, with a bottom root frame,
// and a wait until the access queue is idle.
#pragma once
#include <thread>

#include "entry/start.h"
#include "lang/gc.h"
#include "matrix/matrix_registry.h"

namespace tqbench {

inline void start_store() {
  static bool started = [] {
    tq::minimum_matrix_init(0, nullptr);
    tq::gc_push(nullptr, nullptr, "bench");
    return true;
  }();
  (void)started;
}

inline void wait_idle() {
  while (__atomic_load_n(&tq::matrix_que.total_cnt, __ATOMIC_RELAXED) != 0 ||
         tq::get_active_que_thread(&tq::matrix_que) != 0)
    std::this_thread::yield();
}

}  // namespace tqbench
