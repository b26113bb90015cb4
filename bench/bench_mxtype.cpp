// The element types' block operations against a plain strided loop over the same data:
// average thinning of a 256 x 256 int16 block (2 x 2 cells into the second quarter of a
// coarse block) and level addition of two 1024 x 1024 uint8 blocks with the difference
// curve (each fine code added to its coarse element, clamped), in elements per second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "entry/start.h"
#include "matrix/matrix.h"
#include "mxtype/curve.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "support/matrix_bench.h"

namespace {

// The type table and a matrix of two axes of blocks of 2^bs, halving per level.
struct Setup {
  tq::MATRIX* m;
  explicit Setup(int bs) {
    tq::minimum_matrix_init(0, nullptr);  // the type table among the rest
    m = tqbench::new_matrix(2, bs, int64_t(1) << 20);
  }
  ~Setup() {
    tqbench::free_matrix(m);
  }
};

template <class T>
void* block(tq::MDT tp, int side, uint64_t seed) {
  int sizes[2] = {side, side};
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, nullptr, nullptr};
  void* v = tq::xx_mxt_alloc_vector(tp, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  std::mt19937_64 rng(seed);
  for (int64_t i = 0; i < dh.total_element; ++i) reinterpret_cast<T*>(dh.offset)[i] = T(rng());
  return v;
}

template <class T>
T* el(void* v) {
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  return reinterpret_cast<T*>(dh.offset);
}

constexpr int kThinSide = 256;
constexpr int kLevelSide = 1024;

void BM_ThinnedAvgInt16(benchmark::State& state) {
  Setup s(8);
  void* src = block<int16_t>(&tq::mx_type_int16_v, kThinSide, 1);
  void* dest = block<int16_t>(&tq::mx_type_int16_v, kThinSide, 2);
  int64_t dc[3] = {1, 512, 0};  // the second child along axis 0: its cells start at column 128
  for (auto _ : state) {
    tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, s.m, dc, 1, dest, src);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kThinSide * kThinSide);
  tq::mxt_free_data(&tq::mx_type_int16_v, src);
  tq::mxt_free_data(&tq::mx_type_int16_v, dest);
}
BENCHMARK(BM_ThinnedAvgInt16);

void BM_ThinnedAvgInt16_PlainLoop(benchmark::State& state) {
  Setup s(8);
  void* src = block<int16_t>(&tq::mx_type_int16_v, kThinSide, 1);
  void* dest = block<int16_t>(&tq::mx_type_int16_v, kThinSide, 2);
  const int16_t* in = el<int16_t>(src);
  int16_t* out = el<int16_t>(dest);
  for (auto _ : state) {
    for (int y = 0; y < kThinSide; y += 2)
      for (int x = 0; x < kThinSide; x += 2) {
        const int sum = in[y * kThinSide + x] + in[y * kThinSide + x + 1] + in[(y + 1) * kThinSide + x] +
                        in[(y + 1) * kThinSide + x + 1];
        out[(y / 2) * kThinSide + 128 + x / 2] = int16_t(sum / 4);
      }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kThinSide * kThinSide);
  tq::mxt_free_data(&tq::mx_type_int16_v, src);
  tq::mxt_free_data(&tq::mx_type_int16_v, dest);
}
BENCHMARK(BM_ThinnedAvgInt16_PlainLoop);

void BM_LevelAddUint8Curve(benchmark::State& state) {
  Setup s(10);
  void* coarse = block<uint8_t>(&tq::mx_type_uint8_v, kLevelSide, 3);
  void* fine = block<uint8_t>(&tq::mx_type_uint8_v, kLevelSide, 4);
  void* dest = block<uint8_t>(&tq::mx_type_uint8_v, kLevelSide, 5);
  int64_t dc[3] = {1, 0, 2048};  // the second child along axis 1
  int opt = tq::MX_OPT_CURVE;
  for (auto _ : state) {
    tq::mx_type_uint8_v.v_add(&tq::mx_type_uint8_v, s.m, dc, 1, &opt, dest, coarse, fine);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kLevelSide * kLevelSide);
  for (void* v : {coarse, fine, dest}) tq::mxt_free_data(&tq::mx_type_uint8_v, v);
}
BENCHMARK(BM_LevelAddUint8Curve);

void BM_LevelAddUint8Curve_PlainLoop(benchmark::State& state) {
  Setup s(10);
  void* coarse = block<uint8_t>(&tq::mx_type_uint8_v, kLevelSide, 3);
  void* fine = block<uint8_t>(&tq::mx_type_uint8_v, kLevelSide, 4);
  void* dest = block<uint8_t>(&tq::mx_type_uint8_v, kLevelSide, 5);
  const uint8_t* c = el<uint8_t>(coarse);
  const uint8_t* f = el<uint8_t>(fine);
  uint8_t* out = el<uint8_t>(dest);
  const int16_t* curve = tq::mx_curve_decode_table();
  for (auto _ : state) {
    for (int y = 0; y < kLevelSide; ++y)
      for (int x = 0; x < kLevelSide; ++x) {
        const int v = c[(512 + y / 2) * kLevelSide + x / 2] + curve[f[y * kLevelSide + x]];
        out[y * kLevelSide + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kLevelSide * kLevelSide);
  for (void* v : {coarse, fine, dest}) tq::mxt_free_data(&tq::mx_type_uint8_v, v);
}
BENCHMARK(BM_LevelAddUint8Curve_PlainLoop);

}  // namespace
