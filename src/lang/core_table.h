// The 43 core primitives of the language, in the order the language start-up binds them in
// the two top environments, with their argument orders and counts.
#pragma once
#include "lang/sexp.h"

namespace tq {

enum class TopEnv { kOuter, kInner };  // qvlisp_top_env0, qvlisp_top_env1

struct CORE_PRIM {
  const char* name;
  TopEnv env;
  TQ_PRIM func;
  int order;  // 0 special form, 1 arguments evaluated first
  int min;    // elements of the form, head included
  int max;    // -1: no maximum
};

inline constexpr int kCorePrimCount = 43;
extern const CORE_PRIM core_prims[kCorePrimCount];

// Binds every core primitive, in table order, in outer (qvlisp_top_env0) or inner
// (qvlisp_top_env1).
void register_core_prims(TQISP_ENV* outer, TQISP_ENV* inner);

}  // namespace tq
