// Collected memory: blocks that their users never free, kept alive by per-thread root
// frames and by the roots the collector's hooks mark, and freed by a mark-and-sweep
// collection that runs from a tick with an adaptive interval.
//
// Every block carries a header on one ring of all live blocks. A block belongs to the
// collector from the moment it is made; its mark routine (given at allocation) marks it and
// what it refers to. Marking is iterative (an explicit mark stack), so any depth of lists,
// environments or delayed chains is marked without deep recursion, on any thread.
//
// Lock order of a collection: gc_task_lock, the hooks' locks (GC_HOOKS::gc_lock), the
// memory lock; released in reverse. The memory lock is recursive for its holder. Every
// thread that makes or frees blocks or opens or closes frames takes the memory lock, so no
// block appears or vanishes while the collector marks and sweeps.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lang/sexp.h"
#include "platform/lock.h"

namespace tq {

// ---- The nesting limit of the whole language. Every walk of language values that recurses
// (printer, list_error, cmp_sexp, position inheritance, the HTML preparation, eval, list
// comparisons, quote tracing, the character-set survey, the error-literal parse) counts its
// depth on one per-thread counter and stops at kNestLimit. The deepest walker frame here
// measures 176 bytes per level under the sanitizers (64 without); with room for frames four
// times deeper (eval), 5000 levels take 3.5 MB, inside half of the 16 MiB sanitizer task
// stack, and 1.3 MB without sanitizers, inside half of the 4 MiB task stack.
inline constexpr int kNestLimit = 5000;

// Holds one level of the calling thread's nesting count for a scope. ok() is false when the
// level would pass kNestLimit; the walker must then stop (the level is still released).
class NestLevel {
 public:
  NestLevel();
  ~NestLevel();
  NestLevel(const NestLevel&) = delete;
  NestLevel& operator=(const NestLevel&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};
int nest_depth();  // the calling thread's current count (tests)

// ---- Memory.
// Block header, directly before the data of every block: the mark word and a line. Other
// layers read only the mark word's kMarkLive; the size is mem_block_size's. Besides its flags
// the mark word names the block's site (the text of the root that last reached it) as an
// index into the collector's table, and how far a slot's size falls short of its class
// (gc_internal.h), so a cell of 40 bytes takes 48 with its header. Blocks of 1
// to kMaxSlotData bytes are slots of chunks that hold slots of one size class (kSlotStep
// apart); larger and empty ones are system allocations on the ring of large blocks, whose
// links and size sit in front of this header. Block data is 8-byte aligned (the largest alignment of
// any record kept in collected memory); a large block's is 16-byte aligned.
struct GC_BLOCK {
  uint32_t mark;  // kMarkLive during a collection, kMarkReplaced after mrealloc; see above
  int line;       // allocating line, then the line (or task id) of the root that last reached it
};
static_assert(sizeof(GC_BLOCK) == 8);
inline constexpr uint32_t kMarkLive = 0x80000000u;
inline constexpr uint32_t kMarkReplaced = 0x40000000u;
inline constexpr uint32_t kMarkFree = 0x20000000u;   // a free slot (never a live block)
inline constexpr uint32_t kMarkLarge = 0x10000000u;  // a system allocation, not a slot
inline constexpr int64_t kMaxSlotData = 512;
inline constexpr int kSlotStep = 8;  // slot classes hold data of 8, 16, 24, ... 512 bytes
inline constexpr int kSlotClasses = int(kMaxSlotData / kSlotStep);
inline GC_BLOCK* gc_block_of(const void* data) {
  return const_cast<GC_BLOCK*>(static_cast<const GC_BLOCK*>(data) - 1);
}

// The live data bytes of collected memory: read as an integer. Each thread counts what it
// makes and frees on its own record and a collection folds the counts in, so a reading sums
// them (it is exact when no other thread allocates meanwhile).
struct MallocCount {
  operator int64_t() const;
};
extern const MallocCount malloc_count;
extern int gc_tick_interval;      // seconds, normally 1..10
extern int64_t free_count;        // bytes freed by the last sweep
extern const char* gc_file;       // the site now marking (a text and a line or task id)
extern int gc_line;

// ---- The memory lock. A collection must not see a block appear or vanish, a half-made
// record or a frame change: every thread does such work inside its own section of the
// memory lock, and a collection first stops every thread at the edge of its section. A
// thread's section is a word on its own record (no shared line is written and no system call
// is made to enter it); the collector announces itself, waits until every thread is out of
// its section, and a thread that finds a collection announced waits on the collector's
// recorded lock. The section is recursive for its thread.
struct GC_THREAD;
struct MEM_THREAD {
  std::atomic<int> busy;  // 1 while the thread is inside its section
  int depth;              // nested takes
  bool want_gc;           // allocation passed the trigger: ask for a collection on leaving
  bool in_use;            // a live thread owns the record (registry lock)
  std::atomic<int64_t> live_delta;    // data bytes made minus freed since the last collection
  GC_BLOCK* cache[kSlotClasses];  // free slots of each size class
  // Slots of each size never used since their chunk was taken: [fresh, fresh_end) are made
  // in address order, each getting its header as it is made, before fresh moves past it.
  // The owner moves fresh; the ends change under the pool lock or with the world stopped.
  std::atomic<char*> fresh[kSlotClasses];
  char* fresh_end[kSlotClasses];
  GC_THREAD* frames;      // the frame record of this thread's task, or null
  // Cells lookups handed out, each rooted until the frame that was on top closes (gc_pin_nl):
  // a frame notes the height as it opens and cuts the stack back to it as it closes.
  TQ_SEXP** pins;         // debug heap
  int pin_top;
  int pin_cap;
  const char* enter_file; // where the thread's outermost take of its section was made
  int enter_line;
  MEM_THREAD* next;       // all records (registry lock)
  MEM_THREAD* prev;
};
extern thread_local MEM_THREAD* tl_mem;  // the calling thread's record once it used memory
// First take: registers, waits for a collection, and notes the taking site.
void mem_enter(MEM_THREAD* t, const char* file, int line);
void mem_leave(MEM_THREAD* t);  // last release
// The site of an outermost take is noted (the caller's file and line), so that a broken rule
// inside the section can name where the section was entered.
inline void lock_mem(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  MEM_THREAD* t = tl_mem;
  if (t && t->depth > 0) {
    ++t->depth;
    return;
  }
  mem_enter(t, file, line);
}
// A release by a thread that does not hold it ends the process ("unlock_mem").
inline void unlock_mem() {
  MEM_THREAD* t = tl_mem;
  if (!t || t->depth <= 1) return mem_leave(t);
  --t->depth;
}
// Whether the calling thread holds the memory lock.
inline bool holds_mem_lock() {
  MEM_THREAD* t = tl_mem;
  return t && t->depth > 0;
}
// Where the calling thread entered the section it holds: false when it holds none.
bool mem_lock_site(const char** file, int* line);
// The memory lock's set-up (once, before any block is made; later calls do nothing).
void minit();

// Holds the memory lock for a scope. Work that makes several blocks which only refer to
// each other once it is done (a cell and its text) holds it across, so no collection runs
// in between and frees the first while the thread has no frame to root it.
class MemLock {
 public:
  explicit MemLock(const char* file = __builtin_FILE(), int line = __builtin_LINE()) { lock_mem(file, line); }
  ~MemLock() { unlock_mem(); }
  MemLock(const MemLock&) = delete;
  MemLock& operator=(const MemLock&) = delete;
};

// A zeroed block of size bytes, entered in the calling thread's top root frame with gc_func
// (when the thread has frames). Exhausted memory ends the process ("no memory!!").
void* xx_mmalloc(size_t size, GC_FUNC gc_func, const char* file, int line);
#define mmalloc(size, gc_func) ::tq::xx_mmalloc((size), (gc_func), __FILE__, __LINE__)
void mfree(void* ptr);  // frees at once and drops it from the caller's frames and pins; null ignored
// A new block of size bytes holding the old data (zero-filled beyond it); the old block is
// marked replaced: it survives the next sweep (its old data stays readable) and is freed by
// the second, unless something still reaches it. The same size returns ptr; a null ptr ends
// the process ("mrealloc(1)").
void* mrealloc(void* ptr, size_t size, GC_FUNC gc_func);
// Frees one cell and the one block it owns (a name, text, unit or raw data); the cells it
// points to are left alone. Null is ignored; a delayed or environment cell or a tag above
// 10 ends the process ("free_sexp(1)").
void free_sexp(TQ_SEXP* s);
void* copy_mstr(const char* text);  // a byte string in collected memory (mark gc_text)
int64_t mem_block_size(const void* ptr);  // the data size of a block
// Whether p is the data of a live block of collected memory. Walks the ring under the
// memory lock (time in the number of live blocks) and reads no memory at p, so any pointer
// may be asked about.
bool mem_is_block(const void* p);

// ---- Root frames of the calling thread (debug heap). All take the memory lock except the
// _nl forms, whose callers hold it. A thread's record is made with its first frame and
// removed when its last frame closes.
// Opens a frame named label; mem (when given) first leaves every frame of the thread and is
// entered in the new one.
void gc_push(void* mem, GC_FUNC gc, const char* label);
// Closes the top frame; when frames remain and mem is given, mem is entered with gc in the
// frame now on top (the result of bracketed work survives its frame). Closing the last frame
// leaves mem unrooted. Without frames it does nothing.
void gc_pop(void* mem, GC_FUNC gc);
void gc_set(void* mem, GC_FUNC gc);  // enters mem in the top frame once; no frames: nothing
void gc_set_nl(void* mem, GC_FUNC gc);
void gc_set_non_check(void* mem, GC_FUNC gc);  // without looking for an existing entry
void gc_set_nl_non_check(void* mem, GC_FUNC gc);
void gc_delete(void* mem);  // removes mem's entries from every frame of the thread
void gc_delete_nl(void* mem);
// Roots cell, which a lookup hands out, until the calling thread's top frame closes; memory
// lock held, in the section that found it (so no collection comes between). No frames:
// nothing. A few stores on the thread's own record instead of a frame entry: the root is
// not filed for finding, so gc_set does not see it and gc_delete and gc_push leave it (the
// cell stays rooted till the frame closes); mfree and free_sexp drop it (gc_unpin_nl). Outside a
// section (where a collection may be reading the stack, or the stack move as it grows) it
// ends the process ("gc_pin_nl").
void grow_pins(MEM_THREAD* t);
[[noreturn]] void pin_outside_section();
inline void gc_pin_nl(TQ_SEXP* cell) {
  MEM_THREAD* t = tl_mem;
  if (!t || t->depth <= 0) [[unlikely]] pin_outside_section();
  if (!t->frames) return;
  if (t->pin_top == t->pin_cap) [[unlikely]] grow_pins(t);
  t->pins[t->pin_top++] = cell;
}
void gc_unpin_nl(TQ_SEXP* cell);
struct GC_STACK;
// The calling thread's frames at one moment: the top frame (null for none), the number of
// the push that opened it (records are reused, so the address alone may come back for
// another frame) and the depth.
struct GC_CHECK_POINT {
  GC_STACK* top;
  uint64_t serial;
  int depth;
  bool operator==(const GC_CHECK_POINT&) const = default;
};
GC_CHECK_POINT get_gc_check_point();
// Ends the process ("_copmare_gc_check_point", after "incorrect stack %s ::: %s\n" on
// standard error with label and the top frame's label) when the frames are not those of
// point: another top frame, or one opened since in a reused record, or another depth.
void compare_gc_check_point(const char* label, const GC_CHECK_POINT& point);
// Ends the process ("gc_check_empty:no empty") when the calling thread still has frames.
void gc_check_empty(const char* file, int line);
int gc_frame_depth();  // frames of the calling thread

// Opens a frame for a scope; release(v) closes it keeping v in the frame below.
class GcFrame {
 public:
  explicit GcFrame(const char* label, void* mem = nullptr, GC_FUNC gc = nullptr) { gc_push(mem, gc, label); }
  ~GcFrame() {
    if (open_) gc_pop(nullptr, nullptr);
  }
  TQ_SEXP* release(TQ_SEXP* v);  // closes the frame, keeping the cell v below; returns v
  GcFrame(const GcFrame&) = delete;
  GcFrame& operator=(const GcFrame&) = delete;

 private:
  bool open_ = true;
};

// Diagnostics on standard output.
void print_stack(const char* str, int dp);  // exits with status 1 past depth dp (dp >= 0)
void gc_stack_top();
int get_stacktop_count();  // entries of the thread's bottom frame
void gc_search_stack(void* mem);  // "STACK OK!!!!\n" for each root of mem (lookups' too)
// One line "%s = %x (%x)\n" for every thread with frames: the label of its bottom frame, its
// task number and its depth.
void print_th();
// Takes count debug-heap blocks of 1 to count bytes, each filled with fill, and frees them
// all (with an array of their addresses on the debug heap too).
void exercise_debug_heap(int count, char fill);
void mem_test();  // exercise_debug_heap(2000, 'w'), then "END\n"
char* raw_copy_str(const char* text);  // a copy from the system allocator: free() it
void _mem_debug1();  // takes 56 bytes from the system allocator and returns them at once
// Removes from every frame of the calling thread the entries of pair cells, other than list
// itself, whose cdr chain reaches list: the lists built on list that root it.
void gc_delete_pair(TQ_SEXP* list);

// ---- Mark routines: each records gc_file/gc_line in the block, returns if already marked,
// else marks the block and (through the mark stack) what it refers to. Null is ignored.
// They run only inside a collection.
void gc_text(void* p);          // a block that points to nothing
void gc_qv_sexp(void* cell);    // any cell; a tag above 11 ends the process ("gc_qv_sexp(1)")
void gc_qvlisp_env(void* env);  // an environment ("gc_qvlisp_env(1)" for a bad type)
void gc_element(void* e);       // a chain of bindings
void gc_qv_file(void* f);       // a reader record (calls its close hook with 2)
void gc_qv_sym_field(void* field);
void gc_entity(void* e);        // an ENTITY chain
void gc_entity_stack(void* e);  // an ENTITY_STACK chain
void gcv_qv_header(TQ_SEXP_HEADER* h);

// ---- The collector.
// The program's hooks, called in a collection in this order: gc_lock (after gc_task_lock,
// before the memory lock), gc (mark the roots outside frames and top environments), sp_gc
// (after marking), after_gc (after the sweep, memory lock held), gc_unlock (after the
// memory lock is released). Null members are skipped. Set at start-up: init_qvlisp
// installs the language's own interim hooks (set_interim_gc_hooks) unless the program has
// set its own first; the interpreter runtime and then the program may replace them.
// set_gc_hooks may be called while the collector's tick runs: it waits for a running tick
// collection (gc_task_lock), and every collection calls the one set it began with, so a
// collection under way ends with the gc_unlock that matches its gc_lock. Its caller holds
// none of the hooks' locks; called from inside a hook, the set serves from the next
// collection on.
struct GC_HOOKS {
  void (*gc_lock)();
  void (*gc)();
  void (*sp_gc)();
  void (*after_gc)();
  void (*gc_unlock)();
};
void set_gc_hooks(const GC_HOOKS& hooks);
const GC_HOOKS& get_gc_hooks();
bool gc_hooks_set();
// The language's hooks until the runtime's own exist: gc_queue_lock_high, lex_lock,
// gc_queue_lock; marking of the top environments, every thread's frames and the queues;
// sp_gc_qvlisp after marking.
void set_interim_gc_hooks();

// Statistics of one sweep: the bytes that survive, per site of the root that reached them.
struct MEM_STAT_ENTRY {
  MEM_STAT_ENTRY* next;
  int64_t bytes;
  const char* file;
  int line;
};
struct MEM_STATISTICS {
  MEM_STAT_ENTRY* hash[20];  // chains keyed by line modulo 20
};
// The largest holder found by the last statistics run (the file text is copied).
struct MS_MAX_INFO {
  char file[128];
  int line;
  int64_t bytes;
};
extern MS_MAX_INFO ms_max_info;
extern uint32_t ms_time;  // time of the last statistics run

extern SEM gc_task_lock;
void init_gc_task();  // gc_task_lock, interval 10, the tick every 10 s
void gc_tick(void* data);
// One collection now from any task; the interval is recomputed but not applied to the tick.
// Does nothing before init_gc_task, and nothing when the calling thread holds the memory
// lock or is itself collecting (a collection cannot run inside either); the caller must hold
// none of the hooks' locks (the queues' collector locks, lex_lock). With msg it prints
// "TICK %s::%i\n" before and "TICK %s::%i END\n" after on standard output.
void gc_tick_notin_tick(const char* msg, int no);
// A full collection without the collector lock, priority change or statistics. The caller
// must not hold the memory lock.
void gc_enable();
// The bytes taken since the last sweep, as allocation counts them: a thread takes fresh
// slots about 8 KiB at a time. Tests pace a task that collects in a loop by it.
int64_t gc_bytes_taken();
// The sweep (memory lock held): frees unmarked blocks, clears the marks of the others;
// with stats, adds each marked survivor to its site's entry. Returns the bytes freed.
int64_t mem_gc(MEM_STATISTICS* stats);

// The interval rule after a collection, as a pure step: freed bytes, whether resources are
// short, the collection's whole seconds, the current interval -> the new interval.
int gc_next_interval(int64_t freed, bool resource_short, int64_t duration, int interval);
// The allocation rule after a collection, as a pure step: the bytes it left held (slots with
// their headers, large blocks) -> the bytes of allocation after which allocation asks for the
// next collection: 60% of them, at least 32 MiB.
int64_t gc_next_trigger(int64_t held);

// Language roots for the hooks.
void gc_qvlisp();    // the two top environments
void gc_gc_stack();  // every thread's root frames
void sp_gc_qvlisp(); // readers nobody refers to are closed (code 1), or kept while reading

}  // namespace tq
