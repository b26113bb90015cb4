// The sort of the record words and its comparisons: a bottom-up merge sort over linked runs
// (no array of the elements, about n log n comparisons), driven by a language function or
// by a list of key fields compared with the typed "<"; and "Sort" and "Categorize".
//
// The run order fixes where equal elements land: the runs start in reverse order of the
// list, each pass merges them two by two from the front (a lone last run is carried) and
// lists the new runs in reverse order of making; runs are kept largest first, a merge
// takes the second run's element only when the first compares below it, and the last run
// reversed is the result. So e0, e1, e2 that all compare equal come out as e1, e2, e0.
#include <algorithm>
#include <vector>

#include "lang/binary.h"
#include "lang/compare.h"
#include "lang/gc.h"
#include "words/lists.h"
#include "words/records.h"
#include "words/records_internal.h"
#include "words/registrars.h"

namespace tq {

using namespace words;

namespace {

struct SortNode {
  TQ_SEXP* x;
  SortNode* next;
};

// The comparisons run in one loop frame renewed after every kBatch of them, so that what they
// make is not kept long while no frame is opened for each one.
constexpr int kBatch = 256;

// Merges runs a and b into *out; null, or the error that ended the comparison.
TQ_SEXP* merge_runs(TQ_SEXP* at, SortNode* a, SortNode* b, SortCompare* cmp, LoopFrame* frame, int* count,
                    SortNode** out) {
  SortNode head{nullptr, nullptr};
  SortNode* tail = &head;
  while (a && b) {
    // One of the two next elements is compared next: their cells, and the nodes after
    // them, are fetched meanwhile.
    for (SortNode* n : {a->next, b->next}) {
      if (!n) continue;
      __builtin_prefetch(n->x);
      __builtin_prefetch(n->next);
    }
    TQ_SEXP* err = nullptr;
    const SortOrder o = cmp->compare(a->x, b->x, &err);
    if (o == SortOrder::kError) return frame->release(err);
    if (o == SortOrder::kNotInteger) {
      frame->release(nullptr);
      return word_error_str(at, ER_TYPE, "Sort", "return value type missmatch of compare function");
    }
    if (++*count % kBatch == 0) frame->renew(nullptr);
    SortNode*& from = o == SortOrder::kLess ? b : a;
    tail->next = from;
    tail = from;
    from = from->next;
  }
  tail->next = a ? a : b;
  *out = head.next;
  return nullptr;
}

// Stands for its one argument unevaluated: the sort passes lists and symbols through it.
TQ_SEXP* as_is(TQ_WORD_ARGS) { return get_el(s, 1); }

bool self_evaluating(TQ_SEXP* x) {
  const int t = get_type(x);
  return t != kTagPair && t != kTagSymbol;
}

// (compare a b) evaluated in env, the elements passed as they are: a self-evaluating element
// stands in the form itself, a list or symbol inside (as-is element). The form is made once
// per sort and its argument places are set for every comparison. A primitive that takes
// evaluated arguments and two of them is applied to (compare a b) directly, as the evaluator
// would after evaluating that form: with the break check before and the check hook after.
class FunctionCompare final : public SortCompare {
 public:
  FunctionCompare(TQISP_ENV* env, TQ_SEXP* fn, TQ_SEXP* at) : env_(env), fn_(&fn->func) {
    TQ_SEXP* quote = get_func_prim(as_is, kSpecialForm, nullptr, 2, 2);
    for (TQ_SEXP*& w : wrap_) w = positioned(List(quote, nullptr, kListEnd), at);
    form_ = positioned(List(fn, nullptr, nullptr, kListEnd), at);
    direct_ = fn_->type == kFuncPrim && fn_->order == kEvaluated && fn_->min <= 3 && (fn_->max == kNoMax || fn_->max >= 3);
  }
  SortOrder compare(TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP** err) override {
    TQ_SEXP* v;
    if (direct_) {
      {
        MemLock hold;  // the reused form is reachable: no collection reads a place being set
        form_->pair.cdr->pair.car = a;
        form_->pair.cdr->pair.cdr->pair.car = b;
      }
      v = do_break_check(form_);
      if (!v) v = fn_->prim(env_, form_, fn_->args_env, nullptr, nullptr);
      if (eval_check_hook) eval_check_hook();
    } else {
      set_arg(0, a);
      set_arg(1, b);
      v = eval(env_, form_);
    }
    switch (get_type(v)) {
      case kTagError: *err = v; return SortOrder::kError;
      case kTagInteger: return v->integer.data < 0 ? SortOrder::kLess : SortOrder::kNotLess;
      default: return SortOrder::kNotInteger;
    }
  }

 private:
  static TQ_SEXP* positioned(TQ_SEXP* l, TQ_SEXP* at) {
    for (TQ_SEXP* p = l; p; p = p->pair.cdr) inherit(p, at);
    return l;
  }
  void set_arg(int i, TQ_SEXP* x) {
    TQ_SEXP* place = i == 0 ? form_->pair.cdr : form_->pair.cdr->pair.cdr;
    const bool as_is = self_evaluating(x);  // x realised here, outside the section
    MemLock hold;  // the reused form is reachable: no collection reads a place being set
    if (as_is) {
      place->pair.car = x;
    } else {
      wrap_[i]->pair.cdr->pair.car = x;
      place->pair.car = wrap_[i];
    }
  }
  TQISP_ENV* env_;
  TQ_FUNC* fn_;
  bool direct_;
  TQ_SEXP* form_;
  TQ_SEXP* wrap_[2];
};

// 1 when x "<" y, 0 when not, -1 with the error in *err.
int typed_less(TQ_SEXP** err, TQISP_ENV* env, TQ_SEXP* x, TQ_SEXP* y, TQ_SEXP* at) {
  TQ_SEXP* v = binary(lt_t, env, x, y, at->h.file, at->h.line);
  if (get_type(v) == kTagInteger) return v->integer.data != 0;
  *err = is_error_cell(v) ? v : lang_error(at, ER_TYPE, "njoin_cmp_field", nullptr);
  return -1;
}

}  // namespace

SortOrder FieldCompare::compare(TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP** err) {
  if (get_type(fields_) != kTagPair) return SortOrder::kNotInteger;  // the primitive answers nil then
  const int c = njoin_cmp_field_list(err, env_, fields_, a, b, at_);
  if (c == -2) return SortOrder::kError;
  return c < 0 ? SortOrder::kLess : SortOrder::kNotLess;
}

int field_compare(TQ_SEXP** err, TQISP_ENV* env, TQ_SEXP* fields, TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP* at) {
  gc_push(nullptr, nullptr, "njoin_cmp");
  const int c = njoin_cmp_field_list(err, env, fields, a, b, at);
  gc_pop(c == -2 ? *err : nullptr, gc_qv_sexp);
  return c;
}

TQ_SEXP* sort_list(TQ_SEXP* at, TQ_SEXP* list, SortCompare* cmp) {
  std::vector<SortNode> nodes;
  for (TQ_SEXP* p = list; get_type(p) == kTagPair; p = p->pair.cdr) nodes.push_back({p->pair.car, nullptr});
  if (nodes.empty()) return nullptr;
  std::vector<SortNode*> runs;  // the chain of runs, front first
  runs.reserve(nodes.size());
  for (size_t i = nodes.size(); i-- > 0;) runs.push_back(&nodes[i]);
  std::vector<SortNode*> made;
  {
    LoopFrame frame("sort_list");  // closed before the result is made
    int count = 0;
    while (runs.size() > 1) {
      made.clear();
      for (size_t i = 0; i < runs.size(); i += 2) {
        if (i + 1 == runs.size()) {
          made.push_back(runs[i]);
          break;
        }
        SortNode* merged = nullptr;
        if (TQ_SEXP* e = merge_runs(at, runs[i], runs[i + 1], cmp, &frame, &count, &merged)) return e;
        made.push_back(merged);
      }
      std::reverse(made.begin(), made.end());
      runs.swap(made);
    }
  }
  TQ_SEXP* r = nullptr;
  for (SortNode* n = runs[0]; n; n = n->next) r = cons(n->x, r);
  return r;
}

int njoin_cmp_field_list(TQ_SEXP** err, TQISP_ENV* env, TQ_SEXP* fields, TQ_SEXP* a, TQ_SEXP* b, TQ_SEXP* at) {
  for (TQ_SEXP* f = fields; get_type(f) == kTagPair; f = f->pair.cdr) {
    TQ_SEXP* x = get_element(at, a, f->pair.car, nullptr);
    TQ_SEXP* y = is_error_cell(x) ? x : get_element(at, b, f->pair.car, nullptr);
    if (is_error_cell(y)) {
      *err = y;
      return -2;
    }
    int lt = typed_less(err, env, x, y, at);
    if (lt) return lt < 0 ? -2 : -1;
    lt = typed_less(err, env, y, x, at);
    if (lt) return lt < 0 ? -2 : 1;
  }
  return 0;
}

TQ_SEXP* get_join_option(TQ_SYM_FIELD* sf) {
  const L_CHAR* text = word_attr(sf, "field");
  if (!text || !*text) return nullptr;
  ListBuilder out;
  std::vector<L_CHAR> name;
  for (const L_CHAR* p = text;; ++p) {
    if (*p == ',' || *p == 0) {
      name.push_back(0);
      out.add(get_symbol(name.data()));
      name.clear();
      if (*p == 0) break;
    } else {
      name.push_back(*p);
    }
  }
  return out.head;
}

int get_sort_option(TQ_SYM_FIELD* sf) {
  int flags = 3;
  const int bit[2] = {1, 2};
  const L_CHAR* value[2] = {word_attr(sf, "sort1"), word_attr(sf, "sort2")};
  for (int i = 0; i < 2; ++i)
    if (value[i] && l_strcmp(value[i], lc("off")) == 0) flags &= ~bit[i];
  return flags;
}

TQ_SEXP* tq_Sort(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  if (get_type(x) != kTagPair)
    return lang_error(s, ER_TYPE, "Sort", list(n_get_string("list"), n_get_string("is type missmatch"), nullptr));
  if (word_attr(sf, "field")) {
    FieldCompare cmp(env, get_join_option(sf), s);
    return sort_list(s, x, &cmp);
  }
  TQ_SEXP* fn = get_el(s, 2);
  if (get_type(fn) != kTagFunc)
    return lang_error(s, ER_TYPE, "Sort",
                      list(n_get_string("compare function"), n_get_string("is type missmatch"), nullptr));
  FunctionCompare cmp(env, fn, s);
  return sort_list(s, x, &cmp);
}

TQ_SEXP* tq_Categorize(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  TQ_SEXP* fn = get_el(s, 2);
  if (get_type(x) == kTagNil) return nullptr;
  if (get_type(x) != kTagPair || get_type(fn) != kTagFunc)
    return word_error_str(s, ER_TYPE, "Categorize", "type missmatch");
  // (compare a b) with the elements as they are, so they are evaluated again as arguments.
  TQ_SEXP* form = List(fn, nullptr, nullptr, kListEnd);
  for (TQ_SEXP* p = form; p; p = p->pair.cdr) inherit(p, s);
  ListBuilder groups, group;
  group.add(x->pair.car);
  for (TQ_SEXP* p = x; get_type(p->pair.cdr) == kTagPair; p = p->pair.cdr) {
    {
      MemLock hold;  // the reused form is reachable: no collection reads a place being set
      form->pair.cdr->pair.car = p->pair.car;
      form->pair.cdr->pair.cdr->pair.car = p->pair.cdr->pair.car;
    }
    gc_push(nullptr, nullptr, "Categorize");
    TQ_SEXP* v = eval(env, form);
    const int t = get_type(v);
    const bool split = t == kTagInteger && v->integer.data == 0;
    gc_pop(t == kTagError ? v : nullptr, gc_qv_sexp);
    if (t == kTagError) return v;
    if (t != kTagInteger) return word_error_str(s, ER_TYPE, "Categorize", "type missmatch the return of cmp function");
    if (split) {
      groups.add(group.head);
      group = ListBuilder{};
    }
    group.add(p->pair.cdr->pair.car);
  }
  groups.add(group.head);
  return groups.head;
}

void init_Sort(TQISP_ENV* env) { bind_word(env, "Sort", tq_Sort, kEvaluated, nullptr, 2, 3); }
void init_Categorize(TQISP_ENV* env) { bind_word(env, "Categorize", tq_Categorize, kEvaluated, nullptr, 3, 3); }

}  // namespace tq
