// Root frames: per-thread stacks of frames whose entries keep collected blocks alive while
// a thread works with them, the marking of every thread's frames, and the per-thread
// nesting count of the language's recursive walkers.
//
// Records live on the debug heap. Threads are found through 100 buckets by task number;
// a frame's entries are hashed by block address into 32 buckets for gc_set and gc_delete,
// and stored in the frame's own arrays (a few inside the frame record, then chunks that
// double in size), so closing a frame frees a handful of chunks instead of walking its
// entries, and marking reads the entries in order. Every block made is entered in its
// thread's top frame, so taking an entry is a pointer step in the newest array. Everything here runs under the memory
// lock (the calling thread's section of it).
//
// A thread's record of its task's frames hangs on the thread's memory record, so finding it
// needs no table walk; the table by task number is kept for the collector and the
// diagnostics, changed under the pool lock when a task opens its first frame or closes its
// last. The record of a task whose last frame closed is kept for the thread's next task.
//
// The evaluator opens and closes two frames per call, so a frame must cost no heap call: a
// short label is copied into the record itself, and a thread's record keeps the records of
// its closed frames (a few dozen, still debug-heap blocks) and a few of their chunks of each
// size for its next frames; they go back to the heap with the thread's record, when its last
// frame closes.
//
// A value a lookup hands out is rooted by a pin instead of an entry: a store on the thread's
// memory record (gc_pin_nl), which a frame cuts back to its height at opening as it closes.
// Lookups are the evaluator's most frequent roots, and nothing ever looks a pin up.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/format.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kThreadBuckets = 100;
constexpr int kFrameBuckets = 32;  // bits of GC_STACK::used
constexpr int kInlineEntries = 16;    // inside the frame record (a lambda call's frame needs ~12)
constexpr int kMaxChunkEntries = 4096;
constexpr int kInlineLabel = 32;      // labels shorter than this are copied into the record
constexpr int kCachedFrames = 64;     // closed frame records a thread keeps for reuse
constexpr int kChunkClasses = 8;      // entry chunks of 32, 64, ... 4096 entries
constexpr int kCachedChunks = 4;      // closed frames' chunks of each class a thread keeps
static_assert(2 * kInlineEntries << (kChunkClasses - 1) == kMaxChunkEntries);
constexpr int kFirstPins = 64;        // a thread's first stack of lookups' roots
constexpr int kKeptPins = 4096;       // a larger one goes back when the last frame closes

struct GC_LIST {
  GC_LIST* next;  // bucket chain while in use, the frame's free chain while free
  void* mem;      // null while free (or emptied because the block was replaced)
  GC_FUNC gc;
};
struct GC_CHUNK {
  GC_CHUNK* next;   // the older chunk
  GC_CHUNK* newer;  // the newer chunk, or null for the newest
  int cap;  // entries; all are handed out but in the frame's newest chunk
  GC_LIST e[1];
};
}  // namespace

struct GC_THREAD {
  GC_THREAD* next;  // bucket chain
  int tid;
  GC_STACK* stack;  // top frame
  GC_STACK* bottom;  // the first frame, set before the record is in the table and kept while it is
  int depth;         // written by its thread only; print_th reads it from others (relaxed)
  GC_STACK* spare;  // closed frame records kept for reuse, chained through parent
  int spare_count;
  GC_CHUNK* spare_chunks[kChunkClasses];  // closed frames' chunks by size, chained through next
  int spare_chunk_count[kChunkClasses];
  uint64_t pushes;  // pushes so far: a frame's serial
};

namespace {

GC_THREAD* gc_thread_hash[kThreadBuckets];  // pool lock

thread_local int nest_count = 0;

}  // namespace

struct GC_STACK {
  GC_STACK* parent;  // the frame below
  uint64_t serial;   // the number of the push that opened it
  GC_LIST* hash[kFrameBuckets];  // bucket b holds entries only when bit b of used is set
  uint32_t used;
  char* msg;  // a copy of the label
  int count;  // entries
  int pin_base;  // the thread's pin stack as the frame opened: cut back to it as it closes
  GC_THREAD* thread;
  GC_LIST* free_list;
  GC_CHUNK* chunks;  // newest first
  GC_CHUNK* oldest;
  GC_LIST* cursor;   // the next entry never handed out, in the newest array
  GC_LIST* cursor_end;
  GC_LIST inline_e[kInlineEntries];
  char label[kInlineLabel];  // msg points here when the label fits
};

namespace {

// A frame record of thread th with no entries, labelled with a copy of label.
GC_STACK* new_frame(GC_THREAD* th, const char* label) {
  GC_STACK* f = th->spare;
  if (f) {
    th->spare = f->parent;
    --th->spare_count;
    f->used = 0;
    f->count = 0;
    f->free_list = nullptr;
    f->chunks = nullptr;
    f->oldest = nullptr;
  } else {
    f = static_cast<GC_STACK*>(d_calloc(1, sizeof(GC_STACK)));
  }
  f->cursor = f->inline_e;
  f->cursor_end = f->inline_e + kInlineEntries;
  const size_t n = std::strlen(label);
  if (n < sizeof f->label) {
    std::memcpy(f->label, label, n + 1);
    f->msg = f->label;
  } else {
    f->msg = copy_str(label);
  }
  f->thread = th;
  return f;
}

// Keeps a closed frame's record (its entries already dropped) for th's next frame, or
// returns it to the heap.
void release_frame(GC_THREAD* th, GC_STACK* f) {
  if (f->msg != f->label) d_f_ree(f->msg);
  if (th->spare_count >= kCachedFrames) {
    d_f_ree(f);
    return;
  }
  f->parent = th->spare;
  th->spare = f;
  ++th->spare_count;
}

}  // namespace

namespace {

// The top bits of a multiplicative hash: blocks lie 64 bytes apart or more, so the low bits
// of the address alone would fill a few buckets only.
int bucket_of(const void* mem) { return int((reinterpret_cast<uintptr_t>(mem) * 0x9E3779B97F4A7C15ull) >> 59); }
static_assert(kFrameBuckets == 32);

// The head of bucket b, emptied on first use in the frame.
GC_LIST*& head_of(GC_STACK* f, int b) {
  if (!(f->used & (1u << b))) {
    f->hash[b] = nullptr;
    f->used |= 1u << b;
  }
  return f->hash[b];
}
GC_LIST* first_in(const GC_STACK* f, int b) { return (f->used >> b) & 1u ? f->hash[b] : nullptr; }

// The calling thread's frame record (memory lock held), or null when its task has none. A
// record left by an earlier task of this thread that ended with frames open stays in the
// table, as it would have without the shortcut.
GC_THREAD* my_thread() {
  MEM_THREAD* m = tl_mem;
  GC_THREAD* th = m->frames;
  if (th && th->tid != get_tid()) th = m->frames = nullptr;
  return th;
}

int chunk_class(int cap) {
  int k = 0;
  while ((2 * kInlineEntries << k) < cap) ++k;
  return k;
}

// The newest array is full: a new chunk becomes the newest (one a closed frame left, when
// the thread kept one of its size).
[[gnu::noinline]] GC_LIST* grow_entries(GC_STACK* f) {
  GC_CHUNK* c = f->chunks;
  const int cap = c ? std::min(2 * c->cap, kMaxChunkEntries) : 2 * kInlineEntries;
  GC_THREAD* th = f->thread;
  const int k = chunk_class(cap);
  if ((c = th->spare_chunks[k])) {
    th->spare_chunks[k] = c->next;
    --th->spare_chunk_count[k];
  } else {
    c = static_cast<GC_CHUNK*>(d_alloc(sizeof(GC_CHUNK) + sizeof(GC_LIST) * size_t(cap - 1)));
  }
  c->next = f->chunks;
  c->newer = nullptr;
  c->cap = cap;
  if (f->chunks)
    f->chunks->newer = c;
  else
    f->oldest = c;
  f->chunks = c;
  f->cursor = c->e + 1;
  f->cursor_end = c->e + cap;
  return c->e;
}

inline GC_LIST* take_entry(GC_STACK* f) {
  if (GC_LIST* e = f->free_list) [[unlikely]] {
    f->free_list = e->next;
    return e;
  }
  if (f->cursor != f->cursor_end) [[likely]] return f->cursor++;
  return grow_entries(f);
}

// Calls fn(begin, end) on every array of entry slots the frame has handed out (free ones
// have no mem), oldest first. Marking in that order meets a list's older cells before the
// newer ones that point to them, so a long list is marked in allocation order rather than
// by walking its chain.
template <typename Fn>
void each_array(GC_STACK* f, Fn fn) {
  GC_CHUNK* newest = f->chunks;
  fn(f->inline_e, newest ? f->inline_e + kInlineEntries : f->cursor);
  for (GC_CHUNK* c = f->oldest; c; c = c->newer) fn(c->e, c == newest ? f->cursor : c->e + c->cap);
}

inline void enter(GC_STACK* frame, void* mem, GC_FUNC gc) {
  GC_LIST* e = take_entry(frame);
  GC_LIST*& head = head_of(frame, bucket_of(mem));
  e->mem = mem;
  e->gc = gc;
  e->next = head;
  head = e;
  ++frame->count;
}

GC_LIST* find_entry(GC_STACK* frame, void* mem) {
  for (GC_LIST* e = first_in(frame, bucket_of(mem)); e; e = e->next)
    if (e->mem == mem) return e;
  return nullptr;
}

// Takes the entry *link out of its bucket chain into the frame's free chain.
void drop_entry(GC_STACK* f, GC_LIST** link) {
  GC_LIST* e = *link;
  *link = e->next;
  e->mem = nullptr;
  e->gc = nullptr;
  e->next = f->free_list;
  f->free_list = e;
  --f->count;
}

void remove_from_frames(GC_THREAD* th, void* mem) {
  const int b = bucket_of(mem);
  for (GC_STACK* f = th->stack; f; f = f->parent) {
    if (!first_in(f, b)) continue;
    for (GC_LIST** p = &f->hash[b]; *p;) {
      if ((*p)->mem == mem)
        drop_entry(f, p);
      else
        p = &(*p)->next;
    }
  }
}

void free_thread_record(GC_THREAD* th) {
  while (GC_STACK* f = th->spare) {
    th->spare = f->parent;
    d_f_ree(f);
  }
  for (GC_CHUNK* c : th->spare_chunks)
    while (c) {
      GC_CHUNK* next = c->next;
      d_f_ree(c);
      c = next;
    }
  d_f_ree(th);
}

GC_THREAD* new_thread_record(MEM_THREAD* m, int tid) {
  auto* th = static_cast<GC_THREAD*>(d_calloc(1, sizeof(GC_THREAD)));
  th->tid = tid;
  m->frames = th;
  m->pin_top = 0;  // roots left by a task of this thread that ended with frames open
  return th;
}

// The task's last frame closed: the record leaves the table and goes back to the debug heap.
// In the table, print_th reads another thread's record under the pool lock: the record goes
// in once its first frame is made and out before that frame is released.
void publish_thread_record(GC_THREAD* th, GC_STACK* bottom) {
  lock_pool();
  th->bottom = bottom;
  GC_THREAD*& head = gc_thread_hash[th->tid % kThreadBuckets];
  th->next = head;
  head = th;
  unlock_pool();
}

void unlink_thread_record(GC_THREAD* th) {
  lock_pool();
  for (GC_THREAD** p = &gc_thread_hash[th->tid % kThreadBuckets]; *p; p = &(*p)->next) {
    if (*p != th) continue;
    *p = th->next;
    break;
  }
  th->bottom = nullptr;
  unlock_pool();
}

void drop_thread_record(MEM_THREAD* m, GC_THREAD* th) {
  m->frames = nullptr;  // the bottom frame cut the roots' stack back to empty
  if (m->pin_cap > kKeptPins) {
    d_f_ree(m->pins);
    m->pins = nullptr;
    m->pin_cap = 0;
  }
  free_thread_record(th);
}

// A closing frame's entry chunks: a few of each size kept for th's next frames, the rest
// freed. Out of line: most frames never pass their inline entries.
[[gnu::noinline]] void drop_chunks(GC_THREAD* th, GC_STACK* f) {
  while (GC_CHUNK* c = f->chunks) {
    f->chunks = c->next;
    const int k = chunk_class(c->cap);
    if (th->spare_chunk_count[k] < kCachedChunks) {
      c->next = th->spare_chunks[k];
      th->spare_chunks[k] = c;
      ++th->spare_chunk_count[k];
    } else {
      d_f_ree(c);
    }
  }
}

void drop_frame(GC_THREAD* th) {
  GC_STACK* f = th->stack;
  tl_mem->pin_top = f->pin_base;
  if (f->chunks) drop_chunks(th, f);
  th->stack = f->parent;
  std::atomic_ref<int>(th->depth).store(th->depth - 1, std::memory_order_relaxed);
  release_frame(th, f);
}

GC_STACK* bottom_frame(GC_THREAD* th) {
  GC_STACK* f = th->stack;
  while (f && f->parent) f = f->parent;
  return f;
}

}  // namespace

[[gnu::hot]] NestLevel::NestLevel() : ok_(++nest_count <= kNestLimit) {}
[[gnu::hot]] NestLevel::~NestLevel() { --nest_count; }
int nest_depth() { return nest_count; }

[[gnu::hot]] void gc_push(void* mem, GC_FUNC gc, const char* label) {
  MemLock lock;
  GC_THREAD* th = my_thread();
  if (!th) th = new_thread_record(tl_mem, get_tid());
  if (mem) remove_from_frames(th, mem);
  GC_STACK* f = new_frame(th, label ? label : "");
  f->serial = ++th->pushes;
  f->pin_base = tl_mem->pin_top;
  f->parent = th->stack;
  th->stack = f;
  std::atomic_ref<int>(th->depth).store(th->depth + 1, std::memory_order_relaxed);
  if (!f->parent) publish_thread_record(th, f);
  if (mem) enter(f, mem, gc);
}

[[gnu::hot]] void gc_pop(void* mem, GC_FUNC gc) {
  MemLock lock;
  GC_THREAD* th = my_thread();
  if (!th || !th->stack) return;
  if (!th->stack->parent) unlink_thread_record(th);
  drop_frame(th);
  if (th->stack) {
    if (mem) enter(th->stack, mem, gc);
  } else {
    drop_thread_record(tl_mem, th);
  }
}

TQ_SEXP* GcFrame::release(TQ_SEXP* v) {
  if (open_) gc_pop(v, gc_qv_sexp);
  open_ = false;
  return v;
}

void gc_set_nl(void* mem, GC_FUNC gc) {
  GC_THREAD* th = my_thread();
  if (!th || !th->stack || find_entry(th->stack, mem)) return;
  enter(th->stack, mem, gc);
}

[[gnu::hot]] void gc_set_nl_non_check(void* mem, GC_FUNC gc) {
  GC_THREAD* th = my_thread();
  if (th && th->stack) enter(th->stack, mem, gc);
}

void pin_outside_section() { er_panic("gc_pin_nl"); }

void grow_pins(MEM_THREAD* t) {
  const int cap = t->pin_cap ? 2 * t->pin_cap : kFirstPins;
  auto* pins = static_cast<TQ_SEXP**>(d_alloc(sizeof(TQ_SEXP*) * size_t(cap)));
  if (t->pin_top) std::memcpy(pins, t->pins, sizeof(TQ_SEXP*) * size_t(t->pin_top));
  d_f_ree(t->pins);
  t->pins = pins;
  t->pin_cap = cap;
}

void gc_unpin_nl(TQ_SEXP* cell) {
  MEM_THREAD* t = tl_mem;
  for (int i = 0; i < t->pin_top; ++i)
    if (t->pins[i] == cell) t->pins[i] = nullptr;
}

void gc_set(void* mem, GC_FUNC gc) {
  MemLock lock;
  gc_set_nl(mem, gc);
}

void gc_set_non_check(void* mem, GC_FUNC gc) {
  MemLock lock;
  gc_set_nl_non_check(mem, gc);
}

void gc_delete_nl(void* mem) {
  if (GC_THREAD* th = my_thread()) remove_from_frames(th, mem);
}

void gc_delete(void* mem) {
  MemLock lock;
  gc_delete_nl(mem);
}

[[gnu::hot]] GC_CHECK_POINT get_gc_check_point() {
  MemLock lock;
  GC_THREAD* th = my_thread();
  if (!th || !th->stack) return GC_CHECK_POINT{nullptr, 0, 0};
  return GC_CHECK_POINT{th->stack, th->stack->serial, th->depth};
}

[[gnu::hot]] void compare_gc_check_point(const char* label, const GC_CHECK_POINT& point) {
  const GC_CHECK_POINT now = get_gc_check_point();
  if (now == point) return;
  std::fprintf(stderr, "incorrect stack %s ::: %s\n", label ? label : "(null)", now.top ? now.top->msg : "(null)");
  er_panic("_copmare_gc_check_point");
}

void gc_check_empty(const char* file, int line) {
  GC_STACK* top = get_gc_check_point().top;
  if (!top) return;
  std::fprintf(stderr, "gc_check_empty %s %x %x\n", file ? file : "", unsigned(line), unsigned(get_tid()));
  std::fprintf(stderr, "gc_check_empty msg = %s\n", top->msg);
  er_panic("gc_check_empty:no empty");
}

int gc_frame_depth() {
  MemLock lock;
  GC_THREAD* th = my_thread();
  return th ? th->depth : 0;
}

void print_stack(const char* str, int dp) {
  int depth = 0;
  {
    MemLock lock;
    ss_printf("print_stack\n");
    if (GC_THREAD* th = my_thread()) {
      depth = th->depth;
      ss_printf("%s:%i-> ", str ? str : "", depth);
      for (GC_STACK* f = th->stack; f; f = f->parent) ss_printf("%s-", f->msg);
    }
    ss_printf("\n");
  }
  if (dp >= 0 && depth > dp) u_exit(1);
}

void gc_stack_top() {
  MemLock lock;
  if (GC_THREAD* th = my_thread()) ss_printf("STACK TOP %lx\n", reinterpret_cast<unsigned long>(th->stack));
}

int get_stacktop_count() {
  MemLock lock;
  GC_THREAD* th = my_thread();
  GC_STACK* f = th ? bottom_frame(th) : nullptr;
  return f ? f->count : 0;
}

void gc_search_stack(void* mem) {
  MemLock lock;
  GC_THREAD* th = my_thread();
  for (GC_STACK* f = th ? th->stack : nullptr; f; f = f->parent)
    for (GC_LIST* e = first_in(f, bucket_of(mem)); e; e = e->next)
      if (e->mem == mem) ss_printf("STACK OK!!!!\n");
  MEM_THREAD* t = tl_mem;
  for (int i = 0; th && i < t->pin_top; ++i)  // the lookups' roots are the frames' too
    if (t->pins[i] == mem) ss_printf("STACK OK!!!!\n");
}

void print_th() {
  // Printed once the pool lock is let go: the output's stream lock is taken before the pool
  // lock where a collection starts.
  std::string lines;
  {
    MemLock lock;
    lock_pool();
    char line[40];
    for (GC_THREAD* head : gc_thread_hash)
      for (GC_THREAD* th = head; th; th = th->next) {
        const int depth = std::atomic_ref<int>(th->depth).load(std::memory_order_relaxed);
        snprintf(line, sizeof line, " = %x (%x)\n", unsigned(th->tid), unsigned(depth));
        lines += th->bottom->msg;
        lines += line;
      }
    unlock_pool();
  }
  ss_printf("%s", lines.c_str());
}

namespace {

// Tags as they are: nothing delayed is realised under the memory lock.
bool is_pair_cell(const TQ_SEXP* s) { return s && sexp_tag(s) == kTagPair; }

// Whether list lies on the cdr chain of the pair p (a chain that loops ends the walk).
bool chain_reaches(TQ_SEXP* p, TQ_SEXP* list) {
  TQ_SEXP* slow = p;
  for (;;) {
    for (int step = 0; step < 2; ++step) {
      p = p->pair.cdr;
      if (p == list) return true;
      if (!is_pair_cell(p)) return false;
    }
    slow = slow->pair.cdr;
    if (slow == p) return false;
  }
}

}  // namespace

void gc_delete_pair(TQ_SEXP* list) {
  MemLock lock;
  GC_THREAD* th = my_thread();
  for (GC_STACK* f = th ? th->stack : nullptr; f; f = f->parent) {
    for (int b = 0; b < kFrameBuckets; ++b) {
      if (!first_in(f, b)) continue;
      for (GC_LIST** p = &f->hash[b]; *p;) {
        auto* cell = static_cast<TQ_SEXP*>((*p)->mem);
        if ((*p)->gc == gc_qv_sexp && cell != list && is_pair_cell(cell) && chain_reaches(cell, list))
          drop_entry(f, p);
        else
          p = &(*p)->next;
      }
    }
  }
}

namespace {

// Marks the lookups' roots of every thread, labelled as its frames are.
void mark_pins() {
  for (MEM_THREAD* t = mem_threads(); t; t = t->next) {
    if (!t->pin_top) continue;
    GC_STACK* bottom = t->frames ? bottom_frame(t->frames) : nullptr;
    gc_file = bottom ? bottom->msg : "";
    gc_line = t->frames ? t->frames->tid : 0;
    for (int i = 0; i < t->pin_top; ++i) {
      TQ_SEXP* cell = t->pins[i];
      if (!cell) continue;
      if (gc_block_of(cell)->mark & kMarkReplaced) {
        t->pins[i] = nullptr;
        continue;
      }
      gc_qv_sexp(cell);
    }
  }
}

}  // namespace

// Marks from every frame of every thread. A replaced block's entry is emptied (the block
// then survives one sweep on its replaced bit alone); an entry without a routine protects
// nothing.
void gc_gc_stack() {
  mark_pins();
  for (GC_THREAD* head : gc_thread_hash) {
    for (GC_THREAD* th = head; th; th = th->next) {
      GC_STACK* bottom = bottom_frame(th);
      for (GC_STACK* f = th->stack; f; f = f->parent) {
        each_array(f, [&](GC_LIST* begin, GC_LIST* end) {
          constexpr ptrdiff_t kAhead = 8;  // blocks are far apart: ask for them early
          for (GC_LIST* e = begin; e != end; ++e) {
            if (end - e > kAhead && e[kAhead].mem) __builtin_prefetch(gc_block_of(e[kAhead].mem), 1);
            if (!e->mem || !e->gc) continue;  // free, emptied, or protecting nothing
            if (gc_block_of(e->mem)->mark & kMarkReplaced) {
              e->mem = nullptr;  // stays on its bucket chain, empty
              e->gc = nullptr;
              continue;
            }
            gc_file = bottom ? bottom->msg : "";
            gc_line = th->tid;
            e->gc(e->mem);
          }
        });
      }
    }
  }
}

}  // namespace tq
