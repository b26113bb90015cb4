// Environments: bindings and the one enlargement, lookups and definitions through pairs,
// removal, work pointers, the list form, and concurrent binding while a table grows.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "lang/env.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang_test_util.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace {

using namespace tq;
using tqtest::lc;
using tqtest::num;
using tqtest::str;
using tqtest::sym;

class Env : public testing::Test {
 protected:
  GcFrame frame_{"env"};
};

int64_t value_of(TQISP_ENV* env, const char* name, int depth = -1) {
  TQ_SEXP* v = nullptr;
  if (lookup_env(&v, env, lc(name), depth) != 0) return -1;
  return v->integer.data;
}

TEST_F(Env, HashKeyIsTheWrappedSumOfCodes) {
  EXPECT_EQ(hash_key(lc("ab"), 7), uint32_t('a' + 'b') % 7);
  const L_CHAR wide[] = {0xFFFFFFFFu, 2, 0};  // wraps to 1
  EXPECT_EQ(hash_key(wide, 103), 1u);
}

TEST_F(Env, TheFiftyFirstNameEnlargesTheTable) {
  TQISP_ENV* e = new_env(nullptr);
  for (int i = 0; i < 50; ++i) set_env(e, lc(("n" + std::to_string(i)).c_str()), num(i));
  set_env(e, lc("n0"), num(100));  // rebinding does not count
  del_env(e, lc("n1"));            // removal does not undo the count
  EXPECT_EQ(e->env.hash_ptr_size, 7);
  EXPECT_EQ(e->env.hash_element_nos, 50);
  set_env(e, lc("n50"), num(50));
  EXPECT_EQ(e->env.hash_ptr_size, 103);
  EXPECT_EQ(value_of(e, "n0"), 100);
  EXPECT_EQ(value_of(e, "n1"), -1);
  for (int i = 2; i <= 50; ++i) EXPECT_EQ(value_of(e, ("n" + std::to_string(i)).c_str()), i);
  gc_enable();  // the bindings and the new table are reached from the frame's environment
  EXPECT_EQ(value_of(e, "n50"), 50);
}

TEST_F(Env, PairsLookFirstSideDefineSecondSide) {
  TQISP_ENV* a = new_env(nullptr);
  TQISP_ENV* b = new_env(nullptr);
  TQISP_ENV* p = new_env_pair(a, b);
  set_env(p, lc("x"), num(1));
  EXPECT_EQ(search_env(a, lc("x")), nullptr);
  EXPECT_EQ(value_of(b, "x"), 1);
  EXPECT_EQ(value_of(p, "x"), 1);
  set_env(a, lc("x"), num(2));
  EXPECT_EQ(value_of(p, "x"), 2);
  del_env(p, lc("x"));  // one binding goes on each side
  EXPECT_EQ(value_of(p, "x"), -1);
  EXPECT_EQ(value_of(b, "x"), -1);
  set_env(new_env_pair(a, nullptr), lc("y"), num(3));  // no hashed table on the second side
  EXPECT_EQ(value_of(a, "y"), -1);
}

TEST_F(Env, ParentsAndDepth) {
  TQISP_ENV* outer = new_env(nullptr);
  TQISP_ENV* inner = new_env(outer);
  set_env(outer, lc("o"), num(1));
  EXPECT_EQ(value_of(inner, "o"), 1);
  EXPECT_EQ(value_of(inner, "o", 0), -1);  // depth 0: one environment
  EXPECT_EQ(value_of(inner, "o", 1), 1);
  del_env(inner, lc("o"));  // found through the parent
  EXPECT_EQ(value_of(outer, "o"), -1);
  // The top environments: a word bound in the inner one is not seen from the outer one.
  set_env(qvlisp_top_env1, lc("inner-word"), num(4));
  EXPECT_EQ(value_of(qvlisp_top_env1, "inner-word"), 4);
  EXPECT_EQ(value_of(qvlisp_top_env0, "inner-word"), -1);
  del_env(qvlisp_top_env1, lc("inner-word"));
}

// A lookup passes over a run of small tables in one step: names bound before and after the
// run was taken, above or in its middle, are found within the depth asked, and a removed one
// no longer is; a relinked parent is followed.
TEST_F(Env, RunsOfSmallTablesKeepEveryAnswerAndDepth) {
  std::vector<TQISP_ENV*> chain{new_env(nullptr)};
  set_env(chain[0], lc("top"), num(1));
  for (int i = 1; i <= 30; ++i) {
    chain.push_back(new_env(chain.back()));
    set_env(chain.back(), lc("own"), num(i));
  }
  TQISP_ENV* last = chain.back();
  EXPECT_EQ(value_of(last, "top", 29), -1);  // chain[0] is 30 tables after last
  EXPECT_EQ(value_of(last, "top", 30), 1);
  EXPECT_EQ(value_of(last, "x"), -1);
  set_env(chain[10], lc("x"), num(10));
  EXPECT_EQ(value_of(last, "x"), 10);
  EXPECT_EQ(value_of(last, "x", 19), -1);
  TQISP_ENV* below = new_env(last);  // takes its run after the change
  EXPECT_EQ(value_of(below, "x", 21), 10);
  set_env(chain[20], lc("x"), num(20));
  EXPECT_EQ(value_of(below, "x"), 20);
  del_env(chain[20], lc("x"));
  EXPECT_EQ(value_of(below, "x"), 10);
  EXPECT_EQ(value_of(new_env(below), "top", 32), 1);
  TQISP_ENV* other = new_env(nullptr);  // a relinked table ends the runs through it
  set_env(other, lc("y"), num(7));
  set_env_parent(chain[5], other);
  EXPECT_EQ(value_of(below, "y"), 7);
  EXPECT_EQ(value_of(below, "top"), -1);
}

TEST_F(Env, WorkHandlerAndUnitEnvironment) {
  TQISP_ENV* root = new_env(nullptr);
  TQISP_ENV* mid = new_env(root);
  TQISP_ENV* leaf = new_env(mid);
  EXPECT_EQ(get_root_env(leaf), root);  // no work anywhere: the one without parent
  int work = 0;
  set_env_work(mid, &work);
  EXPECT_EQ(mid->env.flags & 1, 1);
  EXPECT_EQ(get_root_env(new_env_pair(nullptr, leaf)), mid);
  EXPECT_EQ(get_env_work(leaf), &work);
  EXPECT_EQ(get_root_env(nullptr), nullptr);

  TQ_SEXP* handler = num(9);
  set_default_env(new_env_pair(nullptr, leaf), handler);
  EXPECT_EQ(leaf->env.default_sym->data, handler);
  del_default_env(new_env_pair(root, leaf));
  EXPECT_EQ(leaf->env.default_sym, nullptr);

  auto* u = reinterpret_cast<UNIT_ENV*>(&work);
  set_uenv(root, u);
  EXPECT_EQ(get_uenv(new_env_pair(new_env(nullptr), leaf)), u);
  EXPECT_EQ(get_uenv(new_env(nullptr)), nullptr);
}

TEST_F(Env, ListFormOfAnEmptyEnvironment) {
  TQ_SEXP* form = get_listbase_env(new_env(nullptr));
  TQ_SEXP* expected = list(sym("tqisp-env"), list(sym("type"), str("env"), nullptr), List(sym("parent"), nullptr, kListEnd),
                           list(sym("work"), num(0), nullptr), list(sym("flags"), num(0), nullptr),
                           list(sym("hash"), nullptr), nullptr);
  EXPECT_EQ(cmp_sexp(form, expected), 0);
  TQISP_ENV* back = set_listbase_env(form, nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->type, kEnvHash);
  EXPECT_EQ(back->env.parent, nullptr);
  EXPECT_EQ(back->env.hash_element_nos, 0);
}

TEST_F(Env, ListFormRoundTrip) {
  TQISP_ENV* parent = new_env(nullptr);
  TQISP_ENV* e = new_env(parent);
  set_env(e, lc("a"), num(1));  // bucket 6 of 7
  set_env(e, lc("b"), num(2));  // bucket 0
  set_default_env(e, num(9));
  set_uenv(e, reinterpret_cast<UNIT_ENV*>(e));
  TQ_SEXP* form = get_listbase_env(e);
  TQ_SEXP* expected_hash = list(sym("hash"), list(sym("element"), str("a"), num(1), nullptr),
                                list(sym("element"), str("b"), num(2), nullptr), nullptr);
  EXPECT_EQ(cmp_sexp(get_el(form, 5), expected_hash), 0);
  EXPECT_EQ(get_el(get_el(form, 2), 1)->env.data, parent);
  EXPECT_EQ(cmp_sexp(get_el(form, 6), List(sym("uenv"), nullptr, kListEnd)), 0);
  TQISP_ENV* back = set_listbase_env(form, nullptr);
  EXPECT_EQ(back->env.parent, parent);
  EXPECT_EQ(value_of(back, "a"), 1);
  EXPECT_EQ(back->env.default_sym->data->integer.data, 9);  // the handler, not a binding
  EXPECT_EQ(search_env(back, lc("")), nullptr);

  TQISP_ENV* p = new_env_pair(parent, e);
  TQISP_ENV* pb = set_listbase_env(get_listbase_env(p), nullptr);
  EXPECT_EQ(pb->type, kEnvPair);
  EXPECT_EQ(pb->pair.env[0], parent);
  EXPECT_EQ(pb->pair.env[1], e);
  EXPECT_EQ(set_listbase_env(list(sym("tqisp-env"), list(sym("type"), str("env"), nullptr), nullptr), nullptr), nullptr);
}

// Four tasks bind into one table while it passes the enlargement, and look their names up
// meanwhile: nothing is lost.
TEST_F(Env, ConcurrentBindingAcrossTheEnlargement) {
  TQISP_ENV* e = new_env(nullptr);
  constexpr int kTasks = 4, kNames = 40;
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  std::vector<int> misses(kTasks, -1);
  for (int t = 0; t < kTasks; ++t) {
    tasks.push_back(std::make_unique<tqtest::Task>([t, e, &misses] {
      GcFrame frame("binder");
      int miss = 0;
      for (int i = 0; i < kNames; ++i) {
        const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        set_env(e, lc(name.c_str()), get_integer(t * 1000 + i, nullptr));
        for (int j = 0; j <= i; ++j)
          if (value_of(e, ("t" + std::to_string(t) + "_" + std::to_string(j)).c_str()) != t * 1000 + j) ++miss;
      }
      misses[t] = miss;
    }));
  }
  for (auto& task : tasks) ASSERT_TRUE(task->wait()) << "a binder did not finish";
  for (int t = 0; t < kTasks; ++t) EXPECT_EQ(misses[t], 0) << "task " << t;
  EXPECT_EQ(e->env.hash_ptr_size, 103);
  EXPECT_EQ(e->env.hash_element_nos, kTasks * kNames);
}

// New tables taken under a chain whose middle is relinked meanwhile between two parents,
// each below its own large table: the run is taken over either chain, and the name bound
// in both parents is always found.
TEST_F(Env, RunsTakenWhileAParentIsRelinked) {
  TQISP_ENV* parents[2];
  for (int k = 0; k < 2; ++k) {
    TQISP_ENV* large = new_env(nullptr);
    for (int i = 0; i < 20; ++i) set_env(large, lc(("n" + std::to_string(i)).c_str()), num(i));
    parents[k] = new_env(large);
    set_env(parents[k], lc("p"), num(k + 1));
  }
  TQISP_ENV* middle = new_env(parents[0]);
  TQISP_ENV* below = new_env(middle);
  constexpr int kRounds = 200000;
  std::atomic<bool> stop{false};
  tqtest::Task relinker([&] {
    for (int i = 0; !stop.load(); ++i) set_env_parent(middle, parents[i & 1]);
  });
  int misses = 0;
  for (int i = 0; i < kRounds; ++i) {
    GcFrame round("round");
    const int64_t v = value_of(new_env(below), "p");
    misses += v != 1 && v != 2;
  }
  stop.store(true);
  ASSERT_TRUE(relinker.wait()) << "the relinker did not finish";
  EXPECT_EQ(misses, 0);
}

// Lookups (of a name too long for the answer cache, so each searches) run through a table
// while it passes its enlargement; it is relinked away and collected at once, with the
// environment lock held as a binding elsewhere may hold it. No lookup reads the freed table
// (the sanitizer build sees such a read) and each finds the name bound past it.
TEST_F(Env, LookupsWhileTheirTableGrowsIsRelinkedAwayAndCollected) {
  const char* name = "name_too_long_to_cache";
  TQISP_ENV* end = new_env(nullptr);
  set_env(end, lc(name), num(42));
  TQISP_ENV* start = new_env(end);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> lookups{0}, wrong{0};
  std::vector<std::unique_ptr<tqtest::Task>> readers;
  for (int t = 0; t < 3; ++t)
    readers.push_back(std::make_unique<tqtest::Task>([&] {
      for (; !stop.load(); ++lookups) wrong += value_of(start, name) != 42;
    }));
  for (int r = 0; r < 300; ++r) {
    TQISP_ENV* middle;
    {
      GcFrame round("round");
      middle = new_env(end);
      set_env(middle, lc("ehcac_ot_gnol_oot_eman"), num(0));  // the same code sum: middle is searched
      for (int i = 1; i < kEnvGrowAt - 1; ++i) set_env(middle, lc(("n" + std::to_string(i)).c_str()), num(i));
      set_env_parent(start, middle);  // only start reaches middle
    }
    const int64_t seen = lookups.load();
    if (!tqtest::wait_until([&] { return lookups.load() > seen + 3; })) {
      ADD_FAILURE() << "lookups stopped";
      break;
    }
    set_env(middle, lc("n50"), num(50));  // the enlargement
    LOCK_SCOPE(qv_env_lock);
    set_env_parent(start, end);
    gc_enable();
  }
  stop.store(true);
  for (auto& task : readers) ASSERT_TRUE(task->wait()) << "a reader did not finish";
  EXPECT_EQ(wrong.load(), 0);
}

// The walks to the root table and to the unit environment run while the tables under them
// are relinked away and collected: none reads a freed table (the sanitizer build sees such
// a read) and each ends at the table past them.
TEST_F(Env, RootAndUnitWalksWhileTheirTablesAreRelinkedAwayAndCollected) {
  TQISP_ENV* end = new_env(nullptr);
  TQISP_ENV* start = new_env(end);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> walks{0}, wrong{0};
  std::vector<std::unique_ptr<tqtest::Task>> readers;
  for (int t = 0; t < 3; ++t)
    readers.push_back(std::make_unique<tqtest::Task>([&] {
      for (; !stop.load(); ++walks) wrong += get_root_env(start) != end || get_uenv(start) != nullptr;
    }));
  for (int r = 0; r < 100 && !wrong.load(); ++r) {
    {
      GcFrame round("round");
      TQISP_ENV* chain = end;
      for (int i = 0; i < 3000; ++i) chain = new_env(chain);
      set_env_parent(start, chain);  // only start reaches the chain
    }
    const int64_t seen = walks.load();
    if (!tqtest::wait_until([&] { return walks.load() > seen + 3; })) {
      ADD_FAILURE() << "the walks stopped";
      break;
    }
    set_env_parent(start, end);
    gc_enable();
  }
  stop.store(true);
  for (auto& task : readers) ASSERT_TRUE(task->wait()) << "a reader did not finish";
  EXPECT_EQ(wrong.load(), 0);
}

void search_pair() { search_env(new_env_pair(nullptr, nullptr), lc("x")); }
void work_on_pair() { set_env_work(new_env_pair(nullptr, nullptr), nullptr); }
void root_of_bad() {
  TQISP_ENV* bad = new_env(nullptr);
  bad->type = 7;
  get_root_env(bad);
}

TQISP_ENV* bad_record() {
  TQISP_ENV* bad = new_env(nullptr);
  bad->type = 7;
  return bad;
}
void delete_in_bad() { del_env(new_env_pair(nullptr, bad_record()), lc("x")); }
void units_of_bad() { get_uenv(new_env_pair(bad_record(), nullptr)); }

TEST(EnvDeathTest, BadRecordsStop) {
  EXPECT_EXIT(search_pair(), testing::ExitedWithCode(1), tqtest::panic_banner("search_env"));
  EXPECT_EXIT(work_on_pair(), testing::ExitedWithCode(1), tqtest::panic_banner("set_env_work(1)"));
  EXPECT_EXIT(root_of_bad(), testing::ExitedWithCode(1), tqtest::panic_banner("get_root_env(1)"));
  EXPECT_EXIT(delete_in_bad(), testing::ExitedWithCode(1), tqtest::panic_banner("del_env"));
  EXPECT_EXIT(units_of_bad(), testing::ExitedWithCode(1), tqtest::panic_banner("get_uenv"));
}

}  // namespace
