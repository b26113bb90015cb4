// Thread words and interpreter records seen from inside the process: the priority a body
// runs at, what ten thousand finished threads leave behind, and what failed option forms of
// OpenInterpreter leave behind.
#include <gtest/gtest.h>

#include <string>

#include "entry/start.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "stream/string_stream.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/l_string.h"

namespace {

using namespace tq;

TQ_SEXP* task_pri(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) { return get_integer(get_pri(0), nullptr); }

class WordsIv : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    minimum_matrix_init(0, nullptr);
    static const bool once = [] {
      setup_self_interpreter();  // the words run in an interpreter, as every word does
      set_env(qvlisp_top_env1, _l_string_1(std_cm, "task-pri"), get_func_prim(task_pri, 1, nullptr, 1, 1));
      return true;
    }();
    (void)once;
  }
};

// The printed value of the last form of text, its forms evaluated `times` times over in the
// inner top environment (read once: reading leaves records until a collection).
std::string eval_text(const std::string& text, int times = 1) {
  GcFrame frame("words_iv");
  STREAM* in = s_open_string_read(text.data(), utf8_cm, int(text.size()), 1);
  TQ_SEXP* forms = init_parse(in, _l_string_1(utf8_cm, "test"), nullptr);
  TQ_SEXP* v = nullptr;
  for (int i = 0; i < times; ++i)
    for (TQ_SEXP* p = forms; get_type(p) == kTagPair; p = p->pair.cdr) v = eval(qvlisp_top_env1, p->pair.car);
  STREAM* out = s_open_string_write(utf8_cm);
  print_sexp(out, v, 0);
  std::string r = s_get_string(out) ? s_get_string(out) : "";
  d_s_close(out);
  return r;
}

// What a finished piece of work may not leave behind.
struct Leftovers {
  int interpreters = 0, bound_threads = 0, fds = 0;
  int64_t heap = 0;
  static Leftovers now() {
    Leftovers c;
    TqiLock l;
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next) ++c.interpreters;
    for (TQ_THREAD* b : thread_hash)
      for (TQ_THREAD* t = b; t; t = t->next) ++c.bound_threads;
    c.fds = tqtest::open_fd_count();
    c.heap = get_d_used_memory();
    return c;
  }
  // Whether the counts came back and the debug heap grew by less than slack bytes (the
  // runtime's own threads may have closed their interpreters meanwhile).
  bool back_to(const Leftovers& before, int64_t slack) const {
    return interpreters <= before.interpreters && bound_threads <= before.bound_threads && fds <= before.fds &&
           heap - before.heap < slack;
  }
};

TEST_F(WordsIv, ABodyRunsAtItsPriAttributeOrThree) {
  const struct {
    const char* form;
    const char* pri;
  } rows[] = {{"(Thread (task-pri))", "3"}, {"([Thread pri=\"5\"] (task-pri))", "5"}, {"([Thread pri=\"x\"] (task-pri))", "0"}};
  for (const auto& r : rows) EXPECT_EQ(eval_text(r.form), r.pri) << r.form;
}

// Each thread has an interpreter of its own while it runs and none once it has ended. The
// tick is held: its check of self-kind interpreters may not do the threads' closing.
TEST_F(WordsIv, TenThousandFinishedThreadsLeaveNothingBehind) {
  tqtest::TickClock clock;
  const std::string loop = "(define n 0) (while (Lt n 10000) (set n (+ n 1)) (Thread (GetIid))) (Thread n)";
  EXPECT_EQ(eval_text(loop), "10000");  // the pool's threads and the lock records exist now
  const Leftovers before = Leftovers::now();
  EXPECT_EQ(eval_text(loop), "10000");
  Leftovers after;  // a record of any kind left per thread would take more than 8 bytes each
  EXPECT_TRUE(tqtest::wait_until([&] { return (after = Leftovers::now()).back_to(before, 8 * 10000); }))
      << "interpreters " << after.interpreters << " for " << before.interpreters << ", bound threads "
      << after.bound_threads << " for " << before.bound_threads << ", descriptors " << after.fds << " for "
      << before.fds << ", debug heap grew by " << after.heap - before.heap;
}

// A form that fails before set-up releases the record with its texts and permission lists.
TEST_F(WordsIv, AFailedOptionFormReleasesTheHalfMadeRecord) {
  const std::string form =
      "(OpenInterpreter \"accept\" () (HostName \"a-host-name\") (InputFileName \"in\")"
      " (Permission (list \"x\" \"y\") (Allow \"domain\" \"example\") (Deny \"all\")) (car ()))";
  eval_text(form, 100);
  const Leftovers before = Leftovers::now();
  EXPECT_NE(eval_text(form, 1000).find("0x80030806"), std::string::npos) << "the last option form fails";
  const Leftovers after = Leftovers::now();
  EXPECT_TRUE(after.back_to(before, 8 * 1000)) << "debug heap grew by " << after.heap - before.heap;
}

}  // namespace
