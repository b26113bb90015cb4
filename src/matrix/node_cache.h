// The node cache: every node in memory sits on the hash chain of its matrix (403 buckets,
// whose chain order is also the order in which a matrix's nodes are saved) and on the one
// process-wide ring of nodes in order of use. A lookup finds or creates a node for an
// access, moves it to the ring's front, reports whether it is ready and starts its load;
// inserting into the ring now and then purges idle nodes beyond the cache's budget.
//
// Invariants (matrix_lock): a node is on exactly one chain, the one _get_node_hash gives
// for its dimension code, and on the ring; nd_cnt counts the ring. A node is freed only by
// _free_matrix_node, which refuses while anything holds it (a node lock, its channel lock,
// its save, a dirty mark, a waiting or processing token). Times are tick_now() seconds, so
// tests move them.
//
// Functions with a leading underscore expect matrix_lock held; the others take it.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "matrix/matrix_node.h"

namespace tq {

// The time of the last purge of the ring (tick_now seconds; 0 before the first).
extern uint32_t last_delete;

inline constexpr int kNodeIdleSeconds = 120;    // a node idle this long may be freed
inline constexpr int kPurgeMinGapSeconds = 2;   // purges of an oversized ring are this far apart
inline constexpr int kDirtySaveSeconds = 30;    // a kept ready node dirty this long is saved

// The bucket of a dimension code: level plus each coordinate cleared below the node span of
// that level (unsigned 64-bit, wrapping), modulo 403.
uint32_t _get_node_hash(const MATRIX* m, const int64_t* dim_code);
// Links n first on the ring, stamps its last_access and counts it; then, when the ring
// holds more than twice the budget and the last purge is over 2 s old, or the last purge is
// over 120 s old: keeps the newest total_ncache_size ready nodes (saving those dirty for
// over 30 s), prints "insert purge matrix\n", and offers every older node other than n that
// has been idle 120 s or more to _free_matrix_node (saving a dirty ready one first).
void _insert_node_ring(MATRIX_NODE* n);
// Unlinks n from the ring and counts it off; n's own links stay as they are.
void _delete_node_ring(MATRIX_NODE* n);
// Frees each non-null code of a child list and the list; null does nothing.
void _free_nlist_dim_addr(int64_t** list, int len);

enum : int {
  MX_NODE_HELD = -1,     // locked, channel-locked, being saved or dirty
  MX_NODE_TOKENED = -2,  // a token waits for it or processes it
  MX_NODE_PENDING = -3,  // still loading or processing (status 0 or 1)
};
// 0 freed (off ring and chain, datums, structure blocks, children and record released; a
// delayed value still pending is answered first); MX_NODE_HELD or MX_NODE_TOKENED refused,
// the node unchanged. A node missing from its chain ends the process ("_free_matrix_node").
int _free_matrix_node(MATRIX_NODE* n);
// Whether n may be let go: the refusals of _free_matrix_node, else MX_NODE_PENDING while
// status is 0 or 1, else 0.
int _sync_matrix_node(MATRIX_NODE* n);
// With retp: *retp = the node's delayed-value cell, made on first use and held (with its
// record) on the holder ring until the node's result is delivered. All callers asking for
// one pending node share it. The new cell is rooted in the caller's top frame.
void set_send_data(MATRIX_NODE* n, TQ_SEXP** retp);

// The lookup for an access id 0..23, or -1 to look only. Answers the node or null, and
// stores a code in *errp only when there is one (callers clear it first):
//   matrix opening (mode 0; also asks for trigger(1) when the open ends), unusable, closing
//   or damaged: MX_NOT_OPEN, null;
//   found: to the ring's front, process_token_key = pt_key, req_level = lev; then by status
//     0, 1: MX_PENDING and the node (its delayed value through retp);
//     2: the node;
//     3: access < 0 or 3: MX_NO_NODE, null; else back to 0 with its load queued again,
//        MX_NO_NODE and the node;
//     4: access < 0 or 3: MX_NO_NODE, null; else status 1 and access 15 triggered,
//        MX_NO_NODE and the node;
//     5, 6: access >= 0: the node; else MX_EDIT_FAILED, null;
//   missing, access < 0: MX_NO_NODE, null;
//   missing: a new node (status 0, its load queued), MX_PENDING and the node.
// A mode outside 0..3 or a status above 6 ends the process ("_get_matrix_node").
MATRIX_NODE* _get_matrix_node(int* errp, MATRIX* m, int64_t* dim_code, int access, int64_t lev, TQ_SEXP** retp,
                              int pt_key);
// The lookup at dim_code's level. Code 0: the node, locked for t. MX_NOT_OPEN,
// MX_EDIT_FAILED or access < 0: null. Otherwise t waits for the node (when there is one and
// t is given), and the node (or null) is returned.
MATRIX_NODE* get_matrix_node(int* errp, MATRIX* m, int64_t* dim_code, int access, MATRIX_TOKEN* t,
                             TQ_SEXP** retp);
// Repeats the lookup, sleeping on the node while it is pending (status 0 or 1), until no
// node comes back or it has a later status. Code 0: the node, locked without token.
MATRIX_NODE* get_matrix_node_wait(int* errp, MATRIX* m, int64_t* dim_code, int access);

}  // namespace tq
