// Access rules (address and mask, domain suffix, match-all; the first match wins) with the
// reverse lookup answered by the test's host database, and the host blacklist: refusal of a
// failing key, retries with a doubling interval under a test clock, waiting on a busy key.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "fake_hosts.h"
#include "net_test_util.h"
#include "platform/access_rules.h"
#include "platform/resolve.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"

using namespace tq;
using fakehosts::Host;

namespace {

using nettest::ip4;

class AccessRules : public testing::Test {
 protected:
  AccessRules() : fake(fakehosts::install()) {
    fake.set_domain("");
    init_access_permission(&ap);
  }
  ~AccessRules() override { free_access_list(&ap); }
  fakehosts::FakeHosts& fake;
  ACCESS_PERMISSION ap;
};

TEST_F(AccessRules, FirstMatchingRuleGivesItsType) {
  fake.add({{"ws.corp.example", {}, {ip4(192, 168, 5, 5)}},
            {"xcorp.example", {}, {ip4(192, 168, 5, 6)}},
            {"corp.example", {}, {ip4(192, 168, 5, 8)}}});
  insert_access_list(&ap, ip4(10, 0, 0, 0), ip4(255, 0, 0, 0), nullptr, 7, 7, 1);
  insert_access_list(&ap, 0, 0, "corp.example", 0, 0, 2);
  insert_access_list(&ap, 0, 0, nullptr, 0, 0, 3);

  const int lookups = fake.byaddr_calls.load();
  EXPECT_EQ(check_permission(&ap, ip4(10, 1, 2, 3), nullptr), 1);
  EXPECT_EQ(fake.byaddr_calls.load(), lookups);  // an address rule matched: no reverse lookup
  EXPECT_EQ(check_permission(&ap, ip4(192, 168, 5, 5), nullptr), 2);  // label, dot, domain
  EXPECT_EQ(check_permission(&ap, ip4(192, 168, 5, 8), "anyone"), 2);  // the domain itself
  EXPECT_EQ(check_permission(&ap, ip4(192, 168, 5, 6), nullptr), 3);  // a letter, no dot
  EXPECT_EQ(check_permission(&ap, ip4(192, 168, 5, 7), nullptr), 3);  // no name at all
  EXPECT_EQ(check_permission(&ap, 0, nullptr), 3);

  // Rules keep their order, address and mask; auth fields are not kept.
  ASSERT_NE(ap.head, nullptr);
  EXPECT_EQ(ap.head->ip, ip4(10, 0, 0, 0));
  EXPECT_EQ(ap.head->mask, ip4(255, 0, 0, 0));
  EXPECT_EQ(ap.head->domain, nullptr);
  EXPECT_EQ(ap.head->auth_type, 0);
  EXPECT_EQ(ap.head->auth_flags, 0);
  EXPECT_STREQ(ap.head->next->domain, "corp.example");
  EXPECT_EQ(ap.tail->type, 3);
}

TEST_F(AccessRules, EmptyListGivesZero) {
  EXPECT_EQ(check_permission(&ap, ip4(10, 1, 2, 3), nullptr), 0);
  insert_access_list(&ap, ip4(172, 16, 0, 0), ip4(255, 240, 0, 0), nullptr, 0, 0, 4);
  EXPECT_EQ(check_permission(&ap, ip4(172, 31, 9, 9), nullptr), 4);
  EXPECT_EQ(check_permission(&ap, ip4(172, 32, 0, 1), nullptr), 0);
  free_access_list(&ap);
  EXPECT_EQ(ap.head, nullptr);
  EXPECT_EQ(ap.tail, nullptr);
  EXPECT_EQ(check_permission(&ap, ip4(172, 31, 9, 9), nullptr), 0);
}

// Random and overlong domains and peer names: no fault, and every answer is a type that a
// rule carries (or 0).
TEST_F(AccessRules, HostileDomainsAndNames) {
  std::mt19937 rng(7);
  auto random_text = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      const int pick = int(rng() % 4);
      s += pick == 0 ? '.' : char(pick == 1 ? 1 + rng() % 255 : 'a' + rng() % 3);
    }
    return s;
  };
  std::vector<Host> hosts;
  for (int i = 0; i < 40; ++i) {
    std::string name = random_text(1 + rng() % 24);
    if (i % 10 == 0) name = std::string(70000, 'a') + ".b";
    hosts.push_back({name, {random_text(1 + rng() % 8)}, {ip4(198, 51, 100, i + 1)}});
  }
  fake.add(hosts);
  for (int round = 0; round < 20; ++round) {
    ACCESS_PERMISSION p;
    init_access_permission(&p);
    for (int r = 0; r < 6; ++r) {
      const std::string d = r == 5 ? std::string(100000, 'b') : random_text(rng() % 6);
      insert_access_list(&p, 0, 0, d.c_str(), 0, 0, 10 + r);
    }
    for (int peer = 0; peer < 40; ++peer) {
      const int t = check_permission(&p, ip4(198, 51, 100, peer + 1), nullptr);
      EXPECT_TRUE(t == 0 || (t >= 10 && t <= 15)) << t;
    }
    free_access_list(&p);
  }
}

// ---- the blacklist -------------------------------------------------------------------------------

std::atomic<uint32_t> fake_now{100000};
uint32_t read_fake_now() { return fake_now.load(); }

// A command whose operation and retry answer what the test says and count their calls.
struct TestCmd {
  BL_CMD c;
  std::atomic<int>* proc_calls;
  int answer;
  int initial;  // polling_initial the operation sets
};

// Retries of the key a test watches (other tests' keys stay in the process-wide list).
std::atomic<int> retry_calls{0};
std::atomic<int> retry_answer{BL_FAILING};
std::string watched;

int test_proc(BLACKLIST* e, BL_CMD* c) {
  auto* cmd = reinterpret_cast<TestCmd*>(c);
  ++*cmd->proc_calls;
  e->polling_initial = cmd->initial;
  return cmd->answer;
}

int test_retry(BLACKLIST* e, BL_CMD* c) {
  if (c || e->name != watched) return BL_FAILING;
  ++retry_calls;
  return retry_answer.load();
}

class Blacklist : public testing::Test {
 protected:
  Blacklist() {
    bl_task_hold(true);
    bl_clock = read_fake_now;
    fake_now = 100000;
    retry_calls = 0;
    retry_answer = BL_FAILING;
  }
  ~Blacklist() override {
    bl_clock = nullptr;
    bl_task_hold(false);
  }
  int run(const std::string& key, int answer, int initial = 0) {
    TestCmd cmd{{key.c_str(), int(key.size()) + 1, BL_CONNECT, test_retry, test_proc}, &calls, answer, initial};
    return bl_do(&cmd.c);
  }
  BLACKLIST snap(const std::string& key) {
    BLACKLIST b{};
    EXPECT_TRUE(bl_snapshot(key.c_str(), int(key.size()) + 1, &b)) << key;
    return b;
  }
  std::atomic<int> calls{0};
};

TEST_F(Blacklist, GoodKeyRunsAndIsDroppedByTheNextScan) {
  EXPECT_EQ(run("good-host", BL_GOOD), BL_GOOD);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(snap("good-host").state[BL_CONNECT].state, BL_GOOD);
  scan_bl();
  BLACKLIST b;
  EXPECT_FALSE(bl_snapshot("good-host", 10, &b));
}

TEST_F(Blacklist, FailingKeyIsRefusedWithoutRunning) {
  EXPECT_EQ(run("bad-host", BL_FAILING, 30), BL_FAILING);
  EXPECT_EQ(calls.load(), 1);
  BLACKLIST b = snap("bad-host");
  EXPECT_EQ(b.state[BL_CONNECT].state, BL_FAILING);
  EXPECT_EQ(b.polling_interval, 30);
  EXPECT_EQ(b.polling_time, 100030u);
  EXPECT_EQ(b.name_len, 9);
  // Refused at once, the operation not run; the other direction of the key is free.
  EXPECT_EQ(run("bad-host", BL_GOOD), BL_FAILING);
  EXPECT_EQ(calls.load(), 1);
  TestCmd lookup{{"bad-host", 9, BL_LOOKUP, test_retry, test_proc}, &calls, BL_GOOD, 0};
  EXPECT_EQ(bl_do(&lookup.c), BL_GOOD);
  EXPECT_EQ(calls.load(), 2);
  // Keys are bytes and length: the same text without its zero is another key.
  TestCmd shorter{{"bad-host", 8, BL_CONNECT, test_retry, test_proc}, &calls, BL_GOOD, 0};
  EXPECT_EQ(bl_do(&shorter.c), BL_GOOD);
  EXPECT_EQ(calls.load(), 3);
}

TEST_F(Blacklist, RetriesWithADoublingInterval) {
  watched = "retry-host";
  ASSERT_EQ(run("retry-host", BL_FAILING, 4), BL_FAILING);
  std::vector<uint32_t> retried_at;
  for (uint32_t t = 100000; t <= 100070; ++t) {
    fake_now = t;
    const int before = retry_calls.load();
    scan_bl();
    if (retry_calls.load() > before) retried_at.push_back(t - 100000);
  }
  // Due after the first interval, then each interval doubles.
  EXPECT_EQ(retried_at, (std::vector<uint32_t>{4, 8, 16, 32, 64}));
  BLACKLIST b = snap("retry-host");
  EXPECT_EQ(b.polling_time, 100000u + 128);
  EXPECT_EQ(b.polling_interval, 128);

  // A refused request starts the interval again from the first one and brings the next
  // retry forward.
  EXPECT_EQ(run("retry-host", BL_GOOD), BL_FAILING);
  b = snap("retry-host");
  EXPECT_EQ(b.polling_interval, 4);
  EXPECT_EQ(b.polling_time, fake_now.load() + 4);

  // A retry that succeeds makes the key good; the next scan drops it.
  retry_answer = BL_GOOD;
  fake_now = fake_now + 4;
  scan_bl();
  EXPECT_EQ(retry_calls.load(), 6);
  EXPECT_EQ(snap("retry-host").state[BL_CONNECT].state, BL_GOOD);
  EXPECT_EQ(run("retry-host", BL_GOOD), BL_GOOD);
  scan_bl();
  BLACKLIST gone;
  EXPECT_FALSE(bl_snapshot("retry-host", 11, &gone));
}

TEST_F(Blacklist, GivesUpAfterTwoDays) {
  watched = "patient-host";
  ASSERT_EQ(run("patient-host", BL_FAILING, 100000), BL_FAILING);
  fake_now = 100000 + 100000 - 1;
  scan_bl();
  EXPECT_EQ(retry_calls.load(), 0);
  fake_now = 100000 + 100000;
  scan_bl();  // the interval doubles to 200000 s, past two days: given up
  EXPECT_EQ(retry_calls.load(), 1);
  EXPECT_EQ(snap("patient-host").state[BL_CONNECT].state, BL_GOOD);
  EXPECT_EQ(run("patient-host", BL_GOOD), BL_GOOD);
}

// A slow operation: the second command on the same key and direction waits, then runs its
// own operation.
std::atomic<bool> slow_release{false};
std::atomic<int> slow_running{0};
std::atomic<BLACKLIST*> slow_entry{nullptr};
int slow_proc(BLACKLIST* e, BL_CMD*) {
  slow_entry = e;
  ++slow_running;
  while (!slow_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return BL_GOOD;
}

struct BlRun {
  std::atomic<bool> done{false};
  int result = -1;
  TestCmd cmd;
  static void body(void* p) {
    auto* r = static_cast<BlRun*>(p);
    r->result = bl_do(&r->cmd.c);
    r->done = true;
  }
};

TEST_F(Blacklist, SecondCommandWaitsForTheBusyOne) {
  slow_release = false;
  slow_running = 0;
  BlRun first{}, second{};
  first.cmd = TestCmd{{"busy-host", 10, BL_CONNECT, test_retry, slow_proc}, &calls, BL_GOOD, 0};
  second.cmd = TestCmd{{"busy-host", 10, BL_CONNECT, test_retry, test_proc}, &calls, BL_GOOD, 0};
  create_task(BlRun::body, &first, 3);
  ASSERT_TRUE(tqtest::wait_until([] { return slow_running.load() == 1; }));
  EXPECT_EQ(snap("busy-host").state[BL_CONNECT].state, BL_BUSY);
  create_task(BlRun::body, &second, 3);
  // The second sleeps on the busy direction's state until the first ends.
  const void* busy = &slow_entry.load()->state[BL_CONNECT].state;
  ASSERT_TRUE(tqtest::wait_until([&] { return sleepers_on(busy) == 1 || second.done.load(); }));
  EXPECT_FALSE(second.done.load());
  EXPECT_EQ(calls.load(), 0);  // not run while the key is busy
  slow_release = true;
  ASSERT_TRUE(tqtest::wait_until([&] { return first.done.load() && second.done.load(); }));
  EXPECT_EQ(first.result, BL_GOOD);
  EXPECT_EQ(second.result, BL_GOOD);
  EXPECT_EQ(calls.load(), 1);
}

TEST(BlacklistDeath, SecondStartUpEndsTheProcess) {
  EXPECT_EXIT(init_blacklist(), testing::ExitedWithCode(1), tqtest::panic_banner("init_blacklist"));
}

}  // namespace
