// Point lists: sort_plot of 10^5 plots against std::sort of the same interleaved keys (goal
// at most 3x); reading and writing point-list code of 10^5 plots with two fields, decoded
// into an arena against the debug heap (bytes of code per second); the density pass against
// the all-pairs minimum it saves.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "matrix/matrix.h"
#include "mxcmd/pp_block.h"
#include "mxcmd/pp_code.h"
#include "platform/d_alloc.h"
#include "support/matrix_bench.h"
#include "support/smoke.h"

namespace {

// Two axes of blocks of 2^bs, one level bit per axis, and n random plots (each with an
// integer and a text field), kept in their random order in `order`.
struct Plots {
  tq::MATRIX* m;
  std::vector<tq::INTERNAL_PLOT*> order;
  explicit Plots(int n, int bs = 14) {
    tqbench::start_store();
    m = tqbench::new_matrix(2, bs, int64_t(1) << 30);
    std::mt19937_64 rng(1);
    for (int i = 0; i < n; ++i) {
      tq::INTERNAL_PLOT* pl = tq::xx_new_plot(m, nullptr, __FILE__, __LINE__);
      pl->flags = tq::PLOT_MADE;
      for (int a = 0; a < 2; ++a) pl->c[a] = uint16_t(rng() & ((1u << bs) - 1));
      pl->fields = tq::xx_new_fields(2, nullptr, __FILE__, __LINE__);
      pl->fields[0].type = tq::FD_INT_ADD;
      pl->fields[0].d.i = static_cast<int64_t*>(d_alloc(8));
      pl->fields[0].d.i[0] = int64_t(rng());
      pl->fields[1].type = tq::FD_STRING;
      pl->fields[1].d.str = tq::sat_copy_str("label", nullptr);
      order.push_back(pl);
    }
    relink();
  }
  ~Plots() {
    relink();
    tq::free_internal_plot_list(order[0]);
    tqbench::free_matrix(m);
  }
  tq::INTERNAL_PLOT* relink() {
    for (size_t i = 0; i < order.size(); ++i) order[i]->next = i + 1 < order.size() ? order[i + 1] : nullptr;
    return order[0];
  }
};

uint64_t key(const tq::INTERNAL_PLOT* p) {
  uint64_t k = 0;
  for (int b = 13; b >= 0; --b)
    for (int a = 0; a < 2; ++a) k = (k << 1) | ((p->c[a] >> b) & 1);
  return k;
}

void BM_SortPlot(benchmark::State& state) {
  Plots p(int(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    tq::INTERNAL_PLOT* l = p.relink();
    state.ResumeTiming();
    benchmark::DoNotOptimize(tq::sort_plot(p.m, l));
  }
}
BENCHMARK(BM_SortPlot)->Arg(benchsupport::sized(100000, 100))->Unit(benchmark::kMillisecond);

void BM_StdSortKeys(benchmark::State& state) {
  Plots p(int(state.range(0)));
  std::vector<uint64_t> keys;
  for (const tq::INTERNAL_PLOT* pl : p.order) keys.push_back(key(pl));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<uint64_t> k = keys;
    state.ResumeTiming();
    std::sort(k.begin(), k.end());
    benchmark::DoNotOptimize(k.data());
  }
}
BENCHMARK(BM_StdSortKeys)->Arg(benchsupport::sized(100000, 100))->Unit(benchmark::kMillisecond);

// Decoding and encoding again; range(1) 1: into an arena, 0: the debug heap.
void BM_CodeRoundTrip(benchmark::State& state) {
  Plots p(int(state.range(0)));
  int n = 0;
  uint8_t* code = tq::internal2code(&n, p.m, p.relink());
  tq::SIMPLE_ALLOC_T sat;
  tq::smp_init(&sat);
  for (auto _ : state) {
    int err, size;
    tq::INTERNAL_PLOT* l = tq::code2internal(p.m, reinterpret_cast<tq::PRIMITIVE_PLOT*>(code), n,
                                             state.range(1) ? &sat : nullptr, &err);
    uint8_t* again = tq::internal2code(&size, p.m, l);
    d_f_ree(again);
    if (state.range(1))
      tq::free_smp(&sat);
    else
      tq::free_internal_plot_list(l);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n * 2);
  d_f_ree(code);
}
BENCHMARK(BM_CodeRoundTrip)->Args({benchsupport::sized(100000, 100), 1})->Args({benchsupport::sized(100000, 100), 0})->Unit(benchmark::kMillisecond);

void BM_Density(benchmark::State& state) {
  Plots p(int(state.range(0)), 10);
  tq::PP_STRUCT_BLOCK b{};
  b.h.n.m = p.m;
  b.min = -1;
  b.plot = tq::sort_plot(p.m, p.relink());
  for (auto _ : state) tq::set_pp_density(&b);
  p.relink();
}
BENCHMARK(BM_Density)->Arg(benchsupport::sized(10000, 100))->Unit(benchmark::kMillisecond);

void BM_AllPairs(benchmark::State& state) {
  Plots p(int(state.range(0)), 10);
  for (auto _ : state) {
    for (tq::INTERNAL_PLOT* a : p.order) {
      int best = -1;
      for (tq::INTERNAL_PLOT* q : p.order)
        if (q != a && (best < 0 || tq::get_distance(p.m, a, q) < best)) best = tq::get_distance(p.m, a, q);
      a->min_direction = best;
    }
  }
}
BENCHMARK(BM_AllPairs)->Arg(benchsupport::sized(10000, 100))->Unit(benchmark::kMillisecond);

}  // namespace
