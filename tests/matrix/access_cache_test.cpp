// The access cache: hits and misses, runs across block ends (also where node vectors carry
// one extra element), refused coordinates and indexes, valid flags, runs over nodes a read
// cannot have, and the full release returning every pool block.
#include <gtest/gtest.h>

#include "matrix/cache_fixture.h"
#include "matrix/matrix_open.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"

namespace {

using namespace mxtest;
using namespace tq;
using Values = std::vector<double>;

constexpr double kUnset = -7;  // a sentinel in caller buffers

// One axis of 64 samples in blocks of 8, channel 0 double_v and channel 1 int32_v.
MATRIX* open_runs(StoreShape* shape, const char* name, int flags = 0) {
  return open_ready(shape, name, {{64, 1, 3}}, {&mx_type_double_v, &mx_type_int32_v}, flags);
}

// Channel 0 of the node at dc as stored.
Values stored(MATRIX* m, std::vector<int64_t> dc) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, find_node(m, dc)->channel[0].data);
  return Values(reinterpret_cast<double*>(dh.offset), reinterpret_cast<double*>(dh.offset) + dh.total_element);
}

// A run request of both channels from x over the buffers d (first, first + 1, ... or unset)
// and i.
struct RunReq {
  Values d;
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
  StoreShape shape;
  MATRIX* m = open_runs(&shape, "runs");
  {
    TestCache tc(m, {0, 1});
    double v = kUnset;
    for (int64_t x : {1, 6, 9}) {
      Request read(tc, {0, x}, &v, {false, true});
      EXPECT_EQ(read_mx_cache(&read.p), 0);
    }
    EXPECT_EQ(tc.c.hit_cnt, 1) << "two reads in one block: a miss and a hit";
    EXPECT_EQ(tc.c.miss_hit_cnt, 2);

    RunReq run(tc, 5, 10, 100), back(tc, 5, 10);
    EXPECT_EQ(write_mx_cache_vector(&run.r.p), 10);
    EXPECT_EQ(stored(m, {0, 0}), (Values{0, 0, 0, 0, 0, 100, 101, 102})) << "3 points";
    EXPECT_EQ(stored(m, {0, 8}), (Values{103, 104, 105, 106, 107, 108, 109, 0})) << "then 7";
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
    EXPECT_EQ(stored(m, {0, 16}), (Values{1, 0, 3, 0, 0, 0, 0, 0})) << "only the valid points";
    double w = 55;
    Request point(tc, {0, 33}, &w, {false, true});
    EXPECT_EQ(write_mx_cache(&point.p), 0);

    int ofs = 8;  // index 9 of a block of 8
    Request outside(tc, {0, 1}, &v, {false, true});
    outside.p.ofs = &ofs;
    v = kUnset;
    EXPECT_EQ(read_mx_cache(&outside.p), -1);
    EXPECT_EQ(write_mx_cache(&outside.p), -1);
    outside.p.flags = MXC_NO_BOUNDARY_CHECK;
    EXPECT_EQ(read_mx_cache(&outside.p), 0) << "unchecked: nothing read past the datum";
    EXPECT_EQ(v, kUnset);
  }
  {
    TestCache look(m, {0, 1}, -1, -1);  // nodes that exist only: (0 0), (0 8), (0 16), (0 32)
    TestCache made(m, {0}, 0, -1);      // the request that makes a missing node, then a look
    struct Case {
      TestCache* tc;
      int64_t x;
      int len;
      Values d;
    } cases[] = {
        {&look, 12, 8, {107, 108, 109, 0, 1, 0, 3, 0}},
        {&look, 20, 16, {0, 0, 0, 0, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, 0, 55, 0, 0}},
        {&look, 26, 8, {kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, 0, 55}},  // from inside the missing (0 24)
        {&made, 58, 4, {0, 0, 0, 0}},  // (0 56) made from the default by its one channel
    };
    for (const Case& c : cases) {
      RunReq r(*c.tc, c.x, c.len);
      EXPECT_EQ(read_mx_cache_vector(&r.r.p), c.len);
      EXPECT_EQ(r.d, c.d) << "the run from " << c.x << " (a node the cache cannot have is passed over)";
    }
  }
  {
    TestCache first(m, {0}), look(m, {0, 1}, -1), second(m, {1});
    double v = 1;
    int32_t i = 9;
    Request put0(first, {0, 41}, &v), put1(second, {0, 41}, &i), get(look, {0, 41}, &v);
    get.ix[1] = {1, 0};
    get.p.data_ptrs[1] = &i;
    ASSERT_EQ(write_mx_cache(&put0.p), 0);
    flush_mx_cache(&first.c, 0);
    EXPECT_EQ(read_mx_cache(&get.p), -1) << "no datum of channel 1 yet";
    TestCache only1(m, {1}, -1);
    RunReq run(only1, 40, 8);
    run.r.ix[0] = {0, 1};  // channel 1 into the int32 buffer
    EXPECT_EQ(read_mx_cache_vector(&run.r.p), 8) << "a run passes over a node without the channel";
    EXPECT_EQ(run.i, std::vector<int32_t>(8, -1));
    ASSERT_EQ(write_mx_cache(&put1.p), 0);
    flush_mx_cache(&second.c, 0);
    v = kUnset, i = -1;
    EXPECT_EQ(read_mx_cache(&get.p), 0);
    EXPECT_EQ(v * 100 + i, 109) << "channel 1 read in full after a load that failed before it";
  }
  close_matrix(m);
}

TEST(AccessCache, RunsOverVectorsOneLargerAndTheFullRelease) {
  StoreShape shape;
  MATRIX* m = open_runs(&shape, "plus one", MXP_VECTOR_PLUS_ONE);
  ASSERT_EQ(pool_bytes(), 0);
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
    EXPECT_GT(pool_bytes(), 0) << "blocks wait on the pool's free lists";
    flush_mx_cache(&tc.c, 0);
    EXPECT_EQ(tc.c.n, nullptr);
    EXPECT_EQ(find_node(m, {0, 16})->locked, 0);
  }
  EXPECT_EQ(pool_bytes(), 0) << "the full flush gave every block back";
  const char a[] = "abc", b[] = "abd";
  EXPECT_EQ(printed([&] { check_memcpy(a, a, 3), check_memcpy(a, b, 3); }), "EQU\nNOT EQUAL\n");
  close_matrix(m);
}

}  // namespace
