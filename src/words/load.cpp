// "Load" and load_file: a file found by the script search, opened read-only and read in the
// mode its attributes choose (see load.h). Source text comes back as the reader's lazily
// read list of forms, or is evaluated form by form in exec mode with the script path set to
// the file's own directory for the time of the load.
#include "words/load.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "interp/interpreter.h"
#include "lang/calendar.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "stream/file_stream.h"
#include "stream/script_search.h"
#include "words/output.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

TQ_SEXP* load_open_error(TQ_SEXP* s, const L_CHAR* filename, int err) {
  TQ_SEXP* why = err > 0 ? n_get_string(std::strerror(err)) : nullptr;
  return lang_error(s, ER_CANNOT_OPEN, "load", list(n_get_string("cannot open the file"), get_string(filename), why, nullptr));
}

namespace {

// The reader's list of the forms of st, with its flags, encoding and close hook.
TQ_SEXP* parse_file(STREAM* st, const L_CHAR* path, int flags, const L_CHAR* encode, TQ_CLOSE_FUNC func, void* work) {
  TQ_SEXP* root = init_parse(st, path, path);
  TQ_FILE* f = root->delay.d.file.f;
  f->flags |= flags;
  if (encode)
    _q_xml_encoding(root, encode);
  else
    set_encoding(root);
  set_close_func(f, func, work);
  return root;
}

// Evaluates the forms of the list one by one in env: the last value, the first error (the
// value carried by a loop exit), nil for no form.
TQ_SEXP* eval_forms(TQISP_ENV* env, TQ_SEXP* forms) {
  LoopFrame frame("load exec");
  TQ_SEXP* value = nullptr;
  for (TQ_SEXP* cur = forms; get_type(cur) == kTagPair;) {
    TQ_SEXP *form, *rest;
    {
      lock_parse();
      MemLock hold;
      form = cur->pair.car;
      rest = cur->pair.cdr;
      unlock_parse("load exec");
    }
    frame.renew(rest, form);
    value = eval(env, form);
    if (get_type(value) == kTagError) {
      if (value->error.code == ER_CTL_BREAK) value = value->error.data;
      break;
    }
    cur = rest;
  }
  return frame.release(value);
}

TQ_SEXP* exec_file(TQISP_ENV* env, STREAM* st, const L_CHAR* path, int flags, const L_CHAR* encode,
                   TQ_CLOSE_FUNC func, void* work) {
  L_CHAR* saved = get_script_path();
  set_script_path(path);  // names loaded from the file resolve beside it
  GcFrame frame("load exec file");
  TQ_SEXP* v = eval_forms(env, parse_file(st, path, flags, encode, func, work));
  set_script_path(saved);
  d_f_ree(saved);
  return frame.release(v);
}

struct LoadMode {
  const char* name;
  int mode;
};
constexpr LoadMode kModes[] = {
    {"raw", LOAD_RAW},   {"tq", LOAD_TQ},     {"html", LOAD_HTML},      {"exec", LOAD_EXEC},
    {"text", LOAD_TEXT}, {"text.escape", LOAD_TEXT_ESCAPE}, {"icalendar", LOAD_ICALENDAR},
};

TQ_SEXP* tq_Load(TQ_WORD_ARGS) {
  int mode = LOAD_TQ, flags = 0;
  const L_CHAR *encoding = nullptr, *terminate = nullptr;
  for (TQ_SYM_FIELD* f = sf; f; f = f->next) {
    if (l_text_is(f->name, "format.mode") || l_text_is(f->name, "option")) {
      const LoadMode* m = nullptr;
      for (const LoadMode& row : kModes)
        if (l_text_is(f->data, row.name)) m = &row;
      if (!m) return lang_error_text(s, ER_INVALID_PARAM, "load", "invalid parameter");
      mode = m->mode;
      if (mode == LOAD_HTML) flags = kRfTextMode;
    } else if (l_text_is(f->name, "format.text")) {
      flags = l_text_is(f->data, "on") ? kRfTextMode : 0;
    } else if (l_text_is(f->name, "encoding")) {
      encoding = f->data;
    } else if (l_text_is(f->name, "terminate")) {
      terminate = f->data;
    }
  }
  TQ_SEXP* name = get_el(s, 1);
  if (get_type(name) != kTagString) return lang_error_text(s, ER_TYPE, "load", "type missmatch");
  AUTOMATON* term = terminate ? get_fa(terminate) : nullptr;
  return load_file(env, s, mode, name->string.data, encoding, term, flags, nullptr, nullptr);
}

}  // namespace

TQ_SEXP* load_file(TQISP_ENV* env, TQ_SEXP* s, int type, const L_CHAR* filename, const L_CHAR* encode,
                   AUTOMATON* term_a, int flags, TQ_CLOSE_FUNC func, void* work) {
  const L_CHAR* base = s && s->h.file ? s->h.file->name : nullptr;
  L_CHAR* path = get_script(base, filename);
  errno = ENOENT;  // no path: the script search found no file
  STREAM* st = path ? s_open_file(n_string(std_cm, path), O_RDONLY, 0) : nullptr;
  if (!st) {
    const int err = errno;
    d_f_ree(path);
    free_automaton(term_a);
    return load_open_error(s, filename, err);
  }
  TQ_SEXP* r;
  switch (type) {
    case LOAD_TEXT:
    case LOAD_TEXT_ESCAPE:
      if (encode) set_encoding_st(st, encode);
      [[fallthrough]];
    case LOAD_RAW: r = new_delay_load(st, type, path, term_a, func, work); term_a = nullptr; break;
    case LOAD_EXEC: r = exec_file(env, st, path, flags, encode, func, work); break;
    case LOAD_ICALENDAR: r = get_cal(st, encode ? search_cm(n_string(std_cm, encode)) : nullptr); break;
    default: r = parse_file(st, path, (type == LOAD_HTML ? kRfHtml : 0) | flags, encode, func, work); break;
  }
  free_automaton(term_a);
  d_f_ree(path);
  return r;
}

void init_Load(TQISP_ENV* env) {
  init_load_list();
  bind_word(env, "Load", tq_Load, 1, nullptr, 2, 2);
}

}  // namespace tq
