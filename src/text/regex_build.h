// The compact forms behind the regular-expression compiler (text/regex.h), shared by its
// three files only: the parse tree and the nondeterministic automaton as index-linked
// arrays, the empty-transition closure, and the subset construction. The record forms of
// the public interface (A_TREE, AUTOMATON) are converted to and from these; get_fa never
// makes a record before the deterministic result. Nothing here recurses, so no pattern can
// exhaust a thread's stack.
#pragma once
#include <bit>
#include <cstdint>
#include <vector>

#include "text/regex.h"

namespace tq::rx {

// ---- parse tree ----------------------------------------------------------------------------

// One node; a and b index other nodes (a is the operand of STAR, PLUS and Q).
struct TNode {
  int type;  // AT_CHAR .. AT_AND
  L_CHAR from, to;
  int a, b;
};
struct Tree {
  std::vector<TNode> n;
  int root = -1;
};

// The nodes reachable from the root, every node after its operands.
std::vector<int> post_order(const Tree& t);
// Parses the first len characters of rex into t (its previous nodes are dropped); false
// when the pattern is malformed, empty or past the size bounds.
bool parse(const L_CHAR* rex, int len, Tree* t);
// The same tree from records (ends the process with "make_automaton(1)" on a node of
// unknown type; a null tree gives an empty one), and records from a tree (null when empty).
void tree_from_record(const A_TREE* a, Tree* t);
A_TREE* tree_to_record(const Tree& t);

// ---- nondeterministic automaton ------------------------------------------------------------

struct Edge {
  L_CHAR from, to;  // inclusive; never 0..0 (that is an empty transition)
  int target;
};
// States 0..n-1. The empty transitions of state s are eps[eps_start[s] .. eps_start[s+1]),
// its character transitions edges[edge_start[s] .. edge_start[s+1]).
struct Nfa {
  int n = 0;
  int initial = -1;
  int accept = -1;
  std::vector<int> eps_start, eps;
  std::vector<int> edge_start;
  std::vector<Edge> edges;
};

// Thompson's construction over a parse tree; false past kRegexMaxNfaStates (out untouched
// otherwise only in part). Every fragment has one initial state without incoming and one
// accepting state without outgoing transitions, so no loop can leak into a neighbour.
bool nfa_from_tree(const Tree& t, Nfa* out);
// The automaton of records a, states numbered in list order (listed in *states when
// given). Its initial and accepting states are the first states carrying those flags.
void nfa_from_record(AUTOMATON* a, Nfa* out, std::vector<A_STATE*>* states);
// Records of an automaton: states in index order, each table the empty then the character
// transitions, the initial and accepting flags set.
AUTOMATON* nfa_to_record(const Nfa& n);

// Steps counted for sorting n items (n log n), so that the work bound follows the time taken.
inline long sort_steps(size_t n) { return long(n) * long(std::bit_width(n)); }

// The states reachable over empty transitions from a seed set, ascending. Reusable: one
// instance per automaton, with a stamp per state instead of clearing marks.
class Closure {
 public:
  explicit Closure(const Nfa& n) : n_(n), mark_(size_t(n.n), 0) {}
  // Marks s as a seed (once); call begin() first.
  void begin();
  void seed(int s);
  // Completes the closure of the seeds into out (ascending); the steps taken.
  long finish(std::vector<int>* out);

 private:
  const Nfa& n_;
  std::vector<uint32_t> mark_;
  uint32_t stamp_ = 0;
  std::vector<int> stack_;
  std::vector<int> seen_;
};

// ---- deterministic automaton ---------------------------------------------------------------

// The subset construction: records of the deterministic automaton of n, with the matching
// table (a_match) attached. With nfa_states given, each state keeps its set as a list of
// those records (A_STATE_SET, in list order). Null when the result would pass
// kRegexMaxStates or its construction kRegexMaxWork steps.
AUTOMATON* build_dfa(const Nfa& n, const std::vector<A_STATE*>* nfa_states);
// Frees a matching table (null allowed).
void free_match(a_match* m);

}  // namespace tq::rx
