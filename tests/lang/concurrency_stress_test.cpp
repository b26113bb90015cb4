// Eight tasks at once evaluate forms in environments of their own, read list and markup
// texts they wrote, and collect: every value is checked against what the task computes by
// itself, so a cell lost, freed early or mixed up between threads shows as a wrong value.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/init_tqlisp.h"
#include "lang/tq_file.h"
#include "reader_test_util.h"
#include "support/task_runner.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace tq;
using std::to_string;

// Evaluates every form of src in env; the last value, rooted in the caller's frame.
TQ_SEXP* eval_text(TQISP_ENV* env, const std::string& src) {
  TQ_SEXP* v = nullptr;
  for (TQ_SEXP* p = tqtest::read_text(src.c_str()); get_type(p) == kTagPair; p = p->pair.cdr)
    v = eval(env, p->pair.car);
  return v;
}

bool is_int(TQ_SEXP* v, int64_t want) { return get_type(v) == kTagInteger && v->integer.data == want; }

// One round of task t: a text read lazily, a recursive call and a list built by a loop
// evaluated meanwhile, a collection when it is the task's turn, and the text's forms
// realised and printed last; what differs from the expected value is added to wrong.
void round_of(int t, int r, TQISP_ENV* env, bool collect, std::string& wrong) {
  GcFrame frame("round");
  const int n = 10 + (7 * t + r) % 40;
  const int64_t base = 1000 * t + r;
  const std::string at = " round " + to_string(r) + ": ", rs = to_string(r);
  std::string src, expected;
  for (int k = 0; k < 3 * n; ++k) {
    const std::string ks = to_string(k);
    src += "(k" + to_string(t) + " " + ks + " <p n=\"" + rs + "\">x" + ks + "<b>y" + rs + "</b></p> (" + ks + " . " + rs + ")) ";
    expected += "(k" + to_string(t) + " " + ks + " ([p n=\"" + rs + "\"] \"x" + ks + "\" (b \"y" + rs + "\")) (" + ks + " . " + rs + "))\n";
  }
  TQ_SEXP* text = tqtest::read_text(src.c_str());
  if (TQ_SEXP* v = eval_text(env, "^(f " + to_string(n) + ")"); !is_int(v, 1000 * t + n * (n + 1) / 2))
    wrong += at + "call " + tqtest::print_text(v, kPrintInList);
  TQ_SEXP* l = eval_text(env, "^(define l ())^(define i 0)^(while (Lt i " + to_string(n) +
                                  ") (set l (cons (+ i " + to_string(base) + ") l)) (set i (+ i 1)))^l");
  if (collect) gc_enable();
  int64_t i = n;
  for (; get_type(l) == kTagPair && is_int(l->pair.car, base + i - 1); l = l->pair.cdr) --i;
  if (i != 0 || get_type(l) != kTagNil) wrong += at + "list at " + to_string(i);
  if (std::string got = tqtest::print_text(text, kPrintLines); got != expected) wrong += at + "read " + got.substr(0, 200);
}

TEST(ConcurrencyStress, EightTasksEvaluateReadAndCollectAtOnce) {
  constexpr int kTasks = 8, kRounds = 40;
  // With TQ_GC_STRESS set, every primitive return of every task collects as well.
  struct StressHook {
    void (*saved)() = eval_check_hook;
    StressHook() {
      if (getenv("TQ_GC_STRESS")) eval_check_hook = [] { gc_tick_notin_tick(nullptr, 0); };
    }
    ~StressHook() { eval_check_hook = saved; }
  } hook;
  auto wrong = std::make_shared<std::vector<std::string>>(kTasks, "did not run");
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  for (int t = 0; t < kTasks; ++t) {
    tasks.push_back(std::make_unique<tqtest::Task>([t, wrong] {
      setup_self_interpreter();
      {
        GcFrame frame("worker");
        TQISP_ENV* env = new_env(qvlisp_top_env1);
        std::string w;
        // The same name in every task, bound to a body of its own: f(k) = 1000 t + k (k + 1) / 2.
        eval_text(env, "^(define (f k) (if (= k 0) " + to_string(1000 * t) + " (+ k (f (- k 1)))))");
        for (int r = 0; r < kRounds; ++r) round_of(t, r, env, r % 4 == t % 4, w);
        (*wrong)[t] = w;
      }
      close_self_interpreter();
    }));
  }
  for (auto& task : tasks) ASSERT_TRUE(task->wait(std::chrono::minutes(5))) << "a task did not finish";
  for (int t = 0; t < kTasks; ++t) EXPECT_EQ((*wrong)[t], "") << "task " << t;
}

// Two tasks bind names of their own into one table at once, past its enlargement: each
// binding is made whole and none is lost (a chain head pushed by both at once drops one).
TEST(ConcurrencyStress, TwoTasksBindIntoOneTableAtOnce) {
  constexpr int kNames = 300;
  GcFrame frame("shared table");
  TQISP_ENV* shared = new_env(nullptr);  // rooted in this frame
  std::vector<std::unique_ptr<tqtest::Task>> binders;
  for (const char* prefix : {"a", "b"})
    binders.push_back(std::make_unique<tqtest::Task>([shared, prefix] {
      GcFrame frame("binder");
      for (int i = 0; i < kNames; ++i)
        set_env(shared, _l_string_1(std_cm, (prefix + to_string(i)).c_str()), get_integer(i, nullptr));
    }));
  for (auto& b : binders) ASSERT_TRUE(b->wait(std::chrono::minutes(1))) << "a task did not finish";
  std::string lost;
  for (const char* prefix : {"a", "b"})
    for (int i = 0; i < kNames; ++i) {
      ELEMENT* el = search_env(shared, _l_string_1(std_cm, (prefix + to_string(i)).c_str()));
      if (!el || !is_int(el->data, i)) lost += prefix + to_string(i) + " ";
    }
  EXPECT_EQ(lost, "");
}

// One task removes, rebinds or sets the undefined-name handler of a table while another
// binds into it past its enlargement and takes its list form: each change lands whole.
// Names and new values are made beforehand: their allocations would order the two tasks.
TEST(ConcurrencyStress, ChangesToATableWhileAnotherTaskBindsAndListsIt) {
  constexpr int kNames = 40;  // bound before; the other task's 11th name enlarges the table
  auto name = [](const char* prefix, int i) {
    const L_CHAR* n = _l_string_1(std_cm, (prefix + to_string(i)).c_str());
    const L_CHAR* end = n;
    while (*end) ++end;
    return std::vector<L_CHAR>(n, end + 1);
  };
  struct Case {
    const char* what;
    void (*change)(TQISP_ENV*, const L_CHAR*, TQ_SEXP*);
    int value_added;  // to each r<i>'s i afterwards; -1: r<i> is gone
    int handler;      // the handler's value afterwards, or -1 for none
  } cases[] = {
      {"remove", [](TQISP_ENV* e, const L_CHAR* n, TQ_SEXP*) { del_env(e, n); }, -1, -1},
      {"rebind", [](TQISP_ENV* e, const L_CHAR* n, TQ_SEXP* v) { replace_env_value(e, n, v); }, 1000, -1},
      {"handler", [](TQISP_ENV* e, const L_CHAR*, TQ_SEXP* v) { set_default_env(e, v); }, 0, 1000 + kNames - 1},
  };
  std::vector<std::vector<L_CHAR>> r, a;
  for (int i = 0; i < kNames; ++i) r.push_back(name("r", i)), a.push_back(name("a", i));
  for (const Case& c : cases) {
    GcFrame frame("changed table");
    TQISP_ENV* shared = new_env(nullptr);
    std::vector<TQ_SEXP*> values;  // kept alive by a table of this frame
    TQISP_ENV* kept = new_env(nullptr);
    for (int i = 0; i < kNames; ++i) {
      set_env(shared, r[i].data(), get_integer(i, nullptr));
      values.push_back(get_integer(i + 1000, nullptr));
      set_env(kept, r[i].data(), values.back());
    }
    std::atomic<int> bound{0};  // r<i> changes once i names are bound, racing the next bindings
    tqtest::Task binder([&] {
      GcFrame frame("binder");
      for (int i = 0; i < kNames; ++bound, ++i) {
        set_env(shared, a[i].data(), get_integer(i, nullptr));
        get_listbase_env(shared);
      }
    });
    tqtest::Task changer([&] {
      for (int i = 0; i < kNames; ++i)
        if (tqtest::wait_until([&] { return bound >= i; })) c.change(shared, r[i].data(), values[i]);
    });
    for (tqtest::Task* t : {&binder, &changer}) ASSERT_TRUE(t->wait(std::chrono::minutes(1))) << c.what;
    std::string wrong;
    for (int i = 0; i < kNames; ++i) {
      ELEMENT* re = search_env(shared, r[i].data());
      ELEMENT* ae = search_env(shared, a[i].data());
      if (c.value_added < 0 ? re != nullptr : !re || !is_int(re->data, i + c.value_added)) wrong += "r" + to_string(i) + " ";
      if (!ae || !is_int(ae->data, i)) wrong += "a" + to_string(i) + " ";
    }
    ELEMENT* h = shared->env.default_sym;
    if (c.handler < 0 ? h != nullptr : !h || !is_int(h->data, c.handler)) wrong += "handler";
    EXPECT_EQ(wrong, "") << c.what;
  }
}


// Position inheritance gives a cell that a collection may be marking its reader, outside any
// memory section: the collector reads that word as the writer stores it (the thread
// sanitizer reports a plain read), and keeps the readers named only by the headers of a
// list's pair and of its number.
TEST(ConcurrencyStress, ReadersInheritedWhileACollectionMarks) {
  GcFrame frame("positions");
  TQ_SEXP* number = get_integer(7, nullptr);
  TQ_SEXP* pair = cons(number, nullptr);
  TQ_FILE* readers[2];
  TQ_SEXP from[2] = {};
  {
    GcFrame made("readers");  // once it closes, only the two headers name them
    for (int k = 0; k < 2; ++k) {
      readers[k] = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
      qv_file_insert(readers[k]);
      from[k].h.file = readers[k];
    }
    inherit(pair, &from[0]);
    inherit(number, &from[1]);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> collections{0};
  tqtest::Task collector([&stop, &collections] {
    for (; !stop.load(); ++collections) gc_enable();
  });
  int64_t i = 0;
  for (; collections.load() < 5 && i < 100000000; ++i) {
    inherit(pair, &from[0]);
    inherit(number, &from[1]);
  }
  stop.store(true);
  EXPECT_GE(collections.load(), 5) << "the collector did not run within " << i << " inheritances";
  ASSERT_TRUE(collector.wait()) << "the collector did not stop";
  gc_enable();
  int kept = 0;
  for (TQ_FILE* f = qv_file_root.next; f != &qv_file_root; f = f->next) kept += f == readers[0] || f == readers[1];
  EXPECT_EQ(kept, 2);
  for (TQ_FILE* f : readers) qv_file_delete(f);
}

// An error literal is read eagerly outside the memory-lock section (its lexer may wait for
// input) while a collection marks what it has made: the links of its data list and the
// error cell's fields are written inside a section, or the thread sanitizer reports the
// collector's read of a word the reader wrote meanwhile.
TEST(ConcurrencyStress, AnErrorLiteralReadWhileACollectionMarks) {
  std::string data;  // the spaces keep the reader lexing, outside any section, after each link
  for (int i = 0; i < 10; ++i) data += to_string(i) + std::string(500, ' ');
  const std::string src = "^%E (\"s\" \"f\" 4 \"g\" 5 (" + data + "))";
  std::atomic<bool> stop{false};
  std::atomic<int> collections{0};
  tqtest::Task collector([&stop, &collections] {
    for (; !stop.load(); ++collections) gc_enable();
  });
  std::string wrong;
  for (int read = 0; read < 5 || (collections.load() < 3000 && read < 100000); ++read) {
    GcFrame frame("literal");
    TQ_SEXP* er = car(tqtest::read_text(src.c_str()));
    TQ_SEXP* last = get_type(er) == kTagError && er->error.code == 5 && list_length(er->error.data) == 10
                        ? er->error.data
                        : nullptr;
    while (last && get_type(last->pair.cdr) == kTagPair) last = last->pair.cdr;
    if (!last || !is_int(last->pair.car, 9)) wrong += "read " + to_string(read) + " ";
  }
  stop.store(true);
  EXPECT_GE(collections.load(), 3000) << "the collector did not run";
  ASSERT_TRUE(collector.wait()) << "the collector did not stop";
  EXPECT_EQ(wrong, "");
}

// One task sets a name anew all the time (and collects) while this one makes texts of its
// value through a caret attribute of a call's head (_eval_symbol) and a "$" attribute of a
// quoted symbol (eval). The value is taken rooted as it is looked up: its long unit is read
// while the text is made, long enough for the other task's set and collection to free a value
// only the binding held (the address sanitizer saw the freed unit read).
TEST(ConcurrencyStress, ANameSetAnewWhileAnotherTaskMakesTextsOfItsValue) {
  std::vector<L_CHAR> unit(100000, 'm');
  unit.push_back(0);
  struct Row {
    const char* what;
    const L_CHAR* (*read)(TQISP_ENV* env);
  } const rows[] = {
      {"caret", [](TQISP_ENV* env) -> const L_CHAR* { return eval_text(env, "^([f a=\"^x\"])")->string.data; }},
      {"quote", [](TQISP_ENV* env) -> const L_CHAR* { return get_symbol_field(eval_text(env, "^(quote [s a=\"$x\"])"), tqtest::lc("a")); }},
  };
  GcFrame frame("name set anew");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  eval_text(env, "^(define (f) a)");
  set_env(env, tqtest::lc("x"), get_integer(0, unit.data()));
  std::atomic<bool> stop{false};
  std::atomic<int> sets{0};
  tqtest::Task setter([&] {
    for (; !stop.load(); ++sets) {
      GcFrame each("set");
      replace_env_value(env, tqtest::lc("x"), get_integer(sets.load(), unit.data()));
      gc_enable();
    }
  });
  std::string wrong;
  for (const Row& row : rows) {
    const int sets_before = sets.load();
    for (int reads = 0; reads < 10 || (sets.load() < sets_before + 10 && reads < 1000); ++reads) {
      GcFrame each(row.what);
      const L_CHAR* t = row.read(env);
      int digits = 0, ms = 0;  // the text is the value's digits and its unit, cut at 511 bytes
      while (t && t[digits] >= '0' && t[digits] <= '9') ++digits;
      while (t && t[digits + ms] == 'm') ++ms;
      if (!digits || digits + ms != 511 || t[digits + ms]) wrong += std::string(row.what) + " ";
    }
  }
  stop.store(true);
  ASSERT_TRUE(setter.wait()) << "the setter did not stop";
  EXPECT_EQ(wrong, "");
}

}  // namespace
