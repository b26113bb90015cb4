// The matrix tests' start-up: collected memory, the queues and the language core, with
// collector hooks that also mark the matrix store's holder ring (in the order the program's
// own hooks take the locks: the queues' high lock, the matrix store's, the language's), then
// the store's registry with the 28 element types. A bottom root frame stays open for the
// whole program. Each suite registers start_matrix_test_store as a global environment.
#pragma once
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/tq_file.h"
#include "matrix/matrix_registry.h"
#include "util/sys_queue.h"

namespace mxtest {

inline void test_gc_lock() {
  tq::gc_queue_lock_high();
  tq::gc_matrix_lock();
  lock_task(tq::lex_lock);
  tq::gc_queue_lock();
}
inline void test_gc() {
  tq::gc_qvlisp();
  tq::gc_gc_stack();
  tq::gc_queue();
  tq::gc_matrix();
}
inline void test_sp_gc() { tq::sp_gc_qvlisp(); }
inline void test_gc_unlock() {
  tq::gc_queue_unlock();
  unlock_task(tq::lex_lock, "test_gc_unlock");
  tq::gc_matrix_unlock();
}

class MatrixEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    tq::minit();
    tq::init_queue();
    tq::set_gc_hooks(tq::GC_HOOKS{test_gc_lock, test_gc, test_sp_gc, nullptr, test_gc_unlock});
    tq::init_qvlisp();
    tq::gc_push(nullptr, nullptr, "tests");
    tq::init_matrix_registry();
    for (tq::MDT tp : tq::mx_type_register_order) tq::insert_matrix_type_table(tp);
  }
};

}  // namespace mxtest
