// Regular expressions: pattern syntax, malformed patterns, matching results and out-values,
// the automaton walk, the debug printers and matching from several tasks at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <tuple>
#include <string>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/task.h"
#include "support/test_util.h"
#include "support/watchdog.h"
#include "text/regex.h"

namespace tq {
namespace {

// ASCII text as L_CHAR (the tests use no other characters unless they build them).
std::vector<L_CHAR> L(const std::string& s) {
  std::vector<L_CHAR> v(s.begin(), s.end());
  for (auto& c : v) c &= 0xFF;
  v.push_back(0);
  return v;
}

// A pattern compiled within the test bound (a parser that loops ends the program with a message;
// a fixed few seconds failed the hostile patterns under the sanitizers on a loaded machine),
// freed at the end of the scope.
AUTOMATON* compiled(const L_CHAR* p) {
  tqtest::Watchdog bound("compiling a pattern", tqtest::test_bound());
  return get_fa(p);
}
struct Fa {
  explicit Fa(const std::string& p) : a(compiled(L(p).data())) {}
  explicit Fa(const std::vector<L_CHAR>& p) : a(compiled(p.data())) {}
  ~Fa() { free_automaton(a); }
  AUTOMATON* a;
};

struct Result {
  int r, min, max;
};
Result run(AUTOMATON* a, const std::vector<L_CHAR>& text, int min_flag = 0) {
  Result res{};
  res.r = parse_dfa_str(&res.min, &res.max, a, text.data(), min_flag);
  return res;
}
Result run(AUTOMATON* a, const std::string& text, int min_flag = 0) { return run(a, L(text), min_flag); }

bool matches(const std::string& pattern, const std::string& text) {
  Fa f(pattern);
  EXPECT_NE(f.a, nullptr) << pattern;
  return f.a && run(f.a, text).r == int(text.size());
}

TEST(Regex, RepetitionOperators) {
  Fa star("a*");
  EXPECT_EQ(run(star.a, "").r, 0);
  EXPECT_EQ(run(star.a, "aaa").r, 3);
  Fa plus("a+");
  EXPECT_EQ(run(plus.a, "").r, -1);
  EXPECT_EQ(run(plus.a, "a").r, 1);
  EXPECT_TRUE(matches("ab?c", "ac"));
  EXPECT_TRUE(matches("ab?c", "abc"));
  EXPECT_FALSE(matches("ab?c", "abbc"));
  // A postfix operator wraps only the last element...
  EXPECT_TRUE(matches("ab*", "abbb"));
  EXPECT_TRUE(matches("ab*", "a"));
  EXPECT_FALSE(matches("ab*", "abab"));
  // ...and a group is one element, also when it comes first.
  EXPECT_TRUE(matches("(ab)*", "abab"));
  EXPECT_FALSE(matches("(ab)*", "abb"));
  EXPECT_TRUE(matches("x(ab)*", "xabab"));
  EXPECT_FALSE(matches("x(ab)*", "xabb"));
  EXPECT_TRUE(matches("(ab)+c", "ababc"));
  EXPECT_FALSE(matches("(ab)+c", "c"));
}

TEST(Regex, NestedRepetitionsDoNotLeakThroughLoops) {
  // An inner loop must not reach an outer skip: each would otherwise accept a lone "a".
  EXPECT_FALSE(matches("(a*b)*", "a"));
  EXPECT_TRUE(matches("(a*b)*", "aabab"));
  EXPECT_TRUE(matches("(a*b)*", ""));
  EXPECT_FALSE(matches("(ba*)*", "a"));
  EXPECT_TRUE(matches("(ba*)*", "baab"));
  EXPECT_FALSE(matches("(a*b)?", "a"));
  EXPECT_FALSE(matches("(a*b)+", "ba"));
  EXPECT_TRUE(matches("(a*b)+", "bab"));
  EXPECT_FALSE(matches("((a|b)*c)*", "ab"));
}

TEST(Regex, AlternativeBindsLoosest) {
  EXPECT_TRUE(matches("ab|cd", "ab"));
  EXPECT_TRUE(matches("ab|cd", "cd"));
  EXPECT_FALSE(matches("ab|cd", "abd"));
  EXPECT_FALSE(matches("ab|cd", "ad"));
  EXPECT_TRUE(matches("a|b|c", "c"));
  EXPECT_TRUE(matches("x(a|bc)y", "xbcy"));
  EXPECT_FALSE(matches("x(a|bc)y", "xay "));
}

TEST(Regex, CharacterClasses) {
  EXPECT_TRUE(matches("[a-c]x", "bx"));
  EXPECT_FALSE(matches("[a-c]x", "dx"));
  // No negation: the caret is an ordinary member.
  EXPECT_TRUE(matches("[^a]", "^"));
  EXPECT_TRUE(matches("[^a]", "a"));
  EXPECT_FALSE(matches("[^a]", "b"));
  EXPECT_TRUE(matches("[-a]", "-"));
  EXPECT_TRUE(matches("[a-cx-z0]+", "az0bx"));
  // A backslash is ordinary inside a class, but still hides a "]" from the bracket count.
  EXPECT_TRUE(matches("[\\]]", "\\"));
  EXPECT_TRUE(matches("[\\]]", "]"));
  // Nested brackets are counted: the class holds "[", "a" and "]".
  EXPECT_TRUE(matches("[[a]]", "["));
  EXPECT_TRUE(matches("[[a]]", "]"));
  // A range written high to low is kept as written: it holds no character, the rest of
  // the class and the pattern still count.
  EXPECT_FALSE(matches("[z-a]", "a"));
  EXPECT_FALSE(matches("[z-a]", "m"));
  EXPECT_FALSE(matches("[z-a]", "z"));
  EXPECT_TRUE(matches("[z-ab]", "b"));
  EXPECT_FALSE(matches("[z-ab]", "z"));
  EXPECT_TRUE(matches("x|[z-a]", "x"));
}

TEST(Regex, EscapesAndOrdinaryCharacters) {
  EXPECT_TRUE(matches("\\t", "\t"));
  EXPECT_TRUE(matches("\\n\\r", "\n\r"));
  EXPECT_TRUE(matches("a\\.b", "a.b"));
  EXPECT_FALSE(matches("a\\.b", "axb"));
  EXPECT_TRUE(matches("a\\|b", "a|b"));
  EXPECT_TRUE(matches("\\(x\\)", "(x)"));
  EXPECT_TRUE(matches("*a", "*a"));  // an operator with nothing before it is a character
  EXPECT_TRUE(matches("+", "+"));
  EXPECT_TRUE(matches("(?)", "?"));
  EXPECT_TRUE(matches("a)", "a)"));
  EXPECT_TRUE(matches("a]", "a]"));
  EXPECT_TRUE(matches("^$", "^$"));
  EXPECT_TRUE(matches("(\\))", ")"));
}

TEST(Regex, DotCoversTextButNotControlsOrMethodMarks) {
  Fa dot(".");
  auto one = [&](L_CHAR c) { return run(dot.a, std::vector<L_CHAR>{c, 0}).r == 1; };
  EXPECT_TRUE(one(' '));
  EXPECT_TRUE(one('~'));
  EXPECT_TRUE(one(0x3042));
  EXPECT_TRUE(one(0x7FFFFFFF));
  EXPECT_TRUE(one(0x80000000));
  EXPECT_TRUE(one(0xDFFEFFFF));
  EXPECT_TRUE(one(0xE0000000));
  EXPECT_TRUE(one(0xFFFFFFFF));
  EXPECT_FALSE(one('\n'));
  EXPECT_FALSE(one(31));
  EXPECT_FALSE(one(0xDFFF0000));
  EXPECT_FALSE(one(0xDFFF0309));
  EXPECT_FALSE(one(0xDFFFFFFF));
}

TEST(Regex, LargeCharactersInPatterns) {
  std::vector<L_CHAR> p{'[', 0x3041, '-', 0x3093, ']', '+', 0};
  Fa f(p);
  ASSERT_NE(f.a, nullptr);
  EXPECT_EQ(run(f.a, std::vector<L_CHAR>{0x3042, 0x3093, 0}).r, 2);
  EXPECT_EQ(run(f.a, std::vector<L_CHAR>{0x3042, 0x30A2, 0}).r, -1);
}

TEST(Regex, MalformedPatternsYieldNull) {
  for (const char* p : {"", "\\", "ab\\", "a|", "|a", "a||b", "(ab", "a(b|)", "[ab", "[a-]", "[]", "x[]y",
                        "()", "ab()c", "(()a)"}) {
    Fa f(p);
    EXPECT_EQ(f.a, nullptr) << '"' << p << '"';
  }
  EXPECT_EQ(get_fa(nullptr), nullptr);
}

TEST(Regex, MatchResultsAndOutValues) {
  Fa f("a+");
  Result r = run(f.a, "aaab", 1);
  EXPECT_EQ(r.r, 1);
  r = run(f.a, "aaab");
  EXPECT_EQ(r.r, -1);
  EXPECT_EQ(r.min, 1);
  EXPECT_EQ(r.max, 3);
  r = run(f.a, "aaa");
  EXPECT_EQ(r.r, 3);
  EXPECT_EQ(r.min, 1);
  EXPECT_EQ(r.max, 3);
  r = run(f.a, "baa");
  EXPECT_EQ(r.r, -1);
  EXPECT_EQ(r.min, -1);
  EXPECT_EQ(r.max, -1);
  // The shortest prefix may be the empty one; the walk stops where no transition goes on.
  Fa g("(ab)*");
  r = run(g.a, "ababx");
  EXPECT_EQ(r.r, -1);
  EXPECT_EQ(r.min, 0);
  EXPECT_EQ(r.max, 4);
  EXPECT_EQ(run(g.a, "abab", 1).r, 0);
  // With the flag and a match only at the end, the whole length comes back.
  Fa h("abc");
  EXPECT_EQ(run(h.a, "abc", 1).r, 3);
  EXPECT_EQ(run(h.a, "ab", 1).r, -1);
  // Null out-pointers are allowed.
  EXPECT_EQ(parse_dfa_str(nullptr, nullptr, h.a, L("abc").data(), 0), 3);
}

TEST(Regex, AutomatonWalk) {
  Fa f("a(b|c)");
  A_STATE* s = search_state(f.a, AS_INITIAL);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->flags & AS_ACCEPT);
  EXPECT_EQ(get_next_state(s, 'b'), nullptr);
  s = get_next_state(s, 'a');
  ASSERT_NE(s, nullptr);
  A_STATE* t = get_next_state(s, 'c');
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->flags & AS_ACCEPT);
  A_STATE* u = get_next_state(s, 'b');
  ASSERT_NE(u, nullptr);
  EXPECT_TRUE(u->flags & AS_ACCEPT);
  EXPECT_EQ(u->table_size, 0);  // nothing follows a complete match
  A_STATE* acc = search_state(f.a, AS_ACCEPT);
  EXPECT_TRUE(acc == t || acc == u);
  free_automaton(nullptr);
}

TEST(Regex, InputIntervalsCutAtEveryBoundary) {
  A_TREE* tree = make_a_tree(L("[b-d]|x").data());
  ASSERT_NE(tree, nullptr);
  AUTOMATON* nfa = make_nfa(tree);
  free_a_tree(tree);
  a_input* in = get_input_list(nfa);
  testing::internal::CaptureStdout();
  print_input(in);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "(1-61)(62-64)(65-77)(78-78)(79-ffffffff)\n");
  EXPECT_EQ(get_from(nfa, 0x70), 0x65u);
  EXPECT_EQ(get_from(nfa, 0x61), 1u);
  free_input_list(in);
  free_automaton(nfa);
}

// The building blocks on records: the deterministic automaton of a nondeterministic one
// keeps, for each state, the set it stands for, in the list order of the other.
TEST(Regex, DeterministicAutomatonFromRecords) {
  A_TREE* tree = make_a_tree(L("a(b|c)*d").data());
  AUTOMATON* nfa = make_nfa(tree);
  free_a_tree(tree);
  ASSERT_NE(nfa, nullptr);
  AUTOMATON* dfa = get_dfa(nfa);
  ASSERT_NE(dfa, nullptr);
  std::vector<A_STATE*> order;
  for (A_STATE* s = nfa->state_list; s; s = s->next) order.push_back(s);
  auto position = [&](A_STATE* s) { return std::find(order.begin(), order.end(), s) - order.begin(); };
  A_STATE* nfa_accept = search_state(nfa, AS_ACCEPT);
  for (A_STATE* d = dfa->state_list; d; d = d->next) {
    ASSERT_NE(d->state_set, nullptr);
    bool holds_accept = false;
    long last = -1;
    for (A_STATE_SET* x = d->state_set; x; x = x->next) {
      const long at = position(x->state);
      ASSERT_LT(at, long(order.size())) << "a member that is no state of the automaton";
      EXPECT_GT(at, last) << "members in list order";
      last = at;
      holds_accept |= x->state == nfa_accept;
    }
    EXPECT_EQ(bool(d->flags & AS_ACCEPT), holds_accept);
  }
  // The initial state stands for the closure of the other's initial state.
  A_STATE_SET start{search_state(nfa, AS_INITIAL), nullptr};
  A_STATE_SET* closure = get_empty_closure(nfa, &start);
  EXPECT_EQ(exist_check(dfa, closure), search_state(dfa, AS_INITIAL));
  free_state_set(closure);
  Fa compiled("a(b|c)*d");
  for (const char* t : {"ad", "abcbd", "abd", "a", "acx", "d"}) {
    const Result x = run(dfa, t), y = run(compiled.a, t);
    EXPECT_EQ(std::make_tuple(x.r, x.min, x.max), std::make_tuple(y.r, y.min, y.max)) << t;
  }
  free_automaton(dfa);
  free_automaton(nfa);
}

TEST(Regex, TreePrinter) {
  A_TREE* tree = make_a_tree(L("ab|c*").data());
  testing::internal::CaptureStdout();
  print_a_tree(tree);
  print_a_tree(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "(([a(61)-a(61)][b(62)-b(62)])|([c(63)-c(63)])*).");
  free_a_tree(tree);
}

TEST(Regex, AutomatonPrinterFrame) {
  Fa f("a");
  testing::internal::CaptureStdout();
  print_automaton(f.a);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("AUTOMATON\n", 0), 0u);
  EXPECT_NE(out.find("('a'(61)-'a'(61) : "), std::string::npos);
  EXPECT_TRUE(out.size() >= 14 && out.compare(out.size() - 14, 14, "AUTOMATON END\n") == 0);
}

// Patterns from scripts and peers may be built to hurt: none may exhaust the stack, and an
// automaton past its bounds is refused as malformed, never built at any cost.
TEST(Regex, HostilePatternsCompileOrAreRefusedCleanly) {
  auto text = [](const std::string& s, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; i++) out += s;
    return out;
  };
  {  // 100 000 alternatives
    Fa f(text("a|", 99999) + "a");
    ASSERT_NE(f.a, nullptr);
    EXPECT_EQ(run(f.a, "a").r, 1);
    EXPECT_EQ(run(f.a, "aa").r, -1);
    Fa g("x(" + text("ab|", 99999) + "cd)y");
    ASSERT_NE(g.a, nullptr);
    EXPECT_EQ(run(g.a, "xcdy").r, 4);
    EXPECT_EQ(run(g.a, "xaby").r, 4);
    EXPECT_EQ(run(g.a, "xacy").r, -1);
  }
  {  // 50 000 nested groups, bare and each repeated
    Fa f(text("(", 50000) + "a" + text(")", 50000));
    ASSERT_NE(f.a, nullptr);
    EXPECT_EQ(run(f.a, "a").r, 1);
    Fa g(text("(", 50000) + "a" + text(")*", 50000));
    ASSERT_NE(g.a, nullptr);
    EXPECT_EQ(run(g.a, "aaaa").r, 4);
    EXPECT_EQ(run(g.a, "ab").r, -1);
    A_TREE* t = make_a_tree(L(text("(", 50000) + "b" + text(")+", 50000)).data());
    ASSERT_NE(t, nullptr);
    AUTOMATON* n = make_nfa(t);  // no recursion over the tree's depth either
    ASSERT_NE(n, nullptr);
    free_automaton(n);
    free_a_tree(t);
  }
  {  // a 5000-character literal, and 1000 distinct characters above 255
    std::string lit;
    for (int i = 0; i < 5000; i++) lit += char('a' + (i * 7 + i / 26) % 26);
    Fa f(lit);
    ASSERT_NE(f.a, nullptr);
    EXPECT_EQ(run(f.a, lit).r, 5000);
    std::string other = lit;
    other[4321] = other[4321] == 'a' ? 'b' : 'a';
    EXPECT_EQ(run(f.a, other).r, -1);
    std::vector<L_CHAR> w;
    for (L_CHAR c = 0x4E00; c < 0x4E00 + 1000; c++) w.push_back(c);
    w.push_back(0);
    Fa g(w);
    ASSERT_NE(g.a, nullptr);
    EXPECT_EQ(run(g.a, w).r, 1000);
  }
  {  // deterministic states doubling with every group: refused past the bound
    auto tail = [&](int groups) { return "(a|b)*a" + text("(a|b)", size_t(groups)); };
    Fa big(tail(14));  // 2^15 states
    EXPECT_EQ(big.a, nullptr);
    Fa small(tail(6));  // 128 states: the 7th character from the end is an "a"
    ASSERT_NE(small.a, nullptr);
    EXPECT_EQ(run(small.a, "abbbbbb").r, 7);
    EXPECT_EQ(run(small.a, "bbbbbbb").r, -1);
    EXPECT_EQ(run(small.a, "aabbbbbb").r, 8);
    EXPECT_EQ(run(small.a, "abbbbbbb").r, -1);
  }
  {  // few states, but each a set of thousands: the construction gives up, within its bound
    Fa big(text(".*x", 1000));
    EXPECT_EQ(big.a, nullptr);
    Fa small(text(".*x", 50));
    ASSERT_NE(small.a, nullptr);
    EXPECT_EQ(run(small.a, text("ax", 50)).r, 100);
    EXPECT_EQ(run(small.a, text("ax", 49)).r, -1);
  }
  {  // a record whose one transition is written over 256 nested ranges: however many of
     // them reach it, each range leads to the one target, closed once (its closure of
     // 20 000 states, closed for each count of transitions, would pass the bound)
    AUTOMATON* nfa = new_automaton();
    A_STATE* t = new_state(nfa);
    t->flags = AS_ACCEPT;
    for (int i = 0; i < 20000; i++) {
      A_STATE* s = new_state(nfa);
      set_goto(s, 0, 0, t);
      t = s;
    }
    A_STATE* start = new_state(nfa);
    start->flags = AS_INITIAL;
    for (L_CHAR i = 0; i < 256; i++) set_goto(start, 0x100, 0x100 + i, t);
    AUTOMATON* dfa = get_dfa(nfa);
    ASSERT_NE(dfa, nullptr);
    EXPECT_EQ(run(dfa, std::vector<L_CHAR>{0x1FF, 0}).r, 1);
    EXPECT_EQ(run(dfa, std::vector<L_CHAR>{0x200, 0}).r, -1);
    free_automaton(dfa);
    free_automaton(nfa);
  }
  {  // nested one-or-more no longer doubles the automaton at each level
    Fa f(text("(", 40) + "ab" + text(")+", 40));
    ASSERT_NE(f.a, nullptr);
    EXPECT_EQ(run(f.a, "ababab").r, 6);
  }
  std::vector<L_CHAR> huge(size_t(kRegexMaxLength) + 2, 'a');
  huge.back() = 0;
  EXPECT_EQ(get_fa(huge.data()), nullptr) << "longer than any pattern we take";
}

// Several tasks match one automaton at once; each must see its own results.
TEST(Regex, SharedAutomatonAcrossTasks) {
  Fa f("[a-z]+@[a-z]+(\\.[a-z]+)+");
  ASSERT_NE(f.a, nullptr);
  struct Job {
    AUTOMATON* a;
    std::atomic<int> done{0};
    std::atomic<int> wrong{0};
  } job{f.a};
  constexpr int kTasks = 4;
  for (int i = 0; i < kTasks; i++) {
    create_task(
        [](void* d) {
          auto* j = static_cast<Job*>(d);
          auto good = L("someone@example.org");
          auto bad = L("someone@example");
          for (int k = 0; k < 2000; k++) {
            if (parse_dfa_str(nullptr, nullptr, j->a, good.data(), 0) != 19) j->wrong++;
            if (parse_dfa_str(nullptr, nullptr, j->a, bad.data(), 0) != -1) j->wrong++;
          }
          j->done++;
        },
        &job, 1);
  }
  ASSERT_TRUE(tqtest::wait_until([&] { return job.done == kTasks; })) << "matching tasks did not finish";
  EXPECT_EQ(job.wrong, 0);
}

}  // namespace
}  // namespace tq

namespace tq {
namespace {

TEST(RegexDeathTest, BrokenInvariantsEndTheProcess) {
  A_TREE bad{};
  bad.h.type = 99;
  EXPECT_EXIT(make_nfa(&bad), testing::ExitedWithCode(1), tqtest::panic_banner("make_automaton(1)"));
  EXPECT_EXIT(
      {
        A_TREE* t = static_cast<A_TREE*>(d_calloc(1, sizeof(A_TREE)));
        t->h.type = 99;
        free_a_tree(t);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("free_a_type"));
  AUTOMATON* a = new_automaton();
  new_state(a);  // no state carries the initial flag
  EXPECT_EXIT(parse_dfa_str(nullptr, nullptr, a, L("x").data(), 0), testing::ExitedWithCode(1),
              tqtest::panic_banner("parse_dfa_str"));
  free_automaton(a);
}

}  // namespace
}  // namespace tq
