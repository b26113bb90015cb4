// Script path, path pair and prefix table words: they fill and show the process-wide tables
// through which names become files (the script path of the script search, the path pairs
// and the get-file table of the runtime's file prefixes); the tables themselves live below.
#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "lang/eval.h"
#include "platform/d_alloc.h"
#include "stream/script_search.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

TQ_SEXP* string_arg(TQ_SEXP* s, int i) {
  TQ_SEXP* v = get_el(s, i);
  return get_type(v) == kTagString ? v : nullptr;
}

TQ_SEXP* tq_SetScriptPath(TQ_WORD_ARGS) {
  TQ_SEXP* path = string_arg(s, 1);
  if (!path) return word_error_str(s, ER_TYPE, "SetScriptPath", "type missmatch");
  set_script_path(path->string.data);
  return nullptr;
}

// The directory part of a path with its last "/", or "/" when it has none.
L_CHAR* base_of(const L_CHAR* path) {
  int cut = 0;
  for (int i = 0; path[i]; ++i)
    if (path[i] == '/') cut = i + 1;
  L_CHAR* base = ll_copy_str(cut ? path : _l_string_2(std_cm, "/"));
  if (cut) base[cut] = 0;
  return base;
}

TQ_SEXP* tq_SetDatabasePath(TQ_WORD_ARGS) {
  TQ_SEXP* first = string_arg(s, 1);
  if (!first) return word_error_str(s, ER_TYPE, "SetDatabasePath", "type missmatch");
  if (list_length(s) == 2) return list(first, nullptr);
  TQ_SEXP* file = string_arg(s, 2);
  if (!file) return word_error_str(s, ER_TYPE, "SetDatabasePath", "type missmatch");
  L_CHAR* base = base_of(file->string.data);
  const int r = Reg_List_pathpair(base, _l_string_2(std_cm, "/"));
  d_f_ree(base);
  if (r < 0) return word_error_str(s, ER_INVALID_PARAM, "SetDatabasePath", "Failed registory path_pair");
  return nullptr;
}

TQ_SEXP* tq_SetDirectory(TQ_WORD_ARGS) {
  const L_CHAR* url = word_attr(sf, "url");
  if (!url) return word_error_str(s, ER_INVALID_PARAM, "SetDirectory", "invalid path url");
  TQ_SEXP* base = string_arg(s, 1);
  if (!base) return word_error_str(s, ER_TYPE, "SetDirectory", "type missmatch");
  if (Reg_List_pathpair(base->string.data, url) < 0)
    return word_error_str(s, ER_INVALID_PARAM, "SetDirectory", "Failed registory path_pair");
  return list(base, nullptr);
}

TQ_SEXP* tq_GetTQpathpair(TQ_WORD_ARGS) {
  TQ_SEXP* path = string_arg(s, 1);
  if (!path) return word_error_str(s, ER_TYPE, "GetTQpathpair", "type missmatch");
  return get_pathpair(path->string.data);
}

// The flags of "SetPrefixMode": the trees (bits 0-1) and the lock (bits 2-3) its
// attributes choose, applied in order from the default 1 (documents tree, no lock).
int prefix_flags(TQ_SYM_FIELD* sf) {
  struct Row {
    const char* name;
    const char* value;
    int mask, bits;
  };
  static constexpr Row kRows[] = {
      {"tqsys", "precedence", GF_TREES, GF_SYS_FIRST}, {"tqsys", "only", GF_TREES, GF_SYS_ONLY},
      {"tqdocs", "precedence", GF_TREES, GF_DOCS_FIRST}, {"tqdocs", "only", GF_TREES, GF_DOCS_ONLY},
      {"lock", "full", GF_LOCK_MASK, GF_LOCK_FULL}, {"lock", "url", GF_LOCK_MASK, GF_LOCK_URL},
      {"lock", "off", GF_LOCK_MASK, 0},
  };
  int flags = GF_DOCS_ONLY;
  for (TQ_SYM_FIELD* f = sf; f; f = f->next)
    for (const Row& r : kRows)
      if (l_text_is(f->name, r.name) && l_text_is(f->data, r.value)) flags = (flags & ~r.mask) | r.bits;
  return flags;
}

TQ_SEXP* tq_SetPrefixMode(TQ_WORD_ARGS) {
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr)
    if (get_type(p->pair.car) != kTagString) return word_error_str(s, ER_TYPE, "SetPrefixMode", "type missmatch");
  TQ_SEXP* prefix = get_el(s, 1);
  TQ_SEXP* commands = s->pair.cdr->pair.cdr->pair.cdr->pair.cdr;
  insert_getfile(prefix->string.data, get_el(s, 2)->string.data, get_el(s, 3)->string.data, prefix_flags(sf),
                 commands);
  return prefix;
}

TQ_SEXP* tq_GetPrefixMode(TQ_WORD_ARGS) {
  TQ_SEXP* prefix = string_arg(s, 1);
  if (!prefix) return word_error_str(s, ER_TYPE, "GetPrefixMode", "type missmatch");
  TQ_GETFILE* entries = getfile_entries(prefix->string.data);
  TQ_SEXP* r = nullptr;
  for (TQ_GETFILE* e = entries; e; e = e->next) {
    TQ_SEXP* row = list(get_string(e->prefix), get_string(e->agent), get_string(e->mode),
                        get_integer(e->flags, nullptr), list(get_string(e->cmd_sym), nullptr), nullptr);
    r = cons(row, r);
  }
  free_getfile_entries(entries);
  return r;
}

}  // namespace

void init_SetScriptPath(TQISP_ENV* env) { bind_word(env, "SetScriptPath", tq_SetScriptPath, 1, nullptr, 2, 2); }
void init_SetDatabasePath(TQISP_ENV* env) { bind_word(env, "SetDatabasePath", tq_SetDatabasePath, 1, nullptr, 2, 3); }
void init_SetDirectory(TQISP_ENV* env) { bind_word(env, "SetDirectory", tq_SetDirectory, 1, nullptr, 2, 2); }
void init_GetTQpathpair(TQISP_ENV* env) { bind_word(env, "GetTQpathpair", tq_GetTQpathpair, 1, nullptr, 2, 2); }
void init_SetPrefixMode(TQISP_ENV* env) { bind_word(env, "SetPrefixMode", tq_SetPrefixMode, 1, nullptr, 4, kNoMax); }
void init_GetPrefixMode(TQISP_ENV* env) { bind_word(env, "GetPrefixMode", tq_GetPrefixMode, 1, nullptr, 2, 2); }

}  // namespace tq
