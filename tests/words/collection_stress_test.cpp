// Words that build lists while a collection marks on another task: the links of what they
// make are written inside a memory section, so the thread sanitizer (whose stage runs these)
// sees no write of theirs beside the marker's read. Lists of 2,000 elements: with a few
// hundred the two did not meet.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "entry/start.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "support/task_runner.h"
#include "words_test_util.h"

namespace {

using namespace tq;

struct Case {
  const char* word;
  std::string form;  // evaluated with l bound to (0 1 ... 1999)
  const char* value;
};

std::string numbers() {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += std::to_string(i) + " ";
  return text;
}

class BesideACollection : public testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    minimum_matrix_init(0, nullptr);
    setup_self_interpreter();  // the break check passes a thread of an open interpreter only
    tqtest::eval_text("(define l ()) (define i 2000) (while (Lt 0 i) (set i (- i 1)) (set l (cons i l)))");
  }
};

TEST_P(BesideACollection, TheListComesOutWhole) {
  if (getenv("TQ_GC_STRESS")) GTEST_SKIP() << "the case runs its own collections";
  const Case& c = GetParam();
  std::atomic<bool> stop{false};
  std::atomic<int> collections{0};
  tqtest::Task collector([&stop, &collections] {
    for (; !stop.load(); ++collections) gc_enable();
  });
  std::string wrong;
  int runs = 0;
  for (; runs < 10 || (collections.load() < 50 && runs < 1000); ++runs)
    if (std::string v = tqtest::eval_text(c.form); v != c.value) wrong += v + " ";
  stop.store(true);
  ASSERT_TRUE(collector.wait()) << "the collector did not stop";
  EXPECT_GE(collections.load(), 50) << "the collector did not run within " << runs << " runs";
  EXPECT_EQ(wrong, "");
}

// Sort both ways: a primitive applied to its reused form directly, a lambda through eval.
INSTANTIATE_TEST_SUITE_P(
    Words, BesideACollection,
    testing::Values(Case{"quote", "(ListLength (quote (" + numbers() + ")))", "2000"},
                    Case{"Sort", "(list (car (Sort l -)) (car (Sort l (lambda (a b) (- b a)))))", "(0 1999)"},
                    Case{"Categorize", "(ListLength (Categorize l (lambda (a b) (- (- b a) 1))))", "2000"}),
    [](const auto& info) { return std::string(info.param.word); });

}  // namespace
