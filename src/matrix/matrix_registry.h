// The process-wide state of the matrix store that every module of it shares: the two
// locks, the ring of holders that keep the store's language values alive for the
// collector, the table of element types, the access queue, the language environment of
// the matrix words and the close key.
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
extern SEM matrix_gc_lock;  // the holder ring; also taken by the collector
extern MATRIX_SEXP* ms_root;  // head of the holder ring (only its links are used)
extern MDT mtx_type_tbl[kMxTypeTableSize];  // element types by code
extern SYS_QUEUE matrix_que;      // the access queue (set up by the store's start-up)
extern TQISP_ENV* matrix_tq_env;  // the environment of the matrix words, once made

// Makes the holder ring and the two locks; the store's start-up calls it once, before any
// matrix exists. Later calls do nothing.
void init_matrix_registry();

// ---- Element types.
// Stores tp at the index of its code; a code outside 0..31 ends the process
// ("insert_matrix_type_table").
void insert_matrix_type_table(MDT tp);
// The descriptor registered for a code; null for a code that none was registered for,
// including codes outside 0..31.
MDT get_matrix_data_type(int type);

// ---- Holder ring.
// Links d right after ms_root and records the site; takes matrix_gc_lock.
void _xx_insert_matrix_sexp(MATRIX_SEXP* d, const char* file, int line);
#define _insert_matrix_sexp(d) ::tq::_xx_insert_matrix_sexp((d), __FILE__, __LINE__)
// Unlinks d; the caller holds matrix_gc_lock. The caller frees d.
void _delete_matrix_sexp(MATRIX_SEXP* d);
// Take and release matrix_gc_lock when it exists (nothing before init_matrix_registry).
void gc_matrix_lock();
void gc_matrix_unlock();
// The collector's mark step of the store (inside a collection, matrix_gc_lock held): marks
// matrix_tq_env, then frees every holder whose del bit is set and marks the others' data.
void gc_matrix();

// ---- The close key: the key on which a close of matrices sleeps.
const void* matrix_close_key();
// Wakes the close key when the access queue holds no token (every operation that may
// unblock a close calls it).
void wakeup_close_key_if_idle();

}  // namespace tq
