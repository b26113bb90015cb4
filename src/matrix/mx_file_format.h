// The records of a matrix file inside a store file (types 0x600 to 0x607), the host-order
// subheader, and the reading, placing and writing of whole records by offset.
//
// A record buffer here is the store's in-memory record form with its head in file order
// (big-endian type at byte 0, size at byte 8) and a big-endian body; writers fill bodies
// field by field. Every reader checks a record's type and length before it touches the
// body, so a damaged or hostile file gives a failed read, never an overread.
//
// All calls need the matrix's file access (mx_file_access.h); they take the store lock
// only for the length of one store call.
#pragma once
#include <cstdint>

#include "store/page_cache.h"
#include "store/store_record.h"

namespace tq {

enum : uint16_t {
  kRecMxHeader = 0x600,     // the matrix header, one per file
  kRecMxSubheader = 0x601,  // the subheader, 912 bytes
  kRecMxData1 = 0x602,      // a single datum (a channel's default)
  kRecMxData2 = 0x603,      // one channel datum of a node, chained
  kRecMxCal = 0x604,        // an event script's text
  kRecMxDimAddr = 0x605,    // a node's list of child codes
  kRecMxNode = 0x606,       // a node record
  kRecMxCacheRing = 0x607,  // an entry of the ring of stored nodes
};

inline constexpr int kMxModes = 3;    // sets of event priorities and scripts
inline constexpr int kMxEvents = 24;  // access ids per set
inline constexpr uint64_t kMxSubheaderMem = 912;
inline constexpr uint64_t kMxCacheRingMem = 40;
inline constexpr int kMxHeaderFixed = 32;    // header body bytes before the per-axis fields
inline constexpr int kMxChannelEntry = 12;   // type u16, flags u16, default offset s64
inline constexpr int kMxData1MinBody = 8;    // a 0x602 body is filled up to this
inline constexpr int kMxData2Fixed = 12;     // next s64, channel s32
inline constexpr int kMxDimAddrMinBody = 8;  // a 0x605 body is filled with 0xF2 up to this
inline constexpr int kMxCalMinBody = 8;      // a 0x604 body is filled with spaces up to this
inline constexpr int kMxCacheCountMax = 10000;  // mx_cache_count_max: ring entries at most
inline constexpr int kMxMaxDim = 30;         // axes a header may declare
inline constexpr int kMxMaxLevels = 64;      // levels a header may declare
inline constexpr int32_t kMxSubOpen = 1;     // subheader flags: the file is held open

// The subheader in host order. Body offsets: 0 priorities [3][24] s32, 288 script offsets
// [3][24] s64, 864 node_root, 872 cache_next, 880 cache_prev, 888 cache_count s32, 892 flags.
struct PN64_MX_SUBHEADER {
  PN64_HEADER h;  // type 0x601, size 912
  int32_t mode_pri_area[kMxModes][kMxEvents];
  int64_t mode_cal_fofs[kMxModes][kMxEvents];  // 0x604 records, 0 where none
  int64_t node_root;                           // the node index's tree root
  int64_t cache_next;                          // newest ring entry; the subheader's own offset when the ring is empty
  int64_t cache_prev;                          // oldest ring entry; likewise
  int32_t cache_count;
  int32_t flags;  // kMxSubOpen
};

// The 912 bytes of the subheader record (head in file order) from s, and back. The unpack
// answers false, leaving s alone, for another type or size, or a ring count outside
// 0..10000 (each insertion would purge nodes the file may not have).
void mx_pack_subheader(uint8_t rec[kMxSubheaderMem], const PN64_MX_SUBHEADER& s);
bool mx_unpack_subheader(PN64_MX_SUBHEADER* s, const uint8_t* rec);

// ---- Record buffers (debug heap, head in file order).
// A zeroed buffer of size bytes with the head {type, size}.
uint8_t* mx_new_record(uint16_t type, uint64_t size);
inline uint8_t* mx_body(void* rec) { return static_cast<uint8_t*>(rec) + sizeof(PN64_HEADER); }
inline int64_t mx_body_len(const void* rec) { return int64_t(rec_size64(rec)) - int64_t(sizeof(PN64_HEADER)); }

// The whole record at fofs when it is of this type and its body holds at least min_body
// bytes; null otherwise (fofs not positive, unreadable, another type, too short). The
// caller frees it with d_f_ree.
uint8_t* mx_read_record(PDB64* p, int64_t fofs, uint16_t type, int64_t min_body);
// The type of the record at fofs, or -1 when its head cannot be read (fofs not positive).
int mx_record_type(PDB64* p, int64_t fofs);

// Where a record of this type and size goes, by the reuse rule: the record at fofs when it
// is of the same type and size; else a new place (the caller frees the old record once the
// new one is written; a record of another type at fofs is not its own). -1 when no place
// can be had.
int64_t mx_place_record(PDB64* p, int64_t fofs, uint16_t type, uint64_t size);
// A new place for a record of this type and size; -1 when none can be had.
int64_t mx_alloc_record(PDB64* p, uint16_t type, uint64_t size);
// Writes the record (head in file order) at fofs: 0, or -1 when the write fails.
int mx_write_record(PDB64* p, int64_t fofs, const void* rec);
// Frees the record at fofs when it is of this type: 0, or -1 (left alone; so is a record
// that waits to be freed already).
int mx_free_record(PDB64* p, int64_t fofs, uint16_t type);
// The same for a record that the node index as last written back may still name, directly
// (a node record whose key the cached index no longer holds) or through such a node record
// (its channel records, child list and ring entry): it is freed once the index's change is
// written back (favt64_free_later). 0, or -1 when it is of another type (left alone).
int mx_free_record_later(PDB64* p, int64_t fofs, uint16_t type);

}  // namespace tq
