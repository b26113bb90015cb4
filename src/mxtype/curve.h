// Storing level sums and differences into elements: clamping to the element type's range
// (round_int), and the difference curve, a fixed odd-symmetric cubic code that packs a
// difference of two 8-bit values (-255..255) into one byte, exact near 0 and coarser
// towards the ends. Code byte i stands for rint(k x^3 + x) with x = i - 127.5; no code
// stands for 0 (127 is -1, 128 is +1), and a difference without a code takes the code of
// the next lower difference that has one.
//
// The two tables are built once, on first use, by a thread-safe initialiser, and never
// change afterwards.
#pragma once
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tq {

// The level options of mxAdd and mxDiff.
enum : int { MX_OPT_NONE = 0, MX_OPT_TRUNC = 1, MX_OPT_CURVE = 2 };

// The cubic's constant: the double whose bits are 3F10203040506071.
inline constexpr uint64_t kMxCurveKBits = 0x3F10203040506071ull;

// The difference code byte `in` stands for (-255..255).
int16_t __uchar2short(uint8_t in);
// The code byte of difference `in`: 255 above 255, 0 below -255, else from the table.
uint8_t __short2uchar(int16_t in);
// The tables themselves: 256 differences by code, and 511 codes by difference + 255.
const int16_t* mx_curve_decode_table();
const uint8_t* mx_curve_encode_table();

// The code of difference in from the coding table enc (mx_curve_encode_table()).
inline uint8_t mx_curve_code(const uint8_t* enc, int16_t in) {
  if (in > 255) return 255;
  if (in < -255) return 0;
  return enc[in + 255];
}

// org clamped to -2^(size-1) .. 2^(size-1)-1 (size 1..64).
inline int64_t signed_convert(int64_t org, int size) {
  if (size >= 64) return org;
  const int64_t hi = (int64_t(1) << (size - 1)) - 1;
  const int64_t lo = -hi - 1;
  return org > hi ? hi : org < lo ? lo : org;
}
// org clamped to 0 .. 2^size-1 (size 1..64; 64 keeps the non-negative values).
inline int64_t mx_clamp_unsigned(int64_t org, int size) {
  const int64_t hi = size >= 63 ? INT64_MAX : (int64_t(1) << size) - 1;
  return org > hi ? hi : org < 0 ? 0 : org;
}
// For opt 0 or 1, org clamped to 0 .. 2^size-1; for opt 2 the curve code of the low 16
// bits of org as a signed difference; any other opt ends the process ("unsigned_convert").
int64_t unsigned_convert(int64_t org, int size, int opt);

// The value round_int stores into an element of type T (bit elements are uint8_t and take
// is_bit). Only uint8 honours opt.
template <class T>
T mx_round(int64_t org, int opt, bool is_bit = false) {
  if constexpr (std::is_floating_point_v<T>) {
    return T(org);
  } else if constexpr (sizeof(T) == 8) {
    return T(org);
  } else if constexpr (std::is_signed_v<T>) {
    return T(signed_convert(org, 8 * sizeof(T)));
  } else if (is_bit) {
    return T(org != 0);
  } else if constexpr (sizeof(T) == 1) {
    return T(opt == MX_OPT_NONE || opt == MX_OPT_TRUNC ? mx_clamp_unsigned(org, 8) : unsigned_convert(org, 8, opt));
  } else {
    return T(mx_clamp_unsigned(org, 8 * sizeof(T)));
  }
}

// Stores org into the element at dest whose type is the low 4 bits of `type` (a vector
// code selects its scalar): bit, the integers clamped (mx_round), float and double the
// nearest value. Codes 0 and 12..15 write nothing.
void round_int(int type, void* dest, int64_t org, int opt);

}  // namespace tq
