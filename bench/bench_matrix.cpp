// The matrix store's foundations against plain alternatives: the block pool of an access
// cache against malloc/free under an interpolation-like pattern (many short-lived blocks of
// 64 bytes to 4 KiB, a few alive at a time), and the variable-length number code against a
// plain signed LEB128 loop, in numbers encoded and decoded per second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "matrix/mx_cache.h"
#include "matrix/mx_code.h"

namespace {

constexpr int kLive = 8;       // blocks alive at a time
constexpr int kSteps = 4096;   // allocations per iteration

// The sizes and the slot each step replaces, fixed by a seed.
struct Pattern {
  std::vector<int> size, slot;
  Pattern() {
    std::mt19937 rnd(7);
    for (int i = 0; i < kSteps; ++i) {
      size.push_back(64 << (rnd() % 7));  // 64 .. 4096
      slot.push_back(int(rnd() % kLive));
    }
  }
};
const Pattern& pattern() {
  static Pattern p;
  return p;
}

template <class Alloc, class Free>
void run_pattern(benchmark::State& state, Alloc alloc, Free release) {
  const Pattern& p = pattern();
  void* live[kLive] = {};
  for (auto _ : state) {
    for (int i = 0; i < kSteps; ++i) {
      void*& s = live[p.slot[i]];
      release(s);
      s = alloc(p.size[i]);
      static_cast<char*>(s)[0] = char(i);  // touch it, as a datum header would be
    }
    benchmark::ClobberMemory();
  }
  for (void*& s : live) release(s);
  state.SetItemsProcessed(state.iterations() * kSteps);
}

void BM_BlockPool(benchmark::State& state) {
  tq::MX_CACHE c{};
  tq::mxc_setup(&c);
  run_pattern(
      state, [&](int size) { return mxc_alloc(&c, size); }, [&](void* p) { mxc_free(&c, p); });
  tq::flush_mx_cache(&c, 1);
}
BENCHMARK(BM_BlockPool);

void BM_MallocFree(benchmark::State& state) {
  run_pattern(state, [](int size) { return malloc(size_t(size)); }, [](void* p) { free(p); });
}
BENCHMARK(BM_MallocFree);

// Numbers over every class: random bit lengths 0..64, both signs.
const std::vector<int64_t>& numbers() {
  static std::vector<int64_t> v = [] {
    std::mt19937_64 rnd(11);
    std::vector<int64_t> out;
    for (int i = 0; i < 4096; ++i) {
      const int bits = int(rnd() % 65);
      const uint64_t mag = bits == 0 ? 0 : bits == 64 ? rnd() : rnd() & ((uint64_t(1) << bits) - 1);
      out.push_back(rnd() & 1 ? -int64_t(mag >> 1) : int64_t(mag >> 1));
    }
    return out;
  }();
  return v;
}

template <class Encode, class Decode>
void run_codec(benchmark::State& state, Encode encode, Decode decode) {
  const std::vector<int64_t>& in = numbers();
  std::vector<uint8_t> buf(in.size() * 10);
  uint64_t sum = 0;  // wraps: only kept from being optimised away
  for (auto _ : state) {
    uint8_t* p = buf.data();
    for (int64_t v : in) p = encode(p, v);
    const uint8_t* q = buf.data();
    for (size_t i = 0; i < in.size(); ++i) {
      int64_t v;
      q = decode(&v, q);
      sum += uint64_t(v);
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * int64_t(in.size()));
}

void BM_MxCode(benchmark::State& state) {
  run_codec(state, tq::get_compressed_code64, tq::get_uncompressed_code64);
}
BENCHMARK(BM_MxCode);

uint8_t* sleb128_put(uint8_t* p, int64_t v) {
  for (;;) {
    const uint8_t byte = v & 0x7F;
    v >>= 7;
    if ((v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40))) {
      *p++ = byte;
      return p;
    }
    *p++ = byte | 0x80;
  }
}
const uint8_t* sleb128_get(int64_t* out, const uint8_t* p) {
  uint64_t v = 0;
  int shift = 0;
  uint8_t byte;
  do {
    byte = *p++;
    v |= uint64_t(byte & 0x7F) << shift;
    shift += 7;
  } while (byte & 0x80);
  if (shift < 64 && (byte & 0x40)) v |= ~uint64_t(0) << shift;
  *out = int64_t(v);
  return p;
}

void BM_Leb128(benchmark::State& state) { run_codec(state, sleb128_put, sleb128_get); }
BENCHMARK(BM_Leb128);

}  // namespace
