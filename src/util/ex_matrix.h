// Dense matrices of doubles with element-wise and matrix arithmetic, and a 3-by-3 linear
// equation solver (Gaussian elimination with partial pivoting) with its debug printers.
#pragma once
#include <cstdint>

namespace tq {

// One debug-heap block; element (row r, column c) is d[r * h_size + c].
struct ex_matrix {
  int16_t h_size;  // columns
  int16_t v_size;  // rows
  double* d;       // points just behind the record, inside the same block
};
using EX_MATRIX = ex_matrix;

// A zeroed matrix of v rows and h columns; null for a negative size.
EX_MATRIX* new_ex_matrix(int v, int h);
void free_ex_matrix(EX_MATRIX* m);  // null allowed
// New element-wise sum or difference of two matrices of one shape, else null. sub_ex with a
// null m2 gives the negation of m1.
EX_MATRIX* add_ex(const EX_MATRIX* m1, const EX_MATRIX* m2);
EX_MATRIX* sub_ex(const EX_MATRIX* m1, const EX_MATRIX* m2);
// New product (m1's rows by m2's columns) when m1's columns equal m2's rows, else null.
EX_MATRIX* mul_ex(const EX_MATRIX* m1, const EX_MATRIX* m2);
// Dot product of two vectors of one shape (one dimension 1) with *er = 0; otherwise 0.0
// and *er = -1.
double inner_ex(int* er, const EX_MATRIX* m1, const EX_MATRIX* m2);

// Solves m x = v for a 3-by-3 m (row by row) and a 3-vector v into result; m and v are
// overwritten. 0, or -1 when a pivot is zero (m and v then partly transformed).
int equation(double* result, double* m, double* v);
int _equation_a(double* m, double* v, int ofs);  // eliminates column ofs
void test_equation();
void print_matrix(const double* m);  // 3 by 3
void print_vector(const double* v);  // 3

}  // namespace tq
