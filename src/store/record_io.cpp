// Record reading and writing: packing heads on the way out, unpacking and checking them on
// the way in, bodies moved in pieces of at most 64 KiB through the page cache.
#include "store/record_io.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/d_alloc.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr uint64_t kIoPiece = 65536;      // largest piece handed to the cache at once
constexpr uint64_t kFillerPiece = 60000;  // largest piece of filler bytes

// An unpacked on-disk head.
struct PhysHead {
  uint16_t type;
  uint16_t len16;  // the 16-bit length field, host order
  uint64_t d;      // disk length
  int hlen;        // packed head length
};

enum HeadResult { kHeadOk = 0, kHeadUnreadable = -1, kHeadDamaged16 = -2, kHeadTooShort = -3 };

// Reads exactly n bytes at the current position: 0, or -1 on a short read.
int read_exact(PDB64* p, void* buf, uint64_t n) {
  auto* b = static_cast<unsigned char*>(buf);
  while (n > 0) {
    int want = int(std::min(n, kIoPiece));
    int r = fac_read(&p->fac, b, want);
    if (r <= 0) return -1;
    b += r;
    n -= uint64_t(r);
  }
  return 0;
}

bool seek_to(PDB64* p, uint64_t ofs) { return fac_lseek(&p->fac, int64_t(ofs), SEEK_SET) == int64_t(ofs); }

// Seeks to ofs and unpacks the head there. A length shorter than its own head is damage:
// stepping by it would never leave the record.
HeadResult read_phys_head64(PDB64* p, uint64_t ofs, PhysHead* h) {
  unsigned char b[kMaxPhysHead];
  if (!seek_to(p, ofs) || read_exact(p, b, 4) < 0) return kHeadUnreadable;
  h->type = get_be16(b);
  h->len16 = get_be16(b + 2);
  if (h->len16 == kPhys32Escape) {
    if (read_exact(p, b + 4, 4) < 0) return kHeadUnreadable;
    h->d = get_be32(b + 4);
    h->hlen = 8;
  } else if (h->len16 == kPhys64Escape) {
    if (read_exact(p, b + 4, 8) < 0) return kHeadUnreadable;
    h->d = get_be64(b + 4);
    h->hlen = 12;
  } else {
    h->d = h->len16;
    h->hlen = 4;
    if (h->d < 4) return kHeadDamaged16;
  }
  return h->d < uint64_t(h->hlen) ? kHeadTooShort : kHeadOk;
}

uint64_t mem_of(const PhysHead& h) { return h.d - uint64_t(h.hlen) + 16; }

// Reads the head at ofs for a reader that will take the record: the record must lie
// inside the file. On success the position is just behind the packed head.
bool read_checked_head(PDB64* p, uint64_t ofs, PhysHead* h) {
  int64_t len = file_length64(p);
  if (len < 0 || read_phys_head64(p, ofs, h) != kHeadOk) return false;
  if (h->d > uint64_t(len) || ofs > uint64_t(len) - h->d) {
    errno = EIO;
    return false;
  }
  return true;
}

// Reads a body of n bytes behind the head into buf; frees buf and gives null when short.
void* read_body(PDB64* p, unsigned char* buf, unsigned char* body, uint64_t n) {
  if (read_exact(p, body, n) < 0) {
    d_f_ree(buf);
    return nullptr;
  }
  return buf;
}

int clamp_int(int64_t r) { return r < 0 ? -1 : int(std::min<int64_t>(r, INT_MAX)); }

}  // namespace

int64_t file_length64(PDB64* p) { return fac_lseek(&p->fac, 0, SEEK_END); }

namespace {

// Writes len bytes from b, or zeros when b is null, in pieces of at most piece: len, or -1.
int64_t put_pieces(PDB64* p, const unsigned char* b, uint64_t len, uint64_t piece) {
  for (uint64_t left = len; left > 0;) {
    const int want = int(std::min(left, piece));
    int r = b ? fac_write(&p->fac, b, want) : fac_write_zeros(&p->fac, want);
    if (r <= 0) {
      if (r == 0) errno = EIO;  // a write that makes no progress is a failure too
      return -1;
    }
    if (b) b += r;
    left -= uint64_t(r);
  }
  return int64_t(len);
}

}  // namespace

int64_t fa_write64(PDB64* p, const void* buf, uint64_t len) {
  return put_pieces(p, static_cast<const unsigned char*>(buf), len, kIoPiece);
}

int64_t fa_write64_header(PDB64* p, const void* rec, uint64_t len) {
  if (len < sizeof(PN64_HEADER)) {
    errno = EINVAL;
    return -1;
  }
  unsigned char head[kMaxPhysHead];
  int hlen = pack_phys_header64(head, rec_type64(rec), rec_size64(rec));
  if (fa_write64(p, head, uint64_t(hlen)) < 0) return -1;
  uint64_t body = len - sizeof(PN64_HEADER);
  if (body > 0 && fa_write64(p, static_cast<const unsigned char*>(rec) + sizeof(PN64_HEADER), body) < 0) return -1;
  return int64_t(uint64_t(hlen) + body);
}

int64_t fa_write64_zeroed(PDB64* p, const void* rec) {
  const int64_t head = fa_write64_header(p, rec, sizeof(PN64_HEADER));
  if (head < 0) return -1;
  const uint64_t body = rec_size64(rec) - sizeof(PN64_HEADER);
  if (put_pieces(p, nullptr, body, kFillerPiece) < 0) return -1;
  return head + int64_t(body);
}

int64_t fs_raw_write64(PDB64* p, const void* rec, int mode) {
  int64_t ofs = file_length64(p);
  if (ofs < 0) return -1;
  mode &= 3;
  const int64_t r = mode >= 2  ? fa_write64_zeroed(p, rec)
                    : mode == 0 ? fa_write64_header(p, rec, rec_size64(rec))
                                : fa_write64_header(p, rec, sizeof(PN64_HEADER));
  if (r >= 0) return ofs;
  // A head without its whole body would be read as a record running past the end: the
  // file goes back to where it ended.
  const int err = errno;
  fac_truncate(&p->fac, uint64_t(ofs));
  errno = err;
  return -1;
}

void* get_file_record64(uint64_t* q, PDB64* p, int16_t t, int64_t limit) {
  uint64_t ofs = q ? *q : 0;
  int64_t len = file_length64(p);
  if (len < 0) {
    ss_printf("get_file_record64-1 = %lli\n", (long long)len);
    return nullptr;
  }
  uint64_t end = uint64_t(len);
  bool first = q != nullptr;
  PhysHead h{};
  while (ofs < end) {
    HeadResult r = read_phys_head64(p, ofs, &h);
    if (r == kHeadDamaged16) {
      uint16_t raw_len = endian_flag ? __builtin_bswap16(h.len16) : h.len16;
      uint16_t raw_type = endian_flag ? __builtin_bswap16(h.type) : h.type;
      ss_printf("%i %x %x %lli\n", int(h.len16), unsigned(raw_len), unsigned(raw_type), (long long)ofs);
      return nullptr;
    }
    if (r != kHeadOk) return nullptr;
    bool take = first ? t <= 0 : int(h.type) == int(t);
    first = false;
    if (take) break;
    if (h.d > end - ofs) {  // the walk leaves the file; the sum is not kept, it may wrap
      ss_printf("get_file_record64-2 = %lli %lli\n", (long long)len, (long long)(ofs + h.d));
      return nullptr;
    }
    ofs += h.d;
  }
  if (ofs >= end) {
    ss_printf("get_file_record64-2 = %lli %lli\n", (long long)len, (long long)ofs);
    return nullptr;
  }
  if (h.d > end - ofs) {  // a record reaching past the end: damaged, not read
    errno = EIO;
    return nullptr;
  }
  uint64_t m = mem_of(h);
  uint64_t size = limit > 0 && m > uint64_t(limit) ? std::max<uint64_t>(uint64_t(limit), 16) : m;
  auto* buf = static_cast<unsigned char*>(d_alloc(size));
  set_rec_head64(buf, h.type, m);
  if (!read_body(p, buf, buf + sizeof(PN64_HEADER), size - sizeof(PN64_HEADER))) return nullptr;
  if (q) *q = ofs;
  return buf;
}

ACC_PN64_HEADER* xx_read_filespace64(PDB64* p, uint64_t ofs, const char* file, int line) {
  PhysHead h;
  if (!read_checked_head(p, ofs, &h)) return nullptr;
  uint64_t m = mem_of(h);
  auto* buf = static_cast<unsigned char*>(xx_d_alloc(m + sizeof(ACC64_HEADER), file, line));
  auto* acc = reinterpret_cast<ACC_PN64_HEADER*>(buf);
  acc->a.fofs = ofs;
  set_rec_head64(&acc->h, h.type, m);
  return static_cast<ACC_PN64_HEADER*>(read_body(p, buf, buf + sizeof(ACC_PN64_HEADER), m - sizeof(PN64_HEADER)));
}

ACC_PN64_HEADER* xx_read_filespace64_header(PDB64* p, uint64_t ofs, const char* file, int line) {
  PhysHead h;
  if (!read_checked_head(p, ofs, &h)) return nullptr;
  auto* acc = static_cast<ACC_PN64_HEADER*>(xx_d_alloc(sizeof(ACC_PN64_HEADER), file, line));
  acc->a.fofs = ofs;
  set_rec_head64(&acc->h, h.type, mem_of(h));
  return acc;
}

void* xx_read_filespace64f(PDB64* p, uint64_t ofs, const char* file, int line) {
  PhysHead h;
  if (!read_checked_head(p, ofs, &h)) return nullptr;
  uint64_t m = mem_of(h);
  auto* buf = static_cast<unsigned char*>(xx_d_alloc(m, file, line));
  set_rec_head64(buf, h.type, m);
  return read_body(p, buf, buf + sizeof(PN64_HEADER), m - sizeof(PN64_HEADER));
}

PN64_HEADER* xx_read_filespace64f_header(PDB64* p, uint64_t ofs, const char* file, int line) {
  PhysHead h;
  if (!read_checked_head(p, ofs, &h)) return nullptr;
  auto* head = static_cast<PN64_HEADER*>(xx_d_alloc(sizeof(PN64_HEADER), file, line));
  set_rec_head64(head, h.type, mem_of(h));
  return head;
}

int write_filespace64(PDB64* p, const ACC_PN64_HEADER* rec) {
  if (!seek_to(p, rec->a.fofs)) return -1;
  return clamp_int(fa_write64_header(p, &rec->h, rec_size64(&rec->h)));
}

int write_filespace64f(PDB64* p, uint64_t ofs, const void* rec) {
  if (!seek_to(p, ofs)) return -1;
  return clamp_int(fa_write64_header(p, rec, rec_size64(rec)));
}

int write_filespace64f_zeroed(PDB64* p, uint64_t ofs, const void* rec) {
  if (!seek_to(p, ofs)) return -1;
  return clamp_int(fa_write64_zeroed(p, rec));
}

}  // namespace tq
