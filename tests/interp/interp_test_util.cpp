// Helpers of the interpreter tests, and the test program's start-up: the whole runtime, the
// test thread bound to a self-kind interpreter, and a main interpreter that lives as long as
// the program (a descriptor-kind interpreter on a socket pair), so that no test closes the main
// interpreter and with it every other. With TQ_GC_STRESS set, a collection runs at every
// primitive return on every thread.
#include "interp_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "platform/sleep.h"
#include "stream/string_stream.h"
#include "support/runtime_env.h"
#include "support/test_util.h"
#include "text/l_string.h"

namespace interptest {

using namespace std::chrono;

Sock::~Sock() { close(); }

void Sock::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int Sock::unconnected() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

bool Sock::connect_to(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

int Sock::connect_loopback(int port) {
  Sock s(unconnected());
  if (!s.connect_to(port)) return -1;
  const int fd = s.fd_;
  s.fd_ = -1;
  return fd;
}

bool Sock::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

int Sock::read_some(std::string* out, milliseconds bound) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&p, 1, int(bound.count())) <= 0) return -1;
  char buf[4096];
  const ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n <= 0) return 0;
  out->append(buf, size_t(n));
  return int(n);
}

std::string Sock::read_until(const std::string& end, milliseconds bound) {
  const auto deadline = steady_clock::now() + bound;
  for (;;) {
    if (size_t at = pending_.find(end); at != std::string::npos) {
      std::string r = pending_.substr(0, at + end.size());
      pending_.erase(0, at + end.size());
      return r;
    }
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0 || read_some(&pending_, left) <= 0) {
      std::string r;
      r.swap(pending_);
      return r;
    }
  }
}

bool Sock::read_some_within(milliseconds bound) { return !pending_.empty() || read_some(&pending_, bound) >= 0; }

std::string Sock::read_line(milliseconds bound) { return read_until("\n", bound); }

bool Sock::closed_by_peer(milliseconds bound) {
  const auto deadline = steady_clock::now() + bound;
  for (;;) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    std::string skip;
    const int r = read_some(&skip, left);
    if (r == 0) return true;
    if (r < 0) return false;
  }
}

std::string code_marker(tq::CODE_METHOD* cm) {
  char b[32];
  std::snprintf(b, sizeof b, "&cx%x;", unsigned(cm->lccode));
  return b;
}

std::string admit_text(tq::CODE_METHOD* cm) { return "\n" + code_marker(cm) + "\n<Permission>Allow</Permission>\n"; }

Listener::Listener(bool admit, tq::TQISP_ENV* env) {
  tq::TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = tq::TQI_ACCEPT;
  t->env = env ? env : tq::qvlisp_top_env1;
  t->port = 0;  // any free port
  if (admit) {
    tq::PERMISSION_LIST* pl = tq::new_permission_list(t, nullptr);
    tq::insert_access_list(&pl->ap, 0, 0, nullptr, 0, 0, 1);
  }
  const int r = tq::setup_i(t);
  EXPECT_GT(r, 0) << "listener set-up";
  id = r > 0 ? unsigned(r) : 0;
  port = id ? info(id).port : 0;
}

Listener::~Listener() {
  if (!id) return;
  EXPECT_TRUE(close_gone(id)) << "the listener did not close";
}

Admitted::Admitted(const Listener& l) : c(Sock::connect_loopback(l.port)) {
  EXPECT_TRUE(c.send("\n"));
  EXPECT_EQ(c.read_until("</Permission>\n"), admit_text(tq::std_cm));
  for (unsigned id = tq::get_next_iid(0); id; id = tq::get_next_iid(int(id)))
    if (tq::TQ_INTERPRETER t = info(id); t.a_type == tq::TQI_CONNECT && t.connect_ip == 0x7f000001 && id > conn)
      conn = id;
}

bool idle(unsigned conn) {
  const tq::TQ_INTERPRETER t = info(conn);
  return t.silent_cnt == 0 && t.out_lock == 0;
}

bool relay_awaits_delayed(unsigned conn) {
  tq::TqiLock l;
  tq::TQ_INTERPRETER* t = tq::_search_tqi_id(conn);
  return t && tq::sleepers_on(&t->delay_que_cnt) > 0;
}

unsigned connection_to(int port) {
  for (unsigned i = tq::get_next_iid(0); i; i = tq::get_next_iid(int(i)))
    if (info(i).a_type == tq::TQI_CONNECT && info(i).port == port) return i;
  return 0;
}

int connect_client(int port) {
  tq::TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = tq::TQI_CONNECT;
  t->env = tq::qvlisp_top_env1;
  t->ip = int(INADDR_LOOPBACK);
  t->port = port;
  return tq::setup_i(t);
}

FakeServer::FakeServer() {
  fd = tqtest::loopback_listener();
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) port = ntohs(a.sin_port);
}

FakeServer::~FakeServer() {
  if (fd >= 0) ::close(fd);
}

int FakeServer::accept_one(milliseconds bound) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, int(bound.count())) != 1) return -1;
  return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

namespace {
std::atomic<tq::STREAM*> counted;
std::atomic<int> closes_counted;
void count_close(tq::STREAM* s) {
  if (s == counted) ++closes_counted;
}
}  // namespace

ClosesQueued::ClosesQueued(tq::STREAM* s) {
  counted = s;
  closes_counted = 0;
  tq::close_queue_seen = count_close;
}
ClosesQueued::~ClosesQueued() { tq::close_queue_seen = nullptr; }
int ClosesQueued::count() const { return closes_counted; }

bool wait_gone(unsigned id, milliseconds bound) {
  return tqtest::wait_until([id] { return tq::search_tqi_id(id) == nullptr; }, bound);
}

bool close_gone(unsigned id, milliseconds bound) {
  tq::close_interpreter_nowait(id);
  return wait_gone(id, bound);
}

tq::TQ_INTERPRETER info(unsigned id) {
  tq::TQ_INTERPRETER r{};
  if (tq::get_tqi_info(&r, id) != 0) r.id = 0;
  return r;
}

std::string eval_text(const std::string& text) {
  tq::GcFrame frame("eval_text");
  tq::STREAM* st = tq::s_open_string_read(text.data(), tq::utf8_cm, int(text.size()), 1);
  tq::TQ_SEXP* v = nullptr;
  for (tq::TQ_SEXP* p = tq::init_parse(st, tq::_l_string_1(tq::utf8_cm, "test"), nullptr);
       tq::get_type(p) == tq::kTagPair; p = p->pair.cdr)
    v = tq::eval(tq::qvlisp_top_env1, p->pair.car);
  return printed(v);
}

}  // namespace interptest
