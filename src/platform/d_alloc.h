// Debug heap: every block records its size, first allocation site and last free site;
// live bytes are kept per allocation site. Double frees and broken headers end the
// process. Never returns a null pointer for lack of memory. Beside it: a power-of-two
// free-list allocator and a bump arena of 1 KB blocks.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tq {

// One allocation site (file text compared by content, and line). Never removed.
struct MEM_LIST {
  MEM_LIST* next;  // chain of the site table (53 chains, line modulo 53)
  const char* file;
  int line;
  int64_t size;        // live bytes of blocks now attributed to this site
  MEM_LIST* max_next;  // chain of successive maxima left by the report tick
};

// In front of every block; the caller gets the address just behind it. Aligned to 16 so
// that the caller's address keeps malloc's alignment.
struct alignas(16) MEM_HEADER {
  MEM_HEADER* time_next;  // quarantine chain
  MEM_LIST* mlp;          // the site the block's bytes are attributed to
  int64_t size;           // bytes asked for
  const char* last_free_file;  // none while live
  int last_free_line;          // 0 while live
  uint32_t state;              // a slot of the small-block pools: live or freed (else unused)
  const char* first_alloc_file;
  int first_alloc_line;
};

// Creates the heap's lock, sets how much freed memory the system heap keeps for reuse, and
// starts the report tick (30 s) and the purge task. Must run
// before any heap call (else the process ends with "init_d_alloc"); before it the heap
// works without locking.
void init_d_alloc();

// size bytes, not zeroed. Ends the process with "alloc" when the system refuses memory.
void* xx_d_alloc(size_t size, const char* file, int line);
// n times size bytes, zeroed ("alloc" also when the product overflows).
void* xx_d_calloc(size_t n, size_t size, const char* file, int line);
// Resizes a live block; growth is not zeroed. A null ptr gives a new zeroed block
// attributed to the allocator's own site. When the system cannot resize, answers null
// with errno ENOMEM: the old block stays valid and its accounting unchanged.
void* d_re_alloc(void* ptr, size_t size);
// Frees a live block. A null ptr does nothing. A pointer freed before prints
// "FILE <file> <line>\n" (the earlier free) on standard output, then ends the process
// with "xx_d_f_ree(1)"; so does any pointer that is not a live block (without the FILE
// line when its free is no longer on record). Freed memory is never read to decide; errno
// is as it was.
void xx_d_f_ree(void* ptr, const char* file, int line);
// Moves a live block's bytes from its site to (file, line). A pointer that is not a live
// block ends the process as xx_d_f_ree does.
void xx_change_statistics(void* ptr, const char* file, int line);
// Verifies a live block's header and its site's total ("check_mem_header(N)").
void check_mem_header(void* ptr);
// Whether ptr is the caller address of a live block (handed out and not yet freed).
// Decided from the heap's own records; the memory at ptr is never read.
bool d_is_live(const void* ptr);
// Live bytes of all blocks including headers, plus site and free records.
int64_t get_d_used_memory();
// Walks the site records: null gives the first, a record the next, the end null.
MEM_LIST* get_mem_debug_list(MEM_LIST* cursor);
// A site record's live bytes. Other threads change the total with atomic adds while the
// caller walks the records, so read it through this rather than the field.
int64_t mem_list_bytes(const MEM_LIST* m);
// Switches the quarantine on (for the rest of the process): freed blocks are filled
// with 'y' and held until 100000000 bytes are exceeded, then checked and released.
void start_alloc_time_list();

// A cache that the purge task may ask to shrink when the heap grows large.
struct MEM_PURGE_TBL {
  int (*last_access)(int* time);     // 0 when it has a time (of its last use) to offer
  void (*purge_mem)(int64_t bytes);  // release about that many bytes
  MEM_PURGE_TBL* next;
};
// Adds a purger at the head of the list; the record must live for the whole process.
void set_mem_purge(MEM_PURGE_TBL* rec);
// One round of the purge task given the machine's memory and the heap's live total:
// above half of (mem_size - 25 MiB) asks the least recently used purger, again and
// again, to bring the heap down to a third of it. Returns the number of purge calls.
int memory_purge_round(int64_t mem_size, int64_t used);

// Diagnostics on standard output: the live bytes per site, and a walk of the site table.
void ind_tick();
void check_mem_list(const char* label);

#define d_alloc(size) ::tq::xx_d_alloc((size), __FILE__, __LINE__)
#define d_calloc(n, size) ::tq::xx_d_calloc((n), (size), __FILE__, __LINE__)
#define d_f_ree(ptr) ::tq::xx_d_f_ree((ptr), __FILE__, __LINE__)
#define change_statistics(ptr) ::tq::xx_change_statistics((ptr), __FILE__, __LINE__)

// Power-of-two allocator on system memory, 24 free lists for blocks of 2^k bytes with
// their header. Callers serialise. s_realloc zeroes any growth.
void* s_alloc(size_t size);
void s_free(void* ptr);
void* s_realloc(void* ptr, size_t size);

// Bump arena of 1 KB blocks taken from the debug heap; sizes round up to 8 bytes. A request
// over 1023 bytes gets a block of its own, chained to the arena and freed with it. Callers
// serialise.
struct SA_BLOCK;
struct SIMPLE_ALLOC_T {
  SA_BLOCK* blk;   // newest block
  int heap_ptr;    // bytes used in it
  int last_alloc;  // offset of the last allocation in it
};
void smp_init(SIMPLE_ALLOC_T* arena);
void* smp_alloc(SIMPLE_ALLOC_T* arena, int size);
// Resizes only the most recent allocation, in place.
void* smp_realloc(SIMPLE_ALLOC_T* arena, void* ptr, int size);
// Frees every block and leaves the arena empty, ready for use again.
void free_smp(SIMPLE_ALLOC_T* arena);

}  // namespace tq
