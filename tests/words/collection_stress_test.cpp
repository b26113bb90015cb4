// Words that build lists while another task collects again and again: what they write into
// cells the collector may be marking is written inside a memory section, so the thread
// sanitizer's stage sees no race; a word that keeps a name's value another thread sets anew
// (RegSwitch's mode) roots it, so no sweep frees it under the word. Lists of 2,000 elements:
// with a few hundred, none showed.
// The collecting task waits for the words to take 64 KiB between its collections: one after
// another without a pause, they starved the words (a run of Sort took minutes under the
// thread sanitizer). A thousand paced collections showed each word's race, planted back,
// in every try.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "entry/start.h"
#include "interp/log_cond.h"
#include "interp/log_queue.h"
#include "interp/log_record.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "support/task_runner.h"
#include "words_test_util.h"

namespace {

struct Case {
  const char* word;
  std::string form;  // with l bound to (0 1 ... 1999)
  const char* value;
  void (*before)() = nullptr;  // readies each run
};

// The name ctest lists a case by: without it, the case's bytes, pointers and all.
void PrintTo(const Case& c, std::ostream* os) { *os << c.word; }

class BesideACollection : public testing::TestWithParam<Case> {};

TEST_P(BesideACollection, TheListComesOutWhole) {
  if (getenv("TQ_GC_STRESS")) GTEST_SKIP() << "the case runs its own collections";
  tq::minimum_matrix_init(0, nullptr);
  tq::setup_self_interpreter();  // the break check passes only a thread of an open interpreter
  tqtest::eval_text("(define l ()) (define i 2000) (while (Lt 0 i) (set i (- i 1)) (set l (cons i l)))");
  std::atomic<bool> stop{false};
  std::atomic<bool> wanted{false};  // a run has ended: collect without waiting for more bytes
  std::atomic<int> collections{0};
  tqtest::Task collector([&stop, &wanted, &collections] {
    for (; !stop.load(); ++collections) {
      tq::gc_enable();
      while (!stop.load() && !wanted.exchange(false) && tq::gc_bytes_taken() < 65536) std::this_thread::yield();
    }
  });
  std::string wrong;
  while (collections.load() < 1000) {
    if (GetParam().before) GetParam().before();
    if (std::string v = tqtest::eval_text(GetParam().form); v != GetParam().value) wrong += v + " ";
    // At least one collection a run, however the tasks are scheduled: a thousand runs at most.
    const int done = collections.load();
    wanted.store(true);
    while (collections.load() == done) std::this_thread::yield();
  }
  stop.store(true);
  ASSERT_TRUE(collector.wait()) << "the collector did not stop";
  EXPECT_EQ(wrong, "");
}

// Records parked for any caller, for GetLog to hand out: 200, since each makes a form of a
// dozen cells (with 2000 the row took three to four times as long and showed the race no
// better).
void park_records() {
  tq::LOG_ACTION any{};  // address and mask 0: every caller's
  any.type = tq::LA_WAIT;
  for (int i = 0; i < 200; ++i) {
    tq::LOG_NODE* n = tq::new_log_node();
    n->wait_action = tq::copy_wait_action(&any);
    tq::log_insert_queue(&tq::log_wait_queue, n);
  }
}

// RegSwitch scans 2000 places while a thread sets RegMode anew again and again: each place's
// mode text is read after the lookup that found it. The thread hands out its first batch once
// it runs (binding its value waits for that) and ends when the scan has.
std::string switch_beside_a_setter() {
  return "(let ((RegMode \"m\") (go 1))"
         " (define th (Thread (DelayAppend (list 1)) (while go (set RegMode (+ \"m\" \"\"))) 0))"
         " (let ((n (StringLength (RegSwitch \"" + std::string(2000, 'x') + "\" ([Y rex=\"y\" mode=\"m\"] \"Y\")))))"
         " (set go 0) (list n (ListLength th))))";
}

std::string quoted_numbers() {
  std::string form = "(ListLength (quote (";
  for (int i = 0; i < 2000; ++i) form += std::to_string(i) + " ";
  return form + ")))";
}

// Sort both ways: a primitive applied to its reused form directly, a lambda through eval.
INSTANTIATE_TEST_SUITE_P(
    Words, BesideACollection,
    testing::Values(Case{"quote", quoted_numbers(), "2000"},
                    Case{"Sort", "(list (car (Sort l -)) (car (Sort l (lambda (a b) (- b a)))))", "(0 1999)"},
                    Case{"Categorize", "(ListLength (Categorize l (lambda (a b) (- (- b a) 1))))", "2000"},
                    Case{"GetLog", "(ListLength (GetLog))", "200", park_records},
                    Case{"RegSwitch", switch_beside_a_setter(), "(2000 1)"}),
    [](const auto& info) { return std::string(info.param.word); });

}  // namespace
