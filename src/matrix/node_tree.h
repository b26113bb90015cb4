// Finding nodes down the pyramid: the walk from the top to a requested node that creates
// nodes on the way and keeps the parents' children indexes up to date, and the access to
// one channel's datum of a node, made from the channel's default when it has none.
//
// Functions with a leading underscore expect matrix_lock held; the others take it.
#pragma once
#include <cstdint>

#include "matrix/matrix_node.h"
#include "mxtype/datum.h"

namespace tq {

// The deepest ready node on the path from the top level down to dim_code's level, node
// locked (without token); null with MX_NO_NODE, or MX_NOT_OPEN when the walk ended on a
// matrix that is not open, in *errp. dim_code's level is a work area, restored on return.
// access 1 starts at the finest level found ready and creates (access 0) only at the
// target and at levels where level - target + 1 is a power of 2; access 2 records each
// child found or pending in its parent's index; other accesses walk from the top with
// that access.
MATRIX_NODE* _get_matrix_tree(int* errp, MATRIX* m, int64_t* dim_code, int access, int pt_key);
MATRIX_NODE* get_matrix_tree(int* errp, MATRIX* m, int64_t* dim_code, int access, int pt_key);

// The datum of channel ch of the node at dim_code (through the walk when type is 1, else
// the lookup with access, sleeping while the node is pending), with the node in *np and its
// channel lock held by the calling thread, and with type 1 also the walk's node lock; the
// caller releases both. A missing datum is made on the debug heap and the node marked
// dirty: a vector of vp's description, or sized for the node from the channel's default,
// or a copy of a scalar channel's default. Null, with nothing held and *np null, and a
// code in *errp: MX_NOT_OPEN (damaged or not open), MX_BAD_INDEX (ch out of range, no
// element type, or no datum could be made), MX_NO_DATUM (none held and access < 0), or the
// lookup's code.
void* get_matrix_node_channel(int* errp, MATRIX_NODE** np, MATRIX* m, int64_t* dim_code, int ch, int type,
                              int access, MATRIX_ALLOC_VECTOR_PARAM* vp, int pt_key);

}  // namespace tq
