// The store file's page cache: 4096-byte pages of every open store file in one LRU ring,
// each file's pages also in an AVL tree by offset (their order) and in a hash index (found
// by offset in constant time). Pages are read lazily, written back in ascending order per
// file on flush, close, or when dirty pages reach three quarters of the limit; only clean
// pages are evicted.
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
// Invariants: every byte between real_file_size and file_size lies in a dirty page; dirty
// pages are never evicted; seek_point never exceeds file_size.
#include "store/page_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/machine.h"
#include "platform/poison.h"
#include "platform/startup.h"
#include "store/page_arena.h"

namespace tq {

FAC_GENERAL fac_general_info;
int64_t fac_write_calls;

namespace {

FAC_GENERAL& g = fac_general_info;
int64_t fail_write_at;  // the value of fac_write_calls whose write fails; 0: none
int fail_write_more;    // calls failing after that one
int fail_write_errno;

FAC_ENTRY* entry_of(FAC_ENTRY_HEADER* h) { return reinterpret_cast<FAC_ENTRY*>(h); }
FAC_ENTRY* entry_of(AVT_NODE* n) { return static_cast<FAC_ENTRY*>(n->data); }

int fac_cmp(void* a, void* b) {
  uint64_t x = static_cast<FAC_ENTRY*>(a)->offset, y = static_cast<FAC_ENTRY*>(b)->offset;
  return x > y ? 1 : x < y ? -1 : 0;
}

uint64_t now() { return uint64_t(int64_t(int32_t(get_tqtime()))); }

void ring_unlink(FAC_ENTRY* e) {
  e->h.prev->next = e->h.next;
  e->h.next->prev = e->h.prev;
  e->h.next = e->h.prev = nullptr;
}

void ring_push_front(FAC_ENTRY* e) {
  e->h.next = g.entries.next;
  e->h.prev = &g.entries;
  g.entries.next->prev = &e->h;
  g.entries.next = &e->h;
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

// Removes a page from its file's tree and the ring and hands it to the spares. what names
// the check.
void drop_entry(FAC_ENTRY* e, const char* what) {
  if (e->info->last == e) e->info->last = nullptr;
  ring_unlink(e);
  if (avt_delete(&e->info->entries_tree, e, fac_cmp) != &e->node) er_panic(what);
  if (!fac_index_remove(&e->info->index, e->offset)) er_panic(what);
  if (e->dirty) --g.dirty_nos;
  --g.entries_nos;
  push_spare(e);
  trim_spares();
}

// Drops clean pages from the cold end of the ring while the cache holds more than limit
// pages; keep (the page being handed out) and dirty pages stay.
void evict(FAC_ENTRY* keep, int limit) {
  FAC_ENTRY_HEADER* w = g.entries.prev;
  while (g.entries_nos > limit) {
    while (w != &g.entries && (entry_of(w)->dirty || entry_of(w) == keep)) w = w->prev;
    if (w == &g.entries) return;  // everything left is dirty: grow until the next write-back
    FAC_ENTRY* victim = entry_of(w);
    w = w->prev;
    drop_entry(victim, "get_entry");
  }
}

// The page holding pos, made when missing (status 1; its bytes are not read here), moved to
// the front of the ring. Null when pos lies beyond the logical end or memory is short.
FAC_ENTRY* get_entry(int* status, FAC_INFO* info, uint64_t pos) {
  if (pos > info->file_size) return nullptr;
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
    ring_unlink(e);
  } else {
    // A full cache makes room first, so that the page it drops lends the new one its buffer
    // (the same pages go as when the new page is linked first and never chosen).
    evict(nullptr, g.total_entries - 1);
    e = new_page();
    if (!e) return nullptr;
    e->offset = offset;
    e->create_time = now();
    e->info = info;
    e->node.data = e;
    if (avt_insert(&info->entries_tree, &e->node, fac_cmp) != &e->node) er_panic("get_entry");
    fac_index_add(&info->index, offset, e, e->data);
    e->len = int(std::min<uint64_t>(info->file_size - e->offset, kFacPage));
    *status = 1;
    ++g.entries_nos;
  }
  ring_push_front(e);
  e->access_time = now();
  evict(e, g.total_entries);
  info->last = e;
  return e;
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
  if (want < e->len) std::memset(e->data + want, 0, size_t(e->len - want));
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
  return e;
}

// Writes one page whole at its offset. -1 (errno set; EIO for a short write) otherwise.
int write_page(FAC_INFO* info, FAC_ENTRY* e) {
  if (u_lseek64(info->fd, int64_t(e->offset), SEEK_SET) != int64_t(e->offset)) return -1;
  if (e->len == 0) return 0;
  ssize_t r = u_write(info->fd, e->data, size_t(e->len));
  if (r == e->len) return 0;
  if (r >= 0) errno = EIO;
  return -1;
}

struct PurgeWork {
  FAC_INFO* info;
  int rc;
  int err;
};

int purge_page(AVT_NODE* n, void* arg) {
  auto* w = static_cast<PurgeWork*>(arg);
  FAC_ENTRY* e = entry_of(n);
  if (!e->dirty) return 0;
  if (write_page(w->info, e) < 0) {
    w->rc = -1;  // the page stays dirty; later pages are still tried
    w->err = errno;
    return 0;
  }
  w->info->real_file_size = std::max(w->info->real_file_size, e->offset + uint64_t(e->len));
  e->dirty = 0;
  --g.dirty_nos;
  return 0;
}

FAC_ENTRY* largest_page(FAC_INFO* info) {
  AVT_NODE* n = info->entries_tree;
  if (!n) return nullptr;
  while (n->large) n = n->large;
  return entry_of(n);
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
  g.entries_nos = g.dirty_nos = 0;
  g.spares = nullptr;
  g.spare_nos = 0;
}

int fac_init(FAC_INFO* info) {
  int64_t end = u_lseek64(info->fd, 0, SEEK_END);
  if (end < 0) return -1;
  info->seek_point = 0;
  info->file_size = info->real_file_size = uint64_t(end);
  info->entries_tree = nullptr;
  info->index = FAC_INDEX{};
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
    if (!e) {
      result = -1;
      break;
    }
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

int fac_write(FAC_INFO* info, const void* buf, int len) {
  if (++fac_write_calls == fail_write_at) {
    fail_write_at = fail_write_more-- > 0 ? fail_write_at + 1 : 0;
    errno = fail_write_errno;
    return -1;
  }
  if (!fac_cached(info)) return int(u_write(info->fd, buf, size_t(std::max(len, 0))));
  uint64_t pos = info->seek_point;
  auto* in = static_cast<const unsigned char*>(buf);
  int result = 0;
  while (len > 0) {
    int status;
    FAC_ENTRY* e = get_entry(&status, info, pos);
    int s = e ? int(pos - e->offset) : 0;
    if (!e || e->len < s) {
      errno = EIO;
      result = -1;
      break;
    }
    int n = std::min(len, kFacPage - s);
    // A new page the write does not cover whole keeps its other bytes from the disk.
    if (status == 1 && (s > 0 || s + n < e->len) && e->offset < info->real_file_size &&
        fill_page(info, e) < 0) {
      drop_entry(e, "get_entry");
      errno = EIO;
      result = -1;
      break;
    }
    if (n > 0 && !e->dirty) {
      e->dirty = 1;
      ++g.dirty_nos;
    }
    std::memcpy(e->data + s, in, size_t(n));
    e->len = std::max(e->len, s + n);
    pos += uint64_t(n);
    in += n;
    len -= n;
    result += n;
    info->file_size = std::max(info->file_size, pos);
  }
  info->seek_point = pos;
  info->file_size = std::max(info->file_size, pos);
  if (int64_t(g.dirty_nos) * 4 >= int64_t(g.total_entries) * 3 && fac_purge_all() < 0) result = -1;
  return result;
}

int fac_truncate(FAC_INFO* info, uint64_t len) {
  if (!fac_cached(info)) return ftruncate(info->fd, off_t(len)) < 0 ? -1 : 0;
  if (len > info->file_size) return -1;
  info->file_size = len;
  info->seek_point = std::min(info->seek_point, len);
  while (FAC_ENTRY* e = largest_page(info)) {
    if (e->offset > len) {
      drop_entry(e, "fac_truncate");
      continue;
    }
    if (e->offset + uint64_t(e->len) >= len) e->len = int(len - e->offset);
    break;
  }
  int64_t disk = u_lseek64(info->fd, 0, SEEK_END);
  if (disk < 0) return -1;
  if (len >= uint64_t(disk)) {
    info->real_file_size = uint64_t(disk);
  } else {
    if (ftruncate(info->fd, off_t(len)) < 0) return -1;
    info->real_file_size = len;
  }
  return 0;
}

int fac_purge_onlyone(FAC_INFO* info) {
  PurgeWork w{info, 0, 0};
  avt_trace_from_small(info->entries_tree, purge_page, &w);
  if (w.rc < 0) {
    errno = w.err;
    return -1;
  }
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

int fac_close(FAC_INFO* info) {
  if (!fac_cached(info)) return 0;
  int rc = fac_purge_onlyone(info);
  int err = errno;
  while (info->entries_tree) drop_entry(entry_of(info->entries_tree), "fac_close");
  fac_index_clear(&info->index);
  info->h.prev->next = info->h.next;
  info->h.next->prev = info->h.prev;
  info->h.next = info->h.prev = nullptr;
  errno = err;
  return rc;
}

}  // namespace tq
