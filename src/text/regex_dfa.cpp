// Regular expressions, last stage: the deterministic automaton by subset construction, its
// matching table, compiling a pattern, and matching.
//
// Subset construction, one deterministic state at a time in the order they are found: the
// character transitions leaving the state's set are cut at their own boundaries into
// ranges; each range's targets, closed over empty transitions, are a set that is looked up
// in a hash of the sets found so far or becomes a new state. Ranges that lead to the same
// state are joined into one transition, so a state's table is short and ascending. The
// construction counts its steps and gives up past the bounds of regex.h.
//
// Matching table (a_match): characters below 256 fall into classes that no transition
// boundary splits, and each state has one next state per class: one lookup per character.
// Above 255, each state's ranges are searched by halving.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "text/l_string.h"
#include "text/regex_build.h"

namespace tq {

struct a_match_range {
  L_CHAR from, to;
  int target;
};

struct a_match {
  int nstates;
  int nclasses;
  uint8_t cls[256];         // class of each character below 256
  uint16_t* next;           // nstates * nclasses: next state, kNoState when none
  uint8_t* accept;          // nstates
  int* wide_start;          // nstates + 1: each state's ranges above 255 in wide
  a_match_range* wide;
};

namespace rx {

namespace {

constexpr uint16_t kNoState = 0xFFFF;
static_assert(kRegexMaxStates < kNoState, "state numbers fit the matching table");

struct DTrans {
  L_CHAR from, to;
  int target;
};

uint64_t hash_set(const int* s, size_t n) {
  uint64_t h = 1469598103934665603ULL;
  for (size_t k = 0; k < n; k++) h = (h ^ uint32_t(s[k])) * 1099511628211ULL;
  return h;
}

// Sets of state numbers, each kept once: a pool with an open-addressing hash over it.
class SetTable {
 public:
  int size() const { return int(start_.size()); }
  const int* get(int i, size_t* len) const {
    const size_t b = start_[size_t(i)];
    *len = (size_t(i) + 1 < start_.size() ? start_[size_t(i) + 1] : pool_.size()) - b;
    return pool_.data() + b;
  }
  // The number of s, or -1 when it is not kept; *steps counts the sets compared.
  int find(const std::vector<int>& s, uint64_t h, long* steps) const {
    if (slots_.empty()) return -1;
    const size_t mask = slots_.size() - 1;
    for (size_t k = size_t(h) & mask; slots_[k] >= 0; k = (k + 1) & mask) {
      const int i = slots_[k];
      ++*steps;
      size_t len;
      const int* x = get(i, &len);
      if (hashes_[size_t(i)] == h && len == s.size() && std::equal(x, x + len, s.begin())) return i;
    }
    return -1;
  }
  // Keeps s (not kept yet) and gives its number.
  int add(const std::vector<int>& s, uint64_t h) {
    if (2 * (size() + 1) > int(slots_.size())) rehash(slots_.empty() ? 64 : slots_.size() * 2);
    const int i = size();
    start_.push_back(pool_.size());
    pool_.insert(pool_.end(), s.begin(), s.end());
    hashes_.push_back(h);
    place(i);
    return i;
  }

 private:
  void place(int i) {
    const size_t mask = slots_.size() - 1;
    size_t k = size_t(hashes_[size_t(i)]) & mask;
    while (slots_[k] >= 0) k = (k + 1) & mask;
    slots_[k] = i;
  }
  void rehash(size_t n) {
    slots_.assign(n, -1);
    for (int i = 0; i < size(); i++) place(i);
  }

  std::vector<int> pool_;          // every set, one after another
  std::vector<size_t> start_;      // where each set starts in pool_
  std::vector<uint64_t> hashes_;
  std::vector<int> slots_;         // set numbers by hash, -1 free
};

class SubsetBuilder {
 public:
  explicit SubsetBuilder(const Nfa& n) : n_(n), closure_(n) {}

  bool run() {
    if (n_.initial < 0 || n_.accept < 0) er_panic("get_dfa");
    closure_.begin();
    closure_.seed(n_.initial);
    work_ += closure_.finish(&scratch_);
    intern(scratch_);
    for (int d = 0; d < count(); d++) {
      trans_start_.push_back(trans_.size());
      if (!expand(d)) return false;
    }
    trans_start_.push_back(trans_.size());
    return true;
  }

  int count() const { return sets_.size(); }
  const int* set(int d, size_t* len) const { return sets_.get(d, len); }
  bool accepts(int d) const {
    size_t len;
    const int* s = set(d, &len);
    return std::binary_search(s, s + len, n_.accept);
  }
  const DTrans* trans(int d, size_t* len) const {
    *len = trans_start_[size_t(d) + 1] - trans_start_[size_t(d)];
    return trans_.data() + trans_start_[size_t(d)];
  }

 private:
  // The state of a closed set, made when new; -1 past kRegexMaxStates.
  int intern(const std::vector<int>& s) {
    const uint64_t h = hash_set(s.data(), s.size());
    const int d = sets_.find(s, h, &work_);
    if (d >= 0) return d;
    if (count() >= kRegexMaxStates) return -1;
    return sets_.add(s, h);
  }

  // The state that a set of transition targets leads to: the closure of the targets,
  // computed once per distinct set of targets.
  int target_state(const std::vector<int>& targets) {
    const uint64_t h = hash_set(targets.data(), targets.size());
    const int known = seeds_.find(targets, h, &work_);
    if (known >= 0) return seed_state_[size_t(known)];
    closure_.begin();
    for (int s : targets) closure_.seed(s);
    work_ += closure_.finish(&scratch_);
    if (work_ > kRegexMaxWork) return -1;
    const int d = intern(scratch_);
    if (d < 0) return -1;
    seeds_.add(targets, h);
    seed_state_.push_back(d);
    return d;
  }

  // The transitions of state d.
  bool expand(int d) {
    edges_.clear();
    size_t len;
    const int* members = set(d, &len);
    for (size_t m = 0; m < len; m++) {
      const int s = members[m];
      for (int e = n_.edge_start[size_t(s)]; e < n_.edge_start[size_t(s) + 1]; e++) {
        Edge g = n_.edges[size_t(e)];
        if (g.from == 0) g.from = 1;  // character 0 never occurs in text
        if (g.from <= g.to) edges_.push_back(g);  // a range written high to low holds nothing
      }
    }
    work_ += long(len) + 3 * sort_steps(edges_.size());  // the edges, then twice as many cuts
    if (edges_.empty()) return true;
    std::sort(edges_.begin(), edges_.end(), [](const Edge& a, const Edge& b) { return a.from < b.from; });
    cuts_.clear();
    for (const Edge& g : edges_) {
      cuts_.push_back(g.from);
      if (g.to != 0xFFFFFFFF) cuts_.push_back(g.to + 1);
    }
    std::sort(cuts_.begin(), cuts_.end());
    cuts_.erase(std::unique(cuts_.begin(), cuts_.end()), cuts_.end());
    for (size_t k = 0; k < cuts_.size(); k++) {
      const L_CHAR lo = cuts_[k];
      const L_CHAR hi = k + 1 < cuts_.size() ? cuts_[k + 1] - 1 : 0xFFFFFFFF;
      targets_.clear();
      for (const Edge& g : edges_) {
        if (g.from > lo) break;
        if (g.to >= lo) targets_.push_back(g.target);
      }
      work_ += long(edges_.size()) + sort_steps(targets_.size());
      if (work_ > kRegexMaxWork) return false;
      if (targets_.empty()) continue;
      std::sort(targets_.begin(), targets_.end());
      targets_.erase(std::unique(targets_.begin(), targets_.end()), targets_.end());
      const int t = target_state(targets_);
      if (t < 0) return false;
      if (trans_.size() > trans_start_.back() && trans_.back().target == t && trans_.back().to + 1 == lo)
        trans_.back().to = hi;
      else
        trans_.push_back(DTrans{lo, hi, t});
    }
    return true;
  }

  const Nfa& n_;
  Closure closure_;
  long work_ = 0;
  SetTable sets_;                    // each state's set, by state number
  SetTable seeds_;                   // target sets already closed ...
  std::vector<int> seed_state_;      // ... and the state each leads to
  std::vector<size_t> trans_start_;  // each state's transitions in trans_
  std::vector<DTrans> trans_;
  std::vector<Edge> edges_;          // scratch of expand
  std::vector<L_CHAR> cuts_;
  std::vector<int> targets_, scratch_;
};

// One debug-heap block holding the table and its arrays.
a_match* make_match(const SubsetBuilder& b) {
  const int ns = b.count();
  std::vector<L_CHAR> cut{0};
  size_t nwide = 0;
  for (int d = 0; d < ns; d++) {
    size_t len;
    const DTrans* t = b.trans(d, &len);
    for (size_t k = 0; k < len; k++) {
      if (t[k].from < 256) cut.push_back(t[k].from);
      if (t[k].to < 255) cut.push_back(t[k].to + 1);
      if (t[k].to >= 256) nwide++;
    }
  }
  std::sort(cut.begin(), cut.end());
  cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
  const int nc = int(cut.size());
  const size_t next_bytes = sizeof(uint16_t) * size_t(ns) * size_t(nc);
  const size_t acc_at = sizeof(a_match) + next_bytes;
  const size_t start_at = (acc_at + size_t(ns) + alignof(int) - 1) / alignof(int) * alignof(int);
  const size_t wide_at = start_at + sizeof(int) * (size_t(ns) + 1);
  const size_t total = wide_at + sizeof(a_match_range) * nwide;
  char* block = static_cast<char*>(d_alloc(total));
  auto* m = reinterpret_cast<a_match*>(block);
  m->nstates = ns;
  m->nclasses = nc;
  m->next = reinterpret_cast<uint16_t*>(block + sizeof(a_match));
  m->accept = reinterpret_cast<uint8_t*>(block + acc_at);
  m->wide_start = reinterpret_cast<int*>(block + start_at);
  m->wide = reinterpret_cast<a_match_range*>(block + wide_at);
  for (int c = 0, k = 0; c < 256; c++) {
    while (k + 1 < nc && cut[size_t(k) + 1] <= L_CHAR(c)) k++;
    m->cls[c] = uint8_t(k);
  }
  std::fill(m->next, m->next + size_t(ns) * size_t(nc), kNoState);
  int w = 0;
  for (int d = 0; d < ns; d++) {
    m->accept[d] = b.accepts(d) ? 1 : 0;
    m->wide_start[d] = w;
    size_t len;
    const DTrans* t = b.trans(d, &len);
    for (size_t k = 0; k < len; k++) {
      if (t[k].from < 256) {
        const int c1 = m->cls[t[k].to < 255 ? t[k].to : 255];
        for (int c = m->cls[t[k].from]; c <= c1; c++) m->next[size_t(d) * size_t(nc) + size_t(c)] = uint16_t(t[k].target);
      }
      if (t[k].to >= 256) m->wide[w++] = a_match_range{t[k].from < 256 ? 256 : t[k].from, t[k].to, t[k].target};
    }
  }
  m->wide_start[ns] = w;
  return m;
}

// Records of the deterministic automaton: states in the order found (the initial first).
AUTOMATON* make_records(const SubsetBuilder& b, const std::vector<A_STATE*>* nfa_states) {
  AUTOMATON* a = new_automaton();
  const int ns = b.count();
  std::vector<A_STATE*> rec(static_cast<size_t>(ns));
  A_STATE** tail = &a->state_list;
  for (int d = 0; d < ns; d++) {
    rec[size_t(d)] = static_cast<A_STATE*>(d_calloc(1, sizeof(A_STATE)));
    *tail = rec[size_t(d)];
    tail = &rec[size_t(d)]->next;
  }
  for (int d = 0; d < ns; d++) {
    A_STATE* r = rec[size_t(d)];
    r->flags = (d == 0 ? AS_INITIAL : 0) | (b.accepts(d) ? AS_ACCEPT : 0);
    size_t len;
    const DTrans* t = b.trans(d, &len);
    r->table_size = int(len);
    if (len) r->table = static_cast<A_GOTO*>(d_alloc(sizeof(A_GOTO) * len));
    for (size_t k = 0; k < len; k++) r->table[k] = A_GOTO{t[k].from, t[k].to, rec[size_t(t[k].target)]};
    if (nfa_states) {
      const int* s = b.set(d, &len);
      for (size_t k = len; k-- > 0;) r->state_set = new_state_set((*nfa_states)[size_t(s[k])], r->state_set);
    }
  }
  a->match = make_match(b);
  return a;
}

}  // namespace

AUTOMATON* build_dfa(const Nfa& n, const std::vector<A_STATE*>* nfa_states) {
  SubsetBuilder b(n);
  if (!b.run()) return nullptr;
  return make_records(b, nfa_states);
}

void free_match(a_match* m) {
  if (m) d_f_ree(m);
}

}  // namespace rx

AUTOMATON* get_dfa(AUTOMATON* nfa) {
  rx::Nfa n;
  std::vector<A_STATE*> states;
  rx::nfa_from_record(nfa, &n, &states);
  return rx::build_dfa(n, &states);
}

AUTOMATON* get_fa(const L_CHAR* str) {
  if (!str) return nullptr;
  rx::Tree t;
  rx::Nfa n;
  if (!rx::parse(str, l_strlen(str), &t) || !rx::nfa_from_tree(t, &n)) return nullptr;
  return rx::build_dfa(n, nullptr);
}

// ---- matching ------------------------------------------------------------------------------------

namespace {

int wide_next(const a_match* m, int s, L_CHAR ch) {
  const a_match_range* lo = m->wide + m->wide_start[s];
  const a_match_range* hi = m->wide + m->wide_start[s + 1];
  const a_match_range* r = std::upper_bound(lo, hi, ch, [](L_CHAR c, const a_match_range& x) { return c < x.from; });
  if (r == lo || ch > (r - 1)->to) return rx::kNoState;
  return (r - 1)->target;
}

// The walk over a matching table; the same results as the walk over the records.
int run_table(int* min_ptr, int* max_ptr, const a_match* m, const L_CHAR* str, int min_match_flag) {
  int s = 0;  // the initial state is the first found
  int i = 0;
  for (; str[i]; i++) {
    if (m->accept[s]) {
      if (*min_ptr < 0) *min_ptr = i;
      *max_ptr = i;
      if (min_match_flag) return i;
    }
    const L_CHAR c = str[i];
    const int t = c < 256 ? m->next[size_t(s) * size_t(m->nclasses) + m->cls[c]] : wide_next(m, s, c);
    if (t == rx::kNoState) return -1;
    s = t;
  }
  if (!m->accept[s]) return -1;
  *max_ptr = i;
  if (*min_ptr < 0) *min_ptr = i;
  return i;
}

}  // namespace

int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str, int min_match_flag) {
  int min_dummy, max_dummy;
  if (!min_ptr) min_ptr = &min_dummy;
  if (!max_ptr) max_ptr = &max_dummy;
  *min_ptr = -1;
  *max_ptr = -1;
  if (dfa->match) return run_table(min_ptr, max_ptr, dfa->match, str, min_match_flag);
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

}  // namespace tq
