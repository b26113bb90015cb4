// The element-type table and the datum layout: the 28 registered descriptors, vector
// headers and offsets checked byte by byte, the offset and size limits, the allocation
// kinds, header ordering, language conversion of vectors (raw bytes checked against their
// size), and vectors shaped by a dimension code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lang/gc.h"
#include "matrix/matrix_fixture.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_cache.h"
#include "mxtype/datum.h"
#include "support/test_util.h"

namespace {

using mxtest::TestMatrix;
using testing::ExitedWithCode;
using tqtest::panic_banner;

TEST(MxTypeTable, TwentyEightDescriptorsByCode) {
  struct Row {
    int code;
    const char* name;
    int parent;  // code of the parent, 0 for none
    int element_size;  // 0: not a fixed size
  } rows[] = {
      {1, "bit", 0, 1},       {2, "int8", 0, 1},      {3, "int16", 0, 2},     {4, "int32", 0, 4},
      {5, "int64", 0, 8},     {6, "uint8", 0, 1},     {7, "uint16", 0, 2},    {8, "uint32", 0, 4},
      {9, "uint64", 0, 8},    {10, "float", 0, 4},    {11, "double", 0, 8},   {12, "rgb8", 0, 4},
      {13, "block", 0, 0},    {14, "string", 0, 0},   {15, "sexp", 0, 0},     {17, "bit_v", 1, 0},
      {18, "int8_v", 2, 0},   {19, "int16_v", 3, 0},  {20, "int32_v", 4, 0},  {21, "int64_v", 5, 0},
      {22, "uint8_v", 6, 0},  {23, "uint16_v", 7, 0}, {24, "uint32_v", 8, 0}, {25, "uint64_v", 9, 0},
      {26, "float_v", 10, 0}, {27, "double_v", 11, 0}, {28, "rgb8_v", 12, 0}, {30, "string_v", 14, 0},
  };
  for (const Row& r : rows) {
    tq::MDT tp = tq::get_matrix_data_type(r.code);
    ASSERT_NE(tp, nullptr) << r.code;
    EXPECT_EQ(tp->type, r.code);
    EXPECT_STREQ(tp->type_name, r.name);
    EXPECT_EQ(tp->parent ? tp->parent->type : 0, r.parent) << r.name;
    if (r.element_size) {
      EXPECT_EQ(tp->get_size(tp, nullptr), r.element_size) << r.name;
    }
    EXPECT_EQ(tp->max, nullptr);
  }
  for (int unknown : {-1, 0, 16, 29, 31, 32, 1000}) EXPECT_EQ(tq::get_matrix_data_type(unknown), nullptr) << unknown;
}

// Which of the 25 slots each type fills (1) or leaves empty (0), in slot order: get_size,
// sexp2md, md2sexp, cmp | copy, alloc_copy, alloc_data, free_data | thinned_rep,
// thinned_avg, v_add, v_sub | endian_to_net, endian_to_host, convert_to_net,
// convert_to_host | add_vv, sub_vv, mul_mm, mul_sv, trans_m | get_zero, get_el,
// print_data, max.
std::string slots_of(tq::MDT t) {
  const bool filled[] = {t->get_size != nullptr, t->sexp2md != nullptr, t->md2sexp != nullptr, t->cmp != nullptr,
                         t->copy != nullptr, t->alloc_copy != nullptr, t->alloc_data != nullptr,
                         t->free_data != nullptr, t->thinned_rep != nullptr, t->thinned_avg != nullptr,
                         t->v_add != nullptr, t->v_sub != nullptr, t->endian_to_net != nullptr,
                         t->endian_to_host != nullptr, t->convert_to_net != nullptr, t->convert_to_host != nullptr,
                         t->add_vv != nullptr, t->sub_vv != nullptr, t->mul_mm != nullptr, t->mul_sv != nullptr,
                         t->trans_m != nullptr, t->get_zero != nullptr, t->get_el != nullptr,
                         t->print_data != nullptr, t->max != nullptr};
  std::string s;
  for (size_t i = 0; i < std::size(filled); ++i) {
    if (i == 4 || i == 8 || i == 12 || i == 16 || i == 21) s += ' ';
    s += filled[i] ? '1' : '0';
  }
  return s;
}

TEST(MxTypeTable, SlotsFilledAndEmptyByType) {
  const char* number = "1111 1111 0000 1111 00000 1110";
  const char* number_v = "1111 1111 1111 1111 11111 0010";
  const std::pair<const char*, const char*> rows[] = {
      {"bit", "1111 1111 0000 1111 00000 0010"},    {"int8", number},   {"int16", number},
      {"int32", number},                            {"int64", number},  {"uint8", number},
      {"uint16", number},                           {"uint32", number}, {"uint64", number},
      {"float", number},                            {"double", number}, {"rgb8", "1111 1111 0000 1111 00000 0000"},
      {"block", "1111 1111 0000 1111 00000 0000"},  {"string", "1111 1111 0000 1111 00000 0010"},
      {"sexp", "1111 1111 0000 0000 00000 0000"},   {"bit_v", "1111 1111 0000 1111 00000 0000"},
      {"int8_v", number_v},                         {"int16_v", number_v}, {"int32_v", number_v},
      {"int64_v", number_v},                        {"uint8_v", number_v}, {"uint16_v", number_v},
      {"uint32_v", number_v},                       {"uint64_v", number_v}, {"float_v", number_v},
      {"double_v", number_v},                       {"rgb8_v", "1111 1111 1111 1111 00000 0000"},
      {"string_v", "1111 1111 1000 0011 00000 0010"},
  };
  for (const auto& [name, want] : rows) {
    tq::MDT tp = nullptr;
    for (tq::MDT t : tq::mx_type_register_order)
      if (std::string(t->type_name) == name) tp = t;
    ASSERT_NE(tp, nullptr) << name;
    EXPECT_EQ(slots_of(tp), want) << name;
  }
  // The byte-order swaps by width: the unsigned members and rgb8 share the signed ones.
  const std::pair<tq::MDT, tq::MDT> same_swap[] = {
      {&tq::mx_type_uint16, &tq::mx_type_int16}, {&tq::mx_type_uint32, &tq::mx_type_int32},
      {&tq::mx_type_uint64, &tq::mx_type_int64}, {&tq::mx_type_RGB, &tq::mx_type_int32},
      {&tq::mx_type_uint8, &tq::mx_type_int8},   {&tq::mx_type_bit, &tq::mx_type_int8},
      {&tq::mx_type_string, &tq::mx_type_int8},  {&tq::mx_type_block, &tq::mx_type_int8},
  };
  for (const auto& [a, b] : same_swap) {
    EXPECT_EQ(a->endian_to_net, b->endian_to_net) << a->type_name;
    EXPECT_EQ(a->endian_to_host, b->endian_to_net) << a->type_name;
  }
}

// A fixed-size vector of kind 3 with these sizes, made by its type; the caller frees it.
void* vector_of(tq::MDT tp, std::vector<int> sizes, void* def = nullptr) {
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), sizes.data(), def, nullptr};
  return tp->alloc_data(tp, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__);
}

std::vector<uint8_t> bytes_of(const void* d, size_t n) {
  auto* p = static_cast<const uint8_t*>(d);
  return {p, p + n};
}

TEST(MxDatum, VectorLayoutByteByByte) {
  int16_t minus_two = -2;
  void* v = vector_of(&tq::mx_type_int16_v, {3, 2}, &minus_two);
  ASSERT_NE(v, nullptr);
  // offset 12, type 19, dim 2 (host order), sizes 3 and 2, then six elements 0xFFFE.
  std::vector<uint8_t> want = {12, 19, 2, 0, 3, 0, 0, 0, 2, 0, 0, 0};
  for (int i = 0; i < 6; ++i) want.insert(want.end(), {0xFE, 0xFF});
  EXPECT_EQ(bytes_of(v, 24), want);
  EXPECT_EQ(tq::mx_type_int16_v.get_size(&tq::mx_type_int16_v, v), 24);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  EXPECT_EQ(dh.total_element, 6);
  EXPECT_EQ(dh.offset, static_cast<uint8_t*>(v) + 12);
  EXPECT_EQ(dh.tp, &tq::mx_type_int16_v);
  tq::mxt_free_data(&tq::mx_type_int16_v, v);

  struct Case {
    tq::MDT tp;
    std::vector<int> sizes;
    int offset, size;
  } cases[] = {
      {&tq::mx_type_double_v, {3, 2}, 16, 64},  {&tq::mx_type_int8_v, {2, 2, 2}, 16, 24},
      {&tq::mx_type_int8_v, {3, 2}, 12, 18},    {&tq::mx_type_int32_v, {}, 4, 8},
      {&tq::mx_type_int64_v, {}, 8, 16},        {&tq::mx_type_uint64_v, {}, 8, 16},
      {&tq::mx_type_double_v, {}, 8, 16},       {&tq::mx_type_RGB_v, {5}, 8, 28},
      {&tq::mx_type_float_v, {0, 7}, 12, 12},   {&tq::mx_type_int32_v, std::vector<int>(30, 1), 124, 128},
      {&tq::mx_type_double_v, std::vector<int>(29, 1), 120, 128},
  };
  for (const Case& c : cases) {
    void* d = vector_of(c.tp, c.sizes);
    ASSERT_NE(d, nullptr) << c.tp->type_name << " " << c.sizes.size();
    EXPECT_EQ(static_cast<tq::MATRIX_DATA_HEADER*>(d)->offset, c.offset) << c.tp->type_name;
    EXPECT_EQ(c.tp->get_size(c.tp, d), c.size) << c.tp->type_name;
    tq::mxt_free_data(c.tp, d);
  }
}

TEST(MxDatum, VectorsThatCannotBeDescribedGiveNull) {
  EXPECT_EQ(vector_of(&tq::mx_type_int32_v, std::vector<int>(31, 1)), nullptr) << "offset 128";
  EXPECT_EQ(vector_of(&tq::mx_type_double_v, std::vector<int>(30, 1)), nullptr) << "offset 128";
  EXPECT_EQ(vector_of(&tq::mx_type_int16_v, {4, -1}), nullptr) << "negative size";
  EXPECT_EQ(vector_of(&tq::mx_type_double_v, {65536, 65536}), nullptr) << "2^32 elements";
  EXPECT_EQ(vector_of(&tq::mx_type_int8_v, {46341, 46341}), nullptr) << "past an int";
  EXPECT_EQ(vector_of(&tq::mx_type_string_v, {16383, 16385}), nullptr) << "2^28 - 1 references: 5 bytes past an int";
  EXPECT_EQ(vector_of(&tq::mx_type_string_v, {65536, 65536, 65536, 65536}), nullptr) << "2^64 wraps to 0";
  EXPECT_EQ(tq::mxt_vector_offset(-1, 4, true), -1);
  EXPECT_EQ(tq::mxt_vector_offset(30, 4, false), 124) << "bit and string vectors: 4 + 4 * dim";
  EXPECT_EQ(tq::mxt_vector_offset(31, 1, false), -1);
}

TEST(MxDatum, AllocationKinds) {
  int sizes[] = {4};
  int32_t seven = 7;
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{1, sizes, &seven, nullptr};
  tq::MDT tp = &tq::mx_type_int32_v;
  void* heap = mxt_alloc_vector(tp, tq::MX_ALLOC_MALLOC, &prm, nullptr);
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(static_cast<int32_t*>(heap)[2 + 3], 7);
  free(heap);

  prm.default_data = nullptr;
  {
    tq::GcFrame frame("kind 2");
    auto* collected = static_cast<int32_t*>(mxt_alloc_vector(tp, tq::MX_ALLOC_GC, &prm, nullptr));
    ASSERT_NE(collected, nullptr);
    EXPECT_EQ(collected[2] | collected[3] | collected[4] | collected[5], 0) << "collected memory is zeroed";
  }

  tq::MX_CACHE c{};
  tq::mxc_setup(&c);
  void* by_work = mxt_alloc_vector(tp, tq::MX_ALLOC_POOL, &prm, &c);
  prm.mxc = &c;
  void* by_param = mxt_alloc_vector(tp, tq::MX_ALLOC_POOL, &prm, nullptr);
  EXPECT_EQ((static_cast<tq::MBLK*>(by_work) - 1)->size, 1);
  EXPECT_EQ((static_cast<tq::MBLK*>(by_param) - 1)->size, 1) << "without a work word the description's pool";
  tq::xx_mxc_free(&c, by_work, __FILE__, __LINE__);
  tq::xx_mxc_free(&c, by_param, __FILE__, __LINE__);
  tq::flush_mx_cache(&c, 1);
  prm.mxc = nullptr;
  EXPECT_EQ(mxt_alloc_vector(tp, tq::MX_ALLOC_POOL, &prm, nullptr), nullptr) << "kind 4 without any pool";
  EXPECT_EXIT(mxt_alloc_vector(tp, 5, &prm, nullptr), ExitedWithCode(1), panic_banner("mxt_alloc_vector"));
  EXPECT_EXIT(tq::xx_atype_alloc(8, 0, nullptr, __FILE__, __LINE__), ExitedWithCode(1), panic_banner("atype_alloc"));
  EXPECT_EQ(tq::xx_atype_alloc(-1, tq::MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__), nullptr);

  EXPECT_EQ(mxt_alloc_copy(tp, nullptr, tq::MX_ALLOC_DEBUG, nullptr), nullptr);
  double pi = 3.25;
  auto* scalar = static_cast<double*>(tq::mx_type_double.alloc_data(&tq::mx_type_double, tq::MX_ALLOC_DEBUG, &pi,
                                                                     nullptr, __FILE__, __LINE__));
  EXPECT_EQ(*scalar, 3.25);
  tq::mxt_free_data(&tq::mx_type_double, scalar);
}

TEST(MxDatum, HeadersOrderByTypeThenShape) {
  auto order = [](tq::MDT t1, std::vector<int> s1, tq::MDT t2, std::vector<int> s2) {
    void* a = vector_of(t1, s1);
    void* b = vector_of(t2, s2);
    tq::MATRIX_DH_SET h1, h2;
    tq::get_matrix_dh_set(&h1, a);
    tq::get_matrix_dh_set(&h2, b);
    const int r = tq::cmp_dh_set(&h1, &h2);
    EXPECT_EQ(tq::cmp_dh_set(&h2, &h1), -r);
    tq::mxt_free_data(t1, a);
    tq::mxt_free_data(t2, b);
    return r;
  };
  EXPECT_EQ(order(&tq::mx_type_int16_v, {9, 9}, &tq::mx_type_int32_v, {1}), -1);
  EXPECT_EQ(order(&tq::mx_type_int16_v, {9}, &tq::mx_type_int16_v, {1, 1}), -1);
  EXPECT_EQ(order(&tq::mx_type_int16_v, {3, 5}, &tq::mx_type_int16_v, {4, 1}), -1);
  EXPECT_EQ(order(&tq::mx_type_int16_v, {3, 5}, &tq::mx_type_int16_v, {3, 5}), 0);
}

TEST(MxDatum, LanguageValuesOfVectors) {
  tq::GcFrame frame("sexp2md");
  tq::MDT tp = &tq::mx_type_int16_v;
  void* v = vector_of(tp, {3, 2});
  tq::TQ_SEXP* ptr = tp->md2sexp(tp, v);
  int cpy = -1;
  EXPECT_EQ(tp->sexp2md(&cpy, tp, ptr), v);
  EXPECT_EQ(cpy, 0) << "used in place";
  EXPECT_EQ(tq::mx_type_int32_v.sexp2md(nullptr, &tq::mx_type_int32_v, ptr), nullptr) << "another type";
  EXPECT_EQ(tp->sexp2md(nullptr, tp, tq::get_integer(1, nullptr)), nullptr);

  const std::vector<uint8_t> whole = bytes_of(v, 24);
  tq::TQ_SEXP* raw = tq::get_raw(whole.data(), 24);
  EXPECT_EQ(tp->sexp2md(&cpy, tp, raw), raw->raw.data);
  // Raw bytes that do not hold what their header says.
  auto broken = [&](size_t size, std::function<void(std::vector<uint8_t>&)> edit) {
    std::vector<uint8_t> b = whole;
    edit(b);
    return tp->sexp2md(nullptr, tp, tq::get_raw(b.data(), int64_t(size)));
  };
  EXPECT_EQ(broken(23, [](auto&) {}), nullptr) << "one element byte short";
  EXPECT_EQ(broken(3, [](auto&) {}), nullptr) << "no whole header";
  EXPECT_EQ(broken(24, [](auto& b) { b[2] = 0xFF, b[3] = 0xFF; }), nullptr) << "negative axis count";
  EXPECT_EQ(broken(24, [](auto& b) { b[2] = 5; }), nullptr) << "sizes past the bytes";
  EXPECT_EQ(broken(24, [](auto& b) { b[0] = 0x80; }), nullptr) << "negative offset";
  EXPECT_EQ(broken(24, [](auto& b) { b[0] = 8; }), nullptr) << "elements over the sizes";
  EXPECT_EQ(broken(24, [](auto& b) { b[7] = 0x80; }), nullptr) << "negative size";
  EXPECT_EQ(broken(24, [](auto& b) { b[7] = 0x10; }), nullptr) << "2^28 elements";
  EXPECT_EQ(broken(25, [](auto& b) { b[0] = 13, b.push_back(0); }), nullptr) << "int16 elements at an odd offset";
  EXPECT_NE(broken(26, [](auto& b) { b[0] = 14, b.resize(26); }), nullptr) << "a wider offset that keeps them aligned";
  std::vector<uint8_t> strings = {4 + 4, 30, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(tq::mx_type_string_v.sexp2md(nullptr, &tq::mx_type_string_v, tq::get_raw(strings.data(), 16)), nullptr)
      << "bytes never stand for string references";
  tq::mxt_free_data(tp, v);
}

TEST(MxDatum, VectorsShapedByADimensionCode) {
  // 1000 x 10 samples, blocks of 256, halving: level 2 is 250 x 3.
  TestMatrix m({{1000, 1, 8}, {10, 1, 8}});
  struct Case {
    std::vector<int64_t> dc;
    std::vector<int> sizes;  // empty: no vector
  } cases[] = {
      {{0, 0, 0}, {256, 10}},     {{0, 768, 5}, {232, 10}}, {{0, 1024, 0}, {}},
      {{2, 0, 0}, {250, 3}},      {{2, 1024, 0}, {}},       {{11, 0, 0}, {}},
      {{-1, 0, 0}, {}},           {{0, 300, 0}, {256, 10}},
  };
  for (const Case& c : cases) {
    std::vector<int64_t> dc = c.dc;
    void* v = tq::mxt_alloc_vector_by_dim_code(m.get(), &tq::mx_type_double_v, tq::MX_ALLOC_DEBUG, dc.data(), nullptr);
    if (c.sizes.empty()) {
      EXPECT_EQ(v, nullptr) << dc[0] << " " << dc[1];
      continue;
    }
    ASSERT_NE(v, nullptr) << dc[0] << " " << dc[1];
    tq::MATRIX_DH_SET dh;
    tq::get_matrix_dh_set(&dh, v);
    EXPECT_EQ(std::vector<int>(dh.ix, dh.ix + 2), c.sizes) << dc[0] << " " << dc[1];
    tq::mxt_free_data(&tq::mx_type_double_v, v);
  }
  TestMatrix plus({{1000, 1, 8}, {10, 1, 8}}, tq::MXP_VECTOR_PLUS_ONE);
  std::vector<int64_t> dc{0, 768, 0};
  double zero = 0.0;
  void* v = tq::mxt_alloc_vector_by_dim_code(plus.get(), &tq::mx_type_double_v, tq::MX_ALLOC_DEBUG, dc.data(), &zero);
  ASSERT_NE(v, nullptr);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  EXPECT_EQ(std::vector<int>(dh.ix, dh.ix + 2), std::vector<int>({233, 11})) << "one more sample per axis";
  tq::mxt_free_data(&tq::mx_type_double_v, v);
}

}  // namespace
