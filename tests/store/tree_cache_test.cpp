// The tree-record cache: one root per offset, eviction of the least recently used node
// that is neither pinned nor a parent, batch write-back of dirty records, nodes made but
// not yet linked and roots that eviction never takes, overshooting instead of stopping,
// flush and reload, truncation, failed writes, damaged records and the link check, records
// cut by page boundaries, pages beyond a record left alone, and node memory handed on by
// eviction (poisoned while it waits under the address sanitizer).
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "store/file_space.h"
#include "store/record_io.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::anchor_bytes;
using storetest::be16;
using storetest::header_bytes;

namespace {

class TreeCache : public TreeTest {
 protected:
  // A file holding one balanced tree of keys 1..7 (4 on top), written back and dropped.
  PDB64* seven() {
    PDB64* p = create();
    FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
    for (int64_t k : {4, 2, 6, 1, 3, 5, 7}) EXPECT_TRUE(insert_key(r, k));
    EXPECT_EQ(flush_favt64_cache(p), 0);
    EXPECT_TRUE(cached(p).empty());
    return p;
  }
  static bool in_cache(PDB64* p, FAVT64_HEADER* h) {
    auto c = cached(p);
    return std::find(c.begin(), c.end(), h) != c.end();
  }
};

void other_endian(void*, int64_t) {}

TEST_F(TreeCache, OneRootPerOffset) {
  PDB64* p = seven();
  FAVT64_ROOT* a = get_root64(nullptr, p, 44, int_endian);
  FAVT64_ROOT* b = get_root64(nullptr, p, 44, other_endian);
  EXPECT_EQ(a, b);
  EXPECT_EQ(b->endian_func, &int_endian);  // the second function is ignored
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, FlushWritesBackDropsAndReloadsTheSameTree) {
  PDB64* p = seven();
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EQ(shape(r), "4:3(2:2(1:1,3:1),6:2(5:1,7:1))");
  EXPECT_EQ(cached(p).size(), 8u);
  const int64_t len = file_length64(p);
  EXPECT_TRUE(delete_key(r, 4));
  EXPECT_TRUE(insert_key(r, 8));
  EXPECT_EQ(file_length64(p), len);  // 4's room went free as 8's was needed, and 8 took it
  std::string before = shape(r);
  ASSERT_EQ(flush_favt64_cache(p), 0);
  EXPECT_TRUE(cached(p).empty());
  r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EQ(shape(r), before);
  for (int64_t k : keys_of(r)) EXPECT_TRUE(delete_key(r, k));  // the root alone changes last
  ASSERT_EQ(close_filespace64(p), 0);
  EXPECT_EQ(bytes().substr(44, 16), root_record(0, 0));
}

TEST_F(TreeCache, EvictsTheColdestNodeThatIsNoParentAndWritesDirtyOnesFirst) {
  PDB64* p = seven();
  favt64_cache_limit = 3;
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* top = root_node64(nullptr, r);
  FAVT64_NODE* two = small_node64(nullptr, r, top);
  FAVT64_NODE* one = small_node64(nullptr, r, two);
  EXPECT_EQ(favt64_node_count(), 3);
  two->level = 2;  // unchanged value, but now marked for write-back
  favt64_set_dirty(&two->h);
  favt64_set_dirty(&one->h);
  // A fourth node: 4 and 2 are parents, so 1 goes, and every dirty record is written first.
  FAVT64_NODE* six = large_node64(nullptr, r, top);
  ASSERT_TRUE(six);
  EXPECT_EQ(favt64_node_count(), 3);
  EXPECT_EQ(two->small.ptr, nullptr);
  EXPECT_NE(two->small.fofs, 0u);
  EXPECT_EQ(check_dirty64(&two->h, 0), 0);
  // Now 2 is the coldest node without a loaded child.
  FAVT64_NODE* seven_ = large_node64(nullptr, r, six);
  ASSERT_TRUE(seven_);
  EXPECT_EQ(top->small.ptr, nullptr);
  EXPECT_EQ(shape(r), "4:3(2:2(1:1,3:1),6:2(5:1,7:1))");
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, NothingIsEvictedUpToTheLimitAndOneNodePerLoadAbove) {
  PDB64* p = seven();
  favt64_cache_limit = 7;
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(favt64_node_count(), 7);  // all seven loaded, none dropped
  ASSERT_EQ(flush_favt64_cache(p), 0);
  favt64_cache_limit = 6;
  r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* top = root_node64(nullptr, r);
  favt64_prefetch_links(top);  // a hint: loads nothing
  EXPECT_EQ(favt64_node_count(), 1);
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(favt64_node_count(), 6);  // the seventh load dropped one node
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, PinnedNodesStay) {
  PDB64* p = seven();
  favt64_cache_limit = 0;
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* top = root_node64(nullptr, r);
  FAVT64_NODE* one = small_node64(nullptr, r, small_node64(nullptr, r, top));
  favt64_lock(&one->h);
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_TRUE(in_cache(p, &one->h));
  EXPECT_EQ(key_of(one), 1);
  favt64_unlock(&one->h);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, ATopNodeThatARotationMovesDownCanBeEvictedAgain) {
  PDB64* p = create();
  FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
  for (int64_t k : {1, 2, 3}) ASSERT_TRUE(insert_key(r, k));
  ASSERT_EQ(shape(r), "2:2(1:1,3:1)");  // 1, on top until 3 came, is now a leaf
  FAVT64_NODE* two = root_node64(nullptr, r);
  FAVT64_NODE* one = small_node64(nullptr, r, two);
  favt64_cache_limit = 1;
  int64_t key = 9;
  FAVT64_NODE* made = favt64_alloc_node(r, &key, 8);  // entering, it evicts what it can
  EXPECT_FALSE(in_cache(p, &one->h));
  EXPECT_TRUE(in_cache(p, &two->h));  // the top stays
  EXPECT_EQ(favt64_node_count(), 2);
  favt64_free_node(made);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, MadeNodeStaysUntilLinkedOrFreedAndRootsAreNeverEvicted) {
  PDB64* p = seven();
  favt64_cache_limit = 0;
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_ROOT* other = favt64_alloc_root(p, 0, int_endian);
  int64_t key = 9;
  FAVT64_NODE* a = favt64_alloc_node(r, &key, 8);
  // Loads in between (another thread's steps) evict whatever they can.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(keys_of(r).size(), 7u);
    EXPECT_TRUE(insert_key(other, i));
  }
  EXPECT_TRUE(in_cache(p, &a->h));
  EXPECT_TRUE(in_cache(p, &r->h));
  EXPECT_TRUE(in_cache(p, &other->h));
  EXPECT_EQ(get_root64(nullptr, p, 44, int_endian), r);
  EXPECT_EQ(favt64_insert(nullptr, r, &r->node, a, int_cmp, nullptr), a);
  EXPECT_EQ(a->h.pins, 0);
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 9}));
  EXPECT_EQ(keys_of(other), (std::vector<int64_t>{0, 1, 2}));
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, OvershootsWhenNothingCanGo) {
  PDB64* p = seven();
  favt64_cache_limit = 0;
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* top = root_node64(nullptr, r);  // the record being loaded is never taken
  ASSERT_TRUE(top);
  EXPECT_EQ(key_of(top), 4);
  favt64_lock(&top->h);
  FAVT64_NODE* two = small_node64(nullptr, r, top);
  favt64_lock(&two->h);
  FAVT64_NODE* one = small_node64(nullptr, r, two);
  EXPECT_EQ(key_of(one), 1);
  EXPECT_EQ(favt64_node_count(), 3);
  favt64_unlock(&two->h);
  favt64_unlock(&top->h);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, TruncationDropsTheFilesRecordsUnwritten) {
  PDB64* p = create();
  FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
  for (int64_t k = 0; k < 20; ++k) EXPECT_TRUE(insert_key(r, k));
  ASSERT_EQ(truncate_filespace64(p), 0);
  EXPECT_TRUE(cached(p).empty());
  EXPECT_EQ(p->freelist_work, nullptr);
  ASSERT_EQ(close_filespace64(p), 0);
  EXPECT_EQ(bytes(), "");  // no tree record was written into the emptied file
}

TEST_F(TreeCache, RecordWriteFailsWhenItsSeekFails) {
  PDB64* p = create();
  FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
  ASSERT_EQ(fac_truncate(&p->fac, 0), 0);  // cut behind the cache's back
  EXPECT_EQ(favt64_write(&r->h), -1);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  EXPECT_EQ(bytes(), "");
  EXPECT_EQ(flush_favt64_cache(p), -1);  // reported, not written at some other place
  EXPECT_EQ(bytes(), "");
  EXPECT_EQ(cached(p).size(), 1u);  // and kept: dropping it would lose it
  ASSERT_EQ(truncate_filespace64(p), 0);
  close_filespace64(p);
}

TEST_F(TreeCache, NodeWhoseWriteFailsIsKeptAndOthersGo) {
  PDB64* a = create("a");
  FAVT64_ROOT* ra = favt64_alloc_root(a, 0, int_endian);
  for (int64_t k : {2, 1, 3}) EXPECT_TRUE(insert_key(ra, k));
  ASSERT_EQ(fac_truncate(&a->fac, 0), 0);  // every write to a fails from now on
  PDB64* b = seven();
  favt64_cache_limit = 3;
  FAVT64_ROOT* rb = get_root64(nullptr, b, 44, int_endian);
  EXPECT_EQ(keys_of(rb), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(cached(a).size(), 4u);  // nothing unwritten was dropped
  EXPECT_LE(favt64_node_count(), 3 + 3 + 2);
  ASSERT_EQ(truncate_filespace64(a), 0);
  close_filespace64(a);
  ASSERT_EQ(close_filespace64(b), 0);
}

TEST_F(TreeCache, CloseReportsAFailedWriteBack) {
  PDB64* p = create();
  FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
  EXPECT_TRUE(insert_key(r, 1));
  ASSERT_EQ(fac_truncate(&p->fac, 0), 0);
  EXPECT_EQ(close_filespace64(p), -1);
  EXPECT_EQ(bytes(), "");
}

TEST_F(TreeCache, FlushKeepsTheRootOfANodeStillToBeLinked) {
  PDB64* p = seven();
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  int64_t key = 9;
  FAVT64_NODE* a = favt64_alloc_node(r, &key, 8);
  ASSERT_EQ(flush_favt64_cache(p), 0);
  // The made node stays, and so does the root it belongs to: both are used again below.
  EXPECT_TRUE(in_cache(p, &a->h));
  EXPECT_TRUE(in_cache(p, &r->h));
  EXPECT_EQ(a->root, r);
  EXPECT_EQ(favt64_insert(nullptr, r, &r->node, a, int_cmp, nullptr), a);
  ASSERT_EQ(flush_favt64_cache(p), 0);
  EXPECT_TRUE(cached(p).empty());
  r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7, 9}));
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(TreeCache, RootRecordBehindANodeLinkLeavesTheCachedRootAlone) {
  // The root's top-node link names the root record itself.
  tqtest::write_file(path(), header_bytes() + anchor_bytes(0) + root_record(0, 44));
  PDB64* p = reopen();
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  int err = 0;
  EXPECT_EQ(root_node64(&err, r), nullptr);
  EXPECT_EQ(err, kFavtUnreadable);
  EXPECT_EQ(get_root64(nullptr, p, 44, int_endian), r);
  EXPECT_EQ(cached(p).size(), 1u);  // still the one root, and no second copy of it
  ASSERT_EQ(close_filespace64(p), 0);
}

// Records that cannot be what their link or offset says (a file left by a failed close or
// a crash may name them) are unreadable: the reader answers -2 and goes on. Of a root read
// at 44 its top node is read: a node of memory size 30 (its fields take 36 bytes), the
// anchor; then a root read at a node, at the file header and beyond the end.
TEST_F(TreeCache, RecordsThatCannotBeTreeRecordsAreUnreadable) {
  const std::string head = header_bytes() + anchor_bytes(0);
  const std::pair<std::string, uint64_t> cases[] = {
      {head + root_record(0, 60) + be16(258) + be16(18) + std::string(14, '\0'), 44},
      {head + root_record(0, 32), 44},
      {head + root_record(0, 60) + node_record(0, 0, 1, int_key(1)), 60},
      {head, 0},
      {head, 5000}};
  for (const auto& [file, at] : cases) {
    SCOPED_TRACE(file.size() + at);
    tqtest::write_file(path(), file);
    PDB64* p = reopen();
    int err = 0;
    FAVT64_ROOT* r = get_root64(&err, p, at, int_endian);
    EXPECT_EQ(at == 44 ? static_cast<void*>(root_node64(&err, r)) : r, nullptr);
    EXPECT_EQ(err, kFavtUnreadable);
    ASSERT_EQ(close_filespace64(p), 0);
  }
}

// A file holding a root at 44 whose top node is a leaf at node_ofs, a filler record
// between them.
std::string file_with_node_at(uint64_t node_ofs, const std::string& node) {
  return header_bytes() + anchor_bytes(0) + root_record(0, node_ofs) +
         storetest::short_record(123, uint16_t(node_ofs - 60)) + node;
}

// A node record with an 8-byte head (its disk length does not fit 16 bits).
std::string long_node_record(int32_t level, const std::string& data) {
  uint32_t d = uint32_t(8 + 20 + data.size());
  return be16(258) + be16(0xFFFE) + storetest::be32(d) + storetest::be64(0) + storetest::be64(0) +
         storetest::be32(uint32_t(level)) + data;
}

TEST_F(TreeCache, RecordsAreReadWholeWhereverPageBoundariesCutThem) {
  std::string long_data = int_key(77) + std::string(70000, 'q') + "end";
  struct Case {
    uint64_t at;
    int64_t key;
    int32_t level;
    bool long_head;
  } cases[] = {
      {64, 5, 1, false},     // inside the first page
      {4064, 6, 2, false},   // ends exactly at the page end
      {4080, 7, 3, false},   // the fields cross into the next page
      {4094, 8, 4, false},   // the head itself is cut
      {4090, 77, 5, true},   // an 8-byte head cut after its escape
  };
  for (bool cache_on : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.at) + (cache_on ? " cached" : " uncached"));
      std::string node = c.long_head ? long_node_record(c.level, long_data) : node_record(0, 0, c.level, int_key(c.key));
      tqtest::write_file(path(), file_with_node_at(c.at, node));
      if (!cache_on) fac_general_info.total_entries = 0;
      PDB64* p = reopen();
      fac_general_info.total_entries = saved_limit_;
      ASSERT_TRUE(p);
      ASSERT_EQ(fac_cached(&p->fac), cache_on);
      EXPECT_EQ(favt64_peek_level(p, c.at), c.level);
      FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
      FAVT64_NODE* n = root_node64(nullptr, r);
      ASSERT_TRUE(n);
      EXPECT_EQ(key_of(n), c.key);
      EXPECT_EQ(n->level, c.level);
      if (c.long_head) {
        ASSERT_EQ(n->data_len, int64_t(long_data.size()));
        EXPECT_EQ(std::string(static_cast<const char*>(n->data) + 8, long_data.size() - 8), long_data.substr(8));
      }
      ASSERT_EQ(close_filespace64(p), 0);
    }
  }
}

// The file's pages held by the page cache, ascending.
std::vector<uint64_t> file_pages(PDB64* p) {
  std::vector<uint64_t> out;
  FAC_ENTRY_HEADER* head = &fac_general_info.entries;
  for (FAC_ENTRY_HEADER* e = head->next; e != head; e = e->next) {
    auto* entry = reinterpret_cast<FAC_ENTRY*>(e);
    if (entry->info == &p->fac) out.push_back(entry->offset);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(TreeCache, ALevelOrARecordIsReadWithoutTouchingThePagesBeyondIt) {
  // Reading a node's level takes its head and the fields up to the level; loading it takes
  // the whole record. Either touches the pages holding those bytes and no other: a page
  // fetched beyond them would be read from disk and refreshed for nothing.
  struct Case {
    uint64_t at;
    bool long_head;
    std::vector<uint64_t> after_peek, after_load;
  } cases[] = {
      {4072, false, {0}, {0, 4096}},        // the level ends at the page end, the key beyond it
      {4068, true, {0}, {0, 4096}},         // the same with an 8-byte head
      {4073, false, {0, 4096}, {0, 4096}},  // the level itself crosses
      {4064, false, {0}, {0}},              // the whole record ends at the page end
      {4040, false, {0}, {0}},              // it ends 24 bytes before
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    std::string node = c.long_head ? long_node_record(3, int_key(9)) : node_record(0, 0, 3, int_key(9));
    tqtest::write_file(path(), file_with_node_at(c.at, node) + storetest::short_record(123, 300));
    PDB64* p = reopen();
    FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
    ASSERT_EQ(file_pages(p), std::vector<uint64_t>{0});
    EXPECT_EQ(favt64_peek_level(p, c.at), 3);
    EXPECT_EQ(file_pages(p), c.after_peek);
    FAVT64_NODE* n = root_node64(nullptr, r);
    ASSERT_TRUE(n);
    EXPECT_EQ(key_of(n), 9);
    EXPECT_EQ(file_pages(p), c.after_load);
    ASSERT_EQ(close_filespace64(p), 0);
  }
}

TEST_F(TreeCache, NodesOfEverySizeSurviveEvictionAndReuseOfTheirMemory) {
  // Short nodes share blocks of one size that eviction hands on; long ones do not. Mixed
  // under constant eviction, every node must keep its own bytes.
  PDB64* p = create();
  favt64_cache_limit = 6;
  FAVT64_ROOT* r = favt64_alloc_root(p, 0, int_endian);
  uint64_t root_ofs = r->h.fofs;
  auto data_of = [](int64_t k) {  // the key in host order, as in memory, then filler
    return std::string(reinterpret_cast<const char*>(&k), 8) + std::string(size_t(k * 37 % 300), char('a' + k % 26));
  };
  std::mt19937 rng(5);
  std::vector<int64_t> keys(300);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = int64_t(i);
  std::shuffle(keys.begin(), keys.end(), rng);
  for (int64_t k : keys) {
    std::string d = data_of(k);
    FAVT64_NODE* a = favt64_alloc_node(r, d.data(), int64_t(d.size()));
    ASSERT_EQ(favt64_insert(nullptr, r, &r->node, a, int_cmp, nullptr), a);
  }
  for (int pass = 0; pass < 2; ++pass) {  // from the cache, then from the file
    std::vector<std::string> seen;
    favt64_trace_from_small(
        nullptr, r, root_node64(nullptr, r),
        [](FAVT64_NODE* n, void* w) {
          static_cast<std::vector<std::string>*>(w)->emplace_back(static_cast<const char*>(n->data), size_t(n->data_len));
          return 0;
        },
        &seen);
    ASSERT_EQ(seen.size(), 300u);
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], data_of(int64_t(i))) << i;
    ASSERT_EQ(flush_favt64_cache(p), 0);
    r = get_root64(nullptr, p, root_ofs, int_endian);
  }
  ASSERT_EQ(close_filespace64(p), 0);
  EXPECT_EQ(favt64_count, 0);
}

using TreeCacheDeathTest = TreeCache;

TEST_F(TreeCacheDeathTest, BrokenCacheInvariantsStop) {
  PDB64* p = seven();
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  EXPECT_EXIT(check_dirty64(&favt64_h, 0), testing::ExitedWithCode(1), tqtest::panic_banner("check_dirty"));
  EXPECT_EXIT(
      {
        flush_favt64_cache(p);  // top is no longer cached: load a fresh one and break its link
        FAVT64_ROOT* rr = get_root64(nullptr, p, 44, int_endian);
        FAVT64_NODE* t = root_node64(nullptr, rr);
        small_node64(nullptr, rr, t);
        t->small.fofs += 1;
        check_cache64("broken");
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("cc_node(1-1)"));
  EXPECT_EXIT(
      {
        // A record of an unknown type at the cold end of the ring stops eviction.
        static FAVT64_HEADER stray{};
        stray.type = 99;
        stray.next = &favt64_h;
        stray.prev = favt64_h.prev;
        favt64_h.prev->next = &stray;
        favt64_h.prev = &stray;
        favt64_cache_limit = 0;
        small_node64(nullptr, r, root_node64(nullptr, r));
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("clear_cache"));
  ASSERT_EQ(close_filespace64(p), 0);
}

// A hold released more often than taken would hand a node's memory back under a holder.
TEST_F(TreeCacheDeathTest, ReleasingANodeNotHeldStops) {
  PDB64* p = seven();
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* top = root_node64(nullptr, r);
  EXPECT_EXIT(favt64_release_node(top), testing::ExitedWithCode(1), tqtest::panic_banner("favt64_release_node"));
  ASSERT_EQ(close_filespace64(p), 0);
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(TreeCacheDeathTest, ANodeUsedAfterEvictionIsCaughtWhileItsMemoryWaitsForReuse) {
  PDB64* p = seven();
  favt64_cache_limit = 3;
  FAVT64_ROOT* r = get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* one = find_key(r, 1);  // loads 4, 2, 1
  ASSERT_TRUE(one);
  ASSERT_TRUE(find_key(r, 6));  // the fourth node: the coldest leaf, 1, goes
  ASSERT_FALSE(in_cache(p, &one->h));
  EXPECT_DEATH(std::printf("%d\n", *static_cast<volatile int*>(&one->level)), "use-after-poison");
  ASSERT_EQ(close_filespace64(p), 0);
}
#endif

}  // namespace
