// "Rule": runs a body of forms for the files and directories under the current directory
// whose paths pass its (Ignore pattern) and (Accept pattern) items, once per path (1by1,
// `from` bound to the path) or once for all (allfor1, `from` bound to the list). Inside the
// body "Target", "Exist" and "NotExist" test the file system and give Break (0x80011608)
// when there is nothing to do, which ends the body for the current path only. The three
// live in Rule's own sub-environment, so they are seen only inside a Rule body.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/rule_search.h"
#include "words/word_util.h"

namespace tq {

namespace {

// ---- Rule --------------------------------------------------------------------------------------

// Reads the (Ignore p) or (Accept p) item into *pp: nil, or the error that is Rule's result.
TQ_SEXP* tq_ignore_accept(int kind, TQISP_ENV* env, TQ_SEXP* s, TQ_SEXP* item, PATH_PATTERN* pp) {
  if (list_length(item) != 2) return word_error_str(s, ER_ARG_COUNT, "Rule/Accept", "invalid param length");
  TQ_SEXP* v = eval(env, get_el(item, 1));
  if (is_error_cell(v)) return v;
  if (get_type(v) != kTagString) return word_error_str(s, ER_TYPE, "Rule/Accept", "type missmatch");
  pp->type = kind;
  pp->next = nullptr;
  parse_path(pp, n_string(std_cm, v->string.data));
  return nullptr;
}

// Ignore (1), Accept (2) or 0 for an element that is not such an item.
int item_kind(TQ_SEXP* e) {
  if (get_type(e) != kTagPair) return 0;
  if (is_symbol_named(e->pair.car, "Ignore")) return kPatIgnore;
  if (is_symbol_named(e->pair.car, "Accept")) return kPatAccept;
  return 0;
}

TQ_SEXP* path_string(const PATH_PATTERN* p) {
  char* name = make_name(p);
  TQ_SEXP* r = n_get_string(name);
  d_f_ree(name);
  return r;
}

// Evaluates the body forms in e, each in a root frame of its own. *value gets the last
// value, or the result that ends the body: an error form, or an error value (Break too).
// True when the body ran to its end.
bool run_body(TQISP_ENV* e, TQ_SEXP* body, TQ_SEXP** value) {
  *value = nullptr;
  for (TQ_SEXP* p = body; get_type(p) == kTagPair; p = p->pair.cdr) {
    if (is_error_cell(p->pair.car)) {
      *value = p->pair.car;
      return false;
    }
    GcFrame frame("Rule body");
    *value = frame.release(eval(e, p->pair.car));
    if (is_error_cell(*value)) return false;
  }
  return true;
}

TQ_SEXP* exec_1by1(PATH_PATTERN* list, TQISP_ENV* base, TQ_SEXP* body) {
  const L_CHAR* from = _l_string_2(std_cm, "from");
  for (PATH_PATTERN* p = list; p; p = p->next) {
    GcFrame frame("Rule path");
    TQISP_ENV* e = new_env(base);
    set_env(e, from, path_string(p));
    TQ_SEXP* v;
    if (run_body(e, body, &v) || is_code(v, ER_CTL_BREAK)) continue;
    return frame.release(v);
  }
  return nullptr;
}

TQ_SEXP* exec_allfor1(PATH_PATTERN* list, TQISP_ENV* base, TQ_SEXP* body) {
  TQISP_ENV* e = new_env(base);
  TQ_SEXP* all = nullptr;
  for (PATH_PATTERN* p = list; p; p = p->next) all = cons(path_string(p), all);
  set_env(e, _l_string_2(std_cm, "from"), all);
  TQ_SEXP* v;
  run_body(e, body, &v);
  return is_code(v, ER_CTL_BREAK) ? nullptr : v;
}

// True for allfor1: each target attribute in turn, "1by1" or "allfor1" (others change nothing).
bool all_for_one(TQ_SYM_FIELD* sf) {
  bool all = false;
  const L_CHAR* target = _l_string_2(std_cm, "target");
  for (TQ_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name || !f->data || l_strcmp(f->name, target) != 0) continue;
    if (l_strcmp(f->data, _l_string_2(std_cm, "1by1")) == 0) all = false;
    if (l_strcmp(f->data, _l_string_2(std_cm, "allfor1")) == 0) all = true;
  }
  return all;
}

TQ_SEXP* tq_Rule(TQ_WORD_ARGS) {
  const int most = list_length(s);
  auto* patterns = static_cast<PATH_PATTERN*>(d_calloc(size_t(most > 0 ? most : 1), sizeof(PATH_PATTERN)));
  int n = 0;
  TQ_SEXP* body = s->pair.cdr;
  for (; get_type(body) == kTagPair; body = body->pair.cdr) {
    TQ_SEXP* e = body->pair.car;
    TQ_SEXP* failed = nullptr;
    if (is_error_cell(e))
      failed = e;
    else if (get_type(e) == kTagPair && is_error_cell(e->pair.car))
      failed = e->pair.car;
    else if (const int kind = item_kind(e))
      failed = tq_ignore_accept(kind, env, s, e, &patterns[n]);
    else
      break;  // the body begins here
    if (failed) {
      free_path_pattern(patterns, n);
      return failed;
    }
    ++n;
  }
  PATH_PATTERN* found = filter_path(patterns, n);
  free_path_pattern(patterns, n);
  TQISP_ENV* base = new_env_pair(a, env);
  TQ_SEXP* r = all_for_one(sf) ? exec_allfor1(found, base, body) : exec_1by1(found, base, body);
  free_path_pattern_list(found);
  return r;
}

// ---- Target, Exist, NotExist -------------------------------------------------------------------

TQ_SEXP* rule_break(TQ_SEXP* s, const char* func) { return lang_error(s, ER_CTL_BREAK, func, nullptr); }

// Walks the sources (lists depth first): nil while each exists and is strictly newer than
// the target's time t; Break at the first that is missing or not newer; an error cell in
// them, or a type error for anything but strings and lists.
TQ_SEXP* check_target(TQ_SEXP* s, TQ_SEXP* sources, uint32_t t) {
  for (TQ_SEXP* p = sources; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    switch (get_type(e)) {
      case kTagError: return e;
      case kTagPair:
        if (TQ_SEXP* r = check_target(s, e, t)) return r;
        break;
      case kTagString: {
        U_STAT st;
        if (u_stat(n_string(std_cm, e->string.data), &st) != 0 || t >= st.us_mtime) return rule_break(s, "Target");
        break;
      }
      default: return lang_error(s, ER_TYPE, "Target", nullptr);
    }
  }
  return nullptr;
}

// Makes the directories of target's text that end in a directory element, shortest first,
// and sets permission on each, also on those that existed. Stops at the first other
// failure, which it reports on standard error.
void make_dir(const char* target, int permission) {
  PATH_PATTERN pp{};
  parse_path(&pp, target);
  const int whole = pp.path_len;
  for (int k = 1; k <= whole; ++k) {
    if (pp.path[k - 1].type != kElemDir) continue;
    pp.path_len = k;
    char* dir = make_name(&pp);
    const bool made = m_mkdir(dir, permission) == 0;
    if (!made && errno != EEXIST) {
      fprintf(stderr, ">> %s", dir);
      perror("buf");
      d_f_ree(dir);
      break;
    }
    if (!made) chmod(dir, mode_t(permission));
    d_f_ree(dir);
  }
  free_path_elements(pp.path, whole);
}

TQ_SEXP* tq_Target(TQ_WORD_ARGS) {
  int permission = 0755;
  bool make = false;
  const L_CHAR* mode = _l_string_2(std_cm, "mode");
  const L_CHAR* dir = _l_string_2(std_cm, "dir");
  for (TQ_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name || !f->data) continue;
    if (l_strcmp(f->name, mode) == 0) sscanf(n_string(std_cm, f->data), "%i", &permission);  // kept unless a number
    if (l_strcmp(f->name, dir) == 0) make = l_strcmp(f->data, _l_string_2(std_cm, "make")) == 0;
  }
  TQ_SEXP* target = get_el(s, 1);
  if (get_type(target) != kTagString) return lang_error(s, ER_TYPE, "Target", nullptr);
  const char* path = n_string(std_cm, target->string.data);
  U_STAT st;
  if (u_stat(path, &st) == 0) return check_target(s, s->pair.cdr->pair.cdr, st.us_mtime);
  if (!make) return rule_break(s, "Target");
  make_dir(path, permission);
  return nullptr;
}

// Exist (want true) or NotExist: Break unless the path's existence is as wanted.
TQ_SEXP* exist_test(TQ_SEXP* s, const char* func, bool want) {
  TQ_SEXP* v = get_el(s, 1);
  if (get_type(v) != kTagString) return lang_error(s, ER_TYPE, func, nullptr);
  U_STAT st;
  const bool exists = u_stat(n_string(std_cm, v->string.data), &st) == 0;
  return exists == want ? nullptr : rule_break(s, func);
}

TQ_SEXP* tq_Exist(TQ_WORD_ARGS) { return exist_test(s, "Exist", true); }
TQ_SEXP* tq_NotExist(TQ_WORD_ARGS) { return exist_test(s, "NotExist", false); }

void init_Target(TQISP_ENV* env) { bind_word(env, "Target", tq_Target, 1, nullptr, 3, kNoMax); }
void init_Exist(TQISP_ENV* env) { bind_word(env, "Exist", tq_Exist, 1, nullptr, 2, kNoMax); }
void init_NotExist(TQISP_ENV* env) { bind_word(env, "NotExist", tq_NotExist, 1, nullptr, 2, kNoMax); }

}  // namespace

void init_Rule(TQISP_ENV* env) {
  GcFrame frame("init_Rule");
  TQISP_ENV* sub = new_env(nullptr);
  init_Target(sub);
  init_Exist(sub);
  init_NotExist(sub);
  bind_word(env, "Rule", tq_Rule, 0, sub, 2, kNoMax);
}

}  // namespace tq
