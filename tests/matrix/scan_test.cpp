// Walks over the nodes of a box: the Peano order and its trigger pass with the queue pause,
// children lists, event scans on a file matrix, forced scans with their phases, loadings and
// progress lines on a held clock, and the load indicator. Orders, work counts and whole
// forced walks come from the independent model scan_model.py (data/scan_golden.txt).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "interp/script_start.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/cache_fixture.h"
#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/load_indicate.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_scan.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_fixture.h"
#include "matrix/node_cache.h"
#include "matrix/peano_walk.h"
#include "matrix/test_store.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "text/code_method.h"

namespace {

using namespace mxtest;
using namespace tq;
using Code = std::vector<int64_t>;
using Codes = std::vector<Code>;

// A golden line of `kind`: its numbers (up to ":" or "="), what follows, and for forced walks
// the lines up to "end". `at` reads the numbers in turn.
struct Golden {
  std::vector<int64_t> n;
  std::string tail, out;
  size_t at = 0;
  std::vector<Axis> axes() {
    std::vector<Axis> a(size_t(n[at++]));
    for (Axis& x : a) x = {n[at], int(n[at + 1]), int(n[at + 2])}, at += 3;
    return a;
  }
  Code take(size_t count) { return at += count, Code(n.begin() + int(at - count), n.begin() + int(at)); }
};
std::vector<Golden> golden(const std::string& kind) {
  std::ifstream f(std::string(TQ_SOURCE_DIR) + "/tests/matrix/data/scan_golden.txt");
  std::vector<Golden> out;
  for (std::string line, word; std::getline(f, line);) {
    std::istringstream in(line);
    if (!(in >> word) || word != kind) continue;
    Golden g;
    while (in >> word && word != ":" && word != "=") g.n.push_back(std::stoll(word));
    std::getline(in, g.tail);
    while (kind == "force" && std::getline(f, line) && line != "end") g.out += line + "\n";
    out.push_back(g);
  }
  EXPECT_FALSE(out.empty()) << kind;
  return out;
}

TEST(PeanoWalk, OrdersMatchTheModel) {
  for (Golden g : golden("peano")) {
    TestMatrix m(g.axes());
    ASSERT_EQ(m->total_levels, g.take(1)[0]);
    const int64_t level = g.take(1)[0];
    Code start = g.take(size_t(m->p.dim)), end = g.take(size_t(m->p.dim)), dc;
    start.insert(start.begin(), level), end.insert(end.begin(), level), dc = start;
    std::string order;
    for (int n = 0; n < 10000; ++n) {
      for (int a = 1; a <= m->p.dim; ++a) order += (a > 1 ? "," : " ") + std::to_string(dc[size_t(a)]);
      if (_dc_peano_inc(m.get(), dc.data(), start.data(), end.data(), int(level)) != 0) break;
    }
    EXPECT_EQ(order, g.tail);
  }
}

std::atomic<int> pauses{0};
void drain_pause(int seconds) {
  EXPECT_EQ(seconds, 1);
  ++pauses;
  release_hold();
  EXPECT_TRUE(drained()) << "the queue did not drain";
}

TEST(PeanoWalk, TriggerLinesAndThePauseForTheQueue) {
  StoreShape shape;
  shape.axes = {{256, 1, 0}};
  shape.scripts = {{{4}, "(hold)"}, {{3, 5, 11}, "(finish 2 2)"}};
  MATRIX* m = open_store_matrix(&shape, "peano");
  int code;
  lookup(&code, m, {1, 0}, 0);  // its load holds the queue's worker while the walk queues
  ASSERT_TRUE(wait_held());
  pauses = 0;
  matrix_pause = drain_pause;
  hold_off_purge();
  int r = 0;
  const std::string out = printed([&] { r = matrix_peano_trigger(m, Code{0, 0}.data(), Code{0, 120}.data(), MI_EDIT_1); });
  matrix_pause = sleep_sec;
  std::string want;
  for (int x = 0; x < 120; ++x) want += (x == 100 ? "P 0 100 0 - 0 120 0\n" : "") + ("P 0 " + std::to_string(x) + " 0 - 0 120 0\n");
  EXPECT_EQ(out, want) << "with 100 tokens queued the 101st block waits, then is printed again";
  EXPECT_EQ(r, -1);
  EXPECT_EQ(pauses.load(), 1);
  ASSERT_TRUE(drained());
  EXPECT_EQ(find_node(m, {0, 119})->status, MS_OK);
  shape.axes = {{2, 1, 0}, {2, 1, 0}};
  MATRIX* two = open_store_matrix(&shape, "peano 2");
  EXPECT_EQ(printed([&] { matrix_peano_trigger(two, Code{0, 0, 0}.data(), Code{0, 2, 2}.data(), MI_EDIT_1); }),
            "P 0 0 0 - 0 2 2\nP 0 1 0 - 0 2 2\nP 0 0 1 - 0 2 2\nP 0 1 1 - 0 2 2\n");
  EXPECT_EQ(printed([&] { EXPECT_EQ(matrix_peano_trigger(two, Code{0, 1, 0}.data(), Code{0, 1, 2}.data(), MI_EDIT_1), -1); }),
            "")
      << "an empty box walks nothing";
  ASSERT_TRUE(drained());
  close_matrix(two);
  close_matrix(m);
}

TEST(PeanoWalk, ChildrenLists) {
  struct Case {
    std::vector<Axis> axes;
    Code node;
    Codes inserted, listed;
  } cases[] = {
      {{{4, 1, 0}, {4, 1, 0}}, {1, 0, 0}, {{0, 1, 1}, {0, 0, 0}}, {{0, 0, 0}, {0, 1, 1}}},  // bits 3 and 0
      {{{1 << 15, 14, 0}}, {1, 0}, {{0, 5}, {0, 2}, {0, 9}}, {{0, 9}, {0, 5}, {0, 2}}},    // a list, reversed
      {{{4, 1, 0}, {4, 1, 0}}, {1, 0, 2}, {}, {}},
  };
  for (Case& c : cases) {
    StoreShape shape;
    shape.axes = c.axes;
    shape.scripts = {{{3, 4, 5}, "(finish 2 2)"}};
    MATRIX* m = open_store_matrix(&shape, "children");
    int code = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&code, m, c.node.data(), 0);
    for (Code& child : c.inserted) insert_dim_code_index(n, child.data(), 0);
    unlock_node(n, nullptr);
    MX_DIM_CODE_LIST* list = get_children_list(&code, m, c.node.data(), 0, 1, nullptr);
    Codes got;
    for (MX_DIM_CODE_LIST* e = list; e; e = e->next) got.emplace_back(e->dc, e->dc + m->p.dim + 1);
    free_mx_dim_code_list(list);
    EXPECT_EQ(got, c.listed);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(n->locked, 0);
    close_matrix(m);
  }
}

// The code of every node a scan's func sees, in order ({-1} when it is not given the node
// of that code); func fails with -7 at fail_at.
struct Visits {
  std::mutex mu;
  Codes codes;
  Code fail_at;
};
int note_visit(MATRIX_SCAN_T* mst) {
  auto* v = static_cast<Visits*>(mst->work);
  std::lock_guard<std::mutex> g(v->mu);
  const size_t len = size_t(mst->m->p.dim) + 1;
  const Code code(mst->dim_code, mst->dim_code + len);
  const bool its_node = mst->n && mst->n->matrix == mst->m && Code(mst->n->dim_code, mst->n->dim_code + len) == code;
  v->codes.push_back(its_node ? code : Code{-1});
  return v->codes.back() == v->fail_at ? -7 : 0;
}

// Makes each node ready, records it in its parent and writes them all to the file.
void store_tree(MATRIX* m, Codes codes) {
  int code = 0;
  for (Code& c : codes) {
    Code up{c[0] + 1, c[1]};
    MATRIX_NODE* n = get_matrix_node_wait(&code, m, c.data(), 0);
    set_dirty_file(n);
    unlock_node(n, nullptr);
    if (up[0] >= m->total_levels) continue;
    MATRIX_NODE* parent = get_matrix_node_wait(&code, m, up.data(), 0);
    insert_dim_code_index(parent, c.data(), 1);
    unlock_node(parent, nullptr);
  }
  sync_matrix(m);
}

TEST(MatrixScan, EventScansOfStoredNodes) {
  const Code top{2, 0}, mid{1, 0}, leaf0{0, 0}, leaf2{0, 2};  // one axis of 4 in blocks of 2
  struct Case {
    bool stored;
    int dir;
    const char* leaf_script;
    int64_t end;
    int result;
    Codes visited;
    Code fail_at = {};
    int levels = 0;  // else as the axis gives
  } cases[] = {
      {false, 0, "(note 11)", 3, 0, {}},
      {true, 0, "(fail)", 3, 0, {leaf0, leaf2, mid, top}},                 // children first
      {true, 1, "(fail)", 3, MX_SCRIPT_FAILED, {top, mid, leaf0, leaf2}},  // node first
      {true, 1, "(note 11)", 1, 0, {top, mid, leaf0}},                     // (0 2) outside the box
      {true, 1, "(fail 2147554308)", 3, MX_INTERRUPTED, {top, mid}},       // a break ends every ancestor
      {true, 0, "(note 11)", 3, -7, {leaf0, leaf2, mid, top}, leaf0},      // a later child's 0 keeps it
      {true, 0, "(note 11)", 3, -7, {leaf0, leaf2}, leaf0, 1},             // so does a later top node's
  };
  for (const Case& c : cases) {
    tqtest::TempDir dir;
    FileShape shape;
    shape.axes = {{4, 1, 1}};
    MATRIX* m = open_file_matrix(&shape, dir.file("scan"));
    if (c.stored) store_tree(m, {top, mid, leaf0, leaf2});
    const int levels = m->total_levels;  // the size list is freed by this count at the close
    if (c.levels) m->total_levels = c.levels;
    GcFrame frame("EventScans");
    const char* scripts[3] = {"(note 9)", "(note 10)", c.leaf_script};  // by level class
    for (int k = 0; k < 3; ++k) set_matrix_cal(m, MI_EDIT_1 + k, sexp_commands(std_cm, scripts[k], nullptr));
    ASSERT_TRUE(drained());
    take_trace();
    Visits visits;
    visits.fail_at = c.fail_at;
    int r = 1;
    tqtest::Task scan([&] { r = matrix_scan(m, c.dir, MI_EDIT_1, Code{0, 0}.data(), Code{0, c.end}.data(), note_visit, &visits); });
    ASSERT_TRUE(scan.wait()) << "the scan did not end";
    EXPECT_EQ(r, c.result) << c.leaf_script;
    EXPECT_EQ(visits.codes, c.visited) << c.leaf_script << " dir " << c.dir;
    EXPECT_TRUE(c.stored || take_trace().empty()) << "no event ran";
    if (c.result == MX_INTERRUPTED) abandon(find_node(m, leaf0));
    m->total_levels = levels;
    close_matrix(m);
  }
}

TEST(MatrixScan, LoopAmountsMatchTheModel) {
  for (Golden g : golden("loop")) {
    TestMatrix m(g.axes());
    ASSERT_EQ(m->total_levels, g.take(1)[0]);
    const Code dc = g.take(size_t(m->p.dim) + 1), start = g.take(dc.size()), end = g.take(dc.size());
    EXPECT_EQ(get_loop_amount(m.get(), start.data(), end.data(), dc.data()), std::stoll(g.tail));
  }
  TestMatrix huge({{int64_t(1) << 40, 1, 20}, {int64_t(1) << 40, 1, 20}});  // 2^80 samples at level 0
  const int64_t top = huge->total_levels - 1, far = int64_t(1) << 40;
  EXPECT_EQ(get_loop_amount(huge.get(), Code{0, 0, 0}.data(), Code{0, far, far}.data(), Code{top, 0, 0}.data()), INT64_MAX);
}

// Forced walks on a held clock, moved a second at each node's first phase; func answers
// the flags and loading of the Force it is given and checks what each loading obtained.
std::atomic<uint32_t> test_clock{0};
struct HeldClock {
  HeldClock() {
    test_clock = tick_now();
    tick_thread_hold(true);
    tick_clock = [] { return test_clock.load(); };
  }
  ~HeldClock() {
    tick_clock = nullptr;
    tick_thread_hold(false);
  }
};
struct Force {
  int flags = MX_SCAN_DESCEND, loading_type = 0, tree = 0, create = 0;
  bool loaded = true;  // after each loading, the node (and with type 2 a datum) was there
};
int force_func(MATRIX_SCAN_T* mst) {
  auto* f = static_cast<Force*>(mst->work);
  if (mst->dir == 0) {
    ++test_clock;
    mst->loading_type = f->loading_type, mst->gn_tree_node = f->tree, mst->gn_create = f->create;
    return f->flags;
  }
  if ((mst->dir == 1 && (f->flags & MX_SCAN_LOAD_BEFORE)) || (mst->dir == 3 && (f->flags & MX_SCAN_LOAD_AFTER)))
    f->loaded = f->loaded && mst->n && (f->loading_type == 1 || mst->channel_data);
  return 0;
}

TEST(MatrixScan, ForcedWalksMatchTheModel) {
  HeldClock held;
  for (Golden g : golden("force")) {
    StoreShape shape;
    shape.axes = g.axes();
    MATRIX* m = open_store_matrix(&shape, "forced");
    ASSERT_EQ(m->total_levels, g.take(1)[0]);
    test_clock = uint32_t(g.take(1)[0]);
    Code start = g.take(shape.axes.size() + 1), end = g.take(start.size());
    Force f;
    EXPECT_EQ(printed([&] { EXPECT_EQ(matrix_scan_force(m, 0, start.data(), end.data(), force_func, &f), 0); }), g.out);
    close_matrix(m);
  }
}

TEST(MatrixScan, ForcedPhasesAndLoadings) {
  HeldClock held;
  const std::string head = "call-force +max 3+[2 0 ] +max 3+[0 0 ] +max 3+[0 3 ]\n", all = "TOTAL = 8 / 8 100.000000\n";
  struct Case {
    Force f;
    int result;
    std::string out;
  } cases[] = {
      {{0}, 0, head + all},  // the top node only, its whole box done
      {{-5}, -5, head},
      {{MX_SCAN_LOAD_BEFORE | MX_SCAN_LOAD_AFTER, 2}, 0, head + "ERR? 0\nERR? 0\n" + all},
      {{MX_SCAN_LOAD_BEFORE, 2, 1}, 0, head + "ERR? 0\n" + all},  // through the tree walk
      {{MX_SCAN_LOAD_AFTER, 1}, 0, head + "ERR? 0\n" + all},
      {{MX_SCAN_LOAD_BEFORE, 1, 0, -1}, MX_NO_NODE, head + "ERR? -101\n"},  // not made
  };
  StoreShape shape;
  shape.axes = {{4, 1, 1}};
  shape.channels = {{&mx_type_double_v, 0, nullptr, 0}};
  shape.scripts = {{{3, 4, 5}, "(finish 2 2)"}};
  for (Case& c : cases) {
    MATRIX* m = open_store_matrix(&shape, "phases");
    hold_off_purge();
    int r = 1;
    EXPECT_EQ(printed([&] { r = matrix_scan_force(m, 0, Code{0, 0}.data(), Code{0, 3}.data(), force_func, &c.f); }), c.out);
    EXPECT_EQ(r, c.result);
    EXPECT_TRUE(c.f.loaded) << c.out;
    MATRIX_NODE* n = find_node(m, {2, 0});
    EXPECT_TRUE(!n || (n->locked == 0 && n->ch_lock == 0)) << "what a loading took is released";
    ASSERT_TRUE(drained());
    close_matrix(m);
  }
  MATRIX* m = open_store_matrix(&shape, "bad loading");
  Force bad{MX_SCAN_LOAD_BEFORE, 3};
  EXPECT_EXIT(matrix_scan_force(m, 0, Code{0, 0}.data(), Code{0, 3}.data(), force_func, &bad),
              testing::ExitedWithCode(1), tqtest::panic_banner("_scan_call_loading"));
  close_matrix(m);
}

TEST(LoadIndicator, QueueRunsAndStop) {
  StoreShape shape;
  shape.axes = {{64, 1, 2}};  // 7 levels
  shape.pri = {{MI_EDIT_1 + 2, 512 << 16 | MX_PRI_FLAT}, {MI_EDIT_2, 1024 << 16 | MX_PRI_FLAT}};  // as classed
  shape.scripts = {{{4}, "(hold)"}, {{3, 5, 11, 12}, "(finish 2 2)"}};
  MATRIX* m = open_store_matrix(&shape, "indicator");
  const Codes ready{{0, 0}, {0, 4}, {0, 8}, {6, 0}};
  int code;
  for (const Code& c : ready) lookup(&code, m, c, 0);
  ASSERT_TRUE(drained());
  lookup(&code, m, {1, 0}, 0);
  ASSERT_TRUE(wait_held());
  for (const Code& c : ready) matrix_trigger_access(find_node(m, c), c[0] ? MI_EDIT_2 : MI_EDIT_1, 0);
  EXPECT_EQ(printed([] { load_indicate_tick(nullptr); }), "QL-1[0]1024[1]512[3]\n");
  release_hold();
  ASSERT_TRUE(drained());
  EXPECT_EQ(printed([] { load_indicate_tick(nullptr); }), "QL-1[0]\n");
  load_indicate(0);
  EXPECT_EQ(load_indicate_tick_end_flag, 0) << "none runs: no stop left for a later start to wait on";
  load_indicate_tick_end_flag = 1;
  EXPECT_EQ(printed([] { load_indicate_tick(nullptr); }), "") << "the end flag stops it silently";
  EXPECT_EQ(load_indicate_tick_end_flag, 0);
  load_indicate_tick_end_flag = 1;  // a previous indicator still stopping: waited for
  matrix_pause = [](int) { load_indicate_tick_end_flag = 0; };
  load_indicate(1);
  matrix_pause = sleep_sec;
  del_tick(load_indicate_tick);
  load_indicate(0), printed([] { load_indicate_tick(nullptr); });  // its stop, as the tick would take it
  close_matrix(m);
}

}  // namespace
