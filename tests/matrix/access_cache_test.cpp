// The access cache: hits and misses, runs across block ends (also on a matrix whose node
// vectors carry one extra element), refused coordinates and indexes, runs over nodes a read
// cannot have, valid flags, and the full release returning every pool block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "matrix/cache_fixture.h"
#include "matrix/matrix_open.h"
#include "matrix/test_store.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"

namespace {

using namespace mxtest;
using namespace tq;
using Code = std::vector<int64_t>;

constexpr double kUnset = -7;  // a sentinel in caller buffers

// A matrix of one axis of 64 samples in blocks of 8 (7 levels), channel 0 double_v and
// channel 1 int32_v, every node ready with zeros.
MATRIX* open_runs(StoreSpec* spec, const char* name, int flags = 0) {
  return open_ready(spec, name, {{64, 1, 3}}, {&mx_type_double_v, &mx_type_int32_v}, flags);
}

// Channel 0 of the node at dc, element by element (empty when there is no such node).
std::vector<double> stored(MATRIX* m, Code dc) {
  MATRIX_NODE* n = find_node(m, dc);
  if (!n || !n->channel[0].data) return {};
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, n->channel[0].data);
  const auto* v = reinterpret_cast<const double*>(dh.offset);
  return std::vector<double>(v, v + dh.total_element);
}

// A run request of both channels over the buffers d and i.
struct RunReq {
  std::vector<double> d;
  std::vector<int32_t> i;
  void* bufs[2];
  Request r;
  RunReq(TestCache& tc, int64_t x, int len, double first = kUnset)
      : d(size_t(len), kUnset), i(size_t(len), -1), bufs{d.data(), i.data()}, r(tc, {0, x}, bufs) {
    for (int j = 0; first != kUnset && j < len; ++j) d[size_t(j)] = first + j, i[size_t(j)] = int32_t(first) + j;
    r.p.vector_len = len;
  }
};

int64_t pool_bytes() {
  int64_t sum = 0;
  for (MEM_LIST* e = get_mem_debug_list(nullptr); e; e = get_mem_debug_list(e))
    if (std::string(e->file).find("matrix/access_cache.h") != std::string::npos) sum += e->size;
  return sum;
}

TEST(AccessCache, PointsRunsAndTheirRefusals) {
  StoreSpec spec;
  MATRIX* m = open_runs(&spec, "runs");
  {
    TestCache tc(m, {0, 1});
    double v[2] = {kUnset, kUnset};
    Request a(tc, {0, 1}, v), b(tc, {0, 6}, v), other(tc, {0, 9}, v);
    EXPECT_EQ(read_mx_cache(&a.p), 0);
    EXPECT_EQ(read_mx_cache(&b.p), 0);
    EXPECT_EQ(tc.c.miss_hit_cnt, 1);
    EXPECT_EQ(tc.c.hit_cnt, 1) << "two reads in one block";
    EXPECT_EQ(read_mx_cache(&other.p), 0);
    EXPECT_EQ(tc.c.miss_hit_cnt, 2);

    RunReq run(tc, 5, 10, 100);
    EXPECT_EQ(write_mx_cache_vector(&run.r.p), 10);
    EXPECT_EQ(stored(m, {0, 0}), (std::vector<double>{0, 0, 0, 0, 0, 100, 101, 102})) << "3 points";
    EXPECT_EQ(stored(m, {0, 8}), (std::vector<double>{103, 104, 105, 106, 107, 108, 109, 0})) << "then 7";
    RunReq back(tc, 5, 10);
    EXPECT_EQ(read_mx_cache_vector(&back.r.p), 10);
    EXPECT_EQ(back.d, run.d);
    EXPECT_EQ(back.i, run.i);

    for (int64_t x : {-3, 64, 100}) {
      RunReq bad(tc, x, 4, 50);
      const int64_t misses = tc.c.miss_hit_cnt;
      EXPECT_EQ(write_mx_cache_vector(&bad.r.p), -1) << x;
      EXPECT_EQ(read_mx_cache_vector(&bad.r.p), -1) << x;
      EXPECT_EQ(bad.d[0], 50) << "nothing copied";
      EXPECT_EQ(tc.c.miss_hit_cnt, misses) << "no node asked for";
    }

    RunReq some(tc, 16, 4, 1);
    uint8_t valid[4] = {1, 0, 1, 0};
    some.r.p.vector_valid = valid;
    EXPECT_EQ(write_mx_cache_vector(&some.r.p), 4);
    EXPECT_EQ(stored(m, {0, 16}), (std::vector<double>{1, 0, 3, 0, 0, 0, 0, 0})) << "only the valid points";
    double w[1] = {55};
    Request point(tc, {0, 33}, w, {false, true});  // channel 1 not taking part
    EXPECT_EQ(write_mx_cache(&point.p), 0);

    int ofs = 8;  // index 9 of a block of 8
    double out[2] = {kUnset, kUnset};
    Request outside(tc, {0, 1}, out);
    outside.p.ofs = &ofs;
    EXPECT_EQ(read_mx_cache(&outside.p), -1);
    EXPECT_EQ(write_mx_cache(&outside.p), -1);
    outside.p.flags = MXC_NO_BOUNDARY_CHECK;
    EXPECT_EQ(read_mx_cache(&outside.p), 0) << "unchecked: nothing read past the datum";
    EXPECT_EQ(out[0], kUnset);
  }
  {
    TestCache look(m, {0, 1}, -1, -1);  // only nodes that exist: (0 0), (0 8), (0 16), (0 32)
    RunReq across(look, 20, 20);
    EXPECT_EQ(read_mx_cache_vector(&across.r.p), 20);
    std::vector<double> want(20, kUnset);  // (0 24) is passed over
    for (int j : {0, 1, 2, 3, 12, 14, 15, 16, 17, 18, 19}) want[size_t(j)] = 0;
    want[13] = 55;
    EXPECT_EQ(across.d, want);
    RunReq mid(look, 12, 8);  // (0 8) exists
    EXPECT_EQ(read_mx_cache_vector(&mid.r.p), 8);
    EXPECT_EQ(mid.d, (std::vector<double>{107, 108, 109, 0, 1, 0, 3, 0}));
    RunReq gap(look, 26, 8);  // from inside the missing node (0 24) on to (0 32)
    EXPECT_EQ(read_mx_cache_vector(&gap.r.p), 8);
    EXPECT_EQ(gap.d, (std::vector<double>{kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, 0, 55}));
  }
  close_matrix(m);
}

TEST(AccessCache, RunsOverVectorsOneLarger) {
  StoreSpec spec;
  MATRIX* m = open_runs(&spec, "plus one", MXP_VECTOR_PLUS_ONE);
  {
    TestCache tc(m, {0, 1});
    RunReq run(tc, 5, 20, 100);
    EXPECT_EQ(write_mx_cache_vector(&run.r.p), 20);
    EXPECT_EQ(stored(m, {0, 8}).size(), 9u);
    for (int64_t x = 5; x < 25; ++x) {
      double v = kUnset;
      Request one(tc, {0, x}, &v, {false, true});
      ASSERT_EQ(read_mx_cache(&one.p), 0);
      EXPECT_EQ(v, double(95 + x)) << "point " << x << " stays where the run put it";
    }
  }
  close_matrix(m);
}

TEST(AccessCache, FullReleaseReturnsEveryPoolBlock) {
  StoreSpec spec;
  MATRIX* m = open_runs(&spec, "release");
  ASSERT_EQ(pool_bytes(), 0);
  {
    TestCache tc(m, {0, 1});
    RunReq run(tc, 0, 30, 1);
    EXPECT_EQ(write_mx_cache_vector(&run.r.p), 30);
    EXPECT_GT(pool_bytes(), 0) << "the blocks wait on the pool's free lists";
    flush_mx_cache(&tc.c, 0);
    EXPECT_EQ(tc.c.n, nullptr);
    EXPECT_GT(pool_bytes(), 0);
    EXPECT_EQ(find_node(m, {0, 8})->locked, 0);
  }
  EXPECT_EQ(pool_bytes(), 0) << "the full flush gave every block back";
  const char a[] = "abc", b[] = "abd";
  EXPECT_EQ(printed([&] {
              check_memcpy(a, a, 3);
              check_memcpy(a, b, 3);
            }),
            "EQU\nNOT EQUAL\n");
  close_matrix(m);
}

}  // namespace
