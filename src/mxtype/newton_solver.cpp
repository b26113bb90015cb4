// The Newton solver over interpolated reads, its step and its grid search, and the
// solver's printers.
#include "mxtype/newton_solver.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "matrix/ix_tuple.h"
#include "matrix/matrix.h"
#include "mxtype/datum.h"
#include "mxtype/interp_read.h"
#include "mxtype/linear_solve.h"
#include "mxtype/vector_build.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr int kSlowSteps = 10;       // level-0 steps before a slow solve takes the finer Jacobian
constexpr int kSearchSteps = 25;     // level-0 steps after which grid searches start
constexpr int kSearchEvery = 10;     // a grid search every that many steps
constexpr int kGridReach = 5;        // grid offsets run from -5 to 5

// v truncated toward zero into an int, saturated.
int to_int(double v) {
  if (std::isnan(v)) return 0;
  if (v >= double(INT_MAX)) return INT_MAX;
  if (v <= double(INT_MIN)) return INT_MIN;
  return int(v);
}

// Frees pool datums given (nulls pass).
template <class... D>
void release(MX_CACHE* c, D*... d) {
  (mxc_free(c, d), ...);
}

// The estimate of a usable request; null when the estimate or the goals are not a column of
// dim, or the channels taken are not dim at output area 0 and positions 0..dim-1 in channel
// order (the value column and the Jacobian's rows would not belong to the goals' rows, and
// a position past dim would be written past the value column).
double* estimate(MX_CACHE_PARAM* p) {
  const int dim = p->c->m->p.dim;
  int taken = 0;
  for (int k = 0; k < p->c->ds_len; ++k) {
    const MX_CACHE_PARAM_IX ix = p->data_ix[k];
    if (ix.x != kMxcSkip && (ix.p != 0 || ix.x != taken++)) return nullptr;
  }
  if (taken != dim) return nullptr;
  return mxt_double_elements(p->inp_buf, dim) ? mxt_double_elements(p->ret_buf, dim) : nullptr;
}

// Replaces J by the upper left block of avg_mtx; false when avg_mtx has no such block.
bool affine_jacobian(void* jac, void* avg, int dim) {
  double* j = mxt_double_elements(jac, dim * dim);
  double* a = mxt_double_elements(avg, (dim + 1) * (dim + 1));
  if (!j || !a) return false;
  for (int row = 0; row < dim; ++row)
    for (int col = 0; col < dim; ++col) j[col + dim * row] = a[col + (dim + 1) * row];
  return true;
}

// The new estimate from the Jacobian: x + J^-1 (goals - F(x)), J replaced once by the block
// of avg_mtx when it is singular.
void* jacobian_step(MX_CACHE_PARAM* p, void* jac, void* y) {
  MX_CACHE* c = p->c;
  void* d = mxt_sub_vv(p->inp_buf, y, c);
  void* delta = resolve_equation_double(jac, d, c);
  if (!delta && affine_jacobian(jac, p->avg_mtx, c->m->p.dim)) delta = resolve_equation_double(jac, d, c);
  void* next = delta ? mxt_add_vv(delta, p->ret_buf, c) : nullptr;
  release(c, d, delta);
  return next;
}

// The new estimate from the affine model alone: avg_mtx . (x, 1) = (goals, 1).
void* affine_step(MX_CACHE_PARAM* p) {
  MX_CACHE* c = p->c;
  void* e = mxt_e_m(&mx_type_double_v, 1, c);
  void* g = e ? mxt_compound_vv(p->inp_buf, e, 1, c) : nullptr;
  void* next = resolve_equation_double(p->avg_mtx, g, c);
  release(c, e, g);
  return next;
}

}  // namespace

double matrix_newton_double_loop(MX_CACHE_PARAM* p, int detail, double) {
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim;
  double* x = estimate(p);
  if (!x) return -1.0;
  double* yv;
  void* y = mxt_double_column(c, dim, &yv);
  if (!y) return -1.0;
  MX_CACHE_PARAM q = *p;
  q.inp_buf = x;
  q.dc = nullptr;
  q.data_ptrs[0] = yv;
  void* jac = nullptr;
  if (read_mx_ip_double(&q) == 0) {
    if (detail == 0) jac = read_mx_ipdiff_double(&q);
    if (detail == 1) jac = read_mx_ipdiff_double2(&q);
  }
  void* next = jac ? jacobian_step(p, jac, y) : affine_step(p);
  const double* xn = mxt_double_elements(next, dim);
  double s = -1.0;
  if (xn) {
    s = 0;
    for (int i = 0; i < dim; ++i) {
      s += (x[i] - xn[i]) * (x[i] - xn[i]);
      x[i] = xn[i];
    }
    s = std::sqrt(s);
  }
  release(c, y, jac, next);
  return s;
}

void generate_rand(MX_CACHE_PARAM* p, double tr) {
  if (!(p->tolerance > 0)) return;
  MX_CACHE* c = p->c;
  const int dim = c->m->p.dim;
  double* x = estimate(p);
  if (!x) return;
  const double* goal = mxt_double_elements(p->inp_buf, dim);
  MxcBuf<int> ix(c, dim), start(c, dim), inc(c, dim), size(c, dim), best_at(c, dim);
  MxcBuf<double> point(c, dim), vals(c, std::max(dim, c->ds_len));
  for (int a = 0; a < dim; ++a) start[a] = 0, inc[a] = 1, size[a] = 2 * kGridReach + 1;
  double best = -1.0;
  for (;;) {
    const int step = to_int(2.0 * (tr / 5.0));
    best = -1.0;
    for (int a = 0; a < dim; ++a) ix[a] = 0, best_at[a] = 0;
    do {
      for (int a = 0; a < dim; ++a) point[a] = x[a] + double(ix[a] - kGridReach) * step;
      std::fill(vals.get(), vals.get() + std::max(dim, c->ds_len), 0.0);
      MX_CACHE_PARAM q = *p;
      q.inp_buf = point.get();
      q.dc = nullptr;
      q.data_ptrs[0] = vals.get();
      if (read_mx_ip_double(&q) != 0) continue;
      double s = 0;
      for (int i = 0; i < dim; ++i) s += (vals[i] - goal[i]) * (vals[i] - goal[i]);
      const double dist = std::sqrt(s);
      if (best < 0 || best > dist) {
        best = dist;
        for (int a = 0; a < dim; ++a) best_at[a] = ix[a] - kGridReach;
      }
    } while (inc_ix(ix.get(), start.get(), inc.get(), size.get(), dim) == 0);
    for (int a = 0; a < dim; ++a) x[a] += double(best_at[a]) * step;
    // The search ends once tr is below tolerance (and on a tr that halving never brings there).
    if (!(p->tolerance <= tr) || !std::isfinite(tr)) break;
    tr /= 2;
  }
  p->result_y_tolerance = best;
}

int matrix_newton_double(MX_CACHE_PARAM* p) {
  // A tolerance that is not positive is never met: refused before anything is read.
  if (!(p->tolerance > 0) || !estimate(p)) {
    p->newton_status = MX_NEWTON_GIVEN_UP;
    return 0;
  }
  const MATRIX* m = p->c->m;
  double tr = -1.0;
  p->newton_status = MX_NEWTON_OK;
  p->result_y_tolerance = 0;
  bool first = true;
  int searches = 0, n = 0;
  int64_t total = 0;
  for (;;) {
    if (p->inp_level != 0) {
      tr = matrix_newton_double_loop(p, 0, tr);
    } else if (n > kSearchSteps) {
      p->newton_status = MX_NEWTON_SEARCH;
      if (n % kSearchEvery == 0) {
        generate_rand(p, tr);
        if (p->y_tolerance != 0 && p->result_y_tolerance < p->y_tolerance) break;
        if (++searches > 1) {
          p->newton_status = MX_NEWTON_GIVEN_UP;
          break;
        }
      }
      tr = matrix_newton_double_loop(p, 1, tr);
    } else if (n > p->try_avg * 1.2 && n > kSlowSteps) {
      p->newton_status = MX_NEWTON_SLOW;
      tr = matrix_newton_double_loop(p, 1, tr);
    } else {
      tr = matrix_newton_double_loop(p, 0, tr);
    }
    if (tr < 0) {  // no step could be taken: the estimate stays
      p->newton_status = MX_NEWTON_GIVEN_UP;
      break;
    }
    p->result_tolerance = tr;
    if (p->tolerance > tr && p->inp_level == 0) break;
    if (p->try_max != 0 && p->try_max <= total) {
      p->newton_status = MX_NEWTON_GIVEN_UP;
      break;
    }
    ++total;
    n = p->inp_level != 0 ? 0 : n + 1;
    if (first) {  // rise by the significant bits of the first step in tolerances
      int k = to_int(tr / p->tolerance) >> std::min<int>(m->block_size[0], 31);
      for (; k != 0; k /= 2) ++p->inp_level;
      first = false;
    }
    --p->inp_level;
    if (p->inp_level >= m->total_levels) p->inp_level = m->total_levels - 1;
    if (p->inp_level < 0) p->inp_level = 0;
  }
  p->try_avg = p->try_avg * 0.9 + double(total) * 0.1;
  return 0;
}

int print_ret_buf(const char* str, MX_CACHE_PARAM* p) {
  int r = ss_printf("%s\n", str);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, p->ret_buf);
  const double* x = mxt_double_elements(p->ret_buf, int(dh.total_element));
  for (int64_t i = 0; x && i < dh.total_element; ++i) r = ss_printf("\t%f\n", x[i]);
  return r;
}

int print_data(const char* str, const double* d, int len) {
  ss_printf("%s ", str);
  for (int i = 0; i < len; ++i) ss_printf("%f ", d[i]);
  return ss_printf("\n");
}

}  // namespace tq
