// The record and table words: Sort, Categorize, NaturalJoin, Projection, V2H and h2v. A
// record is an element list (lists/lists.h) whose fields are its elements named by their
// head symbols; a table is a list of records.
#pragma once
#include <cstdint>

#include "words/word_args.h"

namespace tq {

TQ_SEXP* tq_Sort(TQ_WORD_ARGS);
TQ_SEXP* tq_Categorize(TQ_WORD_ARGS);
TQ_SEXP* tq_NaturalJoin(TQ_WORD_ARGS);
TQ_SEXP* tq_Projection(TQ_WORD_ARGS);
TQ_SEXP* tq_V2H(TQ_WORD_ARGS);
TQ_SEXP* tq_h2v(TQ_WORD_ARGS);

// One comparison of the sort: kLess (negative), kNotLess (zero or positive), or a failure:
// kError with the error cell in *err, kNotInteger when the comparison gave another kind.
enum class SortOrder { kLess, kNotLess, kError, kNotInteger };
class SortCompare {
 public:
  virtual ~SortCompare() = default;
  virtual SortOrder compare(TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP** err) = 0;
};

// The bottom-up merge sort over linked runs: ascending by cmp (cmp(x, y) less places x
// first); elements that compare equal come out in the order the runs' merging gives. A new
// list, nil for nil, or an error cell positioned at at: cmp's own error, or 0x80030806
// "Sort" "return value type missmatch of compare function". The comparisons run in root
// frames of their own, one for each batch of them; the run nodes are freed on every path.
TQ_SEXP* sort_list(TQ_SEXP* at, TQ_SEXP* list, SortCompare* cmp);

// The field comparison of records a and b (the fields by GetElement, compared with the
// typed "<" in env): -1, 0 or 1, or -2 with the error in *err. Positioned at at.
int njoin_cmp_field_list(TQ_SEXP** err, TQISP_ENV* env, TQ_SEXP* fields, TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP* at);

// The "field" head attribute as a list of symbols, split at each "," (nothing trimmed); nil
// when absent or empty.
TQ_SEXP* get_join_option(TQ_SYM_FIELD* sf);

}  // namespace tq
