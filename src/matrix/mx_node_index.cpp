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

// One change of the ring: the entries it touches and the subheader, written together.
// Each entry is read (and checked) once; commit writes the changed entries, then the
// subheader, and only then makes that the work record's copy. A write that fails puts back
// what was written before it, in reverse, so the ring stays as it was on disk and in memory.
// undo does the same after a commit. The change holds its file in the page cache while it
// lasts (fac_hold, under the store lock as every page cache call): the pages it wrote stay
// dirty, so a write putting back, into bytes it wrote, is never refused at the cache's
// bound, whatever ran in between (a purge's index change).
class RingEdit {
 public:
  explicit RingEdit(MATRIX* m) : m_(m), p_(m->file_work->pdb_fd), hold_(p_),
                                 head_(m->file_work->subheader_fofs), sub_(m->file_work->subheader), was_(sub_) {
    entries_.reserve(kMost);  // at() hands out pointers into it
  }
  int64_t head() const { return head_; }
  PN64_MX_SUBHEADER& sub() { return sub_; }
  // The entry at ofs as this change leaves it; null (nothing read) when it is the head or
  // not a ring entry.
  PN64_MX_CACHE_RING* at(int64_t ofs) {
    for (Entry& e : entries_)
      if (e.ofs == ofs) return &e.now;
    if (ofs == head_ || entries_.size() == kMost) return nullptr;
    Entry e{ofs, {}, {}};
    if (!read_ring(p_, ofs, &e.was)) return nullptr;
    e.now = e.was;
    entries_.push_back(e);
    return &entries_.back().now;
  }
  // The link of the entry at ofs to its newer neighbour (prev), or to its older one (next);
  // at the head, the subheader's ends: the oldest entry is the head's newer neighbour, the
  // newest its older one. at(ofs) must have succeeded unless ofs is the head.
  int64_t& newer_of(int64_t ofs) { return ofs == head_ ? sub_.cache_prev : at(ofs)->prev; }
  int64_t& older_of(int64_t ofs) { return ofs == head_ ? sub_.cache_next : at(ofs)->next; }
  int commit() {
    size_t done = 0;
    for (; done < entries_.size(); ++done) {
      const Entry& e = entries_[done];
      if (same(e.now, e.was)) continue;
      if (write_ring(p_, e.ofs, e.now)) break;
    }
    if (done == entries_.size() && (same_sub() || save_subheader_as(m_, sub_) == 0)) return 0;
    put_back(done);
    return -1;
  }
  void undo() {
    if (!same_sub()) save_subheader_as(m_, was_);
    put_back(entries_.size());
  }

 private:
  static constexpr size_t kMost = 6;  // a move touches five entries at most
  struct Entry {
    int64_t ofs;
    PN64_MX_CACHE_RING was, now;
  };
  static bool same(const PN64_MX_CACHE_RING& a, const PN64_MX_CACHE_RING& b) {
    return a.node == b.node && a.next == b.next && a.prev == b.prev;
  }
  bool same_sub() const {
    return sub_.cache_next == was_.cache_next && sub_.cache_prev == was_.cache_prev &&
           sub_.cache_count == was_.cache_count;
  }
  void put_back(size_t n) {
    while (n-- > 0)
      if (!same(entries_[n].now, entries_[n].was)) write_ring(p_, entries_[n].ofs, entries_[n].was);
  }
  MATRIX* m_;
  PDB64* p_;
  LFacHold hold_;
  int64_t head_;
  PN64_MX_SUBHEADER sub_, was_;
  std::vector<Entry> entries_;
};

// Takes the entry at cr out of the ring in ed (copied to out when given): 1 done, 0 when it
// is no longer linked (neither neighbour leads back to it), -1 for a damaged ring. An
// unlink cut short by a failure whose putting back failed too can leave either neighbour
// alone still naming it, the count not yet lowered: that is finished here, since an entry
// freed or relinked while a neighbour names it would break the ring.
int unlink_entry(RingEdit& ed, int64_t cr, PN64_MX_CACHE_RING* out) {
  const int64_t head = ed.head();
  PN64_MX_CACHE_RING* e = ed.at(cr);
  if (!e || e->prev == cr || e->next == cr || (e->prev != head && e->prev == e->next)) return -1;
  const PN64_MX_CACHE_RING was = *e;
  if ((was.prev != head && !ed.at(was.prev)) || (was.next != head && !ed.at(was.next))) return -1;
  if (out) *out = was;
  if (ed.newer_of(was.next) != cr && ed.older_of(was.prev) != cr) return 0;
  ed.older_of(was.prev) = was.next;
  ed.newer_of(was.next) = was.prev;
  --ed.sub().cache_count;
  return 1;
}

// Links the entry at fofs in at the front of the ring in ed: false for a damaged ring.
bool link_front(RingEdit& ed, int64_t fofs) {
  const int64_t head = ed.head(), first = ed.sub().cache_next;
  PN64_MX_CACHE_RING* e = ed.at(fofs);
  if (!e || fofs == first || (first != head && !ed.at(first))) return false;
  e = ed.at(fofs);
  e->prev = head;
  e->next = first;
  ed.newer_of(first) = fofs;
  ed.sub().cache_next = fofs;
  ++ed.sub().cache_count;
  return true;
}

// The in-memory node of m at dc forgets its records (matrix_lock); what a failed save of it
// left part new goes with them.
void forget_records(MATRIX* m, int64_t* dc) {
  LOCK_SCOPE(matrix_lock);
  for (MATRIX_NODE* n = m->node_hash[_get_node_hash(m, dc)]; n; n = n->nh_next) {
    if (_cmp_dim_code(m, n->dim_code, dc) != 0) continue;
    if (n->save_partial) --m->file_work->partial_saves;
    n->save_partial = 0;
    n->fofs = n->ring_fofs = n->dim_addr_fofs = n->dim_addr_size = 0;
    for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch) n->channel[ch].data_fofs = 0;
  }
}

// Frees the channel chain from ofs once the index's change is written back (stopping at a
// record that is not a 0x603, or at a channel not above the one before).
void free_chain_later(MATRIX* m, PDB64* p, int64_t ofs) {
  int last = -1;
  for (int cnt = 0; ofs > 0 && cnt < m->p.channel_nos; ++cnt) {
    uint8_t* rec = mx_read_record(p, ofs, kRecMxData2, kMxData2Fixed);
    if (!rec) return;
    const int64_t next = int64_t(get_be64(mx_body(rec)));
    const int id = int32_t(get_be32(mx_body(rec) + 8));
    d_f_ree(rec);
    if (id <= last) return;
    last = id;
    l_favt64_free_later(p, uint64_t(ofs));
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
    {
      LOCK_SCOPE(matrix_lock);
      for (MATRIX_NODE* head : m->node_hash)
        for (MATRIX_NODE* n = head; n; n = n->nh_next)
          if (n->ring_fofs == cr_fofs) n->ring_fofs = 0;
    }
    mx_free_record(m->file_work->pdb_fd, cr_fofs, kRecMxCacheRing);
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
  // Room first: the oldest nodes go before the entry is linked, so that a purge that fails
  // leaves the entry unlinked rather than the ring above its bound (a count above it
  // refuses the file at its next opening).
  for (int32_t& count = m->file_work->subheader.cache_count; count >= kMxCacheCountMax;) {
    const int32_t before = count;
    if (mx_cache_purge(m, m->file_work->subheader.cache_prev) && count >= before) return -1;
  }
  RingEdit ed(m);
  if (!link_front(ed, fofs)) {
    ring_damage();
    return -1;
  }
  return ed.commit();
}

int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr_fofs) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  RingEdit ed(m);
  const int r = unlink_entry(ed, cr_fofs, dr);
  if (r < 0) ring_damage();
  return r < 0 ? -1 : r ? ed.commit() : 0;
}

int move_mx_cache_ring_front(MATRIX* m, int64_t fofs) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  if (m->file_work->subheader.cache_next == fofs) return 0;
  RingEdit ed(m);
  const int r = unlink_entry(ed, fofs, nullptr);
  // An entry no longer linked (r 0) was counted off with its unlink: linking it counts it
  // once again, as it counts a moved one back.
  if (r < 0 || !link_front(ed, fofs)) {
    ring_damage();
    return -1;
  }
  return ed.commit();
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

int mx_index_delete(MATRIX* m, const int64_t* dc) {
  MX_FILE_ACCESS(acc, m);
  FAVT64_ROOT* root = acc.code() ? nullptr : mx_index_root(m);
  if (!root) return -1;
  std::vector<uint8_t> key(size_t(mx_index_key_bytes(m->p.dim)));
  mx_index_key(key.data(), 0, dc, m->p.dim);
  MX_INDEX_CMP cw{m, 0, key.data(), dc};
  int err = 0;
  FAVT64_NODE* removed = l_favt64_delete(&err, root, &root->node, key.data(), mx_index_cmp, &cw);
  if (!removed) return -1;
  l_favt64_free_node(removed);
  return 0;
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
  // The node leaves the ring, then the index (whose changes reach the file with the tree
  // cache's write-back); only when nothing names its records any more are they freed: once
  // the index as written no longer names the node either, so a failure loses room at worst
  // and never leaves a link to freed space.
  RingEdit ed(m);
  if (unlink_entry(ed, cr_fofs, nullptr) < 0) {
    ring_damage();
    return -1;
  }
  if (ed.commit()) return -1;
  if (mx_index_delete(m, dc.data())) {
    ed.undo();
    return purge_damage();
  }
  forget_records(m, dc.data());
  mx_free_record_later(p, e.node, kRecMxNode);
  mx_free_record_later(p, cr_fofs, kRecMxCacheRing);
  free_chain_later(m, p, raw.channel_fofs);
  if (!m->dim_bit_field && raw.nlist_dim_addr) mx_free_record_later(p, raw.nlist_dim_addr, kRecMxDimAddr);
  return 0;
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
