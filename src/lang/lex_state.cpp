// The lexer's state machine: one step per character, by the state in f->mode and the
// context bit kRfSexpContext, until a token ends. It decides where a token ends; the makers
// (lex_token.cpp, lex_markup.cpp) decide what the gathered text is.
#include "lang/lex.h"
#include "platform/startup.h"
#include "stream/stream.h"
#include "text/code_method.h"

#include <cstdio>

namespace tq {

namespace {

constexpr int kAgain = INT32_MIN;  // no token yet: take the next character

struct Ch {
  L_CHAR c;
  int mark;  // 1 when the character came from a reference
  bool is(L_CHAR x) const { return c == x; }
  bool blank() const { return c == '\t' || c == ' '; }
  bool line_end() const { return c == '\n' || c == '\r'; }
};

bool text_mode(const TQ_FILE* f) { return f->flags & kRfTextMode; }
bool paren(const TQ_FILE* f, const Ch& ch) { return !text_mode(f) && (ch.c == '(' || ch.c == ')'); }
void count(TQ_FILE* f) {
  if (!(f->flags & kRfLineFixed)) ++f->line;
}
void count_always(TQ_FILE* f) { ++f->line; }
void push_back(TQ_FILE* f, const Ch& ch) { put_1char(f, ch.c, ch.mark); }
void begin(TQ_FILE* f, const Ch& ch, int mode) {
  token_head(f);
  put_data(f, ch.c);
  f->mode = mode;
}
void to_sexp(TQ_FILE* f) {
  f->mode = kLexSexp;
  f->flags |= kRfSexpContext;
}

bool text_ends_with(const TQ_FILE* f, const char* tail) {
  int n = 0;
  while (tail[n]) ++n;
  if (f->yylen < n) return false;
  for (int i = 0; i < n; ++i)
    if (f->yytext[f->yylen - n + i] != static_cast<unsigned char>(tail[i])) return false;
  return true;
}
bool text_is(const TQ_FILE* f, const char* text) {
  int n = 0;
  while (text[n]) ++n;
  return f->yylen == n && text_ends_with(f, text);
}

void unexpected_end(TQ_FILE* f) { lex_queue_error(f, ER_UNEXPECTED_END, {"unsutisfied file end", f->name}); }

// The escapes of strings and quoted values, after a backslash.
void escape(TQ_FILE* f) {
  int mark;
  const L_CHAR c = get_1char(f, &mark);
  switch (c) {
    case 'n': put_data(f, '\n'); return;
    case 'r': put_data(f, '\r'); return;
    case 't': put_data(f, '\t'); return;
    case '"':
    case '\\': put_data(f, c); return;
    default:
      put_data(f, '\\');
      if (c == 0) return;  // the next read finds the end again
      if (c == '\n' || c == '\r') count(f);
      put_data(f, c);
  }
}

// ---- Markup content and S-expression context (modes 0 and 1).

int content(TQ_FILE* f, const Ch& ch) {
  if (!ch.mark) {
    switch (ch.c) {
      case 0: return kTokEnd;
      case '\t':
      case ' ': return kAgain;
      case '\n':
      case '\r': count(f); return kAgain;
      case 11:
        if (f->func_11) {
          ParseCallOut out(f);
          f->func_11(f);
        }
        return kAgain;
      case 12: {
        f->line = 0;
        ParseCallOut out(f);
        s_set_cr(f->st, 1);
        if (f->func_12) f->func_12(f);
        return kAgain;
      }
      case 14:
        if (f->func_14) {
          ParseCallOut out(f);
          f->func_14(f);
        }
        return kAgain;
      case '<': begin(f, ch, kLexTagName); return kAgain;
      case '^':
        token_head(f);
        to_sexp(f);
        return kAgain;
      case '(':
        if (text_mode(f)) break;
        token_head(f);
        push_back(f, ch);
        to_sexp(f);
        return kAgain;
      default: break;
    }
  }
  begin(f, ch, (ch.c >= '0' && ch.c <= '9' && !text_mode(f)) ? kLexNumber : kLexText);
  return kAgain;
}

int sexp(TQ_FILE* f, const Ch& ch) {
  if (ch.mark) {
    begin(f, ch, kLexAtom);
    return kAgain;
  }
  switch (ch.c) {
    case 0: return kTokEnd;
    case '\t':
    case ' ': return kAgain;
    case '\n':
    case '\r': count(f); return kAgain;
    case '"': begin(f, ch, kLexString); return kAgain;
    case '#': begin(f, ch, kLexRaw); return kAgain;
    case '\'':
    case '[':
    case ']': token_head(f); return int(ch.c);
    case '(':
    case ')':
      if (text_mode(f)) break;
      token_head(f);
      return int(ch.c);
    case ';': f->mode = kLexComment; return kAgain;
    case '<':
      push_back(f, ch);
      f->mode = kLexContent;
      f->flags &= ~kRfSexpContext;
      return kAgain;
    case '=':
      if (!(f->flags & kRfEqualsToken)) break;
      token_head(f);
      return kTokEquals;
    default: break;
  }
  begin(f, ch, kLexAtom);
  return kAgain;
}

// ---- S-expression states.

int atom(TQ_FILE* f, const Ch& ch) {
  if (!ch.mark) {
    const L_CHAR c = ch.c;
    if (c == 0 || ch.blank()) {
      f->mode = kLexSexp;
      return get_token(f);
    }
    if (ch.line_end()) {
      count_always(f);
      f->mode = kLexSexp;
      return get_token(f);
    }
    if (c == '"' || c == '\'' || c == ';' || c == '<' || paren(f, ch) ||
        (c == '=' && (f->flags & kRfEqualsToken))) {
      push_back(f, ch);
      f->mode = kLexSexp;
      return get_token(f);
    }
  }
  put_data(f, ch.c);
  return kAgain;
}

int string(TQ_FILE* f, const Ch& ch) {
  if (ch.mark) {
    put_data(f, ch.c);
    return kAgain;
  }
  switch (ch.c) {
    case '\n':
    case '\r':
      count_always(f);
      lex_queue_error(f, ER_UNTERMINATED, {"unterminated text", f->name});
      f->mode = kLexSexp;
      return get_token(f);
    case 0: unexpected_end(f); return kTokEnd;
    case '"':
      put_data(f, ch.c);
      f->mode = kLexSexp;
      return get_token(f);
    case '\\': escape(f); return kAgain;
    default: put_data(f, ch.c); return kAgain;
  }
}

int comment(TQ_FILE* f, const Ch& ch) {
  if (ch.line_end()) {
    count_always(f);
    f->mode = kLexSexp;
    return kAgain;
  }
  return ch.c == 0 ? kTokEnd : kAgain;
}

int raw(TQ_FILE* f, const Ch& ch) {
  if (ch.c == 0) {
    f->mode = kLexSexp;
    return get_token(f);  // a lone "#..." at the end: an error literal
  }
  if (ch.line_end()) count(f);
  put_data(f, ch.c);
  if (ch.c != '#') return kAgain;  // a number sign from a reference ends the length too
  f->mode = kLexSexp;
  return token_raw(f);
}

// ---- Markup states.

int text_word(TQ_FILE* f, const Ch& ch) {
  if (!ch.mark) {
    if (ch.blank() || ch.line_end()) {
      push_back(f, ch);
      f->mode = kLexBlanks;
      return get_x_text(f);
    }
    if (ch.c == 0) {
      f->mode = kLexContent;
      return f->yylen ? get_x_text(f) : kTokEnd;
    }
    if (paren(f, ch) && ch.c == '(') {
      push_back(f, ch);
      f->mode = kLexSexp;
      return get_x_text(f);
    }
    if (ch.c == '<' || ch.c == '^') {
      push_back(f, ch);
      f->mode = kLexContent;
      return get_x_text(f);
    }
  }
  put_data(f, ch.c);
  return kAgain;
}

int number_word(TQ_FILE* f, const Ch& ch) {
  switch (ch.c) {
    case '\t':
    case ' ': f->mode = kLexContent; return get_x_text(f);
    case '\n':
    case '\r':
      count(f);
      f->mode = kLexContent;
      return get_x_text(f);
    case 0: f->mode = kLexContent; return f->yylen ? get_x_text(f) : kTokEnd;
    case '<':
    case '^':
      push_back(f, ch);
      f->mode = kLexContent;
      return get_x_text(f);
    case '\\': f->mode = kLexContent; return get_x_text(f);
    case '(':
      if (text_mode(f)) break;
      push_back(f, ch);
      f->mode = kLexSexp;
      return get_x_text(f);
    default: break;
  }
  put_data(f, ch.c);
  return kAgain;
}

// The run of blanks after a text word: kept as text only where the flags keep blanks.
int blanks(TQ_FILE* f, const Ch& ch) {
  if (!ch.mark) {
    if (ch.line_end()) {
      count(f);
      if (!(f->flags & kRfNoLineEndsInText)) put_data(f, ch.c);
      return kAgain;
    }
    if (ch.blank()) {
      if (!(f->flags & kRfNoBlanksInText)) put_data(f, ch.c);
      return kAgain;
    }
    if (ch.c == 0) return f->yylen ? get_x_text(f) : kTokEnd;
    if (paren(f, ch) && ch.c == '(') {
      push_back(f, ch);
      reset_yytext(f);
      f->mode = kLexSexp;
      return kAgain;
    }
    if (ch.c == '<' || ch.c == '^') {
      push_back(f, ch);
      reset_yytext(f);
      f->mode = kLexContent;
      return kAgain;
    }
  }
  push_back(f, ch);
  f->mode = kLexContent;
  return f->yylen ? get_x_text(f) : kAgain;
}

int tag_name(TQ_FILE* f, const Ch& ch) {
  switch (ch.c) {
    case '\n':
    case '\r': count(f); f->mode = kLexInTag; return get_x_tag(f);
    case '\t':
    case ' ': f->mode = kLexInTag; return get_x_tag(f);
    case 0: unexpected_end(f); return kTokEnd;
    case '-':
      put_data(f, ch.c);
      return text_is(f, "<!--") ? get_x_tag(f) : kAgain;
    case '>':
      put_data(f, ch.c);
      f->mode = kLexContent;
      return get_x_tag(f);
    case '[':
      put_data(f, ch.c);
      if (text_is(f, "<![CDATA[")) f->mode = kLexCdata;
      return kAgain;
    default: put_data(f, ch.c); return kAgain;
  }
}

int cdata(TQ_FILE* f, const Ch& ch) {
  if (ch.c == 0) {
    unexpected_end(f);
    return kTokEnd;
  }
  if (ch.line_end()) count(f);
  put_data(f, ch.c);
  if (ch.c == '>' && text_ends_with(f, "]]>")) {
    f->mode = kLexContent;
    return get_x_text(f);
  }
  return kAgain;
}

int in_tag(TQ_FILE* f, const Ch& ch) {
  switch (ch.c) {
    case 0: unexpected_end(f); return kTokEnd;
    case '\t':
    case ' ': return kAgain;
    case '\n':
    case '\r': count(f); return kAgain;
    case '!':
    case '/':
    case '?': put_data(f, ch.c); f->mode = kLexTagEnd; return kAgain;
    case ']': put_data(f, ch.c); f->mode = kLexTagEndBracket; return kAgain;
    case '"': put_data(f, ch.c); f->mode = kLexValue; return kAgain;
    case '=': return kTokEquals;
    case '>': f->mode = kLexContent; return kTokGreater;
    default: put_data(f, ch.c); f->mode = kLexAttrName; return kAgain;
  }
}

int attr_name(TQ_FILE* f, const Ch& ch) {
  const L_CHAR c = ch.c;
  if (c == 0) {
    unexpected_end(f);
    return kTokEnd;
  }
  if (ch.blank() || ch.line_end() || c == '=' || c == '>' || paren(f, ch)) {
    push_back(f, ch);  // a line end is counted when the tag state reads it again
    f->mode = kLexInTag;
    return get_x_tfield(f);
  }
  put_data(f, c);
  return kAgain;
}

int attr_value(TQ_FILE* f, const Ch& ch) {
  if (ch.mark) {
    put_data(f, ch.c);
    return kAgain;
  }
  switch (ch.c) {
    case 0: unexpected_end(f); return kTokEnd;
    case '\n':
    case '\r': count(f); put_data(f, ch.c); return kAgain;
    case '"':
      put_data(f, ch.c);
      f->mode = kLexInTag;
      return get_x_ttext(f);
    case '\\': escape(f); return kAgain;
    default: put_data(f, ch.c); return kAgain;
  }
}

int tag_end(TQ_FILE* f, const Ch& ch) {
  if (ch.c == 0) {
    unexpected_end(f);
    return kTokEnd;
  }
  put_data(f, ch.c);
  if (ch.c == '>') {
    f->mode = kLexContent;
    return get_x_tag_end(f);
  }
  L_CHAR* text = take_yytext(f);
  lex_queue_error(f, ER_TOKEN, {"token error 3", text});
  f->mode = kLexInTag;  // go on reading the tag, so that the error is reported once
  return kTokEnd;
}

int markup_comment(TQ_FILE* f, const Ch& ch) {
  if (ch.c == 0) return kTokEnd;
  if (ch.line_end()) count(f);
  switch (f->mode) {
    case kLexMarkupComment:
      if (ch.c == '-') f->mode = kLexCommentDash;
      break;
    case kLexCommentDash:
      f->mode = ch.c == '-' ? kLexCommentDashes : kLexMarkupComment;
      break;
    default:  // two hyphens
      if (ch.c == '>') {
        f->mode = kLexContent;
        reset_yytext(f);
        return kTokCommentEnd;
      }
      if (ch.c != '-' && !ch.line_end()) f->mode = kLexMarkupComment;
      break;
  }
  return kAgain;
}

int step(TQ_FILE* f, const Ch& ch) {
  switch (f->mode) {
    case kLexContent:
    case kLexSexp: return (f->flags & kRfSexpContext) ? sexp(f, ch) : content(f, ch);
    case kLexAtom: return atom(f, ch);
    case kLexString: return string(f, ch);
    case kLexComment: return comment(f, ch);
    case kLexRaw: return raw(f, ch);
    case kLexText: return text_word(f, ch);
    case kLexNumber: return number_word(f, ch);
    case kLexBlanks: return blanks(f, ch);
    case kLexTagName: return tag_name(f, ch);
    case kLexCdata: return cdata(f, ch);
    case kLexInTag: return in_tag(f, ch);
    case kLexAttrName: return attr_name(f, ch);
    case kLexValue: return attr_value(f, ch);
    case kLexTagEnd:
    case kLexTagEndBracket: return tag_end(f, ch);
    case kLexMarkupComment:
    case kLexCommentDash:
    case kLexCommentDashes: return markup_comment(f, ch);
    default:
      std::fprintf(stderr, "qv_lex(1) %i\n", f->mode);
      er_panic("qv_lex(1)");
  }
}

// The next character straight from the read buffer, where the long way (push-back,
// expansions, references, the code method) would give the same: an ASCII byte after an ASCII
// byte of the same buffer, so the method has nothing pending. False: take the long way.
inline bool fast_ascii(TQ_FILE* f, L_CHAR* c) {
  const int p = f->rb_ptr;
  if (p == 0 || p >= f->rb_len || f->buf || f->ent_stack || (f->flags & kRfClosed)) return false;
  const uint8_t b = f->rb[p];
  if (b >= 0x80 || b == '&' || f->rb[p - 1] >= 0x80 || !lex_cm_ascii_transparent(f->cm)) return false;
  f->rb_ptr = int16_t(p + 1);
  *c = b;
  return true;
}

// A character that names a code method switches the reader's decoding of what follows.
void switch_code_method(TQ_FILE* f, L_CHAR c) {
  CODE_METHOD* cm = search_cm_by_lccode(c);
  if (!cm || !f->cm) return;
  f->cm->close(nullptr, f->cm_work);
  f->cm = cm;
  f->cm_work = cm->open();
}

}  // namespace

bool lex_cm_ascii_transparent(const CODE_METHOD* cm) {
  return cm == &euc_cm_rec || cm == &utf8_cm_rec || cm == &sjis_cm_rec || cm == &ascii_cm_rec;
}

int _qv_lex(TQ_FILE* f, int ent_mode) {
  if (f->flags & kRfClosed) {
    f->error = -257;
    return kTokClosed;
  }
  f->sexp = nullptr;
  for (;;) {
    Ch ch;
    if (fast_ascii(f, &ch.c)) {
      ch.mark = 0;
    } else {
      // CDATA sections are read as they stand.
      ch.c = qv_lex_entity(&ch.mark, f, f->mode == kLexCdata ? 0 : ent_mode);
    }
    if (ch.c >= LC_CM_FIRST && ch.c <= LC_NO_CHAR) {
      switch_code_method(f, ch.c);
      continue;
    }
    if (ch.c == 3) {
      reset_yytext(f);  // the token being read is cancelled with everything else
      f->mode = kLexContent;
      f->flags &= ~(kRfEqualsToken | kRfSexpContext);
      count(f);
      return kTokCancel;
    }
    const int t = step(f, ch);
    if (t != kAgain) return t;
  }
}

}  // namespace tq
