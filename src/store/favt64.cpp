// Tree operations on cached roots and nodes: each walks its path with an explicit stack on
// the heap (a tree read from a file may be one long chain), pins the nodes it holds, and
// re-levels and rebalances on the way back. Rebalancing makes single rotations only.
// Each operation notes the offsets of the nodes it meets: in a file whose links lead back
// up (or to one node from two places) it stops at the first node met twice.
#include "store/favt64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

namespace {

// A stack that lives inline while short and on the debug heap when a path is long.
template <class T>
class PathStack {
 public:
  PathStack() = default;
  PathStack(const PathStack&) = delete;
  PathStack& operator=(const PathStack&) = delete;
  ~PathStack() {
    if (heap_) d_f_ree(heap_);
  }
  void push(const T& x) {
    if (n_ == cap_) grow();
    base()[n_++] = x;
  }
  T pop() { return base()[--n_]; }
  T& top() { return base()[n_ - 1]; }
  bool empty() const { return n_ == 0; }

 private:
  T* base() { return heap_ ? heap_ : inline_.data(); }
  void grow() {
    size_t cap = cap_ * 2;
    auto* h = static_cast<T*>(d_alloc(cap * sizeof(T)));
    std::memcpy(static_cast<void*>(h), base(), n_ * sizeof(T));
    if (heap_) d_f_ree(heap_);
    heap_ = h;
    cap_ = cap;
  }
  std::array<T, 48> inline_;
  T* heap_ = nullptr;
  size_t n_ = 0;
  size_t cap_ = 48;
};

// A node on a path and the link that holds it.
struct Frame {
  FAVT64_PTR* link;
  FAVT64_NODE* node;
};

void set_err(int* err, int v) {
  if (err) *err = v;
}

FAVT64_PTR* child(FAVT64_NODE* n, bool large) { return large ? &n->large : &n->small; }

void pin(FAVT64_NODE* n) { favt64_lock(&n->h); }
void unpin(FAVT64_NODE* n) { favt64_unlock(&n->h); }

// Level of the node at link; 0 for none or an unreadable one. A node that is not cached
// is not loaded for it: its record in the file is current, and re-levelling a path would
// otherwise load every sibling on it. 64-bit: a damaged file may hold any level.
int64_t level_at(FAVT64_ROOT* root, FAVT64_PTR* link) {
  if (link->fofs == 0) return 0;
  if (link->ptr) return link->ptr->level;
  int level = favt64_peek_level(root->h.p, link->fofs);
  return level < 0 ? 0 : level;
}

// The level of a node whose children have levels l and s, within an int however absurd
// the levels a damaged file gave them.
int level_above(int64_t l, int64_t s) { return int(std::min<int64_t>(1 + std::max(l, s), INT32_MAX)); }

// Gives n a new level; a level that stays leaves the record as it is in the file.
void set_level(FAVT64_NODE* n, int level) {
  if (n->level == level) return;
  n->level = level;
  favt64_set_dirty(&n->h);
}

// Forgets the node a link has loaded, keeping its offset (for a node leaving its tree).
void unload_link(FAVT64_PTR* link) {
  FAVT64_PTR v = *link;
  v.ptr = nullptr;
  uint16_t flags = link->flags;
  set_favt64_ptr(link, &v);
  link->flags = flags;
}

// The child on the taller side rises: large_rises for a large side taller by more than one.
void rotate(FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* n, bool large_rises) {
  FAVT64_NODE* c = g_ptr64(nullptr, root, child(n, large_rises));
  if (!c) return;
  pin(c);
  g_ptr64(nullptr, root, child(n, !large_rises));  // touched: they stay near the front
  g_ptr64(nullptr, root, child(c, large_rises));
  FAVT64_PTR inner = *child(c, !large_rises);  // taken after the loads: they may evict it
  get_favt64_ptr2(link, c);
  get_favt64_ptr2(child(c, !large_rises), n);
  set_favt64_ptr(child(n, large_rises), &inner);
  fset_level64(root, n);
  fset_level64(root, c);
  unpin(c);
}

// Re-levels n, the node at link, then rebalances at link: fset_level64 followed by
// favt64_valance, with the children's levels read once for both (a child that is not cached
// costs a read of its record each time).
void relevel_and_balance(FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* n) {
  touch_ring64(&root->h, &n->h);
  pin(n);
  int64_t l = level_at(root, &n->large), s = level_at(root, &n->small);
  set_level(n, level_above(l, s));
  if (s + 1 < l)
    rotate(root, link, n, true);
  else if (l + 1 < s)
    rotate(root, link, n, false);
  unpin(n);
}

// Links a new (or re-inserted) node at an empty link; it is a leaf and no longer pinned.
void attach(FAVT64_PTR* link, FAVT64_NODE* a) {
  get_favt64_ptr2(link, a);
  FAVT64_PTR empty = get_favt64_ptr(0, int(kRecTreeNode));
  set_favt64_ptr(&a->small, &empty);
  set_favt64_ptr(&a->large, &empty);
  a->level = 1;
  favt64_set_dirty(&a->h);
  if (a->h.flags & kFavtUnlinked) {
    a->h.flags &= uint16_t(~kFavtUnlinked);
    unpin(a);
  }
}

void unpin_path(PathStack<Frame>& path) {
  while (!path.empty()) unpin(path.pop().node);
}

// Finds the smallest (largest set: the largest) node of the non-empty subtree at link and
// pins the way down to it in path, the node itself last. Nothing changes yet, so a way
// that cannot be read (-2) or comes back to a node met before (-3) leaves the tree whole;
// the pins are then released. 0 when found.
int find_end(FAVT64_ROOT* root, FAVT64_PTR* link, bool largest, OffsetSet& seen, PathStack<Frame>& path) {
  for (FAVT64_PTR* cur = link; cur->fofs != 0;) {
    FAVT64_NODE* g = g_ptr64(nullptr, root, cur);
    int fail = !g ? kFavtUnreadable : !seen.add(g->h.fofs) ? kFavtDamaged : 0;
    if (fail) {
      unpin_path(path);
      return fail;
    }
    pin(g);
    path.push({cur, g});
    cur = child(g, largest);
  }
  // The subtree that takes the found node's place must not be one met before either.
  if (!seen.add(child(path.top().node, !largest)->fofs)) {
    unpin_path(path);
    return kFavtDamaged;
  }
  return 0;
}

// Splices out the node find_end reached: its other child takes its place, the place is
// rebalanced and the nodes above it re-levelled. The node comes back pinned.
FAVT64_NODE* splice_end(FAVT64_ROOT* root, PathStack<Frame>& path, bool largest) {
  Frame end = path.pop();
  FAVT64_NODE* g = end.node;
  set_favt64_ptr(end.link, child(g, !largest));
  unload_link(child(g, !largest));
  favt64_valance(root, end.link);
  touch_ring64(&g->h, nullptr);
  while (!path.empty()) {
    Frame f = path.pop();
    fset_level64(root, f.node);
    unpin(f.node);
  }
  return g;
}

// Takes n (found at link, pinned) out of its tree: a successor from the taller side
// replaces it when it has two children. n keeps its pin as an unlinked node. 0, or -2 / -3
// when the successor's way is unreadable or damaged; the tree is then unchanged.
int remove_at(FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* n, OffsetSet& seen) {
  FAVT64_NODE* r = nullptr;
  if (n->large.fofs && n->small.fofs) {
    bool from_large = level_at(root, &n->small) < level_at(root, &n->large);
    PathStack<Frame> way;
    if (int fail = find_end(root, from_large ? &n->large : &n->small, !from_large, seen, way)) return fail;
    if (!seen.add(child(n, !from_large)->fofs)) {  // the side that stays leads back up
      unpin_path(way);
      return kFavtDamaged;
    }
    r = splice_end(root, way, !from_large);
  } else if (!seen.add(n->large.fofs ? n->large.fofs : n->small.fofs)) {
    return kFavtDamaged;  // the child that would take n's place is n or above it
  }
  n->parent = nullptr;
  if (r) {
    set_favt64_ptr(&r->large, &n->large);
    set_favt64_ptr(&r->small, &n->small);
    get_favt64_ptr2(link, r);
    unpin(r);
  } else {
    set_favt64_ptr(link, n->large.fofs == 0 ? &n->small : &n->large);
  }
  // n no longer holds its children; clear its loaded links before anything may evict them.
  unload_link(&n->small);
  unload_link(&n->large);
  if (FAVT64_NODE* top = link->fofs ? g_ptr64(nullptr, root, link) : nullptr) relevel_and_balance(root, link, top);
  touch_ring64(&n->h, nullptr);
  n->h.flags |= kFavtUnlinked;
  return 0;
}

struct BoundFrame {
  FAVT64_NODE* node;
  int cmp_min;
  int cmp_max;
};

void append_bound(BOUND64_SEARCH_WORK* w, FAVT64_NODE* n) {
  auto* item = static_cast<BOUND64_LIST*>(d_calloc(1, sizeof(BOUND64_LIST)));
  item->data_len = n->data_len;
  if (n->data_len > 0) {
    item->data = d_alloc(size_t(n->data_len));
    std::memcpy(item->data, n->data, size_t(n->data_len));
  }
  if (w->tail)
    w->tail->next = item;
  else
    w->head = item;
  w->tail = item;
  ++w->count;
}

int test_visit(FAVT64_NODE* n, void* work) {
  auto* t = static_cast<FAVT64_TEST*>(work);
  int32_t first = 0;
  if (n->data_len > 0) std::memcpy(&first, n->data, size_t(std::min<int64_t>(n->data_len, 4)));
  ss_printf("=%i\n", int(first));
  if (t->data) {  // every node after the first: its order and its level
    if (t->cmp(n->data, t->data, nullptr) < 0) er_panic("favt error 1");
    int64_t l = level_at(t->p, &n->large), s = level_at(t->p, &n->small);
    if (n->level <= l) er_panic("favt error 2");
    if (n->level <= s) er_panic("favt error 3");
    if (n->level != l + 1 && n->level != s + 1) er_panic("favt error 4");
    d_f_ree(t->data);
  }
  t->data = n->data_len > 0 ? d_alloc(size_t(n->data_len)) : nullptr;
  if (t->data) std::memcpy(t->data, n->data, size_t(n->data_len));
  t->data_len = n->data_len;
  return 0;
}

}  // namespace

// The cursor's stack holds the nodes whose turn is still to come, each pinned; current is
// the node handed out last, pinned until the cursor moves on. Every node pushed is noted
// in seen: a node met twice means a link back, so the walk ends however the file is made.
struct FAVT64_CURSOR {
  int* err;
  FAVT64_ROOT* root;
  bool ascending;
  bool damaged = false;
  FAVT64_NODE* current = nullptr;
  PathStack<FAVT64_NODE*> stack;
  OffsetSet seen;

  FAVT64_CURSOR(int* e, FAVT64_ROOT* r, FAVT64_NODE* start, bool asc) : err(e), root(r), ascending(asc) {
    touch_ring64(&root->h, start ? &start->h : nullptr);
    descend(start);
  }
  ~FAVT64_CURSOR() {
    if (current) unpin(current);
    while (!stack.empty()) unpin(stack.pop());
  }
  FAVT64_CURSOR(const FAVT64_CURSOR&) = delete;
  FAVT64_CURSOR& operator=(const FAVT64_CURSOR&) = delete;

  void descend(FAVT64_NODE* n) {
    while (n) {
      if (!seen.add(n->h.fofs)) {
        damaged = true;
        set_err(err, kFavtDamaged);
        return;
      }
      touch_ring64(&root->h, &n->h);
      pin(n);
      stack.push(n);
      n = g_ptr64(err, root, child(n, !ascending));
    }
  }

  int next(FAVT64_NODE** out) {
    if (current) {
      FAVT64_NODE* after = g_ptr64(err, root, child(current, ascending));
      unpin(current);
      current = nullptr;
      descend(after);
    }
    if (damaged) return kFavtDamaged;
    if (stack.empty()) return 0;
    current = *out = stack.pop();
    return 1;
  }
};

FAVT64_CURSOR* favt64_cursor_open(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, bool ascending) {
  return new (d_alloc(sizeof(FAVT64_CURSOR))) FAVT64_CURSOR(err, root, start, ascending);
}

int favt64_cursor_next(FAVT64_CURSOR* c, FAVT64_NODE** out) { return c->next(out); }

void favt64_cursor_close(FAVT64_CURSOR* c) {
  if (!c) return;
  c->~FAVT64_CURSOR();
  d_f_ree(c);
}

namespace {

int trace(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work, bool ascending) {
  FAVT64_CURSOR c(err, root, start, ascending);
  FAVT64_NODE* n;
  int r;
  while ((r = c.next(&n)) == 1)
    if (int v = visitor(n, work)) return v;
  return r;
}

}  // namespace

void fset_level64(FAVT64_ROOT* root, FAVT64_NODE* node) {
  if (!node) return;
  touch_ring64(&root->h, &node->h);
  pin(node);
  set_level(node, level_above(level_at(root, &node->large), level_at(root, &node->small)));
  unpin(node);
}

void favt64_valance(FAVT64_ROOT* root, FAVT64_PTR* link) {
  if (link->fofs == 0) return;
  FAVT64_NODE* n = g_ptr64(nullptr, root, link);
  if (!n) return;
  pin(n);
  int64_t l = level_at(root, &n->large), s = level_at(root, &n->small);
  touch_ring64(&root->h, &n->h);
  if (s + 1 < l)
    rotate(root, link, n, true);
  else if (l + 1 < s)
    rotate(root, link, n, false);
  unpin(n);
}

FAVT64_NODE* favt64_insert(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* node, FAVT64_CMP cmp,
                           void* work) {
  // Every comparison on the way reads the new node's data.
  if (!node->data) er_panic("avt_insert(1)");
  touch_ring64(&root->h, nullptr);
  PathStack<Frame> path;
  OffsetSet seen;
  FAVT64_NODE* result = nullptr;
  bool relevel_last = true;  // false when the last node on the path is the answer itself
  for (FAVT64_PTR* cur = link;;) {
    if (cur->fofs == 0) {
      attach(cur, node);
      result = node;
      break;
    }
    FAVT64_NODE* n = g_ptr64(err, root, cur);
    if (!n) break;  // unreadable: nothing is linked over it
    if (!seen.add(n->h.fofs)) {  // the way leads back up: change nothing
      set_err(err, kFavtDamaged);
      unpin_path(path);
      return nullptr;
    }
    pin(n);
    favt64_prefetch_links(n);  // the next step's memory arrives while this one compares
    path.push({cur, n});
    int c = cmp(n->data, node->data, work);
    if (c == 1 || c == -1) {
      cur = child(n, c == -1);
      continue;
    }
    // An equal key ends the way at once; any other answer still re-levels and rebalances
    // the node that gave it.
    result = c == 0 ? n : nullptr;
    relevel_last = c != 0;
    break;
  }
  if (result) pin(result);  // the rebalancing below loads nodes: the answer must survive it
  for (bool last = true; !path.empty(); last = false) {
    Frame f = path.pop();
    if (!last || relevel_last) relevel_and_balance(root, f.link, f.node);
    unpin(f.node);
  }
  if (result) unpin(result);
  return result;
}

FAVT64_NODE* favt64_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, void* key, FAVT64_CMP cmp, void* work) {
  touch_ring64(&root->h, start ? &start->h : nullptr);
  if (!start) {
    set_err(err, kFavtNotFound);
    return nullptr;
  }
  OffsetSet seen;
  FAVT64_NODE* n = start;
  pin(n);
  for (;;) {
    if (!seen.add(n->h.fofs)) {
      unpin(n);
      set_err(err, kFavtDamaged);
      return nullptr;
    }
    favt64_prefetch_links(n);  // the next step's memory arrives while this one compares
    int c = cmp(n->data, key, work);
    if (c == 0) {
      unpin(n);
      return n;
    }
    if (c != 1 && c != -1) er_panic("favt_search(1)");
    FAVT64_PTR* link = child(n, c == -1);
    FAVT64_NODE* next = link->fofs ? g_ptr64(nullptr, root, link) : nullptr;
    if (!next) {
      unpin(n);
      set_err(err, link->fofs ? kFavtUnreadable : kFavtNotFound);
      return nullptr;
    }
    pin(next);
    unpin(n);
    n = next;
  }
}

FAVT64_NODE* favt64_delete(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, void* key, FAVT64_CMP cmp, void* work) {
  PathStack<Frame> path;
  OffsetSet seen;
  FAVT64_PTR* cur = link;
  FAVT64_NODE* found = nullptr;
  int status = kFavtNotFound;
  while (cur->fofs != 0) {
    FAVT64_NODE* n = g_ptr64(nullptr, root, cur);
    if (!n || !seen.add(n->h.fofs)) {
      status = n ? kFavtDamaged : kFavtUnreadable;
      break;
    }
    touch_ring64(&root->h, &n->h);
    pin(n);
    favt64_prefetch_links(n);
    int c = cmp(n->data, key, work);
    if (c == 0) {
      found = n;
      break;
    }
    if (c != 1 && c != -1) er_panic("favt_delete(!)");
    path.push({cur, n});
    cur = child(n, c == -1);
  }
  if (found) {
    if (int fail = remove_at(root, cur, found, seen)) {
      unpin(found);
      found = nullptr;
      status = fail;
    }
  }
  if (!found) set_err(err, status);
  while (!path.empty()) {  // re-levelled on the way up, not rebalanced
    Frame f = path.pop();
    fset_level64(root, f.node);
    unpin(f.node);
  }
  return found;
}

int favt64_trace_from_small(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work) {
  return trace(err, root, start, visitor, work, true);
}

int favt64_trace_from_large(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work) {
  return trace(err, root, start, visitor, work, false);
}

BOUND64_LIST* favt64_bound_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, void* lower, void* upper,
                                  int limit, FAVT64_CMP cmp, void* cmp_work) {
  BOUND64_SEARCH_WORK w{root, lower, upper, cmp, nullptr, nullptr, cmp_work, limit, 0};
  PathStack<BoundFrame> stack;
  OffsetSet seen;
  auto unpin_all = [&] {
    while (!stack.empty()) unpin(stack.pop().node);
  };
  bool unreadable = false;  // a subtree skipped unseen would shorten the list unnoticed
  auto follow = [&](FAVT64_PTR* link) {
    int e = 0;
    FAVT64_NODE* n = g_ptr64(&e, root, link);
    unreadable |= e != 0;
    return n;
  };
  // Pushes n and its small descendants that may still hold matches; false when one of them
  // was met before.
  auto descend = [&](FAVT64_NODE* n) {
    while (n) {
      if (!seen.add(n->h.fofs)) return false;
      touch_ring64(&root->h, &n->h);
      pin(n);
      BoundFrame f{n, cmp(n->data, w.data_min, w.cmp_work), 0};
      f.cmp_max = cmp(n->data, w.data_max, w.cmp_work);
      stack.push(f);
      n = f.cmp_min > 0 ? follow(&n->small) : nullptr;
    }
    return true;
  };
  bool sound = descend(start);
  while (sound && !unreadable && !stack.empty()) {
    BoundFrame f = stack.pop();
    if (f.cmp_max <= 0 && f.cmp_min >= 0) {
      if (w.limit >= 0 && w.count >= w.limit) {
        set_err(err, kFavtLimit);
        unpin(f.node);
        unpin_all();
        return w.head;
      }
      append_bound(&w, f.node);
    }
    FAVT64_NODE* next = f.cmp_max < 0 ? follow(&f.node->large) : nullptr;
    unpin(f.node);
    sound = descend(next);
  }
  if (unreadable) {
    set_err(err, kFavtUnreadable);
    unpin_all();
  } else if (!sound) {
    set_err(err, kFavtDamaged);
    unpin_all();
  }
  return w.head;
}

void free_bound_list64(BOUND64_LIST* list) {
  while (list) {
    BOUND64_LIST* next = list->next;
    if (list->data) d_f_ree(list->data);
    d_f_ree(list);
    list = next;
  }
}

int favt64_test(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_CMP cmp) {
  FAVT64_TEST t{root, nullptr, 0, cmp};
  int r = favt64_trace_from_small(err, root, start, test_visit, &t);
  if (t.data) d_f_ree(t.data);
  return r == kFavtDamaged ? r : 0;
}

}  // namespace tq
