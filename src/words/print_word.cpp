// "Print": a value rendered as a string by its own renderer, which is not the reply printer:
// strings show only their line ends escaped (as "\n"), floats print with six decimals and no
// blank, a dotted tail is written ".x" without a blank, raw values show only their size, and
// any error inside the value is the word's answer instead of a string.
#include <cstdio>
#include <vector>

#include "lang/gc.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

class Renderer {
 public:
  // Appends x; an error cell met inside it, a nesting error past the limit, else null.
  TQ_SEXP* render(TQ_SEXP* x) {
    NestLevel level;
    if (!level.ok()) return get_nesting_error("Print", x);
    switch (get_type(x)) {
      case kTagNil: text("()"); return nullptr;
      case kTagError: return x;
      case kTagPair: return render_list(x);
      case kTagSymbol: symbol(x); return nullptr;
      case kTagString: string(x->string.data); return nullptr;
      case kTagInteger: number("%lli", x->integer.unit, static_cast<long long>(x->integer.data)); return nullptr;
      case kTagFloat: number("%f", x->floating.unit, x->floating.data); return nullptr;
      case kTagFunc: function(x); return nullptr;
      case kTagRaw: format("#%llx#]", static_cast<unsigned long long>(x->raw.data ? x->raw.size : 0)); return nullptr;
      case kTagPtr: text("[pointer]"); return nullptr;
      default: text("[environment]"); return nullptr;
    }
  }

  TQ_SEXP* result() {
    out_.push_back(0);
    return get_string(out_.data());
  }

 private:
  std::vector<L_CHAR> out_;

  void text(const char* t) {
    while (*t) out_.push_back(static_cast<unsigned char>(*t++));
  }
  void chars(const L_CHAR* t) {
    while (t && *t) out_.push_back(*t++);
  }
  template <class... A>
  void format(const char* fmt, A... args) {
    char b[400];  // "%f" of a float takes up to 317 characters
    std::snprintf(b, sizeof b, fmt, args...);
    text(b);
  }
  template <class V>
  void number(const char* fmt, const L_CHAR* unit, V v) {
    format(fmt, v);
    chars(unit);
  }
  void string(const L_CHAR* t) {
    text("\"");
    for (; *t; ++t)
      if (*t == '\n' || *t == '\r')
        text("\\n");
      else
        out_.push_back(*t);
    text("\"");
  }
  void symbol(TQ_SEXP* x) {
    if (!x->symbol.field) return chars(x->symbol.data);
    text("[");
    chars(x->symbol.data);
    for (TQ_SYM_FIELD* f = x->symbol.field; f; f = f->next) {
      text(" ");
      chars(f->name);
      text("=\"");
      chars(f->data);
      text("\"");
    }
    text("]");
  }
  void function(TQ_SEXP* x) {
    if (x->func.type == kFuncPrim)
      format("[prim:0x%llx]", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(x->func.prim)));
    else if (x->func.type == kFuncLambda)
      format("[lambda:0x%llx]", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(x)));
    else
      format("[%i]", int(x->func.type));
  }
  TQ_SEXP* render_list(TQ_SEXP* x) {
    text("(");
    for (TQ_SEXP* p = x;;) {
      if (TQ_SEXP* e = render(p->pair.car)) return e;
      p = p->pair.cdr;
      const int t = get_type(p);
      if (t == kTagNil) break;
      text(" ");
      if (t != kTagPair) {
        text(".");
        if (TQ_SEXP* e = render(p)) return e;
        break;
      }
    }
    text(")");
    return nullptr;
  }
};

TQ_SEXP* tq_Print(TQ_WORD_ARGS) {
  Renderer r;
  if (TQ_SEXP* e = r.render(get_el(s, 1))) return e;
  return r.result();
}

}  // namespace

void init_Print(TQISP_ENV* env) { bind_word(env, "Print", tq_Print, 1, nullptr, 2, 2); }

}  // namespace tq
