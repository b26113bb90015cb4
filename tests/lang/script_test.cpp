// Language scripts as a user runs them: every tests/lang/scripts/NAME.tq is run by the
// script helper, and its output (one printed value per top-level form) must equal
// NAME.out exactly; then once more with a collection after every form and at every
// primitive return, which must not change a byte.
#include <gtest/gtest.h>
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

std::string scripts_dir() { return std::string(TQ_SOURCE_DIR) + "/tests/lang/scripts"; }

std::vector<std::string> script_names() {
  std::vector<std::string> names;
  if (DIR* d = opendir(scripts_dir().c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 3 && n.ends_with(".tq")) names.push_back(n.substr(0, n.size() - 3));
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Script : public ::testing::TestWithParam<std::string> {
 protected:
  void run_and_compare(bool stress) {
    std::string base = scripts_dir() + "/" + GetParam();
    if (stress) setenv("TQ_GC_STRESS", "1", 1);
    tqtest::TempDir dir;  // scripts that write files write them here
    auto r = tqtest::run_program({tqtest::bin_path("tq_eval"), base + ".tq"}, dir.path());
    unsetenv("TQ_GC_STRESS");
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tqtest::read_file(base + ".out")) << (stress ? "with a collection at every primitive" : "");
  }
};

TEST_P(Script, PrintsTheExpectedValues) { run_and_compare(false); }
TEST_P(Script, CollectionsChangeNothing) { run_and_compare(true); }

INSTANTIATE_TEST_SUITE_P(Lang, Script, ::testing::ValuesIn(script_names()),
                         [](const auto& info) { return info.param; });

}  // namespace

namespace {

// A form nested a million deep and a recursion a million deep stop at the nesting limit
// with an error value; the process goes on to the next form. Quoting a list nested a million
// deep stops there too.
TEST(ScriptDepth, DeepFormsAndRecursionGiveTheNestingError) {
  tqtest::TempDir dir;
  const int n = 1000000;
  std::string src;
  for (int i = 0; i < n; ++i) src += "(list ";
  src += "1";
  src += std::string(size_t(n), ')');
  src += "\n(define (down k) (if (= k 0) 0 (+ 1 (down (- k 1)))))\n(down 1000000)\n(down 10)\n(quote ";
  for (int i = 0; i < n; ++i) src += "(a ";
  src += std::string(size_t(n), ')') + ")\n";
  tqtest::write_file(dir.file("deep.tq"), src);
  auto r = tqtest::run_program({tqtest::bin_path("tq_eval"), dir.file("deep.tq")}, dir.path(),
                               std::chrono::minutes(5));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "^\n %E\n (\"SITE\" \"deep.tq\" 1 \"eval\" 0x8003020a\n (\"nesting too deep\"))\n"
            "^down\n"
            "^\n %E\n (\"SITE\" \"deep.tq\" 2 \"eval\" 0x8003020a\n (\"nesting too deep\"))\n"
            "10\n"
            "^\n %E\n (\"SITE\" \"deep.tq\" 5 \"quote\" 0x8003020a\n (\"nesting too deep\"))\n");
}

}  // namespace
