// peers: fftw3
// The forward transform (fastft, which allocates its result and scales by 1/N) against
// FFTW's planned out-of-place transform (FFTW_ESTIMATE, planned outside the timing, not
// scaled) at N = 1024 and 65536 on the same random complex data.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "image/fft.h"

namespace {

std::vector<tq::COMPLEX> random_values(int n) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  std::vector<tq::COMPLEX> v(static_cast<size_t>(n));
  for (auto& c : v) c = {d(rng), d(rng)};
  return v;
}

void BM_Fastft(benchmark::State& state) {
  int beki = int(state.range(0));
  std::vector<tq::COMPLEX> x = random_values(1 << beki);
  for (auto _ : state) {
    tq::COMPLEX* r = tq::fastft(x.data(), beki);
    benchmark::DoNotOptimize(r);
    std::free(r);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) << beki);
}

void BM_FftwEstimate(benchmark::State& state) {
  int beki = int(state.range(0));
  int n = 1 << beki;
  std::vector<tq::COMPLEX> x = random_values(n);
  auto* in = fftw_alloc_complex(size_t(n));
  auto* out = fftw_alloc_complex(size_t(n));
  fftw_plan p = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  for (int i = 0; i < n; i++) {
    in[i][0] = x[size_t(i)].re;
    in[i][1] = x[size_t(i)].im;
  }
  for (auto _ : state) {
    fftw_execute(p);
    benchmark::DoNotOptimize(out);
  }
  fftw_destroy_plan(p);
  fftw_free(in);
  fftw_free(out);
  state.SetItemsProcessed(int64_t(state.iterations()) << beki);
}

}  // namespace

BENCHMARK(BM_Fastft)->Arg(10)->Arg(16);
BENCHMARK(BM_FftwEstimate)->Arg(10)->Arg(16);

void bench_after() { fftw_cleanup(); }
