// The markup token makers: tag names, tag ends, attribute names and values, text words and
// numbers in markup, and the HTML empty elements. Strings and symbols made from markup carry
// the header flag kSexpFromMarkup; numbers do not.
#include <cstring>

#include "lang/gc.h"
#include "lang/lex.h"
#include "platform/startup.h"
#include "text/l_string.h"

namespace tq {

namespace {

// The HTML elements that never have content, matched exactly.
constexpr const char* kHtmlEmpty[] = {"meta", "META", "br", "BR", "hr", "HR", "!DOCTYPE", "IMG", "img", "input", "INPUT"};

bool html(const TQ_FILE* f) { return f->flags & kRfHtml; }
bool is_digit(L_CHAR c) { return c >= '0' && c <= '9'; }

void fold(L_CHAR* t) {
  for (; *t; ++t)
    if (*t >= 'a' && *t <= 'z') *t -= 'a' - 'A';
}

bool starts_with(const TQ_FILE* f, const char* head) {
  int i = 0;
  for (; head[i]; ++i)
    if (i >= f->yylen || f->yytext[i] != static_cast<unsigned char>(head[i])) return false;
  return true;
}

// The characters [from, to) of the token text as the whole buffer, ended by 0.
L_CHAR* take_range(TQ_FILE* f, int from, int to) {
  if (to < from) to = from;
  if (from > 0 && to > from) std::memmove(f->yytext, f->yytext + from, size_t(to - from) * sizeof(L_CHAR));
  f->yylen = to - from;
  return take_yytext(f);
}

TQ_SEXP* markup_cell(TQ_FILE* f, int32_t type, L_CHAR* text) {
  TQ_SEXP* c = lex_cell(f, type);
  c->h.flags |= kSexpFromMarkup;
  if (type == kTagSymbol)
    c->symbol.data = text;
  else
    c->string.data = text;
  set_reader_field(f->sexp, c);
  return c;
}

// The text as a markup string (0x500).
int _get_x_text(TQ_FILE* f) {
  markup_cell(f, kTagString, take_yytext(f));
  return kTokDatum;
}

}  // namespace

int get_x_tag(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  int value;
  if (starts_with(f, "<?")) {
    value = kTokPi;
  } else if (starts_with(f, "<!--")) {
    f->mode = kLexMarkupComment;
    return kTokCommentStart;  // the text stays for the tag layer
  } else if (starts_with(f, "<!")) {
    value = kTokDecl;
  } else if (f->yylen == 2 && starts_with(f, "<[")) {
    value = kTokBracketTag;
  } else if (starts_with(f, "</")) {
    value = kTokEndTag;
  } else if (f->yylen >= 2 && f->yytext[f->yylen - 2] == '/' && f->yytext[f->yylen - 1] == '>') {
    value = kTokEmptyTag;
  } else {
    value = kTokStartTag;
  }
  const int from = value == kTokEndTag ? 2 : 1;
  int to = f->yylen;
  if (f->yylen > 0 && f->yytext[f->yylen - 1] == '>') {
    if (value == kTokPi || value == kTokDecl || value == kTokBracketTag) {
      L_CHAR* text = take_yytext(f);
      lex_queue_error(f, ER_TOKEN, {"token error 5", f->name, text});
      return kTokEnd;
    }
    to -= (f->yylen >= 2 && f->yytext[f->yylen - 2] == '/') ? 2 : 1;
  } else if (value == kTokStartTag) {
    value = kTokStartTagOpen;
  }
  L_CHAR* name = take_range(f, from, to);
  if (html(f)) fold(name);
  markup_cell(f, kTagSymbol, name);
  return value;
}

int get_x_tag_end(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  int value = 0;
  switch (f->yytext[0]) {
    case '?': value = kTokEndPi; break;
    case '!': value = kTokEndDecl; break;
    case ']': value = kTokEndBracket; break;
    default: value = kTokEndEmpty; break;  // "/>"
  }
  L_CHAR* text = take_yytext(f);
  if (html(f)) fold(text);
  markup_cell(f, kTagSymbol, text);
  return value;
}

int get_x_tfield(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  L_CHAR* text = take_yytext(f);
  if (html(f)) fold(text);
  markup_cell(f, kTagString, text);
  return kTokAttrName;
}

int get_x_ttext(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  markup_cell(f, kTagString, take_range(f, 1, f->yylen - 1));
  return kTokAttrValue;
}

int get_x_symbol(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  markup_cell(f, kTagSymbol, take_yytext(f));
  return kTokDatum;
}

int get_x_text(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  const L_CHAR* t = f->yytext;
  const int n = f->yylen;
  if (!(f->flags & kRfTextMode) && n > 0 &&
      (is_digit(t[0]) || ((t[0] == '+' || t[0] == '-') && n > 1 && is_digit(t[1]))))
    return get_x_number(f);
  return _get_x_text(f);
}

// A markup number: sign, then "0x" and hexadecimal digits, or digits with at most one full
// stop (a second makes the word a string); the rest is its unit. Integers are 64-bit.
int get_x_number(TQ_FILE* f) {
  MemLock hold;
  if (token_overflowed(f)) return lex_token_too_long(f);
  L_CHAR* t = f->yytext;
  const int n = f->yylen;
  t[n] = 0;
  int i = (n > 0 && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
  bool dot = false;
  if (i + 1 < n && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    i += 2;
    while (i < n && lex_hex_digit(t[i]) >= 0) ++i;
  } else {
    for (; i < n && (is_digit(t[i]) || t[i] == '.'); ++i) {
      if (t[i] != '.') continue;
      if (dot) return _get_x_text(f);
      dot = true;
    }
  }
  if (check_unit_string(t + i) != kTokDatum) {
    L_CHAR* text = take_yytext(f);
    lex_queue_error(f, ER_TOKEN, {"token error 10", f->name, text, "invalid unit character"});
    return kTokEnd;
  }
  L_CHAR* unit = nullptr;
  if (i < n) {
    const size_t bytes = size_t(n - i + 1) * sizeof(L_CHAR);
    unit = static_cast<L_CHAR*>(mmalloc(bytes, gc_text));
    std::memcpy(unit, t + i, bytes);
  }
  TQ_SEXP* c;
  if (dot) {
    const double v = lex_scan_float(t, i);
    c = lex_cell(f, kTagFloat);
    c->floating.data = v;
    c->floating.unit = unit;
  } else {
    const int64_t v = lex_scan_integer(t, i);
    c = lex_cell(f, kTagInteger);
    c->integer.data = v;
    c->integer.unit = unit;
  }
  reset_yytext(f);
  set_reader_field(f->sexp, c);
  return kTokDatum;
}

int check_unit_string(const L_CHAR* str) {
  const L_CHAR* p = str;
  for (; *p; ++p) {
    switch (*p) {
      case '\'':
      case '(':
      case ')':
      case '<':
      case '>':
      case '[':
      case ']': return kTokErrorLiteral;
      default: break;
    }
  }
  return (p > str && p[-1] == '/') ? kTokErrorLiteral : kTokDatum;
}

int check_html_emp(TQ_SEXP* s) {
  if (!s || s->h.type != kTagSymbol) er_panic("check_html_emp");
  const L_CHAR* name = s->symbol.data;
  for (const char* e : kHtmlEmpty) {
    int i = 0;
    while (e[i] && name[i] == static_cast<unsigned char>(e[i])) ++i;
    if (!e[i] && !name[i]) return 0;
  }
  return -1;
}

}  // namespace tq
