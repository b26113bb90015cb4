// Guile 3's interpreter as a peer: a program text run by `guile --no-auto-compile` in a
// child process and timed from outside. GUILE_PROGRAM is the path CMake found.
#pragma once
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tqbench {

// Seconds of one run of guile on the program text (its output discarded).
inline double guile_seconds(const std::string& program) {
  signal(SIGCHLD, SIG_DFL);  // the runtime ignores it; system() must wait for its child
  const std::string path = "/tmp/bench_guile_" + std::to_string(getpid()) + ".scm";
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs(program.c_str(), f);
  std::fclose(f);
  const std::string cmd = std::string(GUILE_PROGRAM) + " --no-auto-compile " + path + " > /dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "guile failed on %s\n", path.c_str());
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::remove(path.c_str());
  return s;
}

}  // namespace tqbench
