// The node cache and the access tokens against plain peers: the lookup of a ready node
// (_get_matrix_node under matrix_lock, 403 chains kept) with 10^3 and 10^5 nodes cached
// against std::unordered_map lookups of the same codes, and access tokens that each run a
// one-form event script through the queue against evaluating that form in a loop, and
// queueing 10^4 and 10^5 tokens at once (the access queue's priority insertion).
#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "entry/start.h"
#include "interp/script_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "support/matrix_bench.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace tq;
using Code = std::array<int64_t, 3>;

// An open matrix of two axes (block 2^8, divisor 1, 2^20 samples) with a script in the
// level-0 slot of MI_EDIT_1 when one is given.
MATRIX* bench_matrix(const char* name, const char* script) {
  static int serial;
  MATRIX* m = open_matrix(nullptr, _l_string_1(std_cm, (std::string(name) + std::to_string(++serial)).c_str()),
                          nullptr, nullptr, nullptr);
  MATRIX_PARAM p{};
  p.dim = 2;
  set_matrix_param(m, &p);
  for (int a = 0; a < 2; ++a) {
    set_matrix_block_size(m, a, 8);
    set_matrix_dim_divide(m, a, 1);
    set_matrix_pixel_size(m, a, int64_t(1) << 20);
  }
  if (script) {
    GcFrame frame("bench_matrix");
    set_matrix_cal(m, MI_EDIT_1 + 2, sexp_commands(std_cm, script, nullptr));
  }
  set_matrix_mode(m, MX_MODE_OPEN);
  return m;
}

using tqbench::start_store;
using tqbench::wait_idle;

// count ready nodes at level 0 of m, and their codes in a shuffled order.
std::vector<Code> ready_nodes(MATRIX* m, int count) {
  std::vector<Code> codes;
  for (int i = 0; i < count; ++i) codes.push_back({0, int64_t(i % 2048) << 8, int64_t(i / 2048) << 8});
  for (size_t at = 0; at < codes.size(); at += 1000) {  // loaded in batches of 1000
    {
      LOCK_SCOPE(matrix_lock);
      total_ncache_size = 1 << 30;  // no crowding purge while the ring holds them all
      for (size_t k = at; k < codes.size() && k < at + 1000; ++k) {
        int code = 0;
        _get_matrix_node(&code, m, codes[k].data(), 0, 0, nullptr, 0);
      }
    }
    wait_idle();
  }
  LOCK_SCOPE(matrix_lock);
  for (Code c : codes) {
    int code = 0;
    _get_matrix_node(&code, m, c.data(), -1, 0, nullptr, 0)->status = MS_OK;
  }
  std::shuffle(codes.begin(), codes.end(), std::mt19937(5));
  return codes;
}

void BM_NodeLookup(benchmark::State& state) {
  start_store();
  MATRIX* m = bench_matrix("lookup", nullptr);
  std::vector<Code> codes = ready_nodes(m, int(state.range(0)));
  size_t i = 0;
  {
    LOCK_SCOPE(matrix_lock);
    for (auto _ : state) {
      int code = 0;
      benchmark::DoNotOptimize(_get_matrix_node(&code, m, codes[i].data(), 0, 0, nullptr, 0));
      if (++i == codes.size()) i = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
  close_matrix(m);
}
BENCHMARK(BM_NodeLookup)->Arg(benchsupport::sized(1000, 10))->Arg(benchsupport::sized(100000, 100));

struct CodeHash {
  size_t operator()(const Code& c) const {
    uint64_t h = uint64_t(c[0]);
    for (size_t k = 1; k < c.size(); ++k) h = (h ^ uint64_t(c[k])) * 0x100000001B3ull;
    return size_t(h ^ (h >> 29));
  }
};

void BM_UnorderedMapLookup(benchmark::State& state) {
  std::vector<Code> codes;
  std::unordered_map<Code, void*, CodeHash> map;
  for (int i = 0; i < state.range(0); ++i) {
    codes.push_back({0, int64_t(i % 2048) << 8, int64_t(i / 2048) << 8});
    map[codes.back()] = &codes;
  }
  std::shuffle(codes.begin(), codes.end(), std::mt19937(5));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(codes[i]));
    if (++i == codes.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnorderedMapLookup)->Arg(benchsupport::sized(1000, 10))->Arg(benchsupport::sized(100000, 100));

const int kTokens = benchsupport::sized(1000, 10);  // tokens run per iteration, one per node
constexpr const char* kForm = "(+ 1 2)";

// Per iteration, queues a token on each of count ready nodes at once (the worker waits
// for matrix_lock meanwhile) and lets them run; the time includes their running only when
// `running` is set (else it is the access queue's priority insertion, equal priorities in
// arrival order).
void run_tokens(benchmark::State& state, const char* name, int count, bool running) {
  start_store();
  MATRIX* m = bench_matrix(name, kForm);
  const std::vector<Code> codes = ready_nodes(m, count);
  std::vector<MATRIX_NODE*> nodes;
  {
    LOCK_SCOPE(matrix_lock);
    for (Code c : codes) {
      int code = 0;
      nodes.push_back(_get_matrix_node(&code, m, c.data(), -1, 0, nullptr, 0));
    }
  }
  for (auto _ : state) {
    {
      LOCK_SCOPE(matrix_lock);
      for (MATRIX_NODE* n : nodes) _matrix_trigger_access(n, MI_EDIT_1, 0);
    }
    if (!running) state.PauseTiming();
    wait_idle();
    if (!running) state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
  close_matrix(m);
}

void BM_TokensRunningOneForm(benchmark::State& state) { run_tokens(state, "tokens", kTokens, true); }
BENCHMARK(BM_TokensRunningOneForm)->UseRealTime();

void BM_QueueingTokens(benchmark::State& state) { run_tokens(state, "queueing", int(state.range(0)), false); }
BENCHMARK(BM_QueueingTokens)
    ->Arg(benchsupport::sized(10000, 10))
    ->Arg(benchsupport::sized(100000, 100))
    ->Iterations(1)
    ->UseRealTime();

void BM_EvaluatingTheForm(benchmark::State& state) {
  start_store();
  // This thread evaluates, so it is bound to an interpreter as the workers are: unbound, every
  // evaluation would stop at once with the break check's error.
  static const bool bound = (setup_self_interpreter(), true);
  (void)bound;
  GcFrame frame("bench");
  TQ_SEXP* form = car(sexp_commands(std_cm, kForm, nullptr));
  TQISP_ENV* env = new_env(matrix_tq_env);
  for (auto _ : state) {
    GcFrame each("each");
    TQ_SEXP* v = eval(env, form);
    if (get_type(v) != kTagInteger || v->integer.data != 3) {
      state.SkipWithError("the form failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluatingTheForm);

}  // namespace
