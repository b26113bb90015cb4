// Helpers of the login tests (see auth_test_util.h).
#include "auth_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "entry/start.h"
#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/fake_hosts.h"
#include "remote/auth_client.h"
#include "remote/auth_server.h"
#include "remote/query.h"
#include "stream/string_stream.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "text/l_string.h"
#include "words/registrars.h"

using namespace tq;

namespace authtest {

namespace {

using namespace std::chrono;

// (auth-check path operation): a whole check on the calling interpreter's connection.
TQ_SEXP* auth_check_word(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* op = get_el(s, 2);
  return auth_filepath_passive(get_el(s, 1), get_type(op) == kTagString ? n_string(std_cm, op->string.data) : nullptr);
}

// The runtime as the other interpreter suites start it, when none of them did: the test
// thread bound to an interpreter and a main interpreter for the program's life.
void start_runtime() {
  if (qvlisp_top_env0) return;
  minimum_matrix_init(0, nullptr);
  if (getenv("TQ_GC_STRESS")) eval_check_hook = [] { gc_tick_notin_tick(nullptr, 0); };
  setup_self_interpreter();
  gc_push(nullptr, nullptr, "tests");
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  TQ_INTERPRETER* holder = new_tq_interpreter();
  holder->a_type = TQI_DESC;
  holder->env = qvlisp_top_env1;
  holder->inp_desc = sv[0];  // sv[1] stays open, unread, for the life of the program
  ASSERT_GT(setup_i(holder), 0);
}

struct World {
  tqtest::TempDir tmp;
  std::string dir = tmp.path() + "/";
  std::string site;  // the process's own, and its resolver
  uint32_t site_ip = 0;
  const HOST_SOURCE *own_source = nullptr, *fake_source = nullptr;
  const char *own_conf = nullptr, *fake_conf = nullptr;
  std::string out, err;
};
World* the_world;

World& world() {
  if (the_world) return *the_world;
  start_runtime();
  World* w = the_world = new World;
  w->site = n_string(std_cm, get_tqlisp_site());
  HOST_ADDR a{};
  w->site_ip = ha_ipv4(*get_tqlisp_site_ip(&a));
  w->own_source = host_source;
  w->own_conf = resolv_conf_path;
  fakehosts::install().add({{"tqtest", {}, {0x7f000001}}, {w->site, {}, {w->site_ip}}});
  w->fake_source = host_source;
  w->fake_conf = resolv_conf_path;
  namespace fs = std::filesystem;
  fs::copy(TQ_SOURCE_DIR "/tests/remote/auth_data", w->dir, fs::copy_options::recursive);
  for (const char* f : {"home/.ptqconf/authentification/clientresult/b", "home/.ptqconf/authentification/clientresult/.a",
                        "peri/peripheral/authentification/clientresult/q"})
    chmod((w->dir + f).c_str(), 0600);
  chmod((w->dir + "home/.ptqconf/authentification/clientresult/c").c_str(), 0640);
  setenv("HOME", (w->dir + "home").c_str(), 1);
  setenv("JX_PERIPHERAL", (w->dir + "peri").c_str(), 1);
  Reg_List_pathpair(_l_string_1(std_cm, (w->dir + "base/").c_str()), _l_string_1(std_cm, "/"));
  {
    GcFrame frame("world");
    set_env(qvlisp_top_env0, _l_string_1(std_cm, "auth-check"), get_func_prim(auth_check_word, 1, nullptr, 3, 3));
    if (!get_env_symbol(qvlisp_top_env0, _l_string_1(std_cm, "Local"), -1)) init_Local(qvlisp_top_env0);
    if (!get_env_symbol(qvlisp_top_env0, _l_string_1(std_cm, "LocalEval"), -1)) init_LocalEval(qvlisp_top_env0);
  }
  Site site;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  set_client_result();
  w->out = testing::internal::GetCapturedStdout();
  w->err = testing::internal::GetCapturedStderr();
  return *w;
}

// Removes the world's folders once every test has run.
class Cleanup : public testing::Environment {
 public:
  void TearDown() override {
    delete the_world;
    the_world = nullptr;
  }
};
[[maybe_unused]] testing::Environment* const cleanup = testing::AddGlobalTestEnvironment(new Cleanup);

int free_port_listener(int* port) {
  const int fd = tqtest::loopback_listener();
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) *port = ntohs(a.sin_port);
  return fd;
}

bool send_all(int fd, const char* p, ssize_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, size_t(n), MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w, n -= w;
  }
  return true;
}

}  // namespace

const std::string& world_dir() { return world().dir; }
const std::string& client_files_out() { return world().out; }
const std::string& client_files_err() { return world().err; }

Site::Site() {
  World& w = world();
  host_source = w.fake_source;
  resolv_conf_path = w.fake_conf;
  forget_local_host();
  EXPECT_EQ(set_tqlisp_site(_l_string_1(std_cm, "tqtest")), 0);
}

Site::~Site() {
  World& w = *the_world;
  EXPECT_EQ(set_tqlisp_site(_l_string_1(std_cm, w.site.c_str())), 0);
  host_source = w.own_source;
  resolv_conf_path = w.own_conf;
  forget_local_host();
}

struct Relay::State {
  std::mutex mu;
  std::string up, down;
  std::atomic<bool> stop{false};
  std::function<void(const std::string&)> on_down;
  std::unique_ptr<tqtest::Task> task;
};

Relay::Relay(int to_port, std::function<void(const std::string&)> on_down) : st_(std::make_shared<State>()) {
  st_->on_down = std::move(on_down);
  const int lfd = free_port_listener(&port);
  std::shared_ptr<State> st = st_;
  st_->task = std::make_unique<tqtest::Task>([st, lfd, to_port] {
    pollfd lp{lfd, POLLIN, 0};
    const int c = poll(&lp, 1, 10000) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(lfd);
    const int s = c < 0 ? -1 : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(to_port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      for (bool open = true; open && !st->stop;) {
        pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
        if (poll(p, 2, 50) <= 0) continue;
        for (int i = 0; i < 2 && open; ++i) {
          if (!p[i].revents) continue;
          char buf[8192];
          const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
          if (n <= 0) {
            open = false;
            break;
          }
          std::string seen;
          {
            std::lock_guard<std::mutex> g(st->mu);
            (i == 0 ? st->up : st->down).append(buf, size_t(n));
            seen = st->down;
          }
          if (i == 1 && st->on_down) st->on_down(seen);
          open = send_all(p[1 - i].fd, buf, n);
        }
      }
    }
    if (s >= 0) ::close(s);
    if (c >= 0) ::close(c);
  });
}

Relay::~Relay() {
  st_->stop = true;
  EXPECT_TRUE(st_->task->wait()) << "the relay did not stop";
}

std::string Relay::up() const {
  std::lock_guard<std::mutex> g(st_->mu);
  return st_->up;
}

std::string Relay::down() const {
  std::lock_guard<std::mutex> g(st_->mu);
  return st_->down;
}

Listener::Listener() {
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_ACCEPT;
  t->env = qvlisp_top_env1;
  t->port = 0;
  PERMISSION_LIST* pl = new_permission_list(t, nullptr);
  insert_access_list(&pl->ap, 0x7f000001, 0xffffffff, nullptr, 0, 0, 1);
  const int r = setup_i(t);
  EXPECT_GT(r, 0) << "listener set-up";
  id = r > 0 ? unsigned(r) : 0;
  TQ_INTERPRETER info{};
  port = id && get_tqi_info(&info, id) == 0 ? info.port : 0;
}

Listener::~Listener() { close_and_wait(id); }

int connect_tqtest(int port) {
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_CONNECT;
  t->env = qvlisp_top_env1;
  t->hostname = nl_copy_str_1(std_cm, "tqtest");
  t->port = port;
  return setup_i(t);
}

void close_and_wait(unsigned id) {
  if (!id) return;
  close_interpreter(id);
  EXPECT_TRUE(tqtest::wait_until([id] { return search_tqi_id(id) == nullptr; })) << "interpreter " << id << " stays";
}

unsigned newest_accepted() {
  unsigned found = 0;
  for (unsigned id = get_next_iid(0); id; id = get_next_iid(int(id))) {
    TQ_INTERPRETER t{};
    if (get_tqi_info(&t, id) == 0 && t.a_type == TQI_CONNECT && !t.hostname && id > found) found = id;
  }
  return found;
}

void set_connect_ip(unsigned id, uint32_t ip) {
  TqiLock l;
  if (TQ_INTERPRETER* t = _search_tqi_id(id)) t->connect_ip = int(ip);
}

TQ_SEXP* read_form(const std::string& text) {
  STREAM* st = s_open_string_read(text.data(), utf8_cm, int(text.size()), 1);
  return car(init_parse(st, _l_string_1(std_cm, "test"), nullptr));
}

std::string ask(unsigned id, const std::string& text) {
  GcFrame frame("ask");
  TQ_SEXP* v = remote_query(int(id), qvlisp_top_env1, nullptr, read_form(text));
  std::string out = "(no reply within the bound)";
  tqtest::Task t([&] { out = shown(realize_sexp(v)); });
  t.wait();
  return out;
}

std::string shown(TQ_SEXP* v) {
  std::string prefix;
  if (get_type(v) == kTagError && v->error.code == ER_PERMISSION) {
    TQ_SEXP* data = v->error.data;
    std::string func = n_string(std_cm, v->error.func);
    if (func == "remote call" && get_type(get_el(data, 3)) == kTagString) {  // a peer's error, as it came
      func = n_string(std_cm, get_el(data, 3)->string.data);
      data = get_el(data, 5);
    }
    if (func == "authentification (DENIED)") {
      prefix = "DENIED";
      v = data;
      if (get_type(v) == kTagNil) return prefix;
      prefix += " ";
    }
  }
  STREAM* out = s_open_string_write(utf8_cm);
  print_sexp(out, v, 0);
  std::string r = prefix + (s_get_string(out) ? s_get_string(out) : "");
  d_s_close(out);
  for (size_t at; (at = r.find("SERVICE://tqtest:0/")) != std::string::npos;) r.replace(at, 19, "@");
  return r;
}

Conn::Conn(uint32_t ip, const char* host) : tqi(new_tq_interpreter()) {
  tqi->connect_ip = int(ip);
  if (host) tqi->hostname = nl_copy_str_1(std_cm, host);
  set = new_auth_connection_set(tqi);
}

Conn::~Conn() {
  free_auth_connection_set(set);
  free_tq_interpreter(tqi);
}

int line_of(const std::string& bytes, const std::string& needle) {
  const size_t at = bytes.find(needle);
  if (at == std::string::npos) return -1;
  int line = 1;
  for (size_t i = 0; i < at; ++i) line += bytes[i] == '\n' || bytes[i] == '\r';
  return line;
}

uint32_t read_key(const std::string& path) {
  const std::string bytes = tqtest::read_file(path);
  uint32_t key = 0;
  if (bytes.size() == 4) memcpy(&key, bytes.data(), 4);
  return key;
}

}  // namespace authtest
