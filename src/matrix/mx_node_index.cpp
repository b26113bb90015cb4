// The node index (keys, order, root) and the ring of stored nodes of file matrices, with
// the purge that bounds the ring and the enumerations of the index.
#include "matrix/mx_node_index.h"

#include <climits>
#include <cstring>

#include "matrix/dim_code.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_code.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_record.h"
#include "matrix/node_cache.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "store/store_lock.h"
#include "store/tree_check.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr int kOfsLen = 8;     // the node record offset leading every key
constexpr int kRootBody = 12;  // a tree root's body: kind s32, top node s64

// The code of key k (at least dim_bytes after its offset, or bounded by len) into dc.
bool key_code(const void* k, int64_t len, int dim, int64_t* dc) {
  const auto* p = static_cast<const uint8_t*>(k) + kOfsLen;
  int n = 0;
  return len > kOfsLen && get_uncompressed_dim_code_b(dc, dim, &n, p, p + (len - kOfsLen)) && n == dim + 1;
}

// Tree nodes are checked whole when loaded (their code ends inside them), so a key from
// the tree is read within the largest code of its axis count.
bool tree_key_code(const void* k, int dim, int64_t* dc) {
  return key_code(k, kOfsLen + mx_dim_code_bytes(dim), dim, dc);
}

void ring_damage() { ss_printf("delete_mx_cache_ring\n"); }

bool read_ring(PDB64* p, int64_t ofs, PN64_MX_CACHE_RING* r) {
  uint8_t* rec = mx_read_record(p, ofs, kRecMxCacheRing, 0);
  const bool ok = rec && rec_size64(rec) == kMxCacheRingMem;
  if (ok) {
    const uint8_t* b = mx_body(rec);
    r->h.type = kRecMxCacheRing;
    r->h.size = kMxCacheRingMem;
    r->node = int64_t(get_be64(b));
    r->next = int64_t(get_be64(b + 8));
    r->prev = int64_t(get_be64(b + 16));
  }
  if (rec) d_f_ree(rec);
  return ok;
}

int write_ring(PDB64* p, int64_t ofs, const PN64_MX_CACHE_RING& r) {
  uint8_t rec[kMxCacheRingMem];
  set_rec_head64(rec, kRecMxCacheRing, kMxCacheRingMem);
  put_be64(rec + 16, uint64_t(r.node));
  put_be64(rec + 24, uint64_t(r.next));
  put_be64(rec + 32, uint64_t(r.prev));
  return mx_write_record(p, ofs, rec);
}

// The in-memory node of m at dc forgets its records (matrix_lock).
void forget_records(MATRIX* m, int64_t* dc) {
  LOCK_SCOPE(matrix_lock);
  for (MATRIX_NODE* n = m->node_hash[_get_node_hash(m, dc)]; n; n = n->nh_next) {
    if (_cmp_dim_code(m, n->dim_code, dc) != 0) continue;
    n->fofs = n->ring_fofs = n->dim_addr_fofs = n->dim_addr_size = 0;
    for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch) n->channel[ch].data_fofs = 0;
  }
}

// Frees the channel chain from ofs (stopping at a record that is not a 0x603, or at a
// channel not above the one before).
void free_chain(MATRIX* m, PDB64* p, int64_t ofs) {
  int last = -1;
  for (int cnt = 0; ofs > 0 && cnt < m->p.channel_nos; ++cnt) {
    uint8_t* rec = mx_read_record(p, ofs, kRecMxData2, kMxData2Fixed);
    if (!rec) return;
    const int64_t next = int64_t(get_be64(mx_body(rec)));
    const int id = int32_t(get_be32(mx_body(rec) + 8));
    d_f_ree(rec);
    if (id <= last) return;
    last = id;
    l_free_filespace64(p, uint64_t(ofs));
    ofs = next;
  }
}

int purge_damage() {
  ss_printf("mx_cache_purge\n");
  return -1;
}

// A ring entry whose node cannot be purged (no node record where it points, or a node the
// index does not hold) is still taken out of the ring and freed: left in, every insertion
// would meet it again as the oldest, and the count, above the bound, would refuse the file
// at its next opening. What it names is left alone; an in-memory node holding it forgets it.
int drop_entry(MATRIX* m, int64_t cr_fofs) {
  if (delete_mx_cache_ring(nullptr, m, cr_fofs) == 0) {
    l_free_filespace64(m->file_work->pdb_fd, uint64_t(cr_fofs));
    LOCK_SCOPE(matrix_lock);
    for (MATRIX_NODE* head : m->node_hash)
      for (MATRIX_NODE* n = head; n; n = n->nh_next)
        if (n->ring_fofs == cr_fofs) n->ring_fofs = 0;
  }
  return purge_damage();
}

// The first key a walk meets, decoded into out.
struct FirstKey {
  int dim;
  int64_t* out;
  bool ok;
};
int take_first(FAVT64_NODE* node, void* work) {
  auto* f = static_cast<FirstKey*>(work);
  f->ok = key_code(node->data, node->data_len, f->dim, f->out);
  return 1;
}

// One end of the index into out: 0, -1 empty, -3 damaged.
int index_end(FAVT64_ROOT* root, int dim, int64_t* out, bool small) {
  int err = 0;
  FirstKey f{dim, out, false};
  const int r = small ? l_favt64_trace_from_small(&err, root, nullptr, take_first, &f)
                      : l_favt64_trace_from_large(&err, root, nullptr, take_first, &f);
  if (r == 0) return err ? -3 : -1;
  return f.ok ? 0 : -3;
}

}  // namespace

int mx_index_cmp(void* node_data, void* key, void* work) {
  auto* w = static_cast<MX_INDEX_CMP*>(work);
  MATRIX* m = w->m;
  const int dim = m->p.dim;
  if (dim < 1) return 0;
  MxCodeBuf a(dim), b(dim);
  const bool a_ok = tree_key_code(node_data, dim, a.data());
  const int64_t* kdc = b.data();
  bool b_ok = true;
  if (key == w->key && w->key_dc)
    kdc = w->key_dc;
  else
    b_ok = tree_key_code(key, dim, b.data());
  if (!a_ok || !b_ok) {
    w->damaged = 1;
    return a_ok == b_ok ? 0 : a_ok ? 1 : -1;  // a damaged key orders first
  }
  return _cmp_dim_code(m, a.data(), kdc);
}

int mx_dim_code_cmp(const void* a, const void* b, MATRIX* m) {
  MX_INDEX_CMP w{m, 0, nullptr, nullptr};
  const int r = mx_index_cmp(const_cast<void*>(a), const_cast<void*>(b), &w);
  return w.damaged ? 0 : r;
}

void mx_dim_code_endian(void* data, int64_t len) {
  if (!endian_flag || len < kOfsLen) return;
  auto* p = static_cast<uint8_t*>(data);
  for (int i = 0; i < kOfsLen / 2; ++i) std::swap(p[i], p[kOfsLen - 1 - i]);
}

int mx_index_key(uint8_t* buf, int64_t fofs, const int64_t* dc, int dim) {
  std::memcpy(buf, &fofs, kOfsLen);
  return int(get_compressed_dim_code(buf + kOfsLen, dc, dim) - buf);
}

FAVT64_ROOT* mx_index_root(MATRIX* m) {
  MX_FILE_WORK* w = m->file_work;
  if (!w || !w->pdb_fd) return nullptr;
  if (w->index_root) return w->index_root;
  const int64_t ofs = w->subheader.node_root;
  uint8_t* rec = mx_read_record(w->pdb_fd, ofs, kRecTreeRoot, kRootBody);
  const bool ok = rec && rec_size64(rec) == kFavtRootMem && int32_t(get_be32(mx_body(rec))) == kFavtKindNodeIndex;
  if (rec) d_f_ree(rec);
  if (!ok) return nullptr;
  int err = 0;
  w->index_root = l_get_root64(&err, w->pdb_fd, uint64_t(ofs), mx_dim_code_endian);
  return w->index_root;
}

int64_t mx_new_cache_ring(MATRIX* m, int64_t node) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  PDB64* p = m->file_work->pdb_fd;
  const int64_t ofs = mx_alloc_record(p, kRecMxCacheRing, kMxCacheRingMem);
  if (ofs < 0) return -1;
  PN64_MX_CACHE_RING e{};
  e.node = node;
  if (write_ring(p, ofs, e) == 0) return ofs;
  mx_free_record(p, ofs, kRecMxCacheRing);
  return -1;
}

int insert_mx_cache_ring(MATRIX* m, int64_t fofs) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  MX_FILE_WORK* w = m->file_work;
  PDB64* p = w->pdb_fd;
  PN64_MX_SUBHEADER& s = w->subheader;
  const int64_t head = w->subheader_fofs;
  const bool empty = s.cache_next == head;
  PN64_MX_CACHE_RING e, first;
  if (fofs == head || fofs == s.cache_next || !read_ring(p, fofs, &e) ||
      (!empty && !read_ring(p, s.cache_next, &first))) {
    ring_damage();
    return -1;
  }
  // The entry is written before anything names it and the subheader last: a failed write
  // leaves the ring as it was, on disk and in the work record (whose next save would else
  // publish a head whose links were never written).
  const int64_t old_next = s.cache_next, old_prev = s.cache_prev;
  e.prev = head;
  e.next = old_next;
  if (write_ring(p, fofs, e)) return -1;
  first.prev = fofs;
  if (!empty && write_ring(p, old_next, first)) return -1;
  s.cache_next = fofs;
  if (empty) s.cache_prev = fofs;
  ++s.cache_count;
  if (save_subheader(m, 1)) {
    s.cache_next = old_next, s.cache_prev = old_prev;
    --s.cache_count;
    first.prev = head;
    if (!empty) write_ring(p, old_next, first);
    return -1;
  }
  while (s.cache_count > kMxCacheCountMax)
    if (mx_cache_purge(m, s.cache_prev)) break;
  return 0;
}

int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr_fofs) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  MX_FILE_WORK* w = m->file_work;
  PDB64* p = w->pdb_fd;
  PN64_MX_SUBHEADER& s = w->subheader;
  const int64_t head = w->subheader_fofs;
  PN64_MX_CACHE_RING e, prev, next;
  bool ok = cr_fofs != head && read_ring(p, cr_fofs, &e);
  ok = ok && e.prev != cr_fofs && e.next != cr_fofs && (e.prev == head || e.prev != e.next);
  ok = ok && (e.prev == head || read_ring(p, e.prev, &prev)) && (e.next == head || read_ring(p, e.next, &next));
  if (!ok) {
    ring_damage();
    return -1;
  }
  if (dr) *dr = e;
  // Unlinked already when nothing after it leads back to it (a move whose insertion
  // failed): counted off once, it is left as it is. An unlink cut after its first write is
  // still linked this way and is completed.
  if (e.next == head ? s.cache_prev != cr_fofs : next.prev != cr_fofs) return 0;
  if (e.prev == head) {
    s.cache_next = e.next;
  } else {
    prev.next = e.next;
    if (write_ring(p, e.prev, prev)) return -1;
  }
  if (e.next == head) {
    s.cache_prev = e.prev;
  } else {
    next.prev = e.prev;
    if (write_ring(p, e.next, next)) return -1;
  }
  --s.cache_count;
  return save_subheader(m, 1);
}

int setup_mx_cache_ring(MATRIX* m, int64_t ring, int64_t node) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  PDB64* p = m->file_work->pdb_fd;
  PN64_MX_CACHE_RING e;
  if (!read_ring(p, ring, &e)) {
    ring_damage();
    return -1;
  }
  e.node = node;
  return write_ring(p, ring, e);
}

int mx_cache_purge(MATRIX* m, int64_t cr_fofs) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  PDB64* p = m->file_work->pdb_fd;
  FAVT64_ROOT* root = mx_index_root(m);
  const int dim = m->p.dim;
  PN64_MX_CACHE_RING e;
  PN64_MX_NODE raw;
  MxCodeBuf dc(dim);
  if (!root || !read_ring(p, cr_fofs, &e)) return purge_damage();
  if (load_raw_matrix_node(&raw, nullptr, dc.data(), nullptr, m, e.node)) return drop_entry(m, cr_fofs);
  std::vector<uint8_t> key(size_t(mx_index_key_bytes(dim)));
  mx_index_key(key.data(), 0, dc.data(), dim);
  MX_INDEX_CMP cw{m, 0, key.data(), dc.data()};
  int err = 0;
  FAVT64_NODE* found = l_favt64_search(&err, root, nullptr, key.data(), mx_index_cmp, &cw);
  if (!found) return drop_entry(m, cr_fofs);
  l_favt64_release_node(found);
  if (delete_mx_cache_ring(nullptr, m, cr_fofs)) return -1;
  l_free_filespace64(p, uint64_t(e.node));
  l_free_filespace64(p, uint64_t(cr_fofs));
  free_chain(m, p, raw.channel_fofs);
  if (!m->dim_bit_field && raw.nlist_dim_addr) mx_free_record(p, raw.nlist_dim_addr, kRecMxDimAddr);
  FAVT64_NODE* removed = l_favt64_delete(&err, root, &root->node, key.data(), mx_index_cmp, &cw);
  if (removed) l_favt64_free_node(removed);
  forget_records(m, dc.data());
  return removed ? 0 : purge_damage();
}

int mx_scale_of_dim_code(int64_t* start, int64_t* last, MATRIX* m) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -3;
  if (_mx_file_sync_create_node(m)) {
    acc.lost(-2);
    return -2;
  }
  FAVT64_ROOT* root = mx_index_root(m);
  if (!root) return -3;
  const int r = index_end(root, m->p.dim, start, true);
  return r ? r : index_end(root, m->p.dim, last, false);
}

MX_DIM_CODE_LIST* mx_search_node_range(MATRIX* m, const int64_t* lower_dc, const int64_t* upper_dc, int limit,
                                       int* err) {
  int ignored = 0;
  int& failed = err ? *err : ignored;
  failed = 0;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) {
    failed = -3;
    return nullptr;
  }
  if (_mx_file_sync_create_node(m)) {
    acc.lost(-2);
    failed = -2;
    return nullptr;
  }
  FAVT64_ROOT* root = mx_index_root(m);
  if (!root) {
    failed = -3;
    return nullptr;
  }
  const int dim = m->p.dim;
  std::vector<uint8_t> lower(size_t(mx_index_key_bytes(dim))), upper(lower.size());
  mx_index_key(lower.data(), 0, lower_dc, dim);
  mx_index_key(upper.data(), 0, upper_dc, dim);
  MX_INDEX_CMP cw{m, 0, nullptr, nullptr};
  int search = 0;
  BOUND64_LIST* found =
      l_favt64_bound_search(&search, root, nullptr, lower.data(), upper.data(), limit, mx_index_cmp, &cw);
  // A full page ends the search too; only a record that cannot be read or a looping link fails.
  if (search == kFavtUnreadable || search == kFavtDamaged) failed = -3;
  MX_DIM_CODE_LIST* head = nullptr;
  MX_DIM_CODE_LIST** tail = &head;
  for (BOUND64_LIST* b = found; b; b = b->next) {
    auto* dc = static_cast<int64_t*>(d_calloc(size_t(dim) + 1, sizeof(int64_t)));
    if (!key_code(b->data, b->data_len, dim, dc)) {
      d_f_ree(dc);
      continue;
    }
    auto* e = static_cast<MX_DIM_CODE_LIST*>(d_calloc(1, sizeof(MX_DIM_CODE_LIST)));
    e->dc = dc;
    *tail = e;
    tail = &e->next;
  }
  free_bound_list64(found);
  return head;
}

MX_DIM_CODE_LIST* mx_search_level_node(MATRIX* m, const int64_t* last_dc, int limit, int* err) {
  std::vector<int64_t> top(last_dc, last_dc + m->p.dim + 1);
  for (size_t a = 1; a < top.size(); ++a) top[a] = INT64_MAX;
  return mx_search_node_range(m, last_dc, top.data(), limit, err);
}

}  // namespace tq
