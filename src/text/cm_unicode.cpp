// The Unicode code methods: UCS-4 and UTF-16 (byte order from a mark, big-endian without
// one, written big-endian after a mark) and UTF-8 (lengths up to six bytes, so every
// 31-bit code point round-trips). Bytes that do not complete a character are absorbed.
#include "platform/d_alloc.h"
#include "text/code_method.h"

namespace tq {

namespace {

constexpr unsigned char kOrderUnknown = 255;
// U+FFFE (a noncharacter) is written by neither UCS-4 nor UTF-16: a reader takes it for a
// byte-swapped mark and would read the rest of the text in the wrong order.
constexpr L_CHAR kReversedMark = 0xFFFE;

struct ucs4_work {
  unsigned char buf[4];
  unsigned char co[4];  // left shift of byte i; kOrderUnknown until the order is known
  int len;
  int out_start;        // 1 once the mark has been written
};
struct utf16_work {
  unsigned char buf[2];
  unsigned char co[2];
  L_CHAR d;             // held surrogate
  int d_sts;            // 1 while one is held
  int len;
  int out_start;
};
struct utf8_work {
  unsigned char buf[6];
  int byte;             // expected length of the sequence, 0 between characters
  int len;
};

constexpr LCZ_SET kUcsMain[] = {{0, 0x80000000}, {LC_NO_CHAR, 0}};

void set_shifts(unsigned char* co, unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  co[0] = a;
  co[1] = b;
  co[2] = c;
  co[3] = d;
}

bool is_high_surrogate(L_CHAR u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_surrogate(L_CHAR u) { return u >= 0xD800 && u <= 0xDFFF; }

void put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

}  // namespace

// ---- UCS-4

void* open_ucs4() {
  auto* w = static_cast<ucs4_work*>(d_calloc(1, sizeof(ucs4_work)));
  set_shifts(w->co, kOrderUnknown, kOrderUnknown, kOrderUnknown, kOrderUnknown);
  return w;
}

int close_ucs4(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int ucs42int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<ucs4_work*>(work);
  w->buf[w->len++] = b;
  if (w->len < 4) return 0;
  w->len = 0;
  const unsigned char* p = w->buf;
  L_CHAR be = L_CHAR(p[0]) << 24 | L_CHAR(p[1]) << 16 | L_CHAR(p[2]) << 8 | p[3];
  switch (be) {  // a byte-order mark, wherever it stands, sets the order and is absorbed
    case 0x0000FEFF: set_shifts(w->co, 24, 16, 8, 0); return 0;
    case 0x0000FFFE: set_shifts(w->co, 16, 24, 0, 8); return 0;
    case 0xFEFF0000: set_shifts(w->co, 8, 0, 24, 16); return 0;
    case 0xFFFE0000: set_shifts(w->co, 0, 8, 16, 24); return 0;
    default: break;
  }
  L_CHAR ch;
  if (w->co[0] == kOrderUnknown) {
    set_shifts(w->co, 24, 16, 8, 0);
    ch = be;
  } else {
    ch = L_CHAR(p[0]) << w->co[0] | L_CHAR(p[1]) << w->co[1] | L_CHAR(p[2]) << w->co[2] |
         L_CHAR(p[3]) << w->co[3];
  }
  if (ch == LC_NO_CHAR) return 0;
  *ret = ch;
  return 1;
}

int int2ucs4(unsigned char* ret, void* work, L_CHAR ch) {
  auto* w = static_cast<ucs4_work*>(work);
  if ((ch & 0x80000000u) || ch == kReversedMark) return 0;
  int n = 0;
  if (!w->out_start) {
    w->out_start = 1;
    put16(ret, 0);
    put16(ret + 2, 0xFEFF);
    n = 4;
  }
  put16(ret + n, ch >> 16);
  put16(ret + n + 2, ch & 0xFFFF);
  return n + 4;
}

// ---- UTF-16

void* open_utf16() {
  auto* w = static_cast<utf16_work*>(d_calloc(1, sizeof(utf16_work)));
  w->co[0] = w->co[1] = kOrderUnknown;
  return w;
}

int close_utf16(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int utf162int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<utf16_work*>(work);
  w->buf[w->len++] = b;
  if (w->len < 2) return 0;
  w->len = 0;
  unsigned be = unsigned(w->buf[0]) << 8 | w->buf[1];
  if (be == 0xFEFF || be == 0xFFFE) {  // a mark: sets the order, drops a held surrogate
    w->co[0] = be == 0xFEFF ? 8 : 0;
    w->co[1] = be == 0xFEFF ? 0 : 8;
    w->d_sts = 0;
    return 0;
  }
  if (w->co[0] == kOrderUnknown) {
    w->co[0] = 8;
    w->co[1] = 0;
  }
  L_CHAR u = L_CHAR(w->buf[0]) << w->co[0] | L_CHAR(w->buf[1]) << w->co[1];
  if (!is_surrogate(u)) {
    w->d_sts = 0;  // a surrogate held alone is lost
    *ret = u;
    return 1;
  }
  // A high and a low surrogate combine in either order; a second one of the same kind
  // replaces the held one, which had no partner.
  if (!w->d_sts || is_high_surrogate(w->d) == is_high_surrogate(u)) {
    w->d = u;
    w->d_sts = 1;
    return 0;
  }
  L_CHAR high = is_high_surrogate(u) ? u : w->d;
  L_CHAR low = is_high_surrogate(u) ? w->d : u;
  w->d_sts = 0;
  *ret = ((high & 0x3FF) << 10 | (low & 0x3FF)) + 0x10000;
  return 1;
}

int int2utf16(unsigned char* ret, void* work, L_CHAR ch) {
  auto* w = static_cast<utf16_work*>(work);
  // A lone surrogate code point has no UTF-16 form: written as one, it would pair up with a
  // neighbour or vanish when read back.
  if (ch > 0x10FFFF || is_surrogate(ch) || ch == kReversedMark) return 0;
  int n = 0;
  if (!w->out_start) {
    w->out_start = 1;
    put16(ret, 0xFEFF);
    n = 2;
  }
  if (ch < 0x10000) {
    put16(ret + n, ch);
    return n + 2;
  }
  put16(ret + n, 0xD800 | ((ch - 0x10000) >> 10 & 0x3FF));
  put16(ret + n + 2, 0xDC00 | (ch & 0x3FF));
  return n + 4;
}

// ---- UTF-8

void* open_utf8() { return d_calloc(1, sizeof(utf8_work)); }

int close_utf8(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

namespace {

// Expected sequence length of a first byte; 1 for ASCII, 0 for a byte that starts nothing.
int utf8_length(unsigned char b) {
  if (b < 0x80) return 1;
  if (b < 0xC0) return 0;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF8) return 4;
  if (b < 0xFC) return 5;
  if (b < 0xFE) return 6;
  return 0;
}

// The smallest code point each length may carry: shorter forms are overlong and rejected,
// so no character has two spellings (an overlong "/" must not slip past a path check).
constexpr L_CHAR kUtf8Min[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
constexpr unsigned char kUtf8LeadMask[7] = {0, 0x7F, 0x1F, 0x0F, 0x07, 0x03, 0x01};

}  // namespace

int utf82int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<utf8_work*>(work);
  if (w->byte && (b & 0xC0) != 0x80) w->byte = 0;  // sequence cut short: read b afresh
  if (!w->byte) {
    int n = utf8_length(b);
    if (n == 1) {
      *ret = b;
      return 1;
    }
    if (n == 0) return 0;  // stray continuation byte, 0xFE or 0xFF
    w->byte = n;
    w->buf[0] = b;
    w->len = 1;
    return 0;
  }
  w->buf[w->len++] = b;
  if (w->len < w->byte) return 0;
  int n = w->byte;
  w->byte = 0;
  L_CHAR ch = w->buf[0] & kUtf8LeadMask[n];
  for (int i = 1; i < n; ++i) ch = ch << 6 | (w->buf[i] & 0x3F);
  if (ch < kUtf8Min[n]) return 0;
  *ret = ch;
  return 1;
}

int int2utf8(unsigned char* ret, void*, L_CHAR ch) {
  if (ch >= 0xC0060000 && ch <= 0xC011FFFF) ch &= 0xFFFF;  // the family's UCS-coded sets
  if (ch < 0x80) {
    ret[0] = static_cast<unsigned char>(ch);
    return 1;
  }
  if (ch & 0x80000000u) return 0;
  int n;
  unsigned char lead;
  if (ch < 0x800) {
    n = 2;
    lead = 0xC0;
  } else if (ch < 0x10000) {
    n = 3;
    lead = 0xE0;
  } else if (ch < 0x200000) {
    n = 4;
    lead = 0xF0;
  } else if (ch < 0x4000000) {
    n = 5;
    lead = 0xF8;
  } else {
    n = 6;
    lead = 0xFC;
  }
  for (int i = n - 1; i > 0; --i) {
    ret[i] = static_cast<unsigned char>(0x80 | (ch & 0x3F));
    ch >>= 6;
  }
  ret[0] = static_cast<unsigned char>(lead | (ch & kUtf8LeadMask[n]));
  return n;
}

CODE_METHOD ucs4_cm_rec = {"UCS-4", 0xDFFF0014, kUcsMain, 8, 0, {0, 0},
                           open_ucs4, close_ucs4, ucs42int, int2ucs4, nullptr};
CODE_METHOD utf16_cm_rec = {"UTF-16", 0xDFFF0017, kUcsMain, 6, 0, {0, 0},
                            open_utf16, close_utf16, utf162int, int2utf16, nullptr};
CODE_METHOD utf8_cm_rec = {"UTF-8", 0xDFFF0016, kUcsMain, 6, 0, {0, 0},
                           open_utf8, close_utf8, utf82int, int2utf8, nullptr};

}  // namespace tq
