// Walks over the nodes of a box: the Peano order and its trigger pass with the queue pause,
// children lists, event scans on a file matrix, forced scans with their phases, loadings
// and progress lines, and the load indicator. Orders, work counts and forced-walk output
// are checked against the independent model scan_model.py (data/scan_golden.txt).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "interp/script_start.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/load_indicate.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
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

// The golden lines of one kind, split into words, with the lines that follow each up to "end"
// for the forced walks.
struct Golden {
  std::vector<int64_t> nums;  // the numbers of the line (after its kind)
  std::string tail;           // what follows ":" or "="
  std::string output;         // following lines up to "end", joined with line ends
};
std::vector<Golden> golden(const std::string& kind) {
  std::ifstream f(std::string(TQ_SOURCE_DIR) + "/tests/matrix/data/scan_golden.txt");
  std::vector<Golden> out;
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word != kind) continue;
    Golden g;
    while (in >> word && word != ":" && word != "=") g.nums.push_back(std::stoll(word));
    std::getline(in, g.tail);
    if (kind == "force")
      while (std::getline(f, line) && line != "end") g.output += line + "\n";
    out.push_back(g);
  }
  EXPECT_FALSE(out.empty()) << "no golden " << kind;
  return out;
}

// Axes of a golden line from nums[at] on (a count, then pixel_size, dim_divide, block_size each).
std::vector<Axis> axes_at(const std::vector<int64_t>& nums, size_t* at) {
  std::vector<Axis> axes;
  const int dim = int(nums[(*at)++]);
  for (int a = 0; a < dim; ++a, *at += 3) axes.push_back({nums[*at], int(nums[*at + 1]), int(nums[*at + 2])});
  return axes;
}

Codes peano(MATRIX* m, const Code& start, const Code& end) {
  Codes seen;
  Code dc = start;
  do {
    seen.emplace_back(dc.begin() + 1, dc.end());
  } while (_dc_peano_inc(m, dc.data(), start.data(), end.data(), int(start[0])) == 0 && seen.size() < 10000);
  return seen;
}

TEST(PeanoWalk, OrdersOfTheWalk) {
  struct Case {
    std::vector<Axis> axes;
    Code start, end;
    Codes order;
    bool whole;  // the whole walk, else its beginning
  } cases[] = {
      {{{4, 1, 0}}, {0, 0}, {0, 4}, {{0}, {1}, {2}, {3}}, true},
      {{{4, 1, 0}, {4, 1, 0}},
       {0, 0, 0},
       {0, 4, 4},
       {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {2, 0}, {3, 0}, {2, 1}, {3, 1}, {0, 2}},
       false},
      {{{64, 1, 2}, {64, 1, 2}}, {1, 8, 16}, {1, 16, 24}, {{8, 16}}, true},  // one block
  };
  for (const Case& c : cases) {
    TestMatrix m(c.axes);
    Codes seen = peano(m.get(), c.start, c.end);
    if (!c.whole) seen.resize(c.order.size());
    EXPECT_EQ(seen, c.order);
  }
  for (const Golden& g : golden("peano")) {
    size_t at = 0;
    TestMatrix m(axes_at(g.nums, &at));
    ASSERT_EQ(m->total_levels, g.nums[at++]);
    const int dim = m->p.dim;
    Code start{g.nums[at]}, end{g.nums[at]};
    start.insert(start.end(), g.nums.begin() + int(at) + 1, g.nums.begin() + int(at) + 1 + dim);
    end.insert(end.end(), g.nums.begin() + int(at) + 1 + dim, g.nums.begin() + int(at) + 1 + 2 * dim);
    std::string order;
    for (const Code& c : peano(m.get(), start, end)) {
      for (size_t a = 0; a < c.size(); ++a) order += (a ? "," : " ") + std::to_string(c[a]);
    }
    EXPECT_EQ(order, g.tail) << "start " << start[1] << " end " << end[1];
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
  StoreSpec spec;
  spec.axes = {{256, 1, 0}};
  spec.scripts = {{{4}, "(hold)"}, {{3, 5, 11}, "(finish 2 2)"}};
  MATRIX* m = open_store_matrix(&spec, "peano pause");
  int code;
  lookup(&code, m, {1, 0}, 0);  // its load holds the queue's worker
  ASSERT_TRUE(wait_held());
  matrix_pause = drain_pause;
  int r = 0;
  const std::string out = printed([&] { r = matrix_peano_trigger(m, Code{0, 0}.data(), Code{0, 120}.data(), MI_EDIT_1); });
  matrix_pause = sleep_sec;
  EXPECT_EQ(r, -1);
  std::string want;
  for (int x = 0; x < 120; ++x) want += (x == 100 ? "P 0 100 0 - 0 120 0\n" : "") + ("P 0 " + std::to_string(x) + " 0 - 0 120 0\n");
  EXPECT_EQ(out, want) << "the 101st block waits once for the queue, then is printed again";
  EXPECT_EQ(pauses.load(), 1);
  ASSERT_TRUE(drained());
  EXPECT_EQ(find_node(m, {0, 119})->status, MS_OK);
  EXPECT_EQ(find_node(m, {0, 120}), nullptr);

  spec.axes = {{2, 1, 0}, {2, 1, 0}};
  MATRIX* two = open_store_matrix(&spec, "peano lines");
  EXPECT_EQ(printed([&] { matrix_peano_trigger(two, Code{0, 0, 0}.data(), Code{0, 2, 2}.data(), MI_EDIT_1); }),
            "P 0 0 0 - 0 2 2\nP 0 1 0 - 0 2 2\nP 0 0 1 - 0 2 2\nP 0 1 1 - 0 2 2\n");
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
      {{{1 << 15, 14, 0}}, {1, 0}, {{0, 5}, {0, 2}, {0, 9}}, {{0, 9}, {0, 5}, {0, 2}}},    // list form
      {{{4, 1, 0}, {4, 1, 0}}, {1, 0, 2}, {}, {}},
  };
  for (const Case& c : cases) {
    StoreSpec spec;
    spec.axes = c.axes;
    spec.scripts = {{{3, 4, 5}, "(finish 2 2)"}};
    MATRIX* m = open_store_matrix(&spec, "children");
    int code = 0;
    Code dc = c.node;
    MATRIX_NODE* n = get_matrix_node_wait(&code, m, dc.data(), 0);
    ASSERT_EQ(code, 0);
    for (Code child : c.inserted) insert_dim_code_index(n, child.data(), 0);
    unlock_node(n, nullptr);
    MX_DIM_CODE_LIST* list = get_children_list(&code, m, dc.data(), 0, 1, nullptr);
    Codes got;
    for (MX_DIM_CODE_LIST* e = list; e; e = e->next) got.emplace_back(e->dc, e->dc + m->p.dim + 1);
    free_mx_dim_code_list(list);
    EXPECT_EQ(got, c.listed);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(n->locked, 0);
    close_matrix(m);
  }
}

// ---- Event scans on a file matrix: a top node (2 0) over (1 0) over the leaves (0 0), (0 2).

struct Visits {
  std::mutex mu;
  Codes codes;
};
int note_visit(MATRIX_SCAN_T* mst) {
  auto* v = static_cast<Visits*>(mst->work);
  std::lock_guard<std::mutex> g(v->mu);
  v->codes.emplace_back(mst->dim_code, mst->dim_code + mst->m->p.dim + 1);
  return 0;
}

// Makes each node (parents first) ready, records it in its parent and writes it to the file.
void store_tree(MATRIX* m, Codes codes) {
  for (Code& c : codes) {
    int code = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&code, m, c.data(), 0);
    ASSERT_EQ(code, 0);
    set_dirty_file(n);
    unlock_node(n, nullptr);
    if (c[0] + 1 >= m->total_levels) continue;
    Code up = c;
    ++up[0];
    MATRIX_NODE* parent = get_matrix_node_wait(&code, m, up.data(), 0);
    insert_dim_code_index(parent, c.data(), 1);
    unlock_node(parent, nullptr);
  }
  sync_matrix(m);
}

TEST(MatrixScan, EventScans) {
  const Code top{2, 0}, mid{1, 0}, leaf0{0, 0}, leaf2{0, 2};
  struct Case {
    bool stored;
    int dir;
    const char* leaf_script;
    int64_t end;
    int result;
    Codes visited;
  } cases[] = {
      {false, 0, "(note 11)", 3, 0, {}},                                 // no stored top node
      {true, 0, "(fail)", 3, 0, {leaf0, leaf2, mid, top}},               // children first
      {true, 1, "(fail)", 3, MX_SCRIPT_FAILED, {top, mid, leaf0, leaf2}},  // node first
      {true, 1, "(note 11)", 1, 0, {top, mid, leaf0}},                   // (0 2) outside the box
      {true, 1, "(fail 2147554308)", 3, MX_INTERRUPTED, {top, mid}},     // a break ends every ancestor
  };
  for (const Case& c : cases) {
    tqtest::TempDir dir;
    FileSpec spec;
    spec.axes = {{4, 1, 1}};
    MATRIX* m = open_file_matrix(&spec, dir.file("scan"));
    ASSERT_EQ(m->total_levels, 3);
    if (c.stored) store_tree(m, {top, mid, leaf0, leaf2});
    GcFrame frame("EventScans");
    set_matrix_cal(m, MI_EDIT_1, sexp_commands(std_cm, "(note 9)", nullptr));
    set_matrix_cal(m, MI_EDIT_1 + 1, sexp_commands(std_cm, "(note 10)", nullptr));
    set_matrix_cal(m, MI_EDIT_1 + 2, sexp_commands(std_cm, c.leaf_script, nullptr));
    ASSERT_TRUE(drained());
    take_trace();
    Visits visits;
    int r = 1;
    tqtest::Task scan([&] { r = matrix_scan(m, c.dir, MI_EDIT_1, Code{0, 0}.data(), Code{0, c.end}.data(), note_visit, &visits); });
    ASSERT_TRUE(scan.wait()) << "the scan did not end";
    EXPECT_EQ(r, c.result) << c.leaf_script;
    EXPECT_EQ(visits.codes, c.visited) << c.leaf_script << " dir " << c.dir;
    if (!c.stored) {
      EXPECT_EQ(take_trace(), std::vector<std::string>{}) << "no event ran";
    }
    if (c.result == MX_INTERRUPTED) abandon(find_node(m, leaf0));
    ASSERT_TRUE(drained());
    close_matrix(m);
  }
}

TEST(MatrixScan, LoopAmounts) {
  for (const Golden& g : golden("loop")) {
    size_t at = 0;
    TestMatrix m(axes_at(g.nums, &at));
    ASSERT_EQ(m->total_levels, g.nums[at++]);
    const size_t n = size_t(m->p.dim) + 1;
    const Code dc(g.nums.begin() + int(at), g.nums.begin() + int(at + n));
    const Code start(g.nums.begin() + int(at + n), g.nums.begin() + int(at + 2 * n));
    const Code end(g.nums.begin() + int(at + 2 * n), g.nums.begin() + int(at + 3 * n));
    EXPECT_EQ(get_loop_amount(m.get(), start.data(), end.data(), dc.data()), std::stoll(g.tail)) << g.tail;
  }
}

std::atomic<uint32_t> test_clock{0};
uint32_t read_test_clock() { return test_clock.load(); }

// Forced walks on a held clock: func answers flags per phase from the case it carries.
struct Force {
  int phase0 = MX_SCAN_DESCEND;
  int loading_type = 0, tree = 0, create = 0;
  bool tick = true;      // move the clock one second in phase 0
  bool loaded = true;    // after each loading, a node (and with type 2 a datum) is there
};
int force_func(MATRIX_SCAN_T* mst) {
  auto* f = static_cast<Force*>(mst->work);
  if (mst->dir == 0) {
    if (f->tick) ++test_clock;
    mst->loading_type = f->loading_type;
    mst->gn_tree_node = f->tree;
    mst->gn_create = f->create;
    mst->channel = 0;
    return f->phase0;
  }
  const bool after_load = (mst->dir == 1 && (f->phase0 & MX_SCAN_LOAD_BEFORE)) ||
                          (mst->dir == 3 && (f->phase0 & MX_SCAN_LOAD_AFTER));
  if (after_load) f->loaded = f->loaded && mst->n && (f->loading_type == 1 || mst->channel_data);
  return 0;
}

// The test clock from now on, the timed thread held.
class HeldClock {
 public:
  HeldClock() {
    test_clock = tick_now();
    tick_thread_hold(true);
    tick_clock = read_test_clock;
  }
  ~HeldClock() {
    tick_clock = nullptr;
    tick_thread_hold(false);
  }
};

TEST(MatrixScan, ForcedWalksMatchTheModel) {
  HeldClock held;
  for (const Golden& g : golden("force")) {
    size_t at = 0;
    StoreSpec spec;
    spec.axes = axes_at(g.nums, &at);
    MATRIX* m = open_store_matrix(&spec, "forced");
    ASSERT_EQ(m->total_levels, g.nums[at++]);
    test_clock = uint32_t(g.nums[at++]);
    const size_t n = spec.axes.size() + 1;
    Code start(g.nums.begin() + int(at), g.nums.begin() + int(at + n));
    Code end(g.nums.begin() + int(at + n), g.nums.begin() + int(at + 2 * n));
    Force f;
    int r = 1;
    EXPECT_EQ(printed([&] { r = matrix_scan_force(m, 0, start.data(), end.data(), force_func, &f); }), g.output);
    EXPECT_EQ(r, 0);
    close_matrix(m);
  }
}

TEST(MatrixScan, ForcedPhasesAndLoadings) {
  HeldClock held;
  const std::string head = "call-force +max 3+[2 0 ] +max 3+[0 0 ] +max 3+[0 3 ]\n";
  const std::string total = "TOTAL = 8 / 8 100.000000\n";
  struct Case {
    Force f;
    int result;
    std::string out;
  } cases[] = {
      {{0}, 0, head + total},  // the top node only, its whole box done
      {{-5}, -5, head},
      {{MX_SCAN_LOAD_BEFORE | MX_SCAN_LOAD_AFTER, 2}, 0, head + "ERR? 0\nERR? 0\n" + total},
      {{MX_SCAN_LOAD_BEFORE, 2, 1}, 0, head + "ERR? 0\n" + total},  // through the tree walk
      {{MX_SCAN_LOAD_AFTER, 1}, 0, head + "ERR? 0\n" + total},
      {{MX_SCAN_LOAD_BEFORE, 1, 0, -1}, MX_NO_NODE, head + "ERR? -101\n"},  // not made
  };
  for (Case& c : cases) {
    StoreSpec spec;
    spec.axes = {{4, 1, 1}};
    spec.channels = {{&mx_type_double_v, 0, nullptr, 0}};
    spec.scripts = {{{3, 4, 5}, "(finish 2 2)"}};
    MATRIX* m = open_store_matrix(&spec, "phases");
    int code;
    lookup(&code, m, {0, 0}, 0);  // a first node: its insertion's purge is over before the walk
    ASSERT_TRUE(drained());
    test_clock += 10;
    int r = 1;
    EXPECT_EQ(printed([&] { r = matrix_scan_force(m, 0, Code{0, 0}.data(), Code{0, 3}.data(), force_func, &c.f); }),
              c.out);
    EXPECT_EQ(r, c.result);
    EXPECT_TRUE(c.f.loaded) << c.out;
    if (MATRIX_NODE* n = find_node(m, {2, 0})) {
      EXPECT_EQ(n->locked, 0) << "every lock taken for the node is released";
      EXPECT_EQ(n->ch_lock, 0);
    }
    ASSERT_TRUE(drained());
    close_matrix(m);
  }
  StoreSpec spec;
  spec.axes = {{4, 1, 1}};
  MATRIX* m = open_store_matrix(&spec, "bad loading");
  Force bad{MX_SCAN_LOAD_BEFORE, 3};
  EXPECT_EXIT(matrix_scan_force(m, 0, Code{0, 0}.data(), Code{0, 3}.data(), force_func, &bad),
              testing::ExitedWithCode(1), tqtest::panic_banner("_scan_call_loading"));
  close_matrix(m);
}

std::atomic<int> restarts{0};
void end_stopping(int) {
  ++restarts;
  load_indicate_tick_end_flag = 0;
}

TEST(LoadIndicator, QueueRunsAndStop) {
  StoreSpec spec;
  spec.axes = {{64, 1, 2}};
  spec.pri = {{MI_EDIT_1 + 2, 512 << 16 | MX_PRI_FLAT}, {MI_EDIT_2, 1024 << 16 | MX_PRI_FLAT}};  // as classed
  spec.scripts = {{{4}, "(hold)"}, {{3, 5, 11, 12}, "(finish 2 2)"}};
  MATRIX* m = open_store_matrix(&spec, "indicator");
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
  EXPECT_EQ(printed([] { load_indicate_tick(nullptr); }), "") << "the end flag stops it silently";
  EXPECT_EQ(load_indicate_tick_end_flag, 0);
  load_indicate_tick_end_flag = 1;  // a previous indicator still stopping
  matrix_pause = end_stopping;
  load_indicate(1);
  matrix_pause = sleep_sec;
  del_tick(load_indicate_tick);
  EXPECT_EQ(restarts.load(), 1);
  close_matrix(m);
}

}  // namespace
