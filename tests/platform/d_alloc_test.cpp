// Debug heap: double-free reports, per-site accounting, resizing, the quarantine, header
// checks, the purge round, the diagnostics, and the two small allocators.
#include <gtest/gtest.h>
#ifdef TQ_SANITIZE
#include <sanitizer/lsan_interface.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/task.h"
#include "support/heap_growth.h"
#include "support/test_util.h"
#include "text/l_string.h"

namespace {

using testing::ExitedWithCode;
using tqtest::panic_banner;

// Live bytes of the site (file, line), or -1 when the heap has no such site.
int64_t site_size(const char* file, int line) {
  for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m))
    if (m->line == line && strcmp(m->file, file) == 0) return m->size;
  return -1;
}

// In a death test's child, lets what the heap prints on standard output reach the
// matched standard error in order.
void stdout_to_stderr() {
  fflush(stdout);
  dup2(2, 1);
}

tq::MEM_HEADER* header_of(void* p) { return static_cast<tq::MEM_HEADER*>(p) - 1; }

// ---- double free ---------------------------------------------------------------------

TEST(DAllocDeathTest, DoubleFreeOfSmallBlockNamesTheFirstFree) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(32, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "first_free.cpp", 11);
        tq::xx_d_f_ree(p, "second_free.cpp", 22);
      },
      ExitedWithCode(1), "FILE first_free\\.cpp 11\n" + panic_banner("xx_d_f_ree(1)"));
}

// Above 128 KiB glibc gives the block back with munmap: reading its header after the
// free would fault, and under ASan a second system free would be reported first.
TEST(DAllocDeathTest, DoubleFreeOfLargeBlockNamesTheFirstFree) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(300 * 1024, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "first_free.cpp", 33);
        tq::xx_d_f_ree(p, "second_free.cpp", 44);
      },
      ExitedWithCode(1), "FILE first_free\\.cpp 33\n" + panic_banner("xx_d_f_ree(1)"));
}

TEST(DAllocDeathTest, ChangeStatisticsOnFreedBlockNamesTheFree) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(200 * 1024, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "first_free.cpp", 55);
        tq::xx_change_statistics(p, "moved_to.cpp", 66);
      },
      ExitedWithCode(1), "FILE first_free\\.cpp 55\n" + panic_banner("xx_d_f_ree(1)"));
}

TEST(DAllocDeathTest, ReallocOfFreedBlockNamesTheFree) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(64, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "first_free.cpp", 77);
        tq::d_re_alloc(p, 128);
      },
      ExitedWithCode(1), "FILE first_free\\.cpp 77\n" + panic_banner("xx_d_f_ree(1)"));
}

// A free of a large block older than the last 1000 is no longer on record: the pointer is
// still refused, without a FILE line (nothing is printed between the mark and the banner).
TEST(DAllocDeathTest, FreeAgedOutOfTheRecordsIsStillRefused) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        std::vector<void*> others;
        for (int i = 0; i < 1001; ++i) others.push_back(d_alloc(1777));
        void* p = tq::xx_d_alloc(1777, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "first_free.cpp", 88);
        for (void* o : others) d_f_ree(o);
        fputs("MARK", stderr);
        tq::xx_d_f_ree(p, "second_free.cpp", 99);
      },
      ExitedWithCode(1), "MARK" + panic_banner("xx_d_f_ree(1)"));
}

// A small block's header keeps its free site while the slot waits for reuse, however many
// frees came since; other blocks of its size are freed after it (and reused first).
// (Sanitizer builds keep small blocks on the system heap.)
#ifndef TQ_SANITIZE
TEST(DAllocDeathTest, SmallBlockNamesItsFreeBeyondTheRecords) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(700, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "old_free.cpp", 61);
        for (int i = 0; i < 3000; ++i) d_f_ree(d_alloc(16));
        tq::xx_d_f_ree(p, "second_free.cpp", 62);
      },
      ExitedWithCode(1), "FILE old_free\\.cpp 61\n" + panic_banner("xx_d_f_ree(1)"));
}
#else
// The leak checker sees every block of the heap: a block nobody points to is reported.
__attribute__((noinline)) void drop_blocks(size_t size) {
  for (int i = 0; i < 64; ++i) d_alloc(size);
}
TEST(DAllocDeathTest, LostBlockIsReportedAsLeak) {
  for (size_t size : {16, 2000})
    EXPECT_EXIT(
        {
          drop_blocks(size);
          _exit(__lsan_do_recoverable_leak_check());
        },
        ExitedWithCode(1), "detected memory leaks") << size;
}
#endif

// The records keep one entry per address: a block freed again and again (glibc hands the
// same address back) does not push older frees of other blocks out. (The sanitizer's
// allocator never hands an address back at once.)
#ifndef TQ_SANITIZE
TEST(DAllocDeathTest, RepeatedFreesOfOneAddressKeepOtherRecords) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(2000, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "kept_free.cpp", 31);
        for (int i = 0; i < 3000; ++i) tq::xx_d_f_ree(tq::xx_d_alloc(5000, "loop.cpp", 1), "loop_free.cpp", 2);
        tq::xx_d_f_ree(p, "second_free.cpp", 32);
      },
      ExitedWithCode(1), "FILE kept_free\\.cpp 31\n" + panic_banner("xx_d_f_ree(1)"));
}
#endif

// An address the heap never gave out is refused without being read.
TEST(DAllocDeathTest, ForeignPointerIsRefused) {
  EXPECT_EXIT(
      {
        static char not_ours[256];
        tq::xx_d_f_ree(not_ours + 64, "here.cpp", 1);
      },
      ExitedWithCode(1), panic_banner("xx_d_f_ree(1)"));
}

// With the quarantine on, a freed block held there is found even when its record aged out.
TEST(DAllocDeathTest, DoubleFreeOfQuarantinedBlockNamesTheFree) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        tq::start_alloc_time_list();
        void* p = tq::xx_d_alloc(48, "alloc_here.cpp", 5);
        tq::xx_d_f_ree(p, "quarantined.cpp", 12);
        for (int i = 0; i < 1100; ++i) d_f_ree(d_alloc(16));
        tq::xx_d_f_ree(p, "second_free.cpp", 13);
      },
      ExitedWithCode(1), "FILE quarantined\\.cpp 12\n" + panic_banner("xx_d_f_ree(1)"));
}

// ---- accounting ------------------------------------------------------------------------

TEST(DAlloc, SiteTotalsFollowAllocationsMovesAndFrees) {
  void* a = tq::xx_d_alloc(100, "acct_site_a.cpp", 1);
  void* b = tq::xx_d_alloc(250, "acct_site_b.cpp", 2);
  EXPECT_EQ(site_size("acct_site_a.cpp", 1), 100);
  EXPECT_EQ(site_size("acct_site_b.cpp", 2), 250);

  // A site is its file text and line, not the text's address.
  std::string same_name = "acct_site_a.cpp";
  void* a2 = tq::xx_d_alloc(7, same_name.c_str(), 1);
  EXPECT_EQ(site_size("acct_site_a.cpp", 1), 107);

  tq::xx_change_statistics(a, "acct_site_b.cpp", 2);
  EXPECT_EQ(site_size("acct_site_a.cpp", 1), 7);
  EXPECT_EQ(site_size("acct_site_b.cpp", 2), 350);

  tq::xx_d_f_ree(a, "acct_free.cpp", 3);
  EXPECT_EQ(site_size("acct_site_b.cpp", 2), 250);
  tq::xx_d_f_ree(b, "acct_free.cpp", 3);
  tq::xx_d_f_ree(a2, "acct_free.cpp", 3);
  EXPECT_EQ(site_size("acct_site_a.cpp", 1), 0);
  EXPECT_EQ(site_size("acct_site_b.cpp", 2), 0);
  EXPECT_EQ(site_size("acct_free.cpp", 3), -1) << "a free site is no allocation site";
}

// The tests' leak finder (support/heap_growth.h) reads these totals: a site that every run
// leaves larger is named with the last run's growth; bytes a run gives back, the calling
// task's temporaries, and a cache the first run and the next two fill are not.
TEST(DAlloc, HeapGrowthNamesOnlyTheSitesEveryRunLeavesLarger) {
  std::vector<void*> kept;
  auto keep = [&](int line) { kept.push_back(tq::xx_d_alloc(24, "growth_site.cpp", line)); };
  const struct {
    const char* name;
    std::function<void()> op;
    std::string leaks;
  } cases[] = {
      {"a block left", [&] { keep(1); }, "growth_site.cpp:1 +24\n"},
      {"a block given back", [] { d_f_ree(tq::xx_d_alloc(24, "growth_site.cpp", 2)); }, ""},
      {"a temporary", [] { set_buffer(tq::xx_d_alloc(24, "growth_site.cpp", 3)); }, ""},
      {"a cache filled over three runs", [&, runs = 0]() mutable { if (++runs <= 3) keep(4); }, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(tqtest::heap_growth(c.op), c.leaks) << c.name;
  for (void* p : kept) d_f_ree(p);
}

TEST(DAlloc, HeaderRecordsSitesAndSize) {
  void* p = tq::xx_d_alloc(40, "hdr_site.cpp", 9);
  tq::MEM_HEADER* h = header_of(p);
  EXPECT_EQ(h->size, 40);
  EXPECT_STREQ(h->first_alloc_file, "hdr_site.cpp");
  EXPECT_EQ(h->first_alloc_line, 9);
  EXPECT_EQ(h->last_free_file, nullptr);
  EXPECT_EQ(h->last_free_line, 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << "blocks keep malloc's alignment";
  d_f_ree(p);
}

TEST(DAlloc, SiteWalkVisitsEachSiteOnce) {
  // Lines 53 apart share a chain; neighbours land in the next chains.
  const int lines[] = {1000, 1053, 1106, 1001, 1002};
  std::vector<void*> blocks;
  for (int line : lines) blocks.push_back(tq::xx_d_alloc(1, "walk_site.cpp", line));
  for (int line : lines) {
    int seen = 0;
    for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m))
      if (m->line == line && strcmp(m->file, "walk_site.cpp") == 0) ++seen;
    EXPECT_EQ(seen, 1) << "line " << line;
  }
  for (void* p : blocks) d_f_ree(p);
}

TEST(DAlloc, ZeroSizedNullFreeAndCalloc) {
  d_f_ree(nullptr);  // does nothing
  void* z = d_alloc(0);
  ASSERT_NE(z, nullptr);
  d_f_ree(z);
  auto* c = static_cast<unsigned char*>(tq::xx_d_calloc(13, 7, "calloc_site.cpp", 4));
  EXPECT_EQ(site_size("calloc_site.cpp", 4), 91);
  EXPECT_TRUE(std::all_of(c, c + 91, [](unsigned char x) { return x == 0; }));
  d_f_ree(c);
}

TEST(DAlloc, LivenessComesFromTheHeapsRecords) {
  auto* p = static_cast<char*>(d_alloc(40));
  EXPECT_TRUE(tq::d_is_live(p));
  EXPECT_FALSE(tq::d_is_live(p + 16)) << "an address inside a block is no block";
  EXPECT_FALSE(tq::d_is_live(nullptr));
  void* moved = tq::d_re_alloc(p, 1 << 20);
  ASSERT_NE(moved, nullptr);
  EXPECT_TRUE(tq::d_is_live(moved));
  d_f_ree(moved);
  EXPECT_FALSE(tq::d_is_live(moved));
}

TEST(DAllocDeathTest, CallocOverflowEndsTheProcess) {
  EXPECT_EXIT(d_calloc(SIZE_MAX / 2, 4), ExitedWithCode(1), panic_banner("alloc"));
}

// The set of live addresses must survive growth and deletions in any order.
TEST(DAlloc, ManyBlocksStayLiveUntilFreed) {
  std::vector<void*> blocks;
  for (int i = 0; i < 20000; ++i) blocks.push_back(tq::xx_d_alloc(size_t(i % 97), "many_site.cpp", 1));
  std::mt19937 rng(7);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  for (size_t i = 0; i < blocks.size() / 2; ++i) d_f_ree(blocks[i]);
  for (size_t i = blocks.size() / 2; i < blocks.size(); ++i) tq::check_mem_header(blocks[i]);
  for (size_t i = blocks.size() / 2; i < blocks.size(); ++i) d_f_ree(blocks[i]);
  EXPECT_EQ(site_size("many_site.cpp", 1), 0);
}

// One pool task and the test's own task allocate and free at the same time. (One task
// only: it stays in the pool afterwards, and other suites count idle threads.)
void churn(void*) {
  std::vector<void*> mine;
  for (int i = 0; i < 20000; ++i) {
    mine.push_back(tq::xx_d_alloc(24, "conc_site.cpp", 1));
    if (i % 3 == 0) {
      d_f_ree(mine.back());
      mine.pop_back();
    }
  }
  for (void* p : mine) d_f_ree(p);
}

std::atomic<int> churn_done;
void churn_task(void*) {
  churn(nullptr);
  churn_done.fetch_add(1);
}

TEST(DAlloc, TasksAllocateConcurrently) {
  churn_done = 0;
  ASSERT_GE(create_task(churn_task, nullptr, 1), 0);
  churn(nullptr);
  ASSERT_TRUE(tqtest::wait_until([] { return churn_done.load() == 1; }, std::chrono::seconds(60)))
      << "the allocating task did not finish";
  EXPECT_EQ(site_size("conc_site.cpp", 1), 0);
}

// Blocks made on one task are checked and freed on the other (through a ring of slots
// each side owns in turn), so slots move between the threads' caches and the pools; every
// block keeps its bytes and every site ends at zero. Each side sleeps until the other has
// filled or emptied the slot it needs, woken by that side.
constexpr int kHandOver = 30000;
constexpr size_t kHandSizes[] = {0, 16, 200, 1024, 1025, 3000};
std::atomic<void*> hand_ring[64];
std::atomic<int> hand_bad;
std::mutex hand_mutex;
std::condition_variable hand_turn;

// Waits until cell holds a block (full) or none: false when the other side did not come.
bool wait_cell(std::atomic<void*>& cell, bool full) {
  std::unique_lock<std::mutex> hold(hand_mutex);
  return hand_turn.wait_for(hold, std::chrono::seconds(60),
                            [&] { return (cell.load(std::memory_order_acquire) != nullptr) == full; });
}
void set_cell(std::atomic<void*>& cell, void* p) {
  {
    std::lock_guard<std::mutex> hold(hand_mutex);  // a side between its test and its sleep misses no wake-up
    cell.store(p, std::memory_order_release);
  }
  hand_turn.notify_all();
}

std::atomic<int> producer_done;
void producer_task(void*) {
  for (int i = 0; i < kHandOver; ++i) {
    const size_t n = kHandSizes[i % 6];
    auto* p = static_cast<unsigned char*>(tq::xx_d_alloc(n, "hand_site.cpp", int(i % 6)));
    memset(p, i & 0xff, n);
    void* own = tq::xx_d_alloc(24, "hand_own.cpp", 1);  // made and freed here meanwhile
    std::atomic<void*>& cell = hand_ring[i % 64];
    if (!wait_cell(cell, false)) ++hand_bad;
    set_cell(cell, p);
    d_f_ree(own);
  }
  producer_done.fetch_add(1);
}

TEST(DAlloc, BlocksFreedOnAnotherThreadKeepTheirBytesAndAccounting) {
  // The heap's own records (sites, the last 1000 frees of large blocks) made first.
  for (int k = 0; k < 6; ++k) d_f_ree(tq::xx_d_alloc(1, "hand_site.cpp", k));
  d_f_ree(tq::xx_d_alloc(1, "hand_own.cpp", 1));
  std::vector<void*> large;
  for (int i = 0; i < 1000; ++i) large.push_back(d_alloc(2000));
  for (void* p : large) d_f_ree(p);
  const int64_t before = tq::get_d_used_memory();
  producer_done = 0;
  hand_bad = 0;
  ASSERT_GE(create_task(producer_task, nullptr, 1), 0);
  for (int i = 0; i < kHandOver; ++i) {
    std::atomic<void*>& cell = hand_ring[i % 64];
    ASSERT_TRUE(wait_cell(cell, true)) << "block " << i << " never came";
    void* p = cell.load(std::memory_order_acquire);
    set_cell(cell, nullptr);
    const size_t n = kHandSizes[i % 6];
    const auto* b = static_cast<unsigned char*>(p);
    if (!tq::d_is_live(p) || !std::all_of(b, b + n, [&](unsigned char c) { return c == (i & 0xff); })) ++hand_bad;
    d_f_ree(p);
  }
  ASSERT_TRUE(tqtest::wait_until([] { return producer_done.load() == 1; }, std::chrono::seconds(60)));
  EXPECT_EQ(hand_bad.load(), 0);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(site_size("hand_site.cpp", k), 0) << k;
  EXPECT_EQ(site_size("hand_own.cpp", 1), 0);
  EXPECT_EQ(tq::get_d_used_memory(), before);
}

// ---- resizing --------------------------------------------------------------------------

TEST(DAlloc, ReallocOfNullGivesZeroedBlock) {
  // Leave dirty bytes where the next block is likely to land.
  void* dirty = d_alloc(10);
  memset(dirty, 0xAB, 10);
  d_f_ree(dirty);
  auto* p = static_cast<unsigned char*>(tq::d_re_alloc(nullptr, 10));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(std::all_of(p, p + 10, [](unsigned char x) { return x == 0; }));
  EXPECT_EQ(header_of(p)->size, 10);
  d_f_ree(p);
}

TEST(DAlloc, ReallocKeepsContentsAndAccounting) {
  auto* p = static_cast<unsigned char*>(tq::xx_d_alloc(100, "realloc_site.cpp", 5));
  for (int i = 0; i < 100; ++i) p[i] = static_cast<unsigned char>(i);
  // Within its 112-byte slot the block stays; beyond it, it moves to a larger slot.
  auto* in_slot = static_cast<unsigned char*>(tq::d_re_alloc(p, 110));
#ifndef TQ_SANITIZE
  EXPECT_EQ(in_slot, p);
#endif
  p = in_slot;
  EXPECT_EQ(site_size("realloc_site.cpp", 5), 110);
  auto* m = static_cast<unsigned char*>(tq::d_re_alloc(p, 500));
  ASSERT_NE(m, p);
  EXPECT_FALSE(tq::d_is_live(p));
  EXPECT_EQ(site_size("realloc_site.cpp", 5), 500);
  p = m;
  auto* q = static_cast<unsigned char*>(tq::d_re_alloc(p, 300000));
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(q[i], i) << "byte " << i;
  EXPECT_EQ(site_size("realloc_site.cpp", 5), 300000);
  EXPECT_EQ(header_of(q)->size, 300000);
  tq::check_mem_header(q);
  auto* r = static_cast<unsigned char*>(tq::d_re_alloc(q, 50));
  ASSERT_NE(r, nullptr);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(r[i], i);
  EXPECT_EQ(site_size("realloc_site.cpp", 5), 50);
  d_f_ree(r);
  EXPECT_EQ(site_size("realloc_site.cpp", 5), 0);
}

TEST(DAlloc, ReallocThatCannotGrowLeavesTheBlockAlone) {
  auto* p = static_cast<char*>(tq::xx_d_alloc(64, "refused_site.cpp", 6));
  memcpy(p, "kept", 5);
  errno = 0;
  EXPECT_EQ(tq::d_re_alloc(p, SIZE_MAX / 2), nullptr);
  EXPECT_EQ(errno, ENOMEM);
#if !defined(TQ_SANITIZE) && !defined(TQ_SANITIZE_THREAD)  // the sanitizers' allocators abort instead of refusing
  EXPECT_EQ(tq::d_re_alloc(p, size_t(1) << 50), nullptr);
#endif
  EXPECT_STREQ(p, "kept");
  EXPECT_EQ(site_size("refused_site.cpp", 6), 64);
  tq::check_mem_header(p);
  d_f_ree(p);
}

// ---- header checks ------------------------------------------------------------------------

TEST(DAllocDeathTest, BrokenHeadersEndTheProcess) {
  EXPECT_EXIT(
      {
        void* p = d_alloc(16);
        header_of(p)->size = -1;
        d_f_ree(p);
      },
      ExitedWithCode(1), panic_banner("xx_d_f_ree(1)"));
  EXPECT_EXIT(
      {
        void* p = d_alloc(16);
        header_of(p)->mlp = nullptr;
        d_f_ree(p);
      },
      ExitedWithCode(1), panic_banner("xx_d_f_ree(1)"));
  EXPECT_EXIT(
      {
        void* p = d_alloc(16);
        header_of(p)->size = -1;
        tq::check_mem_header(p);
      },
      ExitedWithCode(1), panic_banner("check_mem_header(3)"));
  EXPECT_EXIT(
      {
        void* p = tq::xx_d_alloc(16, "hc_site4.cpp", 1);
        header_of(p)->mlp->size = -5;
        tq::check_mem_header(p);
      },
      ExitedWithCode(1), panic_banner("check_mem_header(4)"));
  EXPECT_EXIT(
      {
        void* p = tq::xx_d_alloc(16, "hc_site2.cpp", 1);
        header_of(p)->mlp->size = 3;
        tq::check_mem_header(p);
      },
      ExitedWithCode(1), panic_banner("check_mem_header(2)"));
  EXPECT_EXIT(
      {
        void* p = tq::xx_d_alloc(16, "hc_site_r.cpp", 1);
        header_of(p)->mlp->size = 3;
        tq::d_re_alloc(p, 32);
      },
      ExitedWithCode(1), panic_banner("d_re_alloc"));
  EXPECT_EXIT(
      {
        void* p = tq::xx_d_alloc(16, "hc_site_f.cpp", 1);
        header_of(p)->mlp->size = 3;
        d_f_ree(p);
      },
      ExitedWithCode(1), panic_banner("xx_d_f_ree(2)"));
  EXPECT_EXIT(
      {
        static char not_ours[64];
        tq::check_mem_header(not_ours + 16);
      },
      ExitedWithCode(1), panic_banner("check_mem_header(1)"));
}

TEST(DAllocDeathTest, StartingTheHeapAfterUseEndsTheProcess) {
  EXPECT_EXIT(tq::init_d_alloc(), ExitedWithCode(1), panic_banner("init_d_alloc"));
}

// ---- quarantine ---------------------------------------------------------------------------

TEST(DAllocDeathTest, WriteIntoQuarantinedBlockIsReportedOnEviction) {
  EXPECT_EXIT(
      {
        tq::start_alloc_time_list();
        auto* p = static_cast<char*>(tq::xx_d_alloc(64, "q_alloc.cpp", 7));
        tq::xx_d_f_ree(p, "q_free.cpp", 9);
        p[3] = 'z';  // the block is still held by the quarantine
        void* big = d_alloc(100000000);
        d_f_ree(big);  // pushes the quarantine over its bound: the oldest block is checked
      },
      ExitedWithCode(1), panic_banner("MEMORY PANIC\nALLOC POINT q_alloc.cpp 7\nFREE POINT q_free.cpp 9"));
}

// Exit codes of the child tell which check failed.
TEST(DAllocDeathTest, QuarantineFillsHoldsAndReleasesBlocks) {
  EXPECT_EXIT(
      {
        tq::start_alloc_time_list();
        auto* p = static_cast<unsigned char*>(tq::xx_d_alloc(32, "q_alloc.cpp", 8));
        memset(p, 0, 32);
        tq::xx_d_f_ree(p, "q_free.cpp", 10);
        if (!std::all_of(p, p + 32, [](unsigned char c) { return c == 'y'; })) _exit(3);
        if (header_of(p)->last_free_line != 10) _exit(4);
        if (site_size("q_alloc.cpp", 8) != 0) _exit(5);
        void* big = d_alloc(100000000);
        d_f_ree(big);  // evicts p (intact) and big itself
        void* after = d_alloc(100);
        d_f_ree(after);
        _exit(0);
      },
      ExitedWithCode(0), "");
}

// ---- purge round ----------------------------------------------------------------------------

struct PurgeProbe {
  int time;        // last use offered
  int answer;      // what last_access returns
  int calls;
  int64_t asked;   // bytes asked for by the first call
  void* hold;      // released by purge_mem
};
PurgeProbe probes[3];
template <int I>
int probe_access(int* t) {
  *t = probes[I].time;
  return probes[I].answer;
}
template <int I>
void probe_purge(int64_t bytes) {
  if (probes[I].calls++ == 0) probes[I].asked = bytes;
  d_f_ree(probes[I].hold);
  probes[I].hold = nullptr;
}
tq::MEM_PURGE_TBL purgers[3] = {{probe_access<0>, probe_purge<0>, nullptr},
                                {probe_access<1>, probe_purge<1>, nullptr},
                                {probe_access<2>, probe_purge<2>, nullptr}};

// One purge scenario; the exit status tells which check failed. Marks: lower = base / 3,
// upper = base / 2 with base = memory - 25 MiB.
[[noreturn]] void purge_round_checks() {
  probes[0] = PurgeProbe{50, 0, 0, 0, nullptr};
  probes[1] = PurgeProbe{10, 0, 0, 0, nullptr};  // the oldest use among those that answer
  probes[2] = PurgeProbe{1, -1, 0, 0, nullptr};  // offers no time
  for (auto& p : purgers) tq::set_mem_purge(&p);
  const int64_t rest = tq::get_d_used_memory();
  probes[1].hold = d_alloc(size_t(rest + (8 << 20)));
  const int64_t used = tq::get_d_used_memory();
  const int64_t lower = rest + (1 << 20);
  const int64_t mem = 3 * lower + 26214400;
  // Below the upper mark nothing happens.
  if (tq::memory_purge_round(mem, (mem - 26214400) / 2 - 1) != 0) _exit(2);
  if (tq::memory_purge_round(mem, used) != 1) _exit(3);
  if (probes[0].calls != 0 || probes[2].calls != 0 || probes[1].calls != 1) _exit(4);
  if (probes[1].asked != (used - lower) / 3) _exit(5);
  // A purger that releases nothing is asked once per round, not for ever.
  probes[1].time = 99;
  void* keep = d_alloc(size_t(rest + (8 << 20)));
  if (tq::memory_purge_round(mem, tq::get_d_used_memory()) != 1 || probes[0].calls != 1) _exit(6);
  d_f_ree(keep);
  // Too small a memory gives no marks at all.
  if (tq::memory_purge_round(26214400, used) != 0) _exit(7);
  _exit(0);
}

// The purger list cannot shrink, so the rounds run in a child.
TEST(DAllocDeathTest, PurgeRoundAsksTheLeastRecentlyUsedPurger) {
  EXPECT_EXIT(purge_round_checks(), ExitedWithCode(0), "");
}

// ---- diagnostics ---------------------------------------------------------------------------

TEST(DAllocDeathTest, DiagnosticsPrintSitesAndMarkers) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        void* p = tq::xx_d_alloc(5, "ind_site.cpp", 3);
        tq::check_mem_list("here");
        tq::ind_tick();
        d_f_ree(p);
        _exit(1);
      },
      ExitedWithCode(1), "^CML here\nCML here end\n(\\*?\\[[^]]*\\]==>[0-9]+\n)*\\*?\\[ind_site\\.cpp:3\\]==>5\n.*IND_MEM END\n$");
}

// ---- power-of-two allocator -------------------------------------------------------------------

TEST(SAlloc, FreedBlockIsReusedWithinItsCategory) {
  // 100 bytes and the 32-byte header fit 256 bytes; so do 200 bytes, not 240.
  void* p = tq::s_alloc(100);
  tq::s_free(p);
  void* q = tq::s_alloc(200);
  EXPECT_EQ(q, p);
  void* r = tq::s_alloc(240);
  EXPECT_NE(r, p);
  tq::s_free(r);
  tq::s_free(q);
  EXPECT_EQ(tq::s_alloc(100), p);
  tq::s_free(p);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
}

TEST(SAlloc, ReallocZeroesGrowthAndMovesAcrossCategories) {
  auto* z = static_cast<unsigned char*>(tq::s_realloc(nullptr, 50));
  EXPECT_TRUE(std::all_of(z, z + 50, [](unsigned char c) { return c == 0; }));
  memset(z, 7, 50);
  // Within the category (82 bytes with the header fit 128): in place, growth zeroed.
  auto* same = static_cast<unsigned char*>(tq::s_realloc(z, 90));
  EXPECT_EQ(same, z);
  EXPECT_TRUE(std::all_of(same, same + 50, [](unsigned char c) { return c == 7; }));
  EXPECT_TRUE(std::all_of(same + 50, same + 90, [](unsigned char c) { return c == 0; }));
  // Into a larger category: moved, contents kept, the rest zeroed.
  auto* big = static_cast<unsigned char*>(tq::s_realloc(same, 1000));
  EXPECT_NE(big, same);
  EXPECT_TRUE(std::all_of(big, big + 50, [](unsigned char c) { return c == 7; }));
  EXPECT_TRUE(std::all_of(big + 50, big + 1000, [](unsigned char c) { return c == 0; }));
  // The old block went back to its list.
  void* again = tq::s_alloc(60);
  EXPECT_EQ(again, same);
  tq::s_free(again);
  // Beyond 2^23 the block leaves the categories; growth is still zeroed.
  auto* huge = static_cast<unsigned char*>(tq::s_realloc(big, (8u << 20) + 1));
  EXPECT_TRUE(std::all_of(huge, huge + 50, [](unsigned char c) { return c == 7; }));
  EXPECT_TRUE(std::all_of(huge + 50, huge + (8u << 20) + 1, [](unsigned char c) { return c == 0; }));
  auto* back = static_cast<unsigned char*>(tq::s_realloc(huge, 10));
  EXPECT_TRUE(std::all_of(back, back + 10, [](unsigned char c) { return c == 7; }));
  tq::s_free(back);
}

// The category sits behind the next pointer and the size in the 32-byte header.
int* category_field(void* p) { return reinterpret_cast<int*>(static_cast<char*>(p) - 32 + 16); }

TEST(SAllocDeathTest, BrokenCategoryEndsTheProcess) {
  EXPECT_EXIT(
      {
        void* p = tq::s_alloc(10);
        *category_field(p) = 30;
        tq::s_free(p);
      },
      ExitedWithCode(1), panic_banner("s_free"));
  EXPECT_EXIT(
      {
        void* p = tq::s_alloc(10);
        *category_field(p) = 30;
        tq::s_realloc(p, 20);
      },
      ExitedWithCode(1), panic_banner("s_realloc"));
}

// ---- arena ----------------------------------------------------------------------------------------

TEST(SmpAlloc, SizesRoundToEightAndBlocksHold1024Bytes) {
  tq::SIMPLE_ALLOC_T a;
  tq::smp_init(&a);
  auto* first = static_cast<char*>(tq::smp_alloc(&a, 1));
  auto* second = static_cast<char*>(tq::smp_alloc(&a, 8));
  EXPECT_EQ(second - first, 8);
  tq::SA_BLOCK* blk = a.blk;
  for (int i = 2; i < 128; ++i) tq::smp_alloc(&a, 8);
  EXPECT_EQ(a.blk, blk);
  EXPECT_EQ(a.heap_ptr, 1024);
  auto* next = static_cast<char*>(tq::smp_alloc(&a, 8));  // the 129th starts a new block
  EXPECT_NE(a.blk, blk);
  EXPECT_EQ(a.heap_ptr, 8);
  EXPECT_EQ(a.last_alloc, 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(next) % 16, 0u);
  void* whole = tq::smp_alloc(&a, 1023);  // rounds to 1024: a block of its own
  EXPECT_EQ(a.heap_ptr, 1024);
  EXPECT_NE(whole, nullptr);
  tq::SA_BLOCK* newest = a.blk;
  auto* big = static_cast<char*>(tq::smp_alloc(&a, 5000));  // its own block, behind the newest
  memset(big, 'b', 5000);
  EXPECT_EQ(a.blk, newest);
  EXPECT_EQ(a.heap_ptr, 1024);
  tq::free_smp(&a);
  EXPECT_EQ(a.blk, nullptr);
  EXPECT_NE(tq::smp_alloc(&a, 16), nullptr);  // usable again after free_smp
  tq::free_smp(&a);
}

TEST(SmpAlloc, ReallocResizesTheLastAllocationInPlace) {
  tq::SIMPLE_ALLOC_T a;
  tq::smp_init(&a);
  tq::smp_alloc(&a, 16);
  auto* last = static_cast<char*>(tq::smp_alloc(&a, 8));
  EXPECT_EQ(tq::smp_realloc(&a, last, 100), last);
  EXPECT_EQ(a.heap_ptr, 16 + 104);
  auto* after = static_cast<char*>(tq::smp_alloc(&a, 8));
  EXPECT_EQ(after, last + 104);
  EXPECT_EQ(tq::smp_realloc(&a, after, 1024 - 120), after);  // exactly to the block's end
  EXPECT_EQ(a.heap_ptr, 1024);
  tq::free_smp(&a);
}

TEST(SmpAllocDeathTest, MisuseEndsTheProcess) {
  EXPECT_EXIT(
      {
        tq::SIMPLE_ALLOC_T a;
        tq::smp_init(&a);
        tq::smp_alloc(&a, -1);
      },
      ExitedWithCode(1), panic_banner("smp_alloc(1)"));
  EXPECT_EXIT(
      {
        tq::SIMPLE_ALLOC_T a;
        tq::smp_init(&a);
        void* p = tq::smp_alloc(&a, 8);
        tq::smp_alloc(&a, 8);
        tq::smp_realloc(&a, p, 16);
      },
      ExitedWithCode(1), panic_banner("smp_realloc"));
  EXPECT_EXIT(
      {
        tq::SIMPLE_ALLOC_T a;
        tq::smp_init(&a);
        tq::smp_alloc(&a, 512);
        void* p = tq::smp_alloc(&a, 8);
        tq::smp_realloc(&a, p, 1024 - 512 + 1);
      },
      ExitedWithCode(1), panic_banner("smp_realloc(2)"));
}

}  // namespace
