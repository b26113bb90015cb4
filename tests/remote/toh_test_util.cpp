#include "toh_test_util.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "support/task_runner.h"

namespace remotetest {

CaptureStdout::CaptureStdout(int fd) : fd_(fd) {
  fflush(nullptr);
  saved_ = dup(fd_);
  const int to = open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(to, fd_);
  close(to);
}

CaptureStdout::~CaptureStdout() {
  const bool capturing = saved_ >= 0;
  text();
  // The test's failures were printed into the capture: shown after all, so that its log says why.
  if (capturing && ::testing::Test::HasFailure()) fwrite(text_.data(), 1, text_.size(), fd_ == 2 ? stderr : stdout);
}

std::string CaptureStdout::text() {
  if (saved_ >= 0) {
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    text_ = tqtest::read_file(dir_.file("out"));
  }
  return text_;
}

namespace {

std::set<std::string> step_files(const std::string& dir) {
  std::set<std::string> r;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n[0] != '.' && n.find('.') == std::string::npos) r.insert(n);
    }
    closedir(d);
  }
  return r;
}

}  // namespace

std::string run_peer(const interptest::Listener& l, const std::string& scenario, bool pump, const StepFn& on_step) {
  tqtest::TempDir steps;
  const std::string clock = pump ? "0" : std::to_string(tqtest::TickClock::now());
  auto result = std::make_shared<tqtest::RunResult>();
  const std::vector<std::string> argv{"/usr/bin/python3", std::string(TQ_SOURCE_DIR) + "/tests/remote/toh_peer.py",
                                      std::to_string(l.port), clock, steps.path(), scenario};
  tqtest::Task peer([=] { *result = tqtest::run_program(argv); });
  std::set<std::string> done;
  std::string faults;
  while (!peer.done()) {
    for (const std::string& name : step_files(steps.path())) {
      if (!done.insert(name).second) continue;
      if (on_step) faults += on_step(name, tqtest::read_file(steps.file(name)));
      tqtest::write_file(steps.file(name + ".go"), "");
    }
    if (pump) {
      tqtest::TickClock::move(2);
      tq::empty_reply_pass();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return (result->out == "ok\n" ? result->out : result->out + result->err) + faults;
}

bool any_session(const std::function<bool(tq::ToH_ENTRY*)>& pred) {
  LOCK_SCOPE(tq::ToH_lock);
  for (tq::ToH_ENTRY* b : tq::ToH_hash)
    for (tq::ToH_ENTRY* e = b; e; e = e->next)
      if (pred(e)) return true;
  return false;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string random_head(std::mt19937& rng) {
  static const char* const kPieces[] = {"GET ", "POST ", "/", "HTTP/1.", "0", "1", "\r\n", "\n", " ", "\t",
                                        "Content-Length: ", "Content-Type: ", "Connection: ", "keep-alive",
                                        "Transfer-Encoding: ", "chunked", ";", "=", "HTTP", "0x", "-", "9999999999"};
  std::string h;
  const int n = int(rng() % 40);
  for (int i = 0; i < n; ++i) {
    if (rng() % 8 == 0)
      h += char(rng() % 256);
    else
      h += kPieces[rng() % std::size(kPieces)];
  }
  return h;
}

}  // namespace remotetest
