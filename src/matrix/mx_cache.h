// The access cache (MX_CACHE) and its block pool. The cache keeps one node of one matrix
// held for element-wise work; the pool in it hands out small blocks by size class, so that
// the temporary datums and buffers of such work (allocation kind 4) cost no general-heap
// call once the classes are warm.
//
// Pool design: classes of 2^mblk_logsize bytes (default 512), mblk_hashsize of them
// (default 16: sizes up to 7680 bytes are pooled). Every block is an MBLK head followed by
// the caller's bytes; a pooled block is taken from its class's free list, or made on the
// debug heap with room for the whole class, and goes back on the list when freed. Larger
// requests, and every request while _debug_flag is set, are direct debug-heap blocks
// (class 0xFFFF) that go back to the debug heap when freed. Pooled blocks return to the
// debug heap only when the cache is released in full (flush_mx_cache(c, 1)).
//
// Invariants: a block on a free list has its free site set and its class below
// mblk_hashsize; a block handed out has no free site. Pooled blocks stay live debug-heap
// blocks until the full release, so their heads may always be read and a second free of
// one is caught by its free site. A direct block has no free site to check, and once it
// went back to the debug heap its head is gone: a free reads a head only of a block the
// pool knows as one of its own (mblk_own, kept as long as the table of free lists) or that
// the debug heap still holds live; anything else is the debug heap's to stop. No lock of
// the pool's own: a cache and its pool serve one thread at a time.
#pragma once
#include <cstdint>

namespace tq {

struct MATRIX;
struct MATRIX_NODE;
struct MATRIX_DH_SET;
struct MX_CACHE;
struct MBLK_SET;  // the addresses of a pool's own blocks (block_pool.cpp)

inline constexpr uint16_t kMblkDirect = 0xFFFF;  // class of a block taken straight from the debug heap
inline constexpr uint16_t kMblkCntMax = 65534;   // hand-out counts stop here
inline constexpr int kMblkDefaultLogSize = 9;
inline constexpr int kMblkDefaultHashSize = 16;

// The head of every pool block; the caller's pointer is the address right behind it. Its
// size is a multiple of 16, so the caller's bytes keep the debug heap's 16-byte alignment.
struct alignas(16) MBLK {
  MBLK* next;             // free-list link
  uint16_t size;          // the size class; kMblkDirect for a direct block
  uint16_t cnt;           // times handed out, held at kMblkCntMax
  const char* alloc_file; // first allocation site
  int alloc_line;
  const char* free_file;  // site of the last free; null while the block is in use
  int free_line;
};
static_assert(sizeof(MBLK) % 16 == 0);

// A user record hung on a cache; any such record starts with this head.
struct MX_USER_HEADER {
  void (*free_func)(MX_CACHE* c);  // releases the record and clears c->user_header
};

struct MX_CACHE {
  MATRIX* m;             // the matrix
  MATRIX_NODE* n;        // the node held, null when none
  MATRIX_DH_SET* ds;     // per accessed channel, the descriptor of its datum in n
  int* access_ch;        // the channel numbers accessed, in access order
  int* el_sizes;         // element size in bytes per accessed channel
  int ds_len;            // number of accessed channels
  int dirty;             // set by a write; passed to the channel unlock when n is let go
  MBLK** mblk_hash;      // the free list of each size class
  int mblk_hashsize;     // number of size classes
  int mblk_logsize;      // log2 of the class step in bytes
  int gn_tree_node;      // passed to the first node request
  int gn_create;
  int gn_wait;           // wait argument of the node wait
  int64_t miss_hit_cnt;  // requests that had to change the node
  int64_t hit_cnt;       // requests served by the node held
  MX_USER_HEADER* user_header;  // called on a full release
  MBLK_SET* mblk_own;    // the blocks this pool made for its classes; null with mblk_hash
};

// While set, every pool request is a direct debug-heap block (for tracing pool blocks
// through the debug heap's records). 0 at start.
extern int _debug_flag;

// Gives the pool its defaults where they are 0 (mblk_logsize 9, mblk_hashsize 16), a
// zeroed table of free lists on the debug heap, and clears user_header. The caller has
// zeroed the cache or set its fields. The class step is at most 2^20 and the classes at
// most 0xFFFE; larger settings end the process ("mxc_setup").
void mxc_setup(MX_CACHE* c);
// size usable bytes from the pool of c (16-byte aligned), recorded under (__f, __l). A cache
// without a table of free lists (never set up, or released in full) gives direct blocks.
// A negative size ends the process ("xx_mxc_alloc"); an exhausted debug heap ends it too.
void* xx_mxc_alloc(MX_CACHE* c, int64_t size, const char* __f, int __l);
// Gives a block of c's pool back; null does nothing. A pooled block freed twice ends the
// process ("xx_mxc_free"); a class beyond the cache's classes too ("mxc_free"). A direct
// block, or a pooled one after the full release, goes back to the debug heap, which stops
// a second free of it.
void xx_mxc_free(MX_CACHE* c, void* ptr, const char* __f, int __l);
#define mxc_alloc(c, size) ::tq::xx_mxc_alloc((c), (size), __FILE__, __LINE__)
#define mxc_free(c, ptr) ::tq::xx_mxc_free((c), (ptr), __FILE__, __LINE__)

// Lets the node held go (access_cache.cpp); with f 1 also calls the user record's
// free_func, frees the channel descriptors and releases the pool (mxc_release_pool).
void flush_mx_cache(MX_CACHE* c, int f);
// Returns every block on the free lists, and the table of free lists, to the debug heap
// (the cache then pools nothing until mxc_setup runs again). Blocks still handed out stay
// valid and are freed with xx_mxc_free as before.
void mxc_release_pool(MX_CACHE* c);

}  // namespace tq
