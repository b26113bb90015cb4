// peers: stdio
// The log: the hook's cost on the callers' threads (10^6 records from 8 threads, and from
// one, the worker dropping them for want of conditions) against a plain fprintf of the same
// line to a file by as many threads; and the worker's rate saving every part of each record to a file (10^5
// records, queued without overflow). Report: records per second (items_per_second); the
// closing note gives the hook's time per record in its best run as a ratio of fprintf's in
// its best, and the worker's best rate against the goal of 10^5 records per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "interp/log_cond.h"
#include "interp/log_queue.h"
#include "entry/runtime_start.h"
#include "platform/task.h"
#include "stream/log_hook.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

const int kHookRecords = benchsupport::sized(1000000, 1000);
const int kWorkerRecords = benchsupport::sized(100000, 1000);

// The best of the runs (by thread count): the machine is shared, and a run that others
// slowed down says nothing of the code.
double hook_ns[9], fprintf_ns[9], worker_rate;
void keep_best(double* best, double ns) {
  if (*best == 0 || ns < *best) *best = ns;
}

std::string scratch(const char* name) { return benchsupport::tmp_file("bench_log_", name); }

// Standard output (where a full queue reports each dropped record) goes to /dev/null
// while the hook runs.
struct QuietStdout {
  int saved = dup(1);
  QuietStdout() {
    const int fd = open("/dev/null", O_WRONLY);
    dup2(fd, 1);
    close(fd);
  }
  ~QuietStdout() {
    dup2(saved, 1);
    close(saved);
  }
};

// Runs body(records / threads) on that many pool tasks at once; the wall time in seconds.
// The caller sleeps meanwhile rather than spin, so that it takes no processor from them.
double on_tasks(void (*body)(int count), int records, int threads) {
  static std::atomic<int> done;
  static void (*fn)(int);
  static int each;
  done = 0;
  fn = body;
  each = records / threads;
  const auto start = std::chrono::steady_clock::now();
  tq::TASK_FUNC task = [](void*) {
    fn(each);
    ++done;
    done.notify_all();
  };
  for (int t = 0; t < threads; ++t) create_task(task, nullptr, 3);
  for (int d; (d = done.load()) < threads;) done.wait(d);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void hook_records(int n) {
  for (int i = 1; i <= n; ++i) tq::log_printf(tq::LOG_DEBUG, tq::LOG_LIB, 0, "record %d of %s", i, "bench");
}

FILE* peer_file;
void fprintf_records(int n) {
  for (int i = 1; i <= n; ++i)
    fprintf(peer_file, "[DEBUG %s %s LIB ] record %d of %s\n", "Sat Feb 10 01:02:03 2001", "site", i, "bench");
}

void BM_LogHook(benchmark::State& state) {
  tq::init_tq();
  tq::reset_log_condition();
  const int threads = int(state.range(0));
  for (auto _ : state) {
    QuietStdout quiet;
    const double s = on_tasks(hook_records, kHookRecords, threads);
    state.SetIterationTime(s);
    keep_best(&hook_ns[threads], s * 1e9 / kHookRecords);
  }
  state.SetItemsProcessed(state.iterations() * kHookRecords);
}
BENCHMARK(BM_LogHook)->Arg(1)->Arg(8)->Iterations(benchsupport::sized(5, 1))->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Fprintf(benchmark::State& state) {
  const std::string path = scratch("_fprintf");
  const int threads = int(state.range(0));
  for (auto _ : state) {
    peer_file = fopen(path.c_str(), "w");
    const double s = on_tasks(fprintf_records, kHookRecords, threads);
    fclose(peer_file);
    state.SetIterationTime(s);
    keep_best(&fprintf_ns[threads], s * 1e9 / kHookRecords);
  }
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * kHookRecords);
}
BENCHMARK(BM_Fprintf)->Arg(1)->Arg(8)->Iterations(benchsupport::sized(5, 1))->UseManualTime()->Unit(benchmark::kMillisecond);

off_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Until the worker has handled every record queued so far and sleeps. A run of the hook's
// case just before leaves up to a queue's worth; written into this case's file ahead of its
// probe, they would make the probe's line look longer than it is, and the wait for all the
// lines would never end.
void wait_worker_idle() {
  while (tq::log_queue.records.count() != 0 || !tq::log_queue.worker_asleep.load()) std::this_thread::yield();
}

// One producer that never overflows the queue; the time until every line is in the file.
void BM_WorkerToFile(benchmark::State& state) {
  tq::init_tq();
  const std::string path = scratch("_worker");
  for (auto _ : state) {
    wait_worker_idle();
    unlink(path.c_str());
    tq::set_log_path(tq::_l_string_1(tq::std_cm, path.c_str()), 0, 0);
    tq::log_printf(tq::LOG_DEBUG, tq::LOG_LIB, 0, "probe");  // one line: its length
    while (file_size(path) == 0) std::this_thread::yield();
    const off_t line = file_size(path);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i < kWorkerRecords; ++i) {
      while (tq::log_queue.records.count() > tq::kLogQueueLimit - 100) std::this_thread::yield();
      tq::log_printf(tq::LOG_DEBUG, tq::LOG_LIB, 0, "probe");
    }
    while (file_size(path) < line * kWorkerRecords) std::this_thread::yield();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(s);
    worker_rate = std::max(worker_rate, (kWorkerRecords - 1) / s);
  }
  tq::reset_log_condition();
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * (kWorkerRecords - 1));
}
BENCHMARK(BM_WorkerToFile)->Iterations(benchsupport::sized(3, 1))->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

void bench_after() {
  for (int t : {1, 8})
    if (hook_ns[t] > 0 && fprintf_ns[t] > 0)
      std::printf("%d thread(s): hook %.0f ns per record, fprintf %.0f ns: ratio %.2f (goal <= 2 with 8)\n", t,
                  hook_ns[t], fprintf_ns[t], hook_ns[t] / fprintf_ns[t]);
  if (worker_rate > 0) std::printf("worker %.0f records/s to a file (goal >= 100000)\n", worker_rate);
}
