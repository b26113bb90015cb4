// The string and string-vector element types: UTF-8 strings, vectors of owned string
// references, their copies by allocation kind, thinning, network form and printing.
#include "mxtype/string_type.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "matrix/matrix.h"
#include "mxtype/datum.h"
#include "mxtype/level_walk.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/startup.h"
#include "store/record_list.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kRef = sizeof(char*);  // one element of the memory form
const char kEmpty[1] = {0};

const char* text_of(const void* d) { return d ? static_cast<const char*>(d) : ""; }

char* element(const uint8_t* at) {
  char* s;
  memcpy(&s, at, sizeof s);
  return s;
}
void set_element(uint8_t* at, char* s) { memcpy(at, &s, sizeof s); }

// A copy of s (with its 0) of kind atype.
char* copy_string(const char* s, int atype, void* at_work) {
  const int64_t n = int64_t(strlen(s)) + 1;
  const bool gc = (atype & MX_ALLOC_KIND_MASK) == MX_ALLOC_GC;
  auto* c = static_cast<char*>(xx_atype_alloc(n, atype, gc ? nullptr : at_work, __FILE__, __LINE__));
  if (c) memcpy(c, s, size_t(n));
  return c;
}

// The default string of a new vector, by kind; kind 4 has no copy (the element stays null).
char* default_copy(const char* s, int kind) {
  switch (kind) {
    case MX_ALLOC_GC: return static_cast<char*>(copy_mstr(s));
    case MX_ALLOC_DEBUG: return copy_str(s);
    case MX_ALLOC_MALLOC: return strdup(s);
    default: return nullptr;
  }
}

int header_bytes(const MATRIX_DH_SET& dh) { return kMxHeaderSize + kMxHeaderSize * dh.hd->dim; }

// Holds the memory lock while the elements of a collected vector are written, so that no
// collection reads a reference half written.
class FillGuard {
 public:
  explicit FillGuard(int atype) : held_((atype & MX_ALLOC_KIND_MASK) == MX_ALLOC_GC) {
    if (held_) lock_mem();
  }
  ~FillGuard() {
    if (held_) unlock_mem();
  }
  FillGuard(const FillGuard&) = delete;
  FillGuard& operator=(const FillGuard&) = delete;

 private:
  bool held_;
};

}  // namespace

// ---- string.

int mxt_string_get_size(MDT, void* d) { return d ? int(strlen(static_cast<char*>(d))) + 1 : 0; }

void* mxt_string_sexp2md(int* cpy, MDT, TQ_SEXP* s) {
  if (get_type(s) != kTagString) return nullptr;
  char* d = ln_copy_str(utf8_cm, s->string.data);
  if (cpy) *cpy = 1;
  return d;
}

TQ_SEXP* mxt_string_md2sexp(MDT, void* d) { return get_string(_l_string_1(utf8_cm, text_of(d))); }

int mxt_string_cmp(MDT, void* d1, void* d2) { return strcmp(text_of(d1), text_of(d2)); }

void mxt_print_string(MDT, MATRIX_STRING_BUFFER* b, void* d, const char*) { out_matrix_string_buffer(b, text_of(d)); }

// ---- string_v.

int mxt_stringv_get_size(MDT, void* d) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  return int(dh.hd->offset + dh.total_element * kRef);
}

int mxt_stringv_cmp(MDT, void* d1, void* d2) {
  MATRIX_DH_SET h1, h2;
  get_matrix_dh_set(&h1, d1);
  get_matrix_dh_set(&h2, d2);
  if (const int c = cmp_dh_set(&h1, &h2)) return c;
  for (int64_t i = 0; i < h1.total_element; ++i)
    if (const int c = strcmp(text_of(element(h1.offset + i * kRef)), text_of(element(h2.offset + i * kRef))))
      return c;
  return 0;
}

void mxt_stringv_copy(MDT, void* d1, void* d2, int atype, void* at_work) {
  MATRIX_DH_SET from;
  get_matrix_dh_set(&from, d2);
  FillGuard guard(atype);
  memcpy(d1, d2, size_t(from.hd->offset));
  auto* to = static_cast<uint8_t*>(d1) + from.hd->offset;
  for (int64_t i = 0; i < from.total_element; ++i) {
    const char* s = element(from.offset + i * kRef);
    set_element(to + i * kRef, s ? copy_string(s, atype, at_work) : nullptr);
  }
}

void* mxt_alloc_stringv_copy(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l) {
  if (!d) return nullptr;
  // Collected strings are kept only by a collected vector that marks them; the other kinds'
  // strings sit in a debug-heap vector.
  const int64_t size = tp->get_size(tp, d);
  FillGuard guard(atype);  // a collected vector is read by the collector only once whole
  void* v = (atype & MX_ALLOC_KIND_MASK) == MX_ALLOC_GC
                ? xx_atype_alloc(size, atype, reinterpret_cast<void*>(gc_mx_stringv_data), __f, __l)
                : xx_d_alloc(size_t(size), __f, __l);
  mxt_stringv_copy(tp, v, d, atype, at_work);
  return v;
}

void* mxt_alloc_stringv_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l) {
  auto* prm = static_cast<MATRIX_ALLOC_VECTOR_PARAM*>(d);
  const int kind = atype & MX_ALLOC_KIND_MASK;
  if (kind < MX_ALLOC_MALLOC || kind > MX_ALLOC_POOL) er_panic("mxt_alloc_vector");
  const int offset = mxt_vector_offset(prm->dim, kRef, false);
  if (offset < 0) return nullptr;
  const int64_t count = mxt_checked_count(prm->ix_size, prm->dim, (INT_MAX - offset) / kRef);
  if (count < 0) return nullptr;
  const int64_t size = offset + count * kRef;
  void* work = mxt_kind_work(atype, w, prm->mxc, gc_mx_stringv_data);
  FillGuard guard(atype);  // a collected vector is read by the collector only once whole
  auto* v = static_cast<uint8_t*>(xx_atype_alloc(size, atype, work, __f, __l));
  if (!v) return nullptr;
  mxt_set_vector_head(v, offset, tp, prm);
  const char* def = static_cast<const char*>(prm->default_data);
  for (int64_t i = 0; i < count; ++i) set_element(v + offset + i * kRef, def ? default_copy(def, kind) : nullptr);
  return v;
}

void gc_mx_stringv_data(void* d) {
  if (!d) return;
  const bool first = !(gc_block_of(d)->mark & kMarkLive);
  gc_text(d);
  if (!first) return;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  for (int64_t i = 0; i < dh.total_element; ++i) gc_text(element(dh.offset + i * kRef));
}

void mxt_free_stringv_data(MDT, void* d) {
  if (!d) return;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  for (int64_t i = 0; i < dh.total_element; ++i)
    if (char* s = element(dh.offset + i * kRef)) d_f_ree(s);
  d_f_ree(d);
}

int mxt_string_thined_rep(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src) {
  MATRIX_DH_SET d, s;
  get_matrix_dh_set(&d, dest);
  get_matrix_dh_set(&s, src);
  if (d.hd->dim != m->p.dim || s.hd->dim != m->p.dim || d.hd->type != tp->type || s.hd->type != tp->type) return -1;
  MxLevelGeom g;
  if (!mx_level_geom(&g, m, dim_code, parent)) return -1;
  // A collected destination marks its elements as collected strings: give it such copies.
  const bool collected = !d_is_live(dest) && mem_is_block(dest);
  FillGuard guard(collected ? MX_ALLOC_GC : MX_ALLOC_DEBUG);
  mx_walk_rep(g, rep, d, s, kRef, [collected](uint8_t* to, const uint8_t* from) {
    const char* str = element(from);
    set_element(to, !str ? nullptr : collected ? static_cast<char*>(copy_mstr(str)) : copy_str(str));
  });
  return 0;
}

void mxt_convert_stringv_to_net(MDT tp, RECORD_LIST64* rlp, void* d) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  const int n = header_bytes(dh);
  auto* head = static_cast<uint8_t*>(d_alloc(size_t(n)));
  put_be32(head, uint32_t(tp->type) << 16 | uint16_t(dh.hd->dim));
  for (int i = 0; i < dh.hd->dim; ++i) put_be32(head + kMxHeaderSize + 4 * i, uint32_t(dh.ix[i]));
  set_recordlist_chain64(rlp, head, n, 1);
  for (int64_t i = 0; i < dh.total_element; ++i) {
    char* s = element(dh.offset + i * kRef);
    set_recordlist_chain64(rlp, s ? s : const_cast<char*>(kEmpty), s ? int64_t(strlen(s)) + 1 : 1, 0);
  }
}

void* mxt_convert_stringv_to_host(MDT tp, void* d, int _size, int atype, void* at_work, const char* __f, int __l) {
  const auto* p = static_cast<const uint8_t*>(d);
  if (!p || _size < kMxHeaderSize || p[0] != 0 || p[1] != tp->type) return nullptr;
  const int dim = int16_t(get_be16(p + 2));
  const int offset = mxt_vector_offset(dim, kRef, false);
  if (offset < 0 || offset > _size) return nullptr;
  int sizes[kMxMaxAxes];
  int64_t count = 1;
  for (int i = 0; i < dim; ++i) {
    sizes[i] = int32_t(get_be32(p + kMxHeaderSize + 4 * i));
    if (sizes[i] < 0 || __builtin_mul_overflow(count, int64_t(sizes[i]), &count) || count > INT_MAX) return nullptr;
  }
  if (count > _size - offset) return nullptr;  // every element takes a byte at least
  // Every string must end inside the bytes before anything is made.
  const uint8_t* at = p + offset;
  const uint8_t* end = p + _size;
  for (int64_t i = 0; i < count; ++i) {
    const void* zero = at < end ? memchr(at, 0, size_t(end - at)) : nullptr;
    if (!zero) return nullptr;
    at = static_cast<const uint8_t*>(zero) + 1;
  }
  MATRIX_ALLOC_VECTOR_PARAM prm{dim, sizes, nullptr, nullptr};
  auto* v = static_cast<uint8_t*>(tp->alloc_data(tp, atype, &prm, at_work, __f, __l));
  if (!v) return nullptr;
  at = p + offset;
  FillGuard guard(atype);
  for (int64_t i = 0; i < count; ++i) {
    const char* s = reinterpret_cast<const char*>(at);
    at += strlen(s) + 1;
    if (*s) set_element(v + offset + i * kRef, copy_string(s, atype, at_work));
  }
  return v;
}

void mxt_print_string_vector(MDT, MATRIX_STRING_BUFFER* b, void* d, const char*) {
  auto element_text = [](MATRIX_STRING_BUFFER* b, void* e, void*) {
    out_matrix_string_buffer(b, text_of(element(static_cast<uint8_t*>(e))));
  };
  mxt_print_vector_frame(b, d, true, element_text, kRef, nullptr);
}

}  // namespace tq
