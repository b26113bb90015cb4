// Control words: local bindings ("Let"), choices ("If", "IfDef", "Switch"), sequences
// ("Sequence") and loops ("While", "For") with their exits ("Break", "Continue").
#pragma once
#include "lang/env.h"

namespace tq {

// The sub-environment of the loops, holding "Break" and "Continue": made by the registrar
// of "While" (no parent) and handed by the evaluator to "While" and "For" as their
// args_env. A loop evaluates its parts in a pair of it and the caller's environment, so the
// two exits are found there, also in the bodies of functions called from the loop.
extern TQISP_ENV* loop_env;

}  // namespace tq
