// The server's decisions, called directly: rules and stored results against crafted
// replies, the local root key files of a check, paths with "." and "..", failing rule files.
#include <unistd.h>

#include "auth_test_util.h"
#include "lang/gc.h"
#include "remote/auth_methods.h"
#include "remote/auth_server.h"
#include "support/test_util.h"
#include "text/l_string.h"

using namespace tq;
using namespace authtest;

namespace {

// One call on a connection: a check of (path, op); with a reply, the authentification of
// the last check with it ("@" stands for "SERVICE://tqtest:0/").
struct Step {
  const char* path;
  const char* op;
  std::string reply;  // empty: a check
  std::string expect;
};
struct Case {
  const char* name;
  std::vector<Step> steps;
};

std::string full(std::string text) {
  for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, "SERVICE://tqtest:0/");
  return text;
}

std::string nested(int depth, const std::string& inner) {
  std::string s = inner;
  for (int i = 0; i < depth; ++i) s = "([result-list type=\"and\"] " + s + ")";
  return s;
}

bool declared(const char* name) {
  const std::string want = full(name);
  for (AUTH_SERVICE_LIST* l = auth_set_server.auth_service_list; l; l = l->next)
    if (l->service->h.service_name && n_string(std_cm, l->service->h.service_name) == want) return true;
  return false;
}

// Checks path on conn and returns (shown value, check number).
std::pair<std::string, int> check(Conn& c, const char* path, const char* op = "read") {
  GcFrame f("check");
  int gc_no = 0;
  const std::string v = shown(ap_server_check_path_phase(c.set, _l_string_1(std_cm, path), op, &gc_no));
  return {v, gc_no};
}

std::string answer(Conn& c, const char* path, const std::string& reply, int gc_no, const char* op = "read") {
  GcFrame f("answer");
  return shown(ap_server_authentification(c.set, read_form(full(reply)), _l_string_1(std_cm, path), op, gc_no));
}

const std::string kA = "([service name=\"@a\" type=\"fix-user-passwd\" status=\"32\" user=\"u\" passwd=\"p\"])";
const std::string kAWrong = "([service name=\"@a\" type=\"fix-user-passwd\" user=\"u\" passwd=\"q\"])";
const std::string kBWrong = "([service name=\"@b\" type=\"fix-user-passwd\" user=\"x\" passwd=\"p\"])";
const std::string kUndeclared = "([service name=\"@zz\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\"])";
const std::string kAnd = "([result-list type=\"and\"] ";
const char* const kListA = "([service name=\"@a\" type=\"fix-user-passwd\"])";
const char* const kListB = "([service name=\"@b\" type=\"fix-user-passwd\"])";

}  // namespace

TEST(AuthServer, DecisionsFollowTheRulesAndTheStoredResults) {
  Site site;
  const std::string ab = std::string("([service-list type=\"and\"] ") + kListA + " " + kListB + ")";
  const std::string a_or_b = std::string("([service-list type=\"or\"] ") + kListA + " " + kListB + ")";
  const std::vector<Case> cases = {
      {"and: one answered, one missing", {
           {"/t/x.and", "read", "", ab},
           {"/t/x.and", "read", (kAnd + kA + ")"), ("DENIED ([service-list type=\"and\"] " + std::string(kListB) + ")")},
           {"/t/y.and", "read", "", ("([service-list type=\"and\"] " + std::string(kListB) + ")")}}},
      {"and: a wrong answer denies this and later checks", {
           {"/t/x.and", "read", (kAnd + kAWrong + ")"), "DENIED"},
           {"/t/y.and", "read", "", "DENIED"}}},
      {"or: first wrong, second unanswered, then wrong", {
           {"/t/x.or", "read", "", a_or_b},
           {"/t/x.or", "read", (kAnd + kAWrong + ")"), ("DENIED ([service-list type=\"or\"] " + std::string(kListB) + ")")},
           {"/t/x.or", "read", (kAnd + kBWrong + ")"), "DENIED"}}},
      {"or: one right answer grants", {{"/t/x.or", "read", (kAnd + kA + ")"), "()"}, {"/t/z.or", "read", "", "()"}}},
      {"a nested or before the and level's other services", {
           {"/t/v/x.nest", "read", "", ("([service-list type=\"and\"] " + a_or_b + " ([service name=\"@c\" type=\"fix-user-passwd\"]))")}}},
      {"open bits hide the name, or the whole service", {{"/t/x.hid", "read", "", "([service-list type=\"and\"] ([service type=\"fix-user-passwd\"]))"}}},
      {"rules by operation; names without a rule", {
           {"/t/x.w", "read", "", "()"},
           {"/t/x.w", "write", "", ("([service-list type=\"and\"] " + std::string(kListA) + ")")},
           {"/t/x.w", nullptr, "", ("([service-list type=\"and\"] " + std::string(kListA) + ")")},
           {"/t/x.none", "read", "", "()"},
           {"plain", "read", "", "()"}}},
      {"no reply, another form, a list 33 levels deep: nothing received", {
           {"/t/x.or", "read", "()", "DENIED " + a_or_b},
           {"/t/x.or", "read", kA, "DENIED " + a_or_b},
           {"/t/x.or", "read", nested(33, kA), "DENIED " + a_or_b},
           {"/t/x.or", "read", nested(32, kA), "()"}}},
  };
  for (const Case& k : cases) {
    Conn c;
    int gc_no = 0;
    for (const Step& s : k.steps) {
      std::string got;
      if (!s.reply.empty()) {
        got = answer(c, s.path, s.reply, gc_no, s.op);
      } else {
        std::tie(got, gc_no) = check(c, s.path, s.op);
      }
      EXPECT_EQ(got, s.expect) << k.name << ": " << s.path << (s.reply.empty() ? "" : " answered");
    }
  }
  Conn c;  // a result for a service no rule declared is dropped, the others kept
  const int gc_no = check(c, "/t/x.and").second;
  EXPECT_EQ(answer(c, "/t/x.and", kAnd + kUndeclared + " " + kA + ")", gc_no),
            "DENIED ([service-list type=\"and\"] " + std::string(kListB) + ")");
  ASSERT_NE(c.set->server_result, nullptr);
  EXPECT_EQ(c.set->server_result->h.next, nullptr);
}

TEST(AuthServer, ALocalRootKeyFileServesOneVerificationOfItsOwnCheck) {
  Site site;
  auto key_file = [](const std::string& list) {  // the file the service list names
    const size_t at = list.find("filename=\"");
    return at == std::string::npos ? std::string("(none)") : "/tmp/" + list.substr(at + 10, list.find('"', at + 10) - at - 10);
  };
  auto reply = [](const std::string& file, uint32_t key) {
    return kAnd + "([service name=\"@lr\" type=\"localhost-root\" filename=\"" + file.substr(5) + "\" key=\"" +
           std::to_string(key) + "\"]))";
  };
  Conn one, two, far(0x0a000001, "other");
  auto [list1, gc1] = check(one, "/d/k.lr");
  auto [list2, gc2] = check(two, "/d/k.lr");
  const std::string f1 = key_file(list1), f2 = key_file(list2);
  ASSERT_NE(f1, f2);
  EXPECT_EQ(list1, "([service-list type=\"and\"] ([service name=\"@lr\" type=\"localhost-root\" filename=\"" +
                       f1.substr(5) + "\"]))");
  EXPECT_EQ(tqtest::read_file(f1).size(), 4u);
  EXPECT_EQ(answer(one, "/d/k.lr", reply("/tmp/1", read_key(f1)), gc1), "DENIED") << "a file the server does not hold";
  EXPECT_EQ(access(f1.c_str(), F_OK), 0) << "a file named by nobody stays until its check's clean-up";
  ap_server_gc(one.set, gc1);
  EXPECT_NE(access(f1.c_str(), F_OK), 0);
  EXPECT_EQ(access(f2.c_str(), F_OK), 0) << "the other check's file stays";
  EXPECT_EQ(answer(two, "/d/k.lr", reply(f2, read_key(f2) + 1), gc2), "DENIED") << "a wrong key";
  EXPECT_NE(access(f2.c_str(), F_OK), 0) << "a named file goes at once";
  ap_server_gc(two.set, gc2);
  auto [list3, gc3] = check(far, "/d/k.lr");
  EXPECT_EQ(list3, "DENIED") << "a peer that is not local";
  ap_server_gc(far.set, gc3);
  LOCK_SCOPE(auth_lock);
  for (AUTH_SERVICE_LIST* l = auth_set_server.auth_service_list; l; l = l->next)
    if (l->service->h.tbl->type == AUTH_TYPE_LOCALHOST_ROOT) {
      EXPECT_EQ(l->service->lr.keyfile, nullptr) << "records left";
    }
}

TEST(AuthServer, DotPathsAndFailingRuleFilesDeny) {
  Site site;
  Conn c;
  testing::internal::CaptureStdout();
  for (const char* path : {"/d/../e.txt", "/../e.txt", "/./x", "/d/x/..", "/u/a.txt", "/u/v/w/b.txt"})
    EXPECT_EQ(check(c, path).first, "DENIED") << path;
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "^\n %E\n (\"tqtest\" \".tqaccess\" 1 \"target\" 0x80040501\n (\"undefined service name\" \"nosuch\"))\n");
  EXPECT_TRUE(declared("@ok"));
  EXPECT_FALSE(declared("@outside")) << "a rule file outside the tree was read";
}
