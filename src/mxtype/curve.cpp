// Clamping of level results into elements, and the difference curve's two tables.
#include "mxtype/curve.h"

#include <cmath>

#include "platform/startup.h"

namespace tq {

namespace {

struct CurveTables {
  int16_t decode[256];  // the difference of each code byte
  uint8_t encode[512];  // the code of each difference + 255 (entries 0..510)
};

CurveTables build_tables() {
  CurveTables t{};
  bool set[512] = {};
  double k;
  memcpy(&k, &kMxCurveKBits, sizeof k);
  for (int i = 0; i < 256; ++i) {
    const double x = i - 127.5;
    const double y = ((k * x) * x) * x + x;  // kept as written: no fused multiply-add
    const auto d = int16_t(std::rint(y));
    t.decode[i] = d;
    t.encode[d + 255] = uint8_t(i);
    set[d + 255] = true;
  }
  uint8_t last = 0;  // a difference without a code takes the one below it
  for (int d = 0; d <= 510; ++d) {
    if (set[d])
      last = t.encode[d];
    else
      t.encode[d] = last;
  }
  return t;
}

const CurveTables& tables() {
  static const CurveTables t = build_tables();
  return t;
}

template <class T>
void put(void* dest, T v) {
  memcpy(dest, &v, sizeof v);
}

}  // namespace

const int16_t* mx_curve_decode_table() { return tables().decode; }
const uint8_t* mx_curve_encode_table() { return tables().encode; }

int16_t __uchar2short(uint8_t in) { return tables().decode[in]; }

uint8_t __short2uchar(int16_t in) { return mx_curve_code(tables().encode, in); }

int64_t unsigned_convert(int64_t org, int size, int opt) {
  switch (opt) {
    case MX_OPT_NONE:
    case MX_OPT_TRUNC:
      return mx_clamp_unsigned(org, size);
    case MX_OPT_CURVE:
      return __short2uchar(int16_t(uint16_t(uint64_t(org))));
    default:
      er_panic("unsigned_convert");
  }
}

void round_int(int type, void* dest, int64_t org, int opt) {
  switch (type & 0xF) {
    case 1: return put(dest, mx_round<uint8_t>(org, opt, true));
    case 2: return put(dest, mx_round<int8_t>(org, opt));
    case 3: return put(dest, mx_round<int16_t>(org, opt));
    case 4: return put(dest, mx_round<int32_t>(org, opt));
    case 5: return put(dest, mx_round<int64_t>(org, opt));
    case 6: return put(dest, mx_round<uint8_t>(org, opt));
    case 7: return put(dest, mx_round<uint16_t>(org, opt));
    case 8: return put(dest, mx_round<uint32_t>(org, opt));
    case 9: return put(dest, mx_round<uint64_t>(org, opt));
    case 10: return put(dest, mx_round<float>(org, opt));
    case 11: return put(dest, mx_round<double>(org, opt));
    default: return;  // rgb8 and the others keep their own element operations
  }
}

}  // namespace tq
