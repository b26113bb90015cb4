// Access tokens: queue priorities, the access list, and event scripts run through the
// queue: completion bytes, statuses and jumps, waits, triggers, and the delayed value that
// callers of a pending node share.
#include <gtest/gtest.h>

#include "interp/delay.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"
#include "platform/d_alloc.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;
using namespace tq;
using Trace = std::vector<std::string>;

TEST(AccessToken, PriorityByModeAndLevel) {
  TestMatrix m({{1000, 1, 8}});
  ASSERT_EQ(m->total_levels, 11);
  int64_t low[] = {0, 0}, high[] = {10, 0};
  MATRIX_NODE n0{}, n10{};
  n0.matrix = n10.matrix = m.get();
  n0.dim_code = low;
  n10.dim_code = high;
  struct Case {
    int word, level, pri;
  } cases[] = {{0x02000001, 0, 534}, {0x02000001, 10, 524}, {0x00050000, 10, 15},
               {0x00070002, 10, 7},  {0x00070003, 0, 32767}, {0, 10, 10}};
  for (const Case& c : cases) {
    MATRIX_TOKEN t{};
    t.process_node = c.level ? &n10 : &n0;
    t.access_target_id = 9;
    m->p.pri_area[9] = c.word;
    EXPECT_EQ(_matrix_token_pri(&t), c.pri) << std::hex << c.word;
  }
  MATRIX_ACCESS_LIST second{nullptr, 9}, first{&second, 3};
  MATRIX_TOKEN t{};
  t.process_node = &n0;
  t.access_target_id = -1;
  EXPECT_EQ(_matrix_token_pri(&t), kMxPriFirst) << "no id: mode 3";
  t.access_list = &first;
  m->p.pri_area[3] = 0x00640002;
  EXPECT_EQ(_matrix_token_pri(&t), 100) << "the first id on the list";
  EXPECT_EQ(printed([&] { see_access_list(&first); }), "alist(3 9 )\n");
  n0.process_token = &t;
  token_check(&t);  // its node's token: passes
  MATRIX_TOKEN other{};
  n0.process_token = &other;
  EXPECT_EXIT(token_check(&t), testing::ExitedWithCode(1), tqtest::panic_banner("_insert_matrix_acess"));
  m->p.pri_area[3] = 4;
  EXPECT_EXIT(_matrix_token_pri(&t), testing::ExitedWithCode(1), tqtest::panic_banner("_get_matrix_access"));
}

TEST(AccessToken, ScriptsEndInStatusesJumpsAndCompletionBytes) {
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  shape.scripts = {{{5}, "(finish 2 3)"},
                  {{8}, "(finish -1 4 -1 11) (note 8) (fail) (note 0)"},
                  {{11}, "(note 11)"},
                  {{14}, "(note 14) (wait 1) (note 0)"},
                  {{17}, "(wait \"x\")"},
                  {{20}, "(note 20) (wait 2 0 256) (note 21)"},
                  {{23}, "(fail 2147554308)"},  // a break
                  {{1}, "(finish 2 5 -1 9) (tokerr) (note 0)"},  // level 1
                  {{10}, "(note 10)"}};
  MATRIX* m = open_store_matrix(&shape, "events");
  take_trace();
  MATRIX_NODE* a;
  {
    LOCK_SCOPE(matrix_lock);
    int code = 0;
    a = _get_matrix_node(&code, m, std::vector<int64_t>{0, 0}.data(), 0, 0, nullptr, 0);
    _matrix_trigger_access(a, MI_DEF + 2, 0);  // an empty slot: passed over
    _matrix_trigger_access(a, MI_FETCH_2, 0);
    EXPECT_EQ(ids(a->process_token), "5 2 8 ");
  }
  ASSERT_TRUE(drained());
  EXPECT_EQ(take_trace(), (Trace{"t2", "8", "11", "t4"})) << "the error jump runs 11";
  EXPECT_EQ(a->status, MS_PROCESS_ERR_1);
  auto bytes = [&] { return std::vector<int>(a->scan_call, a->scan_call + 8); };
  EXPECT_EQ(bytes(), (std::vector<int>{0, 1, -100, 1, 0, 0, 0, 0}));

  matrix_trigger_access(a, MI_EDIT_2, 0);  // failed processing: display first
  ASSERT_TRUE(drained());
  EXPECT_EQ(take_trace(), (Trace{"14", "t4"})) << "waits without a wait chain are failures";
  EXPECT_EQ(bytes(), (std::vector<int>{0, 1, -100, 1, -100, -100, 0, 0}));
  EXPECT_EQ(a->status, MX_NODE_IN_PROCESS);

  matrix_trigger_access(a, MI_VISU_2, 0);
  ASSERT_TRUE(drained());
  EXPECT_EQ(take_trace(), (Trace{"20", "t2", "21", "t4"})) << "waited for (0 256), then went on";
  EXPECT_EQ(find_node(m, {0, 256})->status, MS_OK);

  int code;
  MATRIX_NODE* b = lookup(&code, m, {1, 0}, 0);  // its fetch slot is empty
  ASSERT_TRUE(drained());
  take_trace();
  matrix_trigger_access(b, MI_DEF, 0);
  ASSERT_TRUE(drained());
  EXPECT_EQ(take_trace(), (Trace{"10", "t4"})) << "a failure found by a word: its status and jump";
  EXPECT_EQ(b->status, MS_EDIT_ERR_1);

  matrix_trigger_access(a, MI_SAVE, 0);
  ASSERT_TRUE(drained());
  EXPECT_EQ(a->scan_call[7], MX_EVENT_BREAK);
  EXPECT_NE(a->process_token, nullptr) << "an interrupted token stays";
  abandon(a);
  close_matrix(m);
}

TEST(AccessToken, OneLevelMatrixRunsTheTopClass) {
  StoreShape shape;
  shape.axes = {{1, 1, 8}};
  shape.scripts = {{{3}, "(note 3)"}, {{5}, "(note 5)"}};
  MATRIX* m = open_store_matrix(&shape, "one level");
  take_trace();
  int code;
  lookup(&code, m, {0, 0}, 0);
  ASSERT_TRUE(drained());
  EXPECT_EQ(take_trace(), (Trace{"3", "t4"}));
  close_matrix(m);
}

TEST(AccessToken, WaitersShareOneDelayedValue) {
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  shape.scripts = {{{5}, "(finish 2 3) (load)"}};
  shape.saved[{0, 0}] = std::string("\x01\x00\x01\x05", 4);
  MATRIX* m = open_store_matrix(&shape, "delayed");
  GcFrame frame("test");
  TQ_SEXP *first = nullptr, *second = nullptr, *missing = nullptr;
  {
    LOCK_SCOPE(matrix_lock);  // both ask before the load runs
    int code = 0;
    int64_t there[] = {0, 0}, absent[] = {0, 256};
    _get_matrix_node(&code, m, there, 0, 0, &first, 0);
    _get_matrix_node(&code, m, there, 0, 0, &second, 0);
    _get_matrix_node(&code, m, absent, 0, 0, &missing, 0);
  }
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  ASSERT_TRUE(drained());
  D_SEXP* d = search_d_sexp(first);
  ASSERT_TRUE(d && (d->flags & 1));
  EXPECT_EQ(text(d->ret), text(get_raw("\x01\x00\x01\x05", 4)));
  d = search_d_sexp(missing);
  ASSERT_TRUE(d && (d->flags & 1));
  ASSERT_EQ(get_type(d->ret), kTagError);
  EXPECT_EQ(d->ret->error.code, 0x80040501u);
  EXPECT_EQ(n_string(utf8_cm, d->ret->error.func), std::string("Get"));
  EXPECT_EQ(text(d->ret->error.data), "(\"get_matrix there is no node\")");
  EXPECT_EQ(find_node(m, {0, 0})->send_data, nullptr) << "the holders are released";
  close_matrix(m);
}

}  // namespace
