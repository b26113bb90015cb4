// The login layer called directly: tables of calls on connection sets (the server's
// decisions, the client's answers) against golden files, the local root key files of a
// check, paths with "." and "..", failing rule files, and the client result files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "auth_test_util.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/fake_hosts.h"
#include "remote/auth_client.h"
#include "remote/auth_methods.h"
#include "remote/auth_server.h"
#include "support/heap_growth.h"
#include "support/script_suite.h"
#include "support/test_util.h"
#include "text/l_string.h"

using namespace tq;
using namespace authtest;

namespace {

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
}

// A service's full name with "@" for "SERVICE://tqtest:0/", or its method without a name.
std::string named(AUTH_SERVICE* s) {
  std::string n = s->h.service_name ? n_string(std_cm, s->h.service_name) : s->h.tbl->name;
  replace_all(n, "SERVICE://tqtest:0/", "@");
  return n;
}

// Results not permitted: "name=status", levels in ().
std::string refused_text(AUTH_RESULT_LIST* l) {
  std::string out;
  for (; l; l = l->next) {
    if (!out.empty()) out += " ";
    out += l->result ? named(l->result->h.service) + "=" + std::to_string(l->result->h.status)
                     : "(" + refused_text(l->list) + ")";
  }
  return out;
}

// Runs a table of auth_data/ (its head says what the lines mean) and compares every "=>".
void run_table(const std::string& name) {
  Site site;
  AUTH_LOCALHOST_ROOT_KEYFILE* keys[2] = {create_localhost_root_keyfile(), create_localhost_root_keyfile()};
  ASSERT_TRUE(keys[0] && keys[1]);
  const std::map<std::string, std::string> subst = {
      {"{F1}", std::to_string(keys[0]->filename)}, {"{K1}", std::to_string(keys[0]->key)},
      {"{F2}", std::to_string(keys[1]->filename)}, {"{K2}", std::to_string(keys[1]->key)}};
  std::unique_ptr<Conn> c;
  std::string where, path, op, got;
  int gc_no = 0;
  std::istringstream in(tqtest::read_file(std::string(TQ_SOURCE_DIR "/tests/remote/auth_data/") + name));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.find(' ');
    const std::string cmd = line.substr(0, sp);
    std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
    for (const auto& [from, to] : subst) replace_all(arg, from, to);
    if (cmd != "=>") replace_all(arg, "@", "SERVICE://tqtest:0/");
    GcFrame f("table");
    std::istringstream words(arg);
    if (cmd == "case") {
      where = arg;
      c = std::make_unique<Conn>();
    } else if (cmd == "peer") {
      std::string ip, host;
      words >> ip >> host;
      where = line;
      c = std::make_unique<Conn>(uint32_t(std::stoul(ip, nullptr, 16)), host == "-" ? nullptr : host.c_str());
    } else if (cmd == "check") {
      words >> path >> op;
      got = shown(ap_server_check_path_phase(c->set, _l_string_1(std_cm, path.c_str()), op == "-" ? nullptr : op.c_str(), &gc_no));
    } else if (cmd == "reply") {
      got = shown(ap_server_authentification(c->set, read_form(arg), _l_string_1(std_cm, path.c_str()),
                                             op == "-" ? nullptr : op.c_str(), gc_no));
    } else if (cmd == "held") {
      int n = 0;
      for (AUTH_RESULT* r = c->set->server_result; r; r = r->h.next) ++n;
      got = std::to_string(n);
    } else if (cmd == "ask") {
      AUTH_RESULT_LIST* np = nullptr;
      got = shown(ap_client_get_key(&np, c->set, read_form(arg)));
      got += " | " + refused_text(np);
      free_auth_result_list(np);
    } else if (cmd == "preset") {
      eval(qvlisp_top_env0, read_form(arg));
    } else if (cmd == "=>") {
      EXPECT_EQ(got, arg) << where;
    } else {
      ADD_FAILURE() << "unknown line: " << line;
    }
  }
  for (AUTH_LOCALHOST_ROOT_KEYFILE* k : keys) {
    clear_keyfile(k);
    d_f_ree(k);
  }
}

std::pair<std::string, int> check(Conn& c, const L_CHAR* path, const char* op = "read") {
  GcFrame f("check");
  int gc_no = 0;
  const std::string v = shown(ap_server_check_path_phase(c.set, path, op, &gc_no));
  return {v, gc_no};
}

std::pair<std::string, int> check(Conn& c, const char* path, const char* op = "read") {
  GcFrame f("check");
  return check(c, _l_string_1(std_cm, path), op);
}

std::string answer(Conn& c, const char* path, const std::string& reply, int gc_no) {
  GcFrame f("answer");
  std::string r = reply;
  replace_all(r, "@", "SERVICE://tqtest:0/");
  return shown(ap_server_authentification(c.set, read_form(r), _l_string_1(std_cm, path), "read", gc_no));
}

bool declared(const std::string& name) {
  for (AUTH_SERVICE_LIST* l = auth_set_server.auth_service_list; l; l = l->next)
    if (l->service->h.service_name && named(l->service) == name) return true;
  return false;
}

}  // namespace

TQTEST_SCRIPT_SUITE(AuthScript, std::string(TQ_SOURCE_DIR) + "/tests/remote/scripts");
TEST(AuthTables, TheServerDecidesFromRulesAndStoredResults) { run_table("decisions.txt"); }
TEST(AuthTables, TheClientSendsOnlyWhatThePeerMayHave) { run_table("answers.txt"); }

TEST(AuthTables, ALocalRootKeyFileServesOneVerificationOfItsOwnCheck) {
  Site site;
  const tqtest::SiteBytesMark mark{"remote/auth_local_root.cpp"};
  {  // the connections hold their results to their end
    auto key_file = [](const std::string& list) {  // the file the service list names
      const size_t at = list.find("filename=\"");
      return at == std::string::npos ? std::string("(none)") : "/tmp/" + list.substr(at + 10, list.find('"', at + 10) - at - 10);
    };
    auto reply = [](const std::string& file, uint32_t key) {
      return "([result-list type=\"and\"] ([service name=\"@lr\" type=\"localhost-root\" filename=\"" + file.substr(5) + "\" key=\"" +
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
    EXPECT_EQ(answer(one, "/d/k.lr", reply(f2, read_key(f2)), gc1), "DENIED") << "another check's file, its key";
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
  }
  EXPECT_EQ(mark.grown(), "") << "every key file record freed";
  LOCK_SCOPE(auth_lock);
  for (AUTH_SERVICE_LIST* l = auth_set_server.auth_service_list; l; l = l->next)
    if (l->service->h.tbl->type == AUTH_TYPE_LOCALHOST_ROOT) {
      EXPECT_EQ(l->service->lr.keyfile, nullptr) << "records left";
    }
}

// A hostile server names files of the temporary directory that are not key files as it
// makes them (a link to one, a pipe holding four bytes, a file others may read) and a
// password service of a host of its choosing: nothing is read, nothing looked up.
TEST(AuthTables, AHostileServerHasTheClientReadOrLookUpNothing) {
  Site site;
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("k"), "abcd");
  chmod(dir.file("k").c_str(), 0600);
  const unsigned base = 4000000000u + unsigned(getpid()) % 100000u * 3u;
  const std::string n[3] = {std::to_string(base), std::to_string(base + 1), std::to_string(base + 2)};
  for (const std::string& name : n) unlink(("/tmp/" + name).c_str());  // left by a run that stopped
  ASSERT_EQ(symlink(dir.file("k").c_str(), ("/tmp/" + n[0]).c_str()), 0);
  ASSERT_EQ(mkfifo(("/tmp/" + n[1]).c_str(), 0600), 0);
  const int pipe_fd = open(("/tmp/" + n[1]).c_str(), O_RDWR | O_NONBLOCK);
  EXPECT_EQ(write(pipe_fd, "abcd", 4), 4);
  tqtest::write_file("/tmp/" + n[2], "abcd");
  chmod(("/tmp/" + n[2]).c_str(), 0644);
  std::string list = "([service-list type=\"and\"]";
  for (int i = 0; i < 3; ++i)
    list += " ([service name=\"@m" + std::to_string(i) + "\" type=\"localhost-root\" filename=\"" + n[i] + "\"])";
  replace_all(list, "@", "SERVICE://tqtest:0/");
  list += " ([service name=\"SERVICE://lookup.example:0/pw\" type=\"fix-user-passwd\"])";
  Conn c;
  GcFrame f("hostile");
  AUTH_RESULT_LIST* np = nullptr;
  const int lookups = fakehosts::install().byname_calls;
  for (int again = 0; again < 2; ++again) {  // the second time the password's result waits for an answer
    const std::string sent = shown(ap_client_get_key(&np, c.set, read_form(list + ")")));
    EXPECT_EQ(sent + " | " + refused_text(np), "() | @m0=2 @m1=2 @m2=2 SERVICE://lookup.example:0/pw=16");
    EXPECT_EQ(fakehosts::install().byname_calls, lookups);
    free_auth_result_list(np);
  }
  std::string many = "([service-list type=\"and\"]";  // more items than any rule needs
  for (int i = 0; i <= kAuthListItemsMax; ++i)
    many += " ([service name=\"x" + std::to_string(i) + "\" type=\"fix-user-passwd\"])";
  EXPECT_EQ(shown(ap_client_get_key(&np, c.set, read_form(many + ")"))), "()");
  EXPECT_EQ(np, nullptr) << "services learnt from an oversized list";
  close(pipe_fd);
  for (const std::string& name : n) unlink(("/tmp/" + name).c_str());
}

TEST(AuthTables, DotPathsAndFailingRuleFilesDeny) {
  Site site;
  Conn c;
  symlink("..", (world_dir() + "base/tqdocs/l").c_str());  // a directory linked out of the tree
  testing::internal::CaptureStdout();
  for (const char* path : {"/d/../e.txt", "/../e.txt", "/./x", "/d/x/..", "/u/a.txt", "/u/v/w/b.txt", "/l/x"})
    EXPECT_EQ(check(c, path).first, "DENIED") << path;
  {  // UTF-8 file names write a UCS-coded set's "." as "."
    CODE_METHOD* const keep = std_cm;
    std_cm = utf8_cm;
    const L_CHAR dots[] = {'/', 0xC006002E, 0xC006002E, '/', 'e', 0};
    EXPECT_EQ(check(c, dots).first, "DENIED") << "another set's dots";
    std_cm = keep;
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "^\n %E\n (\"tqtest\" \".tqaccess\" 1 \"target\" 0x80040501\n (\"undefined service name\" \"nosuch\"))\n");
  EXPECT_TRUE(declared("@ok"));
  EXPECT_FALSE(declared("@outside")) << "a rule file outside the tree was read";
}

TEST(AuthTables, ResultFilesAreReadOnceWithoutShowingPasswords) {
  Site site;
  EXPECT_EQ(client_files_out(),
            "^\n %E\n (\"tqtest\" \"_get_client_result\" 1 \"eval\" 0x80030502\n (\"invalid parameters length\" "
            "\"minimum\" 1 \"maximum\" 1 ([service name=\"cc\" type=\"fix-user-passwd\" result=\"1\" passwd=\"\"] 1)))\n");
  EXPECT_EQ(client_files_err(), "authentification: client result file " + world_dir() +
                                    "home/.ptqconf/authentification/clientresult/c is readable by group or others\n");
  std::string presets;  // "b" of the preference directory, then "q" of the peripheral one; never ".a"
  for (AUTH_RESULT* r = auth_set_client.preset_result_list; r; r = r->h.next)
    presets += named(r->h.service) + " ";
  EXPECT_EQ(presets.substr(0, 33), "@pw @wp SERVICE://elsewhere:0/pw ") << "later presets are the tests' own";
}
