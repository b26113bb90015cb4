// Start-up of the store and its global lock, and the locked wrappers: take the lock, call,
// release with the label "unlock", pass the result back. Nodes handed out are held for the
// caller; searches and walks start from the top they read under the lock.
#include "store/store_lock.h"

#include "platform/rules.h"
#include "store/file_space.h"
#include "store/tree_cache.h"

namespace tq {

SEM l_favt64_lock;

namespace {

// Holds the store lock for one wrapped call; both ends are recorded at the wrapper.
class StoreLocked {
 public:
  StoreLocked(const char* file, int line, const char* label = "unlock") : file_(file), label_(label), line_(line) {
    _i_lock_task(l_favt64_lock, file, line);
  }
  ~StoreLocked() { _i_unlock_task(l_favt64_lock, label_, file_, line_); }
  StoreLocked(const StoreLocked&) = delete;
  StoreLocked& operator=(const StoreLocked&) = delete;

 private:
  const char* file_;
  const char* label_;  // the release's label in the lock's trace
  int line_;
};

#define STORE_LOCKED StoreLocked store_locked(__FILE__, __LINE__)
#define INDEX_LOCKED StoreLocked store_locked(__FILE__, __LINE__, "iunlock")

FAVT64_NODE* held(FAVT64_NODE* n) {
  if (n) favt64_hold(n);
  return n;
}

}  // namespace

void init_l_favt64() {
  if (lock_up_test(l_favt64_lock)) return;
  init_favt64();
  l_favt64_lock = new_lock();
  // Held across a store file's helper in another user's folder: see platform/rules.h.
  set_lock_waits(l_favt64_lock, waits(PeerWait::kHelper));
}

FAVT64_NODE* l_favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t len) {
  STORE_LOCKED;
  return favt64_alloc_node(root, data, len);
}

FAVT64_ROOT* l_favt64_alloc_root(PDB64* p, int type, FAVT64_ENDIAN endian_func) {
  STORE_LOCKED;
  return favt64_alloc_root(p, type, endian_func);
}

FAVT64_NODE* l_favt64_delete(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, void* key, FAVT64_CMP cmp, void* work) {
  STORE_LOCKED;
  return favt64_delete(err, root, link, key, cmp, work);
}

void l_favt64_free_node(FAVT64_NODE* node) {
  STORE_LOCKED;
  favt64_free_node(node);
}

FAVT64_NODE* l_favt64_insert(int* err, FAVT64_ROOT* root, FAVT64_PTR* link, FAVT64_NODE* node, FAVT64_CMP cmp,
                             void* work) {
  STORE_LOCKED;
  return held(favt64_insert(err, root, link, node, cmp, work));
}

FAVT64_NODE* l_favt64_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* /*start*/, void* key, FAVT64_CMP cmp,
                             void* work) {
  STORE_LOCKED;
  // The caller's start may have stopped being the top, or been freed: never touched.
  FAVT64_NODE* top = root_node64(err, root);
  if (!top && root->node.fofs) return nullptr;  // an unreadable top: -2
  return held(favt64_search(err, root, top, key, cmp, work));
}

void l_favt64_release_node(FAVT64_NODE* node) {
  if (!node) return;
  STORE_LOCKED;
  favt64_release_node(node);
}

int l_favt64_trace_from_small(int* err, FAVT64_ROOT* root, FAVT64_NODE* /*start*/, FAVT64_VISIT visitor,
                              void* work) {
  STORE_LOCKED;
  return favt64_trace_from_small(err, root, root_node64(err, root), visitor, work);
}

int l_favt64_trace_from_large(int* err, FAVT64_ROOT* root, FAVT64_NODE* /*start*/, FAVT64_VISIT visitor,
                              void* work) {
  STORE_LOCKED;
  return favt64_trace_from_large(err, root, root_node64(err, root), visitor, work);
}

BOUND64_LIST* l_favt64_bound_search(int* err, FAVT64_ROOT* root, FAVT64_NODE* /*start*/, void* lower, void* upper,
                                    int limit, FAVT64_CMP cmp, void* cmp_work) {
  STORE_LOCKED;
  return favt64_bound_search(err, root, root_node64(err, root), lower, upper, limit, cmp, cmp_work);
}

FAVT64_ROOT* l_get_root64(int* err, PDB64* p, uint64_t ofs, FAVT64_ENDIAN endian_func) {
  STORE_LOCKED;
  return get_root64(err, p, ofs, endian_func);
}

FAVT64_NODE* l_root_node64(int* err, FAVT64_ROOT* root) {
  STORE_LOCKED;
  return held(root_node64(err, root));
}

void l_check_cache64(const char* msg) {
  STORE_LOCKED;
  check_cache64(msg);
}

int l_flush_favt64_cache(PDB64* p) {
  STORE_LOCKED;
  return flush_favt64_cache(p);
}

void l_flush_filespace64(PDB64* p) {
  STORE_LOCKED;
  flush_filespace64(p);
}

int l_close_filespace64(PDB64* p) {
  STORE_LOCKED;
  return close_filespace64(p);
}

int l_unmark_filespace64(PDB64* p) {
  STORE_LOCKED;
  return unmark_filespace64(p);
}

void l_favt64_free_later(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  favt64_free_later(p, ofs);
}

bool l_favt64_free_waiting(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  return favt64_free_waiting(p, ofs);
}

int l_truncate_filespace64(PDB64* p) {
  STORE_LOCKED;
  return truncate_filespace64(p);
}

int64_t l_alloc_filespace64(PDB64* p, const PN64_HEADER* h) {
  STORE_LOCKED;
  return alloc_filespace64(p, h);
}

int l_free_filespace64(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  return free_filespace64(p, ofs);
}

int l_write_filespace64(PDB64* p, const ACC_PN64_HEADER* rec) {
  STORE_LOCKED;
  return write_filespace64(p, rec);
}

int l_write_filespace64f(PDB64* p, uint64_t ofs, const void* rec) {
  STORE_LOCKED;
  return write_filespace64f(p, ofs, rec);
}

void l_fac_hold(PDB64* p) {
  STORE_LOCKED;
  fac_hold(&p->fac);
}

void l_fac_release(PDB64* p) {
  STORE_LOCKED;
  fac_release(&p->fac);
}

ACC_PN64_HEADER* l_read_filespace64(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  return read_filespace64(p, ofs);
}

ACC_PN64_HEADER* l_read_filespace64_header(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  return read_filespace64_header(p, ofs);
}

void* l_read_filespace64f(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  return read_filespace64f(p, ofs);
}

PN64_HEADER* l_read_filespace64f_header(PDB64* p, uint64_t ofs) {
  STORE_LOCKED;
  return read_filespace64f_header(p, ofs);
}

int l_open_associate64(const char* path, int oflags, int mode, uint32_t flags, int32_t type, const char* encoding) {
  INDEX_LOCKED;
  return open_associate64(path, oflags, mode, flags, type, encoding);
}

int l_close_associate64(int key) {
  StoreLocked store_locked(__FILE__, __LINE__, "close_associate64");
  return close_associate64(key);
}

int l_new_index64(int key, int type, int16_t name) {
  INDEX_LOCKED;
  return new_index64(key, type, name);
}

int l_get_index64(int key, int16_t name) {
  INDEX_LOCKED;
  return get_index64(key, name);
}

int l_get_index_type64(int key, int pos) {
  INDEX_LOCKED;
  return get_index_type64(key, pos);
}

int l_insert_associate64(int key, int pos, const void* key_value, TQ_SEXP* value) {
  INDEX_LOCKED;
  return insert_associate64(key, pos, key_value, value);
}

TQ_SEXP* l_search_associate64(int key, int pos, const void* key_value, ASSOC64_STRING_OPT* opt) {
  INDEX_LOCKED;
  return search_associate64(key, pos, key_value, opt);
}

int l_delete_associate64(int key, int pos, const L_CHAR* key_value) {
  INDEX_LOCKED;
  return delete_associate64(key, pos, key_value);
}

TQ_SEXP* l_get_assoc64_all(int key, int pos) {
  INDEX_LOCKED;
  return get_assoc64_all(key, pos);
}

}  // namespace tq
