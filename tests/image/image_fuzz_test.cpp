// Fuzzing of the three decoders that take outside data: gif_uncompress, LoadJPGFromMemory
// and zlib_uncompress, on truncations and mutations of a corpus (the GIF corpus, JPEG
// fixtures and our own streams, zlib streams of several levels). Each input must decode
// or be refused without reading or writing outside (the asan preset checks that), and
// zlib_uncompress must agree with zlib's own uncompress.
//
// The suite runs a short pass; the long run is disabled:
//   TQ_FUZZ_INPUTS=1000000 test_image --gtest_also_run_disabled_tests --gtest_filter='*Fuzz*Long*'
// (inputs per decoder; seeds are fixed, TQ_FUZZ_SEED changes them).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
#include <sanitizer/common_interface_defs.h>
#endif

#include "image/gif_reader.h"
#include "image/jpeg_glue.h"
#include "image/zlib_glue.h"
#include "image_test_util.h"
#include "platform/d_alloc.h"

using namespace tq;
using imagetest::Bytes;
using imagetest::Lcg;

namespace {

// ------------------------------------------------------------------ corpus and mutation

std::vector<Bytes> gif_corpus() {
  std::vector<Bytes> v;
  std::ifstream f(imagetest::fixture_path("gif/manifest.txt"));
  std::string name;
  int w, h;
  while (f >> name >> w >> h)
    if (imagetest::read_bytes(imagetest::fixture_path("gif/" + name)).size() < 4000)  // small ones mutate densely
      v.push_back(imagetest::fixture("gif/" + name));
  return v;
}

std::vector<Bytes> jpeg_corpus() {
  std::vector<Bytes> v;
  for (const char* n : {"grey", "cmyk_mixed", "progressive", "restart"}) v.push_back(imagetest::fixture(std::string(n) + ".jpg"));
  for (auto [w, h, q] : {std::tuple{8, 8, 80}, std::tuple{33, 17, 30}, std::tuple{40, 24, 95}}) {
    const Bytes px = imagetest::photo(w, h, uint32_t(q));
    int n = 0;
    unsigned char* j = jpeg_compress(&n, px.data(), w, h, q);
    v.emplace_back(j, j + n);
    free(j);
  }
  return v;
}

std::vector<Bytes> zlib_corpus() {
  std::vector<Bytes> v;
  Bytes text;
  Lcg g{5};
  for (int i = 0; i < 3000; i++) text.push_back(uint8_t("abcdefgh \n"[g.below(10)]));
  for (int level : {0, 1, 6, 9}) {
    int n = 0;
    unsigned char* z = zlib_compress(&n, text.data(), int(level == 0 ? 300 : text.size()), level);
    v.emplace_back(z, z + n);
    d_f_ree(z);
  }
  return v;
}

// One to three edits: a cut, byte changes (random, bit flips, telling values), an
// insertion, a deletion, or a span copied from elsewhere.
Bytes mutate(const Bytes& seed, Lcg& g) {
  Bytes b = seed;
  const int edits = 1 + g.below(3);
  for (int e = 0; e < edits && !b.empty(); e++) {
    const size_t at = size_t(g.below(int(b.size())));
    switch (g.below(6)) {
      case 0:
        b.resize(at);
        break;
      case 1:
        for (int k = 1 + g.below(8); k > 0; k--) b[size_t(g.below(int(b.size())))] = g.byte();
        break;
      case 2: {
        static const unsigned char kTelling[] = {0, 1, 0x7F, 0x80, 0xFE, 0xFF, 0x21, 0x2C, 0x3B, 0xF9, 0xD8, 0xD9, 0xDA, 0xC0, 0xC2};
        for (int k = 1 + g.below(4); k > 0; k--) {
          const size_t p = size_t(g.below(int(b.size())));
          b[p] = g.below(2) ? kTelling[g.below(int(sizeof kTelling))] : uint8_t(b[p] ^ (1 << g.below(8)));
        }
        break;
      }
      case 3:
        for (int k = 1 + g.below(16); k > 0; k--) b.insert(b.begin() + long(at), g.byte());
        break;
      case 4:
        b.erase(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + 1 + size_t(g.below(64)))));
        break;
      default: {
        const size_t from = size_t(g.below(int(b.size()))), n = std::min(size_t(1 + g.below(32)), b.size() - from);
        const Bytes span(b.begin() + long(from), b.begin() + long(from + n));
        b.insert(b.begin() + long(at), span.begin(), span.end());
        break;
      }
    }
  }
  return b;
}

// The n-th input of a run: every fourth one is the next truncation of the seeds (all of
// them, in turn, over and over), the others are mutations.
Bytes nth_input(const std::vector<Bytes>& corpus, size_t n, Lcg& g) {
  if (n % 4 == 0) {
    size_t total = 0;
    for (const Bytes& s : corpus) total += s.size();
    size_t k = n / 4 % total;
    for (const Bytes& s : corpus) {
      if (k < s.size()) return Bytes(s.begin(), s.begin() + long(k));
      k -= s.size();
    }
  }
  return mutate(corpus[size_t(g.below(int(corpus.size())))], g);
}

// ------------------------------------------------------------------ targets

// Declared sizes are the reader's to check (gif_reader_test covers the huge ones); here a
// first image of more than 2^20 pixels, which a mutated size byte easily declares, is
// brought down to at most 1023 x 1023 so that each input stays cheap.
void clamp_gif_size(Bytes& b) {
  if (b.size() < 13) return;
  size_t at = 13 + (b[10] & 0x80 ? size_t(3) << ((b[10] & 7) + 1) : 0);
  while (at < b.size() && b[at] == '!') {  // extensions: label, then sub-blocks
    for (at += 2; at < b.size() && b[at] != 0; at += 1 + size_t(b[at])) {
    }
    at++;
  }
  if (at + 9 > b.size() || b[at] != ',') return;
  const int w = b[at + 5] | b[at + 6] << 8, h = b[at + 7] | b[at + 8] << 8;
  if (int64_t(w) * h <= (1 << 20)) return;
  b[at + 6] &= 3;
  b[at + 8] &= 3;
}

int gif_one(const Bytes& given) {
  Bytes in = given;
  clamp_gif_size(in);
  int w = 0, h = 0;
  GIF_ENV env;
  RGB4* p = gif_uncompress(&w, &h, &env, in.data(), int(in.size()));
  if (!p) return 0;
  EXPECT_TRUE(w >= 1 && h >= 1 && int64_t(w) * h * 4 <= INT_MAX);
  volatile unsigned char sink = reinterpret_cast<unsigned char*>(p)[size_t(w) * size_t(h) * 4 - 1];  // all there
  (void)sink;
  d_f_ree(p);
  return 1;
}

// A loader that takes images of at most 2^20 pixels and checks the lines it is asked for.
struct JpegSink {
  Bytes buf;
  int width = 0, height = 0, bpp = 0, next_line = 0;
  bool bad_line = false;
  static int header(LoadJPGInfo* i, void* d) {
    auto* s = static_cast<JpegSink*>(d);
    if (int64_t(i->width) * i->height > (1 << 20)) return 0;
    s->width = i->width, s->height = i->height, s->bpp = i->bpp;
    s->buf.assign(size_t(i->width) * size_t(i->height) * 4, 0);
    return 1;
  }
  static unsigned char* line(int n, void* d) {
    auto* s = static_cast<JpegSink*>(d);
    if (n != s->next_line++ || n >= s->height) s->bad_line = true;
    return s->buf.data() + size_t(n) * size_t(s->width) * (s->bpp == 24 ? 4 : 1);
  }
};

int jpeg_one(const Bytes& in) {
  JpegSink s;
  const int ok = LoadJPGFromMemory(in.data(), int(in.size()), JpegSink::header, JpegSink::line, &s);
  EXPECT_FALSE(s.bad_line);
  if (ok) {
    EXPECT_EQ(s.next_line, s.height);
  }
  return ok;
}

// zlib_uncompress against zlib's uncompress with a buffer far larger than the corpus
// inflates to (a stream that does not fit is not compared).
int zlib_one(const Bytes& in) {
  int len = -1;
  void* p = zlib_uncompress(&len, in.data(), int(in.size()));
  static unsigned char ref[1 << 16];
  uLongf ref_len = sizeof ref;
  const int rc = uncompress(ref, &ref_len, in.data(), uLong(in.size()));
  if (rc == Z_OK) {
    EXPECT_TRUE(p && uLongf(len) == ref_len && memcmp(p, ref, ref_len) == 0) << "zlib accepts, we differ";
  } else if (rc != Z_BUF_ERROR || in.empty()) {
    EXPECT_EQ(p, nullptr) << "zlib refuses (" << rc << "), we accept";
  }
  d_f_ree(p);
  return p != nullptr;
}

// libjpeg's warnings ("Premature end of JPEG file") go to standard error once a decode;
// they are sent to /dev/null for the run, while sanitizer reports keep the real stream.
class QuietStderr {
 public:
  QuietStderr() {
    fflush(stderr);
    saved_ = dup(2);
    const int nul = open("/dev/null", O_WRONLY);
    dup2(nul, 2);
    close(nul);
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
    __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(saved_)));
#endif
  }
  ~QuietStderr() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
    __sanitizer_set_report_fd(reinterpret_cast<void*>(intptr_t(2)));
#endif
  }

 private:
  int saved_;
};

struct Counts {
  size_t inputs = 0, accepted = 0;
};

Counts run(const std::vector<Bytes>& corpus, int (*one)(const Bytes&), size_t inputs, uint32_t seed) {
  Lcg g{seed};
  Counts c;
  for (size_t n = 0; n < inputs && !testing::Test::HasFailure(); n++, c.inputs++) c.accepted += size_t(one(nth_input(corpus, n, g)));
  return c;
}

uint32_t seed_of(uint32_t base) {
  const char* s = getenv("TQ_FUZZ_SEED");
  return s ? base ^ uint32_t(strtoul(s, nullptr, 0)) : base;
}

size_t long_inputs() {
  const char* s = getenv("TQ_FUZZ_INPUTS");
  return s ? size_t(strtoull(s, nullptr, 0)) : 1000000;
}

void report(const char* what, const Counts& c) {
  printf("%s: %zu inputs, %zu decoded\n", what, c.inputs, c.accepted);
}

TEST(ImageFuzz, GifReaderShort) {
  const Counts c = run(gif_corpus(), gif_one, 4000, seed_of(1));
  EXPECT_GT(c.accepted, 0u);
  EXPECT_LT(c.accepted, c.inputs);
}

TEST(ImageFuzz, JpegLoaderShort) {
  QuietStderr quiet;
  const Counts c = run(jpeg_corpus(), jpeg_one, 3000, seed_of(2));
  EXPECT_GT(c.accepted, 0u);
  EXPECT_LT(c.accepted, c.inputs);
}

TEST(ImageFuzz, ZlibUncompressShort) {
  const Counts c = run(zlib_corpus(), zlib_one, 4000, seed_of(3));
  EXPECT_GT(c.accepted, 0u);
  EXPECT_LT(c.accepted, c.inputs);
}

TEST(ImageFuzz, DISABLED_GifReaderLong) { report("gif_uncompress", run(gif_corpus(), gif_one, long_inputs(), seed_of(11))); }

TEST(ImageFuzz, DISABLED_JpegLoaderLong) {
  Counts c;
  {
    QuietStderr quiet;
    c = run(jpeg_corpus(), jpeg_one, long_inputs(), seed_of(12));
  }
  report("LoadJPGFromMemory", c);
}

TEST(ImageFuzz, DISABLED_ZlibUncompressLong) { report("zlib_uncompress", run(zlib_corpus(), zlib_one, long_inputs(), seed_of(13))); }

}  // namespace
