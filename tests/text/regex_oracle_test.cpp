// Regular expressions against an independent oracle, POSIX regcomp/regexec (extended
// syntax), on random patterns from the common ground of both syntaxes: printable literals
// (and escaped operator characters), ".", classes of ranges, groups, "*", "+", "?" and "|".
// For every text: a full match exactly when ^(p)$ matches, the longest matching prefix equal
// to the leftmost-longest match of ^(p), and the shortest one equal to the shortest prefix
// that ^(p)$ accepts. The same patterns and texts with their letters moved above 255 must
// give the same results, and the compiled matching table the same as a plain walk over the
// automaton's states.
#include <gtest/gtest.h>
#include <regex.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/watchdog.h"
#include "text/regex.h"

namespace tq {
namespace {

struct Node {
  enum Kind { LIT, DOT, CLASS, GROUP, SEQ, ALT } kind;
  std::string text;                          // LIT: the character as written; CLASS: the inside
  std::vector<std::pair<char, char>> ranges; // CLASS
  char lit = 0;                              // LIT: the character matched
  std::vector<std::unique_ptr<Node>> kids;   // GROUP (one), SEQ, ALT
  char postfix = 0;                          // '*', '+', '?' or 0, on atoms of a sequence
};

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}

  std::unique_ptr<Node> alt(int depth) {
    int n = pick(3) == 0 ? 1 + pick(2) : 0;
    auto a = std::make_unique<Node>();
    a->kind = Node::ALT;
    for (int i = 0; i <= n; i++) a->kids.push_back(seq(depth));
    return a;
  }

  std::string render(const Node& n) {
    std::string s;
    switch (n.kind) {
      case Node::LIT: s = n.text; break;
      case Node::DOT: s = "."; break;
      case Node::CLASS: s = "[" + n.text + "]"; break;
      case Node::GROUP: s = "(" + render(*n.kids[0]) + ")"; break;
      case Node::SEQ:
        for (auto& k : n.kids) s += render(*k);
        break;
      case Node::ALT:
        for (size_t i = 0; i < n.kids.size(); i++) s += (i ? "|" : "") + render(*n.kids[i]);
        break;
    }
    if (n.postfix) s += n.postfix;
    return s;
  }

  // A random text the pattern matches.
  std::string sample(const Node& n) {
    int reps = 1;
    if (n.postfix == '*') reps = pick(3);
    if (n.postfix == '+') reps = 1 + pick(3);
    if (n.postfix == '?') reps = pick(2);
    std::string s;
    for (int r = 0; r < reps; r++) {
      switch (n.kind) {
        case Node::LIT: s += n.lit; break;
        case Node::DOT: s += char(32 + pick(95)); break;
        case Node::CLASS: {
          auto [lo, hi] = n.ranges[pick(int(n.ranges.size()))];
          s += char(lo + pick(hi - lo + 1));
          break;
        }
        case Node::GROUP: s += sample(*n.kids[0]); break;
        case Node::SEQ:
          for (auto& k : n.kids) s += sample(*k);
          break;
        case Node::ALT: s += sample(*n.kids[pick(int(n.kids.size()))]); break;
      }
    }
    return s;
  }

  // A sample, changed a little now and then, or random characters near the pattern's own.
  std::string text(const Node& root) {
    std::string s = sample(root);
    switch (pick(4)) {
      case 0: break;
      case 1:
        if (!s.empty()) s.erase(pick(int(s.size())), 1);
        break;
      case 2: s.insert(s.begin() + pick(int(s.size()) + 1), some_char()); break;
      default: {
        s.clear();
        for (int i = pick(7); i > 0; i--) s += some_char();
      }
    }
    return s;
  }

  int pick(int n) { return int(rng_() % uint32_t(n)); }

 private:
  std::unique_ptr<Node> seq(int depth) {
    auto s = std::make_unique<Node>();
    s->kind = Node::SEQ;
    for (int i = 1 + pick(3); i > 0; i--) s->kids.push_back(atom(depth));
    return s;
  }

  std::unique_ptr<Node> atom(int depth) {
    auto a = std::make_unique<Node>();
    int k = pick(10);
    if (k < 5 || (k >= 8 && depth <= 0)) {
      a->kind = Node::LIT;
      literal(*a);
    } else if (k == 5) {
      a->kind = Node::DOT;
    } else if (k < 8) {
      a->kind = Node::CLASS;
      for (int i = 1 + pick(2); i > 0; i--) {
        char lo = char('a' + pick(6)), hi = pick(2) ? lo : char(lo + pick(4));
        a->ranges.push_back({lo, hi});
        a->text += lo;
        if (hi != lo) a->text += std::string("-") + hi;
      }
    } else {
      a->kind = Node::GROUP;
      a->kids.push_back(alt(depth - 1));
    }
    if (pick(3) == 0) a->postfix = "*+?"[pick(3)];
    return a;
  }

  void literal(Node& n) {
    static const std::string plain = "abcabcabcxyz019 -_~!#%&=,;:'\"<>@`/";
    static const std::string escaped = ".*+?()[]|";
    if (pick(8) == 0) {
      n.lit = escaped[pick(int(escaped.size()))];
      n.text = std::string("\\") + n.lit;
    } else {
      n.lit = plain[pick(int(plain.size()))];
      n.text = std::string(1, n.lit);
    }
  }

  char some_char() {
    static const std::string chars = "abcdefxyz0 .*(|";
    return chars[pick(int(chars.size()))];
  }

  std::mt19937 rng_;
};

std::vector<L_CHAR> L(const std::string& s) {
  std::vector<L_CHAR> v;
  for (unsigned char c : s) v.push_back(c);
  v.push_back(0);
  return v;
}

// The same text with every lowercase letter moved far above 255 (order kept, so class
// ranges of letters stay ranges): what matches in ASCII must match here alike.
std::vector<L_CHAR> wide(const std::string& s) {
  std::vector<L_CHAR> v = L(s);
  for (L_CHAR& c : v)
    if (c >= 'a' && c <= 'z') c += 0x20000;
  return v;
}

struct Outcome {
  int r, mn, mx;
  bool operator==(const Outcome& o) const { return r == o.r && mn == o.mn && mx == o.mx; }
};
Outcome run(AUTOMATON* a, const std::vector<L_CHAR>& t) {
  Outcome x{};
  x.r = parse_dfa_str(&x.mn, &x.mx, a, t.data(), 0);
  return x;
}

struct Posix {
  explicit Posix(const std::string& re) { ok = regcomp(&r, re.c_str(), REG_EXTENDED) == 0; }
  ~Posix() {
    if (ok) regfree(&r);
  }
  regex_t r;
  bool ok;
};

TEST(RegexOracle, AgreesWithPosixExtendedOnRandomPatterns) {
  constexpr int kPatterns = 1500;
  constexpr int kTexts = 24;
  Gen gen(20240611);
  int compared = 0, full_matches = 0;
  for (int pi = 0; pi < kPatterns; pi++) {
    auto root = gen.alt(2);
    std::string p = gen.render(*root);
    Posix whole("^(" + p + ")$");
    Posix prefix("^(" + p + ")");
    ASSERT_TRUE(whole.ok && prefix.ok) << "regcomp refused " << p;
    tqtest::Watchdog bound("pattern " + p, tqtest::test_bound());
    AUTOMATON* a = get_fa(L(p).data());
    ASSERT_NE(a, nullptr) << "get_fa refused " << p;
    AUTOMATON* w = get_fa(wide(p).data());
    ASSERT_NE(w, nullptr) << "get_fa refused the wide form of " << p;
    for (int ti = 0; ti < kTexts; ti++) {
      std::string t = gen.text(*root);
      std::vector<L_CHAR> lt = L(t);
      int mn, mx;
      int r = parse_dfa_str(&mn, &mx, a, lt.data(), 0);
      bool posix_full = regexec(&whole.r, t.c_str(), 0, nullptr, 0) == 0;
      ASSERT_EQ(r == int(t.size()), posix_full) << "pattern " << p << " text \"" << t << "\"";
      ASSERT_TRUE(r == -1 || r == int(t.size()));
      regmatch_t m[1];
      int longest = regexec(&prefix.r, t.c_str(), 1, m, 0) == 0 ? int(m[0].rm_eo) : -1;
      ASSERT_EQ(mx, longest) << "longest prefix: pattern " << p << " text \"" << t << "\"";
      int shortest = -1;
      for (size_t k = 0; k <= t.size() && shortest < 0; k++)
        if (regexec(&whole.r, t.substr(0, k).c_str(), 0, nullptr, 0) == 0) shortest = int(k);
      ASSERT_EQ(parse_dfa_str(nullptr, nullptr, a, lt.data(), 1), shortest)
          << "shortest prefix: pattern " << p << " text \"" << t << "\"";
      ASSERT_EQ(mn, shortest) << "min_ptr: pattern " << p << " text \"" << t << "\"";
      // Characters above 255 take the other road through the matching table.
      ASSERT_TRUE(run(w, wide(t)) == (Outcome{r, mn, mx})) << "wide: pattern " << p << " text \"" << t << "\"";
      // The matching table against the plain walk over the automaton's records.
      a_match* table = a->match;
      a->match = nullptr;
      const Outcome plain = run(a, lt);
      a->match = table;
      ASSERT_TRUE(plain == (Outcome{r, mn, mx})) << "record walk: pattern " << p << " text \"" << t << "\"";
      compared++;
      full_matches += posix_full;
    }
    free_automaton(a);
    free_automaton(w);
  }
  // The generator must exercise both outcomes, or the comparison proves little.
  EXPECT_GT(full_matches, compared / 5);
  EXPECT_LT(full_matches, compared * 4 / 5);
}

}  // namespace
}  // namespace tq
