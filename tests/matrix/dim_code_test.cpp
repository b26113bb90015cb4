// Dimension codes: normalising, comparing by level then masked axes (with spans up to and
// past 2^64), copying, the diagnostic text; and the index tuples of vector datums.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "matrix/dim_code.h"
#include "matrix/ix_tuple.h"
#include "matrix/matrix_fixture.h"
#include "support/test_util.h"

namespace {

using mxtest::TestMatrix;
using Code = std::vector<int64_t>;

// Block size 8 and divisor 1 on both axes: a node spans 2^(8 + L) samples at level L.
TestMatrix* map_matrix() {
  static TestMatrix* m = new TestMatrix({{1000, 1, 8}, {1000, 1, 8}});
  return m;
}

TEST(DimCode, ComparesByLevelThenMaskedAxes) {
  tq::MATRIX* m = map_matrix()->get();
  struct Case {
    Code a, b;
    int order;
  } cases[] = {
      {{0, 300, 10}, {0, 511, 255}, 0},       // one node of level 0
      {{3, 2047, 0}, {3, 0, 0}, 0},           // level 3 spans 2^11
      {{3, 2048, 0}, {3, 0, 0}, 1},
      {{1, 0, 0}, {0, 1 << 20, 1 << 20}, 1},  // any level 1 after any level 0
      {{0, -1, 0}, {0, 0, 0}, -1},            // negative before positive
      {{0, 0, 256}, {0, 0, 255}, 1},          // the second axis decides when the first ties
      {{0, 0, 0}, {0, 255, 300}, -1},
      // Level 24 spans 2^32: coordinates differing only above bit 31 stay apart.
      {{24, int64_t(1) << 33, 0}, {24, int64_t(1) << 32, 0}, 1},
      // Level 56 spans 2^64: every coordinate masks to 0.
      {{56, INT64_MAX, -5}, {56, INT64_MIN, 7}, 0},
      // A negative level keeps every bit (span below one sample).
      {{-20, 1, 0}, {-20, 0, 0}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "level " << c.a[0] << " x " << c.a[1]);
    EXPECT_EQ(tq::cmp_dim_code(m, c.a.data(), c.b.data()), c.order);
    EXPECT_EQ(tq::cmp_dim_code(m, c.b.data(), c.a.data()), -c.order);
  }
  Code any{0, 0, 0};
  EXPECT_EQ(tq::cmp_dim_code(m, nullptr, nullptr), 0);
  EXPECT_EQ(tq::cmp_dim_code(m, nullptr, any.data()), -1);
  EXPECT_EQ(tq::cmp_dim_code(m, any.data(), nullptr), 1);
}

TEST(DimCode, NormalisesToTheNodeOrigin) {
  tq::MATRIX* m = map_matrix()->get();
  struct Case {
    Code in, out;
  } cases[] = {
      {{0, 300, 10}, {0, 256, 0}},
      {{0, 511, 255}, {0, 256, 0}},
      {{0, -1, 0}, {0, -256, 0}},
      {{3, 2047, 4095}, {3, 0, 2048}},
      {{56, 12345, -1}, {56, 0, 0}},
      {{-20, 7, 9}, {-20, 7, 9}},  // a span below one sample keeps every bit
  };
  for (const Case& c : cases) {
    Code dc = c.in;
    tq::normalize_dim_code(m, dc.data());
    EXPECT_EQ(dc, c.out);
    EXPECT_EQ(tq::cmp_dim_code(m, dc.data(), c.in.data()), 0) << "normalising keeps the node";
  }
}

TEST(DimCode, CopiesAndDiagnosticText) {
  tq::MATRIX* m = map_matrix()->get();
  Code dc{3, 2047, 5000};
  int64_t* copy = tq::copy_dim_code(m, dc.data());
  EXPECT_EQ(Code(copy, copy + 3), dc);
  d_f_ree(copy);
  EXPECT_EQ(tq::copy_dim_code(m, nullptr), nullptr);
  EXPECT_STREQ(tq::pt_dc(m, dc.data(), 1), "+max 11+[3 0 1000 ]");
  EXPECT_STREQ(tq::pt_dc(m, dc.data(), 2), "+max 11+[3 7f8 1388 ]");
  Code negative{0, -1, 0};
  EXPECT_STREQ(tq::pt_dc(m, negative.data(), 1), "+max 11+[0 ffffffffffffff00 0 ]");
  EXPECT_EXIT(tq::pt_dc(m, dc.data(), 3), testing::ExitedWithCode(1), tqtest::panic_banner("pt_dc"));
}

TEST(IndexTuple, SequenceNumbersAndTheOdometer) {
  const int sizes[] = {3, 4};
  const int ix[] = {1, 2};
  EXPECT_EQ(tq::get_seq_from_ix(ix, sizes, 2), 7);
  int back[2];
  tq::get_ix_from_seq(back, sizes, 7, 2);
  EXPECT_EQ(std::vector<int>(back, back + 2), std::vector<int>({1, 2}));

  int pos[] = {2, 3};
  const int one[] = {1, 1};
  EXPECT_EQ(tq::inc_ix(pos, nullptr, one, sizes, 2), 1) << "the last position wraps every axis";
  EXPECT_EQ(std::vector<int>(pos, pos + 2), std::vector<int>({0, 0}));
  const int start[] = {1, 0};
  int walk[] = {1, 0};
  int steps = 1;
  while (!tq::inc_ix(walk, start, one, sizes, 2)) ++steps;
  EXPECT_EQ(steps, 2 * 4) << "from a start of 1 on the first axis, two of its three positions per row";

  // A size of -1 negates the rest, 0 leaves it; INT_MIN over -1 wraps instead of trapping.
  const int odd[] = {-1, 5, 0, 7};
  int out[4];
  tq::get_ix_from_seq(out, odd, -12, 4);
  EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>({0, 2, 0, 2}));
  const int minus[] = {-1, 2};
  tq::get_ix_from_seq(out, minus, INT_MIN, 2);
  EXPECT_EQ(std::vector<int>(out, out + 2), std::vector<int>({0, 0}));
  const int big[] = {65536, 65536, 2};
  const int far[] = {0, 0, 1};
  EXPECT_EQ(tq::get_seq_from_ix(far, big, 3), 0) << "the 32-bit sequence number wraps";
}

}  // namespace
