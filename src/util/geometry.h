// Integer, short and real points and rectangles with the few operations several layers
// share: widening a rectangle by a point, adding points, and narrowing to short rectangles.
#pragma once
#include <cstdint>
#include "platform/endian.h"

namespace tq {

struct i_point {
  int32_t x, y;
};
using I_POINT = i_point;
struct i_rect {
  I_POINT tl, br;
};
using I_RECT = i_rect;
struct s_rect {
  int16_t l, t, r, b;
};
using S_RECT = s_rect;
// R_POINT, QV_POINT and QV_RECT come with the byte-order module; R_RECT is QV_RECT.
using R_RECT = QV_RECT;

// Widens r to hold p. A rectangle whose tl lies right of or below its br counts as empty
// and becomes the single point p.
void insert_rect_i(I_RECT* r, I_POINT p);
I_POINT p_addi(I_POINT p1, I_POINT p2);
// A double truncated toward zero to 32 bits; beyond the range it saturates, NaN gives
// -2147483648, as PowerPC converts (a plain cast would be undefined behaviour).
int32_t trunc32(double d);
// Each coordinate's low 16 bits: l = tl.x, t = tl.y, r = br.x, b = br.y.
S_RECT rect_conv_i2s(I_RECT r);
// The same after truncating each double toward zero to a 32-bit integer; values beyond
// the 32-bit range saturate and NaN gives -2147483648.
S_RECT rect_conv_r2s(R_RECT r);

}  // namespace tq
