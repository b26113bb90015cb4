// The file space of a store file: creating and opening the file with its header and the
// read-write open mark, and first-fit allocation over a chain of free blocks kept on disk
// in descending order of offset and mirrored lazily in memory. Single-threaded: shared
// handles go through the store lock.
#pragma once
#include <cstdint>

#include "store/page_cache.h"
#include "store/store_record.h"

namespace tq {

// One element of the in-memory free chain. The first is the anchor (type 259).
struct FREELIST64 {
  PN64_FREELIST f;    // head (type, memory size) and next (offset of the next block, 0 at end)
  uint64_t fofs;      // offset of this record
  FREELIST64* next;   // successor once loaded; null until then and at the end
};

// Flag bit of open_filespace64: the file keeps a free list (it never reaches the handle).
inline constexpr uint32_t kFsFreeList = 0x80000000u;

// Opens or creates a store file. An empty file gets the header (type, version "64-0.6",
// encoding, at most 7 characters, "UTF-8" for null) and, with kFsFreeList, the anchor. A
// read-write open sets the open mark in the header. While a handle that may write is open
// (read-write, write-only or truncating), the file is held: every other such open, in this
// process or another, is refused (EBUSY) before a byte of the file changes (where the file
// system has advisory locks and the descriptor is not the root file helper's; else the
// mark alone refuses, and a truncating open cuts the file as the system open does). A
// truncating open (O_TRUNC) of a file no live handle holds starts it anew, a mark left
// behind by a holder that is gone included; any other read-write open of a marked file is
// refused (EBUSY). Null (errno set) when the file cannot be opened, has no readable header
// (EIO), is held or marked open for writing (EBUSY), lacks the anchor that kFsFreeList
// requires (EIO), or when writing the new header or the mark fails (the cause: ENOSPC, EIO,
// ...). A failed open leaves the file as it found it (but a truncating one, which leaves it
// empty once it may cut it): no mark, and a file found empty empty again. A read-write open
// succeeds when its mark is on disk, even if the write-back that carried it out reported
// failure.
PDB64* open_filespace64(const char* path, int oflags, int mode, uint32_t flags, int32_t type,
                        const char* encoding);
// Writes back and drops the file's cached tree records, releases the in-memory chain,
// writes back the file's pages, clears the open mark and closes: 0, or -1 (errno set) when
// anything could not be written, the header whose mark it clears could not be read (EIO; a
// file cut to nothing has no mark to clear), or the close failed. The mark is cleared only
// when every write before it succeeded, and the close answers 0 exactly when the cleared
// mark is on disk: a file whose close failed stays marked open, and a read-write open
// refuses it (EBUSY); a read-only open still reads it.
int close_filespace64(PDB64* p);
// The close's writes without the close: writes back and drops the file's cached tree
// records (as flush_favt64_cache, the frees they wait for included) and writes back its
// pages, then clears the open mark and writes that back too. 0 when all of it was written:
// the file on disk is whole and unmarked, and close_filespace64 then writes nothing more
// (nothing may be written in between). -1 (errno set) when anything could not be written:
// the mark stays set on disk, and the handle stays open for another try.
// A read-only handle has no mark to clear.
int unmark_filespace64(PDB64* p);
// Writes back the file's cached tree records.
void flush_filespace64(PDB64* p);
// Cuts the file to length 0, dropping the file's cached tree records unwritten and the
// in-memory free chain (the handle then has no free list): 0 or -1.
int truncate_filespace64(PDB64* p);

// Room for a record of h's memory size (host order, at least 24): the offset to write it
// at, or -1 (errno set) when a write failed, the file's bytes and the chain then as they
// were. An exact fit takes a free block whole; a block larger by more than 12 disk bytes is
// split, keeping its upper part free; else the record is appended. The room holds the
// record's head until the caller writes the record.
int64_t alloc_filespace64(PDB64* p, const PN64_HEADER* h);
// Retires the record at ofs: merges it with touching free blocks, or cuts the file when it
// is the last record. 0, or -1 (errno set) when its head cannot be read, a write of the
// chain fails or the file cannot be cut: the file's bytes and the chain are then as they
// were, the record still there.
// Both put back what their earlier writes wrote when a later one fails, and rely for that
// on the page cache's hold (fac_hold): a write of bytes written within it is never refused
// at the cache's bound. An append undone is cut off again, which needs no room either.
int free_filespace64(PDB64* p, uint64_t ofs);

// Free-chain primitives.
int load_freelist64(PDB64* p, PN64_FREELIST* fl, uint64_t ofs);         // host order; 0 or -1
void save_freelist64(PDB64* p, const PN64_FREELIST* fl, uint64_t ofs);  // head and next
FREELIST64* next_freelist64(PDB64* p, FREELIST64* e);
FREELIST64* insert_freelist64(PDB64* p, FREELIST64* e, uint64_t ofs, int64_t m);
int delete_freelist64(uint64_t* ofs, PDB64* p, FREELIST64* e);
void free_freelist64(FREELIST64* e);
// Removes a free block that ends at the new file length n and cuts the file to its start.
// 0, or -1 when the file could not be cut.
int truncate_check64(PDB64* p, uint64_t n);

// Checks: the free chain (0 sound, -1 no free list; a broken chain stops the process), a
// handle (stops with "check_pdb64" when it has no free list), the write-tracking registry
// (never switched on here: every command answers 0).
int check_freelist64(PDB64* p);
// How a chain found out of order pauses (2 seconds) between its diagnostic and the stop
// ("check_freelist64(2)"); sleep_sec unless a test puts a recorder here.
extern void (*check_freelist_pause)(int seconds);
void check_pdb64(PDB64* p);
int debug_pdb64_list(PDB64* p, int cmd, int64_t ofs, int64_t size);
// Prints every record of a file ("%lli H(%x %lli)" per record, then "FINISH"); with a path
// the file is opened read-only here (it must have a free list), else the handle is used.
// Stops at the limit when it is above 0. Returns the result of the last print.
int test_file64(const char* path, PDB64* p, int64_t limit);

}  // namespace tq
