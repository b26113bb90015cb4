// peers: turbojpeg
// JPEG of a 2048 x 2048 photograph-like image (a gradient with noise) at quality 80, 4:2:0:
// jpeg_compress and jpeg_uncompress against TurboJPEG's tjCompress2 and tjDecompress2 on
// the same 4-byte pixels (TJPF_RGBX), both on the installed libjpeg-turbo; each decoder
// fills a new zeroed buffer every time. The counter out_bytes is the size of the stream
// each encoder wrote.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/jpeg_glue.h"
#include "support/smoke.h"

namespace {

const int kSide = benchsupport::sized(2048, 256);
constexpr int kQuality = 80;
using Bytes = std::vector<unsigned char>;

const Bytes& photo() {
  static const Bytes px = [] {
    Bytes p(size_t(kSide) * kSide * 4);
    uint32_t x = kSide;
    unsigned char* q = p.data();
    auto clamp = [](int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int row = 0; row < kSide; row++)
      for (int col = 0; col < kSide; col++, q += 4) {
        x = x * 1103515245u + 12345u;
        const int n = int((uint64_t(x >> 8) * 33) >> 24) - 16;
        q[0] = clamp(col * 255 / (kSide - 1) + n);
        q[1] = clamp(row * 255 / (kSide - 1) - n);
        q[2] = clamp((col + row) * 127 / (2 * kSide) + 64 + n / 2);
        q[3] = 0;
      }
    return p;
  }();
  return px;
}

Bytes our_jpeg() {
  int n = 0;
  unsigned char* j = tq::jpeg_compress(&n, photo().data(), kSide, kSide, kQuality);
  Bytes out(j, j + n);
  free(j);
  return out;
}

void BM_JpegEncode_Ours(benchmark::State& state) {
  int n = 0;
  for (auto _ : state) {
    unsigned char* j = tq::jpeg_compress(&n, photo().data(), kSide, kSide, kQuality);
    benchmark::DoNotOptimize(j);
    free(j);
  }
  state.counters["out_bytes"] = n;
}
BENCHMARK(BM_JpegEncode_Ours)->Unit(benchmark::kMillisecond);

void BM_JpegEncode_TurboJpeg(benchmark::State& state) {
  tjhandle tj = tjInitCompress();
  unsigned long size = 0;
  for (auto _ : state) {
    unsigned char* out = nullptr;
    size = 0;
    if (tjCompress2(tj, photo().data(), kSide, 0, kSide, TJPF_RGBX, &out, &size, TJSAMP_420, kQuality, 0) != 0)
      state.SkipWithError("tjCompress2");
    benchmark::DoNotOptimize(out);
    tjFree(out);
  }
  state.counters["out_bytes"] = double(size);
  tjDestroy(tj);
}
BENCHMARK(BM_JpegEncode_TurboJpeg)->Unit(benchmark::kMillisecond);

void BM_JpegDecode_Ours(benchmark::State& state) {
  const Bytes j = our_jpeg();
  for (auto _ : state) {
    int w = 0, h = 0;
    unsigned char* px = tq::jpeg_uncompress(&w, &h, j.data(), int(j.size()));
    benchmark::DoNotOptimize(px);
    free(px);
  }
}
BENCHMARK(BM_JpegDecode_Ours)->Unit(benchmark::kMillisecond);

void BM_JpegDecode_TurboJpeg(benchmark::State& state) {
  const Bytes j = our_jpeg();
  tjhandle tj = tjInitDecompress();
  for (auto _ : state) {  // a new buffer each time, as jpeg_uncompress returns one
    auto* px = static_cast<unsigned char*>(calloc(size_t(kSide) * kSide, 4));
    if (tjDecompress2(tj, j.data(), j.size(), px, kSide, 0, kSide, TJPF_RGBX, 0) != 0)
      state.SkipWithError("tjDecompress2");
    benchmark::DoNotOptimize(px);
    free(px);
  }
  tjDestroy(tj);
}
BENCHMARK(BM_JpegDecode_TurboJpeg)->Unit(benchmark::kMillisecond);

}  // namespace
