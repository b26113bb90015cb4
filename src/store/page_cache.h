// The lowest layer of the store file: the handle of an open store file and one write-back
// cache of 4096-byte pages shared by all open store files, with one least-recently-used
// order over all of them. A file's logical size may run ahead of the file on disk: bytes
// between the two always lie in dirty pages. No lock: callers serialise (the store lock).
#pragma once
#include <cstdint>

#include "store/page_index.h"
#include "util/avl_tree.h"

namespace tq {

struct FAC_INFO;
struct FAC_ENTRY;

struct FAC_INFO_HEADER {
  FAC_INFO_HEADER* next;
  FAC_INFO_HEADER* prev;
};
struct FAC_ENTRY_HEADER {
  FAC_ENTRY_HEADER* next;
  FAC_ENTRY_HEADER* prev;
};

// Per-file cache state. A file is cached when it is linked in the file ring (h.next set):
// that is decided once, at attachment, by whether the cache was on then.
struct FAC_INFO {
  FAC_INFO_HEADER h;        // links in the ring of cached files
  uint64_t seek_point;      // current logical position
  uint64_t file_size;       // logical size, counting bytes only in dirty pages so far
  uint64_t real_file_size;  // size on disk as the cache last knew it
  FAC_INDEX index;          // this file's pages, found by offset
  FAC_ENTRY* dirty_pages;   // this file's dirty pages, linked by dirty_next in no set order
  FAC_ENTRY* last;          // the page used last (records are read and written in pieces)
  int holds;                // open holds (fac_hold) on the file, nested
  uint32_t hold_span;       // the number of the file's outermost open hold, or of its last
  int fd;
  unsigned long_file : 1;   // always set here: every seek is 64-bit
};

// One cached page.
struct FAC_ENTRY {
  FAC_ENTRY_HEADER h;    // links in the global LRU ring; most recent right after the head
  unsigned dirty : 1;    // holds bytes not yet written to the file
  uint64_t offset;       // multiple of kFacPage
  uint64_t access_time;  // get_tqtime at the last use
  uint64_t create_time;
  int len;               // valid bytes, 0..kFacPage
  int filled;            // 0..len: data holds the first filled valid bytes; the rest read as
                         // zeros not yet put in the buffer (a zero fill costs no copy)
  unsigned pinned : 1;   // held by a write that is gathering its pages: not evicted
  unsigned parked : 1;   // dirty, and moved off the LRU ring into the parked list (below)
  unsigned kept : 1;     // dirty, its bytes on disk as they are here: a write-back for room
                         // wrote it during a hold (fac_hold) and left it dirty for the hold
  uint32_t span;         // the file's hold (fac_hold) during which a write last changed it
  unsigned char* data;   // kFacPage bytes
  FAC_INFO* info;        // owning file
  FAC_ENTRY* dirty_next;  // links among the file's dirty pages (null while clean)
  FAC_ENTRY* dirty_prev;
};

struct FAC_GENERAL {
  FAC_ENTRY_HEADER entries;   // LRU ring of all pages of all files but the parked ones
  FAC_INFO_HEADER info_list;  // ring of cached files, newest at the front
  int total_entries;          // page limit; 0: cache off, every call goes to the descriptor
  int interval;               // not used
  int entries_nos;            // cached pages
  int dirty_nos;              // dirty pages
  int kept_nos;               // of them, kept ones (FAC_ENTRY::kept): their bytes are on disk,
                              // so they set off no write-back for room
  FAC_ENTRY* spares;          // dropped pages kept with their buffers for reuse, linked by h.next
  int spare_nos;              // their number: cached and kept pages stay within the page limit
  int stuck_dirty;            // dirty pages a failed write-back for room left (0: none); the
                              // next waits for a quarter of the limit more, or one of them
                              // written (one dropped unwritten lowers the count)
  int stuck_errno;            // that write-back's errno while stuck_dirty is set, else 0
  int refused;                // pages refused to writes at the bound since it failed
  FAC_ENTRY_HEADER parked;    // ring of dirty pages the eviction walk found at the cold end
                              // of the LRU ring: older than every page on it, so they wait
                              // here until written back instead of being passed again
};
inline constexpr int kFacPage = 4096;
inline constexpr int kFacDefaultPages = 32768;  // 128 MB of page buffers
// While write-backs for room fail, the cache holds at most this many times its page limit.
inline constexpr int kFacBoundFactor = 2;
extern FAC_GENERAL fac_general_info;

// The handle of an open store file (zeroed at open, released by close_pdb64).
struct FREELIST64;
struct PDB64 {
  int fid;                       // descriptor
  int flags;                     // the file-space layer's flags (low 16 bits of its argument)
  uint64_t fofs;                 // 0; not used by the cache
  int oflags;                    // open(2) flags
  FREELIST64* freelist_work;     // the free-list anchor element, or null
  AVT_NODE* pdb64_debug_root;    // write-tracking registry (always empty here)
  FAC_INFO fac;
};

// Opens path with open(2) flags and mode; null (errno set) when the open fails or the file's
// size cannot be found. Positioned at offset 0.
PDB64* open_pdb64(const char* path, int oflags, int mode, int flags);
// Writes back and drops the file's pages, closes the descriptor once and releases the
// handle. 0, or -1 (errno set) when the write-back or the close failed.
int close_pdb64(PDB64* p);

// Switches the cache on with the default page limit and empty rings. Run once at start-up
// (init_favt64), before any store file is opened; a second call while files are cached is
// ignored.
void fac_init_general();
// Attaches a file (fd and long_file set) when the cache is on: position 0, sizes from the
// descriptor's end. -1 when the end cannot be found.
int fac_init(FAC_INFO* info);

// Positioning: whence 0 set, 1 current, 2 end. The new position, or -1 (unknown whence or a
// failed system seek), -2 (negative target), -3 (target beyond the logical end).
int64_t fac_lseek(FAC_INFO* info, int64_t offset, int whence);
// Reads at the position; bytes read (0 at the end), and the position advances by them; or
// -1 (errno set; EIO for a page that cannot be had) with the position where it was. A read
// is never refused for room: at the bound (fac_write) the page it reads is the one page
// over it, the first to go when another page is made.
int fac_read(FAC_INFO* info, void* buf, int len);
// The bytes at the position, read in place: a pointer into the page that holds them, with
// *avail set to the valid bytes from there to the end of that page (0 at the end of the
// file's data). The page is fetched and becomes the most recent as for fac_read; the
// position does not move. The pointer is good only until the next call into the page
// cache. Null (errno set) when the file is not cached or the page cannot be had: read
// with fac_read then.
const unsigned char* fac_view(FAC_INFO* info, int* avail);
// Hints: ask the processor for the memory that a read at pos will touch when the page is
// cached. Nothing is read from the file and nothing of the cache's state or order changes.
// fac_prefetch looks the page up and asks for its entry and the bytes at pos; the look-up
// itself waits for memory, which fac_prefetch_index (asking only for where the look-up
// starts) lets a caller ask for earlier still.
void fac_prefetch(const FAC_INFO* info, uint64_t pos);
void fac_prefetch_index(const FAC_INFO* info, uint64_t pos);
// Writes at the position: len (bytes written), or -1 (errno set: EIO when a page cannot be
// had or its old bytes read; the errno of the failed write-back when no page can be made,
// below) having changed nothing, neither a byte nor the position. Every page the write
// touches is had first, and only then is a byte copied; bytes taken stay in the cache until
// they are written back. A write that succeeds leaves errno as it found it. When dirty pages
// (but those a hold keeps with their bytes on disk, below) reach three quarters of the
// limit, every file is written back; that write-back's failure
// is not this call's: the pages that could not be written stay dirty with their file, whose
// next flush or close tries them again and answers -1 if they still cannot go. While such
// pages stay, the next write-back for room waits until callers have made another quarter of
// the limit dirty or asked for a quarter of the limit's pages past the bound, so no call
// retries the disk on every write. Meanwhile the cache grows past its limit by what is
// written, up to kFacBoundFactor times the limit: past that bound a write that needs a page
// the cache does not hold, or would make a clean page it holds dirty, fails with the failed
// write-back's errno (ENOSPC, EIO). What the bound never refuses: a write all of whose pages
// the cache holds dirty; so, inside a hold (fac_hold), a write of bytes that writes to the
// same file wrote earlier in the hold (their pages stay dirty until it ends); and truncation
// and discard, which need no room. The wait ends only when a write-back succeeds having put
// bytes on disk, a system write puts on disk the bytes of a page the failure left dirty, or
// no page is left dirty: a page dropped unwritten (truncation, discard, close), or one with
// no bytes to write, leaves the bound in force.
int fac_write(FAC_INFO* info, const void* buf, int len);
// A hold on a file, for a store call whose later writes may fail and must then put back what
// its earlier ones wrote: from fac_hold until the matching fac_release, the pages that writes
// to this file change stay dirty. The write-back for room writes them as it writes any page
// (their bytes on disk show room, their failure a full disk) but keeps them dirty, and does
// not write them again while they stay unchanged; a flush or close, or the first write-back
// after the hold, cleans them. So the writes putting back are never refused at the bound.
// Holds nest (a call holding its file may call one that holds it too: the pages stay held
// until the outermost hold ends), and several files may be held at once.
void fac_hold(FAC_INFO* info);
void fac_release(FAC_INFO* info);
// fac_hold for a scope.
class FacHold {
 public:
  explicit FacHold(FAC_INFO* info) : info_(info) { fac_hold(info); }
  ~FacHold() { fac_release(info_); }
  FacHold(const FacHold&) = delete;
  FacHold& operator=(const FacHold&) = delete;

 private:
  FAC_INFO* info_;
};
// Writes len zero bytes at the position: the same bytes, result, position and write-back as
// fac_write from a buffer of len zeros, and counted as a call of fac_write (fac_write_calls,
// fac_fail_write). Cached pages take the zeros without a copy; without the cache one write
// of at most 65536 bytes is made (a longer len is then answered short).
int fac_write_zeros(FAC_INFO* info, int len);
// Failure seams for tests; callers serialise, as for every call here.
// At the door: fac_fail_write(n, err, count) makes the n-th call of fac_write from now
// (n >= 1) and the count - 1 calls after it (count >= 1; 1 unless given) fail with err,
// writing nothing and leaving the position where it was; n = 0 disarms it. fac_write_calls
// counts every call of fac_write, so a test can learn how many writes an operation makes.
void fac_fail_write(int n, int err, int count = 1);
extern int64_t fac_write_calls;
// At the disk: fac_fail_system_write(n, err, how) makes the n-th system write of the
// write-back from now (n >= 1) fail, where a full disk fails it; n = 0 disarms. how:
// kFacFailWhole writes nothing and fails with err; kFacFailShort writes the first half of
// its bytes and answers that count, as a filling disk does; kFacFailFromThenOn, added to
// either, fails every later system write whole with err until disarmed. kFacFailPastEnd
// alone (n >= 1 arms it) is a disk full for new blocks: from now on every system write that
// reaches past its file's size on disk fails whole with err, until disarmed.
// fac_system_writes counts the write-back's system writes, failed ones too.
inline constexpr int kFacFailWhole = 0;
inline constexpr int kFacFailShort = 1;
inline constexpr int kFacFailFromThenOn = 2;
inline constexpr int kFacFailPastEnd = 4;
void fac_fail_system_write(int n, int err, int how = kFacFailWhole);
extern int64_t fac_system_writes;
// Cuts the file to len (never grows it), dropping the pages from len on unwritten (a page
// starting at len would keep no byte): 0, or -1 having changed nothing when len exceeds the
// logical size (EINVAL) or the system truncation fails.
int fac_truncate(FAC_INFO* info, uint64_t len);
// Writes back this file's dirty pages in ascending order of offset, each run of adjacent
// pages in one positioned system write: 0, or -1 when a page could not be written whole
// (the page stays dirty: of a run written short, the page it stopped in; of a run refused,
// every page); the write-back goes on with the pages after it.
int fac_flush(FAC_INFO* info);
// Writes back, then drops every page of the file and detaches it: 0, or -1 when the
// write-back failed (the pages are dropped all the same).
int fac_close(FAC_INFO* info);
// Drops every page of the file without writing one: what was written into the cache and
// is not yet on disk is lost, and the logical size becomes the disk's, the position at most
// that. For work that failed and must leave the file as it found it. 0, or -1 (errno set)
// when the disk's size cannot be found (the pages are dropped all the same, and the size
// is the disk's as the cache last knew it).
int fac_discard(FAC_INFO* info);
int fac_purge_onlyone(FAC_INFO* info);
int fac_purge_all();

// True when the file goes through the page cache.
inline bool fac_cached(const FAC_INFO* info) { return info->h.next != nullptr; }

}  // namespace tq
