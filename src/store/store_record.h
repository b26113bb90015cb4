// Store records: the in-memory record head, the packed on-disk head and its three size
// classes, the file header record at offset 0 and the free-list records. A store file is
// big-endian; every field is packed and unpacked at its byte offset, never by copying a
// struct, so the in-memory records may have whatever layout the host gives them.
#pragma once
#include <cstdint>

#include "platform/endian.h"

namespace tq {

// Record types the store file layer knows. Every other type passes through untouched.
inline constexpr uint16_t kRecFileHeader = 1;
inline constexpr uint16_t kRecTestBlock = 123;  // the store test driver's records
inline constexpr uint16_t kRecTreeRoot = 257;
inline constexpr uint16_t kRecTreeNode = 258;
inline constexpr uint16_t kRecFreeAnchor = 259;
inline constexpr uint16_t kRecFreeBlock = 260;
inline constexpr uint16_t kRecTrieValues = 261;
inline constexpr uint16_t kRecIndexHeader = 513;
inline constexpr uint16_t kRecIndexValue = 514;

// The in-memory record head, the first 16 bytes of every record buffer. In a record buffer
// "in file order" type and size are big-endian (bytes 0-1 and 8-15); change_endian_header64
// turns a head between that and host order.
struct PN64_HEADER {
  uint16_t type;
  uint16_t dummy[3];  // never written to disk, never read
  uint64_t size;      // memory size m: body + these 16 bytes
};
static_assert(sizeof(PN64_HEADER) == 16);

// Escapes of the 16-bit length field of a packed head.
inline constexpr uint16_t kPhys32Escape = 0xFFFE;  // a 32-bit disk length follows
inline constexpr uint16_t kPhys64Escape = 0xFFFF;  // a 64-bit disk length follows
// Largest memory size with a 4-byte head, and with an 8-byte head.
inline constexpr uint64_t kShortMaxMem = 65545;
inline constexpr uint64_t kLong32MaxMem = 4294967295ull;
// The smallest record the allocator hands out: room for a free-block record.
inline constexpr uint64_t kMinRecordMem = 24;
inline constexpr int kMaxPhysHead = 12;

// Packed head length (4, 8 or 12) for a memory size.
constexpr int phys_head_len64(uint64_t m) { return m <= kShortMaxMem ? 4 : m <= kLong32MaxMem ? 8 : 12; }
// The length of a packed head whose 16-bit length field holds len16.
constexpr int phys_head_len16(uint16_t len16) { return len16 == kPhys32Escape ? 8 : len16 == kPhys64Escape ? 12 : 4; }
// Disk length of a record of memory size m (m >= 16).
constexpr uint64_t disk_len64(uint64_t m) { return m - 16 + uint64_t(phys_head_len64(m)); }
// False for the disk lengths no head can express: 65534..65537 and 4294967288..4294967291,
// and for lengths shorter than the smallest head.
constexpr bool disk_len_has_head64(uint64_t d) {
  return d >= 4 && !(d >= 65534 && d <= 65537) && !(d >= 4294967288ull && d <= 4294967291ull);
}
// Memory size of a record of disk length d (MEM(d)); d must have a head.
constexpr uint64_t mem_size64(uint64_t d) { return d <= 65533 ? d + 12 : d <= 4294967287ull ? d + 8 : d + 4; }

// Writes the packed head of a record (type, memory size m) big-endian into out; returns
// its length. The 16-bit field holds d (short), 0xFFFE then 32-bit d, or 0xFFFF then
// 64-bit d starting at byte 4.
int pack_phys_header64(unsigned char out[kMaxPhysHead], uint16_t type, uint64_t m);

// Record-buffer heads in file order (big-endian type at 0, size at 8).
inline uint16_t rec_type64(const void* rec) { return get_be16(static_cast<const unsigned char*>(rec)); }
inline uint64_t rec_size64(const void* rec) { return get_be64(static_cast<const unsigned char*>(rec) + 8); }
void set_rec_head64(void* rec, uint16_t type, uint64_t size);  // writes the head in file order

// Converts an in-memory head between host and file order in place (swaps type and size on a
// little-endian host; does nothing on a big-endian one).
void change_endian_header64(PN64_HEADER* h);

// The file header record (type 1) at offset 0. As a record buffer 44 bytes: the head (size
// 44) and a 28-byte body; on disk a short record of 32 bytes. Body offsets (after the head):
// 0 type, 4 version[8], 12 encoding[8], 20 linear, 24 flags. The struct holds the fields in
// host order and is never copied to a file (it is larger than 44 bytes here).
struct PN64_FILE_HEADER {
  PN64_HEADER h;
  int32_t type;       // file kind chosen by the creator (31 matrix and test files)
  char version[8];    // "64-0.6"
  char encoding[8];   // NUL-terminated text encoding name, at most 7 characters
  uint32_t linear;    // 0
  int32_t flags;      // bit 0: held open for reading and writing
};
inline constexpr uint64_t kFileHeaderMem = 44;
inline constexpr int kFileHeaderOpenMark = 1;
inline constexpr int kFileHeaderFlagsAt = 24;  // the flags' offset in the header's body
inline constexpr char kStoreVersion[] = "64-0.6";
// Converts the header's numbers in place (head, type, flags); the texts stay as they are.
void change_endian_file_header64(PN64_FILE_HEADER* fh);
// Host-order header to a 44-byte record buffer in file order, every byte defined.
void file_header64_to_record(unsigned char rec[kFileHeaderMem], const PN64_FILE_HEADER* fh);
// A record buffer of at least 44 bytes (file order) to a host-order header.
void file_header64_from_record(PN64_FILE_HEADER* fh, const unsigned char* rec);

// The free-list anchor (type 259, memory size 24) and a free block (type 260, its own
// memory size); next is the offset of the next free block below, 0 at the end.
struct PN64_FREELIST {
  PN64_HEADER h;
  uint64_t next;
};
inline constexpr uint64_t kFreelistMem = 24;
void change_endian_freelist64_to_net(PN64_FREELIST* fl);
void change_endian_freelist64_to_host(PN64_FREELIST* fl);
// Host-order free-list record to a 24-byte record buffer in file order, and back.
void freelist64_to_record(unsigned char rec[kFreelistMem], const PN64_FREELIST* fl);
void freelist64_from_record(PN64_FREELIST* fl, const unsigned char* rec);

// Offset of the anchor in a file made with a free list, and of the first record after it.
inline constexpr uint64_t kAnchorOffset = 32;
inline constexpr uint64_t kFirstRecordOffset = 44;

}  // namespace tq
