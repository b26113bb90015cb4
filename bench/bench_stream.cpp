// Streams against stdio: 64 KiB writes through a file stream versus fwrite of the same
// pieces, and a million formatted lines through s_printf (direct, and batched through the
// accumulator) versus snprintf + fwrite. Files go to a temporary folder removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "support/scratch.h"
#include "support/smoke.h"

namespace {

constexpr size_t kPiece = 64 * 1024;
const size_t kBytesPerIteration = benchsupport::sized(size_t(256) << 20, kPiece);  // rewritten in place each iteration
const int kLines = benchsupport::sized(1000000, 1000);

std::string temp_dir() {
  static std::string dir = benchsupport::new_tmp_folder("tqbench.");
  return dir;
}

const std::vector<char>& piece() {
  static std::vector<char> p = [] {
    std::vector<char> v(kPiece);
    for (size_t i = 0; i < kPiece; ++i) v[i] = char('a' + i % 26);
    return v;
  }();
  return p;
}

void BM_FileStreamWrite64K(benchmark::State& state) {
  const std::string path = temp_dir() + "/stream.bin";
  tq::STREAM* s = tq::s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!s) state.SkipWithError("open");
  const char* data = piece().data();
  for (auto _ : state) {
    tq::s_seek_file(s, 0, SEEK_SET);
    for (size_t done = 0; done < kBytesPerIteration; done += kPiece)
      if (tq::s_write(s, data, int(kPiece)) != int(kPiece)) state.SkipWithError("write");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytesPerIteration));
  d_s_close(s);
  unlink(path.c_str());
}

void BM_FwriteWrite64K(benchmark::State& state) {
  const std::string path = temp_dir() + "/stdio.bin";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) state.SkipWithError("open");
  const char* data = piece().data();
  for (auto _ : state) {
    rewind(f);
    for (size_t done = 0; done < kBytesPerIteration; done += kPiece)
      if (fwrite(data, 1, kPiece, f) != kPiece) state.SkipWithError("write");
    fflush(f);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytesPerIteration));
  fclose(f);
  unlink(path.c_str());
}

// The mixed line: an integer, a text, a float and a hexadecimal number.
const char kLine[] = "line %d %s %.3f %x\n";
const char* const kWords[] = {"alpha", "beta", "gamma", "delta"};

void BM_FormatLinesStream(benchmark::State& state) {
  const std::string path = temp_dir() + "/lines_stream.txt";
  tq::STREAM* s = tq::s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!s) state.SkipWithError("open");
  for (auto _ : state) {
    tq::s_seek_file(s, 0, SEEK_SET);
    for (int i = 0; i < kLines; ++i) tq::s_printf(s, kLine, i, kWords[i & 3], i * 0.25, i);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLines);
  d_s_close(s);
  unlink(path.c_str());
}

int sat_printf(tq::S_PRINTF_SAT* sat, const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = tq::_s_printf(nullptr, nullptr, fmt, p, sat);
  va_end(p);
  return r;
}

void BM_FormatLinesAccumulator(benchmark::State& state) {
  const std::string path = temp_dir() + "/lines_sat.txt";
  tq::STREAM* s = tq::s_open_file(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!s) state.SkipWithError("open");
  for (auto _ : state) {
    tq::s_seek_file(s, 0, SEEK_SET);
    tq::S_PRINTF_SAT sat;
    tq::new_spsat(&sat, s);
    for (int i = 0; i < kLines; ++i) sat_printf(&sat, kLine, i, kWords[i & 3], i * 0.25, i);
    tq::finish_spsat(&sat, nullptr);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLines);
  d_s_close(s);
  unlink(path.c_str());
}

void BM_FormatLinesSnprintfFwrite(benchmark::State& state) {
  const std::string path = temp_dir() + "/lines_stdio.txt";
  FILE* f = fopen(path.c_str(), "w");
  if (!f) state.SkipWithError("open");
  char buf[256];
  for (auto _ : state) {
    rewind(f);
    for (int i = 0; i < kLines; ++i) {
      const int n = snprintf(buf, sizeof buf, kLine, i, kWords[i & 3], i * 0.25, i);
      fwrite(buf, 1, size_t(n), f);
    }
    fflush(f);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLines);
  fclose(f);
  unlink(path.c_str());
}

BENCHMARK(BM_FileStreamWrite64K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FwriteWrite64K)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatLinesStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatLinesAccumulator)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatLinesSnprintfFwrite)->Unit(benchmark::kMillisecond);

}  // namespace

void bench_after() { rmdir(temp_dir().c_str()); }
