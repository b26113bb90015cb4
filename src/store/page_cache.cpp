// The store file's page cache: 4096-byte pages of every open store file in one LRU ring,
// each file's pages also in a hash index (found by offset in constant time) and its dirty
// pages in a list of their own. Pages are read lazily, written back in ascending order per
// file on flush, close, or when dirty pages reach three quarters of the limit; only clean
// pages are evicted.
//
// Eviction takes clean pages from the cold end of the ring. A dirty page it finds there is
// parked: moved to a ring of its own, where it waits until written back and then goes to
// the cold end of the LRU ring, being older than every page there. So making a page costs
// the same however many pages are dirty: no walk passes a dirty page twice, and the walk
// stops at the first pinned page (the pages a write is gathering, all at the warm end).
//
// Write-back sorts the file's dirty pages by offset and hands every run of adjacent pages
// to one positioned system write (up to kRunPages pages), instead of a seek and a write per
// page; what a short write left out stays dirty. A zero fill (the body of a record just
// allocated, written over by the record at once) marks its bytes as zeros beyond the
// page's filled bytes instead of copying them; they are put in the buffer only when
// something reads or writes back the page before the record covers them.
//
// A page that leaves the cache goes with its buffer to a spare list, from which the next
// page made takes both, while cached and spare pages together stay within the page limit;
// spares above a lowered limit are freed as pages are made or dropped. So a file closed and
// a file opened after it reuse the same memory, and the cost of a large file does not hang
// on what the system heap does with freed memory (it gave a closed file's buffers back to
// the system, and every page of the next file faulted in again). Buffers come from the
// page arena (page_arena.h). Under the address sanitizer a spare's buffer waits poisoned,
// so that a view kept past the drop is caught as on freed memory (the entry stays
// readable: the leak checker finds the buffer through it).
//
// A call that answers -1 has changed nothing: a write gathers (and pins against eviction)
// every page it touches, reading in those it covers only in part, before it copies a byte,
// and a page it made for a write that then failed goes again. A write-back is owned by the
// file whose pages it writes: when one a write triggers for room fails, the write still
// succeeds, and the pages that did not go stay dirty for their own file's next flush or
// close to try and report. While they stay, the cache holds at most kFacBoundFactor times
// its limit: a write that needs one more page eviction cannot take (a new page, or a clean
// one it would make dirty) then fails with the failed write-back's errno, after a new try at
// the disk once a quarter of the limit's pages have been refused. Only bytes put on disk end
// the wait early: a page dropped or cut unwritten, or one with no bytes, says nothing of the
// disk. A hold (fac_hold) keeps the pages a store call changes dirty through the write-back
// for room, which writes them all the same (their bytes are evidence of room like any), so
// that the call can put back what it wrote without a page the bound refuses. Such a page is
// then kept: dirty, its bytes on disk. Until it changes again it is not written for room
// again, nor counted towards the next write-back, so a call that holds many pages costs no
// more than one that holds none; the first write-back after the hold cleans it.
//
// Invariants: every byte between real_file_size and file_size lies in a dirty page; dirty
// and pinned pages are never evicted; seek_point never exceeds file_size; no page starts
// beyond file_size (outside a write's gathering); a page is in its file's dirty list
// exactly when it is dirty; a parked page is dirty and older than every page of the LRU
// ring; pinned pages lie together at the warm end of the ring.
#include "store/page_cache.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/machine.h"
#include "platform/poison.h"
#include "platform/startup.h"
#include "store/page_arena.h"

namespace tq {

FAC_GENERAL fac_general_info;
int64_t fac_write_calls;
int64_t fac_system_writes;

namespace {

FAC_GENERAL& g = fac_general_info;
int64_t fail_write_at;  // the value of fac_write_calls whose write fails; 0: none
int fail_write_more;    // calls failing after that one
int fail_write_errno;
int64_t fail_system_at;  // the value of fac_system_writes whose system write fails; 0: none
int fail_system_how;
int fail_system_errno;
bool system_writes_fail;  // every system write fails (a disk that stays full)
bool past_end_fails;      // every system write past its file's size on disk fails
int64_t pages_written;    // pages a system write has put on disk, bytes and all

constexpr int kRunPages = 64;  // most pages in one write of the write-back: 256 KB, still in
                               // the core's cache when the file layer sums them after it
constexpr int kPlainZeros = 65536;  // most zeros written at once without the cache
const unsigned char kZeros[kPlainZeros] = {};

FAC_ENTRY* entry_of(FAC_ENTRY_HEADER* h) { return reinterpret_cast<FAC_ENTRY*>(h); }

uint64_t now() { return uint64_t(int64_t(int32_t(get_tqtime()))); }

void ring_unlink(FAC_ENTRY* e) {
  e->h.prev->next = e->h.next;
  e->h.next->prev = e->h.prev;
  e->h.next = e->h.prev = nullptr;
}

void ring_push_front(FAC_ENTRY* e, FAC_ENTRY_HEADER* head = &g.entries) {
  e->h.next = head->next;
  e->h.prev = head;
  head->next->prev = &e->h;
  head->next = &e->h;
}

void ring_push_back(FAC_ENTRY* e) { ring_push_front(e, g.entries.prev); }

// Moves a dirty page from the cold end of the LRU ring to the parked ring.
void park(FAC_ENTRY* e) {
  ring_unlink(e);
  ring_push_front(e, &g.parked);
  e->parked = 1;
}

// Takes a page off whichever ring holds it.
void unlink_page(FAC_ENTRY* e) {
  ring_unlink(e);
  e->parked = 0;
}

// Ends the wait a failed write-back for room began: writing goes on as before.
void unstick() {
  g.stuck_dirty = 0;
  g.stuck_errno = 0;
  g.refused = 0;
}

void mark_dirty(FAC_ENTRY* e) {
  FAC_INFO* info = e->info;
  e->dirty = 1;
  e->dirty_prev = nullptr;
  e->dirty_next = info->dirty_pages;
  if (info->dirty_pages) info->dirty_pages->dirty_prev = e;
  info->dirty_pages = e;
  ++g.dirty_nos;
}

// A kept page (FAC_ENTRY::kept) that is written again, cleaned or dropped is kept no more.
void unkeep(FAC_ENTRY* e) {
  if (!e->kept) return;
  e->kept = 0;
  --g.kept_nos;
}

// Takes a page out of its file's dirty list: written to the disk, or dropped unwritten.
void mark_clean(FAC_ENTRY* e, bool written) {
  unkeep(e);
  if (e->dirty_prev)
    e->dirty_prev->dirty_next = e->dirty_next;
  else
    e->info->dirty_pages = e->dirty_next;
  if (e->dirty_next) e->dirty_next->dirty_prev = e->dirty_prev;
  e->dirty_next = e->dirty_prev = nullptr;
  e->dirty = 0;
  if (e->parked) {  // older than every page on the LRU ring: the first to go
    unlink_page(e);
    ring_push_back(e);
  }
  // A page the failure left went. Written: the disk takes writes again, write back as
  // usual. Dropped unwritten (truncation, discard, close): that says nothing of the disk,
  // so the wait counts from the pages left and the bound stays, until none is left.
  if (--g.dirty_nos < g.stuck_dirty) {
    if (written || g.dirty_nos == 0)
      unstick();
    else
      g.stuck_dirty = g.dirty_nos;
  }
}

// Puts the zeros a fill left beyond the filled bytes into the buffer.
void fill_zeros(FAC_ENTRY* e) {
  if (e->filled < e->len) std::memset(e->data + e->filled, 0, size_t(e->len - e->filled));
  e->filled = e->len;
}

void push_spare(FAC_ENTRY* e) {
  e->h.next = g.spares ? &g.spares->h : nullptr;
  g.spares = e;
  ++g.spare_nos;
  TQ_POISON(e->data, kFacPage);
}

FAC_ENTRY* pop_spare() {
  FAC_ENTRY* e = g.spares;
  TQ_UNPOISON(e->data, kFacPage);
  g.spares = entry_of(e->h.next);
  --g.spare_nos;
  return e;
}

void free_page(FAC_ENTRY* e) {
  fac_page_free(e->data);
  d_f_ree(e);
}

// Frees spare pages while cached and spare pages together exceed the page limit.
void trim_spares() {
  while (g.spares && g.entries_nos + g.spare_nos > g.total_entries) free_page(pop_spare());
}

// A zeroed page record with its 4096-byte buffer (bytes undefined): a spare when there is
// one, else new. Null when memory is short.
FAC_ENTRY* new_page() {
  trim_spares();
  if (g.spares) {
    FAC_ENTRY* e = pop_spare();
    unsigned char* data = e->data;
    *e = FAC_ENTRY{};
    e->data = data;
    return e;
  }
  unsigned char* data = fac_page_alloc();
  if (!data) return nullptr;
  auto* e = static_cast<FAC_ENTRY*>(d_calloc(1, sizeof(FAC_ENTRY)));
  e->data = data;
  return e;
}

// Takes a page out of the ring and the counts and hands it to the spares; its file's index
// is the caller's.
void release_page(FAC_ENTRY* e) {
  if (e->info->last == e) e->info->last = nullptr;
  unlink_page(e);
  if (e->dirty) mark_clean(e, false);
  --g.entries_nos;
  push_spare(e);
}

// Removes a page from its file's index and the ring and hands it to the spares. what names
// the check.
void drop_entry(FAC_ENTRY* e, const char* what) {
  if (!fac_index_remove(&e->info->index, e->offset)) er_panic(what);
  release_page(e);
  trim_spares();
}

// Drops clean pages from the cold end of the ring while the cache holds more than limit
// pages, parking the dirty ones found there. It stops at keep (the page being handed out)
// or a pinned page: every page warmer than those is pinned too. Nothing left to drop: the
// cache grows until a write-back cleans pages.
void evict(FAC_ENTRY* keep, int limit) {
  while (g.entries_nos > limit && g.entries.prev != &g.entries) {
    FAC_ENTRY* e = entry_of(g.entries.prev);
    if (e == keep || e->pinned) return;
    if (e->dirty)
      park(e);
    else
      drop_entry(e, "get_entry");
  }
}

void write_back_for_room();

// Whether a write may have one more page that cannot be evicted: a page made for it, or
// held (a clean page the cache holds, on the ring, kept from eviction; a read may have made
// it one over the bound). Always, but while a failed write-back for room leaves the cache at
// its bound with nothing to evict: then the disk is tried again once a quarter of the
// limit's pages have been refused, and the page refused (errno of the failed write-back)
// unless that made room.
bool room_for_write(FAC_ENTRY* held) {
  const int64_t bound = int64_t(g.total_entries) * kFacBoundFactor;
  auto fits = [held, bound] { return g.stuck_dirty == 0 || g.entries_nos + (held ? 0 : 1) <= bound; };
  if (fits()) return true;
  ++g.refused;
  write_back_for_room();
  evict(held, g.total_entries - 1);
  if (fits()) return true;
  errno = g.stuck_errno;
  return false;
}

// The page holding pos, made when missing (status 1; its bytes are not read here, and its
// valid bytes are those below the logical end), moved to the front of the ring. Null when
// memory is short, or for a write when the cache has no room (status -1, errno set). A page
// made beyond the logical end is only for a write gathering it.
FAC_ENTRY* fetch_page(int* status, FAC_INFO* info, uint64_t pos, bool write) {
  uint64_t offset = pos & ~uint64_t(kFacPage - 1);
  FAC_ENTRY* e = info->last && info->last->offset == offset ? info->last : nullptr;
  if (!e) {
    if (const FAC_INDEX_SLOT* slot = fac_index_find(&info->index, offset)) {
      // The entry and the page bytes are both cold: ask for the bytes before the entry's
      // ring links stall on it.
      __builtin_prefetch(slot->data + (pos - offset));
      e = slot->entry;
    }
  }
  if (e) {
    *status = 0;
    unlink_page(e);
  } else {
    // A full cache makes room first, so that the page it drops lends the new one its buffer
    // (the same pages go as when the new page is linked first and never chosen).
    evict(nullptr, g.total_entries - 1);
    if (write && !room_for_write(nullptr)) {
      *status = -1;
      return nullptr;
    }
    e = new_page();
    if (!e) return nullptr;
    e->offset = offset;
    e->create_time = now();
    e->info = info;
    fac_index_add(&info->index, offset, e, e->data);
    e->len = info->file_size > offset ? int(std::min<uint64_t>(info->file_size - offset, kFacPage)) : 0;
    *status = 1;
    ++g.entries_nos;
  }
  ring_push_front(e);
  e->access_time = now();
  // A clean page a write makes dirty is one more page eviction cannot take, as a new one is.
  if (write && *status == 0 && !e->dirty && g.stuck_dirty != 0 && !room_for_write(e)) {
    *status = -1;
    return nullptr;
  }
  evict(e, g.total_entries);
  info->last = e;
  return e;
}

// fetch_page for a position up to the logical end: null beyond it.
FAC_ENTRY* get_entry(int* status, FAC_INFO* info, uint64_t pos) {
  return pos > info->file_size ? nullptr : fetch_page(status, info, pos, false);
}

// Reads a page's bytes that exist on disk; the part of len beyond the disk size (there is
// none while the invariants hold) is zeroed. -1 on a failed seek or short read.
int fill_page(FAC_INFO* info, FAC_ENTRY* e) {
  uint64_t on_disk = info->real_file_size > e->offset ? info->real_file_size - e->offset : 0;
  int want = int(std::min<uint64_t>(uint64_t(e->len), on_disk));
  if (want > 0) {
    if (u_lseek64(info->fd, int64_t(e->offset), SEEK_SET) != int64_t(e->offset)) return -1;
    int got = 0;
    while (got < want) {
      ssize_t r = u_read(info->fd, e->data + got, size_t(want - got));
      if (r <= 0) return -1;
      got += int(r);
    }
  }
  e->filled = want;
  fill_zeros(e);
  return 0;
}

// The page holding pos with its bytes read, for reading at pos: null (errno EIO) when it
// cannot be had or its valid bytes end before pos.
FAC_ENTRY* page_for_read(FAC_INFO* info, uint64_t pos) {
  int status;
  FAC_ENTRY* e = get_entry(&status, info, pos);
  if (e && status == 1 && e->len > 0 && fill_page(info, e) < 0) {
    drop_entry(e, "get_entry");
    e = nullptr;
  }
  if (!e || uint64_t(e->len) < pos - e->offset) {
    errno = EIO;
    return nullptr;
  }
  fill_zeros(e);
  return e;
}

// Puts n bytes at s into a page: from in, or zeros when in is null. Zeros that reach the
// end of the page's valid bytes are only noted (the filled bytes end before them).
void put_bytes(FAC_ENTRY* e, int s, const unsigned char* in, int n) {
  if (in) {
    if (s > e->filled) std::memset(e->data + e->filled, 0, size_t(s - e->filled));
    std::memcpy(e->data + s, in, size_t(n));
    e->filled = std::max(e->filled, s + n);
  } else if (s + n >= e->len) {
    e->filled = std::min(e->filled, s);
  } else if (e->filled > s) {
    std::memset(e->data + s, 0, size_t(std::min(e->filled, s + n) - s));
  }
  e->len = std::max(e->len, s + n);
}

// The page of a write of n bytes at `at` (inside one page), holding the bytes the write does
// not cover: read in from the disk when the write covers its valid bytes only in part. Null
// when it cannot be had (errno EIO, or that of a failed write-back when the cache has no
// room), a page made for it dropped again; *made: a new page.
FAC_ENTRY* page_for_write(FAC_INFO* info, uint64_t at, int n, bool* made) {
  int status = 0;  // stays 0 when memory is short
  FAC_ENTRY* e = fetch_page(&status, info, at, true);
  if (!e && status == -1) return nullptr;
  *made = e && status == 1;
  const int s = e ? int(at - e->offset) : 0;
  if (e && e->len >= s &&
      !(*made && (s > 0 || s + n < e->len) && e->offset < info->real_file_size && fill_page(info, e) < 0))
    return e;
  if (*made) drop_entry(e, "get_entry");
  errno = EIO;
  return nullptr;
}

struct WritePage {
  FAC_ENTRY* e;
  bool made;  // made for this write: dropped again when the write fails
};
std::vector<WritePage> write_pages;  // the pages of the write being made, kept for reuse

// Has every page that len bytes at pos touch, pinned, in write_pages (page_for_write for
// each): 0, or -1 (errno EIO) with the pages it made dropped again.
int gather_pages(FAC_INFO* info, uint64_t pos, int len) {
  write_pages.clear();
  for (uint64_t at = pos, end = pos + uint64_t(len); at < end;) {
    const int n = int(std::min<uint64_t>(end - at, kFacPage - (at & (kFacPage - 1))));
    bool made;
    FAC_ENTRY* e = page_for_write(info, at, n, &made);
    if (!e) {
      for (const WritePage& w : write_pages) {
        w.e->pinned = 0;
        if (w.made) drop_entry(w.e, "get_entry");
      }
      write_pages.clear();
      return -1;
    }
    e->pinned = 1;
    write_pages.push_back({e, made});
    at += uint64_t(n);
  }
  return 0;
}

int write_back(FAC_INFO* info, bool for_room = false);

// Writes back every file for room when dirty pages (but kept ones, already on disk) reach
// three quarters of the limit, or when writes were refused at the bound (room_for_write),
// however few pages are dirty then: a write larger than the bound is refused until one
// succeeds. Its result is no caller's: pages that fail stay dirty with their own file. While
// every page one left dirty stays so, the next waits until another quarter of the limit is
// dirty or has been refused.
void write_back_for_room() {
  if (g.refused == 0 && int64_t(g.dirty_nos - g.kept_nos) * 4 < int64_t(g.total_entries) * 3) return;
  if (g.stuck_dirty > 0 && g.dirty_nos + g.refused < g.stuck_dirty + std::max(1, g.total_entries / 4)) return;
  const int64_t went = pages_written;
  bool failed = false;
  int why = 0;
  for (FAC_INFO_HEADER* h = g.info_list.next; h != &g.info_list; h = h->next)
    if (write_back(reinterpret_cast<FAC_INFO*>(h), true) < 0) {
      failed = true;
      why = errno;
    }
  // Kept pages alone left dirty, and no byte put on disk: no sign of room, the wait goes on.
  if (!failed && g.stuck_dirty != 0 && g.dirty_nos > 0 && pages_written == went) {
    failed = true;
    why = g.stuck_errno;
  }
  unstick();
  if (failed) {
    g.stuck_dirty = g.dirty_nos;
    g.stuck_errno = why;
  }
}

// fac_write and fac_write_zeros on a cached file (in null writes zeros): len with errno as
// it was (pages made and a write-back for room may set it), or -1 having changed nothing.
int cached_write(FAC_INFO* info, const unsigned char* in, int len) {
  const int err = errno;
  const uint64_t pos = info->seek_point;
  if (len > 0 && gather_pages(info, pos, len) < 0) return -1;
  uint64_t at = pos;
  for (const WritePage& w : write_pages) {
    if (info->holds > 0) w.e->span = info->hold_span;
    unkeep(w.e);
    const int s = int(at - w.e->offset);
    const int n = int(std::min<uint64_t>(pos + uint64_t(len) - at, uint64_t(kFacPage - s)));
    if (!w.e->dirty) mark_dirty(w.e);
    put_bytes(w.e, s, in ? in + (at - pos) : nullptr, n);
    w.e->pinned = 0;
    at += uint64_t(n);
  }
  write_pages.clear();
  info->seek_point = at;
  info->file_size = std::max(info->file_size, at);
  write_back_for_room();
  errno = err;
  return std::max(len, 0);
}

// fac_write without the cache: the system write's result, errno as it was when it took
// bytes (the file layer's lock around the descriptor's sum clears it).
int plain_write(int fd, const void* buf, size_t n) {
  const int err = errno;
  const ssize_t w = u_write(fd, buf, n);
  if (w >= 0) errno = err;
  return int(w);
}

// True (with errno set) when the failure seam fails this call of fac_write.
bool write_fails() {
  if (++fac_write_calls != fail_write_at) return false;
  fail_write_at = fail_write_more-- > 0 ? fail_write_at + 1 : 0;
  errno = fail_write_errno;
  return true;
}

struct PageRef {
  uint64_t offset;
  FAC_ENTRY* e;
};
std::vector<PageRef> work_pages;  // the write-back's and truncation's list, kept for reuse

// The write-back's positioned system write into a file of disk bytes on disk, and the seam
// that fails it as a disk would.
ssize_t system_write(int fd, iovec* iov, int n, int64_t at, uint64_t disk) {
  size_t len = 0;
  for (int i = 0; i < n; ++i) len += iov[i].iov_len;
  if (++fac_system_writes != fail_system_at) {
    if (!system_writes_fail && !(past_end_fails && uint64_t(at) + len > disk)) return u_pwritev(fd, iov, n, at);
    errno = fail_system_errno;
    return -1;
  }
  fail_system_at = 0;
  system_writes_fail = fail_system_how & kFacFailFromThenOn;
  if (!(fail_system_how & kFacFailShort)) {
    errno = fail_system_errno;
    return -1;
  }
  size_t keep = len / 2;  // half the bytes: the first iovecs whole, then part of one
  int k = 0;
  for (size_t left = keep; left > 0; ++k) {
    iov[k].iov_len = std::min(iov[k].iov_len, left);
    left -= iov[k].iov_len;
  }
  return k > 0 ? u_pwritev(fd, iov, k, at) : 0;
}

bool held(const FAC_ENTRY* e);

// Writes one run of adjacent dirty pages from work_pages[i] (at most kRunPages, every one
// but the last whole) in one system write and marks clean those written whole, but for
// room the held ones (fac_hold), which stay dirty, kept. The index of the page to go on with:
// after the run, or after the page a short write stopped in (that page stays dirty, errno
// EIO, *failed set), or after the run when the write failed (the run stays dirty, errno
// set, *failed set).
size_t write_run(FAC_INFO* info, size_t i, bool for_room, bool* failed) {
  iovec iov[kRunPages];
  int n = 0;
  size_t j = i;
  for (;;) {
    FAC_ENTRY* e = work_pages[j].e;
    fill_zeros(e);
    if (e->len > 0) iov[n++] = iovec{e->data, size_t(e->len)};
    ++j;
    if (j == work_pages.size() || n == kRunPages || e->len != kFacPage ||
        work_pages[j].offset != e->offset + kFacPage)
      break;
  }
  ssize_t w = n > 0 ? system_write(info->fd, iov, n, int64_t(work_pages[i].offset), info->real_file_size) : 0;
  if (w < 0) {
    *failed = true;
    return j;
  }
  uint64_t left = uint64_t(w);
  for (size_t k = i; k < j; ++k) {
    FAC_ENTRY* e = work_pages[k].e;
    if (uint64_t(e->len) > left) {
      errno = EIO;
      *failed = true;
      return k + 1;
    }
    left -= uint64_t(e->len);
    info->real_file_size = std::max(info->real_file_size, e->offset + uint64_t(e->len));
    pages_written += e->len > 0;
    if (!for_room || !held(e)) {
      mark_clean(e, e->len > 0);  // a page with no bytes says nothing of the disk
    } else if (!e->kept) {
      e->kept = 1;
      ++g.kept_nos;
    }
  }
  return j;
}

// True for a page a write changed inside its file's open hold (fac_hold).
bool held(const FAC_ENTRY* e) { return e->info->holds > 0 && e->span == e->info->hold_span; }

// Writes back the file's dirty pages in ascending order of offset (for room, the held ones
// staying dirty, and those kept not written again): 0, or -1 (errno of the last failure) when
// a page could not be written whole; the pages after it are still tried.
int write_back(FAC_INFO* info, bool for_room) {
  work_pages.clear();
  for (FAC_ENTRY* e = info->dirty_pages; e; e = e->dirty_next)
    if (!for_room || !e->kept || !held(e)) work_pages.push_back({e->offset, e});
  std::sort(work_pages.begin(), work_pages.end(),
            [](const PageRef& a, const PageRef& b) { return a.offset < b.offset; });
  int rc = 0, err = 0;
  for (size_t i = 0; i < work_pages.size();) {
    bool failed = false;
    i = write_run(info, i, for_room, &failed);
    if (failed) {
      rc = -1;
      err = errno;
    }
  }
  if (rc < 0) errno = err;
  return rc;
}

// Drops the pages that start at len or beyond, the file's logical size having been
// old_size: by their offsets when there are fewer of those than cached pages, else by a look
// at every cached page.
void drop_from(FAC_INFO* info, uint64_t len, uint64_t old_size) {
  uint64_t first = (len + kFacPage - 1) / kFacPage * kFacPage;
  if (first > old_size) return;  // no page starts there or beyond
  uint64_t top = old_size & ~uint64_t(kFacPage - 1);
  if ((top - first) / kFacPage < info->index.count) {
    for (uint64_t off = top;; off -= kFacPage) {
      if (const FAC_INDEX_SLOT* slot = fac_index_find(&info->index, off)) drop_entry(slot->entry, "fac_truncate");
      if (off == first) break;
    }
    return;
  }
  work_pages.clear();
  const FAC_INDEX& x = info->index;
  for (uint32_t i = 0; x.slots && i <= x.mask; ++i)
    if (x.slots[i].entry && x.slots[i].offset >= len) work_pages.push_back({x.slots[i].offset, x.slots[i].entry});
  for (const PageRef& r : work_pages) drop_entry(r.e, "fac_truncate");
}

// Drops every page of the file, written back or not.
void drop_all_pages(FAC_INFO* info) {
  const FAC_INDEX& x = info->index;
  for (uint32_t i = 0; x.slots && i <= x.mask; ++i)
    if (x.slots[i].entry) release_page(x.slots[i].entry);
  fac_index_clear(&info->index);
  trim_spares();
}

}  // namespace

void fac_init_general() {
  if (g.entries.next) {  // already on: never drop the rings under cached files
    if (g.total_entries == 0) g.total_entries = kFacDefaultPages;
    return;
  }
  g.total_entries = kFacDefaultPages;
  g.entries.next = g.entries.prev = &g.entries;
  g.info_list.next = g.info_list.prev = &g.info_list;
  g.entries_nos = g.dirty_nos = g.kept_nos = 0;
  g.parked.next = g.parked.prev = &g.parked;
  g.spares = nullptr;
  g.spare_nos = 0;
  unstick();
}

int fac_init(FAC_INFO* info) {
  int64_t end = u_lseek64(info->fd, 0, SEEK_END);
  if (end < 0) return -1;
  info->seek_point = 0;
  info->file_size = info->real_file_size = uint64_t(end);
  info->index = FAC_INDEX{};
  info->dirty_pages = nullptr;
  info->last = nullptr;
  info->h.next = g.info_list.next;
  info->h.prev = &g.info_list;
  g.info_list.next->prev = &info->h;
  g.info_list.next = &info->h;
  return 0;
}

PDB64* open_pdb64(const char* path, int oflags, int mode, int flags) {
  int fd = u_open64(path, oflags, mode);
  if (fd < 0) return nullptr;
  auto* p = static_cast<PDB64*>(d_calloc(1, sizeof(PDB64)));
  p->fid = fd;
  p->oflags = oflags;
  p->flags = flags;
  p->fac.fd = fd;
  p->fac.long_file = 1;
  if (g.total_entries > 0 && g.entries.next && fac_init(&p->fac) < 0) {
    int err = errno;
    u_close(fd);
    d_f_ree(p);
    errno = err;
    return nullptr;
  }
  fac_lseek(&p->fac, 0, SEEK_SET);
  p->fofs = 0;
  p->freelist_work = nullptr;
  return p;
}

int close_pdb64(PDB64* p) {
  int rc = fac_close(&p->fac);
  int err = errno;
  if (u_close(p->fid) < 0) {  // never retried: the descriptor is gone whatever close says
    rc = -1;
    err = errno;
  }
  d_f_ree(p);
  errno = err;
  return rc;
}

int64_t fac_lseek(FAC_INFO* info, int64_t offset, int whence) {
  if (!fac_cached(info)) {
    int64_t r = u_lseek64(info->fd, offset, whence);
    return r < 0 ? -1 : r;
  }
  int64_t target;
  switch (whence) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = int64_t(info->seek_point) + offset; break;
    case SEEK_END: target = int64_t(info->file_size) + offset; break;
    default: return -1;
  }
  if (target < 0) return -2;
  if (uint64_t(target) > info->file_size) return -3;
  info->seek_point = uint64_t(target);
  return target;
}

int fac_read(FAC_INFO* info, void* buf, int len) {
  if (!fac_cached(info)) return int(u_read(info->fd, buf, size_t(std::max(len, 0))));
  uint64_t pos = info->seek_point;
  auto* out = static_cast<unsigned char*>(buf);
  int result = 0;
  while (len > 0) {
    FAC_ENTRY* e = page_for_read(info, pos);
    if (!e) return -1;
    int s = int(pos - e->offset);
    int n = std::min(len, e->len - s);
    std::memcpy(out, e->data + s, size_t(n));
    pos += uint64_t(n);
    out += n;
    len -= n;
    result += n;
    if (n == 0) break;  // the end of the file's data
  }
  info->seek_point = pos;
  return result;
}

const unsigned char* fac_view(FAC_INFO* info, int* avail) {
  *avail = 0;
  if (!fac_cached(info)) {
    errno = ENOTSUP;
    return nullptr;
  }
  FAC_ENTRY* e = page_for_read(info, info->seek_point);
  if (!e) return nullptr;
  int s = int(info->seek_point - e->offset);
  *avail = e->len - s;
  return e->data + s;
}

void fac_prefetch(const FAC_INFO* info, uint64_t pos) {
  if (!fac_cached(info) || pos > info->file_size) return;
  uint64_t offset = pos & ~uint64_t(kFacPage - 1);
  if (const FAC_INDEX_SLOT* slot = fac_index_find(&info->index, offset)) {
    __builtin_prefetch(slot->entry);
    __builtin_prefetch(slot->data + (pos - offset));
  }
}

void fac_prefetch_index(const FAC_INFO* info, uint64_t pos) {
  if (fac_cached(info)) fac_index_prefetch(&info->index, pos & ~uint64_t(kFacPage - 1));
}

void fac_fail_write(int n, int err, int count) {
  fail_write_at = n > 0 ? fac_write_calls + n : 0;
  fail_write_more = count - 1;
  fail_write_errno = err;
}

void fac_fail_system_write(int n, int err, int how) {
  past_end_fails = n > 0 && how == kFacFailPastEnd;
  fail_system_at = n > 0 && !past_end_fails ? fac_system_writes + n : 0;
  fail_system_how = how;
  fail_system_errno = err;
  system_writes_fail = false;
}

void fac_hold(FAC_INFO* info) {
  // A new outermost hold takes a number its file's pages never had (0: never held).
  if (info->holds++ == 0 && ++info->hold_span == 0) info->hold_span = 1;
}

void fac_release(FAC_INFO* info) {
  if (info->holds-- <= 0) er_panic("fac_release");
}

int fac_write(FAC_INFO* info, const void* buf, int len) {
  if (write_fails()) return -1;
  if (!fac_cached(info)) return plain_write(info->fd, buf, size_t(std::max(len, 0)));
  return cached_write(info, static_cast<const unsigned char*>(buf), len);
}

int fac_write_zeros(FAC_INFO* info, int len) {
  if (write_fails()) return -1;
  if (!fac_cached(info)) return plain_write(info->fd, kZeros, size_t(std::clamp(len, 0, kPlainZeros)));
  return cached_write(info, nullptr, len);
}

int fac_truncate(FAC_INFO* info, uint64_t len) {
  if (!fac_cached(info)) return ftruncate(info->fd, off_t(len)) < 0 ? -1 : 0;
  if (len > info->file_size) {
    errno = EINVAL;
    return -1;
  }
  // The disk is cut first: when it refuses, the cache is as it was.
  const int64_t disk = u_lseek64(info->fd, 0, SEEK_END);
  if (disk < 0 || (len < uint64_t(disk) && ftruncate(info->fd, off_t(len)) < 0)) return -1;
  drop_from(info, len, info->file_size);
  info->file_size = len;
  info->seek_point = std::min(info->seek_point, len);
  // The page that now ends the file loses its bytes beyond len; a page below it ends at or
  // before len already.
  uint64_t offset = len & ~uint64_t(kFacPage - 1);
  if (const FAC_INDEX_SLOT* slot = fac_index_find(&info->index, offset)) {
    FAC_ENTRY* e = slot->entry;
    if (offset + uint64_t(e->len) >= len) e->len = int(len - offset);
    e->filled = std::min(e->filled, e->len);
  }
  info->real_file_size = std::min(len, uint64_t(disk));
  return 0;
}

int fac_purge_onlyone(FAC_INFO* info) {
  if (write_back(info) < 0) return -1;
  if (info->real_file_size != info->file_size) er_panic("fac_purge(2)");
  return 0;
}

int fac_purge_all() {
  int rc = 0, err = 0;
  for (FAC_INFO_HEADER* h = g.info_list.next; h && h != &g.info_list; h = h->next) {
    if (fac_purge_onlyone(reinterpret_cast<FAC_INFO*>(h)) < 0) {
      rc = -1;
      err = errno;
    }
  }
  if (rc < 0) {
    errno = err;
    return -1;
  }
  if (g.dirty_nos != 0) er_panic("fac_purge");
  return 0;
}

int fac_flush(FAC_INFO* info) { return fac_cached(info) ? fac_purge_onlyone(info) : 0; }

int fac_discard(FAC_INFO* info) {
  if (!fac_cached(info)) return 0;
  drop_all_pages(info);
  const int64_t disk = u_lseek64(info->fd, 0, SEEK_END);
  if (disk >= 0) info->real_file_size = uint64_t(disk);
  info->file_size = info->real_file_size;  // without pages, nothing lies beyond the disk
  info->seek_point = std::min(info->seek_point, info->file_size);
  return disk < 0 ? -1 : 0;
}

int fac_close(FAC_INFO* info) {
  if (!fac_cached(info)) return 0;
  int rc = fac_purge_onlyone(info);
  int err = errno;
  drop_all_pages(info);
  info->h.prev->next = info->h.next;
  info->h.next->prev = info->h.prev;
  info->h.next = info->h.prev = nullptr;
  errno = err;
  return rc;
}

}  // namespace tq
