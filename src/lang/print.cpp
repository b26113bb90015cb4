// The printer's core: the top level, the dispatch table over cell tags, the atoms, quoted
// strings, error and raw cells, and S-expression lists. XML and HTML elements and text are
// in print_xml.cpp.
//
// Design: the text is collected in the stream layer's accumulator (S_PRINTF_SAT) and
// written in one flush at the end (and whenever the accumulator fills); only the bytes of
// raw cells go straight to the stream. Every routine answers 0 or -1 and a failure leaves
// through all callers at once, so nothing after a failed write is written.
//
// Nesting: the printer recurses once per nested list and error cell and holds one level of
// the language's nesting count (NestLevel) for each. Before anything is written, a walk
// without recursion measures the value's nesting against what is left of the limit, so a
// value too deep fails as a whole with ELOOP instead of leaving half a value in the stream.
#include "lang/print.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "lang/gc.h"
#include "lang/print_internal.h"
#include "platform/startup.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

// ---- output helpers -------------------------------------------------------------------------

TQ_SEXP* pr_realized(TQ_SEXP* s, int32_t* t) {
  s = realize_sexp(s);
  *t = get_type(s);
  return s;
}

static int pr_fail(ERR_ENV* ee, int er) {
  ee->er = er ? er : EIO;
  return -1;
}

// Room in the accumulator for at least one character, flushing it when full.
static int pr_room(S_PRINTF_SAT* fd, ERR_ENV* ee) {
  if (fd->str_buf_ptr < kSpsatChars) return kSpsatChars - fd->str_buf_ptr;
  if (flush_spsat(fd, &ee->er) < 0) return pr_fail(ee, ee->er);
  return kSpsatChars;
}

int pr_chars(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* p, int64_t n) {
  while (n > 0) {
    int room = pr_room(fd, ee);
    PR_TRY(room);
    const int k = n < room ? int(n) : room;
    memcpy(fd->str_buf + fd->str_buf_ptr, p, size_t(k) * sizeof(L_CHAR));
    fd->str_buf_ptr += k;
    p += k;
    n -= k;
  }
  return 0;
}

int pr_ascii(S_PRINTF_SAT* fd, ERR_ENV* ee, const char* s, int64_t n) {
  while (n > 0) {
    int room = pr_room(fd, ee);
    PR_TRY(room);
    const int k = n < room ? int(n) : room;
    L_CHAR* to = fd->str_buf + fd->str_buf_ptr;
    for (int i = 0; i < k; ++i) to[i] = static_cast<unsigned char>(s[i]);
    fd->str_buf_ptr += k;
    s += k;
    n -= k;
  }
  return 0;
}

int pr_text(S_PRINTF_SAT* fd, ERR_ENV* ee, const char* s) { return pr_ascii(fd, ee, s, int64_t(strlen(s))); }

int pr_ltext(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* s) {
  return s ? pr_chars(fd, ee, s, l_strlen(s)) : 0;
}

int _e_printf(S_PRINTF_SAT* fd, ERR_ENV* ee, const char* fmt, ...) {
  // Large enough for "%f" of the largest double (309 digits and the decimals).
  char buf[400];
  va_list p;
  va_start(p, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, p);
  va_end(p);
  if (n < 0) return pr_fail(ee, EINVAL);
  if (n >= int(sizeof buf)) n = int(sizeof buf) - 1;
  return pr_ascii(fd, ee, buf, n);
}

int print_ind(S_PRINTF_SAT* fd, ERR_ENV* ee, INDENT ind) {
  static const char kBlanks[] = "                                ";
  int n = ind.ind;
  while (n > 0) {
    const int k = n < 32 ? n : 32;
    PR_TRY(pr_ascii(fd, ee, kBlanks, k));
    n -= k;
  }
  return 0;
}

int pr_escaped(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* text, PR_ESCAPE esc) {
  if (!text) return 0;
  char buf[16];
  const L_CHAR* run = text;
  const L_CHAR* p = text;
  for (; *p; ++p) {
    const char* rep = esc(*p, p - text, buf);
    if (!rep) continue;
    PR_TRY(pr_chars(fd, ee, run, p - run));
    PR_TRY(pr_text(fd, ee, rep));
    run = p + 1;
  }
  return pr_chars(fd, ee, run, p - run);
}

const char* pr_escape_sexp(L_CHAR ch, int64_t, char*) {
  switch (ch) {
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";  // the reader takes it back as a carriage return
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '&': return "&amp;";
    case '<': return "&lt;";
    default: return nullptr;
  }
}

int pr_quoted(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* text, int flags, bool caret) {
  if (flags & kPrintBare) return pr_ltext(fd, ee, text);
  PR_TRY(pr_text(fd, ee, caret ? "^\"" : "\""));
  PR_TRY(pr_escaped(fd, ee, text, pr_escape_sexp));
  return pr_text(fd, ee, "\"");
}

// Atoms that stand at top level get a caret, so they read back as S-expression data.
static int pr_caret(S_PRINTF_SAT* fd, ERR_ENV* ee, int flags) {
  return (flags & kPrintInList) ? 0 : pr_text(fd, ee, "^");
}

// ---- cells ---------------------------------------------------------------------------------

static int _print_null_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP*, int flags, INDENT) {
  return (flags & kPrintBare) ? 0 : pr_text(fd, ee, "()");
}

// "%lli" without the formatter: integers are the commonest atoms.
static int pr_int64(S_PRINTF_SAT* fd, ERR_ENV* ee, int64_t v) {
  char buf[24];
  char* p = buf + sizeof buf;
  uint64_t u = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  do {
    *--p = char('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) *--p = '-';
  return pr_ascii(fd, ee, p, buf + sizeof buf - p);
}

static int _print_integer_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int, INDENT) {
  PR_TRY(pr_int64(fd, ee, s->integer.data));
  return pr_ltext(fd, ee, s->integer.unit);
}

static int _print_floating_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int, INDENT) {
  PR_TRY(_e_printf(fd, ee, "%lf", s->floating.data));
  PR_TRY(pr_ltext(fd, ee, s->floating.unit));
  return pr_text(fd, ee, " ");
}

static int _print_function_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int, INDENT) {
  const TQ_FUNC& f = s->func;
  if (f.type == kFuncPrim)
    return _e_printf(fd, ee, "[prim:0x%llx]", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(f.prim)));
  if (f.type == kFuncLambda)
    return _e_printf(fd, ee, "[lambda:0x%llx]",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(f.l_body)));
  return _e_printf(fd, ee, "[%i:]", int(f.type));
}

static int _print_ptr_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int, INDENT) {
  return _e_printf(fd, ee, "+PTR:%llx+", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s->ptr.ptr)));
}

static int _print_env_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int, INDENT) {
  return _e_printf(fd, ee, "+ENV:%llx+", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s->env.data)));
}

static int _print_symbol_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT) {
  PR_TRY(pr_caret(fd, ee, flags));
  const TQ_SYMBOL& sym = s->symbol;
  if (!sym.field) return pr_ltext(fd, ee, sym.data);
  PR_TRY(pr_text(fd, ee, "["));
  PR_TRY(pr_ltext(fd, ee, sym.data));
  for (TQ_SYM_FIELD* f = sym.field; f; f = f->next) {
    PR_TRY(pr_text(fd, ee, " "));
    PR_TRY(pr_ltext(fd, ee, f->name));
    PR_TRY(pr_text(fd, ee, "="));
    PR_TRY(pr_quoted(fd, ee, f->data, flags, false));
  }
  return pr_text(fd, ee, "]");
}

int _print_string_l(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT) {
  return pr_quoted(fd, ee, s->string.data, flags, !(flags & kPrintInList));
}

// The multi-line form: a line "%E", then the fields in parentheses. The texts are escaped
// as in strings, so a quote or backslash in a file name cannot break the form.
static int _print_error_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind) {
  const TQ_ERROR& e = s->error;
  PR_TRY(pr_caret(fd, ee, flags));
  PR_TRY(pr_text(fd, ee, "\n %E\n (\""));
  PR_TRY(pr_escaped(fd, ee, e.site, pr_escape_sexp));
  PR_TRY(pr_text(fd, ee, "\" \""));
  PR_TRY(pr_escaped(fd, ee, e.filename, pr_escape_sexp));
  PR_TRY(_e_printf(fd, ee, "\" %i \"", int(e.line)));
  PR_TRY(pr_escaped(fd, ee, e.func, pr_escape_sexp));
  PR_TRY(_e_printf(fd, ee, "\" 0x%x\n ", unsigned(e.code)));
  const int data_flags = ((flags & ~(kPrintModeMask | kPrintBare)) | kPrintInList);
  PR_TRY(_print_sexp(fd, ee, e.data, data_flags, ind));
  return pr_text(fd, ee, ")");
}

// Writes raw bytes straight to the stream after the text before them, at most 1000 bytes
// a write; a write that would block is retried with half the size.
static int write_raw(S_PRINTF_SAT* fd, ERR_ENV* ee, const uint8_t* data, int64_t size) {
  if (flush_spsat(fd, &ee->er) < 0) return pr_fail(ee, ee->er);
  int chunk = 1000;
  int64_t done = 0;
  while (done < size) {
    const int n = size - done < chunk ? int(size - done) : chunk;
    errno = 0;
    const int r = s_write(fd->st, reinterpret_cast<const char*>(data + done), n);
    if (r > 0) {
      done += r;
      continue;
    }
    if (r < 0 && errno == EAGAIN) {
      chunk = chunk / 2 > 0 ? chunk / 2 : 1;
      continue;
    }
    // A stream that is gone answers -1 without an error number; a write of nothing would
    // otherwise lose the rest of the bytes unnoticed.
    return pr_fail(ee, r < 0 ? (errno ? errno : EINVAL) : EIO);
  }
  return 0;
}

static int _print_raw_lxh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT) {
  TQ_RAW& raw = s->raw;
  const int64_t size = raw.data ? raw.size : 0;
  PR_TRY(pr_caret(fd, ee, flags));
  PR_TRY(_e_printf(fd, ee, "#%llx#", static_cast<unsigned long long>(size)));
  if (flags & kPrintRawNoBytes)
    PR_TRY(pr_text(fd, ee, "]"));
  else if (size > 0)
    PR_TRY(write_raw(fd, ee, raw.data, size));
  if (flags & kPrintRawFree) {
    // The pointer is cleared and the block freed in one section: a collection must not
    // mark the cell in between and reach a freed block through it.
    MemLock hold;
    uint8_t* data = raw.data;
    raw.data = nullptr;
    raw.size = 0;  // the next print must not read through the cleared pointer
    mfree(data);
  }
  return 0;
}

int _print_pair_l(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind) {
  if ((flags & kPrintIndent) && (ind.flags & kIndPrinted)) {
    PR_TRY(pr_text(fd, ee, "\n"));
    PR_TRY(print_ind(fd, ee, ind));
  }
  INDENT in{0, uint16_t(ind.ind + 1)};
  const int el_flags = flags | kPrintInList;
  if (!(flags & kPrintBare)) PR_TRY(pr_text(fd, ee, "("));
  for (TQ_SEXP* p = s;;) {
    if (p != s) PR_TRY(pr_text(fd, ee, " "));
    PR_TRY(_print_sexp(fd, ee, p->pair.car, el_flags, in));
    in.flags |= kIndPrinted;
    int32_t t;
    TQ_SEXP* next = pr_realized(p->pair.cdr, &t);
    if (t == kTagPair) {
      p = next;
      continue;
    }
    if (t != kTagNil) {
      PR_TRY(pr_text(fd, ee, "."));
      PR_TRY(_print_sexp(fd, ee, next, el_flags, in));
    }
    break;
  }
  return (flags & kPrintBare) ? 0 : pr_text(fd, ee, ")");
}

// ---- dispatch ------------------------------------------------------------------------------

using PRINT_FUNC = int (*)(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind);
struct pt_t {
  PRINT_FUNC f[2];  // 0 S-expression, 1 XML and HTML
};
static constexpr pt_t pt_null{{_print_null_lxh, _print_null_lxh}};
static constexpr pt_t pt_error{{_print_error_lxh, _print_error_lxh}};
static constexpr pt_t pt_pair{{_print_pair_l, _print_pair_xh}};
static constexpr pt_t pt_symbol{{_print_symbol_lxh, _print_symbol_lxh}};
static constexpr pt_t pt_string{{_print_string_l, _print_string_xh}};
static constexpr pt_t pt_integer{{_print_integer_lxh, _print_integer_lxh}};
static constexpr pt_t pt_floating{{_print_floating_lxh, _print_floating_lxh}};
static constexpr pt_t pt_function{{_print_function_lxh, _print_function_lxh}};
static constexpr pt_t pt_ptr{{_print_ptr_lxh, _print_ptr_lxh}};
static constexpr pt_t pt_raw{{_print_raw_lxh, _print_raw_lxh}};
static constexpr pt_t pt_env{{_print_env_lxh, _print_env_lxh}};
// By tag; a delayed cell has no printer: it is realised before it is printed.
static constexpr const pt_t* kPrintTable[kTagMax + 1] = {
    &pt_null, &pt_error, &pt_pair, &pt_symbol, &pt_string, &pt_integer,
    &pt_floating, &pt_function, nullptr, &pt_ptr, &pt_raw, &pt_env,
};

[[noreturn]] static void bad_tag(int32_t t, const TQ_SEXP* s) {
  printf("--- %i %llx\n", int(t), static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s)));
  fflush(stdout);
  er_panic("_print_sexp");
}

int _print_sexp(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind) {
  int32_t t;
  s = pr_realized(s, &t);
  if (t < 0 || t > kTagMax || !kPrintTable[t]) bad_tag(t, s);
  PRINT_FUNC f = kPrintTable[t]->f[(flags & kPrintModeMask) ? 1 : 0];
  if (t != kTagPair && t != kTagError) return f(fd, ee, s, flags, ind);
  NestLevel level;
  if (!level.ok()) return pr_fail(ee, ELOOP);
  return f(fd, ee, s, flags, ind);
}

// ---- nesting, measured before printing -----------------------------------------------------

namespace {

// One step of the walk: a value to look at, or (spine) a pair whose car is done and whose
// tail comes next. level: the nesting levels the printer holds while printing it.
struct DepthItem {
  TQ_SEXP* s;
  int level;
  bool spine;
};

// A stack that lives on the C++ stack until it outgrows it.
class DepthStack {
 public:
  void push(DepthItem it) {
    if (n_ < kLocal) {
      local_[n_++] = it;
    } else {
      more_.push_back(it);
    }
  }
  bool pop(DepthItem* it) {
    if (!more_.empty()) {
      *it = more_.back();
      more_.pop_back();
      return true;
    }
    if (n_ == 0) return false;
    *it = local_[--n_];
    return true;
  }

 private:
  static constexpr int kLocal = 64;
  DepthItem local_[kLocal];
  int n_ = 0;
  std::vector<DepthItem> more_;
};

}  // namespace

// False when printing s (with kPrintLines: its elements) would hold more nesting levels
// than the calling thread has left. Cells are realised in the order the printer reaches
// them, so a reader behind a delayed list is read as printing would read it.
static bool depth_fits(TQ_SEXP* s, int flags) {
  const int left = kNestLimit - nest_depth();
  DepthStack st;
  int32_t t;
  if (flags & kPrintLines) {
    s = pr_realized(s, &t);
    if (t == kTagPair) {
      st.push({s, 0, true});
      st.push({s->pair.car, 0, false});
    } else {
      st.push({s, 0, false});
    }
  } else {
    st.push({s, 0, false});
  }
  DepthItem it;
  while (st.pop(&it)) {
    if (it.spine) {
      TQ_SEXP* next = pr_realized(it.s->pair.cdr, &t);
      if (t == kTagPair) {
        st.push({next, it.level, true});
        st.push({next->pair.car, it.level, false});
      } else if (t != kTagNil) {
        st.push({next, it.level, false});
      }
      continue;
    }
    TQ_SEXP* v = pr_realized(it.s, &t);
    if (t != kTagPair && t != kTagError) continue;
    const int level = it.level + 1;
    if (level > left) return false;
    if (t == kTagPair) {
      st.push({v, level, true});
      st.push({v->pair.car, level, false});
    } else {
      st.push({v->error.data, level, false});
    }
  }
  return true;
}

// ---- top level -----------------------------------------------------------------------------

static int print_lines(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags) {
  int32_t t;
  s = pr_realized(s, &t);
  while (t == kTagPair) {
    PR_TRY(_print_sexp(fd, ee, s->pair.car, flags, INDENT{0, 0}));
    PR_TRY(pr_text(fd, ee, "\n"));
    s = pr_realized(s->pair.cdr, &t);
  }
  if (t == kTagNil) return 0;
  PR_TRY(_print_sexp(fd, ee, s, flags, INDENT{0, 0}));  // a tail or an atom: one line more
  return pr_text(fd, ee, "\n");
}

static int print_failed(int* err, int er) {
  if (err) *err = er;
  errno = er;
  return -1;
}

// The print of cell, after the ASCII text before and followed by the ASCII text after (each
// null for none), collected in one buffer.
static int print_framed(STREAM* stream, int* err, const char* before, TQ_SEXP* cell, int flags, const char* after) {
  // A stream that is not live is found by the first flush (EINVAL, nothing written).
  if (!stream) return print_failed(err, EINVAL);
  if (!depth_fits(cell, flags)) return print_failed(err, ELOOP);
  S_PRINTF_SAT fd;
  new_spsat(&fd, stream);
  ERR_ENV ee{0};
  int r = before ? pr_text(&fd, &ee, before) : 0;
  if (r >= 0)
    r = (flags & kPrintLines) ? print_lines(&fd, &ee, cell, flags) : _print_sexp(&fd, &ee, cell, flags, INDENT{0, 0});
  if (r >= 0 && after) r = pr_text(&fd, &ee, after);
  if (r < 0) {
    fd.str_buf_ptr = 0;  // close without flushing
    finish_spsat(&fd, nullptr);
    return print_failed(err, ee.er);
  }
  if (finish_spsat(&fd, &ee.er) < 0) return print_failed(err, ee.er ? ee.er : EIO);
  return 0;
}

int e_print_sexp(STREAM* stream, int* err, TQ_SEXP* cell, int flags) {
  return print_framed(stream, err, nullptr, cell, flags, nullptr);
}

int e_print_sexp_line(STREAM* stream, int* err, const char* before, TQ_SEXP* cell, int flags) {
  return print_framed(stream, err, before, cell, flags, "\n");
}

int e_print_sexp_framed(STREAM* stream, int* err, const char* before, TQ_SEXP* cell, int flags, const char* after) {
  return print_framed(stream, err, before, cell, flags, after);
}

int print_sexp(STREAM* stream, TQ_SEXP* cell, int flags) { return e_print_sexp(stream, nullptr, cell, flags); }

bool realize_for_print(TQ_SEXP* cell, int flags) { return depth_fits(cell, flags); }

}  // namespace tq
