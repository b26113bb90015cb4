// Type-independent work on vector datums: dispatchers that call a vector's arithmetic
// through its own descriptor, and builders of new vectors (two vectors joined, the unit
// matrix, a vector from a plain array). New vectors are of allocation kind 4 from the block
// pool of the cache the caller passes; every builder answers null when it cannot build.
#pragma once

#include "mxtype/mx_type.h"

namespace tq {

// The slot of the datum's own type (of d2 for mul_sv: d1 is one bare element); null when
// the datum's type is not registered or has no such slot.
void* mxt_add_vv(void* d1, void* d2, MX_CACHE* c);
void* mxt_sub_vv(void* d1, void* d2, MX_CACHE* c);
void* mxt_mul_mm(void* d1, void* d2, MX_CACHE* c);
void* mxt_mul_sv(void* d1, void* d2, MX_CACHE* c);
void* mxt_trans_m(void* d1, MX_CACHE* c);

// d1 and d2 joined along axis ix (d2's elements after d1's on that axis). Null unless both
// are fixed-size vectors of one type and axis count, 0 <= ix < dim, and every other axis
// has the same size in both.
void* mxt_compound_vv(void* d1, void* d2, int ix, MX_CACHE* mxc);
// The size x size unit matrix of fixed-size vector type tp: the scalar's get_zero
// everywhere, its get_el on the diagonal. Null for a type without them.
void* mxt_e_m(MDT tp, int size, MX_CACHE* mxc);
// A vector of tp holding the size consecutive scalar elements at ary: one axis of size for
// dim 1, sizes (size, 1) for dim 2; null for any other dim.
void* mxt_get_matrix_from_ary(MDT tp, void* ary, int size, int dim, MX_CACHE* mxc);

}  // namespace tq
