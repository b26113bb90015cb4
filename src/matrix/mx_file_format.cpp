// The subheader's byte form and the checked record reads and placed writes of matrix files.
#include "matrix/mx_file_format.h"

#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "store/store_lock.h"

namespace tq {

namespace {

constexpr int kPriBody = 0;
constexpr int kCalBody = kPriBody + 4 * kMxModes * kMxEvents;   // 288
constexpr int kRootBody = kCalBody + 8 * kMxModes * kMxEvents;  // 864
static_assert(kRootBody + 32 == int(kMxSubheaderMem) - 16);

PN64_HEADER host_head(uint16_t type, uint64_t size) {
  PN64_HEADER h{};
  h.type = type;
  h.size = size;
  return h;
}

}  // namespace

void mx_pack_subheader(uint8_t rec[kMxSubheaderMem], const PN64_MX_SUBHEADER& s) {
  set_rec_head64(rec, kRecMxSubheader, kMxSubheaderMem);
  uint8_t* b = rec + sizeof(PN64_HEADER);
  for (int i = 0; i < kMxModes; ++i)
    for (int e = 0; e < kMxEvents; ++e) {
      put_be32(b + kPriBody + 4 * (i * kMxEvents + e), uint32_t(s.mode_pri_area[i][e]));
      put_be64(b + kCalBody + 8 * (i * kMxEvents + e), uint64_t(s.mode_cal_fofs[i][e]));
    }
  put_be64(b + kRootBody, uint64_t(s.node_root));
  put_be64(b + kRootBody + 8, uint64_t(s.cache_next));
  put_be64(b + kRootBody + 16, uint64_t(s.cache_prev));
  put_be32(b + kRootBody + 24, uint32_t(s.cache_count));
  put_be32(b + kRootBody + 28, uint32_t(s.flags));
}

bool mx_unpack_subheader(PN64_MX_SUBHEADER* s, const uint8_t* rec) {
  if (rec_type64(rec) != kRecMxSubheader || rec_size64(rec) != kMxSubheaderMem) return false;
  const uint8_t* b = rec + sizeof(PN64_HEADER);
  const int32_t count = int32_t(get_be32(b + kRootBody + 24));
  if (count < 0 || count > kMxCacheCountMax) return false;  // the ring never holds more
  s->h = host_head(kRecMxSubheader, kMxSubheaderMem);
  for (int i = 0; i < kMxModes; ++i)
    for (int e = 0; e < kMxEvents; ++e) {
      s->mode_pri_area[i][e] = int32_t(get_be32(b + kPriBody + 4 * (i * kMxEvents + e)));
      s->mode_cal_fofs[i][e] = int64_t(get_be64(b + kCalBody + 8 * (i * kMxEvents + e)));
    }
  s->node_root = int64_t(get_be64(b + kRootBody));
  s->cache_next = int64_t(get_be64(b + kRootBody + 8));
  s->cache_prev = int64_t(get_be64(b + kRootBody + 16));
  s->cache_count = count;
  s->flags = int32_t(get_be32(b + kRootBody + 28));
  return true;
}

uint8_t* mx_new_record(uint16_t type, uint64_t size) {
  auto* rec = static_cast<uint8_t*>(d_calloc(1, size_t(size)));
  set_rec_head64(rec, type, size);
  return rec;
}

uint8_t* mx_read_record(PDB64* p, int64_t fofs, uint16_t type, int64_t min_body) {
  if (fofs <= 0) return nullptr;
  auto* rec = static_cast<uint8_t*>(l_read_filespace64f(p, uint64_t(fofs)));
  if (!rec) return nullptr;
  if (rec_type64(rec) != type || mx_body_len(rec) < min_body) {
    d_f_ree(rec);
    return nullptr;
  }
  return rec;
}

int mx_record_type(PDB64* p, int64_t fofs) {
  if (fofs <= 0) return -1;
  PN64_HEADER* h = l_read_filespace64f_header(p, uint64_t(fofs));
  if (!h) return -1;
  const int type = rec_type64(h);
  d_f_ree(h);
  return type;
}

int64_t mx_alloc_record(PDB64* p, uint16_t type, uint64_t size) {
  const PN64_HEADER h = host_head(type, size);
  const int64_t ofs = l_alloc_filespace64(p, &h);
  return ofs > 0 ? ofs : -1;
}

int64_t mx_place_record(PDB64* p, int64_t fofs, uint16_t type, uint64_t size) {
  if (fofs > 0) {
    PN64_HEADER* old = l_read_filespace64f_header(p, uint64_t(fofs));
    const bool fits = old && rec_type64(old) == type && rec_size64(old) == size;
    if (old) d_f_ree(old);
    if (fits) return fofs;
  }
  return mx_alloc_record(p, type, size);
}

int mx_write_record(PDB64* p, int64_t fofs, const void* rec) {
  if (fofs <= 0) return -1;
  return l_write_filespace64f(p, uint64_t(fofs), rec) < 0 ? -1 : 0;
}

int mx_free_record(PDB64* p, int64_t fofs, uint16_t type) {
  if (mx_record_type(p, fofs) != type || l_favt64_free_waiting(p, uint64_t(fofs))) return -1;
  return l_free_filespace64(p, uint64_t(fofs)) < 0 ? -1 : 0;
}

int mx_free_record_later(PDB64* p, int64_t fofs, uint16_t type) {
  if (mx_record_type(p, fofs) != type) return -1;
  l_favt64_free_later(p, uint64_t(fofs));
  return 0;
}

}  // namespace tq
