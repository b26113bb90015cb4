// Complex arithmetic and the iterative radix-2 decimation-in-time FFT with cached twiddle
// tables (one per length and direction, made once and never freed).
#include "image/fft.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "stream/format.h"

namespace tq {

COMPLEX addc(COMPLEX a, COMPLEX b) { return {a.im + b.im, a.re + b.re}; }
COMPLEX subc(COMPLEX a, COMPLEX b) { return {a.im - b.im, a.re - b.re}; }
COMPLEX mulc(COMPLEX a, COMPLEX b) { return {a.im * b.re + a.re * b.im, a.re * b.re - a.im * b.im}; }
COMPLEX minus(COMPLEX a) { return {-a.im, -a.re}; }

int upsidedown(int a, int b) {
  int r = 0;
  for (int i = 0; i < b; i++, a >>= 1) r = r << 1 | (a & 1);
  return r;
}

namespace {

constexpr int kMaxBeki = 30;
// [beki][sign < 0]: published once with a compare-and-swap; the loser of a race frees its copy.
std::atomic<COMPLEX*> w_tables[kMaxBeki + 1][2];

int log2_exact(int size) {
  for (int b = 0; b <= kMaxBeki; b++)
    if (size == 1 << b) return b;
  return -1;
}

}  // namespace

const COMPLEX* new_w_list(int size, int sign) {
  int beki = log2_exact(size);
  if (beki < 0) return nullptr;
  std::atomic<COMPLEX*>& slot = w_tables[beki][sign < 0 ? 1 : 0];
  COMPLEX* t = slot.load(std::memory_order_acquire);
  if (t) return t;
  int n = size > 1 ? size / 2 : 1;
  t = static_cast<COMPLEX*>(std::malloc(sizeof(COMPLEX) * size_t(n)));
  if (!t) return nullptr;
  double s = sign < 0 ? -1.0 : 1.0;
  for (int i = 0; i < n; i++) {
    double a = 2 * std::numbers::pi * i / size;
    t[i] = {s * std::sin(a), std::cos(a)};
  }
  COMPLEX* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, t, std::memory_order_acq_rel)) {
    std::free(t);
    t = expected;
  }
  return t;
}

COMPLEX* _fastft(const COMPLEX* list, int beki, int sign) {
  if (beki < 0 || beki > kMaxBeki) return nullptr;
  int n = 1 << beki;
  const COMPLEX* w = new_w_list(n, sign);
  auto* out = static_cast<COMPLEX*>(std::malloc(sizeof(COMPLEX) * size_t(n)));
  if (!w || !out) {
    std::free(out);
    return nullptr;
  }
  // Bit-reversed copy: r is upsidedown(i, beki), stepped by a reversed increment.
  for (int i = 0, r = 0; i < n; i++) {
    out[r] = list[i];
    int bit = n >> 1;
    for (; bit && (r & bit); bit >>= 1) r ^= bit;
    r |= bit;
  }
  for (int half = 1, stride = n / 2; half < n; half *= 2, stride /= 2) {
    for (int k = 0; k < n; k += 2 * half) {
      for (int j = 0; j < half; j++) {
        COMPLEX t = mulc(out[k + j + half], w[j * stride]);
        COMPLEX a = out[k + j];
        out[k + j] = addc(a, t);
        out[k + j + half] = subc(a, t);
      }
    }
  }
  return out;
}

COMPLEX* fastft(const COMPLEX* list, int beki) {
  COMPLEX* out = _fastft(list, beki, -1);
  if (!out) return nullptr;
  double scale = 1.0 / double(1 << beki);  // exact: N is a power of two
  for (int i = 0; i < 1 << beki; i++) out[i] = {out[i].im * scale, out[i].re * scale};
  return out;
}

COMPLEX* fastdft(const COMPLEX* list, int beki) { return _fastft(list, beki, 1); }

void print_all(const COMPLEX* a, int b) {
  ss_printf("a\n");
  for (int i = 0; i < b; i++) ss_printf("\t%i (%f, %f)\n", i, a[i].re, a[i].im);
}

}  // namespace tq
