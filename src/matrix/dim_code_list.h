// Dimension codes as language lists, the form in which the matrix words take and give
// them: (level coordinate ...), plain integers; and plain lists of heap codes.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "matrix/matrix.h"

namespace tq {

// A new debug-heap code from a list of exactly dim + 1 (and at least 2) elements: an
// integer gives its value, any other cell 0. Null for another length; the caller frees it.
int64_t* get_dim_code_from_sexp(const MATRIX* m, TQ_SEXP* s);
// A new debug-heap array of the low 32 bits of a list's integers (0 for other cells), one
// per element; null for a list of fewer than 2 elements. No check against a matrix.
int32_t* get_dim_code_from_sexp_int(TQ_SEXP* s);
// The list (level c_1 ... c_dim) of dim_code, each coordinate cleared below the node span
// of its level: the node's origin.
TQ_SEXP* get_sexp_from_dim_code(const MATRIX* m, const int64_t* dim_code);

// A singly linked list of dimension codes; each element and its dc are separate
// debug-heap blocks.
struct MX_DIM_CODE_LIST {
  MX_DIM_CODE_LIST* next;
  int64_t* dc;
};
// Frees every element and its code; null does nothing.
void free_mx_dim_code_list(MX_DIM_CODE_LIST* lst);

}  // namespace tq
