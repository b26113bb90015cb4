// The Japanese code methods: EUC-JP, Shift_JIS and 7-bit JIS (ISO-2022 style), all mapping
// JIS X 0208 to the tag 0xC0010000 with row << 8 | cell, and ASCII to itself.
// Malformed input is absorbed without losing the byte that revealed it: a byte that cannot
// continue a held lead byte drops the lead and is read afresh.
#include <array>

#include "platform/d_alloc.h"
#include "text/code_method.h"

namespace tq {

namespace {

struct euc_work {
  unsigned char buf;  // held lead byte, 0 when none
  int skip;           // bytes still to absorb of a three-byte (JIS X 0212) sequence
};
struct sjis_work {
  unsigned char buf;
};
struct jis_work {
  int in_mode;  // state of the reading machine
  int out_mode; // 0 single-byte, 4 double-byte
  unsigned char in_buf;
};

constexpr LCZ_SET kJapaneseMain[] = {{LC_JISX0208, 0}, {0, 0xFFFFFF80}, {LC_NO_CHAR, 0}};
constexpr LCZ_SET kSjisMain[] = {{0, 0xFFFFFF80}, {LC_JISX0208, 0}, {LC_NO_CHAR, 0}};

constexpr bool in_range(unsigned b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; }

// A JIS X 0208 character from row and cell, or LC_NO_CHAR when either is outside 0x21..0x7E.
constexpr L_CHAR jis_char(int row, int cell) {
  if (!in_range(unsigned(row), 0x21, 0x7E) || !in_range(unsigned(cell), 0x21, 0x7E)) return LC_NO_CHAR;
  return LC_JISX0208 | L_CHAR(row) << 8 | L_CHAR(cell);
}

int emit(L_CHAR* ret, L_CHAR ch) {
  if (ch == LC_NO_CHAR) return 0;
  *ret = ch;
  return 1;
}

}  // namespace

// ---- EUC-JP

void* open_euc() { return d_calloc(1, sizeof(euc_work)); }

int close_euc(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int euc2int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<euc_work*>(work);
  if (b < 0x80) {  // never part of a multi-byte code: ends whatever was pending
    w->buf = 0;
    w->skip = 0;
    *ret = b;
    return 1;
  }
  if (w->skip) {  // no set of ours holds JIS X 0212: the sequence is absorbed whole
    --w->skip;
    return 0;
  }
  unsigned char h = w->buf;
  if (h == 0) {
    if (b == 0x8F)
      w->skip = 2;
    else if (b == 0x8E || in_range(b, 0xA1, 0xFE))
      w->buf = b;
    return 0;
  }
  w->buf = 0;
  if (h == 0x8E) return emit(ret, hankaku2zenkaku(b));  // single shift 2: half-width katakana
  if (in_range(b, 0xA1, 0xFE)) return emit(ret, jis_char(h & 0x7F, b & 0x7F));
  return euc2int(ret, work, b);  // not a trail byte: read it as a first byte
}

int int2euc(unsigned char* ret, void*, L_CHAR ch) {
  if (ch < 0x80) {
    ret[0] = static_cast<unsigned char>(ch);
    return 1;
  }
  if (!is_jis_x0208(ch)) return 0;
  ret[0] = static_cast<unsigned char>((ch >> 8 & 0xFF) | 0x80);
  ret[1] = static_cast<unsigned char>((ch & 0xFF) | 0x80);
  return 2;
}

// ---- Shift_JIS

void* open_sjis() { return d_calloc(1, sizeof(sjis_work)); }

int close_sjis(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int sjis2int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<sjis_work*>(work);
  unsigned char h = w->buf;
  if (h == 0) {
    if (b < 0x80) {
      *ret = b;
      return 1;
    }
    // Lead bytes open a pair; single-byte katakana and unused bytes are absorbed alone.
    if (in_range(b, 0x81, 0x9F) || in_range(b, 0xE0, 0xFC)) w->buf = b;
    return 0;
  }
  w->buf = 0;
  if (!in_range(b, 0x40, 0x7E) && !in_range(b, 0x80, 0xFC)) return sjis2int(ret, work, b);
  int r = (h < 0xA0 ? h - 0x71 : h - 0xB1) * 2 + 1;
  int c = b >= 0x80 ? b - 1 : b;
  if (c > 0x9D) return emit(ret, jis_char(r + 1, c - 0x7D));
  return emit(ret, jis_char(r, c - 0x1F));
}

int int2sjis(unsigned char* ret, void*, L_CHAR ch) {
  if (ch < 0x80) {
    ret[0] = static_cast<unsigned char>(ch);
    return 1;
  }
  if (!is_jis_x0208(ch)) return 0;
  int j1 = ch >> 8 & 0xFF, j2 = ch & 0xFF;
  int half = (j1 - 0x21) >> 1;
  ret[0] = static_cast<unsigned char>(half + (half >= 31 ? 0xC1 : 0x81));
  int second = (j1 & 1) ? j2 + 0x1F : j2 + 0x7D;
  if (second > 0x7E) ++second;
  ret[1] = static_cast<unsigned char>(second);
  return 2;
}

// ---- JIS: a state machine over a constant transition table of 8 states by 256 bytes.
//   0 single-byte   1 ESC   2 ESC $   3 ESC $ B done
//   4 double-byte   5 ESC   6 ESC (   7 ESC ( J or ESC ( B done

namespace {

using JisTable = std::array<std::array<unsigned char, 256>, 8>;

constexpr JisTable make_jis_table() {
  JisTable t{};
  constexpr unsigned char kDefault[8] = {0, 0, 0, 4, 4, 4, 4, 0};
  for (int s = 0; s < 8; ++s)
    for (int b = 0; b < 256; ++b) t[s][b] = kDefault[s];
  t[0][0x1B] = 1;
  t[1][0x24] = 2;
  t[2][0x42] = 3;
  t[4][0x1B] = 5;
  t[5][0x28] = 6;
  t[6][0x4A] = 7;
  t[6][0x42] = 7;
  // An escape right after a completed one starts the next shift instead of being text.
  t[3][0x1B] = 5;
  t[7][0x1B] = 1;
  return t;
}
constexpr JisTable kJisTable = make_jis_table();

}  // namespace

void* open_jis() { return d_calloc(1, sizeof(jis_work)); }

int close_jis(unsigned char* ret, void* work) {
  auto* w = static_cast<jis_work*>(work);
  int n = 0;
  if (ret && w->out_mode == 4) {
    ret[0] = 0x1B;
    ret[1] = 0x28;
    ret[2] = 0x4A;
    n = 3;
  }
  d_f_ree(work);
  return n;
}

int jis2int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<jis_work*>(work);
  int state = kJisTable[w->in_mode][b];
  w->in_mode = state;
  if (state == 0) {
    w->in_buf = 0;
    *ret = b;
    return 1;
  }
  if (state != 4) return 0;
  if (w->in_buf) {
    unsigned char h = w->in_buf;
    w->in_buf = 0;
    if (in_range(b, 0x21, 0x7E)) return emit(ret, jis_char(h, b));
    // A pair cut short: the lead is lost, a control or blank still counts.
  }
  if (b > 0x20) {
    if (in_range(b, 0x21, 0x7E)) w->in_buf = b;  // bytes above 0x7E have no place in 7-bit JIS
    return 0;
  }
  *ret = b;
  return 1;
}

int int2jis(unsigned char* ret, void* work, L_CHAR ch) {
  auto* w = static_cast<jis_work*>(work);
  if (is_jis_x0208(ch)) {
    int n = 0;
    if (w->out_mode == 0) {
      ret[n++] = 0x1B;
      ret[n++] = 0x24;
      ret[n++] = 0x42;
      w->out_mode = 4;
    }
    ret[n++] = static_cast<unsigned char>(ch >> 8 & 0xFF);
    ret[n++] = static_cast<unsigned char>(ch & 0xFF);
    return n;
  }
  // ESC would be read back as the start of a shift: it cannot be written as a character.
  if (ch >= 0x80 || ch == 0x1B) return 0;
  if (w->out_mode == 0 || (ch < 0x21 && ch != '\n' && ch != '\r')) {
    ret[0] = static_cast<unsigned char>(ch);
    return 1;
  }
  ret[0] = 0x1B;
  ret[1] = 0x28;
  ret[2] = 0x4A;
  ret[3] = static_cast<unsigned char>(ch);
  w->out_mode = 0;
  return 4;
}

CODE_METHOD euc_cm_rec = {"EUC-JP", 0xDFFF0308, kJapaneseMain, 2, 0, {0, 0},
                          open_euc, close_euc, euc2int, int2euc, nullptr};
CODE_METHOD sjis_cm_rec = {"SHIFT_JIS", 0xDFFF0309, kSjisMain, 2, 0, {0, 0},
                           open_sjis, close_sjis, sjis2int, int2sjis, nullptr};
CODE_METHOD jis_cm_rec = {"JIS", 0xDFFF0305, kJapaneseMain, 5, 3, {0, 0},
                          open_jis, close_jis, jis2int, int2jis, nullptr};

}  // namespace tq
