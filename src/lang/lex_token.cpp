// The S-expression token makers: strings, symbols, error literals, numbers with units and
// raw byte blocks, made from the text the state machine gathered. Also the number
// conversions that the markup makers share.
#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lang/gc.h"
#include "lang/lex.h"
#include "text/l_string.h"
#include "platform/startup.h"

namespace tq {

void* (*lex_raw_realloc)(void* p, size_t size) = std::realloc;

TQ_SEXP* lex_cell(TQ_FILE* f, int32_t type) {
  if (!holds_mem_lock()) er_panic("lex_cell");
  return get_sexp(f, type);
}

namespace {

bool is_digit(L_CHAR c) { return c >= '0' && c <= '9'; }

// The token buffer as the unit of a number: the characters from `from` on, moved to the
// front; null (and the buffer dropped) when there are none.
L_CHAR* take_unit(TQ_FILE* f, int from) {
  const int n = f->yylen - from;
  if (n <= 0) {
    reset_yytext(f);
    return nullptr;
  }
  std::memmove(f->yytext, f->yytext + from, size_t(n) * sizeof(L_CHAR));
  f->yylen = n;
  return take_yytext(f);
}

int make_integer(TQ_FILE* f, int64_t v, int numeric_end) {
  L_CHAR* unit = take_unit(f, numeric_end);
  TQ_SEXP* c = lex_cell(f, kTagInteger);
  c->integer.data = v;
  c->integer.unit = unit;
  set_reader_field(f->sexp, c);
  return kTokDatum;
}

int make_float(TQ_FILE* f, double v, int numeric_end) {
  L_CHAR* unit = take_unit(f, numeric_end);
  TQ_SEXP* c = lex_cell(f, kTagFloat);
  c->floating.data = v;
  c->floating.unit = unit;
  set_reader_field(f->sexp, c);
  return kTokDatum;
}

// Octal or hexadecimal: an optional sign, "0x" and hex digits, or "0" and octal digits.
int token_oct_hex(TQ_FILE* f) {
  const L_CHAR* t = f->yytext;
  int i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
  ++i;  // the zero
  if (t[i] == 'x' || t[i] == 'X') {
    ++i;
    while (lex_hex_digit(t[i]) >= 0) ++i;
  } else {
    while (t[i] >= '0' && t[i] <= '7') ++i;
  }
  return make_integer(f, lex_scan_integer(t, i), i);
}

// Decimal: the longest prefix of signs, full stops and digits; a float when it holds a
// full stop. The value is what a conversion reads from the prefix, the unit what follows it.
int token_number(TQ_FILE* f) {
  const L_CHAR* t = f->yytext;
  int n = 0;
  bool dot = false;
  for (; n < f->yylen; ++n) {
    const L_CHAR c = t[n];
    if (c == '.') dot = true;
    else if (!is_digit(c) && c != '+' && c != '-') break;
  }
  if (dot) return make_float(f, lex_scan_float(t, n), n);
  return make_integer(f, lex_scan_integer(t, n), n);
}

int token_text(TQ_FILE* f) {
  L_CHAR* t = take_yytext(f);
  int n = l_strlen(t);
  if (n > 0 && t[n - 1] == '"') --n;  // an unterminated string has no closing quote
  if (n > 0) std::memmove(t, t + 1, size_t(n - 1) * sizeof(L_CHAR));
  t[n > 0 ? n - 1 : 0] = 0;
  TQ_SEXP* c = lex_cell(f, kTagString);
  c->string.data = t;
  set_reader_field(f->sexp, c);
  return kTokDatum;
}

int token_symbol(TQ_FILE* f) {
  L_CHAR* t = take_yytext(f);
  TQ_SEXP* c = lex_cell(f, kTagSymbol);
  c->symbol.data = t;
  set_reader_field(f->sexp, c);
  return kTokDatum;
}

// "%E", or a raw block cut off by the end of input: an error cell the parser completes.
int token_error(TQ_FILE* f) {
  static constexpr LText empty = "";
  reset_yytext(f);
  TQ_SEXP* c = get_error(f, f->token_head_line, 0, empty, nullptr);
  set_reader_field(f->sexp, c);
  return kTokErrorLiteral;
}

// The length between the two number signs of the gathered "#%x#": hexadecimal digits only,
// at most kRawCap.
bool get_raw_length(const TQ_FILE* f, int64_t* len) {
  if (token_overflowed(f) || f->yylen < 3) return false;
  int64_t v = 0;
  for (int i = 1; i < f->yylen - 1; ++i) {
    const int d = lex_hex_digit(f->yytext[i]);
    if (d < 0) return false;
    v = v * 16 + d;
    if (v > kRawCap) return false;
  }
  *len = v;
  return true;
}

// Reads and drops n bytes, so that the text after a refused block is read in step.
void skip_bytes(TQ_FILE* f, int64_t n) {
  uint8_t scratch[4096];
  while (n > 0) {
    const int want = n < int64_t(sizeof scratch) ? int(n) : int(sizeof scratch);
    const int got = get_nchar(f, scratch, want);
    n -= got;
    if (got < want) return;
  }
}

// The bytes of a block of len bytes, in a buffer of the system heap that grows as they
// arrive. 1 all came; 0 the input ended first; -1 the buffer could not grow (the rest of
// the block has been skipped).
int read_raw_bytes(TQ_FILE* f, int64_t len, uint8_t** out) {
  uint8_t* buf = nullptr;
  int64_t cap = 0, got = 0;
  while (got < len) {
    if (got == cap) {
      int64_t next = cap ? cap * 2 : int64_t(kRawFirstChunk);
      if (next > len) next = len;
      void* p = lex_raw_realloc(buf, size_t(next));
      if (!p) {
        std::free(buf);
        skip_bytes(f, len - got);
        return -1;
      }
      buf = static_cast<uint8_t*>(p);
      cap = next;
    }
    const int want = int(cap - got);
    const int n = get_nchar(f, buf + got, want);
    got += n;
    if (n < want) {
      std::free(buf);
      return 0;
    }
  }
  *out = buf;
  return 1;
}

}  // namespace

int token_raw(TQ_FILE* f) {
  int64_t len = 0;
  if (!get_raw_length(f, &len)) {
    reset_yytext(f);
    lex_queue_error(f, ER_TOKEN, {"token error", f->name, "invalid raw length"});
    return kTokEnd;
  }
  reset_yytext(f);
  uint8_t* bytes = nullptr;
  const int r = len ? read_raw_bytes(f, len, &bytes) : 1;
  if (r < 0) {
    lex_queue_error(f, ER_TOKEN, {"token error", f->name, "cannot allocate raw data"});
    return kTokEnd;
  }
  if (r == 0) return kTokEnd;  // cut short: the input has ended
  MemLock hold;
  uint8_t* data = nullptr;
  if (len) {
    data = static_cast<uint8_t*>(mmalloc(size_t(len), gc_text));
    std::memcpy(data, bytes, size_t(len));
    std::free(bytes);
  }
  TQ_SEXP* c = lex_cell(f, kTagRaw);
  c->raw.size = len;
  c->raw.data = data;
  set_reader_field(f->sexp, c);
  return kTokDatum;
}

int lex_token_too_long(TQ_FILE* f) {
  reset_yytext(f);
  lex_queue_error(f, ER_TOKEN, {"token error", f->name, "token too long"});
  return kTokEnd;
}

int get_token(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  if (f->yylen <= 0) er_panic("get_token(1)");
  f->yytext[f->yylen] = 0;  // put_data keeps a slot free for it
  const L_CHAR* t = f->yytext;
  const L_CHAR c0 = t[0], c1 = f->yylen > 1 ? t[1] : 0, c2 = f->yylen > 2 ? t[2] : 0;
  if (c0 == '"') return token_text(f);
  if (c0 == '0') return c1 == '.' ? token_number(f) : token_oct_hex(f);
  if (c0 == '+' || c0 == '-') {
    if (c1 == '0') return c2 == '.' ? token_number(f) : token_oct_hex(f);
    if (c1 >= '1' && c1 <= '9') return token_number(f);
    return token_symbol(f);
  }
  if (c0 >= '1' && c0 <= '9') return token_number(f);
  if (c0 == '#') return token_error(f);
  if (c0 == '%' && c1 == 'E' && f->yylen == 2) return token_error(f);
  return token_symbol(f);
}

// ---- Conversions shared with the markup makers.

int lex_hex_digit(L_CHAR c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return -1;
}

int64_t lex_scan_integer(const L_CHAR* t, int n) {
  int i = 0;
  bool neg = false;
  if (i < n && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  int base = 10;
  if (i < n && t[i] == '0') {
    base = 8;
    if (i + 1 < n && (t[i + 1] == 'x' || t[i + 1] == 'X') && i + 2 < n && lex_hex_digit(t[i + 2]) >= 0) {
      base = 16;
      i += 2;
    }
  }
  // Magnitudes beyond the range saturate, as a conversion of the C library does.
  const uint64_t limit = neg ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  uint64_t v = 0;
  for (; i < n; ++i) {
    const int d = lex_hex_digit(t[i]);
    if (d < 0 || d >= base) break;
    if (v > (limit - uint64_t(d)) / uint64_t(base)) {
      v = limit;
      break;
    }
    v = v * uint64_t(base) + uint64_t(d);
  }
  return neg ? int64_t(0 - v) : int64_t(v);
}

namespace {

// The common "[sign]digits[.digits]" exactly: with at most 15 digits in all (so at most 15
// after the full stop), the digits and the power of ten are exact doubles, so their quotient
// is the correctly rounded value the conversion gives. False for any other text.
bool scan_plain_decimal(const L_CHAR* t, int n, double* v) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  int i = 0;
  const bool neg = n > 0 && t[0] == '-';
  if (n > 0 && (t[0] == '+' || t[0] == '-')) ++i;
  uint64_t m = 0;
  int digits = 0, after_dot = -1;
  for (; i < n; ++i) {
    const L_CHAR c = t[i];
    if (c == '.' && after_dot < 0) {
      after_dot = 0;
      continue;
    }
    if (!is_digit(c) || ++digits > 15) return false;
    m = m * 10 + (c - '0');
    if (after_dot >= 0) ++after_dot;
  }
  if (digits == 0) return false;
  const double q = after_dot > 0 ? double(m) / kPow10[after_dot] : double(m);
  *v = neg ? -q : q;
  return true;
}

}  // namespace

// As "%lf" reads: the C conversion in the C locale, whatever the process locale, so that
// an overflow is an infinity and an underflow zero or a denormal.
double lex_scan_float(const L_CHAR* t, int n) {
  double v;
  if (scan_plain_decimal(t, n, &v)) return v;
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  std::string bytes(size_t(n), '?');
  for (int i = 0; i < n; ++i)
    if (t[i] < 0x80) bytes[size_t(i)] = char(t[i]);
  return c_locale ? strtod_l(bytes.c_str(), nullptr, c_locale) : std::strtod(bytes.c_str(), nullptr);
}

}  // namespace tq
