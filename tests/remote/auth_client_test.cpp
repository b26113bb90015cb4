// The client's answers, called directly: which results go for a service list on which
// connection, the client result files, and a learnt local root service across checks.
#include "auth_test_util.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "remote/auth_client.h"
#include "remote/auth_methods.h"
#include "support/test_util.h"
#include "text/l_string.h"

using namespace tq;
using namespace authtest;

namespace {

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
}

// A service's full name with "@" for "SERVICE://tqtest:0/".
std::string named(AUTH_SERVICE* s) {
  std::string n = s->h.service_name ? n_string(std_cm, s->h.service_name) : s->h.tbl->name;
  replace_all(n, "SERVICE://tqtest:0/", "@");
  return n;
}

// The results not permitted: "name=status" ("type=status" without name), levels in ().
std::string refused_text(AUTH_RESULT_LIST* l) {
  std::string out;
  for (; l; l = l->next) {
    if (!out.empty()) out += " ";
    if (!l->result) {
      out += "(" + refused_text(l->list) + ")";
      continue;
    }
    out += named(l->result->h.service) + "=" + std::to_string(l->result->h.status);
  }
  return out;
}

// Answers the list on conn: the result-list form shown, then " | " and what was refused.
std::string answer_list(Conn& c, const std::string& asked) {
  GcFrame f("exchange");
  AUTH_RESULT_LIST* np = nullptr;
  std::string r = shown(ap_client_get_key(&np, c.set, read_form(asked)));
  r += " | " + refused_text(np);
  free_auth_result_list(np);
  return r;
}

std::string in_levels(int depth, const std::string& inner) {
  std::string s = inner;
  for (int i = 0; i < depth; ++i) s = "([service-list type=\"and\"] " + s + ")";
  return s;
}

AUTH_LOCALHOST_ROOT_KEYFILE* key_file() {
  AUTH_LOCALHOST_ROOT_KEYFILE* k = create_localhost_root_keyfile();
  EXPECT_NE(k, nullptr);
  return k;
}

const char* const kC1 = "([service name=\"SERVICE://tqtest:0/c1\" type=\"fix-user-passwd\"])";
const char* const kC1Sent = "([result-list type=\"and\"] ([service name=\"@c1\" type=\"fix-user-passwd\" status=\"32\" user=\"u\" passwd=\"p\"])) | ";

}  // namespace

TEST(AuthClient, ResultsGoOnlyWhereTheyArePermitted) {
  Site site;
  {
    GcFrame f("presets");
    eval(qvlisp_top_env0, read_form("(authentification ([service name=\"SERVICE://tqtest:0/c1\" type=\"fix-user-passwd\" "
                                    "result=\"1\" user=\"u\" passwd=\"p\"]))"));
  }
  AUTH_LOCALHOST_ROOT_KEYFILE *k1 = key_file(), *k2 = key_file();
  struct Row {
    uint32_t ip;
    const char* host;
    std::string asked, expect;
  };
  const std::string c2 = "([service name=\"SERVICE://tqtest:0/c2\" type=\"fix-user-passwd\"])";
  const std::string l12 = "([service name=\"SERVICE://tqtest:0/l1\" type=\"localhost-root\" filename=\"{F1}\"]) "
                          "([service name=\"SERVICE://tqtest:0/l2\" type=\"localhost-root\" filename=\"{F2}\"])";
  const std::vector<Row> rows = {
      {0x7f000001, "tqtest", std::string("([service-list type=\"or\"] ") + kC1 + " " + c2 + ")",
       "([result-list type=\"or\"] ([service name=\"@c1\" type=\"fix-user-passwd\" status=\"32\" user=\"u\" passwd=\"p\"])) | "},
      {0x7f000001, "TQTEST", in_levels(1, kC1), kC1Sent},
      {0x7f000001, nullptr, in_levels(1, kC1), kC1Sent},
      {0x0a000001, "other", in_levels(1, kC1), "() | @c1=32"},
      {0x7f000001, "tqtest", std::string("([service-list type=\"and\"] ") + kC1 + " ([service name=\"SERVICE://tqtest:0/c3\" "
                             "type=\"fix-user-passwd\"]))", std::string(kC1Sent) + "@c3=16"},
      {0x7f000001, "tqtest", std::string("([service-list type=\"none\"] ") + kC1 + ")", "() | "},
      {0x7f000001, "tqtest", std::string("([service-list] ") + kC1 + ")", "() | "},
      {0x7f000001, "tqtest", in_levels(33, kC1), "() | "},
      {0x7f000001, "tqtest", in_levels(32, kC1), kC1Sent + std::string(31, '(') + std::string(31, ')')},
      {0x7f000001, "tqtest", "([service-list type=\"or\"] " + l12 + ")",
       "([result-list type=\"or\"] ([service name=\"@l1\" type=\"localhost-root\" status=\"32\" filename=\"{F1}\" key=\"{K1}\"]) "
       "([service name=\"@l2\" type=\"localhost-root\" status=\"32\" filename=\"{F2}\" key=\"{K2}\"])) | "},
      {0x0a000001, "tqtest", "([service-list type=\"and\"] ([service name=\"SERVICE://tqtest:0/l3\" type=\"localhost-root\" "
                             "filename=\"{F1}\"]))", "() | @l3=16"},
  };
  for (const Row& row : rows) {
    Conn c(row.ip, row.host);
    std::string asked = row.asked, expect = row.expect;
    for (std::string* s : {&asked, &expect}) {
      replace_all(*s, "{F1}", std::to_string(k1->filename));
      replace_all(*s, "{F2}", std::to_string(k2->filename));
      replace_all(*s, "{K1}", std::to_string(k1->key));
      replace_all(*s, "{K2}", std::to_string(k2->key));
    }
    EXPECT_EQ(answer_list(c, asked), expect) << asked << " to " << (row.host ? row.host : "(no host)");
  }
  for (AUTH_LOCALHOST_ROOT_KEYFILE* k : {k1, k2}) {
    clear_keyfile(k);
    d_f_ree(k);
  }
}

TEST(AuthClient, AServiceLearntByTypeAloneTakesEachNewKeyFile) {
  Site site;
  Conn c;
  const std::string asked = "([service-list type=\"and\"] ([service type=\"localhost-root\" filename=\"{F}\"]))";
  int learnt = -1;
  for (int round = 0; round < 2; ++round) {
    AUTH_LOCALHOST_ROOT_KEYFILE* k = key_file();
    std::string a = asked;
    replace_all(a, "{F}", std::to_string(k->filename));
    EXPECT_EQ(answer_list(c, a), "([result-list type=\"and\"] ([service type=\"localhost-root\" status=\"32\" filename=\"" +
                                  std::to_string(k->filename) + "\" key=\"" + std::to_string(k->key) + "\"])) | ");
    clear_keyfile(k);  // the next round's file is another
    d_f_ree(k);
    int n = 0;
    for (AUTH_SERVICE_LIST* l = auth_set_client.auth_service_list; l; l = l->next) ++n;
    if (round == 1) {
      EXPECT_EQ(n, learnt) << "the unnamed service was learnt again";
    }
    learnt = n;
  }
}

TEST(AuthClient, ResultFilesAreReadOnceWithoutShowingPasswords) {
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
