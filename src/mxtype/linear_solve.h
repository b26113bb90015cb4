// Linear equations over double_v matrices: a solver by elimination (the pivot the row of
// the largest diagonal element, no row exchange) and the matrix inversion built on it.
// Element (column x, row y) of a (w, h) matrix is element x + w * y; a column of n values has
// sizes (1, n). Results are new double_v datums from the block pool of the cache c
// (allocation kind 4); temporaries come from the pool too and go back before the call ends.
#pragma once

#include "matrix/mx_cache.h"

namespace tq {

// A new double_v column (1, n) of zeros from c's pool and, through el, its elements; null
// when it cannot be made.
void* mxt_double_column(MX_CACHE* c, int n, double** el);
// The elements of a double_v datum, or null when d is not one or has fewer than n.
double* mxt_double_elements(void* d, int n);

// The solution x of a . x = v (row i: sum over j of a(j, i) * x_j = v_i) as a new column
// (1, n), a a square double_v matrix of n rows and v its right side given as a vector of n,
// a column (1, n) or a row (n, 1). Elimination drops x_p from every other row with the
// pivot row p; a row whose element in column p is 0 lacks x_p already and is taken into
// the reduced system as it is. Null for a null, non-square or non-double_v a, a right side
// of another type or shape, a zero largest diagonal element at any stage, or a 1 x 1 system
// of 0.
void* resolve_equation_double(void* a, void* v, MX_CACHE* c);
// The (n, n) matrix whose row i solves a . x = e_i (the transpose of a's inverse; its
// inverse for a symmetric a), n the size of a's axis 0; null when any of the solves fails.
void* mxt_reverse_double(void* a, MX_CACHE* c);

}  // namespace tq
