// peers: a plain 2 x 2-mean loop in memory
// Building every level of an 8192 x 8192 'P' pyramid through the R64 tile cache
// (r64_new_level per level, pixel by pixel, with the file writes) against a plain loop
// that halves the same level-0 pixels held in memory, edges repeated as the file does.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/r64_file.h"
#include "platform/file.h"
#include "support/scratch.h"
#include "support/smoke.h"

namespace {

const int kSide = benchsupport::sized(8192, 256);

std::vector<unsigned char> level0() {
  std::vector<unsigned char> px(size_t(kSide) * kSide * 3);
  std::mt19937 rng(1);
  for (auto& b : px) b = uint8_t(rng());
  return px;
}

std::string bench_path() {
  return benchsupport::tmp_file("bench_r64.", ".r64");
}

// One halving: pixels are RGB rows; the right and bottom edges repeat.
std::vector<unsigned char> halve(const std::vector<unsigned char>& s, int w, int h) {
  int dw = (w + 1) / 2, dh = (h + 1) / 2;
  std::vector<unsigned char> d(size_t(dw) * dh * 3);
  for (int y = 0; y < dh; y++) {
    const unsigned char* r0 = &s[size_t(2 * y) * w * 3];
    const unsigned char* r1 = &s[size_t(std::min(2 * y + 1, h - 1)) * w * 3];
    for (int x = 0; x < dw; x++) {
      int x0 = 2 * x * 3, x1 = std::min(2 * x + 1, w - 1) * 3;
      for (int c = 0; c < 3; c++) d[(size_t(y) * dw + x) * 3 + c] = uint8_t((r0[x0 + c] + r0[x1 + c] + r1[x0 + c] + r1[x1 + c]) >> 2);
    }
  }
  return d;
}

void BM_R64BuildLevels(benchmark::State& state) {
  tq::r64_init();
  std::string path = bench_path();
  tq::R64_FILE* f = tq::r64_open_file(path.c_str(), tq::kR64CreateFlags, 0644, 'P', kSide, kSide);
  if (!f) {
    state.SkipWithError("cannot create the R64 file");
    return;
  }
  // Level 0 is written raw: its bytes are random, so their order in the tiles is of no account.
  std::vector<unsigned char> px = level0();
  tq::u_lseek64(f->fd, 8, SEEK_SET);
  tq::r64_write_full(f->fd, px.data(), px.size());
  for (auto _ : state) {
    for (int k = 0; f->level_ofs[k + 1]; k++) {
      if (tq::r64_flush(f) < 0 || tq::r64_new_level(f, k) < 0) state.SkipWithError("level build failed");
    }
    tq::r64_flush(f);
  }
  tq::r64_close_file(f);
  unlink(path.c_str());
  state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
}

void BM_PlainMeansInMemory(benchmark::State& state) {
  std::vector<unsigned char> px = level0();
  for (auto _ : state) {
    std::vector<unsigned char> cur = halve(px, kSide, kSide);
    for (int w = (kSide + 1) / 2, h = w; (w + 1) / 2 >= 2 && (h + 1) / 2 >= 2; w = (w + 1) / 2, h = (h + 1) / 2)
      cur = halve(cur, w, h);
    benchmark::DoNotOptimize(cur.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
}

}  // namespace

BENCHMARK(BM_R64BuildLevels)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(2, 1));
BENCHMARK(BM_PlainMeansInMemory)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(5, 1));
