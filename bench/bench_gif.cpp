// peers: giflib
// GIF of a 2048 x 2048 photograph-like image (a gradient with noise): encoding 4-byte
// pixels into a 256-colour GIF with gif_compress against giflib's GifQuantizeBuffer (fed
// the three planes it wants, split from the same pixels) and EGifPutLine into memory; and
// decoding that GIF into 4-byte pixels with gif_uncompress against giflib's DGifSlurp
// from memory followed by the map lookup to 4-byte pixels. The counter out_bytes is the
// size of the GIF each encoder wrote.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image/gif_reader.h"
#include "image/gif_writer.h"
#include "platform/d_alloc.h"
#include "support/smoke.h"

namespace {

const int kSide = benchsupport::sized(2048, 256);
using Bytes = std::vector<unsigned char>;

// The gradient with noise of the image tests (4-byte pixels).
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

Bytes our_gif() {
  int n = 0;
  tq::GIF_ENV env;
  unsigned char* g = tq::gif_compress(&n, &env, nullptr, photo().data(), kSide, kSide);
  Bytes out(g, g + n);
  d_f_ree(g);
  return out;
}

void BM_GifEncode_Ours(benchmark::State& state) {
  const Bytes& px = photo();
  int n = 0;
  for (auto _ : state) {
    tq::GIF_ENV env;
    unsigned char* g = tq::gif_compress(&n, &env, nullptr, px.data(), kSide, kSide);
    benchmark::DoNotOptimize(g);
    d_f_ree(g);
  }
  state.counters["out_bytes"] = n;
}
BENCHMARK(BM_GifEncode_Ours)->Unit(benchmark::kMillisecond);

int write_mem(GifFileType* f, const GifByteType* data, int len) {
  auto* out = static_cast<Bytes*>(f->UserData);
  out->insert(out->end(), data, data + len);
  return len;
}

void BM_GifEncode_Giflib(benchmark::State& state) {
  const Bytes& px = photo();
  const size_t npix = size_t(kSide) * kSide;
  size_t out_size = 0;
  for (auto _ : state) {
    Bytes r(npix), g(npix), b(npix), index(npix), out;
    for (size_t i = 0; i < npix; i++) r[i] = px[i * 4], g[i] = px[i * 4 + 1], b[i] = px[i * 4 + 2];
    int colours = 256;
    GifColorType map[256];
    if (GifQuantizeBuffer(kSide, kSide, &colours, r.data(), g.data(), b.data(), index.data(), map) != GIF_OK)
      state.SkipWithError("GifQuantizeBuffer");
    int err = 0;
    GifFileType* f = EGifOpen(&out, write_mem, &err);
    ColorMapObject* cmap = GifMakeMapObject(256, map);
    EGifPutScreenDesc(f, kSide, kSide, 8, 0, cmap);
    EGifPutImageDesc(f, 0, 0, kSide, kSide, false, nullptr);
    for (int y = 0; y < kSide; y++) EGifPutLine(f, index.data() + size_t(y) * kSide, kSide);
    EGifCloseFile(f, &err);
    GifFreeMapObject(cmap);
    out_size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["out_bytes"] = double(out_size);
}
BENCHMARK(BM_GifEncode_Giflib)->Unit(benchmark::kMillisecond);

void BM_GifDecode_Ours(benchmark::State& state) {
  const Bytes gif = our_gif();
  for (auto _ : state) {
    int w = 0, h = 0;
    tq::GIF_ENV env;
    tq::RGB4* p = tq::gif_uncompress(&w, &h, &env, gif.data(), int(gif.size()));
    benchmark::DoNotOptimize(p);
    d_f_ree(p);
  }
}
BENCHMARK(BM_GifDecode_Ours)->Unit(benchmark::kMillisecond);

struct Reader {
  const Bytes* in;
  size_t at;
};

int read_mem(GifFileType* f, GifByteType* data, int len) {
  auto* r = static_cast<Reader*>(f->UserData);
  const size_t n = std::min(size_t(len), r->in->size() - r->at);
  memcpy(data, r->in->data() + r->at, n);
  r->at += n;
  return int(n);
}

void BM_GifDecode_Giflib(benchmark::State& state) {
  const Bytes gif = our_gif();
  for (auto _ : state) {
    Reader r{&gif, 0};
    int err = 0;
    GifFileType* f = DGifOpen(&r, read_mem, &err);
    if (!f || DGifSlurp(f) != GIF_OK) state.SkipWithError("DGifSlurp");
    const SavedImage& im = f->SavedImages[0];
    const GifColorType* map = f->SColorMap->Colors;
    const size_t npix = size_t(im.ImageDesc.Width) * size_t(im.ImageDesc.Height);
    Bytes px(npix * 4);
    for (size_t i = 0; i < npix; i++) {
      const GifColorType& c = map[im.RasterBits[i]];
      px[i * 4] = c.Red, px[i * 4 + 1] = c.Green, px[i * 4 + 2] = c.Blue, px[i * 4 + 3] = 255;
    }
    benchmark::DoNotOptimize(px.data());
    DGifCloseFile(f, &err);
  }
}
BENCHMARK(BM_GifDecode_Giflib)->Unit(benchmark::kMillisecond);

}  // namespace
