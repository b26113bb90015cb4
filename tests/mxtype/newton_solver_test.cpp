// Linear equations (fixed cases, inverses, random systems against the exact rational
// elimination of linear_model.py in data/linear_golden.txt) and the Newton solver on an
// affine field: convergence through the levels, early ends, refused tolerances, steps that
// cannot be taken, and the grid search.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "matrix/cache_fixture.h"
#include "matrix/matrix_open.h"
#include "mxtype/datum.h"
#include "mxtype/linear_solve.h"
#include "mxtype/newton_solver.h"

namespace {

using namespace mxtest;
using namespace tq;
using Values = std::vector<double>;

// A pool double_v of these sizes holding v; and the elements of one (empty for null).
void* datum(MX_CACHE* c, std::vector<int> sizes, const Values& v) {
  MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), sizes.data(), nullptr, c};
  void* d = mxt_alloc_vector(&mx_type_double_v, MX_ALLOC_POOL, &prm, c);
  std::copy(v.begin(), v.end(), mxt_double_elements(d, int(v.size())));
  return d;
}
Values values(void* d) {
  MATRIX_DH_SET dh;
  if (d) get_matrix_dh_set(&dh, d);
  return d ? Values(mxt_double_elements(d, 0), mxt_double_elements(d, 0) + dh.total_element) : Values{};
}
void expect_near(const Values& got, const Values& want, double rel, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], rel * std::max(1.0, std::fabs(want[i]))) << what;
}

TEST(LinearEquations, SolvesAndInverses) {
  MX_CACHE c{};
  mxc_setup(&c);
  struct Case {
    Values a, v;
    std::vector<int> v_sizes;
    Values x;  // empty: null
  } cases[] = {
      {{2, 1, 1, 3}, {3, 5}, {1, 2}, {0.8, 1.4}},
      {{2, 1, 1, 3}, {3, 5}, {2, 1}, {0.8, 1.4}},  // a row right side
      {{2, 1, 1, 3}, {3, 5}, {2}, {0.8, 1.4}},
      {{1, 0, 0, 1}, {3, 5}, {1, 2}, {3, 5}},  // rows without the pivot's unknown stay as they are
      {{2, 0, 0, 4}, {3, 5}, {1, 2}, {1.5, 1.25}},
      {{2, 0, 1, 0, 3, 0, 1, 0, 4}, {4, 6, 9}, {1, 3}, {1, 2, 2}},
      {{0, 2, 0, 1, 0, 0, 0, 1, 4}, {4, 1, 9}, {1, 3}, {}},  // the reduced system's diagonal is 0
      {{0, 1, 1, 0}, {3, 5}, {1, 2}, {}},                    // a zero largest diagonal
      {{4}, {2}, {1, 1}, {0.5}}, {{0}, {2}, {1, 1}, {}}, {{2, 1, 1, 3}, {3, 5, 7}, {3}, {}},
  };
  for (const Case& k : cases) {
    const int n = int(std::sqrt(double(k.a.size())));
    void *a = datum(&c, {n, n}, k.a), *v = datum(&c, k.v_sizes, k.v), *x = resolve_equation_double(a, v, &c);
    expect_near(values(x), k.x, 1e-14, "solve");
    EXPECT_TRUE(!x || reinterpret_cast<MATRIX_DATA_HEADER*>(x)->dim == 2) << "a column (1, n)";
    for (void* d : {a, v, x}) mxc_free(&c, d);
  }
  for (auto [m, inverse] : {std::pair<Values, Values>{{2, 1, 1, 3}, {0.6, -0.2, -0.2, 0.4}},
                            {{2, 1, 3, 4}, {0.8, -0.6, -0.2, 0.4}}, {{1, 2, 2, 4}, {}}}) {
    void *a = datum(&c, {2, 2}, m), *r = mxt_reverse_double(a, &c);
    expect_near(values(r), inverse, 1e-14, "reverse");
    mxc_free(&c, r), mxc_free(&c, a);
  }
  // Only a square matrix is inverted: for any other nothing is taken from the pool.
  MX_CACHE fresh{};
  mxc_setup(&fresh);
  for (const std::vector<int>& sizes : {std::vector<int>{3, 2}, {2, 3}, {4}}) {
    void* a = datum(&c, sizes, {});
    EXPECT_EQ(mxt_reverse_double(a, &fresh), nullptr);
    mxc_free(&c, a);
  }
  for (int k = 0; k < fresh.mblk_hashsize; ++k) EXPECT_EQ(fresh.mblk_hash[k], nullptr) << k;
  flush_mx_cache(&fresh, 1);
  std::ifstream f(std::string(TQ_SOURCE_DIR) + "/tests/mxtype/data/linear_golden.txt");
  int systems = 0;
  for (std::string line, eq; std::getline(f, line); ++systems) {
    std::istringstream in(line);
    int n;
    in >> n;
    Values a(static_cast<size_t>(n * n)), v(static_cast<size_t>(n)), want(v);
    for (Values* part : {&a, &v, &want}) {
      for (double& e : *part) in >> e;
      if (part == &v) in >> eq;
    }
    void *da = datum(&c, {n, n}, a), *dv = datum(&c, {1, n}, v), *x = resolve_equation_double(da, dv, &c);
    expect_near(values(x), want, 1e-9, line);
    for (void* d : {x, da, dv}) mxc_free(&c, d);
  }
  EXPECT_EQ(systems, 100);
  flush_mx_cache(&c, 1);
}

// F(x) = A x + b on a plane of 256 x 256 in blocks of 16 (9 levels), one channel per row.
Values affine(const Values& x) { return {2 * x[0] + x[1] + 1, 0.5 * x[0] + 3 * x[1] - 2}; }
const Values kTarget{30.3, 20.7}, kModel{2, 1, 1, 0.5, 3, -2, 0, 0, 1};

struct Solve {
  Request q;
  Solve(TestCache& tc, const Values& x0, const Values& avg, double tol, int try_max, const Values& goal = affine(kTarget))
      : q(tc) {
    q.p.ret_buf = datum(&tc.c, {1, 2}, x0);
    q.p.inp_buf = datum(&tc.c, {1, 2}, goal);
    q.p.avg_mtx = datum(&tc.c, {3, 3}, avg);
    q.p.tolerance = tol, q.p.try_max = try_max, q.p.try_avg = 10, q.p.result_y_tolerance = -3;
  }
  ~Solve() {
    for (void* d : {q.p.ret_buf, q.p.inp_buf, q.p.avg_mtx}) mxc_free(q.p.c, d);
  }
  Values x() const { return values(q.p.ret_buf); }
};

TEST(NewtonSolver, SolvesThroughTheLevels) {
  StoreShape shape;
  MATRIX* m = open_ready(&shape, "affine", {{256, 1, 4}, {256, 1, 4}}, {&mx_type_double_v, &mx_type_double_v},
                         MXP_VECTOR_PLUS_ONE);
  {
    TestCache tc(m, {0, 1});
    fill_levels(tc, [](int k, const Values& x) { return affine(x)[size_t(k)]; });
    const Values far{130.3, 20.7}, outside{-50, 10}, singular(9, 0.0);
    struct Case {
      const char* what;
      Values x0, avg;
      double tol;
      int try_max, status, level;
      double try_avg;  // 10 before
      bool moves;      // ends within tol of the target, else where it began
      bool swapped = false;  // the channels taken at positions 1 and 0
    } cases[] = {
        {"100 away: a step, up to level 8, 8 down", far, kModel, 0.01, 0, 0, 0, 9.9, true},
        {"a first step below tolerance", {30.301, 20.7}, kModel, 0.01, 0, 0, 0, 9.0, true},
        {"at most one step", far, kModel, 0.01, 1, 3, 8, 9.1, true},
        {"no read: the model alone", outside, kModel, 0.01, 0, 0, 0, 9.9, true},
        {"no read, a singular model", outside, singular, 0.01, 5, 3, 0, 9.0, false},
        {"tolerance 0", far, kModel, 0, 0, 3, 0, 10, false},
        {"tolerance NaN", far, kModel, NAN, 0, 3, 0, 10, false},
        {"channels out of order", far, kModel, 0.01, 0, 3, 0, 10, false, true},
    };
    for (const Case& c : cases) {
      Solve s(tc, c.x0, c.avg, c.tol, c.try_max);
      if (c.swapped) s.q.ix[0].x = 1, s.q.ix[1].x = 0;
      const int64_t seen = tc.c.miss_hit_cnt + tc.c.hit_cnt;
      EXPECT_EQ(matrix_newton_double(&s.q.p), 0);
      EXPECT_EQ(s.q.p.newton_status, c.status) << c.what;
      EXPECT_EQ(s.q.p.inp_level, c.level) << c.what;
      EXPECT_NEAR(s.q.p.try_avg, c.try_avg, 1e-12) << c.what;
      expect_near(s.x(), c.moves ? kTarget : c.x0, c.moves ? c.tol / 100 : 0, c.what);
      EXPECT_TRUE(c.status != 0 || s.q.p.result_tolerance < c.tol) << c.what;
      EXPECT_TRUE(c.status != 3 || c.moves || c.try_max || tc.c.miss_hit_cnt + tc.c.hit_cnt == seen) << "nothing read";
    }
    const std::tuple<Values, double, double, Values, double> searches[] = {
        {{31.3, 21.7}, 2.0, 0.5, {31.3, 21.7}, std::hypot(3.0, 3.5)},  // step 0: stays
        {{38.3, 16.7}, 10, 0.5, kTarget, 0},                           // step 4: (-2, 1) lands on it
        {{38.3, 16.7}, 10, 0, {38.3, 16.7}, -3},                       // a refused tolerance
    };
    for (auto [x0, tr, tol, x, y_tol] : searches) {
      Solve s(tc, x0, kModel, tol, 0);
      generate_rand(&s.q.p, tr);
      expect_near(s.x(), x, 1e-12, "grid search");
      EXPECT_NEAR(s.q.p.result_y_tolerance, y_tol, 1e-9);
    }
    Solve s(tc, {1, 2}, kModel, 1, 0);
    const double d[2] = {1, 2.5};
    EXPECT_EQ(printed([&] { print_ret_buf("x", &s.q.p), print_data("d", d, 2); }),
              "x\n\t1.000000\n\t2.000000\nd 1.000000 2.500000 \n");
  }
  close_matrix(m);
}

// The affine field bent where the model is not: the model's own step lands at (34.9, 22.2),
// the steps on the interpolated field's Jacobian at the sample (30, 20) that meets the goal.
TEST(NewtonSolver, LevelZeroStepsFollowTheFieldWhereTheModelDiffers) {
  auto bent = [](const Values& x) {
    Values f = affine(x);
    return Values{f[0] + 0.02 * x[0] * x[1], f[1] + 0.01 * x[0] * x[0]};
  };
  StoreShape shape;
  MATRIX* m = open_ready(&shape, "bent", {{256, 1, 4}, {256, 1, 4}}, {&mx_type_double_v, &mx_type_double_v},
                         MXP_VECTOR_PLUS_ONE);
  {
    TestCache tc(m, {0, 1});
    fill_levels(tc, [&](int k, const Values& x) { return bent(x)[size_t(k)]; });
    Solve s(tc, {130.3, 20.7}, kModel, 0.01, 0, bent({30, 20}));
    EXPECT_EQ(matrix_newton_double(&s.q.p), 0);
    EXPECT_EQ(s.q.p.newton_status, 0);
    expect_near(s.x(), {30, 20}, 1e-4, "the bent field");
  }
  close_matrix(m);
}

}  // namespace
