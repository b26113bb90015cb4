// The store's start-up order, the collector's marking of the holder ring and of the words'
// environment, the access tick's budget, the update stamps, the save lock's wake-ups and the
// access queue's workers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "entry/start.h"
#include "interp/interpreter.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "matrix/matrix_fixture.h"
#include "matrix/matrix_start.h"
#include "matrix/matrix_token.h"
#include "matrix/matrix_upkeep.h"
#include "matrix/mx_file_access.h"
#include "platform/lock.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "remote/auth_service.h"
#include "store/store_lock.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;

std::vector<std::string> names(const char* const* list) {
  std::vector<std::string> v;
  for (; *list; ++list) v.emplace_back(*list);
  return v;
}

// The locks the rules table names as held across a root file helper's wait (a store, matrix
// or key file in another user's folder) let their holder wait on the helper, and on no other
// peer: the rule checks, on here, keep every other wait out from under them.
TEST(MatrixStart, TheLocksHeldAcrossAHelpersWaitAreMarkedSo) {
  const int base = tq::held_lock_count();
  for (tq::SEM* l : {&tq::l_favt64_lock, &tq::mx_file_lock, &tq::matrix_lock, &tq::auth_lock}) {
    ASSERT_TRUE(tq::lock_up_test(*l));
    lock_task(*l);
    EXPECT_EQ(tq::held_shared_lock(tq::PeerWait::kHelper), -1);
    EXPECT_EQ(tq::held_shared_lock(tq::PeerWait::kConnection), base);
    EXPECT_EQ(tq::held_shared_lock(tq::PeerWait::kHelperDrain), base);
    unlock_task(*l, "test");
  }
}

TEST(MatrixStart, StepsRanInTheirOrder) {
  const std::vector<std::string> words = {
      "init_mxCH", "init_mxSet", "init_mxTrigger", "init_mxAdd", "init_mxDiff", "init_mxThinnedOut",
      "init_mxCompressJPEG", "init_mxUncompressJPEG", "init_mxLoad", "init_mxSave", "init_mxFinish",
      "init_mxUncompressOldFormat", "init_mxCompressZ", "init_mxUncomressZ", "init_mxCompound",
      "init_mxSeparate", "init_mxSquash", "init_mxStuffing", "init_mxMax", "init_mxLoadSB", "init_mxSaveSB",
      "init_mxSetSB", "init_sbArray", "init_sbPrimitive", "init_sbHeuristicLayering", "init_mxPgPlot",
      "init_mxObjID"};
  std::vector<std::string> want = {"init_mx_file", "init_rings", "init_budget", "init_locks",
                                   "init_matrix_ring", "init_access_queue", "init_element_types",
                                   "init_word_env"};
  want.insert(want.end(), words.begin(), words.end());
  want.push_back("init_access_tick");
  EXPECT_EQ(names(tq::matrix_start_steps()), want);

  const std::vector<std::string> upper = names(tq::startup_steps());
  ASSERT_GE(upper.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(upper.end() - 5, upper.end()),
            (std::vector<std::string>{"init_tq", "init_l_favt64", "init_function", "clear_int_handler",
                                      "init_matrix"}));
  EXPECT_EQ(tq::int_handler, nullptr);
  EXPECT_EQ(tq::matrix_tq_env->env.parent, tq::qvlisp_top_env0);
  for (tq::MDT tp : tq::mx_type_register_order) EXPECT_EQ(tq::get_matrix_data_type(tp->type), tp) << tp->type_name;
}

// ---- The collector.

TEST(MatrixCollector, MarksHeldValuesAndTheWordsEnvironmentAndFreesReleasedHolders) {
  tqtest::TickClock clock;  // only this test's collections run
  tq::TQ_SEXP* held;
  tq::TQ_SEXP* bound;
  tq::MATRIX_SEXP* h;
  {
    tq::GcFrame frame("values");
    held = tq::get_integer(7, nullptr);
    h = new_matrix_sexp(held);
    bound = tq::get_integer(8, nullptr);
    tq::set_env(tq::matrix_tq_env, tq::_l_string_2(tq::int_cm, "mx_start_test_value"), bound);
  }
  tq::gc_tick_notin_tick(nullptr, 0);
  EXPECT_TRUE(tq::mem_is_block(held)) << "the holder keeps its value";
  EXPECT_TRUE(tq::mem_is_block(bound)) << "matrix_tq_env keeps its bindings";
  EXPECT_TRUE(tq::mem_is_block(tq::matrix_tq_env));

  {
    LOCK_SCOPE(tq::matrix_gc_lock);
    h->del = 1;
  }
  ASSERT_TRUE(tq::d_is_live(h)) << "a released holder stays until a collection";
  tq::gc_tick_notin_tick(nullptr, 0);
  EXPECT_FALSE(tq::d_is_live(h));
  EXPECT_FALSE(tq::mem_is_block(held));
  tq::del_env(tq::matrix_tq_env, tq::_l_string_2(tq::int_cm, "mx_start_test_value"));
}

TEST(MatrixCollector, RunsWhileAnotherTaskHoldsTheMatrixLock) {
  std::atomic<bool> holding{false}, release{false};
  tqtest::Task holder([&] {
    lock_task(tq::matrix_lock);
    holding = true;
    tqtest::wait_until([&] { return release.load(); }, std::chrono::seconds(60));
    unlock_task(tq::matrix_lock, "test");
  });
  ASSERT_TRUE(tqtest::wait_until([&] { return holding.load(); })) << "the holder never took matrix_lock";
  auto* h = static_cast<tq::MATRIX_SEXP*>(d_calloc(1, sizeof(tq::MATRIX_SEXP)));
  h->del = 1;
  _insert_matrix_sexp(h);  // the holder ring needs no matrix_lock
  tqtest::Task collector([] { tq::gc_tick_notin_tick(nullptr, 0); });
  EXPECT_TRUE(collector.wait()) << "the collection waited for matrix_lock";
  EXPECT_FALSE(tq::d_is_live(h)) << "the collection freed the released holder";
  release = true;
  EXPECT_TRUE(holder.wait());
}

TEST(MatrixCollector, ACollectionBegunBeforeTheStoreLockExistedReleasesNothingAndKeepsTheWordsEnvironment) {
  tqtest::TickClock clock;  // no collection of the tick meanwhile
  const tq::SEM made = tq::matrix_gc_lock;
  tq::matrix_gc_lock = tq::SEM{};  // the collection starts before the store
  tq::gc_matrix_lock();
  tq::matrix_gc_lock = made;  // the store's start-up makes the lock meanwhile
  tq::gc_matrix();
  tq::gc_matrix_unlock();
  EXPECT_EQ(made.so->d_sem->value, 1) << "the collection released a lock it never took";
  // The words' environment, made meanwhile, is marked by such a collection all the same.
  tq::matrix_gc_lock = tq::SEM{};
  tq::gc_tick_notin_tick(nullptr, 0);
  tq::matrix_gc_lock = made;
  EXPECT_TRUE(tq::mem_is_block(tq::matrix_tq_env)) << "a collection without the store's lock freed its environment";
}

// ---- The access tick.

// A matrix of one axis of 2^(levels-1) samples halved per level.
TestMatrix* matrix_of_levels(int levels) {
  auto* m = new TestMatrix({{int64_t(1) << (levels - 1), 1, 0}});
  EXPECT_EQ((*m)->total_levels, levels);
  return m;
}

int tick() {
  LOCK_SCOPE(tq::matrix_lock);
  tq::_matrix_access_tick();
  return tq::total_ncache_size;
}

void request(TestMatrix* m) {
  LOCK_SCOPE(tq::matrix_lock);
  (*m)->access_cnt |= 1;  // what a node request does
}

TEST(MatrixAccessTick, BudgetFollowsTheMatricesRequestedInTheLastTwoIntervals) {
  tqtest::TickClock clock;  // the store's own tick stays still
  std::unique_ptr<TestMatrix> a(matrix_of_levels(5)), b(matrix_of_levels(8));
  const int saved = tq::total_ncache_size;
  {
    LOCK_SCOPE(tq::matrix_lock);
    tq::_insert_matrix_ring(a->get());
    tq::_insert_matrix_ring(b->get());
    tq::total_ncache_size = 250;
  }
  EXPECT_EQ(tick(), 250) << "no request: unchanged";
  request(a.get());
  EXPECT_EQ(tick(), 100) << "5 levels give 50, below the floor";
  request(b.get());
  EXPECT_EQ(tick(), 130) << "5 + 8 levels";
  EXPECT_EQ(tick(), 100) << "a drops out at the third tick after its request; b alone gives 80";
  {
    LOCK_SCOPE(tq::matrix_lock);
    tq::total_ncache_size = 250;
  }
  EXPECT_EQ(tick(), 250) << "b has dropped out: unchanged";
  LOCK_SCOPE(tq::matrix_lock);
  tq::_delete_matrix_ring(a->get());
  tq::_delete_matrix_ring(b->get());
  tq::total_ncache_size = saved;
}

// ---- Update stamps and the save lock.

TEST(MatrixNode, UpdateStampsCompareEqualiseAndStamp) {
  tq::MATRIX_CHANNEL ch[2]{};
  tq::MATRIX_NODE n{};
  n.channel = ch;
  auto stamp = [&](int ix) { return tq::get_matrix_update_time(&n, 1, ix); };
  EXPECT_EQ(stamp(tq::MX_STAMP_COMPARE), -1) << "a fresh channel";
  EXPECT_EQ(stamp(tq::MX_STAMP_STRUCT), 0);
  EXPECT_EQ(stamp(tq::MX_STAMP_COMPARE), 1);
  EXPECT_EQ(stamp(tq::MX_STAMP_DATA), 0);
  EXPECT_EQ(stamp(tq::MX_STAMP_COMPARE), 0);
  EXPECT_EQ(ch[1].update_time[0], ch[1].update_time[1] + 1) << "one clock for both stamps";
  EXPECT_EQ(stamp(tq::MX_STAMP_EQUAL), 0);
  EXPECT_EQ(ch[1].update_time[1], ch[1].update_time[0]) << "the smaller takes the greater";
  EXPECT_EQ(stamp(tq::MX_STAMP_COMPARE), -1);
  EXPECT_EQ(ch[0].update_time[0] | ch[0].update_time[1], 0) << "other channels untouched";
  EXPECT_EXIT(stamp(2), testing::ExitedWithCode(1), tqtest::panic_banner("get_matrix_update_time"));
}

TEST(MatrixNode, UnlockSaveCleansTheNodeAndWakesItsMatrixAndTheCloseKey) {
  ASSERT_EQ(tq::matrix_que.total_cnt, 0);
  tq::MATRIX m{};
  tq::MATRIX_NODE n{};
  n.matrix = &m;
  tq::lock_save(&n);
  n.dirty_file_time = 12345;
  ASSERT_EQ(n.save_lock, 1u);

  const void* keys[] = {&n, &m, tq::matrix_close_key()};
  std::atomic<int> asleep{0}, woken{0};
  std::vector<std::unique_ptr<tqtest::Task>> waiters;
  for (const void* key : keys)
    waiters.push_back(std::make_unique<tqtest::Task>([&, key] {
      lock_task(tq::matrix_lock);
      ++asleep;
      sleep_task(key, tq::matrix_lock);  // registered before the lock is released
      ++woken;
    }));
  ASSERT_TRUE(tqtest::wait_until([&] { return asleep.load() == 3; }));
  { LOCK_SCOPE(tq::matrix_lock); }  // each waiter has given it up: all three sleep
  tq::unlock_save(&n);
  for (auto& w : waiters) EXPECT_TRUE(w->wait()) << "a key was not woken; " << woken.load() << " of 3";
  EXPECT_EQ(n.save_lock, 0u);
  EXPECT_EQ(n.dirty_file_time, 0u);
  for (const void* key : keys) tq::wakeup_task(key);  // frees a waiter the check missed
}

// ---- The purge record.

std::vector<tq::MATRIX_NODE*> purge_freed, purge_saved;
tq::MATRIX_NODE* purge_refuses;

int purge_free(tq::MATRIX_NODE* n) {
  if (n == purge_refuses) return -1;
  n->h.prev->h.next = n->h.next;
  n->h.next->h.prev = n->h.prev;
  --tq::nd_cnt;
  purge_freed.push_back(n);
  return 0;
}

void purge_save(tq::MATRIX_NODE* n) { purge_saved.push_back(n); }

TEST(MatrixPurge, FreesReadyNodesFromTheOldestUntilHalfAreLeft) {
  int t = 0;
  ASSERT_EQ(tq::mx_last_access(&t), -1) << "no node cached";
  const int status[] = {tq::MS_OK, tq::MX_NODE_IN_PROCESS, tq::MS_OK, tq::MS_OK, tq::MS_OK, tq::MS_OK};
  tq::MATRIX_NODE nodes[6]{};
  {
    LOCK_SCOPE(tq::matrix_lock);
    for (int i = 0; i < 6; ++i) {  // node 0 the oldest: each new one goes right after the head
      tq::MATRIX_NODE* n = &nodes[i];
      n->status = status[i];
      n->last_access = (int64_t(i) << 32) | (1000 + i);
      n->h.prev = tq::nd_root;
      n->h.next = tq::nd_root->h.next;
      tq::nd_root->h.next->h.prev = n;
      tq::nd_root->h.next = n;
      ++tq::nd_cnt;
    }
  }
  nodes[0].dirty_file_time = 77;
  ASSERT_EQ(tq::mx_last_access(&t), 0);
  EXPECT_EQ(t, 1005) << "the low 32 bits of the newest node's time";

  purge_freed.clear();
  purge_saved.clear();
  const tq::MX_NODE_CACHE_OPS ops = tq::mx_node_cache_ops;
  tq::mx_node_cache_ops = {purge_free, purge_save};
  purge_refuses = &nodes[2];
  testing::internal::CaptureStdout();
  tq::mx_purge(0);
  const std::string printed = testing::internal::GetCapturedStdout();
  std::string want = "mx_purge==============================================\n";
  for (int i : {0, 2, 3, 4}) {
    char line[128];
    std::snprintf(line, sizeof line, "mx_purge======================================FREE %p\n",
                  static_cast<void*>(&nodes[i]));
    want += line;
  }
  EXPECT_EQ(printed, want) << "every ready node visited is printed, the refused one too";
  EXPECT_EQ(purge_freed, (std::vector<tq::MATRIX_NODE*>{&nodes[0], &nodes[3], &nodes[4]}))
      << "the node in process is passed over, the refused one stays";
  EXPECT_EQ(purge_saved, (std::vector<tq::MATRIX_NODE*>{&nodes[0]})) << "only the dirty node's save";
  EXPECT_EQ(tq::nd_cnt, 3);

  LOCK_SCOPE(tq::matrix_lock);
  tq::nd_root->h.next = tq::nd_root->h.prev = tq::nd_root;
  tq::nd_cnt = 0;
  tq::mx_node_cache_ops = ops;
}

// ---- The access queue's workers.

struct TokenRun {
  std::string key;
  int pri;
  int tid;
  int iid;
  int kind;
};
std::mutex runs_lock;
std::vector<TokenRun> runs;
std::atomic<bool> gate_open{false};
constexpr int kGatePri = 100000;

void run_token(tq::MATRIX_TOKEN* t) {
  if (t->h.pri == kGatePri) tqtest::wait_until([] { return gate_open.load(); }, std::chrono::seconds(30));
  tq::TQ_INTERPRETER* own = tq::get_my_tqi();
  {
    std::lock_guard<std::mutex> g(runs_lock);
    runs.push_back({tq::n_string(tq::utf8_cm, t->h.key), t->h.pri, tq::get_tid(), tq::get_my_iid(),
                    own ? own->a_type : -1});
  }
  d_f_ree(t->h.key);
  d_f_ree(t);
}

void queue_token(const char* key, int pri) {
  auto* t = reinterpret_cast<tq::MATRIX_TOKEN*>(new_queue_node(sizeof(tq::MATRIX_TOKEN)));
  t->h.key = nl_copy_str_1(tq::utf8_cm, key);
  t->h.pri = pri;
  t->func = run_token;
  ASSERT_EQ(insert_queue(&tq::matrix_que, &t->h, 0), 0);
}

TEST(MatrixQueue, OneWorkerPerKeyRunsItsTokensInPriorityOrderOnItsOwnInterpreter) {
  // The gate token of each key is its highest: whenever its worker starts, it runs first and
  // holds the worker until every other token is queued.
  runs.clear();
  gate_open = false;
  queue_token(tq::kMatrixOpenKey, kGatePri);
  queue_token(tq::kMatrixAccessKey, kGatePri);
  for (int pri : {1, 3, 2}) queue_token(tq::kMatrixOpenKey, pri);
  for (int pri : {10, 30, 20, 30}) queue_token(tq::kMatrixAccessKey, pri);
  gate_open = true;
  ASSERT_TRUE(tqtest::wait_until([] {
    std::lock_guard<std::mutex> g(runs_lock);
    return runs.size() == 9;
  })) << "tokens run: " << runs.size();

  auto of_key = [](const char* key) {
    std::vector<TokenRun> v;
    for (const TokenRun& r : runs)
      if (r.key == key) v.push_back(r);
    return v;
  };
  const std::vector<TokenRun> open = of_key(tq::kMatrixOpenKey), access = of_key(tq::kMatrixAccessKey);
  std::vector<int> open_pri, access_pri;
  for (const TokenRun& r : open) open_pri.push_back(r.pri);
  for (const TokenRun& r : access) access_pri.push_back(r.pri);
  EXPECT_EQ(open_pri, (std::vector<int>{kGatePri, 3, 2, 1}));
  EXPECT_EQ(access_pri, (std::vector<int>{kGatePri, 30, 30, 20, 10}));
  for (const std::vector<TokenRun>* v : {&open, &access})
    for (const TokenRun& r : *v) {
      EXPECT_EQ(r.tid, v->front().tid) << "one worker per key";
      EXPECT_EQ(r.iid, v->front().iid) << "one interpreter per worker";
      EXPECT_GT(r.iid, 0);
      EXPECT_EQ(r.kind, tq::TQI_SELF);
    }
  EXPECT_NE(open.front().tid, access.front().tid);
  EXPECT_NE(open.front().iid, access.front().iid);

  EXPECT_TRUE(tqtest::wait_until([] { return tq::get_active_que_thread(&tq::matrix_que) == 0; }))
      << "a worker kept its key";
  EXPECT_TRUE(tqtest::wait_until([&] {
    return !tq::search_tqi_id(unsigned(open.front().iid)) && !tq::search_tqi_id(unsigned(access.front().iid));
  })) << "a worker's interpreter stayed open";
}

}  // namespace
