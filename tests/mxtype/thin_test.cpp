// Thinning and level arithmetic: random blocks of every integer width (255, 256 and 257
// samples per axis among them) against a Python reference with exact sums and truncated
// means (data/thin_golden.txt, mxtype_model.py, FNV-1a digests of the results); the worked
// geometry, clamping and curve examples; cells cut by the block's end, sums past 32 bits,
// positions outside their blocks and shifts past the word; rgb8 and the floating types.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "matrix/matrix_fixture.h"
#include "mxtype/curve.h"
#include "mxtype/level_ops.h"
#include "mxtype/rgb_type.h"
#include "mxtype_test_util.h"

namespace {

using namespace mxtest;

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<int> ints(const std::string& s) {
  std::vector<int> v;
  if (s == "-") return v;
  std::stringstream in(s);
  for (std::string x; std::getline(in, x, ',');) v.push_back(std::stoi(x));
  return v;
}

// A matrix of these divisors and block sizes (level 0 large enough for every level used).
std::vector<Axis> axes(const std::vector<int>& dd, const std::vector<int>& bs) {
  std::vector<Axis> a;
  for (size_t i = 0; i < dd.size(); ++i) a.push_back({int64_t(1) << 40, dd[i], bs[i]});
  return a;
}

struct GoldenCase {
  std::string member, op;
  std::vector<int> fine, coarse, dest, dd, bs;
  int parent, lev;
  std::vector<int64_t> coords;
  std::vector<int> extra;  // rep, or the option
  uint64_t seed, digest;
};

template <class T>
void* random_vector(tq::MDT tp, const std::vector<int>& sizes, uint64_t& state) {
  void* v = new_vector(tp, sizes);
  const size_t n = values_of<T>(v).size();
  for (size_t i = 0; i < n; ++i) elements<T>(v)[i] = T(splitmix(state));
  return v;
}

template <class T>
uint64_t run(const GoldenCase& c, tq::MDT tp) {
  uint64_t state = c.seed;
  void* fine = random_vector<T>(tp, c.fine, state);
  void* coarse = c.coarse.empty() ? nullptr : random_vector<T>(tp, c.coarse, state);
  void* dest = new_vector(tp, c.dest);
  TestMatrix m(axes(c.dd, c.bs));
  std::vector<int64_t> dc{c.lev};
  dc.insert(dc.end(), c.coords.begin(), c.coords.end());
  std::vector<int> extra = c.extra;
  int r;
  if (c.op == "avg") r = tp->thinned_avg(tp, m.get(), dc.data(), c.parent, dest, fine);
  else if (c.op == "rep") r = tp->thinned_rep(tp, m.get(), dc.data(), extra.data(), c.parent, dest, fine);
  else if (c.op == "add") r = tp->v_add(tp, m.get(), dc.data(), c.parent, extra.data(), dest, coarse, fine);
  else r = tp->v_sub(tp, m.get(), dc.data(), c.parent, extra.data(), dest, coarse, fine);
  EXPECT_EQ(r, 0);
  uint64_t h = 0xCBF29CE484222325ull;
  for (T v : values_of<T>(dest)) {
    const auto bits = uint64_t(int64_t(v));  // sign- or zero-extended by T
    for (int i = 0; i < 8; ++i) h = (h ^ ((bits >> (8 * i)) & 0xFF)) * 0x100000001B3ull;
  }
  for (void* d : {fine, coarse, dest}) tq::mxt_free_data(tp, d);
  return h;
}

TEST(MxThinGolden, RandomBlocksOfEveryWidthEqualThePythonReference) {
  std::ifstream f(golden_path("thin_golden.txt"));
  ASSERT_TRUE(f);
  int lines = 0;
  for (std::string line; std::getline(f, line); ++lines) {
    std::istringstream in(line);
    GoldenCase c;
    std::string fine, coarse, dest, dd, bs, coords, extra, digest;
    in >> c.member >> c.op >> fine >> coarse >> dest >> dd >> bs >> c.parent >> c.lev >> coords >> extra >> c.seed >> digest;
    c.fine = ints(fine), c.coarse = ints(coarse), c.dest = ints(dest), c.dd = ints(dd), c.bs = ints(bs);
    c.extra = ints(extra);
    for (int x : ints(coords)) c.coords.push_back(x);
    c.digest = std::stoull(digest, nullptr, 16);
    tq::MDT tp = type_named(c.member + "_v");
    uint64_t got = 0;
    switch (tp->type) {
      case tq::MXT_INT8_V: got = run<int8_t>(c, tp); break;
      case tq::MXT_INT16_V: got = run<int16_t>(c, tp); break;
      case tq::MXT_INT32_V: got = run<int32_t>(c, tp); break;
      case tq::MXT_INT64_V: got = run<int64_t>(c, tp); break;
      case tq::MXT_UINT8_V: got = run<uint8_t>(c, tp); break;
      case tq::MXT_UINT16_V: got = run<uint16_t>(c, tp); break;
      case tq::MXT_UINT32_V: got = run<uint32_t>(c, tp); break;
      case tq::MXT_UINT64_V: got = run<uint64_t>(c, tp); break;
    }
    EXPECT_EQ(got, c.digest) << line;
  }
  EXPECT_EQ(lines, 88);
}

// One axis of blocks of 8, halving: the second of two fine blocks has ofs 4.
struct OneAxis {
  TestMatrix m{{{int64_t(1) << 20, 1, 3}}};
  std::vector<int64_t> dc(int64_t lev) { return {lev, 8 * (int64_t(1) << lev)}; }
};

TEST(MxThin, RepresentativesLandBehindTheOffset) {
  OneAxis g;
  void* src = vector_of<int16_t>(&tq::mx_type_int16_v, {8}, {10, 11, 12, 13, 14, 15, 16, 17});
  void* dest = vector_of<int16_t>(&tq::mx_type_int16_v, {8}, {-1, -1, -1, -1, -1, -1, -1, -1});
  auto dc = g.dc(0);
  int rep = 0;
  EXPECT_EQ(tq::mx_type_int16_v.thinned_rep(&tq::mx_type_int16_v, g.m.get(), dc.data(), &rep, 1, dest, src), 0);
  EXPECT_EQ(values_of<int16_t>(dest), (std::vector<int16_t>{-1, -1, -1, -1, 10, 12, 14, 16}));
  rep = 1;
  tq::mx_type_int16_v.thinned_rep(&tq::mx_type_int16_v, g.m.get(), dc.data(), &rep, 1, dest, src);
  EXPECT_EQ(values_of<int16_t>(dest), (std::vector<int16_t>{-1, -1, -1, -1, 11, 13, 15, 17}));
  rep = 8;  // at the source's size: nothing to copy
  EXPECT_EQ(tq::mx_type_int16_v.thinned_rep(&tq::mx_type_int16_v, g.m.get(), dc.data(), &rep, 1, dest, src), 0);
  EXPECT_EQ(values_of<int16_t>(dest), (std::vector<int16_t>{-1, -1, -1, -1, 11, 13, 15, 17}));
  void* flat = vector_of<int16_t>(&tq::mx_type_int16_v, {}, {0});
  EXPECT_EQ(tq::mx_type_int16_v.thinned_rep(&tq::mx_type_int16_v, g.m.get(), dc.data(), &rep, 1, dest, flat), -1);
  EXPECT_EQ(tq::mx_type_int16_v.thinned_rep(&tq::mx_type_int16_v, g.m.get(), dc.data(), &rep, 1, flat, src), -2);
  EXPECT_EQ(tq::mx_type_double_v.thinned_rep(&tq::mx_type_double_v, g.m.get(), dc.data(), &rep, 1, flat, src), -1)
      << "another type";
  for (void* d : {src, dest, flat}) tq::mxt_free_data(&tq::mx_type_int16_v, d);
}

TEST(MxThin, AveragesTruncateTowardZeroOverTheCellsInsideTheBlock) {
  OneAxis g;
  // Seven samples: the last cell holds one.
  void* src = vector_of<int16_t>(&tq::mx_type_int16_v, {7}, {-3, 0, 3, 4, 9, 9, -7});
  void* dest = vector_of<int16_t>(&tq::mx_type_int16_v, {8}, {0, 0, 0, 0, 0, 0, 0, 0});
  auto dc = g.dc(1);
  EXPECT_EQ(tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, g.m.get(), dc.data(), 1, dest, src), 0);
  EXPECT_EQ(values_of<int16_t>(dest), (std::vector<int16_t>{0, 0, 0, 0, -1, 3, 9, -7}));
  auto level0 = g.dc(0);
  EXPECT_EQ(tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, g.m.get(), level0.data(), 1, dest, src), -1);
  for (void* d : {src, dest}) tq::mxt_free_data(&tq::mx_type_int16_v, d);

  // Sums past 32 bits: the mean of two largest int32 and of two largest uint64 elements.
  void* big = vector_of<int32_t>(&tq::mx_type_int32_v, {2}, {INT32_MAX, INT32_MAX});
  void* big_dest = vector_of<int32_t>(&tq::mx_type_int32_v, {8}, std::vector<int32_t>(8));
  tq::mx_type_int32_v.thinned_avg(&tq::mx_type_int32_v, g.m.get(), dc.data(), 1, big_dest, big);
  EXPECT_EQ(elements<int32_t>(big_dest)[4], INT32_MAX);
  void* huge = vector_of<uint64_t>(&tq::mx_type_uint64_v, {2}, {UINT64_MAX, UINT64_MAX - 2});
  void* huge_dest = vector_of<uint64_t>(&tq::mx_type_uint64_v, {8}, std::vector<uint64_t>(8));
  tq::mx_type_uint64_v.thinned_avg(&tq::mx_type_uint64_v, g.m.get(), dc.data(), 1, huge_dest, huge);
  EXPECT_EQ(elements<uint64_t>(huge_dest)[4], UINT64_MAX - 1);
  for (void* d : {big, big_dest, huge, huge_dest}) tq::mxt_free_data(&tq::mx_type_int32_v, d);
}

TEST(MxThin, TwoAxesFillOnlyTheirQuarter) {
  TestMatrix m({{1 << 20, 1, 2}, {1 << 20, 1, 2}});  // 4 x 4 blocks
  std::vector<int16_t> fine(16);
  for (int i = 0; i < 16; ++i) fine[size_t(i)] = int16_t(i);
  void* src = vector_of<int16_t>(&tq::mx_type_int16_v, {4, 4}, fine);
  void* dest = vector_of<int16_t>(&tq::mx_type_int16_v, {4, 4}, std::vector<int16_t>(16, -1));
  std::vector<int64_t> dc{1, 0, 0};  // the first child
  int rep[2] = {1, 0};
  tq::mx_type_int16_v.thinned_rep(&tq::mx_type_int16_v, m.get(), dc.data(), rep, 1, dest, src);
  // Fine (3, 2) is element 11; it pairs with coarse (1, 1), element 5.
  EXPECT_EQ(values_of<int16_t>(dest),
            (std::vector<int16_t>{1, 3, -1, -1, 9, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
  for (void* d : {src, dest}) tq::mxt_free_data(&tq::mx_type_int16_v, d);
}

TEST(MxThin, PositionsOutsideTheirBlocksAndWideShiftsAreSkipped) {
  // A coarse block too small for the offset, and divisors whose cells pass any block.
  TestMatrix m({{int64_t(1) << 40, 1, 3}});
  void* src = vector_of<int32_t>(&tq::mx_type_int32_v, {8}, {1, 2, 3, 4, 5, 6, 7, 8});
  void* small = vector_of<int32_t>(&tq::mx_type_int32_v, {2}, {0, 0});
  std::vector<int64_t> second{1, 16};
  int rep = 0;
  EXPECT_EQ(tq::mx_type_int32_v.thinned_rep(&tq::mx_type_int32_v, m.get(), second.data(), &rep, 1, small, src), 0);
  EXPECT_EQ(tq::mx_type_int32_v.thinned_avg(&tq::mx_type_int32_v, m.get(), second.data(), 1, small, src), 0);
  EXPECT_EQ(tq::mx_type_int32_v.v_add(&tq::mx_type_int32_v, m.get(), second.data(), 1, nullptr, small, small, src), 0);
  EXPECT_EQ(values_of<int32_t>(small), (std::vector<int32_t>{0, 0})) << "every position lay outside";
  void* one = vector_of<int32_t>(&tq::mx_type_int32_v, {1}, {0});
  EXPECT_EQ(tq::mx_type_int32_v.thinned_avg(&tq::mx_type_int32_v, m.get(), second.data(), 200, one, src), 0);
  EXPECT_EQ(elements<int32_t>(one)[0], 4) << "one cell of everything: (1 + ... + 8) / 8";
  EXPECT_EQ(tq::mx_type_int32_v.thinned_avg(&tq::mx_type_int32_v, m.get(), second.data(), -1, one, src), -1);
  TestMatrix deep({{int64_t(1) << 40, 1, 200}});  // a block size far past 64 bits
  std::vector<int64_t> far{1, int64_t(1) << 50};
  EXPECT_EQ(tq::mx_type_int32_v.thinned_avg(&tq::mx_type_int32_v, deep.get(), far.data(), 1, one, src), 0);
  for (void* d : {src, small, one}) tq::mxt_free_data(&tq::mx_type_int32_v, d);
}

// An offset past every block on one axis (a block size of 62 at level 1 and a negative
// coordinate), first or second, with rows wider than 4: every position lies outside and is
// skipped, and no index product or element address overflows on the way (the asan preset
// stops on one).
TEST(MxThin, OffsetsPastEveryBlockAreSkipped) {
  tq::MDT tp = &tq::mx_type_int32_v;
  for (int far_axis : {0, 1}) {
    std::vector<Axis> a(2, Axis{int64_t(1) << 40, 1, 3});
    a[size_t(far_axis)].block_size = 62;
    TestMatrix m(a);
    std::vector<int64_t> dc{1, 0, 0};
    dc[size_t(1 + far_axis)] = -4;
    void* src = vector_of<int32_t>(tp, {8, 8}, std::vector<int32_t>(64, 1));
    void* dest = vector_of<int32_t>(tp, {8, 8}, std::vector<int32_t>(64, 0));
    int rep[2] = {0, 0};
    EXPECT_EQ(tp->thinned_rep(tp, m.get(), dc.data(), rep, 1, dest, src), 0) << far_axis;
    EXPECT_EQ(tp->thinned_avg(tp, m.get(), dc.data(), 1, dest, src), 0) << far_axis;
    EXPECT_EQ(values_of<int32_t>(dest), std::vector<int32_t>(64, 0)) << "no coarse position inside " << far_axis;
    EXPECT_EQ(tp->v_add(tp, m.get(), dc.data(), 1, nullptr, dest, src, src), 0) << far_axis;
    EXPECT_EQ(values_of<int32_t>(dest), std::vector<int32_t>(64, 0)) << "no coarse element to add " << far_axis;
    for (void* d : {src, dest}) tq::mxt_free_data(tp, d);
  }
}

// v_add / v_sub of one coarse and one fine element (one axis, first child, level 1).
template <class T>
T level(tq::MDT tp, bool sub, T coarse, T fine, int* opt = nullptr) {
  OneAxis g;
  std::vector<int64_t> dc{1, 0};
  void* c = vector_of<T>(tp, {1}, {coarse});
  void* f = vector_of<T>(tp, {1}, {fine});
  void* d = vector_of<T>(tp, {1}, {T(0)});
  EXPECT_EQ((sub ? tp->v_sub : tp->v_add)(tp, g.m.get(), dc.data(), 1, opt, d, c, f), 0);
  const T r = elements<T>(d)[0];
  for (void* x : {c, f, d}) tq::mxt_free_data(tp, x);
  return r;
}

TEST(MxLevel, ClampsWrapsAndTheCurve) {
  EXPECT_EQ(level<int16_t>(&tq::mx_type_int16_v, false, 30000, 10000), 32767);
  EXPECT_EQ(level<int16_t>(&tq::mx_type_int16_v, true, -30000, 10000), -32768);
  EXPECT_EQ(level<uint16_t>(&tq::mx_type_uint16_v, true, 1, 2), 0);
  EXPECT_EQ(level<uint32_t>(&tq::mx_type_uint32_v, true, 1, 2), UINT32_MAX);
  EXPECT_EQ(level<int32_t>(&tq::mx_type_int32_v, false, INT32_MAX, 1), INT32_MIN);
  EXPECT_EQ(level<int64_t>(&tq::mx_type_int64_v, false, INT64_MAX, 1), INT64_MIN);
  int curve = tq::MX_OPT_CURVE, none = tq::MX_OPT_NONE;
  EXPECT_EQ(level<uint8_t>(&tq::mx_type_uint8_v, false, 100, 128, &curve), 101);
  EXPECT_EQ(level<uint8_t>(&tq::mx_type_uint8_v, false, 0, 0, &curve), 0);
  EXPECT_EQ(level<uint8_t>(&tq::mx_type_uint8_v, true, 100, 100, &curve), 127);
  EXPECT_EQ(level<uint8_t>(&tq::mx_type_uint8_v, true, 5, 9, &none), 0);
  EXPECT_EQ(level<uint16_t>(&tq::mx_type_uint16_v, true, 5, 9, &curve), 0) << "only uint8 reads the option";
  EXPECT_EQ(level<double>(&tq::mx_type_double_v, true, 1.5, 0.25), 1.25);
  EXPECT_EQ(level<double>(&tq::mx_type_double_v, false, 1.5, 0.25), 1.75);
  EXPECT_EQ(level<float>(&tq::mx_type_float_v, false, 1.5f, 0.25f, &curve), 1.75f);
}

TEST(MxLevel, RefusalsAndAnotherDestinationType) {
  OneAxis g;
  void* c = vector_of<int16_t>(&tq::mx_type_int16_v, {1}, {100});
  void* f = vector_of<int16_t>(&tq::mx_type_int16_v, {1}, {100});
  void* d8 = vector_of<int8_t>(&tq::mx_type_int8_v, {1}, {0});
  std::vector<int64_t> dc{1, 0}, level0{0, 0};
  tq::MDT tp = &tq::mx_type_int16_v;
  EXPECT_EQ(tp->v_add(tp, g.m.get(), dc.data(), 1, nullptr, d8, c, f), 0);
  EXPECT_EQ(elements<int8_t>(d8)[0], 127) << "the destination's own type clamps";
  EXPECT_EQ(tp->v_add(tp, g.m.get(), level0.data(), 1, nullptr, d8, c, f), -1);
  EXPECT_EQ(tp->v_sub(tp, g.m.get(), dc.data(), 1, nullptr, d8, d8, f), -1) << "a source of another type";
  void* rgb = vector_of<uint32_t>(&tq::mx_type_RGB_v, {1}, {7});
  EXPECT_EQ(tp->v_add(tp, g.m.get(), dc.data(), 1, nullptr, rgb, c, f), -1) << "round_int cannot store rgb8";
  EXPECT_EQ(elements<uint32_t>(rgb)[0], 7u);
  for (void* x : {c, f, d8, rgb}) tq::mxt_free_data(tp, x);
}

TEST(MxThin, FloatingAveragesAndLevels) {
  OneAxis g;
  std::vector<int64_t> dc{1, 0}, level0{0, 0};
  void* src = vector_of<double>(&tq::mx_type_double_v, {2}, {0.5, 0.25});
  void* dest = vector_of<double>(&tq::mx_type_double_v, {1}, {0});
  EXPECT_EQ(tq::mx_type_double_v.thinned_avg(&tq::mx_type_double_v, g.m.get(), level0.data(), 1, dest, src), 0)
      << "double thins at any level";
  EXPECT_EQ(elements<double>(dest)[0], 0.375);
  void* fsrc = vector_of<float>(&tq::mx_type_float_v, {3}, {0.5f, 0.25f, 2.0f});
  void* fdest = vector_of<float>(&tq::mx_type_float_v, {2}, {0, 0});
  EXPECT_EQ(tq::mx_type_float_v.thinned_avg(&tq::mx_type_float_v, g.m.get(), level0.data(), 1, fdest, fsrc), -1);
  EXPECT_EQ(tq::mx_type_float_v.thinned_avg(&tq::mx_type_float_v, g.m.get(), dc.data(), 1, fdest, fsrc), 0);
  EXPECT_EQ(values_of<float>(fdest), (std::vector<float>{0.375f, 2.0f}));
  for (void* d : {src, dest, fsrc, fdest}) tq::mxt_free_data(&tq::mx_type_double_v, d);
}

TEST(MxRgb, ColourBytesSaturateOneByOne) {
  EXPECT_EQ(tq::add_RGB(0x10FF2080, 0x01010101, 0), 0x11FF2181u);
  EXPECT_EQ(tq::sub_RGB(0x00000010, 0x00000020, 0), 0u);
  EXPECT_EQ(tq::sub_RGB(0x12345678, 0x12345678, tq::MX_OPT_CURVE), 0x7F7F7F7Fu);
  EXPECT_EQ(tq::add_RGB(0x10FF2080, 0x80808080, tq::MX_OPT_CURVE), 0x11FF2181u);
  EXPECT_EQ(tq::add_RGB(0x00000005, 0x00000000, tq::MX_OPT_CURVE) & 0xFF, 0u);
  EXPECT_EQ(tq::cmp_RGB(0x00000001, 0xFFFFFF00), 1) << "byte 0 decides first";
  OneAxis g;
  std::vector<int64_t> dc{1, 0};
  void* src = vector_of<uint32_t>(&tq::mx_type_RGB_v, {3}, {0x00FF0102, 0x00FE0304, 0xFFFFFFFF});
  void* dest = vector_of<uint32_t>(&tq::mx_type_RGB_v, {2}, {0, 0});
  EXPECT_EQ(tq::mx_type_RGB_v.thinned_avg(&tq::mx_type_RGB_v, g.m.get(), dc.data(), 1, dest, src), 0);
  EXPECT_EQ(values_of<uint32_t>(dest), (std::vector<uint32_t>{0x00FE0203, 0xFFFFFFFF}));
  void* coarse = vector_of<uint32_t>(&tq::mx_type_RGB_v, {2}, values_of<uint32_t>(dest));
  EXPECT_EQ(tq::mx_type_RGB_v.v_add(&tq::mx_type_RGB_v, g.m.get(), dc.data(), 1, nullptr, dest, coarse, src), 0);
  EXPECT_EQ(values_of<uint32_t>(dest), (std::vector<uint32_t>{0x00FF0305, 0x00FF0507}));
  std::vector<int64_t> level0{0, 0};
  EXPECT_EQ(tq::mx_type_RGB_v.v_sub(&tq::mx_type_RGB_v, g.m.get(), level0.data(), 1, nullptr, dest, coarse, src), -1);
  std::vector<int> rep{1};  // the second pixel of each pair, whole: no byte of it zero
  void* four = vector_of<uint32_t>(&tq::mx_type_RGB_v, {4}, {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF01});
  EXPECT_EQ(tq::mx_type_RGB_v.thinned_rep(&tq::mx_type_RGB_v, g.m.get(), dc.data(), rep.data(), 1, dest, four), 0);
  EXPECT_EQ(values_of<uint32_t>(dest), (std::vector<uint32_t>{0x55667788, 0xDDEEFF01}));
  for (void* d : {src, dest, coarse, four}) tq::mxt_free_data(&tq::mx_type_RGB_v, d);
}

}  // namespace
