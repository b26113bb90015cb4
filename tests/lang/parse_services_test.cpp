// The services around the reader: the site it stamps on what it reads, rc files read for the
// script search, and the survey of the character sets a value uses.
#include <gtest/gtest.h>

#include <string>

#include "lang/site.h"
#include "platform/d_alloc.h"
#include "reader_test_util.h"
#include "stream/script_search.h"
#include "support/test_util.h"

namespace {

using namespace tq;
using tqtest::lc;
using tqtest::text;

TEST(Site, LocalHostFirstThenSetByName) {
  L_CHAR* site = get_tqlisp_site();
  EXPECT_EQ(get_tqlisp_site(), site);
  EXPECT_EQ(text(site), "tq-test-host");
  HOST_ADDR ip;
  EXPECT_EQ(ha_ipv4(*get_tqlisp_site_ip(&ip)), 0x0a000001u);
  EXPECT_EQ(set_tqlisp_site(lc("no-such-host.invalid")), -1);
  EXPECT_EQ(get_tqlisp_site(), site);
  EXPECT_EQ(set_tqlisp_site(lc("tq-other")), 0);
  EXPECT_EQ(text(get_tqlisp_site()), "tq-other");
  EXPECT_EQ(ha_ipv4(*get_tqlisp_site_ip(&ip)), 0x0a000002u);
  EXPECT_EQ(text(site), "tq-test-host");  // a name given out stays readable
  {
    GcFrame frame("t");
    TQ_SEXP* e = car(tqtest::read_text("&bad;"));
    EXPECT_EQ(text(e->error.site), "tq-other");  // readers stamp the site of their opening
  }
  EXPECT_EQ(set_tqlisp_site(lc("tq-test-host")), 0);
}

TEST(Tqrc, SearchPathsComeFromTheReaderTheLastFormFirst) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file(".tqrc"),
                     "<!-- settings -->\n(TQPATH \"/a:/b\")\n(OTHER \"/x\")\n(TQPATH \"" + dir.path() +
                         "\")\n(TQPATH 12) (TQPATH\n");
  tqtest::write_file(dir.file("lib.tq"), "x");
  L_CHAR** list = get_tqrc(lc(dir.path().c_str()), lc(".tqrc"), "TQPATH");
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list[0], nullptr);
  EXPECT_EQ(text(list[0]), dir.path());
  ASSERT_NE(list[1], nullptr);
  EXPECT_EQ(text(list[1]), "/a:/b");
  EXPECT_EQ(list[2], nullptr);
  free_tqrc(list);
  L_CHAR* hit = in_tqrc(lc(dir.path().c_str()), lc(".tqrc"), lc("lib.tq"));
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(text(hit), dir.path() + "/");
  d_f_ree(hit);
}

TEST(Survey, CountsCharacterClassesAboveLatin1) {
  GcFrame frame("t");
  const L_CHAR jis = LC_JISX0208 | 0x2422;
  const L_CHAR name[] = {'a', 0x3042, jis, 0}, value[] = {jis, jis, 0};
  TQ_SEXP* sym = get_symbol(name);
  set_attribute(sym, lc("k"), value);
  TQ_SEXP* v = list(sym, get_string(name), tqtest::num(3), nullptr);
  CS_WORK w{nullptr, -1};
  EXPECT_EQ(cs_sexp(&w, v), 0);
  ASSERT_NE(search_cs(&w, LC_JISX0208), nullptr);
  EXPECT_EQ(search_cs(&w, LC_JISX0208)->count, 4);
  ASSERT_NE(search_cs(&w, 0), nullptr);  // UCS above 255
  EXPECT_EQ(search_cs(&w, 0)->count, 2);
  free_cs_work(&w);
  CS_WORK one{nullptr, 1};  // one string only: the survey stops at the second
  EXPECT_EQ(cs_sexp(&one, v), -1);
  free_cs_work(&one);
}

TEST(Survey, OnMemoryLeavesDelayedCellsAlone) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("(\"&#x3042;\") (\"&#x3044;\")");
  get_type(car(root));
  CS_WORK w{nullptr, -1};
  EXPECT_EQ(cs_sexp_on_mem(&w, root), 0);
  ASSERT_NE(search_cs(&w, 0), nullptr);
  EXPECT_EQ(search_cs(&w, 0)->count, 1);  // the second form is not read
  EXPECT_EQ(check_delay(root->pair.cdr, 0), 4);
  free_cs_work(&w);
  TQ_SEXP* deep = nullptr;
  for (int i = 0; i <= kNestLimit; ++i) deep = cons(deep, nullptr);
  EXPECT_EQ(cs_sexp(&w, deep), -1);
  EXPECT_EQ(nest_depth(), 0);
}

}  // namespace
