// Numeric and status utilities: matrices, the 3-by-3 solver and its printers, progress
// estimation, points and rectangles, per-thread status words and the machine parameters.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>

#include "platform/machine.h"
#include "platform/task.h"
#include "support/test_util.h"
#include "util/ex_matrix.h"
#include "util/geometry.h"
#include "util/progressive.h"
#include "util/sys_param.h"
#include "util/thread_status.h"

namespace tq {
namespace {

EX_MATRIX* filled(int v, int h, std::initializer_list<double> values) {
  EX_MATRIX* m = new_ex_matrix(v, h);
  int i = 0;
  for (double x : values) m->d[i++] = x;
  return m;
}

TEST(ExMatrix, ShapesAndZeroes) {
  EX_MATRIX* m = new_ex_matrix(2, 3);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->v_size, 2);
  EXPECT_EQ(m->h_size, 3);
  for (int i = 0; i < 6; i++) EXPECT_EQ(m->d[i], 0.0);
  free_ex_matrix(m);
  EX_MATRIX* no_columns = new_ex_matrix(4, 0);
  ASSERT_NE(no_columns, nullptr);
  EXPECT_EQ(no_columns->v_size, 4);
  EXPECT_EQ(no_columns->h_size, 0);
  EXPECT_EQ(no_columns->d, reinterpret_cast<double*>(no_columns + 1));
  free_ex_matrix(no_columns);
  EXPECT_EQ(new_ex_matrix(-1, 3), nullptr);
  free_ex_matrix(nullptr);
}

TEST(ExMatrix, SumDifferenceNegation) {
  EX_MATRIX* a = filled(1, 2, {1, 2});
  EX_MATRIX* b = filled(1, 2, {10, 20});
  EX_MATRIX* c = filled(2, 1, {10, 20});
  EX_MATRIX* s = add_ex(a, b);
  EXPECT_EQ(s->d[0], 11);
  EXPECT_EQ(s->d[1], 22);
  EX_MATRIX* d = sub_ex(a, b);
  EXPECT_EQ(d->d[0], -9);
  EXPECT_EQ(d->d[1], -18);
  EX_MATRIX* n = sub_ex(a, nullptr);
  EXPECT_EQ(n->d[0], -1);
  EXPECT_EQ(n->d[1], -2);
  EXPECT_EQ(add_ex(a, c), nullptr);  // same element count, other shape
  EXPECT_EQ(sub_ex(a, c), nullptr);
  for (EX_MATRIX* m : {a, b, c, s, d, n}) free_ex_matrix(m);
}

TEST(ExMatrix, Product) {
  EX_MATRIX* a = filled(2, 3, {1, 2, 3, 4, 5, 6});
  EX_MATRIX* b = filled(3, 2, {7, 8, 9, 10, 11, 12});
  EX_MATRIX* p = mul_ex(a, b);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->v_size, 2);
  EXPECT_EQ(p->h_size, 2);
  EXPECT_EQ(p->d[0], 58);
  EXPECT_EQ(p->d[1], 64);
  EXPECT_EQ(p->d[2], 139);
  EXPECT_EQ(p->d[3], 154);
  EXPECT_EQ(mul_ex(a, a), nullptr);  // 2x3 by 2x3
  for (EX_MATRIX* m : {a, b, p}) free_ex_matrix(m);
}

TEST(ExMatrix, InnerProductOfVectorsOnly) {
  EX_MATRIX* a = filled(1, 3, {1, 2, 3});
  EX_MATRIX* b = filled(1, 3, {4, 5, 6});
  EX_MATRIX* sq = filled(2, 2, {1, 2, 3, 4});
  EX_MATRIX* col = filled(3, 1, {1, 2, 3});
  int er = 99;
  EXPECT_EQ(inner_ex(&er, a, b), 32.0);
  EXPECT_EQ(er, 0);
  EXPECT_EQ(inner_ex(&er, col, col), 14.0);
  EXPECT_EQ(er, 0);
  EXPECT_EQ(inner_ex(&er, sq, sq), 0.0);
  EXPECT_EQ(er, -1);
  er = 99;
  EXPECT_EQ(inner_ex(&er, a, col), 0.0);
  EXPECT_EQ(er, -1);
  for (EX_MATRIX* m : {a, b, sq, col}) free_ex_matrix(m);
}

TEST(Equation, SolvesThePivotingSystem) {
  double m[9] = {1, 2, 3, 3, 6, 4, 4, 6, 2};
  double v[3] = {1 * 1 + 2 * 2 + 3 * 3, 3 * 1 + 6 * 2 + 4 * 3, 4 * 1 + 6 * 2 + 2 * 3};
  double x[3] = {0, 0, 0};
  ASSERT_EQ(equation(x, m, v), 0);
  EXPECT_NEAR(x[0], 1, 1e-12);
  EXPECT_NEAR(x[1], 2, 1e-12);
  EXPECT_NEAR(x[2], 3, 1e-12);
}

TEST(Equation, SingularSystems) {
  double zero_column[9] = {0, 1, 2, 0, 3, 4, 0, 5, 7};
  double v[3] = {1, 2, 3};
  double x[3];
  EXPECT_EQ(equation(x, zero_column, v), -1);
  double proportional[9] = {1, 2, 3, 2, 4, 6, 1, 1, 1};  // second row twice the first
  double w[3] = {1, 2, 3};
  EXPECT_EQ(equation(x, proportional, w), -1);
}

TEST(Equation, Printers) {
  testing::internal::CaptureStdout();
  test_equation();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "v = (14.000000 27.000000 22.000000)\nresult = (1.000000 2.000000 3.000000)\n");
  const double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9.5};
  testing::internal::CaptureStdout();
  print_matrix(m);
  print_vector(m + 6);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "---\n(1.000000 2.000000 3.000000 )\n(4.000000 5.000000 6.000000 )\n"
            "(7.000000 8.000000 9.500000 )\n---\n---\n(7.000000 8.000000 9.500000 )\n---\n");
}

// Progress: stage start times are moved into the past so that elapsed times are known
// within the one second the clock may tick during a test.
TEST(Progressive, StartRules) {
  PROGRESSIVE* p = _new_progressive(3);
  EXPECT_EQ(_set_progressive(p, 0, 1), -1);  // not started
  EXPECT_EQ(_start_progressive(p, 1, 10), -1);  // stage 0 has finished nothing
  ASSERT_EQ(_start_progressive(p, 0, 100), 0);
  EXPECT_EQ(_start_progressive(p, 0, 100), -3);
  EXPECT_EQ(_set_progressive(p, 0, 50), 0);
  EXPECT_EQ(_start_progressive(p, 1, 10), -2);  // stage 0 incomplete
  EXPECT_EQ(_set_progressive(p, 0, 100), 0);
  EXPECT_EQ(_start_progressive(p, 1, 10), 0);
  EXPECT_EQ(_start_progressive(p, 3, 10), -4);
  EXPECT_EQ(_start_progressive(p, -1, 10), -4);
  EXPECT_EQ(_set_progressive(p, 7, 1), -1);
  _free_progressive(p);
  EXPECT_EQ(_new_progressive(0), nullptr);
}

TEST(Progressive, EstimatesFromElapsedTime) {
  PROGRESSIVE* p = _new_progressive(2);
  ASSERT_EQ(_start_progressive(p, 0, 100), 0);
  EXPECT_EQ(p->stages[0].estimate_total_time, -1);  // nothing done yet
  EXPECT_EQ(p->estimate_total_time, -1);
  p->stages[0].start_time -= 10;
  ASSERT_EQ(_set_progressive(p, 0, 25), 0);
  _progressive_estimation(p, 1);
  // elapsed (10 or 11 s) times total / finished.
  EXPECT_GE(p->stages[0].estimate_total_time, 40);
  EXPECT_LE(p->stages[0].estimate_total_time, 44);
  // Stage 1 has no prediction rates: unknown, so the whole run is unknown.
  EXPECT_EQ(p->stages[1].estimate_total_time, -1);
  EXPECT_EQ(p->estimate_total_time, -1);
  ASSERT_EQ(_set_progressive(p, 0, 100), 0);  // complete: estimate = time until completion
  EXPECT_GE(p->stages[0].estimate_total_time, 10);
  EXPECT_LE(p->stages[0].estimate_total_time, 11);
  // It stays so while later stages run (the stage's end is kept).
  double done = p->stages[0].estimate_total_time;
  p->stages[0].start_time -= 100;
  p->stages[0].end_time -= 100;
  _progressive_estimation(p, 1);
  EXPECT_EQ(p->stages[0].estimate_total_time, done);
  _free_progressive(p);
}

TEST(Progressive, PredictionFromEarlierStages) {
  PROGRESSIVE* p = _new_progressive(3);
  const double rates[3] = {2.0, /* stage 2: */ 1.0, -1.0};
  _set_prediction_rates(p, rates);
  ASSERT_EQ(_start_progressive(p, 0, 10), 0);
  p->stages[0].start_time -= 20;
  ASSERT_EQ(_set_progressive(p, 0, 10), 0);
  double e0 = p->stages[0].estimate_total_time;
  ASSERT_GE(e0, 20);
  ASSERT_LE(e0, 21);
  // Stage 1 (not started) is predicted as rate 2 times stage 0's time; stage 2 as the mean
  // over the earlier stages with a usable rate: 1 times stage 0 (stage 1's rate is -1).
  EXPECT_DOUBLE_EQ(p->stages[1].rate_estimate_total_time, 2 * e0);
  EXPECT_DOUBLE_EQ(p->stages[1].estimate_total_time, 2 * e0);
  EXPECT_DOUBLE_EQ(p->stages[2].estimate_total_time, e0);
  EXPECT_DOUBLE_EQ(p->estimate_total_time, e0 + 2 * e0 + e0);
  // Once stage 1 runs, the predicted total is blended with the work done.
  ASSERT_EQ(_start_progressive(p, 1, 100), 0);
  p->stages[1].start_time -= 5;
  ASSERT_EQ(_set_progressive(p, 1, 50), 0);
  _progressive_estimation(p, 1);
  double elapsed = p->est_time - p->stages[1].start_time;
  EXPECT_DOUBLE_EQ(p->stages[1].estimate_total_time, elapsed + 2 * e0 * 0.5);
  // Learnt rates, in the flat layout: 0.9 stored + 0.1 observed.
  double out[3];
  _get_prediction_rates(p, out);
  double e1 = p->stages[1].estimate_total_time, e2 = p->stages[2].estimate_total_time;
  EXPECT_DOUBLE_EQ(out[0], 0.9 * 2.0 + 0.1 * (e1 / e0));
  EXPECT_DOUBLE_EQ(out[1], 0.9 * 1.0 + 0.1 * (e2 / e0));
  EXPECT_DOUBLE_EQ(out[2], e2 / e1) << "a stored -1 is no rate: the observed ratio replaces it";
  _free_progressive(p);
}

TEST(Progressive, RatesKeepTheirLayoutWhenAnEstimateIsZero) {
  PROGRESSIVE* p = _new_progressive(3);
  p->stages[0].estimate_total_time = 0;  // skipped as a divisor
  p->stages[1].estimate_total_time = 4;
  p->stages[2].estimate_total_time = 8;
  double out[3];
  _get_prediction_rates(p, out);  // no stored rates: the observed ratio alone, or -1
  EXPECT_EQ(out[0], -1);
  EXPECT_EQ(out[1], -1);
  EXPECT_EQ(out[2], 2);
  _set_prediction_rates(p, out);
  p->stages[0].estimate_total_time = 2;
  _get_prediction_rates(p, out);
  EXPECT_DOUBLE_EQ(out[0], 4.0 / 2);  // the stored -1 counts as none
  EXPECT_DOUBLE_EQ(out[2], 0.9 * 2 + 0.1 * 2);
  _free_progressive(p);
}

TEST(Geometry, InsertPointIntoRectangle) {
  I_RECT empty{{1, 1}, {0, 0}};
  insert_rect_i(&empty, I_POINT{5, 7});
  EXPECT_EQ(empty.tl.x, 5);
  EXPECT_EQ(empty.tl.y, 7);
  EXPECT_EQ(empty.br.x, 5);
  EXPECT_EQ(empty.br.y, 7);
  insert_rect_i(&empty, I_POINT{-2, 9});
  EXPECT_EQ(empty.tl.x, -2);
  EXPECT_EQ(empty.tl.y, 7);
  EXPECT_EQ(empty.br.x, 5);
  EXPECT_EQ(empty.br.y, 9);
  I_RECT below{{0, 5}, {10, 4}};  // tl below br: empty too
  insert_rect_i(&below, I_POINT{3, 3});
  EXPECT_EQ(below.tl.x, 3);
  EXPECT_EQ(below.br.y, 3);
  I_RECT point{{2, 2}, {2, 2}};  // a single point is not empty
  insert_rect_i(&point, I_POINT{4, 0});
  EXPECT_EQ(point.tl.x, 2);
  EXPECT_EQ(point.tl.y, 0);
  EXPECT_EQ(point.br.x, 4);
  EXPECT_EQ(point.br.y, 2);
  I_POINT s = p_addi(I_POINT{1, -2}, I_POINT{10, 20});
  EXPECT_EQ(s.x, 11);
  EXPECT_EQ(s.y, 18);
}

TEST(Geometry, NarrowingToShortRectangles) {
  S_RECT s = rect_conv_i2s(I_RECT{{70000, -1}, {65535, 32768}});
  EXPECT_EQ(s.l, 70000 - 65536);
  EXPECT_EQ(s.t, -1);
  EXPECT_EQ(s.r, -1);
  EXPECT_EQ(s.b, -32768);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  S_RECT r = rect_conv_r2s(R_RECT{{70000.7, -70000.7}, {nan, 1e12}});
  EXPECT_EQ(r.l, 70000 - 65536);
  EXPECT_EQ(r.t, int16_t(uint16_t(uint32_t(-70000))));
  EXPECT_EQ(r.r, 0);   // NaN: -2147483648, whose low 16 bits are 0
  EXPECT_EQ(r.b, -1);  // saturates at 2147483647
  S_RECT t = rect_conv_r2s(R_RECT{{-0.9, 2.9}, {-1e12, 32767.99}});
  EXPECT_EQ(t.l, 0);
  EXPECT_EQ(t.t, 2);
  EXPECT_EQ(t.r, 0);  // saturates at -2147483648
  EXPECT_EQ(t.b, 32767);
}

// Each task reports its own status; the direct report lists every task with an area.
TEST(ThreadStatus, PerTaskWordsAndReport) {
  set_cpu_thr_type(7);
  set_cpu_msg(42);
  const int me = get_tid();
  struct Shared {
    std::atomic<int> tid{0};
    std::atomic<bool> reported{false};
    std::atomic<bool> release{false};
  } sh;
  create_task(
      [](void* d) {
        auto* s = static_cast<Shared*>(d);
        set_cpu_thr_type(3);
        set_cpu_msg(9);
        s->tid = get_tid();
        s->reported = true;
        tqtest::wait_until([&] { return s->release.load(); });
      },
      &sh, 1);
  ASSERT_TRUE(tqtest::wait_until([&] { return sh.reported.load(); })) << "status task did not start";
  struct Found {
    int me, other;
    int mine_type = -1, mine_pos = -1, other_type = -1, other_pos = -1;
  } f{me, sh.tid.load()};
  scan_cpu_msg(
      [](int tid, int type, int pos, void* arg) {
        auto* x = static_cast<Found*>(arg);
        if (tid == x->me) x->mine_type = type, x->mine_pos = pos;
        if (tid == x->other) x->other_type = type, x->other_pos = pos;
        return 0;
      },
      &f);
  EXPECT_EQ(f.mine_type, 7);
  EXPECT_EQ(f.mine_pos, 42);
  EXPECT_EQ(f.other_type, 3);
  EXPECT_EQ(f.other_pos, 9);
  testing::internal::CaptureStdout();
  jx_cpu_direct();
  std::string out = testing::internal::GetCapturedStdout();
  sh.release = true;
  EXPECT_EQ(out.rfind("TH ==> ", 0), 0u) << out;
  EXPECT_NE(out.find("(i:" + std::to_string(me) + " t:7 p:42)"), std::string::npos) << out;
  EXPECT_NE(out.find("(i:" + std::to_string(f.other) + " t:3 p:9)"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 4), "END\n");
  // The status area ends with the task.
  auto has_area = [](int tid, int, int, void* a) { return tid == *static_cast<int*>(a) ? 1 : 0; };
  ASSERT_TRUE(tqtest::wait_until([&] { return scan_cpu_msg(has_area, &f.other) == 0; }))
      << "the finished task's status area was not removed";
  set_cpu_thr_type(0);
}

TEST(SysParam, FilledFromThePlatform) {
  set_sys_param();
  EXPECT_EQ(_sys_param.cpu, numofcpu());
  EXPECT_GE(_sys_param.cpu, 1);
  EXPECT_EQ(_sys_param.max_fd, get_fd_max());
  EXPECT_EQ(_sys_param.init_mem_size, get_mem_size());
  EXPECT_GE(_sys_param.init_mem_size, 1048576);
}

}  // namespace
}  // namespace tq
