// The children index of a node in its two forms, child numbers and power_of.
#include "matrix/children_index.h"

#include <cstring>
#include <vector>

#include "matrix/channel_data.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_registry.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

// Guarded shifts: a count of 64 or more (32 for the 32-bit form) gives 0, none below 1.
uint64_t shl64(uint64_t v, int64_t s) { return s <= 0 ? v : s >= 64 ? 0 : v << s; }
uint32_t shl32(uint32_t v, int s) { return s >= 32 ? 0 : v << s; }
uint64_t low_bits(int d) { return d >= 64 ? ~uint64_t(0) : (uint64_t(1) << d) - 1; }

bool bit_form(const MATRIX_NODE* n) { return n->matrix->dim_bit_field != 0; }

// The children a node of this matrix has: 2^(sum of the divisors), or -1 when that is not
// a bit-field matrix's count.
int64_t child_count(const MATRIX* m) {
  int sum = 0;
  for (int a = 0; a < m->p.dim; ++a) sum += m->dim_divide[a];
  return sum < 31 ? int64_t(1) << sum : -1;
}

// dim_code at the level below n's.
std::vector<int64_t> child_key(const MATRIX_NODE* n, const int64_t* dim_code) {
  std::vector<int64_t> key(dim_code, dim_code + n->matrix->p.dim + 1);
  key[0] = n->dim_code[0] - 1;
  return key;
}

// Binary search of the list form: the place of key, and whether it is there.
int list_place(const MATRIX_NODE* n, const int64_t* key, bool* found) {
  MATRIX* m = n->matrix;
  int lo = 0, hi = n->nlist_dim_addr_len;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = _cmp_dim_code(m, n->nlist_dim_addr[mid], key);
    if (c == 0) {
      *found = true;
      return mid;
    }
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  *found = false;
  return lo;
}

// The byte and mask of child ix in the bit field; false when ix lies outside it.
bool bit_of(const MATRIX_NODE* n, int ix, int* byte, uint8_t* mask) {
  if (ix < 0 || (ix >> 3) >= n->nlist_dim_bit_field_len || !n->nlist_dim_bit_field) return false;
  *byte = ix >> 3;
  *mask = uint8_t(1u << (ix & 7));
  return true;
}

}  // namespace

int _get_dim_code_index(const MATRIX_NODE* n, const int64_t* dim_code) {
  const MATRIX* m = n->matrix;
  const int32_t level = mx_dc_level(n->dim_code);
  uint32_t ix = 0;
  for (int a = 0; a < m->p.dim; ++a) {
    const int d = m->dim_divide[a];
    const int64_t s = int64_t(d) * (int64_t(level) - 1) + m->block_size[a];
    ix = shl32(ix, d) | (uint32_t(uint64_t(mx_sar(dim_code[a + 1], s))) & uint32_t(low_bits(d)));
  }
  return int(ix);
}

int64_t* get_dim_code_from_index(const MATRIX* m, const int64_t* dc, int ix) {
  const int32_t level = mx_dc_level(dc);
  auto* out = static_cast<int64_t*>(d_calloc(size_t(m->p.dim) + 1, sizeof(int64_t)));
  out[0] = dc[0] - 1;
  int64_t rest = ix;
  for (int a = m->p.dim - 1; a >= 0; --a) {
    const int d = m->dim_divide[a];
    const int64_t s = int64_t(d) * (int64_t(level) - 1) + m->block_size[a];
    const uint64_t origin = uint64_t(mx_node_origin(m, a, level, dc[a + 1]));
    out[a + 1] = int64_t(origin | shl64(uint64_t(rest) & low_bits(d), s));
    rest = mx_sar(rest, d);
  }
  return out;
}

int _check_children(const MATRIX_NODE* n) {
  if (mx_dc_level(n->dim_code) == 0) return 0;
  if (!bit_form(n)) return n->nlist_dim_addr_len > 0;
  for (int i = 0; n->nlist_dim_bit_field && i < n->nlist_dim_bit_field_len; ++i)
    if (n->nlist_dim_bit_field[i]) return 1;
  return 0;
}

int _check_dim_code(const MATRIX_NODE* n, const int64_t* dim_code) {
  if (mx_dc_level(n->dim_code) == 0) return 0;
  if (bit_form(n)) {
    int byte;
    uint8_t mask;
    return bit_of(n, _get_dim_code_index(n, dim_code), &byte, &mask) && (n->nlist_dim_bit_field[byte] & mask);
  }
  bool found;
  list_place(n, child_key(n, dim_code).data(), &found);
  return found;
}

void _insert_dim_code_index(MATRIX_NODE* n, const int64_t* dim_code, int dirty) {
  if (mx_dc_level(n->dim_code) == 0) return;
  if (bit_form(n)) {
    int byte;
    uint8_t mask;
    if (!bit_of(n, _get_dim_code_index(n, dim_code), &byte, &mask) || (n->nlist_dim_bit_field[byte] & mask)) return;
    n->nlist_dim_bit_field[byte] |= mask;
  } else {
    const std::vector<int64_t> key = child_key(n, dim_code);
    bool found;
    const int at = list_place(n, key.data(), &found);
    if (found) return;
    const int len = n->nlist_dim_addr_len;
    n->nlist_dim_addr = static_cast<int64_t**>(d_re_alloc(n->nlist_dim_addr, sizeof(int64_t*) * size_t(len + 1)));
    std::memmove(n->nlist_dim_addr + at + 1, n->nlist_dim_addr + at, sizeof(int64_t*) * size_t(len - at));
    n->nlist_dim_addr[at] = _copy_dim_code(n->matrix, key.data());
    n->nlist_dim_addr_len = len + 1;
  }
  if (dirty) _set_dirty_file(n);
}

void _allset_dim_code_index(MATRIX_NODE* n, int dirty) {
  if (!bit_form(n) || !n->nlist_dim_bit_field) return;
  int64_t count = child_count(n->matrix);
  const int64_t room = int64_t(n->nlist_dim_bit_field_len) * 8;
  if (count < 0 || count > room) count = room;
  for (int64_t ix = 0; ix < count; ++ix) n->nlist_dim_bit_field[ix >> 3] |= uint8_t(1u << (ix & 7));
  if (dirty) _set_dirty_file(n);
}

void _vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst) {
  if (!bit_form(n) || !n->nlist_dim_bit_field) return;
  const int len = n->matrix->dim_bit_field < n->nlist_dim_bit_field_len ? n->matrix->dim_bit_field
                                                                        : n->nlist_dim_bit_field_len;
  for (int i = 0; i < len; ++i) n->nlist_dim_bit_field[i] |= lst[i];
}

int power_of(int64_t a, int64_t n) {
  if (a == 0) return -1;
  if (n < 2) return a == 1 ? 0 : -1;
  uint64_t u = uint64_t(a);
  while (u % uint64_t(n) == 0) u /= uint64_t(n);
  return u == 1 ? 0 : -1;
}

// ---- Public forms under matrix_lock.

int check_children(const MATRIX_NODE* n) {
  LOCK_SCOPE(matrix_lock);
  return _check_children(n);
}
void insert_dim_code_index(MATRIX_NODE* n, const int64_t* dim_code, int dirty) {
  LOCK_SCOPE(matrix_lock);
  _insert_dim_code_index(n, dim_code, dirty);
}
void allset_dim_code_index(MATRIX_NODE* n, int dirty) {
  LOCK_SCOPE(matrix_lock);
  _allset_dim_code_index(n, dirty);
}
void vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst) {
  LOCK_SCOPE(matrix_lock);
  _vecset_dim_code_index(n, lst);
}

}  // namespace tq
