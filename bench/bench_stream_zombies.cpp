// Closed streams (zombies): one zombie tick over a million of them, its whole time and the
// longest the stream lock stays held meanwhile (the longest wait of a task that keeps
// taking the lock, as every opener, writer and closer would); a live stream's operation
// among them; and the memory a zombie keeps. Zombies are aged through the tick layer's
// clock, not waited for.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "../tests/support/tick_clock.h"
#include "entry/runtime_start.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "stream/chain_stream.h"
#include "stream/string_stream.h"
#include "stream/stream_write.h"
#include "support/smoke.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kZombies = benchsupport::sized(1000000, 3000);
constexpr int kLife = 300;  // the zombies' life this benchmark starts from
constexpr int kTick = 11;   // seconds between two zombie ticks

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// A task taking the stream lock again and again, noting the longest it waited: at least the
// longest hold, and also the time a task woken for the lock waits for a processor.
struct LockProbe {
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::atomic<int64_t> takes{0};
  std::atomic<int64_t> longest_ns{0};

  static void run(void* data) {
    auto* p = static_cast<LockProbe*>(data);
    while (!p->stop.load()) {
      const auto t0 = Clock::now();
      { LOCK_SCOPE(tq::stream_lock); }
      const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
      if (ns > p->longest_ns.load()) p->longest_ns.store(ns);
      p->takes.fetch_add(1);
    }
    p->done.store(true);
  }
  void start() {
    create_task(&LockProbe::run, this, 3);
    while (takes.load() == 0) usleep(100);
    longest_ns.store(0);
  }
  double finish_ms() {
    stop.store(true);
    while (!done.load()) usleep(100);
    return double(longest_ns.load()) / 1e6;
  }
};

// The longest time from the start of a tick, or the end of one of its batches, to the end
// of the next batch: a bound of each hold of the stream lock (which also covers freeing the
// batch, done without the lock).
Clock::time_point batch_mark;
double longest_batch_ms;
void note_batch() {
  longest_batch_ms = std::max(longest_batch_ms, ms_since(batch_mark));
  batch_mark = Clock::now();
}

int zombies_alive() {
  LOCK_SCOPE(tq::stream_lock);
  return tq::zonbie_count;
}

// Frees every zombie (ticks a life apart), so that each benchmark starts from none.
void free_all_zombies(tqtest::TickClock& clock) {
  for (int i = 0; i < 4 && zombies_alive() > 0; ++i) {
    clock.move(int(tq::zonbie_life_time) + kTick);
    tq::zonbie_tick(nullptr);
  }
}

// A zombie as the index layer leaves them: a string stream written 100 bytes and closed.
void make_zombie() {
  static const char text[101] = "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789";
  tq::STREAM* s = tq::s_open_string_write(nullptr);
  tq::s_write(s, text, 100);
  tq::s_get_string(s);
  d_s_close(s);
}

// n zombies closed evenly over one life, as a process closing streams at a steady rate
// keeps them; the clock ends at the last close.
void make_steady_zombies(tqtest::TickClock& clock, int n) {
  const int per_second = std::max(1, n / kLife);
  for (int i = 0; i < n; ++i) {
    if (i > 0 && i % per_second == 0) clock.move(1);
    make_zombie();
  }
}

// One zombie tick over a million zombies. Arg 0: steady closing, the tick frees the 11
// seconds' worth past their life; arg 1: every zombie is past its life.
void BM_ZombieTick(benchmark::State& state) {
  tqtest::TickClock clock;
  tq::zonbie_life_time = kLife;
  const bool all = state.range(0) == 1;
  double longest_ms = 0, tick_ms = 0, batch_ms = 0;
  int64_t freed = 0;
  for (auto _ : state) {
    free_all_zombies(clock);
    make_steady_zombies(clock, kZombies);
    clock.move(all ? kLife + kTick : kTick);
    const int before = zombies_alive();
    LockProbe probe;
    probe.start();
    tq::zonbie_batch_done = note_batch;
    longest_batch_ms = 0;
    const auto t0 = batch_mark = Clock::now();
    tq::zonbie_tick(nullptr);
    const double ms = ms_since(t0);
    tq::zonbie_batch_done = nullptr;
    batch_ms = std::max(batch_ms, longest_batch_ms);
    state.SetIterationTime(ms / 1000);
    longest_ms = std::max(longest_ms, probe.finish_ms());
    tick_ms = std::max(tick_ms, ms);
    freed = before - zombies_alive();
  }
  free_all_zombies(clock);
  state.counters["zombies"] = kZombies;
  state.counters["freed"] = double(freed);
  state.counters["tick_ms"] = tick_ms;
  state.counters["longest_lock_wait_ms"] = longest_ms;
  state.counters["longest_batch_ms"] = batch_ms;
}
BENCHMARK(BM_ZombieTick)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A write to a stream opened before a million zombies, and a liveness test of the standard
// output: both look their stream up among the records the zombies share buckets with.
void BM_LiveStreamAmongZombies(benchmark::State& state) {
  tqtest::TickClock clock;
  tq::zonbie_life_time = kLife;
  free_all_zombies(clock);
  tq::STREAM* old = tq::s_open_string_write(nullptr);
  make_steady_zombies(clock, kZombies);
  int64_t ops = 0;
  for (auto _ : state) {
    if (tq::s_write(old, "x", 1) != 1 || !tq::s_exist(tq::s_stdout)) state.SkipWithError("live stream refused");
    ops += 2;
  }
  state.SetItemsProcessed(ops);
  d_s_close(old);
  free_all_zombies(clock);
}
BENCHMARK(BM_LiveStreamAmongZombies)->MinTime(benchsupport::min_time(0.5));

long rss_bytes() {
  long pages = 0, resident = 0;
  if (FILE* f = fopen("/proc/self/statm", "r")) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE);
}

// The memory n zombies keep, per zombie: the heap's live bytes (blocks and their headers)
// and the process's resident memory. Arg 0: string streams as above; arg 1: chains (each
// with a thread and a self interpreter while open, so fewer of them).
void BM_ZombieMemory(benchmark::State& state) {
  tqtest::TickClock clock;
  tq::zonbie_life_time = kLife;
  const bool chain = state.range(0) == 1;
  const int n = chain ? benchsupport::sized(200, 20) : kZombies;
  if (chain) tq::init_tq();  // the chain's thread binds a self interpreter
  double heap = 0, rss = 0;
  for (auto _ : state) {
    free_all_zombies(clock);
    const int64_t heap0 = tq::get_d_used_memory();
    const long rss0 = rss_bytes();
    for (int i = 0; i < n; ++i) {
      if (!chain) {
        make_zombie();
        continue;
      }
      tq::STREAM* s = tq::s_open_chain(1 << 30, 'o');
      if (!s) {
        state.SkipWithError("no chain");
        break;
      }
      d_s_close(s);
    }
    heap = double(tq::get_d_used_memory() - heap0) / n;
    rss = double(rss_bytes() - rss0) / n;
    state.SetIterationTime(1e-3);
  }
  free_all_zombies(clock);
  state.counters["zombies"] = n;
  state.counters["heap_bytes_per_zombie"] = heap;
  state.counters["rss_bytes_per_zombie"] = rss;
}
BENCHMARK(BM_ZombieMemory)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime();

}  // namespace
