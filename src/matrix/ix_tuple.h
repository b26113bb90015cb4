// Index tuples of vector datums: dim signed 32-bit positions over sizes ix_size, the first
// position varying fastest, and their sequence numbers (the element number in the datum).
// Arithmetic wraps in 32 bits as two's complement instead of overflowing.
#pragma once
#include <cstdint>

namespace tq {

// Splits the sequence number ix into positions: target[i] = ix mod ix_size[i], then
// ix = ix div ix_size[i] (truncating signed division). A size of -1 gives position 0 and
// negates ix; a size of 0 gives position 0 and leaves ix.
void get_ix_from_seq(int* target, const int* ix_size, int ix, int dim);
// The sequence number of positions ix: sum of ix[i] times the product of the sizes before i.
int get_seq_from_ix(const int* ix, const int* ix_size, int dim);
// One step of the odometer: for i = 0..dim-1, ix[i] += inc[i]; below ix_size[i] the step
// ends with 0; else ix[i] restarts at st[i] (0 when st is null) and the carry goes on. 1 when
// every axis wrapped (the whole range has been passed).
int inc_ix(int* ix, const int* st, const int* inc, const int* ix_size, int dim);
// The same step on the coordinates (entries 1..dim) of dimension codes, signed 64-bit: ix,
// st (null: restart at 0), inc and ix_size are all codes; the level is not touched.
int inc_dim_code_ix(int64_t* ix, const int64_t* st, const int64_t* inc, const int64_t* ix_size, int dim);

}  // namespace tq
