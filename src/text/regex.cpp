// Regular expressions: pattern parser, automaton construction (tree -> automaton with
// empty transitions -> deterministic automaton by subset construction) and matching.
//
// Construction invariant: every automaton built from a tree has exactly one initial state,
// without incoming transitions, and one accepting state, without outgoing transitions.
// Zero-or-more adds a fresh initial and accepting state to keep it; without them a loop
// edge of an inner repetition could be followed into the skip edge of an outer one, and
// (a*b)* would match "a".
#include "text/regex.h"

#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr L_CHAR kEmpty = 0;  // the range 0..0 marks an empty transition

bool is_empty_goto(const A_GOTO& g) { return g.from == kEmpty && g.to == kEmpty; }

// skip_punc over the first len characters of rex.
int skip_punc_n(const L_CHAR* rex, int len, int ip, L_CHAR ch1, L_CHAR ch2) {
  int depth = 0;
  for (int i = ip; i < len; i++) {
    L_CHAR c = rex[i];
    if (c == '\\') {
      i++;
    } else if (c == ch1) {
      depth++;
    } else if (c == ch2) {
      if (--depth == 0) return i;
    }
  }
  return -1;
}

A_TREE* new_node(int type) {
  auto* a = static_cast<A_TREE*>(d_calloc(1, sizeof(A_TREE)));
  a->h.type = type;
  return a;
}

A_TREE* class_n(const L_CHAR* rex, int len) {
  A_TREE* ret = nullptr;
  for (int k = 0; k < len;) {
    L_CHAR from = rex[k], to = from;
    if (k + 1 < len && rex[k + 1] == '-') {
      if (k + 2 >= len) {  // a class ending in "-"
        free_a_tree(ret);
        return nullptr;
      }
      // A range written high to low stays as written and holds no character: every
      // interval test of the automaton builder (from <= ch <= to) fails for it.
      to = rex[k + 2];
      k += 3;
    } else {
      k++;
    }
    ret = or_a_tree(ret, char_a_tree(from, to));
  }
  return ret;
}

A_TREE* any_char_tree() {
  return or_a_tree(char_a_tree(32, 0x7FFFFFFF),
                   or_a_tree(char_a_tree(0x80000000, 0xDFFEFFFF), char_a_tree(0xE0000000, 0xFFFFFFFF)));
}

L_CHAR escaped(L_CHAR c) {
  switch (c) {
    case 'r': return 13;
    case 't': return 9;
    case 'n': return 10;
    default: return c;
  }
}

// Parses rex[0..len). Elements are appended to a left-nested sequence; a postfix operator
// wraps the last element only. Any sub-pattern that yields no tree makes the whole pattern
// malformed (null), so nothing already built is silently dropped.
A_TREE* parse_n(const L_CHAR* rex, int len) {
  A_TREE* ret = nullptr;
  int count = 0;  // elements in ret
  for (int i = 0; i < len;) {
    L_CHAR c = rex[i];
    A_TREE* elem = nullptr;
    switch (c) {
      case '.':
        elem = any_char_tree();
        i++;
        break;
      case '[': {
        int j = skip_punc_n(rex, len, i, '[', ']');
        if (j < 0 || !(elem = class_n(rex + i + 1, j - i - 1))) goto bad;
        i = j + 1;
        break;
      }
      case '(': {
        int j = skip_punc_n(rex, len, i, '(', ')');
        if (j < 0 || !(elem = parse_n(rex + i + 1, j - i - 1))) goto bad;
        i = j + 1;
        break;
      }
      case '\\':
        if (i + 1 >= len) goto bad;
        elem = char_a_tree(escaped(rex[i + 1]), escaped(rex[i + 1]));
        i += 2;
        break;
      case '*':
      case '+':
      case '?':
        if (count == 0) {  // nothing to apply to: an ordinary character
          elem = char_a_tree(c, c);
          i++;
          break;
        }
        {
          A_TREE** last = count == 1 ? &ret : &ret->and_.b;
          *last = c == '*' ? star_a_tree(*last) : c == '+' ? plus_a_tree(*last) : q_a_tree(*last);
        }
        i++;
        continue;
      case '|': {
        if (i == 0 || i == len - 1) goto bad;
        A_TREE* rest = parse_n(rex + i + 1, len - i - 1);
        if (!rest) goto bad;
        return or_a_tree(ret, rest);
      }
      default:
        elem = char_a_tree(c, c);
        i++;
        break;
    }
    ret = and_a_tree(ret, elem);
    count++;
  }
  return ret;
bad:
  free_a_tree(ret);
  return nullptr;
}

A_STATE* initial_of(AUTOMATON* a) { return search_state(a, AS_INITIAL); }
A_STATE* accept_of(AUTOMATON* a) { return search_state(a, AS_ACCEPT); }

// Zero or more on a built automaton (keeps the construction invariant).
void star_in_place(AUTOMATON* a) {
  A_STATE* i = initial_of(a);
  A_STATE* f = accept_of(a);
  i->flags &= ~AS_INITIAL;
  f->flags &= ~AS_ACCEPT;
  A_STATE* ni = new_state(a);
  A_STATE* nf = new_state(a);
  ni->flags |= AS_INITIAL;
  nf->flags |= AS_ACCEPT;
  set_goto(ni, kEmpty, kEmpty, i);
  set_goto(f, kEmpty, kEmpty, nf);
  set_goto(ni, kEmpty, kEmpty, nf);
  set_goto(f, kEmpty, kEmpty, i);
}

int count_states(AUTOMATON* a) {
  int n = 0;
  for (A_STATE* s = a->state_list; s; s = s->next) n++;
  return n;
}

// Extends the states carrying AS_MARK1 by everything reachable over empty transitions.
void mark_closure(AUTOMATON* nfa) {
  int n = count_states(nfa);
  auto** stack = static_cast<A_STATE**>(d_alloc(sizeof(A_STATE*) * (n + 1)));
  int sp = 0;
  for (A_STATE* s = nfa->state_list; s; s = s->next)
    if (s->flags & AS_MARK1) stack[sp++] = s;
  while (sp > 0) {
    A_STATE* s = stack[--sp];
    for (int k = 0; k < s->table_size; k++) {
      A_STATE* t = s->table[k].next_state;
      if (is_empty_goto(s->table[k]) && !(t->flags & AS_MARK1)) {
        t->flags |= AS_MARK1;
        stack[sp++] = t;
      }
    }
  }
  d_f_ree(stack);
}

// The marked states in list order; clears the marks.
A_STATE_SET* take_marked(AUTOMATON* nfa) {
  A_STATE_SET* head = nullptr;
  A_STATE_SET** tail = &head;
  for (A_STATE* s = nfa->state_list; s; s = s->next) {
    if (s->flags & AS_MARK1) {
      s->flags &= ~AS_MARK1;
      *tail = new_state_set(s, nullptr);
      tail = &(*tail)->next;
    }
  }
  return head;
}

bool set_holds(A_STATE_SET* ss, A_STATE* s) {
  for (; ss; ss = ss->next)
    if (ss->state == s) return true;
  return false;
}

void print_lc(L_CHAR c) { std::printf("%c(%x)", static_cast<int>(c & 0xFF), c); }

}  // namespace

// ---- Parse tree ----

int skip_punc(const L_CHAR* rex, int ip, L_CHAR ch1, L_CHAR ch2) {
  return skip_punc_n(rex, l_strlen(rex), ip, ch1, ch2);
}

A_TREE* make_a_tree(const L_CHAR* rex) { return parse_n(rex, l_strlen(rex)); }

A_TREE* char_class_a_tree(const L_CHAR* rex) { return class_n(rex, l_strlen(rex)); }

A_TREE* char_a_tree(L_CHAR from, L_CHAR to) {
  A_TREE* a = new_node(AT_CHAR);
  a->ch.from = from;
  a->ch.to = to;
  return a;
}

static A_TREE* unary(int type, A_TREE* target) {
  if (!target) return nullptr;
  A_TREE* a = new_node(type);
  a->star.target = target;
  return a;
}
A_TREE* star_a_tree(A_TREE* a) { return unary(AT_STAR, a); }
A_TREE* plus_a_tree(A_TREE* a) { return unary(AT_PLUS, a); }
A_TREE* q_a_tree(A_TREE* a) { return unary(AT_Q, a); }

static A_TREE* binary(int type, A_TREE* a, A_TREE* b) {
  if (!a) return b;
  if (!b) return a;
  A_TREE* n = new_node(type);
  n->or_.a = a;
  n->or_.b = b;
  return n;
}
A_TREE* and_a_tree(A_TREE* a, A_TREE* b) { return binary(AT_AND, a, b); }
A_TREE* or_a_tree(A_TREE* a, A_TREE* b) { return binary(AT_OR, a, b); }

void free_a_tree(A_TREE* a) {
  if (!a) return;
  switch (a->h.type) {
    case AT_CHAR: break;
    case AT_STAR:
    case AT_PLUS:
    case AT_Q: free_a_tree(a->star.target); break;
    case AT_OR:
    case AT_AND:
      free_a_tree(a->or_.a);
      free_a_tree(a->or_.b);
      break;
    default: er_panic("free_a_type");
  }
  d_f_ree(a);
}

// ---- Automata ----

AUTOMATON* new_automaton() { return static_cast<AUTOMATON*>(d_calloc(1, sizeof(AUTOMATON))); }

A_STATE* new_state(AUTOMATON* a) {
  auto* s = static_cast<A_STATE*>(d_calloc(1, sizeof(A_STATE)));
  s->next = a->state_list;
  a->state_list = s;
  return s;
}

void set_goto(A_STATE* s1, L_CHAR from, L_CHAR to, A_STATE* s2) {
  s1->table = static_cast<A_GOTO*>(
      s1->table ? d_re_alloc(s1->table, sizeof(A_GOTO) * (s1->table_size + 1)) : d_alloc(sizeof(A_GOTO)));
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
  for (A_STATE* s = a->state_list; s; s = s->next) {
    s->work_state = new_state(c);
    s->work_state->flags = s->flags;
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
  d_f_ree(b);
}

AUTOMATON* make_a_char(A_TREE* a) {
  AUTOMATON* r = new_automaton();
  A_STATE* i = new_state(r);
  A_STATE* f = new_state(r);
  i->flags = AS_INITIAL;
  f->flags = AS_ACCEPT;
  set_goto(i, a->ch.from, a->ch.to, f);
  return r;
}

AUTOMATON* make_a_star(A_TREE* a) {
  AUTOMATON* r = make_nfa(a->star.target);
  if (r) star_in_place(r);
  return r;
}

AUTOMATON* make_a_q(A_TREE* a) {
  AUTOMATON* r = make_nfa(a->q.target);
  if (r) set_goto(initial_of(r), kEmpty, kEmpty, accept_of(r));
  return r;
}

// Automata of both operands, or false (with neither left) when one fails.
static bool make_both(A_TREE* a, AUTOMATON** r, AUTOMATON** b) {
  *r = make_nfa(a->or_.a);
  *b = make_nfa(a->or_.b);
  if (*r && *b) return true;
  free_automaton(*r);
  free_automaton(*b);
  return false;
}

// r followed by b; b's states move into r.
static AUTOMATON* chain(AUTOMATON* r, AUTOMATON* b) {
  A_STATE* fa = accept_of(r);
  A_STATE* ib = initial_of(b);
  set_goto(fa, kEmpty, kEmpty, ib);
  fa->flags &= ~AS_ACCEPT;
  ib->flags &= ~AS_INITIAL;
  marge_automaton(r, b);
  return r;
}

// A followed by zero or more of a copy of A.
AUTOMATON* make_a_plus(A_TREE* a) {
  AUTOMATON* r = make_nfa(a->plus.target);
  if (!r) return nullptr;
  AUTOMATON* b = copy_automaton(r);
  star_in_place(b);
  return chain(r, b);
}

AUTOMATON* make_a_and(A_TREE* a) {
  AUTOMATON *r, *b;
  return make_both(a, &r, &b) ? chain(r, b) : nullptr;
}

AUTOMATON* make_a_or(A_TREE* a) {
  AUTOMATON *r, *b;
  if (!make_both(a, &r, &b)) return nullptr;
  A_STATE* ia = initial_of(r);
  A_STATE* fa = accept_of(r);
  A_STATE* ib = initial_of(b);
  A_STATE* fb = accept_of(b);
  ia->flags &= ~AS_INITIAL;
  fa->flags &= ~AS_ACCEPT;
  ib->flags &= ~AS_INITIAL;
  fb->flags &= ~AS_ACCEPT;
  marge_automaton(r, b);
  A_STATE* ni = new_state(r);
  A_STATE* nf = new_state(r);
  ni->flags = AS_INITIAL;
  nf->flags = AS_ACCEPT;
  set_goto(ni, kEmpty, kEmpty, ia);
  set_goto(ni, kEmpty, kEmpty, ib);
  set_goto(fa, kEmpty, kEmpty, nf);
  set_goto(fb, kEmpty, kEmpty, nf);
  return r;
}

AUTOMATON* make_nfa(A_TREE* a) {
  if (!a) return nullptr;
  switch (a->h.type) {
    case AT_CHAR: return make_a_char(a);
    case AT_STAR: return make_a_star(a);
    case AT_PLUS: return make_a_plus(a);
    case AT_Q: return make_a_q(a);
    case AT_OR: return make_a_or(a);
    case AT_AND: return make_a_and(a);
    default: er_panic("make_automaton(1)");
  }
}

// ---- Subset construction ----

A_STATE_SET* new_state_set(A_STATE* s, A_STATE_SET* next) {
  auto* ss = static_cast<A_STATE_SET*>(d_alloc(sizeof(A_STATE_SET)));
  ss->state = s;
  ss->next = next;
  return ss;
}

void free_state_set(A_STATE_SET* ss) {
  while (ss) {
    A_STATE_SET* next = ss->next;
    d_f_ree(ss);
    ss = next;
  }
}

void free_input_list(a_input* in) {
  while (in) {
    a_input* next = in->next;
    d_f_ree(in);
    in = next;
  }
}

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

A_STATE_SET* get_empty_closure(AUTOMATON* nfa, A_STATE_SET* ss) {
  for (; ss; ss = ss->next) ss->state->flags |= AS_MARK1;
  mark_closure(nfa);
  return take_marked(nfa);
}

A_STATE_SET* get_goto(AUTOMATON* nfa, A_STATE_SET* ss, L_CHAR from, L_CHAR to) {
  for (; ss; ss = ss->next) {
    A_STATE* s = ss->state;
    for (int k = 0; k < s->table_size; k++) {
      const A_GOTO& g = s->table[k];
      if (!is_empty_goto(g) && g.from <= to && from <= g.to) g.next_state->flags |= AS_MARK1;
    }
  }
  mark_closure(nfa);
  return take_marked(nfa);
}

L_CHAR get_from(AUTOMATON* nfa, L_CHAR to) {
  L_CHAR best = 1;
  auto consider = [&](L_CHAR b) {
    if (b <= to && b > best) best = b;
  };
  for (A_STATE* s = nfa->state_list; s; s = s->next) {
    for (int k = 0; k < s->table_size; k++) {
      const A_GOTO& g = s->table[k];
      if (is_empty_goto(g)) continue;
      consider(g.from);
      if (g.to != 0xFFFFFFFF) consider(g.to + 1);
    }
  }
  return best;
}

a_input* get_input_list(AUTOMATON* nfa) {
  a_input* head = nullptr;
  L_CHAR top = 0xFFFFFFFF;
  for (;;) {
    L_CHAR from = get_from(nfa, top);
    auto* in = static_cast<a_input*>(d_alloc(sizeof(a_input)));
    *in = a_input{head, from, top};
    head = in;
    if (from == 1) return head;
    top = from - 1;
  }
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

AUTOMATON* get_dfa(AUTOMATON* nfa) {
  A_STATE* nfa_init = initial_of(nfa);
  A_STATE* nfa_accept = accept_of(nfa);
  if (!nfa_init || !nfa_accept) er_panic("get_dfa");
  a_input* inputs = get_input_list(nfa);
  AUTOMATON* dfa = new_automaton();
  A_STATE_SET start{nfa_init, nullptr};
  A_STATE* d0 = new_state(dfa);
  d0->state_set = get_empty_closure(nfa, &start);
  d0->flags = AS_INITIAL;
  for (;;) {
    A_STATE* s = dfa->state_list;
    while (s && (s->flags & AS_MARK1)) s = s->next;
    if (!s) break;
    s->flags |= AS_MARK1;
    for (a_input* in = inputs; in; in = in->next) {
      A_STATE_SET* ss = get_goto(nfa, s->state_set, in->from, in->to);
      if (!ss) continue;
      A_STATE* t = exist_check(dfa, ss);
      if (t) {
        free_state_set(ss);
      } else {
        t = new_state(dfa);
        t->state_set = ss;
      }
      set_goto(s, in->from, in->to, t);
    }
  }
  init_flags(dfa, AS_MARK1 | AS_MARK2);
  for (A_STATE* s = dfa->state_list; s; s = s->next)
    if (set_holds(s->state_set, nfa_accept)) s->flags |= AS_ACCEPT;
  free_input_list(inputs);
  return dfa;
}

AUTOMATON* get_fa(const L_CHAR* str) {
  if (!str) return nullptr;
  A_TREE* tree = make_a_tree(str);
  if (!tree) return nullptr;
  AUTOMATON* nfa = make_nfa(tree);
  free_a_tree(tree);
  if (!nfa) return nullptr;
  AUTOMATON* dfa = get_dfa(nfa);
  free_automaton(nfa);
  // The state sets name states of the freed automaton: drop them.
  for (A_STATE* s = dfa->state_list; s; s = s->next) {
    free_state_set(s->state_set);
    s->state_set = nullptr;
  }
  return dfa;
}

// ---- Matching ----

int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str, int min_match_flag) {
  int min_dummy, max_dummy;
  if (!min_ptr) min_ptr = &min_dummy;
  if (!max_ptr) max_ptr = &max_dummy;
  *min_ptr = -1;
  *max_ptr = -1;
  A_STATE* s = search_state(dfa, AS_INITIAL);
  if (!s) er_panic("parse_dfa_str");
  int i = 0;
  for (; str[i]; i++) {
    if (s->flags & AS_ACCEPT) {
      if (*min_ptr < 0) *min_ptr = i;
      *max_ptr = i;
      if (min_match_flag) return i;
    }
    s = get_next_state(s, str[i]);
    if (!s) return -1;
  }
  if (!(s->flags & AS_ACCEPT)) return -1;
  *max_ptr = i;
  if (*min_ptr < 0) *min_ptr = i;
  return i;
}

// ---- Debug printers ----

void print_a_tree(A_TREE* a) {
  if (!a) {
    std::printf(".");
    return;
  }
  switch (a->h.type) {
    case AT_CHAR:
      std::printf("[");
      print_lc(a->ch.from);
      std::printf("-");
      print_lc(a->ch.to);
      std::printf("]");
      break;
    case AT_STAR:
    case AT_PLUS:
    case AT_Q:
      std::printf("(");
      print_a_tree(a->star.target);
      std::printf(a->h.type == AT_STAR ? ")*" : a->h.type == AT_PLUS ? ")+" : ")?");
      break;
    case AT_OR:
      std::printf("(");
      print_a_tree(a->or_.a);
      std::printf("|");
      print_a_tree(a->or_.b);
      std::printf(")");
      break;
    case AT_AND:
      std::printf("(");
      print_a_tree(a->and_.a);
      print_a_tree(a->and_.b);
      std::printf(")");
      break;
    default: er_panic("print_a_tree");
  }
}

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
