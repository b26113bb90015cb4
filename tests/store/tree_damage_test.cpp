// Trees and tries in damaged files, built here record by record: links back to a node
// itself or to a node above it, one node under two links, absurd levels, trie levels that
// lead back up or to a tree of another kind, nodes too short for their kind, and value
// arrays of impossible sizes. Every operation ends with an error instead of a loop, a
// deep recursion or a read past a record (the asan preset checks the reads).
#include <climits>
#include <fstream>

#include "store/trie64.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::anchor_bytes;
using storetest::be16;
using storetest::be32;
using storetest::be64;
using storetest::header_bytes;

namespace {

// Header, anchor and root at 44; nodes of 8-byte keys follow at 60, 92, 124, ...
constexpr uint64_t kRoot = 44;
constexpr uint64_t node_at(int i) { return 60 + 32 * uint64_t(i); }

struct IntNode {
  uint64_t small, large;
  int32_t level;
  int64_t key;
};

std::string int_tree(int32_t kind, const std::vector<IntNode>& nodes) {
  std::string b = header_bytes() + anchor_bytes(0) + root_record(kind, nodes.empty() ? 0 : node_at(0));
  for (const IntNode& n : nodes) b += node_record(n.small, n.large, n.level, int_key(n.key));
  return b;
}

// A trie node's data: ch, next tree, value, big-endian.
std::string trie_data(char ch, uint64_t tree, uint64_t value) { return be32(uint32_t(uint8_t(ch))) + be64(tree) + be64(value); }

std::u32string u(const char* s) {
  std::u32string out;
  for (; *s; ++s) out += char32_t(uint8_t(*s));
  return out;
}
const L_CHAR* lk(const std::u32string& s) { return reinterpret_cast<const L_CHAR*>(s.c_str()); }

int count_visit(FAVT64_NODE*, void* w) {
  ++*static_cast<int*>(w);
  return 0;
}
int count_value(uint64_t, void*, DTREE64_TRACE_WORK* st) {
  ++*static_cast<int*>(st->w);
  return 0;
}

class TreeDamage : public TreeTest {
 protected:
  PDB64* load(const std::string& bytes) {
    std::ofstream(path(), std::ios::binary | std::ios::trunc) << bytes;
    p_ = reopen();
    return p_;
  }
  void TearDown() override {
    if (p_) close_filespace64(p_);
    TreeTest::TearDown();
  }
  FAVT64_ROOT* int_root() { return get_root64(nullptr, p_, kRoot, int_endian); }
  FAVT64_ROOT* trie_root() { return get_root64(nullptr, p_, kRoot, dtree64_endian); }
  PDB64* p_ = nullptr;
};

// What every integer-tree operation answers on one damaged file.
struct IntCase {
  const char* name;
  std::vector<IntNode> nodes;
  int64_t missing;  // a key whose search meets the damage
  int walked;       // nodes a walk visits before it stops with -3
};

TEST_F(TreeDamage, LinksBackEndEveryTreeOperation) {
  const std::vector<IntCase> cases = {
      {"a node whose large link is itself", {{0, node_at(0), 2, 10}}, 20, 1},
      {"a link back to the node above", {{node_at(1), 0, 2, 10}, {0, node_at(0), 1, 5}}, 7, 1},
      {"one node under both links", {{node_at(1), node_at(1), 2, 10}, {0, 0, 1, 5}}, -1, 2},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.name);
    load(int_tree(0, c.nodes));
    FAVT64_ROOT* r = int_root();
    int err = 0, visited = 0;
    int64_t key = c.missing;
    if (c.missing >= 0) {
      EXPECT_EQ(favt64_search(&err, r, root_node64(nullptr, r), &key, int_cmp, nullptr), nullptr);
      EXPECT_EQ(err, kFavtDamaged);
      err = 0;
      FAVT64_NODE* a = favt64_alloc_node(r, &key, 8);
      EXPECT_EQ(favt64_insert(&err, r, &r->node, a, int_cmp, nullptr), nullptr);
      EXPECT_EQ(err, kFavtDamaged);
      favt64_free_node(a);
      err = 0;
      EXPECT_EQ(favt64_delete(&err, r, &r->node, &key, int_cmp, nullptr), nullptr);
      EXPECT_EQ(err, kFavtDamaged);
    }
    err = 0;
    EXPECT_EQ(favt64_trace_from_small(&err, r, root_node64(nullptr, r), count_visit, &visited), kFavtDamaged);
    EXPECT_EQ(err, kFavtDamaged);
    EXPECT_EQ(visited, c.walked);
    err = 0;
    int64_t lo = INT64_MIN, hi = INT64_MAX;
    BOUND64_LIST* l = favt64_bound_search(&err, r, root_node64(nullptr, r), &lo, &hi, -1, int_cmp, nullptr);
    EXPECT_EQ(err, kFavtDamaged);
    free_bound_list64(l);
    storetest::CaptureStdout out;
    EXPECT_EQ(favt64_test(nullptr, r, root_node64(nullptr, r), int_cmp), kFavtDamaged);
    out.finish();
    ASSERT_EQ(close_filespace64(p_), 0);
    p_ = nullptr;
  }
}

TEST_F(TreeDamage, DeletingANodeWhoseChildIsItselfChangesNothing) {
  load(int_tree(0, {{0, node_at(0), 2, 10}}));
  FAVT64_ROOT* r = int_root();
  int err = 0;
  int64_t key = 10;
  EXPECT_EQ(favt64_delete(&err, r, &r->node, &key, int_cmp, nullptr), nullptr);
  EXPECT_EQ(err, kFavtDamaged);
  EXPECT_EQ(r->node.fofs, node_at(0));
}

TEST_F(TreeDamage, AbsurdLevelsNeverOverflow) {
  // The small child claims the largest level there is, the top the smallest.
  load(int_tree(0, {{node_at(1), 0, INT32_MIN, 10}, {0, 0, INT32_MAX, 5}}));
  FAVT64_ROOT* r = int_root();
  EXPECT_TRUE(insert_key(r, 20));  // re-levels the top: 1 + INT32_MAX
  EXPECT_TRUE(insert_key(r, 30));
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{5, 10, 20, 30}));
  EXPECT_TRUE(delete_key(r, 10));
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{5, 20, 30}));
}

TEST_F(TreeDamage, NodesOfTheWrongSizeForTheirKindAreUnreadable) {
  // An integer-index node must hold 12 bytes: this one holds 8.
  load(header_bytes() + anchor_bytes(0) + root_record(256, 60) + node_record(0, 0, 1, be32(3) + be32(0)));
  FAVT64_ROOT* r = get_root64(nullptr, p_, kRoot, nullptr);
  int err = 0;
  EXPECT_EQ(root_node64(&err, r), nullptr);
  EXPECT_EQ(err, kFavtUnreadable);
  ASSERT_EQ(close_filespace64(p_), 0);
  p_ = nullptr;
  // A trie node must hold 20 bytes: this one holds 8.
  load(header_bytes() + anchor_bytes(0) + root_record(259, 60) + node_record(0, 0, 1, be32('a') + be32(0)));
  err = 0;
  EXPECT_EQ(search_dtree64(&err, nullptr, trie_root(), lk(u("a")), 1), 0u);
  EXPECT_EQ(err, kFavtUnreadable);
  err = 0;
  EXPECT_EQ(insert_dtree64(&err, trie_root(), lk(u("a")), 0, 44), -1);
  EXPECT_EQ(err, kFavtUnreadable);
  ASSERT_EQ(close_filespace64(p_), 0);
  p_ = nullptr;
  // The node index's nodes answer to the check the matrix store installs.
  FAVT64_CHECK saved = favt64_node_index_check;
  favt64_node_index_check = [](const void* data, int64_t len) {
    return len == 9 && static_cast<const unsigned char*>(data)[8] == 0xF1;
  };
  for (const auto& [data, readable] : {std::pair{int_key(7) + "\xF1", true}, {int_key(7) + "\xF0", false}}) {
    load(header_bytes() + anchor_bytes(0) + root_record(1025, 60) + node_record(0, 0, 1, data));
    err = 0;
    EXPECT_EQ(root_node64(&err, get_root64(nullptr, p_, kRoot, nullptr)) != nullptr, readable);
    EXPECT_EQ(err, readable ? 0 : kFavtUnreadable);
    ASSERT_EQ(close_filespace64(p_), 0);
    p_ = nullptr;
  }
  favt64_node_index_check = saved;
}

// A trie: top root at 44 (kind 259), node 'a' at 60 whose next tree and value are given,
// then what the case appends from offset 104.
struct TrieCase {
  const char* name;
  uint64_t tree, value;
  std::string more;
  const char* key;
  int err;  // what insert, search and delete of key store
};

TEST_F(TreeDamage, TrieLevelsThatLeadBackOrAstrayEndWithAnError) {
  const std::vector<TrieCase> cases = {
      {"a level that leads back to the top", kRoot, 0, "", "aaa", kFavtDamaged},
      {"a level that is an integer index", 104, 0, root_record(256, 0), "ab", kFavtDamaged},
      {"a level that leads back to itself", 104, 0, root_record(2, 120) + node_record(0, 0, 1, trie_data('a', 104, 0)),
       "aaa", kFavtDamaged},
  };
  for (const TrieCase& c : cases) {
    SCOPED_TRACE(c.name);
    load(header_bytes() + anchor_bytes(0) + root_record(259, 60) + node_record(0, 0, 1, trie_data('a', c.tree, c.value)) +
         c.more);
    int err = 0, values = 0;
    EXPECT_EQ(search_dtree64(&err, nullptr, trie_root(), lk(u(c.key)), 1), 0u);
    EXPECT_EQ(err, c.err);
    err = 0;
    EXPECT_EQ(insert_dtree64(&err, trie_root(), lk(u(c.key)), 0, 60), -1);
    EXPECT_EQ(err, c.err);
    err = 0;
    EXPECT_EQ(delete_dtree64(&err, trie_root(), lk(u(c.key)), 0), -1);
    EXPECT_EQ(err, c.err);
    err = 0;
    EXPECT_EQ(dtree64_trace_from_small(&err, trie_root(), count_value, &values), kFavtDamaged);
    EXPECT_EQ(err, kFavtDamaged);
    ASSERT_EQ(close_filespace64(p_), 0);
    p_ = nullptr;
  }
}

TEST_F(TreeDamage, ValueArraysOfImpossibleSizesAreRefused) {
  for (const std::string& array : {be16(261) + be16(12) + be64(60),                    // one value
                                   be16(261) + be16(16) + be64(60) + be32(0)}) {       // 1.5 values
    load(header_bytes() + anchor_bytes(0) + root_record(259, 60) + node_record(0, 0, 1, trie_data('a', 0, 104)) +
         array);
    int values = 0;
    EXPECT_EQ(insert_dtree64(nullptr, trie_root(), lk(u("a")), 0, 44), -1);
    EXPECT_EQ(delete_dtree64(nullptr, trie_root(), lk(u("a")), 60), -1);
    EXPECT_EQ(dtree64_trace_from_small(nullptr, trie_root(), count_value, &values), -1);
    EXPECT_EQ(values, 0);
    ASSERT_EQ(close_filespace64(p_), 0);
    p_ = nullptr;
  }
}

}  // namespace
