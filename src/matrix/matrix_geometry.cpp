// Level geometry of a matrix: the level count, the size of every level by ceil-halving, and
// the length of a node's child bit field. Shifts by a divisor of 64 or more are guarded.
#include <algorithm>

#include "matrix/dim_code.h"
#include "matrix/matrix.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

// The ceiling of n / 2^shift.
int64_t ceil_shift(int64_t n, int shift) {
  const bool low_bits = (uint64_t(n) & ~mx_span_mask(shift)) != 0;
  return mx_sar(n, shift) + (low_bits ? 1 : 0);
}

void free_size_list(MATRIX* m) {
  if (m->pixel_size_list) {
    for (int l = 0; l < m->total_levels; ++l) d_f_ree(m->pixel_size_list[l]);
    d_f_ree(m->pixel_size_list);
  }
  m->pixel_size_list = nullptr;
  m->total_levels = 0;
}

// Whether every axis has a size and a divisor (a geometry to derive levels from).
bool axes_complete(const MATRIX* m) {
  for (int a = 0; a < m->p.dim; ++a)
    if (m->pixel_size[a] == 0 || m->dim_divide[a] == 0) return false;
  return true;
}

// The levels axis a needs to ceil-halve its size down to 1.
int axis_levels(const MATRIX* m, int a) {
  int c = 0;
  for (int64_t n = m->pixel_size[a]; n > 1; n = ceil_shift(n, m->dim_divide[a])) ++c;
  return c + 1;
}

}  // namespace

void _cal_matrix_total_levels(MATRIX* m) {
  free_size_list(m);  // a matrix without levels keeps no sizes
  if (!m->pixel_size || !m->dim_divide || m->p.dim == 0 || !axes_complete(m)) return;
  int levels = m->p.total_levels;
  if (levels == 0)
    for (int a = 0; a < m->p.dim; ++a) levels = std::max(levels, axis_levels(m, a));
  const int dim = m->p.dim;
  m->pixel_size_list = static_cast<int64_t**>(d_calloc(size_t(levels), sizeof(int64_t*)));
  for (int l = 0; l < levels; ++l) {
    int64_t* row = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * size_t(dim)));
    for (int a = 0; a < dim; ++a)
      row[a] = l == 0 ? m->pixel_size[a] : std::max<int64_t>(1, ceil_shift(m->pixel_size_list[l - 1][a], m->dim_divide[a]));
    m->pixel_size_list[l] = row;
  }
  m->total_levels = levels;
}

void _cal_nlist_dim_bit_field(MATRIX* m) {
  int sum = 0;
  for (int a = 0; a < m->p.dim; ++a) {
    if (m->dim_divide[a] == 0) return;
    sum += m->dim_divide[a];
  }
  if (sum > 13)
    m->dim_bit_field = 0;
  else if (sum > 2)
    m->dim_bit_field = 1 << (sum - 3);
  else
    m->dim_bit_field = 1;
}

}  // namespace tq
