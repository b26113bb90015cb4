// The matrix words against the element type's operation called directly on the same
// datums: "mxThinnedOut" averaging four 256 x 256 int16 children into their parent, and
// "mxAdd" with the difference curve on 256 x 256 uint8 blocks. The words run as a script
// would call them (a form evaluated in a token's environment), result block and data list
// included; the goal is at most 1.3 times the direct calls.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "entry/start.h"
#include "interp/script_start.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/matrix.h"
#include "matrix/matrix_node.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_token.h"
#include "mxtype/curve.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

constexpr int kSide = 256;

// A matrix of two axes of blocks of 256, halving per level, a node at (2, 0, 0) and a token
// working on it whose environment is below the matrix words'.
struct Setup {
  tq::MATRIX* m;
  tq::MATRIX_NODE node{};
  tq::MATRIX_TOKEN token{};
  int64_t dc[3] = {2, 0, 0};
  tq::TQISP_ENV* env;
  Setup() {
    // The benchmark's thread evaluates, so it is bound to an interpreter as the runtime's are.
    static bool started = (tq::minimum_matrix_init(0, nullptr), tq::setup_self_interpreter(), true);
    (void)started;
    m = static_cast<tq::MATRIX*>(d_calloc(1, sizeof(tq::MATRIX)));
    tq::MATRIX_PARAM p{};
    p.dim = 2;
    tq::set_matrix_param(m, &p);
    for (int a = 0; a < 2; ++a) {
      tq::set_matrix_block_size(m, a, 8);
      tq::set_matrix_dim_divide(m, a, 1);
      tq::set_matrix_pixel_size(m, a, int64_t(1) << 20);
    }
    node.matrix = m;
    node.dim_code = dc;
    token.process_node = &node;
    tq::gc_push(nullptr, nullptr, "bench_mx_words");
    env = tq::new_env(tq::matrix_tq_env);
    tq::set_env_work(env, &token);
  }
  ~Setup() {
    tq::gc_pop(nullptr, nullptr);
    tq::_free_matrix_description(m);
    d_f_ree(m);
  }
  // Binds name in the token's environment to (data (level x y) block).
  void bind(const char* name, std::vector<int64_t> code, void* block) {
    tq::TQ_SEXP* dcl = nullptr;
    for (auto it = code.rbegin(); it != code.rend(); ++it) dcl = tq::cons(tq::get_integer(*it, nullptr), dcl);
    tq::set_env(env, tq::_l_string_1(tq::std_cm, name),
                tq::List(tq::n_get_symbol("data"), dcl, tq::get_ptr(block, tq::gc_text), kListEnd));
  }
  tq::TQ_SEXP* form(const char* text) { return tq::sexp_commands(tq::std_cm, text, nullptr)->pair.car; }
};

// A 256 x 256 block of random elements in collected memory (kept by the bindings).
template <class T>
void* block(tq::MDT tp, uint64_t seed) {
  int sizes[2] = {kSide, kSide};
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, nullptr, nullptr};
  void* v = tq::xx_mxt_alloc_vector(tp, tq::MX_ALLOC_GC, &prm, nullptr, __FILE__, __LINE__);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  std::mt19937_64 rng(seed);
  for (int64_t i = 0; i < dh.total_element; ++i) reinterpret_cast<T*>(dh.offset)[i] = T(rng());
  return v;
}

const std::vector<std::vector<int64_t>> kChildren = {{1, 0, 0}, {1, 512, 0}, {1, 0, 512}, {1, 512, 512}};

void BM_ThinnedOutAverageWord(benchmark::State& state) {
  Setup s;
  for (int k = 0; k < 4; ++k) s.bind(("c" + std::to_string(k)).c_str(), kChildren[size_t(k)], block<int16_t>(&tq::mx_type_int16_v, k));
  tq::TQ_SEXP* f = s.form("([mxThinnedOut type=\"average\"] (List 'Children c0 c1 c2 c3))");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxThinnedOut failed");
  }
  state.SetItemsProcessed(state.iterations() * 4 * kSide * kSide);
}
BENCHMARK(BM_ThinnedOutAverageWord);

void BM_ThinnedOutAverageDirect(benchmark::State& state) {
  Setup s;
  std::vector<void*> children;
  for (int k = 0; k < 4; ++k) children.push_back(block<int16_t>(&tq::mx_type_int16_v, k));
  void* dest = block<int16_t>(&tq::mx_type_int16_v, 9);
  for (auto _ : state) {
    for (int k = 0; k < 4; ++k)
      tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, s.m, const_cast<int64_t*>(kChildren[size_t(k)].data()),
                                      1, dest, children[size_t(k)]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 4 * kSide * kSide);
}
BENCHMARK(BM_ThinnedOutAverageDirect);

// The direct calls into a fresh result block in collected memory, as the word makes it: the
// share of the word's time that the allocator takes.
void BM_ThinnedOutAverageDirectFreshBlock(benchmark::State& state) {
  Setup s;
  std::vector<void*> children;
  for (int k = 0; k < 4; ++k) children.push_back(block<int16_t>(&tq::mx_type_int16_v, k));
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    void* dest = tq::mxt_alloc_vector_by_dim_code(s.m, &tq::mx_type_int16_v, tq::MX_ALLOC_GC, s.dc, nullptr);
    for (int k = 0; k < 4; ++k)
      tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, s.m, const_cast<int64_t*>(kChildren[size_t(k)].data()),
                                      1, dest, children[size_t(k)]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 4 * kSide * kSide);
}
BENCHMARK(BM_ThinnedOutAverageDirectFreshBlock);

void BM_AddCurveWord(benchmark::State& state) {
  Setup s;
  s.bind("coarse", {2, 0, 0}, block<uint8_t>(&tq::mx_type_uint8_v, 1));
  s.bind("fine", {1, 0, 0}, block<uint8_t>(&tq::mx_type_uint8_v, 2));
  tq::TQ_SEXP* f = s.form("([mxAdd option=\"CURVE\"] coarse fine)");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxAdd failed");
  }
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_AddCurveWord);

void BM_AddCurveDirect(benchmark::State& state) {
  Setup s;
  void* coarse = block<uint8_t>(&tq::mx_type_uint8_v, 1);
  void* fine = block<uint8_t>(&tq::mx_type_uint8_v, 2);
  void* dest = block<uint8_t>(&tq::mx_type_uint8_v, 3);
  int64_t dc[3] = {1, 0, 0};
  int opt = tq::MX_OPT_CURVE;
  for (auto _ : state) {
    tq::mx_type_uint8_v.v_add(&tq::mx_type_uint8_v, s.m, dc, 1, &opt, dest, coarse, fine);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_AddCurveDirect);

}  // namespace
