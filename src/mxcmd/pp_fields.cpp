// The field kinds none, string, integer and colour (all operations but `initial`), the
// kind table, and the operations on field arrays (see pp_fields.h).
#include "mxcmd/pp_fields.h"

#include <cstring>

#include "platform/endian.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

namespace {

// Signed 64-bit arithmetic of stored numbers wraps instead of overflowing.
int64_t wadd(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }
int64_t wsub(int64_t a, int64_t b) { return int64_t(uint64_t(a) - uint64_t(b)); }
int64_t wmul(int64_t a, int64_t b) { return int64_t(uint64_t(a) * uint64_t(b)); }
int64_t wdiv(int64_t a, int64_t b) { return b == -1 ? wsub(0, a) : a / b; }  // b != 0

void* heap_piece(size_t size) { return xx_d_alloc(size, __FILE__, __LINE__); }

void no_value(IP_FIELD* f, unsigned type) {
  f->type = type & 0xFF;
  f->d.p = nullptr;
}

const char* text_of(const IP_FIELD* f) { return f->d.str ? f->d.str : ""; }

// ---- none

void fd_copy_none(IP_FIELD* d1, const IP_FIELD* d2, SIMPLE_ALLOC_T*) { no_value(d1, d2->type); }
int fd_merge_none(IP_FIELD* dest, const IP_FIELD*, const IP_FIELD*) {
  no_value(dest, FD_NONE);
  return PP_OK;
}
int fd_diff_none(IP_FIELD* dest, const IP_FIELD*, const IP_FIELD*) {
  no_value(dest, FD_NONE);
  return PP_OK;
}
int fd_add_none(IP_FIELD* dest, const IP_FIELD*, const IP_FIELD*, SIMPLE_ALLOC_T*) {
  no_value(dest, FD_NONE);
  return PP_OK;
}
const uint8_t* fd_to_internal_none(IP_FIELD* dest, const uint8_t* p, const uint8_t*, SIMPLE_ALLOC_T*) {
  if (dest) dest->d.p = nullptr;
  return p + 1;
}
uint8_t* fd_to_external_none(const IP_FIELD*, uint8_t* p) { return p; }
int fd_size_none(const IP_FIELD*) { return 0; }
int fd_cmp_none(const IP_FIELD*, const IP_FIELD*) { return 0; }

// ---- string

void set_text(IP_FIELD* f, const char* text, SIMPLE_ALLOC_T* sat) {
  f->type = FD_STRING;
  f->d.str = sat_copy_str(text, sat);
}

void fd_copy_str(IP_FIELD* d1, const IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  if (d2->type == FD_STRING)
    set_text(d1, text_of(d2), sat);
  else
    no_value(d1, d2->type);
}

int fd_merge_str(IP_FIELD* dest, const IP_FIELD* a, const IP_FIELD* b) {
  no_value(dest, FD_STRING_ERASE);
  if (a->type == FD_STRING_ERASE) return PP_OK;
  if (a->type != FD_STRING || (b->type != FD_STRING && b->type != FD_STRING_ERASE)) return PP_FIELD_KIND;
  if (b->type == FD_STRING && strcmp(text_of(a), text_of(b)) == 0) set_text(dest, text_of(a), nullptr);
  return PP_OK;
}

bool set_or_erase(unsigned type) { return type == FD_STRING || type == FD_STRING_ERASE; }

int fd_diff_str(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down) {
  no_value(dest, FD_STRING_ERASE);
  if (!set_or_erase(up->type) || !set_or_erase(down->type)) return PP_FIELD_KIND;
  if (down->type == FD_STRING_ERASE) return PP_OK;
  if (up->type == FD_STRING && strcmp(text_of(up), text_of(down)) == 0)
    no_value(dest, FD_STRING_INHERIT);
  else
    set_text(dest, text_of(down), nullptr);
  return PP_OK;
}

int fd_add_str(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  no_value(dest, FD_STRING_ERASE);
  if (!set_or_erase(up->type) || diff->type < FD_STRING || diff->type > FD_STRING_ERASE) return PP_FIELD_KIND;
  if (diff->type == FD_STRING)
    set_text(dest, text_of(diff), sat);
  else if (diff->type == FD_STRING_INHERIT && up->type == FD_STRING)
    set_text(dest, text_of(up), sat);
  return PP_OK;
}

const uint8_t* fd_to_internal_str(IP_FIELD* dest, const uint8_t* p, const uint8_t* end, SIMPLE_ALLOC_T* sat) {
  if (dest) dest->d.p = nullptr;
  if (*p != FD_STRING) return p + 1;
  const auto* nul = static_cast<const uint8_t*>(memchr(p + 1, 0, size_t(end - (p + 1))));
  if (!nul) return nullptr;
  if (dest) dest->d.str = sat_copy_str(reinterpret_cast<const char*>(p + 1), sat);
  return nul + 1;
}

uint8_t* fd_to_external_str(const IP_FIELD* src, uint8_t* p) {
  if (src->type == FD_STRING) {
    const size_t n = strlen(text_of(src)) + 1;
    memcpy(p, text_of(src), n);
    return p + n;
  }
  if (!set_or_erase(src->type) && src->type != FD_STRING_INHERIT) er_panic("fd_to_external_str");
  return p;
}

int fd_size_str(const IP_FIELD* f) {
  if (f->type == FD_STRING) return int(strlen(text_of(f)) + 1);
  if (!set_or_erase(f->type) && f->type != FD_STRING_INHERIT) er_panic("fd_size_str");
  return 0;
}

int fd_cmp_str(const IP_FIELD* a, const IP_FIELD* b) {
  if (a->type != b->type) return a->type > b->type ? 1 : -1;
  if (a->type != FD_STRING) return 0;
  const int c = strcmp(text_of(a), text_of(b));
  return (c > 0) - (c < 0);
}

// ---- integer

bool int_mode(unsigned type) { return type >= FD_INT_ADD && type <= FD_INT_MIN; }
int int_bytes(unsigned type) { return type == FD_INT_AVG ? 16 : 8; }
int64_t value_of(const IP_FIELD* f, int k) { return f->d.i ? f->d.i[k] : 0; }

void set_int(IP_FIELD* f, unsigned type, int64_t v, int64_t c, SIMPLE_ALLOC_T* sat) {
  f->type = type & 0xFF;
  f->d.i = static_cast<int64_t*>(pp_alloc(sat, size_t(int_bytes(type)), __FILE__, __LINE__));
  f->d.i[0] = v;
  if (type == FD_INT_AVG) f->d.i[1] = c;
}

void fd_copy_int(IP_FIELD* d1, const IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  if (!d2->d.i) return no_value(d1, d2->type);
  set_int(d1, d2->type, d2->d.i[0], d2->type == FD_INT_AVG ? d2->d.i[1] : 0, sat);
}

int fd_merge_int(IP_FIELD* dest, const IP_FIELD* a, const IP_FIELD* b) {
  no_value(dest, a->type);
  if (a->type != b->type || !int_mode(a->type)) return PP_FIELD_KIND;
  const int64_t va = value_of(a, 0), vb = value_of(b, 0);
  switch (a->type) {
    case FD_INT_ADD: set_int(dest, a->type, wadd(va, vb), 0, nullptr); break;
    case FD_INT_AVG: {
      const int64_t ca = value_of(a, 1), cb = value_of(b, 1), c = wadd(ca, cb);
      const int64_t sum = wadd(wmul(va, ca), wmul(vb, cb));
      set_int(dest, a->type, wdiv(sum, c != 0 ? c : 2), c, nullptr);
      break;
    }
    case FD_INT_MAX: set_int(dest, a->type, vb > va ? vb : va, 0, nullptr); break;
    default: set_int(dest, a->type, va <= vb ? va : vb, 0, nullptr); break;
  }
  return PP_OK;
}

int fd_diff_int(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down) {
  no_value(dest, down->type);
  if (up->type != down->type || !int_mode(up->type)) return PP_FIELD_KIND;
  if (down->type == FD_INT_AVG)
    set_int(dest, down->type, wsub(value_of(down, 0), value_of(up, 0)), value_of(down, 1), nullptr);
  else
    set_int(dest, down->type, value_of(down, 0), 0, nullptr);
  return PP_OK;
}

int fd_add_int(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  no_value(dest, diff->type);
  if (up->type != diff->type || !int_mode(up->type)) return PP_FIELD_KIND;
  if (diff->type == FD_INT_AVG)
    set_int(dest, diff->type, wadd(value_of(up, 0), value_of(diff, 0)), value_of(diff, 1), sat);
  else
    set_int(dest, diff->type, value_of(diff, 0), 0, sat);
  return PP_OK;
}

const uint8_t* fd_to_internal_int(IP_FIELD* dest, const uint8_t* p, const uint8_t* end, SIMPLE_ALLOC_T* sat) {
  const int n = int_bytes(*p);
  if (end - (p + 1) < n) return nullptr;
  if (dest) set_int(dest, *p, int64_t(get_be64(p + 1)), n == 16 ? int64_t(get_be64(p + 9)) : 0, sat);
  return p + 1 + n;
}

uint8_t* fd_to_external_int(const IP_FIELD* src, uint8_t* p) {
  if (!int_mode(src->type)) er_panic("fd_to_external_int");
  put_be64(p, uint64_t(value_of(src, 0)));
  if (src->type == FD_INT_AVG) put_be64(p + 8, uint64_t(value_of(src, 1)));
  return p + int_bytes(src->type);
}

int fd_size_int(const IP_FIELD* f) {
  if (!int_mode(f->type)) er_panic("fd_size_int");
  return int_bytes(f->type);
}

int fd_cmp_int(const IP_FIELD* a, const IP_FIELD* b) {
  const int64_t va = value_of(a, 0), vb = value_of(b, 0);
  return (va > vb) - (va < vb);
}

// ---- colour

constexpr int kRgbaBytes = 12;  // four colour bytes and the count

void set_rgba(IP_FIELD* f, const FIELD_RGBA_T& v, SIMPLE_ALLOC_T* sat) {
  f->type = FD_RGBA;
  f->d.rgba = static_cast<FIELD_RGBA_T*>(pp_alloc(sat, sizeof(FIELD_RGBA_T), __FILE__, __LINE__));
  *f->d.rgba = v;
}
FIELD_RGBA_T rgba_of(const IP_FIELD* f) { return f->d.rgba ? *f->d.rgba : FIELD_RGBA_T{}; }

void fd_copy_rgba(IP_FIELD* d1, const IP_FIELD* d2, SIMPLE_ALLOC_T* sat) {
  if (!d2->d.rgba) return no_value(d1, d2->type);
  set_rgba(d1, *d2->d.rgba, sat);
}

int fd_merge_rgba(IP_FIELD* dest, const IP_FIELD* a, const IP_FIELD* b) {
  no_value(dest, a->type);
  if (a->type != b->type) return PP_FIELD_KIND;
  const FIELD_RGBA_T ra = rgba_of(a), rb = rgba_of(b);
  FIELD_RGBA_T r{{}, wadd(ra.count, rb.count)};
  for (int i = 0; i < 4; ++i) {
    if (r.count != 0) {
      const uint64_t sum = ra.rgba[i] * uint64_t(ra.count) + rb.rgba[i] * uint64_t(rb.count);
      r.rgba[i] = uint8_t(sum / uint64_t(r.count));
    } else {  // the weights cancel: the plain mean of the low 32 bits of the weights
      r.rgba[i] = uint8_t((ra.rgba[i] * uint64_t(uint32_t(ra.count)) + rb.rgba[i] * uint64_t(uint32_t(rb.count))) >> 1);
    }
  }
  set_rgba(dest, r, nullptr);
  return PP_OK;
}

int fd_diff_rgba(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down) {
  no_value(dest, down->type);
  if (up->type != down->type) return PP_FIELD_KIND;
  set_rgba(dest, rgba_of(down), nullptr);
  return PP_OK;
}

int fd_add_rgba(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  no_value(dest, diff->type);
  if (up->type != diff->type) return PP_FIELD_KIND;
  set_rgba(dest, rgba_of(diff), sat);
  return PP_OK;
}

const uint8_t* fd_to_internal_rgba(IP_FIELD* dest, const uint8_t* p, const uint8_t* end, SIMPLE_ALLOC_T* sat) {
  if (end - (p + 1) < kRgbaBytes) return nullptr;
  if (dest) {
    FIELD_RGBA_T v;
    memcpy(v.rgba, p + 1, 4);
    v.count = int64_t(get_be64(p + 5));
    set_rgba(dest, v, sat);
  }
  return p + 1 + kRgbaBytes;
}

uint8_t* fd_to_external_rgba(const IP_FIELD* src, uint8_t* p) {
  const FIELD_RGBA_T v = rgba_of(src);
  memcpy(p, v.rgba, 4);
  put_be64(p + 4, uint64_t(v.count));
  return p + kRgbaBytes;
}

int fd_size_rgba(const IP_FIELD*) { return kRgbaBytes; }

int fd_cmp_rgba(const IP_FIELD* a, const IP_FIELD* b) {
  const FIELD_RGBA_T ra = rgba_of(a), rb = rgba_of(b);
  const int c = memcmp(ra.rgba, rb.rgba, 4);
  return (c > 0) - (c < 0);
}

// ---- arrays

const FIELD_TYPE& row_of(const IP_FIELD& f, const char* what) {
  const FIELD_TYPE* row = fd_row(f.type);
  if (!row) er_panic(what);  // fields in memory are only of the four kinds
  return *row;
}

void copy_entry(IP_FIELD* to, const IP_FIELD& from, SIMPLE_ALLOC_T* sat) { row_of(from, "copy field").copy(to, &from, sat); }

// Ends a failed combination: the line for fields of two kinds, nothing left allocated.
IP_FIELD* refuse(IP_FIELD* r, int* err, const IP_FIELD* line_a, const IP_FIELD* line_b) {
  if (line_a) ss_printf("MF %x %x\n", unsigned(line_a->type), unsigned(line_b->type));
  free_fields(r);
  *err = PP_FIELD_KIND;
  return nullptr;
}

}  // namespace

const FIELD_TYPE field_type_tbl[FD_KINDS] = {
    {},
    {fd_initial_none, fd_copy_none, fd_merge_none, fd_diff_none, fd_add_none, fd_to_internal_none,
     fd_to_external_none, fd_size_none, fd_cmp_none, nullptr},
    {fd_initial_str, fd_copy_str, fd_merge_str, fd_diff_str, fd_add_str, fd_to_internal_str, fd_to_external_str,
     fd_size_str, fd_cmp_str, fd_gc_str},
    {fd_initial_int, fd_copy_int, fd_merge_int, fd_diff_int, fd_add_int, fd_to_internal_int, fd_to_external_int,
     fd_size_int, fd_cmp_int, nullptr},
    {fd_initial_rgba, fd_copy_rgba, fd_merge_rgba, fd_diff_rgba, fd_add_rgba, fd_to_internal_rgba,
     fd_to_external_rgba, fd_size_rgba, fd_cmp_rgba, nullptr},
};

bool fd_code_type(unsigned type) {
  switch (type) {
    case FD_NONE: case FD_STRING: case FD_STRING_INHERIT: case FD_STRING_ERASE:
    case FD_INT_ADD: case FD_INT_AVG: case FD_INT_MAX: case FD_INT_MIN: case FD_RGBA: return true;
    default: return false;
  }
}

const FIELD_TYPE* fd_row(unsigned type) {
  const int k = fd_kind(type);
  return k >= FD_KIND_NONE && k < FD_KINDS ? &field_type_tbl[k] : nullptr;
}

void* pp_alloc(SIMPLE_ALLOC_T* sat, size_t size, const char* file, int line) {
  return sat ? smp_alloc(sat, int(size)) : xx_d_alloc(size, file, line);
}

char* sat_copy_str(const char* str, SIMPLE_ALLOC_T* sat) {
  if (!str) return nullptr;
  const size_t n = strlen(str) + 1;
  auto* r = static_cast<char*>(sat ? smp_alloc(sat, int(n)) : heap_piece(n));
  memcpy(r, str, n);
  return r;
}

IP_FIELD* xx_new_fields(int n, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  const size_t bytes = sizeof(IP_FIELD) * size_t(n > 0 ? n : 1);
  auto* r = static_cast<IP_FIELD*>(pp_alloc(sat, bytes, file, line));
  memset(r, 0, bytes);
  r[0].len = uint32_t(n) & 0xFFFFFF;
  return r;
}

IP_FIELD* xx_copy_fields(const IP_FIELD* fd, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  if (!fd) return nullptr;
  const int n = fields_count(fd);
  IP_FIELD* r = xx_new_fields(n, sat, file, line);
  for (int i = 0; i < n; ++i) copy_entry(&r[i], fd[i], sat);
  return r;
}

void free_fields(IP_FIELD* fd) {
  if (!fd) return;
  for (int i = 0; i < fields_count(fd); ++i)
    if (fd[i].d.p) d_f_ree(fd[i].d.p);
  d_f_ree(fd);
}

void xx_change_st_fields(IP_FIELD* fd, const char* file, int line) {
  if (!fd) return;
  for (int i = 0; i < fields_count(fd); ++i)
    if (fd[i].d.p) xx_change_statistics(fd[i].d.p, file, line);
  xx_change_statistics(fd, file, line);
}

IP_FIELD* merge_fields(uint8_t* flags, const IP_FIELD* fd1, const IP_FIELD* fd2, int* err) {
  *err = PP_OK;
  if (!fd1 || !fd2) return copy_fields(fd1 ? fd1 : fd2, nullptr);
  const IP_FIELD* lng = fields_count(fd2) > fields_count(fd1) ? fd2 : fd1;
  const IP_FIELD* shrt = lng == fd1 ? fd2 : fd1;
  const int n = fields_count(lng), k = fields_count(shrt);
  IP_FIELD* r = xx_new_fields(n, nullptr, __FILE__, __LINE__);
  for (int i = 0; i < n; ++i) {
    const IP_FIELD& s = shrt[i < k ? i : 0];
    if (i >= k || fd_kind(s.type) == FD_KIND_NONE) {
      copy_entry(&r[i], lng[i], nullptr);
    } else if (fd_kind(lng[i].type) == FD_KIND_NONE) {
      copy_entry(&r[i], s, nullptr);
    } else if (fd_kind(s.type) != fd_kind(lng[i].type)) {
      return refuse(r, err, &s, &lng[i]);
    } else if (row_of(s, "merge field").merge(&r[i], &s, &lng[i]) != PP_OK) {
      return refuse(r, err, nullptr, nullptr);
    }
  }
  r[0].len = uint32_t(n);
  *flags |= 0x08;
  return r;
}

IP_FIELD* diff_fields(const IP_FIELD* down, const IP_FIELD* up, int* err) {
  *err = PP_OK;
  if (!down || !up) return copy_fields(down, nullptr);
  const int n = fields_count(down), k = fields_count(up);
  IP_FIELD* r = xx_new_fields(n, nullptr, __FILE__, __LINE__);
  for (int i = 0; i < n; ++i) {
    if (i >= k || fd_kind(up[i].type) == FD_KIND_NONE || fd_kind(down[i].type) == FD_KIND_NONE) {
      copy_entry(&r[i], down[i], nullptr);
    } else if (fd_kind(up[i].type) != fd_kind(down[i].type)) {
      return refuse(r, err, &up[i], &down[i]);
    } else if (row_of(down[i], "diff field").diff(&r[i], &up[i], &down[i]) != PP_OK) {
      return refuse(r, err, nullptr, nullptr);
    }
  }
  r[0].len = uint32_t(n);
  return r;
}

int64_t ddmmss_int(int64_t d) {
  const bool neg = d < 0;
  const uint64_t a = neg ? 0 - uint64_t(d) : uint64_t(d);
  const uint64_t r = a % 60 + (a / 60) % 60 * 60 + a / 3600 * 3600;
  return neg ? int64_t(0 - r) : int64_t(r);
}

double ddmmss_float(double d) {
  const double a = d < 0 ? -d : d;
  if (!(a < 9.2e18)) return d;  // no integer part to split
  const int64_t whole = int64_t(a);
  const double r = double(ddmmss_int(whole)) + (a - double(whole));
  return d < 0 ? -r : r;
}

}  // namespace tq
