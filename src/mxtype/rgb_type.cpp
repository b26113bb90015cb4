// The rgb8 element types: colour words, their per-byte saturating arithmetic and the
// thinning and level operations of their vectors.
#include "mxtype/rgb_type.h"

#include <cstring>

#include "mxtype/curve.h"
#include "mxtype/level_walk.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

uint32_t load(const void* d) {
  uint32_t v;
  memcpy(&v, d, sizeof v);
  return v;
}

int colour(uint32_t word, int n) { return int(word >> (8 * n) & 0xFF); }

uint32_t place(int value, int n) {
  const int v = value < 0 ? 0 : value > 255 ? 255 : value;
  return uint32_t(v) << (8 * n);
}

// Colour sums of one cell.
struct ColourSum {
  int64_t s[4];
};

bool fits(const MATRIX_DH_SET& dh, const MATRIX* m, MDT tp) { return dh.hd->dim == m->p.dim && dh.hd->type == tp->type; }

int level_op(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2,
             uint32_t (*op)(uint32_t, uint32_t, int)) {
  MATRIX_DH_SET d, c, f;
  get_matrix_dh_set(&d, dest);
  get_matrix_dh_set(&c, src1);
  get_matrix_dh_set(&f, src2);
  MxLevelGeom g;
  if (!fits(d, m, tp) || !fits(c, m, tp) || !fits(f, m, tp) || dim_code[0] < 1) return -1;
  if (!mx_level_geom(&g, m, dim_code, parent)) return -1;
  const int option = opt ? *opt : MX_OPT_NONE;
  mx_walk_level<uint32_t>(g, d, c, f, 4, [op, option](uint8_t* out, uint32_t a, uint32_t b) {
    const uint32_t r = op(a, b, option);
    memcpy(out, &r, sizeof r);
  });
  return 0;
}

}  // namespace

void* mxt_RGB_sexp2md(int* cpy, MDT, TQ_SEXP* s) {
  if (get_type(s) != kTagInteger) return nullptr;
  const auto word = uint32_t(uint64_t(s->integer.data));
  void* d = d_alloc(sizeof word);
  memcpy(d, &word, sizeof word);
  if (cpy) *cpy = 1;
  return d;
}

TQ_SEXP* mxt_RGB_md2sexp(MDT, void* d) { return get_integer(int64_t(load(d)), nullptr); }

int cmp_RGB(uint32_t r1, uint32_t r2) {
  for (int n = 0; n < 4; ++n) {
    const int a = colour(r1, n), b = colour(r2, n);
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

int mxt_RGB_cmp(MDT, void* d1, void* d2) { return cmp_RGB(load(d1), load(d2)); }

int mxt_RGBv_cmp(MDT, void* d1, void* d2) {
  MATRIX_DH_SET h1, h2;
  get_matrix_dh_set(&h1, d1);
  get_matrix_dh_set(&h2, d2);
  if (const int c = cmp_dh_set(&h1, &h2)) return c;
  for (int64_t i = 0; i < h1.total_element; ++i)
    if (const int c = cmp_RGB(load(h1.offset + 4 * i), load(h2.offset + 4 * i))) return c;
  return 0;
}

uint32_t add_RGB(uint32_t a, uint32_t b, int opt) {
  uint32_t r = 0;
  for (int n = 0; n < 4; ++n)
    r |= place(opt == MX_OPT_CURVE ? colour(a, n) + __uchar2short(uint8_t(colour(b, n))) : colour(a, n) + colour(b, n), n);
  return r;
}

uint32_t sub_RGB(uint32_t a, uint32_t b, int opt) {
  uint32_t r = 0;
  for (int n = 0; n < 4; ++n) {
    const int diff = colour(a, n) - colour(b, n);
    r |= place(opt == MX_OPT_CURVE ? __short2uchar(int16_t(diff)) : diff, n);
  }
  return r;
}

int mxt_RGB_thined_rep(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src) {
  MATRIX_DH_SET d, s;
  get_matrix_dh_set(&d, dest);
  get_matrix_dh_set(&s, src);
  if (!fits(s, m, tp)) return -1;
  if (!fits(d, m, tp)) return -2;
  MxLevelGeom g;
  if (!mx_level_geom(&g, m, dim_code, parent)) return -1;
  mx_walk_rep(g, rep, d, s, 4, [](uint8_t* to, const uint8_t* from) { memcpy(to, from, 4); });
  return 0;
}

int mxt_RGB_thined_avg(MDT tp, MATRIX* m, int64_t* dim_code, int parent, void* dest, void* src) {
  MATRIX_DH_SET d, s;
  get_matrix_dh_set(&d, dest);
  get_matrix_dh_set(&s, src);
  MxLevelGeom g;
  if (!fits(s, m, tp) || !fits(d, m, tp) || !mx_level_geom(&g, m, dim_code, parent)) return -1;
  mx_walk_avg<uint32_t, ColourSum, false>(
      g, d, s,
      [](ColourSum& acc, uint32_t v) {
        for (int n = 0; n < 4; ++n) acc.s[n] += colour(v, n);
      },
      [](const ColourSum& acc, int64_t count) {
        uint32_t r = 0;
        for (int n = 0; n < 4; ++n) r |= place(int(acc.s[n] / count), n);
        return r;
      });
  return 0;
}

int mxt_RGB_add(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2) {
  return level_op(tp, m, dim_code, parent, opt, dest, src1, src2, add_RGB);
}

int mxt_RGB_sub(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2) {
  return level_op(tp, m, dim_code, parent, opt, dest, src1, src2, sub_RGB);
}

}  // namespace tq
