// Matrices, points and rectangles to and from language lists:
//   a matrix   (matrix[v="2" h="3"] 1.0 2.0 ...)  the elements row by row;
//   a point    (x y)                              two numbers;
//   a rectangle ((x y) (x y))                     top-left, then bottom-right.
// Lists made here are new cells rooted in the caller's top frame.
#pragma once
#include "lang/sexp.h"
#include "util/ex_matrix.h"
#include "util/geometry.h"

namespace tq {

// A new debug-heap matrix from a list headed by a symbol (its name is not checked) whose
// attributes "h" (columns) and "v" (rows) are decimal texts, a missing or zero one counting
// as 1, followed by at least h times v numbers (integers widen to double). Null when the
// head is no symbol, a count is negative or above 32767, a number is missing or an element
// is not a number.
EX_MATRIX* get_ex_from_sexp(TQ_SEXP* s);
// The list form of m: head the symbol "matrix" with the attributes v and h ("%i"), then
// the elements as floats without unit.
TQ_SEXP* get_sexp_from_ex(const EX_MATRIX* m);

// 0 when s is a list of two lists of two integers (rect_type: of two numbers), else -1.
int i_rect_type(TQ_SEXP* s);
int rect_type(TQ_SEXP* s);
// The rectangle of such a list, the low 32 bits of each integer; what i_rect_type refuses
// gives 0 for the coordinates it cannot read.
I_RECT tq_to_i_rect(TQ_SEXP* s);
// Fills p (r) from a list of two numbers (of two such points); 0, or -1 and p (r)
// untouched for any other shape.
int tq_to_qv_point(QV_POINT* p, TQ_SEXP* s);
int tq_to_qv_rect(QV_RECT* r, TQ_SEXP* s);
TQ_SEXP* qv_point_to_tq(const QV_POINT* p);  // (x y) as floats
TQ_SEXP* qv_rect_to_tq(const QV_RECT* r);    // ((x y) (x y))

}  // namespace tq
