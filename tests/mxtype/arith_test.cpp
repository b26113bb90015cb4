// Vector and matrix arithmetic through the dispatchers (wrapping in the element width, the
// shapes they refuse) and the builders of joined vectors, unit matrices and vectors from
// arrays, all from one access cache's pool.
#include <gtest/gtest.h>

#include "matrix/mx_cache.h"
#include "mxtype/vector_build.h"
#include "mxtype_test_util.h"

namespace {

using namespace mxtest;

class MxArith : public testing::Test {
 protected:
  void SetUp() override { tq::mxc_setup(&c_); }
  void TearDown() override {
    for (void* v : made_) tq::xx_mxc_free(&c_, v, __FILE__, __LINE__);
    for (void* v : owned_) tq::mxt_free_data(&tq::mx_type_int16_v, v);
    tq::flush_mx_cache(&c_, 1);
  }
  template <class T>
  void* vec(tq::MDT tp, std::vector<int> sizes, std::vector<T> values) {
    return owned_.emplace_back(vector_of<T>(tp, std::move(sizes), values));
  }
  void* keep(void* r) {
    if (r) made_.push_back(r);
    return r;
  }
  std::vector<int> sizes(void* v) {
    tq::MATRIX_DH_SET dh;
    tq::get_matrix_dh_set(&dh, v);
    return std::vector<int>(dh.ix, dh.ix + dh.hd->dim);
  }
  tq::MX_CACHE c_{};
  std::vector<void*> made_, owned_;
};

TEST_F(MxArith, ElementWiseWrapsInTheElementWidth) {
  void* a = vec<int8_t>(&tq::mx_type_int8_v, {1}, {100});
  EXPECT_EQ(values_of<int8_t>(keep(tq::mxt_add_vv(a, a, &c_))), std::vector<int8_t>{-56});
  void* u = vec<uint8_t>(&tq::mx_type_uint8_v, {1}, {200});
  void* v = vec<uint8_t>(&tq::mx_type_uint8_v, {1}, {100});
  EXPECT_EQ(values_of<uint8_t>(keep(tq::mxt_add_vv(u, v, &c_))), std::vector<uint8_t>{44});
  void* one = vec<uint16_t>(&tq::mx_type_uint16_v, {1}, {1});
  void* two = vec<uint16_t>(&tq::mx_type_uint16_v, {1}, {2});
  EXPECT_EQ(values_of<uint16_t>(keep(tq::mxt_sub_vv(one, two, &c_))), std::vector<uint16_t>{65535});
  void* big = vec<uint16_t>(&tq::mx_type_uint16_v, {1}, {65535});
  uint16_t big_scalar = 65535;
  EXPECT_EQ(values_of<uint16_t>(keep(tq::mxt_mul_sv(&big_scalar, big, &c_))), std::vector<uint16_t>{1});
  void* s = vec<int16_t>(&tq::mx_type_int16_v, {1}, {300});
  int16_t scalar = 300;
  EXPECT_EQ(values_of<int16_t>(keep(tq::mxt_mul_sv(&scalar, s, &c_))), std::vector<int16_t>{24464});
  void* flat = vec<int16_t>(&tq::mx_type_int16_v, {}, {21});
  EXPECT_EQ(values_of<int16_t>(keep(tq::mxt_add_vv(flat, flat, &c_))), std::vector<int16_t>{42}) << "0 axes: one element";
  void* f = vec<float>(&tq::mx_type_float_v, {2}, {0.5f, 1e8f});
  EXPECT_EQ(values_of<float>(keep(tq::mxt_add_vv(f, f, &c_))), (std::vector<float>{1.0f, 2e8f}));
}

TEST_F(MxArith, ShapesThatDoNotFitGiveNull) {
  void* a = vec<int16_t>(&tq::mx_type_int16_v, {3, 2}, {1, 2, 3, 4, 5, 6});
  void* b = vec<int16_t>(&tq::mx_type_int16_v, {2, 3}, {7, 8, 9, 10, 11, 12});
  void* w = vec<int32_t>(&tq::mx_type_int32_v, {3, 2}, {1, 2, 3, 4, 5, 6});
  void* line = vec<int16_t>(&tq::mx_type_int16_v, {3}, {1, 2, 3});
  void* cube = vec<int16_t>(&tq::mx_type_int16_v, {1, 1, 1}, {1});
  EXPECT_EQ(tq::mxt_add_vv(a, b, &c_), nullptr);
  EXPECT_EQ(tq::mxt_add_vv(a, w, &c_), nullptr);
  EXPECT_EQ(tq::mxt_mul_mm(a, a, &c_), nullptr) << "3 columns against 2 rows";
  EXPECT_EQ(tq::mxt_mul_mm(line, line, &c_), nullptr);
  EXPECT_EQ(tq::mxt_trans_m(cube, &c_), nullptr);
  EXPECT_EQ(tq::mxt_add_vv(a, a, nullptr), nullptr) << "no pool";
  void* rgb = vec<uint32_t>(&tq::mx_type_RGB_v, {1}, {1});
  uint32_t one_rgb = 1;
  for (void* r : {tq::mxt_add_vv(rgb, rgb, &c_), tq::mxt_sub_vv(rgb, rgb, &c_), tq::mxt_mul_sv(&one_rgb, rgb, &c_),
                  tq::mxt_mul_mm(rgb, rgb, &c_), tq::mxt_trans_m(rgb, &c_)})
    EXPECT_EQ(r, nullptr) << "rgb8 vectors have no arithmetic";
  void* sum = keep(tq::mxt_add_vv(a, a, &c_));
  EXPECT_EQ(sizes(sum), (std::vector<int>{3, 2}));
  EXPECT_EQ(values_of<int16_t>(sum), (std::vector<int16_t>{2, 4, 6, 8, 10, 12}));
}

TEST_F(MxArith, ProductsAndTransposes) {
  void* a = vec<int16_t>(&tq::mx_type_int16_v, {3, 2}, {1, 2, 3, 4, 5, 6});
  void* b = vec<int16_t>(&tq::mx_type_int16_v, {2, 3}, {7, 8, 9, 10, 11, 12});
  void* p = keep(tq::mxt_mul_mm(a, b, &c_));
  EXPECT_EQ(sizes(p), (std::vector<int>{2, 2}));
  EXPECT_EQ(values_of<int16_t>(p), (std::vector<int16_t>{58, 64, 139, 154}));
  void* t = keep(tq::mxt_trans_m(a, &c_));
  EXPECT_EQ(sizes(t), (std::vector<int>{2, 3}));
  EXPECT_EQ(values_of<int16_t>(t), (std::vector<int16_t>{1, 4, 2, 5, 3, 6}));
  // Doubles: a 2 x 3 matrix by a 4 x 2 matrix (columns x rows) is 4 x 3.
  void* x = vec<double>(&tq::mx_type_double_v, {2, 3}, {1, 2, 3, 4, 5, 6});
  void* y = vec<double>(&tq::mx_type_double_v, {4, 2}, {1, 0, 0, 1, 0, 1, 1, 0});
  void* xy = keep(tq::mxt_mul_mm(x, y, &c_));
  EXPECT_EQ(sizes(xy), (std::vector<int>{4, 3}));
  EXPECT_EQ(values_of<double>(xy), (std::vector<double>{1, 2, 2, 1, 3, 4, 4, 3, 5, 6, 6, 5}));
  void* row = vec<double>(&tq::mx_type_double_v, {3, 1}, {1, 2, 3});
  void* column = keep(tq::mxt_trans_m(row, &c_));
  EXPECT_EQ(sizes(column), (std::vector<int>{1, 3}));
  EXPECT_EQ(values_of<double>(column), (std::vector<double>{1, 2, 3}));
  // An 8-bit product wraps before it is added.
  void* m8 = vec<uint8_t>(&tq::mx_type_uint8_v, {2, 1}, {16, 16});
  void* n8 = vec<uint8_t>(&tq::mx_type_uint8_v, {1, 2}, {17, 1});
  EXPECT_EQ(values_of<uint8_t>(keep(tq::mxt_mul_mm(m8, n8, &c_))), std::vector<uint8_t>{(16 * 17 + 16) % 256});
}

TEST_F(MxArith, Builders) {
  void* a = vec<int16_t>(&tq::mx_type_int16_v, {2, 3}, {1, 2, 3, 4, 5, 6});
  void* b = vec<int16_t>(&tq::mx_type_int16_v, {2, 4}, {7, 8, 9, 10, 11, 12, 13, 14});
  void* joined = keep(tq::mxt_compound_vv(a, b, 1, &c_));
  EXPECT_EQ(sizes(joined), (std::vector<int>{2, 7}));
  EXPECT_EQ(values_of<int16_t>(joined), (std::vector<int16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  void* side = keep(tq::mxt_compound_vv(a, a, 0, &c_));
  EXPECT_EQ(values_of<int16_t>(side), (std::vector<int16_t>{1, 2, 1, 2, 3, 4, 3, 4, 5, 6, 5, 6}));
  EXPECT_EQ(tq::mxt_compound_vv(a, b, 0, &c_), nullptr) << "3 rows against 4";
  EXPECT_EQ(tq::mxt_compound_vv(a, b, 2, &c_), nullptr);
  void* e = keep(tq::mxt_e_m(&tq::mx_type_double_v, 3, &c_));
  EXPECT_EQ(values_of<double>(e), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(tq::mxt_e_m(&tq::mx_type_RGB_v, 3, &c_), nullptr) << "no zero or unit";
  double ary[] = {1, 2, 3};
  void* col = keep(tq::mxt_get_matrix_from_ary(&tq::mx_type_double_v, ary, 3, 2, &c_));
  EXPECT_EQ(sizes(col), (std::vector<int>{3, 1}));
  EXPECT_EQ(values_of<double>(col), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(sizes(keep(tq::mxt_get_matrix_from_ary(&tq::mx_type_double_v, ary, 3, 1, &c_))), std::vector<int>{3});
  EXPECT_EQ(tq::mxt_get_matrix_from_ary(&tq::mx_type_double_v, ary, 3, 3, &c_), nullptr);
}

}  // namespace
