// The matrix tests' start-up: the program's own (minimum_matrix_init: the interpreter
// runtime, the store lock, the matrix store with its collector hooks, element types, access
// queue and tick). A bottom root frame stays open for the whole program. Each suite
// registers MatrixEnvironment as a global environment.
#pragma once
#include <gtest/gtest.h>

#include "entry/start.h"
#include "lang/gc.h"

namespace mxtest {

class MatrixEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    tq::minimum_matrix_init(0, nullptr);
    tq::gc_push(nullptr, nullptr, "tests");
  }
};

}  // namespace mxtest
