// Interpolated reads: exact values at and between samples on two levels, the one-cell user
// cache, the vector read's lines and cell reuse, Jacobians, refused channels, and random 2-
// and 3-axis fields against a plain multilinear reference.
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

constexpr double kUnset = -7;

int64_t live_bytes(const char* file) {
  int64_t sum = 0;
  for (MEM_LIST* e = get_mem_debug_list(nullptr); e; e = get_mem_debug_list(e))
    if (std::string(e->file).find(file) != std::string::npos) sum += e->size;
  return sum;
}

// One double read of tc's channels at x (inp_level level); the outputs by position.
struct IpRead {
  std::vector<double> out;
  int r;
  IpRead(TestCache& tc, int level, std::vector<double> x, std::vector<bool> skip = {})
      : out(size_t(tc.c.ds_len), kUnset) {
    Request q(tc, {}, out.data(), std::move(skip));
    q.p.inp_buf = x.data();
    q.p.inp_level = level;
    r = read_mx_ip_double(&q.p);
  }
};

// Sets single samples of channel 0: (level, coordinate) -> value.
void put(TestCache& tc, std::vector<std::tuple<int64_t, int64_t, double>> samples) {
  for (auto [level, x, v] : samples) {
    double vals[2] = {v, 0};
    Request w(tc, {level, x}, vals, {false, true});
    ASSERT_EQ(write_mx_cache(&w.p), 0);
  }
}

TEST(InterpolatedRead, OneAxisValuesAndTheUserCache) {
  StoreSpec spec;
  MATRIX* m = open_ready(&spec, "one axis", {{16, 1, 3}}, {&mx_type_double_v, &mx_type_double_v});
  {
    TestCache tc(m, {0, 1});
    put(tc, {{0, 0, 2}, {0, 1, 4}, {0, 4, 10}, {0, 5, 20}, {1, 4, 10}, {1, 6, 30}});
    struct Case {
      int level;
      double x;
      int r;
      double v;
    } cases[] = {
        {0, 4.25, 0, 12.5}, {0, 4.0, 0, 10}, {1, 4.5, 0, 0.75 * 10 + 0.25 * 30},
        {0, -0.5, 0, 1.5 * 2 - 0.5 * 4},  // truncates to 0: the cell of 0
        {0, -1.0, -1, kUnset}, {0, 15.5, -1, kUnset},  // 16 is past the block's datum
    };
    for (const Case& c : cases) {
      IpRead rd(tc, c.level, {c.x}, {false, true});
      EXPECT_EQ(rd.r, c.r) << c.x;
      EXPECT_EQ(rd.out[0], c.v) << c.x;
      EXPECT_EQ(rd.out[1], kUnset) << "a channel that does not take part is not written";
    }
    EXPECT_EQ(tc.c.user_header, nullptr) << "a failed corner read released the user cache";
    double out = kUnset;
    Request by_code(tc, {0, 5}, &out, {false, true});
    EXPECT_EQ(read_mx_ip_double(&by_code.p), 0);
    EXPECT_EQ(out, 20);

    EXPECT_EQ(IpRead(tc, 0, {4.25}).r, 0);
    const int64_t hits = tc.c.hit_cnt, misses = tc.c.miss_hit_cnt;
    _mx_deb_flag = 1;
    EXPECT_EQ(printed([&] { EXPECT_EQ(IpRead(tc, 0, {4.75}).out[0], 17.5); }),
              "-1+ 10.000000 0.000000 0.000000\n-1+ 20.000000 0.000000 0.000000\n");
    EXPECT_EQ(tc.c.hit_cnt, hits);
    EXPECT_EQ(tc.c.miss_hit_cnt, misses) << "the second read in the cell read nothing";
    EXPECT_EQ(printed([&] { EXPECT_EQ(IpRead(tc, 1, {4.5}).out[0], 15); }),
              "- 10.000000 0.000000 0.000000\n- 30.000000 0.000000 0.000000\n")
        << "another level refills the cache";
    _mx_deb_flag = 0;
    EXPECT_GT(live_bytes("mxtype/interp_read.cpp"), 0);
  }
  EXPECT_EQ(live_bytes("mxtype/interp_read.cpp"), 0) << "the full flush released the user cache";
  close_matrix(m);
}

TEST(InterpolatedRead, VectorReadLinesAndCells) {
  StoreSpec spec;
  MATRIX* m = open_ready(&spec, "vector", {{16, 1, 3}}, {&mx_type_double_v});
  {
    TestCache tc(m, {0});
    put(tc, {{0, 3, 6}, {0, 4, 10}, {0, 5, 20}, {1, 4, 10}, {1, 6, 30}});
    struct Case {
      std::vector<double> x;
      std::vector<int64_t> levels;
      std::string lines;
      std::vector<double> values;
    } cases[] = {
        {{4.25, 4.5, 4.0}, {}, "vec-2 3 :: 1 0 0 0\n", {12.5, 15, 10}},
        {{4.25, 4.5, 3.5, 5.5, 5.0}, {0, 0, 0, 0, 1}, "vec-2 5 :: 1 1 1 1\n", {12.5, 15, 8, 10, 20}},
    };
    for (const Case& c : cases) {
      double* axis0 = const_cast<double*>(c.x.data());
      MX_IP_V in{int(c.x.size()), c.levels.empty() ? nullptr : const_cast<int64_t*>(c.levels.data()), &axis0};
      Request q(tc);
      q.p.inp_buf = &in;
      EXPECT_EQ(printed([&] { EXPECT_EQ(read_mx_ip_double_v(&q.p), 0); }), "vec-1\n" + c.lines + "vec-3\n");
      auto* ret = static_cast<MX_IP_V*>(q.p.ret_buf);
      ASSERT_NE(ret, nullptr);
      EXPECT_EQ(std::vector<double>(ret->data[0], ret->data[0] + ret->len), c.values);
      std::vector<double> into(c.x.size(), kUnset);
      double* area = into.data();
      MX_IP_V given{int(into.size()), nullptr, &area};
      q.p.ret_buf = &given;
      printed([&] { read_mx_ip_double_v(&q.p); });
      EXPECT_EQ(into, c.values) << "into the caller's list";
      free_mx_ip_v(&tc.c, ret);
    }
  }
  close_matrix(m);
}

TEST(InterpolatedRead, JacobiansAndRefusedChannels) {
  for (MDT tp : {&mx_type_double_v, &mx_type_float_v}) {
    StoreSpec spec;
    MATRIX* m = open_ready(&spec, "jacobian", {{16, 1, 3}, {16, 1, 3}}, {tp, tp, &mx_type_int32_v});
    {
      TestCache tc(m, {0, 1, 2});
      fill_levels(tc, [](int k, const std::vector<double>& x) { return k == 0 ? 2 * x[0] : 3 * x[1]; },
                  tp == &mx_type_float_v);
      const bool dbl = tp == &mx_type_double_v;
      for (int level : {0, 1}) {
        std::vector<double> x{5.3, 3.6};
        std::vector<float> xf{5.3f, 3.6f};
        Request q(tc, {}, nullptr, {false, false, true});
        q.p.inp_buf = dbl ? static_cast<void*>(x.data()) : xf.data();
        q.p.inp_level = level;
        std::vector<void*> jacs = dbl ? std::vector<void*>{read_mx_ipdiff_double(&q.p), read_mx_ipdiff_double2(&q.p)}
                                      : std::vector<void*>{read_mx_ipdiff_float(&q.p)};
        for (void* j : jacs) {
          ASSERT_NE(j, nullptr);
          MATRIX_DH_SET dh;
          get_matrix_dh_set(&dh, j);
          EXPECT_EQ(std::vector<int>(dh.ix, dh.ix + 2), (std::vector<int>{2, 2}));
          const double want[4] = {2, 0, 0, 3};
          for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(dbl ? reinterpret_cast<double*>(dh.offset)[i] : reinterpret_cast<float*>(dh.offset)[i], want[i],
                        1e-12)
                << tp->type_name << " level " << level << " element " << i;
          mxc_free(&tc.c, j);
        }
      }
      // A channel of another element type, or sent to another area, is refused unread.
      const int64_t misses = tc.c.miss_hit_cnt, hits = tc.c.hit_cnt;
      std::vector<double> x{5.3, 3.6}, out(3, kUnset);
      Request wrong(tc, {}, out.data());  // the int32 channel takes part
      wrong.p.inp_buf = x.data();
      Request area(tc, {}, out.data(), {false, true, true});
      area.ix[0].p = 1;
      area.p.data_ptrs[1] = out.data();
      for (Request* q : {&wrong, &area}) {
        EXPECT_EQ(read_mx_ip_double(&q->p), -1);
        EXPECT_EQ(read_mx_ip_float(&q->p), -1);
        EXPECT_EQ(read_mx_ipdiff_double(&q->p), nullptr);
        EXPECT_EQ(read_mx_ipdiff_double2(&q->p), nullptr);
        EXPECT_EQ(read_mx_ipdiff_float(&q->p), nullptr);
        q->p.inp_buf = nullptr;
        EXPECT_EQ(read_mx_ip_double_v(&q->p), -1);
      }
      EXPECT_EQ(out, std::vector<double>(3, kUnset));
      EXPECT_EQ(tc.c.miss_hit_cnt, misses);
      EXPECT_EQ(tc.c.hit_cnt, hits);
    }
    close_matrix(m);
  }
}

// The plain multilinear interpolation of a grid (first axis fastest) at x.
double plain(const std::vector<double>& grid, const std::vector<int>& size, const std::vector<double>& x) {
  const int dim = int(size.size());
  double sum = 0;
  for (int k = 0; k < 1 << dim; ++k) {
    double weight = 1;
    int64_t at = 0, stride = 1;
    for (int a = 0; a < dim; ++a) {
      const int i = int(std::floor(x[size_t(a)])) + ((k >> a) & 1);
      const double f = x[size_t(a)] - std::floor(x[size_t(a)]);
      weight *= (k >> a) & 1 ? f : 1 - f;
      at += i * stride;
      stride *= size[size_t(a)];
    }
    sum += weight * grid[size_t(at)];
  }
  return sum;
}

TEST(InterpolatedRead, RandomFieldsAgainstAPlainReference) {
  std::mt19937 rnd(9141);
  std::uniform_real_distribution<double> value(-100, 100), unit(0, 1);
  for (int dim : {2, 3}) {
    for (MDT tp : {&mx_type_double_v, &mx_type_float_v}) {
      const bool dbl = tp == &mx_type_double_v;
      std::vector<Axis> axes(size_t(dim), Axis{8, 1, 3});  // one block of 8 per axis at level 0
      StoreSpec spec;
      MATRIX* m = open_ready(&spec, "random", axes, {tp});
      {
        TestCache tc(m, {0});
        std::vector<double> grid(size_t(1) << (3 * dim));
        for (double& g : grid) g = dbl ? value(rnd) : double(float(value(rnd)));
        fill_levels(
            tc,
            [&](int, const std::vector<double>& x) {
              int64_t at = 0;
              for (int a = dim - 1; a >= 0; --a) at = at * 8 + int64_t(x[size_t(a)]);
              return at < int64_t(grid.size()) && x[0] < 8 && x[1] < 8 ? grid[size_t(at)] : 0.0;
            },
            !dbl);
        for (int i = 0; i < 200; ++i) {
          std::vector<double> x(static_cast<size_t>(dim));
          std::vector<float> xf(static_cast<size_t>(dim));
          for (int a = 0; a < dim; ++a) {
            xf[size_t(a)] = float(unit(rnd) * 7);
            x[size_t(a)] = dbl ? unit(rnd) * 7 : xf[size_t(a)];
          }
          const double want = plain(grid, std::vector<int>(size_t(dim), 8), x);
          if (dbl) {
            IpRead rd(tc, 0, x);
            ASSERT_EQ(rd.r, 0);
            EXPECT_NEAR(rd.out[0], want, 1e-12 * std::max(1.0, std::fabs(want)));
          } else {
            float out = -7;
            Request q(tc, {}, &out);
            q.p.inp_buf = xf.data();
            ASSERT_EQ(read_mx_ip_float(&q.p), 0);
            EXPECT_NEAR(out, want, 1e-5 * std::max(1.0, std::fabs(want)));
          }
        }
      }
      close_matrix(m);
    }
  }
}

}  // namespace
