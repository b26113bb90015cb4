// The evaluator: the value of a cell in an environment. A list form is applied (its head
// evaluated to a function, an environment or the chain's undefined-name handler; its
// arguments counted, evaluated or handed over raw by the function's order; the function
// called or applied); a symbol is looked up through the environment chain; any other cell
// is its own value. Failures are error cells handed back unchanged; nothing is thrown.
//
// Every call opens and closes its own root frames; a primitive must leave the frames as it
// found them (checked after every call, ending the process otherwise). Evaluation recurses
// once per level of nested forms and lambda calls and stops at the language's nesting limit
// with the error 0x8003020a ("eval", "nesting too deep").
#pragma once
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"

namespace tq {

// The break-check hook: given the form about to be evaluated, returns any cell; an error
// cell stops that form. Null until the interpreter runtime installs its own. It is asked at
// most once per second of the clock on each thread.
extern TQ_SEXP* (*break_check)(TQ_SEXP* form);

// The value of s in env, held for the caller until its top frame closes: a call's value is
// kept in that frame as the call's own frame closes, a name's is pinned there as it is looked
// up (below), a new cell is entered there as it is made; any other value is s itself.
TQ_SEXP* eval(TQISP_ENV* env, TQ_SEXP* s);
TQ_SEXP* eval_pair(TQISP_ENV* env, TQ_SEXP* s);
// Evaluates the forms of body in env in turn: the first error, else the last value (nil
// for none); a body that ends in an atom evaluates that atom last.
TQ_SEXP* eval_body(TQISP_ENV* env, TQ_SEXP* body);
// A binding's value is held by the binding alone: another thread may set the name anew and a
// collection free the old value at any moment the caller spends outside a memory section. So
// the three lookups below (and eval of a symbol) root the value they answer, in the section
// that found it, until the caller's top frame closes (gc_pin_nl).
// The value bound to symbol s, searching the first environment and at most depth further
// ones (negative: no limit); the undefined-symbol error when unbound.
TQ_SEXP* eval_symbol(TQISP_ENV* env, TQ_SEXP* s, int depth);
// 0 and the value through ret when name is bound, else -1.
int _eval_symbol(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth);
TQ_SEXP* get_env_symbol(TQISP_ENV* env, const L_CHAR* name, int depth);  // nil when unbound
// 0 and the chain's undefined-name handler through ret, or -1 when there is none.
int _eval_default_symbol(TQ_SEXP** ret, TQISP_ENV* env);
// Builds the call's attribute list of head symbol s (caret values substituted) into *sfp;
// nil, or the error of a substitution.
TQ_SEXP* get_sym_field(TQ_SYM_FIELD** sfp, TQISP_ENV* env, TQ_SEXP* s);
int get_args_symbol(TQ_SEXP* params, const L_CHAR* name);  // 0-based position, or -1
L_CHAR* eval_carret(TQ_SEXP** retp, TQISP_ENV* env, const L_CHAR* text, TQ_SEXP* at);
TQ_SEXP* do_break_check(TQ_SEXP* s);  // nil, or the hook's error cell

// Test seam: when set, called after every primitive returns (its frames checked), e.g. to
// force a collection there and catch values that are not rooted.
extern void (*eval_check_hook)();

// Clock of the break check, in seconds of the system time base; tests replace it.
extern uint32_t (*break_check_clock)();

// An error cell positioned at the cell at (none for null or nil): code, func and a data
// list made of the given texts and cells. Texts are byte strings in the default method.
TQ_SEXP* lang_error(TQ_SEXP* at, uint32_t code, const char* func, TQ_SEXP* data);
TQ_SEXP* lang_error_text(TQ_SEXP* at, uint32_t code, const char* func, const char* text);

// The text of a number for an attribute: "%lli" or "%f" with the unit's name in the
// standard code after it; with unitless_float_as_int a float without unit is truncated
// toward zero and written as "%i". Collected memory; null for other kinds.
L_CHAR* number_text(TQ_SEXP* v, bool unitless_float_as_int);
// A double truncated toward zero into the int range, saturated (NaN gives 0).
int saturate_int32(double d);

// Number truth: an integer other than 0 or a float other than 0.0 (units ignored).
// -1 when the value is not a number.
int number_truth(TQ_SEXP* v);

}  // namespace tq
