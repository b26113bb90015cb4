// Dense matrices of doubles and the 3-by-3 equation solver.
#include "util/ex_matrix.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/d_alloc.h"

namespace tq {

EX_MATRIX* new_ex_matrix(int v, int h) {
  if (v < 0 || h < 0 || v > INT16_MAX || h > INT16_MAX) return nullptr;
  size_t n = size_t(v) * size_t(h);
  auto* m = static_cast<EX_MATRIX*>(d_calloc(1, sizeof(EX_MATRIX) + n * sizeof(double)));
  m->v_size = int16_t(v);
  m->h_size = int16_t(h);
  m->d = reinterpret_cast<double*>(m + 1);
  return m;
}

void free_ex_matrix(EX_MATRIX* m) {
  if (m) d_f_ree(m);
}

static int elements(const EX_MATRIX* m) { return m->h_size * m->v_size; }
static bool same_shape(const EX_MATRIX* a, const EX_MATRIX* b) {
  return a->h_size == b->h_size && a->v_size == b->v_size;
}

EX_MATRIX* add_ex(const EX_MATRIX* m1, const EX_MATRIX* m2) {
  if (!same_shape(m1, m2)) return nullptr;
  EX_MATRIX* r = new_ex_matrix(m1->v_size, m1->h_size);
  for (int i = 0; i < elements(r); i++) r->d[i] = m1->d[i] + m2->d[i];
  return r;
}

EX_MATRIX* sub_ex(const EX_MATRIX* m1, const EX_MATRIX* m2) {
  if (m2 && !same_shape(m1, m2)) return nullptr;
  EX_MATRIX* r = new_ex_matrix(m1->v_size, m1->h_size);
  for (int i = 0; i < elements(r); i++) r->d[i] = m2 ? m1->d[i] - m2->d[i] : -m1->d[i];
  return r;
}

EX_MATRIX* mul_ex(const EX_MATRIX* m1, const EX_MATRIX* m2) {
  if (m1->h_size != m2->v_size) return nullptr;
  EX_MATRIX* r = new_ex_matrix(m1->v_size, m2->h_size);
  for (int row = 0; row < r->v_size; row++) {
    for (int col = 0; col < r->h_size; col++) {
      double sum = 0;
      for (int k = 0; k < m1->h_size; k++) sum += m1->d[row * m1->h_size + k] * m2->d[k * m2->h_size + col];
      r->d[row * r->h_size + col] = sum;
    }
  }
  return r;
}

double inner_ex(int* er, const EX_MATRIX* m1, const EX_MATRIX* m2) {
  if (!same_shape(m1, m2) || (m1->h_size != 1 && m1->v_size != 1)) {
    *er = -1;
    return 0.0;
  }
  double sum = 0;
  for (int i = 0; i < elements(m1); i++) sum += m1->d[i] * m2->d[i];
  *er = 0;
  return sum;
}

int _equation_a(double* m, double* v, int ofs) {
  int pivot = ofs;
  double best = std::fabs(m[ofs * 3 + ofs]);
  for (int r = ofs + 1; r < 3; r++) {
    if (std::fabs(m[r * 3 + ofs]) > best) {
      best = std::fabs(m[r * 3 + ofs]);
      pivot = r;
    }
  }
  if (best == 0) return -1;
  if (pivot != ofs) {
    for (int c = 0; c < 3; c++) std::swap(m[pivot * 3 + c], m[ofs * 3 + c]);
    std::swap(v[pivot], v[ofs]);
  }
  for (int r = ofs + 1; r < 3; r++) {
    if (m[r * 3 + ofs] == 0) continue;
    double f = m[ofs * 3 + ofs] / m[r * 3 + ofs];
    for (int c = ofs; c < 3; c++) m[r * 3 + c] = f * m[r * 3 + c] - m[ofs * 3 + c];
    m[r * 3 + ofs] = 0;
    v[r] = f * v[r] - v[ofs];
  }
  return 0;
}

int equation(double* result, double* m, double* v) {
  for (int ofs = 0; ofs < 3; ofs++)
    if (_equation_a(m, v, ofs) < 0) return -1;
  for (int i = 2; i >= 0; i--) {
    double s = v[i];
    for (int j = i + 1; j < 3; j++) s -= m[i * 3 + j] * result[j];
    result[i] = s / m[i * 3 + i];
  }
  return 0;
}

static void print_row(const double* row) { std::printf("(%f %f %f )\n", row[0], row[1], row[2]); }

void print_matrix(const double* m) {
  std::printf("---\n");
  for (int r = 0; r < 3; r++) print_row(m + r * 3);
  std::printf("---\n");
}

void print_vector(const double* v) {
  std::printf("---\n");
  print_row(v);
  std::printf("---\n");
}

void test_equation() {
  double m[9] = {1, 2, 3, 3, 6, 4, 4, 6, 2};
  const double x[3] = {1, 2, 3};
  double v[3];
  for (int r = 0; r < 3; r++) v[r] = m[r * 3] * x[0] + m[r * 3 + 1] * x[1] + m[r * 3 + 2] * x[2];
  std::printf("v = (%f %f %f)\n", v[0], v[1], v[2]);
  double result[3] = {0, 0, 0};
  equation(result, m, v);
  std::printf("result = (%f %f %f)\n", result[0], result[1], result[2]);
}

}  // namespace tq
