// Trees larger than the cache: a workload over several files that evicts and writes back
// all the time and must find every key after reopening, and a tree of a million nodes in
// one chain (written directly into a file, since insertion keeps trees low) that every
// operation must handle without running out of stack.
#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "store/file_space.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::CaptureStdout;

namespace {

class TreeWorkload : public TreeTest {};

// Lines "=%i" of favt64_test: their number, and whether the keys ascend.
std::pair<size_t, bool> test_lines(const std::string& out) {
  size_t n = 0;
  bool ascending = true;
  long long prev = 0;
  for (size_t at = 0; at < out.size();) {
    size_t end = out.find('\n', at);
    long long v = std::stoll(out.substr(at + 1, end - at - 1));
    if (out[at] != '=' || (n > 0 && v < prev)) ascending = false;
    prev = v;
    ++n;
    at = end + 1;
  }
  return {n, ascending};
}

TEST_F(TreeWorkload, HundredThousandKeysInFourFilesSurviveEvictionAndReopening) {
  constexpr int kFiles = 4;
  constexpr int kPerFile = 25000;
  ASSERT_EQ(favt64_cache_limit, 10000);
  std::mt19937_64 rng(7);
  std::vector<std::vector<int64_t>> keys(kFiles);
  std::set<int64_t> seen;
  for (auto& k : keys)
    while (k.size() < kPerFile) {
      int64_t v = int64_t(rng() >> 34);  // 30 bits: the test prints the low 32 bits ascending
      if (seen.insert(v).second) k.push_back(v);
    }
  PDB64* p[kFiles];
  FAVT64_ROOT* r[kFiles];
  uint64_t root_ofs[kFiles];
  for (int f = 0; f < kFiles; ++f) {
    p[f] = create("t" + std::to_string(f));
    r[f] = favt64_alloc_root(p[f], 1024, int_endian);
    root_ofs[f] = r[f]->h.fofs;
  }
  for (int i = 0; i < kPerFile; ++i)
    for (int f = 0; f < kFiles; ++f) ASSERT_TRUE(insert_key(r[f], keys[size_t(f)][size_t(i)]));
  EXPECT_LE(favt64_node_count(), 10000 + 100);  // evicting all along
  // Delete a tenth again, so write-back also sees freed and moved records.
  for (int f = 0; f < kFiles; ++f)
    for (int i = 0; i < kPerFile; i += 10) ASSERT_TRUE(delete_key(r[f], keys[size_t(f)][size_t(i)]));
  for (int f = 0; f < kFiles; ++f) ASSERT_EQ(close_filespace64(p[f]), 0);
  EXPECT_EQ(favt64_count, 0);

  for (int f = 0; f < kFiles; ++f) {
    p[f] = reopen("t" + std::to_string(f));
    r[f] = get_root64(nullptr, p[f], root_ofs[f], int_endian);
    EXPECT_EQ(r[f]->type, 1024);
  }
  for (int f = 0; f < kFiles; ++f)
    for (int i = 0; i < kPerFile; ++i) {
      FAVT64_NODE* n = find_key(r[f], keys[size_t(f)][size_t(i)]);
      if (i % 10 == 0) {
        ASSERT_EQ(n, nullptr) << "file " << f << " key " << i;
      } else {
        ASSERT_TRUE(n) << "file " << f << " key " << i;
        EXPECT_EQ(key_of(n), keys[size_t(f)][size_t(i)]);
      }
    }
  for (int f = 0; f < kFiles; ++f) {
    CaptureStdout out;
    EXPECT_EQ(favt64_test(nullptr, r[f], root_node64(nullptr, r[f]), int_cmp), 0);
    auto [lines, ascending] = test_lines(out.finish());
    EXPECT_EQ(lines, size_t(kPerFile - kPerFile / 10));
    EXPECT_TRUE(ascending);
    check_cache64("workload");
    ASSERT_EQ(close_filespace64(p[f]), 0);
  }
}

#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
constexpr int64_t kChain = 200000;  // the sanitizers' stacks are larger, their heaps slower
#else
constexpr int64_t kChain = 1000000;
#endif

int count_visit(FAVT64_NODE* n, void* w) {
  auto* c = static_cast<std::pair<int64_t, bool>*>(w);
  if (key_of(n) != c->first) c->second = false;
  ++c->first;
  return 0;
}

TEST_F(TreeWorkload, AChainOfAMillionNodesNeedsNoDeepStack) {
  write_chain_file(path(), kChain);
  PDB64* p = reopen();
  FAVT64_ROOT* r = get_root64(nullptr, p, kChainRoot, int_endian);
  std::pair<int64_t, bool> up{0, true};
  EXPECT_EQ(favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), count_visit, &up), 0);
  EXPECT_EQ(up.first, kChain);
  EXPECT_TRUE(up.second);
  int64_t down = 0;
  favt64_trace_from_large(
      nullptr, r, root_node64(nullptr, r),
      [](FAVT64_NODE*, void* w) {
        ++*static_cast<int64_t*>(w);
        return 0;
      },
      &down);
  EXPECT_EQ(down, kChain);

  int err = 0;
  int64_t lo = kChain - 5, hi = kChain + 5;
  BOUND64_LIST* l = favt64_bound_search(&err, r, root_node64(nullptr, r), &lo, &hi, -1, int_cmp, nullptr);
  int items = 0;
  for (BOUND64_LIST* i = l; i; i = i->next) ++items;
  EXPECT_EQ(items, 5);
  free_bound_list64(l);
  l = favt64_bound_search(&err, r, root_node64(nullptr, r), &lo, &hi, 3, int_cmp, nullptr);
  EXPECT_EQ(err, kFavtLimit);
  free_bound_list64(l);

  {
    CaptureStdout out;
    EXPECT_EQ(favt64_test(nullptr, r, root_node64(nullptr, r), int_cmp), 0);
    std::string text = out.finish();
    EXPECT_TRUE(text.starts_with("=0\n=1\n=2\n"));
    EXPECT_TRUE(text.ends_with("=" + std::to_string(kChain - 1) + "\n"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kChain);
  }

  ASSERT_TRUE(find_key(r, kChain - 1));
  EXPECT_TRUE(insert_key(r, kChain));       // at the bottom of the chain
  EXPECT_TRUE(delete_key(r, kChain - 2));   // near the bottom
  EXPECT_TRUE(delete_key(r, 0));            // the top
  EXPECT_FALSE(find_key(r, 0));
  EXPECT_TRUE(find_key(r, kChain));
  std::pair<int64_t, bool> after{1, true};
  favt64_trace_from_small(nullptr, r, root_node64(nullptr, r), count_visit, &after);
  EXPECT_EQ(after.first, kChain);  // started at 1: kChain - 1 nodes are left
  check_cache64("chain");
  ASSERT_EQ(close_filespace64(p), 0);
}

}  // namespace
