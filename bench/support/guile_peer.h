// Guile 3's interpreter as a peer: a program text run by `guile --no-auto-compile` in a
// child process and timed from outside. GUILE_PROGRAM is the path CMake found.
#pragma once
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/scratch.h"
namespace tqbench {

namespace detail {
// Runs guile on the program text behind prefix (a command and its options, or nothing);
// false when it failed.
inline bool run_guile(const std::string& program, const std::string& prefix) {
  signal(SIGCHLD, SIG_DFL);  // the runtime ignores it; system() must wait for its child
  const std::string path = benchsupport::tmp_file("bench_guile_", ".scm");
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(program.c_str(), f);
  std::fclose(f);
  const std::string cmd = prefix + GUILE_PROGRAM + " --no-auto-compile " + path + " > /dev/null 2>&1";
  const bool ok = std::system(cmd.c_str()) == 0;
  if (!ok) std::fprintf(stderr, "guile failed on %s\n", path.c_str());
  std::remove(path.c_str());
  return ok;
}
}  // namespace detail

// Seconds of one run of guile on the program text (its output discarded), or a negative
// value when it failed.
inline double guile_seconds(const std::string& program) {
  const auto start = std::chrono::steady_clock::now();
  if (!detail::run_guile(program, "")) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Guile's own peak resident memory on the program, in MB (negative when it failed). GNU
// time reads it from its child's wait: this process's RUSAGE_CHILDREN cannot, because a
// child forked from a large process starts with that process's pages counted as its own.
inline double guile_peak_mb(const std::string& program) {
  const std::string out = benchsupport::tmp_file("bench_guile_", ".rss");
  if (!detail::run_guile(program, "/usr/bin/time -f %M -o " + out + " ")) return -1;
  double kb = -1;
  if (FILE* f = std::fopen(out.c_str(), "r")) {
    if (std::fscanf(f, "%lf", &kb) != 1) kb = -1;
    std::fclose(f);
  }
  std::remove(out.c_str());
  return kb < 0 ? -1 : kb / 1024;
}

}  // namespace tqbench
