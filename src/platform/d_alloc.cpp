// Debug heap: blocks with a header naming their sites, live bytes per allocation site,
// double-free detection from the heap's own records, the quarantine of freed blocks,
// the purge task and the report tick.
//
// Blocks of up to kMaxSmall bytes are slots of 256 KB chunks of one slot size that the heap
// owns for the life of the process. A thread allocates and frees them through its own cache
// of free slots, without the heap's lock: the site's total is changed with one atomic add,
// the thread's share of the heap's total on its own record, and a (file, line) is found in
// the thread's own cache of site records (site records are never removed). A slot's header
// stays readable after its free, so a free decides from the header's state word, changed
// from live to freed with one compare-and-swap: of two frees of one block exactly one wins,
// and the other names the first's site. A pointer is a slot only when its chunk is in the
// registry of chunks (which only grows) and it lies on a slot's boundary, so no memory that
// is not the heap's is read.
//
// Larger blocks are system allocations under md_lock. Deciding whether one may be freed
// never reads memory that went back to the system: the heap keeps a hash set of the
// addresses of its live large blocks. A live address has a readable header; any other
// address is a fault, reported with the earlier free site when the heap still knows it
// (the last 1000 frees of large blocks, or a block held in the quarantine).
#include "platform/d_alloc.h"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/poison.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"


namespace tq {

namespace {

constexpr int kBuckets = 53;
constexpr int kMaxFreeInfo = 1000;
constexpr int64_t kQuarantineBound = 100000000;
constexpr size_t kHdr = sizeof(MEM_HEADER);
constexpr size_t kMaxBlock = size_t(1) << 60;  // keeps every total far from overflow
constexpr int kReportPeriod = 30;
constexpr int kPurgePeriod = 5;
constexpr int64_t kPurgeReserve = 26214400;
constexpr int kRanked = 20;

static_assert(kHdr % 16 == 0, "the header must keep the caller's block aligned");

// The system heap keeps what it is given back, up to glibc's own ceilings for its adaptive
// thresholds. Small blocks live in the heap's own chunks, so the system heap holds only
// large blocks and what other layers take from it directly (the store's page buffers):
// with glibc's start values (blocks of 128 KB and up mapped one by one, the heap's top
// given back past 128 KB free), every close of a store file returned all its pages to the
// kernel and the next open faulted them in again, and every conversion of a large text
// mapped, faulted and unmapped its block.
constexpr int kSystemMapFrom = 32 << 20;   // blocks below this come from the heap's top
constexpr int kSystemTrimFrom = 64 << 20;  // free bytes on top kept for the next blocks

// The latest free of one address: 53 chains by address and an age list, both doubly
// linked so that a record leaves either in one step. One record per address, so the
// 1000 records cover 1000 different addresses even when one block is freed again and again.
struct MEM_FREE_INFO {
  MEM_FREE_INFO* next;  // chain
  MEM_FREE_INFO* prev;
  MEM_FREE_INFO* time_next;  // age list, oldest first
  MEM_FREE_INFO* time_prev;
  void* ptr;
  const char* file;
  int line;
};

SEM md_lock;  // zero handle until init_d_alloc
std::atomic<int> md_flag;  // set by the first heap call
MEM_LIST* mem_list_hash[kBuckets];
std::atomic<int64_t> total_mem_size;

std::atomic<int> enabled_time_list;
MEM_HEADER* memory_time_list_head;
MEM_HEADER* memory_time_list_tail;
int64_t memory_time_list_size;

MEM_FREE_INFO free_info_pool[kMaxFreeInfo];
MEM_FREE_INFO* mem_free_info_hash[kBuckets];
MEM_FREE_INFO* free_info_oldest;
MEM_FREE_INFO* free_info_newest;
int mem_free_info_len;

MEM_PURGE_TBL* mpt_root;

void note_heap_call() {
  if (!md_flag.load(std::memory_order_relaxed)) md_flag.store(1, std::memory_order_relaxed);
}

void add_total(int64_t n) {  // only under md_lock (or before it exists)
  total_mem_size.store(total_mem_size.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Holds a lock of the heap (once it exists: before init_d_alloc there is one thread) for a
// scope; releases it before a panic so that the exit path may still use the heap.
class HeldLock {
 public:
  HeldLock(SEM sem, const char* file, int line) : sem_(sem), held_(sem.so != nullptr) {
    if (held_) _i_lock_task(sem_, file, line);
  }
  ~HeldLock() { release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  void release() {
    if (held_) {
      held_ = false;
      _i_unlock_task(sem_, "d_alloc", __FILE__, __LINE__);
    }
  }
  [[noreturn]] void panic(const char* text) {
    release();
    er_panic(text);
  }

 private:
  SEM sem_;
  bool held_;
};

// Holds md_lock for one heap call.
class HeapGuard : public HeldLock {
 public:
  HeapGuard(const char* file, int line, bool heap_call = true) : HeldLock(noted(heap_call), file, line) {}

 private:
  static SEM noted(bool heap_call) {
    if (heap_call) note_heap_call();
    return md_lock;
  }
};

// ---- the set of live addresses (open addressing, backward-shift deletion) ----------
// An address is kept inverted: the set is not a reference to the block, so the leak
// checker of sanitizer builds still reports a block its program lost.

struct LiveSet {
  uintptr_t* slot;
  size_t mask;  // capacity - 1, capacity a power of two
  size_t count;
};
LiveSet live;

size_t live_hash(uintptr_t p) {
  uint64_t h = uint64_t(p >> 4) * 0x9E3779B97F4A7C15ull;
  return size_t(h ^ (h >> 29));
}

void live_put(uintptr_t* slot, size_t mask, uintptr_t p) {
  size_t i = live_hash(p) & mask;
  while (slot[i]) i = (i + 1) & mask;
  slot[i] = ~p;
}

void live_insert(HeapGuard& g, void* ptr) {
  if ((live.count + 1) * 2 > live.mask + 1 || !live.slot) {
    size_t cap = live.slot ? (live.mask + 1) * 2 : 4096;
    auto* slot = static_cast<uintptr_t*>(calloc(cap, sizeof(uintptr_t)));
    if (!slot) g.panic("alloc");
    if (live.slot) {
      for (size_t i = 0; i <= live.mask; ++i)
        if (live.slot[i]) live_put(slot, cap - 1, ~live.slot[i]);
      free(live.slot);
    }
    live.slot = slot;
    live.mask = cap - 1;
  }
  live_put(live.slot, live.mask, uintptr_t(ptr));
  ++live.count;
}

// Index of ptr's slot, or -1.
ptrdiff_t live_find(const void* ptr) {
  if (!live.slot) return -1;
  const uintptr_t p = uintptr_t(ptr);
  for (size_t i = live_hash(p) & live.mask; live.slot[i]; i = (i + 1) & live.mask)
    if (live.slot[i] == ~p) return ptrdiff_t(i);
  return -1;
}

void live_erase_at(size_t i) {
  const size_t mask = live.mask;
  for (size_t j = (i + 1) & mask; live.slot[j]; j = (j + 1) & mask) {
    size_t home = live_hash(~live.slot[j]) & mask;
    // Move slot j into the hole at i when its probe run passes over i.
    bool passes = (i <= j) ? (home <= i || home > j) : (home <= i && home > j);
    if (passes) {
      live.slot[i] = live.slot[j];
      i = j;
    }
  }
  live.slot[i] = 0;
  --live.count;
}

// ---- sites --------------------------------------------------------------------------

bool same_file(const char* a, const char* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return strcmp(a, b) == 0;
}

unsigned site_bucket(int line) { return unsigned(line) % kBuckets; }

MEM_LIST* find_site(HeapGuard& g, const char* file, int line) {
  const unsigned b = site_bucket(line);
  for (MEM_LIST* m = mem_list_hash[b]; m; m = m->next)
    if (m->line == line && same_file(m->file, file)) return m;
  auto* m = static_cast<MEM_LIST*>(malloc(sizeof(MEM_LIST)));
  if (!m) g.panic("alloc");
  *m = MEM_LIST{mem_list_hash[b], file, line, 0, nullptr};
  mem_list_hash[b] = m;
  add_total(int64_t(sizeof(MEM_LIST)));
  return m;
}

// ---- records of recent frees ----------------------------------------------------------

unsigned addr_bucket(const void* p) { return unsigned(uintptr_t(p) % kBuckets); }

void unlink_chain(HeapGuard& g, MEM_FREE_INFO* fi) {
  MEM_FREE_INFO** head = &mem_free_info_hash[addr_bucket(fi->ptr)];
  if (fi->prev ? fi->prev->next != fi : *head != fi) g.panic("free");  // not in its chain
  (fi->prev ? fi->prev->next : *head) = fi->next;
  if (fi->next) fi->next->prev = fi->prev;
}

void unlink_age(MEM_FREE_INFO* fi) {
  (fi->time_prev ? fi->time_prev->time_next : free_info_oldest) = fi->time_next;
  (fi->time_next ? fi->time_next->time_prev : free_info_newest) = fi->time_prev;
}

// The recorded free of ptr, or null.
MEM_FREE_INFO* find_free_info(const void* ptr) {
  for (MEM_FREE_INFO* fi = mem_free_info_hash[addr_bucket(ptr)]; fi; fi = fi->next)
    if (fi->ptr == ptr) return fi;
  return nullptr;
}

// Records a free of ptr at (file, line), replacing an older free of the same address, and
// dropping the oldest record beyond 1000.
void _insert_free_info(HeapGuard& g, void* ptr, const char* file, int line) {
  MEM_FREE_INFO* fi = find_free_info(ptr);
  if (!fi && mem_free_info_len >= kMaxFreeInfo) fi = free_info_oldest;
  if (fi) {
    unlink_chain(g, fi);
    unlink_age(fi);
  } else {
    fi = &free_info_pool[mem_free_info_len++];
    add_total(int64_t(sizeof(MEM_FREE_INFO)));
  }
  MEM_FREE_INFO** head = &mem_free_info_hash[addr_bucket(ptr)];
  *fi = MEM_FREE_INFO{*head, nullptr, nullptr, free_info_newest, ptr, file, line};
  if (*head) (*head)->prev = fi;
  *head = fi;
  (free_info_newest ? free_info_newest->time_next : free_info_oldest) = fi;
  free_info_newest = fi;
}

// The quarantined block whose caller address is ptr, or null. Only walked on the way
// to a panic.
MEM_HEADER* find_in_quarantine(const void* ptr) {
  for (MEM_HEADER* h = memory_time_list_head; h; h = h->time_next)
    if (static_cast<const void*>(h + 1) == ptr) return h;
  return nullptr;
}

// A pointer that is not a live block: name its earlier free when it is on record, then
// end the process.
[[noreturn]] void report_not_live(HeapGuard& g, const void* ptr, const char* text) {
  const char* file = nullptr;
  int line = 0;
  if (MEM_FREE_INFO* fi = find_free_info(ptr)) {
    file = fi->file;
    line = fi->line;
  } else if (MEM_HEADER* q = find_in_quarantine(ptr)) {
    file = q->last_free_file;
    line = q->last_free_line;
  }
  if (file) {
    printf("FILE %s %i\n", file, line);
    fflush(stdout);
  }
  g.panic(text);
}

// The header of a live block with a site record; anything else ends the process with
// text.
MEM_HEADER* live_header(HeapGuard& g, void* ptr, const char* text) {
  if (live_find(ptr) < 0) report_not_live(g, ptr, text);
  MEM_HEADER* h = static_cast<MEM_HEADER*>(ptr) - 1;
  if (!h->mlp) g.panic(text);
  return h;
}

// The same, also refusing a negative size.
MEM_HEADER* sound_header(HeapGuard& g, void* ptr, const char* text) {
  MEM_HEADER* h = live_header(g, ptr, text);
  if (h->size < 0) g.panic(text);
  return h;
}

// ---- site totals ------------------------------------------------------------------------

// A site's total changes with one atomic add: small blocks change it without md_lock.
int64_t site_add(MEM_LIST* m, int64_t n) {
  return std::atomic_ref<int64_t>(m->size).fetch_add(n, std::memory_order_relaxed) + n;
}
int64_t site_bytes(const MEM_LIST* m) {
  return std::atomic_ref<int64_t>(const_cast<MEM_LIST*>(m)->size).load(std::memory_order_relaxed);
}

// ---- small blocks: slots of chunks the heap keeps -----------------------------------------

constexpr size_t kSlabChunk = 256 * 1024;  // aligned to its own size
constexpr size_t kSlabHead = 64;           // the SLAB record, then the slots
constexpr size_t kMaxSmall = 1024;         // data bytes of the largest slot
// Sanitizer builds keep every block on the system heap: the leak checker sees a chunk as one
// block, so a lost slot would go unreported, and a slot's neighbour is no red zone.
#if defined(TQ_SANITIZE)
constexpr bool kSlots = false;
#else
constexpr bool kSlots = true;
#endif
constexpr int kSmallClasses = int(kMaxSmall / 16);
constexpr uint32_t kSlotLive = 0x4c495645;   // a slot's state word while handed out
constexpr uint32_t kSlotFreed = 0x46524545;  // after its free (0: never handed out)
constexpr int kRegistryBits = 15;            // two levels over the 30 bits of a chunk number
constexpr int kSiteCache = 128;

struct SLAB {
  int cls;
  uint32_t slot_size;  // header and data
  uint32_t nslots;
  uint32_t recip;      // 2^32 / slot_size rounded up: a slot's number without a division
  uint32_t carved;     // slots handed out at least once (slab_lock)
};
static_assert(sizeof(SLAB) <= kSlabHead && kSlabHead % 16 == 0);

struct SMALL_CLASS {     // slab_lock
  MEM_HEADER* free;      // slots threads gave back, linked through time_next
  SLAB* carving;         // the chunk whose untouched slots come next
};

struct SITE_CACHE {
  const char* file;
  int line;
  MEM_LIST* site;
};

// A thread's free slots of each size and its cache of site records. Records are never
// freed: one whose thread ended waits in the list for the next thread, so the list is
// walked without a lock (it only grows, appended with release under slab_lock).
struct HEAP_THREAD {
  struct {
    MEM_HEADER* head;  // linked through time_next
    int count;
  } bin[kSmallClasses];
  SITE_CACHE sites[kSiteCache];
  std::atomic<int64_t> used;  // header and data bytes of small blocks this thread made minus freed
  HEAP_THREAD* next;
  bool in_use;  // slab_lock
};

SEM slab_lock;  // the classes' free slots and chunks, the chunk registry, the thread records
SMALL_CLASS small_classes[kSmallClasses];
std::atomic<std::atomic<uint8_t>*> slab_registry[size_t(1) << kRegistryBits];
std::atomic<HEAP_THREAD*> heap_threads{nullptr};
std::atomic<int64_t> orphan_used{0};  // the same for threads whose record went back
thread_local HEAP_THREAD* tl_heap = nullptr;
thread_local bool tl_heap_gone = false;

// Holds slab_lock. Nothing under it takes md_lock; md_lock may be held around it.
class SlabGuard : public HeldLock {
 public:
  SlabGuard() : HeldLock(slab_lock, __FILE__, __LINE__) {}
};

int small_class(size_t size) { return size ? int((size - 1) >> 4) : 0; }
size_t class_data(int c) { return size_t(c + 1) << 4; }
int batch_of(int c) { return std::clamp(int(8192 / (kHdr + class_data(c))), 8, 64); }
std::atomic_ref<uint32_t> slot_state(MEM_HEADER* h) { return std::atomic_ref<uint32_t>(h->state); }

MEM_HEADER* slot_at(SLAB* s, uint32_t i) {
  return reinterpret_cast<MEM_HEADER*>(reinterpret_cast<char*>(s) + kSlabHead + size_t(i) * s->slot_size);
}

// Whether the chunk holding address a is one of the heap's. The byte is set with release
// after the SLAB record is written, so a reader that sees it sees the record; a chunk is
// never removed, so a pointer the heap handed out is always found.
bool slab_known(uintptr_t a) {
  const uintptr_t n = a / kSlabChunk;
  if (n >> (2 * kRegistryBits)) return false;
  std::atomic<uint8_t>* leaf = slab_registry[n >> kRegistryBits].load(std::memory_order_acquire);
  return leaf && leaf[n & ((uintptr_t(1) << kRegistryBits) - 1)].load(std::memory_order_acquire);
}

void slab_register(SlabGuard& g, SLAB* s) {
  const uintptr_t n = uintptr_t(s) / kSlabChunk;
  if (n >> (2 * kRegistryBits)) g.panic("alloc");
  std::atomic<std::atomic<uint8_t>*>& top = slab_registry[n >> kRegistryBits];
  std::atomic<uint8_t>* leaf = top.load(std::memory_order_relaxed);
  if (!leaf) {
    leaf = static_cast<std::atomic<uint8_t>*>(calloc(size_t(1) << kRegistryBits, 1));
    if (!leaf) g.panic("alloc");
    top.store(leaf, std::memory_order_release);
  }
  leaf[n & ((uintptr_t(1) << kRegistryBits) - 1)].store(1, std::memory_order_release);
}

// A new chunk of class c, aligned to its size (slab_lock held).
SLAB* new_slab(SlabGuard& g, int c) {
  void* m = mmap(nullptr, 2 * kSlabChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) g.panic("alloc");
  const uintptr_t a = (uintptr_t(m) + kSlabChunk - 1) & ~(kSlabChunk - 1);
  const size_t before = a - uintptr_t(m);
  if (before) munmap(m, before);
  if (kSlabChunk - before) munmap(reinterpret_cast<char*>(a) + kSlabChunk, kSlabChunk - before);
  void* p = reinterpret_cast<void*>(a);
  auto* s = static_cast<SLAB*>(p);
  s->cls = c;
  s->slot_size = uint32_t(kHdr + class_data(c));
  s->nslots = uint32_t((kSlabChunk - kSlabHead) / s->slot_size);
  s->recip = uint32_t(((uint64_t(1) << 32) + s->slot_size - 1) / s->slot_size);
  s->carved = 0;
  slab_register(g, s);
  return s;
}

// The slot whose caller address is ptr (and its chunk), or null when ptr is none. Reads
// only the registry and, for a known chunk, its record.
MEM_HEADER* slot_of(const void* ptr, SLAB** slab) {
  const uintptr_t a = uintptr_t(ptr);
  if (!slab_known(a)) return nullptr;
  auto* s = reinterpret_cast<SLAB*>(a & ~(kSlabChunk - 1));
  const uintptr_t first = uintptr_t(s) + kSlabHead + kHdr;
  if (a < first) return nullptr;
  const uint64_t off = a - first;  // below 2^18: the product stays exact for a slot's offset
  const uint64_t i = (off * s->recip) >> 32;
  if (i >= s->nslots || i * s->slot_size != off) return nullptr;
  *slab = s;
  return reinterpret_cast<MEM_HEADER*>(a) - 1;
}

// Up to want free slots of class c linked through time_next; *got tells how many.
MEM_HEADER* take_slots(int c, int want, int* got) {
  SlabGuard g;
  SMALL_CLASS& k = small_classes[c];
  MEM_HEADER* head = nullptr;
  int n = 0;
  for (; n < want && k.free; ++n) {
    MEM_HEADER* h = k.free;
    k.free = h->time_next;
    h->time_next = head;
    head = h;
  }
  for (; n < want; ++n) {
    SLAB* s = k.carving;
    if (!s || s->carved == s->nslots) s = k.carving = new_slab(g, c);
    MEM_HEADER* h = slot_at(s, s->carved++);
    h->time_next = head;
    head = h;
  }
  *got = n;
  return head;
}

// Gives the chain head..tail of class c's slots to the class's pool.
void give_slots(int c, MEM_HEADER* head, MEM_HEADER* tail) {
  SlabGuard g;
  tail->time_next = small_classes[c].free;
  small_classes[c].free = head;
}

struct HeapThreadEnd {
  bool armed = false;
  ~HeapThreadEnd();
};
thread_local HeapThreadEnd heap_thread_end;

// The calling thread's record, taken on first use; null once the thread's record went
// back (its last destructors run), which then works on the classes' pools directly.
HEAP_THREAD* heap_thread() {
  HEAP_THREAD* t = tl_heap;
  if (t || tl_heap_gone) return t;
  {
    SlabGuard g;
    for (HEAP_THREAD* r = heap_threads.load(std::memory_order_acquire); r; r = r->next) {
      if (r->in_use) continue;
      t = r;
      break;
    }
    if (!t) {
      t = static_cast<HEAP_THREAD*>(calloc(1, sizeof(HEAP_THREAD)));
      if (!t) g.panic("alloc");
      t->next = heap_threads.load(std::memory_order_relaxed);
      heap_threads.store(t, std::memory_order_release);
    }
    t->in_use = true;
  }
  tl_heap = t;
  heap_thread_end.armed = true;
  return t;
}

HeapThreadEnd::~HeapThreadEnd() {
  HEAP_THREAD* t = tl_heap;
  if (!armed || !t) return;
  tl_heap = nullptr;
  tl_heap_gone = true;
  for (int c = 0; c < kSmallClasses; ++c) {
    MEM_HEADER* head = t->bin[c].head;
    if (!head) continue;
    MEM_HEADER* tail = head;
    while (tail->time_next) tail = tail->time_next;
    give_slots(c, head, tail);
    t->bin[c].head = nullptr;
    t->bin[c].count = 0;
  }
  SlabGuard g;
  t->in_use = false;
}

// Only the owner writes its count; readers sum the records.
void add_used(HEAP_THREAD* t, int64_t n) {
  if (t)
    t->used.store(t->used.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  else
    orphan_used.fetch_add(n, std::memory_order_relaxed);
}

// The site record of (file, line), from the thread's cache or else found (or made) under
// md_lock.
MEM_LIST* site_of(HEAP_THREAD* t, const char* file, int line) {
  SITE_CACHE* e = nullptr;
  if (t) {
    const uint32_t k = uint32_t(uintptr_t(file) >> 3) + uint32_t(line) * 0x9E3779B1u;
    e = &t->sites[k >> 25];
    if (e->site && e->file == file && e->line == line) return e->site;
  }
  HeapGuard g(file, line, false);
  MEM_LIST* m = find_site(g, file, line);
  if (e) *e = SITE_CACHE{file, line, m};
  return m;
}
static_assert(kSiteCache == 128, "site_of takes the top 7 bits of its hash");

void* small_alloc(size_t size, const char* file, int line) {
  note_heap_call();
  const int c = small_class(size);
  HEAP_THREAD* t = heap_thread();
  MEM_HEADER* h;
  int got;
  if (t) {
    auto& b = t->bin[c];
    if (!b.head) {
      b.head = take_slots(c, batch_of(c), &got);
      b.count = got;
    }
    h = b.head;
    b.head = h->time_next;
    --b.count;
  } else {
    h = take_slots(c, 1, &got);
  }
  MEM_LIST* site = site_of(t, file, line);
  h->time_next = nullptr;
  h->mlp = site;
  h->size = int64_t(size);
  h->last_free_file = nullptr;
  h->last_free_line = 0;
  h->first_alloc_file = file;
  h->first_alloc_line = line;
  slot_state(h).store(kSlotLive, std::memory_order_relaxed);  // the caller's hand-over publishes it
  site_add(site, int64_t(size));
  add_used(t, int64_t(kHdr + size));
  TQ_UNPOISON(h + 1, size);
  return h + 1;
}

// A slot that is not live: name its free when it has one, then end the process.
[[noreturn]] void slot_not_live(MEM_HEADER* h, uint32_t state, const char* text) {
  if (state == kSlotFreed) {
    const char* file = std::atomic_ref<const char*>(h->last_free_file).load(std::memory_order_relaxed);
    const int line = std::atomic_ref<int>(h->last_free_line).load(std::memory_order_relaxed);
    if (file) {
      printf("FILE %s %i\n", file, line);
      fflush(stdout);
    }
  }
  er_panic(text);
}

// A live slot with a site record (and, with sized, no negative size); anything else ends
// the process with text.
MEM_HEADER* live_slot(MEM_HEADER* h, const char* text, bool sized = true) {
  const uint32_t st = slot_state(h).load(std::memory_order_acquire);
  if (st != kSlotLive) slot_not_live(h, st, text);
  if (!h->mlp || (sized && h->size < 0)) er_panic(text);
  return h;
}

// Back to the thread's cache (a full cache gives a batch to the class), or to the class.
void release_slot(HEAP_THREAD* t, SLAB* s, MEM_HEADER* h) {
  TQ_POISON(h + 1, s->slot_size - kHdr);
  const int c = s->cls;
  if (!t) return give_slots(c, h, h);
  auto& b = t->bin[c];
  h->time_next = b.head;
  b.head = h;
  const int batch = batch_of(c);
  if (++b.count <= 2 * batch) return;
  MEM_HEADER* tail = b.head;
  for (int i = 1; i < batch; ++i) tail = tail->time_next;
  MEM_HEADER* first = b.head;
  b.head = tail->time_next;
  b.count -= batch;
  give_slots(c, first, tail);
}

void insert_time_list(HeapGuard& g, MEM_HEADER* h);

// The free of a slot. Of two frees of one block only one turns its state from live to
// freed (compare-and-swap); the other finds it freed and names the first free's site
// (written just after the swap, so a free racing with another may find no site yet). A
// site total below zero can only follow a broken header.
void small_free(SLAB* s, MEM_HEADER* h, const char* file, int line) {
  note_heap_call();
  uint32_t st = kSlotLive;
  if (!slot_state(h).compare_exchange_strong(st, kSlotFreed, std::memory_order_acq_rel, std::memory_order_acquire))
    slot_not_live(h, st, "xx_d_f_ree(1)");
  MEM_LIST* site = h->mlp;
  if (!site || h->size < 0) er_panic("xx_d_f_ree(1)");
  std::atomic_ref<const char*>(h->last_free_file).store(file, std::memory_order_relaxed);
  std::atomic_ref<int>(h->last_free_line).store(line, std::memory_order_relaxed);
  const int64_t left = site_add(site, -h->size);
  HEAP_THREAD* t = heap_thread();
  add_used(t, -int64_t(kHdr + size_t(h->size)));
  if (left < 0) er_panic("xx_d_f_ree(2)");
  if (enabled_time_list) {
    HeapGuard g(__FILE__, __LINE__, false);
    insert_time_list(g, h);
    return;
  }
  release_slot(t, s, h);
}

// ---- quarantine -----------------------------------------------------------------------

[[noreturn]] void quarantine_panic(HeapGuard& g, const MEM_HEADER* h) {
  char text[1024];
  snprintf(text, sizeof text, "MEMORY PANIC\nALLOC POINT %s %i\nFREE POINT %s %i", h->first_alloc_file,
           h->first_alloc_line, h->last_free_file, h->last_free_line);
  g.panic(text);
}

void insert_time_list(HeapGuard& g, MEM_HEADER* h) {
  memset(h + 1, 'y', size_t(h->size));
  h->time_next = nullptr;
  if (memory_time_list_tail)
    memory_time_list_tail->time_next = h;
  else
    memory_time_list_head = h;
  memory_time_list_tail = h;
  memory_time_list_size += h->size;
  while (memory_time_list_size > kQuarantineBound) {
    MEM_HEADER* old = memory_time_list_head;
    if (!old) g.panic("insert_time_list");
    const auto* bytes = reinterpret_cast<const unsigned char*>(old + 1);
    for (int64_t i = 0; i < old->size; ++i)
      if (bytes[i] != 'y') quarantine_panic(g, old);
    memory_time_list_head = old->time_next;
    if (!memory_time_list_head) memory_time_list_tail = nullptr;
    memory_time_list_size -= old->size;
    SLAB* s;
    if (slot_of(old + 1, &s))
      release_slot(nullptr, s, old);
    else
      free(old);
  }
}

// ---- large blocks ------------------------------------------------------------------------

// A block on the system heap, or null when the system has no memory for it.
void* large_alloc(HeapGuard& g, size_t size, const char* file, int line) {
  if (size > kMaxBlock) return nullptr;
  auto* h = static_cast<MEM_HEADER*>(malloc(kHdr + size));
  if (!h) return nullptr;
  MEM_LIST* site = find_site(g, file, line);
  *h = MEM_HEADER{nullptr, site, int64_t(size), nullptr, 0, 0, file, line};
  site_add(site, int64_t(size));
  add_total(int64_t(kHdr + size));
  live_insert(g, h + 1);
  return h + 1;
}

// A small block moves when it outgrows its slot; the new block keeps its sites.
void* move_slot(SLAB* s, MEM_HEADER* h, size_t size) {
  void* n;
  if (size <= kMaxSmall) {
    n = small_alloc(size, h->first_alloc_file, h->first_alloc_line);
  } else {
    HeapGuard g(__FILE__, __LINE__);
    n = large_alloc(g, size, h->first_alloc_file, h->first_alloc_line);
  }
  if (!n) {
    errno = ENOMEM;
    return nullptr;
  }
  MEM_HEADER* nh = static_cast<MEM_HEADER*>(n) - 1;
  if (nh->mlp != h->mlp) {
    site_add(nh->mlp, -nh->size);
    site_add(h->mlp, nh->size);
    nh->mlp = h->mlp;
  }
  memcpy(n, h + 1, size_t(std::min<int64_t>(h->size, int64_t(size))));
  small_free(s, h, nullptr, 0);  // no free site: the block lives on at n
  return n;
}

void* small_realloc(SLAB* s, MEM_HEADER* h, size_t size) {
  note_heap_call();
  live_slot(h, "xx_d_f_ree(1)");
  if (site_bytes(h->mlp) < h->size) er_panic("d_re_alloc");
  if (size > kMaxBlock) {
    errno = ENOMEM;
    return nullptr;
  }
  if (size > s->slot_size - kHdr) return move_slot(s, h, size);
  const int64_t diff = int64_t(size) - h->size;
  TQ_POISON(h + 1, s->slot_size - kHdr);
  TQ_UNPOISON(h + 1, size);
  site_add(h->mlp, diff);
  h->size = int64_t(size);
  add_used(heap_thread(), diff);
  return h + 1;
}

// ---- report tick and purge task ------------------------------------------------------------

// Sizes as read at the walk's start, so that the order stays one order while blocks change.
struct RANKED {
  MEM_LIST* m;
  int64_t size;
};
// The report tick's ranking of the sites with live bytes: at most 20, ordered by size
// then by record address, largest first. (A sorted array stands for the tree of the
// original, which the platform layer cannot take from the utilities above it.)
struct LOG_MEM {
  int size;  // entries used
  RANKED n[kRanked];
};

bool ranks_above(const RANKED& a, const RANKED& b) {
  if (a.size != b.size) return a.size > b.size;
  return a.m > b.m;
}

void rank_site(LOG_MEM* lm, RANKED m) {
  int i = lm->size;
  if (i == kRanked) {
    if (!ranks_above(m, lm->n[kRanked - 1])) return;
    i = kRanked - 1;  // the smallest is taken out
  } else {
    ++lm->size;
  }
  for (; i > 0 && ranks_above(m, lm->n[i - 1]); --i) lm->n[i] = lm->n[i - 1];
  lm->n[i] = m;
}

void list_tick(void*) {
  HeapGuard g(__FILE__, __LINE__, false);
  LOG_MEM lm{};
  MEM_LIST* max = nullptr;
  int64_t max_size = 0;
  for (MEM_LIST* chain : mem_list_hash)
    for (MEM_LIST* m = chain; m; m = m->next) {
      m->max_next = nullptr;
      const int64_t size = site_bytes(m);
      if (size <= 0) continue;
      if (!max || size > max_size) {
        m->max_next = max;
        max = m;
        max_size = size;
      }
      rank_site(&lm, RANKED{m, size});
    }
  // The ranking is dropped: the tick writes nothing.
}

MEM_PURGE_TBL* purger_list() {
  HeapGuard g(__FILE__, __LINE__, false);
  return mpt_root;  // records are only ever added at the head
}

// The purger with the oldest use among those that offer a time (the earlier on a tie).
MEM_PURGE_TBL* oldest_purger() {
  MEM_PURGE_TBL* best = nullptr;
  int best_time = 0;
  for (MEM_PURGE_TBL* p = purger_list(); p; p = p->next) {
    int t = 0;
    if (!p->last_access || p->last_access(&t) != 0) continue;
    if (!best || t < best_time) {
      best = p;
      best_time = t;
    }
  }
  return best;
}

void memory_debug_task(void*) {
  for (;;) {
    const int64_t mem = get_mem_size();
    const int64_t used = get_d_used_memory();
    sleep_sec(kPurgePeriod);
    memory_purge_round(mem, used);
  }
}

}  // namespace

// ---- public operations -------------------------------------------------------------------------

void init_d_alloc() {
  if (md_flag) er_panic("init_d_alloc");
  mallopt(M_MMAP_THRESHOLD, kSystemMapFrom);  // either setting alone ends glibc's adapting
  mallopt(M_TRIM_THRESHOLD, kSystemTrimFrom);
  md_lock = new_lock();
  slab_lock = new_lock();
  new_tick(list_tick, kReportPeriod, nullptr);
  create_task(memory_debug_task, nullptr, 0);
}

void* xx_d_alloc(size_t size, const char* file, int line) {
  if (kSlots && size <= kMaxSmall) return small_alloc(size, file, line);
  HeapGuard g(file, line);
  void* p = large_alloc(g, size, file, line);
  if (!p) g.panic("alloc");
  return p;
}

void* xx_d_calloc(size_t n, size_t size, const char* file, int line) {
  note_heap_call();
  if (size != 0 && n > kMaxBlock / size) er_panic("alloc");
  void* p = xx_d_alloc(n * size, file, line);
  memset(p, 0, n * size);
  return p;
}

void* d_re_alloc(void* ptr, size_t size) {
  if (!ptr) return xx_d_calloc(1, size, __FILE__, __LINE__);
  SLAB* s;
  if (MEM_HEADER* h = slot_of(ptr, &s)) return small_realloc(s, h, size);
  HeapGuard g(__FILE__, __LINE__);
  MEM_HEADER* h = sound_header(g, ptr, "xx_d_f_ree(1)");
  if (site_bytes(h->mlp) < h->size) g.panic("d_re_alloc");
  if (size > kMaxBlock) {
    errno = ENOMEM;
    return nullptr;
  }
  auto* n = static_cast<MEM_HEADER*>(realloc(h, kHdr + size));
  if (!n) {  // the old block is untouched, so is its accounting
    errno = ENOMEM;
    return nullptr;
  }
  const int64_t diff = int64_t(size) - n->size;
  site_add(n->mlp, diff);
  n->size = int64_t(size);
  add_total(diff);
  if (n != h) {
    live_erase_at(size_t(live_find(ptr)));
    live_insert(g, n + 1);
  }
  return n + 1;
}

void xx_d_f_ree(void* ptr, const char* file, int line) {
  if (!ptr) return;
  // A free never changes errno: callers free on their way out of a failure whose cause they
  // report, and the system heap or the heap's lock may set it.
  struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
  } keep;
  SLAB* s;
  if (MEM_HEADER* h = slot_of(ptr, &s)) return small_free(s, h, file, line);
  HeapGuard g(file, line);
  MEM_HEADER* h = sound_header(g, ptr, "xx_d_f_ree(1)");
  live_erase_at(size_t(live_find(ptr)));
  h->last_free_file = file;
  h->last_free_line = line;
  MEM_LIST* site = h->mlp;
  const int64_t left = site_add(site, -h->size);
  _insert_free_info(g, ptr, file, line);
  add_total(-int64_t(kHdr + size_t(h->size)));
  if (left < 0) g.panic("xx_d_f_ree(2)");
  if (enabled_time_list)
    insert_time_list(g, h);
  else
    free(h);
}

void xx_change_statistics(void* ptr, const char* file, int line) {
  SLAB* s;
  MEM_HEADER* h = slot_of(ptr, &s);
  if (h) {
    note_heap_call();
    live_slot(h, "xx_d_f_ree(1)");
  } else {
    HeapGuard g(file, line);
    h = sound_header(g, ptr, "xx_d_f_ree(1)");
  }
  MEM_LIST* to = site_of(heap_thread(), file, line);
  site_add(h->mlp, -h->size);
  site_add(to, h->size);
  h->mlp = to;
}

void check_mem_header(void* ptr) {
  SLAB* s;
  MEM_HEADER* h = slot_of(ptr, &s);
  if (h) live_slot(h, "check_mem_header(1)", false);  // before md_lock: its panic leaves no lock held
  HeapGuard g(__FILE__, __LINE__);
  if (!h) h = live_header(g, ptr, "check_mem_header(1)");
  if (h->size < 0) g.panic("check_mem_header(3)");
  const int64_t site = site_bytes(h->mlp);
  if (site < 0) g.panic("check_mem_header(4)");
  if (site < h->size) g.panic("check_mem_header(2)");
}

bool d_is_live(const void* ptr) {
  SLAB* s;
  if (MEM_HEADER* h = slot_of(ptr, &s)) return slot_state(h).load(std::memory_order_acquire) == kSlotLive;
  HeapGuard g(__FILE__, __LINE__, false);
  return live_find(ptr) >= 0;
}

int64_t get_d_used_memory() {
  int64_t n = total_mem_size.load(std::memory_order_relaxed) + orphan_used.load(std::memory_order_relaxed);
  for (HEAP_THREAD* t = heap_threads.load(std::memory_order_acquire); t; t = t->next)
    n += t->used.load(std::memory_order_relaxed);
  return n;
}

int64_t mem_list_bytes(const MEM_LIST* m) { return site_bytes(m); }

MEM_LIST* get_mem_debug_list(MEM_LIST* cursor) {
  HeapGuard g(__FILE__, __LINE__, false);
  unsigned b = 0;
  if (cursor) {
    if (cursor->next) return cursor->next;
    b = site_bucket(cursor->line) + 1;
  }
  for (; b < kBuckets; ++b)
    if (mem_list_hash[b]) return mem_list_hash[b];
  return nullptr;
}

void start_alloc_time_list() {
  HeapGuard g(__FILE__, __LINE__);
  enabled_time_list.store(1);
}

void set_mem_purge(MEM_PURGE_TBL* rec) {
  HeapGuard g(__FILE__, __LINE__, false);
  rec->next = mpt_root;
  mpt_root = rec;
}

int memory_purge_round(int64_t mem_size, int64_t used) {
  const int64_t base = mem_size - kPurgeReserve;
  if (base <= 0) return 0;  // no sensible marks on so small (or unknown) a memory
  const int64_t upper = base / 2;
  const int64_t lower = base / 3;
  if (used < upper) return 0;
  int calls = 0;
  while (used > lower) {
    MEM_PURGE_TBL* p = oldest_purger();
    if (!p) break;
    p->purge_mem((used - lower) / 3);
    ++calls;
    const int64_t now = get_d_used_memory();
    if (now >= used) break;  // a purger that frees nothing must not keep the task spinning
    used = now;
  }
  return calls;
}

void ind_tick() {
  HeapGuard g(__FILE__, __LINE__, false);
  int64_t max = 0;
  for (MEM_LIST* chain : mem_list_hash)
    for (MEM_LIST* m = chain; m; m = m->next) {
      const int64_t size = site_bytes(m);
      if (size <= 0) continue;
      if (size > max) {
        max = size;
        fputs("*", stdout);
      }
      printf("[%s:%i]==>%lld\n", m->file, m->line, static_cast<long long>(size));
    }
  fputs("IND_MEM END\n", stdout);
  fflush(stdout);
}

void check_mem_list(const char* label) {
  HeapGuard g(__FILE__, __LINE__, false);
  printf("CML %s\n", label);
  for (unsigned b = 0; b < kBuckets; ++b)
    for (MEM_LIST* m = mem_list_hash[b]; m; m = m->next)
      if (site_bytes(m) < 0 || site_bucket(m->line) != b) {
        fflush(stdout);
        g.panic("check_mem_list");
      }
  printf("CML %s end\n", label);
  fflush(stdout);
}

}  // namespace tq
