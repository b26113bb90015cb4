// The system's character: one 32-bit L_CHAR per element, strings end in 0. Values below
// 0x80000000 are UCS code points; larger values carry a character-set tag in their top bits,
// so text from several encodings can be mixed in one string without loss.
#pragma once
#include <cstdint>

namespace tq {

using L_CHAR = uint32_t;

inline constexpr L_CHAR LC_NO_CHAR = 0xDFFFFFFF;  // "no character": end marks and failed conversions
inline constexpr L_CHAR LC_CM_FIRST = 0xDFFF0000; // 0xDFFF0000..0xDFFFFFFE name code methods, never text
inline constexpr L_CHAR LC_JISX0208 = 0xC0010000; // tag of JIS X 0208: row byte << 8 | cell byte

// The class mask of a character: its set is ch & mask, its code within the set ch & ~mask.
//   0xxx... plain UCS (31-bit code)      10xx... 24-bit code      110x... 16-bit code
//   1110... 8-bit code                   1111... 7-bit code
constexpr L_CHAR get_lc_mask(L_CHAR ch) {
  if ((ch & 0x80000000u) == 0) return 0x80000000u;
  if ((ch & 0x40000000u) == 0) return 0xFF000000u;
  if ((ch & 0x20000000u) == 0) return 0xFFFF0000u;
  if ((ch & 0x10000000u) == 0) return 0xFFFFFF00u;
  return 0xFFFFFF80u;
}

// The set (tag) a character belongs to; 0 for UCS.
constexpr L_CHAR lc_set_of(L_CHAR ch) { return ch & get_lc_mask(ch); }

// A JIS X 0208 character whose row and cell both lie in 0x21..0x7E: the only ones any of
// the Japanese encodings can write.
constexpr bool is_jis_x0208(L_CHAR ch) {
  if ((ch & 0xFFFF0000u) != LC_JISX0208) return false;
  L_CHAR row = ch >> 8 & 0xFF, cell = ch & 0xFF;
  return row >= 0x21 && row <= 0x7E && cell >= 0x21 && cell <= 0x7E;
}

// One entry of a character-set list; lists end with lcz == LC_NO_CHAR. A character belongs
// to an entry when it equals lcz, or agrees with lcz on every bit of mask | get_lc_mask(ch).
struct lcz_set {
  L_CHAR lcz;
  L_CHAR mask;
};
using LCZ_SET = lcz_set;

constexpr bool lcz_member(L_CHAR ch, const LCZ_SET& e) {
  return ch == e.lcz || ((ch ^ e.lcz) & (e.mask | get_lc_mask(ch))) == 0;
}

}  // namespace tq
