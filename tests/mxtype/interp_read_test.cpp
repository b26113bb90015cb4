// Interpolated reads: values at and between samples on two levels, the one-cell user cache,
// the vector read's lines and cells, Jacobians, refused channels, and random 2- and 3-axis
// fields against a plain multilinear reference.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "matrix/cache_fixture.h"
#include "matrix/matrix_open.h"
#include "mxtype/datum.h"
#include "mxtype/interp_read.h"
#include "platform/d_alloc.h"

namespace {

using namespace mxtest;
using namespace tq;
using Values = std::vector<double>;

constexpr double kUnset = -7;

int64_t live_bytes(const char* file) {
  int64_t sum = 0;
  for (MEM_LIST* e = get_mem_debug_list(nullptr); e; e = get_mem_debug_list(e))
    if (std::string(e->file).find(file) != std::string::npos) sum += e->size;
  return sum;
}

// The value of channel 0 read at x on `level` (kUnset when the read fails); channel 1 skipped.
double ip(TestCache& tc, int level, double x) {
  Values out(2, kUnset);
  Request q(tc, {}, out.data(), {false, true});
  q.p.inp_buf = &x;
  q.p.inp_level = level;
  const int r = read_mx_ip_double(&q.p);
  EXPECT_EQ(r == 0, out[0] != kUnset);
  EXPECT_EQ(out[1], kUnset) << "a channel that does not take part is not written";
  return out[0];
}

TEST(InterpolatedRead, SamplesCellsAndVectors) {
  StoreShape shape;
  MATRIX* m = open_ready(&shape, "one axis", {{16, 1, 3}}, {&mx_type_double_v, &mx_type_double_v});
  {
    TestCache tc(m, {0, 1});
    for (auto [level, x, v] : {std::tuple{0, 0, 2.0}, {0, 1, 4.0}, {0, 3, 6.0}, {0, 4, 10.0}, {0, 5, 20.0}, {1, 4, 10.0}, {1, 6, 30.0}}) {
      Request w(tc, {level, x}, &v, {false, true});
      ASSERT_EQ(write_mx_cache(&w.p), 0);
    }
    const std::tuple<int, double, double> reads[] = {
        {0, 4.25, 12.5}, {0, 4.0, 10}, {1, 4.5, 0.75 * 10 + 0.25 * 30},
        {0, -0.5, 1.5 * 2 - 0.5 * 4},  // truncated to 0: the cell of 0
        {0, -1.0, kUnset}, {0, 15.5, kUnset}};  // 16 lies past the block's datum
    for (auto [level, x, v] : reads) EXPECT_EQ(ip(tc, level, x), v) << x;
    EXPECT_EQ(tc.c.user_header, nullptr) << "a failed corner read released the user cache";
    double out = kUnset;
    Request by_code(tc, {0, 5}, &out, {false, true});
    EXPECT_EQ(read_mx_ip_double(&by_code.p), 0);
    EXPECT_EQ(out, 20);

    ip(tc, 0, 4.25);
    hold_off_purge();
    const int64_t hits = tc.c.hit_cnt, misses = tc.c.miss_hit_cnt;
    _mx_deb_flag = 1;
    EXPECT_EQ(printed([&] { EXPECT_EQ(ip(tc, 0, 4.75), 17.5); }), "-1+ 10.000000 0.000000 0.000000\n-1+ 20.000000 0.000000 0.000000\n");
    EXPECT_EQ(tc.c.hit_cnt + tc.c.miss_hit_cnt, hits + misses) << "the second read in the cell read nothing";
    EXPECT_EQ(printed([&] { EXPECT_EQ(ip(tc, 1, 4.5), 15); }), "- 10.000000 0.000000 0.000000\n- 30.000000 0.000000 0.000000\n");
    _mx_deb_flag = 0;
    for (int64_t x : {4, 5}) {  // channel 1: 11 at 4, 12 at 5
      Values v{kUnset, double(7 + x)};
      Request w(tc, {0, x}, v.data(), {true, false});
      ASSERT_EQ(write_mx_cache(&w.p), 0);
    }
    ip(tc, 0, 4.25);
    Values both(2, kUnset);
    double at = 4.5;
    Request all(tc, {}, both.data());
    all.p.inp_buf = &at;
    EXPECT_EQ(read_mx_ip_double(&all.p), 0);
    EXPECT_EQ(both, (Values{15, 11.5})) << "channel 1 read, not taken from a cell read without it";

    struct Case {
      Values x;
      std::vector<int64_t> levels;
      std::string line;
      Values values;
    } lists[] = {
        {{4.25, 4.5, 4.0}, {}, "vec-2 3 :: 1 0 0 0\n", {12.5, 15, 10}},
        {{4.25, 4.5, 3.5, 5.5, 5.0}, {0, 0, 0, 0, 1}, "vec-2 5 :: 1 1 1 1\n", {12.5, 15, 8, 10, 20}},
    };
    for (Case& c : lists) {
      double* axis0 = c.x.data();
      MX_IP_V in{int(c.x.size()), c.levels.empty() ? nullptr : c.levels.data(), &axis0};
      Request q(tc, {}, nullptr, {false, true});
      q.p.inp_buf = &in;
      EXPECT_EQ(printed([&] { EXPECT_EQ(read_mx_ip_double_v(&q.p), 0); }), "vec-1\n" + c.line + "vec-3\n");
      auto* made = static_cast<MX_IP_V*>(q.p.ret_buf);
      EXPECT_EQ(Values(made->data[0], made->data[0] + made->len), c.values);
      free_mx_ip_v(&tc.c, made);
      Values into(c.x.size(), kUnset);
      double* area = into.data();
      MX_IP_V given{int(into.size()), nullptr, &area};
      q.p.ret_buf = &given;
      printed([&] { read_mx_ip_double_v(&q.p); });
      EXPECT_EQ(into, c.values) << "into the caller's list";
    }
    MX_IP_V negative{-1, nullptr, nullptr};
    Request q(tc, {}, nullptr, {false, true});
    q.p.inp_buf = &negative;
    EXPECT_EQ(read_mx_ip_double_v(&q.p), -1);
    EXPECT_GT(live_bytes("mxtype/interp_read.cpp"), 0);
  }
  EXPECT_EQ(live_bytes("mxtype/interp_read.cpp"), 0) << "the full flush released the user cache";
  close_matrix(m);
}

TEST(InterpolatedRead, JacobiansAndRefusedChannels) {
  for (MDT tp : {&mx_type_double_v, &mx_type_float_v}) {
    const bool dbl = tp == &mx_type_double_v;
    StoreShape shape;
    MATRIX* m = open_ready(&shape, "jacobian", {{16, 1, 3}, {16, 1, 3}}, {tp, tp, &mx_type_int32_v});
    {
      TestCache tc(m, {0, 1, 2});
      fill_levels(tc, [](int k, const Values& x) { return k == 0 ? 2 * x[0] : 3 * x[1]; }, !dbl);
      Values x{5.3, 3.6}, out(3, kUnset);
      std::vector<float> xf{5.3f, 3.6f};
      for (int level : {0, 1}) {
        Request q(tc, {}, nullptr, {false, false, true});
        q.p.inp_buf = dbl ? static_cast<void*>(x.data()) : xf.data();
        q.p.inp_level = level;
        for (void* j : dbl ? std::vector<void*>{read_mx_ipdiff_double(&q.p), read_mx_ipdiff_double2(&q.p)}
                           : std::vector<void*>{read_mx_ipdiff_float(&q.p)}) {
          MATRIX_DH_SET dh;
          get_matrix_dh_set(&dh, j);
          ASSERT_EQ(dh.ix[0] * 10 + dh.ix[1], 22) << "one row per channel taken, one column per axis";
          for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(dbl ? reinterpret_cast<double*>(dh.offset)[i] : reinterpret_cast<float*>(dh.offset)[i],
                        (Values{2, 0, 0, 3})[size_t(i)], 1e-12)
                << tp->type_name << " level " << level;
          mxc_free(&tc.c, j);
        }
      }
      // The int32 channel taking part, a channel sent to another area, or no point given
      // (neither input nor code): refused unread.
      const int64_t seen = tc.c.miss_hit_cnt + tc.c.hit_cnt;
      Request wrong(tc, {}, out.data()), area(tc, {}, out.data(), {false, true, true}),
          none(tc, {}, out.data(), {false, false, true});
      area.ix[0].p = 1;
      for (Request* q : {&wrong, &area, &none}) {
        q->p.inp_buf = q == &none ? nullptr : x.data();
        EXPECT_EQ(read_mx_ip_double(&q->p) + read_mx_ip_float(&q->p) + read_mx_ip_double_v(&q->p), -3);
        EXPECT_EQ(read_mx_ipdiff_double(&q->p) || read_mx_ipdiff_double2(&q->p) || read_mx_ipdiff_float(&q->p), false);
      }
      EXPECT_EQ(out, Values(3, kUnset));
      EXPECT_EQ(tc.c.miss_hit_cnt + tc.c.hit_cnt, seen);
    }
    close_matrix(m);
  }
}

// The plain multilinear interpolation of a grid of 8 per axis (first axis fastest) at x.
double plain(const Values& grid, const Values& x) {
  double sum = 0;
  for (int k = 0; k < 1 << x.size(); ++k) {
    double weight = 1;
    int64_t at = 0;
    for (int a = int(x.size()) - 1; a >= 0; --a) {
      const double f = x[size_t(a)] - std::floor(x[size_t(a)]);
      weight *= (k >> a) & 1 ? f : 1 - f;
      at = at * 8 + int64_t(x[size_t(a)]) + ((k >> a) & 1);
    }
    sum += weight * grid[size_t(at)];
  }
  return sum;
}

TEST(InterpolatedRead, RandomFieldsAgainstAPlainReference) {
  std::mt19937 rnd(9141);
  std::uniform_real_distribution<double> value(-100, 100), unit(0, 7);
  for (int dim : {2, 3}) {
    for (MDT tp : {&mx_type_double_v, &mx_type_float_v}) {
      const bool dbl = tp == &mx_type_double_v;
      StoreShape shape;
      MATRIX* m = open_ready(&shape, "random", std::vector<Axis>(size_t(dim), Axis{8, 1, 3}), {tp});  // one block
      {
        TestCache tc(m, {0});
        Values grid(size_t(1) << (3 * dim));
        for (double& g : grid) g = dbl ? value(rnd) : double(float(value(rnd)));
        fill_levels(tc, [&](int, const Values& x) {
          int64_t at = 0;
          for (int a = dim - 1; a >= 0; --a) at = x[size_t(a)] < 8 ? at * 8 + int64_t(x[size_t(a)]) : 1 << 30;
          return at < int64_t(grid.size()) ? grid[size_t(at)] : 0.0;
        }, !dbl);
        for (int i = 0; i < 200; ++i) {
          Values x(static_cast<size_t>(dim));
          std::vector<float> xf(x.size());
          for (size_t a = 0; a < x.size(); ++a) x[a] = xf[a] = float(unit(rnd));
          const double want = plain(grid, x);
          double out = kUnset;
          float outf = kUnset;
          Request q(tc, {}, dbl ? static_cast<void*>(&out) : &outf);
          q.p.inp_buf = dbl ? static_cast<void*>(x.data()) : xf.data();
          ASSERT_EQ(dbl ? read_mx_ip_double(&q.p) : read_mx_ip_float(&q.p), 0);
          EXPECT_NEAR(dbl ? out : outf, want, (dbl ? 1e-12 : 1e-5) * std::max(1.0, std::fabs(want)));
        }
      }
      close_matrix(m);
    }
  }
}

}  // namespace
