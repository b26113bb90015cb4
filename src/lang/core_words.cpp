// Binding, control and list-building core words: let, define, set, lambda, if, while,
// list, cons, append. Their element counts are checked by the evaluator before they run.
#include "lang/core_words.h"

#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/tq_file.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool is_error(TQ_SEXP* s) { return get_type(s) == kTagError; }

// The elements of a form after position `from`, evaluated in env one after another: the
// first error, else the last value (nil when there are none). A form the reader cut off
// ends in its error cell instead of nil; that cell is the result, as in every word that
// walks its own elements.
TQ_SEXP* eval_forms(TQISP_ENV* env, TQ_SEXP* forms) {
  TQ_SEXP* r = nullptr;
  TQ_SEXP* p = forms;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    r = eval(env, p->pair.car);
    if (is_error(r)) return r;
  }
  return is_error(p) ? p : r;
}

// The error cell that ends a form the reader cut off at the end of input, else null. The
// evaluator counts only the first elements of a word without a maximum, so such a word
// looks at the tail itself before it acts.
TQ_SEXP* cut_off(TQ_SEXP* form) {
  TQ_SEXP* p = form;
  while (get_type(p) == kTagPair) p = p->pair.cdr;
  return is_error(p) ? p : nullptr;
}

TQ_SEXP* let_format_error(TQ_SEXP* form, const char* what) {
  return lang_error(form, ER_FORMAT, "let", list(n_get_string("format error"), n_get_string(what), form, nullptr));
}

TQ_SEXP* symbol_required(TQ_SEXP* at, const char* word) {
  return lang_error_text(at, ER_SYMBOL_REQUIRED, word, "symbol is required for 1st parameter");
}

// A lambda takes exactly its parameters; counts are signed 8-bit and include the head.
constexpr int kMaxLambdaParams = 126;

}  // namespace

TQ_SEXP* qv_let(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQISP_ENV* le = new_env(env);
  TQ_SEXP* bindings = get_el(form, 1);
  if (get_type(bindings) != kTagPair) return let_format_error(form, "substitution");
  TQ_SEXP* p = bindings;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* b = p->pair.car;
    if (get_type(b) != kTagPair) return let_format_error(form, "substitution element");
    if (get_type(b->pair.car) != kTagSymbol) return let_format_error(form, "substitution symbol");
    // Initialisers see the outer environment, never the bindings made before them.
    TQ_SEXP* v = eval(env, get_el(b, 1));
    if (is_error(v)) return v;
    set_env(le, b->pair.car->symbol.data, v);
  }
  if (is_error(p)) return p;
  return eval_forms(le, cdr(form->pair.cdr));
}

TQ_SEXP* qv_lambda(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* params = get_el(form, 1);
  if (is_error(params)) return params;
  if (TQ_SEXP* e = cut_off(form)) return e;  // a body the reader cut off
  int n = 0;
  TQ_SEXP* p = params;
  for (; get_type(p) == kTagPair; p = p->pair.cdr, ++n) {
    int t = get_type(p->pair.car);
    if (t == kTagError) return p->pair.car;
    if (t != kTagSymbol) break;
  }
  if (get_type(p) != kTagNil || n > kMaxLambdaParams) {
    if (TQ_SEXP* e = list_error(params); is_error(e)) return e;  // a list the reader cut off
    return lang_error_text(form, ER_FORMAT, "lambda", "format error in lambda argment");
  }
  TQ_SEXP* body = cdr(form->pair.cdr);  // may read on: before the section
  MemLock lock;  // a collection meets the function whole
  TQ_SEXP* f = get_sexp_inh(nullptr, kTagFunc, form);
  f->func.type = kFuncLambda;
  f->func.order = 1;
  f->func.min = f->func.max = int8_t(n + 1);
  f->func.l_params = params;
  f->func.l_body = body;
  return f;
}

TQ_SEXP* qv_define(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  if (TQ_SEXP* e = cut_off(form)) return e;  // nothing is bound from a cut-off form
  TQ_SEXP* target = get_el(form, 1);
  int t = get_type(target);
  if (t == kTagSymbol) {
    TQ_SEXP* v = eval(env, get_el(form, 2));
    if (is_error(v)) return v;
    set_env(env, target->symbol.data, v);
    return target;
  }
  if (t != kTagPair || get_type(target->pair.car) != kTagSymbol) return symbol_required(target, "define");
  // (define (name parameter ...) body ...) is (lambda (parameter ...) body ...) bound to name.
  TQ_SEXP* lam = cons_inh_2(nullptr, cons(target->pair.cdr, form->pair.cdr->pair.cdr));
  TQ_SEXP* f = qv_lambda(env, lam, nullptr, nullptr, nullptr);
  if (is_error(f)) return f;
  inherit(f, form);
  set_env(env, target->pair.car->symbol.data, f);
  return target->pair.car;
}

[[gnu::hot]] int set_op(TQISP_ENV* env, TQ_SEXP* symbol, TQ_SEXP* value) {
  const L_CHAR* name = symbol->symbol.data;
  while (env) {
    if (env->type == kEnvPair) {
      if (set_op(env->pair.env[0], symbol, value) == 0) return 0;
      env = env->pair.env[1];
      continue;
    }
    if (replace_env_value(env, name, value) == 0) return 0;
    env = env->env.parent;
  }
  return -1;
}

[[gnu::hot]] TQ_SEXP* qv_set(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD* attr, TQISP_ENV*) {
  TQ_SEXP* sym = get_el(form, 1);
  int t = get_type(sym);
  if (t == kTagError) return sym;
  if (t != kTagSymbol) return symbol_required(sym, "set");
  TQ_SEXP* v = eval(env, get_el(form, 2));
  bool ignore_delay = attr && get_sf_attribute(attr, _l_string_2(std_cm, "ignore.delay")) != nullptr;
  if (ignore_delay && v) {
    // A delayed value is assigned unrealised; only a value already known to be an error stops.
    if (v->h.type == kTagError) return v;
  } else if (is_error(v)) {
    return v;
  }
  if (set_op(env, sym, v) != 0)
    return lang_error(sym, ER_UNDEFINED, "set", list(n_get_string("symbol "), sym, n_get_string(" is undefined"), nullptr));
  return nullptr;
}

TQ_SEXP* qv_if(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* c = eval(env, get_el(form, 1));
  if (is_error(c)) return c;
  int truth = number_truth(c);
  if (truth < 0) return lang_error_text(form, ER_TYPE, "if", "type missmatch in condition");
  return eval(env, get_el(form, truth ? 2 : 3));
}

TQ_SEXP* qv_while(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* cond = get_el(form, 1);
  TQ_SEXP* body = cdr(form->pair.cdr);
  TQ_SEXP* last = nullptr;
  // One frame for the loop holds only the last pass's value: each pass reopens it, so the
  // garbage of a long loop is not kept alive until the loop ends.
  gc_push(nullptr, nullptr, "while");
  for (;;) {
    TQ_SEXP* c = eval(env, cond);
    TQ_SEXP* r = last;
    int truth = number_truth(c);
    if (truth == 0) {
      // A body that never ran has not met the tail of a form the reader cut off.
      if (TQ_SEXP* e = cut_off(body)) last = e;
      break;
    }
    if (is_error(c)) {
      r = c;
    } else if (truth < 0) {
      r = lang_error_text(c ? c : form, ER_TYPE, "while", "type missmatch for condition");
    } else {
      last = eval_forms(new_env(env), body);
      if (!is_error(last)) {
        // A fresh frame rooting only this value; the frames below keep their own entries
        // (gc_push with the value would take it out of them), and no collection runs
        // between closing the old frame and rooting the value in the new one.
        MemLock lock;
        gc_pop(nullptr, nullptr);
        gc_push(nullptr, nullptr, "while");
        gc_set(last, gc_qv_sexp);
        continue;
      }
      r = last;
    }
    gc_pop(r, gc_qv_sexp);
    return r;
  }
  gc_pop(last, gc_qv_sexp);
  return last;
}

TQ_SEXP* qv_list(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* rev = nullptr;
  TQ_SEXP* p = form->pair.cdr;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* v = eval(env, p->pair.car);
    if (is_error(v)) return v;
    rev = cons(v, rev);
  }
  return is_error(p) ? p : reverse(rev);
}

TQ_SEXP* qv_cons(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* a = eval(env, get_el(form, 1));
  if (is_error(a)) return a;
  gc_set(a, gc_qv_sexp);  // element 2 may rebind the name a came from
  TQ_SEXP* b = eval(env, get_el(form, 2));
  if (is_error(b)) return b;
  return cons(a, b);
}

TQ_SEXP* qv_append(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* a = eval(env, get_el(form, 1));
  if (is_error(a)) return a;
  gc_set(a, gc_qv_sexp);  // element 2 may rebind the name a came from
  TQ_SEXP* b = eval(env, get_el(form, 2));
  if (is_error(b)) return b;
  return append(a, b);
}

TQ_SEXP* qv_null_func() { return nullptr; }

}  // namespace tq

namespace tq {

TQ_SEXP* set_line_fix(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* v = eval(env, get_el(form, 1));
  int t = get_type(v);
  if (t == kTagError) return v;
  if (t != kTagInteger) return lang_error_text(form, ER_TYPE, "set-line-fix", "type missmatch");
  if (TQ_FILE* f = form ? form->h.file : nullptr) {
    f->line = int32_t(uint32_t(uint64_t(v->integer.data)));
    f->flags |= kRfLineFixed;
  }
  return nullptr;
}

}  // namespace tq
