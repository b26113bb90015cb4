// Plots: records, plot order and sorting, positions, copies and release (see pp_plot.h).
#include "mxcmd/pp_plot.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "matrix/dim_code.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

namespace {

unsigned coord_mask(const MATRIX* m, int i) { return pp_bs(m, i) >= 16 ? 0xFFFFu : (1u << pp_bs(m, i)) - 1; }

// Merges two sorted lists: a's head is taken only when it is strictly lower.
INTERNAL_PLOT* merge_runs(const MATRIX* m, INTERNAL_PLOT* a, INTERNAL_PLOT* b) {
  INTERNAL_PLOT head{};
  INTERNAL_PLOT* tail = &head;
  while (a && b) {
    INTERNAL_PLOT** from = cmp_plot(m, a->c, b->c) < 0 ? &a : &b;
    tail = tail->next = *from;
    *from = (*from)->next;
  }
  tail->next = a ? a : b;
  return head.next;
}

}  // namespace

INTERNAL_PLOT* xx_new_plot(const MATRIX* m, SIMPLE_ALLOC_T* sat, const char* file, int line) {
  auto* p = static_cast<INTERNAL_PLOT*>(pp_alloc(sat, sizeof(INTERNAL_PLOT), file, line));
  memset(p, 0, sizeof *p);
  p->in_arena = sat != nullptr;
  const size_t bytes = sizeof(uint16_t) * size_t(m->p.dim > 0 ? m->p.dim : 1);
  p->c = static_cast<uint16_t*>(pp_alloc(sat, bytes, file, line));
  memset(p->c, 0, bytes);
  return p;
}

int64_t* new_plot_base(const MATRIX* m, INTERNAL_PLOT* p, SIMPLE_ALLOC_T* sat) {
  const size_t bytes = sizeof(int64_t) * size_t(m->p.dim > 0 ? m->p.dim : 1);
  p->base = static_cast<int64_t*>(pp_alloc(sat, bytes, __FILE__, __LINE__));
  memset(p->base, 0, bytes);
  p->flags |= PLOT_BASE;
  return p->base;
}

// The highest differing bit decides; among axes whose highest differing bit is the same,
// the lowest axis. Bits at or above an axis's block size do not count.
int cmp_plot(const MATRIX* m, const uint16_t* c1, const uint16_t* c2) {
  int bit = -1, axis = 0;
  for (int i = 0; i < m->p.dim; ++i) {
    const unsigned x = (c1[i] ^ c2[i]) & coord_mask(m, i);
    if (!x) continue;
    const int high = 31 - __builtin_clz(x);
    if (high > bit) bit = high, axis = i;
  }
  if (bit < 0) return 0;
  return (c1[axis] >> bit) & 1 ? 1 : -1;
}

namespace {

// The interleaved key of a plot: the bits of its coordinates from the highest down, axis 0
// first within a bit, as cmp_plot compares them.
uint64_t plot_key(const MATRIX* m, const uint16_t* c, int high) {
  uint64_t k = 0;
  for (int b = high; b >= 0; --b)
    for (int i = 0; i < m->p.dim; ++i)
      if (pp_bs(m, i) > b) k = (k << 1) | ((c[i] >> b) & 1u);
  return k;
}

// Deals the plots alternately onto two lists (each built at its front), sorts both and
// merges them. The recursion halves the list, so its depth is the logarithm of the length.
INTERNAL_PLOT* merge_sort(const MATRIX* m, INTERNAL_PLOT* list) {
  if (!list || !list->next) return list;
  INTERNAL_PLOT* half[2] = {nullptr, nullptr};
  int k = 0;
  for (INTERNAL_PLOT* p = list; p; k ^= 1) {
    INTERNAL_PLOT* next = p->next;
    p->next = half[k];
    half[k] = p;
    p = next;
  }
  return merge_runs(m, merge_sort(m, half[0]), merge_sort(m, half[1]));
}

}  // namespace

// When the interleaved key fits in 64 bits the plots are sorted by their keys in an array
// (the list's records are touched once, not at every comparison); else by merging lists.
INTERNAL_PLOT* sort_plot(const MATRIX* m, INTERNAL_PLOT* list) {
  if (!list || !list->next) return list;
  int bits = 0, high = 0;
  for (int i = 0; i < m->p.dim; ++i) {
    const int bs = int(pp_bs(m, i) < 16 ? pp_bs(m, i) : 16);
    bits += bs;
    high = bs > high ? bs : high;
  }
  if (bits > 64) return merge_sort(m, list);
  std::vector<std::pair<uint64_t, INTERNAL_PLOT*>> keyed;
  for (INTERNAL_PLOT* p = list; p; p = p->next) keyed.emplace_back(plot_key(m, p->c, high - 1), p);
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i + 1 < keyed.size(); ++i) keyed[i].second->next = keyed[i + 1].second;
  keyed.back().second->next = nullptr;
  return keyed[0].second;
}

INTERNAL_PLOT* make_plot(const MATRIX* m, int64_t level, const int64_t* crd, const IP_FIELD* fd) {
  INTERNAL_PLOT* p = xx_new_plot(m, nullptr, __FILE__, __LINE__);
  p->flags = PLOT_MADE;
  const int dim = m->p.dim;
  for (int i = 0; i < dim; ++i)
    p->c[i] = uint16_t(uint64_t(mx_sar(crd[1 + i], pp_dd(m, i) * level)) & pp_low_mask(pp_bs(m, i)));
  if (crd[0] < level) {
    for (int i = 0; i < dim; ++i) {
      const uint64_t finer = mx_span_mask(pp_dd(m, i) * crd[0]) & ~mx_span_mask(pp_dd(m, i) * level);
      if (!(uint64_t(crd[1 + i]) & finer)) continue;
      int64_t* base = new_plot_base(m, p, nullptr);
      for (int j = 0; j < dim; ++j) base[j] = int64_t(uint64_t(crd[1 + j]) & pp_low_mask(pp_dd(m, j) * level));
      break;
    }
  }
  p->fields = copy_fields(fd, nullptr);
  return p;
}

void get_plot_crd(int64_t* crd, const MATRIX* m, const INTERNAL_PLOT* ip, int64_t level) {
  crd[0] = level;
  for (int i = 0; i < m->p.dim; ++i)
    crd[1 + i] = int64_t(uint64_t(pp_shl(ip->c[i], pp_dd(m, i) * level)) + uint64_t(ip->base ? ip->base[i] : 0));
}

INTERNAL_PLOT* xx_copy_one_plot(const MATRIX* m, const INTERNAL_PLOT* p, SIMPLE_ALLOC_T* sat, const char* file,
                                int line) {
  INTERNAL_PLOT* r = xx_new_plot(m, sat, file, line);
  uint16_t* c = r->c;
  const uint8_t in_arena = r->in_arena;
  *r = *p;
  r->next = r->prev = nullptr;
  r->in_arena = in_arena;
  r->c = c;
  memcpy(c, p->c, sizeof(uint16_t) * size_t(m->p.dim));
  r->base = nullptr;
  if (p->base) memcpy(new_plot_base(m, r, sat), p->base, sizeof(int64_t) * size_t(m->p.dim));
  r->fields = xx_copy_fields(p->fields, sat, file, line);
  return r;
}

INTERNAL_PLOT* xx_copy_internal_plot(const MATRIX* m, const INTERNAL_PLOT* ip, const char* file, int line,
                                     SIMPLE_ALLOC_T* sat) {
  INTERNAL_PLOT head{};
  INTERNAL_PLOT* tail = &head;
  for (; ip; ip = ip->next) tail = tail->next = xx_copy_one_plot(m, ip, sat, file, line);
  return head.next;
}

void free_internal_plot(INTERNAL_PLOT* ip) {
  if (!ip || ip->in_arena) return;
  free_fields(ip->fields);
  if (ip->base) d_f_ree(ip->base);
  d_f_ree(ip->c);
  d_f_ree(ip);
}

void free_internal_plot_list(INTERNAL_PLOT* ip) {
  while (ip) {
    INTERNAL_PLOT* next = ip->next;
    free_internal_plot(ip);
    ip = next;
  }
}

void xx_change_st_internal_plot(INTERNAL_PLOT* ip, const char* file, int line) {
  for (; ip; ip = ip->next) {
    if (ip->in_arena) continue;
    xx_change_st_fields(ip->fields, file, line);
    if (ip->base) xx_change_statistics(ip->base, file, line);
    xx_change_statistics(ip->c, file, line);
    xx_change_statistics(ip, file, line);
  }
}

int get_internal_plot_len(const INTERNAL_PLOT* ip) {
  int n = 0;
  for (; ip; ip = ip->next) ++n;
  return n;
}

void check_internal_plot(const MATRIX* m, const INTERNAL_PLOT* ip, const char* msg) {
  for (; ip; ip = ip->next) {
    if (!ip->fields) continue;
    for (int i = 0; i < fields_count(ip->fields); ++i) {
      if (fd_code_type(ip->fields[i].type)) continue;
      ss_printf("%s %x\n", msg, unsigned(ip->fields[i].type));
      er_panic("check_internal_plot");
    }
    if (ip->next && cmp_plot(m, ip->c, ip->next->c) > 0) {
      ss_printf("%s\n", msg);
      er_panic("check_internal_plot");
    }
  }
}

void print_internal_plot(const MATRIX* m, const INTERNAL_PLOT* ip, const char* msg) {
  ss_printf("%s ", msg);
  for (; ip; ip = ip->next) {
    ss_printf("(%x : ", unsigned(ip->flags));
    for (int i = 0; i < m->p.dim; ++i) ss_printf("%x ", unsigned(ip->c[i]));
    ss_printf(" : ");
    for (int i = 0; ip->base && i < m->p.dim; ++i) ss_printf("%x ", unsigned(uint64_t(ip->base[i]) >> 32));
    ss_printf(")");
  }
  ss_printf("\n");
}

}  // namespace tq
