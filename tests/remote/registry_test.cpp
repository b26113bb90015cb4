// The proxy setting's routes and the server-information records.
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "auth_test_util.h"
#include "interp/interp_test_util.h"
#include "interp/setup_kinds.h"
#include "lang/site.h"
#include "platform/fake_hosts.h"
#include "platform/d_alloc.h"
#include "remote/proxy.h"
#include "remote/server_info.h"
#include "remote_test_util.h"
#include "text/l_string.h"

using namespace tq;

namespace {

struct Route {
  int kind;
  std::string server;
  int port;
};
// The route as the connect set-up asks for it.
Route route(const char* server) {
  char* proxy = nullptr;
  int port = -1;
  Route r{connect_route_hook(server, &proxy, &port), proxy ? proxy : "", port};
  if (proxy) d_f_ree(proxy);
  return r;
}
bool operator==(const Route& a, const Route& b) { return a.kind == b.kind && a.server == b.server && a.port == b.port; }

// This host's address written most significant byte first.
std::string site_address() {
  HOST_ADDR a{};
  get_tqlisp_site_ip(&a);
  const uint32_t ip = ha_ipv4(a);
  char b[20];
  std::snprintf(b, sizeof b, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
  return b;
}

}  // namespace

TEST(Proxy, RoutesByTheDirectListTheSettingOrThisHost) {
  // A site of its own, neither "localhost" nor 127.0.0.1, so that each way of naming this
  // host is seen apart.
  authtest::Site resolver;
  fakehosts::install().add({{"tq-proxy-site", {}, {0x0a000009}}});
  ASSERT_EQ(set_tqlisp_site(_l_string_1(std_cm, "tq-proxy-site")), 0);
  ASSERT_EQ(set_proxy(PROXY_HTTP, "proxy.example", 8080), 0);
  ASSERT_EQ(set_direct_access(PROXY_TQOHTTP, "near.example"), 0);
  const std::string site = n_string(std_cm, get_tqlisp_site()), addr = site_address();
  ASSERT_EQ(site + " " + addr, "tq-proxy-site 10.0.0.9");
  struct Case {
    const char* server;
    Route want;
  } cases[] = {
      {"near.example", {PROXY_TQOHTTP, "", 0}}, {"far.example", {PROXY_HTTP, "proxy.example", 8080}},
      {"localhost", {PROXY_NONE, "", 0}},       {"127.0.0.1", {PROXY_NONE, "", 0}},
      {site.c_str(), {PROXY_NONE, "", 0}},      {addr.c_str(), {PROXY_NONE, "", 0}},
  };
  for (const Case& c : cases) EXPECT_TRUE(route(c.server) == c.want) << c.server;
  // Kinds the setting does not hold change nothing.
  EXPECT_EQ(set_proxy(PROXY_NATIVE, "x", 1), -1);
  EXPECT_EQ(set_proxy(PROXY_HTTP, nullptr, 1), -1);
  EXPECT_EQ(set_direct_access(PROXY_HTTP, "far.example"), -1);
  EXPECT_TRUE(route("far.example") == (Route{PROXY_HTTP, "proxy.example", 8080}));
  ASSERT_EQ(set_proxy(PROXY_NONE, nullptr, 0), 0);  // clears the list too
  EXPECT_TRUE(route("near.example") == (Route{PROXY_NONE, "", 0}));
}

TEST(ServerInfo, RecordsAreFoundAndUpdatedAsAsked) {
  auto set = [](int flags, const char* name, uint32_t ip, int value, int cmd, int set_if = ~0) {
    SERVER_INFO si{flags, value, const_cast<char*>(name), ip, value, value};
    return set_serverinfo(&si, cmd, set_if);
  };
  auto get = [](int flags, const char* name, uint32_t ip) {
    SERVER_INFO si{flags, 0, const_cast<char*>(name), ip, 0, 0};
    return get_serverinfo(&si) == 0 ? si : SERVER_INFO{-1, 0, nullptr, 0, 0, 0};
  };
  // Records stay for the process: each run has names and addresses of its own. "ab.." and
  // "ba.." share a name bucket, ip + 1 and ip + 14 an address bucket.
  static int run = 0;
  const std::string k = std::to_string(++run), ab = "ab" + k, ba = "ba" + k, zz = "zz" + k, ef = "ef" + k;
  const uint32_t ip = 0x0a000000u + uint32_t(run) * 0x1000u;
  ASSERT_EQ(set(SI_NAME | SI_IP, ab.c_str(), ip + 1, 0, SI_SET), 0);
  ASSERT_EQ(set(SI_NAME | SI_IP, ba.c_str(), ip + 14, 0, SI_SET), 0);
  EXPECT_EQ(get(SI_NAME, ab.c_str(), 0).ip, ip + 1);
  EXPECT_EQ(get(SI_NAME, ba.c_str(), 0).ip, ip + 14);
  EXPECT_EQ(get(SI_IP, nullptr, ip + 1).status, 1);
  EXPECT_EQ(get(SI_IP, nullptr, ip + 14).active_flags, SI_STATUS | SI_IP | SI_NAME);
  // Lookups by name do not fall back to the address; set_serverinfo does.
  EXPECT_EQ(get(SI_NAME | SI_IP, zz.c_str(), ip + 1).active_flags, -1);
  EXPECT_EQ(set(SI_NAME | SI_IP | SI_DATA, zz.c_str(), ip + 1, 7, SI_SET), 0);
  EXPECT_EQ(get(SI_NAME, ab.c_str(), 0).data, 7);
  // A record made by address alone takes the name it is next found with.
  ASSERT_EQ(set(SI_IP, nullptr, ip + 9, 0, SI_SET), 0);
  ASSERT_EQ(set(SI_NAME | SI_IP, zz.c_str(), ip + 9, 0, SI_SET), 0);
  EXPECT_EQ(get(SI_NAME, zz.c_str(), 0).ip, ip + 9);
  // A new address moves the record between address chains.
  ASSERT_EQ(set(SI_NAME | SI_IP, ab.c_str(), ip + 2, 0, SI_SET), 0);
  EXPECT_EQ(get(SI_IP, nullptr, ip + 1).active_flags, -1);
  EXPECT_EQ(get(SI_IP, nullptr, ip + 2).data, 7);

  ASSERT_EQ(set(SI_NAME | SI_IP, ef.c_str(), ip + 5, 0, SI_SET), 0);
  struct Case {
    int flags, value, cmd, set_if, result, thput, data;
  } cases[] = {
      {SI_THPUT, 1000, SI_SET, ~0, 0, 1000, 0},
      {SI_THPUT, 100, SI_SMOOTH, ~0, 0, 910, 0},
      {SI_THPUT, 2000, SI_SMOOTH, ~0, 0, 2000, 0},
      {SI_THPUT, 5, 4, ~0, -1, 2000, 0},
      {SI_DATA, 3, SI_IF_ZERO, ~0, 0, 2000, 3},
      {SI_DATA, 4, SI_IF_ZERO, ~0, -2, 2000, 3},
      {SI_DATA, 5, SI_SMOOTH, ~0, -1, 2000, 3},
      {SI_DATA, 6, SI_SET, 16, -2, 2000, 3},  // the status shares no bit with set_if
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(set(SI_NAME | c.flags, ef.c_str(), 0, c.value, c.cmd, c.set_if), c.result);
    const SERVER_INFO got = get(SI_NAME, ef.c_str(), 0);
    EXPECT_EQ(got.thput, c.thput);
    EXPECT_EQ(got.data, c.data);
  }
  EXPECT_EQ(set(SI_STATUS, nullptr, 0, 1, SI_SET), -1) << "neither name nor address";
  EXPECT_EQ(set(SI_NAME, nullptr, 0, 1, SI_SET), -1) << "a name flag without a name";
}

TEST(Proxy, KeepAliveIsOffOnlyForOff) {
  for (const char* value : {"off", "no", "off", "on"}) {
    remotetest::run_forms(std::string("([SetProxy type=\"NoProxy\" keep-alive=\"") + value + "\"])");
    EXPECT_EQ(http_proxy_keep_alive_mode, std::string(value) == "off" ? 0 : 32) << value;
  }
}

// The interpreter tick feeds each connection's measured throughput through its hook: the
// server becomes active (16) and the measure is smoothed into the earlier ones.
TEST(ServerInfo, MeasuredThroughputIsSmoothedIntoTheServersRecord) {
  ASSERT_NE(server_thput_hook, nullptr);
  const uint32_t ip = 0x0b0000e1u;
  server_thput_hook(ip, 1000);
  server_thput_hook(ip, 100);
  SERVER_INFO si{SI_IP, 0, nullptr, ip, 0, 0};
  ASSERT_EQ(get_serverinfo(&si), 0);
  EXPECT_EQ(si.status, 16);
  EXPECT_EQ(si.thput, 910);
  EXPECT_EQ(si.active_flags, SI_STATUS | SI_IP | SI_THPUT);
}

// A listener's name rule admits by the peer's names, looked up with no lock held (the rule
// checks end the program on a lookup under tqi_lock); a peer the rule does not name is denied.
TEST(ListenerNames, ANameRuleAdmitsByThePeersNames) {
  remotetest::Clean clean;
  authtest::Site resolver;
  const uint32_t peer = 0x7f00002a;  // 127.0.0.42: a loopback address no other test names
  fakehosts::install().add({{"peer.rules.example", {}, {peer}}});
  for (const auto& [domain, reply] : {std::pair<const char*, std::string>{"rules.example", interptest::admit_text(std_cm)},
                                      {"elsewhere.example", "<Permission>Denied</Permission>\n"}}) {
    interptest::Listener l(false);
    TQ_INTERPRETER* t;
    {
      TqiLock lock;
      t = _search_tqi_id(l.id);
    }
    insert_access_list(&new_permission_list(t, nullptr)->ap, 0, 0, domain, 0, 0, 1);
    interptest::Sock c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, 0, {htonl(peer)}, {}};
    ASSERT_EQ(bind(c.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    a.sin_addr.s_addr = htonl(0x7f000001), a.sin_port = htons(uint16_t(l.port));
    ASSERT_TRUE(connect(c.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && c.send("\n"));
    EXPECT_EQ(c.read_until("</Permission>\n"), reply) << domain;
  }
}
