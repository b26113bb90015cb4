// URLs: the examples of the grammar parsed, formatted and composed; the older parser; host
// comparison and completion with the local domain against the test's own host database;
// and random and overlong texts through every parser.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../platform/fake_hosts.h"
#include "platform/d_alloc.h"
#include "util/url.h"

using namespace tq;
using fakehosts::Host;

namespace {

// An L_CHAR text (ASCII, or any 32-bit values) that the test owns.
struct LText {
  std::vector<L_CHAR> v;
  explicit LText(const std::string& s) {
    for (unsigned char c : s) v.push_back(c);
    v.push_back(0);
  }
  explicit LText(std::vector<L_CHAR> raw) : v(std::move(raw)) { v.push_back(0); }
  const L_CHAR* p() const { return v.data(); }
};

std::string str(const L_CHAR* s) {
  if (!s) return "<null>";
  std::string out;
  for (; *s; ++s) out += *s < 0x80 ? char(*s) : '?';
  return out;
}

// The fields of a parse as one line: proto server port agent db resource query name.
std::string fields(const URL& u) {
  return str(u.proto) + " " + str(u.server) + " " + std::to_string(u.port) + " " + str(u.agent) + " " + str(u.db) +
         " " + str(u.resource) + " " + str(u.query) + " " + str(u.name);
}

struct Parsed {
  URL u{};
  int rc;
  explicit Parsed(const std::string& s) { rc = get_url2(&u, LText(s).p()); }
  ~Parsed() { free_url(&u); }
};

std::string formatted(const std::string& s) {
  Parsed p(s);
  return str(get_url_str2(&p.u));
}

std::string take(L_CHAR* s) {
  std::string out = str(s);
  d_f_ree(s);
  return out;
}

TEST(Url, ParsesTheGrammarExamples) {
  EXPECT_EQ(fields(Parsed("http://h/a/b.html?x").u), "http h 80 <null> /a/ b.html x <null>");
  EXPECT_EQ(fields(Parsed("tqp://h:8000/@ag/d/r").u), "tqp h 8000 ag /d/ r <null> <null>");
  EXPECT_EQ(fields(Parsed("/x/y").u), "<null> <null> 0 <null> /x/ y <null> <null>");
  EXPECT_EQ(fields(Parsed("http://h").u), "http h 80 <null> /  <null> <null>");
  EXPECT_EQ(fields(Parsed("a?b#c").u), "<null> <null> 0 <null>  a b#c <null>");
  EXPECT_EQ(fields(Parsed("http://h/x#frag?q").u), "http h 80 <null> / x <null> frag?q");
  EXPECT_EQ(fields(Parsed("http://h/dir/").u), "http h 80 <null> /dir/  <null> <null>");
  EXPECT_EQ(fields(Parsed("http://h:8080").u), "http h 8080 <null> /  <null> <null>");
  EXPECT_EQ(fields(Parsed("foo://h/x").u), "foo h 0 <null> / x <null> <null>");
  EXPECT_EQ(fields(Parsed("http:///x").u), "http <null> 80 <null> / x <null> <null>");
  // A /@agent without a closing "/" is a resource.
  EXPECT_EQ(fields(Parsed("tqp://h/@ag").u), "tqp h 0 <null> / @ag <null> <null>");
  EXPECT_EQ(fields(Parsed("tqp://h/@ag/").u), "tqp h 0 ag /  <null> <null>");
  // "://" needs a character after it.
  EXPECT_EQ(fields(Parsed("http://").u), "<null> <null> 0 <null> http://  <null> <null>");
}

TEST(Url, MalformedTexts) {
  EXPECT_EQ(Parsed("http://:80/").rc, -1);  // an empty server before a port
  EXPECT_EQ(Parsed("http://h:8a/").rc, -1);  // a port followed by a letter
  EXPECT_EQ(Parsed("http://h:99999/").rc, -1);  // no such port
  Parsed partial("http://h:8a/x?q");
  EXPECT_EQ(partial.rc, -1);
  EXPECT_EQ(str(partial.u.proto), "http");  // what was parsed stays
  EXPECT_EQ(str(partial.u.server), "h");
  EXPECT_EQ(str(partial.u.query), "q");
  EXPECT_EQ(Parsed("http://h:/x").rc, 0);  // no digits: port 0, then the scheme's own
  EXPECT_EQ(Parsed("http://h:/x").u.port, 80);
}

TEST(Url, FormatsAsWritten) {
  EXPECT_EQ(formatted("http://h/a/b.html?x"), "http://h/a/b.html?x");
  EXPECT_EQ(formatted("tqp://h:8000/@ag/d/r"), "tqp://h:8000/@ag/d/r");
  EXPECT_EQ(formatted("http://h"), "http://h/");
  EXPECT_EQ(formatted("http://h:80/x"), "http://h/x");
  EXPECT_EQ(formatted("tqp://h/x"), "tqp://h/x");
  EXPECT_EQ(formatted("http://h:8080/a/?q#n"), "http://h:8080/a/?q#n");
  EXPECT_EQ(formatted("foo://h/x"), "foo://h:0/x");  // an unknown scheme always shows its port
  EXPECT_EQ(formatted("tqp://h/@ag/"), "tqp://h/@ag/");
  EXPECT_EQ(formatted("/x/y"), "<null>");  // no scheme

  URL u{};
  LText proto("tqp");
  u.proto = proto.v.data();
  EXPECT_EQ(str(get_url_str2(&u)), "tqp:///");
  LText db("d/"), res("r"), user("me"), agent("ag");
  u.db = db.v.data();
  u.resource = res.v.data();
  u.user = user.v.data();
  u.agent = agent.v.data();
  EXPECT_EQ(str(get_url_str2(&u)), "tqp:///@ag/d/r");  // one "/" after the agent; no user
  EXPECT_EQ(take(get_url_filepath(&u)), "/d/r");
}

TEST(Url, FilePathAlone) {
  Parsed p("tqp://h:8000/@ag/d/r?q#n");
  EXPECT_EQ(take(get_url_filepath(&p.u)), "/d/r?q#n");
  Parsed root("http://h");
  EXPECT_EQ(take(get_url_filepath(&root.u)), "/");
}

TEST(Url, ComposesRelativeTexts) {
  auto compose = [](const std::string& b, const std::string& r) {
    return take(compose_url(LText(b).p(), LText(r).p()));
  };
  EXPECT_EQ(compose("http://h/a/b", "../c"), "http://h/c");
  EXPECT_EQ(compose("http://h/a/", "/z"), "http://h/z");
  EXPECT_EQ(compose("http://h/a/b", "c?q#n"), "http://h/a/c?q#n");  // the query's "#"
  EXPECT_EQ(compose("http://h/a/b", "c#n"), "http://h/a/c#n");
  EXPECT_EQ(compose("http://h:8080/a/b", "x/y"), "http://h:8080/a/x/y");
  EXPECT_EQ(compose("tqp://h/@ag/a/b", "c"), "tqp://h/@ag/a/c");
  EXPECT_EQ(compose("tqp://h/@ag/a/b", "/@other/c"), "tqp://h/@other/c");
  EXPECT_EQ(compose("http://h/a/b", "http://k/z"), "http://k/z");  // a whole URL is kept
  EXPECT_EQ(compose("http://h/a/b", "tqp://k/z"), "<null>");  // port 0: a mix
  EXPECT_EQ(compose("/a/b", "c"), "<null>");  // a base without scheme, server and port
  EXPECT_EQ(compose("http://h/a/", "../../c"), "<null>");
  EXPECT_EQ(compose("http://h:8a/", "c"), "<null>");
}

TEST(Url, ComposesPaths) {
  auto compose = [](const std::string& b, const std::string& r) {
    return take(compose_path(LText(b).p(), LText(r).p()));
  };
  EXPECT_EQ(compose("/a/", "../../x"), "<null>");
  EXPECT_EQ(compose("/a/b/c", "../x"), "/a/x");
  EXPECT_EQ(compose("/a/b/", "x"), "/a/b/x");
  EXPECT_EQ(compose("/a/", "/y"), "/y");
  EXPECT_EQ(compose("base", "r"), "r");  // a base without "/"
  EXPECT_EQ(compose("/a/", "./x"), "<null>");
  EXPECT_EQ(compose("/a/", ".x"), "<null>");
  EXPECT_EQ(compose("/a/", ".."), "<null>");
  EXPECT_EQ(compose("a/b/", "../x"), "a/x");
  EXPECT_EQ(compose("a/", "../x"), "<null>");
  EXPECT_EQ(compose_path(nullptr, LText("x").p()), nullptr);
}

TEST(Url, WellKnownPorts) {
  EXPECT_EQ(get_wkp(LText("http").p()), 80);
  EXPECT_EQ(get_wkp(LText("tqp").p()), 0);
  EXPECT_EQ(get_wkp(LText("HTTP").p()), -1);
  EXPECT_EQ(get_wkp(LText("").p()), -1);
  EXPECT_EQ(get_wkp(nullptr), -1);
  EXPECT_STREQ(get_proto_name(80), "http");
  EXPECT_STREQ(get_proto_name(0), "tqp");
  EXPECT_EQ(get_proto_name(443), nullptr);
}

TEST(Url, CopyAndFree) {
  Parsed p("tqp://h:8000/@ag/d/r?q#n");
  URL c{};
  copy_url(&c, &p.u);
  EXPECT_EQ(fields(c), fields(p.u));
  EXPECT_NE(c.server, p.u.server);
  free_url(&c);
  EXPECT_EQ(c.server, nullptr);
  EXPECT_EQ(c.db, nullptr);
  zero_url(&c);
  EXPECT_EQ(c.port, 0);
}

// ---- the older parser ----------------------------------------------------------------------------

std::string old_fields(const std::string& s, int* rc) {
  URL u{};
  *rc = get_url(&u, LText(s).p());
  const std::string f = str(u.proto) + " " + str(u.server) + " " + std::to_string(u.port) + " " + str(u.db) + " " +
                        str(u.resource);
  free_url(&u);
  return f;
}

TEST(Url, OlderParser) {
  int rc;
  EXPECT_EQ(old_fields("tqp://h:9000/a/b/c", &rc), "tqp h 9000 a/b c");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(old_fields("http://h/x", &rc), "http h 9090 <null> x");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(old_fields("/a/b", &rc), "<null> <null> 9090 a b");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(old_fields("a/b/c", &rc), "<null> <null> 9090 a/b c");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(old_fields("x", &rc), "<null> <null> 9090 <null> x");
  EXPECT_EQ(rc, 0);
  for (const char* bad : {"", "a//b", "a/b/", "c:x", "http://h", "http://h:", "http://h:9a/x", "http:///x",
                          "http://h:/x"}) {
    old_fields(bad, &rc);
    EXPECT_EQ(rc, -1) << bad;
  }
  // agent, query and name are left alone; user and passwd are cleared.
  URL u{};
  LText agent("keep");
  u.agent = agent.v.data();
  EXPECT_EQ(get_url(&u, LText("h/r").p()), 0);
  EXPECT_EQ(u.agent, agent.v.data());
  EXPECT_EQ(u.user, nullptr);
  u.agent = nullptr;
  free_url(&u);
}

// ---- hosts -------------------------------------------------------------------------------------------

class UrlHosts : public testing::Test {
 protected:
  UrlHosts() : fake(fakehosts::install()) {
    fake.set({{"localhost", {}, {0x7f000001}},
              {"me.corp.example", {"me", "loghost"}, {0x0a000005}},
              {"alpha.corp.example", {"alpha", "alpha2"}, {0x0a000001}},
              {"beta.corp.example", {"beta"}, {0x0a000002, 0x0a000001}},
              {"gamma.corp.example", {"gamma"}, {0x0a000003}}});
    fake.set_domain("corp.example");
  }
  fakehosts::FakeHosts& fake;
};

TEST_F(UrlHosts, HostComparison) {
  const HOST_ADDR none{};
  EXPECT_EQ(hostcmp(nullptr, getHA_v4(0x0a000001), nullptr, getHA_v4(0x0a000001)), 0);
  EXPECT_EQ(hostcmp(nullptr, getHA_v4(0x0a000001), nullptr, getHA_v4(0x0a000002)), 1);
  EXPECT_EQ(hostcmp("alpha", none, "alpha", none), 0);
  EXPECT_EQ(hostcmp("alpha", none, "beta", none), 0);  // they share an address
  EXPECT_EQ(hostcmp("alpha", none, "gamma", none), 1);
  EXPECT_EQ(hostcmp("alpha", none, "nohost.invalid", none), -1);
  EXPECT_EQ(hostcmp("gamma", none, nullptr, getHA_v4(0x0a000003)), 0);
  EXPECT_EQ(hostcmp(nullptr, getHA_v4(0x0a000009), "gamma", none), 1);
  EXPECT_EQ(hostcmp("nohost.invalid", none, nullptr, getHA_v4(0x0a000003)), -1);
}

TEST_F(UrlHosts, ThisHost) {
  EXPECT_EQ(localhostcmp(getHA_v4(0x0a000005), "me.corp.example"), 0);
  EXPECT_EQ(localhostcmp(getHA_v4(0x0a000005), "me"), 1);
  EXPECT_EQ(localhostcmp(getHA_v4(0x0a000001), "me.corp.example"), 1);
  // A null server stands for this host.
  EXPECT_EQ(_cmp_server(nullptr, nullptr), 0);
  EXPECT_EQ(_cmp_server(LText("me.corp.example").p(), nullptr), 0);
  EXPECT_EQ(_cmp_server(nullptr, LText("gamma").p()), 1);
  EXPECT_EQ(_cmp_server(LText("alpha2").p(), LText("alpha").p()), 0);
}

TEST_F(UrlHosts, UrlComparison) {
  Parsed a("http://alpha/a?x"), b("http://alpha/a?y"), c("http://alpha2/a#n"), d("http://gamma/a"),
      e("http://alpha:81/a"), f("http://alpha/b");
  EXPECT_EQ(url_cmp_str(&a.u, &b.u), 0);  // the query is not compared
  EXPECT_EQ(url_cmp(&a.u, &b.u), 0);
  EXPECT_EQ(url_cmp_str(&a.u, &c.u), -1);  // other server text
  EXPECT_EQ(url_cmp(&a.u, &c.u), 0);       // the same host
  EXPECT_EQ(url_cmp(&a.u, &d.u), -1);
  EXPECT_EQ(url_cmp(&a.u, &e.u), -1);
  EXPECT_EQ(url_cmp(&a.u, &f.u), -1);
}

TEST_F(UrlHosts, CompletionWithTheLocalDomain) {
  auto reg = [](const std::string& s) { return take(url_regulation(LText(s).p())); };
  EXPECT_EQ(reg("http://h/x"), "http://h.corp.example/x");
  EXPECT_EQ(reg("tqp://h:8000/@ag/d/r?q"), "tqp://h.corp.example:8000/@ag/d/r?q");
  EXPECT_EQ(reg("http://h.corp/x"), "http://h.corp.example/x");
  EXPECT_EQ(reg("http://h.co/x"), "http://h.co/x");  // "co" is no label of the domain
  EXPECT_EQ(reg("http://h.other/x"), "http://h.other/x");
  EXPECT_EQ(reg("http://h.corp.example/x"), "http://h.corp.example/x");
  EXPECT_EQ(reg("/x/y"), "/x/y");
  EXPECT_EQ(reg("http://h:8a/"), "http://h:8a/");
  fake.set_domain("");
  EXPECT_EQ(reg("http://h/x"), "http://h/x");
}

// ---- hostile input ---------------------------------------------------------------------------------

// Random texts over the grammar's characters and beyond, and overlong ones, through every
// parser. Formatting a parse and parsing that again gives the same text.
TEST(UrlHostile, RandomAndOverlongTexts) {
  std::mt19937 rng(11);
  const L_CHAR alphabet[] = {'/', ':', '?', '#', '@', '.', '0', '8', 'a', 'h', 'p', 't', 0x80000001u, 0xDFFFFFFEu, 0x3042};
  std::vector<std::vector<L_CHAR>> inputs;
  for (int i = 0; i < 3000; ++i) {
    std::vector<L_CHAR> v;
    const int n = int(rng() % 24);
    for (int k = 0; k < n; ++k) v.push_back(alphabet[rng() % (sizeof alphabet / sizeof alphabet[0])]);
    if (i % 3 == 0) {
      const std::vector<L_CHAR> head = {'t', 'q', 'p', ':', '/', '/'};
      v.insert(v.begin(), head.begin(), head.end());
    }
    inputs.push_back(v);
  }
  std::vector<L_CHAR> longest;
  for (const char* s : {"http://", "h", ":80/", "@a/", "d/", "r", "?q", "#n"}) {
    for (int k = 0; k < 20000; ++k)
      for (const char* c = s; *c; ++c) longest.push_back(L_CHAR(*c));
  }
  inputs.push_back(longest);
  inputs.push_back(std::vector<L_CHAR>(100000, '/'));
  inputs.push_back(std::vector<L_CHAR>(100000, ':'));
  std::vector<L_CHAR> digits = {'h', 't', 't', 'p', ':', '/', '/', 'h', ':'};
  digits.insert(digits.end(), 5000, '9');
  inputs.push_back(digits);

  for (const auto& in : inputs) {
    LText t(in);
    URL u{};
    if (get_url2(&u, t.p()) == 0 && u.proto) {
      const std::string f1 = str(get_url_str2(&u));
      URL again{};
      ASSERT_EQ(get_url2(&again, get_url_str2(&u)), 0) << f1;
      EXPECT_EQ(str(get_url_str2(&again)), f1);
      free_url(&again);
    }
    d_f_ree(get_url_filepath(&u));
    free_url(&u);
    URL old{};
    get_url(&old, t.p());
    free_url(&old);
    d_f_ree(compose_url(LText("http://h/a/b/").p(), t.p()));
    d_f_ree(compose_url(t.p(), LText("../x").p()));
    d_f_ree(compose_path(LText("/a/b/c/").p(), t.p()));
    d_f_ree(url_regulation(t.p()));
  }
}

}  // namespace
