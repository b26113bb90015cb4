// Tree operations on trees in store files: the records as laid out in the file, shapes made
// by the single rotations, the successor rules of deletion, walks, range search under a
// limit and the consistency check's lines and stops.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "store/file_space.h"
#include "support/heap_growth.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::anchor_bytes;
using storetest::be16;
using storetest::be32;
using storetest::be64;
using storetest::CaptureStdout;
using storetest::header_bytes;

namespace {

class TreeOps : public TreeTest {
 protected:
  FAVT64_ROOT* tree(PDB64* p, std::initializer_list<int64_t> keys) {
    FAVT64_ROOT* r = favt64_alloc_root(p, 6, int_endian);
    for (int64_t k : keys) EXPECT_TRUE(insert_key(r, k));
    return r;
  }
};

TEST_F(TreeOps, RecordsReachTheFileAsLaidOut) {
  PDB64* p = create();
  FAVT64_ROOT* r = favt64_alloc_root(p, 6, int_endian);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->h.fofs, 44u);
  // The root's room is taken at once; the record itself reaches the file at write-back.
  ASSERT_EQ(fac_flush(&p->fac), 0);
  EXPECT_EQ(bytes().substr(44), be16(257) + be16(16) + std::string(12, '\0'));
  ASSERT_EQ(flush_favt64_cache(p), 0);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  EXPECT_EQ(bytes().substr(44), root_record(6, 0));
  EXPECT_TRUE(cached(p).empty());

  r = get_root64(nullptr, p, 44, int_endian);
  for (int64_t k : {1, 2, 3}) ASSERT_TRUE(insert_key(r, k));
  EXPECT_EQ(shape(r), "2:2(1:1,3:1)");
  ASSERT_EQ(close_filespace64(p), 0);
  // Nodes at 60, 92, 124 (memory size 44, disk length 32); 2 is on top.
  EXPECT_EQ(bytes(), header_bytes() + anchor_bytes(0) + root_record(6, 92) + node_record(0, 0, 1, int_key(1)) +
                         node_record(60, 124, 2, int_key(2)) + node_record(0, 0, 1, int_key(3)));

  p = reopen();
  r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EQ(r->type, 6);
  EXPECT_EQ(shape(r), "2:2(1:1,3:1)");
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, LongNodeDataTakesALongHead) {
  PDB64* p = create();
  FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
  // 70000 data bytes: memory size 70036, a record with an 8-byte head (0xFFFE).
  std::string data(70000, 'x');
  for (int64_t k : {5, 6}) {
    std::memcpy(data.data(), &k, 8);
    FAVT64_NODE* n = favt64_alloc_node(r, data.data(), int64_t(data.size()));
    ASSERT_EQ(favt64_insert(nullptr, r, &r->node, n, int_cmp, nullptr), n);
  }
  ASSERT_EQ(close_filespace64(p), 0);
  std::string b = bytes();
  ASSERT_EQ(b.size(), 60u + 2 * 70028u);
  EXPECT_EQ(b.substr(60, 24), be16(258) + be16(0xFFFE) + be32(70028) + be64(0) + be64(60 + 70028));
  EXPECT_EQ(b.substr(84, 12), be32(2) + int_key(5));
  p = reopen();
  r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EQ(shape(r), "5:2(-,6:1)");
  FAVT64_NODE* six = find_key(r, 6);
  ASSERT_TRUE(six);
  ASSERT_EQ(six->data_len, 70000);
  EXPECT_EQ(std::string(static_cast<char*>(six->data) + 8, 69992), data.substr(8));
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, SingleRotationsLeaveAnInwardLeanAlone) {
  PDB64* p = create();
  EXPECT_EQ(shape(tree(p, {1, 2, 3})), "2:2(1:1,3:1)");
  EXPECT_EQ(shape(tree(p, {3, 2, 1})), "2:2(1:1,3:1)");
  EXPECT_EQ(shape(tree(p, {3, 1, 2})), "1:3(-,3:2(2:1,-))");
  EXPECT_EQ(shape(tree(p, {1, 3, 2})), "3:3(1:2(-,2:1),-)");
  EXPECT_EQ(shape(tree(p, {4, 2, 6, 1, 3, 5, 7})), "4:3(2:2(1:1,3:1),6:2(5:1,7:1))");
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, EqualKeyLeavesTreeAndNewNodeAlone) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {1, 2, 3});
  ASSERT_EQ(fac_flush(&p->fac), 0);
  uint64_t len = bytes().size();
  int64_t key = 2;
  FAVT64_NODE* a = favt64_alloc_node(r, &key, 8);
  EXPECT_EQ(a->h.fofs, len);  // appended
  FAVT64_NODE* got = favt64_insert(nullptr, r, &r->node, a, int_cmp, nullptr);
  ASSERT_NE(got, a);
  EXPECT_EQ(key_of(got), 2);
  EXPECT_EQ(a->parent, nullptr);
  EXPECT_EQ(a->level, 0);
  EXPECT_EQ(a->small.fofs + a->large.fofs, 0u);
  EXPECT_GT(a->h.pins, 0);  // held until freed
  EXPECT_EQ(shape(r), "2:2(1:1,3:1)");
  favt64_free_node(a);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  EXPECT_EQ(bytes().size(), len);  // its room went back: the file shrank
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, DeletionTakesTheSuccessorFromTheTallerSide) {
  PDB64* p = create();
  // Equal heights: the largest node of the small subtree replaces the top.
  FAVT64_ROOT* r = tree(p, {4, 2, 6, 1, 3, 5, 7});
  EXPECT_TRUE(delete_key(r, 4));
  EXPECT_EQ(shape(r), "3:3(2:2(1:1,-),6:2(5:1,7:1))");
  // The small side lower: the smallest node of the large subtree.
  r = tree(p, {2, 1, 3, 4});
  EXPECT_EQ(shape(r), "2:3(1:1,3:2(-,4:1))");
  EXPECT_TRUE(delete_key(r, 2));
  EXPECT_EQ(shape(r), "3:2(1:1,4:1)");
  // One child only: it takes the place.
  r = tree(p, {2, 1});
  EXPECT_TRUE(delete_key(r, 2));
  EXPECT_EQ(shape(r), "1:1");
  EXPECT_TRUE(delete_key(r, 1));
  EXPECT_EQ(shape(r), "-");
  EXPECT_EQ(r->node.fofs, 0u);
  // Only the place of removal is rebalanced; nodes above it are re-levelled only.
  r = tree(p, {2, 1, 3, 4});
  EXPECT_TRUE(delete_key(r, 1));
  EXPECT_EQ(shape(r), "2:3(-,3:2(-,4:1))");
  check_cache64("deletion");
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, DeletingAnAbsentKeyChangesNothing) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {4, 2, 6, 1, 3, 5, 7});
  int err = 0;
  int64_t key = 8;
  EXPECT_EQ(favt64_delete(&err, r, &r->node, &key, int_cmp, nullptr), nullptr);
  EXPECT_EQ(err, kFavtNotFound);
  EXPECT_EQ(shape(r), "4:3(2:2(1:1,3:1),6:2(5:1,7:1))");
  err = 0;
  FAVT64_ROOT* empty = favt64_alloc_root(p, 6, int_endian);
  EXPECT_EQ(favt64_delete(&err, empty, &empty->node, &key, int_cmp, nullptr), nullptr);
  EXPECT_EQ(err, kFavtNotFound);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, DeletedNodeCanBeInsertedAgain) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {1, 2, 3});
  int64_t key = 2;
  FAVT64_NODE* n = favt64_delete(nullptr, r, &r->node, &key, int_cmp, nullptr);
  ASSERT_TRUE(n);
  EXPECT_GT(n->h.pins, 0);
  EXPECT_EQ(favt64_insert(nullptr, r, &r->node, n, int_cmp, nullptr), n);
  EXPECT_EQ(n->h.pins, 0);
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2, 3}));
  check_cache64("reinsert");
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, SearchFindsOrAnswersNotFound) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {5, 3, 8, 1, 4});
  for (int64_t k : {1, 3, 4, 5, 8}) {
    FAVT64_NODE* n = find_key(r, k);
    ASSERT_TRUE(n);
    EXPECT_EQ(key_of(n), k);
  }
  int err = 0;
  int64_t key = 6;
  EXPECT_EQ(favt64_search(&err, r, root_node64(nullptr, r), &key, int_cmp, nullptr), nullptr);
  EXPECT_EQ(err, kFavtNotFound);
  ASSERT_EQ(close_filespace64(p), 0);
}

struct Visits {
  std::vector<int64_t> keys;
  int stop_at = 0;
};

int visit(FAVT64_NODE* n, void* w) {
  auto* v = static_cast<Visits*>(w);
  v->keys.push_back(key_of(n));
  return int(v->keys.size()) == v->stop_at ? 5 : 0;
}

TEST_F(TreeOps, WalksRunBothWaysAndStopAtTheFirstAnswer) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {4, 2, 6, 1, 3, 5, 7});
  Visits up, down, stop;
  EXPECT_EQ(favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), visit, &up), 0);
  EXPECT_EQ(up.keys, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(favt64_trace_from_large(nullptr, r, root_node64(nullptr, r), visit, &down), 0);
  EXPECT_EQ(down.keys, (std::vector<int64_t>{7, 6, 5, 4, 3, 2, 1}));
  stop.stop_at = 3;
  EXPECT_EQ(favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), visit, &stop), 5);
  EXPECT_EQ(stop.keys, (std::vector<int64_t>{1, 2, 3}));
  for (FAVT64_HEADER* h : cached(p)) EXPECT_EQ(h->pins, 0) << "a walk left a pin";
  EXPECT_EQ(favt64_trace_from_small(nullptr, r, nullptr, visit, &stop), 0);
  EXPECT_EQ(tqtest::heap_growth([&] {
              Visits a, b, c;
              c.stop_at = 3;
              favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), visit, &a);
              favt64_trace_from_large(nullptr, r, root_node64(nullptr, r), visit, &b);
              favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), visit, &c);
            }),
            "");
  ASSERT_EQ(close_filespace64(p), 0);
}

std::vector<int64_t> list_keys(BOUND64_LIST* l) {
  std::vector<int64_t> out;
  for (; l; l = l->next) {
    EXPECT_EQ(l->data_len, 8);
    int64_t k;
    std::memcpy(&k, l->data, 8);
    out.push_back(k);
  }
  return out;
}

TEST_F(TreeOps, RangeSearchHonoursItsLimit) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {10, 20, 30, 40, 50, 60, 70, 80});
  auto range = [&](int64_t lo, int64_t hi, int limit, int* err) {
    BOUND64_LIST* l = favt64_bound_search(err, r, root_node64(nullptr, r), &lo, &hi, limit, int_cmp, nullptr);
    std::vector<int64_t> keys = list_keys(l);
    free_bound_list64(l);
    return keys;
  };
  int err = 0;
  EXPECT_EQ(range(25, 60, -1, &err), (std::vector<int64_t>{30, 40, 50, 60}));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(range(0, 100, -1, &err), (std::vector<int64_t>{10, 20, 30, 40, 50, 60, 70, 80}));
  EXPECT_EQ(range(25, 60, 0, &err), std::vector<int64_t>{});
  EXPECT_EQ(err, kFavtLimit);
  err = 0;
  EXPECT_EQ(range(25, 60, 2, &err), (std::vector<int64_t>{30, 40}));
  EXPECT_EQ(err, kFavtLimit);
  err = 0;
  EXPECT_EQ(range(25, 60, 4, &err), (std::vector<int64_t>{30, 40, 50, 60}));
  EXPECT_EQ(err, 0);
  EXPECT_EQ(range(61, 69, 0, &err), std::vector<int64_t>{});  // nothing matched: no limit met
  EXPECT_EQ(err, 0);
  for (FAVT64_HEADER* h : cached(p)) EXPECT_EQ(h->pins, 0) << "an abandoned search left a pin";
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeOps, TreeTestPrintsEveryKey) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {3, -1, 7, 5});
  CaptureStdout out;
  EXPECT_EQ(favt64_test(nullptr, r, root_node64(nullptr, r), int_cmp), 0);
  EXPECT_EQ(out.finish(), "=-1\n=3\n=5\n=7\n");
  ASSERT_EQ(close_filespace64(p), 0);
}

// A tree of three nodes written by hand: top at 60 with children at 92 and 124.
std::string three(int32_t top_level, int64_t small_key) {
  return header_bytes() + anchor_bytes(0) + root_record(0, 60) + node_record(92, 124, top_level, int_key(2)) +
         node_record(0, 0, 1, int_key(small_key)) + node_record(0, 0, 1, int_key(3));
}

using TreeOpsDeathTest = TreeOps;

TEST_F(TreeOpsDeathTest, TreeTestStopsAtABrokenTree) {
  auto check = [&](const std::string& file) {
    tqtest::write_file(path(), file);
    PDB64* p = reopen();
    FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
    favt64_test(nullptr, r, root_node64(nullptr, r), int_cmp);
    close_filespace64(p);
  };
  {
    CaptureStdout out;
    check(three(2, 1));  // sound
    EXPECT_EQ(out.finish(), "=1\n=2\n=3\n");
  }
  EXPECT_EXIT(check(three(2, 9)), testing::ExitedWithCode(1), tqtest::panic_banner("favt error 1"));
  EXPECT_EXIT(check(three(1, 1)), testing::ExitedWithCode(1), tqtest::panic_banner("favt error 2"));
  EXPECT_EXIT(check(three(3, 1)), testing::ExitedWithCode(1), tqtest::panic_banner("favt error 4"));
  std::string lean = header_bytes() + anchor_bytes(0) + root_record(0, 60) + node_record(92, 0, 1, int_key(2)) +
                     node_record(0, 0, 1, int_key(1));
  EXPECT_EXIT(check(lean), testing::ExitedWithCode(1), tqtest::panic_banner("favt error 3"));
  // The smallest node is only printed: its level is not checked (here 2 for a leaf; its
  // parent's level fits it).
  std::string first_off = header_bytes() + anchor_bytes(0) + root_record(0, 60) +
                          node_record(92, 124, 3, int_key(2)) + node_record(0, 0, 2, int_key(1)) +
                          node_record(0, 0, 1, int_key(3));
  EXPECT_EXIT(
      {
        std::string lines;
        {
          CaptureStdout out;
          check(first_off);
          lines = out.finish();
        }
        std::fprintf(stderr, "[%s]", lines.c_str());
        std::exit(0);
      },
      testing::ExitedWithCode(0), "\\[=1\n=2\n=3\n\\]");
}

TEST_F(TreeOpsDeathTest, NodeWithoutDataAndBadComparatorsStop) {
  PDB64* p = create();
  FAVT64_ROOT* r = tree(p, {1, 2, 3});
  EXPECT_EXIT(
      {
        FAVT64_NODE* n = favt64_alloc_node(r, nullptr, 0);
        favt64_insert(nullptr, r, &r->node, n, int_cmp, nullptr);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("avt_insert(1)"));
  auto bad = [](void*, void*, void*) { return 2; };
  int64_t key = 2;
  EXPECT_EXIT(favt64_search(nullptr, r, root_node64(nullptr, r), &key, bad, nullptr), testing::ExitedWithCode(1),
              tqtest::panic_banner("favt_search(1)"));
  EXPECT_EXIT(favt64_delete(nullptr, r, &r->node, &key, bad, nullptr), testing::ExitedWithCode(1),
              tqtest::panic_banner("favt_delete(!)"));
  // Insertion answers null for such a comparator and links nothing.
  FAVT64_NODE* n = favt64_alloc_node(r, &key, 8);
  EXPECT_EQ(favt64_insert(nullptr, r, &r->node, n, bad, nullptr), nullptr);
  EXPECT_EQ(n->parent, nullptr);
  favt64_free_node(n);
  EXPECT_EQ(shape(r), "2:2(1:1,3:1)");
  // The node that answered so is still re-levelled and rebalanced at its link, as on every
  // way back: the inward lean of 3, 1, 2 turns once more.
  FAVT64_ROOT* lean = tree(p, {3, 1, 2});
  ASSERT_EQ(shape(lean), "1:3(-,3:2(2:1,-))");
  n = favt64_alloc_node(lean, &key, 8);
  EXPECT_EQ(favt64_insert(nullptr, lean, &lean->node, n, bad, nullptr), nullptr);
  favt64_free_node(n);
  EXPECT_EQ(shape(lean), "3:3(1:2(-,2:1),-)");
  ASSERT_EQ(close_filespace64(p), 0);
}

}  // namespace
