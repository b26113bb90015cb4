// In-memory AVL trees: random inserts and deletes against std::set, balance, equal keys,
// ordered walks with early stop, range search with limits, and the self-check's panics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "support/test_util.h"
#include "util/avl_tree.h"

namespace {

using testing::ExitedWithCode;
using tq::AVT_NODE;
using tqtest::panic_banner;

intptr_t key(const void* data) { return reinterpret_cast<intptr_t>(data); }
void* data_of(intptr_t k) { return reinterpret_cast<void*>(k); }

int cmp_keys(void* a, void* b) { return key(a) < key(b) ? -1 : key(a) > key(b) ? 1 : 0; }

// Nodes whose data is their key, 1..n (key 0 would be null data).
struct Forest {
  explicit Forest(int n) : nodes(size_t(n) + 1) {
    for (int k = 0; k <= n; ++k) nodes[size_t(k)].data = data_of(k);
  }
  AVT_NODE* node(int k) { return &nodes[size_t(k)]; }
  std::vector<AVT_NODE> nodes;
};

// Checks levels and the AVL balance everywhere; returns the height.
int checked_height(const AVT_NODE* n) {
  if (!n) return 0;
  const int s = checked_height(n->small);
  const int l = checked_height(n->large);
  EXPECT_EQ(n->level, 1 + std::max(s, l)) << "key " << key(n->data);
  EXPECT_LE(std::abs(s - l), 1) << "unbalanced at key " << key(n->data);
  return 1 + std::max(s, l);
}

std::vector<intptr_t> in_order(AVT_NODE* root) {
  std::vector<intptr_t> out;
  tq::avt_trace_from_small(
      root,
      [](AVT_NODE* n, void* arg) {
        static_cast<std::vector<intptr_t>*>(arg)->push_back(key(n->data));
        return 0;
      },
      &out);
  return out;
}

void expect_matches(AVT_NODE* root, const std::set<intptr_t>& model) {
  tq::avt_test(root, cmp_keys);
  checked_height(root);
  EXPECT_EQ(in_order(root), std::vector<intptr_t>(model.begin(), model.end()));
}

TEST(AvlTree, RandomInsertsAndDeletesFollowASet) {
  constexpr int kKeys = 3000;
  Forest f(kKeys);
  AVT_NODE* root = nullptr;
  std::set<intptr_t> model;
  std::mt19937 rng(20240601);
  std::uniform_int_distribution<int> pick(1, kKeys);
  for (int round = 0; round < 4; ++round) {
    for (int batch = 0; batch < 10; ++batch) {
      for (int i = 0; i < 100; ++i) {  // 1000 inserts per round
        const int k = pick(rng);
        AVT_NODE* got = tq::avt_insert(&root, f.node(k), cmp_keys);
        ASSERT_EQ(got, f.node(k));  // each key has one node, so present means itself
        model.insert(k);
      }
      expect_matches(root, model);
    }
    for (int batch = 0; batch < 10; ++batch) {
      for (int i = 0; i < 100; ++i) {  // 1000 deletes per round, some of absent keys
        const int k = pick(rng);
        AVT_NODE* got = tq::avt_delete(&root, data_of(k), cmp_keys);
        if (model.erase(k)) {
          ASSERT_EQ(got, f.node(k));
          EXPECT_EQ(got->small, nullptr);
          EXPECT_EQ(got->large, nullptr);
        } else {
          ASSERT_EQ(got, nullptr) << "deleted absent key " << k;
        }
      }
      expect_matches(root, model);
    }
    for (int k = 1; k <= kKeys; k += 7)
      EXPECT_EQ(tq::avt_search(root, data_of(k), cmp_keys), model.count(k) ? f.node(k) : nullptr);
  }
}

TEST(AvlTree, AscendingInsertsKeepTheHeightLogarithmic) {
  Forest f(1000);
  AVT_NODE* root = nullptr;
  for (int k = 1; k <= 1000; ++k) {
    ASSERT_EQ(tq::avt_insert(&root, f.node(k), cmp_keys), f.node(k));
    ASSERT_LE(root->level, 1.45 * std::log2(double(k)) + 2) << "after " << k << " inserts";
  }
  tq::avt_test(root, cmp_keys);
  checked_height(root);
}

// A zig-zag (3, then 1, then 2) needs a double rotation: a single one would leave it
// unbalanced by two.
TEST(AvlTree, ZigZagInsertIsRebalanced) {
  Forest f(3);
  AVT_NODE* root = nullptr;
  for (int k : {3, 1, 2}) tq::avt_insert(&root, f.node(k), cmp_keys);
  EXPECT_EQ(root, f.node(2));
  EXPECT_EQ(root->level, 2);
  EXPECT_EQ(root->small, f.node(1));
  EXPECT_EQ(root->large, f.node(3));
}

// Deletes rebalance all the way up: removing the left half of a full tree key by key.
TEST(AvlTree, LongRunsOfDeletesKeepTheBalance) {
  Forest f(1023);
  AVT_NODE* root = nullptr;
  std::set<intptr_t> model;
  for (int k = 1; k <= 1023; ++k) {
    tq::avt_insert(&root, f.node(k), cmp_keys);
    model.insert(k);
  }
  for (int k = 1; k <= 700; ++k) {
    ASSERT_EQ(tq::avt_delete(&root, data_of(k), cmp_keys), f.node(k));
    model.erase(k);
    if (k % 50 == 0) expect_matches(root, model);
  }
  expect_matches(root, model);
  EXPECT_LE(root->level, 1.45 * std::log2(323.0) + 2);
}

TEST(AvlTree, EqualKeyReturnsTheNodePresent) {
  Forest f(5);
  AVT_NODE* root = nullptr;
  for (int k = 1; k <= 5; ++k) tq::avt_insert(&root, f.node(k), cmp_keys);
  AVT_NODE* const old_root = root;
  AVT_NODE twin{};
  twin.data = data_of(4);
  twin.level = 77;
  EXPECT_EQ(tq::avt_insert(&root, &twin, cmp_keys), f.node(4));
  EXPECT_EQ(root, old_root);
  EXPECT_EQ(twin.level, 77) << "the twin was not touched";
  EXPECT_EQ(in_order(root), (std::vector<intptr_t>{1, 2, 3, 4, 5}));
  tq::avt_test(root, cmp_keys);
}

TEST(AvlTree, DeletingTheRootOfThreeNodesLeavesAValidPair) {
  Forest f(3);
  AVT_NODE* root = nullptr;
  for (int k : {2, 1, 3}) tq::avt_insert(&root, f.node(k), cmp_keys);
  ASSERT_EQ(root, f.node(2));
  EXPECT_EQ(tq::avt_delete(&root, data_of(2), cmp_keys), f.node(2));
  tq::avt_test(root, cmp_keys);
  EXPECT_EQ(root->level, 2);
  EXPECT_EQ(in_order(root), (std::vector<intptr_t>{1, 3}));
  EXPECT_EQ(tq::avt_search(root, data_of(2), cmp_keys), nullptr);
  EXPECT_EQ(tq::avt_search(root, data_of(1), cmp_keys), f.node(1));
  EXPECT_EQ(tq::avt_search(root, data_of(3), cmp_keys), f.node(3));
}

TEST(AvlTree, EmptyTree) {
  AVT_NODE* root = nullptr;
  EXPECT_EQ(tq::avt_delete(&root, data_of(1), cmp_keys), nullptr);
  EXPECT_EQ(tq::avt_search(root, data_of(1), cmp_keys), nullptr);
  EXPECT_EQ(tq::avt_trace_from_large(root, [](AVT_NODE*, void*) { return 5; }, nullptr), 0);
  int err = 0;
  EXPECT_EQ(tq::avt_bound_search(&err, root, data_of(1), data_of(9), -1, nullptr, nullptr), nullptr);
  EXPECT_EQ(err, 0);
  tq::avt_test(root, cmp_keys);
}

TEST(AvlTree, TraceFromLargeStopsAtTheFirstNonzeroResult) {
  Forest f(10);
  AVT_NODE* root = nullptr;
  for (int k = 1; k <= 10; ++k) tq::avt_insert(&root, f.node(k), cmp_keys);
  std::vector<intptr_t> seen;
  const int r = tq::avt_trace_from_large(
      root,
      [](AVT_NODE* n, void* arg) {
        static_cast<std::vector<intptr_t>*>(arg)->push_back(key(n->data));
        return key(n->data) == 6 ? 7 : 0;
      },
      &seen);
  EXPECT_EQ(r, 7);
  EXPECT_EQ(seen, (std::vector<intptr_t>{10, 9, 8, 7, 6}));
  seen.clear();
  EXPECT_EQ(tq::avt_trace_from_large(
                root,
                [](AVT_NODE* n, void* arg) {
                  static_cast<std::vector<intptr_t>*>(arg)->push_back(key(n->data));
                  return 0;
                },
                &seen),
            0);
  EXPECT_EQ(seen, (std::vector<intptr_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
}

// ---- range search -------------------------------------------------------------------------

// The comparator's work word counts its calls, to show it is passed through.
int cmp_counted(void* a, void* b, void* work) {
  ++*static_cast<int*>(work);
  return cmp_keys(a, b);
}

std::vector<intptr_t> keys_of(tq::AVT_BOUND_LIST* l) {
  std::vector<intptr_t> out;
  for (; l; l = l->next) out.push_back(key(l->node->data));
  return out;
}

class AvlBoundSearch : public testing::Test {
 protected:
  void SetUp() override {
    for (int k : {5, 10, 15, 20, 25}) tq::avt_insert(&root, f.node(k), cmp_keys);
  }
  std::vector<intptr_t> search(int lo, int hi, int limit, int* err) {
    int calls = 0;
    tq::AVT_BOUND_LIST* l = tq::avt_bound_search(err, root, data_of(lo), data_of(hi), limit, cmp_counted, &calls);
    EXPECT_GT(calls, 0);
    std::vector<intptr_t> out = keys_of(l);
    tq::free_avt_bound_list(l);
    return out;
  }
  Forest f{25};
  AVT_NODE* root = nullptr;
};

TEST_F(AvlBoundSearch, ReturnsTheKeysBetweenTheBoundsInclusive) {
  int err = 123;
  EXPECT_EQ(search(10, 20, -1, &err), (std::vector<intptr_t>{10, 15, 20}));
  EXPECT_EQ(err, 123) << "no limit stopped the search";
  EXPECT_EQ(search(11, 19, -1, &err), (std::vector<intptr_t>{15}));
  EXPECT_EQ(search(0, 100, -1, nullptr), (std::vector<intptr_t>{5, 10, 15, 20, 25}));
  EXPECT_EQ(search(21, 24, -1, &err), (std::vector<intptr_t>{}));
  EXPECT_EQ(search(3, 3, 5, &err), (std::vector<intptr_t>{}));
  EXPECT_EQ(err, 123);
}

TEST_F(AvlBoundSearch, LimitStopsTheSearchWithMinusFour) {
  int err = 0;
  EXPECT_EQ(search(10, 20, 2, &err), (std::vector<intptr_t>{10, 15}));
  EXPECT_EQ(err, -4);
  err = 0;
  EXPECT_EQ(search(10, 20, 0, &err), (std::vector<intptr_t>{}));
  EXPECT_EQ(err, -4);
  err = 0;
  EXPECT_EQ(search(10, 20, 3, &err), (std::vector<intptr_t>{10, 15, 20}));
  EXPECT_EQ(err, 0) << "a limit that is just enough stops nothing";
  EXPECT_EQ(search(10, 20, 1, nullptr), (std::vector<intptr_t>{10}));
}

// ---- faults -------------------------------------------------------------------------------------

int cmp_broken(void*, void*) { return 2; }

TEST(AvlTree, InsertWithABrokenComparatorAnswersNull) {
  Forest f(2);
  AVT_NODE* root = nullptr;
  tq::avt_insert(&root, f.node(1), cmp_keys);
  EXPECT_EQ(tq::avt_insert(&root, f.node(2), cmp_broken), nullptr);
  EXPECT_EQ(in_order(root), (std::vector<intptr_t>{1}));
}

TEST(AvlTreeDeathTest, BrokenComparatorOrNullDataEndTheProcess) {
  static Forest f(2);
  static AVT_NODE* root = nullptr;
  tq::avt_insert(&root, f.node(1), cmp_keys);
  EXPECT_EXIT(tq::avt_search(root, data_of(1), cmp_broken), ExitedWithCode(1), panic_banner("avt_search(1)"));
  EXPECT_EXIT(tq::avt_delete(&root, data_of(1), cmp_broken), ExitedWithCode(1), panic_banner("avt_delete(!)"));
  EXPECT_EXIT(tq::avt_insert(&root, f.node(0), cmp_keys), ExitedWithCode(1), panic_banner("avt_insert(1)"));
}

// Hand-built trees, each with one fault.
AVT_NODE make(intptr_t k, int level, AVT_NODE* small = nullptr, AVT_NODE* large = nullptr) {
  return AVT_NODE{level, small, large, data_of(k)};
}

TEST(AvlTreeDeathTest, SelfCheckNamesEachFault) {
  EXPECT_EXIT(
      {
        AVT_NODE s = make(9, 1);  // larger key on the small side
        AVT_NODE r = make(5, 2, &s);
        tq::avt_test(&r, cmp_keys);
      },
      ExitedWithCode(1), panic_banner("avt error 1"));
  EXPECT_EXIT(
      {
        AVT_NODE l = make(9, 1);
        AVT_NODE r = make(5, 1, nullptr, &l);  // not above its large child
        tq::avt_test(&r, cmp_keys);
      },
      ExitedWithCode(1), panic_banner("avt error 2"));
  EXPECT_EXIT(
      {
        AVT_NODE s = make(1, 1);
        AVT_NODE r = make(5, 1, &s);  // not above its small child
        tq::avt_test(&r, cmp_keys);
      },
      ExitedWithCode(1), panic_banner("avt error 3"));
  EXPECT_EXIT(
      {
        AVT_NODE s = make(1, 1);
        AVT_NODE l = make(9, 1);
        AVT_NODE r = make(5, 4, &s, &l);  // more than one above both
        tq::avt_test(&r, cmp_keys);
      },
      ExitedWithCode(1), panic_banner("avt error 4"));
}

}  // namespace
