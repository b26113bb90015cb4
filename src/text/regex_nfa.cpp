// Regular expressions, second stage: the nondeterministic automaton (Thompson's
// construction over the parse tree), its records, the empty-transition closure, and the
// record-level building blocks (states, transitions, copies, input intervals).
//
// Construction invariant: every fragment has exactly one initial state, without incoming
// transitions, and one accepting state, without outgoing transitions. Zero-or-more and
// one-or-more add a fresh initial and accepting state to keep it; without them a loop edge
// of an inner repetition could be followed into the skip edge of an outer one, and (a*b)*
// would match "a". One-or-more loops back to its operand instead of copying it, so nested
// repetitions grow the automaton linearly, not exponentially.
#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "text/regex_build.h"

namespace tq {

namespace {

constexpr L_CHAR kEmpty = 0;  // the range 0..0 marks an empty transition

bool is_empty_goto(const A_GOTO& g) { return g.from == kEmpty && g.to == kEmpty; }

}  // namespace

namespace rx {

namespace {

// Collects transitions by source, then lays them out by state.
class NfaBuilder {
 public:
  int state() { return n_++; }
  void eps(int from, int to) { eps_.push_back({from, to}); }
  void edge(int from, L_CHAR lo, L_CHAR hi, int to) { edges_.push_back({from, Edge{lo, hi, to}}); }

  void finish(int initial, int accept, Nfa* out) {
    out->n = n_;
    out->initial = initial;
    out->accept = accept;
    out->eps_start.assign(size_t(n_) + 1, 0);
    out->edge_start.assign(size_t(n_) + 1, 0);
    for (const auto& e : eps_) out->eps_start[size_t(e.first) + 1]++;
    for (const auto& e : edges_) out->edge_start[size_t(e.first) + 1]++;
    for (int s = 0; s < n_; s++) {
      out->eps_start[size_t(s) + 1] += out->eps_start[size_t(s)];
      out->edge_start[size_t(s) + 1] += out->edge_start[size_t(s)];
    }
    out->eps.resize(eps_.size());
    out->edges.resize(edges_.size());
    std::vector<int> at_eps(out->eps_start.begin(), out->eps_start.end() - 1);
    std::vector<int> at_edge(out->edge_start.begin(), out->edge_start.end() - 1);
    for (const auto& e : eps_) out->eps[size_t(at_eps[size_t(e.first)]++)] = e.second;
    for (const auto& e : edges_) out->edges[size_t(at_edge[size_t(e.first)]++)] = e.second;
  }

 private:
  int n_ = 0;
  std::vector<std::pair<int, int>> eps_;
  std::vector<std::pair<int, Edge>> edges_;
};

// States a tree node adds to the automaton.
int states_of(int type) { return type == AT_Q || type == AT_AND ? 0 : 2; }

}  // namespace

bool nfa_from_tree(const Tree& t, Nfa* out) {
  if (t.root < 0) return false;
  const std::vector<int> order = post_order(t);
  long total = 0;
  for (int k : order) total += states_of(t.n[size_t(k)].type);
  if (total > kRegexMaxNfaStates) return false;
  struct Frag {
    int init, accept;
  };
  std::vector<Frag> frag(t.n.size());
  NfaBuilder b;
  for (int k : order) {
    const TNode& x = t.n[size_t(k)];
    Frag& f = frag[size_t(k)];
    switch (x.type) {
      case AT_CHAR:
        f = {b.state(), b.state()};
        b.edge(f.init, x.from, x.to, f.accept);
        break;
      case AT_AND: {
        const Frag a = frag[size_t(x.a)], c = frag[size_t(x.b)];
        b.eps(a.accept, c.init);
        f = {a.init, c.accept};
        break;
      }
      case AT_OR: {
        const Frag a = frag[size_t(x.a)], c = frag[size_t(x.b)];
        f = {b.state(), b.state()};
        b.eps(f.init, a.init);
        b.eps(f.init, c.init);
        b.eps(a.accept, f.accept);
        b.eps(c.accept, f.accept);
        break;
      }
      case AT_Q: {
        f = frag[size_t(x.a)];
        b.eps(f.init, f.accept);
        break;
      }
      default: {  // AT_STAR, AT_PLUS
        const Frag a = frag[size_t(x.a)];
        f = {b.state(), b.state()};
        b.eps(f.init, a.init);
        b.eps(a.accept, f.accept);
        b.eps(a.accept, a.init);
        if (x.type == AT_STAR) b.eps(f.init, f.accept);
        break;
      }
    }
  }
  const Frag& root = frag[size_t(t.root)];
  b.finish(root.init, root.accept, out);
  return true;
}

void nfa_from_record(AUTOMATON* a, Nfa* out, std::vector<A_STATE*>* states) {
  std::vector<A_STATE*> list;
  std::unordered_map<const A_STATE*, int> index;
  for (A_STATE* s = a->state_list; s; s = s->next) {
    index.emplace(s, int(list.size()));
    list.push_back(s);
  }
  NfaBuilder b;
  int initial = -1, accept = -1;
  for (size_t k = 0; k < list.size(); k++) {
    const A_STATE* s = list[k];
    b.state();
    if (initial < 0 && (s->flags & AS_INITIAL)) initial = int(k);
    if (accept < 0 && (s->flags & AS_ACCEPT)) accept = int(k);
    for (int j = 0; j < s->table_size; j++) {
      const A_GOTO& g = s->table[j];
      const auto to = index.find(g.next_state);
      if (to == index.end()) continue;  // a state of no automaton of ours
      if (is_empty_goto(g))
        b.eps(int(k), to->second);
      else
        b.edge(int(k), g.from, g.to, to->second);
    }
  }
  b.finish(initial, accept, out);
  if (states) *states = std::move(list);
}

AUTOMATON* nfa_to_record(const Nfa& n) {
  AUTOMATON* a = new_automaton();
  std::vector<A_STATE*> rec(size_t(n.n));
  A_STATE** tail = &a->state_list;
  for (int s = 0; s < n.n; s++) {
    rec[size_t(s)] = static_cast<A_STATE*>(d_calloc(1, sizeof(A_STATE)));
    *tail = rec[size_t(s)];
    tail = &rec[size_t(s)]->next;
  }
  for (int s = 0; s < n.n; s++) {
    A_STATE* r = rec[size_t(s)];
    const int e0 = n.eps_start[size_t(s)], e1 = n.eps_start[size_t(s) + 1];
    const int c0 = n.edge_start[size_t(s)], c1 = n.edge_start[size_t(s) + 1];
    r->table_size = (e1 - e0) + (c1 - c0);
    if (r->table_size) r->table = static_cast<A_GOTO*>(d_alloc(sizeof(A_GOTO) * size_t(r->table_size)));
    int k = 0;
    for (int e = e0; e < e1; e++) r->table[k++] = A_GOTO{kEmpty, kEmpty, rec[size_t(n.eps[size_t(e)])]};
    for (int e = c0; e < c1; e++) {
      const Edge& g = n.edges[size_t(e)];
      r->table[k++] = A_GOTO{g.from, g.to, rec[size_t(g.target)]};
    }
  }
  if (n.initial >= 0) rec[size_t(n.initial)]->flags |= AS_INITIAL;
  if (n.accept >= 0) rec[size_t(n.accept)]->flags |= AS_ACCEPT;
  return a;
}

void Closure::begin() {
  if (++stamp_ == 0) {  // the stamp wrapped: forget every old mark
    std::fill(mark_.begin(), mark_.end(), 0);
    stamp_ = 1;
  }
  stack_.clear();
  seen_.clear();
}

void Closure::seed(int s) {
  if (mark_[size_t(s)] == stamp_) return;
  mark_[size_t(s)] = stamp_;
  stack_.push_back(s);
}

long Closure::finish(std::vector<int>* out) {
  long steps = 0;
  while (!stack_.empty()) {
    const int s = stack_.back();
    stack_.pop_back();
    seen_.push_back(s);
    for (int e = n_.eps_start[size_t(s)]; e < n_.eps_start[size_t(s) + 1]; e++) {
      steps++;
      seed(n_.eps[size_t(e)]);
    }
  }
  std::sort(seen_.begin(), seen_.end());
  steps += sort_steps(seen_.size());
  out->assign(seen_.begin(), seen_.end());
  return steps;
}

}  // namespace rx

// ---- automaton records ------------------------------------------------------------------------

AUTOMATON* new_automaton() { return static_cast<AUTOMATON*>(d_calloc(1, sizeof(AUTOMATON))); }

A_STATE* new_state(AUTOMATON* a) {
  rx::free_match(a->match);  // a changed automaton no longer matches its table
  a->match = nullptr;
  auto* s = static_cast<A_STATE*>(d_calloc(1, sizeof(A_STATE)));
  s->next = a->state_list;
  a->state_list = s;
  return s;
}

void set_goto(A_STATE* s1, L_CHAR from, L_CHAR to, A_STATE* s2) {
  s1->table = static_cast<A_GOTO*>(
      s1->table ? d_re_alloc(s1->table, sizeof(A_GOTO) * size_t(s1->table_size + 1)) : d_alloc(sizeof(A_GOTO)));
  s1->table[s1->table_size++] = A_GOTO{from, to, s2};
}

void free_automaton(AUTOMATON* a) {
  if (!a) return;
  for (A_STATE* s = a->state_list; s;) {
    A_STATE* next = s->next;
    if (s->table) d_f_ree(s->table);
    free_state_set(s->state_set);
    d_f_ree(s);
    s = next;
  }
  rx::free_match(a->match);
  d_f_ree(a);
}

A_STATE* search_state(AUTOMATON* a, int flags) {
  for (A_STATE* s = a->state_list; s; s = s->next)
    if (s->flags & flags) return s;
  return nullptr;
}

A_STATE* get_next_state(A_STATE* s, L_CHAR ch) {
  const A_GOTO* g = s->table;
  for (int k = 0, n = s->table_size; k < n; k++)
    if (g[k].from <= ch && ch <= g[k].to) return g[k].next_state;
  return nullptr;
}

AUTOMATON* copy_automaton(AUTOMATON* a) {
  AUTOMATON* c = new_automaton();
  A_STATE** tail = &c->state_list;
  for (A_STATE* s = a->state_list; s; s = s->next) {  // same list order
    s->work_state = static_cast<A_STATE*>(d_calloc(1, sizeof(A_STATE)));
    s->work_state->flags = s->flags;
    *tail = s->work_state;
    tail = &s->work_state->next;
  }
  for (A_STATE* s = a->state_list; s; s = s->next)
    for (int k = 0; k < s->table_size; k++)
      set_goto(s->work_state, s->table[k].from, s->table[k].to, s->table[k].next_state->work_state);
  for (A_STATE* s = a->state_list; s; s = s->next) s->work_state = nullptr;
  return c;
}

void marge_automaton(AUTOMATON* a, AUTOMATON* b) {
  A_STATE** tail = &a->state_list;
  while (*tail) tail = &(*tail)->next;
  *tail = b->state_list;
  b->state_list = nullptr;
  rx::free_match(a->match);
  a->match = nullptr;
  free_automaton(b);
}

// ---- nondeterministic automata from trees ------------------------------------------------------

AUTOMATON* make_nfa(A_TREE* a) {
  rx::Tree t;
  rx::tree_from_record(a, &t);
  rx::Nfa n;
  if (!rx::nfa_from_tree(t, &n)) return nullptr;
  return rx::nfa_to_record(n);
}

AUTOMATON* make_a_char(A_TREE* a) { return make_nfa(a); }
AUTOMATON* make_a_star(A_TREE* a) { return make_nfa(a); }
AUTOMATON* make_a_plus(A_TREE* a) { return make_nfa(a); }
AUTOMATON* make_a_q(A_TREE* a) { return make_nfa(a); }
AUTOMATON* make_a_and(A_TREE* a) { return make_nfa(a); }
AUTOMATON* make_a_or(A_TREE* a) { return make_nfa(a); }

// ---- state sets and closures over records --------------------------------------------------------

A_STATE_SET* new_state_set(A_STATE* s, A_STATE_SET* next) {
  auto* ss = static_cast<A_STATE_SET*>(d_alloc(sizeof(A_STATE_SET)));
  ss->state = s;
  ss->next = next;
  return ss;
}

namespace {

// Frees a debug-heap list linked through `next`.
template <class T>
void free_list(T* x) {
  while (x) {
    T* next = x->next;
    d_f_ree(x);
    x = next;
  }
}

}  // namespace

void free_state_set(A_STATE_SET* ss) { free_list(ss); }

void free_input_list(a_input* in) { free_list(in); }

void init_flags(AUTOMATON* a, int flags) {
  for (A_STATE* s = a->state_list; s; s = s->next) s->flags &= ~flags;
}

A_STATE_SET* get_state_set(AUTOMATON* a, int flags) {
  A_STATE_SET* head = nullptr;
  A_STATE_SET** tail = &head;
  for (A_STATE* s = a->state_list; s; s = s->next) {
    if (s->flags & flags) {
      *tail = new_state_set(s, nullptr);
      tail = &(*tail)->next;
    }
  }
  return head;
}

namespace {

// The closure of the states chosen by seed_of (called with the closure and the index of
// every state of nfa), as a list in nfa's list order.
template <class SeedOf>
A_STATE_SET* closure_list(AUTOMATON* nfa, SeedOf seed_of) {
  rx::Nfa n;
  std::vector<A_STATE*> states;
  rx::nfa_from_record(nfa, &n, &states);
  std::unordered_map<const A_STATE*, int> index;
  for (size_t k = 0; k < states.size(); k++) index.emplace(states[k], int(k));
  rx::Closure c(n);
  c.begin();
  seed_of(c, index);
  std::vector<int> set;
  c.finish(&set);
  A_STATE_SET* head = nullptr;
  for (size_t k = set.size(); k-- > 0;) head = new_state_set(states[size_t(set[k])], head);
  return head;
}

}  // namespace

A_STATE_SET* get_empty_closure(AUTOMATON* nfa, A_STATE_SET* ss) {
  return closure_list(nfa, [ss](rx::Closure& c, const std::unordered_map<const A_STATE*, int>& index) {
    for (A_STATE_SET* x = ss; x; x = x->next) {
      const auto it = index.find(x->state);
      if (it != index.end()) c.seed(it->second);
    }
  });
}

A_STATE_SET* get_goto(AUTOMATON* nfa, A_STATE_SET* ss, L_CHAR from, L_CHAR to) {
  return closure_list(nfa, [=](rx::Closure& c, const std::unordered_map<const A_STATE*, int>& index) {
    for (A_STATE_SET* x = ss; x; x = x->next)
      for (int k = 0; k < x->state->table_size; k++) {
        const A_GOTO& g = x->state->table[k];
        if (is_empty_goto(g) || g.to < from || to < g.from) continue;
        const auto it = index.find(g.next_state);
        if (it != index.end()) c.seed(it->second);
      }
  });
}

A_STATE* exist_check(AUTOMATON* a, A_STATE_SET* ss) {
  for (A_STATE* s = a->state_list; s; s = s->next) {
    A_STATE_SET* x = s->state_set;
    A_STATE_SET* y = ss;
    while (x && y && x->state == y->state) {
      x = x->next;
      y = y->next;
    }
    if (!x && !y) return s;
  }
  return nullptr;
}

// ---- input intervals ------------------------------------------------------------------------------

namespace {

// Every boundary of nfa's character transitions: each from, and each to + 1.
std::vector<L_CHAR> boundaries(AUTOMATON* nfa) {
  std::vector<L_CHAR> b;
  for (A_STATE* s = nfa->state_list; s; s = s->next)
    for (int k = 0; k < s->table_size; k++) {
      const A_GOTO& g = s->table[k];
      if (is_empty_goto(g)) continue;
      b.push_back(g.from);
      if (g.to != 0xFFFFFFFF) b.push_back(g.to + 1);
    }
  return b;
}

}  // namespace

L_CHAR get_from(AUTOMATON* nfa, L_CHAR to) {
  L_CHAR best = 1;
  for (L_CHAR b : boundaries(nfa))
    if (b <= to && b > best) best = b;
  return best;
}

a_input* get_input_list(AUTOMATON* nfa) {
  std::vector<L_CHAR> cut = boundaries(nfa);
  cut.push_back(1);  // the intervals start at 1: character 0 never occurs in text
  std::sort(cut.begin(), cut.end());
  cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
  cut.erase(cut.begin(), std::lower_bound(cut.begin(), cut.end(), L_CHAR(1)));
  a_input* head = nullptr;
  L_CHAR top = 0xFFFFFFFF;
  for (size_t k = cut.size(); k-- > 0;) {  // from the top down, each new interval at the head
    auto* in = static_cast<a_input*>(d_alloc(sizeof(a_input)));
    *in = a_input{head, cut[k], top};
    head = in;
    top = cut[k] - 1;
  }
  return head;
}

// ---- debug printers -----------------------------------------------------------------------------

void print_ss(A_STATE_SET* ss) {
  std::printf("{");
  for (; ss; ss = ss->next) std::printf("%lx:", reinterpret_cast<unsigned long>(ss->state));
  std::printf("}");
}

void print_automaton(AUTOMATON* a) {
  std::printf("AUTOMATON\n");
  for (A_STATE* s = a->state_list; s; s = s->next) {
    std::printf(" %lx %x", reinterpret_cast<unsigned long>(s), static_cast<unsigned>(s->flags));
    print_ss(s->state_set);
    std::printf("[");
    for (int k = 0; k < s->table_size; k++) {
      const A_GOTO& g = s->table[k];
      std::printf("('%c'(%x)-'%c'(%x) : %lx)", static_cast<int>(g.from & 0xFF), g.from,
                  static_cast<int>(g.to & 0xFF), g.to, reinterpret_cast<unsigned long>(g.next_state));
    }
    std::printf("]\n");
  }
  std::printf("AUTOMATON END\n");
}

void print_input(a_input* in) {
  for (; in; in = in->next) std::printf("(%x-%x)", in->from, in->to);
  std::printf("\n");
}

}  // namespace tq
