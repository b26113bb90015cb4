// What the record words' two files share: the field comparison as a sort comparison, and
// the head attributes of the join words.
#pragma once
#include "words/records.h"

namespace tq {

// The comparison of "field": the field list's comparison in env; with no fields it answers
// no integer (as the comparison primitive answers nil then).
class FieldCompare final : public SortCompare {
 public:
  FieldCompare(TQISP_ENV* env, TQ_SEXP* fields, TQ_SEXP* at) : env_(env), fields_(fields), at_(at) {}
  SortOrder compare(TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP** err) override;

 private:
  TQISP_ENV* env_;
  TQ_SEXP* fields_;
  TQ_SEXP* at_;
};

// njoin_cmp_field_list in a root frame of its own, so what the comparison makes is not kept.
int field_compare(TQ_SEXP** err, TQISP_ENV* env, TQ_SEXP* fields, TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP* at);

// The sort flags of the join words: bit 1 table 1, bit 2 table 2; each on unless its
// attribute ("sort1", "sort2") is "off".
int get_sort_option(TQ_SYM_FIELD* sf);

}  // namespace tq
