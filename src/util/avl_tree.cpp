// In-memory AVL trees: insert, search, delete, ordered walks with early stop, a range
// search returning a list, and a self-check. Recursion depth is the tree's height, which
// the rebalancing keeps logarithmic.
//
// Rebalancing uses a double rotation when the taller child leans inward: a single
// rotation alone would only move a zig-zag imbalance of two to the other side. Deletion
// rebalances every node on the way back up, not just where the node was removed, so
// long runs of deletes cannot unbalance the tree either.
#include "util/avl_tree.h"

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

int level_of(const AVT_NODE* n) { return n ? n->level : 0; }

// The large child rises: the old root keeps the child's small subtree as its large one.
void rotate_small_ward(AVT_NODE** p) {
  AVT_NODE* n = *p;
  AVT_NODE* r = n->large;
  n->large = r->small;
  r->small = n;
  set_level(n);
  set_level(r);
  *p = r;
}

// The mirror: the small child rises.
void rotate_large_ward(AVT_NODE** p) {
  AVT_NODE* n = *p;
  AVT_NODE* l = n->small;
  n->small = l->large;
  l->large = n;
  set_level(n);
  set_level(l);
  *p = l;
}

AVT_NODE* insert_node(AVT_NODE** root, AVT_NODE* node, AVT_CMP cmp) {
  AVT_NODE* t = *root;
  if (!t) {
    node->small = node->large = nullptr;
    node->level = 1;
    *root = node;
    return node;
  }
  AVT_NODE* r;
  switch (cmp(t->data, node->data)) {
    case 0: return t;
    case 1: r = insert_node(&t->small, node, cmp); break;
    case -1: r = insert_node(&t->large, node, cmp); break;
    default: return nullptr;
  }
  set_level(t);
  avt_valance(root);
  return r;
}

// Unlinks the smallest node of the subtree; its large child takes its place.
AVT_NODE* detach_smallest(AVT_NODE** p) {
  AVT_NODE* n = *p;
  if (!n->small) {
    *p = n->large;
    return n;
  }
  AVT_NODE* r = detach_smallest(&n->small);
  set_level(n);
  avt_valance(p);
  return r;
}

// Unlinks the largest node of the subtree; its small child takes its place.
AVT_NODE* detach_largest(AVT_NODE** p) {
  AVT_NODE* n = *p;
  if (!n->large) {
    *p = n->small;
    return n;
  }
  AVT_NODE* r = detach_largest(&n->large);
  set_level(n);
  avt_valance(p);
  return r;
}

// Removes the root t of *root, which compared equal.
AVT_NODE* remove_root(AVT_NODE** root) {
  AVT_NODE* t = *root;
  AVT_NODE* rep;
  if (t->small && t->large) {
    // Take the replacement from the taller side, so that side shrinks.
    rep = level_of(t->small) < level_of(t->large) ? detach_smallest(&t->large) : detach_largest(&t->small);
    rep->small = t->small;
    rep->large = t->large;
  } else {
    rep = t->small ? t->small : t->large;
  }
  *root = rep;
  if (rep) {
    set_level(rep);
    avt_valance(root);
  }
  t->small = t->large = nullptr;
  return t;
}

int trace_small(AVT_NODE* n, int (*func)(AVT_NODE*, void*), void* arg) {
  if (!n) return 0;
  if (int r = trace_small(n->small, func, arg)) return r;
  if (int r = func(n, arg)) return r;
  return trace_small(n->large, func, arg);
}

int trace_large(AVT_NODE* n, int (*func)(AVT_NODE*, void*), void* arg) {
  if (!n) return 0;
  if (int r = trace_large(n->large, func, arg)) return r;
  if (int r = func(n, arg)) return r;
  return trace_large(n->small, func, arg);
}

struct BOUND_SEARCH_WORK {
  void* data_min;
  void* data_max;
  AVT_CMP3 cmp;
  AVT_BOUND_LIST* head;
  AVT_BOUND_LIST* tail;  // the result list, ascending
  void* cmp_work;
  int limit;  // negative: none
  int count;
};

constexpr int kLimitReached = -4;

// 0 after the subtree, kLimitReached when the limit stopped the search.
int bound_walk(AVT_NODE* n, BOUND_SEARCH_WORK* w) {
  if (!n) return 0;
  const int hi = w->cmp(n->data, w->data_max, w->cmp_work);
  const int lo = w->cmp(n->data, w->data_min, w->cmp_work);
  if (lo > 0 && bound_walk(n->small, w) != 0) return kLimitReached;
  if (hi <= 0 && lo >= 0) {
    if (w->limit >= 0 && w->count >= w->limit) return kLimitReached;
    auto* e = static_cast<AVT_BOUND_LIST*>(d_alloc(sizeof(AVT_BOUND_LIST)));
    e->next = nullptr;
    e->node = n;
    if (w->tail)
      w->tail->next = e;
    else
      w->head = e;
    w->tail = e;
    ++w->count;
  }
  if (hi < 0) return bound_walk(n->large, w);
  return 0;
}

void test_walk(AVT_NODE* n, AVT_CMP cmp, AVT_NODE** prev) {
  if (!n) return;
  test_walk(n->small, cmp, prev);
  if (*prev && cmp(n->data, (*prev)->data) < 0) er_panic("avt error 1");
  const int l = level_of(n->large);
  const int s = level_of(n->small);
  if (n->level <= l) er_panic("avt error 2");
  if (n->level <= s) er_panic("avt error 3");
  if (n->level != l + 1 && n->level != s + 1) er_panic("avt error 4");
  *prev = n;
  test_walk(n->large, cmp, prev);
}

}  // namespace

void set_level(AVT_NODE* node) {
  const int s = level_of(node->small);
  const int l = level_of(node->large);
  node->level = 1 + (s > l ? s : l);
}

void avt_valance(AVT_NODE** root) {
  AVT_NODE* n = *root;
  if (!n) return;
  const int s = level_of(n->small);
  const int l = level_of(n->large);
  if (s + 1 < l) {
    if (level_of(n->large->small) > level_of(n->large->large)) rotate_large_ward(&n->large);
    rotate_small_ward(root);
  } else if (l + 1 < s) {
    if (level_of(n->small->large) > level_of(n->small->small)) rotate_small_ward(&n->small);
    rotate_large_ward(root);
  }
}

AVT_NODE* avt_insert(AVT_NODE** root, AVT_NODE* node, AVT_CMP cmp) {
  if (!node->data) er_panic("avt_insert(1)");
  return insert_node(root, node, cmp);
}

AVT_NODE* avt_search(AVT_NODE* root, void* data, AVT_CMP cmp) {
  for (AVT_NODE* n = root; n;) {
    switch (cmp(n->data, data)) {
      case 0: return n;
      case 1: n = n->small; break;
      case -1: n = n->large; break;
      default: er_panic("avt_search(1)");
    }
  }
  return nullptr;
}

AVT_NODE* avt_delete(AVT_NODE** root, void* data, AVT_CMP cmp) {
  AVT_NODE* t = *root;
  if (!t) return nullptr;
  AVT_NODE* r;
  switch (cmp(t->data, data)) {
    case 0: return remove_root(root);
    case 1: r = avt_delete(&t->small, data, cmp); break;
    case -1: r = avt_delete(&t->large, data, cmp); break;
    default: er_panic("avt_delete(!)");
  }
  if (r) {
    set_level(t);
    avt_valance(root);
  }
  return r;
}

int avt_trace_from_small(AVT_NODE* root, int (*func)(AVT_NODE*, void*), void* arg) {
  return trace_small(root, func, arg);
}

int avt_trace_from_large(AVT_NODE* root, int (*func)(AVT_NODE*, void*), void* arg) {
  return trace_large(root, func, arg);
}

AVT_BOUND_LIST* avt_bound_search(int* errp, AVT_NODE* start, void* data_min, void* data_max, int limit,
                                 AVT_CMP3 cmp, void* cw) {
  BOUND_SEARCH_WORK w{data_min, data_max, cmp, nullptr, nullptr, cw, limit, 0};
  if (bound_walk(start, &w) == kLimitReached && errp) *errp = kLimitReached;
  return w.head;
}

void free_avt_bound_list(AVT_BOUND_LIST* list) {
  while (list) {
    AVT_BOUND_LIST* next = list->next;
    d_f_ree(list);
    list = next;
  }
}

void avt_test(AVT_NODE* root, AVT_CMP cmp) {
  AVT_NODE* prev = nullptr;
  test_walk(root, cmp, &prev);
}

}  // namespace tq
