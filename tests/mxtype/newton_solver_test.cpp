// Linear equations (fixed cases, inverses, and random systems against exact rational
// elimination in linear_model.py, data/linear_golden.txt) and the Newton solver on an affine
// field: convergence through the levels, early ends, refused tolerances, steps that cannot
// be taken, and the grid search.
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

// A double_v of these sizes (first fastest) holding v, from c's pool.
void* datum(MX_CACHE* c, std::vector<int> sizes, const Values& v) {
  MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), sizes.data(), nullptr, c};
  void* d = mxt_alloc_vector(&mx_type_double_v, MX_ALLOC_POOL, &prm, c);
  std::copy(v.begin(), v.end(), mxt_double_elements(d, int(v.size())));
  return d;
}
Values values(void* d) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  const double* e = mxt_double_elements(d, 0);
  return Values(e, e + dh.total_element);
}
void expect_near(const Values& got, const Values& want, double rel, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_NEAR(got[i], want[i], rel * std::max(1.0, std::fabs(want[i]))) << what << " element " << i;
}

enum Shape { kVector, kColumn, kRow };

TEST(LinearEquations, SolvesAndInverses) {
  MX_CACHE c{};
  mxc_setup(&c);
  struct Case {
    int n;
    Values a, v;
    Shape shape;
    Values x;  // empty: no solution
  } cases[] = {
      {2, {2, 1, 1, 3}, {3, 5}, kColumn, {0.8, 1.4}},
      {2, {2, 1, 1, 3}, {3, 5}, kRow, {0.8, 1.4}},
      {2, {2, 1, 1, 3}, {3, 5}, kVector, {0.8, 1.4}},
      {2, {1, 0, 0, 1}, {3, 5}, kColumn, {3, 5}},  // rows without the pivot's unknown
      {2, {2, 0, 0, 4}, {3, 5}, kColumn, {1.5, 1.25}},
      {3, {2, 0, 1, 0, 3, 0, 1, 0, 4}, {4, 6, 9}, kColumn, {1, 2, 2}},
      {3, {0, 2, 0, 1, 0, 0, 0, 1, 4}, {4, 1, 9}, kColumn, {}},  // the reduced system's diagonal is 0
      {1, {4}, {2}, kColumn, {0.5}},
      {1, {0}, {2}, kColumn, {}},
      {2, {0, 1, 1, 0}, {3, 5}, kColumn, {}},  // a zero largest diagonal
  };
  for (const Case& k : cases) {
    void* a = datum(&c, {k.n, k.n}, k.a);
    void* v = datum(&c, k.shape == kVector ? std::vector<int>{k.n} : k.shape == kRow ? std::vector<int>{k.n, 1}
                                                                                    : std::vector<int>{1, k.n},
                    k.v);
    void* x = resolve_equation_double(a, v, &c);
    if (k.x.empty()) {
      EXPECT_EQ(x, nullptr);
    } else {
      ASSERT_NE(x, nullptr);
      MATRIX_DH_SET dh;
      get_matrix_dh_set(&dh, x);
      EXPECT_EQ(std::vector<int>(dh.ix, dh.ix + 2), (std::vector<int>{1, k.n})) << "a column";
      expect_near(values(x), k.x, 1e-14, "solve");
    }
    mxc_free(&c, x);
    mxc_free(&c, a);
    mxc_free(&c, v);
  }
  void* bad = datum(&c, {3}, {1, 2, 3});
  void* square = datum(&c, {2, 2}, {2, 1, 1, 3});
  EXPECT_EQ(resolve_equation_double(square, bad, &c), nullptr) << "a right side of 3 for 2 rows";
  EXPECT_EQ(resolve_equation_double(bad, bad, &c), nullptr) << "not a matrix";
  mxc_free(&c, bad);
  mxc_free(&c, square);

  const std::pair<Values, Values> inverses[] = {
      {{2, 1, 1, 3}, {0.6, -0.2, -0.2, 0.4}}, {{2, 1, 3, 4}, {0.8, -0.6, -0.2, 0.4}}, {{1, 2, 2, 4}, {}}};
  for (const auto& [m, want] : inverses) {
    void* a = datum(&c, {2, 2}, m);
    void* r = mxt_reverse_double(a, &c);
    if (want.empty()) {
      EXPECT_EQ(r, nullptr);
    } else {
      expect_near(values(r), want, 1e-14, "reverse");
    }
    mxc_free(&c, r);
    mxc_free(&c, a);
  }

  std::ifstream f(std::string(TQ_SOURCE_DIR) + "/tests/mxtype/data/linear_golden.txt");
  int systems = 0;
  for (std::string line; std::getline(f, line); ++systems) {
    std::istringstream in(line);
    int n;
    in >> n;
    Values a(static_cast<size_t>(n * n)), v(static_cast<size_t>(n)), want(static_cast<size_t>(n));
    std::string eq;
    for (double& e : a) in >> e;
    for (double& e : v) in >> e;
    in >> eq;
    for (double& e : want) in >> e;
    void* da = datum(&c, {n, n}, a);
    void* dv = datum(&c, {1, n}, v);
    void* x = resolve_equation_double(da, dv, &c);
    ASSERT_NE(x, nullptr) << line;
    expect_near(values(x), want, 1e-9, line);
    for (void* d : {x, da, dv}) mxc_free(&c, d);
  }
  EXPECT_EQ(systems, 100);
  flush_mx_cache(&c, 1);
}

// F(x) = A x + b over a plane of 256 x 256 in blocks of 16 (9 levels), one channel per row.
constexpr double kA[2][2] = {{2, 1}, {0.5, 3}}, kB[2] = {1, -2};
const Values kTarget{30.3, 20.7};
Values affine(const Values& x) {
  return {kA[0][0] * x[0] + kA[0][1] * x[1] + kB[0], kA[1][0] * x[0] + kA[1][1] * x[1] + kB[1]};
}
const Values kAffineModel{kA[0][0], kA[0][1], kB[0], kA[1][0], kA[1][1], kB[1], 0, 0, 1};

// One solve request: estimate x0, goals F(kTarget), the model avg (3 x 3) when given.
struct Solve {
  Request q;
  Solve(TestCache& tc, const Values& x0, const Values& avg, double tol, int try_max) : q(tc) {
    q.p.ret_buf = datum(&tc.c, {1, 2}, x0);
    q.p.inp_buf = datum(&tc.c, {1, 2}, affine(kTarget));
    q.p.avg_mtx = avg.empty() ? nullptr : datum(&tc.c, {3, 3}, avg);
    q.p.tolerance = tol;
    q.p.try_max = try_max;
    q.p.try_avg = 10;
    q.p.result_y_tolerance = -3;
  }
  ~Solve() {
    for (void* d : {q.p.ret_buf, q.p.inp_buf, q.p.avg_mtx}) mxc_free(q.p.c, d);
  }
  Values x() const { return values(q.p.ret_buf); }
  double off() const { return std::hypot(x()[0] - kTarget[0], x()[1] - kTarget[1]); }
};

TEST(NewtonSolver, SolvesThroughTheLevels) {
  StoreSpec spec;
  MATRIX* m = open_ready(&spec, "affine", {{256, 1, 4}, {256, 1, 4}}, {&mx_type_double_v, &mx_type_double_v},
                         MXP_VECTOR_PLUS_ONE);
  ASSERT_EQ(m->total_levels, 9);
  {
    TestCache tc(m, {0, 1});
    fill_levels(tc, [](int k, const Values& x) { return affine(x)[size_t(k)]; });
    const Values far{130.3, 20.7}, outside{-50, 10}, zeros(9, 0.0);
    struct Case {
      const char* what;
      Values x0, avg;
      double tol;
      int try_max, status, level;
      double try_avg;
      bool moves;  // ends within tol of the target, else where it began
    } cases[] = {
        {"100 away", far, kAffineModel, 0.01, 0, 0, 0, 9.9, true},  // 1 step, up to level 8, 8 down
        {"a first step below tolerance", {30.301, 20.7}, kAffineModel, 0.01, 0, 0, 0, 9.0, true},
        {"at most one step", far, kAffineModel, 0.01, 1, 3, 8, 9.1, true},
        {"no read: the model alone", outside, kAffineModel, 0.01, 0, 0, 0, 9.9, true},
        {"no read, a singular model", outside, zeros, 0.01, 5, 3, 0, 9.0, false},
        {"tolerance 0", far, kAffineModel, 0, 0, 3, 0, 10, false},
        {"tolerance NaN", far, kAffineModel, NAN, 0, 3, 0, 10, false},
    };
    for (const Case& c : cases) {
      Solve s(tc, c.x0, c.avg, c.tol, c.try_max);
      const int64_t misses = tc.c.miss_hit_cnt, hits = tc.c.hit_cnt;
      EXPECT_EQ(matrix_newton_double(&s.q.p), 0);
      EXPECT_EQ(s.q.p.newton_status, c.status) << c.what;
      EXPECT_EQ(s.q.p.inp_level, c.level) << c.what;
      EXPECT_NEAR(s.q.p.try_avg, c.try_avg, 1e-12) << c.what;
      if (c.moves) {
        EXPECT_LT(s.off(), c.tol) << c.what;
      } else {
        EXPECT_EQ(s.x(), c.x0) << c.what;
      }
      if (c.status == 0) {
        EXPECT_LT(s.q.p.result_tolerance, c.tol) << c.what;
      }
      if (!(c.tol > 0)) {
        EXPECT_EQ(tc.c.miss_hit_cnt + tc.c.hit_cnt, misses + hits) << "nothing read";
      }
    }

    struct Search {
      Values x0;
      double tr, tol;
      Values x;
      double y_tol;
    } searches[] = {
        {{31.3, 21.7}, 2.0, 0.5, {31.3, 21.7}, std::hypot(3.0, 3.5)},  // step 0: stays
        {{38.3, 16.7}, 10, 0.5, kTarget, 0},                           // step 4: (-2, 1) lands on it
        {{38.3, 16.7}, 10, 0, {38.3, 16.7}, -3},                       // refused tolerance
    };
    for (const Search& g : searches) {
      Solve s(tc, g.x0, {}, g.tol, 0);
      generate_rand(&s.q.p, g.tr);
      expect_near(s.x(), g.x, 1e-12, "grid search");
      EXPECT_NEAR(s.q.p.result_y_tolerance, g.y_tol, 1e-9);
    }

    Solve s(tc, {1, 2}, {}, 1, 0);
    const double d[2] = {1, 2.5};
    EXPECT_EQ(printed([&] {
                print_ret_buf("x", &s.q.p);
                print_data("d", d, 2);
              }),
              "x\n\t1.000000\n\t2.000000\nd 1.000000 2.500000 \n");
  }
  close_matrix(m);
}

}  // namespace
