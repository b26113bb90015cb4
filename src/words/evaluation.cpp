// Evaluation, error and process-control words. "Eval", "FormatEval" and "ListEval"
// evaluate values a second time; every nesting they add goes through eval, so recursion
// through them stops at the language's nesting limit like any other. "ErrHandler" turns
// any error (the loop exits included) into a report list.
#include "words/evaluation.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "interp/interpreter.h"
#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/tq_file.h"
#include "lang/unit.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

int exit_mode = 0;
void (*sleep_word_second)() = [] { sleep_sec(1); };

namespace {

TQ_SEXP* tq_Eval(TQ_WORD_ARGS) {
  TQISP_ENV* e = env_of(get_el(s, 1));
  if (!e) return word_error_str(s, ER_TYPE, "Eval", "type missmatch");
  return eval(e, get_el(s, 2));
}

// The form (handler x), positioned at x, evaluated in env.
TQ_SEXP* eval_handler(TQISP_ENV* env, ConstText handler, TQ_SEXP* x) {
  TQ_SEXP* sym = inherit(get_symbol(_l_string_2(std_cm, handler)), x);
  return eval(env, inherit(list(sym, x, nullptr), x));
}

// The elements that the items of a list give, newest first onto *rev, by the rules of
// "FormatEval"; an error cell that ends the word, else null.
TQ_SEXP* format_items(TQISP_ENV* env, TQ_SEXP* items, TQ_SEXP** rev) {
  NestLevel level;
  if (!level.ok()) return get_nesting_error("FormatEval", items);
  for (TQ_SEXP* p = items; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* x = p->pair.car;
    TQ_SEXP* v = nullptr;
    switch (get_type(x)) {
      case kTagError: return x;
      case kTagPair: {
        int head = get_type(x->pair.car);
        if (head == kTagError) return x->pair.car;
        if (head == kTagSymbol || head == kTagFunc) {
          v = eval(env, x);
        } else {
          TQ_SEXP* inner = nullptr;
          if (TQ_SEXP* e = format_items(env, x, &inner)) return e;
          v = reverse(inner);
        }
        break;
      }
      case kTagString:
      case kTagInteger:
      case kTagFloat:
        *rev = cons(eval_handler(env, "__text", x), *rev);
        v = x;
        break;
      default: v = eval(env, x);
    }
    *rev = cons(v, *rev);
  }
  return nullptr;
}

TQ_SEXP* tq_FormatEval(TQ_WORD_ARGS) {
  TQISP_ENV* e = env_of(get_el(s, 1));
  if (!e) return lang_error(s, ER_TYPE, "FormatEval", nullptr);
  TQ_SEXP* rev = nullptr;
  if (TQ_SEXP* err = format_items(e, s->pair.cdr->pair.cdr, &rev)) return err;
  return reverse(rev);
}

// Whether x is the symbol key or a list headed by it.
bool selected_by(TQ_SEXP* x, TQ_SEXP* key) {
  if (get_type(x) == kTagPair) x = x->pair.car;
  return get_type(x) == kTagSymbol && l_strcmp(x->symbol.data, key->symbol.data) == 0;
}

// The value of one element of "ListEval"'s list, with the typed handlers when switched on.
TQ_SEXP* list_eval_element(TQISP_ENV* e, TQ_SEXP* x, TQ_SYM_FIELD* sf) {
  switch (get_type(x)) {
    case kTagString:
      if (word_attr(sf, "text")) return eval_handler(e, "__text", x);
      break;
    case kTagInteger:
      if (word_attr(sf, "integer")) return eval_handler(e, "__integer", x);
      break;
    case kTagFloat:
      if (word_attr(sf, "floating")) return eval_handler(e, "__float", x);
      break;
  }
  return eval(e, x);
}

// Whether x is a list headed by a symbol that "omit" names.
bool omitted(TQ_SEXP* x, const L_CHAR* omit) {
  return omit && get_type(x) == kTagPair && get_type(x->pair.car) == kTagSymbol &&
         in_comma_list(omit, x->pair.car->symbol.data);
}

TQ_SEXP* tq_ListEval(TQ_WORD_ARGS) {
  TQ_SEXP* where = get_el(s, 1);
  TQ_SEXP* lst = get_el(s, 2);
  TQISP_ENV* e = get_type(where) == kTagNil ? env : env_of(where);
  int lt = get_type(lst);
  if (!e || (lt != kTagNil && lt != kTagPair)) return lang_error(s, ER_TYPE, "ListEval", nullptr);
  if (lt == kTagNil) return nullptr;
  std::vector<char> used;
  for (TQ_SEXP* p = lst; get_type(p) == kTagPair; p = p->pair.cdr) used.push_back(0);
  TQ_SEXP* rev = nullptr;
  for (TQ_SEXP* k = s->pair.cdr->pair.cdr->pair.cdr; get_type(k) == kTagPair; k = k->pair.cdr) {
    TQ_SEXP* key = k->pair.car;
    TQ_SEXP* v = key;
    if (get_type(key) == kTagSymbol) {
      v = nullptr;
      size_t i = 0;
      for (TQ_SEXP* p = lst; get_type(p) == kTagPair; p = p->pair.cdr, ++i) {
        if (!selected_by(p->pair.car, key)) continue;
        used[i] = 1;
        v = eval(e, p->pair.car);
        if (is_error_cell(v)) return v;
        break;
      }
    }
    rev = cons(v, rev);
  }
  const L_CHAR* omit = word_attr(sf, "omit");
  size_t i = 0;
  for (TQ_SEXP* p = lst; get_type(p) == kTagPair; p = p->pair.cdr, ++i) {
    if (used[i] || omitted(p->pair.car, omit)) continue;
    TQ_SEXP* v = list_eval_element(e, p->pair.car, sf);
    if (is_error_cell(v)) return v;
    rev = cons(v, rev);
  }
  return reverse(rev);
}

// Tests for errors without realising a delayed value (a delayed cell's tag is 8 until then).
bool is_error_now(TQ_SEXP* v) { return v && sexp_tag(v) == kTagError; }

TQ_SEXP* tq_IgnoreDelay(TQ_WORD_ARGS) {
  TQ_SEXP* first = eval(env, get_el(s, 1));
  if (is_error_now(first)) return first;
  if (list_length(s) == 2 || !first || sexp_tag(first) == kTagNil) return nullptr;
  gc_set(first, gc_qv_sexp);  // the second form may rebind the name it came from
  TQ_SEXP* second = eval(env, get_el(s, 2));
  if (is_error_cell(second)) return second;
  return cons(first, second);
}

// Writes text whole to descriptor 2, after anything the error stream holds, so that it is
// out before the process ends.
void write_stderr_whole(const char* text, size_t n) {
  if (s_stderr) s_flush(s_stderr);
  while (n) {
    ssize_t w = write(2, text, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    text += w;
    n -= size_t(w);
  }
}

// The report list (Error line site filename func code data); code is the 32-bit code as a
// signed number.
TQ_SEXP* error_report(int32_t line, const L_CHAR* site, const L_CHAR* filename, TQ_SEXP* func, int32_t code,
                      TQ_SEXP* data) {
  return List(n_get_symbol("Error"), get_integer(line, nullptr), get_string(site), get_string(filename), func,
              get_integer(code, nullptr), data, kListEnd);
}

TQ_SEXP* tq_ErrHandler(TQ_WORD_ARGS) {
  TQ_SEXP* v = eval(env, get_el(s, 1));
  if (is_error_cell(v)) {
    if (word_attr(sf, "stderr")) {
      write_stderr_whole("ERROR\n", 6);
      u_exit(run_end_status(1));
    }
    const TQ_ERROR& er = v->error;
    return error_report(er.line, er.site, er.filename, get_string(er.func), int32_t(er.code), er.data);
  }
  gc_set(v, gc_qv_sexp);
  TQ_FILE* f = s->h.file;
  return error_report(s->h.line, f ? f->site : _l_string_2(std_cm, "unknown"),
                      f ? f->name : _l_string_2(std_cm, "undefined"), n_get_string("ErrHandler"), 0, v);
}

TQ_SEXP* tq_Error(TQ_WORD_ARGS) {
  TQ_SEXP* where = get_el(s, 1);
  return lang_error(get_type(where) == kTagNil ? s : where, ER_USER, "Error", get_el(s, 2));
}

// Whole seconds of a time value: converted to "sec" when its unit is a time unit of the
// environment's unit system, truncated toward zero and saturated to 32 bits.
int sleep_seconds(TQISP_ENV* env, TQ_SEXP* v) {
  const bool integer = get_type(v) == kTagInteger;
  double d = integer ? double(v->integer.data) : v->floating.data;
  const L_CHAR* unit = integer ? v->integer.unit : v->floating.unit;
  int er = 0;
  double sec = conv_unit(&er, get_uenv(env), d, unit, _l_string_2(std_cm, "sec"));
  return saturate_int32(er ? d : sec);
}

TQ_SEXP* tq_Sleep(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  int t = get_type(v);
  if (t != kTagInteger && t != kTagFloat) return lang_error(s, ER_TYPE, "Sleep", nullptr);
  for (int n = sleep_seconds(env, v); n > 0; --n) {
    if (TQ_SEXP* b = do_break_check(s)) return b;
    sleep_word_second();
  }
  return v;
}

TQ_SEXP* tq_Exit(TQ_WORD_ARGS) {
  if (exit_mode == 0) u_exit(run_end_status(0));
  close_all_interpreter();
  return nullptr;
}

TQ_SEXP* tq_Test(TQ_WORD_ARGS) {
  ss_printf("test for chained printing\n");
  return nullptr;
}

}  // namespace

void init_Eval(TQISP_ENV* env) { bind_word(env, "Eval", tq_Eval, 1, nullptr, 3, 3); }
void init_FormatEval(TQISP_ENV* env) { bind_word(env, "FormatEval", tq_FormatEval, 1, nullptr, 3, -1); }
void init_ListEval(TQISP_ENV* env) { bind_word(env, "ListEval", tq_ListEval, 1, nullptr, 3, -1); }
void init_IgnoreDelay(TQISP_ENV* env) { bind_word(env, "IgnoreDelay", tq_IgnoreDelay, 0, nullptr, 2, 3); }
void init_ErrHandler(TQISP_ENV* env) {
  bind_word(env, "ErrHandler", tq_ErrHandler, 0, nullptr, 2, 2);
  bind_word(env, "Error", tq_Error, 1, nullptr, 3, 3);
}
void init_Sleep(TQISP_ENV* env) { bind_word(env, "Sleep", tq_Sleep, 1, nullptr, 2, 2); }
void init_Exit(TQISP_ENV* env) { bind_word(env, "Exit", tq_Exit, 1, nullptr, 1, 1); }
void init_Test(TQISP_ENV* env) { bind_word(env, "Test", tq_Test, 1, nullptr, 1, 1); }

}  // namespace tq
