// Collected memory: the block allocator on the ring of all live blocks, and the recursive
// memory lock that guards the ring, the byte count and every thread's root frames.
//
// A block is one system allocation: the GC_BLOCK header, then the zeroed data. It is linked
// at the head of the ring and entered in the calling thread's top frame under the memory
// lock, so a collection (which holds the lock from marking to the end of the sweep) never
// sees a half-made block.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/format.h"

namespace tq {

GC_BLOCK mem_header = {&mem_header, &mem_header, nullptr, 0, nullptr, 0, 0};
int64_t malloc_count = 0;

namespace {

SEM mem_lock;
std::atomic<int> mem_owner{0};  // task number of the holder, 0 when free
int mem_depth = 0;              // nested takes of the holder
void* emergency_reserve = nullptr;  // released so that the out-of-memory report can be written

[[noreturn]] void out_of_memory(const char* text) {
  std::free(emergency_reserve);
  emergency_reserve = nullptr;
  er_panic(text);
}

void link_block(GC_BLOCK* b) {
  b->prev = &mem_header;
  b->next = mem_header.next;
  mem_header.next->prev = b;
  mem_header.next = b;
  malloc_count += b->size;
}

void unlink_block(GC_BLOCK* b) {
  b->prev->next = b->next;
  b->next->prev = b->prev;
  malloc_count -= b->size;
}

void* new_block(size_t size, GC_FUNC gc_func, const char* file, int line, const char* failure) {
  if (size > SIZE_MAX - sizeof(GC_BLOCK)) out_of_memory(failure);
  auto* b = static_cast<GC_BLOCK*>(std::calloc(1, sizeof(GC_BLOCK) + size));
  if (!b) out_of_memory(failure);
  b->gc_func = gc_func;
  b->size = int64_t(size);
  b->file = file;
  b->line = line;
  void* data = b + 1;
  lock_mem();
  link_block(b);
  gc_set_nl_non_check(data, gc_func);
  unlock_mem();
  return data;
}

}  // namespace

void minit() {
  if (lock_up_test(mem_lock)) return;
  emergency_reserve = std::malloc(1000);
  if (!emergency_reserve) er_panic("no memory!!");
  mem_lock = new_lock();
}

void lock_mem() {
  const int me = get_tid();
  if (mem_owner.load(std::memory_order_relaxed) == me) {
    ++mem_depth;
    return;
  }
  lock_task(mem_lock);
  mem_owner.store(me, std::memory_order_relaxed);
  mem_depth = 1;
}

void unlock_mem() {
  if (mem_owner.load(std::memory_order_relaxed) != get_tid()) er_panic("unlock_mem");
  if (--mem_depth > 0) return;
  mem_owner.store(0, std::memory_order_relaxed);
  unlock_task(mem_lock, "unlock_mem");
}

bool holds_mem_lock() { return mem_owner.load(std::memory_order_relaxed) == get_tid(); }

void* xx_mmalloc(size_t size, GC_FUNC gc_func, const char* file, int line) {
  return new_block(size, gc_func, file, line, "no memory!!");
}

void mfree(void* ptr) {
  if (!ptr) return;
  GC_BLOCK* b = gc_block_of(ptr);
  lock_mem();
  unlink_block(b);
  gc_delete_nl(ptr);
  unlock_mem();
  std::free(b);
}

void* mrealloc(void* ptr, size_t size, GC_FUNC gc_func) {
  if (!ptr) er_panic("mrealloc(1)");
  GC_BLOCK* old = gc_block_of(ptr);
  lock_mem();
  if (int64_t(size) == old->size) {
    unlock_mem();
    return ptr;
  }
  void* data = new_block(size, gc_func, old->file, old->line, "no memmory");
  std::memcpy(data, ptr, size_t(std::min<int64_t>(old->size, int64_t(size))));
  old->mark |= kMarkReplaced;
  unlock_mem();
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
  mfree(s);
}

void* copy_mstr(const char* text) {
  const size_t n = std::strlen(text) + 1;
  void* p = mmalloc(n, gc_text);
  std::memcpy(p, text, n);
  return p;
}

int64_t mem_block_size(const void* ptr) { return gc_block_of(ptr)->size; }

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

bool mem_is_block(const void* p) {
  if (!p) return false;
  MemLock hold;
  for (const GC_BLOCK* b = mem_header.next; b != &mem_header; b = b->next)
    if (static_cast<const void*>(b + 1) == p) return true;
  return false;
}

}  // namespace tq
