// Host byte order and in-place conversion of a few fixed records between their
// big-endian stored form and host order (a no-op on a big-endian host).
#pragma once
#include <cstdint>

namespace tq {

extern unsigned char endian_flag;  // nonzero on a little-endian host
void check_endian();

using REAL1 = double;
struct R_POINT {
  REAL1 x, y;
};
using QV_POINT = R_POINT;
struct QV_RECT {
  QV_POINT tl, br;
};
struct QV_COLOR {
  uint64_t r, g, b, t;
};
struct QV_TIME {
  int64_t year;
  unsigned char month, date, day, hour, min, sec;
};
struct AFFEN2D {
  QV_POINT org;
  REAL1 matrix[2][2];
};

void change_endian_qv_point(QV_POINT* p);
void change_endian_qv_rect(QV_RECT* r);
void change_endian_qv_color(QV_COLOR* c);
void change_endian_l_char(uint32_t* s);
void change_endian_qv_time(QV_TIME* t);
void change_endian_affen2d(AFFEN2D* a);

// Big-endian field access for file and wire formats.
inline uint16_t get_be16(const unsigned char* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t get_be64(const unsigned char* p) { return uint64_t(get_be32(p)) << 32 | get_be32(p + 4); }
inline void put_be16(unsigned char* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void put_be32(unsigned char* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void put_be64(unsigned char* p, uint64_t v) {
  put_be32(p, uint32_t(v >> 32));
  put_be32(p + 4, uint32_t(v));
}

}  // namespace tq
