// Name resolution against a host database of the test's own: answers and their cache,
// negative answers, qualification with the local domain, expiry, the local host's name and
// address, the self-sizing calls, and the scheduler's bound and preemption.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fake_hosts.h"
#include "net_test_util.h"
#include "platform/access_rules.h"
#include "platform/resolve.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "support/heap_growth.h"
#include "support/tick_clock.h"

using namespace tq;
using fakehosts::Host;

namespace {

using nettest::ip4;

std::vector<std::string> names(const HOST_ENTRY* he) {
  std::vector<std::string> v;
  for (char** n = he->names; *n; ++n) v.push_back(*n);
  return v;
}

class Resolve : public testing::Test {
 protected:
  Resolve() : fake(fakehosts::install()) { fake.set_domain(""); }
  fakehosts::FakeHosts& fake;
};

using nettest::TaskRun;

// The handler counts on whichever thread the signal lands.
int alarms_counted() { return __atomic_load_n(&sigalarm_handler_cnt, __ATOMIC_RELAXED); }

TEST(HostAddr, V4RecordsAndComparison) {
  const HOST_ADDR a = getHA_v4(0x7f000001);
  EXPECT_EQ(a.type, 4);
  EXPECT_EQ(a.size, 4);
  EXPECT_EQ(ha_ipv4(a), 0x7f000001u);
  const HOST_ADDR zero = getHA_v4(0);
  EXPECT_EQ(zero.type, 0);
  EXPECT_EQ(zero.size, 0);
  for (unsigned char b : zero.d) EXPECT_EQ(b, 0);
  EXPECT_EQ(cmp_HA(a, getHA_v4(0x7f000001)), 0);
  EXPECT_EQ(cmp_HA(a, getHA_v4(0x7f000002)), -1);
  EXPECT_EQ(cmp_HA(a, zero), -1);
}

// The alarm handler of the resolver does nothing but break a blocked call: no restart
// flag, an empty mask, and not the counting handler of the signal set-up.
TEST(ResolveStartup, AlarmHandlerOnlyBreaksTheCall) {
  EXPECT_TRUE(lock_up_test(resolve_lock)) << "made by init_resolve at start-up";
  struct sigaction saved {}, now {};
  ASSERT_EQ(sigaction(SIGALRM, nullptr, &saved), 0);
  aboat_resolve_request_init();
  ASSERT_EQ(sigaction(SIGALRM, nullptr, &now), 0);
  EXPECT_NE(now.sa_handler, saved.sa_handler);
  EXPECT_NE(now.sa_handler, SIG_DFL);
  EXPECT_NE(now.sa_handler, SIG_IGN);
  EXPECT_EQ(now.sa_flags & (SA_RESTART | SA_SIGINFO | SA_RESETHAND), 0);
  EXPECT_EQ(sigismember(&now.sa_mask, SIGINT), 0);
  const int counted = alarms_counted();
  ASSERT_EQ(raise(SIGALRM), 0);  // the process goes on
  EXPECT_EQ(alarms_counted(), counted);
  ASSERT_EQ(sigaction(SIGALRM, &saved, nullptr), 0);
}

TEST_F(Resolve, ThreadSafeCallsReportASmallBuffer) {
  fake.add({{"buf-host.example", {"buf-alias"}, {ip4(10, 9, 0, 1)}}});
  hostent rec;
  char small[8];
  int err = 0;
  errno = 0;
  EXPECT_EQ(_gethostbyname_r("buf-host.example", &rec, small, sizeof small, &err), nullptr);
  EXPECT_EQ(err, ERANGE);
  EXPECT_EQ(errno, ERANGE);
  char big[512];
  hostent* h = _gethostbyname_r("buf-alias", &rec, big, sizeof big, &err);
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h->h_name, "buf-host.example");
  EXPECT_EQ(err, 0);
  // The self-sizing call grows its own buffer.
  h = _gethostbyname_rr("buf-host.example");
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h->h_aliases[0], "buf-alias");
  EXPECT_EQ(_gethostbyname_rr("no-such-buf-host"), nullptr);
}

TEST_F(Resolve, HostEntryKeepsAliasesAndMarksLoghostPermanent) {
  hostent h{};
  char name[] = "gw.example";
  char a1[] = "gw";
  char a2[] = "loghost";
  char* aliases[] = {a1, a2, nullptr};
  unsigned char addr1[] = {192, 168, 1, 2};
  unsigned char addr2[] = {10, 0, 0, 1};
  char* addrs[] = {reinterpret_cast<char*>(addr1), reinterpret_cast<char*>(addr2), nullptr};
  h.h_name = name;
  h.h_aliases = aliases;
  h.h_addrtype = AF_INET;
  h.h_length = 4;
  h.h_addr_list = addrs;
  HOST_ENTRY* he = machine2he_v4(&h);
  EXPECT_EQ(names(he), (std::vector<std::string>{"gw.example", "gw", "loghost"}));
  EXPECT_STREQ(he->canonical, "gw.example");
  ASSERT_EQ(he->ips_length, 2);
  EXPECT_EQ(ha_ipv4(he->ips[0]), ip4(192, 168, 1, 2));
  EXPECT_EQ(ha_ipv4(he->ips[1]), ip4(10, 0, 0, 1));
  EXPECT_EQ(he->flags, HE_PERMANENT);
  free_host_entry(he);
}

TEST_F(Resolve, AnswersFromTheSourceAndCachesThem) {
  fake.add({{"alpha.example", {"alpha"}, {ip4(10, 1, 1, 1), ip4(10, 1, 1, 2)}}});
  const int before = fake.byname_calls.load();
  HOST_ENTRY* he = r_gethostbyname("alpha");
  ASSERT_NE(he, nullptr);
  EXPECT_EQ(names(he), (std::vector<std::string>{"alpha.example", "alpha"}));
  ASSERT_EQ(he->ips_length, 2);
  EXPECT_EQ(ha_ipv4(he->ips[0]), ip4(10, 1, 1, 1));
  EXPECT_EQ(fake.byname_calls.load(), before + 1);
  // Any of the entry's names, and any of its addresses, now answer from the cache.
  EXPECT_EQ(r_gethostbyname("alpha.example"), he);
  EXPECT_EQ(r_gethostbyname("alpha"), he);
  const int addr_before = fake.byaddr_calls.load();
  EXPECT_EQ(r_gethostbyaddr(getHA_v4(ip4(10, 1, 1, 2))), he);
  EXPECT_EQ(fake.byname_calls.load(), before + 1);
  EXPECT_EQ(fake.byaddr_calls.load(), addr_before);
}

TEST_F(Resolve, ReverseLookupsAreCachedToo) {
  fake.add({{"rev.example", {}, {ip4(10, 2, 2, 2)}}});
  const int before = fake.byaddr_calls.load();
  HOST_ENTRY* he = r_gethostbyaddr(getHA_v4(ip4(10, 2, 2, 2)));
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->canonical, "rev.example");
  EXPECT_EQ(r_gethostbyaddr(getHA_v4(ip4(10, 2, 2, 2))), he);
  EXPECT_EQ(fake.byaddr_calls.load(), before + 1);
  // No record to ask for: none, without a lookup.
  EXPECT_EQ(r_gethostbyaddr(getHA_v4(0)), nullptr);
  EXPECT_EQ(fake.byaddr_calls.load(), before + 1);
}

TEST_F(Resolve, NegativeAnswersAreCachedAndBlacklisted) {
  const int before = fake.byname_calls.load();
  errno = 0;
  EXPECT_EQ(r_gethostbyname("missing-host.invalid"), nullptr);
  EXPECT_EQ(errno, EHOSTUNREACH);
  EXPECT_EQ(fake.byname_calls.load(), before + 1);
  // Asked again: none from the cache, no new lookup.
  EXPECT_EQ(r_gethostbyname("missing-host.invalid"), nullptr);
  EXPECT_EQ(fake.byname_calls.load(), before + 1);
  // The lookup direction of the name's key is failing, so a direct lookup through the
  // blacklist is refused at once too.
  const char key[] = "missing-host.invalid";
  BLACKLIST snap;
  ASSERT_TRUE(bl_snapshot(key, sizeof key, &snap));
  EXPECT_EQ(snap.state[BL_LOOKUP].state, BL_FAILING);
  EXPECT_EQ(intr_gethostbyname_rr(key), nullptr);
  EXPECT_EQ(fake.byname_calls.load(), before + 1);
  // Asked again once the source knows the host and the blacklist's retry has let the key go:
  // the negative answer still comes from the cache, by name and by address alike.
  const uint32_t missing = ip4(10, 99, 0, 9);
  EXPECT_EQ(r_gethostbyaddr(getHA_v4(missing)), nullptr);
  fake.add({{key, {}, {missing}}});
  const uint32_t addr_key[2] = {htonl(AF_INET), htonl(missing)};
  const struct {
    std::string key;
    std::function<HOST_ENTRY*()> ask;
    std::function<int()> calls;
  } rows[] = {{std::string(key, sizeof key), [&] { return r_gethostbyname(key); }, [&] { return fake.byname_calls_for(key); }},
              {std::string(reinterpret_cast<const char*>(addr_key), sizeof addr_key), [&] { return r_gethostbyaddr(getHA_v4(missing)); },
               [&] { return fake.byaddr_calls_for(missing); }}};
  for (const auto& row : rows) {
    ASSERT_TRUE(tqtest::wait_until([&] {
      BLACKLIST e;
      return !bl_snapshot(row.key.data(), int(row.key.size()), &e) || e.state[BL_LOOKUP].state == BL_GOOD;
    })) << "the blacklist never retried " << row.key;
    const int calls = row.calls();
    errno = 0;
    EXPECT_EQ(row.ask(), nullptr) << row.key;
    EXPECT_EQ(errno, EHOSTUNREACH) << row.key;
    EXPECT_EQ(row.calls(), calls) << row.key;
  }
}

TEST_F(Resolve, NamesAreQualifiedWithTheLocalDomain) {
  fake.set_domain("corp.example");
  ASSERT_STREQ(get_localdomainname(), "corp.example");
  fake.add({{"q1", {}, {ip4(10, 3, 0, 1)}},
            {"q2.corp", {}, {ip4(10, 3, 0, 2)}},
            {"q3.other.org", {}, {ip4(10, 3, 0, 3)}},
            {"q4.co", {}, {ip4(10, 3, 0, 4)}},
            {"q5", {"localhost"}, {ip4(10, 3, 0, 5)}}});
  HOST_ENTRY* he = r_gethostbyname("q1");
  ASSERT_NE(he, nullptr);
  EXPECT_EQ(names(he), (std::vector<std::string>{"q1.corp.example"}));
  EXPECT_STREQ(he->canonical, "q1.corp.example");
  // The short name is not among the entry's names, so it is asked again; the equal answer
  // keeps the cached entry.
  EXPECT_EQ(r_gethostbyname("q1"), he);
  EXPECT_EQ(r_gethostbyname("q1.corp.example"), he);

  he = r_gethostbyname("q2.corp");
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->canonical, "q2.corp.example");
  he = r_gethostbyname("q3.other.org");
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->canonical, "q3.other.org");
  // "co" begins the domain's text but is not its first label.
  he = r_gethostbyname("q4.co");
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->canonical, "q4.co");
  he = r_gethostbyname("q5");
  ASSERT_NE(he, nullptr);
  EXPECT_EQ(names(he), (std::vector<std::string>{"q5.corp.example", "localhost"}));
}

TEST_F(Resolve, DomainLineIsFoundAfterOtherLines) {
  tqtest::TempDir dir;
  const std::string path = dir.file("resolv.conf");
  tqtest::write_file(path, "nameserver 10.0.0.1\ndomainx wrong\ndomain\tlab.example  \r\ndomain later.example\n");
  const char* saved = resolv_conf_path;
  resolv_conf_path = path.c_str();
  forget_local_host();
  EXPECT_STREQ(get_localdomainname(), "lab.example");  // blanks after the name are dropped
  // Found once, kept: the file is not read again.
  tqtest::write_file(path, "domain other.example\n");
  EXPECT_STREQ(get_localdomainname(), "lab.example");
  forget_local_host();
  tqtest::write_file(path, "nameserver 10.0.0.1\n");
  EXPECT_EQ(get_localdomainname(), nullptr);
  resolv_conf_path = saved;
  forget_local_host();
}

TEST_F(Resolve, MissingConfigurationFileReportsAndGivesNone) {
  const char* saved = resolv_conf_path;
  resolv_conf_path = "/nonexistent-dir-of-tq-tests/resolv.conf";
  forget_local_host();
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_localdomainname(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "get_localdomainname error\n");
  resolv_conf_path = saved;
  forget_local_host();
}

TEST_F(Resolve, ExpiryKeepsLoghostEntries) {
  static std::atomic<uint32_t> now{500000};
  resolve_clock = [] { return now.load(); };
  fake.add({{"exp-plain.example", {}, {ip4(10, 4, 0, 1)}}, {"exp-perm.example", {"loghost"}, {ip4(10, 4, 0, 2)}}});
  HOST_ENTRY* plain = r_gethostbyname("exp-plain.example");
  HOST_ENTRY* perm = r_gethostbyname("exp-perm.example");
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(perm, nullptr);
  EXPECT_TRUE(perm->flags & HE_PERMANENT);
  now += 3600;
  resolv_tick(nullptr);  // an hour exactly: still kept
  const int before = fake.byname_calls.load();
  EXPECT_EQ(r_gethostbyname("exp-plain.example"), plain);
  now += 3601;
  resolv_tick(nullptr);
  EXPECT_EQ(r_gethostbyname("exp-perm.example"), perm);
  EXPECT_EQ(fake.byname_calls.load(), before);
  HOST_ENTRY* again = r_gethostbyname("exp-plain.example");  // asked anew
  EXPECT_EQ(fake.byname_calls.load(), before + 1);
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(plain->canonical, "exp-plain.example");  // the removed entry is still readable
  resolve_clock = nullptr;
}

TEST_F(Resolve, TwoThreadsAskingOneNameShareTheAnswer) {
  // A name no earlier run of this test has had answered and cached.
  static int runs = 0;
  const std::string name = "shared" + std::to_string(++runs) + ".example";
  fake.add({{name, {}, {ip4(10, 5, 0, 1)}}});
  fake.hold(name);
  HOST_ENTRY* a = nullptr;
  HOST_ENTRY* b = nullptr;
  TaskRun first([&] { a = r_gethostbyname(name.c_str()); });
  ASSERT_TRUE(tqtest::wait_until([&] { return fake.holding(); })) << "the first lookup never started";
  TaskRun second([&] { b = r_gethostbyname(name.c_str()); });
  fake.release();
  ASSERT_TRUE(first.wait(std::chrono::seconds(20)));
  ASSERT_TRUE(second.wait(std::chrono::seconds(20)));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(fake.byname_calls_for(name), 1);
  fake.hold("");
}

TEST_F(Resolve, ANewQuestionOvertakesADemotedOne) {
  fake.add({{"slow.example", {}, {ip4(10, 6, 0, 1)}}, {"quick.example", {}, {ip4(10, 6, 0, 2)}}});
  fake.hold("slow.example");
  HOST_ENTRY* slow = nullptr;
  HOST_ENTRY* quick = nullptr;
  tqtest::TickClock clock;
  TaskRun first([&] { slow = r_gethostbyname("slow.example"); });
  ASSERT_TRUE(tqtest::wait_until([&] { return fake.holding(); })) << "the slow lookup never started";
  clock.advance(2);  // the new question's two seconds are over: it is demoted
  testing::internal::CaptureStdout();
  const int alarms = alarms_counted();
  TaskRun second([&] { quick = r_gethostbyname("quick.example"); });
  // Preempting the slow lookup interrupts the resolver thread with SIGALRM.
  const bool interrupted = tqtest::wait_until([&] { return alarms_counted() > alarms; });
  fake.release();  // the interruption does not end the held lookup: it answers anyway
  const bool both = first.wait(std::chrono::seconds(20)) && second.wait(std::chrono::seconds(20));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(both) << "a question never came back";
  EXPECT_TRUE(interrupted);
  EXPECT_NE(out.find("ABOAT RESOLVE\n"), std::string::npos) << out;
  ASSERT_NE(slow, nullptr);
  ASSERT_NE(quick, nullptr);
  EXPECT_EQ(ha_ipv4(slow->ips[0]), ip4(10, 6, 0, 1));
  EXPECT_EQ(ha_ipv4(quick->ips[0]), ip4(10, 6, 0, 2));
  fake.hold("");
}

// The caller's bound of 120 s runs on the tick clock: it is not over at 119 s, and once the
// clock has passed it the time-out wakes the caller, which gives up with no answer.
TEST_F(Resolve, AQuestionThatHangsGivesNoneWithinTheBound) {
  fake.add({{"hang.example", {}, {ip4(10, 7, 0, 1)}}});
  fake.hold("hang.example");
  HOST_ENTRY* he = reinterpret_cast<HOST_ENTRY*>(1);
  int err = 0;
  const tqtest::SiteBytesMark mark{"platform/resolve.cpp"};
  {
    tqtest::TickClock clock;
    TaskRun t([&] {
      he = r_gethostbyname("hang.example");
      err = errno;
    });
    ASSERT_TRUE(tqtest::wait_until([&] { return fake.holding(); })) << "the lookup never started";
    clock.advance(119);
    EXPECT_FALSE(t.done()) << "gave up before its bound";
    // The caller may arm its time-out only after a move of the clock: one more second
    // then wakes it.
    bool came_back = false;
    for (int s = 0; s < 5 && !came_back; ++s) {
      clock.advance(1);
      came_back = t.wait(std::chrono::seconds(2));
    }
    fake.release();
    ASSERT_TRUE(came_back) << "the caller waited past its bound";
  }
  EXPECT_EQ(he, nullptr);
  EXPECT_EQ(err, EHOSTUNREACH);
  // The abandoned lookup ends, frees its request and answer and stores nothing; the next
  // question is answered.
  ASSERT_TRUE(tqtest::wait_until([&] { return !fake.holding() && mark.grown().empty(); })) << mark.grown();
  fake.hold("");
  HOST_ENTRY* later = r_gethostbyname("hang.example");
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(ha_ipv4(later->ips[0]), ip4(10, 7, 0, 1));
}

// ---- the local host -------------------------------------------------------------------------

class LocalHost : public Resolve {
 protected:
  ~LocalHost() override {
    fake.set({});
    fake.set_domain("");
  }
};

TEST_F(LocalHost, WithoutLoghostItIsLocalhost) {
  fake.set({{"localhost", {}, {ip4(127, 0, 0, 1)}}, {"other", {"x"}, {ip4(10, 8, 0, 1)}}});
  fake.set_domain("corp.example");
  char buf[64];
  EXPECT_STREQ(get_localhostname(buf, sizeof buf), "localhost");
  EXPECT_EQ(get_localhostip(), ip4(127, 0, 0, 1));
}

TEST_F(LocalHost, LoghostEntryNamesAndAddressesThisHost) {
  fake.set({{"localhost", {}, {ip4(127, 0, 0, 1)}},
            {"ignored", {"localhost", "loghost"}, {ip4(10, 8, 0, 9)}},
            {"myhost.corp.example", {"myhost", "loghost", "mh"}, {ip4(10, 8, 0, 5)}}});
  fake.set_domain("corp.example");
  char buf[64];
  // The first loghost entry names the host; the address comes from the first entry that
  // reaches loghost before any localhost.
  EXPECT_STREQ(get_localhostname(buf, sizeof buf), "ignored.corp.example");
  EXPECT_EQ(get_localhostip(), ip4(10, 8, 0, 5));
}

TEST_F(LocalHost, ShortestNameWithADomainLongestWithout) {
  fake.set({{"myhost.corp.example", {"myhost", "loghost", "mh"}, {ip4(10, 8, 0, 5)}}});
  fake.set_domain("corp.example");
  char buf[64];
  EXPECT_STREQ(get_localhostname(buf, sizeof buf), "mh.corp.example");
  fake.set_domain("");
  EXPECT_STREQ(get_localhostname(buf, sizeof buf), "myhost.corp.example");
  char tiny[4];
  EXPECT_STREQ(get_localhostname(tiny, sizeof tiny), "myh");  // cut to the buffer
  EXPECT_EQ(get_localhostip(), ip4(10, 8, 0, 5));
  // Computed once: a changed database is not asked again.
  fake.set({});
  EXPECT_STREQ(get_localhostname(buf, sizeof buf), "myhost.corp.example");
  EXPECT_EQ(get_localhostip(), ip4(10, 8, 0, 5));
}

// A "domain" line without a name names no domain: nothing gets a trailing dot.
TEST_F(LocalHost, DomainLineWithoutANameIsNoDomain) {
  tqtest::TempDir dir;
  const std::string path = dir.file("resolv.conf");
  const char* saved = resolv_conf_path;
  resolv_conf_path = path.c_str();
  tqtest::write_file(path, "domain \t \ndomain later.example\n");
  forget_local_host();
  EXPECT_STREQ(get_localdomainname(), "later.example");
  tqtest::write_file(path, "domain  \r\n");
  forget_local_host();
  EXPECT_EQ(get_localdomainname(), nullptr);
  fake.set({{"plainhost", {"loghost"}, {ip4(10, 8, 1, 1)}}, {"q9", {}, {ip4(10, 8, 1, 9)}}});
  char buf[64];
  EXPECT_STREQ(get_localhostname(buf, sizeof buf), "plainhost");
  HOST_ENTRY* he = r_gethostbyname("q9");
  ASSERT_NE(he, nullptr);
  EXPECT_STREQ(he->canonical, "q9");
  resolv_conf_path = saved;
  forget_local_host();
}

}  // namespace
