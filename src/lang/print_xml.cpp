// The printer's XML and HTML forms: lists headed by a tag name print as elements with their
// attributes and content, strings as markup text; and the tests of tag names and bare words.
//
// Markup text must read back as the same words: a text the reader would take for a number
// or an S-expression (a leading digit, sign and digit, or caret) prints in the quoted
// S-expression form; otherwise blanks, controls, parentheses, carets, ampersands and
// less-than signs become character or entity references.
#include <cstdio>

#include "lang/print_internal.h"

namespace tq {

int check_valid_tag_char(L_CHAR ch) {
  if (ch >= 0x80000000u) return 0;  // a character of a tagged set
  if (ch <= 32) return -1;
  switch (ch) {
    case '"': case '%': case '&': case '\'': case '(': case ')': case '+':
    case '/': case '<': case '=': case '>': case '\\': case '^':
      return -1;
    default:
      return 0;
  }
}

int check_valid_tag(const L_CHAR* name) {
  for (; *name; ++name)
    if (check_valid_tag_char(*name) < 0) return -1;
  return 0;
}

int check_valid_string_char(L_CHAR ch) {
  if (ch >= 0x80000000u) return 0;
  if (ch <= 32) return -1;
  switch (ch) {
    case '%': case '\'': case '(': case ')': case '^':
      return -1;
    default:
      return 0;
  }
}

int check_valid_string(const L_CHAR* text) {
  for (; *text; ++text)
    if (check_valid_string_char(*text) < 0) return -1;
  return 0;
}

// ---- text ------------------------------------------------------------------------------

static bool is_digit(L_CHAR c) { return c >= '0' && c <= '9'; }

// Texts that bare would read back as something else, or not at all.
static bool needs_quotes(const L_CHAR* t) {
  if (!t[0] || t[0] == '^' || is_digit(t[0])) return true;
  return (t[0] == '-' || t[0] == '+') && is_digit(t[1]);
}

static const char* escape_text(L_CHAR ch, int64_t, char* buf) {
  switch (ch) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '(': return "&cx28;";
    case ')': return "&cx29;";
    case '^': return "&cx5e;";  // bare, it would end the word and start an S-expression
    default: break;
  }
  if (ch >= 1 && ch <= 32) {
    snprintf(buf, 16, "&#%u;", unsigned(ch));
    return buf;
  }
  return nullptr;
}

int _print_string_xh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind) {
  const L_CHAR* t = s->string.data;
  if (flags & kPrintBare) return pr_ltext(fd, ee, t);
  if ((flags & kPrintInList) || needs_quotes(t)) return _print_string_l(fd, ee, s, flags, ind);
  return pr_escaped(fd, ee, t, escape_text);
}

// ---- elements ----------------------------------------------------------------------------

// Inside quoted HTML attribute values: no value can close the quotes or open markup.
static const char* escape_html_attr(L_CHAR ch, int64_t, char*) {
  switch (ch) {
    case '&': return "&amp;";
    case '"': return "&quot;";
    case '<': return "&lt;";
    default: return nullptr;
  }
}

static int print_html_attr(S_PRINTF_SAT* fd, ERR_ENV* ee, const TQ_SYM_FIELD* f) {
  static const L_CHAR kEmpty[] = {0};
  const L_CHAR* v = f->data ? f->data : kEmpty;
  PR_TRY(pr_text(fd, ee, " "));
  PR_TRY(pr_ltext(fd, ee, f->name));
  if (!v[0]) return 0;
  if (v[0] == '#' && v[1] == '-') {  // "#-ff0000" gives ="#ff0000"
    PR_TRY(pr_text(fd, ee, "=\"#"));
    PR_TRY(pr_escaped(fd, ee, v + 2, escape_html_attr));
    return pr_text(fd, ee, "\"");
  }
  if (v[0] == '#') {  // "#10" gives =10 and a blank: the caller's text, unquoted
    PR_TRY(pr_text(fd, ee, "="));
    PR_TRY(pr_ltext(fd, ee, v + 1));
    return pr_text(fd, ee, " ");
  }
  PR_TRY(pr_text(fd, ee, "=\""));
  PR_TRY(pr_escaped(fd, ee, v, escape_html_attr));
  return pr_text(fd, ee, "\"");
}

static int print_attrs(S_PRINTF_SAT* fd, ERR_ENV* ee, const TQ_SEXP* tag, int flags) {
  const bool html = (flags & kPrintModeMask) == kPrintHtml;
  for (const TQ_SYM_FIELD* f = tag->symbol.field; f; f = f->next) {
    if (html) {
      PR_TRY(print_html_attr(fd, ee, f));
      continue;
    }
    PR_TRY(pr_text(fd, ee, " "));
    PR_TRY(pr_ltext(fd, ee, f->name));
    PR_TRY(pr_text(fd, ee, "="));
    PR_TRY(pr_quoted(fd, ee, f->data, flags, false));
  }
  return 0;
}

// The head of s when s prints as an element: a symbol with a valid, non-empty tag name,
// heading a proper list (an element has no place for a tail). Else null.
static TQ_SEXP* element_tag(TQ_SEXP* s) {
  int32_t t;
  TQ_SEXP* head = pr_realized(s->pair.car, &t);
  if (t != kTagSymbol || !head->symbol.data || !head->symbol.data[0]) return nullptr;
  if (check_valid_tag(head->symbol.data) < 0) return nullptr;
  for (TQ_SEXP* p = s;;) {
    p = pr_realized(p->pair.cdr, &t);
    if (t == kTagNil) return head;
    if (t != kTagPair) return nullptr;
  }
}

static int print_empty_element(S_PRINTF_SAT* fd, ERR_ENV* ee, const TQ_SEXP* tag, int flags) {
  const L_CHAR* name = tag->symbol.data;
  PR_TRY(pr_text(fd, ee, "<"));
  PR_TRY(pr_ltext(fd, ee, name));
  PR_TRY(print_attrs(fd, ee, tag, flags));
  if ((flags & kPrintModeMask) == kPrintHtml) return pr_text(fd, ee, ">");
  return pr_text(fd, ee, name[0] == '?' ? "?>" : "/>");
}

int _print_pair_xh(S_PRINTF_SAT* fd, ERR_ENV* ee, TQ_SEXP* s, int flags, INDENT ind) {
  TQ_SEXP* tag = element_tag(s);
  if (!tag) return _print_pair_l(fd, ee, s, flags, ind);
  int32_t t;
  TQ_SEXP* item = pr_realized(s->pair.cdr, &t);
  if (t == kTagNil) return print_empty_element(fd, ee, tag, flags);

  const INDENT own{0, uint16_t(ind.ind + 1)};
  const int item_flags = flags & ~kPrintInList;
  const bool indent = flags & kPrintIndent;
  PR_TRY(pr_text(fd, ee, "<"));
  PR_TRY(pr_ltext(fd, ee, tag->symbol.data));
  PR_TRY(print_attrs(fd, ee, tag, flags));
  PR_TRY(pr_text(fd, ee, ">"));
  bool first = true, line_ended = false, any_list = false;
  for (TQ_SEXP* p = item; t == kTagPair; p = pr_realized(p->pair.cdr, &t)) {
    int32_t it;
    TQ_SEXP* x = pr_realized(p->pair.car, &it);
    if (indent && it == kTagPair) {
      if (!line_ended) PR_TRY(pr_text(fd, ee, "\n"));
      PR_TRY(print_ind(fd, ee, own));
      PR_TRY(_print_sexp(fd, ee, x, item_flags, own));
      PR_TRY(pr_text(fd, ee, "\n"));
      line_ended = any_list = true;
    } else {
      if (!first && !line_ended) PR_TRY(pr_text(fd, ee, " "));
      PR_TRY(_print_sexp(fd, ee, x, item_flags, own));
      line_ended = false;
    }
    first = false;
  }
  if (indent && any_list) PR_TRY(print_ind(fd, ee, ind));
  PR_TRY(pr_text(fd, ee, "</"));
  PR_TRY(pr_ltext(fd, ee, tag->symbol.data));
  return pr_text(fd, ee, ">");
}

}  // namespace tq
