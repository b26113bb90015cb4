// The matrix store for benchmarks: started once on first use, with a bottom root frame,
// and a wait until the access queue is idle.
#pragma once
#include <thread>

#include "entry/start.h"
#include "lang/gc.h"
#include "matrix/matrix.h"
#include "platform/d_alloc.h"
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

// A matrix description of dim axes of blocks of 2^bs, one level bit per axis, pixel samples
// on level 0 (free with free_matrix).
inline tq::MATRIX* new_matrix(int dim, int bs, int64_t pixel) {
  auto* m = static_cast<tq::MATRIX*>(d_calloc(1, sizeof(tq::MATRIX)));
  tq::MATRIX_PARAM p{};
  p.dim = dim;
  tq::set_matrix_param(m, &p);
  for (int a = 0; a < dim; ++a) {
    tq::set_matrix_block_size(m, a, bs);
    tq::set_matrix_dim_divide(m, a, 1);
    tq::set_matrix_pixel_size(m, a, pixel);
  }
  return m;
}
inline void free_matrix(tq::MATRIX* m) {
  tq::_free_matrix_description(m);
  d_f_ree(m);
}

inline void wait_idle() {
  while (__atomic_load_n(&tq::matrix_que.total_cnt, __ATOMIC_RELAXED) != 0 ||
         tq::get_active_que_thread(&tq::matrix_que) != 0)
    std::this_thread::yield();
}

}  // namespace tqbench
