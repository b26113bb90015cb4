// Collected memory: blocks that their users never free, kept alive by per-thread root
// frames and by the roots the collector's hooks mark, and freed by a mark-and-sweep
// collection that runs from a tick with an adaptive interval.
//
// Every block carries a header on one ring of all live blocks. A block belongs to the
// collector from the moment it is made; its mark routine (given at allocation) marks it and
// what it refers to. Marking is iterative (an explicit mark stack), so any depth of lists,
// environments or delayed chains is marked without deep recursion.
//
// Lock order of a collection: gc_task_lock, the hooks' locks (GC_HOOKS::gc_lock), the
// memory lock; released in reverse. The memory lock is recursive for its holder.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lang/sexp.h"

namespace tq {

// ---- The nesting limit of the whole language. Every walk of language values that recurses
// (printer, list_error, cmp_sexp, position inheritance, the HTML preparation, eval, list
// comparisons, quote tracing, the character-set survey, the error-literal parse) counts its
// depth on one per-thread counter and stops at kNestLimit, which is sized so that the limit
// times the deepest frame fits in half a task stack under the sanitizers too.
inline constexpr int kNestLimit = 3000;

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
// Block header, directly before the data of every block.
struct MEM_HEADER {
  MEM_HEADER* next;  // ring of all live blocks; mem_header closes it
  MEM_HEADER* prev;
  uint32_t mark;     // kMarkLive during a collection; kMarkReplaced after mrealloc
  GC_FUNC gc_func;   // the block's mark routine
  int64_t size;      // bytes of data
  const char* file;  // allocating site, then the site of the root that last reached it
  int line;
};
inline constexpr uint32_t kMarkLive = 0x80000000u;
inline constexpr uint32_t kMarkReplaced = 0x40000000u;

extern int64_t malloc_count;      // live data bytes
extern int gc_tick_interval;      // seconds, 1..10
extern int64_t free_count;        // bytes freed by the last sweep
extern const char* gc_file;       // the site now marking (a text and a line or task id)
extern int gc_line;

void minit();  // the memory lock and the empty ring; runs before any block is made
void lock_mem();
void unlock_mem();  // by a thread that does not hold it: ends the process ("unlock_mem")

// A zeroed block of size bytes, entered in the calling thread's top root frame with gc_func.
// Exhausted memory ends the process ("no memory!!").
void* xx_mmalloc(size_t size, GC_FUNC gc_func, const char* file, int line);
#define mmalloc(size, gc_func) ::tq::xx_mmalloc((size), (gc_func), __FILE__, __LINE__)
void mfree(void* ptr);  // frees at once and drops it from the caller's frames
// A new block of size bytes holding the old data (zero-filled beyond it); the old block is
// marked replaced and freed by the second collection after, unless still reached.
void* mrealloc(void* ptr, size_t size, GC_FUNC gc_func);
void free_sexp(TQ_SEXP* s);  // frees one cell and the one block it owns
void* copy_mstr(const char* text);  // a byte string in collected memory (mark gc_text)
int64_t mem_block_size(const void* ptr);  // the data size of a block

// ---- Root frames of the calling thread. All take the memory lock except the _nl forms,
// whose callers hold it.
void gc_push(void* mem, GC_FUNC gc, const char* label);  // mem moves into the new frame
void gc_pop(void* mem, GC_FUNC gc);  // mem survives in the frame below (if any)
void gc_set(void* mem, GC_FUNC gc);
void gc_set_nl(void* mem, GC_FUNC gc);
void gc_set_non_check(void* mem, GC_FUNC gc);
void gc_set_nl_non_check(void* mem, GC_FUNC gc);
void gc_delete(void* mem);
void gc_delete_nl(void* mem);
struct GC_STACK;
GC_STACK* get_gc_check_point();
void compare_gc_check_point(const char* label, GC_STACK* point);  // ends the process on a mismatch
void gc_check_empty(const char* file, int line);
int gc_frame_depth();  // frames of the calling thread (tests and diagnostics)

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

// Diagnostics.
void print_stack(const char* str, int dp);
void gc_stack_top();
int get_stacktop_count();
void gc_search_stack(void* mem);

// ---- Mark routines: each records gc_file/gc_line in the block, returns if already marked,
// else marks the block and what it refers to. Null is ignored.
void gc_text(void* p);
void gc_qv_sexp(void* cell);
void gc_qvlisp_env(void* env);
void gc_qv_file(void* f);
void gc_qv_sym_field(void* field);
void gcv_qv_header(TQ_SEXP_HEADER* h);
void gc_mark_block(void* p);  // marks a block with its own routine (the mark stack's entry)

// ---- The collector.
// The program's hooks, called in a collection in this order: gc_lock (after gc_task_lock,
// before the memory lock), gc (mark the roots outside frames and top environments), sp_gc
// (after marking), after_gc (after the sweep, memory lock held), gc_unlock.
struct GC_HOOKS {
  void (*gc_lock)();
  void (*gc)();
  void (*sp_gc)();
  void (*after_gc)();
  void (*gc_unlock)();
};
void set_gc_hooks(const GC_HOOKS& hooks);
const GC_HOOKS& get_gc_hooks();

void init_gc_task();  // gc_task_lock, interval 10, the tick every 10 s
void gc_tick(void* data);
void gc_tick_notin_tick(const char* msg, int no);  // one collection now, interval not applied
void gc_enable();  // a full collection without the collector lock or statistics
int64_t mem_gc(bool stats);  // the sweep (memory lock held); bytes freed

// The interval rule after a collection, as a pure step: freed bytes, whether resources are
// short, the collection's whole seconds, the current interval -> the new interval.
int gc_next_interval(int64_t freed, bool resource_short, int64_t duration, int interval);

// Language roots for the hooks.
void gc_qvlisp();    // the two top environments
void gc_gc_stack();  // every thread's root frames
void sp_gc_qvlisp(); // readers nobody refers to are closed (code 1), or kept while reading

}  // namespace tq
