// The access cache and the numerics built on it against plain loops over the same data:
// 10^7 point reads through read_mx_cache (sequential, random, alternating between two blocks)
// against indexing a plain grid of the same values; read_mx_ip_double_v on 10^6 points of a
// two-axis field (clustered and random) against a plain bilinear loop; and solves per second
// of matrix_newton_double on an affine-plus-sine map against a direct 2 x 2 Newton over the
// same bilinear interpolation (the solver's final try_avg as a counter). ns per point is
// the reciprocal of items per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "entry/start.h"
#include "lang/gc.h"
#include "matrix/access_cache.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "matrix/node_tree.h"
#include "mxtype/datum.h"
#include "mxtype/interp_read.h"
#include "mxtype/linear_solve.h"
#include "mxtype/newton_solver.h"
#include "support/matrix_bench.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace tq;
using Field = double (*)(int k, double x, double y);

using tqbench::start_store;
using tqbench::wait_idle;

// A square plane of side samples in blocks of 2^b, halving per level, with `channels`
// double_v channels whose node vectors are one element larger; every node of every level
// ready and holding f at its samples.
struct Plane {
  MATRIX* m;
  int side;
  Plane(const char* name, int side_, int b, int channels, Field f) : side(side_) {
    start_store();
    m = open_matrix(nullptr, _l_string_1(std_cm, name), nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.dim = 2;
    p.channel_nos = channels;
    p.flags = MXP_VECTOR_PLUS_ONE;
    set_matrix_param(m, &p);
    for (int a = 0; a < 2; ++a) {
      set_matrix_block_size(m, a, b);
      set_matrix_dim_divide(m, a, 1);
      set_matrix_pixel_size(m, a, side);
    }
    const double zero = 0;
    for (int k = 0; k < channels; ++k) {
      MATRIX_CHANNEL_INFO inf{&mx_type_double_v, 0, const_cast<double*>(&zero), 0};
      set_matrix_channel_info(m, k, &inf);
    }
    set_matrix_mode(m, MX_MODE_OPEN);
    {
      LOCK_SCOPE(matrix_lock);
      total_ncache_size = 1 << 30;
    }
    for (int level = 0; level < m->total_levels; ++level) {
      const int64_t span = int64_t(1) << (b + level);
      for (int64_t y = 0; y < side; y += span)
        for (int64_t x = 0; x < side; x += span) fill_node(level, x, y, channels, f);
    }
  }
  ~Plane() { close_matrix(m); }

  void fill_node(int level, int64_t x0, int64_t y0, int channels, Field f) {
    int64_t dc[3] = {level, x0, y0};
    {
      LOCK_SCOPE(matrix_lock);
      int code = 0;
      _get_matrix_node(&code, m, dc, 0, level, nullptr, 0);
    }
    wait_idle();
    {
      LOCK_SCOPE(matrix_lock);
      int code = 0;
      _get_matrix_node(&code, m, dc, -1, level, nullptr, 0)->status = MS_OK;
    }
    for (int k = 0; k < channels; ++k) {
      int code = 0;
      MATRIX_NODE* n = nullptr;
      void* d = get_matrix_node_channel(&code, &n, m, dc, k, 0, 0, nullptr, 0);
      MATRIX_DH_SET dh;
      get_matrix_dh_set(&dh, d);
      auto* v = reinterpret_cast<double*>(dh.offset);
      for (int j = 0; j < dh.ix[1]; ++j)
        for (int i = 0; i < dh.ix[0]; ++i)
          v[i + int64_t(dh.ix[0]) * j] = f(k, double(x0 + (int64_t(i) << level)), double(y0 + (int64_t(j) << level)));
      matrix_node_channel_unlock(n, 0);
    }
  }
};

// A cache over channels 0..n-1 of m, released in full at the end.
struct Cache {
  MX_CACHE c{};
  int ch[2] = {0, 1};
  MX_CACHE_PARAM_IX ix[2] = {{0, 0}, {0, 1}};
  Cache(MATRIX* m, int n) {
    c.m = m;
    c.access_ch = ch;
    c.ds_len = n;
    mxc_setup(&c);
  }
  ~Cache() { flush_mx_cache(&c, 1); }
};

// ---- Point reads.

constexpr int kSide = 1024;
const int64_t kReads = benchsupport::sized(int64_t(10000000), int64_t(10000));
double ramp(int, double x, double y) { return x + 1024 * y; }

enum Pattern { kSequential, kRandom, kCrossing };
// The point of read i: along rows, anywhere, or alternating between two blocks.
struct Points {
  uint64_t s = 88172645463325252ull;
  void at(Pattern p, int64_t i, int64_t* x, int64_t* y) {
    switch (p) {
      case kSequential:
        *x = i % kSide, *y = (i / kSide) % kSide;
        return;
      case kRandom:
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        *x = int64_t(s % kSide), *y = int64_t((s >> 20) % kSide);
        return;
      case kCrossing:
        *x = (i & 1) * 256 + (i >> 1) % 256, *y = (i >> 9) % 256;
        return;
    }
  }
};

void BM_CacheRead(benchmark::State& state) {
  static Plane plane("bench read", kSide, 8, 1, ramp);
  const Pattern pattern = Pattern(state.range(0));
  Cache cache(plane.m, 1);
  double out = 0, sum = 0;
  int64_t dc[3] = {0, 0, 0};
  MX_CACHE_PARAM p{};
  p.dc = dc;
  p.c = &cache.c;
  p.data_ix = cache.ix;
  p.data_ptrs[0] = &out;
  for (auto _ : state) {
    Points pts;
    for (int64_t i = 0; i < kReads; ++i) {
      pts.at(pattern, i, &dc[1], &dc[2]);
      read_mx_cache(&p);
      sum += out;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kReads);
  state.counters["misses"] = double(cache.c.miss_hit_cnt);
}
BENCHMARK(BM_CacheRead)->Arg(kSequential)->Arg(kRandom)->Arg(kCrossing)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_CacheRead_DirectIndex(benchmark::State& state) {
  std::vector<double> grid(size_t(kSide) * kSide);
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x) grid[size_t(x) + size_t(kSide) * y] = ramp(0, x, y);
  const Pattern pattern = Pattern(state.range(0));
  double sum = 0;
  for (auto _ : state) {
    Points pts;
    for (int64_t i = 0; i < kReads; ++i) {
      int64_t x = 0, y = 0;
      pts.at(pattern, i, &x, &y);
      sum += grid[size_t(x + kSide * y)];
      benchmark::ClobberMemory();
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kReads);
}
BENCHMARK(BM_CacheRead_DirectIndex)->Arg(kSequential)->Arg(kRandom)->Arg(kCrossing)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Interpolated vector reads.

constexpr int kIpSide = 512;
const int kIpPoints = benchsupport::sized(1000000, 1000);
double wave(int, double x, double y) { return std::sin(x / 37.0) * std::cos(y / 23.0) + x / 512.0; }

// Clustered: a slow walk that stays in each cell for many points; random: anywhere.
std::vector<double> ip_points(bool clustered, int axis) {
  std::vector<double> v(kIpPoints);
  std::mt19937_64 rnd(7 + axis);
  std::uniform_real_distribution<double> any(0, kIpSide - 1);
  for (int i = 0; i < kIpPoints; ++i)
    v[size_t(i)] = clustered ? std::fmod(i * (axis ? 0.0007 : 0.0011) + 3.3, kIpSide - 1.0) : any(rnd);
  return v;
}

void BM_IpVector(benchmark::State& state) {
  static Plane plane("bench ip", kIpSide, 7, 1, wave);
  std::vector<double> xs = ip_points(state.range(0), 0), ys = ip_points(state.range(0), 1), out(kIpPoints);
  double* in_axes[2] = {xs.data(), ys.data()};
  double* out_axes[1] = {out.data()};
  MX_IP_V in{kIpPoints, nullptr, in_axes}, result{kIpPoints, nullptr, out_axes};
  Cache cache(plane.m, 1);
  MX_CACHE_PARAM p{};
  p.c = &cache.c;
  p.data_ix = cache.ix;
  p.inp_buf = &in;
  p.ret_buf = &result;
  for (auto _ : state) read_mx_ip_double_v(&p);  // prints its three lines per call
  benchmark::DoNotOptimize(out.data());
  state.SetItemsProcessed(state.iterations() * kIpPoints);
}
BENCHMARK(BM_IpVector)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);  // 1 clustered, 0 random

// The plain bilinear interpolation of a (side + 1)^2 grid.
struct Grid {
  int side;
  std::vector<double> v;
  Grid(int s, Field f, int k) : side(s), v(size_t(s + 1) * (s + 1)) {
    for (int y = 0; y <= s; ++y)
      for (int x = 0; x <= s; ++x) v[size_t(x) + size_t(s + 1) * y] = f(k, x, y);
  }
  double at(double x, double y) const {
    const int i = int(x), j = int(y);
    const double fx = x - i, fy = y - j;
    const double* r = &v[size_t(i) + size_t(side + 1) * j];
    return (r[0] * (1 - fx) + r[1] * fx) * (1 - fy) + (r[side + 1] * (1 - fx) + r[side + 2] * fx) * fy;
  }
};

void BM_IpVector_PlainBilinear(benchmark::State& state) {
  const Grid grid(kIpSide, wave, 0);
  std::vector<double> xs = ip_points(state.range(0), 0), ys = ip_points(state.range(0), 1), out(kIpPoints);
  for (auto _ : state)
    for (int i = 0; i < kIpPoints; ++i) out[size_t(i)] = grid.at(xs[size_t(i)], ys[size_t(i)]);
  benchmark::DoNotOptimize(out.data());
  state.SetItemsProcessed(state.iterations() * kIpPoints);
}
BENCHMARK(BM_IpVector_PlainBilinear)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// ---- Newton solves.

constexpr int kNtSide = 256;
double affine_sine(int k, double x, double y) {
  return k == 0 ? 2 * x + y + 4 * std::sin(y / 19.0) : 0.5 * x + 3 * y + 3 * std::sin(x / 23.0);
}
// Targets well inside the plane and their goals through the plain interpolation.
std::vector<std::pair<double, double>> targets() {
  std::mt19937_64 rnd(42);
  std::uniform_real_distribution<double> any(20, kNtSide - 20);
  std::vector<std::pair<double, double>> t(256);
  for (auto& xy : t) xy = {any(rnd), any(rnd)};
  return t;
}
constexpr double kTolerance = 1e-3;

void BM_Newton(benchmark::State& state) {
  static Plane plane("bench newton", kNtSide, 4, 2, affine_sine);
  const Grid g0(kNtSide, affine_sine, 0), g1(kNtSide, affine_sine, 1);
  Cache cache(plane.m, 2);
  MX_CACHE* c = &cache.c;
  double *x, *goal;
  void* ret = mxt_double_column(c, 2, &x);
  void* inp = mxt_double_column(c, 2, &goal);
  int sizes[2] = {3, 3};
  MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, nullptr, c};
  void* model = mxt_alloc_vector(&mx_type_double_v, MX_ALLOC_POOL, &prm, c);  // the affine part
  const double affine[9] = {2, 1, 0, 0.5, 3, 0, 0, 0, 1};
  std::copy(affine, affine + 9, mxt_double_elements(model, 9));
  MX_CACHE_PARAM p{};
  p.c = c;
  p.data_ix = cache.ix;
  p.ret_buf = ret;
  p.inp_buf = inp;
  p.avg_mtx = model;
  p.tolerance = kTolerance;
  p.try_max = 100;
  p.try_avg = 5;
  const auto t = targets();
  size_t i = 0;
  int64_t unsolved = 0;
  for (auto _ : state) {
    const auto [tx, ty] = t[i++ % t.size()];
    goal[0] = g0.at(tx, ty);
    goal[1] = g1.at(tx, ty);
    x[0] = kNtSide / 2.0;
    x[1] = kNtSide / 2.0;
    p.inp_level = 0;
    matrix_newton_double(&p);
    unsolved += p.newton_status == MX_NEWTON_GIVEN_UP;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["try_avg"] = p.try_avg;
  state.counters["given_up"] = double(unsolved);
  for (void* d : {ret, inp, model}) mxc_free(c, d);
}
BENCHMARK(BM_Newton);

void BM_Newton_Direct2x2(benchmark::State& state) {
  const Grid g0(kNtSide, affine_sine, 0), g1(kNtSide, affine_sine, 1);
  const auto t = targets();
  size_t i = 0;
  int64_t steps = 0;
  for (auto _ : state) {
    const auto [tx, ty] = t[i++ % t.size()];
    const double goal[2] = {g0.at(tx, ty), g1.at(tx, ty)};
    double x = kNtSide / 2.0, y = kNtSide / 2.0;
    for (int n = 0; n < 100; ++n, ++steps) {
      const double f0 = g0.at(x, y), f1 = g1.at(x, y);
      const double lx = std::floor(x), ly = std::floor(y);  // forward differences of the cell
      const double a = g0.at(lx + 1, ly) - g0.at(lx, ly), b = g0.at(lx, ly + 1) - g0.at(lx, ly);
      const double c = g1.at(lx + 1, ly) - g1.at(lx, ly), d = g1.at(lx, ly + 1) - g1.at(lx, ly);
      const double det = a * d - b * c, r0 = goal[0] - f0, r1 = goal[1] - f1;
      const double dx = (d * r0 - b * r1) / det, dy = (a * r1 - c * r0) / det;
      x += dx, y += dy;
      if (std::hypot(dx, dy) < kTolerance) break;
    }
    benchmark::DoNotOptimize(x + y);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["steps"] = benchmark::Counter(double(steps), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Newton_Direct2x2);

}  // namespace
