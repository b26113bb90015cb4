// What the word scripts cannot reach: the loops' sub-environment, the seconds "Sleep"
// waits (its one-second step and the break check replaced), the exit of "ErrHandler" with
// stderr, and recursion to the nesting limit (a script run once without the collection at
// every primitive, which would take minutes at that depth).
#include <gtest/gtest.h>

#include <string>

#include "entry/start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "support/script_suite.h"
#include "support/test_util.h"
#include "text/l_string.h"
#include "words_test_util.h"
#include "words/control.h"
#include "words/evaluation.h"

namespace {

using namespace tq;
using tqtest::eval_text;

class WordsI : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    minimum_matrix_init(0, nullptr);
    gc_push(nullptr, nullptr, "words_i tests");
  }
};

TQ_SEXP* bound_in(TQISP_ENV* env, const char* name) {
  ELEMENT* e = search_env(env, _l_string_1(std_cm, name));
  return e ? e->data : nullptr;
}

TEST_F(WordsI, BreakAndContinueLiveOnlyInTheLoopsSubEnvironment) {
  ASSERT_NE(loop_env, nullptr);
  EXPECT_EQ(loop_env->type, kEnvHash);
  EXPECT_EQ(loop_env->env.parent, nullptr);
  for (const char* loop : {"While", "For"}) EXPECT_EQ(bound_in(qvlisp_top_env0, loop)->func.args_env, loop_env) << loop;
  struct {
    const char* name;
    int min, max;
  } const exits[] = {{"Break", 1, 2}, {"Continue", 1, 1}};
  for (const auto& x : exits) {
    SCOPED_TRACE(x.name);
    TQ_SEXP* f = bound_in(loop_env, x.name);
    ASSERT_EQ(get_type(f), kTagFunc);
    EXPECT_EQ(f->func.type, kFuncPrim);
    EXPECT_EQ(f->func.order, 1);
    EXPECT_EQ(f->func.min, x.min);
    EXPECT_EQ(f->func.max, x.max);
    EXPECT_EQ(bound_in(qvlisp_top_env0, x.name), nullptr);
    EXPECT_EQ(bound_in(qvlisp_top_env1, x.name), nullptr);
  }
}

int slept;
constexpr int kInterruptAfter = 200;

TEST_F(WordsI, SleepWaitsWholeSecondsNeverWrapsAndStopsAtABreak) {
  auto* saved_second = sleep_word_second;
  auto* saved_hook = break_check;
  auto* saved_clock = break_check_clock;
  sleep_word_second = [] { ++slept; };
  // The hook is asked before every second; it interrupts once kInterruptAfter have passed.
  break_check = [](TQ_SEXP* form) {
    return slept >= kInterruptAfter ? lang_error(form, ER_BREAK, "break", nullptr) : nullptr;
  };
  break_check_clock = [] {
    static uint32_t t;
    return ++t;
  };
  struct {
    const char* form;
    int seconds;
    const char* value;
  } const cases[] = {
      {"(Sleep 3)", 3, "3"},
      {"(Sleep 1.9)", 1, "1.900000 "},
      {"(Sleep 2min)", 120, "2min"},
      {"(Sleep 0)", 0, "0"},
      {"(Sleep -4294967295)", 0, "-4294967295"},  // its low 32 bits are 1
      // Beyond 32 bits the count saturates (the low bits of the first are 0).
      {"(Sleep 4294967296)", kInterruptAfter, "error 2147554308"},
      {"(Sleep (* 1.5 4294967296))", kInterruptAfter, "error 2147554308"},
      {"(Sleep (* -1.5 4294967296))", 0, "-6442450944.000000 "},
  };
  for (const auto& c : cases) {
    slept = 0;
    EXPECT_EQ(eval_text(c.form), c.value) << c.form;
    EXPECT_EQ(slept, c.seconds) << c.form;
  }
  sleep_word_second = saved_second;
  break_check = saved_hook;
  break_check_clock = saved_clock;
}

TEST(WordsIProcess, ErrHandlerWithStderrWritesItsTextThenEndsTheProcess) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("s.tq"), "(+ 1 1)\n([ErrHandler stderr=\"\"] (car ()))\n(+ 2 2)\n");
  auto r = tqtest::run_program({tqtest::bin_path("tq_eval"), dir.file("s.tq")}, dir.path());
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "2\n");
  EXPECT_EQ(r.err, "ERROR\n");
}

TEST(WordsIProcess, RecursionStopsAtTheNestingLimit) {
  tqtest::run_script_and_compare(std::string(TQ_SOURCE_DIR) + "/tests/words/deep", "nesting", false);
}

}  // namespace
