// Language scripts as a user runs them: every tests/lang/scripts/NAME.tq is run by the
// script helper, and its output (one printed value per top-level form) must equal
// NAME.out exactly; then once more with a collection after every form and at every
// primitive return, which must not change a byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/script_suite.h"
#include "support/test_util.h"

TQTEST_SCRIPT_SUITE(Script, std::string(TQ_SOURCE_DIR) + "/tests/lang/scripts");

namespace {

// A recursion a million deep and a form nested a million deep stop at the nesting limit
// with an error value; the process goes on to the next form. Quoting a list nested a million
// deep stops there too. With a collection at every primitive return (TQ_GC_STRESS) the
// recursion runs before the deep forms are read (the reader's list holds every form read,
// and each of the recursion's thousands of collections would mark them again), and the forms
// are a hundred thousand deep: still twenty times the limit, and deeper than any walk that
// recursed once per level could go on a task's stack.
TEST(ScriptDepth, DeepFormsAndRecursionGiveTheNestingError) {
  tqtest::TempDir dir;
  const int n = std::getenv("TQ_GC_STRESS") ? 100000 : 1000000;
  std::string src = "(define (down k) (if (= k 0) 0 (+ 1 (down (- k 1)))))\n(down 1000000)\n(down 10)\n";
  for (int i = 0; i < n; ++i) src += "(list ";
  src += "1";
  src += std::string(size_t(n), ')');
  src += "\n(quote ";
  for (int i = 0; i < n; ++i) src += "(a ";
  src += std::string(size_t(n), ')') + ")\n";
  tqtest::write_file(dir.file("deep.tq"), src);
  auto r = tqtest::run_program({tqtest::bin_path("tq_eval"), dir.file("deep.tq")}, dir.path(),
                               std::chrono::minutes(5));
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "^down\n"
            "^\n %E\n (\"SITE\" \"deep.tq\" 1 \"eval\" 0x8003020a\n (\"nesting too deep\"))\n"
            "10\n"
            "^\n %E\n (\"SITE\" \"deep.tq\" 4 \"eval\" 0x8003020a\n (\"nesting too deep\"))\n"
            "^\n %E\n (\"SITE\" \"deep.tq\" 5 \"quote\" 0x8003020a\n (\"nesting too deep\"))\n");
}

}  // namespace
