// Two ways of enumerating nodes: the Peano walk, which steps a dimension code through every
// block of one level inside a box in recursive block order (all blocks of one parent before
// the next parent, axis 0 fastest within a parent) and triggers an access event on each
// node it passes; and the children list of one node.
//
// A box is two codes of the walk's level: on axis a a block origin c is inside when
// dc_start[a+1] <= c < dc_end[a+1]. The walk throttles itself on the access queue: while it
// holds more than 99 items the walk lets matrix_lock go and pauses a second through
// matrix_pause, which tests replace so that they never sleep.
#pragma once
#include <cstdint>

#include "matrix/dim_code_list.h"
#include "matrix/matrix_node.h"

namespace tq {

inline constexpr int kPeanoQueueLimit = 99;  // queued items above which the walk pauses

// The pause of the walks that wait for the access queue to drain (and of the load
// indicator's restart): sleep_sec unless a test set its own. Called without matrix_lock.
extern void (*matrix_pause)(int seconds);

// Moves dc (coordinates only) to the next block of the walk at `level`: 0, or -1 when the
// walk is complete (dc is then left at a carried position of no meaning).
int _dc_peano_inc(MATRIX* m, int64_t* dc, const int64_t* dc_start, const int64_t* dc_end, int level);

// Walks every block of dc_start's level in the box, printing
// "P <level> <c0> <c1> - <level> <e0> <e1>\n" (entries past the code's axes print as 0)
// before each, and triggers `_access` on each node it can have (made with access 3 when
// missing; a node that cannot be had is passed over). Returns -1, the end of the walk (at
// once for an empty box: a start not below the end on some axis).
// _matrix_peano_trigger expects matrix_lock held (it lets it go only to pause).
int _matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int _access);
int matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int _access);

// The children of the node at dc, got with `access` (waiting while it is pending when
// wait_flag is set, else through get_matrix_node for token t): bit-field children in
// ascending child number, list-form children in the reverse of their stored order. Null
// for a node without children (nothing in *errp) or when the lookup gave a code (in
// *errp). Call without matrix_lock; free the list with free_mx_dim_code_list.
MX_DIM_CODE_LIST* get_children_list(int* errp, MATRIX* m, int64_t* dc, int access, int wait_flag, MATRIX_TOKEN* t);

}  // namespace tq
