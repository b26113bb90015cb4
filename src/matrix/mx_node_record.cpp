// Saving and loading the nodes of file matrices: node records (0x606), child lists (0x605),
// channel chains (0x603), ring entries and index keys.
#include "matrix/mx_node_record.h"

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

// Moves the ring entry to the front: 0 or -1 (a line printed by the ring operation).
int ring_to_front(MATRIX* m, int64_t ring) {
  const PN64_MX_SUBHEADER& s = m->file_work->subheader;
  if (s.cache_next == ring) return 0;
  if (delete_mx_cache_ring(nullptr, m, ring)) return -1;
  return insert_mx_cache_ring(m, ring);
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

// The stored channels from the highest down, each linked to the one written before: the
// first record's offset (0 when none), or -1.
int64_t save_chain(MATRIX_NODE* n) {
  MATRIX* m = n->matrix;
  PDB64* p = m->file_work->pdb_fd;
  int64_t next = 0;
  for (int ch = m->p.channel_nos - 1; ch >= 0; --ch) {
    const MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
    MATRIX_CHANNEL& c = n->channel[ch];
    if (!(ci.flags & MXC_STORED) || !ci.data_type || !ci.data_type->convert_to_net) continue;
    if (!c.data) {  // nothing to keep: its old record goes
      if (c.data_fofs) mx_free_record(p, c.data_fofs, kRecMxData2);
      c.data_fofs = 0;
      continue;
    }
    const int64_t ofs = save_matrix_data_2(m, c.data_fofs, c.data, next, ch, ci.data_type);
    if (ofs < 0) return -1;
    c.data_fofs = next = ofs;
  }
  return next;
}

// The node's 0x605 (one of another size is placed anew): 0 or -1.
int save_dim_addr(MATRIX_NODE* n) {
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
  // A record of another size moves; the old one is freed only once the new one is written,
  // so that after a failure the node record on disk still names a record of its own.
  const bool moves = !n->dim_addr_fofs || int64_t(size) != n->dim_addr_size;
  const int64_t ofs = moves ? mx_alloc_record(p, kRecMxDimAddr, size) : n->dim_addr_fofs;
  if (ofs < 0) return -1;
  uint8_t* rec = mx_new_record(kRecMxDimAddr, size);
  std::memcpy(mx_body(rec), body.data(), body.size());
  const int r = mx_write_record(p, ofs, rec);
  d_f_ree(rec);
  if (r) {
    if (moves) mx_free_record(p, ofs, kRecMxDimAddr);
    return -1;
  }
  if (moves && n->dim_addr_fofs) mx_free_record(p, n->dim_addr_fofs, kRecMxDimAddr);
  n->dim_addr_fofs = ofs;
  n->dim_addr_size = int64_t(size);
  return 0;
}

// The node record of n with channel_fofs chain.
uint8_t* node_record(MATRIX_NODE* n, int64_t chain) {
  MATRIX* m = n->matrix;
  const int dim = m->p.dim;
  std::vector<uint8_t> code(size_t(mx_dim_code_bytes(dim)));
  const int64_t code_len = get_compressed_dim_code(code.data(), n->dim_code, dim) - code.data();
  const int fixed = fixed_len(m);
  uint8_t* rec = mx_new_record(kRecMxNode, uint64_t(kHead + fixed + code_len + m->dim_bit_field));
  uint8_t* b = mx_body(rec);
  put_be64(b, uint64_t(chain));
  if (ring_file(m)) put_be64(b + 8, uint64_t(n->ring_fofs));
  if (lists_children(m)) put_be64(b + fixed - 8, uint64_t(n->dim_addr_fofs));
  std::memcpy(b + fixed, code.data(), size_t(code_len));
  LOCK_SCOPE(matrix_lock);
  if (m->dim_bit_field && n->nlist_dim_bit_field)
    std::memcpy(b + fixed + code_len, n->nlist_dim_bit_field,
                size_t(std::min(m->dim_bit_field, n->nlist_dim_bit_field_len)));
  return rec;
}

// Enters the key of new node n, whose record is placed at ofs: 0, or -1 (the place freed).
int index_new_node(MATRIX_NODE* n, int64_t ofs, FAVT64_ROOT* root) {
  MATRIX* m = n->matrix;
  MX_FILE_WORK* w = m->file_work;
  std::vector<uint8_t> key(size_t(mx_index_key_bytes(m->p.dim)));
  const int len = mx_index_key(key.data(), ofs, n->dim_code, m->p.dim);
  FAVT64_NODE* node = l_favt64_alloc_node(root, key.data(), len);
  if (!node) {
    w->favt64_err = -1;
    l_free_filespace64(w->pdb_fd, uint64_t(ofs));
    return -1;
  }
  MX_INDEX_CMP cw{m, 0, node->data, n->dim_code};
  int err = 0;
  FAVT64_NODE* in = l_favt64_insert(&err, root, &root->node, node, mx_index_cmp, &cw);
  if (in) l_favt64_release_node(in);
  if (in == node) return 0;
  l_favt64_free_node(node);
  l_free_filespace64(w->pdb_fd, uint64_t(ofs));
  return in ? damage("save_matrix_node", -1) : -1;
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
    if (ring_file(m)) ret->ring_fofs = int64_t(get_be64(b + 8));
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
  if (!n->fofs) {  // a node the index must not know yet
    std::vector<uint8_t> key(size_t(mx_index_key_bytes(m->p.dim)));
    mx_index_key(key.data(), 0, n->dim_code, m->p.dim);
    MX_INDEX_CMP cw{m, 0, key.data(), n->dim_code};
    int err = 0;
    FAVT64_NODE* old = l_favt64_search(&err, root, nullptr, key.data(), mx_index_cmp, &cw);
    if (old) l_favt64_release_node(old);
    if (old || cw.damaged) return damage("save_matrix_node", -1);
    if (err != kFavtNotFound) return -1;
  }
  const int64_t chain = save_chain(n);
  if (chain < 0) return -1;
  PDB64* p = m->file_work->pdb_fd;
  if (ring_file(m) && !n->ring_fofs) {
    const int64_t e = mx_new_cache_ring(m, n->fofs);
    if (e < 0) return -1;
    if (insert_mx_cache_ring(m, e)) {  // not linked: the next save makes another
      mx_free_record(p, e, kRecMxCacheRing);
      return -1;
    }
    n->ring_fofs = e;
  }
  if (lists_children(m) && save_dim_addr(n)) return -1;
  uint8_t* rec = node_record(n, chain);
  if (!n->fofs) {
    // The ring entry names the place before the index does; a failure frees the place and
    // leaves the node without one, so that its next save places it whole.
    int64_t ofs = mx_alloc_record(p, kRecMxNode, rec_size64(rec));
    if (ofs > 0 && n->ring_fofs && setup_mx_cache_ring(m, n->ring_fofs, ofs)) {
      l_free_filespace64(p, uint64_t(ofs));
      ofs = -1;
    }
    if (ofs < 0 || index_new_node(n, ofs, root)) {
      d_f_ree(rec);
      return -1;
    }
    n->fofs = ofs;
  }
  const int r = mx_write_record(p, n->fofs, rec);
  d_f_ree(rec);
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
  if (ring_file(m) && ring_to_front(m, ld.raw.ring_fofs)) return MX_LOAD_FAILED;
  install(n, &ld);
  return 0;
}

int matrix_standard_write_file(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  const int r = save_matrix_node(n);
  unlock_save(n);
  return r;
}

int matrix_standard_read_file(MATRIX_TOKEN* t) { return load_matrix_node(t->process_node); }

}  // namespace tq
