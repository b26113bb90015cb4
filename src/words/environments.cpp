// Environment and element words: environments as values ("CurrentEnvironment",
// "NewEnvironment", "NewEnvPair", "Env0", "Env1"), their links and list forms, bindings
// under computed names ("EA", "SetEA"), and "EE", which runs forms with the fields of an
// element bound as variables.
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

TQ_SEXP* env_cell_or_nil(TQISP_ENV* e) { return e ? get_env(e) : nullptr; }

TQ_SEXP* tq_CurrentEnvironment(TQ_WORD_ARGS) { return get_env(env); }

TQ_SEXP* tq_NewEnvironment(TQ_WORD_ARGS) {
  TQ_SEXP* parent = get_el(s, 1);
  if (get_type(parent) != kTagNil && !env_of(parent))
    return lang_error_text(s, ER_TYPE, "NewEnvironment", "NewEnvironment argument");
  return get_env(new_env(env_of(parent)));
}

TQ_SEXP* tq_NewEnvPair(TQ_WORD_ARGS) {
  TQISP_ENV* first = env_of(get_el(s, 1));
  TQISP_ENV* second = env_of(get_el(s, 2));
  if (!first || !second) return lang_error(s, ER_TYPE, "NewEnvPair", nullptr);
  return get_env(new_env_pair(first, second));
}

// The link that "GetParentEnvironment" reads and "SetParentEnvironment" writes: a table's
// parent, a pair's first member.
TQISP_ENV** parent_link(TQISP_ENV* e) { return e->type == kEnvPair ? &e->pair.env[0] : &e->env.parent; }

TQ_SEXP* tq_GetParentEnvironment(TQ_WORD_ARGS) { return env_cell_or_nil(*parent_link(env)); }

// Whether target is reached from e through parents and both members of pairs; a chain
// deeper than the nesting limit counts as reaching it.
bool reaches(TQISP_ENV* e, TQISP_ENV* target) {
  NestLevel level;
  if (!level.ok()) return true;
  for (; e; e = e->type == kEnvPair ? e->pair.env[1] : e->env.parent) {
    if (e == target) return true;
    if (e->type == kEnvPair && reaches(e->pair.env[0], target)) return true;
  }
  return false;
}

// A link that would close a cycle is refused: every lookup through it would never end.
TQ_SEXP* tq_SetParentEnvironment(TQ_WORD_ARGS) {
  TQISP_ENV* e = env_of(get_el(s, 1));
  TQ_SEXP* parent = get_el(s, 2);
  TQISP_ENV* p = env_of(parent);
  if (!e || (!p && get_type(parent) != kTagNil) || (p && reaches(p, e)))
    return lang_error_text(s, ER_TYPE, "SetParentEnvironment", "SetParentEnvironment argument");
  set_env_parent(e, p);
  return nullptr;
}

TQ_SEXP* tq_GetListbaseEnv(TQ_WORD_ARGS) {
  TQISP_ENV* e = env_of(get_el(s, 1));
  if (!e) return lang_error(s, ER_TYPE, "GetListbaseEnv", nullptr);
  return get_listbase_env(e);
}

TQ_SEXP* tq_SetListbaseEnv(TQ_WORD_ARGS) {
  TQ_SEXP* form = get_el(s, 1);
  TQ_SEXP* into = get_el(s, 2);
  int t = get_type(form);
  if ((t != kTagPair && t != kTagNil) || (list_length(s) == 3 && !env_of(into)))
    return lang_error(s, ER_TYPE, "SetListbaseEnv", nullptr);
  TQISP_ENV* e = set_listbase_env(form, env_of(into));
  if (!e) return word_error_str(s, ER_FORMAT, "SetListbaseEnv", "invalid format of param 1");
  return get_env(e);
}

// The environment and the name text of "EA" and "SetEA": null (with *err set) when e is
// neither nil nor an environment cell or name is no string, symbol or number.
const L_CHAR* computed_name(TQISP_ENV* env, TQ_SEXP* s, const char* word, TQISP_ENV** e, TQ_SEXP** err) {
  TQ_SEXP* where = get_el(s, 1);
  TQ_SEXP* name = get_el(s, 2);
  *e = get_type(where) == kTagNil ? env : env_of(where);
  const L_CHAR* text = nullptr;
  switch (get_type(name)) {
    case kTagString: text = name->string.data; break;
    case kTagSymbol: text = name->symbol.data; break;
    case kTagInteger:
    case kTagFloat: text = number_text(name, false); break;
  }
  if (!*e || !text) {
    *err = lang_error(s, ER_TYPE, word, nullptr);
    return nullptr;
  }
  return text;
}

TQ_SEXP* tq_EA(TQ_WORD_ARGS) {
  TQISP_ENV* e = nullptr;
  TQ_SEXP* err = nullptr;
  const L_CHAR* text = computed_name(env, s, "EA", &e, &err);
  if (!text) return err;
  TQ_SEXP* v = eval(e, inherit(get_symbol(text), get_el(s, 2)));
  if (is_error_cell(v) && list_length(s) == 4) return get_el(s, 3);
  return v;
}

TQ_SEXP* tq_SetEA(TQ_WORD_ARGS) {
  TQISP_ENV* e = nullptr;
  TQ_SEXP* err = nullptr;
  const L_CHAR* text = computed_name(env, s, "SetEA", &e, &err);
  if (!text) return err;
  set_env(e, text, get_el(s, 3));
  return nullptr;
}

// Binds the fields of one element (tag item...) in a new child of env: "tag" to its head
// symbol, each (name value) to its value, (name value...) or a name listed in raw to the
// list of values. Then evaluates the elements of the word's form s there in order, the head
// first: the first error, else the last value.
TQ_SEXP* run_element(TQISP_ENV* env, TQ_SEXP* s, TQ_SEXP* element, const L_CHAR* raw) {
  TQISP_ENV* r = new_env(env);
  TQ_SEXP* head = get_type(element) == kTagPair ? element->pair.car : nullptr;
  set_env(r, _l_string_2(std_cm, "tag"), get_type(head) == kTagSymbol ? head : nullptr);
  for (TQ_SEXP* p = get_type(element) == kTagPair ? element->pair.cdr : nullptr; get_type(p) == kTagPair;
       p = p->pair.cdr) {
    TQ_SEXP* item = p->pair.car;
    int t = get_type(item);
    if (t == kTagError) return item;
    if (t != kTagPair) continue;
    TQ_SEXP* name = item->pair.car;
    int nt = get_type(name);
    if (nt == kTagError) return name;
    if (nt != kTagSymbol) continue;
    bool single = list_length(item) == 2 && !in_comma_list(raw, name->symbol.data);
    set_env(r, name->symbol.data, single ? get_el(item, 1) : item->pair.cdr);
  }
  return eval_body(r, s);
}

TQ_SEXP* tq_EE(TQ_WORD_ARGS) {
  L_CHAR* target = word_attr(sf, "target");
  if (!target) return lang_error(s, ER_MISSING, "EE", list(n_get_string("no option that name"), n_get_string("target"), nullptr));
  TQ_SEXP* v = eval(env, inherit(get_symbol(target[0] == '^' ? target + 1 : target), s));
  int t = get_type(v);
  if (t == kTagError) return v;
  if (t != kTagPair && t != kTagNil) return lang_error(s, ER_TYPE, "EE", nullptr);
  gc_set(v, gc_qv_sexp);  // the body may rebind the target
  const L_CHAR* raw = word_attr(sf, "raw.mode.tag");
  L_CHAR* mode = word_attr(sf, "mode");
  if (!mode || l_strcmp(mode, _l_string_2(std_cm, "list")) != 0) return run_element(env, s, v, raw);
  TQ_SEXP* rev = nullptr;
  for (TQ_SEXP* p = v; get_type(p) == kTagPair; p = p->pair.cdr) {
    int it = get_type(p->pair.car);
    if (it == kTagError) return p->pair.car;
    if (it != kTagPair) continue;
    TQ_SEXP* r = run_element(env, s, p->pair.car, raw);
    if (is_error_cell(r)) return r;
    rev = cons(r, rev);
  }
  return reverse(rev);
}

}  // namespace

void init_symbols(TQISP_ENV* env0, TQISP_ENV* env1) {
  set_env(env0, _l_string_1(std_cm, "Env0"), get_env(qvlisp_top_env0));
  set_env(env1, _l_string_1(std_cm, "Env1"), get_env(qvlisp_top_env1));
}

void init_CurrentEnvironment(TQISP_ENV* env) {
  bind_word(env, "CurrentEnvironment", tq_CurrentEnvironment, 1, nullptr, 1, 1);
}
void init_NewEnvironment(TQISP_ENV* env) { bind_word(env, "NewEnvironment", tq_NewEnvironment, 1, nullptr, 2, 2); }
void init_NewEnvPair(TQISP_ENV* env) { bind_word(env, "NewEnvPair", tq_NewEnvPair, 1, nullptr, 3, 3); }
void init_GetParentEnvironment(TQISP_ENV* env) {
  bind_word(env, "GetParentEnvironment", tq_GetParentEnvironment, 1, nullptr, 2, 2);
}
void init_SetParentEnvironment(TQISP_ENV* env) {
  bind_word(env, "SetParentEnvironment", tq_SetParentEnvironment, 1, nullptr, 3, 3);
}
void init_GetListbaseEnv(TQISP_ENV* env) { bind_word(env, "GetListbaseEnv", tq_GetListbaseEnv, 1, nullptr, 2, 2); }
void init_SetListbaseEnv(TQISP_ENV* env) { bind_word(env, "SetListbaseEnv", tq_SetListbaseEnv, 1, nullptr, 2, 3); }
void init_EA(TQISP_ENV* env) { bind_word(env, "EA", tq_EA, 1, nullptr, 3, 4); }
void init_SetEA(TQISP_ENV* env) { bind_word(env, "SetEA", tq_SetEA, 1, nullptr, 4, 4); }
void init_EE(TQISP_ENV* env) { bind_word(env, "EE", tq_EE, 0, nullptr, 1, -1); }

}  // namespace tq
