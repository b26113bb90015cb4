// The node cache: the lookup by status and access, matrix modes, bucket numbers (against
// node_hash_model.py), and the ring's purge on a held tick clock.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "matrix/access_token.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"
#include "support/tick_clock.h"

namespace {

using namespace mxtest;
using namespace tq;

Axis wide() { return {int64_t(1) << 20, 1, 8}; }  // 13 levels, nodes of 256 at level 0

TEST(NodeLookup, ByStatusAndAccess) {
  StoreShape shape;
  shape.axes = {wide()};
  MATRIX* m = open_store_matrix(&shape, "lookup");
  struct Row {
    int status, access, code;
    bool node;
    int next;
    const char* queued;
  } rows[] = {
      {0, -1, MX_PENDING, true, 0, ""},   {0, 0, MX_PENDING, true, 0, ""},   {0, 3, MX_PENDING, true, 0, ""},
      {1, -1, MX_PENDING, true, 1, ""},   {1, 0, MX_PENDING, true, 1, ""},   {1, 3, MX_PENDING, true, 1, ""},
      {2, -1, 0, true, 2, ""},            {2, 0, 0, true, 2, ""},            {2, 3, 0, true, 2, ""},
      {3, -1, MX_NO_NODE, false, 3, ""},  {3, 0, MX_NO_NODE, true, 1, "5 "}, {3, 3, MX_NO_NODE, false, 3, ""},
      {4, -1, MX_NO_NODE, false, 4, ""},  {4, 0, MX_NO_NODE, true, 1, "17 "}, {4, 3, MX_NO_NODE, false, 4, ""},
      {5, -1, MX_EDIT_FAILED, false, 5, ""}, {5, 0, 0, true, 5, ""},       {5, 3, 0, true, 5, ""},
      {6, -1, MX_EDIT_FAILED, false, 6, ""}, {6, 0, 0, true, 6, ""},       {6, 3, 0, true, 6, ""},
  };
  int64_t x = 0;
  for (const Row& r : rows) {
    x += 256;
    int code;
    MATRIX_NODE* made = lookup(&code, m, {0, x}, 0);
    ASSERT_EQ(code, MX_PENDING) << "a missing node is made";
    ASSERT_TRUE(drained());
    LOCK_SCOPE(matrix_lock);  // the worker waits: the queued load is seen before it runs
    made->status = r.status;
    code = 0;
    MATRIX_NODE* got = _get_matrix_node(&code, m, made->dim_code, r.access, 0, nullptr, 0);
    const std::string what = "status " + std::to_string(r.status) + " access " + std::to_string(r.access);
    EXPECT_EQ(code, r.code) << what;
    EXPECT_EQ(got, r.node ? made : nullptr) << what;
    EXPECT_EQ(made->status, r.next) << what;
    EXPECT_EQ(ids(made->process_token), r.queued) << what;
  }
  ASSERT_TRUE(drained());
  int code;
  EXPECT_EQ(lookup(&code, m, {0, 1 << 30}, -1), nullptr);
  EXPECT_EQ(code, MX_NO_NODE) << "looking only creates nothing";
  EXPECT_EQ(find_node(m, {0, 1 << 30}), nullptr);

  for (int mode : {int(MX_MODE_OPENING), int(MX_MODE_UNUSABLE), int(MX_MODE_CLOSING), -int(MXF_DAMAGED)}) {
    {
      LOCK_SCOPE(matrix_lock);
      m->flags = 0;
      if (mode < 0) m->flags = MXF_DAMAGED; else m->mode = mode;
    }
    EXPECT_EQ(lookup(&code, m, {0, 256}, 0), nullptr);
    EXPECT_EQ(code, MX_NOT_OPEN) << mode;
    EXPECT_EQ(m->flags & MXF_ASKED_WHILE_OPENING, mode == MX_MODE_OPENING ? MXF_ASKED_WHILE_OPENING : 0);
    LOCK_SCOPE(matrix_lock);
    m->mode = MX_MODE_OPEN;
  }
  m->flags = 0;
  close_matrix(m);
}

TEST(NodeHash, BucketsAgreeWithTheModel) {
  TestMatrix m({{1000, 1, 8}, {2000, 1, 8}});
  const int64_t a[] = {1, 1000, 2000}, b[] = {0, -1, 5};
  EXPECT_EQ(_get_node_hash(m.get(), a), 34u);
  EXPECT_EQ(_get_node_hash(m.get(), b), 163u);

  std::ifstream golden(std::string(TQ_SOURCE_DIR) + "/tests/matrix/data/node_hash_golden.txt");
  std::string divide, block;
  uint64_t seed, count, digest;
  int geometries = 0;
  while (golden >> divide >> block >> seed >> count >> digest) {
    std::vector<Axis> axes;
    std::istringstream ds(divide), bs(block);
    for (std::string d, b2; std::getline(ds, d, ',') && std::getline(bs, b2, ',');)
      axes.push_back({1 << 20, std::stoi(d), std::stoi(b2)});
    TestMatrix g(axes);
    auto next = [&seed] {  // splitmix64, as the model draws
      uint64_t z = (seed += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      return z ^ (z >> 31);
    };
    uint64_t h = 0xCBF29CE484222325ull;
    std::vector<int64_t> dc(axes.size() + 1);
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t r = next();
      dc[0] = r % 8 == 0 ? int64_t(r) : int64_t((r >> 8) % 40) - 4;
      for (size_t k = 1; k < dc.size(); ++k) dc[k] = int64_t(next());
      h = (h ^ _get_node_hash(g.get(), dc.data())) * 0x100000001B3ull;
    }
    EXPECT_EQ(h, digest) << divide << " " << block;
    ++geometries;
  }
  EXPECT_EQ(geometries, 4);
}

// ---- The purge.

struct Purge {
  StoreShape shape;
  MATRIX* m;
  std::vector<MATRIX_NODE*> ring;  // newest first
  Purge() {
    shape.axes = {wide()};
    shape.scripts = {{{3, 4, 5}, "(finish 2 2)"}, {{21, 22, 23}, "(save)"}};
    m = open_store_matrix(&shape, "purge");
    LOCK_SCOPE(matrix_lock);
    total_ncache_size = kMinNodeCacheSize;  // the clock is held: the access tick leaves it
  }
  // Adds ready nodes quietly (no purge falls due) until the ring holds n.
  void grow(int n) {
    for (int64_t x = int64_t(nd_cnt) * 256; nd_cnt < n; x += 256) {
      last_delete = tick_now();
      int code;
      lookup(&code, m, {0, x}, 0);
    }
    ASSERT_TRUE(drained());
    LOCK_SCOPE(matrix_lock);
    ring.clear();
    for (MATRIX_NODE* p = nd_root->h.next; p != nd_root; p = p->h.next) ring.push_back(p);
  }
  // Moves the newest node to the front again after the last purge was `ago` s ago; what
  // that prints.
  std::string touch(int ago) {
    last_delete = tick_now() - uint32_t(ago);
    return printed([&] {
      int code;
      lookup(&code, m, std::vector<int64_t>(ring[0]->dim_code, ring[0]->dim_code + 2), -1);
    });
  }
};

TEST(NodePurge, RunsByRingSizeAndTime) {
  tqtest::TickClock clock;
  ASSERT_EQ(nd_cnt, 0) << "another test left nodes cached";
  Purge p;
  p.grow(150);
  EXPECT_EQ(p.touch(120), "") << "150 nodes: not before 121 s";
  EXPECT_EQ(p.touch(121), "insert purge matrix\n");
  p.grow(201);
  EXPECT_EQ(p.touch(2), "") << "201 nodes: not before 3 s";
  EXPECT_EQ(p.touch(3), "insert purge matrix\n");
  EXPECT_EQ(nd_cnt, 201) << "nothing idle";
  close_matrix(p.m);
}

TEST(NodePurge, KeepsTheNewestReadyNodesAndFreesTheIdle) {
  tqtest::TickClock clock;
  Purge p;
  p.grow(110);
  tqtest::TickClock::move(1000);
  const uint32_t now = tick_now();
  std::vector<MATRIX_NODE*>& r = p.ring;
  {
    LOCK_SCOPE(matrix_lock);
    r[0]->status = MS_PROCESS_ERR_1;   // passed by the keep pass without counting
    r[1]->dirty_file_time = now - 31;  // kept, saved
    r[2]->dirty_file_time = now - 30;  // kept, not yet saved
    r[101]->last_access = now - 119;   // older than the kept ones, not idle enough
    r[102]->last_access = now - 120;
    r[103]->dirty_file_time = now - 10;  // idle and dirty: saved, freed later
    r[104]->locked = 1;
  }
  EXPECT_EQ(p.touch(121), "insert purge matrix\n");
  ASSERT_TRUE(drained());
  auto alive = [&](int i) { return find_node(p.m, {0, 256 * (109 - i)}) != nullptr; };  // r[i] may be gone
  for (int i : {0, 1, 2, 50, 100, 101, 103, 104}) EXPECT_TRUE(alive(i)) << i;
  for (int i : {102, 105, 109}) EXPECT_FALSE(alive(i)) << i;
  EXPECT_EQ(nd_cnt, 104);
  EXPECT_EQ(p.shape.writes, 2) << "nodes 1 and 103 saved";
  EXPECT_EQ(r[2]->dirty_file_time, now - 30);
  EXPECT_EQ(r[103]->dirty_file_time, 0u);
  EXPECT_EQ(p.touch(121), "insert purge matrix\n");
  EXPECT_FALSE(alive(103)) << "freed once clean";
  {
    LOCK_SCOPE(matrix_lock);
    r[104]->locked = 0;
  }
  close_matrix(p.m);
  EXPECT_EQ(p.shape.writes, 3) << "the close saved the dirty node left";
  EXPECT_EQ(nd_cnt, 0);
}

}  // namespace
