// AVL trees kept inside store files: the root (type 257) and node (type 258) records, their
// in-memory copies, and the one cache that holds them for all open store files, with
// least-recently-used eviction, lazy loading through links, pinning, dirty marks and
// write-back. The tree algorithms are in store/favt64.h. No lock: callers hold the store
// lock (store/store_lock.h) or run on the only thread.
#pragma once
#include <cstdint>

#include "store/page_cache.h"
#include "store/store_record.h"
#include "store/tree_check.h"

namespace tq {

// On-disk bodies (after the record head), big-endian, written field by field:
//   root, memory size 28: 0 type (int32), 4 node (offset of the top node, 0 when empty)
//   node, memory size 36 + data length: 0 small, 8 large (offsets), 16 level (int32),
//   20 data (the caller's bytes in file order, as its endian function leaves them)
inline constexpr uint64_t kFavtRootMem = 28;
inline constexpr uint64_t kFavtNodeFixedMem = 36;

// Flag bits of a cached record's head.
inline constexpr uint16_t kFavtDirty = 1;   // its own fields changed since it was last written
inline constexpr uint16_t kFavtPinned = 2;  // pins > 0: never evicted
inline constexpr uint16_t kFavtUnlinked = 4;  // a node held outside any tree (made, or
                                              // deleted); holds one pin until linked or freed
inline constexpr uint16_t kFavtFreed = 32;    // freed or dropped while a caller still held
                                              // it: out of the cache, memory kept until the
                                              // last hold is released

// Head of every cached root and node; the ring's head is favt64_h.
struct FAVT64_HEADER {
  FAVT64_HEADER* next;  // ring links; the most recently used record right after the head
  FAVT64_HEADER* prev;
  PDB64* p;             // the record's store file
  uint64_t fofs;        // the record's offset; with p it names the record
  int16_t type;         // 257 root, 258 node
  uint16_t flags;       // kFavtDirty, kFavtPinned, kFavtUnlinked
  int32_t pins;         // nested pins of the operations using it
  int32_t loaded;       // links of this record whose node is loaded
  int32_t dirty_slot;   // 1 + its place in the list of dirty records, 0 when not listed
};

struct FAVT64_NODE;
// A link to a node, held in a root (its top node) or a node (its children).
struct FAVT64_PTR {
  uint64_t fofs;          // offset of the node record, 0 for none
  int type;               // 258 for node links (0 once cleared)
  FAVT64_NODE* ptr;       // the cached node, null while not loaded
  uint16_t flags;         // kFavtDirty: the link changed since its record was written
  FAVT64_HEADER* owner;   // the record holding this link; never copied between links
};

// Converts node data in place between host and file order (the same call both ways).
using FAVT64_ENDIAN = void (*)(void* data, int64_t len);

struct FAVT64_ROOT {
  FAVT64_HEADER h;
  int type;                  // the tree kind chosen by its creator
  FAVT64_ENDIAN endian_func; // not stored: given at creation or first load; may be null
  FAVT64_CHECK node_check;   // not stored: the check of its kind (tree_check.h); may be null
  FAVT64_PTR node;           // the top node
  AVT_NODE tnode;            // this root's entry in fr64_tree
};

struct FAVT64_NODE {
  FAVT64_HEADER h;
  FAVT64_PTR small;    // subtree of smaller keys
  FAVT64_PTR large;    // subtree of larger keys
  FAVT64_PTR* parent;  // the link that holds this node; null while unlinked
  FAVT64_ROOT* root;
  int level;           // height of the subtree rooted here; a leaf has 1, 0 before linking
  int64_t data_len;
  void* data;          // data_len bytes in host order, kept right behind the node
};

// The state of one load.
struct FAVT64_LOAD_WORK {
  FAVT64_HEADER* ret;
  uint64_t fofs;
  FAVT64_PTR* parent;
  int err;
};

extern FAVT64_HEADER favt64_h;  // ring head; points to itself when empty (null before init)
extern int favt64_count;        // records in the ring
extern AVT_NODE* fr64_tree;     // cached roots by (handle, offset)
// Nodes kept before eviction starts (10000). Roots are never evicted and do not count: a
// root pointer stays valid until its file is flushed or closed or the root is freed. Nor
// are a tree's top node, pinned nodes and parents of loaded nodes evicted; when nothing
// else can go, the cache stays above the limit.
extern int favt64_cache_limit;
int favt64_node_count();  // cached nodes

// Empties the ring and the root tree, then switches the page cache on. Once, at start-up.
void init_favt64();

// A new empty tree: a dirty cached root with room reserved in the file (written at the
// first write-back). Null when the room cannot be had.
FAVT64_ROOT* favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN endian_func);
// A new unlinked node holding a copy of len bytes of data, with room in the file; dirty,
// level 0, pinned (kFavtUnlinked) until favt64_insert links it or favt64_free_node frees
// it. Null when the room cannot be had.
FAVT64_NODE* favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t len);

// The cached root at ofs, loaded when needed (its endian function is then endian_func; a
// cached root keeps its own). Null with -2 in *err when the record there cannot be read or
// is no root.
FAVT64_ROOT* get_root64(int* err, PDB64* p, uint64_t ofs, FAVT64_ENDIAN endian_func);
// The node a link designates, loaded when needed (-2 in *err when it cannot be read or is
// no node), or null for an empty link. The node moves to the front of the ring.
FAVT64_NODE* g_ptr64(int* err, FAVT64_ROOT* root, FAVT64_PTR* link);
FAVT64_NODE* root_node64(int* err, FAVT64_ROOT* root);
FAVT64_NODE* small_node64(int* err, FAVT64_ROOT* root, FAVT64_NODE* node);
FAVT64_NODE* large_node64(int* err, FAVT64_ROOT* root, FAVT64_NODE* node);

// The level stored in the node record at ofs, read from the file without caching the node
// (a node that is not cached is current in the file); -1 when it cannot be read.
int favt64_peek_level(PDB64* p, uint64_t ofs);

// A hint before a step down from n: asks for the memory that following either of its links
// will touch (a cached child's record and data, or the page bytes of an uncached child's
// record). Nothing is loaded and nothing of the cache's state or order changes.
void favt64_prefetch_links(const FAVT64_NODE* n);

// Pinning nests: a record is pinned while any pin is held.
void favt64_lock(FAVT64_HEADER* h);
void favt64_unlock(FAVT64_HEADER* h);
// A caller's hold on a node it keeps after an operation (the locked wrappers hand nodes out
// held): a pin that outlives the operation. While a node is held, freeing or dropping it
// (favt64_free_node, closing its file) takes it out of the cache but keeps its memory,
// data included, until the last hold is released. Releasing a node not held stops the
// process ("favt64_release_node").
inline void favt64_hold(FAVT64_NODE* node) { favt64_lock(&node->h); }
void favt64_release_node(FAVT64_NODE* node);
// Moves a then b (either may be null) to the front of the ring.
void touch_ring64(FAVT64_HEADER* a, FAVT64_HEADER* b);
// Marks the record's own fields changed.
void favt64_set_dirty(FAVT64_HEADER* h);

// Writes a root or node record at its offset, big-endian field by field: the bytes
// written, or -1 when the seek or the write failed or the record is of another type.
// Dirty marks are left as they are.
int64_t favt64_write(FAVT64_HEADER* h);
// 1 when a dirty mark is found (the head's own, then a root's node link or a node's small
// then large link), clearing that one mark when mask is 1; else 0. Another record type
// stops the process ("check_dirty").
int check_dirty64(FAVT64_HEADER* h, int mask);

// Writes back every dirty cached record of the file, children before parents: a record
// is written only after every record it names is (a root never written goes first as an
// empty tree), so what a failed write-back leaves in the file names whole records. Once
// every record of the file is written, the records freed meanwhile are freed for good
// (favt64_free_later). Then drops the file's records from the cache, children before
// parents; pinned records (a node made and not yet linked among them), records that could
// not be written, and the parents and roots of nodes kept that way stay. -1 (errno set)
// when a record was left unwritten or a free could not be written, else 0.
int flush_favt64_cache(PDB64* p);
// As flush_favt64_cache, then drops every remaining record of the file, pinned or not, and
// forgets its pending frees (after a failure their room is lost): the handle is going away.
int close_favt64_cache(PDB64* p);
// Drops every cached record of the file without writing it, and its pending frees (the
// file has been emptied).
void discard_favt64_cache(PDB64* p);

// Frees the record at ofs once the file no longer names it: at the next write-back of the
// file that writes every dirty record (favt64_free_pending, which the next allocation in the
// file runs, a flush, the close, or eviction). For records that a tree node named through
// its data (trie value arrays, index texts, callers' records), retired while the node may
// not yet be written; call it once no cached record names the record any more. Until then
// the room stays taken; a close that fails loses it. An offset already waiting is not
// queued again (two records of a damaged file may name one record).
void favt64_free_later(PDB64* p, uint64_t ofs);
// Whether the record at ofs waits to be freed (favt64_free_later): it is no longer its
// namer's, though it is still in the file.
bool favt64_free_waiting(PDB64* p, uint64_t ofs);
// When records of the file wait to be freed: writes back the file's dirty records (as
// flush_favt64_cache, without dropping any) and frees them. 0, or -1 (errno set) when a
// record was left unwritten or a free could not be written (they then wait on).
int favt64_free_pending(PDB64* p);
// Drops the root and frees its room; its tree must hold no loaded node
// ("favt64_free_root"). Null does nothing. Nothing of it is written; a root that the file
// holds (loaded, or written once) is freed as by favt64_free_later, for the file may still
// name it.
void favt64_free_root(FAVT64_ROOT* root);
// Drops the node, frees its room (as favt64_free_root) and its memory. It must be unlinked
// from its tree ("favt64_free_node" otherwise). Null does nothing.
void favt64_free_node(FAVT64_NODE* node);

// Verifies the links of every cached tree; a broken one prints msg and stops the process.
// Each check walks the whole cache: cache_checks counts them (a walk's cost, for tests).
void check_cache64(const char* msg);
extern int64_t cache_checks;

// Links: a value {ofs, type, no node, clean}; pointing a link at a node (null clears it);
// copying a link value into a link. Both mark the link dirty and keep parents right.
FAVT64_PTR get_favt64_ptr(uint64_t ofs, int type);
void get_favt64_ptr2(FAVT64_PTR* link, FAVT64_NODE* node);
void set_favt64_ptr(FAVT64_PTR* link, const FAVT64_PTR* value);

}  // namespace tq
