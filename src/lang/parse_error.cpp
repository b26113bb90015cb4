// Error literals: the printed form of an error cell, "%E" followed by
//   ("site" "filename" line "func" code data)
// is read back eagerly into the error cell the lexer made for "%E". At the first token that
// does not fit, the literal keeps the fields read so far, takes code 0x80021003 and nil
// data, and the tokens after the misfit are read later as ordinary data.
//
// The eager reader recurses into the data's lists, so it counts its depth on the language's
// nesting limit: a deeper datum is a misfit, and its rest is read as ordinary data.
//
// It runs outside the memory-lock section, since the lexer may wait for input, while a
// collection may mark what it has made (the cells are in the thread's frame, the error cell
// in the reader): every word it writes into a cell made before is written inside a section.
#include <type_traits>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"

namespace tq {

namespace {

constexpr LText kFuncParser = "parser";
constexpr LText kCancel = "cancel";
constexpr LText kQuote = "quote";

struct Eager {
  TQ_FILE* f;
  int32_t cancel_line;  // line of a cancel error in the data
  bool failed = false;
  int misfit = kNoToken;  // the token that did not fit

  TQ_SEXP* fail(int t) {
    failed = true;
    misfit = t;
    return nullptr;
  }
};

TQ_SEXP* parse_sexp(Eager& e);

// The next token for the literal. One the lexer answers with an error of its own (a word
// holding an invalid reference, a string cut by a line end) is dropped for that error, as the
// lazy reader drops it: it is a misfit answered as 0, so none of its text becomes data. A token
// given back after the errors of a broken tag or description is sound.
int next_token(Eager& e) {
  TQ_SEXP* const queued = e.f->lex_error;
  const int t = qv_lex(e.f);
  if (e.f->lex_error == queued || t == kTokCancel) return t;
  if (!(e.f->flags & kRfTokenAfterErrors)) return kTokEnd;
  lex_set_bits(e.f, kRfTokenAfterErrors, false);  // so that a later broken token shows as one
  return t;
}

template <class T>
void put(T& word, std::type_identity_t<T> value) {
  MemLock hold;
  word = value;
}

// Elements up to ")"; an error literal ends the list early (its token is dropped).
TQ_SEXP* parse_pair(Eager& e) {
  NestLevel level;
  if (!level.ok()) return e.fail(kNoToken);
  TQ_SEXP* head = nullptr;
  TQ_SEXP** tail = &head;
  for (;;) {
    TQ_SEXP* item;
    const int t = next_token(e);
    switch (t) {
      case kTokClose:
      case kTokErrorLiteral: return head;
      case kTokOpen: item = parse_pair(e); break;
      case kTokQuote: {
        TQ_SEXP* datum = parse_sexp(e);
        item = e.failed ? nullptr : list(get_symbol(kQuote), datum, nullptr);
        break;
      }
      case kTokDatum: item = e.f->sexp; break;
      case kTokCancel: {
        item = get_error(e.f, e.cancel_line, ER_BREAK, kFuncParser, get_string(kCancel));
        e.f->flags |= kRfSexpContext;  // the lexer left the list's context with the cancel
        break;
      }
      default: return e.fail(t);  // end of input, a tag, a bracket: the partial list is dropped
    }
    if (e.failed) return nullptr;
    put(*tail, cons(item, nullptr));
    tail = &(*tail)->pair.cdr;
  }
}

TQ_SEXP* parse_sexp(Eager& e) {
  const int t = next_token(e);
  switch (t) {
    case kTokOpen: return parse_pair(e);
    case kTokQuote: {
      NestLevel level;  // quote marks nest as deeply as lists
      if (!level.ok()) return e.fail(kNoToken);
      TQ_SEXP* datum = parse_sexp(e);
      return e.failed ? nullptr : list(get_symbol(kQuote), datum, nullptr);
    }
    case kTokDatum: return e.f->sexp;
    default: return e.fail(t);
  }
}

// The next token as a datum of the given tag, or null (the token is then the misfit).
TQ_SEXP* field(Eager& e, int32_t type) {
  const int t = next_token(e);
  if (t == kTokDatum && e.f->sexp && sexp_tag(e.f->sexp) == type) return e.f->sexp;
  return e.fail(t);
}

void read_fields(Eager& e, TQ_SEXP* er) {
  TQ_ERROR& x = er->error;
  if (int t = next_token(e); t != kTokOpen) return void(e.fail(t));
  TQ_SEXP* v;
  if (!(v = field(e, kTagString))) return;
  put(x.site, v->string.data);
  if (!(v = field(e, kTagString))) return;
  put(x.filename, v->string.data);
  if (!(v = field(e, kTagInteger))) return;
  put(x.line, int32_t(v->integer.data));
  if (!(v = field(e, kTagString))) return;
  put(x.func, v->string.data);
  if (!(v = field(e, kTagInteger))) return;
  put(x.code, uint32_t(v->integer.data));
  TQ_SEXP* data = parse_sexp(e);
  if (e.failed) return;
  if (int t = next_token(e); t != kTokClose) return void(e.fail(t));
  put(x.data, data);
}

// The line of the entry that is on top once the literal stands in its list: the rest of the
// list, made at the literal's token; after a quote mark, the entry below the quoted datum.
int32_t top_line_after(const TQ_FILE* f, const TQ_SEXP* er) {
  const TQ_DELAY* top = f->stack;
  if (!top) return f->line;
  if (top->dtype == kDelayList) return er->h.line;
  return top->next ? top->next->h.line : f->line;
}

}  // namespace

int parse_error(TQ_FILE* f) {
  TQ_SEXP* er = f->sexp;
  Eager e{f, top_line_after(f, er)};
  // Read before the cell is published, so that no other thread sees it half filled.
  read_fields(e, er);
  int back = kNoToken;
  if (e.failed) {
    put(er->error.code, ER_BAD_ERROR_LITERAL);
    put(er->error.data, nullptr);
    // The cancel character and the true end of input keep their meaning; a token dropped
    // after a lexer error is no end of input.
    if (e.misfit == kTokCancel || ((e.misfit == kTokEnd || e.misfit == kTokClosed) && !f->lex_error))
      back = e.misfit;
  }
  new_data(f, er);
  if (f->lex_error) deliver_lex_errors(f);
  return back;
}

}  // namespace tq
