// The evaluator's rules that no core word reaches from a script: keyword arguments, a
// lambda taking its whole form, environment calls, the undefined-name handler, the break
// check, the registration table; and the core words that touch files, processes and time.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sched.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lang/binary.h"
#include "lang/compare.h"
#include "lang/core_table.h"
#include "lang/core_words.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/tq_file.h"
#include "platform/machine.h"
#include "reader_test_util.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace {

using namespace tq;
using tqtest::lc;
using tqtest::print_text;
using tqtest::read_text;

constexpr int kInList = 256;

// Evaluates every form of src in the inner top environment; the last value, printed.
std::string run(const char* src, TQISP_ENV* env = nullptr) {
  GcFrame frame("run");
  TQ_SEXP* v = nullptr;
  for (TQ_SEXP* p = read_text(src); get_type(p) == kTagPair; p = p->pair.cdr)
    v = eval(env ? env : qvlisp_top_env1, p->pair.car);
  if (get_type(v) == kTagError) {
    char code[16];
    snprintf(code, sizeof code, "%#x", unsigned(v->error.code));
    return std::string("error ") + code + " " + tqtest::text(v->error.func) + " " + print_text(v->error.data, kInList);
  }
  return print_text(v, kInList);
}

// A lambda cell made by hand, as the built-in word library makes its keyword lambdas.
TQ_SEXP* make_lambda(const char* params, const char* body, int order, int min, int max) {
  TQ_SEXP* f = get_sexp(nullptr, kTagFunc);
  f->func.type = kFuncLambda;
  f->func.order = int8_t(order);
  f->func.min = int8_t(min);
  f->func.max = int8_t(max);
  f->func.l_params = car(read_text(params));
  f->func.l_body = read_text(body);
  return f;
}

TEST(Eval, KeywordArgumentsFillTheirParametersInAnyOrder) {
  GcFrame frame("keywords");
  set_env(qvlisp_top_env1, lc("kw"), make_lambda("^(a b c)", "^(list a b c)", 2, 4, 4));
  EXPECT_EQ(run("^(kw (c (+ 1 2)) (a 1) (c 9))"), "(1 () 9)");
  EXPECT_EQ(run("^(kw 5 (a 1) (b 2))"), "error 0x80040503 eval (\"invalid parameter (1)\" 5)");
  EXPECT_EQ(run("^(kw (d 1) (a 1) (b 2))"), "error 0x80040503 eval (\"invalid parameter(symbol error) (2)\" (d 1))");
  EXPECT_EQ(run("^(kw (a (car ())) (b 1) (c 1))"), "error 0x80030806 car (\"type missmatch in parameter\")");
  EXPECT_EQ(run("^(kw (a 1))").substr(0, 16), "error 0x80030502") << "exactly one more than the parameters";
}

TEST(Eval, ALambdaWithOneSymbolTakesTheWholeForm) {
  GcFrame frame("whole");
  set_env(qvlisp_top_env1, lc("whole"), make_lambda("^all", "^all", 1, 1, -1));
  EXPECT_EQ(run("^(whole 1 (+ 1 1))"), "(whole 1 2)");
  set_env(qvlisp_top_env1, lc("raw_whole"), make_lambda("^all", "^all", 0, 1, -1));
  EXPECT_EQ(run("^(raw_whole 1 (+ 1 1))"), "(raw_whole 1 (+ 1 1))");
}

TEST(Eval, AnEnvironmentHeadRunsTheRestInAChildOrInItself) {
  GcFrame frame("envcall");
  TQISP_ENV* e = new_env(qvlisp_top_env0);
  set_env(e, lc("x"), get_integer(10, nullptr));
  set_env(qvlisp_top_env1, lc("E"), get_env(e));
  EXPECT_EQ(run("^(E x)"), "10");
  // Local is the caller's environment; the child's bindings die with the call.
  EXPECT_EQ(run("^(E (define z 1) z)"), "1");
  EXPECT_EQ(run("^(E z)"), "error 0x80030705 eval(symbol) (\"eval:undefined symbol\" 3 z)");
  TQ_SEXP* local = nullptr;
  {
    GcFrame f2("local");
    TQ_SEXP* v = eval(qvlisp_top_env1, car(read_text("^(E Local)")));
    ASSERT_EQ(get_type(v), kTagEnv);
    local = v;
  }
  EXPECT_EQ(local->env.data, qvlisp_top_env1);
  // Attributes are bound as strings; type="raw" runs in the environment itself, no Local.
  EXPECT_EQ(run("^([E type=\"raw\" w=\"q\"] (define y 3) w)"), "\"q\"");
  EXPECT_EQ(run("^(E y)"), "3");
  EXPECT_EQ(run("^([E type=\"raw\"] Local)"), "error 0x80030705 eval(symbol) (\"eval:undefined symbol\" 3 Local)");
  EXPECT_EQ(run("^(E (car ()) x)"), "error 0x80030806 car (\"type missmatch in parameter\")");
  EXPECT_EQ(run("^(E 1 2"), "error 0x80020402 parser (\"no ) for (\")");  // cut off
}

// A form cut off by the end of the text inside a nested list gives the reader's error,
// whatever word heads it: the words that walk their own elements see the error tail too.
TEST(Eval, AFormCutOffInsideANestedListGivesTheReadersError) {
  const std::string cut = "error 0x80020402 parser (\"no ) for (\")";
  for (const char* src : {"^(+ 1 (+ 2", "^(list 1 (list 2", "^(let ((a 1)", "^(let ((a 1)) a a", "^(lambda (a (b",
                          "^(define (f a", "^(shell \"true\"", "^(while 0 1", "^(while 0", "^(define a 1",
                          "^(define (f) 1", "^(lambda (a) a"})
    EXPECT_EQ(run(src), cut) << src;
}

// Names the undefined head and the form it was called with.
TQ_SEXP* handler_prim(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return list(get_string(car(form)->symbol.data), cdr(form), nullptr);
}

TEST(Eval, AnUndefinedHeadGoesToTheHandlerWithTheFormAsWritten) {
  GcFrame frame("handler");
  TQISP_ENV* e = new_env(qvlisp_top_env1);
  EXPECT_EQ(run("^(no-such-word 1)", e), "error 0x80030705 eval(symbol) (\"eval:undefined symbol\" 3 no-such-word)");
  set_default_env(e, get_func_prim(handler_prim, 0, nullptr, 1, -1));
  EXPECT_EQ(run("^(no-such-word 1 (car ()))", e), "(\"no-such-word\" (1 (car ())))");
  // A symbol that is not a head stays undefined.
  EXPECT_EQ(run("^(list no-such-word)", e), "error 0x80030705 eval(symbol) (\"eval:undefined symbol\" 3 no-such-word)");
}

uint32_t fake_now = 100;
uint32_t fake_clock() { return fake_now; }
int break_calls = 0;
bool break_armed = false;
TQ_SEXP* test_break(TQ_SEXP* form) {
  ++break_calls;
  return break_armed ? get_error(form ? form->h.file : nullptr, 0, ER_BREAK, lc("break"), nullptr) : nullptr;
}

TEST(Eval, TheBreakHookIsAskedOncePerSecondAndAgainAfterABreak) {
  GcFrame frame("break");
  auto* const runtime_check = break_check;
  break_check_clock = fake_clock;
  break_check = test_break;
  fake_now = 100;
  break_calls = 0;
  run("^(list 1 2 3)");
  run("^(list 4 5)");
  EXPECT_EQ(break_calls, 1) << "one call within the same second";
  break_armed = true;
  ++fake_now;
  EXPECT_EQ(run("^(list 1 2)"), "error 0x80011404 break ()");
  EXPECT_EQ(run("^(list 1 2)"), "error 0x80011404 break ()") << "asked again at once after a break";
  break_armed = false;
  EXPECT_EQ(run("^(list 1 2)"), "(1 2)");
  break_check = runtime_check;
  break_check_clock = get_tqtime;
}

TEST(Eval, TheErrorHandlerHookHoldsTheDefaultThatAnswersZero) {
  EXPECT_EQ(error_handler, &default_error_handler);
  EXPECT_EQ(error_handler(7, get_integer(1, nullptr)), 0);
}

TEST(Eval, TheCorePrimitivesAreRegisteredAsTheLanguageDefinesThem) {
  struct Row {
    const char* name;
    bool inner;
    int order, min, max;
  };
  const Row rows[kCorePrimCount] = {
      {"list", 0, 0, 2, -1},  {"/", 0, 1, 3, 3},      {"div", 0, 1, 3, 3},    {"rem", 0, 1, 3, 3},
      {"define", 0, 0, 3, -1}, {"while", 0, 0, 2, -1}, {"=", 0, 1, 3, 3},      {"Equ", 0, 1, 3, 3},
      {"Neq", 0, 1, 3, 3},    {"<=", 0, 1, 3, 3},     {"Lteq", 0, 1, 3, 3},   {"Lt", 0, 1, 3, 3},
      {"<", 0, 1, 3, 3},      {">=", 0, 1, 3, 3},     {"Gteq", 0, 1, 3, 3},   {"Gt", 0, 1, 3, 3},
      {">", 0, 1, 3, 3},      {"+", 0, 1, 3, -1},     {"add", 0, 1, 3, -1},   {"*", 0, 1, 3, -1},
      {"mul", 0, 1, 3, -1},   {"-", 0, 1, 2, 3},      {"sub", 0, 1, 2, 3},    {"set", 0, 0, 3, 3},
      {"quote", 0, 0, 2, 2},  {"if", 0, 0, 4, 4},     {"append", 0, 0, 3, 3}, {"cons", 0, 0, 3, 3},
      {"let", 0, 0, 3, -1},   {"cdr", 0, 1, 2, 2},    {"car", 0, 1, 2, 2},    {"save", 1, 0, 6, 6},
      {"shell", 1, 0, 2, -1}, {"wait", 1, 0, 2, 2},   {"lambda", 1, 0, 2, -1}, {"and", 0, 1, 3, -1},
      {"or", 0, 1, 3, -1},    {"xor", 0, 1, 3, -1},   {"not", 0, 1, 2, 2},    {"And", 0, 1, 3, -1},
      {"Or", 0, 1, 3, -1},    {"Xor", 0, 1, 3, -1},   {"Not", 0, 1, 2, 2},
  };
  for (int i = 0; i < kCorePrimCount; ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(core_prims[i].name, r.name);
    TQ_SEXP* f = nullptr;
    ASSERT_EQ(_eval_symbol(&f, qvlisp_top_env1, lc(r.name), -1), 0);
    ASSERT_EQ(get_type(f), kTagFunc);
    EXPECT_EQ(f->func.type, kFuncPrim);
    EXPECT_EQ(f->func.order, r.order);
    EXPECT_EQ(f->func.min, r.min);
    EXPECT_EQ(f->func.max, r.max);
    EXPECT_EQ(f->func.args_env, nullptr);
    TQ_SEXP* outer = nullptr;
    EXPECT_EQ(_eval_symbol(&outer, qvlisp_top_env0, lc(r.name), -1), r.inner ? -1 : 0);
  }
}

// The value of one attribute text: "^^" quotes a caret, "^name" is the text of name's value,
// anything else stays; a failure is stored in the slot only when the slot holds a value.
TEST(Eval, AnAttributeTextTakesTheTextOfItsVariable) {
  GcFrame frame("carret");
  TQISP_ENV* e = new_env(qvlisp_top_env1);
  set_env(e, lc("n"), get_integer(5, nullptr));
  set_env(e, lc("f"), get_floating(2.5, nullptr));
  set_env(e, lc("u"), get_integer(3, lc("mm")));
  set_env(e, lc("s"), n_get_string("text"));
  set_env(e, lc("l"), list(get_integer(1, nullptr), nullptr));
  TQ_SEXP* at = car(read_text("^(here)"));
  TQ_SEXP* full = get_integer(0, nullptr);  // a slot that holds a value
  struct Case {
    const char* in;
    const char* out;  // "(null)" for nil
  } cases[] = {{"^^x", "^x"}, {"^n", "5"}, {"^f", "2.500000"}, {"^u", "3mm"},
               {"^s", "text"}, {"plain", "plain"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    TQ_SEXP* slot = full;
    EXPECT_EQ(tqtest::text(eval_carret(&slot, e, lc(c.in), at)), c.out);
    EXPECT_EQ(slot, std::string(c.in) == "^^x" || std::string(c.in) == "plain" ? full : nullptr);
  }
  TQ_SEXP* slot = full;
  EXPECT_EQ(eval_carret(&slot, e, lc("^l"), at), nullptr);
  ASSERT_EQ(get_type(slot), kTagError);
  EXPECT_EQ(slot->error.code, ER_TYPE);
  EXPECT_EQ(tqtest::text(slot->error.func), "eval(attribute symbol)");
  EXPECT_EQ(print_text(slot->error.data, kInList), "(\"symbol attr field:type missmatch\" \"^l\")");
  EXPECT_EQ(slot->h.line, at->h.line);
  slot = full;
  EXPECT_EQ(eval_carret(&slot, e, lc("^nope"), at), nullptr);
  ASSERT_EQ(get_type(slot), kTagError);
  EXPECT_EQ(slot->error.code, ER_UNDEFINED);
  slot = nullptr;  // an empty slot stays empty
  EXPECT_EQ(eval_carret(&slot, e, lc("^l"), at), nullptr);
  EXPECT_EQ(slot, nullptr);
}

TQ_SEXP* seen_args = nullptr;
TQ_SEXP* keep_args(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  seen_args = form;
  return nullptr;
}

// The list an order-1 function receives: its first pair has the head cell's position and
// flags, every further pair those of the form's pair that held the argument.
TEST(Eval, TheRebuiltListKeepsThePositionsOfTheForm) {
  GcFrame frame("positions");
  set_env(qvlisp_top_env1, lc("keep"), get_func_prim(keep_args, 1, nullptr, 1, -1));
  TQ_SEXP* form = car(read_text("^(keep 1\n (+ 1\n 2)\n\n x)"));
  set_env(qvlisp_top_env1, lc("x"), get_integer(9, nullptr));
  ASSERT_EQ(list_length(form), 4);  // read to the end; then a distinct flag bit on each cell
  form->pair.car->h.flags |= 1 << 20;
  int bit = 21;
  for (TQ_SEXP* p = form->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) p->h.flags |= 1 << bit++;
  ASSERT_EQ(eval(qvlisp_top_env1, form), nullptr);
  ASSERT_EQ(list_length(seen_args), 4);
  EXPECT_EQ(print_text(seen_args, kInList), "(keep 1 3 9)");
  TQ_SEXP* got = seen_args;
  EXPECT_EQ(got->h.file, form->pair.car->h.file);
  EXPECT_EQ(got->h.line, form->pair.car->h.line);
  EXPECT_EQ(got->h.flags, form->pair.car->h.flags);
  std::vector<int> lines;
  for (TQ_SEXP* p = form->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    got = got->pair.cdr;
    EXPECT_EQ(got->h.file, p->h.file);
    EXPECT_EQ(got->h.line, p->h.line);
    EXPECT_EQ(got->h.flags, p->h.flags);
    lines.push_back(got->h.line);
  }
  EXPECT_EQ(lines, (std::vector<int>{1, 2, 5})) << "the pairs of the form sit on the lines of their elements";
}

// Integer operations on plain operands, and on the values of argument forms, are computed
// by the evaluator: the value and the position are those the word itself gives.
TEST(Eval, IntegerOperationsGiveTheWordsValueAndPosition) {
  GcFrame frame("integers");
  run("^(define a 7)\n^(define b\n -3)");
  TQ_SEXP* a = get_env_symbol(qvlisp_top_env1, lc("a"), -1);
  TQ_SEXP* b = get_env_symbol(qvlisp_top_env1, lc("b"), -1);
  const struct {
    const char* word;
    TQ_PRIM prim;
  } ops[] = {{"+", qv_add}, {"-", qv_sub}, {"*", qv_mul},  {"=", qv_equ}, {"Neq", qv_Neq},
             {"Lt", qv_lt}, {"Lteq", qv_leq}, {"Gt", qv_gt}, {"Gteq", qv_geq}};
  // The operands' values: y null for the form's own literal.
  const struct {
    const char* form;
    TQ_SEXP* x;
    TQ_SEXP* y;
  } forms[] = {{"^(%s a b)", a, b}, {"^(%s b a)", b, a}, {"^(%s (car (list b)) a)", b, a}, {"^(%s a\n 5)", a, nullptr}};
  for (const auto& op : ops) {
    for (const auto& c : forms) {
      char text[64];
      snprintf(text, sizeof text, c.form, op.word);
      TQ_SEXP* f = car(read_text(text));
      TQ_SEXP* got = eval(qvlisp_top_env1, f);
      TQ_SEXP* values = list(f->pair.car, c.x, c.y ? c.y : get_el(f, 2), nullptr);
      TQ_SEXP* want = op.prim(qvlisp_top_env1, values, nullptr, nullptr, nullptr);
      ASSERT_EQ(get_type(got), kTagInteger) << text;
      EXPECT_EQ(got->integer.data, want->integer.data) << text;
      EXPECT_EQ(got->integer.unit, nullptr) << text;
      EXPECT_EQ(got->h.line, want->h.line) << text;
      EXPECT_EQ(got->h.file, want->h.file) << text;
    }
  }
  // The head is looked up where the form runs: a parameter named like the word shadows it.
  EXPECT_EQ(run("^(define (g + a) (+ a 1))^(g - 5)"), "4");
  EXPECT_EQ(run("^(define (h Lt) (Lt 1 2))^(h Gt)"), "0");
  EXPECT_EQ(run("^(+ 1 2 3)"), "6");
  EXPECT_EQ(run("^(+ 9223372036854775807 a)"), "-9223372036854775802");
}

// Collects, then notes the live bytes of collected memory.
std::vector<int64_t> live_after_collection;
TQ_SEXP* probe_prim(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  gc_enable();
  live_after_collection.push_back(malloc_count);
  return nullptr;
}

// Each pass roots only its own value: the garbage of earlier passes is collected while the
// loop still runs.
TEST(Eval, AWhilePassKeepsNoEarlierPassAlive) {
  GcFrame frame("while");
  set_env(qvlisp_top_env1, lc("probe"), get_func_prim(probe_prim, 1, nullptr, 1, 1));
  live_after_collection.clear();
  EXPECT_EQ(run("^(define w 0)^(while (Lt w 200) (set w (+ w 1)) (list 1 2 3 4 5 6 7 8) (probe) (list w))"),
            "(200)");
  ASSERT_EQ(live_after_collection.size(), 200u);
  // Each pass holds the same few cells at its probe (a pass's cells are some 2000 bytes).
  EXPECT_LE(live_after_collection[199] - live_after_collection[19], 500);
}

// Clears the handler of dropped when set, collects, then notes which of the watched blocks
// are still live.
TQ_SEXP* watched[4];
std::vector<bool> watched_live;
TQISP_ENV* dropped = nullptr;
TQ_SEXP* watch_prim(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  if (dropped) del_default_env(dropped);
  gc_enable();
  for (TQ_SEXP* w : watched) watched_live.push_back(mem_is_block(w));
  return nullptr;
}

// What a call looked up, its head's function, a name's value among its arguments and an
// environment heading one of them, or the undefined-name handler it calls, stays held while
// an argument sets the names anew (clears the handler) and a collection runs, until the call
// ends.
TEST(Eval, ValuesACallLookedUpOutliveTheirBindingsUntilItEnds) {
  GcFrame frame("rebound");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  set_env(env, lc("watch"), get_func_prim(watch_prim, 1, nullptr, 1, 1));
  {
    GcFrame made("made");  // the bindings alone hold the values
    run("^(define g (lambda (a b) (list a b)))^(define n (+ 3 4))", env);
    set_env(env, lc("e"), get_env(new_env(env)));
    set_default_env(env, watched[3] = make_lambda("(a)", "^a", 1, 2, 2));
  }
  const char* names[] = {"g", "n", "e"};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(lookup_env(&watched[i], env, lc(names[i]), -1), 0) << names[i];
  watched_live.clear();
  EXPECT_EQ(run("^(g n ([e type=\"raw\"] (set g 0) (set n 0) (set e 0) (watch)))", env), "(7 ())");
  dropped = env;
  EXPECT_EQ(run("^(nosuch (watch))", env), "()");
  dropped = nullptr;
  EXPECT_EQ(watched_live, std::vector<bool>({true, true, true, true, false, false, false, true}));
  gc_enable();
  for (TQ_SEXP* w : watched) EXPECT_FALSE(mem_is_block(w)) << "held past the call";
}

// A parameter list of n symbols p1 .. pn.
std::string params(int n) {
  std::string s = "(";
  for (int i = 1; i <= n; ++i) s += " p" + std::to_string(i);
  return s + ")";
}

TEST(Eval, ALambdaTakesAtMost126Parameters) {
  std::string call = "^((lambda " + params(126) + " p126)";
  for (int i = 1; i <= 126; ++i) call += " " + std::to_string(i);
  EXPECT_EQ(run((call + ")").c_str()), "126");
  EXPECT_EQ(run(("^(lambda " + params(127) + " 1)").c_str()),
            "error 0x80030503 lambda (\"format error in lambda argment\")");
  EXPECT_EQ(run(("^(define (f" + params(127).substr(1) + " 1)").c_str()),
            "error 0x80030503 lambda (\"format error in lambda argment\")");
}

// A float without unit is traced into a "$" attribute as an int, saturated at its range.
TEST(Eval, QuotedFloatAttributesSaturateAtTheIntRange) {
  EXPECT_EQ(run("^(define q (* 1.0 100000000000))^(quote [p v=\"$q\"])"), "[p v=\"2147483647\"]");
  EXPECT_EQ(run("^(set q (- q))^(quote [p v=\"$q\"])"), "[p v=\"-2147483648\"]");
  EXPECT_EQ(run("^(set q -2.9)^(quote [p v=\"$q\"])"), "[p v=\"-2\"]");
}

// Four tasks evaluate calls, lists and loops in environments of their own while a fifth
// collects again and again: every value a call still needs stays rooted on every thread.
TEST(Eval, TasksEvaluateWhileAnotherCollects) {
  std::atomic<bool> stop{false};
  tqtest::Task collector([&] {
    for (int n = 0; n < 2000 && !stop.load(); ++n) {
      gc_enable();
      sched_yield();  // let the workers take the memory lock between collections
    }
  });
  std::string results[4];
  std::vector<std::unique_ptr<tqtest::Task>> workers;
  for (int k = 0; k < 4; ++k) {
    workers.push_back(std::make_unique<tqtest::Task>([&results, k] {
      setup_self_interpreter();  // an evaluating thread is bound to an interpreter of its own
      {
        GcFrame frame("worker");
        TQISP_ENV* e = new_env(qvlisp_top_env1);
        results[k] = run(
            "^(define (fib n) (if (Lt n 2) n (+ (fib (- n 1)) (fib (- n 2)))))^(define l ())^(define i 0)"
            "^(define s (+ \"a\" \"b\"))^(define (pick a b) a)"
            "^(while (Lt i 60) (set l (cons (pick s (set s (+ s \"\"))) (cons (fib 8) l))) (set i (+ i 1)))"
            "^(list (fib 10) (car l) (car (cdr l)) i)",
            e);
      }
      close_self_interpreter();
    }));
  }
  for (auto& w : workers) EXPECT_TRUE(w->wait(std::chrono::minutes(2))) << "a worker did not finish";
  stop = true;
  ASSERT_TRUE(collector.wait()) << "the collector did not stop";
  for (const std::string& r : results) EXPECT_EQ(r, "(55 \"ab\" 21 60)");
}

// Eight tasks read and evaluate in environments below one shared table, bind new names in
// it (it is enlarged meanwhile) and look them up, and collect in turn, for a bounded number
// of rounds: every value read, evaluated or looked up is the one bound.
TEST(Eval, EightTasksReadEvaluateBindAndCollectAtOnce) {
  constexpr int kTasks = 8, kRounds = 12;
  GcFrame frame("shared");
  TQISP_ENV* shared = new_env(qvlisp_top_env1);
  gc_set(shared, gc_qvlisp_env);
  set_env(shared, lc("base"), tqtest::num(7));
  std::vector<std::string> wrong(kTasks, "did not run");
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  for (int k = 0; k < kTasks; ++k) {
    tasks.push_back(std::make_unique<tqtest::Task>([&, k] {
      setup_self_interpreter();
      {
        GcFrame own("worker");
        TQISP_ENV* env = new_env(shared);
        gc_set(env, gc_qvlisp_env);
        wrong[k].clear();
        for (int r = 0; r < kRounds; ++r) {
          const std::string v = run(
              "^(define (fib n) (if (Lt n 2) n (+ (fib (- n 1)) (fib (- n 2)))))^(define i 0)^(define l ())"
              "^(while (Lt i 50) (set l (cons (+ i base) l)) (set i (+ i 1)))^(list (fib 10) (car l) i)",
              env);
          if (v != "(55 56 50)") wrong[k] += " round " + std::to_string(r) + ": " + v;
          set_env(shared, lc(("n" + std::to_string(k) + "_" + std::to_string(r)).c_str()), tqtest::num(r));
          for (int q = 0; q <= r; ++q) {
            TQ_SEXP* got = nullptr;
            const std::string name = "n" + std::to_string(k) + "_" + std::to_string(q);
            if (lookup_env(&got, env, lc(name.c_str()), -1) != 0 || get_type(got) != kTagInteger ||
                got->integer.data != q)
              wrong[k] += " lookup " + name;
          }
          if (r % 4 == k % 4) gc_enable();
        }
      }
      close_self_interpreter();
    }));
  }
  for (auto& t : tasks) EXPECT_TRUE(t->wait(std::chrono::minutes(2))) << "a task did not finish";
  for (int k = 0; k < kTasks; ++k) EXPECT_EQ(wrong[k], "") << "task " << k;
}

// A large table gains a name and loses the one before it each round while another task
// looks both up (its cache of answers holds the absence of the first and the binding of the
// second from before): once the change is known, the new name is found and the old one is
// not, also after collections freed the old bindings.
TEST(Eval, CachedAnswersFollowNamesAddedAndRemovedMeanwhile) {
  constexpr int kRounds = 200;
  GcFrame frame("answers");
  TQISP_ENV* table = new_env(nullptr);
  gc_set(table, gc_qvlisp_env);
  for (int i = 0; i < 20; ++i) set_env(table, lc(("w" + std::to_string(i)).c_str()), tqtest::num(i));
  auto name = [](int r) { return "x" + std::to_string(r); };
  std::atomic<int> asked{0}, changed{0};
  std::string wrong;
  tqtest::Task reader([&] {
    for (int r = 1; r <= kRounds; ++r) {
      TQ_SEXP* got = nullptr;
      lookup_env(&got, table, lc(name(r).c_str()), -1);
      asked = r;
      if (!tqtest::wait_until([&] { return changed >= r; }, std::chrono::seconds(20))) return;
      if (lookup_env(&got, table, lc(name(r).c_str()), -1) != 0 || got->integer.data != r) wrong += " no " + name(r);
      if (lookup_env(&got, table, lc(name(r - 1).c_str()), -1) == 0) wrong += " old " + name(r - 1);
    }
  });
  for (int r = 1; r <= kRounds; ++r) {
    ASSERT_TRUE(tqtest::wait_until([&] { return asked >= r; }, std::chrono::seconds(20))) << "round " << r;
    set_env(table, lc(name(r).c_str()), tqtest::num(r));
    del_env(table, lc(name(r - 1).c_str()));
    if (r % 16 == 0) gc_enable();
    changed = r;
  }
  EXPECT_TRUE(reader.wait(std::chrono::minutes(1))) << "the reader did not finish";
  EXPECT_EQ(wrong, "");
}

// One task installs and clears a table's undefined-name handler while another looks for it:
// the search finds the handler or none, never a cleared one half read.
TEST(Eval, AHandlerClearedMeanwhileIsFoundWholeOrNotAtAll) {
  GcFrame frame("handler");
  TQISP_ENV* env = new_env(nullptr);
  gc_set(env, gc_qvlisp_env);
  TQ_SEXP* handler = tqtest::num(9);
  gc_set(handler, gc_qv_sexp);
  std::atomic<bool> done{false};
  tqtest::Task toggler([&] {
    for (int i = 0; i < 20000; ++i) {
      set_default_env(env, handler);
      del_default_env(env);
    }
    done = true;
  });
  int wrong = 0;
  for (long spins = 0; !done && spins < 100000000; ++spins) {
    TQ_SEXP* got = nullptr;
    if (_eval_default_symbol(&got, env) == 0 && got != handler) ++wrong;
  }
  EXPECT_TRUE(toggler.wait(std::chrono::minutes(1))) << "the toggling task did not finish";
  EXPECT_EQ(wrong, 0);
}

TEST(Eval, SetLineFixFixesTheLineOfTheFormsReader) {
  GcFrame frame("line");
  set_env(qvlisp_top_env1, lc("set-line-fix"), get_func_prim(set_line_fix, 0, nullptr, 2, 2));
  TQ_SEXP* root = read_text("^(set-line-fix 41)\n^(list 1)\n^(set-line-fix \"x\")");
  TQ_SEXP* first = car(root);
  EXPECT_EQ(eval(qvlisp_top_env1, first), nullptr);
  TQ_FILE* f = first->h.file;
  EXPECT_TRUE(f->flags & kRfLineFixed);
  // Line ends no longer count: the next forms read on the fixed line.
  EXPECT_EQ(car(cdr(root))->h.line, 41);
  TQ_SEXP* e = eval(qvlisp_top_env1, car(cdr(cdr(root))));
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_TYPE);
  EXPECT_EQ(tqtest::text(e->error.func), "set-line-fix");
}

TEST(SaveWord, WritesPrintedValuesOrRawBytesWithTheTranslatedFlags) {
  tqtest::TempDir dir;
  std::string path = dir.file("out");
  auto save = [&](const std::string& flags, const char* format, const char* data) {
    std::string src = "^(save \"" + path + "\" " + flags + " 420 \"" + format + "\" " + data + ")";
    return run(src.c_str());
  };
  EXPECT_EQ(save("1536", "qvlisp", "(list 1 \"two\" (list 'three))"), "()");
  EXPECT_EQ(tqtest::read_file(path), "1\n^\"two\"\n(three)\n");
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
  // Append (0x8) keeps what is there; exclusive (0x800) refuses an existing file.
  EXPECT_EQ(save("8", "qvlisp", "(list 4)"), "()");
  EXPECT_EQ(tqtest::read_file(path), "1\n^\"two\"\n(three)\n4\n");
  EXPECT_EQ(save("2560", "qvlisp", "(list 5)").substr(0, 16), "error 0x80040a06");
  // A failing data expression or a bad raw element leaves the old content; a missing file is
  // still created, since it is opened before the data is evaluated.
  EXPECT_EQ(save("1536", "qvlisp", "(car ())"), "error 0x80030806 car (\"type missmatch in parameter\")");
  EXPECT_EQ(save("1536", "raw", "(list \"x\")"), "error 0x80030806 save (\"save:type missmatch\" 6)");
  EXPECT_EQ(tqtest::read_file(path), "1\n^\"two\"\n(three)\n4\n");
  path = dir.file("new");
  EXPECT_EQ(save("1536", "qvlisp", "(car ())").substr(0, 16), "error 0x80030806");
  EXPECT_EQ(tqtest::read_file(path), "");
}

TEST(SaveWord, RawCellsAreWrittenWholeAndKeepTheirBytes) {
  tqtest::TempDir dir;
  GcFrame frame("raw");
  const char bytes[] = "ab\0cd";
  set_env(qvlisp_top_env1, lc("r1"), get_raw(bytes, 5));
  set_env(qvlisp_top_env1, lc("r2"), get_raw("xyz", 3));
  std::string src = "^(save \"" + dir.file("raw") + "\" 1536 420 \"raw\" (list r1 r2))";
  EXPECT_EQ(run(src.c_str()), "()");
  EXPECT_EQ(tqtest::read_file(dir.file("raw")), std::string("ab\0cdxyz", 8));
  // The cells still hold their bytes: printing them again is safe and whole.
  EXPECT_EQ(run("^r1"), std::string("#5#ab\0cd", 8));
}

TEST(SaveWord, OpenFlagsOfTheOriginalPlatformMapByMeaning) {
  EXPECT_EQ(save_open_flags(0), O_RDWR);
  EXPECT_EQ(save_open_flags(0x200 | 0x400), O_RDWR | O_CREAT | O_TRUNC);
  EXPECT_EQ(save_open_flags(0x8 | 0x800 | 0x4), O_RDWR | O_APPEND | O_EXCL | O_NONBLOCK);
  EXPECT_EQ(save_open_flags(0x1 | 0x2 | 0x10000), O_RDWR) << "other bits are dropped";
}

// Children of every thread of this process, from /proc.
int child_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string c = tqtest::read_file(std::string("/proc/self/task/") + e->d_name + "/children");
      for (char ch : c) n += ch == ' ';
    }
    closedir(d);
  }
  return n;
}

TEST(ShellWord, ReturnsAtOnceAndLeavesNoChildOrDescriptor) {
  // The program ignores SIGCHLD without keeping zombies (test programs restore the default
  // to wait for their own children): run the word under the program's disposition.
  struct sigaction ign{}, old{};
  ign.sa_handler = SIG_IGN;
  ign.sa_flags = SA_NOCLDWAIT;
  sigaction(SIGCHLD, &ign, &old);
  tqtest::TempDir dir;
  const int fds = tqtest::open_fd_count();
  // The command ends only after the test has seen the word return and has said "go" (or,
  // should the word wait for it, once the watchdog has ended this program), so no scheduling
  // can reorder them: a time of its own would run out first on a loaded machine.
  const std::string go = dir.file("go"), done = dir.file("done");
  const std::string script = dir.file("cmd.sh");
  tqtest::write_file(script, "while [ ! -e '" + go + "' ] && kill -0 " + std::to_string(getpid()) + " 2>/dev/null; do sleep 0.02; done; touch '" + done + "'\n");
  std::string src = "^(shell \"sh '\" \"" + script + "'\")";
  EXPECT_EQ(run(src.c_str()), "()");
  EXPECT_NE(access(done.c_str(), F_OK), 0) << "shell waited for its command";
  tqtest::write_file(go, "");
  ASSERT_TRUE(tqtest::wait_until([&] { return access(done.c_str(), F_OK) == 0; })) << "the command never ran";
  // The runtime's own threads may hold a descriptor for a moment (at either count): a
  // leaked one stays.
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << tqtest::open_fd_count() << " > " << fds;
  // No zombie: this process has no child left once the command has ended.
  EXPECT_TRUE(tqtest::wait_until([] { return child_count() == 0; }));
  sigaction(SIGCHLD, &old, nullptr);
}

TEST(WaitWord, SleepsTheGivenSeconds) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run("^(wait 1)"), "()");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
}

}  // namespace
