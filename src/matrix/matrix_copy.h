// Copying the stored nodes of one matrix into another of the same axis count, channel by
// channel, and a checksum diagnostic of block datums.
#pragma once
#include "matrix/matrix_node.h"
#include "mxtype/block_type.h"

namespace tq {

// Copies the node of src at dc into dest (both waited for, src with access MI_FETCH_1,
// dest with MI_DEF; "NODE %s\n" printed first with pt_dc(src, dc, 2)). With a negative
// coordinate in dc every typed channel src holds a datum for is copied; otherwise first the
// channels of ch_list (ended by a negative number) below src's channel count, then every
// channel whose src flags meet copy_flags. A channel is copied only into a dest channel of
// the same element type; the copy is a debug-heap datum. Children are merged into dest's
// index (nothing is copied when dest is src). dest is marked dirty. 0 (also when src has
// no such node, -101); -102 when either node is in an edit-failed state (5, 6; nothing
// copied); another lookup code. Call it without matrix_lock.
int matrix_copy_node(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list, int copy_flags);
// Copies every node stored in src's file, in index order (levels ascending, then axis 1,
// axis 2, ... ascending, signed), 100 codes a page, then writes dest's dirty nodes back (a
// sync of dest). Both matrices are held for the copy (a close or sync of either waits for
// its end). 0; MX_DIM_MISMATCH (-126) for different axis counts, MX_NOT_OPEN (-121) when
// either is not open (nothing copied); the index's code (mx_scale_of_dim_code); the first
// failing node copy's code (nodes before it stay copied, dirty); -1 when a node of dest
// could not be written (it stays dirty).
int matrix_copy(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags);

// Prints "CHK %s %i - %i\n": msg, the sum of the block's bytes taken unsigned (32-bit),
// and its size.
void block_check_sum(const char* msg, const MATRIX_ALLOC_BLOCK_PARAM* p);

}  // namespace tq
