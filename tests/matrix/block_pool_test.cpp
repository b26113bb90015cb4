// The block pool of an access cache: size classes at their boundaries on eight tasks with
// a cache each, reuse, the full release (the allocating site's live bytes return to 0),
// direct blocks, and the stops for a pooled block freed twice or into a smaller pool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "matrix/mx_cache.h"
#include "platform/d_alloc.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace {

using testing::ExitedWithCode;
using tqtest::panic_banner;

// Every pool block of these tests is taken here, so this site's live bytes count them all.
const int kSiteLine = __LINE__ + 1;
void* take(tq::MX_CACHE* c, int64_t size) { return mxc_alloc(c, size); }

int64_t site_bytes() {
  for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m))
    if (m->line == kSiteLine && strcmp(m->file, __FILE__) == 0) return m->size;
  return 0;
}

const tq::MBLK* head(const void* p) { return static_cast<const tq::MBLK*>(p) - 1; }

struct PooledCache {
  PooledCache() { tq::mxc_setup(&c); }
  ~PooledCache() { tq::flush_mx_cache(&c, 1); }
  tq::MX_CACHE c{};
};

// The classes of the default pool: 512-byte steps, 16 classes, larger sizes direct.
void boundaries_round_trip(tq::MX_CACHE* c) {
  const std::pair<int64_t, uint16_t> cases[] = {
      {0, 0}, {1, 1}, {512, 1}, {513, 2}, {7680, 15}, {7681, tq::kMblkDirect}};
  for (const auto& [size, cls] : cases) {
    void* p = take(c, size);
    const int count = head(p)->cnt;
    EXPECT_EQ(head(p)->size, cls) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
    memset(p, 0x5A, size_t(size));
    tq::xx_mxc_free(c, p, __FILE__, __LINE__);
    if (cls == tq::kMblkDirect) continue;  // back on the debug heap
    void* again = take(c, size);
    EXPECT_EQ(again, p) << "a freed block is handed out again";
    EXPECT_EQ(head(again)->cnt, count + 1);
    EXPECT_EQ(head(again)->free_file, nullptr);
    tq::xx_mxc_free(c, again, __FILE__, __LINE__);
    EXPECT_EQ(head(again)->free_file, __FILE__);
  }
}

TEST(BlockPool, EightTasksEachWithItsOwnCache) {
  ASSERT_EQ(site_bytes(), 0);
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  for (int i = 0; i < 8; ++i)
    tasks.push_back(std::make_unique<tqtest::Task>([] {
      PooledCache pc;
      for (int round = 0; round < 50; ++round) boundaries_round_trip(&pc.c);
    }));
  for (auto& t : tasks) ASSERT_TRUE(t->wait()) << "a pool task did not finish";
  EXPECT_EQ(site_bytes(), 0) << "every pooled block went back to the debug heap";
}

TEST(BlockPool, CountsAreHeldAtTheirLimit) {
  PooledCache pc;
  void* p = take(&pc.c, 100);
  EXPECT_EQ(head(p)->cnt, 1);
  tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__);
  ASSERT_EQ(take(&pc.c, 100), p);
  EXPECT_EQ(head(p)->cnt, 2) << "reuse counts the second hand-out";
  for (int i = 0; i < 70000; ++i) {
    tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__);
    ASSERT_EQ(take(&pc.c, 100), p);
  }
  EXPECT_EQ(head(p)->cnt, tq::kMblkCntMax);
  tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__);
}

int user_frees = 0;
void free_user(tq::MX_CACHE* c) {
  ++user_frees;
  delete c->user_header;
  c->user_header = nullptr;
}

TEST(BlockPool, FullReleaseAndDirectBlocks) {
  tq::MX_CACHE c{};
  tq::mxc_setup(&c);
  c.user_header = new tq::MX_USER_HEADER{free_user};
  void* kept = take(&c, 1000);       // still handed out at the release
  tq::xx_mxc_free(&c, take(&c, 600), __FILE__, __LINE__);  // on a free list at the release
  user_frees = 0;
  tq::flush_mx_cache(&c, 1);
  EXPECT_EQ(user_frees, 1);
  EXPECT_EQ(c.user_header, nullptr);
  EXPECT_EQ(c.mblk_hash, nullptr);
  void* after = take(&c, 100);
  EXPECT_EQ(head(after)->size, tq::kMblkDirect) << "a released pool pools nothing";
  tq::xx_mxc_free(&c, after, __FILE__, __LINE__);
  tq::xx_mxc_free(&c, kept, __FILE__, __LINE__);
  EXPECT_EQ(site_bytes(), 0);

  tq::mxc_setup(&c);  // a pool again
  tq::_debug_flag = 1;
  void* traced = take(&c, 100);
  tq::_debug_flag = 0;
  EXPECT_EQ(head(traced)->size, tq::kMblkDirect) << "tracing puts every block on the debug heap";
  tq::xx_mxc_free(&c, traced, __FILE__, __LINE__);
  tq::flush_mx_cache(&c, 1);
  EXPECT_EQ(site_bytes(), 0);
}

TEST(BlockPool, WrongFreesEndTheProcess) {
  PooledCache pc;
  void* p = take(&pc.c, 700);
  tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__);
  EXPECT_EXIT(tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__), ExitedWithCode(1), panic_banner("xx_mxc_free"));

  tq::MX_CACHE small{};
  small.mblk_hashsize = 4;
  tq::mxc_setup(&small);
  void* big = take(&pc.c, 7000);  // class 14 of the default pool
  EXPECT_EXIT(tq::xx_mxc_free(&small, big, __FILE__, __LINE__), ExitedWithCode(1), panic_banner("mxc_free"));
  EXPECT_EXIT(take(&small, -1), ExitedWithCode(1), panic_banner("xx_mxc_alloc"));
  tq::xx_mxc_free(&pc.c, big, __FILE__, __LINE__);
  tq::flush_mx_cache(&small, 1);
}

// In a death test's child, lets what the debug heap prints on standard output reach the
// matched standard error in order.
void stdout_to_stderr() {
  fflush(stdout);
  dup2(2, 1);
}

// A block that went back to the debug heap (a direct one, or a pooled one after the full
// release) is the debug heap's to stop when it is freed again, naming the first free: its
// head is gone and is not read. With the quarantine on, a released head reads as 'y' bytes.
TEST(BlockPool, ASecondFreeOfAReleasedBlockIsTheDebugHeapsToStop) {
  const std::string stop = "FILE [^ ]*block_pool_test\\.cpp [0-9]+\n" + panic_banner("xx_d_f_ree(1)");
  for (bool quarantine : {false, true}) {
    SCOPED_TRACE(quarantine ? "quarantine" : "no quarantine");
    EXPECT_EXIT(
        {
          stdout_to_stderr();
          if (quarantine) tq::start_alloc_time_list();
          PooledCache pc;
          void* p = take(&pc.c, 7681);
          tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__);
          tq::xx_mxc_free(&pc.c, p, __FILE__, __LINE__);
        },
        ExitedWithCode(1), stop);
    EXPECT_EXIT(
        {
          stdout_to_stderr();
          if (quarantine) tq::start_alloc_time_list();
          tq::MX_CACHE c{};
          tq::mxc_setup(&c);
          void* p = take(&c, 100);
          tq::flush_mx_cache(&c, 1);
          tq::xx_mxc_free(&c, p, __FILE__, __LINE__);
          tq::xx_mxc_free(&c, p, __FILE__, __LINE__);
        },
        ExitedWithCode(1), stop);
  }
}

}  // namespace
