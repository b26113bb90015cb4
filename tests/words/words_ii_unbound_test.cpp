// What no word script reaches: "AtachAttribute", whose registrar start-up never calls (so
// the word is bound here in a child environment of the test's own), and GetTQTime under a
// clock the test sets.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "entry/start.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "platform/tick.h"
#include "stream/string_stream.h"
#include "support/task_runner.h"
#include "text/l_string.h"
#include "words/registrars.h"

namespace {

using namespace tq;

class WordsUnbound : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    minimum_matrix_init(0, nullptr);
    gc_push(nullptr, nullptr, "tests");
  }
};

std::string printed(TQ_SEXP* v) {
  STREAM* o = s_open_string_write(utf8_cm);
  print_sexp(o, v, 0);
  std::string r = s_get_string(o);
  d_s_close(o);
  return r;
}

// The value of every form of text evaluated in env, one line each; an error as its code,
// its word and its data (its site and position vary with the machine). The forms run on a
// task in an interpreter of its own (words run in one), within 60 s.
std::string eval_text(TQISP_ENV* env, const std::string& text) {
  auto out = std::make_shared<std::string>("(no value within 60 s)");
  tqtest::Task task([env, text, out] {
    setup_self_interpreter();
    {
      GcFrame frame("eval_text");
      STREAM* in = s_open_string_read(text.data(), utf8_cm, int(text.size()), 1);
      std::string r;
      for (TQ_SEXP* p = init_parse(in, _l_string_1(utf8_cm, "t"), nullptr); get_type(p) == kTagPair;
           p = p->pair.cdr) {
        TQ_SEXP* v = eval(env, p->pair.car);
        if (get_type(v) == kTagError) {
          char code[16];
          snprintf(code, sizeof code, "%08x", v->error.code);
          r += std::string("E ") + code + " " + n_string(utf8_cm, v->error.func) + " " + printed(v->error.data) + "\n";
        } else {
          r += printed(v) + "\n";
        }
      }
      *out = r;
    }
    close_self_interpreter();
  });
  EXPECT_TRUE(task.wait(std::chrono::seconds(60))) << text;
  return *out;
}

TEST_F(WordsUnbound, AtachAttributeSetsOrRemovesOneAttributeWhenBound) {
  const L_CHAR* name = _l_string_1(utf8_cm, "AtachAttribute");
  EXPECT_EQ(search_env(qvlisp_top_env0, name), nullptr);
  EXPECT_EQ(search_env(qvlisp_top_env1, name), nullptr);
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  init_AtachAttribute(env);
  const std::string forms =
      "(AtachAttribute '[s f=\"1\" g=\"2\"] \"f\" \"9\")\n"
      "(AtachAttribute '[s f=\"1\" g=\"2\"] \"g\" ())\n"
      "(AtachAttribute '[s f=\"1\"] \"h\" \"3\")\n"
      "(AtachAttribute '([s f=\"1\"] x) \"f\" ())\n"
      "(AtachAttribute 's \"h\" ())\n"
      "(AtachAttribute '(5 x) \"f\" \"1\")\n"
      "(AtachAttribute 5 \"f\" \"1\")\n"
      "(AtachAttribute 's 'f \"1\")\n"
      "(AtachAttribute 's \"f\" 5)\n"
      "(AtachAttribute 's \"f\")\n";
  EXPECT_EQ(eval_text(env, forms),
            "^[s f=\"9\" g=\"2\"]\n"
            "^[s f=\"1\"]\n"
            "^[s h=\"3\" f=\"1\"]\n"
            "(s x)\n"
            "^s\n"
            "E 80040503 AtachAttribute ^\"then else parameter error\"\n"
            "E 80030806 AtachAttribute ^\"type missmatch\"\n"
            "E 80030806 AtachAttribute ^\"type missmatch\"\n"
            "E 80030806 AtachAttribute ^\"type missmatch\"\n"
            "E 80030502 eval (\"invalid parameters length\" \"minimum\" 4 \"maximum\" 4 (AtachAttribute (quote s) \"f\"))\n");
}

uint32_t fixed_clock() { return 700000000; }  // 2023-03-08 20:26:40 UTC

TEST_F(WordsUnbound, GetTQTimeReadsTheTickClock) {
  const char* tz = getenv("TZ");
  const std::string saved = tz ? tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  tick_clock = fixed_clock;
  const std::string out = eval_text(qvlisp_top_env1, "(GetTQTime) ([GetTQTime format=\"W3C-DTF\"])");
  tick_clock = nullptr;
  if (tz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_EQ(out, "700000000sec\n^\"2023-03-08\"\n");
}

}  // namespace
