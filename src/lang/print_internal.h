// Shared insides of the printer (print.cpp: the dispatch, atoms and S-expression lists;
// print_xml.cpp: XML and HTML elements and text). Not for other modules.
//
// Failure travels back as a result: every routine returns 0, or -1 after storing the error
// number in the ERR_ENV; callers return -1 at once, so nothing after a failure is written.
#pragma once
#include <cstdint>

#include "lang/print.h"
#include "lang/tq_file.h"
#include "stream/format.h"

namespace tq {

// Indentation of one level, passed by value.
struct INDENT {
  uint16_t flags;  // bit 0: an element has been printed at this level
  uint16_t ind;    // the depth, in blanks
};
inline constexpr uint16_t kIndPrinted = 0x1;

// Where a failed print keeps its error number.
struct ERR_ENV {
  int er;
};

// Returns -1 from the calling routine when expr failed.
#define PR_TRY(expr)           \
  do {                         \
    if ((expr) < 0) return -1; \
  } while (0)

// Realises s when it is delayed and answers the cell to use; its tag goes to *t.
TQ_SEXP* pr_realized(TQ_SEXP* s, int32_t* t);

// ---- Output into the accumulator.
int pr_chars(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* p, int64_t n);
int pr_ascii(S_PRINTF_SAT* fd, ERR_ENV* ee, const char* s, int64_t n);
int pr_text(S_PRINTF_SAT* fd, ERR_ENV* ee, const char* s);     // a NUL-ended ASCII text
int pr_ltext(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* s);  // null prints nothing
// One printf directive set of ASCII output (numbers, addresses), bounded.
int _e_printf(S_PRINTF_SAT* fd, ERR_ENV* ee, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int print_ind(S_PRINTF_SAT* fd, ERR_ENV* ee, INDENT ind);  // ind.ind blanks

// The replacement of one character of text at position i, or null to copy it; buf (16
// bytes) holds a replacement made on the spot.
using PR_ESCAPE = const char* (*)(L_CHAR ch, int64_t i, char* buf);
// Writes text, runs of plain characters as they are and each replaced character as its
// replacement. Null text prints nothing.
int pr_escaped(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* text, PR_ESCAPE esc);
// The replacements inside double quotes of the S-expression form: tab, line feed, carriage
// return, double quote and backslash by backslash escapes, & and < by entities.
const char* pr_escape_sexp(L_CHAR ch, int64_t i, char* buf);
// A quoted text as the S-expression form writes it: bare with kPrintBare, else an opening
// double quote (after a caret when caret is set), the escaped text, a closing quote.
int pr_quoted(S_PRINTF_SAT* fd, ERR_ENV* ee, const L_CHAR* text, int flags, bool caret);

// ---- Printing routines, one pair per tag (pt_t): element 0 S-expression, 1 XML and HTML.
int _print_sexp(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind);
int _print_pair_l(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind);
int _print_pair_xh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind);
int _print_string_l(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind);
int _print_string_xh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind);

}  // namespace tq
