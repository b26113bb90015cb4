// The tag layer above the state machine: a start tag and its attributes become one token
// carrying a symbol with an attribute list, "[sym k="v"]" describes a symbol's attributes,
// HTML empty elements close themselves, and markup comments are skipped.
//
// Recovery: after an error inside a tag the rest of the tag, up to its ">", is skipped (read
// by the tag's states, so a quoted ">" does not end it), so that one broken tag gives one
// error and the text after it is read normally. When the lexer has already queued an error
// for the token that broke the tag or description, no second one is added. The cancel
// character always comes through, also from inside a tag or a comment.
// A broken field description ends at its "]", which may also be the last character of a
// word ("[List]" reads as the word "List]": "]" does not end a word). Its words up to that
// end are skipped, markup among them (tags, comments, CDATA sections, read as the tag reader
// reads them, after which reading goes on in the description's S-expression context); a
// parenthesis or a quote mark, or any token read after a word that ended it, is not part of
// the tag: it is answered with the error (kRfTokenAfterErrors), so "([List])" closes its list
// and the forms after it are read.
// A markup comment skipped inside a parenthesised list leaves the reader in the list's
// context, as the end of any other markup there does.
#include <cstring>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr LText kText = "!text";
constexpr LText kOn = "!on";

bool in_tag_mode(const TQ_FILE* f) { return f->mode <= kLexValue && f->mode >= kLexTagEndBracket; }

// Drops the token being read: inside a tag, the rest of the tag up to its ">", read by the
// tag's own states (a quoted value may hold ">"), its tokens dropped and its errors too, so
// that one error stands for the tag (and the end of input's, when the input ends there);
// elsewhere the token's state, so that the next token starts afresh. The cancel token when
// the cancel character ended the skip, else 0.
int skip_tag(TQ_FILE* f) {
  reset_yytext(f);
  if (!in_tag_mode(f)) {
    if (f->mode != kLexContent && f->mode != kLexSexp) f->mode = (f->flags & kRfSexpContext) ? kLexSexp : kLexContent;
    return kTokEnd;
  }
  TQ_SEXP* const queued = f->lex_error;
  int t = kTokEnd;
  while (in_tag_mode(f) && t != kTokCancel && t != kTokClosed && !lex_input_ended(f)) t = _qv_lex(f, 0);
  if (TQ_SEXP* newest = f->lex_error; newest != queued) {
    MemLock hold;
    set_reader_field(f->lex_error, queued);
    if (lex_input_ended(f)) {  // the end of input: its error stays, after the tag's
      newest->pair.cdr = queued;
      set_reader_field(f->lex_error, newest);
    }
  }
  reset_yytext(f);
  if (in_tag_mode(f)) f->mode = kLexContent;
  return t == kTokCancel ? t : kTokEnd;
}

// The rest of a markup comment, after its "<!--" (token 0x408), read with references as they
// stand: the cancel token when the cancel character ended it, else 0.
int skip_comment(TQ_FILE* f) {
  if (f->yylen >= 3 && f->yytext[f->yylen - 1] == '>' && f->yytext[f->yylen - 2] == '-' &&
      f->yytext[f->yylen - 3] == '-') {
    f->mode = kLexContent;
    reset_yytext(f);
    return kTokEnd;
  }
  int u;
  do u = _qv_lex(f, 0);
  while (u != kTokCommentEnd && u != kTokEnd && u != kTokClosed && u != kTokCancel);
  if (u == kTokCancel) return u;
  reset_yytext(f);
  return kTokEnd;
}

// Queues "token error 4" with msg, unless the lexer has just reported the token that broke
// the tag.
void queue_tag_error(TQ_FILE* f, int token, const char* msg) {
  if (token == kTokEnd && f->lex_error) return;
  f->yytext ? (void)(f->yytext[f->yylen] = 0) : (void)0;
  static constexpr LText empty = "";
  const L_CHAR* text = f->yytext ? f->yytext : empty.s;
  lex_queue_error(f, ER_TOKEN, {"token error 4", f->name, text, msg});
}

// Recovery once the error is queued: 0, or the cancel token that ended the tag, to be read
// after the error.
int tag_error_end(TQ_FILE* f) {
  f->flags &= ~kRfEqualsToken;
  const int t = skip_tag(f);
  if (t == kTokCancel) lex_set_bits(f, kRfTokenAfterErrors, true);
  return t;
}

int tag_error(TQ_FILE* f, int token, const char* msg) {
  queue_tag_error(f, token, msg);
  return tag_error_end(f);
}

// A repeated name keeps its place and takes the new value; a new one goes to the end. The
// field takes over the two texts, blocks made for it alone (a token's text or a fresh copy).
void add_field(TQ_SEXP* sym, L_CHAR* name, L_CHAR* value) {
  MemLock hold;  // the texts are linked before anything can collect them
  TQ_SYM_FIELD** tail = &sym->symbol.field;
  for (; *tail; tail = &(*tail)->next) {
    if (l_strcmp((*tail)->name, name) == 0) {
      (*tail)->data = value;
      return;
    }
  }
  auto* field = static_cast<TQ_SYM_FIELD*>(mmalloc(sizeof(TQ_SYM_FIELD), gc_qv_sym_field));
  *tail = field;
  field->name = name;
  field->data = value;
}

bool is_datum(int t, const TQ_FILE* f, int32_t type) { return t == kTokDatum && f->sexp && f->sexp->h.type == type; }

bool ends_in_bracket(const L_CHAR* text) {
  const int n = text ? l_strlen(text) : 0;
  return n > 0 && text[n - 1] == ']';
}

// Token t ends a field description: its "]", or a word whose last character is one (a
// symbol's name, a number's unit).
bool ends_description(int t, const TQ_FILE* f) {
  if (t == kTokRBracket) return true;
  if (t != kTokDatum || !f->sexp) return false;
  switch (f->sexp->h.type) {
    case kTagSymbol: return ends_in_bracket(f->sexp->symbol.data);
    case kTagInteger: return ends_in_bracket(f->sexp->integer.unit);
    case kTagFloat: return ends_in_bracket(f->sexp->floating.unit);
    default: return false;
  }
}

int layer(TQ_FILE* f, int t);

// Answers t, a token that follows the broken tag, through the tag layer, to be read after
// the queued errors.
int give_back(TQ_FILE* f, int t) {
  const int u = layer(f, t);
  if (u != kTokEnd && u != kTokClosed) lex_set_bits(f, kRfTokenAfterErrors, true);
  return u;
}

// Tokens that stand for themselves inside a broken description: a parenthesis or a quote
// mark belongs to the lists around it, and is read after the error.
bool stands_alone(int t) {
  return t == kTokOpen || t == kTokClose || t == kTokQuote || t == kTokErrorLiteral || t == kTokCancel;
}

// Reading goes on in the S-expression context a description is read in ("[" is a token there
// only), also after a datum of markup (a CDATA section, which may be a field's value).
void back_to_description(TQ_FILE* f) {
  lex_set_bits(f, kRfSexpContext, true);
  if (f->mode == kLexContent) f->mode = kLexSexp;
}

// Markup among the words of a broken description (token t): the rest of a tag or a comment is
// read as the tag reader reads it and dropped (given back, a start tag would open an element
// that takes the rest of the input), and reading goes on in the description's context. The
// cancel token when the cancel character ended the markup, else 0.
int skip_markup(TQ_FILE* f, int t) {
  const int u = t == kTokCommentStart ? skip_comment(f) : in_tag_mode(f) ? skip_tag(f) : kTokEnd;
  if (u != kTokCancel) back_to_description(f);  // a cancel has left S-expression context
  return u;
}

// The next token of a field description; broke: the lexer queued an error for it.
int description_token(TQ_FILE* f, bool* broke) {
  TQ_SEXP* const queued = f->lex_error;
  const int t = _qv_lex(f, 1);
  *broke = f->lex_error != queued;
  if (t == kTokDatum) back_to_description(f);
  return t;
}

// A broken field description at token t: the error (none when the lexer queued one for t:
// broke), then the rest of the description up to its end is skipped (ended: a word already
// read ended it). Returns the token to answer.
int description_error(TQ_FILE* f, int t, const char* msg, bool ended, bool broke) {
  if (t == kTokCancel) {
    lex_set_bits(f, kRfEqualsToken, false);
    return t;
  }
  if (!broke) queue_tag_error(f, t, msg);
  for (;;) {  // kRfEqualsToken stays set: the skipped words read as in the description
    // A token dropped for an error of its own is one more broken word; the end is the end.
    const bool end = t == kTokClosed || (t == kTokEnd && (!broke || lex_input_ended(f)));
    if (end || ends_description(t, f)) return tag_error_end(f);
    if (ended || stands_alone(t)) {
      lex_set_bits(f, kRfEqualsToken, false);
      // A word dropped for an error of its own is not given back: its error stands for it.
      return broke && t != kTokEnd ? kTokEnd : give_back(f, t);
    }
    if (skip_markup(f, t) == kTokCancel) return give_back(f, kTokCancel);
    t = description_token(f, &broke);
  }
}

// "[sym name="value" ...]", after the left bracket.
int field_description(TQ_FILE* f) {
  f->flags |= kRfEqualsToken;
  bool broke;
  int t = description_token(f, &broke);
  if (broke || !is_datum(t, f, kTagSymbol)) return description_error(f, t, "symbol is required", false, broke);
  TQ_SEXP* sym = f->sexp;
  bool ended = ends_description(t, f);
  for (;;) {
    t = description_token(f, &broke);
    if (t == kTokRBracket && !broke) break;
    if (broke || t != kTokDatum)
      return description_error(f, t, "only field description can be used in a tag", ended, broke);
    if (f->sexp->h.type != kTagSymbol) return description_error(f, t, "field name is required", ended, false);
    L_CHAR* name = f->sexp->symbol.data;
    ended = ended || ends_description(t, f);
    t = description_token(f, &broke);
    if (broke || t != kTokEquals) return description_error(f, t, "'=' is required", ended, broke);
    t = description_token(f, &broke);
    if (broke || t != kTokDatum) return description_error(f, t, "text is required 2", ended, broke);
    if (f->sexp->h.type != kTagString) return description_error(f, t, "text is required 3", ended, false);
    add_field(sym, name, f->sexp->string.data);
  }
  f->flags &= ~kRfEqualsToken;
  set_reader_field(f->sexp, sym);
  return kTokDatum;
}

int finish_tag(TQ_FILE* f, TQ_SEXP* tag, int value) {
  set_reader_field(f->sexp, tag);
  return value;
}

int empty_or_start(TQ_FILE* f, TQ_SEXP* tag) {
  return finish_tag(f, tag, (f->flags & kRfHtml) && check_html_emp(tag) == 0 ? kTokEmptyTag : kTokStartTag);
}

// The attributes of a tag opened by token t (0x401 to 0x405), up to its end. An attribute
// whose name or value holds an invalid reference is dropped for its error, and the tag is read
// after it (a tag whose own name or end holds one is dropped with it).
int attributes(TQ_FILE* f, int t) {
  TQ_SEXP* tag = f->sexp;
  const bool sound_name = !lex_word_broken(f);
  bool dropped = false;
  const auto keep = [&](bool broken, L_CHAR* name, L_CHAR* value) {
    if (broken)
      dropped = true;
    else
      add_field(tag, name, value);
  };
  // The tag's token, read after the errors of the attributes dropped from it, unless its end
  // ("/&x;>") holds an invalid reference too.
  const auto finish = [&](int value) {
    if (dropped && sound_name && !lex_word_broken(f)) lex_set_bits(f, kRfTokenAfterErrors, true);
    return value;
  };
  int u = _qv_lex(f, 1);
  for (;;) {
    if (u == kTokCancel) return u;
    if (u >= kTokEndPi && u <= kTokCommentEnd) {
      if (t == kTokStartTagOpen && u == kTokEndEmpty) return finish(finish_tag(f, tag, kTokEmptyTag));
      if (t != kTokStartTagOpen && (u & 0xFF) == (t & 0xFF)) return finish(finish_tag(f, tag, t));
      return tag_error(f, u, "not correspond end tag");
    }
    if (u == kTokAttrValue) {
      keep(lex_word_broken(f), copy_cell_text(kText), f->sexp->string.data);
    } else if (u == kTokAttrName) {
      L_CHAR* name = f->sexp->string.data;
      const bool broken = lex_word_broken(f);
      const int v = _qv_lex(f, 1);
      if (v != kTokEquals) {
        keep(broken, name, copy_cell_text(kOn));
        u = v;
        continue;
      }
      const int w = _qv_lex(f, 1);
      if (w == kTokCancel) return w;
      if (w != kTokAttrValue && w != kTokAttrName) return tag_error(f, w, "text is required 1");
      keep(broken || lex_word_broken(f), name, f->sexp->string.data);
    } else if (u == kTokGreater) {
      if ((f->flags & kRfHtml) || t == kTokStartTagOpen) return finish(empty_or_start(f, tag));
      return tag_error(f, u, "not correspond end tag");
    } else {
      return tag_error(f, u, "attribute syntax error.");
    }
    u = _qv_lex(f, 1);
  }
}

// The tag layer over token t of the state machine (and the tokens after it that t's tag or
// comment takes).
int layer(TQ_FILE* f, int t) {
  for (;; t = _qv_lex(f, 1)) {
    switch (t) {
      case kTokCommentStart:
        if (skip_comment(f) == kTokCancel) return kTokCancel;
        set_lex_context(f);  // a comment inside a parenthesised list: the list goes on
        continue;
      case kTokLBracket: return field_description(f);
      case kTokStartTag:
        return (f->flags & kRfHtml) && check_html_emp(f->sexp) == 0 ? kTokEmptyTag : kTokStartTag;
      case kTokStartTagOpen:
      case kTokPi:
      case kTokDecl:
      case kTokBracketTag: return attributes(f, t);
      case kTokEnd:  // a tag name refused by its maker: the rest of its tag goes with it
        return f->lex_error && in_tag_mode(f) ? tag_error_end(f) : t;
      default: return t;
    }
  }
}

}  // namespace

int __qv_lex(TQ_FILE* f) { return layer(f, _qv_lex(f, 1)); }

int qv_lex(TQ_FILE* f) { return __qv_lex(f); }

}  // namespace tq
