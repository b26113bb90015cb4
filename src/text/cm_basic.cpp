// The code methods that need no tables: ASCII (one byte per character), Internal (the
// L_CHAR in host byte order) and EXTUCS-4 (the full L_CHAR, tags included, big-endian).
#include <cstring>

#include "platform/d_alloc.h"
#include "text/code_method.h"

namespace tq {

namespace {

struct ascii_work {
  unsigned char buf;  // not read
};
struct int_work {
  int cnt;
  unsigned char data[4];
};
struct extucs4_work {
  L_CHAR buf[4];
  int len;
};

constexpr LCZ_SET kAsciiMain[] = {{0, 0xFFFFFF80}, {LC_NO_CHAR, 0}};
constexpr LCZ_SET kUcsMain[] = {{0, 0x80000000}, {LC_NO_CHAR, 0}};

}  // namespace

// ---- ASCII: every byte is the character of its value; characters up to 255 are one byte.

void* open_ascii() { return d_calloc(1, sizeof(ascii_work)); }

int close_ascii(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int ascii2int(L_CHAR* ret, void*, unsigned char b) {
  *ret = b;
  return 1;
}

int int2ascii(unsigned char* ret, void*, L_CHAR ch) {
  if (ch > 0xFF) return 0;
  ret[0] = static_cast<unsigned char>(ch);
  return 1;
}

// ---- Internal: four bytes in host order make one character.

void* open_internal() { return d_calloc(1, sizeof(int_work)); }

int close_internal(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int i2int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<int_work*>(work);
  w->data[w->cnt++] = b;
  if (w->cnt < 4) return 0;
  w->cnt = 0;
  L_CHAR ch;
  memcpy(&ch, w->data, 4);
  if (ch == LC_NO_CHAR) return 0;  // "no character" never enters text
  *ret = ch;
  return 1;
}

int int2i(unsigned char* ret, void*, L_CHAR ch) {
  memcpy(ret, &ch, 4);
  return 4;
}

// ---- EXTUCS-4: four bytes, most significant first, no byte-order mark.

void* open_extucs4() { return d_calloc(1, sizeof(extucs4_work)); }

int close_extucs4(unsigned char*, void* work) {
  d_f_ree(work);
  return 0;
}

int extucs42int(L_CHAR* ret, void* work, unsigned char b) {
  auto* w = static_cast<extucs4_work*>(work);
  w->buf[w->len++] = b;
  if (w->len < 4) return 0;
  w->len = 0;
  L_CHAR ch = w->buf[0] << 24 | w->buf[1] << 16 | w->buf[2] << 8 | w->buf[3];
  if (ch == LC_NO_CHAR) return 0;
  *ret = ch;
  return 1;
}

int int2extucs4(unsigned char* ret, void*, L_CHAR ch) {
  ret[0] = static_cast<unsigned char>(ch >> 24);
  ret[1] = static_cast<unsigned char>(ch >> 16);
  ret[2] = static_cast<unsigned char>(ch >> 8);
  ret[3] = static_cast<unsigned char>(ch);
  return 4;
}

CODE_METHOD ascii_cm_rec = {"ASCII", 0xDFFF0001, kAsciiMain, 2, 0, {0, 0},
                            open_ascii, close_ascii, ascii2int, int2ascii, nullptr};
CODE_METHOD internal_cm_rec = {"Internal", 0xDFFF0000, nullptr, 4, 0, {0, 0},
                               open_internal, close_internal, i2int, int2i, nullptr};
CODE_METHOD extucs4_cm_rec = {"EXTUCS-4", 0xDFFF0018, kUcsMain, 8, 0, {0, 0},
                              open_extucs4, close_extucs4, extucs42int, int2extucs4, nullptr};

}  // namespace tq
