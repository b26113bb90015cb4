// The FFT against FFTW (loaded at run time, the test skips without it) at lengths 8, 1024
// and 65536 on random data, the transform's small exact cases, and the window table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "image/fft.h"

namespace {

// The few FFTW calls the test needs, looked up in the shared library.
class Fftw {
 public:
  Fftw() {
    lib_ = dlopen("libfftw3.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!lib_) return;
    plan_ = reinterpret_cast<Plan (*)(int, double*, double*, int, unsigned)>(dlsym(lib_, "fftw_plan_dft_1d"));
    execute_ = reinterpret_cast<void (*)(Plan)>(dlsym(lib_, "fftw_execute"));
    destroy_ = reinterpret_cast<void (*)(Plan)>(dlsym(lib_, "fftw_destroy_plan"));
    cleanup_ = reinterpret_cast<void (*)()>(dlsym(lib_, "fftw_cleanup"));
  }
  ~Fftw() {
    if (cleanup_) cleanup_();  // the planner's own memory, which would otherwise leak
    if (lib_) dlclose(lib_);
  }
  bool ok() const { return plan_ && execute_ && destroy_; }
  // The unscaled transform of sign -1 (forward) or +1 (backward).
  std::vector<tq::COMPLEX> transform(const std::vector<tq::COMPLEX>& x, int sign) {
    int n = int(x.size());
    std::vector<double> in(2 * x.size()), out(2 * x.size());
    Plan p = plan_(n, in.data(), out.data(), sign, 1u << 6 /* FFTW_ESTIMATE */);
    for (size_t i = 0; i < x.size(); i++) {
      in[2 * i] = x[i].re;
      in[2 * i + 1] = x[i].im;
    }
    execute_(p);
    destroy_(p);
    std::vector<tq::COMPLEX> r(x.size());
    for (size_t i = 0; i < x.size(); i++) r[i] = {out[2 * i + 1], out[2 * i]};
    return r;
  }

 private:
  using Plan = void*;
  void* lib_ = nullptr;
  Plan (*plan_)(int, double*, double*, int, unsigned) = nullptr;
  void (*execute_)(Plan) = nullptr;
  void (*destroy_)(Plan) = nullptr;
  void (*cleanup_)() = nullptr;
};

double relative_error(const tq::COMPLEX* x, const std::vector<tq::COMPLEX>& ref) {
  double num = 0, den = 0;
  for (size_t i = 0; i < ref.size(); i++) {
    num += std::pow(x[i].re - ref[i].re, 2) + std::pow(x[i].im - ref[i].im, 2);
    den += ref[i].re * ref[i].re + ref[i].im * ref[i].im;
  }
  return std::sqrt(num / den);
}

std::vector<tq::COMPLEX> random_values(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  std::vector<tq::COMPLEX> v(n);
  for (auto& c : v) c = {d(rng), d(rng)};
  return v;
}

TEST(Fft, AgreesWithFftwAtThreeLengths) {
  Fftw fftw;
  if (!fftw.ok()) GTEST_SKIP() << "libfftw3.so.3 not installed (scripts/deps.sh installs it)";
  for (int beki : {3, 10, 16}) {
    size_t n = size_t(1) << beki;
    std::vector<tq::COMPLEX> x = random_values(n, 1000u + unsigned(beki));
    std::vector<tq::COMPLEX> fwd = fftw.transform(x, -1);
    for (auto& c : fwd) c = {c.im / double(n), c.re / double(n)};
    std::vector<tq::COMPLEX> bwd = fftw.transform(x, +1);
    tq::COMPLEX* f = tq::fastft(x.data(), beki);
    tq::COMPLEX* b = tq::fastdft(x.data(), beki);
    ASSERT_TRUE(f && b);
    EXPECT_LE(relative_error(f, fwd), 1e-12) << "forward, N = " << n;
    EXPECT_LE(relative_error(b, bwd), 1e-12) << "backward, N = " << n;
    tq::COMPLEX* back = tq::fastdft(f, beki);
    EXPECT_LE(relative_error(back, x), 1e-12) << "round trip, N = " << n;
    std::free(f);
    std::free(b);
    std::free(back);
  }
}

TEST(Fft, SmallExactCases) {
  tq::COMPLEX impulse[8] = {{0, 1}};
  tq::COMPLEX* r = tq::fastft(impulse, 3);
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(r[i].re, 0.125) << i;
    EXPECT_EQ(r[i].im, 0.0) << i;
  }
  std::free(r);
  tq::COMPLEX one[4] = {{0, 1}};
  r = tq::fastdft(one, 2);
  for (int i = 0; i < 4; i++) EXPECT_EQ(r[i].re, 1.0) << i;
  std::free(r);
  tq::COMPLEX c[8];
  for (auto& v : c) v = {-2.5, 3.0};
  r = tq::fastft(c, 3);
  EXPECT_EQ(r[0].re, 3.0);
  EXPECT_EQ(r[0].im, -2.5);
  for (int i = 1; i < 8; i++) EXPECT_LT(std::hypot(r[i].re, r[i].im), 1e-15) << i;
  std::free(r);
  tq::COMPLEX single = {4, 5};  // length 1 is its own transform
  r = tq::fastdft(&single, 0);
  EXPECT_EQ(r[0].re, 5.0);
  EXPECT_EQ(r[0].im, 4.0);
  std::free(r);
  EXPECT_EQ(tq::fastft(c, -1), nullptr);
  EXPECT_EQ(tq::fastft(c, 31), nullptr);
}

TEST(Fft, BitReversalAndComplexProduct) {
  struct Case {
    int a, b, want;
  };
  for (Case c : {Case{1, 3, 4}, Case{6, 3, 3}, Case{0, 5, 0}, Case{1, 1, 1}, Case{0x1234, 16, 0x2c48}, Case{5, 0, 0}})
    EXPECT_EQ(tq::upsidedown(c.a, c.b), c.want) << c.a << "," << c.b;
  tq::COMPLEX p = tq::mulc({2, 1}, {4, 3});  // (1 + 2i)(3 + 4i) = -5 + 10i
  EXPECT_EQ(p.re, -5.0);
  EXPECT_EQ(p.im, 10.0);
  tq::COMPLEX m = tq::minus(tq::subc({1, 1}, tq::addc({1, 1}, {1, 1})));
  EXPECT_EQ(m.re, 1.0);
  EXPECT_EQ(m.im, 1.0);
}

TEST(Fft, TwiddleTablesAreMadeOncePerLengthAndSign) {
  const tq::COMPLEX* a = tq::new_w_list(1024, -1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(tq::new_w_list(1024, -1), a);
  const tq::COMPLEX* b = tq::new_w_list(1024, 1);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(b, a);
  EXPECT_EQ(b[256].im, 1.0);
  EXPECT_EQ(a[256].im, -1.0);
  EXPECT_EQ(tq::new_w_list(1000, 1), nullptr);
}

TEST(Fft, HannWindowTable) {
  EXPECT_DOUBLE_EQ(tq::window_fn(4, 4), 1.0);
  EXPECT_DOUBLE_EQ(tq::window_fn(2, 2), 0.25);
  for (int j = 0; j < 8; j++) {
    EXPECT_EQ(tq::window_fn(0, j), 0.0);
    EXPECT_DOUBLE_EQ(tq::window_fn(j, 4), tq::window_fn(4, j));
  }
  // Windows four apart add up to one: overlapping blocks at stride 4 keep a constant.
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      EXPECT_NEAR(tq::window_fn(i, j) + tq::window_fn(i + 4, j) + tq::window_fn(i, j + 4) + tq::window_fn(i + 4, j + 4),
                  1.0, 1e-15);
}

}  // namespace
