// Encoding a node into its network byte string, and installing such a string into a node
// after parsing it whole.
#include "matrix/node_encode.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "matrix/access_token.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_code.h"
#include "matrix/node_cache.h"
#include "mxtype/datum.h"
#include "mxtype/net_form.h"
#include "platform/d_alloc.h"
#include "store/record_list.h"

namespace tq {

namespace {

constexpr uint8_t kKindList = 0, kKindBits = 1;

void append_code(RECORD_LIST64* rl, int64_t v) {
  auto* buf = static_cast<uint8_t*>(d_alloc(kMxCodeMax));
  set_recordlist_chain64(rl, buf, get_compressed_code64(buf, v) - buf, 1);
}

bool carried(const MATRIX_CHANNEL_INFO& ci) {
  return ci.data_type && (ci.flags & MXC_NETWORK) && ci.data_type->convert_to_net && ci.data_type->convert_to_host;
}

// What a parse of an encoding found, owned until it is installed or dropped.
struct Decoded {
  const MATRIX* m = nullptr;
  bool bits = false;
  const uint8_t* bit_field = nullptr;  // inside the string
  std::vector<int64_t*> codes;
  std::vector<std::pair<int, void*>> datums;  // channel, new datum; later records win

  ~Decoded() {
    for (int64_t* c : codes) d_f_ree(c);
    for (auto& [ch, d] : datums) {
      MDT tp = m->channel_info[ch].data_type;
      if (tp->free_data) tp->free_data(tp, d);
    }
  }
};

// One variable-length number at *p, moving *p past it.
bool read_code(const uint8_t** p, const uint8_t* end, int64_t* v) {
  const uint8_t* next = get_uncompressed_code64_b(v, *p, end);
  if (!next) return false;
  *p = next;
  return true;
}

bool parse_children(Decoded* d, const uint8_t** p, const uint8_t* end) {
  const MATRIX* m = d->m;
  if (*p >= end) return false;
  const uint8_t kind = *(*p)++;
  d->bits = m->dim_bit_field != 0;
  if (kind != (d->bits ? kKindBits : kKindList)) return false;
  int64_t n;
  if (!read_code(p, end, &n) || n < 0) return false;
  if (d->bits) {
    if (n != m->dim_bit_field || n > end - *p) return false;
    d->bit_field = *p;
    *p += n;
    return true;
  }
  const int dim = m->p.dim;
  if (n > (end - *p) / (2 * (dim + 1) + 1)) return false;  // every code takes that at least
  for (int64_t i = 0; i < n; ++i) {
    auto* dc = static_cast<int64_t*>(d_calloc(size_t(dim) + 1, sizeof(int64_t)));
    d->codes.push_back(dc);
    int got = 0;
    const uint8_t* next = get_uncompressed_dim_code_b(dc, dim, &got, *p, end);
    if (!next || got != dim + 1) return false;
    *p = next;
  }
  return true;
}

bool parse_records(Decoded* d, const uint8_t* p, const uint8_t* end) {
  const MATRIX* m = d->m;
  while (p < end) {
    int64_t ch, len;
    if (!read_code(&p, end, &ch) || !read_code(&p, end, &len) || len < 0 || len > end - p || len > INT_MAX)
      return false;
    const uint8_t* payload = p;
    p += len;
    if (ch < 0 || ch >= m->p.channel_nos) continue;
    MDT tp = m->channel_info[ch].data_type;
    if (!tp || !tp->convert_to_host) return false;
    void* datum = tp->convert_to_host(tp, const_cast<uint8_t*>(payload), int(len), MX_ALLOC_DEBUG, nullptr, __FILE__,
                                      __LINE__);
    if (!datum) return false;
    d->datums.emplace_back(int(ch), datum);
  }
  return true;
}

void install_children(MATRIX_NODE* n, Decoded* d) {
  if (d->bits) {
    const int len = n->matrix->dim_bit_field;
    if (n->nlist_dim_bit_field) d_f_ree(n->nlist_dim_bit_field);
    n->nlist_dim_bit_field = static_cast<uint8_t*>(d_alloc(size_t(len)));
    std::memcpy(n->nlist_dim_bit_field, d->bit_field, size_t(len));
    n->nlist_dim_bit_field_len = len;
  }
  MATRIX* m = n->matrix;
  std::sort(d->codes.begin(), d->codes.end(),
            [m](const int64_t* a, const int64_t* b) { return _cmp_dim_code(m, a, b) < 0; });
  // A child listed twice (a peer may send that) is kept once; each dropped copy is freed
  // here, once (std::unique would leave copies of kept pointers in the tail).
  size_t kept = 0;
  for (int64_t* c : d->codes) {
    if (kept && _cmp_dim_code(m, d->codes[kept - 1], c) == 0)
      d_f_ree(c);
    else
      d->codes[kept++] = c;
  }
  d->codes.resize(kept);
  _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
  n->nlist_dim_addr = nullptr;
  n->nlist_dim_addr_len = int(d->codes.size());
  if (!d->codes.empty()) {
    n->nlist_dim_addr = static_cast<int64_t**>(d_alloc(sizeof(int64_t*) * d->codes.size()));
    std::copy(d->codes.begin(), d->codes.end(), n->nlist_dim_addr);
  }
  d->codes.clear();
}

void install_datums(MATRIX_NODE* n, Decoded* d) {
  const MATRIX* m = n->matrix;
  if (!n->channel && !d->datums.empty())
    n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(size_t(m->p.channel_nos), sizeof(MATRIX_CHANNEL)));
  for (auto& [ch, datum] : d->datums) {
    MDT tp = m->channel_info[ch].data_type;
    void*& slot = n->channel[ch].data;
    if (slot && tp->free_data) tp->free_data(tp, slot);
    slot = datum;
  }
  d->datums.clear();
}

}  // namespace

TQ_SEXP* encode_matrix_node(MATRIX_NODE* n) {
  const MATRIX* m = n->matrix;
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  auto* kind = static_cast<uint8_t*>(d_alloc(1));
  *kind = m->dim_bit_field ? kKindBits : kKindList;
  set_recordlist_chain64(rl, kind, 1, 1);
  if (m->dim_bit_field) {
    append_code(rl, n->nlist_dim_bit_field_len);
    if (n->nlist_dim_bit_field_len > 0) set_recordlist_chain64(rl, n->nlist_dim_bit_field, n->nlist_dim_bit_field_len, 0);
  } else {
    append_code(rl, n->nlist_dim_addr_len);
    for (int i = 0; i < n->nlist_dim_addr_len; ++i) {
      auto* buf = static_cast<uint8_t*>(d_alloc(size_t(mx_dim_code_bytes(m->p.dim))));
      set_recordlist_chain64(rl, buf, get_compressed_dim_code(buf, n->nlist_dim_addr[i], m->p.dim) - buf, 1);
    }
  }
  for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch) {
    const MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
    void* datum = n->channel[ch].data;
    if (!carried(ci) || !datum) continue;
    append_code(rl, ch);
    CHAIN_LIST64* before = rl->chain_tail;
    ci.data_type->convert_to_net(ci.data_type, rl, datum);
    set_recordlist_code(rl, before);
  }
  const int64_t size = setup_recordlist64(rl);
  TQ_SEXP* cell = get_raw(rl->data, size);
  free_recordlist64(rl);
  return cell;
}

int decode_matrix_node(MATRIX_NODE* n, TQ_SEXP* s) {
  if (get_type(s) != kTagRaw) return -1;
  const auto* p = static_cast<const uint8_t*>(s->raw.data);
  const uint8_t* end = p + (s->raw.size > 0 ? s->raw.size : 0);
  LOCK_SCOPE(matrix_lock);
  _lock_node(n, nullptr);
  _matrix_node_channel_lock(n);
  int r = -1;
  {
    Decoded d;
    d.m = n->matrix;
    if (parse_children(&d, &p, end) && parse_records(&d, p, end)) {
      install_children(n, &d);
      install_datums(n, &d);
      r = 0;
    }
  }
  _matrix_node_channel_unlock(n, 0);
  _unlock_node(n, nullptr);
  return r;
}

}  // namespace tq
