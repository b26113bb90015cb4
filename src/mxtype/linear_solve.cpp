// Elimination of square systems of doubles and the inverse built on it.
#include "mxtype/linear_solve.h"

#include <cmath>

#include "matrix/access_cache.h"
#include "mxtype/datum.h"
#include "mxtype/mx_type.h"

namespace tq {

namespace {

// Solves the n x n system a . x = v (raw elements, row-major by rows) into x; false when a
// pivot is 0.
bool eliminate(MX_CACHE* c, const double* a, const double* v, int n, double* x) {
  if (n == 1) {
    if (a[0] == 0) return false;
    x[0] = v[0] / a[0];
    return true;
  }
  int p = 0;
  double largest = std::fabs(a[0]);
  for (int i = 1; i < n; ++i)
    if (std::fabs(a[i + int64_t(n) * i]) > largest) {
      largest = std::fabs(a[i + int64_t(n) * i]);
      p = i;
    }
  if (largest == 0) return false;
  const double q = a[p + int64_t(n) * p];
  const int m = n - 1;
  MxcBuf<double> a2(c, int64_t(m) * m), v2(c, m), y(c, m);
  for (int i = 0, i2 = 0; i < n; ++i) {
    if (i == p) continue;
    const double head = a[p + int64_t(n) * i];
    const double f = head == 0 ? 1.0 : q / head;  // a row without x_p stays as it is
    for (int j = 0, j2 = 0; j < n; ++j) {
      if (j == p) continue;
      const double aj = a[j + int64_t(n) * i];
      a2[j2++ + int64_t(m) * i2] = head == 0 ? aj : aj * f - a[j + int64_t(n) * p];
    }
    v2[i2++] = head == 0 ? v[i] : v[i] * f - v[p];
  }
  if (!eliminate(c, a2.get(), v2.get(), m, y.get())) return false;
  double sum = 0;
  for (int i = 0, i2 = 0; i < n; ++i) {
    if (i == p) continue;
    x[i] = y[i2];
    sum += y[i2++] * a[i + int64_t(n) * p];
  }
  x[p] = (v[p] - sum) / q;
  return true;
}

// The size n of a square double_v matrix a (2 axes of n), or 0 when a is none.
int square_double(const MATRIX_DH_SET& da) {
  const bool square = da.hd->type == MXT_DOUBLE_V && da.hd->dim == 2 && da.ix[0] == da.ix[1];
  return square && da.ix[0] > 0 ? da.ix[0] : 0;
}

}  // namespace

void* mxt_double_column(MX_CACHE* c, int n, double** el) {
  int sizes[2] = {1, n};
  const double zero = 0;
  MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, const_cast<double*>(&zero), c};
  void* v = mxt_alloc_vector(&mx_type_double_v, MX_ALLOC_POOL, &prm, c);
  if (v && el) *el = mxt_double_elements(v, n);
  return v;
}

double* mxt_double_elements(void* d, int n) {
  if (!d) return nullptr;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  if (dh.hd->type != MXT_DOUBLE_V || dh.total_element < n) return nullptr;
  return reinterpret_cast<double*>(dh.offset);
}

void* resolve_equation_double(void* a, void* v, MX_CACHE* c) {
  if (!a || !v) return nullptr;
  MATRIX_DH_SET da, dv;
  get_matrix_dh_set(&da, a);
  get_matrix_dh_set(&dv, v);
  const int n = square_double(da);
  if (!n || dv.hd->type != da.hd->type) return nullptr;
  const bool shape = dv.hd->dim == 1 ? dv.ix[0] == n
                                     : dv.hd->dim == 2 && ((dv.ix[0] == 1 && dv.ix[1] == n) || (dv.ix[0] == n && dv.ix[1] == 1));
  if (!shape) return nullptr;
  double* x;
  void* col = mxt_double_column(c, n, &x);
  if (!col) return nullptr;
  if (eliminate(c, reinterpret_cast<double*>(da.offset), reinterpret_cast<double*>(dv.offset), n, x)) return col;
  mxc_free(c, col);
  return nullptr;
}

void* mxt_reverse_double(void* a, MX_CACHE* c) {
  if (!a) return nullptr;
  MATRIX_DH_SET da;
  get_matrix_dh_set(&da, a);
  // Only a square matrix has an inverse; nothing is made for any other (its n x n result
  // could be far larger than the matrix given).
  const int n = square_double(da);
  if (!n) return nullptr;
  int sizes[2] = {n, n};
  const double zero = 0;
  MATRIX_ALLOC_VECTOR_PARAM one{1, sizes, const_cast<double*>(&zero), c}, two{2, sizes, const_cast<double*>(&zero), c};
  void* e = mxt_alloc_vector(&mx_type_double_v, MX_ALLOC_POOL, &one, c);
  void* r = mxt_alloc_vector(&mx_type_double_v, MX_ALLOC_POOL, &two, c);
  double* ee = mxt_double_elements(e, n);
  double* rr = mxt_double_elements(r, n * n);
  if (!ee || !rr) {
    mxc_free(c, r);
    r = nullptr;
  }
  for (int i = 0; r && i < n; ++i) {
    ee[i] = 1;
    void* x = resolve_equation_double(a, e, c);
    ee[i] = 0;
    if (!x) {
      mxc_free(c, r);
      r = nullptr;
      break;
    }
    const double* xx = mxt_double_elements(x, n);
    for (int j = 0; j < n; ++j) rr[int64_t(i) * n + j] = xx[j];
    mxc_free(c, x);
  }
  mxc_free(c, e);
  return r;
}

}  // namespace tq
