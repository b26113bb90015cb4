// Text conversion speed against glibc's iconv: decoding and encoding 100 MB of UTF-8 and of
// EUC-JP text (a 1 MB sample converted 100 times), reported as bytes of encoded text per
// second. Ours converts into a fresh debug-heap block each time, as callers do.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "platform/d_alloc.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using tq::L_CHAR;

const size_t kSample = benchsupport::sized(size_t(1) << 20, size_t(1) << 12);
const int kRepeats = benchsupport::sized(100, 1);  // 100 MB per benchmark

// Mixed text: ASCII words, kana and kanji, and (UTF-8 only) accented Latin and emoji.
std::string make_sample(tq::CODE_METHOD* cm, bool unicode) {
  std::vector<L_CHAR> pattern;
  for (const char* w = "The quick brown fox 12345, "; *w; ++w) pattern.push_back(static_cast<unsigned char>(*w));
  for (L_CHAR row = 0x24; row <= 0x25; ++row)
    for (L_CHAR cell = 0x22; cell <= 0x30; ++cell)
      pattern.push_back(unicode ? 0x3040 + (row - 0x24) * 0x60 + cell - 0x20 : tq::LC_JISX0208 | row << 8 | cell);
  for (L_CHAR k = 0; k < 20; ++k) pattern.push_back(unicode ? 0x4E00 + k * 37 : tq::LC_JISX0208 | (0x30 + k) << 8 | (0x21 + k));
  if (unicode)
    for (L_CHAR c : {0xE9u, 0xFCu, 0x3B1u, 0x1F600u, 0x1F680u}) pattern.push_back(c);
  pattern.push_back('\n');
  pattern.push_back(0);
  std::string one = tq::n_string(cm, pattern.data());
  std::string s;
  while (s.size() + one.size() <= kSample) s += one;
  return s;
}

const std::string& utf8_sample() {
  static const std::string s = make_sample(tq::utf8_cm, true);
  return s;
}
const std::string& euc_sample() {
  static const std::string s = make_sample(&tq::euc_cm_rec, false);
  return s;
}

void decode_ours(benchmark::State& state, tq::CODE_METHOD* cm, const std::string& sample) {
  for (auto _ : state) {
    L_CHAR* out = tq::_xx_nl_copy_str_1(cm, sample.c_str(), __FILE__, __LINE__);
    benchmark::DoNotOptimize(out);
    d_f_ree(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sample.size()));
}

void encode_ours(benchmark::State& state, tq::CODE_METHOD* cm, const std::string& sample) {
  L_CHAR* text = tq::_xx_nl_copy_str_1(cm, sample.c_str(), __FILE__, __LINE__);
  for (auto _ : state) {
    char* out = tq::xx_ln_copy_str(cm, text, __FILE__, __LINE__);
    benchmark::DoNotOptimize(out);
    d_f_ree(out);
  }
  d_f_ree(text);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sample.size()));
}

// iconv into (or from) UTF-32 in host order, the nearest thing to L_CHAR it has.
void run_iconv(benchmark::State& state, const char* to, const char* from, const std::string& in_text,
               size_t out_size, size_t reported) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv_open failed");
    return;
  }
  std::vector<char> out(out_size);
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in_text.data());
    size_t il = in_text.size();
    char* op = out.data();
    size_t ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1)) {
      state.SkipWithError("iconv refused the sample");
      break;
    }
    benchmark::DoNotOptimize(op);
  }
  iconv_close(cd);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(reported));
}

std::string utf32_of(const char* from, const std::string& sample) {
  iconv_t cd = iconv_open("UTF-32LE", from);
  std::string out(sample.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(sample.data());
  size_t il = sample.size();
  char* op = out.data();
  size_t ol = out.size();
  iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

void BM_Utf8DecodeOurs(benchmark::State& s) { decode_ours(s, tq::utf8_cm, utf8_sample()); }
void BM_Utf8DecodeIconv(benchmark::State& s) {
  run_iconv(s, "UTF-32LE", "UTF-8", utf8_sample(), utf8_sample().size() * 4 + 16, utf8_sample().size());
}
void BM_Utf8EncodeOurs(benchmark::State& s) { encode_ours(s, tq::utf8_cm, utf8_sample()); }
void BM_Utf8EncodeIconv(benchmark::State& s) {
  static const std::string wide = utf32_of("UTF-8", utf8_sample());
  run_iconv(s, "UTF-8", "UTF-32LE", wide, utf8_sample().size() + 16, utf8_sample().size());
}
void BM_EucJpDecodeOurs(benchmark::State& s) { decode_ours(s, &tq::euc_cm_rec, euc_sample()); }
void BM_EucJpDecodeIconv(benchmark::State& s) {
  run_iconv(s, "UTF-32LE", "EUC-JP", euc_sample(), euc_sample().size() * 4 + 16, euc_sample().size());
}
void BM_EucJpEncodeOurs(benchmark::State& s) { encode_ours(s, &tq::euc_cm_rec, euc_sample()); }
void BM_EucJpEncodeIconv(benchmark::State& s) {
  static const std::string wide = utf32_of("EUC-JP", euc_sample());
  run_iconv(s, "EUC-JP", "UTF-32LE", wide, euc_sample().size() + 16, euc_sample().size());
}

BENCHMARK(BM_Utf8DecodeOurs)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Utf8DecodeIconv)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Utf8EncodeOurs)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Utf8EncodeIconv)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EucJpDecodeOurs)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EucJpDecodeIconv)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EucJpEncodeOurs)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EucJpEncodeIconv)->Iterations(kRepeats)->Unit(benchmark::kMillisecond);

}  // namespace
