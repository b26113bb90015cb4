// Regular expressions against POSIX: matching with parse_dfa_str against regexec (extended
// syntax, no sub-matches, anchored as ^(p)$) on the same patterns and texts, compilation
// outside the timed loops, bytes per second counting the text matched; and compiling with
// get_fa against regcomp.
#include <benchmark/benchmark.h>
#include <regex.h>

#include <random>
#include <string>
#include <vector>

#include "text/regex.h"

namespace {

struct Case {
  const char* pattern;
  std::vector<std::string> texts;
};

std::string random_word(std::mt19937& rng, int min, int max) {
  std::string s;
  for (int n = min + int(rng() % unsigned(max - min + 1)); n > 0; n--) s += char('a' + rng() % 26);
  return s;
}

// Texts of about 60 characters, most matching their pattern, some failing late.
Case make_case(int which) {
  std::mt19937 rng(42 + which);
  Case c;
  for (int i = 0; i < 1000; i++) {
    std::string t;
    switch (which) {
      case 0:
        c.pattern = "[a-z]+@[a-z]+(\\.[a-z]+)+";
        t = random_word(rng, 8, 20) + "@" + random_word(rng, 8, 20) + "." + random_word(rng, 2, 10) + "." +
            random_word(rng, 2, 3);
        if (i % 4 == 0) t += "!";
        break;
      case 1:
        c.pattern = "(GET|POST|HEAD) (/[a-z0-9]+)+\\.(html|txt|gif) HTTP/1\\.[01]";
        t = std::string(i % 3 ? "GET" : "POST") + " /" + random_word(rng, 5, 10) + "/" + random_word(rng, 5, 12) +
            "/" + random_word(rng, 3, 8) + (i % 5 ? ".html" : ".htm") + " HTTP/1.1";
        break;
      default:
        c.pattern = ".*(ab|cd)+.*z";
        t = random_word(rng, 50, 70) + (i % 2 ? "z" : "y");
        break;
    }
    c.texts.push_back(t);
  }
  return c;
}

std::vector<tq::L_CHAR> to_l(const std::string& s) {
  std::vector<tq::L_CHAR> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

void BM_Regex_Tq(benchmark::State& state) {
  Case c = make_case(int(state.range(0)));
  tq::AUTOMATON* a = tq::get_fa(to_l(c.pattern).data());
  std::vector<std::vector<tq::L_CHAR>> texts;
  size_t bytes = 0;
  for (auto& t : c.texts) {
    texts.push_back(to_l(t));
    bytes += t.size();
  }
  int matched = 0;
  for (auto _ : state) {
    for (auto& t : texts) matched += tq::parse_dfa_str(nullptr, nullptr, a, t.data(), 0) >= 0;
  }
  benchmark::DoNotOptimize(matched);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  state.SetLabel(c.pattern);
  tq::free_automaton(a);
}

void BM_Regex_Regexec(benchmark::State& state) {
  Case c = make_case(int(state.range(0)));
  regex_t re;
  if (regcomp(&re, ("^(" + std::string(c.pattern) + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
    state.SkipWithError("regcomp failed");
    return;
  }
  size_t bytes = 0;
  for (auto& t : c.texts) bytes += t.size();
  int matched = 0;
  for (auto _ : state) {
    for (auto& t : c.texts) matched += regexec(&re, t.c_str(), 0, nullptr, 0) == 0;
  }
  benchmark::DoNotOptimize(matched);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  state.SetLabel(c.pattern);
  regfree(&re);
}

// Compiling only: the three patterns above, then a literal of 2000 characters (its cost
// once grew with about the 2.5th power of the length).
std::string compile_pattern(int which) {
  if (which < 3) return make_case(which).pattern;
  std::string lit;
  for (int i = 0; i < 2000; i++) lit += char('a' + (i * 7 + i / 26) % 26);
  return lit;
}

void BM_Regex_Compile_Tq(benchmark::State& state) {
  const std::string pattern = compile_pattern(int(state.range(0)));
  auto p = to_l(pattern);
  for (auto _ : state) tq::free_automaton(tq::get_fa(p.data()));
  state.SetLabel(pattern.size() > 60 ? "literal of " + std::to_string(pattern.size()) : pattern);
}

void BM_Regex_Compile_Regcomp(benchmark::State& state) {
  const std::string pattern = compile_pattern(int(state.range(0)));
  std::string p = "^(" + pattern + ")$";
  for (auto _ : state) {
    regex_t re;
    if (regcomp(&re, p.c_str(), REG_EXTENDED | REG_NOSUB) == 0) regfree(&re);
  }
  state.SetLabel(pattern.size() > 60 ? "literal of " + std::to_string(pattern.size()) : pattern);
}

BENCHMARK(BM_Regex_Tq)->DenseRange(0, 2);
BENCHMARK(BM_Regex_Regexec)->DenseRange(0, 2);
BENCHMARK(BM_Regex_Compile_Tq)->DenseRange(0, 3);
BENCHMARK(BM_Regex_Compile_Regcomp)->DenseRange(0, 3);

}  // namespace
