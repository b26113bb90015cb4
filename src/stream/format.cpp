// Formatted output: the directive scanner, the conversion of one call's characters
// through the stream's code method, the direct and buffered writes, and the accumulator.
#include "stream/format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

// ---- growing buffers ---------------------------------------------------------------------

// L_CHAR characters of one call: 256 on the stack, then the debug heap, doubling.
class LBuf {
 public:
  LBuf() : p_(local_), len_(0), cap_(kLocal) {}
  ~LBuf() {
    if (p_ != local_) d_f_ree(p_);
  }
  LBuf(const LBuf&) = delete;
  LBuf& operator=(const LBuf&) = delete;
  void push(L_CHAR c) {
    if (len_ + 1 >= cap_) grow(1);
    p_[len_++] = c;
  }
  // Room for n more characters; returns where they go (the caller then calls added).
  L_CHAR* room(int n) {
    if (len_ + n >= cap_) grow(n);
    return p_ + len_;
  }
  void added(int n) { len_ += n; }
  void grow(int more) {
    int cap = cap_;
    while (cap <= len_ + more) cap *= 2;
    auto* q = static_cast<L_CHAR*>(d_alloc(size_t(cap) * sizeof(L_CHAR)));
    memcpy(q, p_, size_t(len_) * sizeof(L_CHAR));
    if (p_ != local_) d_f_ree(p_);
    p_ = q;
    cap_ = cap;
  }
  const L_CHAR* data() const { return p_; }
  int len() const { return len_; }

 private:
  static constexpr int kLocal = 256;
  L_CHAR local_[kLocal];
  L_CHAR* p_;
  int len_;
  int cap_;
};

// Appends bytes read as UTF-8. ASCII goes straight in; the code method (one work record
// per piece) takes over from the first byte at or above 0x80.
void append_utf8(LBuf& out, const char* s, size_t n) {
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  L_CHAR* to = out.room(int(n));
  size_t i = 0;
  while (i < n && u[i] < 0x80) {
    to[i] = u[i];
    ++i;
  }
  out.added(int(i));
  if (i == n) return;
  void* work = utf8_cm->open();
  for (; i < n; ++i) {
    L_CHAR c;
    if (utf8_cm->to_internal(&c, work, static_cast<unsigned char>(s[i]))) out.push(c);
  }
  utf8_cm->close(nullptr, work);
}

// Encoded bytes: grows by doubling so that one character always fits. It may start on
// the caller's stack (heap false) and moves to the debug heap when it grows.
struct ByteBuf {
  unsigned char* p;
  int len;
  int cap;
  bool heap;
  void reserve(int more) {
    if (len + more <= cap) return;
    int c = cap ? cap : 1024;
    while (c < len + more) c *= 2;
    unsigned char* q;
    if (heap) {
      q = static_cast<unsigned char*>(d_re_alloc(p, size_t(c)));
      if (!q) er_panic_x("alloc");
    } else {
      q = static_cast<unsigned char*>(d_alloc(size_t(c)));
      if (len) memcpy(q, p, size_t(len));
    }
    p = q;
    cap = c;
    heap = true;
  }
};

// ---- directives ----------------------------------------------------------------------------

constexpr int kDirMax = 64;     // a directive handed to the C formatter
constexpr int kOutMax = 1024;   // its output; widths are cut to 999 so nothing is lost
constexpr int kWidthMax = 999;

struct Directive {
  char flag = 0;
  bool zero_width = false;  // the width run began with '0'
  int width = -1;
  char prec = 0;            // the one precision character, 0 when none
  char mod = 0;             // 'L' for "ll"/"I64", else 'l', 'h', or 0
  char conv = 0;
};

bool in_set(char c, const char* set) { return c && strchr(set, c); }

// Scans a directive at fmt (on the "%"); returns the position after it.
const char* scan_directive(const char* fmt, Directive& d) {
  const char* p = fmt + 1;
  if (in_set(*p, "+- 0#")) d.flag = *p++;
  bool any_width = false;
  long width = 0;
  while (in_set(*p, "0123456789*")) {
    if (*p != '*') {
      if (!any_width && *p == '0') d.zero_width = true;
      any_width = true;
      width = width * 10 + (*p - '0');
      if (width > kWidthMax) width = kWidthMax;
    }
    ++p;
  }
  if (any_width) d.width = int(width);
  if (*p == '.') {
    ++p;
    if (*p) d.prec = *p++;
  }
  if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
    d.mod = 'L';
    p += 3;
  } else if (p[0] == 'l' && p[1] == 'l') {
    d.mod = 'L';
    p += 2;
  } else if (in_set(*p, "hlL")) {
    d.mod = *p++;
  }
  d.conv = *p;
  if (*p) ++p;
  return p;
}

// The C directive for one conversion with the given length text.
void c_directive(const Directive& d, const char* length, char conv, char* out) {
  char* o = out;
  *o++ = '%';
  if (d.flag) *o++ = d.flag;
  if (d.zero_width && d.flag != '0') *o++ = '0';
  if (d.width >= 0) o += snprintf(o, 8, "%d", d.width);
  if (d.prec) {
    *o++ = '.';
    if (d.prec >= '0' && d.prec <= '9') *o++ = d.prec;
  }
  while (*length) *o++ = *length++;
  *o++ = conv;
  *o = 0;
}

void append_formatted(LBuf& out, const char* text, int n) {
  if (n < 0) return;
  if (n >= kOutMax) n = kOutMax - 1;
  append_utf8(out, text, size_t(n));
}

void append_lstr(LBuf& out, const L_CHAR* s) {
  if (!s) {
    append_utf8(out, "(null)", 6);
    return;
  }
  while (*s) out.push(*s++);
}

// A decimal directive without flag, width or precision: written here rather than by the C
// formatter (the log formats one per record on its producers' path).
bool plain_decimal(const Directive& d) {
  return (d.conv == 'd' || d.conv == 'i' || d.conv == 'u') && !d.flag && !d.zero_width && d.width < 0 && !d.prec &&
         d.mod != 'h';
}

void append_decimal(LBuf& out, const Directive& d, va_list& ap) {
  unsigned long long v;
  bool negative = false;
  if (d.conv == 'u') {
    v = d.mod == 'L' ? va_arg(ap, unsigned long long) : d.mod == 'l' ? va_arg(ap, unsigned long) : va_arg(ap, unsigned);
  } else {
    const long long x = d.mod == 'L' ? va_arg(ap, long long) : d.mod == 'l' ? va_arg(ap, long) : va_arg(ap, int);
    negative = x < 0;
    v = negative ? 0ull - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
  }
  L_CHAR digits[24];
  int n = 0;
  do {
    digits[n++] = L_CHAR('0' + v % 10);
    v /= 10;
  } while (v);
  if (negative) out.push('-');
  while (n) out.push(digits[--n]);
}

// Formats the whole call into out. Every va_arg of the call happens here.
void format_chars(LBuf& out, const char* fmt, va_list p) {
  va_list ap;
  va_copy(ap, p);
  char dir[kDirMax];
  char text[kOutMax];
  while (*fmt) {
    const char* pct = strchr(fmt, '%');
    const size_t lit = pct ? size_t(pct - fmt) : strlen(fmt);
    append_utf8(out, fmt, lit);
    if (!pct) break;
    Directive d;
    fmt = scan_directive(pct, d);
    switch (d.conv) {
      case 's':
      case 'S':
        if (d.mod == 'l' || d.mod == 'L') {
          append_lstr(out, va_arg(ap, const L_CHAR*));
        } else {
          const char* s = va_arg(ap, const char*);
          if (!s) s = "(null)";
          append_utf8(out, s, strlen(s));
        }
        break;
      case '%':
        out.push('%');
        break;
      case 'd':
      case 'i':
      case 'o':
      case 'u':
      case 'x':
      case 'X': {
        int n;
        if (plain_decimal(d)) {
          append_decimal(out, d, ap);
          break;
        }
        if (d.mod == 'L') {
          c_directive(d, "ll", d.conv, dir);
          n = snprintf(text, sizeof text, dir, va_arg(ap, long long));
        } else if (d.mod == 'l') {
          c_directive(d, "l", d.conv, dir);
          n = snprintf(text, sizeof text, dir, va_arg(ap, long));
        } else {
          c_directive(d, d.mod == 'h' ? "h" : "", d.conv, dir);
          n = snprintf(text, sizeof text, dir, va_arg(ap, int));
        }
        append_formatted(out, text, n);
        break;
      }
      case 'c':
      case 'C': {
        const int c = d.mod == 'L' ? int(va_arg(ap, long long)) : d.mod == 'l' ? int(va_arg(ap, long)) : va_arg(ap, int);
        c_directive(d, "", 'c', dir);
        append_formatted(out, text, snprintf(text, sizeof text, dir, c));
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
        c_directive(d, "", d.conv, dir);
        append_formatted(out, text, snprintf(text, sizeof text, dir, va_arg(ap, double)));
        break;
      case 'p':
        c_directive(d, "", 'p', dir);
        append_formatted(out, text, snprintf(text, sizeof text, dir, va_arg(ap, void*)));
        break;
      case 'n':
        (void)va_arg(ap, void*);  // stores nothing
        break;
      default:
        break;  // prints nothing, takes nothing
    }
  }
  va_end(ap);
}

// ---- encoding and writing ------------------------------------------------------------------



// Encodes chars with the stream's method into buf (stream lock held).
void encode(STREAM* s, const L_CHAR* chars, int n, ByteBuf& buf) {
  CODE_METHOD* cm = s->h.cm;
  void* work = s->h.cm_work;
  const int step = cm->max_ret > 0 ? cm->max_ret : 4;
  const bool count = s->h.cr_mode != 0;
  buf.len = 0;
  buf.reserve(n * step + 1);  // every character fits; only escapes need more
  for (int i = 0; i < n; ++i) {
    const L_CHAR ch = chars[i];
    if (count && (ch == 10 || ch == 13 || ch == 3)) ++s->h.cr_cnt;
    const int k = cm->to_external(buf.p + buf.len, work, ch);
    if (k > 0) {
      buf.len += k;
      continue;
    }
    char esc[20];
    const int m = snprintf(esc, sizeof esc, "&cx%x;", unsigned(ch));
    buf.reserve((m + n - i) * step);  // the escape, and still room for the rest
    for (int j = 0; j < m; ++j)
      buf.len += cm->to_external(buf.p + buf.len, work, static_cast<unsigned char>(esc[j]));
  }
}

// Writes encoded bytes directly (stream lock held on entry, released while writing, held
// on return). 0, or -1 with the error stored through erp.
int direct_write(STREAM* s, S_TABLE* tbl, const ByteBuf& buf, int* erp) {
  const bool timed = s->h.write_abort_type != 0;
  const bool sums = tbl->checksum != nullptr;
  const int me = get_tid();
  unlock_task(stream_lock, "_s_printf");
  int done = 0;
  int attempt = buf.len;
  int result = 0;
  while (done < buf.len) {
    if (timed) {
      LOCK_SCOPE(stream_lock);
      s->h.write_tid = me;
      s->h.write_in_time = s_now();
    }
    const int r = tbl->write(s, reinterpret_cast<const char*>(buf.p + done), attempt);
    const int err = errno;
    if (timed) {
      LOCK_SCOPE(stream_lock);
      s->h.write_tid = 0;
      s->h.write_in_time = 0;
    }
    if (r < 0) {
      if (err == EAGAIN) {
        attempt = attempt / 2 > 0 ? attempt / 2 : 1;
        continue;
      }
      if (erp) *erp = err;
      result = -1;
      break;
    }
    if (r == 0) break;
    if (sums) {
      LOCK_SCOPE(stream_lock);
      calc_checksum(s, reinterpret_cast<const char*>(buf.p + done), r, 2);
    }
    done += r;
    attempt = buf.len - done;
  }
  lock_task(stream_lock);
  return result;
}

// Converts and writes n characters to s: 0, -1 a write failed, -2 the stream is not live.
int put_chars(STREAM* s, const L_CHAR* chars, int n, ByteBuf& buf, int* erp) {
  StreamPri pri;
  lock_task(stream_lock);
  if (!_s_live(s)) {
    unlock_task(stream_lock, "_s_printf");
    if (erp) *erp = EINVAL;
    return -2;
  }
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  encode(s, chars, n, buf);
  int r = 0;
  if (_s_buffered(s) && (s->h.wb_flags & WB_FAILED)) {
    // As s_write: once a buffered write failed nothing more is sent, and bytes left in the
    // buffer would only hold a close back until its time limit.
    if (erp) *erp = EIO;
    r = -1;
  } else if (_s_buffered(s)) {
    copy_in_sbuf(&s->h.write_buf, reinterpret_cast<const char*>(buf.p), buf.len, SEM{});
    calc_checksum(s, reinterpret_cast<const char*>(buf.p), buf.len, 0);
    wakeup_write_task();
  } else {
    r = direct_write(s, s->h.tbl, buf, erp);
  }
  _s_delete_thread(s, &t);
  unlock_task(stream_lock, "_s_printf");
  return r;
}

// Formats and writes one call. With check_empty, an empty result still tells a dead
// stream (-1) from a live one (0).
int printf_to(STREAM* s, int* erp, const char* fmt, va_list p, bool check_empty) {
  LBuf chars;
  format_chars(chars, fmt, p);
  if (chars.len() == 0) {
    if (!check_empty || s_exist(s)) return 0;
    if (erp) *erp = EINVAL;
    return -1;
  }
  unsigned char local[2048];
  ByteBuf buf{local, 0, int(sizeof local), false};
  const int r = put_chars(s, chars.data(), chars.len(), buf, erp);
  if (buf.heap) d_f_ree(buf.p);
  return r == -2 ? -1 : chars.len();
}

int _s_printf_2(S_PRINTF_SAT* sat, int* erp, const char* fmt, va_list p) {
  if (sat->err < 0) {
    if (erp) *erp = EINVAL;
    return -1;
  }
  LBuf chars;
  format_chars(chars, fmt, p);
  write_spsat(sat, chars.data(), chars.len());
  return chars.len();
}

}  // namespace

// ---- public ------------------------------------------------------------------------------

int _s_printf(STREAM* s, int* erp, const char* fmt, va_list p, S_PRINTF_SAT* sat) {
  if (!fmt) return 0;
  return sat ? _s_printf_2(sat, erp, fmt, p) : printf_to(s, erp, fmt, p, false);
}

int s_printf(STREAM* s, const char* fmt, ...) {
  if (!fmt) return s_exist(s) ? 0 : -1;
  va_list p;
  va_start(p, fmt);
  const int r = printf_to(s, nullptr, fmt, p, true);
  va_end(p);
  return r;
}

int e_printf(STREAM* s, int* erp, const char* fmt, ...) {
  if (!fmt) fmt = "";
  va_list p;
  va_start(p, fmt);
  const int r = printf_to(s, erp, fmt, p, true);
  va_end(p);
  return r;
}

int ss_printf(const char* fmt, ...) {
  if (!fmt) fmt = "";
  va_list p;
  va_start(p, fmt);
  const int r = printf_to(s_stdout, nullptr, fmt, p, true);
  va_end(p);
  return r;
}

int ss_sprintf(L_CHAR* buf, const char* fmt, ...) {
  STREAM* st = s_open_string_write(int_cm);
  if (!st) return -1;
  va_list p;
  va_start(p, fmt);
  _s_printf(st, nullptr, fmt, p, nullptr);
  va_end(p);
  int n = 0;
  if (const char* bytes = s_get_l_string(st)) {
    n = s_get_string_size(st) / int(sizeof(L_CHAR));
    memcpy(buf, bytes, size_t(n) * sizeof(L_CHAR));
  }
  buf[n] = 0;
  d_s_close(st);
  return n;
}

L_CHAR* l_vformat_to(const char* fmt, va_list p, L_CHAR* (*room)(void* ctx, int n), void* ctx) {
  LBuf chars;
  if (fmt) format_chars(chars, fmt, p);
  L_CHAR* text = room(ctx, chars.len());
  if (!text) return nullptr;
  memcpy(text, chars.data(), size_t(chars.len()) * sizeof(L_CHAR));
  text[chars.len()] = 0;
  return text;
}

int new_spsat(S_PRINTF_SAT* sat, STREAM* st) {
  if (!st) return -1;
  *sat = S_PRINTF_SAT{};
  sat->st = st;
  sat->str_buf = static_cast<L_CHAR*>(d_alloc(kSpsatChars * sizeof(L_CHAR)));
  return 0;
}

int write_spsat(S_PRINTF_SAT* sat, const L_CHAR* data, int len) {
  if (sat->err < 0) return -1;
  while (len > 0) {
    int n = kSpsatChars - sat->str_buf_ptr;
    if (n > len) n = len;
    memcpy(sat->str_buf + sat->str_buf_ptr, data, size_t(n) * sizeof(L_CHAR));
    sat->str_buf_ptr += n;
    data += n;
    len -= n;
    if (sat->str_buf_ptr == kSpsatChars && flush_spsat(sat, nullptr) < 0) return -1;
  }
  return 0;
}

int flush_spsat(S_PRINTF_SAT* sat, int* erp) {
  if (sat->err < 0) return -1;
  if (sat->str_buf_ptr == 0) return sat->err;
  ByteBuf buf{static_cast<unsigned char*>(sat->alc[2]), 0, sat->alc_len[2], true};
  const int r = put_chars(sat->st, sat->str_buf, sat->str_buf_ptr, buf, erp);
  sat->alc[2] = buf.p;
  sat->alc_len[2] = buf.cap;
  sat->alc_size[2] = buf.len;
  sat->str_buf_ptr = 0;
  if (r < 0) sat->err = -1;
  return sat->err;
}

int finish_spsat(S_PRINTF_SAT* sat, int* erp) {
  int r = 0;
  if (sat->str_buf_ptr > 0) r = flush_spsat(sat, erp);
  for (void*& a : sat->alc) {
    d_f_ree(a);
    a = nullptr;
  }
  d_f_ree(sat->str_buf);
  sat->str_buf = nullptr;
  return r;
}

}  // namespace tq
