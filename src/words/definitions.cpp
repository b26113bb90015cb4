// Definition words: "Lambda", "Define", "DefineDefault" make user functions (function cells
// of type 2 that the evaluator applies) from a parameter list and an "Order" attribute;
// "DefineEval"/"DE", "DeleteDefine", "DeleteDefaultDefine" and "MoveDefine" bind, remove
// and move names. Every check runs before a binding changes, so no word leaves half a
// definition behind.
#include "lang/eval.h"
#include "lang/gc.h"
#include "stream/format.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// The kinds of user function, by the value of the "Order" attribute; each is the order the
// function cell gets (a single-symbol parameter list makes the applicative kinds order 1).
enum Kind : int8_t { kNormal = 0, kApplicative = 1, kApplicativeElement = 2 };

// Counts include the head and are signed 8-bit: at most 126 parameters after it.
constexpr int kMaxParamElements = 127;

// The kind the first attribute names: 0 with *kind set (deflt when there are no
// attributes); 1 when the first attribute is not "Order"; 2 when its value is unknown.
int read_kind(TQ_SYM_FIELD* sf, Kind deflt, Kind* kind) {
  *kind = deflt;
  if (!sf) return 0;
  if (l_strcmp(sf->name, _l_string_2(std_cm, "Order")) != 0) return 1;
  static constexpr struct {
    ConstText name;
    Kind kind;
  } kKinds[] = {{"Normal", kNormal}, {"Applicative", kApplicative}, {"ApplicativeElement", kApplicativeElement}};
  for (const auto& k : kKinds) {
    if (sf->data && l_strcmp(sf->data, _l_string_2(std_cm, k.name)) == 0) {
      *kind = k.kind;
      return 0;
    }
  }
  return 2;
}

// The form after its first n elements.
TQ_SEXP* tail(TQ_SEXP* s, int n) {
  while (n-- > 0 && get_type(s) == kTagPair) s = s->pair.cdr;
  return get_type(s) == kTagPair ? s : nullptr;
}

// Checks a parameter list P that is a list: its element count, or -1 when it cannot make a
// function; an error cell among the checked elements goes to *err. A normal function needs
// symbols everywhere; a keyword (ApplicativeElement) function needs symbols for its
// parameters, which calls name; a plain applicative list is not looked into.
int count_params(TQ_SEXP* params, Kind kind, TQ_SEXP** err) {
  int n = 0;
  TQ_SEXP* p = params;
  for (; get_type(p) == kTagPair; p = p->pair.cdr, ++n) {
    if (kind == kApplicative || (kind == kApplicativeElement && n == 0)) continue;
    int t = get_type(p->pair.car);
    if (t == kTagError) *err = p->pair.car;
    if (t != kTagSymbol) return -1;
  }
  return get_type(p) == kTagNil && n <= kMaxParamElements ? n : -1;
}

// A user function of the kind from E (applicative kinds only), the parameter list P as
// written and the body forms. The function cell; an error cell met in E's or P's place; or
// null when they cannot make a function (the caller reports its own format error).
TQ_SEXP* make_function(TQISP_ENV* env, Kind kind, TQ_SEXP* e_form, TQ_SEXP* params, TQ_SEXP* body, TQ_SEXP* at) {
  TQISP_ENV* args_env = nullptr;
  if (kind != kNormal) {
    TQ_SEXP* ev = eval(env, e_form);
    if (is_error_cell(ev)) return ev;
    if (get_type(ev) != kTagNil && !(args_env = env_of(ev))) return nullptr;
  }
  int8_t order = kind, min = 0, max = 0;
  TQ_SEXP* l_params = nullptr;
  switch (get_type(params)) {
    case kTagError: return params;
    case kTagNil: break;
    case kTagSymbol:
      min = 1, max = kNoMax, l_params = params;
      if (kind != kNormal) order = 1;
      break;
    case kTagPair: {
      TQ_SEXP* err = nullptr;
      int n = count_params(params, kind, &err);
      if (err) return err;
      if (n < 0) return nullptr;
      min = max = int8_t(n);
      l_params = params->pair.cdr;
      break;
    }
    default: return nullptr;
  }
  MemLock hold;  // a collection meets the function whole
  TQ_SEXP* f = get_sexp_inh(nullptr, kTagFunc, at);
  f->func.type = kFuncLambda;
  f->func.order = order;
  f->func.min = min;
  f->func.max = max;
  f->func.args_env = args_env;
  f->func.l_params = l_params;
  f->func.l_body = body;
  return f;
}

bool nil_or_env(TQ_SEXP* v) {
  int t = get_type(v);
  return t == kTagNil || t == kTagEnv;
}

TQ_SEXP* lambda_format_error(TQ_SEXP* s) {
  return lang_error(s, ER_FORMAT, "lambda",
                    list(n_get_string("format error in lambda argment"), get_integer(kTagPair, nullptr), s, nullptr));
}

// (Lambda P body [body]) with Order="Normal"; (Lambda E P [body]) otherwise.
TQ_SEXP* tq_Lambda(TQ_WORD_ARGS) {
  Kind kind;
  if (read_kind(sf, kApplicative, &kind) != 0) return lambda_format_error(s);
  TQ_SEXP* f = nullptr;
  if (kind == kNormal) {
    f = make_function(env, kind, nullptr, get_el(s, 1), tail(s, 2), s);
  } else if (nil_or_env(get_el(s, 1))) {
    f = make_function(env, kind, get_el(s, 1), get_el(s, 2), tail(s, 3), s);
  }
  return f ? f : lambda_format_error(s);
}

TQ_SEXP* define_format_error(TQ_SEXP* s) {
  return lang_error_text(s, ER_FORMAT, "Define", "format error in Define argment");
}

// (Define sym expr); (Define name P body [body]) with Order="Normal"; (Define name E P [body]).
TQ_SEXP* tq_Define(TQ_WORD_ARGS) {
  TQ_SEXP* name = get_el(s, 1);
  if (list_length(s) == 3) {
    if (get_type(name) != kTagSymbol) return define_format_error(s);
    TQ_SEXP* v = eval(env, get_el(s, 2));
    // With ignore.delay a delayed value is bound without waiting for it.
    bool stop = word_attr(sf, "ignore.delay") ? v && sexp_tag(v) == kTagError : is_error_cell(v);
    if (stop) return v;
    set_env(env, name->symbol.data, v);
    return name;
  }
  Kind kind;
  if (read_kind(sf, kApplicative, &kind) != 0 || get_type(name) != kTagSymbol) return define_format_error(s);
  TQ_SEXP* f = kind == kNormal ? make_function(env, kind, nullptr, get_el(s, 2), tail(s, 3), s)
                               : make_function(env, kind, get_el(s, 2), get_el(s, 3), tail(s, 4), s);
  if (!f) return define_format_error(s);
  if (is_error_cell(f)) return f;
  set_env(env, name->symbol.data, f);
  return name;
}

// Installs the handler of undefined names: (DefineDefault P body [body]) with
// Order="Normal", (DefineDefault E P [body]) otherwise.
TQ_SEXP* tq_DefineDefault(TQ_WORD_ARGS) {
  Kind kind;
  switch (read_kind(sf, kApplicativeElement, &kind)) {
    case 1: return lang_error_text(s, ER_FORMAT, "DefineDefault", "format error: Order is required");
    case 2: return lang_error_text(s, ER_FORMAT, "DefineDefault", "format error: Order value");
  }
  TQ_SEXP* f = nullptr;
  if (kind == kNormal) {
    f = make_function(env, kind, nullptr, get_el(s, 1), tail(s, 2), s);
  } else {
    if (!nil_or_env(get_el(s, 1))) return lang_error_text(s, ER_TYPE, "DefineDefault", "type missmatch");
    f = make_function(env, kind, get_el(s, 1), get_el(s, 2), tail(s, 3), s);
  }
  if (!f || is_error_cell(f)) return f;
  set_default_env(env, f);
  return nullptr;
}

// (DefineEval E sym default): with E nil binds default as written; with an environment,
// evaluates again in env the value sym has in E, or default when it has none there.
TQ_SEXP* tq_DefineEval(TQ_WORD_ARGS) {
  TQ_SEXP* e_form = get_el(s, 1);
  TQ_SEXP* ev = eval(env, e_form);
  if (is_error_cell(ev)) return ev;
  if (!nil_or_env(ev)) return lang_error(s, ER_TYPE, "DefineEval", e_form);
  TQ_SEXP* sym = get_el(s, 2);
  int t = get_type(sym);
  if (t == kTagError) return sym;
  if (t != kTagSymbol) return lang_error(s, ER_TYPE, "DefineEval", sym);
  TQ_SEXP* deflt = get_el(s, 3);
  if (is_error_cell(deflt)) return deflt;
  TQISP_ENV* e = env_of(ev);
  if (!e) {
    set_env(env, sym->symbol.data, deflt);
    return nullptr;
  }
  TQ_SEXP* v = nullptr;
  if (_eval_symbol(&v, e, sym->symbol.data, -1) != 0 || is_error_cell(v)) return eval(env, deflt);
  gc_set(v, gc_qv_sexp);  // the form may rebind sym, its only holder
  return eval(env, v);
}

TQ_SEXP* tq_DeleteDefine(TQ_WORD_ARGS) {
  TQ_SEXP* sym = get_el(s, 1);
  if (get_type(sym) != kTagSymbol) return lang_error(s, ER_TYPE, "DeleteDefine", nullptr);
  del_env(env, sym->symbol.data);
  return sym;
}

TQ_SEXP* tq_DeleteDefaultDefine(TQ_WORD_ARGS) {
  ss_printf("DeleteDefaultDefine\n");
  del_default_env(env);
  ss_printf("DeleteDefaultDefine end\n");
  return nullptr;
}

// (MoveDefine sym from to): the binding leaves from's chain and lands in the table to.
TQ_SEXP* tq_MoveDefine(TQ_WORD_ARGS) {
  TQ_SEXP* sym = get_el(s, 1);
  int t = get_type(sym);
  if (t == kTagError) return sym;
  if (t != kTagSymbol) return lang_error(s, ER_TYPE, "MoveDefine", nullptr);
  TQ_SEXP* envs[2];
  for (int i = 0; i < 2; ++i) {
    envs[i] = eval(env, get_el(s, 2 + i));
    if (is_error_cell(envs[i])) return envs[i];
    if (!env_of(envs[i])) return lang_error(s, ER_TYPE, "MoveDefine", nullptr);
    gc_set(envs[i], gc_qv_sexp);  // the second form may rebind the name the first came from
  }
  TQISP_ENV* from = envs[0]->env.data;
  TQISP_ENV* to = envs[1]->env.data;
  if (to->type != kEnvHash) return word_error_str(s, ER_INVALID_PARAM, "MoveDefine", "invalid environment");
  TQ_SEXP* v = eval_symbol(from, sym, -1);
  if (is_error_cell(v)) return v;
  gc_set(v, gc_qv_sexp);  // held only by the binding about to go
  del_env(from, sym->symbol.data);
  set_env(to, sym->symbol.data, v);
  return sym;
}

}  // namespace

void init_Lambda(TQISP_ENV* env) { bind_word(env, "Lambda", tq_Lambda, 0, nullptr, 3, 4); }
void init_Define(TQISP_ENV* env) { bind_word(env, "Define", tq_Define, 0, nullptr, 3, 5); }
void init_DefineDefault(TQISP_ENV* env) { bind_word(env, "DefineDefault", tq_DefineDefault, 0, nullptr, 2, 4); }
void init_DefineEval(TQISP_ENV* env) {
  bind_word(env, "DefineEval", tq_DefineEval, 0, nullptr, 4, 4);
  bind_word(env, "DE", tq_DefineEval, 0, nullptr, 4, 4);
}
void init_DeleteDefine(TQISP_ENV* env) { bind_word(env, "DeleteDefine", tq_DeleteDefine, 1, nullptr, 2, 2); }
void init_DeleteDefaultDefine(TQISP_ENV* env) {
  bind_word(env, "DeleteDefaultDefine", tq_DeleteDefaultDefine, 1, nullptr, 1, 1);
}
void init_MoveDefine(TQISP_ENV* env) { bind_word(env, "MoveDefine", tq_MoveDefine, 0, nullptr, 4, 4); }

}  // namespace tq
