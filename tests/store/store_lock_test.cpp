// The store lock's wrappers: eight pool tasks inserting and deleting in one tree at once,
// with more keys than the cache holds, lose nothing; a root beyond 4 GiB is reachable;
// wrapped results come back unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "platform/d_alloc.h"
#include "platform/task.h"
#include "store/file_space.h"
#include "store/store_lock.h"
#include "support/task_runner.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::anchor_bytes;
using storetest::be16;
using storetest::be64;
using storetest::header_bytes;

namespace {

constexpr int kTasks = 8;
#ifdef TQ_SANITIZE
constexpr int kPerTask = 600;
constexpr int kLimit = 1000;
#else
constexpr int kPerTask = 2000;
constexpr int kLimit = 4000;
#endif

static_assert(kTasks * kPerTask > kLimit, "the tasks insert more keys than the cache holds");

struct Inserter {
  FAVT64_ROOT* root;
  int id;
  std::atomic<int>* done;
  int failures = 0;
};

int64_t key_for(int task, int i) { return int64_t(i) * kTasks + task; }

// Inserts n through the wrapper and gives the node it hands out back: whether that node
// was n.
bool insert_node(FAVT64_ROOT* r, FAVT64_NODE* n) {
  int err = 0;
  FAVT64_NODE* got = n ? l_favt64_insert(&err, r, &r->node, n, int_cmp, nullptr) : nullptr;
  l_favt64_release_node(got);
  return got && got == n;
}

// Inserts its keys, each in two locked steps (make the node, insert it), deletes every
// fifth again, and inserts every key a second time (a duplicate, freed again).
void insert_task(void* w) {
  auto* in = static_cast<Inserter*>(w);
  for (int i = 0; i < kPerTask; ++i) {
    int64_t key = key_for(in->id, i);
    int err = 0;
    if (!insert_node(in->root, l_favt64_alloc_node(in->root, &key, 8))) ++in->failures;
    if (i % 5 == 0) {
      FAVT64_NODE* gone = l_favt64_delete(&err, in->root, &in->root->node, &key, int_cmp, nullptr);
      if (!gone) ++in->failures;
      l_favt64_free_node(gone);
      if (!insert_node(in->root, l_favt64_alloc_node(in->root, &key, 8))) ++in->failures;
    }
    FAVT64_NODE* dup = l_favt64_alloc_node(in->root, &key, 8);
    if (insert_node(in->root, dup)) ++in->failures;
    l_favt64_free_node(dup);
  }
  in->done->fetch_add(1);
}

class StoreLock : public TreeTest {};

TEST_F(StoreLock, EightTasksInsertIntoOneTreeAndLoseNothing) {
  favt64_cache_limit = kLimit;
  PDB64* p = create();
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 1024, int_endian);
  uint64_t root_ofs = r->h.fofs;
  std::atomic<int> done{0};
  std::vector<Inserter> ins;
  for (int t = 0; t < kTasks; ++t) ins.push_back(Inserter{r, t, &done});
  for (int t = 0; t < kTasks; ++t) ASSERT_GE(create_task(insert_task, &ins[size_t(t)], 3), 0);
  ASSERT_TRUE(tqtest::wait_until([&] { return done.load() == kTasks; }, std::chrono::seconds(120)))
      << "the inserting tasks did not finish";
  for (const Inserter& in : ins) EXPECT_EQ(in.failures, 0) << "task " << in.id;
  l_check_cache64("after the tasks");

  std::vector<int64_t> keys;
  FAVT64_NODE* first_top = l_root_node64(nullptr, r);  // held: released after the walk
  l_favt64_trace_from_small(
      nullptr, r, first_top,
      [](FAVT64_NODE* n, void* w) {
        static_cast<std::vector<int64_t>*>(w)->push_back(key_of(n));
        return 0;
      },
      &keys);
  l_favt64_release_node(first_top);
  ASSERT_EQ(keys.size(), size_t(kTasks * kPerTask));
  for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(keys[i], int64_t(i));
  ASSERT_EQ(l_close_filespace64(p), 0);

  p = reopen();
  r = l_get_root64(nullptr, p, root_ofs, int_endian);
  FAVT64_NODE* top = l_root_node64(nullptr, r);
  for (int64_t k = 0; k < kTasks * kPerTask; ++k) {
    FAVT64_NODE* n = l_favt64_search(nullptr, r, top, &k, int_cmp, nullptr);
    ASSERT_TRUE(n) << k;
    l_favt64_release_node(n);
  }
  l_favt64_release_node(top);
  storetest::CaptureStdout out;
  EXPECT_EQ(favt64_test(nullptr, r, root_node64(nullptr, r), int_cmp), 0);
  std::string lines = out.finish();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), kTasks * kPerTask);
  ASSERT_EQ(l_close_filespace64(p), 0);
}

TEST_F(StoreLock, TopNodeStaysBetweenSteps) {
  favt64_cache_limit = 0;
  PDB64* p = create();
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 0, int_endian);
  for (int64_t k = 0; k < 50; ++k) ASSERT_TRUE(insert_key(r, k));
  ASSERT_EQ(l_flush_favt64_cache(p), 0);
  r = l_get_root64(nullptr, p, 44, int_endian);
  FAVT64_NODE* top = l_root_node64(nullptr, r);
  // Other threads' steps load and evict everything else in between.
  EXPECT_EQ(keys_of(r).size(), 50u);
  FAVT64_ROOT* other = l_favt64_alloc_root(p, 0, int_endian);
  EXPECT_TRUE(insert_key(other, 1));
  EXPECT_LE(favt64_node_count(), 2);  // the two top nodes
  int64_t key = 49;
  FAVT64_NODE* n = l_favt64_search(nullptr, r, top, &key, int_cmp, nullptr);
  ASSERT_TRUE(n);
  EXPECT_EQ(key_of(n), 49);
  l_favt64_release_node(n);
  l_favt64_release_node(top);
  ASSERT_EQ(l_close_filespace64(p), 0);
}

// One task holds the nodes its searches hand out and reads them after the lock is gone,
// while others delete and re-insert those very keys and churn enough other keys through the
// cache to evict it many times over. A held node keeps its data even when it has been
// deleted and freed meanwhile (the asan preset checks every read). The churn goes on until
// the holder has made kOverlapRounds rounds, so a loaded machine cannot end it first.
constexpr int kHeldKeys = 300;
constexpr int kChurnTasks = 3;
#ifdef TQ_SANITIZE
constexpr int kChurnKeys = 1500;
#else
constexpr int kChurnKeys = 4000;
#endif
constexpr int kHoldLimit = 100;
constexpr int kOverlapRounds = 100;
static_assert(kChurnTasks * kChurnKeys > 20 * kHoldLimit, "the churn evicts the cache many times");

// Adds kChurnKeys fresh keys, and goes on with the held keys alone until told to stop.
void churn(FAVT64_ROOT* r, int id, const std::atomic<bool>& stop) {
  int err = 0;
  for (int i = 0; i < kChurnKeys || !stop.load(); ++i) {
    int64_t fresh = kHeldKeys + int64_t(i) * kChurnTasks + id;
    if (i < kChurnKeys) insert_node(r, l_favt64_alloc_node(r, &fresh, 8));
    int64_t held = (i * 7 + id) % kHeldKeys;  // a key the holder may be holding
    if (FAVT64_NODE* gone = l_favt64_delete(&err, r, &r->node, &held, int_cmp, nullptr)) {
      l_favt64_free_node(gone);
      insert_node(r, l_favt64_alloc_node(r, &held, 8));
    }
  }
}

TEST_F(StoreLock, HeldNodesSurviveOtherTasksEvictingAndFreeingThem) {
  favt64_cache_limit = kHoldLimit;
  PDB64* p = create();
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 0, int_endian);
  for (int64_t k = 0; k < kHeldKeys; ++k) ASSERT_TRUE(insert_node(r, l_favt64_alloc_node(r, &k, 8)));
  std::atomic<int> churning{kChurnTasks};
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  for (int t = 0; t < kChurnTasks; ++t)
    tasks.push_back(std::make_unique<tqtest::Task>([r, t, &churning, &stop] {
      churn(r, t, stop);
      churning.fetch_sub(1);
    }));
  constexpr int kMaxRounds = 1000000;  // a bound should a churning task never end
  int rounds = 0, wrong = 0, held_total = 0;
  while ((churning.load() > 0 || rounds == 0) && rounds < kMaxRounds) {
    FAVT64_NODE* top = l_root_node64(nullptr, r);
    std::vector<std::pair<int64_t, FAVT64_NODE*>> held;
    for (int64_t k = rounds % 3; k < kHeldKeys; k += 3)
      if (FAVT64_NODE* n = l_favt64_search(nullptr, r, top, &k, int_cmp, nullptr)) held.emplace_back(k, n);
    for (auto& [k, n] : held) wrong += key_of(n) != k;  // the lock is free: others run
    for (auto& [k, n] : held) l_favt64_release_node(n);
    l_favt64_release_node(top);
    held_total += int(held.size());
    if (++rounds == kOverlapRounds) stop = true;
  }
  for (auto& t : tasks) ASSERT_TRUE(t->wait(std::chrono::seconds(120))) << "a churning task did not finish";
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(held_total, kHeldKeys);
  l_check_cache64("after the churn");
  std::vector<int64_t> keys = keys_of(r);
  EXPECT_EQ(keys.size(), size_t(kHeldKeys + kChurnTasks * kChurnKeys));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  ASSERT_EQ(l_close_filespace64(p), 0);
}

TEST_F(StoreLock, AHeldNodeThatIsFreedKeepsItsDataUntilReleased) {
  PDB64* p = create();
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 0, int_endian);
  for (int64_t k : {1, 2, 3}) ASSERT_TRUE(insert_node(r, l_favt64_alloc_node(r, &k, 8)));
  int64_t key = 3;
  FAVT64_NODE* a = l_favt64_search(nullptr, r, nullptr, &key, int_cmp, nullptr);
  FAVT64_NODE* b = l_favt64_search(nullptr, r, nullptr, &key, int_cmp, nullptr);  // held twice
  ASSERT_TRUE(a);
  ASSERT_EQ(a, b);
  FAVT64_NODE* gone = l_favt64_delete(nullptr, r, &r->node, &key, int_cmp, nullptr);
  ASSERT_EQ(gone, a);
  l_favt64_free_node(gone);  // out of the tree, the cache and the file; the memory stays
  EXPECT_TRUE(a->h.flags & kFavtFreed);
  EXPECT_EQ(key_of(a), 3);
  l_favt64_release_node(a);
  EXPECT_EQ(key_of(b), 3);
  l_favt64_release_node(b);  // the last hold: now it goes
  EXPECT_EQ(keys_of(r), (std::vector<int64_t>{1, 2}));
  ASSERT_EQ(l_close_filespace64(p), 0);
}

// The last release of a held node that was deleted and freed gives its memory back.
TEST_F(StoreLock, TheLastReleaseOfAFreedNodeGivesItsMemoryBack) {
  constexpr int64_t kBig = 1 << 16;  // far above any pooled record
  PDB64* p = create();
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 0, int_endian);
  std::string data(size_t(kBig), '\x5A');
  int64_t key = 7;
  std::memcpy(data.data(), &key, 8);
  ASSERT_TRUE(insert_node(r, l_favt64_alloc_node(r, data.data(), kBig)));
  FAVT64_NODE* held = l_favt64_search(nullptr, r, nullptr, &key, int_cmp, nullptr);
  ASSERT_TRUE(held);
  FAVT64_NODE* gone = l_favt64_delete(nullptr, r, &r->node, &key, int_cmp, nullptr);
  ASSERT_EQ(gone, held);
  l_favt64_free_node(gone);
  int64_t before = get_d_used_memory();
  l_favt64_release_node(held);
  EXPECT_GE(before - get_d_used_memory(), kBig / 2);  // room for what other threads take meanwhile
  ASSERT_EQ(l_close_filespace64(p), 0);
}

TEST_F(StoreLock, SearchesAndWalksStartFromTheCurrentTop) {
  PDB64* p = create();
  FAVT64_ROOT* r = l_favt64_alloc_root(p, 0, int_endian);
  for (int64_t k : {1, 2}) ASSERT_TRUE(insert_node(r, l_favt64_alloc_node(r, &k, 8)));
  FAVT64_NODE* stale = l_root_node64(nullptr, r);
  ASSERT_EQ(key_of(stale), 1);
  int64_t three = 3;
  ASSERT_TRUE(insert_node(r, l_favt64_alloc_node(r, &three, 8)));  // 2 rises to the top
  ASSERT_EQ(shape(r), "2:2(1:1,3:1)");
  FAVT64_NODE* n = l_favt64_search(nullptr, r, stale, &three, int_cmp, nullptr);
  ASSERT_TRUE(n);  // from the stale top 1 the way to 3 is gone
  EXPECT_EQ(key_of(n), 3);
  l_favt64_release_node(n);
  std::vector<int64_t> keys;
  auto collect = [](FAVT64_NODE* node, void* w) {
    static_cast<std::vector<int64_t>*>(w)->push_back(key_of(node));
    return 0;
  };
  EXPECT_EQ(l_favt64_trace_from_large(nullptr, r, stale, collect, &keys), 0);
  EXPECT_EQ(keys, (std::vector<int64_t>{3, 2, 1}));
  int64_t lo = 0, hi = 9;
  BOUND64_LIST* l = l_favt64_bound_search(nullptr, r, stale, &lo, &hi, -1, int_cmp, nullptr);
  int items = 0;
  for (BOUND64_LIST* i = l; i; i = i->next) ++items;
  EXPECT_EQ(items, 3);
  free_bound_list64(l);
  l_favt64_release_node(stale);
  ASSERT_EQ(l_close_filespace64(p), 0);
}

TEST_F(StoreLock, RootBeyondFourGibibytesIsReachable) {
  // Header, anchor, a 64-bit-sized filler record (sparse), then the root.
  uint64_t filler = (uint64_t(1) << 32) + 100;
  uint64_t root_ofs = 44 + filler;
  {
    int fd = ::open(path().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string head = header_bytes() + anchor_bytes(0) + be16(123) + be16(0xFFFF) + be64(filler);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    std::string root = root_record(4, 0);
    ASSERT_EQ(::pwrite(fd, root.data(), root.size(), off_t(root_ofs)), ssize_t(root.size()));
    ::close(fd);
  }
  PDB64* p = reopen();
  ASSERT_TRUE(p);
  FAVT64_ROOT* r = l_get_root64(nullptr, p, root_ofs, int_endian);
  EXPECT_EQ(r->h.fofs, root_ofs);
  EXPECT_EQ(r->type, 4);
  EXPECT_TRUE(insert_key(r, 3));  // appended behind the root
  ASSERT_EQ(l_close_filespace64(p), 0);
  p = reopen();
  r = l_get_root64(nullptr, p, root_ofs, int_endian);
  EXPECT_EQ(keys_of(r), std::vector<int64_t>{3});
  ASSERT_EQ(l_close_filespace64(p), 0);
}

TEST_F(StoreLock, WrappersPassResultsThrough) {
  PDB64* p = create();
  PN64_HEADER h{};
  h.type = 123;
  h.size = 40;
  int64_t at = l_alloc_filespace64(p, &h);
  EXPECT_EQ(at, 44);
  unsigned char rec[40];
  for (int i = 0; i < 40; ++i) rec[i] = uint8_t(i);
  set_rec_head64(rec, 123, 40);
  EXPECT_EQ(l_write_filespace64f(p, uint64_t(at), rec), 28);
  auto* back = static_cast<unsigned char*>(l_read_filespace64f(p, uint64_t(at)));
  ASSERT_TRUE(back);
  EXPECT_EQ(std::memcmp(back, rec, 40), 0);
  d_f_ree(back);
  ACC_PN64_HEADER* acc = l_read_filespace64(p, uint64_t(at));
  ASSERT_TRUE(acc);
  EXPECT_EQ(acc->a.fofs, uint64_t(at));
  EXPECT_EQ(l_write_filespace64(p, acc), 28);
  d_f_ree(acc);
  ACC_PN64_HEADER* head = l_read_filespace64_header(p, uint64_t(at));
  EXPECT_EQ(rec_size64(&head->h), 40u);
  d_f_ree(head);
  PN64_HEADER* fh = l_read_filespace64f_header(p, uint64_t(at));
  EXPECT_EQ(rec_type64(fh), 123);
  d_f_ree(fh);
  EXPECT_EQ(l_read_filespace64f(p, 9999), nullptr);
  EXPECT_EQ(l_free_filespace64(p, uint64_t(at)), 0);
  l_flush_filespace64(p);
  EXPECT_EQ(l_truncate_filespace64(p), 0);
  EXPECT_EQ(l_close_filespace64(p), 0);
  EXPECT_EQ(bytes(), "");
}

}  // namespace
