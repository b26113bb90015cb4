// Access caches and requests for the tests, and fields written into every level of a
// matrix through them.
#pragma once
#include <functional>
#include <vector>

#include "matrix/access_cache.h"
#include "matrix/ix_tuple.h"
#include "matrix/matrix.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"
#include "platform/tick.h"

namespace mxtest {

// Marks the node ring as trimmed just now, so that no trim prints its line into output a
// test compares (a trim is due 120 s after the last one).
inline void hold_off_purge() {
  LOCK_SCOPE(tq::matrix_lock);
  tq::last_delete = tq::tick_now();
}

// Opens a matrix of these axes whose channel k is of types[k] (default 0), every node ready
// as soon as it is asked for.
inline tq::MATRIX* open_ready(StoreShape* shape, const char* name, std::vector<Axis> axes, std::vector<tq::MDT> types,
                              int flags = 0) {
  static const double zero = 0;  // also a float 0 in its first bytes
  shape->axes = std::move(axes);
  shape->flags = flags;
  for (tq::MDT tp : types) shape->channels.push_back({tp, 0, const_cast<double*>(&zero), 0});
  shape->scripts = {{{0, 1, 2, 3, 4, 5}, "(finish 2 2)"}};
  return open_store_matrix(shape, name);
}

// A cache over channels of m (plain lookups), released in full when it goes.
struct TestCache {
  tq::MX_CACHE c{};
  std::vector<int> ch;
  TestCache(tq::MATRIX* m, std::vector<int> channels, int gn_create = 0, int gn_wait = 0) : ch(std::move(channels)) {
    c.m = m;
    c.access_ch = ch.data();
    c.ds_len = int(ch.size());
    c.gn_create = gn_create;
    c.gn_wait = gn_wait;
    tq::mxc_setup(&c);
  }
  ~TestCache() { tq::flush_mx_cache(&c, 1); }
  TestCache(const TestCache&) = delete;
  TestCache& operator=(const TestCache&) = delete;
};

// A request through tc: channel k goes to area 0 at position k (kMxcSkip where `skip` says).
struct Request {
  tq::MX_CACHE_PARAM p{};
  std::vector<tq::MX_CACHE_PARAM_IX> ix;
  std::vector<int64_t> dc;
  explicit Request(TestCache& tc, std::vector<int64_t> code = {}, void* area = nullptr, std::vector<bool> skip = {})
      : dc(std::move(code)) {
    for (int k = 0; k < tc.c.ds_len; ++k)
      ix.push_back({0, uint16_t(k < int(skip.size()) && skip[size_t(k)] ? tq::kMxcSkip : k)});
    p.c = &tc.c;
    p.data_ix = ix.data();
    p.dc = dc.empty() ? nullptr : dc.data();
    p.data_ptrs[0] = area;
  }
};

// The value of channel k at level-0 coordinates x.
using Field = std::function<double(int k, const std::vector<double>& x)>;

// Writes f into every element of every node of every level of m (the extra element of a
// matrix whose node vectors are one larger too; writes outside a datum fail) through tc,
// whose channels hold doubles (or floats).
inline void fill_levels(TestCache& tc, const Field& f, bool floats = false) {
  tq::MATRIX* m = tc.c.m;
  const size_t dim = size_t(m->p.dim);
  std::vector<double> vals(size_t(tc.c.ds_len)), x(dim);
  std::vector<float> fvals(vals.size());
  std::vector<int> e(dim), one(dim, 1), room(dim);
  for (size_t a = 0; a < dim; ++a) room[a] = (1 << m->block_size[a]) + 1;
  for (int level = 0; level < m->total_levels; ++level) {
    std::vector<int64_t> code(dim + 1, 0), step(code), size(code);
    code[0] = level;
    for (size_t a = 0; a < dim; ++a) {
      step[a + 1] = int64_t(1) << (m->block_size[a] + m->dim_divide[a] * level);
      size[a + 1] = m->pixel_size[a];
    }
    do {
      do {
        for (size_t a = 0; a < dim; ++a) x[a] = double(code[a + 1] + (int64_t(e[a]) << (m->dim_divide[a] * level)));
        for (size_t k = 0; k < vals.size(); ++k) fvals[k] = float(vals[k] = f(int(k), x));
        Request r(tc, code, floats ? static_cast<void*>(fvals.data()) : vals.data());
        r.p.ofs = e.data();
        tq::write_mx_cache(&r.p);
      } while (tq::inc_ix(e.data(), nullptr, one.data(), room.data(), int(dim)) == 0);
    } while (tq::inc_dim_code_ix(code.data(), nullptr, step.data(), size.data(), int(dim)) == 0);
  }
}

}  // namespace mxtest
