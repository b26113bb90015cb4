// A matrix record for the tests, described through the public setters and released with
// what they made.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "matrix/matrix.h"
#include "platform/d_alloc.h"

namespace mxtest {

struct Axis {
  int64_t pixel_size;
  int dim_divide;
  int block_size;
};

class TestMatrix {
 public:
  TestMatrix() : m_(static_cast<tq::MATRIX*>(d_calloc(1, sizeof(tq::MATRIX)))) {}
  // A matrix of these axes (dim set through the parameters, then each axis's setters).
  explicit TestMatrix(const std::vector<Axis>& axes, int param_flags = 0) : TestMatrix() {
    tq::MATRIX_PARAM p{};
    p.dim = int(axes.size());
    p.flags = param_flags;
    EXPECT_EQ(tq::set_matrix_param(m_, &p), 0);
    for (int a = 0; a < int(axes.size()); ++a) {
      EXPECT_EQ(tq::set_matrix_block_size(m_, a, axes[a].block_size), 0);
      EXPECT_EQ(tq::set_matrix_dim_divide(m_, a, axes[a].dim_divide), 0);
      EXPECT_EQ(tq::set_matrix_pixel_size(m_, a, axes[a].pixel_size), 0);
    }
  }
  ~TestMatrix() {
    tq::_free_matrix_description(m_);
    d_f_ree(m_);
  }
  TestMatrix(const TestMatrix&) = delete;
  TestMatrix& operator=(const TestMatrix&) = delete;
  tq::MATRIX* operator->() const { return m_; }
  tq::MATRIX* get() const { return m_; }

 private:
  tq::MATRIX* m_;
};

}  // namespace mxtest
