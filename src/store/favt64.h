// Operations on the AVL trees kept in store files (records and cache in store/tree_cache.h):
// insert, exact search, delete, in-order walks, range search and a consistency check.
// Keys are opaque: every call takes a compare function and its work pointer. Nodes load
// lazily; the nodes on an operation's path are pinned while it holds them; changes reach
// the file at write-back. Every operation runs without recursion, so a tree of any shape
// (even one long chain) costs heap, never stack. A tree read from a damaged file cannot
// make an operation loop: each notes the records it meets and ends with -3 when a link
// leads back to one of them. No lock: callers hold the store lock.
#pragma once
#include <cstdint>

#include "store/tree_cache.h"

namespace tq {

// compare(node data, key or new data, work): 0 equal, 1 when the node's data is greater
// (the key belongs in the small subtree), -1 when it is smaller.
using FAVT64_CMP = int (*)(void* node_data, void* key, void* work);
// visitor(node, work): a non-zero result ends a walk and becomes its result.
using FAVT64_VISIT = int (*)(FAVT64_NODE* node, void* work);

// One item of a range-search result.
struct BOUND64_LIST {
  BOUND64_LIST* next;
  void* data;        // owned copy of a node's data
  int64_t data_len;
};

// The state of one range search.
struct BOUND64_SEARCH_WORK {
  FAVT64_ROOT* p;
  void* data_min;
  void* data_max;
  FAVT64_CMP cmp;
  BOUND64_LIST* head;
  BOUND64_LIST* tail;
  void* cmp_work;
  int limit;  // negative: no limit
  int count;  // items collected
};

// The state of the consistency check.
struct FAVT64_TEST {
  FAVT64_ROOT* p;
  void* data;  // owned copy of the previous node's data, or null
  int64_t data_len;
  FAVT64_CMP cmp;
};

// Error values stored through the error out-parameters (which may be null).
inline constexpr int kFavtNotFound = -1;
inline constexpr int kFavtUnreadable = -2;  // a record on the way cannot be read or fails
                                            // its tree's node check
inline constexpr int kFavtDamaged = -3;     // a link leads back to a record already met
inline constexpr int kFavtLimit = -4;

// Inserts node (from favt64_alloc_node) under link (normally &root->node): the node that
// holds the key: node itself, now linked and no longer pinned, or the node already holding
// an equal key (node is then left unlinked, still pinned, for favt64_free_node). Null when
// compare answered other than -1, 0, 1, a node on the way could not be read (-2 in *err)
// or the way came back to a node (-3 in *err, and nothing is changed); node is then not
// linked either. A node without data stops the process ("avt_insert(1)"). Ancestors of
// the place are re-levelled and rebalanced.
FAVT64_NODE* favt64_insert(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* node, FAVT64_CMP cmp,
                           void* work);
// The node with a key equal to key, searching down from start; null with -1 when none, -2
// when a node on the way cannot be read, -3 when the way comes back to a node. A compare
// result other than -1, 0, 1 stops the process ("favt_search(1)").
FAVT64_NODE* favt64_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, void* key, FAVT64_CMP cmp, void* work);
// Unlinks the node with a key equal to key from the subtree at link and returns it, still
// cached and pinned until favt64_free_node (or a new favt64_insert); null with -1 when
// none. Nodes on the path are re-levelled; the place of removal is rebalanced. Null with
// -2 (a node on the way, or of the replacement's way, cannot be read) or -3 (a way comes
// back to a node) leaves the tree as it was, but for the levels of the nodes above. A
// compare result other than -1, 0, 1 stops the process ("favt_delete(!)").
FAVT64_NODE* favt64_delete(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, void* key, FAVT64_CMP cmp, void* work);
// Calls visitor for every node from start down, ascending / descending: 0, or the first
// non-zero result (no further node is visited). A child that cannot be read counts as
// none (-2 in *err); a link back to a node already visited ends the walk with -3 (also in
// *err).
int favt64_trace_from_small(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work);
int favt64_trace_from_large(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work);
// Copies of the data of the nodes with lower <= data <= upper (by compare), ascending;
// null when none. With limit >= 0, a node that matches after limit items have been
// collected stops the search with -4 in *err (the list then holds limit items). A link back
// to a node already visited stops it with -3 in *err, a record that cannot be read with -2
// (the list holds what was collected).
BOUND64_LIST* favt64_bound_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, void* lower, void* upper,
                                  int limit, FAVT64_CMP cmp, void* cmp_work);
void free_bound_list64(BOUND64_LIST* list);
// Walks the tree from start ascending, printing "=%i\n" with the first 32-bit integer of
// each node's data (zero-filled when shorter); for every node after the first, stops the
// process when it is out of order ("favt error 1", compare gets no work) or its level does
// not fit its children ("favt error 2" not above the large child's, "favt error 3" not
// above the small child's, "favt error 4" not one more than either). 0, or -3 when the walk
// came back to a node.
int favt64_test(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_CMP cmp);

// level = 1 + the larger of the children's levels (a missing child 0), at most INT32_MAX
// whatever a damaged file says; marks the node dirty.
void fset_level64(FAVT64_ROOT* root, FAVT64_NODE* node);
// Restores the balance of the subtree at link by one single rotation when one side is more
// than one level taller; a subtree leaning inward stays unbalanced.
void favt64_valance(FAVT64_ROOT* root, FAVT64_PTR* link);

// An in-order walk of one tree that the caller drives node by node, so that walks can nest
// (one per trie level) without recursion. The node handed out last and the nodes waiting on
// the cursor's stack stay pinned until the cursor moves on or is closed.
struct FAVT64_CURSOR;
FAVT64_CURSOR* favt64_cursor_open(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, bool ascending);
// 1 and the next node in *out; 0 at the end; -3 (also in the cursor's err) when a link led
// back to a node already visited. A child that cannot be read counts as none (-2 in err).
int favt64_cursor_next(FAVT64_CURSOR* c, FAVT64_NODE** out);
void favt64_cursor_close(FAVT64_CURSOR* c);

}  // namespace tq
