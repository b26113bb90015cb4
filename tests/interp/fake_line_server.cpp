// The fake line server: one pool task polls the listener and every connection.
#include "fake_line_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interp_test_util.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "text/code_method.h"

namespace interptest {

struct FakeLineServer::State {
  std::mutex m;
  Policy policy;
  int busy = 0;
  int listener = tqtest::loopback_listener();
  struct Conn {
    int fd;
    std::string pending;
    int read;  // lines read so far
    int line;  // the last line's number as the client counts it: a form feed's line is 0
  };
  std::vector<Conn> conns;
  std::vector<std::string> lines;
  std::atomic<bool> stop{false}, stopped{false};
};

namespace {

void write_all(int fd, const std::string& s) {
  for (size_t done = 0; done < s.size();) {
    const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += size_t(n);
  }
}

}  // namespace

FakeLineServer::FakeLineServer(Policy policy, int busy) : st_(std::make_shared<State>()) {
  st_->policy = std::move(policy);
  st_->busy = busy;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(st_->listener, reinterpret_cast<sockaddr*>(&a), &len) == 0) port_ = ntohs(a.sin_port);
  tqtest::Task([st = st_] { serve(st); });
}

FakeLineServer::~FakeLineServer() {
  st_->stop = true;
  EXPECT_TRUE(tqtest::wait_until([this] { return st_->stopped.load(); })) << "the fake server did not stop";
  for (auto& c : st_->conns) ::close(c.fd);
  ::close(st_->listener);
}

// Each line: the first (the opening line end) is answered with the admission; the second
// (the code marker) and blank ones (keep-alives) are counted only.
void FakeLineServer::serve(std::shared_ptr<State> st) {
  const std::string admit = admit_text(tq::std_cm);
  const std::string busy = "\n" + code_marker(tq::std_cm) + "\n<Permission>Busy</Permission>\n";
  while (!st->stop) {
    std::vector<pollfd> p{{st->listener, POLLIN, 0}};
    for (auto& c : st->conns) p.push_back({c.fd, POLLIN, 0});
    if (poll(p.data(), p.size(), 20) <= 0) continue;
    std::lock_guard<std::mutex> g(st->m);
    if (p[0].revents & POLLIN) st->conns.push_back({accept(st->listener, nullptr, nullptr), {}, 0, 0});
    for (size_t i = 1; i < p.size(); ++i) {
      auto& c = st->conns[i - 1];
      char buf[4096];
      const ssize_t n = (p[i].revents & (POLLIN | POLLHUP)) ? ::read(c.fd, buf, sizeof buf) : 0;
      if (n > 0) c.pending.append(buf, size_t(n));
      for (size_t at; (at = c.pending.find('\n')) != std::string::npos; c.pending.erase(0, at + 1)) {
        const std::string line = c.pending.substr(0, at);
        c.line = line.find('\f') == std::string::npos ? c.line + 1 : 0;
        if (++c.read == 1) write_all(c.fd, int(i) <= st->busy ? busy : admit);
        if (c.read <= 2 || line.empty()) continue;
        st->lines.push_back("c" + std::to_string(i - 1) + ": " + line);
        if (auto v = st->policy(line)) write_all(c.fd, "<Result> " + std::to_string(c.line) + " " + *v + "</Result>\n");
      }
    }
  }
  st->stopped = true;
}

std::vector<std::string> FakeLineServer::lines() {
  std::lock_guard<std::mutex> g(st_->m);
  return st_->lines;
}

int FakeLineServer::connections() {
  std::lock_guard<std::mutex> g(st_->m);
  return int(st_->conns.size());
}

bool FakeLineServer::wait_lines(size_t n) {
  return tqtest::wait_until([&] { return lines().size() >= n; });
}

bool FakeLineServer::send(int c, const std::string& text) {
  std::lock_guard<std::mutex> g(st_->m);
  if (c < 0 || c >= int(st_->conns.size())) return false;
  write_all(st_->conns[size_t(c)].fd, text);
  return true;
}

std::optional<std::string> grant_all(const std::string& line) {
  if (line.rfind("<Lock ", 0) == 0 || line.rfind("<Unlock>", 0) == 0) return std::string("1");
  return std::nullopt;
}

}  // namespace interptest
