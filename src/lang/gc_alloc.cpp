// Collected memory: the block allocator, and the sweep that frees what a collection left
// unmarked.
//
// Blocks of up to kMaxSlotData bytes are slots of 256 KB chunks, each chunk holding slots of
// one size class (data 8, 16, ... 512 bytes after the 8-byte header, so a pair or an integer
// cell of 40 bytes takes 48). A thread takes a batch of free slots of a class at a time under
// the pool lock (or a range of slots never used, which it then hands out in address order
// without touching them before) and then allocates from its own cache without any shared
// write; the sweep takes every cache and range back and rebuilds each chunk's free slots in
// address order. A free slot's link to the next is the first word of its data.
// Larger blocks, and empty ones, are system allocations on the ring of large blocks, whose
// links and size sit in front of the header. A block is made, entered in the thread's top frame and counted
// inside the thread's memory-lock section, so a collection never sees a half-made block.
//
// What a collection leaves held decides the next one and what goes back to the system:
//  - Collections follow allocation: when the bytes taken since the last collection (slots
//    with their headers, large blocks) pass kGrowthPercent of what it left held (and at
//    least kMinTrigger), the thread asks the collector task for one as it leaves its
//    section. So the memory held peaks near (100 + kGrowthPercent)% of the live memory,
//    whatever the tick's interval.
//  - A chunk left without a live slot is kept for any class's next chunk, as many as the
//    allocation until the next collection may take or the last two collections found taken
//    before them; the rest are unmapped at once.
//  - Chunks with free slots are handed out fullest first: a chunk where only a few blocks
//    survived gets new blocks only when no fuller one has room, so it can empty and go.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "platform/d_alloc.h"
#include "platform/poison.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/format.h"


namespace tq {

const MallocCount malloc_count{};

namespace {

constexpr size_t kChunkHead = 64;  // the CHUNK record, then the slots
constexpr int64_t kMinTrigger = 32 << 20;
constexpr int64_t kGrowthPercent = 60;

struct CHUNK {
  CHUNK_HEAD head;
  CHUNK* next;          // the class's chunks
  CHUNK* next_partial;  // the class's chunks with free slots, fullest first
  GC_BLOCK* free_head;  // free slots not in any thread's cache, in address order
  int slot_size;        // header and data
  int nslots;
  int carved;           // slots handed out at least once; the rest were never touched
  int live;             // live slots after the last sweep
};
static_assert(sizeof(CHUNK) <= kChunkHead);

struct SLOT_CLASS {
  CHUNK* chunks;
  CHUNK* partial;
};
SLOT_CLASS classes[kSlotClasses];

// Chunks without a live slot, kept for any class's next chunk (pool lock): as many as the
// allocation until the next collection may take, or as either of the last two collections
// saw taken before them, so a program that makes and drops the same amount again and again
// keeps its pages instead of faulting them in anew after every collection.
CHUNK* spare_chunks = nullptr;
int64_t spare_count = 0;
int64_t last_taken = 0;  // the debt the collection before the last one found

// In front of a large block's header; 32 bytes with it, so its data keeps the system
// allocator's 16-byte alignment.
struct LARGE_LINK {
  LARGE_LINK* next;
  LARGE_LINK* prev;
  int64_t size;  // bytes of data (block_size reads it just before the header)
};
static_assert(sizeof(LARGE_LINK) + sizeof(GC_BLOCK) == 32);
LARGE_LINK large_ring = {&large_ring, &large_ring, 0};  // pool lock

int64_t live_base = 0;                  // data bytes live at the last fold
std::atomic<int64_t> gc_debt{0};        // slot and large bytes taken since the last sweep
std::atomic<int64_t> gc_trigger{kMinTrigger};
void* emergency_reserve = nullptr;  // released so that the out-of-memory report can be written

[[noreturn]] void out_of_memory(const char* text) {
  std::free(emergency_reserve);
  emergency_reserve = nullptr;
  er_panic(text);
}

// Zeroes a slot block's data of class c in whole words, without a library call (a cell is
// a few words; the slot's data is class_data(c) bytes).
inline void clear_words(void* data, size_t size, int c) {
#if defined(TQ_SANITIZE)
  (void)c;
  std::memset(data, 0, size);  // only size bytes are addressable
#else
  (void)size;
  auto* w = static_cast<uint64_t*>(data);
  switch (c) {  // cells take 3 to 9 words: stored straight, as a loop of words becomes a slow rep stos
    case 8: w[8] = 0; [[fallthrough]];
    case 7: w[7] = 0; [[fallthrough]];
    case 6: w[6] = 0; [[fallthrough]];
    case 5: w[5] = 0; [[fallthrough]];
    case 4: w[4] = 0; [[fallthrough]];
    case 3: w[3] = 0; [[fallthrough]];
    case 2: w[2] = 0; [[fallthrough]];
    case 1: w[1] = 0; [[fallthrough]];
    case 0: w[0] = 0; return;
    default: break;
  }
  if (!(c & 1)) *w++ = 0;  // an odd count of words: one alone, then pairs
  for (int i = 0; i < (c + 1) / 2; ++i, w += 2) {
    w[0] = 0;
    w[1] = 0;
  }
#endif
}

inline int class_of(size_t size) { return int((size - 1) >> 3); }  // size 1..kMaxSlotData
size_t class_data(int c) { return size_t(c + 1) << 3; }
// The mark-word bits of a slot block of size bytes in class c.
inline uint32_t slack_bits(size_t size, int c) { return uint32_t(class_data(c) - size) << kSlackShift; }

GC_BLOCK* slot_at(CHUNK* ch, int i) {
  return reinterpret_cast<GC_BLOCK*>(reinterpret_cast<char*>(ch) + kChunkHead + size_t(i) * size_t(ch->slot_size));
}
GC_BLOCK*& free_link(GC_BLOCK* b) { return *reinterpret_cast<GC_BLOCK**>(b + 1); }
// Makes slot b free: its data is poisoned but for the link word.
void set_free(GC_BLOCK* b, size_t data) {
  b->mark = kMarkFree;
  TQ_POISON(b + 1, data);
  TQ_UNPOISON(b + 1, sizeof(GC_BLOCK*));
}


void add_live(MEM_THREAD* t, int64_t n) {
  t->live_delta.store(t->live_delta.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

CHUNK* new_chunk(int c) {
  void* p = spare_chunks;
  if (p) {
    spare_chunks = spare_chunks->next;
    --spare_count;
  } else {
    void* m = mmap(nullptr, 2 * kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) out_of_memory("no memory!!");
    const uintptr_t a = (reinterpret_cast<uintptr_t>(m) + kChunkSize - 1) & ~uintptr_t(kChunkSize - 1);
    const size_t before = a - reinterpret_cast<uintptr_t>(m);
    if (before) munmap(m, before);
    if (kChunkSize - before) munmap(reinterpret_cast<char*>(a) + kChunkSize, kChunkSize - before);
    p = reinterpret_cast<void*>(a);
    TQ_LEAK_ROOT(p, kChunkSize);  // collected cells hold debug-heap blocks
  }
  TQ_UNPOISON(p, kChunkSize);  // the address may be that of a chunk given back poisoned
  auto* ch = static_cast<CHUNK*>(p);
  ch->head.slot_data = int(class_data(c));
  ch->head.marked = 0;
  ch->head.replaced.store(0, std::memory_order_relaxed);
  ch->free_head = nullptr;
  ch->carved = 0;
  ch->live = 0;
  ch->slot_size = int(sizeof(GC_BLOCK) + class_data(c));
  ch->nslots = int((kChunkSize - kChunkHead) / size_t(ch->slot_size));
  SLOT_CLASS& k = classes[c];
  ch->next = k.chunks;
  k.chunks = ch;
  ch->next_partial = k.partial;
  k.partial = ch;
  TQ_POISON(slot_at(ch, 0), size_t(ch->nslots) * size_t(ch->slot_size));
  return ch;
}

// A batch of free slots of size class c for thread t's cache, returned as a list; or, when
// the chunk has none, null with a range of never used slots as t's fresh range (pool lock
// inside).
GC_BLOCK* refill(MEM_THREAD* t, int c) {
  lock_pool();
  SLOT_CLASS& k = classes[c];
  CHUNK* ch = k.partial ? k.partial : new_chunk(c);
  const int want = std::max(8, 8192 / ch->slot_size);
  GC_BLOCK* head = nullptr;
  GC_BLOCK** tail = &head;
  int n = 0;
  for (; n < want && ch->free_head; ++n) {
    GC_BLOCK* b = ch->free_head;
    ch->free_head = free_link(b);
    *tail = b;
    tail = &free_link(b);
  }
  *tail = nullptr;
  if (n == 0) {
    n = std::min(want, ch->nslots - ch->carved);
    auto* first = reinterpret_cast<char*>(slot_at(ch, ch->carved));
    ch->carved += n;
    t->fresh_end[c] = first + size_t(n) * size_t(ch->slot_size);
    t->fresh[c].store(first, std::memory_order_release);
  }
  if (!ch->free_head && ch->carved == ch->nslots) k.partial = ch->next_partial;  // nothing left
  unlock_pool();
  const int64_t debt = gc_debt.fetch_add(int64_t(n) * ch->slot_size, std::memory_order_relaxed);
  if (debt > gc_trigger.load(std::memory_order_relaxed)) t->want_gc = true;
  return head;
}

GC_BLOCK* new_large(size_t size, const char* failure) {
  if (size > SIZE_MAX - sizeof(GC_BLOCK) - sizeof(LARGE_LINK)) out_of_memory(failure);
  auto* link = static_cast<LARGE_LINK*>(std::calloc(1, sizeof(LARGE_LINK) + sizeof(GC_BLOCK) + size));
  if (!link) out_of_memory(failure);
  link->size = int64_t(size);
  lock_pool();
  link->prev = &large_ring;
  link->next = large_ring.next;
  large_ring.next->prev = link;
  large_ring.next = link;
  unlock_pool();
  const int64_t debt = gc_debt.fetch_add(int64_t(size), std::memory_order_relaxed);
  if (debt > gc_trigger.load(std::memory_order_relaxed)) tl_mem->want_gc = true;
  return reinterpret_cast<GC_BLOCK*>(link + 1);
}

LARGE_LINK* large_link_of(GC_BLOCK* b) { return reinterpret_cast<LARGE_LINK*>(b) - 1; }

void set_header(GC_BLOCK* b, uint32_t mark, int line) {
  b->mark = mark;
  b->line = line;
}

// The next slot of t's fresh range of class c made a block; null when the range is used up.
[[gnu::hot]] GC_BLOCK* take_fresh(MEM_THREAD* t, int c, size_t size, uint32_t mark, int line) {
  char* p = t->fresh[c].load(std::memory_order_relaxed);
  if (p == t->fresh_end[c]) return nullptr;
  auto* b = reinterpret_cast<GC_BLOCK*>(p);
  TQ_UNPOISON(b, sizeof(GC_BLOCK) + size);
  set_header(b, mark, line);
  clear_words(b + 1, size, c);
  // Past fresh, mem_is_block reads the header: it is whole before fresh moves.
  t->fresh[c].store(p + sizeof(GC_BLOCK) + class_data(c), std::memory_order_release);
  return b;
}

// A block of size bytes for gc_func whose site is that of the mark-word bits site.
[[gnu::hot]] void* new_block_nl(size_t size, GC_FUNC gc_func, uint32_t site, int line, const char* failure) {
  MEM_THREAD* t = tl_mem;
  GC_BLOCK* b;
  // An empty block is a large one: a slot's slack bits hold 0..7, and a block of 0 bytes in
  // the 8-byte class would need 8 (the next bit up is kMarkLarge).
  if (size - 1 < size_t(kMaxSlotData)) [[likely]] {
    const int c = class_of(size);
    const uint32_t mark = site | slack_bits(size, c);
    b = t->cache[c];
    if (!b) {
      b = take_fresh(t, c, size, mark, line);
      if (b) goto made;
      b = refill(t, c);
      if (!b) {
        b = take_fresh(t, c, size, mark, line);
        goto made;
      }
    }
    t->cache[c] = free_link(b);
    TQ_UNPOISON(b + 1, size);
    clear_words(b + 1, size, c);
    set_header(b, mark, line);
  } else {
    b = new_large(size, failure);
    set_header(b, site | kMarkLarge, line);
  }
made:
  add_live(t, int64_t(size));
  void* data = b + 1;
  gc_set_nl_non_check(data, gc_func);
  return data;
}

void* new_block(size_t size, GC_FUNC gc_func, uint32_t site, int line, const char* failure) {
  MemLock lock;
  return new_block_nl(size, gc_func, site, line, failure);
}

// Frees the block of data ptr now (memory lock held).
void release_block(MEM_THREAD* t, void* ptr) {
  GC_BLOCK* b = gc_block_of(ptr);
  gc_delete_nl(ptr);
  gc_unpin_nl(static_cast<TQ_SEXP*>(ptr));  // a lookup's root of it too
  add_live(t, -block_size(b));
  if (!(b->mark & kMarkLarge)) {
    const int data = chunk_head(b)->slot_data;
    const int c = class_of(size_t(data));
    set_free(b, size_t(data));
    free_link(b) = t->cache[c];
    t->cache[c] = b;
    return;
  }
  LARGE_LINK* link = large_link_of(b);
  lock_pool();
  link->prev->next = link->next;
  link->next->prev = link->prev;
  unlock_pool();
  std::free(link);
}

// The data bytes of the slot block of mark word m in chunk ch.
inline int64_t slot_bytes(const CHUNK* ch, uint32_t m) {
  return ch->head.slot_data - int((m & kSlackMask) >> kSlackShift);
}

// Chunk ch, every used slot of which was marked (none free or replaced): only the marks are
// cleared. Returns the data bytes that survive.
int64_t sweep_full_chunk(CHUNK* ch) {
  int64_t kept = 0;
  constexpr int kAhead = 8;
  for (int i = 0; i < ch->carved; ++i) {
    GC_BLOCK* b = slot_at(ch, i);
    if (i + kAhead < ch->carved) __builtin_prefetch(slot_at(ch, i + kAhead), 1);
    const uint32_t m = b->mark;
    b->mark = m & ~kMarkSurvives;
    kept += slot_bytes(ch, m);
  }
  ch->free_head = nullptr;
  ch->live = ch->carved;
  return kept;
}

// Rebuilds the free slots of chunk ch; returns the data bytes that survive.
int64_t sweep_chunk(CHUNK* ch, void (*add_stat)(MEM_STATISTICS*, const GC_BLOCK*), MEM_STATISTICS* stats) {
  int64_t kept = 0;
  int live = 0;
  GC_BLOCK* head = nullptr;
  GC_BLOCK** tail = &head;
  const size_t data = size_t(ch->head.slot_data);
  constexpr int kAhead = 8;  // the slots' lines are read once each: ask for them early
  for (int i = 0; i < ch->carved; ++i) {
    GC_BLOCK* b = slot_at(ch, i);
    if (i + kAhead < ch->carved) __builtin_prefetch(slot_at(ch, i + kAhead), 1);
    const uint32_t m = b->mark;
    if (m & kMarkFree) {
      b->mark = kMarkFree;  // a stray mark on a free slot
    } else if (m & kMarkSurvives) {
      if (stats && (m & kMarkLive)) add_stat(stats, b);
      b->mark = m & ~kMarkSurvives;
      kept += slot_bytes(ch, m);
      ++live;
      continue;
    } else {
      set_free(b, data);
    }
    *tail = b;
    tail = &free_link(b);
  }
  *tail = nullptr;
  ch->free_head = head;
  ch->live = live;
  return kept;
}

// Frees the unmarked large blocks; returns the data bytes that survive (also added to held).
int64_t sweep_large(void (*add_stat)(MEM_STATISTICS*, const GC_BLOCK*), MEM_STATISTICS* stats,
                    int64_t* held) {
  int64_t kept = 0;
  for (LARGE_LINK* l = large_ring.next; l != &large_ring;) {
    LARGE_LINK* next = l->next;
    auto* b = reinterpret_cast<GC_BLOCK*>(l + 1);
    if (b->mark & kMarkSurvives) {
      if (stats && (b->mark & kMarkLive)) add_stat(stats, b);
      b->mark &= ~kMarkSurvives;
      *held += l->size;
      kept += l->size;
    } else {
      l->prev->next = next;
      next->prev = l->prev;
      std::free(l);
    }
    l = next;
  }
  return kept;
}

// Whether chunk ch, swept, has room but few enough live slots to be handed out last.
bool sparse(const CHUNK* ch) { return ch->live < ch->nslots / 4; }

// Sweeps the chunks of class k: chunks left empty go to the spare list, the others with
// room to the partial list, the fuller ones first. Returns the data bytes that survive and
// adds what they hold to held.
int64_t sweep_class(SLOT_CLASS& k, void (*add_stat)(MEM_STATISTICS*, const GC_BLOCK*), MEM_STATISTICS* stats,
                    int64_t* held) {
  int64_t kept = 0;
  CHUNK* full_first = nullptr;  // pushed in front, as the sparse ones: oldest chunks first
  CHUNK* full_last = nullptr;
  CHUNK* sparse_first = nullptr;
  for (CHUNK** p = &k.chunks; *p;) {
    CHUNK* ch = *p;
    const int replaced = ch->head.replaced.load(std::memory_order_relaxed);
    if (ch->head.marked == 0 && replaced == 0) {
      ch->live = 0;
      TQ_POISON(slot_at(ch, 0), size_t(ch->carved) * size_t(ch->slot_size));
    } else if (!stats && ch->head.marked == ch->carved && !ch->free_head && replaced == 0) {
      kept += sweep_full_chunk(ch);
    } else {
      kept += sweep_chunk(ch, add_stat, stats);
    }
    ch->head.marked = 0;
    ch->head.replaced.store(0, std::memory_order_relaxed);
    *held += int64_t(ch->live) * ch->slot_size;
    if (ch->live == 0) {
      *p = ch->next;
      ch->next = spare_chunks;
      spare_chunks = ch;
      ++spare_count;
      continue;
    }
    if (ch->free_head || ch->carved < ch->nslots) {
      if (sparse(ch)) {
        ch->next_partial = sparse_first;
        sparse_first = ch;
      } else {
        ch->next_partial = full_first;
        full_first = ch;
        if (!full_last) full_last = ch;
      }
    }
    p = &ch->next;
  }
  if (full_last) full_last->next_partial = sparse_first;
  k.partial = full_last ? full_first : sparse_first;
  return kept;
}

}  // namespace

MallocCount::operator int64_t() const {
  MemLock lock;  // no collection folds the counts meanwhile
  int64_t n = live_base;
  for (MEM_THREAD* t = mem_threads(); t; t = t->next) n += t->live_delta.load(std::memory_order_relaxed);
  return n;
}

int64_t fold_live_bytes() {
  for (MEM_THREAD* t = mem_threads(); t; t = t->next) {
    live_base += t->live_delta.load(std::memory_order_relaxed);
    t->live_delta.store(0, std::memory_order_relaxed);
  }
  return live_base;
}

int64_t sweep_blocks(void (*add_stat)(MEM_STATISTICS*, const GC_BLOCK*), MEM_STATISTICS* stats) {
  for (MEM_THREAD* t = mem_threads(); t; t = t->next) {
    std::fill(std::begin(t->cache), std::end(t->cache), nullptr);  // their slots are free
    for (int c = 0; c < kSlotClasses; ++c) {  // fresh slots become free slots of their chunks
      const size_t step = sizeof(GC_BLOCK) + class_data(c);
      for (char* p = t->fresh[c].load(std::memory_order_relaxed); p != t->fresh_end[c]; p += step) {
        auto* b = reinterpret_cast<GC_BLOCK*>(p);
        TQ_UNPOISON(b, sizeof(GC_BLOCK) + sizeof(GC_BLOCK*));
        b->mark = kMarkFree;
      }
      t->fresh[c].store(nullptr, std::memory_order_relaxed);
      t->fresh_end[c] = nullptr;
    }
  }
  // The bytes freed are the live bytes counted before less those that survive, so a chunk
  // that nobody reached is freed whole without reading its slots.
  const int64_t before = fold_live_bytes();
  int64_t kept = 0;
  int64_t held = 0;  // what survives, as allocation counts it
  for (SLOT_CLASS& k : classes) kept += sweep_class(k, add_stat, stats, &held);
  kept += sweep_large(add_stat, stats, &held);
  const int64_t freed = before - kept;
  live_base = kept;
  const int64_t taken = gc_debt.exchange(0, std::memory_order_relaxed);
  const int64_t trigger = gc_next_trigger(held);
  const int64_t keep = std::max({trigger, taken, last_taken}) / int64_t(kChunkSize);
  last_taken = taken;
  while (spare_count > keep) {
    CHUNK* ch = spare_chunks;
    spare_chunks = ch->next;
    --spare_count;
    TQ_UNPOISON(ch, kChunkSize);
    TQ_LEAK_UNROOT(ch, kChunkSize);
    munmap(ch, kChunkSize);
  }
  gc_trigger.store(trigger, std::memory_order_relaxed);
  return freed;
}

int64_t gc_next_trigger(int64_t held) { return std::max(kMinTrigger, held * kGrowthPercent / 100); }

int64_t gc_bytes_taken() { return gc_debt.load(std::memory_order_relaxed); }

bool collection_due() {
  return gc_debt.load(std::memory_order_relaxed) > gc_trigger.load(std::memory_order_relaxed);
}

void minit() {
  if (emergency_reserve) return;
  emergency_reserve = std::malloc(1000);
  if (!emergency_reserve) er_panic("no memory!!");
  mem_section_init();
  block_tags_init();
}

// The allocating file is not kept (a block's site is that of the root that last marked it:
// only that is ever read); its line is.
void* xx_mmalloc(size_t size, GC_FUNC gc_func, const char*, int line) {
  return new_block(size, gc_func, 0, line, "no memory!!");
}

[[gnu::hot]] void* mmalloc_nl(size_t size, GC_FUNC gc_func, const char*, int line) {
  return new_block_nl(size, gc_func, 0, line, "no memory!!");
}

void mfree(void* ptr) {
  if (!ptr) return;
  MemLock lock;
  release_block(tl_mem, ptr);
}

void* mrealloc(void* ptr, size_t size, GC_FUNC gc_func) {
  if (!ptr) er_panic("mrealloc(1)");
  GC_BLOCK* old = gc_block_of(ptr);
  MemLock lock;
  const int64_t old_size = block_size(old);
  if (int64_t(size) == old_size) return ptr;
  void* data = new_block(size, gc_func, old->mark & kSiteMask, old->line, "no memmory");
  std::memcpy(data, ptr, size_t(std::min<int64_t>(old_size, int64_t(size))));
  const uint32_t was = std::atomic_ref<uint32_t>(old->mark).fetch_or(kMarkReplaced, std::memory_order_relaxed);
  if (!(was & (kMarkReplaced | kMarkLarge)))
    chunk_head(old)->replaced.fetch_add(1, std::memory_order_relaxed);  // its chunk is swept
  return data;
}

void free_sexp(TQ_SEXP* s) {
  if (!s) return;
  switch (sexp_tag(s)) {
    case kTagNil:
    case kTagError:
    case kTagPair:
    case kTagFunc:
    case kTagPtr:
      break;
    case kTagSymbol:
      mfree(s->symbol.data);
      break;
    case kTagString:
      mfree(s->string.data);
      break;
    case kTagInteger:
      mfree(s->integer.unit);
      break;
    case kTagFloat:
      mfree(s->floating.unit);
      break;
    case kTagRaw:
      mfree(s->raw.data);
      break;
    default:
      er_panic("free_sexp(1)");
  }
  MemLock lock;
  release_block(tl_mem, s);
}

void* copy_mstr(const char* text) {
  const size_t n = std::strlen(text) + 1;
  void* p = mmalloc(n, gc_text);
  std::memcpy(p, text, n);
  return p;
}

int64_t mem_block_size(const void* ptr) { return block_size(gc_block_of(ptr)); }

void exercise_debug_heap(int count, char fill) {
  auto** blocks = static_cast<char**>(d_calloc(size_t(count), sizeof(char*)));
  for (int i = 0; i < count; ++i) {
    blocks[i] = static_cast<char*>(d_alloc(size_t(i) + 1));
    std::memset(blocks[i], fill, size_t(i) + 1);
  }
  for (int i = 0; i < count; ++i) d_f_ree(blocks[i]);
  d_f_ree(blocks);
}

void mem_test() {
  exercise_debug_heap(2000, 'w');
  ss_printf("END\n");
}

char* raw_copy_str(const char* text) {
  const size_t n = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(n));
  if (!copy) er_panic("no memory!!");
  return static_cast<char*>(std::memcpy(copy, text, n));
}

void _mem_debug1() { std::free(std::malloc(56)); }

namespace {

// Whether slot b of chunk ch lies in a thread's fresh range (pool lock held): such a slot
// has no header yet.
bool in_fresh_range(const CHUNK* ch, const GC_BLOCK* b) {
  const int c = class_of(size_t(ch->slot_size) - sizeof(GC_BLOCK));
  const auto* p = reinterpret_cast<const char*>(b);
  for (MEM_THREAD* t = mem_threads(); t; t = t->next)
    if (p >= t->fresh[c].load(std::memory_order_acquire) && p < t->fresh_end[c]) return true;
  return false;
}

}  // namespace

bool mem_is_block(const void* p) {
  if (!p) return false;
  MemLock hold;
  lock_pool();
  bool found = false;
  for (const LARGE_LINK* l = large_ring.next; !found && l != &large_ring; l = l->next)
    found = static_cast<const void*>(reinterpret_cast<const GC_BLOCK*>(l + 1) + 1) == p;
  const auto* c = static_cast<const char*>(p);
  for (const SLOT_CLASS& k : classes) {
    for (CHUNK* ch = k.chunks; !found && ch; ch = ch->next) {
      const char* first = reinterpret_cast<const char*>(slot_at(ch, 0) + 1);
      if (c < first || c >= reinterpret_cast<const char*>(ch) + kChunkSize) continue;
      const size_t off = size_t(c - first);
      const size_t i = off / size_t(ch->slot_size);
      found = off % size_t(ch->slot_size) == 0 && int(i) < ch->carved && !in_fresh_range(ch, slot_at(ch, int(i))) &&
              !(slot_at(ch, int(i))->mark & kMarkFree);
    }
  }
  unlock_pool();
  return found;
}

}  // namespace tq
