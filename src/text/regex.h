// Regular expressions over L_CHAR text: a pattern is parsed into a tree, the tree becomes a
// nondeterministic automaton with empty transitions, and that becomes a deterministic
// automaton by subset construction over character intervals. Matching runs from the
// text's first character. Every record lives on the debug heap.
//
// Patterns come from scripts and peers, so compiling is bounded: no stage recurses, and a
// pattern whose deterministic automaton would have more than kRegexMaxStates states, whose
// other stages would pass their bounds below, or whose construction would take more than
// kRegexMaxWork steps counts as malformed (get_fa answers null, as for any malformed one).
//
// The stages live in regex_parse.cpp (parser, tree records), regex_nfa.cpp (the
// nondeterministic automaton, closures, record building blocks) and regex_dfa.cpp (subset
// construction, matching); regex_build.h holds the compact forms they share.
#pragma once
#include "text/l_char.h"

namespace tq {

inline constexpr int kRegexMaxStates = 10000;        // deterministic states
inline constexpr int kRegexMaxLength = 1 << 20;      // pattern characters
inline constexpr int kRegexMaxNfaStates = 1 << 20;   // tree nodes, and nondeterministic states
inline constexpr long kRegexMaxWork = 1L << 25;      // closure and transition steps

// Parse tree. Every node starts with the header; `type` selects the body.
enum : int { AT_CHAR = 1, AT_STAR = 2, AT_PLUS = 3, AT_Q = 4, AT_OR = 5, AT_AND = 6 };
union a_tree;
using A_TREE = a_tree;
struct at_header {
  int type;
};
struct at_char {  // AT_CHAR: one inclusive range
  at_header h;
  L_CHAR from, to;
};
struct at_star {  // AT_STAR, AT_PLUS, AT_Q: an operator on one operand
  at_header h;
  A_TREE* target;
};
using at_plus = at_star;
struct at_or {  // AT_OR: a or b; AT_AND: a then b
  at_header h;
  A_TREE* a;
  A_TREE* b;
};
using at_and = at_or;
union a_tree {
  at_header h;
  at_char ch;
  at_star star;
  at_plus plus;
  at_star q;
  at_or or_;
  at_and and_;
};

struct a_state;
// One transition over the inclusive range from..to; 0..0 is an empty transition (the
// character 0 never occurs in text).
struct a_goto {
  L_CHAR from, to;
  a_state* next_state;
};
using A_GOTO = a_goto;
struct a_state_set {
  a_state* state;
  a_state_set* next;
};
using A_STATE_SET = a_state_set;
// State flags. The two marks are used only while an automaton is built.
enum : int { AS_INITIAL = 1, AS_ACCEPT = 2, AS_MARK1 = 4, AS_MARK2 = 8 };
struct a_state {
  a_state* next;
  int flags;
  int table_size;       // entries of table
  A_GOTO* table;
  a_state* work_state;  // this state's copy while an automaton is copied
  A_STATE_SET* state_set;  // deterministic state: the nondeterministic states it stands for
};
using A_STATE = a_state;
// The matching table of a compiled automaton (private to the compiler): one lookup per
// character below 256, a binary search above.
struct a_match;
struct automaton {
  A_STATE* state_list;  // new states go to the head
  a_match* match;       // set by get_fa and get_dfa; an automaton that has one is never
                        // changed (new_state drops it; change a copy_automaton instead)
};
using AUTOMATON = automaton;
// One interval of the input alphabet.
struct a_input {
  a_input* next;
  L_CHAR from, to;
};

// Compiles the pattern; a deterministic automaton the caller frees with free_automaton,
// or null when the pattern is malformed, empty, null or past the bounds above. A group or
// class that yields nothing (empty, or a class ending in "-") makes the pattern malformed.
AUTOMATON* get_fa(const L_CHAR* str);
// Runs dfa over str from its first character. Without min_match_flag the result is the
// length of str when the whole text matches, else -1; *min_ptr and *max_ptr get the shortest
// and longest matching prefixes seen before the automaton stopped (-1 when none). With the
// flag the result is the length of the shortest matching prefix (-1 when none).
int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str, int min_match_flag);
// The first state whose flags share a bit with flags (AS_INITIAL finds the initial state).
A_STATE* search_state(AUTOMATON* a, int flags);
// The target of the first transition of s whose range holds ch, or null.
A_STATE* get_next_state(A_STATE* s, L_CHAR ch);
void free_automaton(AUTOMATON* a);  // null allowed

// Building blocks.
A_TREE* make_a_tree(const L_CHAR* rex);  // null when malformed, empty or past the bounds
// Index of the ch2 that closes the ch1 at rex[ip], counting nesting and skipping the
// character after a backslash; -1 when there is none.
int skip_punc(const L_CHAR* rex, int ip, L_CHAR ch1, L_CHAR ch2);
A_TREE* char_class_a_tree(const L_CHAR* rex);  // inside of a class; null when empty or malformed
A_TREE* char_a_tree(L_CHAR from, L_CHAR to);
A_TREE* star_a_tree(A_TREE* a);  // null in, null out
A_TREE* plus_a_tree(A_TREE* a);
A_TREE* q_a_tree(A_TREE* a);
A_TREE* and_a_tree(A_TREE* a, A_TREE* b);  // a null side gives the other side
A_TREE* or_a_tree(A_TREE* a, A_TREE* b);
void free_a_tree(A_TREE* a);

// The nondeterministic automaton of a tree (null for a null tree or past
// kRegexMaxNfaStates): one initial state without incoming and one accepting state without
// outgoing transitions. One or more is built as a loop back to the operand (A then zero or
// more A, without copying A, so nested repetitions grow linearly). The make_a_ forms are
// the same for a node of their kind.
AUTOMATON* make_nfa(A_TREE* a);
AUTOMATON* make_a_char(A_TREE* a);
AUTOMATON* make_a_star(A_TREE* a);
AUTOMATON* make_a_plus(A_TREE* a);
AUTOMATON* make_a_q(A_TREE* a);
AUTOMATON* make_a_and(A_TREE* a);
AUTOMATON* make_a_or(A_TREE* a);
AUTOMATON* new_automaton();
A_STATE* new_state(AUTOMATON* a);
void set_goto(A_STATE* s1, L_CHAR from, L_CHAR to, A_STATE* s2);
AUTOMATON* copy_automaton(AUTOMATON* a);
void marge_automaton(AUTOMATON* a, AUTOMATON* b);  // moves b's states behind a's, frees b
// The deterministic automaton of nfa, each state keeping its set (state_set, in nfa's list
// order). A state's table holds one transition per range of characters that lead to the
// same state, ascending; null past kRegexMaxStates or kRegexMaxWork.
AUTOMATON* get_dfa(AUTOMATON* nfa);
// The states reachable from ss by empty transitions (ss included), in nfa's list order.
A_STATE_SET* get_empty_closure(AUTOMATON* nfa, A_STATE_SET* ss);
// The empty closure of the states reached from ss over a transition overlapping from..to.
A_STATE_SET* get_goto(AUTOMATON* nfa, A_STATE_SET* ss, L_CHAR from, L_CHAR to);
// The largest transition boundary of nfa not above to, or 1 when there is none.
L_CHAR get_from(AUTOMATON* nfa, L_CHAR to);
a_input* get_input_list(AUTOMATON* nfa);  // ascending intervals covering 1..0xFFFFFFFF
A_STATE* exist_check(AUTOMATON* a, A_STATE_SET* ss);
void init_flags(AUTOMATON* a, int flags);  // clears those bits in every state
A_STATE_SET* get_state_set(AUTOMATON* a, int flags);  // states carrying a flag, in list order
A_STATE_SET* new_state_set(A_STATE* s, A_STATE_SET* next);
void free_state_set(A_STATE_SET* ss);
void free_input_list(a_input* in);

// Debug printers to standard output.
void print_a_tree(A_TREE* a);
void print_automaton(AUTOMATON* a);
void print_ss(A_STATE_SET* ss);
void print_input(a_input* in);

}  // namespace tq
