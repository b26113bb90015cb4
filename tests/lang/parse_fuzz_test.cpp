// Hostile input: random bytes and mutations of well-formed texts, each read to the end of
// its root list in every reader mode. The reader must realise every cell, leave no pending
// entry and no nesting count behind, and never crash, trip a sanitizer or leak. A short run
// is part of the suite; the long run is opt-in:
//   TQ_READER_FUZZ=1000000 test_lang --gtest_also_run_disabled_tests --gtest_filter='*ReaderFuzz*Long*'
// (TQ_READER_FUZZ_SEED picks another seed; TQ_READER_FUZZ_TRACE writes each input first).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "reader_test_util.h"

namespace {

using namespace tq;

// Well-formed and broken texts covering every syntax item; mutations start from these.
const char* const kCorpus[] = {
    "(a (b c) () 'd \"e\\n\" 12mm 1.5cm 0x1F 017 -0x10 #3#abc)",
    "<a x=\"1\" y z=w \"q\">text &lt;&amp;&quot;&#65;&#x41;&C65;&cx41; <b/></a>",
    "<?x a=\"1\" ?><!DOCTYPE x !><[ ]><![CDATA[a<b]]><!-- c -->",
    "([s k=\"v\"] ^[t a=\"1\"] %E ^%E (\"s\" \"f\" 1 \"g\" 0x80020301 (\"too many )\")))",
    "hello world 12 3.5 12px 1.2.3 4294967296 ^sym ^(x)",
    "(a ; comment\n b) ^) (a (b </c> <d>x</e> \"unterminated\n",
    "<br><p class=x>t<img src=\"i\"></p>",
    "&cxdfff0002;(\"\xc3\xa9\") &cxdfff0005;abc \x03 (x \x03 y)",
    "<a /x> <a x=> <?x?> 12m/ (#zz#) (#7fffffff#",
    "(%E (\"s\" \"f\" 4 \"g\" 5 (a \x03)))",
};

const char kAlphabet[] = "()<>/\"'#;&^[]=!?-x0123456789 \n\tabE%\\.+:CDAT\x03\x0b\x0c\x0e";

std::string random_bytes(std::mt19937_64& rng) {
  std::string s(rng() % 160, '\0');
  for (char& c : s)
    c = (rng() % 4) ? kAlphabet[rng() % (sizeof kAlphabet - 1)] : char(rng() & 0xFF);
  return s;
}

std::string mutate(std::mt19937_64& rng) {
  std::string s = kCorpus[rng() % (sizeof kCorpus / sizeof kCorpus[0])];
  for (int n = 1 + int(rng() % 4); n > 0; --n) {
    const size_t at = s.empty() ? 0 : rng() % s.size();
    switch (rng() % 5) {
      case 0: s.insert(at, 1, kAlphabet[rng() % (sizeof kAlphabet - 1)]); break;
      case 1: s.erase(at, rng() % 8); break;
      case 2: s.insert(at, s.substr(rng() % (s.size() + 1), rng() % 24)); break;
      case 3:
        if (!s.empty()) s[at] = char(rng() & 0xFF);
        break;
      default: s = s.substr(0, at); break;  // cut short
    }
  }
  return s;
}

// Reads src to the end of its root list, every cell realised (without recursion).
void read_all(const std::string& src, int flags) {
  GcFrame frame("fuzz");
  TQ_SEXP* root = tqtest::read_text(src.data(), flags, int(src.size()));
  TQ_FILE* f = root->h.file;
  std::vector<TQ_SEXP*> todo{root};
  while (!todo.empty()) {
    TQ_SEXP* s = todo.back();
    todo.pop_back();
    if (get_type(s) != kTagPair) continue;
    todo.push_back(s->pair.cdr);
    todo.push_back(s->pair.car);
  }
  ASSERT_EQ(f->stack, nullptr) << "cells left pending after: " << src;
  ASSERT_EQ(nest_depth(), 0) << src;
}

void run(uint64_t seed, long count) {
  std::mt19937_64 rng(seed);
  const int modes[] = {0, kRfHtml, kRfTextMode, kRfHtml | kRfTextMode};
  const bool trace = std::getenv("TQ_READER_FUZZ_TRACE");  // each input before it is read
  for (long i = 0; i < count; ++i) {
    const std::string src = (i & 1) ? mutate(rng) : random_bytes(rng);
    const int mode = modes[rng() % 4];
    if (trace) std::fprintf(stderr, "--- mode %d, %zu bytes:\n%s\n", mode, src.size(), src.c_str());
    read_all(src, mode);
    if (testing::Test::HasFatalFailure()) return;
    if (i % 2000 == 1999) gc_enable();  // closes readers left open by a stray 0 byte
  }
  gc_enable();
}

long env_count(long fallback) {
  const char* v = std::getenv("TQ_READER_FUZZ");
  return v ? std::atol(v) : fallback;
}

TEST(ReaderFuzz, Short) { run(20240601, 10000); }

TEST(ReaderFuzz, DISABLED_Long) {
  const char* seed = std::getenv("TQ_READER_FUZZ_SEED");
  run(seed ? std::strtoull(seed, nullptr, 0) : 7, env_count(1000000));
}

}  // namespace
