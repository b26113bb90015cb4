// The pattern and encoding words. Patterns are compiled by get_fa, which refuses malformed
// and over-large patterns (null); the words answer that with 0x80040503 rather than run
// without an automaton. Automata live on the debug heap and are freed on every path.
#include "words/patterns.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "interp/reply.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "stream/string_stream.h"
#include "text/code_method.h"
#include "text/regex.h"
#include "words/registrars.h"
#include "words/strings.h"

namespace tq {

using namespace words;

namespace {

struct AutomatonFree {
  void operator()(AUTOMATON* a) const { free_automaton(a); }
};
using AutomatonPtr = std::unique_ptr<AUTOMATON, AutomatonFree>;

bool is_string(TQ_SEXP* x) { return get_type(x) == kTagString; }

}  // namespace

TQ_SEXP* tq_RegCmp(TQ_WORD_ARGS) {
  const L_CHAR* rex = word_attr(sf, "rex");
  if (!rex) return word_error_str(s, ER_INVALID_PARAM, "RegCmp", "parameter error");
  TQ_SEXP* str = get_el(s, 1);
  if (!is_string(str)) return word_error_str(s, ER_TYPE, "RegCmp", "type missmatch");
  AutomatonPtr fa(get_fa(rex));
  if (!fa) return word_error_str(s, ER_INVALID_PARAM, "RegCmp", "parameter error: regular expression");
  int first = -1, last = -1;
  const int r = parse_dfa_str(&first, &last, fa.get(), str->string.data, 0);
  return list(get_integer(r, nullptr), get_integer(first, nullptr), get_integer(last, nullptr), nullptr);
}

// ---- RegSwitch.

namespace {

struct Clause {
  AutomatonPtr a;
  const L_CHAR* mode;  // null: no mode
  TQ_SEXP* body;
};

bool same_mode(const L_CHAR* a, const L_CHAR* b) { return !a || !b ? a == b : l_strcmp(a, b) == 0; }

// The clauses of the form from its third element on, or an error.
TQ_SEXP* build_clauses(TQ_SEXP* s, std::vector<Clause>* out) {
  for (TQ_SEXP* p = s->pair.cdr->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* c = p->pair.car;
    if (is_error_cell(c)) return c;
    if (get_type(c) != kTagPair) return word_error_str(s, ER_INVALID_PARAM, "RegSwitch", "parameter error");
    TQ_SEXP* head = c->pair.car;
    if (is_error_cell(head)) return head;
    const L_CHAR* rex = get_type(head) == kTagSymbol ? get_sf_attribute(head->symbol.field, lc("rex")) : nullptr;
    if (!rex) return word_error_str(s, ER_INVALID_PARAM, "RegSwitch", "parameter error");
    AutomatonPtr a(get_fa(rex));
    if (!a) return word_error_str(s, ER_INVALID_PARAM, "RegSwitch", "parameter error: regular expression");
    out->push_back({std::move(a), get_sf_attribute(head->symbol.field, lc("mode")), c->pair.cdr});
  }
  return nullptr;
}

// The current mode: the text of RegMode's value, null when unbound; an error for a value
// that is neither symbol nor string. The value is rooted in the caller's frame in the section
// that found it: another thread may set RegMode anew and a collection free the old value
// while the clauses are matched against its text. Once a value: the scan asks at every place.
TQ_SEXP* current_mode(TQISP_ENV* env, TQ_SEXP* s, const L_CHAR** mode) {
  TQ_SEXP* v = nullptr;
  *mode = nullptr;
  {
    MemLock hold;
    if (lookup_env(&v, env, lc("RegMode"), -1) != 0) return nullptr;
    if (v) gc_set_nl(v, gc_qv_sexp);
  }
  switch (get_type(v)) {
    case kTagSymbol: *mode = v->symbol.data; return nullptr;
    case kTagString: *mode = v->string.data; return nullptr;
    default: return word_error_str(s, ER_TYPE, "RegSwitch", "type missmatch / symbol mode");
  }
}

// Runs a clause's body with "pattern" bound to the matched text. Returns null to go on,
// or the value that ends the word (an error, or the output when a Break ends the scan);
// a string value is appended to out.
TQ_SEXP* run_clause(TQISP_ENV* env, const Clause& c, const L_CHAR* text, int len, std::vector<L_CHAR>* out,
                    bool* stop) {
  GcFrame frame("RegSwitch");
  TQISP_ENV* local = new_env(env);
  set_env(local, lc("pattern"), string_of(text, size_t(len)));
  TQ_SEXP* v = nullptr;
  for (TQ_SEXP* p = c.body; get_type(p) == kTagPair; p = p->pair.cdr) {
    v = eval(local, p->pair.car);
    if (is_error_cell(v)) break;
  }
  if (is_error_cell(v) && v->error.code == ER_CTL_BREAK) {
    *stop = true;
    v = v->error.data;
    if (is_error_cell(v)) return frame.release(v);
  } else if (is_error_cell(v)) {
    return frame.release(v);
  }
  if (is_string(v)) out->insert(out->end(), v->string.data, v->string.data + l_strlen(v->string.data));
  return nullptr;
}

}  // namespace

TQ_SEXP* tq_RegSwitch(TQ_WORD_ARGS) {
  TQ_SEXP* subject = eval(env, get_el(s, 1));
  if (is_error_cell(subject)) return subject;
  if (!is_string(subject)) return word_error_str(s, ER_TYPE, "RegSwitch", "type missmatch");
  std::vector<Clause> clauses;
  if (TQ_SEXP* e = build_clauses(s, &clauses)) return e;
  const L_CHAR* text = subject->string.data;
  std::vector<L_CHAR> out;
  bool stop = false;
  for (int pos = 0; text[pos] && !stop;) {
    const L_CHAR* mode;
    if (TQ_SEXP* e = current_mode(env, s, &mode)) return e;
    const Clause* best = nullptr;
    int best_len = -1;
    for (const Clause& c : clauses) {
      if (!same_mode(mode, c.mode)) continue;
      int first = -1, last = -1;
      parse_dfa_str(&first, &last, c.a.get(), text + pos, 0);
      if (last > best_len) {
        best = &c;
        best_len = last;
      }
    }
    if (best_len <= 0) {
      out.push_back(text[pos++]);
      continue;
    }
    if (TQ_SEXP* e = run_clause(env, *best, text + pos, best_len, &out, &stop)) return e;
    pos += best_len;
  }
  return string_of(out.data(), out.size());
}

// ---- Encodings.

TQ_SEXP* tq_GetProperCode(TQ_WORD_ARGS) {
  const L_CHAR* trace_text = word_attr(sf, "trace");
  int trace = -1;
  if (trace_text && l_strcmp(trace_text, lc("full")) == 0) {
    trace = -2;
  } else if (trace_text) {
    const char* t = n_string(std_cm, trace_text);
    char* end = nullptr;
    const long v = std::strtol(t, &end, 10);
    if (end != t) trace = int(v);
  }
  CODE_METHOD* cm = search_cm_by_lccode(get_proper_code(get_el(s, 1), trace));
  if (!cm) return word_error_str(s, ER_MISSING, "GetProperCode", "invalid encoding");
  return n_get_string(cm->name);
}

TQ_SEXP* tq_Parse(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  if (!is_string(str)) return word_error_str(s, ER_TYPE, "Parse", "type missmatch");
  // The characters as they are in memory, read back by the Internal code method unchanged.
  const L_CHAR* text = str->string.data;
  const int bytes = l_strlen(text) * int(sizeof(L_CHAR));
  STREAM* in = s_open_string_read(reinterpret_cast<const char*>(text), int_cm, bytes, 1);
  return init_parse(in, lc("Parse"), nullptr);
}

namespace {

int hex_value(L_CHAR c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return 0;
}

}  // namespace

TQ_SEXP* tq_DecodeURLString(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  if (!is_string(str)) return word_error_str(s, ER_TYPE, "DecodeURLString", "type missmatch");
  std::string bytes;
  for (const L_CHAR* p = str->string.data; *p;) {
    if (*p == '%' && p[1] && p[2]) {
      bytes.push_back(char(hex_value(p[1]) << 4 | hex_value(p[2])));
      p += 3;
    } else {
      bytes.push_back(char(*p++ & 0xFF));
    }
  }
  return n_get_string(bytes.c_str());
}

TQ_SEXP* tq_URLStringCode(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  if (!is_string(str)) return word_error_str(s, ER_TYPE, "URLStringCode", "type missmatch");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(n_string(std_cm, str->string.data)); *p; ++p) {
    const unsigned char b = *p;
    if (b < 0x20 || b >= 0x80 || std::string_view(" #%*/:?").find(char(b)) != std::string_view::npos) {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    } else {
      out.push_back(char(b));
    }
  }
  return n_get_string(out.c_str());
}

namespace {

// The code of a character without its code-set tag.
uint32_t untagged(L_CHAR c) {
  if (c >= 0x80000000u && c <= 0xBFFFFFFFu) return c & 0xFFFFFF;
  if (c >= 0xC0000000u && c <= 0xDFFFFFFFu) return c & 0xFFFF;
  if (c >= 0xE0000000u && c < 0xF0000000u) return c & 0xFF;
  return c;
}

void put_word(std::string* out, uint32_t v, int w) {
  for (int i = w - 1; i >= 0; --i) out->push_back(char(v >> (8 * i) & 0xFF));
}

// The bytes of x, w per item; false for a kind Word2String does not take (or past the
// nesting limit, with *nest set).
bool word_bytes(TQ_SEXP* x, int w, std::string* out, bool* nest) {
  switch (get_type(x)) {
    case kTagString:
      for (const L_CHAR* p = x->string.data; *p; ++p) put_word(out, untagged(*p), w);
      return true;
    case kTagInteger: put_word(out, uint32_t(x->integer.data), w); return true;
    case kTagNil: return true;
    case kTagPair: break;
    default: return false;
  }
  NestLevel level;
  if (!level.ok()) return !(*nest = true);
  for (TQ_SEXP* p = x; get_type(p) == kTagPair; p = p->pair.cdr)
    if (!word_bytes(p->pair.car, w, out, nest)) return false;
  return true;
}

}  // namespace

TQ_SEXP* tq_Word2String(TQ_WORD_ARGS) {
  CODE_METHOD* cm = std_cm;
  if (const L_CHAR* enc = word_attr(sf, "encoding")) {
    cm = search_cm(n_string(std_cm, enc));
    if (!cm) return word_error_str(s, ER_MISSING, "Word2String", "invalid encoding");
  }
  int w = 1;
  if (const L_CHAR* word = word_attr(sf, "word")) {
    w = atoi(n_string(std_cm, word));
    if (w > 4) w = 4;
    if (w < 1) w = 1;
  }
  TQ_SEXP* x = get_el(s, 1);
  std::string bytes;
  bool nest = false;
  if (!word_bytes(x, w, &bytes, &nest))
    return nest ? get_nesting_error("Word2String", x) : word_error_str(s, ER_TYPE, "Word2String", "type missmatch");
  bytes.append(4, '\0');
  std::vector<L_CHAR> text;
  void* work = cm->open();
  for (const char b : bytes) {
    L_CHAR ch;
    if (cm->to_internal(&ch, work, static_cast<unsigned char>(b))) text.push_back(ch);
  }
  cm->close(nullptr, work);
  text.push_back(0);
  return get_string(text.data());
}

void init_RegCmp(TQISP_ENV* env) { bind_word(env, "RegCmp", tq_RegCmp, kEvaluated, nullptr, 2, 2); }
void init_RegSwitch(TQISP_ENV* env) { bind_word(env, "RegSwitch", tq_RegSwitch, kSpecialForm, nullptr, 2, -1); }
void init_GetProperCode(TQISP_ENV* env) { bind_word(env, "GetProperCode", tq_GetProperCode, kEvaluated, nullptr, 2, 2); }
void init_Parse(TQISP_ENV* env) { bind_word(env, "Parse", tq_Parse, kEvaluated, nullptr, 2, 2); }
void init_DecodeURLString(TQISP_ENV* env) {
  bind_word(env, "DecodeURLString", tq_DecodeURLString, kEvaluated, nullptr, 2, 2);
}
void init_URLStringCode(TQISP_ENV* env) { bind_word(env, "URLStringCode", tq_URLStringCode, kEvaluated, nullptr, 2, 2); }
void init_Word2String(TQISP_ENV* env) { bind_word(env, "Word2String", tq_Word2String, kEvaluated, nullptr, 2, 2); }

}  // namespace tq
