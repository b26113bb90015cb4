// Small helpers that every theme of the word library uses: binding a word at registration,
// testing names and kinds of cells, the word's own error cells, and a root frame for loops
// that keeps only what the next pass needs.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "text/l_string.h"

namespace tq {

// The parameters of every word function, in the evaluator's order: the caller's
// environment, the form (evaluated arguments for order 1), the word's sub-environment, the
// head symbol's attributes, and sp_env (null for built-in words).
#define TQ_WORD_ARGS                                                                              \
  [[maybe_unused]] TQISP_ENV *env, [[maybe_unused]] TQ_SEXP *s, [[maybe_unused]] TQISP_ENV *a, \
      [[maybe_unused]] TQ_SYM_FIELD *sf, [[maybe_unused]] TQISP_ENV *sp_env

// Binds name (constant text in the default code method) in env to a new primitive cell.
void bind_word(TQISP_ENV* env, const char* name, TQ_PRIM prim, int order, TQISP_ENV* args_env, int min, int max);

inline bool is_error_cell(TQ_SEXP* s) { return get_type(s) == kTagError; }
// Whether v is an error cell with that code.
inline bool is_code(TQ_SEXP* v, uint32_t code) { return get_type(v) == kTagError && v->error.code == code; }
// Whether s is a symbol whose name is the constant text name.
bool is_symbol_named(TQ_SEXP* s, ConstText name);
// The value of the attribute called name on the head symbol, or null when absent.
inline L_CHAR* word_attr(TQ_SYM_FIELD* sf, ConstText name) { return get_sf_attribute(sf, _l_string_2(std_cm, name)); }
// Whether the attribute called name is present with exactly the text value.
bool word_attr_is(TQ_SYM_FIELD* sf, ConstText name, ConstText value);
// The environment an environment cell wraps, or null for any other value.
inline TQISP_ENV* env_of(TQ_SEXP* v) { return get_type(v) == kTagEnv ? v->env.data : nullptr; }

// Whether name is one of the comma-separated names of list (empty names never match).
bool in_comma_list(const L_CHAR* list, const L_CHAR* name);

// Byte texts of paths on the debug heap (the caller frees them): the first n bytes of p,
// and dir "/" name (name alone for a null dir).
char* copy_bytes(const char* p, size_t n);
char* join_path(const char* dir, const char* name);

// One keyword of an attribute whose value is keywords joined by ":" (options, open flags).
struct WORD_KEYWORD {
  const char* name;
  int flags;
};
// ORs the flags of the ":"-separated keywords of text (an empty text has none); false when
// one is not in the table (rows up to the first null name).
bool keyword_flags(const L_CHAR* text, const WORD_KEYWORD* table, int* flags);

// A word's error cell at the position of at (usually the word's own form s), with data a
// plain string (lang_error_text makes it a list of one string, lang_error takes any cell).
TQ_SEXP* word_error_str(TQ_SEXP* at, uint32_t code, const char* func, const char* text);

// The root frame of a loop. Each value an evaluation returns is rooted in the top frame, so
// a loop that kept one frame would hold every pass's value until it ends; renew() closes the
// frame and opens a fresh one holding only the given values (under one hold of the memory
// lock, so no collection runs between). release(r) closes it keeping r in the frame below.
class LoopFrame {
 public:
  explicit LoopFrame(const char* label);
  ~LoopFrame();
  void renew(TQ_SEXP* keep1, TQ_SEXP* keep2 = nullptr);
  TQ_SEXP* release(TQ_SEXP* r);
  LoopFrame(const LoopFrame&) = delete;
  LoopFrame& operator=(const LoopFrame&) = delete;

 private:
  const char* label_;
  bool open_ = true;
};

}  // namespace tq
