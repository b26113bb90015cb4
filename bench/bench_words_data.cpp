// peers: guile
// The data words against the same work in Guile 3's interpreter (--no-auto-compile): Sort of
// 10^5 integers with the subtraction primitive against (sort l <); Sort of 10^5 strings with
// a compare lambda against sort with a string<? lambda; ReplaceString over a 1 MB string
// against a string-contains loop; RegCmp over 10^5 lines, one call of the word per line,
// against regexp-exec of a pattern compiled once (anchored, as RegCmp matches whole lines);
// a word count of 5 MB of text, "Load" cutting it into words at blanks and line ends and a
// table (an environment, "EA" and "SetEA") counting each word, against read-delimited and a
// hash table. Both sides draw their inputs from one generator outside the timed part (the
// word count's text is one file both read): Guile's time is its program with the work less
// the same program without it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "entry/start.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "stream/string_stream.h"
#include "support/guile_peer.h"
#include "support/peer_pair.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "text/l_string.h"

namespace {

const int kItems = benchsupport::sized(100000, 100);
const int kTextChars = benchsupport::sized(1000000, 1000);
const std::string kItemsText = std::to_string(kItems);
const char* const kPattern = "[a-z]+@[a-z]+(\\.[a-z]+)+";

// The generator both sides use: x = (x * 1103515245 + 12345) mod 2^31 from 42; a draw
// of n choices takes (x >> 16) mod n.
struct Lcg {
  uint64_t x = 42;
  int next(int n) {
    x = (x * 1103515245 + 12345) % 2147483648u;
    return int((x >> 16) % uint64_t(n));
  }
};
const char* const kSchemeLcg =
    "(define x 42)"
    "(define (draw n) (set! x (modulo (+ (* x 1103515245) 12345) 2147483648)) (modulo (quotient x 65536) n))"
    "(define (word k) (let loop ((i 0) (acc '())) (if (= i k) (list->string acc)"
    " (loop (+ i 1) (cons (integer->char (+ 97 (draw 26))) acc)))))"
    "(define (build n f) (let loop ((i 0) (acc '())) (if (= i n) acc (loop (+ i 1) (cons (f i) acc)))))\n";

std::string word(Lcg& g, int k) {
  std::string w;
  for (int i = 0; i < k; ++i) w += char('a' + g.next(26));
  return w;
}
// A line like name@host.dom.com; every fourth one ends in "!" and does not match.
std::string line(Lcg& g, int i) {
  std::string l = word(g, 5 + g.next(8)) + "@" + word(g, 4 + g.next(6));
  for (int parts = 1 + g.next(2); parts > 0; --parts) l += "." + word(g, 2 + g.next(2));
  return i % 4 == 3 ? l + "!" : l;
}
const char* const kSchemeLine =
    "(define (line i) (let* ((a (word (+ 5 (draw 8)))) (b (word (+ 4 (draw 6))))"
    " (l (let loop ((p (+ 1 (draw 2))) (s (string-append a \"@\" b)))"
    " (if (= p 0) s (loop (- p 1) (string-append s \".\" (word (+ 2 (draw 2)))))))))"
    " (if (= (modulo i 4) 3) (string-append l \"!\") l)))\n";

// The word count's text: words of 2 to 10 letters from a vocabulary of 10^4, every other one
// from its first 100 (text repeats its common words), twelve to a line, until 5 MB.
const int kCountBytes = benchsupport::sized(5 << 20, 5 << 10);
std::string count_file;  // once written
struct CountText {
  std::string path;
  int64_t words = 0;
};
const CountText& count_text() {
  static const CountText t = [] {
    Lcg g;
    std::vector<std::string> vocabulary;
    for (int i = 0; i < 10000; ++i) vocabulary.push_back(word(g, 2 + g.next(9)));
    CountText c;
    c.path = benchsupport::tmp_file("bench_words_data_", ".txt");
    std::string text;
    while (text.size() < size_t(kCountBytes)) {
      text += vocabulary[size_t(g.next(2) ? g.next(100) : g.next(10000))];
      text += ++c.words % 12 ? ' ' : '\n';
    }
    FILE* f = std::fopen(c.path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    count_file = c.path;
    return c;
  }();
  return t;
}

tq::TQ_SEXP* lstring(const std::string& s) { return tq::get_string(tq::_l_string_1(tq::std_cm, s.c_str())); }

void start_words() {
  static bool started = (tq::minimum_matrix_init(0, nullptr), tq::setup_self_interpreter(), true);
  (void)started;
}

// Binds name in the inner top environment to the list of the cells f(0) .. f(n-1).
template <typename F>
void bind_list(const char* name, int n, F f) {
  tq::GcFrame frame("bench_words_data");
  tq::TQ_SEXP* l = nullptr;
  for (int i = 0; i < n; ++i) l = tq::cons(f(i), l);
  tq::set_env(tq::qvlisp_top_env1, tq::_l_string_1(tq::std_cm, name), l);
}

void bind_inputs() {
  static bool bound = false;
  if (bound) return;
  bound = true;
  Lcg g;
  bind_list("ints", kItems, [&](int) {
    const int64_t high = g.next(1 << 15);
    return tq::get_integer(high * 65536 + g.next(65536), nullptr);
  });
  bind_list("strs", kItems, [&](int) { return lstring(word(g, 8)); });
  bind_list("lines", kItems, [&](int i) { return lstring(line(g, i)); });
  std::string text;
  for (int i = 0; i < kTextChars; ++i) text += "abcd"[g.next(4)];
  tq::GcFrame frame("bench_words_data");
  tq::set_env(tq::qvlisp_top_env1, tq::_l_string_1(tq::std_cm, "text"), lstring(text));
}

// The first form of src, read once.
tq::TQ_SEXP* form_of(const std::string& src) {
  tq::STREAM* st = tq::s_open_string_read(src.c_str(), tq::std_cm, int(src.size()), 1);
  tq::TQ_SEXP* root = tq::init_parse(st, tq::_l_string_1(tq::std_cm, "bench"), nullptr);
  tq::gc_set(root, tq::gc_qv_sexp);
  return tq::get_type(root) == tq::kTagPair ? root->pair.car : nullptr;
}

// A failed form ends the benchmark with an error: false then, and the caller leaves its
// loop at once (pausing the timer after the error would end the process).
bool check(benchmark::State& state, tq::TQ_SEXP* v) {
  benchmark::DoNotOptimize(v);
  if (tq::get_type(v) != tq::kTagError) return true;
  state.SkipWithError("a form failed");
  return false;
}

void run_tq_form(benchmark::State& state, const std::string& src) {
  start_words();
  bind_inputs();
  for (auto _ : state) {
    bool ok;
    {
      tq::GcFrame frame("bench_words_data");
      ok = check(state, tq::eval(tq::qvlisp_top_env1, form_of(src)));
    }
    if (!ok) break;
    state.PauseTiming();
    tq::gc_enable();
    state.ResumeTiming();
  }
}

void run_guile(benchmark::State& state, const std::string& setup, const std::string& work) {
  for (auto _ : state) {
    const double base = tqbench::guile_seconds(setup), s = tqbench::guile_seconds(setup + work);
    if (base < 0 || s < 0) {
      state.SkipWithError("guile failed");
      break;
    }
    state.SetIterationTime(std::max(0.0, s - base));
  }
}

void BM_TqSortIntegers(benchmark::State& state) { run_tq_form(state, "(Sort ints -)"); }
void BM_GuileSortIntegers(benchmark::State& state) {
  run_guile(state,
            std::string(kSchemeLcg) + "(define l (build " + kItemsText + " (lambda (i) (+ (* (draw 32768) 65536) (draw 65536)))))\n",
            "(define r (sort l <))\n");
}

void BM_TqSortStrings(benchmark::State& state) { run_tq_form(state, "(Sort strs (lambda (a b) (if (Lt a b) -1 1)))"); }
void BM_GuileSortStrings(benchmark::State& state) {
  run_guile(state, std::string(kSchemeLcg) + "(define l (build " + kItemsText + " (lambda (i) (word 8))))\n",
            "(define r (sort l (lambda (a b) (string<? a b))))\n");
}

void BM_TqReplaceString1MB(benchmark::State& state) { run_tq_form(state, "(ReplaceString text \"abc\" \"xyz\")"); }
void BM_GuileReplaceString1MB(benchmark::State& state) {
  run_guile(state,
            std::string(kSchemeLcg) +
                "(define text (list->string (build " + std::to_string(kTextChars) + " (lambda (i) (string-ref \"abcd\" (draw 4))))))\n"
                "(define (replace-all s old new) (let ((n (string-length old)))"
                " (let loop ((start 0) (acc '())) (let ((i (string-contains s old start)))"
                " (if i (loop (+ i n) (cons new (cons (substring s start i) acc)))"
                " (string-concatenate-reverse (cons (substring s start) acc)))))))\n",
            "(define r (replace-all text \"abc\" \"xyz\"))\n");
}

// One evaluation of ([RegCmp rex=...] line) per line, the loop in C.
void BM_TqRegCmpLines(benchmark::State& state) {
  start_words();
  bind_inputs();
  tq::TQ_SEXP* lines = tq::get_env_symbol(tq::qvlisp_top_env1, tq::_l_string_1(tq::std_cm, "lines"), -1);
  // A copy of its own: a temporary would be reused by the evaluations' conversions.
  tq::L_CHAR* name = nl_copy_str_1(tq::std_cm, "line");
  for (auto _ : state) {
    bool ok = true;
    {
      tq::GcFrame frame("bench_words_data");
      tq::TQ_SEXP* form = form_of(std::string("([RegCmp rex=\"") + kPattern + "\"] line)");
      for (tq::TQ_SEXP* p = lines; ok && tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) {
        tq::set_env(tq::qvlisp_top_env1, name, p->pair.car);
        ok = check(state, tq::eval(tq::qvlisp_top_env1, form));
      }
    }
    if (!ok) break;
    state.PauseTiming();
    tq::gc_enable();
    state.ResumeTiming();
  }
  d_f_ree(name);
}
void BM_GuileRegCmpLines(benchmark::State& state) {
  run_guile(state,
            std::string(kSchemeLcg) + kSchemeLine +
                "(use-modules (ice-9 regex))(define l (build " + kItemsText + " line))"
                "(define rx (make-regexp \"^[a-z]+@[a-z]+(\\\\.[a-z]+)+$\"))\n",
            "(for-each (lambda (s) (regexp-exec rx s)) l)\n");
}

void BM_TqWordCount5MB(benchmark::State& state) {
  const CountText& c = count_text();
  start_words();
  const std::string src = "(Let (Sub (t (NewEnvironment ())) (n 0) (l ([Load option=\"text\" terminate=\"[ \\n]\"] \"" +
                          c.path + "\"))) ([For dec=\"l\"] (SetEA t (car l) (+ (EA t (car l) 0) 1)) (set n (+ n 1))) n)";
  for (auto _ : state) {
    bool ok;
    {
      tq::GcFrame frame("bench_words_data");
      tq::TQ_SEXP* n = tq::eval(tq::qvlisp_top_env1, form_of(src));
      ok = tq::get_type(n) == tq::kTagInteger && n->integer.data == c.words;
    }
    if (!ok) {
      state.SkipWithError("the word count is wrong");
      break;
    }
    state.PauseTiming();
    tq::gc_enable();
    state.ResumeTiming();
  }
}
void BM_GuileWordCount5MB(benchmark::State& state) {
  run_guile(state, "(use-modules (ice-9 rdelim))(define t (make-hash-table))(define n 0)\n",
            "(call-with-input-file \"" + count_text().path +
                "\" (lambda (p) (let loop () (let ((w (read-delimited \" \\n\" p)))"
                " (if (not (eof-object? w)) (begin (hash-set! t w (+ 1 (hash-ref t w 0))) (set! n (+ n 1)) (loop)))))))"
                "(display n)\n");
}

BENCHMARK_TQ_AND_GUILE(BM_TqSortIntegers, BM_GuileSortIntegers);
BENCHMARK_TQ_AND_GUILE(BM_TqSortStrings, BM_GuileSortStrings);
BENCHMARK_TQ_AND_GUILE(BM_TqReplaceString1MB, BM_GuileReplaceString1MB);
BENCHMARK_TQ_AND_GUILE(BM_TqRegCmpLines, BM_GuileRegCmpLines);
BENCHMARK_TQ_AND_GUILE(BM_TqWordCount5MB, BM_GuileWordCount5MB);

}  // namespace

// The word count's file goes with the process.
void bench_after() {
  if (!count_file.empty()) std::remove(count_file.c_str());
}
