// Host byte order and in-place conversion of fixed records between stored big-endian
// form and host order. The same call converts in both directions.
#include "platform/endian.h"

#include <cstring>

namespace tq {

unsigned char endian_flag;

void check_endian() {
  const uint32_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  endian_flag = first;
}

namespace {

template <class T>
void swap8(T* v) {
  static_assert(sizeof(T) == 8);
  unsigned char b[8];
  memcpy(b, v, 8);
  for (int i = 0; i < 4; ++i) {
    const unsigned char t = b[i];
    b[i] = b[7 - i];
    b[7 - i] = t;
  }
  memcpy(v, b, 8);
}

}  // namespace

void change_endian_qv_point(QV_POINT* p) {
  if (!endian_flag) return;
  swap8(&p->x);
  swap8(&p->y);
}

void change_endian_qv_rect(QV_RECT* r) {
  change_endian_qv_point(&r->tl);
  change_endian_qv_point(&r->br);
}

void change_endian_qv_color(QV_COLOR* c) {
  if (!endian_flag) return;
  swap8(&c->r);
  swap8(&c->g);
  swap8(&c->b);
  swap8(&c->t);
}

void change_endian_l_char(uint32_t* s) {
  if (!endian_flag) return;
  for (; *s; ++s) *s = __builtin_bswap32(*s);
}

void change_endian_qv_time(QV_TIME* t) {
  if (endian_flag) swap8(&t->year);
}

void change_endian_affen2d(AFFEN2D* a) {
  if (!endian_flag) return;
  change_endian_qv_point(&a->org);
  for (auto& row : a->matrix)
    for (auto& v : row) swap8(&v);
}

}  // namespace tq
