// Scans visit every node of a matrix inside a box. An event scan runs one access event on
// each stored node and waits for its end (children first, or the node first), calling the
// caller's function after each event. A forced scan walks the pyramid from the top and lets
// the caller's function decide per node, in four phases, whether to load it (node only, or
// node and one channel's datum), whether to descend and whether to load again after the
// children; it prints its progress as it goes.
//
// Boxes: start and end are codes; for a node of level L they are aligned on axis a to its
// span s = block_size[a] + dim_divide[a] * L, start down to a multiple of 2^s, end down and
// then one block up, so that the end is the last block taken. Scans run on the caller's
// thread without matrix_lock between nodes (call them without it); a node's locks are held
// until its walk, children included, has ended.
#pragma once
#include <cstdint>

#include "matrix/matrix_node.h"

namespace tq {

struct MATRIX_SCAN_T;
using MATRIX_SCAN_FUNC = int (*)(MATRIX_SCAN_T* mst);

// One scan; on the caller's stack.
struct SCAN_CALL_WORK {
  MATRIX* m;
  int access;               // the event to run (event scans) or to look nodes up with
  int64_t* start;           // the box
  int64_t* end;
  MATRIX_SCAN_FUNC func;    // may be null
  void* work;               // handed on in MATRIX_SCAN_T.work
  int64_t loop_total;       // forced scans: the work of the whole scan (get_loop_amount)
  int64_t processed_total;  // forced scans: the work done so far
  unsigned node_lock : 1;   // set by _scan_call_loading when it left a node lock
  unsigned ch_lock : 1;     // set by _scan_call_loading when it left a channel lock
};

// One visited node, handed to func.
struct MATRIX_SCAN_T {
  int dir;              // phase: 0 before, 1 after loading, 2 after the children, 3 after the
                        // post-loading (forced scans); always 0 in event scans
  int64_t* dim_code;
  MATRIX* m;
  MATRIX_NODE* n;       // the node, once one has been obtained
  void* channel_data;   // the datum a loading of type 2 obtained
  void* work;
  // Set by func for the loadings of a forced scan:
  int channel;          // the channel to obtain (type 2)
  int dirty_flags;      // given to the channel unlock (bit 0 marks the node dirty)
  int loading_type;     // 1 the node, 2 the node and the channel's datum
  int gn_tree_node;     // the type of get_matrix_node_channel (1: walk the tree)
  int gn_create;        // the access the node is got with (negative: do not create)
};

// The flags func answers in phase 0 of a forced scan (a negative answer is a failure).
enum : int { MX_SCAN_DESCEND = 1, MX_SCAN_LOAD_BEFORE = 2, MX_SCAN_LOAD_AFTER = 4 };

// Event scan: syncs the file's pending node creations, binds "create-node" to "disable" in
// m's environment, and walks each stored top-level node inside the box (found through the
// node index 100 at a time): node first when dir is non-zero (_scan_post_call), children
// first otherwise (_scan_pre_call). 0, or the last negative result of a top node.
int matrix_scan(MATRIX* m, int dir, int access, int64_t* start, int64_t* end, MATRIX_SCAN_FUNC func, void* work);
// The walk of one node: its stored children inside the box (list from get_children_list),
// its event `access` (waiting on its completion byte) and func. -125 from the event or a
// child ends the walk of this node at once; a failed event counts as the node's result
// only in the post-walk; func's failure does too, and in the post-walk skips the children.
// Other negative results are remembered and the walk goes on. 0 when nothing failed.
int _scan_pre_call(int64_t* dim_code, SCAN_CALL_WORK* w);
int _scan_post_call(int64_t* dim_code, SCAN_CALL_WORK* w);

// Forced scan: binds "create-node" to "enable", counts the whole box's work and walks from
// the top node at coordinates 0. 0, or the walk's failure.
int matrix_scan_force(MATRIX* m, int access, int64_t* start, int64_t* end, MATRIX_SCAN_FUNC func, void* work);
// The forced walk of one node: prints "call-force <dc> <start> <end>\n", runs func's four
// phases with the loadings and the descent it asks for, adds the node's work to the
// progress and prints "TOTAL = <done> / <total> <percent>\n" when the second of tick_now()
// has changed since the last such line. A failure skips the node's remaining phases; what
// was taken for the node is released on every path.
int _scan_call_force(int64_t* dc, SCAN_CALL_WORK* w);
// Obtains what mst->loading_type asks for (type 1: the node, waiting for it; type 2: also
// channel mst->channel's datum under its channel lock), setting mst->n (and channel_data)
// and the lock bits of w. 0, or a code with nothing held. Another type is a broken caller
// and ends the process ("_scan_call_loading").
int _scan_call_loading(int64_t* dc, SCAN_CALL_WORK* w, MATRIX_SCAN_T* mst);

// The work below node dc inside the box: the box clipped to dc's block, then for every
// level from dc's down to 0 the product over the axes of the clipped span (end aligned up
// and start aligned down to that level's blocks) in samples of that level. An empty clip
// counts 0; an amount past a signed 64-bit count gives INT64_MAX.
int64_t get_loop_amount(MATRIX* m, const int64_t* start, const int64_t* end, const int64_t* dc);

}  // namespace tq
