// What the data words add to the shared word helpers (words/word_util.h): the two calling
// orders by name, constant text, and a list built front to back.
#pragma once
#include "lang/eval.h"
#include "lang/gc.h"
#include "words/word_util.h"

namespace tq {
namespace words {

inline constexpr int kEvaluated = 1;    // order 1: arguments evaluated before the call
inline constexpr int kSpecialForm = 0;  // order 0: the raw form

// A constant text in the default code method, converted once.
inline L_CHAR* lc(ConstText text) { return _l_string_2(std_cm, text); }

// Builds a list front to back; every pair is rooted in the caller's top frame as it is made,
// and linked inside a memory section, where no collection reads the cdr being written.
struct ListBuilder {
  TQ_SEXP* head = nullptr;
  TQ_SEXP* tail = nullptr;
  void add(TQ_SEXP* x) {
    MemLock hold;
    TQ_SEXP* c = cons(x, nullptr);
    if (tail)
      tail->pair.cdr = c;
    else
      head = c;
    tail = c;
  }
};

}  // namespace words
}  // namespace tq
