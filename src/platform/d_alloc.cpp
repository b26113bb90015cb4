// Debug heap: blocks with a header naming their sites, live bytes per allocation site,
// double-free detection from the heap's own records, the quarantine of freed blocks,
// the purge task and the report tick.
//
// Deciding whether a pointer may be freed never reads memory that went back to the
// system: the heap keeps a hash set of the addresses of its live blocks. A live address
// has a readable header; any other address is a fault, reported with the earlier free
// site when the heap still knows it (the last 1000 frees, or a block held in the
// quarantine). An address freed longer ago than that is still refused, only without the
// "FILE" line. The set costs one hash insert and one erase per block.
#include "platform/d_alloc.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/lock.h"
#include "platform/machine.h"
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
int md_flag;  // set by the first heap call
MEM_LIST* mem_list_hash[kBuckets];
std::atomic<int64_t> total_mem_size;

int enabled_time_list;
MEM_HEADER* memory_time_list_head;
MEM_HEADER* memory_time_list_tail;
int64_t memory_time_list_size;

MEM_FREE_INFO free_info_pool[kMaxFreeInfo];
MEM_FREE_INFO* mem_free_info_hash[kBuckets];
MEM_FREE_INFO* free_info_oldest;
MEM_FREE_INFO* free_info_newest;
int mem_free_info_len;

MEM_PURGE_TBL* mpt_root;

void add_total(int64_t n) {  // only under md_lock (or before it exists)
  total_mem_size.store(total_mem_size.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Holds md_lock (once it exists) for one heap call; releases it before a panic so that
// the exit path may still use the heap.
class HeapGuard {
 public:
  HeapGuard(const char* file, int line, bool heap_call = true) {
    if (heap_call) md_flag = 1;
    if (md_lock.so) {
      _i_lock_task(md_lock, file, line);
      held_ = true;
    }
  }
  ~HeapGuard() { release(); }
  HeapGuard(const HeapGuard&) = delete;
  HeapGuard& operator=(const HeapGuard&) = delete;
  void release() {
    if (held_) {
      held_ = false;
      _i_unlock_task(md_lock, "d_alloc", __FILE__, __LINE__);
    }
  }
  [[noreturn]] void panic(const char* text) {
    release();
    er_panic(text);
  }

 private:
  bool held_ = false;
};

// ---- the set of live addresses (open addressing, backward-shift deletion) ----------

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
  slot[i] = p;
}

void live_insert(HeapGuard& g, void* ptr) {
  if ((live.count + 1) * 2 > live.mask + 1 || !live.slot) {
    size_t cap = live.slot ? (live.mask + 1) * 2 : 4096;
    auto* slot = static_cast<uintptr_t*>(calloc(cap, sizeof(uintptr_t)));
    if (!slot) g.panic("alloc");
    if (live.slot) {
      for (size_t i = 0; i <= live.mask; ++i)
        if (live.slot[i]) live_put(slot, cap - 1, live.slot[i]);
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
    if (live.slot[i] == p) return ptrdiff_t(i);
  return -1;
}

void live_erase_at(size_t i) {
  const size_t mask = live.mask;
  for (size_t j = (i + 1) & mask; live.slot[j]; j = (j + 1) & mask) {
    size_t home = live_hash(live.slot[j]) & mask;
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
    free(old);
  }
}

// ---- allocation -------------------------------------------------------------------------

void* heap_alloc(HeapGuard& g, size_t size, const char* file, int line) {
  if (size > kMaxBlock) g.panic("alloc");
  auto* h = static_cast<MEM_HEADER*>(malloc(kHdr + size));
  if (!h) g.panic("alloc");
  MEM_LIST* site = find_site(g, file, line);
  *h = MEM_HEADER{nullptr, site, int64_t(size), nullptr, 0, file, line};
  site->size += int64_t(size);
  add_total(int64_t(kHdr + size));
  live_insert(g, h + 1);
  return h + 1;
}

// ---- report tick and purge task ------------------------------------------------------------

// The report tick's ranking of the sites with live bytes: at most 20, ordered by size
// then by record address, largest first. (A sorted array stands for the tree of the
// original, which the platform layer cannot take from the utilities above it.)
struct LOG_MEM {
  int size;  // entries used
  MEM_LIST* n[kRanked];
};

bool ranks_above(const MEM_LIST* a, const MEM_LIST* b) {
  if (a->size != b->size) return a->size > b->size;
  return a > b;
}

void rank_site(LOG_MEM* lm, MEM_LIST* m) {
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
  for (MEM_LIST* chain : mem_list_hash)
    for (MEM_LIST* m = chain; m; m = m->next) {
      m->max_next = nullptr;
      if (m->size <= 0) continue;
      if (!max || m->size > max->size) {
        m->max_next = max;
        max = m;
      }
      rank_site(&lm, m);
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
  md_lock = new_lock();
  new_tick(list_tick, kReportPeriod, nullptr);
  create_task(memory_debug_task, nullptr, 0);
}

void* xx_d_alloc(size_t size, const char* file, int line) {
  HeapGuard g(file, line);
  return heap_alloc(g, size, file, line);
}

void* xx_d_calloc(size_t n, size_t size, const char* file, int line) {
  HeapGuard g(file, line);
  if (size != 0 && n > kMaxBlock / size) g.panic("alloc");
  void* p = heap_alloc(g, n * size, file, line);
  memset(p, 0, n * size);
  return p;
}

void* d_re_alloc(void* ptr, size_t size) {
  if (!ptr) return xx_d_calloc(1, size, __FILE__, __LINE__);
  HeapGuard g(__FILE__, __LINE__);
  MEM_HEADER* h = sound_header(g, ptr, "xx_d_f_ree(1)");
  if (h->mlp->size < h->size) g.panic("d_re_alloc");
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
  n->mlp->size += diff;
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
  HeapGuard g(file, line);
  MEM_HEADER* h = sound_header(g, ptr, "xx_d_f_ree(1)");
  live_erase_at(size_t(live_find(ptr)));
  h->last_free_file = file;
  h->last_free_line = line;
  MEM_LIST* site = h->mlp;
  site->size -= h->size;
  _insert_free_info(g, ptr, file, line);
  add_total(-int64_t(kHdr + size_t(h->size)));
  if (site->size < 0) g.panic("xx_d_f_ree(2)");
  if (enabled_time_list)
    insert_time_list(g, h);
  else
    free(h);
}

void xx_change_statistics(void* ptr, const char* file, int line) {
  HeapGuard g(file, line);
  MEM_HEADER* h = sound_header(g, ptr, "xx_d_f_ree(1)");
  MEM_LIST* to = find_site(g, file, line);
  h->mlp->size -= h->size;
  to->size += h->size;
  h->mlp = to;
}

void check_mem_header(void* ptr) {
  HeapGuard g(__FILE__, __LINE__);
  MEM_HEADER* h = live_header(g, ptr, "check_mem_header(1)");
  if (h->size < 0) g.panic("check_mem_header(3)");
  if (h->mlp->size < 0) g.panic("check_mem_header(4)");
  if (h->mlp->size < h->size) g.panic("check_mem_header(2)");
}

bool d_is_live(const void* ptr) {
  HeapGuard g(__FILE__, __LINE__, false);
  return live_find(ptr) >= 0;
}

int64_t get_d_used_memory() { return total_mem_size.load(std::memory_order_relaxed); }

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
  enabled_time_list = 1;
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
      if (m->size <= 0) continue;
      if (m->size > max) {
        max = m->size;
        fputs("*", stdout);
      }
      printf("[%s:%i]==>%lld\n", m->file, m->line, static_cast<long long>(m->size));
    }
  fputs("IND_MEM END\n", stdout);
  fflush(stdout);
}

void check_mem_list(const char* label) {
  HeapGuard g(__FILE__, __LINE__, false);
  printf("CML %s\n", label);
  for (unsigned b = 0; b < kBuckets; ++b)
    for (MEM_LIST* m = mem_list_hash[b]; m; m = m->next)
      if (m->size < 0 || site_bucket(m->line) != b) {
        fflush(stdout);
        g.panic("check_mem_list");
      }
  printf("CML %s end\n", label);
  fflush(stdout);
}

}  // namespace tq
