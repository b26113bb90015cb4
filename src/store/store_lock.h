// The store's one process-wide lock and the locked wrappers through which several threads
// use the store. The store's layers keep global state without locks of their own; each
// wrapper holds l_favt64_lock for exactly one wrapped call.
//
// What a caller keeps between calls: a root stays valid until its file is flushed or
// closed or the root freed; a node from l_favt64_alloc_node until it is inserted or freed;
// a node from l_favt64_search, l_favt64_insert or l_root_node64 comes back held, and stays
// valid (its data readable, however other threads change the tree or evict the cache) until
// the caller gives it back with l_favt64_release_node, once for every time it was handed
// out. A held node that another thread deletes and frees leaves the tree and the file at
// once; its memory goes with the last release.
//
// A top node kept between calls may have stopped being the top: searches, walks and range
// searches through these wrappers start from the top read under the lock, whatever start
// node the caller passes (which they never touch).
#pragma once
#include <cstdint>

#include "platform/lock.h"
#include "store/assoc64.h"
#include "store/favt64.h"
#include "store/record_io.h"

namespace tq {

extern SEM l_favt64_lock;

// Sets the store up: the tree cache and the page cache (init_favt64), then the lock.
// Runs once at start-up, before any store file is opened; later calls do nothing.
void init_l_favt64();

FAVT64_NODE* l_favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t len);
FAVT64_ROOT* l_favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN endian_func);
FAVT64_NODE* l_favt64_delete(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, void* key, FAVT64_CMP cmp, void* work);
void l_favt64_free_node(FAVT64_NODE* node);
// The node holding the key, held for the caller (node itself, or the node already holding
// an equal key: node is then left for l_favt64_free_node); null as favt64_insert.
FAVT64_NODE* l_favt64_insert(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* node, FAVT64_CMP cmp,
                             void* work);
// favt64_search from the current top; the node found comes back held.
FAVT64_NODE* l_favt64_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, void* key, FAVT64_CMP cmp, void* work);
// Gives back a node that a wrapper handed out held. A node not held stops the process
// ("favt64_release_node"). Null does nothing.
void l_favt64_release_node(FAVT64_NODE* node);
int l_favt64_trace_from_small(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work);
int l_favt64_trace_from_large(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_VISIT visitor, void* work);
BOUND64_LIST* l_favt64_bound_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* start, void* lower, void* upper,
                                    int limit, FAVT64_CMP cmp, void* cmp_work);
// The root offset is 64-bit: roots anywhere in a file are reachable.
FAVT64_ROOT* l_get_root64(int* err, PDB64* p, uint64_t ofs, FAVT64_ENDIAN endian_func);
// The top node, held for the caller; null for an empty tree (or -2 when unreadable).
FAVT64_NODE* l_root_node64(int* err, FAVT64_ROOT* root);
void l_check_cache64(const char* msg);
int l_flush_favt64_cache(PDB64* p);
void l_flush_filespace64(PDB64* p);
int l_close_filespace64(PDB64* p);
int l_unmark_filespace64(PDB64* p);
// favt64_free_later: called once no cached record names the record.
void l_favt64_free_later(PDB64* p, uint64_t ofs);
bool l_favt64_free_waiting(PDB64* p, uint64_t ofs);
int l_truncate_filespace64(PDB64* p);
int64_t l_alloc_filespace64(PDB64* p, const PN64_HEADER* h);
int l_free_filespace64(PDB64* p, uint64_t ofs);
int l_write_filespace64(PDB64* p, const ACC_PN64_HEADER* rec);
int l_write_filespace64f(PDB64* p, uint64_t ofs, const void* rec);
// fac_hold and fac_release on the file (page_cache.h), for a change made of several wrapped
// calls that puts back what its first ones wrote; LFacHold holds it for a scope.
void l_fac_hold(PDB64* p);
void l_fac_release(PDB64* p);
class LFacHold {
 public:
  explicit LFacHold(PDB64* p) : p_(p) { l_fac_hold(p); }
  ~LFacHold() { l_fac_release(p_); }
  LFacHold(const LFacHold&) = delete;
  LFacHold& operator=(const LFacHold&) = delete;

 private:
  PDB64* p_;
};
// The readers' buffers come from the debug heap (attributed to the wrapper); the caller
// frees them.
ACC_PN64_HEADER* l_read_filespace64(PDB64* p, uint64_t ofs);
ACC_PN64_HEADER* l_read_filespace64_header(PDB64* p, uint64_t ofs);
void* l_read_filespace64f(PDB64* p, uint64_t ofs);
PN64_HEADER* l_read_filespace64f_header(PDB64* p, uint64_t ofs);

// The associative index (store/assoc64.h); the release is labelled "iunlock", and
// "close_associate64" for l_close_associate64.
int l_open_associate64(const char* path, int oflags, int mode, uint32_t flags, int32_t type, const char* encoding);
int l_close_associate64(int key);
int l_new_index64(int key, int type, int16_t name);
int l_get_index64(int key, int16_t name);
int l_get_index_type64(int key, int pos);
int l_insert_associate64(int key, int pos, const void* key_value, TQ_SEXP* value);
TQ_SEXP* l_search_associate64(int key, int pos, const void* key_value, ASSOC64_STRING_OPT* opt);
int l_delete_associate64(int key, int pos, const L_CHAR* key_value);
TQ_SEXP* l_get_assoc64_all(int key, int pos);

}  // namespace tq
