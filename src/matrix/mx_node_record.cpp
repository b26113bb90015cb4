// Saving and loading the nodes of file matrices: node records (0x606), child lists (0x605),
// channel chains (0x603), ring entries and index keys.
#include "matrix/mx_node_record.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "matrix/children_index.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_upkeep.h"
#include "matrix/mx_code.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_node_index.h"
#include "matrix/node_cache.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/sleep.h"
#include "store/store_lock.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr int kHead = int(sizeof(PN64_HEADER));
constexpr int kRingAt = 8;  // body offset of a node record's ring_fofs (in a ring file)

bool ring_file(const MATRIX* m) { return m->p.flags & MXP_FILE_RING; }
bool lists_children(const MATRIX* m) { return m->dim_bit_field == 0; }
// Body bytes before the code: channel_fofs, then ring_fofs and nlist_dim_addr when present.
int fixed_len(const MATRIX* m) { return 8 + (ring_file(m) ? 8 : 0) + (lists_children(m) ? 8 : 0); }

int damage(const char* what, int code) {
  ss_printf("%s\n", what);
  return code;
}

// What a load has read and checked, owned until it is installed or dropped.
struct Loaded {
  MATRIX* m;
  int64_t fofs = 0;
  PN64_MX_NODE raw{};
  std::vector<uint8_t> bits;
  std::vector<int64_t*> codes;
  int64_t dim_addr_size = 0;
  struct Datum {
    int ch;
    void* d;
    int64_t fofs;
  };
  std::vector<Datum> datums;

  explicit Loaded(MATRIX* mx) : m(mx) {}
  ~Loaded() {
    for (int64_t* c : codes) d_f_ree(c);
    for (Datum& x : datums) {
      MDT tp = m->channel_info[x.ch].data_type;
      if (tp && tp->free_data) tp->free_data(tp, x.d);
    }
  }
};

// The child codes of a 0x605 body: 0, or -2 for a code cut or of another axis count.
int parse_dim_addr(const uint8_t* p, const uint8_t* end, int dim, std::vector<int64_t*>* out) {
  while (p < end && *p != kMxDimCodeFiller) {
    auto* dc = static_cast<int64_t*>(d_calloc(size_t(dim) + 1, sizeof(int64_t)));
    out->push_back(dc);
    int n = 0;
    p = get_uncompressed_dim_code_b(dc, dim, &n, p, end);
    if (!p || n != dim + 1) return -2;
  }
  return 0;
}

// The 0x605 at fofs: 0, -1 unreadable or another type, -2 damaged.
int read_dim_addr(MATRIX* m, int64_t fofs, std::vector<int64_t*>* codes, int64_t* size) {
  uint8_t* rec = mx_read_record(m->file_work->pdb_fd, fofs, kRecMxDimAddr, 0);
  if (!rec) return -1;
  *size = int64_t(rec_size64(rec));
  const int r = parse_dim_addr(mx_body(rec), mx_body(rec) + mx_body_len(rec), m->p.dim, codes);
  d_f_ree(rec);
  return r;
}

// The channel chain from ofs, lowest channel first, at most one record per channel.
bool read_chain(Loaded* ld, int64_t ofs) {
  MATRIX* m = ld->m;
  int last = -1;
  while (ofs) {
    if (int(ld->datums.size()) >= m->p.channel_nos) return false;
    int64_t next = 0;
    int id = -1;
    void* d = load_matrix_data(&next, &id, m, ofs, nullptr);
    if (!d) return false;
    ld->datums.push_back({id, d, ofs});
    if (id <= last) return false;
    last = id;
    ofs = next;
  }
  return true;
}

// Installs what was loaded into n and makes it ready (matrix_lock).
void install(MATRIX_NODE* n, Loaded* ld) {
  MATRIX* m = n->matrix;
  LOCK_SCOPE(matrix_lock);
  n->fofs = ld->fofs;
  n->ring_fofs = ld->raw.ring_fofs;
  if (lists_children(m)) {
    n->dim_addr_fofs = ld->raw.nlist_dim_addr;
    n->dim_addr_size = ld->dim_addr_size;
    for (const int64_t* c : ld->codes) _insert_dim_code_index(n, c, 0);
  } else if (!ld->bits.empty()) {
    _vecset_dim_code_index(n, ld->bits.data());
  }
  for (Loaded::Datum& x : ld->datums) {
    MDT tp = m->channel_info[x.ch].data_type;
    MATRIX_CHANNEL& c = n->channel[x.ch];
    if (c.data && tp && tp->free_data) tp->free_data(tp, c.data);
    c.data = x.d;
    c.data_fofs = x.fofs;
  }
  ld->datums.clear();
  n->status = MS_OK;
  wakeup_task(n);
}

// Reads and checks node n's records at fofs into ld: 0 or MX_LOAD_FAILED.
int read_node(MATRIX_NODE* n, int64_t fofs, Loaded* ld) {
  MATRIX* m = n->matrix;
  const int dim = m->p.dim;
  MxCodeBuf dc(dim);
  ld->fofs = fofs;
  ld->bits.resize(size_t(m->dim_bit_field));
  const int r = load_raw_matrix_node(&ld->raw, nullptr, dc.data(), ld->bits.data(), m, fofs);
  if (r == -3) return damage("loading_error(2)", MX_LOAD_FAILED);
  if (r) return MX_LOAD_FAILED;
  if (dc.data()[0] != n->dim_code[0]) return damage("loading_error(1)", MX_LOAD_FAILED);
  if (_cmp_dim_code(m, dc.data(), n->dim_code) != 0) return damage("loading_error(2)", MX_LOAD_FAILED);
  if (lists_children(m)) {
    const int a = read_dim_addr(m, ld->raw.nlist_dim_addr, &ld->codes, &ld->dim_addr_size);
    if (a == -2) return damage("loading_error(2)", MX_LOAD_FAILED);
    if (a) return MX_LOAD_FAILED;
  }
  if (!read_chain(ld, ld->raw.channel_fofs)) return damage("data error", MX_LOAD_FAILED);
  return 0;
}

bool stored(const MATRIX* m, int ch) {
  const MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
  return (ci.flags & MXC_STORED) && ci.data_type && ci.data_type->convert_to_net;
}

// What one save writes, kept apart from the node until the file names it. A node's records
// are named from its node record (chain head, child list, ring entry) and from each other
// (a chain record names the next); a save writes every record before the one that names
// it, changes the node only for what the file then names, and frees a record only once
// nothing names it, so a failed write loses room at worst and never leaves a link to freed
// space or the node's offsets out of step with the file.
struct Saved {
  struct Rec {
    int ch;
    int64_t ofs;  // where it was written
  };
  explicit Saved(MATRIX_NODE* n) : old(size_t(n->matrix->p.channel_nos)) {
    for (int ch = 0; n->fofs && ch < n->matrix->p.channel_nos; ++ch)
      if (stored(n->matrix, ch)) old[size_t(ch)] = n->channel[ch].data_fofs;
  }
  std::vector<int64_t> old;  // the channel records the file names now (none for a new node)
  std::vector<Rec> chain;    // written, highest channel first
  int64_t head = 0;          // the new chain's first record
  int64_t addr = 0, addr_size = 0;  // the child list written
  int64_t ring = 0, place = 0;      // a new ring entry, a new node's record
  bool in_place = false;  // a record the file names was written over: the node's content
                          // in the file is part new until its record names the new chain
  bool keyed = false;     // the index holds a new node's key naming place
  bool was_keyed = false; // it did, and may have been written back so: what place names
                          // is freed only once the index's own change is written back
  bool unsure = false;    // a write over a record the file names failed: its bytes may be
                          // in part (a body over 64 KiB goes out in pieces), naming what
                          // this save wrote
  // Frees a record that this save wrote and nothing named by the file as it stands names
  // (after a write that may have gone in, nothing: the room is lost instead).
  void drop(PDB64* p, int64_t ofs, uint16_t type) const {
    if (unsure) return;
    if (was_keyed && !keyed)
      mx_free_record_later(p, ofs, type);
    else
      mx_free_record(p, ofs, type);
  }
};

// The stored channels from the highest down, each linked to the one written before (the
// old record of a channel that moves, or no longer holds a datum, stays): 0 or -1.
int save_chain(MATRIX_NODE* n, Saved* sv) {
  MATRIX* m = n->matrix;
  for (int ch = m->p.channel_nos - 1; ch >= 0; --ch) {
    const MATRIX_CHANNEL& c = n->channel[ch];
    if (!stored(m, ch) || !c.data) continue;
    const int64_t ofs = save_matrix_data_2(m, sv->old[size_t(ch)], c.data, sv->head, ch, m->channel_info[ch].data_type);
    if (ofs < 0) {
      sv->unsure |= ofs == -2;  // the record the file names may have been written over
      return -1;
    }
    sv->in_place |= ofs == sv->old[size_t(ch)];
    sv->chain.push_back({ch, ofs});
    sv->head = ofs;
  }
  return 0;
}

// The chain the file names once the save is over, and what neither it nor the node keeps.
// named: the node record (and, for a new node, the index) names the new chain. Else the
// file's chain still starts at the old head and runs through old records up to the first
// one this save rewrote in place; from there on it runs through the new ones.
void settle_chain(MATRIX_NODE* n, const Saved& sv, bool named) {
  MATRIX* m = n->matrix;
  const int chans = m->p.channel_nos;
  std::vector<int64_t> file(size_t(chans), 0);
  int from = named ? -1 : chans;  // the lowest channel whose new record the file names
  for (int ch = 0; !named && ch < chans; ++ch) {
    const int64_t o = sv.old[size_t(ch)];
    bool in_place = false;
    for (const Saved::Rec& r : sv.chain) in_place |= r.ch == ch && r.ofs == o;
    if (o && in_place) {
      from = ch;
      break;
    }
    file[size_t(ch)] = o;
  }
  for (const Saved::Rec& r : sv.chain)
    if (r.ch >= from) file[size_t(r.ch)] = r.ofs;
  PDB64* p = m->file_work->pdb_fd;
  auto named_now = [&](int64_t ofs) { return std::find(file.begin(), file.end(), ofs) != file.end(); };
  for (int ch = 0; ch < chans; ++ch) {
    const int64_t o = sv.old[size_t(ch)];
    if (o && !named_now(o)) mx_free_record(p, o, kRecMxData2);
  }
  for (const Saved::Rec& r : sv.chain)
    if (!named_now(r.ofs)) sv.drop(p, r.ofs, kRecMxData2);
  for (int ch = 0; ch < chans; ++ch)
    if (stored(m, ch)) n->channel[ch].data_fofs = file[size_t(ch)];
}

// The node's 0x605 (one of another size is placed anew; the old one stays): 0 or -1.
int save_dim_addr(MATRIX_NODE* n, Saved* sv) {
  MATRIX* m = n->matrix;
  PDB64* p = m->file_work->pdb_fd;
  std::vector<uint8_t> body;
  {
    LOCK_SCOPE(matrix_lock);
    body.resize(size_t(n->nlist_dim_addr_len) * size_t(mx_dim_code_bytes(m->p.dim)) + kMxDimAddrMinBody);
    uint8_t* at = body.data();
    for (int i = 0; i < n->nlist_dim_addr_len; ++i) at = get_compressed_dim_code(at, n->nlist_dim_addr[i], m->p.dim);
    const int64_t used = at - body.data();
    body.resize(size_t(used < kMxDimAddrMinBody ? kMxDimAddrMinBody : used), kMxDimCodeFiller);
    std::fill(body.begin() + used, body.end(), kMxDimCodeFiller);
  }
  const uint64_t size = uint64_t(kHead) + body.size();
  const int64_t old = n->fofs ? n->dim_addr_fofs : 0;
  const bool moves = !old || int64_t(size) != n->dim_addr_size;
  const int64_t ofs = moves ? mx_alloc_record(p, kRecMxDimAddr, size) : old;
  if (ofs < 0) return -1;
  uint8_t* rec = mx_new_record(kRecMxDimAddr, size);
  std::memcpy(mx_body(rec), body.data(), body.size());
  const int r = mx_write_record(p, ofs, rec);
  d_f_ree(rec);
  if (r) {
    if (moves) mx_free_record(p, ofs, kRecMxDimAddr);
    sv->unsure |= !moves;
    return -1;
  }
  sv->addr = ofs;
  sv->addr_size = int64_t(size);
  sv->in_place |= !moves;
  return 0;
}

// The node record of n naming the chain at chain, the ring entry ring and the child list
// addr.
uint8_t* node_record(MATRIX_NODE* n, int64_t chain, int64_t ring, int64_t addr) {
  MATRIX* m = n->matrix;
  const int dim = m->p.dim;
  std::vector<uint8_t> code(size_t(mx_dim_code_bytes(dim)));
  const int64_t code_len = get_compressed_dim_code(code.data(), n->dim_code, dim) - code.data();
  const int fixed = fixed_len(m);
  uint8_t* rec = mx_new_record(kRecMxNode, uint64_t(kHead + fixed + code_len + m->dim_bit_field));
  uint8_t* b = mx_body(rec);
  put_be64(b, uint64_t(chain));
  if (ring_file(m)) put_be64(b + kRingAt, uint64_t(ring));
  if (lists_children(m)) put_be64(b + fixed - 8, uint64_t(addr));
  std::memcpy(b + fixed, code.data(), size_t(code_len));
  LOCK_SCOPE(matrix_lock);
  if (m->dim_bit_field && n->nlist_dim_bit_field)
    std::memcpy(b + fixed + code_len, n->nlist_dim_bit_field,
                size_t(std::min(m->dim_bit_field, n->nlist_dim_bit_field_len)));
  return rec;
}

// Writes n's node record, naming what sv wrote and the ring entry ring, at ofs: 0 or -1.
int write_node(MATRIX_NODE* n, int64_t ofs, const Saved& sv, int64_t ring) {
  uint8_t* rec = node_record(n, sv.head, ring, lists_children(n->matrix) ? sv.addr : 0);
  const int r = mx_write_record(n->matrix->file_work->pdb_fd, ofs, rec);
  d_f_ree(rec);
  return r;
}

// Enters the key of new node n, whose record lies at ofs: 0, or -1.
int index_new_node(MATRIX_NODE* n, int64_t ofs, FAVT64_ROOT* root) {
  MATRIX* m = n->matrix;
  std::vector<uint8_t> key(size_t(mx_index_key_bytes(m->p.dim)));
  const int len = mx_index_key(key.data(), ofs, n->dim_code, m->p.dim);
  FAVT64_NODE* node = l_favt64_alloc_node(root, key.data(), len);
  if (!node) {
    m->file_work->favt64_err = -1;
    return -1;
  }
  MX_INDEX_CMP cw{m, 0, node->data, n->dim_code};
  int err = 0;
  FAVT64_NODE* in = l_favt64_insert(&err, root, &root->node, node, mx_index_cmp, &cw);
  if (in) l_favt64_release_node(in);
  if (in == node) return 0;
  l_favt64_free_node(node);
  return in ? damage("save_matrix_node", -1) : -1;
}

// Places a new node: its record at a new place (naming its ring entry in a ring file, made
// first and naming that place in turn), its key, then the link of its entry at the front of
// the ring. 0, or -1 with nothing of it named; but when the key cannot be taken back out,
// the index still names the place (sv->keyed), its entry unlinked.
int place_new_node(MATRIX_NODE* n, FAVT64_ROOT* root, Saved* sv) {
  MATRIX* m = n->matrix;
  PDB64* p = m->file_work->pdb_fd;
  uint8_t* rec = node_record(n, sv->head, 0, lists_children(m) ? sv->addr : 0);
  sv->place = mx_alloc_record(p, kRecMxNode, rec_size64(rec));
  if (sv->place > 0 && ring_file(m)) sv->ring = mx_new_cache_ring(m, sv->place);
  if (sv->ring > 0) put_be64(mx_body(rec) + kRingAt, uint64_t(sv->ring));
  const bool written = sv->place > 0 && sv->ring >= 0 && mx_write_record(p, sv->place, rec) == 0;
  d_f_ree(rec);
  if (!written || index_new_node(n, sv->place, root)) return -1;
  sv->keyed = sv->was_keyed = true;
  if (!ring_file(m) || insert_mx_cache_ring(m, sv->ring) == 0) return 0;
  if (mx_index_delete(m, n->dim_code) == 0) sv->keyed = false;
  return -1;
}

// Rewrites the record of node n, which has one: 0, or -1 when the file does not name the
// new records. A node of a ring file without an entry (its own was dropped) gets one,
// linked once the record names it; a link that fails gives the record its old ring offset
// back, while it keeps naming the new records (*named stays set).
int rewrite_node(MATRIX_NODE* n, Saved* sv, bool* named) {
  MATRIX* m = n->matrix;
  const bool new_ring = ring_file(m) && !n->ring_fofs;
  if (new_ring && (sv->ring = mx_new_cache_ring(m, n->fofs)) < 0) return -1;
  if (write_node(n, n->fofs, *sv, new_ring ? sv->ring : n->ring_fofs)) {
    sv->unsure = true;
    return -1;
  }
  *named = true;
  if (!new_ring || insert_mx_cache_ring(m, sv->ring) == 0) return 0;
  if (write_node(n, n->fofs, *sv, n->ring_fofs)) sv->unsure = true;  // it may name the new entry
  return -1;
}

}  // namespace

int load_raw_matrix_node(PN64_MX_NODE* ret, uint8_t** org, int64_t* dim_code, uint8_t* bit_field, MATRIX* m,
                         int64_t fofs) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  auto* rec = fofs > 0 ? static_cast<uint8_t*>(l_read_filespace64f(m->file_work->pdb_fd, uint64_t(fofs))) : nullptr;
  if (!rec) return damage("load_raw_matrix_node1", -1);
  if (rec_type64(rec) != kRecMxNode) {
    ss_printf("load_raw_matrix_node2 = %i\n", rec_type64(rec));
    d_f_ree(rec);
    return -2;
  }
  const int dim = m->p.dim;
  const int fixed = fixed_len(m);
  const uint8_t* b = mx_body(rec);
  const uint8_t* end = b + mx_body_len(rec);
  MxCodeBuf dc(dim);
  int n = 0;
  const uint8_t* p = end - b >= fixed ? get_uncompressed_dim_code_b(dc.data(), dim, &n, b + fixed, end) : nullptr;
  const bool ok = p && n == dim + 1 && end - p == m->dim_bit_field;
  if (ok) {
    *ret = PN64_MX_NODE{};
    ret->h.type = kRecMxNode;
    ret->h.size = rec_size64(rec);
    ret->channel_fofs = int64_t(get_be64(b));
    if (ring_file(m)) ret->ring_fofs = int64_t(get_be64(b + kRingAt));
    if (lists_children(m)) ret->nlist_dim_addr = int64_t(get_be64(b + fixed - 8));
    if (dim_code) std::memcpy(dim_code, dc.data(), sizeof(int64_t) * (size_t(dim) + 1));
    if (bit_field && m->dim_bit_field) std::memcpy(bit_field, p, size_t(m->dim_bit_field));
  }
  if (ok && org)
    *org = rec;
  else
    d_f_ree(rec);
  return ok ? 0 : -3;
}

int load_matrix_dim_addr(MATRIX_NODE* n, int64_t addr_fofs) {
  MATRIX* m = n->matrix;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  Loaded ld(m);
  const int r = read_dim_addr(m, addr_fofs, &ld.codes, &ld.dim_addr_size);
  if (r) return r;
  LOCK_SCOPE(matrix_lock);
  for (const int64_t* c : ld.codes) _insert_dim_code_index(n, c, 0);
  n->dim_addr_fofs = addr_fofs;
  n->dim_addr_size = ld.dim_addr_size;
  return 0;
}

int save_matrix_node(MATRIX_NODE* n) {
  MATRIX* m = n->matrix;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return acc.code();
  FAVT64_ROOT* root = mx_index_root(m);
  if (!root) return -1;
  const bool fresh = !n->fofs;
  if (fresh) {  // a node the index must not know yet
    std::vector<uint8_t> key(size_t(mx_index_key_bytes(m->p.dim)));
    mx_index_key(key.data(), 0, n->dim_code, m->p.dim);
    MX_INDEX_CMP cw{m, 0, key.data(), n->dim_code};
    int err = 0;
    FAVT64_NODE* old = l_favt64_search(&err, root, nullptr, key.data(), mx_index_cmp, &cw);
    if (old) l_favt64_release_node(old);
    if (old || cw.damaged) return damage("save_matrix_node", -1);
    if (err != kFavtNotFound) return -1;
  }
  PDB64* p = m->file_work->pdb_fd;
  Saved sv(n);
  bool named = false;
  int r = save_chain(n, &sv);
  if (!r && lists_children(m)) r = save_dim_addr(n, &sv);
  if (!r) r = fresh ? place_new_node(n, root, &sv) : rewrite_node(n, &sv, &named);
  named |= fresh && sv.keyed;
  settle_chain(n, sv, named);
  const int64_t old_addr = n->fofs ? n->dim_addr_fofs : 0;
  if (sv.addr && sv.addr != old_addr) {
    if (named)
      mx_free_record(p, old_addr, kRecMxDimAddr);
    else
      sv.drop(p, sv.addr, kRecMxDimAddr);
  }
  if (named && lists_children(m)) n->dim_addr_fofs = sv.addr, n->dim_addr_size = sv.addr_size;
  const bool placed = fresh && sv.keyed;  // the index names the new place, whatever r says
  if (r && !placed) {  // what nothing names goes
    if (sv.ring > 0) sv.drop(p, sv.ring, kRecMxCacheRing);
    if (sv.place > 0) sv.drop(p, sv.place, kRecMxNode);
  } else if (sv.ring > 0) {
    n->ring_fofs = sv.ring;
  }
  if (placed) n->fofs = sv.place;
  // A node whose record names the new chain is whole in the file; one whose save wrote over
  // a record the file names and then failed, or failed while writing over one, is part new,
  // part old, until a save succeeds.
  const bool partial = r < 0 && ((sv.in_place && !named) || sv.unsure);
  if (named || partial) note_partial_save(n, partial);
  wakeup_task(n);
  return r;
}

int load_matrix_node(MATRIX_NODE* n) {
  MATRIX* m = n->matrix;
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return MX_LOAD_FAILED;
  FAVT64_ROOT* root = mx_index_root(m);
  if (!root) return MX_LOAD_FAILED;
  const int dim = m->p.dim;
  std::vector<uint8_t> key(size_t(mx_index_key_bytes(dim)));
  mx_index_key(key.data(), 0, n->dim_code, dim);
  MX_INDEX_CMP cw{m, 0, key.data(), n->dim_code};
  int err = 0;
  FAVT64_NODE* found = l_favt64_search(&err, root, nullptr, key.data(), mx_index_cmp, &cw);
  if (cw.damaged) {
    if (found) l_favt64_release_node(found);
    return damage("loading_error(2)", MX_LOAD_FAILED);
  }
  if (!found) return err == kFavtNotFound ? MX_NOT_OPEN : MX_LOAD_FAILED;
  int64_t fofs;
  std::memcpy(&fofs, found->data, sizeof fofs);
  l_favt64_release_node(found);
  Loaded ld(m);
  if (const int r = read_node(n, fofs, &ld)) return r;
  if (ring_file(m) && move_mx_cache_ring_front(m, ld.raw.ring_fofs)) return MX_LOAD_FAILED;
  install(n, &ld);
  return 0;
}

int matrix_standard_write_file(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  const int r = save_matrix_node(n);
  unlock_save(n, r);  // a failed save leaves n dirty: its next save completes it
  return r;
}

int matrix_standard_read_file(MATRIX_TOKEN* t) { return load_matrix_node(t->process_node); }

}  // namespace tq
