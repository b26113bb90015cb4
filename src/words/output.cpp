// Output words. "PrintStd" writes a value to the standard output, to a file, or to a stream
// that "openPrintStd" opened under a number; "PrintChain" hands the bytes of a chained
// child's output to the standard streams; "SetResultFormat" sets how the interpreter prints
// its replies; "?xml" and "?tq", read at the head of an input, switch its encoding and
// redirect the standard streams.
//
// The numbered streams are one process-wide list guarded by print_std_lock: a stream is
// written under the lock, so "closePrintStd" on another interpreter never closes it under a
// writer. Values are realised before the lock is taken, so no read happens under it.
#include "words/output.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "interp/interpreter.h"
#include "lang/eval.h"
#include "lang/lex.h"
#include "lang/print.h"
#include "lang/tq_file.h"
#include "platform/d_alloc.h"
#include "stream/chain_stream.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

struct PRINT_STD_STREAM {
  PRINT_STD_STREAM* next;
  STREAM* st;
  int no;        // from 1: one more than the greatest in the list when opened
  L_CHAR* path;  // as given to openPrintStd (debug heap), for the error of a failed write
};
PRINT_STD_STREAM* print_std_list;  // newest first
SEM print_std_lock;

constexpr int kPrintStdFlags = 16;  // raw values show their size only
constexpr int kOpenFlags = O_RDWR | O_CREAT | O_TRUNC;
constexpr int kOpenMode = 0644;

constexpr WORD_KEYWORD kPrintOptions[] = {
    {"indent", kPrintIndent}, {"xml", kPrintXml}, {"html", kPrintHtml}, {"text", kPrintBare}, {"lisp", 0}, {nullptr, 0},
};

int stream_number(const L_CHAR* d) { return int(std::strtol(n_string(std_cm, d), nullptr, 10)); }

STREAM* open_for_print(const L_CHAR* path) { return s_open_file(n_string(std_cm, path), kOpenFlags, kOpenMode); }

// The error of a file that did not open with err: the file as named and the system's cause.
TQ_SEXP* cannot_open(TQ_SEXP* s, const char* func, TQ_SEXP* path, int err) {
  TQ_SEXP* why = err > 0 ? n_get_string(std::strerror(err)) : nullptr;
  return lang_error(s, ER_CANNOT_OPEN, func, list(n_get_string("cannot open the file"), path, why, nullptr));
}

// The error of a write that failed with err: the code of a file that does not open, the
// file as named (standard output as "stdout") and the system's cause.
TQ_SEXP* cannot_write(TQ_SEXP* s, const L_CHAR* path, int err, const char* func = "Printstd") {
  return lang_error(s, ER_CANNOT_OPEN, func,
                    list(n_get_string("cannot write the file"), get_string(path), n_get_string(std::strerror(err)), nullptr));
}

// Writes x: with a line end, always through the printer; without, a string as its
// characters and any other value through the printer. 0, or the errno of the failed write.
int write_value(STREAM* st, TQ_SEXP* x, int flags, bool line) {
  int err = 0;
  if (line)
    e_print_sexp_line(st, &err, nullptr, x, flags);
  else if (get_type(x) == kTagString)
    e_printf(st, &err, "%ls", x->string.data);
  else
    e_print_sexp(st, &err, x, flags);
  return err;
}

// Closes a stream written by these words, err the errno its writes failed with (0 none):
// the closing sequence of its code method and the bytes a buffered stream (the root helper's
// file) still holds go out first, so that a loss there is answered, not found at the close.
// 0, or the errno of the first failed write (EIO when none is known: a close that failed, a
// queue not sent in time).
int close_output(STREAM* st, int err) {
  if (!err && (s_end_code(st) != 0 || s_drain(st) != 0)) err = s_write_error(st) > 0 ? s_write_error(st) : EIO;
  if (d_s_close(st) != 0 && !err) err = EIO;
  return err;
}

// Writes x to a file of its own, which is closed after: 0, or the errno of the failed write.
int write_file(STREAM* st, TQ_SEXP* x, int flags) { return close_output(st, write_value(st, x, flags, true)); }

TQ_SEXP* tq_PrintStd(TQ_WORD_ARGS) {
  int flags = 0;
  if (const L_CHAR* option = word_attr(sf, "option"); option && !keyword_flags(option, kPrintOptions, &flags))
    return lang_error_text(s, ER_INVALID_PARAM, "Printstd", "invalid parameter (option)");
  flags |= kPrintStdFlags;
  TQ_SEXP* x = get_el(s, 1);
  if (!realize_for_print(x, flags))  // the print would fail before writing a byte
    return lang_error(s, ER_NESTING, "Printstd", list(n_get_string("nesting too deep"), nullptr));
  const L_CHAR* std_out = _l_string_2(std_cm, "stdout");
  if (const L_CHAR* d = word_attr(sf, "d")) {
    if (l_text_is(d, "stdout")) {
      const int err = write_value(s_stdout, x, flags, false);
      return err ? cannot_write(s, std_out, err) : nullptr;
    }
    const int no = stream_number(d);
    LOCK_SCOPE(print_std_lock);
    PRINT_STD_STREAM* r = print_std_list;
    while (r && r->no != no) r = r->next;
    if (!r) return lang_error_text(s, ER_NO_OBJECT, "Printstd", "no stream descripter (attribute d)");
    const int err = write_value(r->st, x, flags, false);
    return err ? cannot_write(s, r->path, err) : nullptr;
  }
  if (const L_CHAR* file = word_attr(sf, "file")) {
    STREAM* st = open_for_print(file);
    if (!st) {
      const int err = errno;  // before the name's string is made: a collection may change it
      return cannot_open(s, "Printstd", get_string(file), err);
    }
    const int err = write_file(st, x, flags);
    return err ? cannot_write(s, file, err) : nullptr;
  }
  const int err = write_value(s_stdout, x, flags, true);
  return err ? cannot_write(s, std_out, err) : nullptr;
}

TQ_SEXP* tq_openPrintStd(TQ_WORD_ARGS) {
  TQ_SEXP* path = get_el(s, 1);
  if (get_type(path) != kTagString) return lang_error_text(s, ER_TYPE, "openPrintstd", "type missmatch");
  CODE_METHOD* cm = nullptr;
  if (const L_CHAR* enc = word_attr(sf, "encoding"); enc && !(cm = search_cm(n_string(std_cm, enc))))
    return lang_error_text(s, ER_MISSING, "openPrintstd", "invalid encoding");
  STREAM* st = open_for_print(path->string.data);
  if (!st) return cannot_open(s, "openPrintstd", path, errno);
  if (cm) s_set_cm(st, cm);
  auto* r = static_cast<PRINT_STD_STREAM*>(d_alloc(sizeof(PRINT_STD_STREAM)));
  r->st = st;
  r->path = ll_copy_str(path->string.data);
  {
    LOCK_SCOPE(print_std_lock);
    int greatest = 0;
    for (PRINT_STD_STREAM* p = print_std_list; p; p = p->next)
      if (p->no > greatest) greatest = p->no;
    r->no = greatest + 1;
    r->next = print_std_list;
    print_std_list = r;
  }
  return get_integer(r->no, nullptr);
}

TQ_SEXP* tq_closePrintStd(TQ_WORD_ARGS) {
  const L_CHAR* d = word_attr(sf, "d");
  if (!d) return lang_error_text(s, ER_INVALID_PARAM, "closePrintstd", "invalid parameter (d)");
  const int no = stream_number(d);
  PRINT_STD_STREAM* found = nullptr;
  {
    LOCK_SCOPE(print_std_lock);
    for (PRINT_STD_STREAM** p = &print_std_list; *p; p = &(*p)->next)
      if ((*p)->no == no) {
        found = *p;
        *p = found->next;
        break;
      }
  }
  if (!found) return lang_error_text(s, ER_NO_OBJECT, "closePrintstd", "no stream descripter (attribute d)");
  const int err = close_output(found->st, 0);
  TQ_SEXP* r = err ? cannot_write(s, found->path, err, "closePrintstd") : nullptr;
  d_f_ree(found->path);
  d_f_ree(found);
  return r;
}

// The calling interpreter's id when the calling thread is its relay (or front) thread.
unsigned own_thread_iid(bool front) {
  TqiLock l;
  TQ_INTERPRETER* tqi = _get_my_tqi();
  if (!tqi || get_tid() != (front ? tqi->front_thread : tqi->relay_thread)) return 0;
  return tqi->id;
}

TQ_SEXP* print_chain_sync(const L_CHAR* sync) {
  if (l_text_is(sync, "entry")) {
    if (unsigned iid = own_thread_iid(false)) {
      s_stdout = s_open_chain(int(iid), 'o');
      s_stderr = s_open_chain(int(iid), 'e');
    }
  } else if (l_text_is(sync, "exit")) {
    s_flush(s_stdout);
    s_flush(s_stderr);
  }
  return nullptr;
}

// The bytes of a raw value as 32-bit characters, most significant byte first.
bool write_as_chars(STREAM* st, const TQ_RAW& raw) {
  const int64_t n = raw.data ? raw.size / 4 : 0;
  auto* text = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + 1)));
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* b = raw.data + 4 * i;
    text[i] = L_CHAR(b[0]) << 24 | L_CHAR(b[1]) << 16 | L_CHAR(b[2]) << 8 | L_CHAR(b[3]);
  }
  text[n] = 0;
  int err = 0;
  e_printf(st, &err, "%ls", text);
  d_f_ree(text);
  return err == 0;
}

TQ_SEXP* tq_PrintChain(TQ_WORD_ARGS) {
  if (const L_CHAR* sync = word_attr(sf, "sync")) return print_chain_sync(sync);
  TQ_SEXP* channel = get_el(s, 1);
  TQ_SEXP* bytes = get_el(s, 2);
  if (get_type(channel) != kTagString || get_type(bytes) != kTagRaw)
    return word_error_str(s, ER_TYPE, "PrintChain", "type missmatch");
  const L_CHAR* c = channel->string.data;
  if (!l_text_is(c, "o") && !l_text_is(c, "e")) return word_error_str(s, ER_INVALID_PARAM, "PrintChain", "invalid parameter");
  STREAM* st = c[0] == 'o' ? s_stdout : s_stderr;
  const TQ_RAW& raw = bytes->raw;
  bool ok = s_exist(st);
  if (ok && st->h.tbl == &s_chain_table) {
    const int64_t n = raw.data ? raw.size : 0;
    ok = n == 0 || s_write(st, reinterpret_cast<const char*>(raw.data), int(n)) == int(n);
  } else if (ok) {
    ok = write_as_chars(st, raw);
  }
  if (!ok) return word_error_str(s, ER_STREAM_ACCESS, "PrintChain", "access stream");
  return get_integer(raw.data ? raw.size : 0, nullptr);
}

TQ_SEXP* tq_SetResultFormat(TQ_WORD_ARGS) {
  int flags;
  {
    TqiLock l;
    TQ_INTERPRETER* tqi = _get_my_tqi();
    flags = tqi ? tqi->ps_flags : 0;
    for (TQ_SYM_FIELD* f = sf; f; f = f->next) {
      if (l_text_is(f->name, "indent")) {
        if (l_text_is(f->data, "on")) flags |= kPrintIndent;
        if (l_text_is(f->data, "off")) flags &= ~kPrintIndent;
      } else if (l_text_is(f->name, "mode")) {
        static constexpr const char* kModes[] = {"lisp", "xml", "html"};
        for (int m = 0; m < 3; ++m)
          if (l_text_is(f->data, kModes[m])) flags = (flags & ~kPrintModeMask) | m;
      }
    }
    if (tqi) tqi->ps_flags = flags;
  }
  static constexpr const char* kModeNames[] = {"mode:LISP", "mode:XML", "mode:HTML"};
  TQ_SEXP* indent = n_get_string(flags & kPrintIndent ? "indent:on" : "indent:off");
  const int mode = flags & kPrintModeMask;
  return mode == 3 ? list(indent, nullptr) : list(n_get_string(kModeNames[mode]), indent, nullptr);
}

TQ_SEXP* _q_xml(TQ_WORD_ARGS) {
  TQ_FILE* f = s->h.file;
  unsigned iid = own_thread_iid(true);
  STREAM* inp = nullptr;
  if (iid) {
    TqiLock l;
    if (TQ_INTERPRETER* tqi = _search_tqi_id(iid)) inp = tqi->inp;
  }
  if (!iid || !f || !inp || f->st != inp) return nullptr;
  for (TQ_SYM_FIELD* a = sf; a; a = a->next) {
    if (l_text_is(a->name, "encoding")) {
      _q_xml_encoding(s, a->data);
    } else if (l_text_is(a->name, "stdout")) {
      s_stdout = l_text_is(a->data, "chain") ? s_open_chain(int(iid), 'o') : inp;
    } else if (l_text_is(a->name, "stderr")) {
      s_stderr = l_text_is(a->data, "chain") ? s_open_chain(int(iid), 'e') : inp;
    }
  }
  return nullptr;
}

}  // namespace

void set_encoding_st(STREAM* st, const L_CHAR* name) {
  CODE_METHOD* cm = name ? search_cm(n_string(std_cm, name)) : nullptr;
  s_set_cm(st, cm ? cm : std_cm);
}

void _q_xml_encoding(TQ_SEXP* s, const L_CHAR* name) {
  CODE_METHOD* cm = name ? search_cm(n_string(std_cm, name)) : nullptr;
  tq_set_cm(s, cm ? cm : std_cm);
}

void init_PrintStd(TQISP_ENV* env) {
  print_std_lock = new_lock();
  bind_word(env, "PrintStd", tq_PrintStd, 1, nullptr, 2, 2);
  bind_word(env, "openPrintStd", tq_openPrintStd, 1, nullptr, 2, 2);
  bind_word(env, "closePrintStd", tq_closePrintStd, 1, nullptr, 1, 1);
}
void init_PrintChain(TQISP_ENV* env) { bind_word(env, "PrintChain", tq_PrintChain, 1, nullptr, 1, 3); }
void init_SetResultFormat(TQISP_ENV* env) { bind_word(env, "SetResultFormat", tq_SetResultFormat, 1, nullptr, 1, 1); }
void init__q_xml(TQISP_ENV* env) {
  bind_word(env, "?xml", _q_xml, 1, nullptr, 1, 1);
  bind_word(env, "?tq", _q_xml, 1, nullptr, 1, 1);
}

}  // namespace tq
