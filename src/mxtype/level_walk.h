// The walks between two levels of a matrix's pyramid that thinning and level arithmetic
// share, for every element type that has them (numeric, rgb8, string).
//
// A fine block at level lev (dimension code: the level, then one level-0 coordinate per
// axis) lies under a coarse block `parent` levels up. Along axis i a cell of 2^s_i fine
// elements (s_i = dim_divide[i] * parent) makes one coarse element, and the fine block's
// cells start at ofs[i] inside the coarse block: its index among the blocks sharing the
// coarse block, times the coarse elements one fine block covers.
//
// Fine and coarse positions are linked by coarse = ofs + (fine >> s). Every walk here stays
// inside the blocks it is given: a cell that reaches past the fine block's end is cut to
// the block (its elements inside only, so averages divide by the real count), and a
// position that falls outside the block it addresses (a coarse, destination or
// representative index) is skipped. Shifts are guarded: s_i is held at 62, an offset that
// does not fit lands out of range (skipped) instead of wrapping.
#pragma once
#include <cstdint>

#include "matrix/matrix.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"

namespace tq {

inline constexpr int kMxMaxAxes = 31;  // a vector's offset byte allows at most 30 axes

struct MxLevelGeom {
  int dim;                    // axes walked (at least 1: a vector of 0 axes is one element)
  int64_t shift[kMxMaxAxes];  // s_i, held at 62
  int64_t ofs[kMxMaxAxes];    // where the fine block's cells start in the coarse block
};

// v * 2^s for v >= 0, held at INT64_MAX.
inline int64_t mx_shl_sat(int64_t v, int64_t s) { return s >= 62 || v > (INT64_MAX >> s) ? INT64_MAX : v << s; }

// Fills g for matrix m, the fine block's dimension code and parent. False when parent is
// negative or the matrix has more than 30 axes.
bool mx_level_geom(MxLevelGeom* g, MATRIX* m, const int64_t* dim_code, int parent);

// The sizes of a vector as the walks use them: its axes, or one axis of 1 for 0 axes.
struct MxShape {
  int64_t n[kMxMaxAxes];
  explicit MxShape(const MATRIX_DH_SET& dh, int dim) {
    for (int i = 0; i < dim; ++i) n[i] = dh.hd->dim == 0 ? 1 : dh.ix[i];
  }
};

// Representative thinning: source elements rep, rep + 2^s, ... (per axis, while inside the
// source) go to destination (p >> s) + ofs, through copy(dest element, source element).
// A rep outside the source on some axis copies nothing.
template <class Copy>
void mx_walk_rep(const MxLevelGeom& g, const int* rep, MATRIX_DH_SET& dest, MATRIX_DH_SET& src, int el_size,
                 Copy copy) {
  const int dim = g.dim;
  const MxShape S(src, dim), D(dest, dim);
  int64_t p[kMxMaxAxes];
  for (int i = 0; i < dim; ++i) {
    p[i] = src.hd->dim == 0 ? 0 : rep[i];
    if (p[i] < 0 || p[i] >= S.n[i]) return;
  }
  for (;;) {
    int64_t s_seq = 0, d_seq = 0, s_stride = 1, d_stride = 1;
    bool inside = true;
    for (int i = 0; i < dim; ++i) {
      const int64_t d = (p[i] >> g.shift[i]) + g.ofs[i];
      inside = inside && d >= 0 && d < D.n[i];
      if (inside) s_seq += p[i] * s_stride, d_seq += d * d_stride;  // d may be far out: no product then
      s_stride *= S.n[i], d_stride *= D.n[i];
    }
    if (inside) copy(dest.offset + d_seq * el_size, src.offset + s_seq * el_size);
    int i = 0;
    for (; i < dim; ++i) {
      p[i] += int64_t(1) << g.shift[i];
      if (p[i] < S.n[i]) break;
      p[i] = src.hd->dim == 0 ? 0 : rep[i];
    }
    if (i == dim) return;
  }
}

// Average thinning: every cell's elements (axis 0 fastest) are added into an accumulator
// with add(acc, element), then the destination element of the cell, when inside, becomes
// mean(acc, count) with count the cell's elements inside the source. kExact: the sums are
// exact (Acc += Acc regroups them), so the walk may add pairs first; otherwise every element
// is added in order, as floating-point sums need.
template <class T, class Acc, bool kExact, class Add, class Mean>
void mx_walk_avg(const MxLevelGeom& g, MATRIX_DH_SET& dest, MATRIX_DH_SET& src, Add add, Mean mean) {
  const int dim = g.dim;
  const MxShape S(src, dim), D(dest, dim);
  int64_t cells[kMxMaxAxes], cell_count = 1, rows = 1;
  for (int i = 0; i < dim; ++i) {
    cells[i] = (S.n[i] + (int64_t(1) << g.shift[i]) - 1) >> g.shift[i];
    cell_count *= cells[i];
    if (i > 0) rows *= S.n[i];
  }
  if (cell_count == 0) return;
  auto* acc = static_cast<Acc*>(d_alloc(sizeof(Acc) * size_t(cell_count)));
  for (int64_t c = 0; c < cell_count; ++c) acc[c] = Acc{};
  const T* in = reinterpret_cast<const T*>(src.offset);
  int64_t y[kMxMaxAxes] = {};
  for (int64_t r = 0; r < rows; ++r) {  // one source row of axis 0 at a time
    int64_t base = 0, stride = cells[0];
    for (int i = 1; i < dim; ++i) base += (y[i] >> g.shift[i]) * stride, stride *= cells[i];
    const int64_t step0 = int64_t(1) << g.shift[0];
    int64_t k0 = 0, x = 0;
    if constexpr (kExact) {  // halving: whole pairs at once (an exact sum may be regrouped)
      if (step0 == 2)
        for (; x + 1 < S.n[0]; x += 2, ++k0) {
          Acc pair{};
          add(pair, in[x]);
          add(pair, in[x + 1]);
          acc[base + k0] += pair;
        }
    }
    for (; k0 < cells[0]; ++k0) {  // a cell's run of the row, in order
      Acc& a = acc[base + k0];
      for (const int64_t end = S.n[0] - x < step0 ? S.n[0] : x + step0; x < end; ++x) add(a, in[x]);
    }
    in += S.n[0];
    for (int i = 1; i < dim && ++y[i] == S.n[i]; ++i) y[i] = 0;
  }
  T* out = reinterpret_cast<T*>(dest.offset);
  auto extent = [&](int i, int64_t k) {
    const int64_t step = int64_t(1) << g.shift[i];
    const int64_t left = S.n[i] - k * step;
    return left < step ? left : step;
  };
  int64_t k[kMxMaxAxes] = {};
  for (int64_t c = 0; c < cell_count; c += cells[0]) {  // one row of cells at a time
    int64_t d_row = 0, stride = D.n[0], count_row = 1;
    bool inside = true;
    for (int i = 1; i < dim; ++i) {
      const int64_t d = k[i] + g.ofs[i];
      inside = inside && d >= 0 && d < D.n[i];
      if (inside) d_row += d * stride;
      stride *= D.n[i], count_row *= extent(i, k[i]);
    }
    for (int64_t k0 = 0; inside && k0 < cells[0]; ++k0) {
      const int64_t d0 = k0 + g.ofs[0];
      if (d0 >= 0 && d0 < D.n[0]) out[d_row + d0] = mean(acc[c + k0], count_row * extent(0, k0));
    }
    for (int i = 1; i < dim && ++k[i] == cells[i]; ++i) k[i] = 0;
  }
  d_f_ree(acc);
}

// Level arithmetic: for every fine element f with its coarse element c = ofs + (f >> s)
// and its destination element f all inside their blocks, fn(destination address, coarse,
// fine). The destination's elements are dest_size bytes.
template <class T, class Fn>
void mx_walk_level(const MxLevelGeom& g, MATRIX_DH_SET& dest, MATRIX_DH_SET& coarse, MATRIX_DH_SET& fine,
                   int dest_size, Fn fn) {
  const int dim = g.dim;
  const MxShape F(fine, dim), C(coarse, dim), D(dest, dim);
  int64_t rows = 1;
  for (int i = 1; i < dim; ++i) rows *= F.n[i];
  if (F.n[0] == 0) rows = 0;
  const T* in = reinterpret_cast<const T*>(fine.offset);
  const T* co = reinterpret_cast<const T*>(coarse.offset);
  int64_t y[kMxMaxAxes] = {};
  for (int64_t r = 0; r < rows; ++r, in += F.n[0]) {
    int64_t c_row = 0, d_row = 0, c_stride = C.n[0], d_stride = D.n[0];
    bool inside = true;
    for (int i = 1; i < dim; ++i) {
      const int64_t c = g.ofs[i] + (y[i] >> g.shift[i]);
      inside = inside && c >= 0 && c < C.n[i] && y[i] < D.n[i];
      if (inside) c_row += c * c_stride, d_row += y[i] * d_stride;
      c_stride *= C.n[i], d_stride *= D.n[i];
    }
    for (int i = 1; i < dim && ++y[i] == F.n[i]; ++i) y[i] = 0;
    if (!inside) continue;
    // The fine columns whose coarse column lies inside: ofs + (x >> s) in [0, C).
    int64_t lo = 0, hi = F.n[0] < D.n[0] ? F.n[0] : D.n[0];
    if (g.ofs[0] < 0) lo = mx_shl_sat(-g.ofs[0], g.shift[0]);
    if (C.n[0] - g.ofs[0] <= 0) hi = 0;
    else if (mx_shl_sat(C.n[0] - g.ofs[0], g.shift[0]) < hi) hi = mx_shl_sat(C.n[0] - g.ofs[0], g.shift[0]);
    if (lo >= hi) continue;  // ofs[0] may be far out: no address is formed from it then
    uint8_t* out = dest.offset + d_row * dest_size;
    const T* co_row = co + c_row + g.ofs[0];
    for (int64_t x = lo; x < hi; ++x) fn(out + x * dest_size, co_row[x >> g.shift[0]], in[x]);
  }
}

}  // namespace tq
