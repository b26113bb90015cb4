// The platform core against the standard library: running a short task through the pool
// versus creating and joining a thread, and a recorded lock/unlock pair versus std::mutex.
#include <benchmark/benchmark.h>

#include <mutex>
#include <thread>

#include "platform/lock.h"
#include "platform/sleep.h"
#include "platform/task.h"

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

void BM_PoolTaskRoundTrip(benchmark::State& state) {
  Done d{tq::new_lock(), false};
  for (auto _ : state) {
    d.done = false;
    create_task(finish, &d, 1);
    lock_task(d.lock);
    while (!d.done) {
      sleep_task(&d, d.lock);
      lock_task(d.lock);
    }
    unlock_task(d.lock, "bench");
  }
  tq::close_lock(d.lock);
}
BENCHMARK(BM_PoolTaskRoundTrip);

void BM_ThreadCreateJoin(benchmark::State& state) {
  int x = 0;
  for (auto _ : state) {
    std::thread t([&x] { benchmark::DoNotOptimize(++x); });
    t.join();
  }
}
BENCHMARK(BM_ThreadCreateJoin);

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
