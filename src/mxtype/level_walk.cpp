// The geometry between two levels of a matrix: the cell shifts and the fine block's offset
// inside the coarse block, with every shift guarded.
#include "mxtype/level_walk.h"

#include "matrix/dim_code.h"

namespace tq {

namespace {

constexpr int64_t kMaxShift = 62;
constexpr int64_t kOutOfRange = INT64_MAX / 4;  // an offset no block reaches

// k * 2^e, or kOutOfRange when it passes any block (k >= 0).
int64_t scaled(int64_t k, int64_t e) {
  if (k == 0) return 0;
  if (e >= kMaxShift || k > (kOutOfRange >> e)) return kOutOfRange;
  return k << e;
}

}  // namespace

bool mx_level_geom(MxLevelGeom* g, MATRIX* m, const int64_t* dim_code, int parent) {
  const int dim = m->p.dim;
  if (parent < 0 || dim < 0 || dim >= kMxMaxAxes) return false;
  const int32_t lev = mx_dc_level(dim_code);
  g->dim = dim > 0 ? dim : 1;
  g->shift[0] = g->ofs[0] = 0;
  for (int i = 0; i < dim; ++i) {
    const int64_t s = int64_t(m->dim_divide[i]) * parent;
    const int64_t bs = m->block_size[i];
    g->shift[i] = s < kMaxShift ? s : kMaxShift;
    g->ofs[i] = 0;
    if (bs > s) {  // s < bs <= 255: the mask and the scale stay defined through the guards
      const uint64_t index = uint64_t(mx_sar(dim_code[1 + i], mx_span_shift(m, i, lev))) & ~mx_span_mask(s);
      g->ofs[i] = index > uint64_t(kOutOfRange) ? kOutOfRange : scaled(int64_t(index), bs - s);
    }
  }
  return true;
}

}  // namespace tq
