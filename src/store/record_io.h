// Reading and writing whole store records, or their heads, through the page cache. In
// memory a record is its 16-byte head (in file order) and its body; on disk the head is
// packed into 4, 8 or 12 bytes. Readers check every head against the file: a damaged
// length gives null, never a loop, an overread or an allocation by a stored length.
#pragma once
#include <cstdint>

#include "store/page_cache.h"
#include "store/store_record.h"

namespace tq {

// A record buffer that carries its own offset: fofs (host order), then the head (file
// order) and the body; m + 8 bytes.
struct ACC64_HEADER {
  uint64_t fofs;
};
struct ACC_PN64_HEADER {
  ACC64_HEADER a;
  PN64_HEADER h;
};
static_assert(sizeof(ACC_PN64_HEADER) == 24);

// The logical length of the file (the position moves to the end), or a negative value.
int64_t file_length64(PDB64* p);

// Writes len bytes at the current position, at most 65536 per call of fac_write: len, or -1
// when one of those calls failed. What the calls before it wrote stays written; with the
// cache on, the failed call itself writes nothing, so only a write of at most 65536 bytes
// fails with the file as it was.
int64_t fa_write64(PDB64* p, const void* buf, uint64_t len);
// Writes the packed head of rec (head in file order; packed by the head's memory size m)
// and the first len - 16 body bytes at the current position: the bytes written (packed head
// plus body), or -1. len below m writes part of a longer record (16: the head alone).
int64_t fa_write64_header(PDB64* p, const void* rec, uint64_t len);
// Writes the packed head of rec and m - 16 zero bytes at the current position, whatever
// the body of rec holds (only its 16-byte head is read): the bytes written, or -1.
int64_t fa_write64_zeroed(PDB64* p, const void* rec);
// Appends rec (head in file order) at the end of the file: mode 0 the whole record, 1 the
// head only, 2 and 3 the head and m - 16 zero bytes. The offset it starts at, or -1 when
// the seek or a write failed.
int64_t fs_raw_write64(PDB64* p, const void* rec, int mode);

// Scans records from *ofs (or 0) for one of type t and reads it into a new debug-heap
// buffer (head in file order with the full memory size; at most limit bytes when limit is
// not 0). With ofs given, the record at *ofs itself is taken when t <= 0 and passed over
// when t > 0; *ofs receives the offset found. Null at the end ("get_file_record64-2" is
// printed), for a damaged head ("%i %x %x %lli" printed for a 16-bit length below 4), for a
// record reaching past the end of the file, and on a failed seek or short read.
void* get_file_record64(uint64_t* ofs, PDB64* p, int16_t t, int64_t limit);

// The record at ofs: whole (m + 8 bytes with the offset in front), or its head only (24).
ACC_PN64_HEADER* xx_read_filespace64(PDB64* p, uint64_t ofs, const char* file, int line);
ACC_PN64_HEADER* xx_read_filespace64_header(PDB64* p, uint64_t ofs, const char* file, int line);
// The record at ofs: whole (m bytes), or its 16-byte head.
void* xx_read_filespace64f(PDB64* p, uint64_t ofs, const char* file, int line);
PN64_HEADER* xx_read_filespace64f_header(PDB64* p, uint64_t ofs, const char* file, int line);
#define read_filespace64(p, ofs) ::tq::xx_read_filespace64((p), (ofs), __FILE__, __LINE__)
#define read_filespace64_header(p, ofs) ::tq::xx_read_filespace64_header((p), (ofs), __FILE__, __LINE__)
#define read_filespace64f(p, ofs) ::tq::xx_read_filespace64f((p), (ofs), __FILE__, __LINE__)
#define read_filespace64f_header(p, ofs) ::tq::xx_read_filespace64f_header((p), (ofs), __FILE__, __LINE__)

// Writes a whole record (head in file order) at its own offset / at ofs. The caller writes
// the memory size it allocated. The bytes written, or -1 (also for a failed seek).
int write_filespace64(PDB64* p, const ACC_PN64_HEADER* rec);
int write_filespace64f(PDB64* p, uint64_t ofs, const void* rec);
// The same with a body of zeros: only the head of rec is read, so a caller need not fill
// (or touch) the body it allocated.
int write_filespace64f_zeroed(PDB64* p, uint64_t ofs, const void* rec);

}  // namespace tq
