// Dimension codes: a place in a matrix, as dim + 1 signed 64-bit integers: entry 0 the
// level (0 = full size), entries 1..dim the coordinates on axes 0..dim-1, always in samples
// of level 0. A node at level L spans 2^(block_size[a] + dim_divide[a] * L) samples on axis
// a, and its code is that of its origin, whose coordinates are multiples of the span.
// Two codes compare equal exactly when they name the same node, normalised or not; the
// order is by level, then axis 0, axis 1, ...
//
// The span shifts are guarded: every module that masks, shifts or hashes a coordinate by a
// span goes through the helpers below, so a shift count of 64 or more is defined (a span of
// 2^64 or more masks every coordinate to 0) and a negative one keeps every bit. The level
// of such shifts is the low 32 bits of entry 0.
//
// Codes belong to whoever allocated them; copies come from the debug heap. No locks.
#pragma once
#include <cstdint>

#include "matrix/matrix.h"

namespace tq {

// ---- Guarded span arithmetic.
// The mask that clears the low `shift` bits: all ones for shift <= 0, 0 for shift >= 64.
inline uint64_t mx_span_mask(int64_t shift) {
  if (shift <= 0) return ~uint64_t(0);
  if (shift >= 64) return 0;
  return ~uint64_t(0) << shift;
}
// v shifted right arithmetically: v for shift <= 0, its sign (0 or -1) for shift >= 64.
inline int64_t mx_sar(int64_t v, int64_t shift) {
  if (shift <= 0) return v;
  if (shift >= 64) return v < 0 ? -1 : 0;
  return v >> shift;
}
// The level of a code as the span shifts use it.
inline int32_t mx_dc_level(const int64_t* dc) { return int32_t(dc[0]); }
// dim_divide[a] * level, and block_size[a] + dim_divide[a] * level (a node's span on axis a).
inline int64_t mx_level_shift(const MATRIX* m, int a, int32_t level) {
  return int64_t(m->dim_divide[a]) * level;
}
inline int64_t mx_span_shift(const MATRIX* m, int a, int32_t level) {
  return int64_t(m->block_size[a]) + mx_level_shift(m, a, level);
}
// A coordinate masked to the origin of the node of that level containing it.
inline int64_t mx_node_origin(const MATRIX* m, int a, int32_t level, int64_t coord) {
  return int64_t(uint64_t(coord) & mx_span_mask(mx_span_shift(m, a, level)));
}

// ---- Operations.
// Turns dim (in place) into the code of the node that contains it.
void normalize_dim_code(MATRIX* m, int64_t* dim);
// -1, 0, 1: both null 0, only dc1 null -1, only dc2 null 1; else by level (signed), then
// per axis by the coordinates masked to the span of that level (signed).
int cmp_dim_code(MATRIX* m, const int64_t* dc1, const int64_t* dc2);
int _cmp_dim_code(MATRIX* m, const int64_t* dc1, const int64_t* dc2);
// A debug-heap copy of dim + 1 entries; null stays null.
int64_t* copy_dim_code(MATRIX* m, const int64_t* dim_code);
int64_t* _copy_dim_code(MATRIX* m, const int64_t* dim_code);
// Diagnostic text "+max <levels>+[<level> <x> ... ]" with each coordinate in hex masked to
// the node span (fmt 1) or to 2^(dim_divide * level) (fmt 2); any other fmt ends the process
// ("pt_dc"). The text is a temporary of the calling task (valid for its next 50).
char* pt_dc(MATRIX* m, const int64_t* dc, int fmt);

}  // namespace tq
