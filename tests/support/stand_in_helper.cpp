// Stand-ins for a user's root file helper (see stand_in_helper.h).
#include "support/stand_in_helper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/file_helper.h"
#include "platform/machine.h"
#include "support/task_runner.h"

namespace tqtest {

using namespace tq;

bool read_all(int fd, void* p, size_t n) {
  auto* c = static_cast<char*>(p);
  while (n) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 10000) <= 0) return false;
    const ssize_t r = read(fd, c, n);
    if (r <= 0) return false;
    c += r;
    n -= size_t(r);
  }
  return true;
}

bool read_wire(int fd, WireRequest* w) {
  int32_t h[3];
  if (!read_all(fd, h, sizeof h)) return false;
  w->seq = h[0];
  w->code = h[1];
  for (int i = 0; i < h[2]; ++i) {
    int32_t t, v;
    if (!read_all(fd, &t, 4)) return false;
    if (t == UFR_INT64) {
      int64_t v64;
      if (!read_all(fd, &v64, 8)) return false;
      w->args.emplace_back(t, v64);
      continue;
    }
    if (!read_all(fd, &v, 4)) return false;
    w->args.emplace_back(t, v);
    if (t == UFR_BYTES) {
      std::string b(size_t(v), '\0');
      if (!read_all(fd, b.data(), b.size())) return false;
      w->bytes = b;
    }
  }
  return true;
}

std::string reply_bytes(int32_t seq, int32_t code, int64_t r,
                        const std::vector<std::pair<int32_t, std::string>>& bufs) {
  std::string out;
  auto put = [&out](const void* p, size_t n) { out.append(static_cast<const char*>(p), n); };
  int32_t count = int32_t(bufs.size());
  put(&seq, 4);
  put(&code, 4);
  put(&r, 8);
  put(&count, 4);
  for (const auto& [idx, b] : bufs) {
    int32_t len = int32_t(b.size());
    put(&idx, 4);
    put(&len, 4);
    put(b.data(), b.size());
  }
  return out;
}

FakeHelper::FakeHelper(uid_t uid) {
  int req[2], rep[2];
  EXPECT_EQ(pipe2(req, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(rep, O_CLOEXEC), 0);
  req_r = req[0];
  rep_w = rep[1];
  blk_send = req[1];
  blk = _ufr_adopt(uid, req[1], rep[0], 0);
}

FakeHelper::~FakeHelper() {
  close(req_r);
  if (rep_w >= 0) close(rep_w);
}

void FakeHelper::send(const std::string& bytes) {
  ASSERT_EQ(write(rep_w, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

struct StandInHelper::State {
  explicit State(uid_t uid) : h(uid) {}
  ~State() {
    for (int fd : stop)
      if (fd >= 0) close(fd);
  }
  FakeHelper h;
  StandInHelper::Hold hold;
  std::atomic<int> held{0};
  std::mutex m;  // what follows, against the test's calls
  bool released = false;
  struct Held {
    WireRequest w;
    std::string path;
    int32_t fd;  // an open's descriptor
  };
  std::vector<Held> waiting;
  std::map<std::string, std::string> written;                // bytes written, by path
  std::map<int32_t, int> fails;                              // error numbers, by request code
  int stop[2] = {-1, -1};
};

namespace {

// The answer of a request the stand-in serves, as a helper that did the work would give it.
std::string answer(const WireRequest& w, int32_t fd) {
  switch (w.code) {
    case UFR_OPEN:
    case UFR_OPEN64: return reply_bytes(w.seq, UFR_NEW_FD, fd);
    case UFR_WRITE: return reply_bytes(w.seq, UFR_OK, int64_t(w.bytes.size()));
    default: return reply_bytes(w.seq, UFR_OK, 0);
  }
}

// Answers w (st->m held), fd an open's new descriptor: false when the reply pipe is gone.
bool reply(StandInHelper::State* st, const WireRequest& w, const std::string& path, int32_t fd) {
  const auto failed = st->fails.find(w.code);
  if (w.code == UFR_WRITE && failed == st->fails.end()) st->written[path] += w.bytes;
  const std::string out = failed != st->fails.end() ? reply_bytes(w.seq, UFR_FAILED, failed->second) : answer(w, fd);
  return st->h.rep_w >= 0 && write(st->h.rep_w, out.data(), out.size()) == ssize_t(out.size());
}

// Serves until the stop pipe or the request pipe ends.
void serve(const std::shared_ptr<StandInHelper::State>& st) {
  std::map<int32_t, std::string> paths;  // of the descriptors given
  int32_t next_fd = 10;
  for (;;) {
    pollfd pf[2] = {{st->h.req_r, POLLIN, 0}, {st->stop[0], POLLIN, 0}};
    if (poll(pf, 2, -1) < 0 || pf[1].revents) return;
    WireRequest w;
    if (!read_wire(st->h.req_r, &w)) return;
    const bool by_fd = !w.args.empty() && w.args[0].first == UFR_INT;
    const std::string path = by_fd ? paths[int32_t(w.args[0].second & ((1 << kUfrFdBits) - 1))] : w.bytes.c_str();
    const int32_t fd = w.code == UFR_OPEN || w.code == UFR_OPEN64 ? next_fd++ : -1;
    if (fd >= 0) paths[fd] = path;
    std::lock_guard<std::mutex> l(st->m);
    if (!st->released && st->hold(path, w.code)) {
      st->waiting.push_back({w, path, fd});
      ++st->held;
      continue;
    }
    if (!reply(st.get(), w, path, fd)) return;
  }
}

}  // namespace

StandInHelper::StandInHelper(uid_t uid, Hold hold) : state_(std::make_shared<State>(uid)) {
  state_->hold = std::move(hold);
  EXPECT_EQ(pipe2(state_->stop, O_CLOEXEC), 0);
  auto st = state_;
  Task([st] { serve(st); });
}

StandInHelper::~StandInHelper() { end(); }

int StandInHelper::held() const { return state_->held.load(); }

void StandInHelper::release() {
  std::lock_guard<std::mutex> l(state_->m);
  state_->released = true;
  for (const State::Held& h : state_->waiting) reply(state_.get(), h.w, h.path, h.fd);
  state_->waiting.clear();
}

void StandInHelper::fail(int32_t code, int err) {
  std::lock_guard<std::mutex> l(state_->m);
  state_->fails[code] = err;
}

std::string StandInHelper::written(const std::string& path) const {
  std::lock_guard<std::mutex> l(state_->m);
  return state_->written[path];
}

void StandInHelper::end() {
  std::lock_guard<std::mutex> l(state_->m);
  if (state_->h.rep_w < 0) return;
  close(state_->h.rep_w);  // the runtime's reader meets the end: every waiting request fails
  state_->h.rep_w = -1;
  if (write(state_->stop[1], "x", 1) != 1) ADD_FAILURE() << "the stand-in's task was not told to stop";
}

bool reap_helper_process(pid_t pid) {
  int st;
  pid_t got = 0;
  if (wait_until([&] { return (got = waitpid(pid, &st, WNOHANG)) != 0; }, std::chrono::seconds(10))) return true;
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return false;
}

void end_helpers() {
  std::vector<pid_t> pids;
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next) pids.push_back(b->pid);
  ufr_close_all();
  for (pid_t pid : pids) EXPECT_TRUE(reap_helper_process(pid)) << "helper " << pid << " did not end";
  ufr_retire(get_tqtime());
  EXPECT_EQ(ufr_blk_list, nullptr);
  ufr_disable = 0;
}

}  // namespace tqtest
