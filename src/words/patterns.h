// The pattern and encoding words: RegCmp and RegSwitch over the regular expressions of
// text/regex.h, GetProperCode, Parse, DecodeURLString, URLStringCode and Word2String over
// the code methods and the reader.
#pragma once
#include "words/word_args.h"

namespace tq {

// (RegCmp s) with rex: (result first last), result the length of s when the whole of s
// matches (else -1), first and last the shortest and longest matching prefixes (-1: none).
TQ_SEXP* tq_RegCmp(TQ_WORD_ARGS);
// (RegSwitch subject clause ...): the subject rewritten by the clauses' patterns, the
// longest match (earliest clause on ties) at each place running its clause's body.
TQ_SEXP* tq_RegSwitch(TQ_WORD_ARGS);
TQ_SEXP* tq_GetProperCode(TQ_WORD_ARGS);
TQ_SEXP* tq_Parse(TQ_WORD_ARGS);
// "%" and two characters give one byte (other characters than hex digits count as 0); a
// "%" without two characters after it is kept as it is, with what follows it.
TQ_SEXP* tq_DecodeURLString(TQ_WORD_ARGS);
TQ_SEXP* tq_URLStringCode(TQ_WORD_ARGS);
TQ_SEXP* tq_Word2String(TQ_WORD_ARGS);

}  // namespace tq
