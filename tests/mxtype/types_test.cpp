// Every type's conversions to and from language values with their refusals, comparisons
// (signedness, NaN, headers first; a channel keeps its datum only over an equal one) and
// printed texts, byte for byte.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "lang/gc.h"
#include "matrix/cache_fixture.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_fixture.h"
#include "matrix/matrix_open.h"
#include "mxtest_types.h"
#include "mxtype/block_type.h"
#include "mxtype/mx_print.h"
#include "mxtype/num_types.h"
#include "mxtype/rgb_type.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;

tq::TQ_SEXP* integer(int64_t v) { return tq::get_integer(v, nullptr); }
tq::TQ_SEXP* floating(double v) { return tq::get_floating(v, nullptr); }
tq::TQ_SEXP* string(const char* utf8) { return tq::get_string(tq::_l_string_1(tq::utf8_cm, utf8)); }

// The element bits sexp2md stores, zero-extended; -1 (as the marker) when refused.
struct Stored {
  bool refused;
  uint64_t bits;
};

Stored to_element(tq::MDT tp, tq::TQ_SEXP* s) {
  int cpy = 7;
  void* d = tp->sexp2md(&cpy, tp, s);
  if (!d) {
    EXPECT_EQ(cpy, 7) << tp->type_name << ": a refusal leaves the flag";
    return {true, 0};
  }
  EXPECT_EQ(cpy, 1) << tp->type_name;
  uint64_t bits = 0;
  memcpy(&bits, d, size_t(tp->get_size(tp, d)));
  tp->free_data(tp, d);
  return {false, bits};
}

TEST(MxTypes, LanguageValuesToElements) {
  tq::GcFrame frame("sexp2md");
  struct Case {
    tq::MDT tp;
    tq::TQ_SEXP* s;
    bool refused;
    uint64_t bits;
  } cases[] = {
      {&tq::mx_type_int16, integer(70000), false, 4464},
      {&tq::mx_type_uint16, integer(-1), false, 65535},
      {&tq::mx_type_int32, integer((int64_t(1) << 40) + 5), false, 5},
      {&tq::mx_type_int8, integer(300), false, 44},
      {&tq::mx_type_uint64, integer(-1), false, UINT64_MAX},
      {&tq::mx_type_uint8, integer(-1), false, 255},
      {&tq::mx_type_int64, integer(INT64_MIN), false, uint64_t(INT64_MIN)},
      {&tq::mx_type_uint32, integer(-1), false, UINT32_MAX},
      {&tq::mx_type_int16, floating(3.0), true, 0},
      {&tq::mx_type_uint64, string("1"), true, 0},
      {&tq::mx_type_double, integer(3), false, std::bit_cast<uint64_t>(3.0)},
      {&tq::mx_type_double, floating(0.1), false, std::bit_cast<uint64_t>(0.1)},
      {&tq::mx_type_double, string("3"), true, 0},
      {&tq::mx_type_float, floating(0.1), false, std::bit_cast<uint32_t>(0.1f)},
      {&tq::mx_type_float, integer(3), true, 0},
      {&tq::mx_type_bit, integer(7), false, 1},
      {&tq::mx_type_bit, integer(0), false, 0},
      {&tq::mx_type_bit, floating(1), true, 0},
      {&tq::mx_type_RGB, integer(-1), false, 0xFFFFFFFF},
      {&tq::mx_type_RGB, integer((int64_t(1) << 32) + 0x10203040), false, 0x10203040},
      {&tq::mx_type_RGB, floating(1), true, 0},
      {&tq::mx_type_string, integer(1), true, 0},
  };
  for (const Case& c : cases) {
    const Stored got = to_element(c.tp, c.s);
    EXPECT_EQ(got.refused, c.refused) << c.tp->type_name;
    if (!c.refused) {
      EXPECT_EQ(got.bits, c.bits) << c.tp->type_name;
    }
  }
  char* text = static_cast<char*>(tq::mx_type_string.sexp2md(nullptr, &tq::mx_type_string, string("h\xc3\xa9llo")));
  EXPECT_STREQ(text, "h\xc3\xa9llo") << "UTF-8 bytes";
  EXPECT_EQ(tq::mx_type_string.get_size(&tq::mx_type_string, text), 7);
  tq::mxt_free_data(&tq::mx_type_string, text);
}

TEST(MxTypes, ElementsToLanguageValues) {
  tq::GcFrame frame("md2sexp");
  auto as_integer = [](tq::MDT tp, uint64_t bits) {
    tq::TQ_SEXP* s = tp->md2sexp(tp, &bits);
    EXPECT_EQ(tq::get_type(s), tq::kTagInteger) << tp->type_name;
    return s->integer.data;
  };
  EXPECT_EQ(as_integer(&tq::mx_type_int16, 0xFFFF), -1);
  EXPECT_EQ(as_integer(&tq::mx_type_uint16, 0xFFFF), 65535);
  EXPECT_EQ(as_integer(&tq::mx_type_uint64, UINT64_MAX), -1);
  EXPECT_EQ(as_integer(&tq::mx_type_uint32, 0xFFFFFFFF), 4294967295);
  EXPECT_EQ(as_integer(&tq::mx_type_int8, 0x80), -128);
  EXPECT_EQ(as_integer(&tq::mx_type_RGB, 0xFFFFFFFF), 4294967295);
  EXPECT_EQ(as_integer(&tq::mx_type_bit, 5), 1);
  float f = 0.1f;
  tq::TQ_SEXP* fs = tq::mx_type_float.md2sexp(&tq::mx_type_float, &f);
  ASSERT_EQ(tq::get_type(fs), tq::kTagFloat);
  EXPECT_EQ(fs->floating.data, double(0.1f));
  EXPECT_EQ(fs->floating.unit, nullptr);
  char utf8[] = "h\xc3\xa9";
  tq::TQ_SEXP* s = tq::mx_type_string.md2sexp(&tq::mx_type_string, utf8);
  EXPECT_EQ(tq::cmp_sexp(s, string("h\xc3\xa9")), 0);
  EXPECT_EQ(tq::cmp_sexp(tq::mx_type_string.md2sexp(&tq::mx_type_string, nullptr), string("")), 0);
}

TEST(MxTypes, VectorsAndBlocksConvertAsPointers) {
  tq::GcFrame frame("vectors");
  std::mt19937_64 rng(5);
  for (tq::MDT tp : tq::mx_type_register_order) {
    if (!(tp->type & tq::MXT_VECTOR)) continue;
    void* v = random_datum(tp, rng);
    tq::TQ_SEXP* p = tp->md2sexp(tp, v);
    int cpy = 1;
    EXPECT_EQ(tp->sexp2md(&cpy, tp, p), v) << tp->type_name;
    EXPECT_EQ(cpy, 0);
    tq::MDT other = tp->type == tq::MXT_INT16_V ? &tq::mx_type_int32_v : &tq::mx_type_int16_v;
    EXPECT_EQ(other->sexp2md(nullptr, other, p), nullptr) << tp->type_name;
    EXPECT_EQ(tq::mx_type_block.sexp2md(nullptr, &tq::mx_type_block, p), nullptr) << "not a block record";
    tp->free_data(tp, v);
  }
  const uint8_t bytes[] = {1, 2, 3};
  int cpy = 0;
  auto* b = static_cast<tq::MATRIX_ALLOC_BLOCK_PARAM*>(
      tq::mx_type_block.sexp2md(&cpy, &tq::mx_type_block, tq::get_raw(bytes, 3)));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(cpy, 1);
  EXPECT_EQ(b->size, 3);
  EXPECT_EQ(b->h.type, tq::MXT_BLOCK);
  EXPECT_EQ(memcmp(b->block, bytes, 3), 0);
  EXPECT_EQ(tq::mx_type_block.sexp2md(&cpy, &tq::mx_type_block, tq::mx_type_block.md2sexp(&tq::mx_type_block, b)), b);
  EXPECT_EQ(cpy, 0);
  cpy = 9;
  EXPECT_EQ(tq::mx_type_block.sexp2md(&cpy, &tq::mx_type_block, integer(1)), nullptr);
  EXPECT_EQ(cpy, 0);
  tq::mxt_free_block(&tq::mx_type_block, b);
}

TEST(MxTypes, ComparisonsOrderByTheElementType) {
  auto cmp = [](tq::MDT tp, auto a, auto b) { return tp->cmp(tp, &a, &b); };
  EXPECT_EQ(cmp(&tq::mx_type_int16, int16_t(-1), int16_t(1)), -1);
  EXPECT_EQ(cmp(&tq::mx_type_uint16, uint16_t(65535), uint16_t(1)), 1);
  EXPECT_EQ(cmp(&tq::mx_type_int64, int64_t(1) << 40, (int64_t(1) << 40) + 1), -1);
  EXPECT_EQ(cmp(&tq::mx_type_uint64, UINT64_MAX, uint64_t(1)), 1);
  EXPECT_EQ(cmp(&tq::mx_type_int32, int32_t(7), int32_t(7)), 0);
  EXPECT_EQ(cmp(&tq::mx_type_double, 1.0, double(NAN)), 0);
  EXPECT_EQ(cmp(&tq::mx_type_float, NAN, NAN), 0);
  EXPECT_EQ(cmp(&tq::mx_type_bit, int8_t(1), int8_t(0)), 1);
  EXPECT_EQ(cmp(&tq::mx_type_RGB, uint32_t(1), uint32_t(0xFFFFFF00)), 1);

  void* a = vector_of<int16_t>(&tq::mx_type_int16_v, {3, 2}, {9, 9, 9, 9, 9, 9});
  void* b = vector_of<int16_t>(&tq::mx_type_int16_v, {2, 3}, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(tq::mx_type_int16_v.cmp(&tq::mx_type_int16_v, a, b), 1) << "the sizes decide";
  void* c = vector_of<int16_t>(&tq::mx_type_int16_v, {3, 2}, {9, 9, 9, 9, 10, 0});
  EXPECT_EQ(tq::mx_type_int16_v.cmp(&tq::mx_type_int16_v, a, c), -1) << "element 4";
  void* x = vector_of<double>(&tq::mx_type_double_v, {2}, {NAN, 1});
  void* y = vector_of<double>(&tq::mx_type_double_v, {2}, {2, 1});
  EXPECT_EQ(tq::mx_type_double_v.cmp(&tq::mx_type_double_v, x, y), 0) << "NaN pairs are passed over";
  void* bits1 = vector_of<uint8_t>(&tq::mx_type_bit_v, {10}, {0x5A, 0x02});
  void* bits2 = vector_of<uint8_t>(&tq::mx_type_bit_v, {10}, {0x5A, 0xFE});
  EXPECT_EQ(tq::mx_type_bit_v.get_size(&tq::mx_type_bit_v, bits1), 10);
  EXPECT_EQ(tq::mx_type_bit_v.cmp(&tq::mx_type_bit_v, bits1, bits2), 0) << "only 2 bits of the last byte count";
  void* bits3 = vector_of<uint8_t>(&tq::mx_type_bit_v, {10}, {0x5B, 0x02});
  EXPECT_EQ(tq::mx_type_bit_v.cmp(&tq::mx_type_bit_v, bits1, bits3), -1) << "element 0";
  {
    // A channel keeps its datum only over an equal one: one differing in its first byte
    // replaces it.
    tq::GcFrame frame("bit channel");
    StoreShape shape;
    tq::MATRIX* m = open_ready(&shape, "bits", {{16, 1, 3}}, {&tq::mx_type_bit_v});
    int code;
    tq::MATRIX_NODE* n = lookup(&code, m, {0, 0}, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(tq::set_channel_sexp(n, 0, tq::get_ptr(bits1, nullptr)), tq::MX_SET_STORED);
    EXPECT_EQ(tq::set_channel_sexp(n, 0, tq::get_ptr(bits3, nullptr)), tq::MX_SET_STORED);
    void* stored = tq::get_vdata_from_sexp(tq::get_channel_data(n, 0, nullptr));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(elements<uint8_t>(stored)[0], 0x5B);
    close_matrix(m);
  }
  for (void* d : {a, b, c, x, y, bits1, bits2, bits3}) tq::mxt_free_data(&tq::mx_type_int16_v, d);

  auto block = [](std::vector<uint8_t> b) {
    tq::MATRIX_ALLOC_BLOCK_PARAM prm{{0, tq::MXT_BLOCK, 0}, int(b.size()), b.data()};
    return tq::mxt_alloc_block_data(&tq::mx_type_block, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__);
  };
  void* b3 = block({0xFF, 0xFF, 0xFF});
  void* b4 = block({0, 0, 0, 0});
  void* lo = block({1, 0x7F, 0});
  void* hi = block({1, 0x80, 0});
  EXPECT_EQ(tq::mxt_block_cmp(&tq::mx_type_block, b3, b4), -1);
  EXPECT_EQ(tq::mxt_block_cmp(&tq::mx_type_block, hi, lo), 1) << "bytes unsigned";
  for (void* d : {b3, b4, lo, hi}) tq::mxt_free_block(&tq::mx_type_block, d);
}

TEST(MxPrint, VectorsAndScalarsPrintExactly) {
  auto text = [](tq::MDT tp, void* d, const char* fmt = nullptr) { return std::string(tq::mxt_print(tp, d, fmt)); };
  void* m = vector_of<int16_t>(&tq::mx_type_int16_v, {3, 2}, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(text(&tq::mx_type_int16_v, m), "[dim:2 3 2 :::\n1 2 3 /\n4 5 6 ]");
  void* row = vector_of<int16_t>(&tq::mx_type_int16_v, {2}, {7, 8});
  EXPECT_EQ(text(&tq::mx_type_int16_v, row), "[dim:1 2 :::\n7 8 ]");
  void* flat = vector_of<int64_t>(&tq::mx_type_int64_v, {}, {int64_t(1) << 40});
  EXPECT_EQ(text(&tq::mx_type_int64_v, flat), "[dim:0 :::\n1099511627776 ]");
  void* d = vector_of<double>(&tq::mx_type_double_v, {2}, {2.5, -1});
  EXPECT_EQ(text(&tq::mx_type_double_v, d, "%.1f"), "[dim:1 2 :::\n2.5 -1.0 ]");
  void* s = vector_from_text(&tq::mx_type_string_v, {2, 2}, {"61", "62", "63", "64"});
  EXPECT_EQ(text(&tq::mx_type_string_v, s), "[dim:2 2 2 :::\na b /\nc d ]");
  void* s1 = vector_from_text(&tq::mx_type_string_v, {3}, {"78", "~", "79"});
  EXPECT_EQ(text(&tq::mx_type_string_v, s1), "[dim:1 3 :::\nxy]") << "one axis: back to back, null as nothing";
  for (void* v : {m, row, flat, d}) tq::mxt_free_data(&tq::mx_type_int16_v, v);
  for (void* v : {s, s1}) tq::mx_type_string_v.free_data(&tq::mx_type_string_v, v);

  struct Case {
    tq::MDT tp;
    uint64_t bits;
    const char* fmt;
    const char* want;
  } cases[] = {
      {&tq::mx_type_uint32, 0xFFFFFFFF, nullptr, "-1"},
      {&tq::mx_type_uint16, 0xFFFF, nullptr, "65535"},
      {&tq::mx_type_int8, 0xFF, nullptr, "-1"},
      {&tq::mx_type_int64, uint64_t(1) << 40, nullptr, "1099511627776"},
      {&tq::mx_type_uint64, UINT64_MAX, nullptr, "-1"},
      {&tq::mx_type_int32, 42, "%05i", "00042"},
      {&tq::mx_type_int32, 42, "<%x>", "<2a>"},
      {&tq::mx_type_int64, 42, "%5d", "   42"},
      {&tq::mx_type_int16, 42, "%lld", "42"},
      {&tq::mx_type_double, std::bit_cast<uint64_t>(2.5), nullptr, "2.500000"},
      {&tq::mx_type_double, std::bit_cast<uint64_t>(2.5), "%.1f", "2.5"},
      {&tq::mx_type_float, std::bit_cast<uint32_t>(2.5f), "%e", "2.500000e+00"},
      {&tq::mx_type_bit, 1, nullptr, "1"},
      // Formats that would read another argument than the element fall back to the default.
      {&tq::mx_type_int32, 42, "%s", "42"},
      {&tq::mx_type_int32, 42, "%n", "42"},
      {&tq::mx_type_int32, 42, "%i %i", "42"},
      {&tq::mx_type_int32, 42, "%*d", "42"},
      {&tq::mx_type_int32, 42, "%1$d", "42"},
      {&tq::mx_type_double, std::bit_cast<uint64_t>(2.5), "%d", "2.500000"},
      {&tq::mx_type_int64, 42, "%c", "42"},
  };
  for (const Case& c : cases) EXPECT_EQ(text(c.tp, const_cast<uint64_t*>(&c.bits), c.fmt), c.want) << c.want;
  uint32_t colour = 0x10203040;
  EXPECT_EQ(text(&tq::mx_type_RGB, &colour), "") << "rgb8 does not print";
  tq::MATRIX_STRING_BUFFER empty{};
  char* joined = tq::get_matrix_string_buffer(&empty);
  EXPECT_STREQ(joined, "");
  d_f_ree(joined);
}

TEST(MxPrint, BitTestCountsZerosOnesAndOthers) {
  mxtest::TestMatrix m({{1 << 20, 1, 3}});
  std::vector<int64_t> dc{0, 8};
  void* v = vector_of<uint8_t>(&tq::mx_type_uint8_v, {5}, {0, 1, 0, 7, 255});
  testing::internal::CaptureStdout();
  tq::check_bittest(m.get(), dc.data(), v, "bits");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, 5), "bits(");
  EXPECT_EQ(out.substr(out.find(')')), ") z-2 o-1 oth-2 total=5\n");
  tq::mxt_free_data(&tq::mx_type_uint8_v, v);
}

TEST(MxPrint, TypeTraceOncePerSecond) {
  static uint32_t now = 100;
  tq::mx_type_debug_clock = [] { return now; };
  int tim = 0;
  testing::internal::CaptureStdout();
  tq::xx_type_debug("load", &tq::mx_type_int16_v, "fn", 7, &tim);
  tq::xx_type_debug("load", &tq::mx_type_int16_v, "fn", 7, &tim);  // the same second: nothing
  now = 101;
  tq::xx_type_debug("", &tq::mx_type_double, "f.cpp", 9, &tim);
  now = 102;
  tq::xx_type_debug(nullptr, nullptr, "f.cpp", 9, &tim);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "load(fn) :: int16|VECTOR\n(f.cpp+9) :: double|SCOLOR\n(f.cpp+9) :: zero\n");
  EXPECT_EQ(tim, 102);
  tq::mx_type_debug_clock = nullptr;
}

}  // namespace
