// Point-list code: writing, bounded reading and the compressed form (see pp_code.h).
#include "mxcmd/pp_code.h"

#include <climits>
#include <cstring>

#include "image/zlib_glue.h"
#include "platform/endian.h"
#include "platform/startup.h"

namespace tq {

namespace {

// The flags byte a plot is written with.
uint8_t code_flags(const INTERNAL_PLOT* p) {
  const uint8_t f = p->id ? (p->flags | PLOT_ID) : (p->flags & ~PLOT_ID);
  return f ? f : uint8_t(PLOT_ID);
}

const FIELD_TYPE& writable_row(const IP_FIELD& f) {
  const FIELD_TYPE* row = fd_row(f.type);
  if (!row || !fd_code_type(f.type)) er_panic("internal2code");  // never decoded, so made here
  return *row;
}

int64_t plot_size(const MATRIX* m, const INTERNAL_PLOT* p) {
  const int dim = m->p.dim;
  const uint8_t flags = code_flags(p);
  int64_t n = 2 + 2 * dim + 1;
  if (flags & PLOT_BASE) n += 8 * dim;
  if (flags & PLOT_ID) n += 8;
  for (int i = 0; i < fields_count(p->fields); ++i) n += 1 + writable_row(p->fields[i]).size(&p->fields[i]);
  return n;
}

uint8_t* write_plot(const MATRIX* m, const INTERNAL_PLOT* p, uint8_t* out) {
  const int dim = m->p.dim;
  const uint8_t flags = code_flags(p);
  *out++ = flags;
  *out++ = 0;
  for (int i = 0; i < dim; ++i, out += 2) put_be16(out, p->c[i]);
  if (flags & PLOT_BASE)
    for (int i = 0; i < dim; ++i, out += 8) put_be64(out, uint64_t(p->base ? p->base[i] : 0));
  if (flags & PLOT_ID) put_be64(out, uint64_t(p->id)), out += 8;
  for (int i = 0; i < fields_count(p->fields); ++i) {
    *out++ = uint8_t(p->fields[i].type);
    out = writable_row(p->fields[i]).to_external(&p->fields[i], out);
  }
  *out++ = 0;
  return out;
}

// Room for size code bytes; null when a block datum could not hold them (its size is an
// int): a list rebuilt from small values can grow past that.
uint8_t* code_buffer(int64_t size, int* size_p) {
  *size_p = size > INT_MAX ? 0 : int(size);
  return size > INT_MAX ? nullptr : static_cast<uint8_t*>(d_alloc(size_t(size)));
}

// The reader's position in the code.
struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool has(int64_t n) const { return end - p >= n; }
};

// The fields of one plot from r.p up to its field end: their count, or -1 when a field is
// cut, a type byte is not valid, or the end byte is missing.
int count_fields(Reader r) {
  int n = 0;
  while (r.p < r.end && *r.p != 0) {
    if (!fd_code_type(*r.p) || n == 0xFFFFFF) return -1;
    if (!(r.p = fd_row(*r.p)->to_internal(nullptr, r.p, r.end, nullptr))) return -1;
    ++n;
  }
  return r.p < r.end ? n : -1;
}

// One plot into p (already on the list); false for code that is not a whole plot.
bool read_plot(const MATRIX* m, Reader& r, INTERNAL_PLOT* p, SIMPLE_ALLOC_T* sat) {
  const int dim = m->p.dim;
  if (!r.has(2 + 2 * int64_t(dim))) return false;
  p->flags = r.p[0];
  r.p += 2;
  for (int i = 0; i < dim; ++i, r.p += 2) p->c[i] = get_be16(r.p);
  if (p->flags & PLOT_BASE) {
    if (!r.has(8 * int64_t(dim))) return false;
    int64_t* base = new_plot_base(m, p, sat);
    for (int i = 0; i < dim; ++i, r.p += 8) base[i] = int64_t(get_be64(r.p));
  }
  if (p->flags & PLOT_ID) {
    if (!r.has(8)) return false;
    p->id = int64_t(get_be64(r.p));
    r.p += 8;
  }
  const int n = count_fields(r);
  if (n < 0) return false;
  if (n > 0) {
    p->fields = xx_new_fields(n, sat, __FILE__, __LINE__);
    for (int k = 0; k < n; ++k) {
      p->fields[k].type = *r.p;
      r.p = fd_row(*r.p)->to_internal(&p->fields[k], r.p, r.end, sat);
    }
  }
  ++r.p;  // the field end
  return true;
}

}  // namespace

uint8_t* one_internal2code(int* size_p, const MATRIX* m, const INTERNAL_PLOT* ip) {
  uint8_t* out = code_buffer(plot_size(m, ip), size_p);
  if (out) write_plot(m, ip, out);
  return out;
}

uint8_t* internal2code(int* size_p, const MATRIX* m, const INTERNAL_PLOT* ip) {
  int64_t size = 1;
  for (const INTERNAL_PLOT* p = ip; p && size <= INT_MAX; p = p->next) size += plot_size(m, p);
  uint8_t* out = code_buffer(size, size_p);
  if (!out) return nullptr;
  uint8_t* at = out;
  for (const INTERNAL_PLOT* p = ip; p; p = p->next) at = write_plot(m, p, at);
  *at = 0;
  return out;
}

INTERNAL_PLOT* code2internal(const MATRIX* m, const PRIMITIVE_PLOT* ptr, int ptr_size, SIMPLE_ALLOC_T* sat,
                             int* err) {
  if (sat) free_smp(sat);
  const auto* bytes = reinterpret_cast<const uint8_t*>(ptr);
  Reader r{bytes, bytes + (bytes && ptr_size > 0 ? ptr_size : 0)};
  INTERNAL_PLOT head{};
  INTERNAL_PLOT* tail = &head;
  *err = PP_OK;
  bool whole = true;
  while (whole && r.p < r.end && *r.p != 0) {
    tail = tail->next = xx_new_plot(m, sat, __FILE__, __LINE__);  // on the list, so a failure frees it
    whole = read_plot(m, r, tail, sat);
  }
  if (whole && r.p < r.end) return head.next;  // at the end byte
  free_internal_plot_list(head.next);
  if (sat) free_smp(sat);
  *err = PP_BAD_CODE;
  return nullptr;
}

uint8_t* pp_compress(int* out_size, const uint8_t* code, int size) {
  auto* joined = static_cast<uint8_t*>(d_alloc(size_t(size) + 1));
  joined[0] = kPpCodeLead;
  if (size > 0) memcpy(joined + 1, code, size_t(size));
  uint8_t* r = zlib_compress(out_size, joined, size + 1, kPpZlibLevel);
  d_f_ree(joined);
  if (!r) *out_size = 0;
  return r;
}

uint8_t* pp_uncompress(int* code_size, const void* data, int size) {
  int n = 0;
  auto* r = static_cast<uint8_t*>(zlib_uncompress(&n, data, size));
  if (!r) return nullptr;
  *code_size = n > 0 ? n - 1 : 0;
  return r;
}

bool pp_code_of(bool compressed, const void* bytes, int size, uint8_t** owned, const uint8_t** code,
                int* code_size) {
  *owned = nullptr;
  if (!compressed) {
    *code = static_cast<const uint8_t*>(bytes);
    *code_size = size;
    return true;
  }
  *owned = pp_uncompress(code_size, bytes, size);
  *code = *owned ? *owned + 1 : nullptr;
  return *owned != nullptr;
}

}  // namespace tq
