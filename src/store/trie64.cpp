// Tries of trees: each level is a file-resident AVL tree of 20-byte nodes (character, next
// tree, value word) ordered by character. Values are single words in the node, or, from
// the second value of a key on, a value-array record (type 261) that is rewritten whole
// at every change. Lower trees are made by insertion and freed by deletion once empty.
//
// A trie read from a damaged file must not lead an operation round in circles: every way
// down notes the roots of the levels it has passed, and a next tree that is one of them, or
// no lower level at all (kind 2), ends the operation with -3. Walks keep one tree cursor per
// level on the heap, so neither a long key nor a deep damaged trie costs stack.
//
// An insertion, and a value array's move, free again the room they took when a later step
// fails; they hold the file in the page cache meanwhile (FacHold), so the pages those frees
// write, written by the same call, stay dirty and the frees are never refused at its bound.
#include "store/trie64.h"

#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/startup.h"
#include "store/file_space.h"
#include "store/record_io.h"

namespace tq {

namespace {

void set_err(int* err, int v) {
  if (err) *err = v;
}

uint32_t load32(const unsigned char* b) {
  uint32_t v;
  std::memcpy(&v, b, 4);
  return v;
}
uint64_t load64(const unsigned char* b) {
  uint64_t v;
  std::memcpy(&v, b, 8);
  return v;
}

uint64_t node_data(const FAVT64_NODE* n) { return dtree64_get(n).data; }
uint64_t node_tree(const FAVT64_NODE* n) { return dtree64_get(n).tree; }
void set_node_data(FAVT64_NODE* n, uint64_t v) {
  DTREE64_NODE d = dtree64_get(n);
  d.data = v;
  dtree64_put(n, d);
  favt64_set_dirty(&n->h);
}
void set_node_tree(FAVT64_NODE* n, uint64_t v) {
  DTREE64_NODE d = dtree64_get(n);
  d.tree = v;
  dtree64_put(n, d);
  favt64_set_dirty(&n->h);
}

// The node of ch in the tree of root, or null; *status 0, or -2 / -3 when the tree is
// unreadable or damaged on the way.
FAVT64_NODE* find_char(FAVT64_ROOT* root, L_CHAR ch, int* status) {
  *status = 0;
  if (root->node.fofs == 0) return nullptr;
  int e = 0;
  FAVT64_NODE* top = root_node64(&e, root);
  if (!top) {
    *status = kFavtUnreadable;
    return nullptr;
  }
  FAVT64_NODE* n = favt64_search(&e, root, top, &ch, dtree64_cmp, nullptr);
  if (!n && e != kFavtNotFound) *status = e;
  return n;
}

// The tree of the next level at ofs, which levels (the roots this way has passed) must not
// hold yet: null with -3 in *status when it does or the root there is no lower trie level,
// -2 when it cannot be read.
FAVT64_ROOT* next_tree(PDB64* p, uint64_t ofs, OffsetSet& levels, int* status) {
  *status = 0;
  if (!levels.add(ofs)) {
    *status = kFavtDamaged;
    return nullptr;
  }
  FAVT64_ROOT* r = get_root64(nullptr, p, ofs, dtree64_endian);
  if (!r || r->type != kDtreeLowerKind) {
    *status = r ? kFavtDamaged : kFavtUnreadable;
    return nullptr;
  }
  return r;
}

// A value array holds a whole number of values, at least two.
bool array_size_ok(uint64_t m) { return m >= sizeof(PN64_HEADER) + 16 && (m - sizeof(PN64_HEADER)) % 8 == 0; }

// The values a node's data word stands for: a single value (count 1, no record) or the
// values of the array record at it. Null answers mean the record cannot be read.
struct Values {
  uint64_t* v;  // debug heap; null for a single value
  int64_t n;
  bool array;
};

bool read_values(PDB64* p, uint64_t d, Values* out) {
  *out = Values{nullptr, 1, false};
  PN64_HEADER* head = read_filespace64f_header(p, d);
  if (!head) return false;
  bool array = rec_type64(head) == kRecTrieValues;
  bool sound = !array || array_size_ok(rec_size64(head));
  d_f_ree(head);
  if (!sound) return false;
  if (!array) return true;
  auto* rec = static_cast<unsigned char*>(read_filespace64f(p, d));
  if (!rec) return false;
  int64_t n = int64_t((rec_size64(rec) - sizeof(PN64_HEADER)) / 8);
  out->array = true;
  out->n = n;
  out->v = static_cast<uint64_t*>(d_alloc(size_t(n > 0 ? n : 1) * sizeof(uint64_t)));
  for (int64_t i = 0; i < n; ++i) out->v[i] = get_be64(rec + sizeof(PN64_HEADER) + 8 * i);
  d_f_ree(rec);
  return true;
}

void free_values(Values* vals) {
  if (vals->v) d_f_ree(vals->v);
  vals->v = nullptr;
}

// The array record in file order: head (type 261, 16 + 8n), then the values big-endian.
unsigned char* array_record(const uint64_t* v, int64_t n) {
  uint64_t m = sizeof(PN64_HEADER) + 8 * uint64_t(n);
  auto* rec = static_cast<unsigned char*>(d_alloc(m));
  set_rec_head64(rec, kRecTrieValues, m);
  for (int64_t i = 0; i < n; ++i) put_be64(rec + sizeof(PN64_HEADER) + 8 * i, v[i]);
  return rec;
}

// Writes the array in place at ofs: 0 or -1.
int rewrite_array(PDB64* p, uint64_t ofs, const uint64_t* v, int64_t n) {
  unsigned char* rec = array_record(v, n);
  int rc = write_filespace64f(p, ofs, rec) < 0 ? -1 : 0;
  d_f_ree(rec);
  return rc;
}

// Gives the node a new array of the values in place of the array at old (0: none). The new
// one is written before the node names it, and the old one is freed only once the node's
// new data is written (favt64_free_later), so neither a failure here nor one of a later
// write-back leaves the node in the file naming a free block or room it does not hold
// whole. 0 or -1 (the node as it was).
int store_array(PDB64* p, FAVT64_NODE* node, uint64_t old, const uint64_t* v, int64_t n) {
  PN64_HEADER h{};
  h.type = kRecTrieValues;
  h.size = sizeof(PN64_HEADER) + 8 * uint64_t(n);
  FacHold hold(&p->fac);
  int64_t at = alloc_filespace64(p, &h);
  if (at < 0) return -1;
  if (rewrite_array(p, uint64_t(at), v, n) < 0) {
    free_filespace64(p, uint64_t(at));
    return -1;
  }
  set_node_data(node, uint64_t(at));
  if (old) favt64_free_later(p, old);
  return 0;
}

int64_t find_value(const Values& vals, uint64_t x) {
  for (int64_t i = 0; i < vals.n; ++i)
    if (vals.v[i] == x) return i;
  return -1;
}

// One level of a key on its way down: the tree and the node found there (pinned).
struct Level {
  FAVT64_ROOT* root;
  FAVT64_NODE* node;
};

void push_char(DTREE64_TRACE_WORK* st, L_CHAR ch) {
  if (st->target_len + 2 > st->target_cap) {
    int64_t cap = st->target_cap * 2;
    st->target = static_cast<L_CHAR*>(d_re_alloc(st->target, size_t(cap) * sizeof(L_CHAR)));
    if (!st->target) er_panic("dtree64_trace");
    st->target_cap = cap;
  }
  st->target[st->target_len++] = ch;
  st->target[st->target_len] = 0;
}

void pop_char(DTREE64_TRACE_WORK* st) { st->target[--st->target_len] = 0; }

// The values of one node, in order: the visitor's first non-zero result, -1 when the value
// record cannot be read, else 0.
int visit_values(DTREE64_TRACE_WORK* st, uint64_t d) {
  auto* rec = read_filespace64(st->p, d);
  if (!rec) return -1;
  int r = 0;
  if (rec_type64(&rec->h) == kRecTrieValues && !array_size_ok(rec_size64(&rec->h))) {
    r = -1;
  } else if (rec_type64(&rec->h) == kRecTrieValues) {
    auto* body = reinterpret_cast<unsigned char*>(rec) + sizeof(ACC_PN64_HEADER);
    int64_t n = int64_t((rec_size64(&rec->h) - sizeof(PN64_HEADER)) / 8);
    for (int64_t i = 0; i < n && r == 0; ++i) r = st->func(get_be64(body + 8 * i), nullptr, st);
  } else {
    r = st->func(d, rec, st);
  }
  d_f_ree(rec);
  return r;
}

// The cursors of a walk's open levels, the top level first.
struct LevelStack {
  FAVT64_CURSOR** c = nullptr;
  int64_t n = 0, cap = 0;
  void push(FAVT64_CURSOR* x) {
    if (n == cap) {
      cap = cap ? cap * 2 : 16;
      c = static_cast<FAVT64_CURSOR**>(d_re_alloc(c, size_t(cap) * sizeof *c));
      if (!c) er_panic("dtree64_trace");
    }
    c[n++] = x;
  }
  ~LevelStack() {
    while (n > 0) favt64_cursor_close(c[--n]);
    if (c) d_f_ree(c);
  }
};

// One node of the walk: its character joins target, its values are visited, and its next
// tree (when it has one) becomes the walk's new innermost level. The node stays pinned by
// its level's cursor while the levels below it are walked. 0 to go on, else the result.
int trace_node(DTREE64_TRACE_WORK* st, int* err, FAVT64_NODE* node, OffsetSet& levels, LevelStack& open,
               bool ascending) {
  DTREE64_NODE v = dtree64_get(node);
  push_char(st, v.ch);
  if (int r = v.data ? visit_values(st, v.data) : 0) return r;
  if (!v.tree) {
    pop_char(st);
    return 0;
  }
  int status;
  FAVT64_ROOT* sub = next_tree(st->p, v.tree, levels, &status);
  if (!sub) {
    if (err) *err = status;
    return status;
  }
  open.push(favt64_cursor_open(err, sub, root_node64(err, sub), ascending));
  return 0;
}

int dtree64_trace(int* err, FAVT64_ROOT* root, DTREE64_VISIT visitor, void* work, FAVT64_TRACE trace) {
  if (!favt64_trie_kind(root->type)) {
    errno = EINVAL;
    return -1;
  }
  // Once per walk, not per node: a check walks the whole cache, which holds every open
  // level of the walk, so a check per node made a deep walk quadratic in its depth.
  check_cache64("dtree_trace_func");
  constexpr int64_t kFirstCap = 32;
  auto* target = static_cast<L_CHAR*>(d_calloc(kFirstCap, sizeof(L_CHAR)));
  DTREE64_TRACE_WORK st{root->h.p, visitor, work, trace, target, 0, kFirstCap};
  const bool ascending = trace != favt64_trace_from_large;
  OffsetSet levels;
  levels.add(root->h.fofs);
  int r = 0;
  {
    LevelStack open;
    open.push(favt64_cursor_open(err, root, root_node64(err, root), ascending));
    while (open.n > 0 && r == 0) {
      FAVT64_NODE* n;
      int got = favt64_cursor_next(open.c[open.n - 1], &n);
      if (got == 1) {
        r = trace_node(&st, err, n, levels, open, ascending);
      } else if (got < 0) {
        r = got;
      } else {
        favt64_cursor_close(open.c[--open.n]);
        if (open.n > 0) pop_char(&st);  // the node whose tree this was is done
      }
    }
  }
  d_f_ree(st.target);
  return r;
}

// Takes a node of a level's tree out and frees it. Its level's pin (held by the caller) is
// released once it is unlinked, so it is freed whole. 0, or -2 / -3 when the tree is
// unreadable or damaged on the way (then nothing changed); a node found on the way down
// that deletion cannot find stops the process ("delete_dtree(2)").
int remove_node(int* err, FAVT64_ROOT* tree, FAVT64_NODE* n) {
  L_CHAR ch = dtree64_get(n).ch;
  int e = 0;
  FAVT64_NODE* gone = favt64_delete(&e, tree, &tree->node, &ch, dtree64_cmp, nullptr);
  if (!gone && (e == kFavtUnreadable || e == kFavtDamaged)) {
    set_err(err, e);
    return e;
  }
  if (gone != n) er_panic("delete_dtree(2)");
  favt64_unlock(&n->h);
  favt64_free_node(n);
  return 0;
}

// Frees emptied lower trees from level k upward, and the nodes that then lead nowhere.
// 0, or the error of a tree found damaged on the way.
int prune_levels(int* err, Level* lv, int64_t k) {
  for (; k > 0; --k) {
    FAVT64_ROOT* tree = lv[k].root;
    if (tree->node.fofs != 0) return 0;
    favt64_free_root(tree);
    FAVT64_NODE* parent = lv[k - 1].node;
    set_node_tree(parent, 0);
    if (node_data(parent) != 0) return 0;
    if (int rc = remove_node(err, lv[k - 1].root, parent)) return rc;
    lv[k - 1].node = nullptr;
  }
  return 0;
}

// A new node for ch in tree (linked, not pinned); null with *status for a damaged tree,
// or with errno when no room was had.
FAVT64_NODE* add_char(FAVT64_ROOT* tree, L_CHAR ch, int* status) {
  unsigned char data[kDtreeNodeLen] = {};
  std::memcpy(data, &ch, 4);
  FAVT64_NODE* a = favt64_alloc_node(tree, data, kDtreeNodeLen);
  if (!a) return nullptr;
  int e = 0;
  FAVT64_NODE* n = favt64_insert(&e, tree, &tree->node, a, dtree64_cmp, nullptr);
  if (n == a) return n;
  favt64_free_node(a);
  if (!n) *status = e ? e : kFavtDamaged;
  return n;
}

// Takes back what a failed insertion added from level k up: level k's node when it leads
// nowhere, then the levels it leaves empty (what held a value or led on before stays).
void drop_added(int* err, Level* lv, int64_t k) {
  if (FAVT64_NODE* n = lv[k].node) {
    if (node_data(n) != 0 || node_tree(n) != 0 || remove_node(err, lv[k].root, n)) return;
    lv[k].node = nullptr;
  }
  prune_levels(err, lv, k);
}

}  // namespace

DTREE64_NODE dtree64_get(const FAVT64_NODE* node) {
  DTREE64_NODE v{};
  if (node->data_len < kDtreeNodeLen) return v;
  auto* b = static_cast<const unsigned char*>(node->data);
  v.ch = load32(b);
  v.tree = load64(b + 4);
  v.data = load64(b + 12);
  return v;
}

void dtree64_put(FAVT64_NODE* node, const DTREE64_NODE& v) {
  if (node->data_len < kDtreeNodeLen) er_panic("dtree64_put");
  auto* b = static_cast<unsigned char*>(node->data);
  std::memcpy(b, &v.ch, 4);
  std::memcpy(b + 4, &v.tree, 8);
  std::memcpy(b + 12, &v.data, 8);
}

int dtree64_cmp(void* node_data, void* key, void* /*work*/) {
  uint32_t a = load32(static_cast<unsigned char*>(node_data));
  uint32_t b = load32(static_cast<unsigned char*>(key));
  return a > b ? 1 : a < b ? -1 : 0;
}

void dtree64_endian(void* data, int64_t len) {
  if (!endian_flag || len < kDtreeNodeLen) return;
  auto* b = static_cast<unsigned char*>(data);
  uint32_t ch = __builtin_bswap32(load32(b));
  uint64_t tree = __builtin_bswap64(load64(b + 4)), d = __builtin_bswap64(load64(b + 12));
  std::memcpy(b, &ch, 4);
  std::memcpy(b + 4, &tree, 8);
  std::memcpy(b + 12, &d, 8);
}

FAVT64_ROOT* alloc64_dtree(PDB64* p, int kind) { return favt64_alloc_root(p, kind | 1, dtree64_endian); }

int data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old_v, uint64_t new_v) {
  PDB64* p = root->h.p;
  uint64_t d = node_data(node);
  Values vals;
  if (!read_values(p, d, &vals)) return -1;
  int rc = 0;
  if (vals.array && old_v) {  // replace in place
    int64_t i = find_value(vals, old_v);
    if (i < 0) {
      rc = -1;
    } else {
      vals.v[i] = new_v;
      rc = rewrite_array(p, d, vals.v, vals.n);
    }
  } else if (vals.array) {  // one more value: the array moves
    vals.v = static_cast<uint64_t*>(d_re_alloc(vals.v, size_t(vals.n + 1) * sizeof(uint64_t)));
    if (!vals.v) er_panic("data_segment64");
    vals.v[vals.n++] = new_v;
    rc = store_array(p, node, d, vals.v, vals.n);
  } else if (old_v) {  // single value replaced
    favt64_set_dirty(&node->h);
    if (old_v != d)
      rc = -1;
    else
      set_node_data(node, new_v);
  } else {  // the second value: an array of two
    uint64_t two[2] = {d, new_v};
    rc = store_array(p, node, 0, two, 2);
  }
  free_values(&vals);
  return rc;
}

int delete_data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old_v) {
  PDB64* p = root->h.p;
  uint64_t d = node_data(node);
  Values vals;
  if (!read_values(p, d, &vals)) return -1;
  int rc = 0;
  if (!vals.array) {
    favt64_set_dirty(&node->h);
    if (old_v && old_v != d)
      rc = -1;
    else
      set_node_data(node, 0);
  } else if (!old_v) {  // all values go
    set_node_data(node, 0);
    favt64_free_later(p, d);
  } else if (int64_t i = find_value(vals, old_v); i < 0) {
    rc = -1;
  } else if (vals.n > 2) {
    std::memmove(vals.v + i, vals.v + i + 1, size_t(vals.n - i - 1) * sizeof(uint64_t));
    --vals.n;
    rc = store_array(p, node, d, vals.v, vals.n);
  } else {  // the other one becomes the single value
    set_node_data(node, vals.v[1 - i]);
    favt64_free_later(p, d);
  }
  free_values(&vals);
  return rc;
}

int insert_dtree64(int* err, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old_v, uint64_t new_v) {
  if (!key || !key[0] || !favt64_trie_kind(root->type)) {
    errno = EINVAL;
    return -1;
  }
  size_t depth = 0;
  while (key[depth]) ++depth;
  auto* lv = static_cast<Level*>(d_calloc(depth, sizeof(Level)));
  PDB64* p = root->h.p;
  FacHold hold(&p->fac);
  OffsetSet levels;
  levels.add(root->h.fofs);
  FAVT64_ROOT* cur = root;
  int rc = -1, status = 0;
  size_t i = 0;
  for (;; ++i) {
    lv[i].root = cur;
    FAVT64_NODE* n = find_char(cur, key[i], &status);
    if (!n && !status) n = add_char(cur, key[i], &status);
    if (!n) break;
    favt64_lock(&n->h);  // held to the end: a failure takes back what this call added
    lv[i].node = n;
    if (!key[i + 1]) {
      if (node_data(n) == 0) {
        rc = old_v ? -1 : 0;
        if (!old_v) set_node_data(n, new_v);
      } else {
        rc = data_segment64(cur, n, old_v, new_v);
      }
      break;
    }
    if (uint64_t t = node_tree(n)) {
      cur = next_tree(p, t, levels, &status);
    } else if ((cur = favt64_alloc_root(p, kDtreeLowerKind, dtree64_endian))) {
      levels.add(cur->h.fofs);
      set_node_tree(n, cur->h.fofs);
    }
    if (!cur) break;  // damaged (status), or no room for the level (errno set)
  }
  if (status) set_err(err, status);
  if (rc < 0) drop_added(err, lv, int64_t(i));
  for (size_t j = 0; j <= i && j < depth; ++j)
    if (lv[j].node) favt64_unlock(&lv[j].node->h);
  d_f_ree(lv);
  return rc;
}

uint64_t search_dtree64(int* err, int* len, FAVT64_ROOT* root, const L_CHAR* key, int exact) {
  if (!key || !key[0] || !favt64_trie_kind(root->type)) return 0;
  PDB64* p = root->h.p;
  OffsetSet levels;
  levels.add(root->h.fofs);
  FAVT64_ROOT* cur = root;
  uint64_t last = 0;
  int matched = 0;
  for (size_t i = 0;; ++i) {
    int status;
    FAVT64_NODE* n = find_char(cur, key[i], &status);
    if (status) {
      set_err(err, status);
      return 0;
    }
    if (!n) {
      if (exact) return 0;
      if (len) *len = matched;
      return last;
    }
    DTREE64_NODE v = dtree64_get(n);
    if (!key[i + 1] || !v.tree) {
      if (key[i + 1] && exact) return 0;
      if (len) *len = matched + 1;
      return v.data;
    }
    last = v.data;
    ++matched;
    cur = next_tree(p, v.tree, levels, &status);
    if (!cur) {
      set_err(err, status);
      return 0;
    }
  }
}

int delete_dtree64(int* err, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old_v) {
  if (!key || !key[0] || !favt64_trie_kind(root->type)) return -1;
  size_t depth = 0;
  while (key[depth]) ++depth;
  auto* lv = static_cast<Level*>(d_calloc(depth, sizeof(Level)));
  PDB64* p = root->h.p;
  OffsetSet levels;
  levels.add(root->h.fofs);
  FAVT64_ROOT* cur = root;
  int rc = -1, status = 0;
  size_t k = 0;
  for (;; ++k) {
    FAVT64_NODE* n = find_char(cur, key[k], &status);
    if (!n) break;
    favt64_lock(&n->h);
    lv[k] = Level{cur, n};
    if (!key[k + 1]) {
      rc = 0;
      break;
    }
    uint64_t t = node_tree(n);
    if (!t) break;
    cur = next_tree(p, t, levels, &status);
    if (!cur) break;
  }
  if (rc == 0) {
    FAVT64_NODE* n = lv[k].node;
    rc = node_data(n) == 0 ? -1 : delete_data_segment64(lv[k].root, n, old_v);
    if (rc == 0 && node_data(n) == 0 && node_tree(n) == 0) {
      rc = remove_node(err, lv[k].root, n);
      if (rc == 0) {
        lv[k].node = nullptr;
        rc = prune_levels(err, lv, int64_t(k));
      }
      if (rc) rc = -1;
    }
  } else {
    set_err(err, status ? status : -1);
  }
  for (size_t i = 0; i <= k && i < depth; ++i)
    if (lv[i].node) favt64_unlock(&lv[i].node->h);
  d_f_ree(lv);
  return rc;
}

int dtree64_trace_from_small(int* err, FAVT64_ROOT* root, DTREE64_VISIT visitor, void* work) {
  return dtree64_trace(err, root, visitor, work, favt64_trace_from_small);
}

int dtree64_trace_from_large(int* err, FAVT64_ROOT* root, DTREE64_VISIT visitor, void* work) {
  check_cache64("dtree_trace_from_large...");
  int r = dtree64_trace(err, root, visitor, work, favt64_trace_from_large);
  check_cache64("dtree_trace_from_large...2");
  return r;
}

}  // namespace tq
