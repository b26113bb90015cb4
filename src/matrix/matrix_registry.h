// The process-wide state of the matrix store that every module of it shares: the two
// locks, the ring of open matrices, the ring of holders that keep the store's language
// values alive for the collector, the node cache's budget, the table of element types, the
// access queue, the language environment of the matrix words and the close key. The
// store's start-up (matrix_start.h) makes all of it.
//
// Lock order: matrix_lock before matrix_gc_lock. The collector takes matrix_gc_lock (after
// the queues' high collector lock, before the interpreter runtime's locks) and never
// matrix_lock, so a collection may run while a thread holds matrix_lock, and linking a
// holder waits for a running collection.
#pragma once
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "mxtype/mx_type.h"
#include "platform/lock.h"
#include "util/sys_queue.h"

namespace tq {

struct MATRIX;

// The holder of one language value (a cell, an environment or a delayed value).
struct MATRIX_SEXP {
  MATRIX_SEXP* next;  // ring links
  MATRIX_SEXP* prev;
  void* data;         // the held value
  GC_FUNC gc_func;    // marks data in a collection
  unsigned del : 1;   // set: release; the collector unlinks and frees the holder
  const char* file;   // where the holder was linked in
  int line;
};

extern SEM matrix_lock;     // the whole matrix store
extern SEM matrix_gc_lock;  // the holder ring; also taken by the collector (published atomically)
extern MATRIX* matrices_root;  // head of the ring of open matrices (only its links are used)
extern MATRIX_SEXP* ms_root;   // head of the holder ring (only its links are used)
// The node cache's budget: the ready nodes a trim of the node ring keeps, at least 100.
// Sized by the access tick (matrix_upkeep.h); matrix_lock.
extern int total_ncache_size;
inline constexpr int kMinNodeCacheSize = 100;
extern MDT mtx_type_tbl[kMxTypeTableSize];  // element types by code
extern SYS_QUEUE matrix_que;      // the access queue (set up by the store's start-up)
extern TQISP_ENV* matrix_tq_env;  // the environment of the matrix words, once made

// ---- Element types.
// Stores tp at the index of its code; a code outside 0..31 ends the process
// ("insert_matrix_type_table").
void insert_matrix_type_table(MDT tp);
// The descriptor registered for a code; null for a code that none was registered for,
// including codes outside 0..31.
MDT get_matrix_data_type(int type);

// ---- The ring of open matrices, most recently used first (caller holds matrix_lock).
// Links m first and sets its last_access to now.
void _insert_matrix_ring(MATRIX* m);
void _delete_matrix_ring(MATRIX* m);
// The first matrix from the front whose filename is set and equal to filename; null when
// none (or filename is null).
MATRIX* _search_matrix_filename(const L_CHAR* filename);

// ---- Holder ring.
// Links d right after ms_root and records the site; takes matrix_gc_lock.
void _xx_insert_matrix_sexp(MATRIX_SEXP* d, const char* file, int line);
#define _insert_matrix_sexp(d) ::tq::_xx_insert_matrix_sexp((d), __FILE__, __LINE__)
// A new holder of cell s (marked with gc_qv_sexp), linked in; takes matrix_lock, then
// matrix_gc_lock. The caller keeps s rooted until it returns; a holder is released by
// setting its del bit under matrix_gc_lock (the collector then frees it).
MATRIX_SEXP* xx_new_matrix_sexp(TQ_SEXP* s, const char* file, int line);
#define new_matrix_sexp(s) ::tq::xx_new_matrix_sexp((s), __FILE__, __LINE__)
// Unlinks d; the caller holds matrix_gc_lock. The caller frees d.
void _delete_matrix_sexp(MATRIX_SEXP* d);
// The collector's side of matrix_gc_lock: gc_matrix_lock takes it when it exists (nothing
// before init_matrix); gc_matrix_unlock releases it only when the same thread's
// gc_matrix_lock took it, so a collection during the store's start-up stays balanced.
void gc_matrix_lock();
void gc_matrix_unlock();
// The collector's mark step of the store, between the two on the same thread: marks
// matrix_tq_env once it is made; when that thread holds matrix_gc_lock, then frees every
// holder whose del bit is set and marks the others' data (no holder exists before the lock).
// Takes no other lock of the store.
void gc_matrix();

// ---- The close key: the key on which a close of matrices sleeps.
const void* matrix_close_key();
// Wakes the close key when the access queue holds no token (every operation that may
// unblock a close calls it).
void wakeup_close_key_if_idle();

}  // namespace tq
