// The network form of datums: in-place swaps between host and big-endian order, record-list
// pieces, and the bounded reading of vectors and scalars that come from files or peers.
#include "mxtype/net_form.h"

#include <climits>
#include <cstring>

#include "matrix/matrix_registry.h"
#include "matrix/mx_code.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "store/record_list.h"

namespace tq {

namespace {

// n elements of U at d swapped in one loop the compiler can vectorise.
template <class U>
void swap_run(uint8_t* d, int64_t n) {
  if (!endian_flag) return;
  for (int64_t i = 0; i < n; ++i) {
    U v;
    memcpy(&v, d + i * int64_t(sizeof(U)), sizeof v);
    if constexpr (sizeof(U) == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof(U) == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof(U) == 8) v = __builtin_bswap64(v);
    memcpy(d + i * int64_t(sizeof(U)), &v, sizeof v);
  }
}

template <class U>
void swap_in_place(void* d) {
  swap_run<U>(static_cast<uint8_t*>(d), 1);
}

uint8_t* bytes(void* d) { return static_cast<uint8_t*>(d); }

// The sizes, then dim, to network order; dim is read while still in host order.
void header_to_net(void* v) {
  const int dim = static_cast<MATRIX_DATA_HEADER*>(v)->dim;
  for (int i = 0; i < dim; ++i) swap_in_place<uint32_t>(bytes(v) + kMxHeaderSize + 4 * i);
  swap_in_place<uint16_t>(bytes(v) + 2);
}

void header_to_host(void* v) {
  swap_in_place<uint16_t>(bytes(v) + 2);
  const int dim = static_cast<MATRIX_DATA_HEADER*>(v)->dim;
  for (int i = 0; i < dim; ++i) swap_in_place<uint32_t>(bytes(v) + kMxHeaderSize + 4 * i);
}

// Every element of a decoded vector through its scalar type's swap.
void swap_elements(void* v, bool to_net) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  if (!dh.tp || !dh.tp->parent) return;
  MDT el = dh.tp->parent;
  void (*swap)(void*) = to_net ? el->endian_to_net : el->endian_to_host;
  if (!swap || swap == mxt_endian_nothing) return;
  // The integer swaps (every numeric type's) in one typed loop, not a call per element.
  if (swap == mxt_endian_int16) return swap_run<uint16_t>(dh.offset, dh.total_element);
  if (swap == mxt_endian_int32) return swap_run<uint32_t>(dh.offset, dh.total_element);
  if (swap == mxt_endian_int64) return swap_run<uint64_t>(dh.offset, dh.total_element);
  const int size = el->get_size(el, nullptr);
  for (int64_t i = 0; i < dh.total_element; ++i) swap(dh.offset + i * size);
}

// A string's size (bytes and its 0) when the 0 lies within n bytes; -1 otherwise.
int64_t bounded_string_size(const void* d, int64_t n) {
  const void* end = n > 0 ? memchr(d, 0, size_t(n)) : nullptr;
  return end ? static_cast<const uint8_t*>(end) - static_cast<const uint8_t*>(d) + 1 : -1;
}

}  // namespace

void mxt_endian_nothing(void*) {}
void mxt_endian_int16(void* d) { swap_in_place<uint16_t>(d); }
void mxt_endian_int32(void* d) { swap_in_place<uint32_t>(d); }
void mxt_endian_int64(void* d) { swap_in_place<uint64_t>(d); }

void mxt_endian_vector_to_net(void* v) {
  swap_elements(v, true);
  header_to_net(v);
}

void mxt_endian_vector_to_host(void* v) {
  header_to_host(v);
  swap_elements(v, false);
}

void mxt_endian_bitv_to_net(void* v) { header_to_net(v); }
void mxt_endian_bitv_to_host(void* v) { header_to_host(v); }

void mxt_convert_basic_to_net(MDT tp, RECORD_LIST64* rlp, void* d) {
  const int size = tp->get_size(tp, d);
  void* copy = d_alloc(size_t(size));
  memcpy(copy, d, size_t(size));
  tp->endian_to_net(copy);
  set_recordlist_chain64(rlp, copy, size, 1);
}

int get_size_endian(const void* ptr, int64_t size) {
  const auto* p = static_cast<const uint8_t*>(ptr);
  if (!p || size < kMxHeaderSize) return -1;
  MDT tp = get_matrix_data_type(p[1]);
  if (!tp || !(tp->type & MXT_VECTOR) || !tp->parent || tp->type == MXT_STRING_V) return -1;
  const int dim = int16_t(get_be16(p + 2));
  if (dim < 0 || kMxHeaderSize + int64_t(kMxHeaderSize) * dim > size) return -1;
  const bool bits = tp->type == MXT_BIT_V;
  const int el = bits ? 1 : tp->parent->get_size(tp->parent, nullptr);
  const int offset = mxt_vector_offset(dim, el, !bits);
  if (offset < 0 || p[0] != offset) return -1;
  int64_t count = 1;
  for (int i = 0; i < dim; ++i) {
    const int32_t n = int32_t(get_be32(p + kMxHeaderSize + 4 * i));
    if (n < 0 || __builtin_mul_overflow(count, int64_t(n), &count) || count > INT_MAX) return -1;
  }
  const int64_t total = offset + (bits ? (count + 7) / 8 : count * el);
  return total <= size && total <= INT_MAX ? int(total) : -1;
}

void* mxt_convert_basic_to_host(MDT tp, void* d, int _size, int atype, void* at_work, const char* __f, int __l) {
  if (!d || _size < 0) return nullptr;
  int64_t size;
  if (tp->type & MXT_VECTOR) {
    size = get_size_endian(d, _size);
    if (size >= 0 && bytes(d)[1] != tp->type) size = -1;
  } else if (tp->type == MXT_STRING) {
    size = bounded_string_size(d, _size);
  } else {
    size = tp->get_size(tp, nullptr);
    if (size > _size) size = -1;
  }
  if (size < 0) return nullptr;
  void* h = xx_atype_alloc(size, atype, at_work, __f, __l);
  if (!h) return nullptr;
  memcpy(h, d, size_t(size));
  tp->endian_to_host(h);
  return h;
}

void set_recordlist_code(RECORD_LIST64* rl, CHAIN_LIST64* ptr) {
  int64_t total = 0;
  for (CHAIN_LIST64* c = ptr ? ptr->next : rl->chain_head; c; c = c->next) total += c->len;
  auto* code = static_cast<uint8_t*>(d_alloc(17));
  const int64_t len = get_compressed_code64(code, total) - code;
  set_recordlist_chain64_middle(rl, ptr, code, len, 1);
}

}  // namespace tq
