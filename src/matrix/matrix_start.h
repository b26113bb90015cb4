// The matrix store's start-up and the worker of its access queue.
//
// init_matrix runs once, on the start-up thread, after the interpreter runtime and before
// any matrix is opened; nothing of it is torn down at exit. Its steps, in order: the file
// access of matrix files; the holder ring and the node ring; the node cache's budget (100);
// matrix_lock, then matrix_gc_lock; the ring of open matrices; the access queue; the 28
// element types; matrix_tq_env (a child of the first top environment); the matrix words'
// registrars, each given matrix_tq_env; the access tick every 11 s.
#pragma once
#include <span>

#include "lang/env.h"

namespace tq {

// A registrar of matrix words: binds its word or words in env.
struct MX_WORD_REGISTRAR {
  const char* name;
  void (*init)(TQISP_ENV* env);
};
// The matrix words' registrars, in the order init_matrix calls them. The matrix-command
// layer owns the table; the start-up that calls init_matrix sets this first. Empty: no
// matrix words are registered.
extern std::span<const MX_WORD_REGISTRAR> matrix_word_registrars;

// The start-up above. Later calls do nothing.
void init_matrix();
// The names of the steps init_matrix has run, in their order, each registrar by its own
// name; the list ends with null.
const char* const* matrix_start_steps();

// The access queue's worker, one task per key (the queue is its data). It claims a key,
// binds a self-kind interpreter of its own to its thread, then runs the tokens of that key
// in the queue's order, each inside a collector frame "dm_loading_task", until none is
// left; it then closes its interpreter and gives the key back. The token's func owns the
// token.
void matrix_que_task(void* queue);

// The queue keys of the two kinds of token: at most one worker runs the openings of
// matrices and one all accesses of all matrices.
inline constexpr const char* kMatrixOpenKey = "_insert_matrix_open";
inline constexpr const char* kMatrixAccessKey = "_get_matrix_access";

}  // namespace tq
