// The platform core against the standard library: running a short task through the pool
// and waiting for it versus creating and joining a thread, and a recorded lock/unlock pair
// versus std::mutex.
#include <benchmark/benchmark.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/lock.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "support/smoke.h"

namespace {

struct Done {
  tq::SEM lock;
  bool done;
};

void finish(void* p) {
  auto* d = static_cast<Done*>(p);
  lock_task(d->lock);
  d->done = true;
  tq::wakeup_task(d);
  unlock_task(d->lock, "finish");
}

// Runs a short task through the pool and waits for it to finish.
void pool_round_trip(Done* d) {
  d->done = false;
  create_task(finish, d, 1);
  lock_task(d->lock);
  while (!d->done) {
    sleep_task(d, d->lock);
    lock_task(d->lock);
  }
  unlock_task(d->lock, "bench");
}

void thread_create_join(int* x) {
  std::thread t([x] { benchmark::DoNotOptimize(++*x); });
  t.join();
}

void BM_PoolTaskRoundTrip(benchmark::State& state) {
  Done d{tq::new_lock(), false};
  for (auto _ : state) pool_round_trip(&d);
  tq::close_lock(d.lock);
}
BENCHMARK(BM_PoolTaskRoundTrip);

void BM_ThreadCreateJoin(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) thread_create_join(&x);
}
BENCHMARK(BM_ThreadCreateJoin);

// Both in alternating batches, so that load on the machine falls on both alike. "ratio":
// the pool's time over the thread's (below 1: the pool is faster).
void BM_PoolAgainstThread(benchmark::State& state) {
  const int kBatch = benchsupport::sized(200, 10);
  Done d{tq::new_lock(), false};
  int x = 0;
  double pool = 0, thread = 0;
  using clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = clock::now();
    for (int i = 0; i < kBatch; ++i) pool_round_trip(&d);
    const auto t1 = clock::now();
    for (int i = 0; i < kBatch; ++i) thread_create_join(&x);
    const auto t2 = clock::now();
    pool += std::chrono::duration<double, std::micro>(t1 - t0).count();
    thread += std::chrono::duration<double, std::micro>(t2 - t1).count();
  }
  const double n = double(state.iterations()) * kBatch;
  state.counters["pool_us"] = pool / n;
  state.counters["thread_us"] = thread / n;
  state.counters["ratio"] = thread > 0 ? pool / thread : 0;
  tq::close_lock(d.lock);
}
BENCHMARK(BM_PoolAgainstThread)->Unit(benchmark::kMillisecond);

void BM_RecordedLockPair(benchmark::State& state) {
  tq::SEM s = tq::new_lock();
  for (auto _ : state) {
    lock_task(s);
    unlock_task(s, "bench");
  }
  tq::close_lock(s);
}
BENCHMARK(BM_RecordedLockPair);

void BM_StdMutexPair(benchmark::State& state) {
  std::mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
}
BENCHMARK(BM_StdMutexPair);

}  // namespace
