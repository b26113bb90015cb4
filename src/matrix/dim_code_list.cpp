// Dimension codes to and from language lists.
#include "matrix/dim_code_list.h"

#include "lang/gc.h"
#include "matrix/dim_code.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

int64_t int_value(TQ_SEXP* s) { return get_type(s) == kTagInteger ? s->integer.data : 0; }

// The node span of axis a at the 64-bit level, saturated where the product overflows.
int64_t span_shift64(const MATRIX* m, int a, int64_t level) {
  int64_t s;
  if (__builtin_mul_overflow(int64_t(m->dim_divide[a]), level, &s) || __builtin_add_overflow(s, m->block_size[a], &s))
    return level < 0 ? -1 : 64;
  return s;
}

}  // namespace

int64_t* get_dim_code_from_sexp(const MATRIX* m, TQ_SEXP* s) {
  const int len = list_length(s);
  if (len < 2 || len != m->p.dim + 1) return nullptr;
  auto* dc = static_cast<int64_t*>(d_calloc(size_t(len), sizeof(int64_t)));
  for (int i = 0; i < len; ++i, s = cdr(s)) dc[i] = int_value(car(s));
  return dc;
}

int32_t* get_dim_code_from_sexp_int(TQ_SEXP* s) {
  const int len = list_length(s);
  if (len < 2) return nullptr;
  auto* v = static_cast<int32_t*>(d_calloc(size_t(len), sizeof(int32_t)));
  for (int i = 0; i < len; ++i, s = cdr(s)) v[i] = int32_t(uint64_t(int_value(car(s))));
  return v;
}

TQ_SEXP* get_sexp_from_dim_code(const MATRIX* m, const int64_t* dim_code) {
  GcFrame frame("get_sexp_from_dim_code");
  TQ_SEXP* list = nullptr;
  for (int a = m->p.dim - 1; a >= 0; --a) {
    const uint64_t origin = uint64_t(dim_code[a + 1]) & mx_span_mask(span_shift64(m, a, dim_code[0]));
    list = cons(get_integer(int64_t(origin), nullptr), list);
  }
  return frame.release(cons(get_integer(dim_code[0], nullptr), list));
}

void free_mx_dim_code_list(MX_DIM_CODE_LIST* lst) {
  while (lst) {
    MX_DIM_CODE_LIST* next = lst->next;
    if (lst->dc) d_f_ree(lst->dc);
    d_f_ree(lst);
    lst = next;
  }
}

}  // namespace tq
