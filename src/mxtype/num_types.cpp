// The numeric element types' conversions, comparisons, zero and unit, and printing, from
// one template instantiated for the ten members.
#include "mxtype/num_types.h"

#include <cstring>
#include <type_traits>

#include "matrix/dim_code.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "stream/format.h"

namespace tq {

namespace {

template <class T>
T load(const void* d) {
  T v;
  memcpy(&v, d, sizeof v);
  return v;
}

template <class T>
void store(void* d, T v) {
  memcpy(d, &v, sizeof v);
}

// -1, 0 or 1; unordered pairs (a NaN) are 0.
template <class T>
int order(T a, T b) {
  return a < b ? -1 : a > b ? 1 : 0;
}

// Whether the cell converts to T, and the value it converts to.
template <class T>
bool from_cell(TQ_SEXP* s, T* out) {
  const int32_t tag = get_type(s);
  if constexpr (std::is_same_v<T, double>) {
    if (tag == kTagInteger) return *out = double(s->integer.data), true;
    if (tag == kTagFloat) return *out = s->floating.data, true;
    return false;
  } else if constexpr (std::is_same_v<T, float>) {
    if (tag == kTagFloat) return *out = float(s->floating.data), true;
    return false;
  } else {
    if (tag == kTagInteger) return *out = T(uint64_t(s->integer.data)), true;  // the low bits
    return false;
  }
}

}  // namespace

template <class T>
void* mxt_num_sexp2md(int* cpy, MDT, TQ_SEXP* s) {
  T v;
  if (!from_cell(s, &v)) return nullptr;
  void* d = d_alloc(sizeof(T));
  store(d, v);
  if (cpy) *cpy = 1;
  return d;
}

template <class T>
TQ_SEXP* mxt_num_md2sexp(MDT, void* d) {
  const T v = load<T>(d);
  if constexpr (std::is_floating_point_v<T>)
    return get_floating(double(v), nullptr);
  else
    return get_integer(int64_t(v), nullptr);  // widened by T's signedness
}

template <class T>
int mxt_num_cmp(MDT, void* d1, void* d2) {
  return order(load<T>(d1), load<T>(d2));
}

template <class T>
int mxt_numv_cmp(MDT, void* d1, void* d2) {
  MATRIX_DH_SET h1, h2;
  get_matrix_dh_set(&h1, d1);
  get_matrix_dh_set(&h2, d2);
  if (const int c = cmp_dh_set(&h1, &h2)) return c;
  const auto* a = reinterpret_cast<const T*>(h1.offset);
  const auto* b = reinterpret_cast<const T*>(h2.offset);
  for (int64_t i = 0; i < h1.total_element; ++i)
    if (const int c = order(a[i], b[i])) return c;
  return 0;
}

template <class T>
void mxt_num_get_zero(MDT, void* buf) {
  store(buf, T(0));
}

template <class T>
void mxt_num_get_el(MDT, void* buf) {
  store(buf, T(1));
}

template <class T>
void mxt_num_print(MDT, MATRIX_STRING_BUFFER* b, void* d, const char* fmt) {
  const T v = load<T>(d);
  if constexpr (std::is_floating_point_v<T>)
    mxt_print_value(b, fmt, "%f", MxFmtArg::kDouble, 0, double(v));
  else if constexpr (sizeof(T) == 8)
    mxt_print_value(b, fmt, "%lli", MxFmtArg::kInt64, int64_t(v), 0);
  else  // widened to a 32-bit int: sign- or zero-extended, then read as int
    mxt_print_value(b, fmt, "%i", MxFmtArg::kInt, int32_t(uint32_t(v)), 0);
}

int check_bittest(MATRIX* m, int64_t* dim_code, void* d, const char* msg) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  int z = 0, o = 0, oth = 0;
  for (int64_t i = 0; i < dh.total_element; ++i) {
    const uint8_t v = dh.offset[i];
    (v == 0 ? z : v == 1 ? o : oth)++;
  }
  return ss_printf("%s(%s) z-%i o-%i oth-%i total=%i\n", msg, pt_dc(m, dim_code, 1), z, o, oth, z + o + oth);
}

#define MXT_NUM_INSTANTIATE(T)                                  \
  template void* mxt_num_sexp2md<T>(int*, MDT, TQ_SEXP*);       \
  template TQ_SEXP* mxt_num_md2sexp<T>(MDT, void*);             \
  template int mxt_num_cmp<T>(MDT, void*, void*);               \
  template int mxt_numv_cmp<T>(MDT, void*, void*);              \
  template void mxt_num_get_zero<T>(MDT, void*);                \
  template void mxt_num_get_el<T>(MDT, void*);                  \
  template void mxt_num_print<T>(MDT, MATRIX_STRING_BUFFER*, void*, const char*);
MXT_NUM_INSTANTIATE(int8_t)
MXT_NUM_INSTANTIATE(int16_t)
MXT_NUM_INSTANTIATE(int32_t)
MXT_NUM_INSTANTIATE(int64_t)
MXT_NUM_INSTANTIATE(uint8_t)
MXT_NUM_INSTANTIATE(uint16_t)
MXT_NUM_INSTANTIATE(uint32_t)
MXT_NUM_INSTANTIATE(uint64_t)
MXT_NUM_INSTANTIATE(float)
MXT_NUM_INSTANTIATE(double)

}  // namespace tq
