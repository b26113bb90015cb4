// In-memory AVL trees whose nodes the caller owns and embeds: the tree code never
// allocates or frees a node. Ordering comes from a comparator passed to every call.
#pragma once

namespace tq {

struct AVT_NODE {
  int level;        // height of the subtree rooted here; a leaf has 1
  AVT_NODE* small;  // subtree of smaller data
  AVT_NODE* large;  // subtree of larger data
  void* data;       // the caller's word; never null
};
// 0 equal, 1 when a sorts after b, -1 when before.
using AVT_CMP = int (*)(void* a, void* b);
using AVT_CMP3 = int (*)(void* a, void* b, void* work);

struct AVT_BOUND_LIST {
  AVT_BOUND_LIST* next;
  AVT_NODE* node;
};

// Inserts node (its data must not be null: "avt_insert(1)"). Returns node; or the node
// already present whose data compares equal (node is then not inserted); or null when the
// comparator answered other than -1, 0, 1.
AVT_NODE* avt_insert(AVT_NODE** root, AVT_NODE* node, AVT_CMP cmp);
// The node whose data compares equal to data, or null.
AVT_NODE* avt_search(AVT_NODE* root, void* data, AVT_CMP cmp);
// Unlinks and returns the node whose data compares equal (its links cleared), or null.
AVT_NODE* avt_delete(AVT_NODE** root, void* data, AVT_CMP cmp);
// Call func(node, arg) in ascending / descending order; the first nonzero result stops the
// walk and is returned; 0 after a full walk.
int avt_trace_from_small(AVT_NODE* root, int (*func)(AVT_NODE*, void*), void* arg);
int avt_trace_from_large(AVT_NODE* root, int (*func)(AVT_NODE*, void*), void* arg);
// Nodes with data_min <= data <= data_max in ascending order, at most limit (negative: all);
// cmp(node data, bound, cw). When the limit stops the search, *errp (if errp is given) is
// set to -4; otherwise *errp is left as it was. The list is on the debug heap and belongs
// to the caller: free it with free_avt_bound_list.
AVT_BOUND_LIST* avt_bound_search(int* errp, AVT_NODE* start, void* data_min, void* data_max, int limit,
                                 AVT_CMP3 cmp, void* cw);
void free_avt_bound_list(AVT_BOUND_LIST* list);
// level = 1 + the larger child level (an absent child counts 0).
void set_level(AVT_NODE* node);
// Restores the balance at *root after one of its subtrees changed height by one.
void avt_valance(AVT_NODE** root);
// Self-check of order and levels; a fault ends the process with "avt error 1".."avt error 4".
void avt_test(AVT_NODE* root, AVT_CMP cmp);

}  // namespace tq
