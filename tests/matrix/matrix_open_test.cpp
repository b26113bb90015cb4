// Opening, finding and closing matrices, object ids, and the node channel lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"
#include "platform/task.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;
using namespace tq;

const L_CHAR* lk(const char* s) { return _l_string_1(std_cm, s); }

TEST(MatrixOpen, IdentitiesSearchesAndObjectIds) {
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  shape.scripts = {{{5}, "(note 77)"}};
  MATRIX* a = open_store_matrix(&shape, "a");
  EXPECT_EQ(open_matrix(nullptr, lk("a"), nullptr, nullptr, nullptr), nullptr) << "a is open";
  MATRIX* pending = open_matrix(lk("tqp://h/x"), lk("b"), lk("k"), nullptr, nullptr);  // stays opening
  MATRIX* again = open_matrix(lk("tqp://h/x"), nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(again, nullptr) << "only a locator: always a new record";
  int code = 1;
  EXPECT_EQ(search_matrix(&code, nullptr, nullptr, nullptr, nullptr), again) << "the most recently used";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(search_matrix(&code, nullptr, lk("zz"), nullptr, nullptr), nullptr);
  EXPECT_EQ(code, MX_NO_NODE);
  EXPECT_EQ(open_matrix_with_search(nullptr, lk("b"), lk("k"), nullptr, nullptr), pending);
  EXPECT_EQ(get_matrix_obj_id(a), 256);
  EXPECT_EQ(get_matrix_obj_id(a), 512);
  a->obj_id = INT64_MAX - 100;
  EXPECT_EQ(get_matrix_obj_id(a), 256) << "never 0 or negative";

  int c;
  MATRIX_NODE* n = lookup(&c, a, {0, 0}, 0);
  ASSERT_TRUE(drained());
  take_trace();
  MATRIX_TOKEN* t;
  {
    LOCK_SCOPE(matrix_lock);  // a token of a's node, asking for the pending matrix
    t = _new_matrix_token(n);
    _insert_access_list(t, MI_FETCH_1);
  }
  EXPECT_EQ(search_matrix(&c, nullptr, lk("b"), nullptr, t), pending);
  EXPECT_EQ(c, MX_PENDING);
  EXPECT_EQ(pending->wait_token, t) << "parked";
  EXPECT_TRUE(drained());
  EXPECT_EQ(take_trace(), std::vector<std::string>{});
  set_matrix_mode(pending, MX_MODE_OPEN);
  ASSERT_TRUE(drained());
  EXPECT_EQ(take_trace(), (std::vector<std::string>{"77", "t4"})) << "run once the open ended";
  close_matrix(pending);
  close_matrix(again);
  close_matrix(a);
}

std::atomic<int> aborts{0};
void count_abort(MATRIX_TOKEN*) { ++aborts; }

TEST(MatrixClose, WaitsForTheTokenThatHoldsANode) {
  tqtest::TickClock clock;  // no time-out passes: only the token's end wakes the close
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  shape.scripts = {{{5}, "(hold)"}};
  MATRIX* m = open_store_matrix(&shape, "closing");
  int c;
  MATRIX_NODE* n = lookup(&c, m, {0, 0}, 0);
  ASSERT_TRUE(wait_held());
  {
    LOCK_SCOPE(matrix_lock);
    n->process_token->aboat_func = count_abort;
  }
  aborts = 0;
  testing::internal::CaptureStdout();
  tqtest::Task closer([m] { close_matrix(m); });
  EXPECT_TRUE(tqtest::wait_until([] { return aborts.load() == 1; })) << "the close's pass asked for an abort";
  close_matrix(m);  // closing already: returns at once
  release_hold();
  EXPECT_TRUE(closer.wait());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "close_matirx ret_id = -2 0\n");
  EXPECT_TRUE(drained());
}

// A scheduled abort call counts away from 0 (negative: the token has ended) under
// matrix_lock, which the caller must not hold.
TEST(MatrixCloseDeathTest, AbortCountsUnderTheMatrixLock) {
  MATRIX_TOKEN t{};
  t.aboat_status = -1;
  aboat_status_countup(&t);
  EXPECT_EQ(t.aboat_status, -2);
  EXPECT_EXIT((lock_task(matrix_lock), aboat_status_countup(&t)), testing::ExitedWithCode(1),
              tqtest::panic_banner("double lock?"));
}

// A save script that does not save: sync and close each ask three saves, then give up and
// answer -1; sync does not wait for a node left pending by its load script. A save asked
// while the node's save runs is not asked again (only a save that ended is retried).
TEST(MatrixClose, SyncAndCloseGiveUpANodeItsSaveLeavesDirty) {
  tqtest::TickClock clock;  // no time-out passes: only the saves' ends wake sync and close
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  shape.scripts = {{{5}, "(finish 2 2)"}, {{4}, "(note 4)"}, {{23}, "(note 23)"}};
  MATRIX* m = open_store_matrix(&shape, "unsaved");
  int c;
  MATRIX_NODE* n = lookup(&c, m, {0, 0}, 0);
  lookup(&c, m, {1, 0}, 0);  // stays in status 1
  ASSERT_TRUE(drained());
  auto saves = [] {
    const std::vector<std::string> t = take_trace();
    return std::count(t.begin(), t.end(), "23");
  };
  saves();
  set_dirty_file(n);
  int synced = 0, closed_with = 0;
  tqtest::Task syncer([&] { synced = sync_matrix(m); });
  ASSERT_TRUE(syncer.wait()) << "sync waits for ever";
  EXPECT_EQ(synced, -1);
  EXPECT_EQ(saves(), 3);
  EXPECT_NE(n->dirty_file_time, 0u) << "left dirty";
  testing::internal::CaptureStdout();
  tqtest::Task closer([&] { closed_with = close_matrix(m); });
  const bool closed = closer.wait();
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(closed) << "close asks for the save for ever";
  EXPECT_EQ(closed_with, -1);
  EXPECT_EQ(saves(), 3);
  EXPECT_EQ(out.rfind("close_matirx ret_id = -1 ", 0), 0u) << out;

  shape.scripts = {{{5}, "(finish 2 2)"}, {{23}, "(hold) (note 23)"}};
  MATRIX* h = open_store_matrix(&shape, "held save");
  n = lookup(&c, h, {0, 0}, 0);
  ASSERT_TRUE(drained());
  set_dirty_file(n);
  SaveRequests asks;
  {
    LOCK_SCOPE(matrix_lock);
    asks.ask(n);
  }
  ASSERT_TRUE(wait_held()) << "the save runs";
  {
    LOCK_SCOPE(matrix_lock);
    asks.ask(n);
    EXPECT_EQ(n->process_token->access_list, nullptr) << "asked again while it runs";
    n->dirty_file_time = 0;  // the close has nothing to ask
  }
  release_hold();
  ASSERT_TRUE(drained());
  EXPECT_EQ(saves(), 1);
  EXPECT_EQ(close_matrix(h), 0);
}

TEST(MatrixClose, ChannelLocksNestOnOneThreadAndBlockAnother) {
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  MATRIX* m = open_store_matrix(&shape, "channel lock");
  int c;
  MATRIX_NODE* n = lookup(&c, m, {0, 0}, 0);
  ASSERT_TRUE(drained());
  matrix_node_channel_lock(n);
  matrix_node_channel_lock(n);
  std::atomic<bool> trying{false};
  std::atomic<int> owner{0};
  tqtest::Task other([&] {
    {
      LOCK_SCOPE(matrix_lock);
      trying = true;
      _matrix_node_channel_lock(n);
    }
    owner = get_tid();
    matrix_node_channel_unlock(n, 0);
  });
  ASSERT_TRUE(tqtest::wait_until([&] { return trying.load(); }));
  {
    LOCK_SCOPE(matrix_lock);  // taken: the other task gave it up asleep, or holds the lock
    EXPECT_EQ(n->ch_lock, 2);
    EXPECT_EQ(n->ch_lock_tid, get_tid()) << "the other task waits";
  }
  matrix_node_channel_unlock(n, 0);
  EXPECT_EQ(n->ch_lock, 1) << "still held once";
  {
    LOCK_SCOPE(matrix_lock);
    _matrix_node_channel_unlock(n, 1);
    EXPECT_EQ(_free_matrix_node(n), MX_NODE_HELD) << "the waiter holds the node";
  }
  EXPECT_TRUE(other.wait());
  EXPECT_NE(owner.load(), 0);
  EXPECT_NE(owner.load(), get_tid());
  EXPECT_EQ(n->ch_lock, 0);
  EXPECT_EXIT(matrix_node_channel_unlock(n, 0), testing::ExitedWithCode(1),
              tqtest::panic_banner("_matrix_node_channel_unlock"));
  close_matrix(m);
}

}  // namespace
