// peers: lmdb
// mxtest as a whole process (start-up, the store test, exit) against mxtest_lmdb, the same
// workload and output on LMDB with one transaction per operation. The two programs run
// alternately in one scratch folder, output to /dev/null; "ratio" is mxtest's time over
// the peer's (below 1: mxtest is faster).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/scratch.h"
#include "support/smoke.h"

namespace {

const std::string kBin = TQ_BIN_DIR;

// Milliseconds of one run of the program in dir, or a negative value when it failed.
double run_ms(const std::string& path, const std::string& dir) {
  for (const char* f : {"test", "test.mdb", "test.mdb-lock"}) unlink((dir + "/" + f).c_str());
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  int st = -1;
  const bool ok = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, environ) == 0 && waitpid(pid, &st, 0) == pid;
  const auto t1 = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&fa);
  if (!ok || !WIFEXITED(st) || WEXITSTATUS(st) != 0) return -1;
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

void BM_MxtestAgainstLmdbPeer(benchmark::State& state) {
  signal(SIGCHLD, SIG_DFL);  // the start-up lets children go unwaited; here they are waited for
  const std::string dir = benchsupport::new_tmp_folder("bench_mxtest.");
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    const double a = run_ms(kBin + "/mxtest", dir), b = run_ms(kBin + "/mxtest_lmdb", dir);
    if (a < 0 || b < 0) {
      state.SkipWithError("a program failed");
      break;
    }
    ours += a;
    theirs += b;
    state.SetIterationTime((a + b) / 1000);
  }
  const double n = double(state.iterations());
  state.counters["mxtest_ms"] = ours / n;
  state.counters["lmdb_ms"] = theirs / n;
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
  run_ms("/bin/true", dir);  // removes the files of the last run
  rmdir(dir.c_str());
}
BENCHMARK(BM_MxtestAgainstLmdbPeer)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(benchsupport::min_time(3.0));

}  // namespace
