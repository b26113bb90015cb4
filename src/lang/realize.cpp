// Realisation of delayed cells: a reader's cells (delay types 1 and 2) by pulling tokens and
// acting on each with the parser's table until the cell is determined; a function-backed
// cell (type 3) by calling its function until what comes back is no longer delayed.
//
// One thread at a time reads a reader or calls a function record: it sets kRfRealising on
// the record; the others sleep on the record and are woken after every token and at the
// end, then look whether their cell is realised meanwhile. A function runs without the parse
// lock; a reader is read under it, given up wherever the reading may wait.
// A realisation reads under a root frame of its own, so that what it makes is rooted until it
// is linked into the reader's structures, and is dropped from the roots with the frame
// rather than piling up in the caller's frame; the frame is renewed every few hundred tokens
// when one realisation reads a long form.
#include <cstdio>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/file_stream.h"
#include "stream/stream.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr LText kFuncParser = "parser";
constexpr int kTokensPerFrame = 256;

bool realised(TQ_SEXP* s) { return !s || sexp_tag(s) != kTagDelay; }


TQ_SEXP* parser_error(TQ_FILE* f, int32_t line, uint32_t code, const char* t1, const L_CHAR* t2 = nullptr,
                      const L_CHAR* t3 = nullptr) {
  TQ_SEXP* data = nullptr;
  if (t3) data = cons(get_string(t3), data);
  if (t2) data = cons(get_string(t2), data);
  data = cons(n_get_string(t1), data);
  return get_error(f, line, code, kFuncParser, data);
}

// An error of the parser as the next element of the innermost open list.
void insert_error(TQ_FILE* f, uint32_t code, const char* t1, const L_CHAR* t2 = nullptr, const L_CHAR* t3 = nullptr) {
  new_data_set(f, parser_error(f, f->line, code, t1, t2, t3));
}

bool open_list(const TQ_FILE* f) { return f->stack && f->stack->next; }

// Pops the top entry and makes it nil: the innermost open list ends.
void close_top(TQ_FILE* f) {
  TQ_SEXP* d = reinterpret_cast<TQ_SEXP*>(f->stack);
  qv_pop_delay(f);
  publish_nil(d);
}

// Ends every unfinished list above the bottom entry with an error (line: the entry below),
// and with end_bottom the bottom entry too, as nil.
void end_lists(TQ_FILE* f, uint32_t code, const char* text, bool end_bottom) {
  while (f->stack && (f->stack->next || end_bottom)) {
    TQ_DELAY* top = f->stack;
    TQ_SEXP* d = reinterpret_cast<TQ_SEXP*>(top);
    qv_pop_delay(f);
    if (!top->next) {
      publish_nil(d);
      continue;
    }
    const int32_t line = top->next->h.line;
    publish_copy(d, parser_error(f, line, code, text));
  }
}

void cancel(TQ_FILE* f) {
  if (open_list(f)) {
    end_lists(f, ER_CANCELLED, "cancel", false);
    return;
  }
  if (!f->stack) return;
  const int32_t line = f->stack->h.line;
  new_data(f, parser_error(f, line, ER_CANCELLED, "cancel"));
}

void end_tag(TQ_FILE* f, TQ_SEXP* end) {
  const L_CHAR* name = end->symbol.data;
  if (!open_list(f)) {
    insert_error(f, ER_TAG_MISMATCH, "not correspond tag ( to", name);
    return;
  }
  TQ_SEXP* tag = f->stack->d.file.tag;
  close_top(f);
  if (!tag)
    insert_error(f, ER_TAG_MISMATCH, "not correspond tag ( to", name);
  else if (l_strcmp(tag->symbol.data, name) != 0)
    insert_error(f, ER_TAG_MISMATCH, "not correspond tag", tag->symbol.data, name);
  set_lex_context(f);
}

// An end tag whose name holds an invalid reference is dropped for its error, but its element
// ends there all the same (it would otherwise take the rest of the input); inside a
// parenthesised list, which no end tag is for, it ends nothing.
void end_broken_tag(TQ_FILE* f) {
  if (!open_list(f) || !f->stack->d.file.tag) return;
  MemLock hold;
  close_top(f);
  set_lex_context(f);
}

[[noreturn]] void bad_token(int t) {
  std::printf("%i(%c)\n", t, t);
  std::fflush(stdout);
  er_panic("qv_parse(1)");
}

// ---- Function-backed cells.

// file, line: the asker, for the rule checks.
TQ_SEXP* realize_func(TQ_SEXP* s, const char* file, int line) {
  TQ_SEXP* const first = s;
  for (;;) {
    TQ_FILE* rec = s->h.file;  // null for a cell made without init_delay_func
    while (rec && (rec->flags & kRfRealising)) {
      sleep_parse(rec);
      if (realised(s)) break;
    }
    if (realised(s)) break;
    DELAY_FUNC* df = s->delay.d.func;
    if (rec) rec->flags |= kRfRealising;
    unlock_parse("realize_sexp");
    // A value another thread fills in, maybe a peer's: it may be waited for.
    check_no_peer_wait(PeerWait::kValue, "a forced value", file, line);
    TQ_SEXP* r = df->func(s);
    lock_parse();
    if (rec) {
      wakeup_parse(rec);
      rec->flags &= ~kRfRealising;
    }
    s = r;
    if (realised(s) || s->delay.dtype != kDelayFunc) break;
  }
  // A function that answered with another cell instead of rewriting its own: every holder
  // of the first cell must see the value, so it takes a copy.
  if (s != first && realised(s) && !realised(first)) publish_copy(first, s);
  unlock_parse("realize_sexp");
  if (!realised(s)) return realize_sexp(s);  // a reader's cell came back
  return realised(first) ? first : s;
}

// ---- Reader cells.

// The reader this thread lexes while holding the parse lock, for ParseCallOut.
thread_local TQ_FILE* lexing_locked = nullptr;

// Read-ahead past the cell asked for, only where it cannot be told from reading one token at
// a time: the stream never waits (a string, a regular file) and no owner hook watches the
// reading. A datum still open after kAheadTokens tokens is left to later realisations, so
// that a huge element is not all made at once.
constexpr int kAheadTokens = 4096;

// A token read ahead comes only from the bytes already in the read buffer: one that needs
// the stream (more bytes, or the end of input, which closes the reader) stalls instead
// (lex_read_stalls), and is rolled back to where it began, to be read when it is asked for.
thread_local TQ_FILE* reading_ahead = nullptr;
thread_local bool ahead_stalled = false;

// The lexer state a token read ahead may change, taken where a token begins with no text,
// no expansion, no queued error and the code method idle (after an ASCII byte).
struct LexMark {
  int16_t rb_ptr;
  L_CHAR buf;
  int buf_ent_flag;
  int mode;
  int bits;
  int line;
  int token_head_line;
  CODE_METHOD* cm;
};
constexpr int kLexBits = kRfSexpContext | kRfEqualsToken | kRfTokenAfterErrors;

bool mark_lexer(const TQ_FILE* f, LexMark* m) {
  if (f->yylen || f->ent_stack || f->lex_error || f->rb_ptr <= 0 || f->rb[f->rb_ptr - 1] >= 0x80 ||
      !lex_cm_ascii_transparent(f->cm))
    return false;
  *m = {f->rb_ptr, f->buf, f->buf_ent_flag, f->mode, f->flags & kLexBits, f->line, f->token_head_line, f->cm};
  return true;
}

void roll_back(TQ_FILE* f, const LexMark& m) {
  f->rb_ptr = m.rb_ptr;
  f->buf = m.buf;
  f->buf_ent_flag = m.buf_ent_flag;
  f->mode = m.mode;
  f->flags &= ~kLexBits;
  f->flags |= m.bits;
  f->line = m.line;
  f->token_head_line = m.token_head_line;
  f->yylen = 0;
  set_reader_field(f->sexp, nullptr);
  set_reader_field(f->lex_error, nullptr);  // errors of the rolled-back token only
  set_reader_field(f->ent_stack, nullptr);
  if (f->cm != m.cm) {  // the token switched the code method: its bytes are read again as before
    f->cm->close(nullptr, f->cm_work);
    f->cm = m.cm;
    f->cm_work = m.cm->open();
    return;
  }
  L_CHAR c;
  f->cm->to_internal(&c, f->cm_work, ' ');  // an ASCII byte ends whatever the token left pending
}

bool reads_ahead(const TQ_FILE* f) {
  const STREAM* st = reader_field(f->st);
  if (!st || f->func_11 || f->func_12 || f->func_14) return false;
  return st->h.tbl == &s_string_table || (st->h.tbl == &s_file_table && st->file.never_blocks);
}

// The entry whose turn ends the datum s was realised into: the rest of s's list, else the
// entry that was below s (s stood for one datum). Null when s is not a pair of data.
TQ_SEXP* datum_end(TQ_SEXP* s, TQ_DELAY* below) {
  if (sexp_tag(s) != kTagPair) return nullptr;
  TQ_SEXP* cdr = s->pair.cdr;
  if (cdr && sexp_tag(cdr) == kTagDelay) return cdr;
  return reinterpret_cast<TQ_SEXP*>(below);
}

// Delivers the queued errors; true when the token read with them follows them (its cell is
// then the reader's again).
bool deliver_before(TQ_FILE* f) {
  MemLock hold;
  const bool follows = f->flags & kRfTokenAfterErrors;
  TQ_SEXP* cell = f->sexp;
  deliver_lex_errors(f);
  set_reader_field(f->sexp, follows ? cell : nullptr);
  return follows;
}

// Acts on token t (parse lock held).
void take_token(TQ_FILE* f, int t) {
  if (t == kTokErrorLiteral) {
    unlock_parse("realize_sexp");
    parse_token(f, t);  // reads on eagerly, without the lock
    lock_parse();
    return;
  }
  MemLock hold;
  parse_token(f, t);
}

// Token t is read after the errors queued with it. A word broken by an invalid reference keeps
// an "&" where the reference stood: its error stands for it, and none of its text may become
// data (it comes only with its error, so this is where the rule can break).
[[gnu::cold, gnu::noinline]] void check_read_after_errors(const TQ_FILE* f, int t) {
  if (rule_checks_on() && t != kTokCancel && lex_word_broken(f))
    rule_broken("a word broken by a reference is never read", __FILE__, __LINE__, "a broken word taken as a token");
}

// Parse lock held, s not realised; released on return. The lexer runs under that hold and
// gives it up around every stream read and owner hook (ParseCallOut), so a reader that
// waits for input stops no one; the lock is taken once per realisation rather than per token.
// Where the stream never waits, the realisation reads on to the end of the datum that s
// became (the whole element or list), under the same hold.
TQ_SEXP* realize_reader(TQ_SEXP* s, TQ_FILE* f) {
  f->flags |= kRfRealising;
  TQ_DELAY* const below = s->delay.next;  // unchanged until s itself is popped
  const bool ahead = reads_ahead(f);
  TQ_SEXP* end = nullptr;
  int ahead_left = kAheadTokens;
  gc_push(nullptr, nullptr, "realize_sexp");
  for (int n = 1;; ++n) {
    if (n % kTokensPerFrame == 0) {  // what earlier tokens made is linked from the reader by now
      gc_pop(nullptr, nullptr);
      gc_push(nullptr, nullptr, "realize_sexp");
    }
    LexMark mark{};  // filled by mark_lexer when speculative, the only case that reads it
    const bool speculative = end != nullptr;
    if (speculative && !mark_lexer(f, &mark)) break;
    lexing_locked = f;
    reading_ahead = speculative ? f : nullptr;
    ahead_stalled = false;
    const int t = qv_lex(f);
    lexing_locked = nullptr;
    reading_ahead = nullptr;
    // An error literal read ahead is left too: completing it reads on from the stream.
    if (speculative && (ahead_stalled || t == kTokErrorLiteral)) {
      roll_back(f, mark);
      break;
    }
    // Queued errors stand where the token stood; it is dropped unless it follows them (the
    // cancel character always comes through, also right after a broken word).
    if (TQ_SEXP* const errors = f->lex_error; !errors || deliver_before(f) || t == kTokCancel) {
      if (errors) check_read_after_errors(f, t);
      take_token(f, t);
    } else if (t == kTokEndTag && lex_word_broken(f)) {
      end_broken_tag(f);
    }
    wakeup_parse(f);  // waiters whose cell is realised by now can go on
    if (!realised(s)) continue;
    if (!ahead) break;
    if (!end && !(end = datum_end(s, below))) break;
    if (realised(end) || f->stack == &end->delay || --ahead_left == 0) break;
  }
  f->flags &= ~kRfRealising;
  {
    MemLock hold;
    gc_pop(nullptr, nullptr);
  }
  unlock_parse("realize_sexp");
  return s;
}

}  // namespace

void set_lex_context(TQ_FILE* f) { lex_set_bits(f, kRfSexpContext, f->stack && f->stack->d.file.mode); }

// The broken token may have left the context of its list (a tag inside a parenthesised list
// does): reading goes on in the context of the list the errors now stand in.
void deliver_lex_errors(TQ_FILE* f) {
  lock_parse();
  MemLock hold;
  TQ_SEXP* queued = f->lex_error;
  set_reader_field(f->lex_error, nullptr);
  lex_set_bits(f, kRfTokenAfterErrors, false);
  for (TQ_SEXP* p = queued; p; p = p->pair.cdr) new_data_set(f, p->pair.car);
  set_lex_context(f);
  unlock_parse("deliver_lex_errors");
}

void parse_token(TQ_FILE* f, int t) {
  lock_parse();
  if (t == kTokErrorLiteral) {
    unlock_parse("qv_parse");
    const int back = parse_error(f);
    lock_parse();
    set_lex_context(f);
    if (back != kNoToken) parse_token(f, back);
    unlock_parse("qv_parse");
    return;
  }
  MemLock hold;  // the step's cells are linked before a collection can see them
  switch (t) {
    case kTokOpen:
      new_pair(f, nullptr, kRfSexpContext);
      lex_set_bits(f, kRfSexpContext, true);
      break;
    case kTokQuote:
      new_quote(f);
      lex_set_bits(f, kRfSexpContext, true);
      break;
    case kTokStartTag: {
      TQ_SEXP* tag = f->sexp;
      new_pair(f, tag, 0);
      lex_set_bits(f, kRfSexpContext, false);
      new_data(f, tag);
      break;
    }
    case kTokPi:
    case kTokDecl:
    case kTokBracketTag:
    case kTokEmptyTag:
      new_element(f, f->sexp);
      set_lex_context(f);
      break;
    case kTokDatum:
      new_data(f, f->sexp);
      set_lex_context(f);
      break;
    case kTokClose:
      if (open_list(f)) {
        close_top(f);
        set_lex_context(f);
      } else {
        insert_error(f, ER_TOO_MANY_CLOSE, "too many )");
      }
      break;
    case kTokEndTag: end_tag(f, f->sexp); break;
    case kTokCancel:  // read after the errors of a tag it ended, whose delivery set the list's context
      cancel(f);
      set_lex_context(f);
      break;
    case kTokEnd:
      // The text ends here only where the lexer read its end: an error never ends it.
      if (rule_checks_on() && !lex_end_read(f))
        rule_broken("a reader's text ends at its end, never at an error", __FILE__, __LINE__, "a 0 token before the end");
      [[fallthrough]];
    case kTokClosed: end_lists(f, ER_NO_CLOSE, "no ) for (", true); break;
    case kTokAttrValue:
    case kTokAttrName:
    case kTokEndPi:
    case kTokEndDecl:
    case kTokEndBracket:
    case kTokEndEmpty:
    case kTokCommentEnd:
    case kTokEquals:
    case kTokGreater:
    case kTokLBracket:
    case kTokRBracket: insert_error(f, ER_TOKEN, "token error"); break;
    default: bad_token(t);
  }
  unlock_parse("qv_parse");
}

bool lex_read_stalls(TQ_FILE* f) {
  if (reading_ahead != f) return false;
  ahead_stalled = true;
  return true;
}

bool lex_input_ended(const TQ_FILE* f) { return (f->flags & kRfClosed) || (reading_ahead == f && ahead_stalled); }

ParseCallOut::ParseCallOut(TQ_FILE* f) : f_(lexing_locked == f ? f : nullptr) {
  if (!f_) return;
  lexing_locked = nullptr;
  unlock_parse("lex");
}

ParseCallOut::~ParseCallOut() {
  if (!f_) return;
  lock_parse();
  lexing_locked = f_;
}

void check_realisation_site(const char* file, int line) {
  const char* section_file = nullptr;
  int section_line = 0;
  if (!rule_checks_on() || !mem_lock_site(&section_file, &section_line)) return;
  char at[512];
  if (file)
    snprintf(at, sizeof at, "realised at %s:%i", file, line);
  else
    snprintf(at, sizeof at, "realised through realize_sexp");
  rule_broken("nothing delayed is realised inside a memory section", section_file, section_line, at);
}

TQ_SEXP* realize_sexp_from(TQ_SEXP* s, const char* file, int line) {
  if (realised(s)) return s;
  check_realisation_site(file, line);
  lock_parse();
  TQ_FILE* rec = s->h.file;
  while (!realised(s) && rec && (rec->flags & kRfRealising)) sleep_parse(rec);
  if (realised(s)) {
    unlock_parse("realize_sexp");
    return s;
  }
  if (s->delay.dtype == kDelayFunc) return realize_func(s, file, line);
  return realize_reader(s, s->delay.d.file.f);
}

TQ_SEXP* realize_sexp(TQ_SEXP* s) { return realize_sexp_from(s, nullptr, 0); }

TQ_SEXP* init_delay_func(DELAY_FUNC* df) {
  GcFrame frame("init_delay_func");
  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  qv_file_insert(f);
  return frame.release(new_delay_func_cell(f, df));
}

TQ_SEXP* new_delay_func_cell(TQ_FILE* rec, DELAY_FUNC* df) {
  MemLock lock;
  TQ_SEXP* s = get_sexp(rec, kTagDelay);
  s->delay.dtype = kDelayFunc;
  s->delay.d.func = df;
  return s;
}

}  // namespace tq
