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

// The reader whose last answer of 0 came at a 0 it read (the end of input or a NUL byte):
// any other 0 went with a queued error, which the parser delivers in place of the token.
thread_local const TQ_FILE* ended_at_zero = nullptr;
// The reader whose token being read holds an invalid reference (its text an "&" in its place).
thread_local const TQ_FILE* broken_word = nullptr;

struct Ch {
  L_CHAR c;
  int mark;     // 1 when the character came from a reference
  bool plain;   // taken straight from the read buffer (fast_ascii): so may the next byte be
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
  lex_set_bits(f, kRfSexpContext, true);
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

// ---- Runs straight from the read buffer.
//
// Where the long way (push-back, expansions, references, the code method) would give the
// next byte of the read buffer as itself: nothing pushed back or being expanded, an ASCII
// byte right after an ASCII byte of the same buffer (so the method has nothing pending),
// and a method that reads ASCII as itself. A state then takes a run of the bytes it would
// only gather (or skip) in one loop; any other byte is left for the long way.
bool buffer_plain(const TQ_FILE* f) {
  const int p = f->rb_ptr;
  return p > 0 && !f->buf && !f->ent_stack && f->rb[p - 1] < 0x80 && !(f->flags & kRfClosed) &&
         lex_cm_ascii_transparent(f->cm);
}

// The next character straight from the read buffer, when the long way would give the same.
inline bool fast_ascii(TQ_FILE* f, L_CHAR* c) {
  const int p = f->rb_ptr;
  if (p >= f->rb_len || !buffer_plain(f)) return false;
  const uint8_t b = f->rb[p];
  if (b >= 0x80 || b == '&') return false;
  f->rb_ptr = int16_t(p + 1);
  *c = b;
  return true;
}

// A set of bytes; only printable ASCII other than "&" (a reference) may be members, so a
// control character (the end, cancel, the hooks, blanks, line ends) always takes the long way.
struct ByteSet {
  uint64_t bits[2]{};
  consteval ByteSet(const char* stops) {  // printable ASCII except "&" and the stops
    for (int b = 0x20; b < 0x80; ++b) {
      bool member = b != '&';
      for (const char* s = stops; *s; ++s) member = member && b != static_cast<unsigned char>(*s);
      if (member) bits[b >> 6] |= uint64_t(1) << (b & 63);
    }
  }
  bool has(uint8_t b) const { return b < 0x80 && ((bits[b >> 6] >> (b & 63)) & 1); }
};

// Gathers the run of bytes of `plain` that follows, as put_data would one at a time: it stops
// where the token text would have to grow or reach lex_token_cap.
void gather_run(TQ_FILE* f, const Ch& ch, const ByteSet& plain) {
  if (!ch.plain && !buffer_plain(f)) return;
  const uint8_t* rb = f->rb;
  int p = f->rb_ptr;
  const int end = f->rb_len;
  int n = f->yylen;
  const int room = f->yytextlen - 1 < lex_token_cap ? f->yytextlen - 1 : lex_token_cap;
  L_CHAR* t = f->yytext;
  while (p < end && n < room && plain.has(rb[p])) t[n++] = rb[p++];
  f->rb_ptr = int16_t(p);
  f->yylen = n;
}

// Skips the tabs, spaces and line ends (counted) that follow, as the two contexts and the
// tag state do one at a time.
void skip_blanks(TQ_FILE* f, const Ch& ch) {
  if (!ch.plain && !buffer_plain(f)) return;
  const uint8_t* rb = f->rb;
  int p = f->rb_ptr;
  for (const int end = f->rb_len; p < end; ++p) {
    const uint8_t b = rb[p];
    if (b == '\n' || b == '\r')
      count(f);
    else if (b != ' ' && b != '\t')
      break;
  }
  f->rb_ptr = int16_t(p);
}

// Skips the bytes of `skipped` that follow.
void skip_run(TQ_FILE* f, const Ch& ch, const ByteSet& skipped) {
  if (!ch.plain && !buffer_plain(f)) return;
  int p = f->rb_ptr;
  for (const int end = f->rb_len; p < end && skipped.has(f->rb[p]); ++p) {
  }
  f->rb_ptr = int16_t(p);
}

constexpr ByteSet kAtomPlain = " \"';<()=";
constexpr ByteSet kStringPlain = "\"\\";
constexpr ByteSet kTextPlain = " (<^";
constexpr ByteSet kNumberPlain = " <^\\(";
constexpr ByteSet kAttrNamePlain = " =>()";
constexpr ByteSet kTagNamePlain = " ->[";
constexpr ByteSet kCommentPlain = "";

// ---- Markup content and S-expression context (modes 0 and 1).

int content(TQ_FILE* f, const Ch& ch) {
  if (!ch.mark) {
    switch (ch.c) {
      case 0: return kTokEnd;
      case '\t':
      case ' ': skip_blanks(f, ch); return kAgain;
      case '\n':
      case '\r':
        count(f);
        skip_blanks(f, ch);
        return kAgain;
      case 11:
        if (f->func_11) {
          ParseCallOut out(f);
          f->func_11(f);
        }
        return kAgain;
      case 12: {
        f->line = 0;
        ParseCallOut out(f);
        s_set_cr(reader_field(f->st), 1);
        if (f->func_12) f->func_12(f);
        return kAgain;
      }
      case 14:
        if (f->func_14) {
          ParseCallOut out(f);
          f->func_14(f);
        }
        return kAgain;
      case '<':
        begin(f, ch, kLexTagName);
        gather_run(f, ch, kTagNamePlain);
        return kAgain;
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
  const bool number = ch.c >= '0' && ch.c <= '9' && !text_mode(f);
  begin(f, ch, number ? kLexNumber : kLexText);
  gather_run(f, ch, number ? kNumberPlain : kTextPlain);
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
    case ' ': skip_blanks(f, ch); return kAgain;
    case '\n':
    case '\r':
      count(f);
      skip_blanks(f, ch);
      return kAgain;
    case '"':
      begin(f, ch, kLexString);
      gather_run(f, ch, kStringPlain);
      return kAgain;
    case '#': begin(f, ch, kLexRaw); return kAgain;
    case '\'':
    case '[':
    case ']': token_head(f); return int(ch.c);
    case '(':
    case ')':
      if (text_mode(f)) break;
      token_head(f);
      return int(ch.c);
    case ';':
      f->mode = kLexComment;
      skip_run(f, ch, kCommentPlain);
      return kAgain;
    case '<':
      push_back(f, ch);
      f->mode = kLexContent;
      lex_set_bits(f, kRfSexpContext, false);
      return kAgain;
    case '=':
      if (!(f->flags & kRfEqualsToken)) break;
      token_head(f);
      return kTokEquals;
    default: break;
  }
  begin(f, ch, kLexAtom);
  gather_run(f, ch, kAtomPlain);
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
  gather_run(f, ch, kAtomPlain);
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
    default:
      put_data(f, ch.c);
      gather_run(f, ch, kStringPlain);
      return kAgain;
  }
}

int comment(TQ_FILE* f, const Ch& ch) {
  if (ch.line_end()) {
    count_always(f);
    f->mode = kLexSexp;
    return kAgain;
  }
  if (ch.c == 0) return kTokEnd;
  skip_run(f, ch, kCommentPlain);
  return kAgain;
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
  gather_run(f, ch, kTextPlain);
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
  gather_run(f, ch, kNumberPlain);
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
    default:
      put_data(f, ch.c);
      gather_run(f, ch, kTagNamePlain);
      return kAgain;
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
    case ' ': skip_blanks(f, ch); return kAgain;
    case '\n':
    case '\r':
      count(f);
      skip_blanks(f, ch);
      return kAgain;
    case '!':
    case '/':
    case '?': put_data(f, ch.c); f->mode = kLexTagEnd; return kAgain;
    case ']': put_data(f, ch.c); f->mode = kLexTagEndBracket; return kAgain;
    case '"':
      put_data(f, ch.c);
      f->mode = kLexValue;
      gather_run(f, ch, kStringPlain);
      return kAgain;
    case '=': return kTokEquals;
    case '>': f->mode = kLexContent; return kTokGreater;
    default:
      put_data(f, ch.c);
      f->mode = kLexAttrName;
      gather_run(f, ch, kAttrNamePlain);
      return kAgain;
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
  gather_run(f, ch, kAttrNamePlain);
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
    default:
      put_data(f, ch.c);
      gather_run(f, ch, kStringPlain);
      return kAgain;
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

// ---- The common tokens in one pass over the read buffer.
//
// In the two contexts (and the blanks after a markup word, where they are dropped) blanks,
// parentheses and whole words (an S-expression atom, a markup text word or number) are read
// here while the buffer serves them as itself (buffer_plain): each byte is taken as its state
// above would take it. A byte that ends a word and belongs to what follows is left in the
// buffer where the state pushes it back: the next read gives the same byte, unmarked, either
// way. Anything else stops the pass with kAgain, in the state the states would be in there.

constexpr ByteSet kAtomStart = " \"';<()=#[]";  // an atom's first byte: not a token of its own

// The word begun in f's token text read on over the bytes of `plain`; the byte after it, or
// -1 when the buffer holds none.
int run_then_next(TQ_FILE* f, const Ch& ch, const ByteSet& plain) {
  gather_run(f, ch, plain);
  return f->rb_ptr < f->rb_len ? f->rb[f->rb_ptr] : -1;
}

// An atom, a text word, a number of markup: the word read on, then, when the byte after it
// is in the buffer, what its state does there.
int end_atom(TQ_FILE* f, const Ch& ch) {
  const int b = run_then_next(f, ch, kAtomPlain);
  if (b < 0) return kAgain;
  if (b == ' ' || b == '\t') {
    ++f->rb_ptr;
  } else if (b == '\n' || b == '\r') {
    ++f->rb_ptr;
    count_always(f);
  } else if (!(b == '"' || b == '\'' || b == ';' || b == '<' || ((b == '(' || b == ')') && !text_mode(f)) ||
               (b == '=' && (f->flags & kRfEqualsToken)))) {
    return kAgain;
  }
  f->mode = kLexSexp;
  return get_token(f);
}

int end_text(TQ_FILE* f, const Ch& ch) {
  const int b = run_then_next(f, ch, kTextPlain);
  if (b < 0) return kAgain;
  if (b == ' ' || b == '\t' || b == '\n' || b == '\r')
    f->mode = kLexBlanks;
  else if (b == '(' && !text_mode(f))
    f->mode = kLexSexp;
  else if (b == '<' || b == '^')
    f->mode = kLexContent;
  else
    return kAgain;
  return get_x_text(f);
}

int end_number(TQ_FILE* f, const Ch& ch) {
  const int b = run_then_next(f, ch, kNumberPlain);
  if (b < 0) return kAgain;
  f->mode = kLexContent;
  if (b == ' ' || b == '\t' || b == '\\') {
    ++f->rb_ptr;
  } else if (b == '\n' || b == '\r') {
    ++f->rb_ptr;
    count(f);
  } else if (b == '(' && !text_mode(f)) {
    f->mode = kLexSexp;
  } else if (b != '<' && b != '^') {
    f->mode = kLexNumber;
    return kAgain;
  }
  return get_x_text(f);
}

int fast_token(TQ_FILE* f) {
  const bool dropped_blanks = f->mode == kLexBlanks && !f->yylen &&
                              (f->flags & (kRfNoLineEndsInText | kRfNoBlanksInText)) ==
                                  (kRfNoLineEndsInText | kRfNoBlanksInText);
  if ((f->mode != kLexContent && f->mode != kLexSexp && !dropped_blanks) || !buffer_plain(f)) return kAgain;
  const uint8_t* rb = f->rb;
  const bool text = text_mode(f);
  int p = f->rb_ptr;
  for (const int end = f->rb_len; p < end; ++p) {
    const uint8_t b = rb[p];
    if (b == ' ' || b == '\t') continue;
    if (b == '\n' || b == '\r') {
      count(f);
      continue;
    }
    if (b < 0x20 || b >= 0x80 || b == '&') break;
    if (f->mode == kLexBlanks) f->mode = b == '(' && !text ? kLexSexp : kLexContent;
    const Ch ch{b, 0, true};
    if (f->flags & kRfSexpContext) {
      if ((b == '(' || b == ')') && !text) {
        f->rb_ptr = int16_t(p + 1);
        token_head(f);
        return b;
      }
      if (!kAtomStart.has(b)) break;
      f->rb_ptr = int16_t(p + 1);
      begin(f, ch, kLexAtom);
      return end_atom(f, ch);
    }
    if (!kTextPlain.has(b)) break;
    f->rb_ptr = int16_t(p + 1);
    if (b >= '0' && b <= '9' && !text) {
      begin(f, ch, kLexNumber);
      return end_number(f, ch);
    }
    begin(f, ch, kLexText);
    return end_text(f, ch);
  }
  f->rb_ptr = int16_t(p);
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

// After an invalid reference (a marked 0, its error queued): it stands in the word it is
// written in, as a valid one would, and that word is dropped for the error, which stands in
// its place. The word's text keeps an "&" for it, so that what stood around the reference does
// not join into something else ("<!-&x;-" into a comment's start). In a comment the error
// stands alone. Never the end of input.
int after_bad_reference(TQ_FILE* f) {
  const Ch amp{'&', 0, false};
  broken_word = f;
  switch (f->mode) {
    case kLexComment: return kTokEnd;
    case kLexMarkupComment:
    case kLexCommentDash:
    case kLexCommentDashes: return kAgain;
    case kLexBlanks:
      reset_yytext(f);
      [[fallthrough]];
    case kLexContent:
    case kLexSexp: begin(f, amp, (f->flags & kRfSexpContext) ? kLexAtom : kLexText); return kAgain;
    case kLexInTag: f->mode = kLexAttrName; [[fallthrough]];
    default: put_data(f, '&'); return kAgain;
  }
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

bool lex_end_read(const TQ_FILE* f) { return ended_at_zero == f || lex_input_ended(f); }

bool lex_word_broken(const TQ_FILE* f) { return broken_word == f; }

int _qv_lex(TQ_FILE* f, int ent_mode) {
  broken_word = nullptr;
  if (f->flags & kRfClosed) {
    f->error = -257;
    return kTokClosed;
  }
  set_reader_field(f->sexp, nullptr);
  if (const int t = fast_token(f); t != kAgain) return t;
  for (;;) {
    Ch ch;
    ch.mark = 0;
    ch.plain = fast_ascii(f, &ch.c);
    if (!ch.plain) {
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
    const int t = ch.c == 0 && ch.mark ? after_bad_reference(f) : step(f, ch);
    if (t == kTokEnd) ended_at_zero = ch.c == 0 && !ch.mark ? f : nullptr;
    if (t != kAgain) return t;
  }
}

}  // namespace tq
