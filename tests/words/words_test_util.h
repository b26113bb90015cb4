// Helpers the word tests share: forms evaluated in top environment 1 of this process.
#pragma once
#include <string>

#include "lang/sexp.h"

namespace tqtest {

// The value of the last form of text, evaluated in top environment 1 (rooted in the
// caller's top frame).
tq::TQ_SEXP* eval_last(const std::string& text);
// The printed value of the last form of text; for an error cell "error <code>".
std::string eval_text(const std::string& text);
// A value as the printer writes it (S-expression form, UTF-8).
std::string printed(tq::TQ_SEXP* v);

}  // namespace tqtest
