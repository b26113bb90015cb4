// Control words. All but the loop exits are special forms: they get their form as written
// and evaluate its parts in the caller's environment, handing back the first error cell a
// part yields. "Break" and "Continue" are error cells (0x80011608 carrying the loop's value,
// 0x80011609) that travel back through every word like any error until a loop absorbs them.
#include "words/control.h"

#include <cstdlib>

#include "lang/core_words.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

TQISP_ENV* loop_env = nullptr;

namespace {

// ---- Let

TQ_SEXP* let_format_error(TQ_SEXP* at, const char* text) {
  return lang_error(at, ER_FORMAT, "Let", list(n_get_string("format error"), n_get_string(text), at, nullptr));
}

// (Env e...): each e is evaluated in the caller's env and searched after E.
TQ_SEXP* let_env_clause(TQISP_ENV* env, TQISP_ENV** e, TQ_SEXP* clause) {
  for (TQ_SEXP* p = clause->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* v = eval(env, p->pair.car);
    if (is_error_cell(v)) return v;
    TQISP_ENV* given = env_of(v);
    if (!given) return let_format_error(v, "environment type is required");
    *e = new_env_pair(*e, given);
  }
  return nullptr;
}

// (Sub (sym expr)...): one new environment whose values see the substitutions before them.
TQ_SEXP* let_sub_clause(TQISP_ENV** e, TQ_SEXP* clause) {
  *e = new_env(*e);
  for (TQ_SEXP* p = clause->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* item = p->pair.car;
    int t = get_type(item);
    if (t == kTagError) return item;
    if (t != kTagPair) return let_format_error(item, "substitution pair is required");
    TQ_SEXP* sym = item->pair.car;
    if (get_type(sym) != kTagSymbol) return let_format_error(sym, "symbol is required");
    TQ_SEXP* v = eval(*e, get_el(item, 1));
    if (is_error_cell(v)) return v;
    set_env(*e, sym->symbol.data, v);
  }
  return nullptr;
}

TQ_SEXP* tq_Let(TQ_WORD_ARGS) {
  TQISP_ENV* e = env;
  bool fresh = true;  // a body environment is still to be made
  TQ_SEXP* p = s->pair.cdr;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* clause = p->pair.car;
    if (get_type(clause) != kTagPair) break;
    TQ_SEXP* head = clause->pair.car;
    TQ_SEXP* r = nullptr;
    if (get_type(head) != kTagSymbol) return let_format_error(head, "symbol is required");
    if (is_symbol_named(head, "Env")) {
      r = let_env_clause(env, &e, clause);
      fresh = true;
    } else if (is_symbol_named(head, "Sub")) {
      r = let_sub_clause(&e, clause);
      fresh = false;
    } else {
      break;
    }
    if (r) return r;
  }
  if (fresh) e = new_env(e);
  return eval_body(e, p);
}

// ---- If, IfDef, Switch, Sequence

TQ_SEXP* tq_If(TQ_WORD_ARGS) {
  TQ_SEXP* c = eval(env, get_el(s, 1));
  if (is_error_cell(c)) return c;
  const int truth = number_truth(c);
  if (truth < 0) return word_error_str(s, ER_TYPE, "If", "type missmatch");
  bool then_seen = false, else_seen = false;
  for (TQ_SEXP* p = s->pair.cdr->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* clause = p->pair.car;
    TQ_SEXP* head = get_type(clause) == kTagPair ? clause->pair.car : nullptr;
    bool is_then = is_symbol_named(head, "Then");
    bool is_else = !is_then && is_symbol_named(head, "Else");
    if ((!is_then && !is_else) || (is_then && then_seen) || (is_else && else_seen))
      return word_error_str(s, ER_INVALID_PARAM, "If", "then else parameter error");
    (is_then ? then_seen : else_seen) = true;
    if (is_then == (truth == 1)) return eval_body(env, clause->pair.cdr);
  }
  return nullptr;
}

// The "depth" attribute: a decimal prefix (blanks and a sign allowed), 0 when none.
int depth_limit(const L_CHAR* text) {
  long d = std::strtol(n_string(std_cm, text), nullptr, 10);
  return d < 0 ? -1 : d > 0x7fffffffL ? 0x7fffffff : int(d);  // negative: no limit
}

TQ_SEXP* tq_IfDef(TQ_WORD_ARGS) {
  TQ_SEXP* sym = get_el(s, 1);
  if (get_type(sym) != kTagSymbol) {
    sym = eval(env, sym);
    if (is_error_cell(sym)) return sym;
    if (get_type(sym) != kTagSymbol) return lang_error(s, ER_TYPE, "IfDef", nullptr);
  }
  TQ_SEXP* deflt = get_el(s, 2);
  if (L_CHAR* depth = word_attr(sf, "depth")) {
    TQ_SEXP* v = nullptr;
    if (_eval_symbol(&v, env, sym->symbol.data, depth_limit(depth)) != 0 || get_type(v) == kTagNil)
      return eval(env, deflt);
  }
  TQ_SEXP* v = eval_symbol(env, sym, -1);
  return is_error_cell(v) ? eval(env, deflt) : v;
}

// The number a Case test stands for: the low 32 bits of an integer, a float truncated
// toward zero with saturation; NaN counts as not zero.
bool case_holds(TQ_SEXP* v) {
  if (get_type(v) == kTagInteger) return int32_t(uint64_t(v->integer.data)) != 0;
  double d = v->floating.data;
  return d != d || saturate_int32(d) != 0;
}

TQ_SEXP* tq_Switch(TQ_WORD_ARGS) {
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* clause = p->pair.car;
    if (list_length(clause) < 3 || !is_symbol_named(clause->pair.car, "Case"))
      return word_error_str(s, ER_INVALID_PARAM, "Switch", "then else parameter error");
    TQ_SEXP* t = eval(env, get_el(clause, 1));
    int type = get_type(t);
    if (type == kTagError) return t;
    if (type != kTagInteger && type != kTagFloat)
      return lang_error(s, ER_TYPE, "Switch", list(n_get_string("type missmatch"), t, nullptr));
    if (case_holds(t)) return eval_body(env, clause->pair.cdr->pair.cdr);
  }
  return nullptr;
}

TQ_SEXP* tq_Sequence(TQ_WORD_ARGS) {
  TQ_SEXP* w = eval(env, get_el(s, 1));
  int t = get_type(w);
  if (t == kTagError) return w;
  if (t != kTagNil && t != kTagEnv) return word_error_str(s, ER_TYPE, "Sequence", "type missmatch");
  return eval_body(t == kTagEnv ? w->env.data : env, s->pair.cdr->pair.cdr);
}

// ---- Loops

TQ_SEXP* condition_error(TQ_SEXP* s, const char* word) {
  return word_error_str(s, ER_TYPE, word, "condition type missmatch");
}

// The body runs before the condition; Continue skips the condition.
TQ_SEXP* tq_While(TQ_WORD_ARGS) {
  TQISP_ENV* e = new_env_pair(a, env);
  TQ_SEXP* cond = get_el(s, 1);
  TQ_SEXP* body = get_el(s, 2);
  LoopFrame frame("While");
  for (;;) {
    TQ_SEXP* v = eval(e, body);
    if (is_code(v, ER_CTL_BREAK)) return frame.release(v->error.data);
    if (is_code(v, ER_CTL_CONTINUE)) {
      frame.renew(nullptr);
      continue;
    }
    if (is_error_cell(v)) return frame.release(v);
    frame.renew(v);
    TQ_SEXP* c = eval(e, cond);
    if (is_error_cell(c)) return frame.release(c);
    int truth = number_truth(c);
    if (truth < 0) return frame.release(condition_error(s, "While"));
    if (!truth) return frame.release(v);
  }
}

// Runs the forms of one pass into *r. 1 when the pass ended the loop (*r is then its
// value), else 0 (Continue leaves *r nil).
int for_pass(TQISP_ENV* e, TQ_SEXP* forms, TQ_SEXP** r) {
  for (TQ_SEXP* p = forms; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* v = eval(e, p->pair.car);
    if (is_code(v, ER_CTL_BREAK)) {
      *r = v->error.data;
      return 1;
    }
    if (is_code(v, ER_CTL_CONTINUE)) {
      *r = nullptr;
      return 0;
    }
    *r = v;
    if (is_error_cell(v)) return 1;
  }
  return 0;
}

// The counter's truth: nil ends (0), a list runs, an integer above 0, a float not <= 0.0
// (NaN runs); -1 for any other kind.
int counter_truth(TQ_SEXP* c) {
  switch (get_type(c)) {
    case kTagNil: return 0;
    case kTagPair: return 1;
    case kTagInteger: return c->integer.data > 0;
    case kTagFloat: return !(c->floating.data <= 0.0);
    default: return -1;
  }
}

// The counter's value after a pass: one less with the same unit, or a list's tail.
TQ_SEXP* counter_next(TQ_SEXP* c) {
  switch (get_type(c)) {
    case kTagInteger: return get_integer(int64_t(uint64_t(c->integer.data) - 1), c->integer.unit);
    case kTagFloat: return get_floating(c->floating.data - 1.0, c->floating.unit);
    default: return c->pair.cdr;
  }
}

// (For cond form...), or with dec="name" (For form...) counting the variable name down.
TQ_SEXP* tq_For(TQ_WORD_ARGS) {
  TQISP_ENV* e = new_env_pair(a, env);
  TQ_SEXP* r = get_integer(0, nullptr);
  L_CHAR* dec = word_attr(sf, "dec");
  TQ_SEXP* counter = nullptr;
  TQ_SEXP* cond = nullptr;
  TQ_SEXP* forms = s->pair.cdr;
  if (dec) {
    counter = get_symbol(dec[0] == '^' ? dec + 1 : dec);
    inherit(counter, s);
  } else {
    cond = forms->pair.car;
    forms = forms->pair.cdr;
  }
  LoopFrame frame("For");
  for (;;) {
    TQ_SEXP* c = eval(e, counter ? counter : cond);
    if (is_error_cell(c)) return frame.release(c);
    int truth = counter ? counter_truth(c) : number_truth(c);
    if (truth < 0) return frame.release(condition_error(s, "For"));
    if (!truth) return frame.release(r);
    frame.renew(c, r);  // the pass may rebind the counter; c gives its next value
    if (for_pass(e, forms, &r)) return frame.release(r);
    if (counter) set_op(e, counter, counter_next(c));
    frame.renew(r);
  }
}

TQ_SEXP* tq_Break(TQ_WORD_ARGS) { return lang_error(s, ER_CTL_BREAK, "Break", get_el(s, 1)); }
TQ_SEXP* tq_Continue(TQ_WORD_ARGS) { return lang_error(s, ER_CTL_CONTINUE, "Continue", nullptr); }

}  // namespace

void init_While(TQISP_ENV* env) {
  loop_env = new_env(nullptr);
  bind_word(loop_env, "Break", tq_Break, 1, nullptr, 1, 2);
  bind_word(loop_env, "Continue", tq_Continue, 1, nullptr, 1, 1);
  bind_word(env, "While", tq_While, 0, loop_env, 3, 3);
}
void init_For(TQISP_ENV* env) { bind_word(env, "For", tq_For, 0, loop_env, 2, -1); }
void init_If(TQISP_ENV* env) { bind_word(env, "If", tq_If, 0, nullptr, 3, 4); }
void init_IfDef(TQISP_ENV* env) { bind_word(env, "IfDef", tq_IfDef, 0, nullptr, 3, 3); }
void init_Switch(TQISP_ENV* env) { bind_word(env, "Switch", tq_Switch, 0, nullptr, 2, -1); }
void init_Sequence(TQISP_ENV* env) { bind_word(env, "Sequence", tq_Sequence, 0, nullptr, 2, -1); }
void init_Let(TQISP_ENV* env) { bind_word(env, "Let", tq_Let, 0, nullptr, 1, -1); }

}  // namespace tq
