// Helpers of the login tests (see auth_test_util.h).
#include "auth_test_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include "interp/file_prefix.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/site.h"
#include "platform/fake_hosts.h"
#include "remote/auth_client.h"
#include "remote/auth_server.h"
#include "remote/query.h"
#include "remote/remote_test_util.h"
#include "support/task_runner.h"
#include "text/l_string.h"

using namespace tq;

namespace authtest {

namespace {

// (auth-check path operation): a whole check on the calling interpreter's connection.
TQ_SEXP* auth_check_word(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* op = get_el(s, 2);
  return auth_filepath_passive(get_el(s, 1), get_type(op) == kTagString ? n_string(std_cm, op->string.data) : nullptr);
}

struct World {
  tqtest::TempDir tmp;
  std::string dir = tmp.path() + "/";
  std::string site;  // the process's own, and its resolver
  uint32_t site_ip = 0;
  const HOST_SOURCE *own_source = host_source, *fake_source = nullptr;
  const char *own_conf = resolv_conf_path, *fake_conf = nullptr;
  std::string out, err;
};
World* the_world;

World& world() {
  if (the_world) return *the_world;
  World* w = the_world = new World;
  w->site = n_string(std_cm, get_tqlisp_site());
  HOST_ADDR a{};
  w->site_ip = ha_ipv4(*get_tqlisp_site_ip(&a));
  fakehosts::install().add({{"tqtest", {}, {0x7f000001}}, {w->site, {}, {w->site_ip}}});
  w->fake_source = host_source;
  w->fake_conf = resolv_conf_path;
  std::filesystem::copy(TQ_SOURCE_DIR "/tests/remote/auth_data", w->dir, std::filesystem::copy_options::recursive);
  const std::string clientresult = "/authentification/clientresult/";
  for (const std::string& f : {"home/.ptqconf" + clientresult + "b", "home/.ptqconf" + clientresult + ".a",
                              "peri/peripheral" + clientresult + "q"})
    chmod((w->dir + f).c_str(), 0600);
  chmod((w->dir + "home/.ptqconf" + clientresult + "c").c_str(), 0640);
  setenv("HOME", (w->dir + "home").c_str(), 1);
  setenv("JX_PERIPHERAL", (w->dir + "peri").c_str(), 1);
  Reg_List_pathpair(_l_string_1(std_cm, (w->dir + "base/").c_str()), _l_string_1(std_cm, "/"));
  {
    GcFrame frame("world");
    set_env(qvlisp_top_env0, _l_string_1(std_cm, "auth-check"), get_func_prim(auth_check_word, 1, nullptr, 3, 3));
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
  void TearDown() override { delete the_world; }
};
[[maybe_unused]] testing::Environment* const cleanup = testing::AddGlobalTestEnvironment(new Cleanup);

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
  mutable std::mutex mu;
  std::string up, down;
  std::atomic<bool> stop{false};
  std::function<void(const std::string&)> on_down;
  interptest::FakeServer listen;
  std::unique_ptr<tqtest::Task> task;
};

Relay::Relay(int to_port, std::function<void(const std::string&)> on_down) : st_(std::make_shared<State>()) {
  st_->on_down = std::move(on_down);
  port = st_->listen.port;
  st_->task = std::make_unique<tqtest::Task>([st = st_, to_port] {
    interptest::Sock c(st->listen.accept_one()), s(interptest::Sock::connect_loopback(to_port));
    for (bool open = c.fd() >= 0 && s.fd() >= 0; open && !st->stop;) {
      pollfd p[2] = {{c.fd(), POLLIN, 0}, {s.fd(), POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2 && open; ++i) {
        char buf[8192];
        const ssize_t n = p[i].revents ? read(p[i].fd, buf, sizeof buf) : -2;
        if (n == -2) continue;
        std::string seen;
        if ((open = n > 0)) {
          std::lock_guard<std::mutex> g(st->mu);
          (i == 0 ? st->up : st->down).append(buf, size_t(n));
          seen = st->down;
        }
        if (open && i == 1 && st->on_down) st->on_down(seen);
        if (open) open = (i == 0 ? s : c).send(std::string(buf, size_t(n)));
      }
    }
  });
}

Relay::~Relay() {
  st_->stop = true;
  EXPECT_TRUE(st_->task->wait()) << "the relay did not stop";
  st_->task.reset();  // its body holds the state
}

std::string Relay::up() const {
  std::lock_guard<std::mutex> g(st_->mu);
  return st_->up;
}

std::string Relay::down() const {
  std::lock_guard<std::mutex> g(st_->mu);
  return st_->down;
}

Line::Line(std::function<void(const std::string&)> on_down) : relay(server.port, std::move(on_down)) {
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_CONNECT;
  t->env = qvlisp_top_env1;
  t->hostname = nl_copy_str_1(std_cm, "tqtest");
  t->port = relay.port;
  client = unsigned(setup_i(t));
  EXPECT_GT(int(client), 0) << "our client's set-up";
  accepted = 0;
  for (unsigned id = get_next_iid(0); id; id = get_next_iid(int(id)))
    if (TQ_INTERPRETER i = interptest::info(id); i.a_type == TQI_CONNECT && !i.hostname && id > accepted) accepted = id;
}

Line::~Line() {
  close_interpreter(client);
  EXPECT_TRUE(interptest::wait_gone(client));
}

TQ_SEXP* read_form(const std::string& text) { return car(remotetest::read_forms(text)); }

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
      prefix = get_type(data) == kTagNil ? "DENIED" : "DENIED ";
      v = data;
    }
  }
  std::string r = prefix == "DENIED" ? prefix : prefix + tqtest::printed(v);
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
  int line = 1;
  for (size_t i = 0; i < at && i < bytes.size(); ++i) line += bytes[i] == '\n' || bytes[i] == '\r';
  return at == std::string::npos ? -1 : line;
}

uint32_t read_key(const std::string& path) {
  const std::string bytes = tqtest::read_file(path);
  uint32_t key = 0;
  if (bytes.size() == 4) memcpy(&key, bytes.data(), 4);
  return key;
}

}  // namespace authtest
