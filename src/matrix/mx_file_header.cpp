// The matrix header (0x600) and subheader (0x601) of file matrices: creating a file,
// describing a matrix from one, and moving the subheader between file and work record.
#include "matrix/mx_file_header.h"

#include <fcntl.h>

#include <vector>

#include "matrix/matrix_registry.h"
#include "matrix/mx_code.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_node_index.h"
#include "mxtype/mx_type.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "store/record_io.h"
#include "store/store_lock.h"
#include "store/tree_check.h"
#include "stream/format.h"

namespace tq {

namespace {

// The fields of a 0x600 body, checked whole.
struct HeaderFields {
  int32_t channel_nos, dim, flags, total_levels;
  int64_t modify_time, subheader_fofs;
  const uint8_t* divide;
  const uint8_t* block;
  int64_t pixel[kMxMaxDim];
  const uint8_t* table;  // channel_nos entries
};

// Whether rec is a header whose fields are sane and fill its body exactly.
bool parse_header(HeaderFields* h, const uint8_t* rec) {
  const int64_t len = mx_body_len(rec);
  if (len < kMxHeaderFixed) return false;
  const uint8_t* b = rec + sizeof(PN64_HEADER);
  h->channel_nos = int32_t(get_be32(b));
  h->dim = int32_t(get_be32(b + 4));
  h->flags = int32_t(get_be32(b + 8));
  h->total_levels = int32_t(get_be32(b + 12));
  h->modify_time = int64_t(get_be64(b + 16));
  h->subheader_fofs = int64_t(get_be64(b + 24));
  if (h->dim < 0 || h->dim > kMxMaxDim || h->channel_nos < 0 || h->total_levels < 0 || h->total_levels > kMxMaxLevels ||
      h->subheader_fofs <= 0)
    return false;
  const uint8_t* p = b + kMxHeaderFixed;
  const uint8_t* end = b + len;
  if (end - p < 2 * int64_t(h->dim)) return false;
  h->divide = p;
  h->block = p + h->dim;
  p += 2 * h->dim;
  for (int a = 0; a < h->dim; ++a) {
    p = get_uncompressed_code64_b(&h->pixel[a], p, end);
    if (!p || h->pixel[a] < 1) return false;
  }
  h->table = p;
  return end - p == int64_t(kMxChannelEntry) * h->channel_nos;
}

// Refuses the file: gives it up with the work record, prints line (with arg), answers -124.
int destroy(MATRIX* m, const char* line, int arg = 0) {
  mx_file_refuse(m);
  ss_printf(line, arg);
  return MX_FILE_HELD;
}

// The geometry of m from h; a setter's code on failure.
int describe(MATRIX* m, const HeaderFields& h) {
  MATRIX_PARAM p{};
  p.channel_nos = h.channel_nos;
  p.dim = h.dim;
  p.flags = h.flags;
  p.total_levels = h.total_levels;
  p.modify_time = h.modify_time;
  int r = set_matrix_param(m, &p);
  for (int a = 0; a < h.dim && !r; ++a) r = set_matrix_dim_divide(m, a, h.divide[a]);
  for (int a = 0; a < h.dim && !r; ++a) r = set_matrix_block_size(m, a, h.block[a]);
  for (int a = 0; a < h.dim && !r; ++a) r = set_matrix_pixel_size(m, a, h.pixel[a]);
  return r;
}

// Each channel whose code is registered, with its default datum when that loads.
void describe_channels(MATRIX* m, const HeaderFields& h) {
  for (int ch = 0; ch < h.channel_nos; ++ch) {
    const uint8_t* e = h.table + kMxChannelEntry * ch;
    MDT tp = get_matrix_data_type(get_be16(e));
    if (!tp) continue;
    MATRIX_CHANNEL_INFO inf{tp, int(get_be16(e + 2)), nullptr, int64_t(get_be64(e + 4))};
    MDT dtp = tp->parent ? tp->parent : tp;
    // Only a single-datum record: a node's channel record would convert by its own
    // channel's type, which need not be this one's.
    if (mx_record_type(m->file_work->pdb_fd, inf.default_data_fofs) == kRecMxData1)
      inf.default_data = load_matrix_data(nullptr, nullptr, m, inf.default_data_fofs, dtp);
    if (!inf.default_data) inf.default_data_fofs = 0;  // its record stays: the header names it
    set_matrix_channel_info(m, ch, &inf);
    if (inf.default_data && dtp->free_data) dtp->free_data(dtp, inf.default_data);
  }
}

// The 0x600 of m with zero default offsets (filled in as the defaults are written).
uint8_t* header_record(const MATRIX* m, int64_t* table_at) {
  const int dim = m->p.dim;
  std::vector<uint8_t> codes(size_t(kMxCodeMax) * size_t(dim > 0 ? dim : 1));
  uint8_t* c = codes.data();
  for (int a = 0; a < dim; ++a) c = get_compressed_code64(c, m->pixel_size[a]);
  const int64_t codes_len = c - codes.data();
  *table_at = kMxHeaderFixed + 2 * dim + codes_len;
  const uint64_t size = sizeof(PN64_HEADER) + uint64_t(*table_at) + uint64_t(kMxChannelEntry) * m->p.channel_nos;
  uint8_t* rec = mx_new_record(kRecMxHeader, size);
  uint8_t* b = mx_body(rec);
  put_be32(b, uint32_t(m->p.channel_nos));
  put_be32(b + 4, uint32_t(dim));
  put_be32(b + 8, uint32_t(m->p.flags));
  put_be32(b + 12, uint32_t(m->total_levels));
  put_be64(b + 16, uint64_t(m->p.modify_time));
  for (int a = 0; a < dim; ++a) {
    b[kMxHeaderFixed + a] = m->dim_divide[a];
    b[kMxHeaderFixed + dim + a] = m->block_size[a];
  }
  std::copy(codes.data(), c, b + kMxHeaderFixed + 2 * dim);
  return rec;
}

// The channel table and each default datum's 0x602: 0, or -1.
int write_channels(MATRIX* m, uint8_t* table) {
  for (int ch = 0; ch < m->p.channel_nos; ++ch) {
    MATRIX_CHANNEL_INFO& inf = m->channel_info[ch];
    MDT tp = inf.data_type;
    if (!tp) continue;
    uint8_t* e = table + kMxChannelEntry * ch;
    put_be16(e, uint16_t(tp->type));
    put_be16(e + 2, uint16_t(inf.flags));
    if (!inf.default_data) continue;
    const int64_t ofs = save_matrix_data_1(m, 0, inf.default_data, tp->parent ? tp->parent : tp);
    if (ofs < 0) return -1;
    put_be64(e + 4, uint64_t(ofs));
    inf.default_data_fofs = ofs;
  }
  return 0;
}

// The subheader names the index root: the root goes to the file first, as an empty tree.
// False when it could not be written (it is dropped, its room freed).
bool written_root(FAVT64_ROOT* root) {
  LOCK_SCOPE(l_favt64_lock);
  if (favt64_write(&root->h) >= 0) return true;
  favt64_free_root(root);
  return false;
}

// The records of a new file, inside the access: 0 or -1.
int create_records(MATRIX* m, MX_FILE_WORK* w) {
  PDB64* p = w->pdb_fd;
  int64_t table_at = 0;
  uint8_t* rec = header_record(m, &table_at);
  int r = -1;
  w->header_fofs = mx_alloc_record(p, kRecMxHeader, rec_size64(rec));
  if (w->header_fofs > 0 && write_channels(m, mx_body(rec) + table_at) == 0) {
    w->subheader_fofs = mx_alloc_record(p, kRecMxSubheader, kMxSubheaderMem);
    put_be64(mx_body(rec) + 24, uint64_t(w->subheader_fofs));
    w->subheader.cache_next = w->subheader.cache_prev = w->subheader_fofs;
    FAVT64_ROOT* root =
        w->subheader_fofs > 0 ? l_favt64_alloc_root(p, kFavtKindNodeIndex, mx_dim_code_endian) : nullptr;
    if (root && !written_root(root)) root = nullptr;
    if (root) {
      w->subheader.node_root = int64_t(root->h.fofs);
      w->index_root = root;
      if (save_subheader(m, 1) == 0 && mx_write_record(p, w->header_fofs, rec) == 0) r = 0;
    }
  }
  d_f_ree(rec);
  return r;
}

}  // namespace

int save_matrix_header(MATRIX* m) {
  MX_FILE_WORK* w = m->file_work ? m->file_work : new_mx_file_work(m, 0);
  w->oflags = O_RDWR | O_CREAT | O_TRUNC;
  MX_FILE_ACCESS(acc, m);
  w->oflags = O_RDWR;  // every later opening keeps the file
  if (acc.code()) return -1;
  return create_records(m, w);
}

int load_matrix_header(MATRIX* m, int oflags, int) {
  if (!m->filename) return MX_SCRIPT_FAILED;
  MX_FILE_WORK* w = new_mx_file_work(m, oflags);
  if (const int r = start_file_access(m)) {
    ss_printf("load_matrix_header-1 %i\n", r);
    finish_file_access(m, 1);  // the failed take holds no level: this only frees the record
    return r;
  }
  uint64_t ofs = 0;
  uint8_t* rec;
  {
    LOCK_SCOPE(l_favt64_lock);
    rec = static_cast<uint8_t*>(get_file_record64(&ofs, w->pdb_fd, int16_t(kRecMxHeader), 0));
  }
  if (!rec) return destroy(m, "************ DESTROY-1\n");
  HeaderFields h;
  const bool sane = parse_header(&h, rec);
  int r = 0;
  if (sane) {
    w->header_fofs = int64_t(ofs);
    w->subheader_fofs = h.subheader_fofs;
    r = load_subheader(m, 0);
  }
  if (!sane || r == -2)
    r = destroy(m, "************ DESTROY-5\n");
  else if (r)
    r = destroy(m, "************ DESTROY-2\n");
  else if (w->subheader.flags & kMxSubOpen)
    r = destroy(m, "************ DESTROY-3 %x\n", w->subheader.flags);
  else if (!mx_index_root(m))
    r = destroy(m, "************ DESTROY-6\n");
  else if ((r = describe(m, h)) != 0)
    mx_file_refuse(m);
  if (r) {
    d_f_ree(rec);
    return r;
  }
  describe_channels(m, h);
  d_f_ree(rec);
  w->subheader.flags |= kMxSubOpen;
  if (save_subheader(m, 1) != 0) {
    mx_file_refuse(m);
    return MX_NO_FILE;
  }
  finish_file_access(m, 0);
  return 0;
}

int save_subheader(MATRIX* m, int sfa) {
  MX_FILE_WORK* w = m->file_work;
  if (!w) return -1;
  if (!sfa && start_file_access(m)) return -1;
  uint8_t rec[kMxSubheaderMem];
  mx_pack_subheader(rec, w->subheader);
  const int r = w->pdb_fd ? mx_write_record(w->pdb_fd, w->subheader_fofs, rec) : -1;
  if (!sfa) finish_file_access(m, 0);
  return r;
}

int save_subheader_as(MATRIX* m, const PN64_MX_SUBHEADER& s) {
  MX_FILE_WORK* w = m->file_work;
  if (!w || !w->pdb_fd) return -1;
  uint8_t rec[kMxSubheaderMem];
  mx_pack_subheader(rec, s);
  if (mx_write_record(w->pdb_fd, w->subheader_fofs, rec)) return -1;
  w->subheader = s;
  return 0;
}

int load_subheader(MATRIX* m, int sfa) {
  MX_FILE_WORK* w = m->file_work;
  if (!w) return -1;
  if (!sfa && start_file_access(m)) return -1;
  void* rec =
      w->pdb_fd && w->subheader_fofs > 0 ? l_read_filespace64f(w->pdb_fd, uint64_t(w->subheader_fofs)) : nullptr;
  int r = -1;
  if (rec) {
    r = mx_unpack_subheader(&w->subheader, static_cast<uint8_t*>(rec)) ? 0 : -2;
    d_f_ree(rec);
  }
  if (!sfa) finish_file_access(m, 0);
  return r;
}

void matrix_test(MATRIX* m) {
  if (const int r = start_file_access(m)) {
    ss_printf("load_matrix_header-1 %i %p %p\n", r, static_cast<void*>(m->file_work), static_cast<void*>(m));
    return;
  }
  uint64_t ofs = 0;
  void* rec;
  {
    LOCK_SCOPE(l_favt64_lock);
    rec = get_file_record64(&ofs, m->file_work->pdb_fd, int16_t(kRecMxHeader), 0);
  }
  if (rec) d_f_ree(rec);
  finish_file_access(m, 0);
}

}  // namespace tq
