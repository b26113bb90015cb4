// Dimension codes: normalising to a node origin, comparing, copying, and a diagnostic text.
#include "matrix/dim_code.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "text/l_string.h"

namespace tq {

void normalize_dim_code(MATRIX* m, int64_t* dim) {
  const int32_t level = mx_dc_level(dim);
  for (int a = 0; a < m->p.dim; ++a) dim[a + 1] = mx_node_origin(m, a, level, dim[a + 1]);
}

int _cmp_dim_code(MATRIX* m, const int64_t* dc1, const int64_t* dc2) {
  if (!dc1 || !dc2) return dc1 ? 1 : dc2 ? -1 : 0;
  if (dc1[0] != dc2[0]) return dc1[0] < dc2[0] ? -1 : 1;
  const int32_t level = mx_dc_level(dc1);
  for (int a = 0; a < m->p.dim; ++a) {
    const int64_t x1 = mx_node_origin(m, a, level, dc1[a + 1]);
    const int64_t x2 = mx_node_origin(m, a, level, dc2[a + 1]);
    if (x1 != x2) return x1 < x2 ? -1 : 1;
  }
  return 0;
}

int cmp_dim_code(MATRIX* m, const int64_t* dc1, const int64_t* dc2) { return _cmp_dim_code(m, dc1, dc2); }

int64_t* _copy_dim_code(MATRIX* m, const int64_t* dim_code) {
  if (!dim_code) return nullptr;
  const int n = m->p.dim + 1;
  auto* copy = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * size_t(n)));
  for (int i = 0; i < n; ++i) copy[i] = dim_code[i];
  return copy;
}

int64_t* copy_dim_code(MATRIX* m, const int64_t* dim_code) { return _copy_dim_code(m, dim_code); }

char* pt_dc(MATRIX* m, const int64_t* dc, int fmt) {
  if (fmt != 1 && fmt != 2) er_panic("pt_dc");
  const size_t cap = size_t(m->p.dim) * 30 + 40;
  char* buf = static_cast<char*>(d_alloc(cap));
  const int32_t level = mx_dc_level(dc);
  size_t len = 0;
  // snprintf answers what it wanted to write; the text stays cut at the buffer's end.
  auto add = [&](int n) { len = std::min(len + size_t(n), cap - 1); };
  add(snprintf(buf, cap, "+max %i+[%" PRId64 " ", m->total_levels, dc[0]));
  for (int a = 0; a < m->p.dim; ++a) {
    const int64_t shift = fmt == 1 ? mx_span_shift(m, a, level) : mx_level_shift(m, a, level);
    const uint64_t x = uint64_t(dc[a + 1]) & mx_span_mask(shift);
    add(snprintf(buf + len, cap - len, "%" PRIx64 " ", x));
  }
  snprintf(buf + len, cap - len, "]");
  set_buffer(buf);
  return buf;
}

}  // namespace tq
