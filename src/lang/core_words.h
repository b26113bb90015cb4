// The core words that are not typed operators: binding forms (let, define, set, lambda),
// control (if, while), list builders (list, cons, append), quotation with substitution, and
// the three that reach outside the language (save, shell, wait). Each is a special form: it
// receives its form unevaluated and evaluates exactly what it needs, in order; a value that
// evaluates to an error cell is returned unchanged and nothing after it is evaluated.
#pragma once
#include "lang/env.h"
#include "lang/sexp.h"

namespace tq {

#define TQ_PRIM_ARGS TQISP_ENV *env, TQ_SEXP *form, TQISP_ENV *args_env, TQ_SYM_FIELD *attr, TQISP_ENV *sp_env

TQ_SEXP* qv_let(TQ_PRIM_ARGS);
TQ_SEXP* qv_define(TQ_PRIM_ARGS);
TQ_SEXP* qv_set(TQ_PRIM_ARGS);
TQ_SEXP* qv_lambda(TQ_PRIM_ARGS);
TQ_SEXP* qv_if(TQ_PRIM_ARGS);
TQ_SEXP* qv_while(TQ_PRIM_ARGS);
TQ_SEXP* qv_list(TQ_PRIM_ARGS);
TQ_SEXP* qv_cons(TQ_PRIM_ARGS);
TQ_SEXP* qv_append(TQ_PRIM_ARGS);
TQ_SEXP* qv_quote_long(TQ_PRIM_ARGS);
TQ_SEXP* qv_save(TQ_PRIM_ARGS);
TQ_SEXP* qv_shell(TQ_PRIM_ARGS);
TQ_SEXP* qv_wait(TQ_PRIM_ARGS);
// Registered nowhere: quote without attributes, and a word that returns nil.
TQ_SEXP* qv_quote(TQISP_ENV* env, TQ_SEXP* form);
TQ_SEXP* qv_null_func();

// Replaces the value of the first existing binding of the symbol's name along env's chain
// (a pair's first side fully first): 0, or -1 when no binding exists (nothing is created).
int set_op(TQISP_ENV* env, TQ_SEXP* symbol, TQ_SEXP* value);
// Quotation: x with every ($ expression) replaced by its value and every symbol attribute
// "$name" by the text of name's value. type: null or "normal" traces, "direct" does not.
TQ_SEXP* qv_quote_trace(TQISP_ENV* env, TQ_SEXP* x, const L_CHAR* type);
TQ_SEXP* quote_trace(TQISP_ENV* env, TQ_SEXP* x);
TQ_SEXP* quote_trace_pair(TQISP_ENV* env, TQ_SEXP* x);
TQ_SEXP* quote_trace_symbol(TQISP_ENV* env, TQ_SEXP* symbol);

union STREAM;
// Writes the raw cell's bytes whole (repeating partial writes): 0, or -1 on a failed write.
int qv_save_write(STREAM* s, TQ_SEXP* raw);
// The open flags of save, written for the original platform, as this system's flags.
int save_open_flags(int64_t flags);
struct SAVE_FILE;
// The error of a save (of word) that could not write path: 0x80040a06 ("cannot access the
// file" path), and after the path why: the refusal, or the system's text of the failure
// (save_cause).
TQ_SEXP* save_access_error(TQ_SEXP* form, const char* word, TQ_SEXP* path, const SAVE_FILE* f);

}  // namespace tq
