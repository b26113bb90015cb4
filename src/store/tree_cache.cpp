// The tree-record cache: one ring of every cached root and node of every open store file,
// most recently used first, and beside it a second ring of the nodes that eviction may take
// (not pinned, no loaded child, not a tree's top), so that choosing a victim never walks
// past records that cannot go.
//
// The second ring approximates least-recent use among the candidates in O(1): a node joins
// it at the warm end when it is loaded, made, touched or unpinned (it has just been used),
// and at the cold end when it loses its last loaded child (its subtree went cold: a parent
// is used on the way to its children). Eviction takes the cold end.
//
// Invariants: every cached node is reachable from its cached root through loaded links and
// its parent points back at the link that holds it (unlinked nodes excepted: they have no
// parent and hold a pin); a root is in fr64_tree exactly while it is cached; a record's
// `loaded` counts its links whose node is loaded; the second ring holds exactly the cached
// nodes with no pin, nothing loaded and no root above them; every cached record with a
// dirty mark is in its file's list of dirty records. Roots and top nodes are never evicted:
// callers keep them between locked steps.
#include "store/tree_cache.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <unordered_set>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/startup.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "store/store_record.h"
#include "stream/format.h"

namespace tq {

FAVT64_HEADER favt64_h;
int favt64_count;
AVT_NODE* fr64_tree;
int favt64_cache_limit = 10000;

namespace {

// The evictable nodes, warm end first; linked through the ELinks kept in front of each
// cached record. A null neighbour stands for the ring's head.
struct alignas(16) ELinks {
  FAVT64_HEADER* next;  // toward the cold end
  FAVT64_HEADER* prev;  // toward the warm end
};

ELinks* el(FAVT64_HEADER* h) { return reinterpret_cast<ELinks*>(h) - 1; }
const ELinks* el(const FAVT64_HEADER* h) { return reinterpret_cast<const ELinks*>(h) - 1; }

ELinks ering;  // the ring's head: next the warmest, prev the coldest
int root_count;

constexpr uint16_t kKept = 8;  // in-memory mark of a flush pass: this node stays
constexpr uint16_t kTop = 16;  // in-memory mark: the node's parent link is a root's top link
constexpr uint16_t kOnDisk = 64;  // the record has a version in the file: loaded, or written once
constexpr uint16_t kPath = 128;   // mark of a write-back: the record or one below it is dirty
constexpr uint16_t kStale = 256;  // mark of a write-back: a record below could not be written
static_assert(((kKept | kTop | kOnDisk | kPath | kStale) & (kFavtDirty | kFavtPinned | kFavtUnlinked | kFavtFreed)) ==
                  0,
              "flag bits overlap");

bool is_root(const FAVT64_HEADER* h) { return h->type == int16_t(kRecTreeRoot); }
bool is_node(const FAVT64_HEADER* h) { return h->type == int16_t(kRecTreeNode); }
bool in_ring(const FAVT64_HEADER* h) { return h->next != nullptr; }
FAVT64_ROOT* as_root(FAVT64_HEADER* h) { return reinterpret_cast<FAVT64_ROOT*>(h); }
FAVT64_NODE* as_node(FAVT64_HEADER* h) { return reinterpret_cast<FAVT64_NODE*>(h); }

void set_err(int* err, int v) {
  if (err) *err = v;
}

// --- the evictable ring -------------------------------------------------------------

// The ring is circular through the head: a null neighbour stands for the head.
ELinks* elinks_or_head(FAVT64_HEADER* h) { return h ? el(h) : &ering; }
// A tree's top node stays too: callers keep it between locked steps as a search's start.
// The mark is kept with the parent link (set_parent), so that eviction need not visit the
// record holding that link.
bool is_top(const FAVT64_HEADER* h) { return reinterpret_cast<const FAVT64_NODE*>(h)->parent && (h->flags & kTop); }

void set_parent(FAVT64_NODE* n, FAVT64_PTR* link) {
  n->parent = link;
  if (link && link->owner && link->owner->type == int16_t(kRecTreeRoot))
    n->h.flags |= kTop;
  else
    n->h.flags &= uint16_t(~kTop);
}

bool evictable(const FAVT64_HEADER* h) {
  return in_ring(h) && is_node(h) && h->pins == 0 && h->loaded == 0 && !is_top(h);
}

void evict_link_between(FAVT64_HEADER* h, FAVT64_HEADER* newer, FAVT64_HEADER* older) {
  el(h)->prev = newer;
  el(h)->next = older;
  elinks_or_head(newer)->next = h;
  elinks_or_head(older)->prev = h;
}

void evict_unlink(FAVT64_HEADER* h) {
  ELinks* e = el(h);
  elinks_or_head(e->prev)->next = e->next;
  elinks_or_head(e->next)->prev = e->prev;
  e->next = e->prev = nullptr;
}

void evict_insert(FAVT64_HEADER* h, bool cold) {
  if (cold)
    evict_link_between(h, ering.prev, nullptr);
  else
    evict_link_between(h, nullptr, ering.next);
}

bool evict_member(const FAVT64_HEADER* h) {
  const ELinks* e = el(h);
  return e->next || e->prev || ering.next == h;
}

// Brings h's membership of the evictable ring in line with its state; a newcomer joins at
// the cold end when cold is set.
void update_evict(FAVT64_HEADER* h, bool cold = false) {
  bool want = evictable(h), have = evict_member(h);
  if (want && !have) evict_insert(h, cold);
  if (!want && have) evict_unlink(h);
}

// --- the main ring --------------------------------------------------------------------

void ring_unlink(FAVT64_HEADER* h) {
  h->prev->next = h->next;
  h->next->prev = h->prev;
  h->next = h->prev = nullptr;
}

void ring_push_front(FAVT64_HEADER* h) {
  h->next = favt64_h.next;
  h->prev = &favt64_h;
  favt64_h.next->prev = h;
  favt64_h.next = h;
}

void touch(FAVT64_HEADER* h) {
  if (!in_ring(h)) return;
  if (favt64_h.next != h) {
    ring_unlink(h);
    ring_push_front(h);
  }
  if (evict_member(h) && ering.next != h) {
    evict_unlink(h);
    evict_link_between(h, nullptr, ering.next);
  }
}

void clear_cache64(FAVT64_HEADER* keep);
int write_back_files(PDB64* only);

// What a file has that is not yet in it, kept per file so that a write-back of one file
// visits that file's records only: the cached records that may carry a dirty mark (a record
// whose marks were cleared otherwise stays listed until a write-back meets it), and the
// records freed while the file may still name them, in the order they were freed (made
// free by the next write-back of the file that writes every dirty record), each once. A
// file has an entry from its first change until its records are dropped at close.
struct FileWork {
  PDB64* p;
  std::vector<FAVT64_HEADER*> dirty;
  std::vector<uint64_t> pending;
  std::unordered_set<uint64_t> queued;  // the offsets in pending
};
std::vector<FileWork> file_work;

FileWork* work_of(PDB64* p) {
  for (FileWork& w : file_work)
    if (w.p == p) return &w;
  return nullptr;
}

FileWork& work_for(PDB64* p) {
  FileWork* w = work_of(p);
  return w ? *w : file_work.emplace_back(FileWork{p, {}, {}, {}});
}

void list_dirty(FAVT64_HEADER* h) {
  if (h->dirty_slot || !h->next) return;
  std::vector<FAVT64_HEADER*>& d = work_for(h->p).dirty;
  d.push_back(h);
  h->dirty_slot = int32_t(d.size());
}

void unlist_dirty(FAVT64_HEADER* h) {
  if (!h->dirty_slot) return;
  std::vector<FAVT64_HEADER*>& d = work_of(h->p)->dirty;
  FAVT64_HEADER* last = d.back();
  d[size_t(h->dirty_slot - 1)] = last;
  last->dirty_slot = h->dirty_slot;
  d.pop_back();
  h->dirty_slot = 0;
}

// A new record enters at the front; eviction then runs, never taking the newcomer.
void enter_ring(FAVT64_HEADER* h) {
  ring_push_front(h);
  ++favt64_count;
  if (is_root(h)) ++root_count;
  if (h->flags & kFavtDirty) list_dirty(h);
  update_evict(h);
  clear_cache64(h);
}

void leave_ring(FAVT64_HEADER* h) {
  unlist_dirty(h);
  if (evict_member(h)) evict_unlink(h);
  ring_unlink(h);
  --favt64_count;
  if (is_root(h)) --root_count;
}

// --- record memory --------------------------------------------------------------------

// Cached records carry their ELinks block in front; one block holds both (and a node's
// data behind the node). Roots and nodes with short data take blocks of one size from a
// pool that dropping refills: a full cache drops a node for every node it loads, and the
// pool saves the debug heap's lock and bookkeeping on both. The pool is bounded and is
// emptied whenever the cache is.
constexpr size_t kPoolData = 64;  // data bytes a pooled node block holds
constexpr size_t kPoolRecord = std::max(sizeof(FAVT64_ROOT), sizeof(FAVT64_NODE) + kPoolData);
constexpr int kPoolMax = 256;     // blocks kept at most

struct PoolBlock {
  PoolBlock* next;
};
PoolBlock* pool;
int pool_count;

// A pooled block is a dropped record: under the address sanitizer it is poisoned while it
// waits, so that a pointer kept past the drop is caught as it would be on freed memory.
#if defined(__SANITIZE_ADDRESS__)
void pool_poison(void* b) { __asan_poison_memory_region(b, sizeof(ELinks) + kPoolRecord); }
void pool_unpoison(void* b) { __asan_unpoison_memory_region(b, sizeof(ELinks) + kPoolRecord); }
#else
void pool_poison(void*) {}
void pool_unpoison(void*) {}
#endif

size_t record_size(const FAVT64_HEADER* h) {
  if (is_root(h)) return sizeof(FAVT64_ROOT);
  return sizeof(FAVT64_NODE) + size_t(reinterpret_cast<const FAVT64_NODE*>(h)->data_len);
}

// A zeroed record of size bytes behind zeroed ELinks.
void* new_record(size_t size) {
  if (size > kPoolRecord) return static_cast<ELinks*>(d_calloc(1, sizeof(ELinks) + size)) + 1;
  void* b;
  if (pool) {
    b = pool;
    pool_unpoison(b);
    pool = pool->next;
    --pool_count;
  } else {
    b = d_alloc(sizeof(ELinks) + kPoolRecord);
  }
  std::memset(b, 0, sizeof(ELinks) + size);
  return static_cast<ELinks*>(b) + 1;
}

void release_record(FAVT64_HEADER* h) {
  void* b = el(h);
  if (record_size(h) > kPoolRecord || pool_count == kPoolMax) {
    d_f_ree(b);
    return;
  }
  auto* pb = static_cast<PoolBlock*>(b);
  pb->next = pool;
  pool = pb;
  ++pool_count;
  pool_poison(pb);
}

void empty_pool() {
  while (pool) {
    pool_unpoison(pool);
    PoolBlock* next = pool->next;
    d_f_ree(pool);
    pool = next;
  }
  pool_count = 0;
}

// --- links ----------------------------------------------------------------------------

// Sets a link's node, keeping its owner's count of loaded links and evictability.
void link_ptr(FAVT64_PTR* l, FAVT64_NODE* n) {
  if ((l->ptr != nullptr) != (n != nullptr) && l->owner) {
    l->owner->loaded += n ? 1 : -1;
    update_evict(l->owner, true);  // its last loaded child went: it is cold
  }
  l->ptr = n;
}

FAVT64_PTR empty_link(FAVT64_HEADER* owner) { return FAVT64_PTR{0, int(kRecTreeNode), nullptr, 0, owner}; }

// --- roots in fr64_tree ---------------------------------------------------------------

int cmp_favt64(void* a, void* b) {
  auto* x = static_cast<FAVT64_ROOT*>(a);
  auto* y = static_cast<FAVT64_ROOT*>(b);
  auto px = reinterpret_cast<uintptr_t>(x->h.p), py = reinterpret_cast<uintptr_t>(y->h.p);
  if (px != py) return px > py ? 1 : -1;
  return x->h.fofs > y->h.fofs ? 1 : x->h.fofs < y->h.fofs ? -1 : 0;
}

FAVT64_ROOT* find_root(PDB64* p, uint64_t ofs) {
  FAVT64_ROOT key{};
  key.h.p = p;
  key.h.fofs = ofs;
  AVT_NODE* t = avt_search(fr64_tree, &key, cmp_favt64);
  return t ? static_cast<FAVT64_ROOT*>(t->data) : nullptr;
}

void enter_root_tree(FAVT64_ROOT* r) {
  r->tnode.data = r;
  if (avt_insert(&fr64_tree, &r->tnode, cmp_favt64) != &r->tnode) er_panic("insert_favt64_tree");
}

// --- dropping, writing back, evicting -------------------------------------------------

// Drops a cached record (nothing is written): -1 while a node it links to is loaded.
int free_favt64_cache(FAVT64_HEADER* h) {
  if (is_root(h)) {
    FAVT64_ROOT* r = as_root(h);
    if (r->node.ptr) return -1;
    leave_ring(h);
    // A root record met behind a node link was never entered: the entry at its offset is
    // another copy's.
    if (find_root(r->h.p, r->h.fofs) == r) avt_delete(&fr64_tree, r, cmp_favt64);
  } else {
    FAVT64_NODE* n = as_node(h);
    if (n->small.ptr || n->large.ptr) return -1;
    leave_ring(h);
    if (n->parent) link_ptr(n->parent, nullptr);
    // No operation is under way here, so pins beyond the unlinked node's own are callers'
    // holds: the memory stays theirs until the last release. The node's own pin goes with
    // it, or that release would never come.
    int own = (h->flags & kFavtUnlinked) ? 1 : 0;
    if (h->pins > own) {
      n->parent = nullptr;
      h->pins -= own;
      h->flags = uint16_t((h->flags & ~kFavtUnlinked) | kFavtFreed);
      return 0;
    }
  }
  release_record(h);
  if (favt64_count == 0) empty_pool();
  return 0;
}

bool known_type(const FAVT64_HEADER* h) { return is_root(h) || is_node(h); }

// Writes the record once when it carries any dirty mark, clearing them all; a failed write
// leaves it dirty. 0, or -1 when the write failed.
int write_back(FAVT64_HEADER* h) {
  bool dirty = false;
  while (check_dirty64(h, 1)) dirty = true;
  if (!dirty || favt64_write(h) >= 0) {
    unlist_dirty(h);
    return 0;
  }
  h->flags |= kFavtDirty;
  return -1;
}

// Asks for the cache lines of a record's ELinks, head and links.
void prefetch_record(const FAVT64_HEADER* h) {
  const char* b = reinterpret_cast<const char*>(el(h));
  for (size_t at = 0; at < sizeof(ELinks) + offsetof(FAVT64_NODE, root); at += 64) __builtin_prefetch(b + at);
}

// Eviction works on cold memory: the victim, its neighbours in both rings, the record
// holding its parent link, and the coldest record of the main ring. After an eviction the
// next victim is known (its lines were asked for one eviction earlier), so its neighbours
// and parent are asked for now, and the one after it, while the caller works until the
// next load evicts.
void prefetch_next_eviction() {
  __builtin_prefetch(favt64_h.prev);
  FAVT64_HEADER* v = ering.prev;
  if (!v) return;
  __builtin_prefetch(v->next);
  __builtin_prefetch(v->prev);
  if (uintptr_t up = reinterpret_cast<uintptr_t>(as_node(v)->parent)) {
    // The link, and the head of the record holding it, which lies at most this far before.
    __builtin_prefetch(reinterpret_cast<const void*>(up));
    __builtin_prefetch(reinterpret_cast<const void*>(up - offsetof(FAVT64_NODE, large) - sizeof(ELinks)));
  }
  if (FAVT64_HEADER* after = el(v)->prev) prefetch_record(after);
}

// Evicts the least recently used evictable nodes while more nodes than the limit are
// cached. keep (the record just loaded or made) is never taken; when nothing else can go,
// the cache stays above its limit until something can.
void clear_cache64(FAVT64_HEADER* keep) {
  constexpr int kFailedWrites = 8;  // then the cache stays above its limit for now
  for (int failed = 0; favt64_count - root_count > favt64_cache_limit;) {
    FAVT64_HEADER* back = favt64_h.prev;
    if (back != &favt64_h && !known_type(back)) er_panic("clear_cache");
    FAVT64_HEADER* victim = ering.prev;
    if (victim == keep) victim = el(victim)->prev;
    if (!victim) return;
    if (!known_type(victim)) er_panic("clear_cache");
    if (check_dirty64(victim, 0)) {
      write_back_files(nullptr);
      if (check_dirty64(victim, 0)) {  // its write failed: it stays (warm), another goes
        if (++failed == kFailedWrites) return;
        evict_unlink(victim);
        evict_insert(victim, false);
        continue;
      }
    }
    if (free_favt64_cache(victim) < 0) er_panic("clear_cache(2)");
    prefetch_next_eviction();
  }
}

FAVT64_HEADER* first_loaded_child(FAVT64_NODE* n) {
  if (n->small.ptr && !(n->small.ptr->h.flags & kKept)) return &n->small.ptr->h;
  if (n->large.ptr && !(n->large.ptr->h.flags & kKept)) return &n->large.ptr->h;
  return nullptr;
}

// Whether a flush may drop a record: a closing file drops everything; otherwise pinned
// records and records whose write-back failed stay.
bool may_drop(FAVT64_HEADER* h, bool all) { return all || (h->pins == 0 && !check_dirty64(h, 0)); }

// Drops the loaded nodes under a root, children before parents, walking up through parent
// links (no stack: a tree may be as deep as it is long). With all unset, pinned nodes and
// so their ancestors stay.
void drop_tree(FAVT64_ROOT* r, bool all) {
  FAVT64_NODE* cur = r->node.ptr;
  while (cur) {
    if (FAVT64_HEADER* child = first_loaded_child(cur)) {
      cur = as_node(child);
      continue;
    }
    FAVT64_HEADER* up = cur->parent ? cur->parent->owner : nullptr;
    if (may_drop(&cur->h, all) && !cur->small.ptr && !cur->large.ptr)
      free_favt64_cache(&cur->h);
    else
      cur->h.flags |= kKept;
    cur = up && is_node(up) ? as_node(up) : nullptr;
  }
}

// Drops the file's records: trees bottom-up from their roots, then unlinked nodes, then
// roots whose trees are gone. With all set nothing of the file may remain.
void drop_file(PDB64* p, bool all) {
  for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
    if (h->p == p && is_root(h)) drop_tree(as_root(h), all);
  for (FAVT64_HEADER *h = favt64_h.next, *next; h != &favt64_h; h = next) {
    next = h->next;
    if (h->p != p || !is_node(h)) continue;
    h->flags &= uint16_t(~kKept);
    FAVT64_NODE* n = as_node(h);
    if (!n->parent && may_drop(h, all) && !n->small.ptr && !n->large.ptr) free_favt64_cache(h);
  }
  // A node that stays (made and not yet linked, or pinned) keeps its root: it uses the
  // root's endian function when written, and its holder passes the root on.
  if (!all)
    for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
      if (h->p == p && is_node(h) && as_node(h)->root) as_node(h)->root->h.flags |= kKept;
  for (FAVT64_HEADER *h = favt64_h.next, *next; h != &favt64_h; h = next) {
    next = h->next;
    if (h->p != p || !is_root(h)) continue;
    bool kept = h->flags & kKept;
    h->flags &= uint16_t(~kKept);
    if (!kept && may_drop(h, all)) free_favt64_cache(h);
  }
  if (!all) return;
  for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
    if (h->p == p) er_panic("flush_favt64_cache");
}

// --- writing back, children first ------------------------------------------------------
//
// A write-back never writes a record that names one it could not write: a node goes after
// its loaded children, a root after its tree, and a root never written goes first of all
// as an empty tree (a trie node or an index header may name it). Records freed while a
// record in the file may still name them are freed for good only once a write-back of
// their file has written every record (favt64_free_later). So whatever a failed write-back
// left in the file names whole, live records; what it could not write stays dirty, and so
// do the records above it.

// Frees the file's pending records: 0, or -1 (errno set) when one could not be freed (it
// stays pending).
int free_pending(PDB64* p) {
  FileWork* w = work_of(p);
  if (!w) return 0;
  int rc = 0, err = 0;
  size_t kept = 0;
  for (uint64_t ofs : w->pending) {
    if (free_filespace64(p, ofs) == 0) {
      w->queued.erase(ofs);
      continue;
    }
    if (rc == 0) err = errno;
    rc = -1;
    w->pending[kept++] = ofs;
  }
  w->pending.resize(kept);
  if (rc < 0) errno = err;
  return rc;
}

// Forgets a file whose records have all been dropped, its pending frees with it.
void forget_file(PDB64* p) {
  std::erase_if(file_work, [p](const FileWork& w) { return w.p == p; });
}

// Writes the root as an empty tree: 0 or -1. When it is one, it is now written as it is.
int write_new_root(FAVT64_ROOT* r) {
  const uint64_t top = r->node.fofs;
  r->node.fofs = 0;
  const int64_t rc = favt64_write(&r->h);
  r->node.fofs = top;
  if (rc >= 0 && top == 0)
    while (check_dirty64(&r->h, 1)) {
    }
  return rc < 0 ? -1 : 0;
}

// The record holding the link to h: its parent node, or its root; null for a root and for
// a node outside any tree.
FAVT64_HEADER* holder(FAVT64_HEADER* h) {
  return is_node(h) && as_node(h)->parent ? as_node(h)->parent->owner : nullptr;
}

// Whether n's subtree holds a record that could not be written; clears the mark.
bool take_stale(FAVT64_NODE* n) {
  if (!n || !(n->h.flags & kStale)) return false;
  n->h.flags &= uint16_t(~kStale);
  return true;
}

// Writes the marked records (kPath: dirty, or above a dirty record) under top, a root or a
// node outside any tree, children first, walking up through parent links (no stack), then
// top itself, clearing the marks: 0, or -1 when a record could not be written (the records
// above it are then not written either). With write unset nothing is written and the marks
// go.
int write_marked(FAVT64_HEADER* top, bool write) {
  FAVT64_NODE* cur = is_root(top) ? as_root(top)->node.ptr : as_node(top);
  if (cur && !(cur->h.flags & kPath)) cur = nullptr;
  while (cur) {
    FAVT64_NODE* next = cur->small.ptr && (cur->small.ptr->h.flags & kPath) ? cur->small.ptr : cur->large.ptr;
    if (next && (next->h.flags & kPath)) {
      cur = next;
      continue;
    }
    bool stale = take_stale(cur->small.ptr) | take_stale(cur->large.ptr) | !write;
    if (!stale && write_back(&cur->h) < 0) stale = true;
    cur->h.flags = uint16_t((cur->h.flags & ~kPath) | (stale ? kStale : 0));
    FAVT64_HEADER* up = &cur->h == top ? nullptr : holder(&cur->h);
    cur = up && is_node(up) ? as_node(up) : nullptr;
  }
  if (!is_root(top)) return take_stale(as_node(top)) ? -1 : 0;
  bool stale = take_stale(as_root(top)->node.ptr) | !write;
  top->flags &= uint16_t(~kPath);
  return !stale && write_back(top) == 0 ? 0 : -1;
}

// Writes back every dirty cached record of the file, or of every file when only is null:
// first the roots never written (as empty trees), then each tree's dirty records children
// first, then dirty nodes outside any tree. A file whose records were all written then has
// its pending frees made. 0, or -1 (errno of the first failure, EIO when none) when a record
// was left unwritten or a free could not be written.
int write_back_files(PDB64* only) {
  // Kept between calls for their room (a write-back runs at every allocation after a free);
  // never re-entered: nothing a write-back calls writes back, lists or frees a record.
  static std::vector<PDB64*> files;
  static std::vector<FAVT64_HEADER*> dirty, tops;
  files.clear();
  int err = 0;
  auto fail = [&err] {
    if (err == 0) err = errno ? errno : EIO;
  };
  for (FileWork& w : file_work) {
    if (only && w.p != only) continue;
    files.push_back(w.p);
    dirty.clear();
    for (size_t i = 0; i < w.dirty.size();) {
      FAVT64_HEADER* h = w.dirty[i];
      if (!check_dirty64(h, 0)) {  // cleared meanwhile: it leaves the list
        unlist_dirty(h);
        continue;
      }
      ++i;
      dirty.push_back(h);
    }
    bool new_roots_failed = false;  // then nothing more of the file is written
    for (FAVT64_HEADER* h : dirty)
      if (is_root(h) && !(h->flags & kOnDisk) && write_new_root(as_root(h)) < 0) {
        fail();
        new_roots_failed = true;
        break;
      }
    // Mark the way up from every dirty record, each record once; note the tops met (roots,
    // and nodes outside any tree).
    tops.clear();
    for (FAVT64_HEADER* h : dirty) {
      if (!check_dirty64(h, 0)) continue;  // an empty new root, written whole
      for (FAVT64_HEADER* up = h; up && !(up->flags & kPath); up = holder(up)) {
        up->flags |= kPath;
        if (!holder(up)) tops.push_back(up);
      }
    }
    for (FAVT64_HEADER* h : tops)
      if (write_marked(h, !new_roots_failed) < 0 && !new_roots_failed) fail();
  }
  // The pending frees of a file go only once no record of it is left unwritten (a write that
  // failed, or one above it; or a node that eviction met between two places in its tree).
  int rc = 0;
  for (PDB64* p : files) {
    FileWork* w = work_of(p);
    bool whole = true;
    for (FAVT64_HEADER* h : w->dirty) whole = whole && !check_dirty64(h, 0);
    if (!whole) {
      if (err == 0) err = EIO;
      rc = -1;
    } else if (free_pending(p) < 0) {
      fail();
      rc = -1;
    }
  }
  if (rc < 0) errno = err;
  return rc;
}

// Drops a record freed by its tree's operations and frees its room: at once when it was
// never written (nothing in the file names it), else as favt64_free_later. Nothing of it is
// written: its content is dead.
void free_record(FAVT64_HEADER* h) {
  PDB64* p = h->p;
  const uint64_t ofs = h->fofs;
  const bool on_disk = h->flags & kOnDisk;
  free_favt64_cache(h);
  if (on_disk)
    favt64_free_later(p, ofs);
  else
    free_filespace64(p, ofs);
}

// --- loading --------------------------------------------------------------------------

// A tree record found in the file: its type, memory size and body. The body is read in
// place from its page when the whole record lies in one page (then it is good only until
// the next call into the page cache), else into a buffer of its own.
struct RawRecord {
  unsigned char* big = nullptr;
  const unsigned char* body = nullptr;
  uint16_t type = 0;
  uint64_t m = 0;  // memory size
  RawRecord() = default;
  RawRecord(const RawRecord&) = delete;
  RawRecord& operator=(const RawRecord&) = delete;
  ~RawRecord() {
    if (big) d_f_ree(big);
  }
};


// A packed head: its length and the record's disk length. False when have bytes do not
// hold it, or when the disk length is shorter than the head or passes avail (damage).
bool parse_phys_head(const unsigned char* b, uint64_t have, uint64_t avail, int* hlen, uint64_t* d) {
  if (have < 4) return false;
  uint16_t len16 = get_be16(b + 2);
  *hlen = phys_head_len16(len16);
  if (have < uint64_t(*hlen)) return false;
  *d = *hlen == 4 ? len16 : *hlen == 8 ? get_be32(b + 4) : get_be64(b + 4);
  return *d >= uint64_t(*hlen) && *d <= avail;
}

// Reads the record at ofs; false when the file holds no whole record there.
bool read_record(PDB64* p, uint64_t ofs, RawRecord* r) {
  int64_t len = file_length64(p);
  if (len < 0 || ofs >= uint64_t(len)) return false;
  uint64_t avail = uint64_t(len) - ofs;
  if (fac_lseek(&p->fac, int64_t(ofs), SEEK_SET) != int64_t(ofs)) return false;
  int hlen;
  uint64_t d;
  int in_page;
  if (const unsigned char* b = fac_view(&p->fac, &in_page)) {
    uint64_t have = std::min<uint64_t>(uint64_t(in_page), avail);
    if (parse_phys_head(b, have, avail, &hlen, &d) && d <= have) {
      r->type = get_be16(b);
      r->m = d - uint64_t(hlen) + sizeof(PN64_HEADER);
      r->body = b + hlen;
      return true;
    }
  }
  // Across a page boundary (or with the cache off): the head, then the body, copied.
  unsigned char head[kMaxPhysHead];
  int want = int(std::min<uint64_t>(sizeof head, avail));
  if (fac_read(&p->fac, head, want) != want || !parse_phys_head(head, uint64_t(want), avail, &hlen, &d)) return false;
  uint64_t body_len = d - uint64_t(hlen);
  r->type = get_be16(head);
  r->m = body_len + sizeof(PN64_HEADER);
  r->big = static_cast<unsigned char*>(d_alloc(std::max<uint64_t>(body_len, 1)));
  if (fac_lseek(&p->fac, int64_t(ofs) + hlen, SEEK_SET) != int64_t(ofs) + hlen) return false;
  for (uint64_t at = 0; at < body_len;) {
    int n = int(std::min<uint64_t>(body_len - at, 65536));
    if (fac_read(&p->fac, r->big + at, n) != n) return false;
    at += uint64_t(n);
  }
  r->body = r->big;
  return true;
}

void favt64_load_root(PDB64* p, const RawRecord& rec, FAVT64_LOAD_WORK* w) {
  auto* r = static_cast<FAVT64_ROOT*>(new_record(sizeof(FAVT64_ROOT)));
  r->type = int(int32_t(get_be32(rec.body)));
  r->node = empty_link(&r->h);
  r->node.fofs = get_be64(rec.body + 4);
  r->node_check = favt64_kind_check(r->type);
  r->h = FAVT64_HEADER{nullptr, nullptr, p, w->fofs, int16_t(kRecTreeRoot), kOnDisk, 0, 0, 0};
  w->ret = &r->h;
}

void favt64_load_node(PDB64* p, FAVT64_ROOT* root, const RawRecord& rec, FAVT64_LOAD_WORK* w) {
  int64_t len = int64_t(rec.m - kFavtNodeFixedMem);
  auto* n = static_cast<FAVT64_NODE*>(new_record(sizeof(FAVT64_NODE) + size_t(len)));
  n->h = FAVT64_HEADER{nullptr, nullptr, p, w->fofs, int16_t(kRecTreeNode), kOnDisk, 0, 0, 0};
  n->small = empty_link(&n->h);
  n->small.fofs = get_be64(rec.body);
  n->large = empty_link(&n->h);
  n->large.fofs = get_be64(rec.body + 8);
  n->level = int(int32_t(get_be32(rec.body + 16)));
  n->root = root;
  n->data_len = len;
  n->data = len > 0 ? n + 1 : nullptr;
  if (len > 0) {
    std::memcpy(n->data, rec.body + 20, size_t(len));
    if (root && root->endian_func) root->endian_func(n->data, len);
  }
  set_parent(n, w->parent);
  if (w->parent) link_ptr(w->parent, n);
  // A step down from here comes next: the look-ups of the children's pages can start now,
  // while eviction makes room.
  if (n->small.fofs) fac_prefetch_index(&p->fac, n->small.fofs);
  if (n->large.fofs) fac_prefetch_index(&p->fac, n->large.fofs);
  w->ret = &n->h;
}

// Loads the tree record at ofs: null with -2 when it cannot be read, is too short for its
// fields, or is no tree record (then "type = %i %i" is printed first): a file left by a
// failed close or a crash may name such records, and reading it must not stop the process.
FAVT64_HEADER* favt64_load(int* err, PDB64* p, FAVT64_ROOT* root, uint64_t ofs, FAVT64_PTR* parent) {
  if (!p) p = root->h.p;
  FAVT64_LOAD_WORK w{nullptr, ofs, parent, 0};
  RawRecord rec;
  if (!read_record(p, ofs, &rec)) {
    set_err(err, -2);
    return nullptr;
  }
  int kind = rec.type & 0xFF;
  if ((rec.type >> 8) != 1 || (kind != 1 && kind != 2)) {
    ss_printf("type = %i %i\n", int(rec.type), int(endian_flag ? __builtin_bswap16(rec.type) : rec.type));
    set_err(err, -2);
    return nullptr;
  }
  if (rec.m < (kind == 1 ? kFavtRootMem : kFavtNodeFixedMem)) {  // too short for its fields: damaged
    set_err(err, -2);
    return nullptr;
  }
  // Node data of the wrong form for its tree's kind is damage: compare functions read a
  // fixed form and get no length.
  if (kind == 2 && root && root->node_check && !root->node_check(rec.body + 20, int64_t(rec.m - kFavtNodeFixedMem))) {
    set_err(err, -2);
    return nullptr;
  }
  if (kind == 1)
    favt64_load_root(p, rec, &w);
  else
    favt64_load_node(p, root, rec, &w);
  enter_ring(w.ret);
  if (w.err) set_err(err, w.err);
  return w.ret;
}

}  // namespace

int favt64_node_count() { return favt64_count - root_count; }

void init_favt64() {
  favt64_h.next = favt64_h.prev = &favt64_h;
  favt64_count = 0;
  fr64_tree = nullptr;
  ering = ELinks{};
  root_count = 0;
  file_work.clear();
  fac_init_general();
}

FAVT64_ROOT* favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN endian_func) {
  PN64_HEADER head{};
  head.type = kRecTreeRoot;
  head.size = kFavtRootMem;
  int64_t at = alloc_filespace64(p, &head);
  if (at < 0) return nullptr;
  auto* r = static_cast<FAVT64_ROOT*>(new_record(sizeof(FAVT64_ROOT)));
  r->h = FAVT64_HEADER{nullptr, nullptr, p, uint64_t(at), int16_t(kRecTreeRoot), kFavtDirty, 0, 0, 0};
  r->type = type;
  r->endian_func = endian_func;
  r->node_check = favt64_kind_check(type);
  r->node = empty_link(&r->h);
  enter_ring(&r->h);
  enter_root_tree(r);
  return r;
}

FAVT64_NODE* favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t len) {
  if (len < 0) {
    errno = EINVAL;
    return nullptr;
  }
  PN64_HEADER head{};
  head.type = kRecTreeNode;
  head.size = kFavtNodeFixedMem + uint64_t(len);
  int64_t at = alloc_filespace64(root->h.p, &head);
  if (at < 0) return nullptr;
  auto* n = static_cast<FAVT64_NODE*>(new_record(sizeof(FAVT64_NODE) + size_t(len)));
  n->h = FAVT64_HEADER{nullptr, nullptr, root->h.p, uint64_t(at), int16_t(kRecTreeNode),
                       uint16_t(kFavtDirty | kFavtPinned | kFavtUnlinked), 1, 0, 0};
  n->small = empty_link(&n->h);
  n->large = empty_link(&n->h);
  n->root = root;
  n->data_len = len;
  n->data = len > 0 ? n + 1 : nullptr;
  if (len > 0 && data) std::memcpy(n->data, data, size_t(len));
  enter_ring(&n->h);
  return n;
}

FAVT64_ROOT* get_root64(int* err, PDB64* p, uint64_t ofs, FAVT64_ENDIAN endian_func) {
  FAVT64_ROOT* r = find_root(p, ofs);
  if (!r) {
    FAVT64_HEADER* h = favt64_load(err, p, nullptr, ofs, nullptr);
    if (!h) return nullptr;
    if (!is_root(h)) {  // a node where a root belongs: damage, as an unreadable record
      free_favt64_cache(h);
      set_err(err, -2);
      return nullptr;
    }
    r = as_root(h);
    r->endian_func = endian_func;
    enter_root_tree(r);
  }
  touch(&r->h);
  return r;
}

FAVT64_NODE* g_ptr64(int* err, FAVT64_ROOT* root, FAVT64_PTR* link) {
  if (!link || link->fofs == 0) return nullptr;
  if (!link->ptr) {
    FAVT64_HEADER* h = favt64_load(err, root->h.p, root, link->fofs, link);
    if (!h) return nullptr;
    if (!is_node(h)) {  // a root where a node belongs: damage, as an unreadable record
      free_favt64_cache(h);
      set_err(err, -2);
      return nullptr;
    }
  }
  touch(&link->ptr->h);
  return link->ptr;
}

FAVT64_NODE* root_node64(int* err, FAVT64_ROOT* root) { return g_ptr64(err, root, &root->node); }
FAVT64_NODE* small_node64(int* err, FAVT64_ROOT* root, FAVT64_NODE* node) { return g_ptr64(err, root, &node->small); }
FAVT64_NODE* large_node64(int* err, FAVT64_ROOT* root, FAVT64_NODE* node) { return g_ptr64(err, root, &node->large); }

int favt64_peek_level(PDB64* p, uint64_t ofs) {
  // Exactly the head and the fields up to the level are read, no byte beyond: a read past
  // them could fetch (and refresh) the next page, which the record's level does not need.
  // In place when they lie in one page; else a copy of a short head's 24 bytes, and the
  // rest of a longer head behind it.
  constexpr int kShort = 4 + 20;
  int64_t len = file_length64(p);
  if (len < 0 || ofs >= uint64_t(len) || uint64_t(len) - ofs < kShort) return -1;
  if (fac_lseek(&p->fac, int64_t(ofs), SEEK_SET) != int64_t(ofs)) return -1;
  unsigned char copy[kMaxPhysHead + 20];
  int in_page;
  const unsigned char* b = fac_view(&p->fac, &in_page);
  if (!b || in_page < kShort || in_page < phys_head_len16(get_be16(b + 2)) + 20) {
    if (fac_read(&p->fac, copy, kShort) != kShort) return -1;
    b = copy;
  }
  if (get_be16(b) != kRecTreeNode) return -1;
  uint16_t len16 = get_be16(b + 2);
  int hlen = phys_head_len16(len16);
  if (b == copy && hlen > 4 && fac_read(&p->fac, copy + kShort, hlen - 4) != hlen - 4) return -1;
  uint64_t d = hlen == 4 ? len16 : hlen == 8 ? get_be32(b + 4) : get_be64(b + 4);
  if (d < uint64_t(hlen) + 20) return -1;  // too short to hold a level
  return int(int32_t(get_be32(b + hlen + 16)));
}

void favt64_prefetch_links(const FAVT64_NODE* n) {
  for (const FAVT64_PTR* l : {&n->small, &n->large}) {
    if (l->ptr) {
      prefetch_record(&l->ptr->h);
      __builtin_prefetch(l->ptr + 1);  // the data, kept right behind the node
    } else if (l->fofs) {
      fac_prefetch(&n->h.p->fac, l->fofs);
    }
  }
}

void favt64_lock(FAVT64_HEADER* h) {
  ++h->pins;
  h->flags |= kFavtPinned;
  update_evict(h);
}

void favt64_unlock(FAVT64_HEADER* h) {
  if (h->pins > 0) --h->pins;
  if (h->pins == 0) h->flags &= uint16_t(~kFavtPinned);
  update_evict(h);
}

void favt64_release_node(FAVT64_NODE* node) {
  FAVT64_HEADER* h = &node->h;
  if (h->pins <= 0) er_panic("favt64_release_node");
  favt64_unlock(h);
  if ((h->flags & kFavtFreed) && h->pins == 0) release_record(h);
}

void touch_ring64(FAVT64_HEADER* a, FAVT64_HEADER* b) {
  if (a) touch(a);
  if (b) touch(b);
}

int64_t favt64_write(FAVT64_HEADER* h) {
  // The packed head and the body go out in one write, big-endian field by field.
  unsigned char small_buf[128];
  unsigned char* rec = small_buf;
  uint64_t m;
  if (is_root(h)) {
    m = kFavtRootMem;
  } else if (is_node(h)) {
    m = kFavtNodeFixedMem + uint64_t(as_node(h)->data_len);
  } else {
    errno = EINVAL;
    return -1;
  }
  if (m + kMaxPhysHead > sizeof small_buf) rec = static_cast<unsigned char*>(d_alloc(m + kMaxPhysHead));
  int hlen = pack_phys_header64(rec, uint16_t(h->type), m);
  unsigned char* body = rec + hlen;
  if (is_root(h)) {
    FAVT64_ROOT* r = as_root(h);
    put_be32(body, uint32_t(r->type));
    put_be64(body + 4, r->node.fofs);
  } else {
    FAVT64_NODE* n = as_node(h);
    put_be64(body, n->small.fofs);
    put_be64(body + 8, n->large.fofs);
    put_be32(body + 16, uint32_t(n->level));
    if (n->data_len > 0) {
      std::memcpy(body + 20, n->data, size_t(n->data_len));
      if (n->root && n->root->endian_func) n->root->endian_func(body + 20, n->data_len);
    }
  }
  uint64_t d = disk_len64(m);
  int64_t rc = -1;
  // A failed seek writes nothing: the current position may lie anywhere, even in an emptied file.
  if (fac_lseek(&h->p->fac, int64_t(h->fofs), SEEK_SET) == int64_t(h->fofs))
    rc = fa_write64(h->p, rec, d);
  else
    errno = EIO;
  if (rec != small_buf) d_f_ree(rec);
  if (rc >= 0) h->flags |= kOnDisk;
  return rc;
}

int check_dirty64(FAVT64_HEADER* h, int mask) {
  auto test = [mask](uint16_t& flags) {
    if (!(flags & kFavtDirty)) return false;
    flags &= uint16_t(~(mask & kFavtDirty));
    return true;
  };
  if (test(h->flags)) return 1;
  if (is_root(h)) return test(as_root(h)->node.flags) ? 1 : 0;
  if (is_node(h)) return test(as_node(h)->small.flags) || test(as_node(h)->large.flags) ? 1 : 0;
  er_panic("check_dirty");
}

int flush_favt64_cache(PDB64* p) {
  if (!favt64_h.next) return 0;
  int rc = write_back_files(p);
  drop_file(p, false);
  return rc;
}

int close_favt64_cache(PDB64* p) {
  if (!favt64_h.next) return 0;
  int rc = write_back_files(p);
  drop_file(p, true);
  forget_file(p);  // a failed close loses their room; the file stays marked open
  return rc;
}

void discard_favt64_cache(PDB64* p) {
  if (favt64_h.next) drop_file(p, true);
  forget_file(p);
}

void favt64_free_later(PDB64* p, uint64_t ofs) {
  FileWork& w = work_for(p);
  if (w.queued.insert(ofs).second) w.pending.push_back(ofs);
}

bool favt64_free_waiting(PDB64* p, uint64_t ofs) {
  const FileWork* w = work_of(p);
  return w && w->queued.count(ofs);
}

int favt64_free_pending(PDB64* p) {
  FileWork* w = work_of(p);
  return w && !w->pending.empty() ? write_back_files(p) : 0;
}

void favt64_set_dirty(FAVT64_HEADER* h) {
  h->flags |= kFavtDirty;
  list_dirty(h);
}

void favt64_free_root(FAVT64_ROOT* root) {
  if (!root) return;
  if (root->node.ptr) er_panic("favt64_free_root");
  free_record(&root->h);
}

void favt64_free_node(FAVT64_NODE* node) {
  if (!node) return;
  if (node->parent) er_panic("favt64_free_node");  // still linked: the tree would dangle
  link_ptr(&node->small, nullptr);
  link_ptr(&node->large, nullptr);
  free_record(&node->h);
}

int64_t cache_checks;

void check_cache64(const char* msg) {
  if (!favt64_h.next) return;
  ++cache_checks;
  auto fail = [msg](const char* what) {
    ss_printf("%s\n", msg);
    er_panic(what);
  };
  for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next) {
    if (!h->next || !h->prev) er_panic("check_cache(1)");
    if (is_root(h)) {
      FAVT64_ROOT* r = as_root(h);
      if (r->node.ptr && (r->node.fofs != r->node.ptr->h.fofs || r->node.ptr->parent != &r->node)) fail("cc_root");
    } else if (is_node(h)) {
      FAVT64_NODE* n = as_node(h);
      if (n->small.ptr && n->small.ptr->parent != &n->small) fail("cc_node(1)");
      if (n->small.ptr && n->small.fofs != n->small.ptr->h.fofs) fail("cc_node(1-1)");
      if (n->large.ptr && n->large.ptr->parent != &n->large) fail("cc_node(2)");
      if (n->large.ptr && n->large.fofs != n->large.ptr->h.fofs) fail("cc_node(2-1)");
      if (n->parent && n->parent->ptr != n) fail("cc_node(3)");
    } else {
      er_panic("check_cache(3)");
    }
  }
}

FAVT64_PTR get_favt64_ptr(uint64_t ofs, int type) { return FAVT64_PTR{ofs, type, nullptr, 0, nullptr}; }

void get_favt64_ptr2(FAVT64_PTR* link, FAVT64_NODE* node) {
  if (node) {
    link->fofs = node->h.fofs;
    link->type = int(kRecTreeNode);
    link_ptr(link, node);
    set_parent(node, link);
    update_evict(&node->h);
  } else {
    link->fofs = 0;
    link->type = 0;
    link_ptr(link, nullptr);
  }
  link->flags |= kFavtDirty;
  if (link->owner) list_dirty(link->owner);
}

void set_favt64_ptr(FAVT64_PTR* link, const FAVT64_PTR* value) {
  FAVT64_NODE* n = value->ptr;
  link->fofs = value->fofs;
  link->type = value->type;
  link_ptr(link, n);
  if (n) {
    set_parent(n, link);
    update_evict(&n->h);
  }
  link->flags |= kFavtDirty;
  if (link->owner) list_dirty(link->owner);
}

}  // namespace tq
