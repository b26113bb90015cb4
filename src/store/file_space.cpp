// The file space: open and close with the header's open mark, the free chain on disk and in
// memory, first-fit allocation and retirement with merging and end trimming.
//
// The chain runs from the anchor through free blocks in strictly descending order of
// offset; no two listed blocks touch. Every change is written to disk at once, so the
// in-memory chain is only a cache of it. No block of a disk length without a head
// (65534..65537, 4294967288..4294967291) is ever made: a split that would leave one passes
// the block over, a merge that would make one is not done and the retired record stays out
// of the chain (as a record below 24 bytes would).
#include "store/file_space.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/startup.h"
#include "store/record_io.h"
#include "store/tree_cache.h"
#include "stream/format.h"

namespace tq {

namespace {

bool read_write(int oflags) { return (oflags & O_ACCMODE) == O_RDWR; }

// An open that may change the file's bytes: it takes the writer's lock.
bool may_write(int oflags) { return (oflags & O_ACCMODE) != O_RDONLY || (oflags & O_TRUNC); }

// The writer's lock: an exclusive advisory lock on the handle's own open file, held while
// the handle is open and dropped by the kernel when the descriptor closes or the process
// ends. Unlike the header's mark it never outlives its holder, so it tells a live holder
// (another process, or another handle of this one) from a mark left behind. 0, or -1 with
// EBUSY while a live handle holds it. A file whose system has no such locks, or a
// descriptor the root file helper holds, has the mark alone.
int lock_for_writing(PDB64* p) {
  if (u_is_helper_fd(p->fid)) return 0;
  while (flock(p->fid, LOCK_EX | LOCK_NB) < 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return 0;
    errno = EBUSY;
    return -1;
  }
  return 0;
}

uint64_t disk_of(const FREELIST64* e) { return disk_len64(e->f.h.size); }
uint64_t end_of(const FREELIST64* e) { return e->fofs + disk_of(e); }

FREELIST64* new_element(const PN64_FREELIST& f, uint64_t fofs) {
  auto* e = static_cast<FREELIST64*>(d_calloc(1, sizeof(FREELIST64)));
  e->f = f;
  e->fofs = fofs;
  return e;
}

constexpr int kChainRecord = kMaxPhysHead + int(kFreelistMem - sizeof(PN64_HEADER));  // most bytes

bool seek_to(PDB64* p, uint64_t ofs) { return fac_lseek(&p->fac, int64_t(ofs), SEEK_SET) == int64_t(ofs); }

// The chain writes of the store call under way that must leave its file as it found it when
// it fails (a retirement, an allocation's framing): each keeps the bytes it writes over, and
// roll_back puts them back, last first. The call holds its file in the page cache meanwhile
// (fac_hold): the pages it wrote stay dirty, so a write putting back is a write of bytes
// written within the hold, which the cache's bound never refuses (page_cache.h). The chain
// in memory changes only once every write of the call has gone. Calls do not nest.
class Undo {
 public:
  explicit Undo(PDB64* p) : p_(p) {
    fac_hold(&p->fac);
    active = this;
  }
  ~Undo() {
    fac_release(&p_->fac);
    active = nullptr;
  }
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  // Writes n bytes at ofs, keeping those there: 0, or -1 (errno set) having written none.
  int write(uint64_t ofs, const unsigned char* b, int n) {
    if (count_ == kMaxWrites) er_panic("Undo");
    Kept& k = kept_[count_];
    if (!seek_to(p_, ofs) || fac_read(&p_->fac, k.old, n) != n) {
      errno = EIO;
      return -1;
    }
    if (!seek_to(p_, ofs) || fa_write64(p_, b, uint64_t(n)) < 0) return -1;
    k.ofs = ofs;
    k.n = n;
    ++count_;
    return 0;
  }
  void roll_back() {
    const int err = errno;
    for (; count_ > 0; --count_) {
      const Kept& k = kept_[count_ - 1];
      if (seek_to(p_, k.ofs)) fa_write64(p_, k.old, uint64_t(k.n));
    }
    errno = err;
  }
  static Undo* active;
  PDB64* const p_;

 private:
  static constexpr int kMaxWrites = 3;  // an allocation's split
  struct Kept {
    uint64_t ofs;
    int n;
    unsigned char old[kChainRecord];
  };
  Kept kept_[kMaxWrites];
  int count_ = 0;
};
Undo* Undo::active;

// Writes a chain record (head and next) at ofs in one write, so that a failed write
// leaves the bytes there as they were (through the call's Undo when it has one): 0, or -1
// (errno set).
int put_freelist64(PDB64* p, const PN64_FREELIST* fl, uint64_t ofs) {
  unsigned char rec[kFreelistMem];
  freelist64_to_record(rec, fl);
  unsigned char out[kChainRecord];
  const int hlen = pack_phys_header64(out, rec_type64(rec), rec_size64(rec));
  std::memcpy(out + hlen, rec + sizeof(PN64_HEADER), kFreelistMem - sizeof(PN64_HEADER));
  const int n = hlen + int(kFreelistMem - sizeof(PN64_HEADER));
  if (Undo::active && Undo::active->p_ == p) return Undo::active->write(ofs, out, n);
  if (!seek_to(p, ofs)) return -1;
  return fa_write64(p, out, uint64_t(n)) < 0 ? -1 : 0;
}

// e's record with another memory size, or with another next; written before the
// in-memory element changes, so a failed write leaves memory and disk alike.
int grow_element(PDB64* p, FREELIST64* e, uint64_t m) {
  PN64_FREELIST f = e->f;
  f.h.size = m;
  if (put_freelist64(p, &f, e->fofs) < 0) return -1;
  e->f = f;
  return 0;
}

// Lists the block (ofs, memory size m) after e: its record first, then e's link to it. 0,
// -1 when a write failed (the chain is then as it was).
int link_block(PDB64* p, FREELIST64* e, uint64_t ofs, uint64_t m) {
  PN64_FREELIST f{};
  f.h.type = kRecFreeBlock;
  f.h.size = m;
  f.next = e->f.next;
  PN64_FREELIST linked = e->f;
  linked.next = ofs;
  if (put_freelist64(p, &f, ofs) < 0 || put_freelist64(p, &linked, e->fofs) < 0) return -1;
  FREELIST64* n = new_element(f, ofs);
  n->next = e->next;
  e->next = n;
  e->f.next = ofs;
  return 0;
}

// The record e takes when its successor leaves the chain, into *f: 0, or -1 when e has
// none or it cannot be read.
int without_next(PDB64* p, const FREELIST64* e, PN64_FREELIST* f) {
  if (e->f.next == 0) return -1;
  *f = e->f;
  PN64_FREELIST gone;
  if (!e->next && load_freelist64(p, &gone, e->f.next) < 0) return -1;
  f->next = e->next ? e->next->f.next : gone.next;
  return 0;
}

// e's successor leaves the chain in memory, e taking the record f written for it.
void drop_next(PDB64* p, FREELIST64* e, const PN64_FREELIST& f) {
  debug_pdb64_list(p, 4, int64_t(e->f.next), 0);
  FREELIST64* s = e->next;
  e->f = f;
  if (s) {
    e->next = s->next;
    d_f_ree(s);
  }
}

// Takes e's successor out of the chain (e is rewritten; the successor's block is not):
// 0, -1 when e has none or it cannot be read, -2 when e could not be written (the chain
// is then as it was). Its offset goes to *ofs.
int unlink_next(uint64_t* ofs, PDB64* p, FREELIST64* e) {
  PN64_FREELIST f;
  if (without_next(p, e, &f) < 0) return -1;
  const uint64_t d = e->f.next;
  if (put_freelist64(p, &f, e->fofs) < 0) return -2;
  drop_next(p, e, f);
  if (ofs) *ofs = d;
  return 0;
}

// Closes a handle whose open failed and leaves the file as the open found it: nothing the
// open wrote into the cache goes to the disk, and a file found empty (whose new header may
// have gone out in part) is empty again. Keeps the failure's errno.
PDB64* fail_open(PDB64* p, int err, bool found_empty) {
  fac_discard(&p->fac);
  if (found_empty) fac_truncate(&p->fac, 0);
  close_pdb64(p);
  errno = err;
  return nullptr;
}

// The open mark as the disk has it, read past the cache (whose page has the new value
// either way): a write-back that reported failure may still have carried it out, in the
// prefix a short write wrote. 1 set, 0 clear, -1 unknown. The flags lie 24 bytes into the
// header's body, after a packed head of whatever class the header has (the open takes any
// header of at least 44 bytes in memory, not only the 32-byte one it writes).
int disk_mark(PDB64* p) {
  unsigned char b[kMaxPhysHead + kFileHeaderFlagsAt + 4];
  const ssize_t got = pread(p->fid, b, sizeof b, 0);
  if (got < 4) return -1;
  const int at = phys_head_len16(get_be16(b + 2)) + kFileHeaderFlagsAt;
  if (got < at + 4) return -1;
  return get_be32(b + at) & kFileHeaderOpenMark ? 1 : 0;
}

// Header and, with a free list, anchor of a new file.
int create_file(PDB64* p, int oflags, uint32_t flags, int32_t type, const char* encoding) {
  PN64_FILE_HEADER fh{};
  fh.h.type = kRecFileHeader;
  fh.h.size = kFileHeaderMem;
  fh.type = type;
  std::memcpy(fh.version, kStoreVersion, sizeof kStoreVersion);
  // At most 7 characters and the NUL: a longer name is cut, never written past the field.
  std::strncpy(fh.encoding, encoding ? encoding : "UTF-8", sizeof fh.encoding - 1);
  fh.flags = read_write(oflags) ? kFileHeaderOpenMark : 0;
  unsigned char rec[kFileHeaderMem];
  file_header64_to_record(rec, &fh);
  if (fs_raw_write64(p, rec, 0) < 0) return -1;
  if (flags & kFsFreeList) {
    PN64_FREELIST anchor{};
    anchor.h.type = kRecFreeAnchor;
    anchor.h.size = kFreelistMem;
    unsigned char arec[kFreelistMem];
    freelist64_to_record(arec, &anchor);
    int64_t at = fs_raw_write64(p, arec, 0);
    if (at < 0) return -1;
    p->freelist_work = new_element(anchor, uint64_t(at));
  }
  return 0;
}

// Reads the header at offset 0 (at least its 44 bytes). Null when there is none.
unsigned char* read_header_record(PDB64* p, PN64_FILE_HEADER* fh) {
  uint64_t at = 0;
  auto* rec = static_cast<unsigned char*>(get_file_record64(&at, p, -1, 0));
  if (!rec) return nullptr;
  if (rec_size64(rec) < kFileHeaderMem) {  // too short to hold the flags: damaged
    d_f_ree(rec);
    return nullptr;
  }
  file_header64_from_record(fh, rec);
  return rec;
}

// Sets or clears the open mark in the header: 0, -1 (errno set) when the header could not
// be read or the write failed, -2 when there is no header to mark (a file cut to nothing).
// A header that already says so is not written again.
int set_open_mark(PDB64* p, bool on) {
  PN64_FILE_HEADER fh;
  unsigned char* rec = read_header_record(p, &fh);
  if (!rec) {
    const bool cut = file_length64(p) == 0;
    errno = EIO;
    return cut ? -2 : -1;
  }
  const uint32_t was = uint32_t(fh.flags);
  const uint32_t flags = on ? was | kFileHeaderOpenMark : was & ~uint32_t(kFileHeaderOpenMark);
  put_be32(rec + sizeof(PN64_HEADER) + kFileHeaderFlagsAt, flags);
  int rc = flags == was || write_filespace64f(p, 0, rec) >= 0 ? 0 : -1;
  d_f_ree(rec);
  return rc;
}

// Writes back the file's pages when the last change was the open mark, set to `want` (1 or
// 0): 0 when the disk has the mark so, -1 (errno of the write-back) when not. A write-back
// that reported failure may still have carried the mark out, in the prefix a short write
// wrote, so the disk decides; the header page is then dropped unwritten, being as on disk
// when the mark went out, and not to go out later when it did not.
int flush_mark(PDB64* p, int want) {
  if (fac_flush(&p->fac) == 0) return 0;
  const int err = errno;
  const bool there = disk_mark(p) == want;
  fac_discard(&p->fac);
  errno = err;
  return there ? 0 : -1;
}

// Clears the open mark on disk, every other byte of the file being there already: 0, also
// when there is no header to mark; -1 (errno set) with the mark still set on disk.
int clear_mark_on_disk(PDB64* p) {
  const int rc = set_open_mark(p, false);
  return rc == -2 ? 0 : rc < 0 ? -1 : flush_mark(p, 0);
}

// Finds the anchor of an existing file and makes it the chain's first element.
bool find_anchor(PDB64* p) {
  uint64_t at = 0;
  auto* rec = static_cast<unsigned char*>(get_file_record64(&at, p, int16_t(kRecFreeAnchor), kFreelistMem));
  if (!rec) return false;
  bool ok = rec_size64(rec) >= kFreelistMem;
  if (ok) {
    PN64_FREELIST f;
    freelist64_from_record(&f, rec);
    p->freelist_work = new_element(f, at);
  }
  d_f_ree(rec);
  return ok;
}

int open_existing(PDB64* p, int oflags, uint32_t flags) {
  if (read_write(oflags)) {
    PN64_FILE_HEADER fh;
    unsigned char* rec = read_header_record(p, &fh);
    if (!rec) {
      errno = EIO;
      return -1;
    }
    d_f_ree(rec);
    if (fh.flags & kFileHeaderOpenMark) {
      errno = EBUSY;
      return -1;
    }
  }
  // The anchor is looked for before the mark is set, so a refused open leaves no mark.
  if (!find_anchor(p) && (flags & kFsFreeList)) {
    errno = EIO;
    return -1;
  }
  return read_write(oflags) && set_open_mark(p, true) < 0 ? -1 : 0;
}

// The new memory size of a block grown to disk length d, or 0 when d has no head.
uint64_t merged_mem(uint64_t d) { return disk_len_has_head64(d) ? mem_size64(d) : 0; }

// Moves block b down to ofs with the new disk length d, relinking it from prev: the moved
// record first, then the link. 0, -1 when a write failed (the chain is then as it was).
int move_block_down(PDB64* p, FREELIST64* prev, FREELIST64* b, uint64_t ofs, uint64_t d) {
  PN64_FREELIST moved = b->f, linked = prev->f;
  moved.h.size = mem_size64(d);
  linked.next = ofs;
  if (put_freelist64(p, &moved, ofs) < 0 || put_freelist64(p, &linked, prev->fofs) < 0) return -1;
  b->f = moved;
  b->fofs = ofs;
  prev->f = linked;
  return 0;
}

// Lists the record (ofs, disk length d) after e, unless it is too small to hold a
// free-block record (it is then lost until merged or cut).
int list_record(PDB64* p, FREELIST64* e, uint64_t ofs, uint64_t d) {
  return mem_size64(d) < kMinRecordMem ? 0 : link_block(p, e, ofs, mem_size64(d));
}

// Retirement of a record (ofs, disk length d) that lies below the first free block
// `upper`: 0, or -1 when a write failed.
int free_below(PDB64* p, FREELIST64* upper, uint64_t ofs, uint64_t d) {
  FREELIST64* prev = p->freelist_work;
  for (;;) {
    FREELIST64* lower = next_freelist64(p, upper);
    bool touches_upper = ofs + d == upper->fofs;
    if (!lower) {  // below every free block
      if (!touches_upper) return list_record(p, upper, ofs, d);
      return merged_mem(d + disk_of(upper)) ? move_block_down(p, prev, upper, ofs, d + disk_of(upper)) : 0;
    }
    if (lower->fofs < ofs && ofs < upper->fofs) {
      bool touches_lower = end_of(lower) == ofs;
      if (touches_upper && touches_lower) {
        uint64_t sum = disk_of(lower) + d + disk_of(upper);
        if (!merged_mem(sum)) return 0;
        // Upper leaves the chain before lower grows over the record and it, so no byte is
        // ever listed twice; memory follows once both are written.
        PN64_FREELIST f, grown = lower->f;
        grown.h.size = mem_size64(sum);
        if (without_next(p, prev, &f) < 0) er_panic("free_filespace64(1)");
        if (put_freelist64(p, &f, prev->fofs) < 0 || put_freelist64(p, &grown, lower->fofs) < 0) return -1;
        drop_next(p, prev, f);
        lower->f = grown;
        return 0;
      }
      if (touches_upper)
        return merged_mem(d + disk_of(upper)) ? move_block_down(p, prev, upper, ofs, d + disk_of(upper)) : 0;
      if (touches_lower) {
        uint64_t m = merged_mem(disk_of(lower) + d);
        return m ? grow_element(p, lower, m) : 0;
      }
      return list_record(p, upper, ofs, d);
    }
    prev = upper;
    upper = lower;
  }
}

// The first free block that ends at n and its predecessor, or null.
FREELIST64* block_ending_at(PDB64* p, uint64_t n, FREELIST64** prev_out) {
  if (!p->freelist_work) er_panic("truncate_check(1)");
  FREELIST64* prev = p->freelist_work;
  for (FREELIST64* e = next_freelist64(p, prev); e; prev = e, e = next_freelist64(p, e)) {
    if (end_of(e) != n) continue;
    *prev_out = prev;
    return e;
  }
  return nullptr;
}

// Retirement of the last record (at ofs): a free block that ends at ofs leaves the chain,
// then the file is cut to where the free room starts. 0, or -1 when the chain could not
// be written or the file not be cut (the chain in memory is then as it was).
int free_last(PDB64* p, uint64_t ofs) {
  if (!p->freelist_work) {  // a caller's error: the file is cut before the stop
    fac_truncate(&p->fac, ofs);
    er_panic("truncate_check(1)");
  }
  FREELIST64* prev = nullptr;
  FREELIST64* e = block_ending_at(p, ofs, &prev);
  PN64_FREELIST f;
  if (e && without_next(p, prev, &f) < 0) er_panic("truncate_cache64(1)");
  if ((e && put_freelist64(p, &f, prev->fofs) < 0) || fac_truncate(&p->fac, e ? e->fofs : ofs) < 0) return -1;
  if (e) drop_next(p, prev, f);
  return 0;
}

}  // namespace

PDB64* open_filespace64(const char* path, int oflags, int mode, uint32_t flags, int32_t type,
                        const char* encoding) {
  // The system open does not truncate: a live holder's file is refused before a byte of it
  // changes. Once the lock is had, a truncating open starts the file anew, a mark left
  // behind included: it asks to drop the bytes the mark guards.
  PDB64* p = open_pdb64(path, oflags & ~O_TRUNC, mode, int(flags & 0xFFFF));
  if (!p) return nullptr;
  if ((oflags & O_TRUNC) && u_is_helper_fd(p->fid)) {
    // The root file helper's descriptor can be neither locked nor cut from here: its own
    // open cuts the file, with the mark alone to guard it.
    close_pdb64(p);
    p = open_pdb64(path, oflags, mode, int(flags & 0xFFFF));
    if (!p) return nullptr;
  }
  p->oflags = oflags;
  p->pdb64_debug_root = nullptr;
  if (may_write(oflags) && lock_for_writing(p) < 0) return fail_open(p, EBUSY, false);
  if ((oflags & O_TRUNC) && fac_truncate(&p->fac, 0) < 0) return fail_open(p, errno, false);
  int64_t len = file_length64(p);
  if (len < 0) return fail_open(p, EIO, false);
  int rc = len == 0 ? create_file(p, oflags, flags, type, encoding) : open_existing(p, oflags, flags);
  // An existing file's open wrote only its mark: once the mark is on the disk the open has
  // done its work.
  if (rc == 0 && (len > 0 && read_write(oflags) ? flush_mark(p, 1) : fac_flush(&p->fac)) < 0) rc = -1;
  if (rc < 0) {
    int err = errno;
    if (p->freelist_work) free_freelist64(p->freelist_work);
    return fail_open(p, err, len == 0);
  }
  return p;
}

int close_filespace64(PDB64* p) {
  // The open mark goes last, and only when every write before it succeeded: the tree
  // records (with the frees they wait for) and every page on disk. A close that failed
  // leaves the file marked, and so refused at a read-write open.
  int rc = 0, err = 0;
  auto fail = [&rc, &err] {
    if (rc == 0) err = errno;
    rc = -1;
  };
  if (close_favt64_cache(p) < 0) fail();  // every tree record of the file is written and dropped
  if (p->freelist_work) free_freelist64(p->freelist_work);
  p->freelist_work = nullptr;
  if (rc == 0 && fac_flush(&p->fac) < 0) fail();
  if (rc == 0 && read_write(p->oflags) && clear_mark_on_disk(p) < 0) fail();
  debug_pdb64_list(p, 5, 0, 0);
  if (close_pdb64(p) < 0) fail();
  if (rc < 0) errno = err;
  return rc;
}

int unmark_filespace64(PDB64* p) {
  if (flush_favt64_cache(p) < 0 || fac_flush(&p->fac) < 0) return -1;
  return read_write(p->oflags) ? clear_mark_on_disk(p) : 0;
}

void flush_filespace64(PDB64* p) { flush_favt64_cache(p); }

int truncate_filespace64(PDB64* p) {
  // Nothing cached may be written into the emptied file later, and no chain element names
  // a block that is gone.
  discard_favt64_cache(p);
  if (p->freelist_work) free_freelist64(p->freelist_work);
  p->freelist_work = nullptr;
  return fac_truncate(&p->fac, 0);
}

int load_freelist64(PDB64* p, PN64_FREELIST* fl, uint64_t ofs) {
  if (ofs == kFirstRecordOffset) ss_printf("LOAD FREELIST64\n");
  uint64_t at = ofs;
  auto* rec = static_cast<unsigned char*>(get_file_record64(&at, p, 0, kFreelistMem));
  if (!rec) return -1;
  int rc = -1;
  if (rec_size64(rec) >= kFreelistMem) {  // smaller records cannot be free blocks: damaged
    freelist64_from_record(fl, rec);
    rc = 0;
  }
  d_f_ree(rec);
  return rc;
}

void save_freelist64(PDB64* p, const PN64_FREELIST* fl, uint64_t ofs) {
  if (put_freelist64(p, fl, ofs) < 0) er_panic("save_freelist");
}

FREELIST64* next_freelist64(PDB64* p, FREELIST64* e) {
  if (e->next) return e->next;
  if (e->f.next == 0) return nullptr;
  PN64_FREELIST f{};
  if (load_freelist64(p, &f, e->f.next) < 0 || (f.h.type != kRecFreeAnchor && f.h.type != kRecFreeBlock))
    er_panic("next_freelist(2)");
  e->next = new_element(f, e->f.next);
  return e->next;
}

FREELIST64* insert_freelist64(PDB64* p, FREELIST64* e, uint64_t ofs, int64_t m) {
  if (m < int64_t(kMinRecordMem)) return nullptr;  // too small to list: lost until merged or cut
  if (link_block(p, e, ofs, uint64_t(m)) < 0) er_panic("save_freelist");
  return e->next;
}

int delete_freelist64(uint64_t* ofs, PDB64* p, FREELIST64* e) {
  int rc = unlink_next(ofs, p, e);
  if (rc == -2) er_panic("save_freelist");
  return rc;
}

void free_freelist64(FREELIST64* e) {
  while (e) {
    FREELIST64* n = e->next;
    d_f_ree(e);
    e = n;
  }
}

int truncate_check64(PDB64* p, uint64_t n) {
  FREELIST64* prev = nullptr;
  FREELIST64* e = block_ending_at(p, n, &prev);
  if (!e) return 0;
  uint64_t start = e->fofs;
  if (delete_freelist64(nullptr, p, prev) < 0) er_panic("truncate_cache64(1)");
  return fac_truncate(&p->fac, start);
}

int64_t alloc_filespace64(PDB64* p, const PN64_HEADER* h) {
  favt64_free_pending(p);  // room freed since the last write-back can be had again
  check_freelist64(p);
  uint64_t m = h->size;
  if (m < kMinRecordMem) er_panic("alloc_filespace sizeoerror(1)");
  if (!p->freelist_work) er_panic("alloc_filespace(1)");
  uint64_t want = disk_len64(m);
  PN64_FREELIST head{};
  head.h.type = h->type;
  head.h.size = m;
  int64_t result;
  FREELIST64* prev = p->freelist_work;
  for (;;) {
    FREELIST64* cur = next_freelist64(p, prev);
    if (!cur) {  // nothing fits: append
      unsigned char rec[sizeof(PN64_HEADER)];
      set_rec_head64(rec, h->type, m);
      result = fs_raw_write64(p, rec, 3);
      break;
    }
    // A block taken is written over (the new head, and where it splits the upper part's
    // record) before the link leaves it; a failed write puts back what the writes before it
    // wrote (Undo), so the file and the chain are as they were, and the call answers -1.
    if (cur->f.h.size == m) {  // exact fit: the block leaves the chain
      Undo undo(p);
      result = int64_t(cur->fofs);
      int gone = put_freelist64(p, &head, uint64_t(result)) < 0 ? -2 : unlink_next(nullptr, p, prev);
      if (gone == -1) er_panic("alloc_filespace(2)");
      if (gone < 0) {
        undo.roll_back();
        return -1;
      }
      break;
    }
    uint64_t have = disk_of(cur);
    if (have > want + 12 && disk_len_has_head64(have - want)) {  // split: the upper part stays free
      result = int64_t(cur->fofs);
      PN64_FREELIST upper = cur->f, linked = prev->f;
      upper.h.size = mem_size64(have - want);
      linked.next = cur->fofs + want;
      Undo undo(p);
      if (put_freelist64(p, &upper, linked.next) < 0 || put_freelist64(p, &head, uint64_t(result)) < 0 ||
          put_freelist64(p, &linked, prev->fofs) < 0) {
        undo.roll_back();
        return -1;
      }
      cur->fofs = linked.next;
      cur->f = upper;
      prev->f = linked;
      break;
    }
    prev = cur;
  }
  check_freelist64(p);
  if (result >= 0) debug_pdb64_list(p, 1, result, int64_t(m));
  return result;
}

int free_filespace64(PDB64* p, uint64_t ofs) {
  check_freelist64(p);
  if (ofs == 0) er_panic("free_filespace64");
  PN64_FREELIST rec;
  if (load_freelist64(p, &rec, ofs) < 0) return -1;
  uint64_t d = disk_len64(rec.h.size);
  int64_t len = file_length64(p);
  if (len < 0) return -1;
  // A write that fails puts back what the retirement wrote before it: the record stays its
  // owner's, the file and the chain as they were.
  Undo undo(p);
  int rc;
  if (ofs + d >= uint64_t(len)) {  // the last record: the file shrinks
    rc = free_last(p, ofs);
  } else {
    if (!p->freelist_work) er_panic("free_filespace(1)");
    FREELIST64* anchor = p->freelist_work;
    FREELIST64* first = next_freelist64(p, anchor);
    if (!first) {
      rc = list_record(p, anchor, ofs, d);
    } else if (ofs > first->fofs) {  // above every free block
      if (end_of(first) == ofs) {
        uint64_t m = merged_mem(disk_of(first) + d);
        rc = m ? grow_element(p, first, m) : 0;
      } else if (ofs < end_of(first)) {
        s_printf(s_stderr, "=== %lli %lli / %lli %lli\n", (long long)end_of(first), (long long)ofs,
                 (long long)first->fofs, (long long)disk_of(first));
        er_panic("free_filespace(1-1)");
      } else {
        rc = list_record(p, anchor, ofs, d);
      }
    } else {
      rc = free_below(p, first, ofs, d);
    }
  }
  if (rc < 0) {
    undo.roll_back();
    return -1;
  }
  check_freelist64(p);
  return 0;
}

}  // namespace tq
