// The core words that reach outside the language: save (a printed value or raw bytes to a
// file), shell (a detached shell command) and wait (sleep the calling thread).
#include <fcntl.h>

#include <climits>
#include <cstring>

#include "lang/core_words.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "stream/child_process.h"
#include "stream/save_file.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool is_error(TQ_SEXP* s) { return get_type(s) == kTagError; }

TQ_SEXP* save_type_error(TQ_SEXP* form, int index) {
  return lang_error(form, ER_TYPE, "save", list(n_get_string("save:type missmatch"), get_integer(index, nullptr), nullptr));
}

// The open-flag bits scripts pass to save, in the original platform's numbering, and what
// they mean here. Other bits are dropped; the access mode is always read-write.
struct FlagMap {
  int64_t original;
  int here;
};
constexpr FlagMap kSaveFlags[] = {
    {0x4, O_NONBLOCK}, {0x8, O_APPEND}, {0x200, O_CREAT}, {0x400, O_TRUNC}, {0x800, O_EXCL},
};

// Evaluates element index of form, requiring a cell of tag want; the value or an error.
// The value is rooted in the call's frame: later elements may rebind the name it came from.
TQ_SEXP* save_arg(TQISP_ENV* env, TQ_SEXP* form, int index, int want) {
  TQ_SEXP* v = eval(env, get_el(form, index));
  if (is_error(v)) return v;
  if (get_type(v) != want) return save_type_error(form, index);
  gc_set(v, gc_qv_sexp);
  return v;
}

// Writes the raw cells of data: null, or the error of a cell. A write that fails ends the
// list with *failed set.
TQ_SEXP* save_raw_list(STREAM* st, TQ_SEXP* form, TQ_SEXP* data, bool* failed) {
  if (get_type(data) != kTagPair) return save_type_error(form, 5);
  for (TQ_SEXP* p = data; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    int t = get_type(e);
    if (t == kTagError) return e;
    if (t != kTagRaw) return save_type_error(form, 6);
    if (qv_save_write(st, e) < 0) {
      *failed = true;
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace

int save_open_flags(int64_t flags) {
  int r = O_RDWR;
  for (const FlagMap& m : kSaveFlags)
    if (flags & m.original) r |= m.here;
  return r;
}

TQ_SEXP* save_access_error(TQ_SEXP* form, const char* word, TQ_SEXP* path, const SAVE_FILE* f) {
  const char* why = save_cause(f);  // null ends the list after the path
  return lang_error(form, ER_CANNOT_OPEN, word,
                    list(n_get_string("cannot access the file"), path, why ? n_get_string(why) : nullptr, nullptr));
}

int qv_save_write(STREAM* s, TQ_SEXP* raw) {
  // The block stays with the cell: other holders of the cell may still read it.
  const char* p = reinterpret_cast<const char*>(raw->raw.data);
  int64_t left = p ? raw->raw.size : 0;
  while (left > 0) {
    int chunk = left > INT_MAX ? INT_MAX : int(left);
    int n = s_write(s, p, chunk);
    if (n < 0) return -1;
    p += n;
    left -= n;
  }
  return 0;
}

TQ_SEXP* qv_save(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* path = save_arg(env, form, 1, kTagString);
  if (is_error(path)) return path;
  TQ_SEXP* flags = save_arg(env, form, 2, kTagInteger);
  if (is_error(flags)) return flags;
  TQ_SEXP* mode = save_arg(env, form, 3, kTagInteger);
  if (is_error(mode)) return mode;
  TQ_SEXP* format = save_arg(env, form, 4, kTagString);
  if (is_error(format)) return format;
  bool qvlisp = l_strcmp(format->string.data, _l_string_2(std_cm, "qvlisp")) == 0;
  if (!qvlisp && l_strcmp(format->string.data, _l_string_2(std_cm, "raw")) != 0)
    return lang_error_text(form, ER_INVALID_PARAM, "save", "invalid parameter");
  // A save that fails leaves the file as it found it, as "Save" does, through the same open
  // and close (stream/save_file.h): a write that fails (a full disk, a size limit), a failing
  // data expression or a bad raw element leaves a truncated file whole, cuts an append back
  // and removes a file the call made. The file is still opened, and made when missing, before
  // the data is evaluated, so opening errors come first.
  SAVE_FILE file;
  STREAM* st = open_save_stream(n_string(std_cm, path->string.data), save_open_flags(flags->integer.data),
                                int(uint32_t(mode->integer.data)), "save", &file);
  if (!st) return save_access_error(form, "save", path, &file);
  TQ_SEXP* data = eval(env, get_el(form, 5));
  TQ_SEXP* r = nullptr;
  bool failed = false;  // some output did not reach the file
  if (!is_error(data) && qvlisp) realize_for_print(data, 64);  // before the file's append lock
  if (is_error(data))
    r = data;
  else if (start_save_writes(st, &file) != 0)
    failed = true;
  else if (qvlisp)
    failed = print_sexp(st, data, 64) < 0;
  else
    r = save_raw_list(st, form, data, &failed);
  if (close_save_stream(st, &file, !failed && !r) != 0) failed = true;
  return failed && !r ? save_access_error(form, "save", path, &file) : r;
}

TQ_SEXP* qv_shell(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  int total = 0;
  TQ_SEXP* rev = nullptr;
  int index = 1;
  TQ_SEXP* p = form->pair.cdr;
  for (; get_type(p) == kTagPair; p = p->pair.cdr, ++index) {
    TQ_SEXP* v = eval(env, p->pair.car);
    if (is_error(v)) return v;
    if (get_type(v) != kTagString)
      return lang_error(form, ER_TYPE, "shell",
                        list(n_get_string("type missmatch at argment "), get_integer(index, nullptr), nullptr));
    total += l_strlen(v->string.data);
    rev = cons(v, rev);
  }
  if (is_error(p)) return p;  // the form was cut off: nothing is started
  auto* text = static_cast<L_CHAR*>(d_calloc(size_t(total) + 1, sizeof(L_CHAR)));
  L_CHAR* end = text + total;
  for (TQ_SEXP* p = rev; p; p = p->pair.cdr) {
    int n = l_strlen(p->pair.car->string.data);
    end -= n;
    std::memcpy(end, p->pair.car->string.data, size_t(n) * sizeof(L_CHAR));
  }
  // Detached: the caller does not wait; the child inherits the standard streams.
  launch_proc_stdio(nullptr, nullptr, nullptr, n_string(std_cm, text));
  d_f_ree(text);
  return nullptr;
}

TQ_SEXP* qv_wait(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* v = eval(env, get_el(form, 1));
  if (is_error(v)) return v;
  if (get_type(v) != kTagInteger) return lang_error_text(form, ER_TYPE, "wait", "typemissmatch");
  // A negative count waits no time (taken as unsigned it would be some 136 years).
  int64_t secs = v->integer.data < 0 ? 0 : int64_t(uint32_t(v->integer.data));
  while (secs > 0) {
    int step = secs > INT_MAX ? INT_MAX : int(secs);
    sleep_sec(step);
    secs -= step;
  }
  return nullptr;
}

}  // namespace tq
