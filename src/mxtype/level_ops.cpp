// Thinning and level arithmetic of the numeric vector types, one template over the ten
// members. Integer arithmetic that may wrap is formed in unsigned types.
#include "mxtype/level_ops.h"

#include <cstring>
#include <type_traits>

#include "matrix/matrix_registry.h"
#include "mxtype/curve.h"
#include "mxtype/level_walk.h"

namespace tq {

namespace {

// The exact sum of a cell: 64 bits hold 2^31 elements of 32 bits; 64-bit members need 128.
template <class T>
using CellSum = std::conditional_t<
    std::is_floating_point_v<T>, T,
    std::conditional_t<sizeof(T) < 8, int64_t, std::conditional_t<std::is_signed_v<T>, __int128, unsigned __int128>>>;

// coarse + fine or coarse - fine in the member's width, widened to 64 bits.
template <class T>
int64_t level_result(T a, T b, bool sub) {
  if constexpr (sizeof(T) <= 2) {
    return sub ? int64_t(a) - int64_t(b) : int64_t(a) + int64_t(b);  // exact in 32 bits
  } else if constexpr (sizeof(T) == 4) {
    const uint32_t r = sub ? uint32_t(a) - uint32_t(b) : uint32_t(a) + uint32_t(b);
    return std::is_signed_v<T> ? int64_t(int32_t(r)) : int64_t(r);
  } else {
    return int64_t(sub ? uint64_t(a) - uint64_t(b) : uint64_t(a) + uint64_t(b));
  }
}

// sum / count truncated toward zero (the mean fits the element). Whole cells count a power
// of two: a shift, corrected toward zero for negative sums, spares the division.
template <class Sum>
Sum truncated_mean(Sum sum, int64_t count) {
  if (count & (count - 1)) return sum / Sum(count);
  const int k = __builtin_ctzll(uint64_t(count));
  if constexpr (std::is_signed_v<Sum> || std::is_same_v<Sum, __int128>)
    if (sum < 0) sum += Sum(count - 1);
  return sum >> k;
}

struct Blocks {
  MATRIX_DH_SET dest, a, b;
};

bool has_axes(const MATRIX_DH_SET& dh, const MATRIX* m) { return dh.hd->dim == m->p.dim; }
bool of_type(const MATRIX_DH_SET& dh, MDT tp) { return dh.hd->type == tp->type; }

// The element size of an integer or floating vector type that round_int stores into; 0 for
// any other type.
int round_int_size(int type) {
  MDT tp = get_matrix_data_type(type);
  const int scalar = type & 0xF;
  if (!tp || !(type & MXT_VECTOR) || scalar < MXT_INT8 || scalar > MXT_DOUBLE) return 0;
  return tp->parent->get_size(tp->parent, nullptr);
}

template <class T>
int level_op(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2,
             bool sub) {
  Blocks k;
  get_matrix_dh_set(&k.dest, dest);
  get_matrix_dh_set(&k.a, src1);
  get_matrix_dh_set(&k.b, src2);
  if (!has_axes(k.a, m) || !has_axes(k.b, m) || !has_axes(k.dest, m) || dim_code[0] <= 0) return -1;
  MxLevelGeom g;
  if (!of_type(k.a, tp) || !of_type(k.b, tp) || !mx_level_geom(&g, m, dim_code, parent)) return -1;
  if constexpr (std::is_floating_point_v<T>) {
    if (!of_type(k.dest, tp)) return -1;
    mx_walk_level<T>(g, k.dest, k.a, k.b, sizeof(T), [sub](uint8_t* out, T c, T f) {
      const T r = sub ? T(c - f) : T(c + f);
      memcpy(out, &r, sizeof r);
    });
  } else {
    const int option = opt ? *opt : MX_OPT_NONE;
    constexpr bool kUint8 = std::is_same_v<T, uint8_t>;
    const int round_opt = kUint8 && sub ? option : MX_OPT_NONE;
    const int type = k.dest.hd->type;
    const int size = round_int_size(type);
    if (size == 0) return -1;
    auto walk = [&](auto result) {
      if (type != tp->type)
        mx_walk_level<T>(g, k.dest, k.a, k.b, size,
                         [&](uint8_t* out, T c, T f) { round_int(type, out, result(c, f), round_opt); });
      else if (round_opt == MX_OPT_NONE || round_opt == MX_OPT_TRUNC)  // clamping only
        mx_walk_level<T>(g, k.dest, k.a, k.b, size, [&](uint8_t* out, T c, T f) {
          *reinterpret_cast<T*>(out) = mx_round<T>(result(c, f), MX_OPT_NONE);
        });
      else
        mx_walk_level<T>(g, k.dest, k.a, k.b, size, [&](uint8_t* out, T c, T f) {
          *reinterpret_cast<T*>(out) = mx_round<T>(result(c, f), round_opt);
        });
    };
    const int16_t* curve = kUint8 && !sub && option == MX_OPT_CURVE ? mx_curve_decode_table() : nullptr;
    if (curve)
      walk([curve](T c, T f) { return int64_t(c) + curve[f]; });
    else if (sub)
      walk([](T c, T f) { return level_result(c, f, true); });
    else
      walk([](T c, T f) { return level_result(c, f, false); });
  }
  return 0;
}

}  // namespace

template <class T>
int mxt_num_thined_rep(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src) {
  MATRIX_DH_SET d, s;
  get_matrix_dh_set(&d, dest);
  get_matrix_dh_set(&s, src);
  if (!has_axes(s, m) || !of_type(s, tp)) return -1;
  if (!has_axes(d, m) || !of_type(d, tp)) return std::is_floating_point_v<T> ? -1 : -2;
  MxLevelGeom g;
  if (!mx_level_geom(&g, m, dim_code, parent)) return -1;
  mx_walk_rep(g, rep, d, s, sizeof(T), [](uint8_t* to, const uint8_t* from) { memcpy(to, from, sizeof(T)); });
  return 0;
}

template <class T>
int mxt_num_thined_avg(MDT tp, MATRIX* m, int64_t* dim_code, int parent, void* dest, void* src) {
  MATRIX_DH_SET d, s;
  get_matrix_dh_set(&d, dest);
  get_matrix_dh_set(&s, src);
  if (!has_axes(s, m) || !has_axes(d, m) || !of_type(s, tp) || !of_type(d, tp)) return -1;
  if (!std::is_same_v<T, double> && dim_code[0] <= 0) return -1;  // double thins at any level
  MxLevelGeom g;
  if (!mx_level_geom(&g, m, dim_code, parent)) return -1;
  using Sum = CellSum<T>;
  mx_walk_avg<T, Sum, !std::is_floating_point_v<T>>(
      g, d, s, [](Sum& acc, T v) { acc += Sum(v); },
      [](const Sum& acc, int64_t count) {
        if constexpr (std::is_floating_point_v<T>)
          return T(acc / T(count));
        else
          return T(truncated_mean(acc, count));
      });
  return 0;
}

template <class T>
int mxt_num_add(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2) {
  return level_op<T>(tp, m, dim_code, parent, opt, dest, src1, src2, false);
}

template <class T>
int mxt_num_sub(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2) {
  return level_op<T>(tp, m, dim_code, parent, opt, dest, src1, src2, true);
}

#define MXT_LEVEL_INSTANTIATE(T)                                                               \
  template int mxt_num_thined_rep<T>(MDT, MATRIX*, int64_t*, int*, int, void*, void*);         \
  template int mxt_num_thined_avg<T>(MDT, MATRIX*, int64_t*, int, void*, void*);               \
  template int mxt_num_add<T>(MDT, MATRIX*, int64_t*, int, int*, void*, void*, void*);         \
  template int mxt_num_sub<T>(MDT, MATRIX*, int64_t*, int, int*, void*, void*, void*);
MXT_LEVEL_INSTANTIATE(int8_t)
MXT_LEVEL_INSTANTIATE(int16_t)
MXT_LEVEL_INSTANTIATE(int32_t)
MXT_LEVEL_INSTANTIATE(int64_t)
MXT_LEVEL_INSTANTIATE(uint8_t)
MXT_LEVEL_INSTANTIATE(uint16_t)
MXT_LEVEL_INSTANTIATE(uint32_t)
MXT_LEVEL_INSTANTIATE(uint64_t)
MXT_LEVEL_INSTANTIATE(float)
MXT_LEVEL_INSTANTIATE(double)

}  // namespace tq
