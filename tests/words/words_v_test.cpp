// Words that need a program of their own: scripts of tests/words/words_v_runs run by
// tq_script with the extra arguments "out / a b=1" in a temporary folder (DIR in a script
// and its replies stands for that folder, TQ_SCRIPT for the helper itself), plain and with
// a collection at every primitive return; a shell command filling both of its outputs with
// a megabyte each; and the list form of version records read back.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "entry/start.h"
#include "interp/interpreter.h"
#include "interp/log_cond.h"
#include "interp/script_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "text/l_string.h"
#include "words/system_info.h"

namespace {

using namespace tq;

const std::string kRuns = std::string(TQ_SOURCE_DIR) + "/tests/words/words_v_runs/";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

std::string site_text() {
  minimum_matrix_init(0, nullptr);
  return "\"" + std::string(n_string(utf8_cm, get_tqlisp_site())) + "\"";
}

struct ScriptRun {
  tqtest::RunResult result;
  std::string out, err;  // the replies and standard error, the folder written DIR
};

// Runs text as DIR/s.tq: tq_script s.tq out / a b=1, with the environment settings env.
ScriptRun run_script(const std::string& text, std::vector<std::string> env, bool stress) {
  tqtest::TempDir dir;
  char* real = realpath(dir.path().c_str(), nullptr);
  const std::string folder = real;
  free(real);
  tqtest::write_file(dir.file("s.tq"),
                     replace_all(replace_all(text, "TQ_SCRIPT", tqtest::bin_path("tq_script")), "DIR", folder));
  std::vector<std::string> argv{"/usr/bin/env"};
  for (const std::string& e : env) argv.push_back(replace_all(e, "DIR", folder));
  if (stress) argv.push_back("TQ_GC_STRESS=1");
  argv.push_back(tqtest::bin_path("tq_script"));
  for (const char* a : {"s.tq", "out", "/", "a", "b=1"}) argv.push_back(a);
  ScriptRun run;
  run.result = tqtest::run_program(argv, dir.path());
  run.out = replace_all(replace_all(tqtest::read_file(dir.file("out")), folder, "DIR"), site_text(), "\"SITE\"");
  run.err = replace_all(run.result.err, folder, "DIR");
  return run;
}

TEST(ProgramRuns, ArgumentsEnvironmentDirectoriesAndChildren) {
  const struct {
    std::string name;
    std::vector<std::string> env;
    std::string err;  // expected on standard error
  } rows[] = {
      {"program", {"TQ_WORDS_V=a value", "BROWSER=DIR/rec --flag"}, ""},
      {"no_browser", {"BROWSER=DIR/missing"}, "cannot open the browser DIR/missing\n"},
      {"dash_url", {"BROWSER=true"}, "cannot open the browser true\n"},
  };
  for (bool stress : {false, true})
    for (const auto& r : rows) {
      SCOPED_TRACE(r.name + (stress ? " with a collection at every primitive return" : ""));
      const ScriptRun run = run_script(tqtest::read_file(kRuns + r.name + ".tq"), r.env, stress);
      ASSERT_FALSE(run.result.timed_out);
      EXPECT_EQ(run.result.status, 0) << run.err;
      EXPECT_EQ(run.out, tqtest::read_file(kRuns + r.name + ".out"));
      EXPECT_EQ(run.err, r.err);
    }
}

// The command fills its error output first: read one after the other, it would wait for ever.
TEST(ProgramRuns, ShellReadsBothOutputsAsTheyFill) {
  const ScriptRun run = run_script(
      "([Shell pipe=\"on\"] \"head -c 1048576 /dev/zero | tr '\\\\000' e >&amp;2; head -c 1048576 /dev/zero | tr '\\\\000' o\")\n",
      {}, false);
  ASSERT_FALSE(run.result.timed_out);
  EXPECT_EQ(run.result.status, 0) << run.err;
  const std::string want = "<Result> 1 ^\n %E\n (\"SITE\" \"s.tq\" 1 \"Shell\" 0x8004021a\n (\"" + std::string(1 << 20, 'o') +
                           "\" \"" + std::string(1 << 20, 'e') + "\"))</Result>\n";
  EXPECT_TRUE(run.out == want) << "replies of " << run.out.size() << " bytes, not " << want.size();
}

// ---- in this process ----------------------------------------------------------------------------

TEST(InProcess, SetLogPathLeavesOneConditionSavingEveryRecord) {
  minimum_matrix_init(0, nullptr);
  tqtest::TempDir dir;
  const std::string path = dir.file("run");
  tqtest::Task task([path] {  // words run on a task bound to an interpreter
    setup_self_interpreter();
    {
      GcFrame frame("SetLogPath");
      const std::string form = "(SetLogPath \"" + path + "\" 5000000000 3)";
      TQ_SEXP* forms = sexp_commands(utf8_cm, form.c_str(), nullptr);
      EXPECT_EQ(eval(qvlisp_top_env1, forms->pair.car), nullptr);
    }
    close_self_interpreter();
  });
  ASSERT_TRUE(task.wait()) << "SetLogPath did not return";
  const LOG_COND* c = condition_list;
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->next, nullptr);
  const LOG_ACTION* a = c->action_list;
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::vector<int>({a->type, a->option, a->size, a->div_nos}), std::vector<int>({LA_SAVE, LO_ALL, INT32_MAX, 3}));
  EXPECT_EQ(std::string(n_string(utf8_cm, a->path)), path);
  reset_log_condition();
}

// ---- version records -----------------------------------------------------------------------------

TEST(VersionRecords, ListFormsReadBack) {
  minimum_matrix_init(0, nullptr);
  GcFrame frame("version records");
  auto text = [](const char* t) { return n_get_string(t); };
  const struct {
    TQ_SEXP* list;
    bool made;
    int year, month, date;
  } rows[] = {
      {List(text("L"), text("N"), text("P"), text("V"), text("2004-3-15"), kListEnd), true, 2004, 3, 15},
      {List(text("L"), text("N"), text("P"), text("V"), text("2004"), text("extra"), kListEnd), true, 2004, 0, 0},
      {List(text("L"), text("N"), text("P"), text("V"), text("x-3"), kListEnd), true, 0, 0, 0},
      {List(text("L"), text("N"), text("P"), text("V"), kListEnd), false, 0, 0, 0},
      {List(text("L"), text("N"), get_integer(1, nullptr), text("V"), text("2004"), kListEnd), false, 0, 0, 0},
  };
  for (const auto& r : rows) {
    VERSION* v = convert_to_version(r.list);
    ASSERT_EQ(v != nullptr, r.made);
    if (!v) continue;
    EXPECT_STREQ(v->layer, "L");
    EXPECT_STREQ(v->version, "V");
    EXPECT_EQ(v->comment, nullptr);
    EXPECT_EQ(std::vector<int>({v->year, v->month, v->date}), std::vector<int>({r.year, r.month, r.date}));
    free_version(v);
  }
  const struct {
    int month, date;
    const char* text;
  } dates[] = {{3, 15, "2004-3-15"}, {3, 0, "2004-3"}, {0, 15, "2004"}};
  for (const auto& d : dates) {
    VERSION v{"L", "N", "P", "V", 2004, uint8_t(d.month), uint8_t(d.date), nullptr, "comment"};
    char buf[32];
    date_format(&v, buf, sizeof buf);
    EXPECT_STREQ(buf, d.text);
  }
}

}  // namespace
