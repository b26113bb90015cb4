// Tries of trees: the node and value-array records as laid out in the file (the character
// big-endian too), lower trees made and freed on demand, value arrays growing and
// shrinking, prefix search, walks in both orders, and survival across reopening.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/d_alloc.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "store/trie64.h"
#include "support/heap_growth.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::be16;
using storetest::be32;
using storetest::be64;

namespace {

std::u32string k(const char* s) {
  std::u32string out;
  for (; *s; ++s) out += char32_t(uint8_t(*s));
  return out;
}
const L_CHAR* lk(const std::u32string& s) { return reinterpret_cast<const L_CHAR*>(s.c_str()); }

class Trie : public TreeTest {
 protected:
  // A record of the caller's (type 123) to serve as a value: its offset.
  static uint64_t value_record(PDB64* p) {
    PN64_HEADER h{};
    h.type = 123;
    h.size = 24;
    int64_t at = alloc_filespace64(p, &h);
    unsigned char rec[24] = {};
    set_rec_head64(rec, 123, 24);
    EXPECT_GE(write_filespace64f(p, uint64_t(at), rec), 0);
    return uint64_t(at);
  }
  int insert(FAVT64_ROOT* r, const char* key, uint64_t old_v, uint64_t new_v) {
    return insert_dtree64(nullptr, r, lk(k(key)), old_v, new_v);
  }
  uint64_t search(FAVT64_ROOT* r, const char* key, int exact = 1, int* len = nullptr) {
    return search_dtree64(nullptr, len, r, lk(k(key)), exact);
  }
  int remove(FAVT64_ROOT* r, const char* key, uint64_t old_v) { return delete_dtree64(nullptr, r, lk(k(key)), old_v); }
  // The node of ch in the tree rooted at ofs, as its record lies in the file.
  static DTREE64_NODE node_of(FAVT64_ROOT* tree, char ch) {
    L_CHAR c = uint8_t(ch);
    FAVT64_NODE* top = root_node64(nullptr, tree);
    FAVT64_NODE* n = top ? favt64_search(nullptr, tree, top, &c, dtree64_cmp, nullptr) : nullptr;
    return n ? dtree64_get(n) : DTREE64_NODE{};
  }
};

TEST_F(Trie, RecordsAreLaidOutBigEndian) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 256);
  EXPECT_EQ(r->type, 257);
  uint64_t v1 = value_record(p), v2 = value_record(p);  // 60 and 72
  ASSERT_EQ(insert(r, "ab", 0, v1), 0);
  ASSERT_EQ(insert(r, "a", 0, v2), 0);
  ASSERT_EQ(insert(r, "a", 0, v1), 0);  // a second value: an array of two
  ASSERT_EQ(close_filespace64(p), 0);
  std::string b = bytes();
  // 44 top root, 60 and 72 the values, 84 node 'a' (disk 44), 128 the second level's root,
  // 144 node 'b', 188 the array {v2, v1}.
  ASSERT_EQ(b.size(), 208u);
  EXPECT_EQ(b.substr(44, 16), root_record(257, 84));
  EXPECT_EQ(b.substr(84, 44), node_record(0, 0, 1, be32('a') + be64(128) + be64(188)));
  EXPECT_EQ(b.substr(128, 16), root_record(2, 144));
  EXPECT_EQ(b.substr(144, 44), node_record(0, 0, 1, be32('b') + be64(0) + be64(v1)));
  EXPECT_EQ(b.substr(188), be16(261) + be16(20) + be64(v2) + be64(v1));

  p = reopen();
  r = get_root64(nullptr, p, 44, dtree64_endian);
  EXPECT_EQ(search(r, "ab"), v1);
  EXPECT_EQ(search(r, "a"), 188u);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(Trie, KeyAndItsPrefixShareANode) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  uint64_t v1 = value_record(p), v2 = value_record(p);
  ASSERT_EQ(insert(r, "ab", 0, v1), 0);
  ASSERT_EQ(insert(r, "a", 0, v2), 0);
  DTREE64_NODE a = node_of(r, 'a');
  EXPECT_EQ(a.data, v2);
  ASSERT_NE(a.tree, 0u);
  FAVT64_ROOT* second = get_root64(nullptr, p, a.tree, dtree64_endian);
  EXPECT_EQ(second->type, kDtreeLowerKind);
  EXPECT_EQ(node_of(second, 'b').data, v1);
  EXPECT_EQ(keys_of(r).size(), 1u);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(Trie, ValuesGrowIntoAnArrayAndShrinkBack) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  uint64_t v[4] = {value_record(p), value_record(p), value_record(p), value_record(p)};
  ASSERT_EQ(insert(r, "x", 0, v[0]), 0);
  EXPECT_EQ(search(r, "x"), v[0]);
  EXPECT_EQ(insert(r, "x", v[1], v[2]), -1);  // replacing a value that is not there
  EXPECT_EQ(search(r, "x"), v[0]);
  ASSERT_EQ(insert(r, "x", 0, v[1]), 0);
  uint64_t arr = search(r, "x");
  auto values = [&](uint64_t at) {
    std::vector<uint64_t> out;
    auto* rec = static_cast<unsigned char*>(read_filespace64f(p, at));
    EXPECT_EQ(rec_type64(rec), kRecTrieValues);
    for (uint64_t i = 16; i < rec_size64(rec); i += 8) out.push_back(get_be64(rec + i));
    d_f_ree(rec);
    return out;
  };
  EXPECT_EQ(values(arr), (std::vector<uint64_t>{v[0], v[1]}));
  ASSERT_EQ(insert(r, "x", 0, v[2]), 0);
  EXPECT_EQ(values(search(r, "x")), (std::vector<uint64_t>{v[0], v[1], v[2]}));
  ASSERT_EQ(insert(r, "x", v[1], v[3]), 0);  // replaced in place
  EXPECT_EQ(values(search(r, "x")), (std::vector<uint64_t>{v[0], v[3], v[2]}));
  EXPECT_EQ(insert(r, "x", v[1], v[3]), -1);
  ASSERT_EQ(remove(r, "x", v[0]), 0);
  EXPECT_EQ(values(search(r, "x")), (std::vector<uint64_t>{v[3], v[2]}));
  EXPECT_EQ(remove(r, "x", v[1]), -1);
  ASSERT_EQ(remove(r, "x", v[2]), 0);
  EXPECT_EQ(search(r, "x"), v[3]);  // back to a single value; the array's room is free
  ASSERT_EQ(close_filespace64(p), 0);
  std::string b = bytes();
  EXPECT_EQ(b.find(be16(261) + be16(20)), std::string::npos) << "no array record is left in use";
}

// Value changes whose every write fails in turn (as on a full disk): each fails, and the
// file, once closed, is byte for byte what it was, its node naming its old values.
TEST_F(Trie, ValueChangesThatCannotBeWrittenLeaveTheFileAsItWas) {
  for (int values : {1, 2, 3}) {  // a second value is added, a third, or one of three goes
    PDB64* p = create();
    FAVT64_ROOT* r = alloc64_dtree(p, 0);
    const uint64_t root = r->h.fofs, v[4] = {value_record(p), value_record(p), value_record(p), value_record(p)};
    for (int i = 0; i < values; ++i) ASSERT_EQ(insert(r, "x", 0, v[i]), 0);
    ASSERT_EQ(close_filespace64(p), 0);
    const std::string before = bytes();
    for (int n = 1, failed = 1; failed; ++n) {
      p = reopen();
      r = get_root64(nullptr, p, root, dtree64_endian);
      const int64_t at = fac_write_calls;
      fac_fail_write(n, ENOSPC);
      const int rc = values < 3 ? insert(r, "x", 0, v[3]) : remove(r, "x", v[1]);
      fac_fail_write(0, 0);
      failed = fac_write_calls - at >= n;
      ASSERT_EQ(close_filespace64(p), 0);
      EXPECT_EQ(rc, failed ? -1 : 0) << values << " values, write " << n;
      EXPECT_TRUE(!failed || bytes() == before) << values << " values, write " << n;
    }
  }
}

TEST_F(Trie, DeletingTheOnlyKeyFreesTheLowerTrees) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  ASSERT_EQ(flush_favt64_cache(p), 0);
  ASSERT_EQ(fac_flush(&p->fac), 0);
  r = get_root64(nullptr, p, 44, dtree64_endian);
  uint64_t v = value_record(p);
  uint64_t len = v + 12;  // the file: header, anchor, root, the value record
  ASSERT_EQ(insert(r, "abc", 0, v), 0);
  EXPECT_EQ(search(r, "abc"), v);
  EXPECT_EQ(remove(r, "abd", 0), -1);
  EXPECT_EQ(remove(r, "ab", 0), -1);
  ASSERT_EQ(remove(r, "abc", 0), 0);
  EXPECT_EQ(r->node.fofs, 0u);
  EXPECT_EQ(search(r, "abc"), 0u);
  EXPECT_EQ(cached(p).size(), 1u);  // only the top root
  ASSERT_EQ(close_filespace64(p), 0);
  EXPECT_EQ(bytes().size(), len);  // every record made for the key went back
  EXPECT_EQ(bytes().substr(44, 16), root_record(1, 0));
}

TEST_F(Trie, DeletionStopsAtANodeThatStillLeadsOn) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  uint64_t v1 = value_record(p), v2 = value_record(p);
  ASSERT_EQ(insert(r, "ab", 0, v1), 0);
  ASSERT_EQ(insert(r, "abcd", 0, v2), 0);
  ASSERT_EQ(remove(r, "abcd", v2), 0);
  EXPECT_EQ(search(r, "ab"), v1);
  EXPECT_EQ(node_of(get_root64(nullptr, p, node_of(r, 'a').tree, dtree64_endian), 'b').tree, 0u);
  ASSERT_EQ(insert(r, "abcd", 0, v2), 0);
  ASSERT_EQ(remove(r, "ab", 0), 0);  // "ab" loses its value but still leads to "abcd"
  EXPECT_EQ(search(r, "ab"), 0u);
  EXPECT_EQ(search(r, "abcd"), v2);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(Trie, PrefixSearch) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  uint64_t v1 = value_record(p), v2 = value_record(p);
  ASSERT_EQ(insert(r, "ab", 0, v1), 0);
  int len = -1;
  EXPECT_EQ(search(r, "abd", 0, &len), v1);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(search(r, "abd", 1), 0u);
  ASSERT_EQ(insert(r, "abc", 0, v2), 0);
  len = -1;
  EXPECT_EQ(search(r, "abd", 0, &len), v1);  // the node of 'd' is missing at level 3
  EXPECT_EQ(len, 2);
  EXPECT_EQ(search(r, "abcx", 0, &len), v2);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(search(r, "z", 0, &len), 0u);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(insert(r, "", 0, v1), -1);
  ASSERT_EQ(close_filespace64(p), 0);
}

struct Seen {
  std::vector<std::pair<std::string, uint64_t>> items;
  std::vector<bool> with_record;
  size_t stop_after = 0;
};

int collect(uint64_t value, void* record, DTREE64_TRACE_WORK* st) {
  auto* s = static_cast<Seen*>(st->w);
  std::string key;
  for (int64_t i = 0; i < st->target_len; ++i) key += char(st->target[i]);
  s->items.emplace_back(key, value);
  s->with_record.push_back(record != nullptr);
  if (record) {
    EXPECT_EQ(static_cast<ACC_PN64_HEADER*>(record)->a.fofs, value);
  }
  return s->items.size() == s->stop_after ? 9 : 0;
}

TEST_F(Trie, WalksVisitKeysBeforeTheirExtensions) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  std::map<std::string, uint64_t> v;
  for (const char* key : {"b", "ab", "a", "abc", "ba", "c"}) {
    v[key] = value_record(p);
    ASSERT_EQ(insert(r, key, 0, v[key]), 0);
  }
  uint64_t extra = value_record(p);
  ASSERT_EQ(insert(r, "ab", 0, extra), 0);
  Seen up;
  EXPECT_EQ(dtree64_trace_from_small(nullptr, r, collect, &up), 0);
  using Items = std::vector<std::pair<std::string, uint64_t>>;
  EXPECT_EQ(up.items, (Items{{"a", v["a"]}, {"ab", v["ab"]}, {"ab", extra}, {"abc", v["abc"]},
                             {"b", v["b"]}, {"ba", v["ba"]}, {"c", v["c"]}}));
  EXPECT_EQ(up.with_record, (std::vector<bool>{true, false, false, true, true, true, true}));
  Seen down;
  EXPECT_EQ(dtree64_trace_from_large(nullptr, r, collect, &down), 0);
  EXPECT_EQ(down.items, (Items{{"c", v["c"]}, {"b", v["b"]}, {"ba", v["ba"]}, {"a", v["a"]},
                               {"ab", v["ab"]}, {"ab", extra}, {"abc", v["abc"]}}));
  Seen stop;
  stop.stop_after = 3;
  EXPECT_EQ(dtree64_trace_from_small(nullptr, r, collect, &stop), 9);
  EXPECT_EQ(stop.items.size(), 3u);
  for (FAVT64_HEADER* h : cached(p)) EXPECT_EQ(h->pins, 0) << "a walk left a pin";
  // Walks whole and stopped early leave nothing of their cursors behind.
  EXPECT_EQ(tqtest::heap_growth([&] {
              Seen a, b, c;
              c.stop_after = 3;
              dtree64_trace_from_small(nullptr, r, collect, &a);
              dtree64_trace_from_large(nullptr, r, collect, &b);
              dtree64_trace_from_small(nullptr, r, collect, &c);
            }),
            "");
  ASSERT_EQ(close_filespace64(p), 0);

  p = reopen();
  r = get_root64(nullptr, p, 44, dtree64_endian);
  Seen again;
  EXPECT_EQ(dtree64_trace_from_small(nullptr, r, collect, &again), 0);
  EXPECT_EQ(again.items, up.items);
  ASSERT_EQ(close_filespace64(p), 0);
}

// A walk checks the cache once, not once per node: each check walks the whole cache,
// which holds every level of a deep key while the walk is inside it.
TEST_F(Trie, AWalkChecksTheCacheOnceWhateverItsDepth) {
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  const std::string deep(300, 'd');
  ASSERT_EQ(insert(r, deep.c_str(), 0, value_record(p)), 0);
  ASSERT_EQ(insert(r, "e", 0, value_record(p)), 0);
  Seen up, down;
  int64_t before = cache_checks;
  EXPECT_EQ(dtree64_trace_from_small(nullptr, r, collect, &up), 0);
  EXPECT_EQ(cache_checks - before, 1);
  before = cache_checks;
  EXPECT_EQ(dtree64_trace_from_large(nullptr, r, collect, &down), 0);
  EXPECT_EQ(cache_checks - before, 3);  // and before and after the descending walk
  EXPECT_EQ(down.items.size(), 2u);
  ASSERT_EQ(close_filespace64(p), 0);
}

TEST_F(Trie, ManyKeysUnderATinyCache) {
  favt64_cache_limit = 2;  // nearly every step evicts
  PDB64* p = create();
  FAVT64_ROOT* r = alloc64_dtree(p, 0);
  uint64_t v = value_record(p), w = value_record(p);
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string(i * 7919 % 1000));
  for (const std::string& key : keys) ASSERT_EQ(insert(r, key.c_str(), 0, v), 0) << key;
  for (size_t i = 0; i < keys.size(); i += 3) ASSERT_EQ(insert(r, keys[i].c_str(), 0, w), 0);
  for (size_t i = 0; i < keys.size(); i += 2) ASSERT_EQ(remove(r, keys[i].c_str(), 0), 0) << keys[i];
  check_cache64("tiny cache");
  ASSERT_EQ(close_filespace64(p), 0);
  p = reopen();
  r = get_root64(nullptr, p, 44, dtree64_endian);
  for (size_t i = 0; i < keys.size(); ++i) {
    uint64_t got = search(r, keys[i].c_str());
    if (i % 2 == 0)
      EXPECT_EQ(got, 0u) << keys[i];
    else if (i % 3 == 0)
      EXPECT_NE(got, v) << keys[i];  // an array of v and w
    else
      EXPECT_EQ(got, v) << keys[i];
  }
  Seen all;
  EXPECT_EQ(dtree64_trace_from_small(nullptr, r, collect, &all), 0);
  EXPECT_EQ(all.items.size(), keys.size() / 2 + keys.size() / 6);
  EXPECT_TRUE(std::is_sorted(all.items.begin(), all.items.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; }));
  ASSERT_EQ(close_filespace64(p), 0);
}

}  // namespace
