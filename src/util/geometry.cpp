// Integer, short and real points and rectangles.
#include "util/geometry.h"

#include <cmath>

namespace tq {

void insert_rect_i(I_RECT* r, I_POINT p) {
  if (r->tl.x > r->br.x || r->tl.y > r->br.y) {
    r->tl = p;
    r->br = p;
    return;
  }
  if (p.x < r->tl.x) r->tl.x = p.x;
  if (p.y < r->tl.y) r->tl.y = p.y;
  if (p.x > r->br.x) r->br.x = p.x;
  if (p.y > r->br.y) r->br.y = p.y;
}

I_POINT p_addi(I_POINT p1, I_POINT p2) {
  // Wrapping sum, as 32-bit hardware adds.
  return I_POINT{int32_t(uint32_t(p1.x) + uint32_t(p2.x)), int32_t(uint32_t(p1.y) + uint32_t(p2.y))};
}

static int16_t low16(int32_t v) { return int16_t(uint16_t(uint32_t(v))); }

S_RECT rect_conv_i2s(I_RECT r) { return S_RECT{low16(r.tl.x), low16(r.tl.y), low16(r.br.x), low16(r.br.y)}; }

int32_t trunc32(double d) {
  if (std::isnan(d)) return INT32_MIN;
  if (d >= 2147483648.0) return INT32_MAX;
  if (d <= -2147483649.0) return INT32_MIN;
  return int32_t(d);
}

S_RECT rect_conv_r2s(R_RECT r) {
  return S_RECT{low16(trunc32(r.tl.x)), low16(trunc32(r.tl.y)), low16(trunc32(r.br.x)), low16(trunc32(r.br.y))};
}

}  // namespace tq
