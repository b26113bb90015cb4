// The difference curve against a Python computation of its formula (data/curve_golden.txt,
// mxtype_model.py), and round_int's clamping into every element type.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "mxtype/curve.h"
#include "mxtype_test_util.h"

namespace {

std::vector<int> golden_row(const std::string& name) {
  std::ifstream f(mxtest::golden_path("curve_golden.txt"));
  for (std::string line; std::getline(f, line);) {
    std::istringstream in(line);
    std::string head;
    in >> head;
    if (head != name) continue;
    std::vector<int> row;
    for (int v; in >> v;) row.push_back(v);
    return row;
  }
  return {};
}

TEST(MxCurve, TablesEqualThePythonModel) {
  const std::vector<int> decode = golden_row("decode"), encode = golden_row("encode");
  ASSERT_EQ(decode.size(), 256u);
  ASSERT_EQ(encode.size(), 511u);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(tq::__uchar2short(uint8_t(b)), decode[size_t(b)]) << b;
    EXPECT_EQ(tq::__short2uchar(tq::__uchar2short(uint8_t(b))), b);
  }
  for (int d = -255; d <= 255; ++d) EXPECT_EQ(tq::__short2uchar(int16_t(d)), encode[size_t(d + 255)]) << d;
  const std::pair<int, int> beyond[] = {{256, 255}, {-256, 0}, {32767, 255}, {-32768, 0}};
  for (auto [d, code] : beyond) EXPECT_EQ(tq::__short2uchar(int16_t(d)), code) << d;
  // A difference decodes back as the largest table value not above it.
  const std::pair<int, int> back[] = {{0, -1}, {100, 100}, {254, 251}};
  for (auto [d, value] : back) EXPECT_EQ(tq::__uchar2short(tq::__short2uchar(int16_t(d))), value) << d;
}

TEST(MxCurve, RoundIntClampsToTheElementType) {
  struct Case {
    int type;
    int64_t org;
    int opt;
    uint64_t stored;  // the element's bits, zero-extended
  } cases[] = {
      {tq::MXT_INT8, 300, 0, 127},         {tq::MXT_INT8, -300, 0, 0x80},
      {tq::MXT_UINT8, 300, 0, 255},        {tq::MXT_UINT8, -300, 1, 0},
      {tq::MXT_UINT16, 300, 0, 300},       {tq::MXT_UINT16, -300, 0, 0},
      {tq::MXT_INT32, int64_t(1) << 40, 0, 0x7FFFFFFF}, {tq::MXT_UINT32, int64_t(1) << 40, 0, 0xFFFFFFFF},
      {tq::MXT_UINT64, int64_t(1) << 40, 0, uint64_t(1) << 40}, {tq::MXT_INT64, -(int64_t(1) << 40), 0, uint64_t(-(int64_t(1) << 40))},
      {tq::MXT_BIT, 5, 0, 1},              {tq::MXT_BIT, 0, 0, 0},
      {tq::MXT_INT16_V, 40000, 0, 0x7FFF},  // a vector code selects its scalar
      {tq::MXT_UINT8, 0, 2, 127},          {tq::MXT_UINT8, 1, 2, 128},
      {tq::MXT_UINT8, -1, 2, 127},         {tq::MXT_UINT8, 255, 2, 255},
      {tq::MXT_UINT8, 300, 2, 255},        {tq::MXT_UINT8, -300, 2, 0},
      {tq::MXT_UINT16, 70000, 2, 65535},  // only uint8 honours the option
  };
  for (const Case& c : cases) {
    uint64_t cell = 0;
    tq::round_int(c.type, &cell, c.org, c.opt);
    const int size = c.type & 0xF;
    const int bytes = size == tq::MXT_BIT || size == tq::MXT_INT8 || size == tq::MXT_UINT8 ? 1
                      : size == tq::MXT_INT16 || size == tq::MXT_UINT16                   ? 2
                      : size == tq::MXT_INT32 || size == tq::MXT_UINT32                   ? 4
                                                                                          : 8;
    EXPECT_EQ(cell, bytes == 8 ? c.stored : c.stored & ((uint64_t(1) << (8 * bytes)) - 1)) << c.type << " " << c.org;
  }
  float f = 0;
  tq::round_int(tq::MXT_FLOAT, &f, (int64_t(1) << 24) + 1, 0);
  EXPECT_EQ(f, 16777216.0f) << "the nearest single";
  uint32_t untouched = 0xDEADBEEF;
  for (int type : {0, 12, 13, 14, 15}) tq::round_int(type, &untouched, 5, 0);
  EXPECT_EQ(untouched, 0xDEADBEEF);
  uint8_t u8;
  EXPECT_EXIT(tq::round_int(tq::MXT_UINT8, &u8, 1, 3), testing::ExitedWithCode(1), "unsigned_convert");
}

}  // namespace
