// Regular expressions, first stage: the pattern parser and the parse-tree records.
//
// The parser reads left to right without recursion. The brackets are matched in one pass
// beforehand (a group's or class's extent is where its count of "(" and ")", or "[" and
// "]", returns to zero, the character after a backslash not counted), so every extent is
// known in constant time. Each open group is a frame holding its sequence so far and the
// alternatives before its last "|"; "|" binds loosest and to the right (a|b|c is
// a|(b|c)), a postfix operator wraps the last element of the sequence only.
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "text/l_string.h"
#include "text/regex_build.h"

namespace tq {

namespace rx {

namespace {

L_CHAR escaped(L_CHAR c) {
  switch (c) {
    case 'r': return 13;
    case 't': return 9;
    case 'n': return 10;
    default: return c;
  }
}

int add_node(Tree* t, int type, L_CHAR from, L_CHAR to, int a, int b) {
  t->n.push_back(TNode{type, from, to, a, b});
  return int(t->n.size()) - 1;
}

// The inside of a class, rex[lo..hi): single characters and ranges x-y, an alternative of
// them (left-nested); -1 when empty or ending in "-". A backslash is ordinary here. A
// range written high to low stays as written and holds no character.
int add_class(Tree* t, const L_CHAR* rex, int lo, int hi) {
  int ret = -1;
  for (int k = lo; k < hi;) {
    const L_CHAR from = rex[k];
    L_CHAR to = from;
    if (k + 1 < hi && rex[k + 1] == '-') {
      if (k + 2 >= hi) return -1;
      to = rex[k + 2];
      k += 3;
    } else {
      k++;
    }
    const int r = add_node(t, AT_CHAR, from, to, -1, -1);
    ret = ret < 0 ? r : add_node(t, AT_OR, 0, 0, ret, r);
  }
  return ret;
}

class Parser {
 public:
  Parser(const L_CHAR* rex, int len, Tree* t) : rex_(rex), len_(len), t_(t) {}

  bool run() {
    t_->n.clear();
    t_->root = -1;
    if (len_ > kRegexMaxLength) return false;
    match_brackets();
    frames_.push_back(Frame{len_, 0, -1, 0, 0});
    int i = 0;
    while (!frames_.empty()) {
      if (t_->n.size() > size_t(kRegexMaxNfaStates)) return false;
      if (i == frames_.back().end) {
        if (!close_frame(&i)) return false;
        continue;
      }
      if (!step(&i)) return false;
    }
    return true;
  }

 private:
  struct Frame {
    int end;          // index of the closing ")" (len for the whole pattern)
    int seg_start;    // first character of the current alternative
    int seq;          // the current alternative's sequence, -1 while empty
    int count;        // elements in seq
    size_t alt_base;  // this frame's alternatives start here in alts_
  };

  // Extents of every group and class, as a scan from its opening character finds them.
  void match_brackets() {
    close_.assign(size_t(len_), -1);
    std::vector<int> parens, brackets;
    for (int i = 0; i < len_; i++) {
      const L_CHAR c = rex_[i];
      if (c == '\\') {
        i++;
      } else if (c == '(') {
        parens.push_back(i);
      } else if (c == '[') {
        brackets.push_back(i);
      } else if (c == ')' && !parens.empty()) {
        close_[size_t(parens.back())] = i;
        parens.pop_back();
      } else if (c == ']' && !brackets.empty()) {
        close_[size_t(brackets.back())] = i;
        brackets.pop_back();
      }
    }
  }

  int node(int type, L_CHAR from, L_CHAR to, int a, int b) { return add_node(t_, type, from, to, a, b); }
  int chr(L_CHAR from, L_CHAR to) { return node(AT_CHAR, from, to, -1, -1); }
  int any_char() {
    const int tail = node(AT_OR, 0, 0, chr(0x80000000, 0xDFFEFFFF), chr(0xE0000000, 0xFFFFFFFF));
    return node(AT_OR, 0, 0, chr(32, 0x7FFFFFFF), tail);
  }

  void append(int e) {
    Frame& f = frames_.back();
    f.seq = f.seq < 0 ? e : node(AT_AND, 0, 0, f.seq, e);
    f.count++;
  }

  void wrap_last(int type) {
    Frame& f = frames_.back();
    if (f.count == 1) {
      f.seq = node(type, 0, 0, f.seq, -1);
    } else {
      const int wrapped = node(type, 0, 0, t_->n[size_t(f.seq)].b, -1);
      t_->n[size_t(f.seq)].b = wrapped;
    }
  }

  // At the end of a frame: its alternatives joined to the right, appended to the frame
  // around it (or the root). An empty group or pattern is malformed.
  bool close_frame(int* i) {
    const Frame f = frames_.back();
    frames_.pop_back();
    int r = f.seq;
    if (r < 0) return false;
    while (alts_.size() > f.alt_base) {
      r = node(AT_OR, 0, 0, alts_.back(), r);
      alts_.pop_back();
    }
    if (frames_.empty()) {
      t_->root = r;
      return true;
    }
    append(r);
    *i = f.end + 1;
    return true;
  }

  bool step(int* at) {
    const int i = *at;
    const Frame& f = frames_.back();
    const L_CHAR c = rex_[i];
    switch (c) {
      case '.':
        append(any_char());
        *at = i + 1;
        return true;
      case '[': {
        const int j = close_[size_t(i)];
        if (j < 0 || j >= f.end) return false;
        const int e = add_class(t_, rex_, i + 1, j);
        if (e < 0) return false;
        append(e);
        *at = j + 1;
        return true;
      }
      case '(': {
        const int j = close_[size_t(i)];
        if (j < 0 || j >= f.end) return false;
        frames_.push_back(Frame{j, i + 1, -1, 0, alts_.size()});
        *at = i + 1;
        return true;
      }
      case '\\':
        if (i + 1 >= f.end) return false;
        append(chr(escaped(rex_[i + 1]), escaped(rex_[i + 1])));
        *at = i + 2;
        return true;
      case '*':
      case '+':
      case '?':
        if (f.count == 0)  // nothing to apply to: an ordinary character
          append(chr(c, c));
        else
          wrap_last(c == '*' ? AT_STAR : c == '+' ? AT_PLUS : AT_Q);
        *at = i + 1;
        return true;
      case '|': {
        if (i == f.seg_start || i == f.end - 1) return false;
        Frame& g = frames_.back();
        alts_.push_back(g.seq);
        g.seq = -1;
        g.count = 0;
        g.seg_start = i + 1;
        *at = i + 1;
        return true;
      }
      default:
        append(chr(c, c));
        *at = i + 1;
        return true;
    }
  }

  const L_CHAR* rex_;
  int len_;
  Tree* t_;
  std::vector<int> close_;   // closing index of each "(" and "[", -1 when unclosed
  std::vector<Frame> frames_;
  std::vector<int> alts_;    // alternatives waiting for the rest of their frame
};

}  // namespace

bool parse(const L_CHAR* rex, int len, Tree* t) { return Parser(rex, len, t).run(); }

std::vector<int> post_order(const Tree& t) {
  std::vector<int> out;
  if (t.root < 0) return out;
  std::vector<std::pair<int, bool>> todo{{t.root, false}};
  while (!todo.empty()) {
    const auto [k, expanded] = todo.back();
    todo.pop_back();
    const TNode& x = t.n[size_t(k)];
    if (expanded || x.type == AT_CHAR) {
      out.push_back(k);
      continue;
    }
    todo.push_back({k, true});
    if (x.type == AT_OR || x.type == AT_AND) todo.push_back({x.b, false});
    todo.push_back({x.a, false});
  }
  return out;
}

A_TREE* tree_to_record(const Tree& t) {
  if (t.root < 0) return nullptr;
  std::vector<A_TREE*> rec(t.n.size(), nullptr);
  for (int k : post_order(t)) {
    const TNode& x = t.n[size_t(k)];
    A_TREE* a = static_cast<A_TREE*>(d_calloc(1, sizeof(A_TREE)));
    a->h.type = x.type;
    switch (x.type) {
      case AT_CHAR:
        a->ch.from = x.from;
        a->ch.to = x.to;
        break;
      case AT_STAR:
      case AT_PLUS:
      case AT_Q: a->star.target = rec[size_t(x.a)]; break;
      default:
        a->or_.a = rec[size_t(x.a)];
        a->or_.b = rec[size_t(x.b)];
        break;
    }
    rec[size_t(k)] = a;
  }
  return rec[size_t(t.root)];
}

void tree_from_record(const A_TREE* root, Tree* t) {
  t->n.clear();
  t->root = -1;
  if (!root) return;
  struct Item {
    const A_TREE* a;
    bool expanded;
  };
  std::vector<Item> todo{{root, false}};
  std::vector<int> made;  // indices of finished subtrees, operands in order
  while (!todo.empty()) {
    Item it = todo.back();
    todo.pop_back();
    const A_TREE* a = it.a;
    const int type = a->h.type;
    if (type < AT_CHAR || type > AT_AND) er_panic("make_automaton(1)");
    if (!it.expanded && type != AT_CHAR) {
      todo.push_back({a, true});
      if (type == AT_OR || type == AT_AND) {
        todo.push_back({a->or_.b, false});
        todo.push_back({a->or_.a, false});
      } else {
        todo.push_back({a->star.target, false});
      }
      continue;
    }
    TNode x{type, 0, 0, -1, -1};
    if (type == AT_CHAR) {
      x.from = a->ch.from;
      x.to = a->ch.to;
    } else if (type == AT_OR || type == AT_AND) {
      x.b = made.back();
      made.pop_back();
      x.a = made.back();
      made.pop_back();
    } else {
      x.a = made.back();
      made.pop_back();
    }
    t->n.push_back(x);
    made.push_back(int(t->n.size()) - 1);
  }
  t->root = made.back();
}

}  // namespace rx

// ---- the tree records ------------------------------------------------------------------------

int skip_punc(const L_CHAR* rex, int ip, L_CHAR ch1, L_CHAR ch2) {
  int depth = 0;
  for (int i = ip; rex[i]; i++) {
    const L_CHAR c = rex[i];
    if (c == '\\') {
      if (!rex[++i]) break;
    } else if (c == ch1) {
      depth++;
    } else if (c == ch2) {
      if (--depth == 0) return i;
    }
  }
  return -1;
}

A_TREE* make_a_tree(const L_CHAR* rex) {
  rx::Tree t;
  if (!rex || !rx::parse(rex, l_strlen(rex), &t)) return nullptr;
  return rx::tree_to_record(t);
}

A_TREE* char_class_a_tree(const L_CHAR* rex) {
  rx::Tree t;
  if (!rex) return nullptr;
  const int len = l_strlen(rex);
  if (len > kRegexMaxLength) return nullptr;
  t.root = rx::add_class(&t, rex, 0, len);
  return rx::tree_to_record(t);
}

A_TREE* char_a_tree(L_CHAR from, L_CHAR to) {
  A_TREE* a = static_cast<A_TREE*>(d_calloc(1, sizeof(A_TREE)));
  a->h.type = AT_CHAR;
  a->ch.from = from;
  a->ch.to = to;
  return a;
}

namespace {

A_TREE* unary(int type, A_TREE* target) {
  if (!target) return nullptr;
  A_TREE* a = static_cast<A_TREE*>(d_calloc(1, sizeof(A_TREE)));
  a->h.type = type;
  a->star.target = target;
  return a;
}

A_TREE* binary(int type, A_TREE* a, A_TREE* b) {
  if (!a) return b;
  if (!b) return a;
  A_TREE* n = static_cast<A_TREE*>(d_calloc(1, sizeof(A_TREE)));
  n->h.type = type;
  n->or_.a = a;
  n->or_.b = b;
  return n;
}

}  // namespace

A_TREE* star_a_tree(A_TREE* a) { return unary(AT_STAR, a); }
A_TREE* plus_a_tree(A_TREE* a) { return unary(AT_PLUS, a); }
A_TREE* q_a_tree(A_TREE* a) { return unary(AT_Q, a); }
A_TREE* and_a_tree(A_TREE* a, A_TREE* b) { return binary(AT_AND, a, b); }
A_TREE* or_a_tree(A_TREE* a, A_TREE* b) { return binary(AT_OR, a, b); }

void free_a_tree(A_TREE* root) {
  std::vector<A_TREE*> todo;
  if (root) todo.push_back(root);
  while (!todo.empty()) {
    A_TREE* a = todo.back();
    todo.pop_back();
    switch (a->h.type) {
      case AT_CHAR: break;
      case AT_STAR:
      case AT_PLUS:
      case AT_Q:
        if (a->star.target) todo.push_back(a->star.target);
        break;
      case AT_OR:
      case AT_AND:
        if (a->or_.b) todo.push_back(a->or_.b);
        if (a->or_.a) todo.push_back(a->or_.a);
        break;
      default: er_panic("free_a_type");
    }
    d_f_ree(a);
  }
}

namespace {

void print_lc(L_CHAR c) { std::printf("%c(%x)", static_cast<int>(c & 0xFF), c); }

}  // namespace

void print_a_tree(A_TREE* root) {
  // Work items: a node to print, or a closing text to print after a node's operands.
  struct Item {
    A_TREE* a;
    const char* text;  // when set, printed instead of a node
  };
  std::vector<Item> todo{{root, nullptr}};
  while (!todo.empty()) {
    const Item it = todo.back();
    todo.pop_back();
    if (it.text) {
      std::printf("%s", it.text);
      continue;
    }
    A_TREE* a = it.a;
    if (!a) {
      std::printf(".");
      continue;
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
        todo.push_back({nullptr, a->h.type == AT_STAR ? ")*" : a->h.type == AT_PLUS ? ")+" : ")?"});
        todo.push_back({a->star.target, nullptr});
        break;
      case AT_OR:
      case AT_AND:
        std::printf("(");
        todo.push_back({nullptr, ")"});
        todo.push_back({a->or_.b, nullptr});
        if (a->h.type == AT_OR) todo.push_back({nullptr, "|"});
        todo.push_back({a->or_.a, nullptr});
        break;
      default: er_panic("print_a_tree");
    }
  }
}

}  // namespace tq
