// Store records: packing of record heads by size class, and the file header and free-list
// records between host order and their big-endian record buffers.
#include "store/store_record.h"

#include <cstring>

namespace tq {

namespace {

uint16_t swap16(uint16_t v) { return endian_flag ? __builtin_bswap16(v) : v; }
uint32_t swap32(uint32_t v) { return endian_flag ? __builtin_bswap32(v) : v; }
uint64_t swap64(uint64_t v) { return endian_flag ? __builtin_bswap64(v) : v; }

}  // namespace

int pack_phys_header64(unsigned char out[kMaxPhysHead], uint16_t type, uint64_t m) {
  put_be16(out, type);
  int len = phys_head_len64(m);
  uint64_t d = disk_len64(m);
  if (len == 4) {
    put_be16(out + 2, uint16_t(d));
  } else if (len == 8) {
    put_be16(out + 2, kPhys32Escape);
    put_be32(out + 4, uint32_t(d));
  } else {
    put_be16(out + 2, kPhys64Escape);
    put_be64(out + 4, d);
  }
  return len;
}

void set_rec_head64(void* rec, uint16_t type, uint64_t size) {
  auto* b = static_cast<unsigned char*>(rec);
  put_be16(b, type);
  std::memset(b + 2, 0, 6);
  put_be64(b + 8, size);
}

void change_endian_header64(PN64_HEADER* h) {
  h->type = swap16(h->type);
  h->size = swap64(h->size);
}

void change_endian_file_header64(PN64_FILE_HEADER* fh) {
  change_endian_header64(&fh->h);
  fh->type = int32_t(swap32(uint32_t(fh->type)));
  fh->flags = int32_t(swap32(uint32_t(fh->flags)));
}

void file_header64_to_record(unsigned char rec[kFileHeaderMem], const PN64_FILE_HEADER* fh) {
  std::memset(rec, 0, kFileHeaderMem);
  set_rec_head64(rec, fh->h.type, fh->h.size);
  unsigned char* body = rec + sizeof(PN64_HEADER);
  put_be32(body, uint32_t(fh->type));
  std::memcpy(body + 4, fh->version, sizeof fh->version);
  std::memcpy(body + 12, fh->encoding, sizeof fh->encoding);
  put_be32(body + 20, fh->linear);
  put_be32(body + kFileHeaderFlagsAt, uint32_t(fh->flags));
}

void file_header64_from_record(PN64_FILE_HEADER* fh, const unsigned char* rec) {
  std::memset(fh, 0, sizeof *fh);
  fh->h.type = rec_type64(rec);
  fh->h.size = rec_size64(rec);
  const unsigned char* body = rec + sizeof(PN64_HEADER);
  fh->type = int32_t(get_be32(body));
  std::memcpy(fh->version, body + 4, sizeof fh->version);
  std::memcpy(fh->encoding, body + 12, sizeof fh->encoding);
  fh->linear = get_be32(body + 20);
  fh->flags = int32_t(get_be32(body + kFileHeaderFlagsAt));
}

void change_endian_freelist64_to_net(PN64_FREELIST* fl) {
  change_endian_header64(&fl->h);
  fl->next = swap64(fl->next);
}

void change_endian_freelist64_to_host(PN64_FREELIST* fl) { change_endian_freelist64_to_net(fl); }

void freelist64_to_record(unsigned char rec[kFreelistMem], const PN64_FREELIST* fl) {
  set_rec_head64(rec, fl->h.type, fl->h.size);
  put_be64(rec + sizeof(PN64_HEADER), fl->next);
}

void freelist64_from_record(PN64_FREELIST* fl, const unsigned char* rec) {
  std::memset(fl, 0, sizeof *fl);
  fl->h.type = rec_type64(rec);
  fl->h.size = rec_size64(rec);
  fl->next = get_be64(rec + sizeof(PN64_HEADER));
}

}  // namespace tq
