// Collected memory against the system allocator: one million cons cells made, rooted in a
// frame and collected, against one million malloc/free pairs of the same size linked the
// same way.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/sexp.h"
#include "support/smoke.h"
#include "util/sys_queue.h"

namespace {

const int kCells = benchsupport::sized(1000000, 1000);

void start_language() {
  static bool started = [] {
    tq::minit();
    tq::init_queue();
    tq::init_qvlisp();
    return true;
  }();
  (void)started;
}

void BM_GcConsRootCollect(benchmark::State& state) {
  start_language();
  for (auto _ : state) {
    tq::gc_push(nullptr, nullptr, "bench");
    tq::TQ_SEXP* l = nullptr;
    for (int i = 0; i < kCells; ++i) l = tq::cons(nullptr, l);
    benchmark::DoNotOptimize(l);
    tq::gc_enable();  // marks the million from the frame
    tq::gc_pop(nullptr, nullptr);
    tq::gc_enable();  // frees them
  }
  state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_GcConsRootCollect)->Unit(benchmark::kMillisecond);

struct Node {
  Node* car;
  Node* cdr;
  char rest[sizeof(tq::TQ_PAIR) - 2 * sizeof(void*)];
};

void BM_MallocFreeSameSizes(benchmark::State& state) {
  for (auto _ : state) {
    Node* l = nullptr;
    for (int i = 0; i < kCells; ++i) {
      auto* n = static_cast<Node*>(std::calloc(1, sizeof(Node)));
      n->cdr = l;
      l = n;
    }
    benchmark::DoNotOptimize(l);
    while (l) {
      Node* next = l->cdr;
      std::free(l);
      l = next;
    }
  }
  state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_MallocFreeSameSizes)->Unit(benchmark::kMillisecond);

}  // namespace
