// The lexer's lower layers: bytes of the stream through the code method into characters,
// one character of push-back, references and entities, the token text, reader settings and
// the queue of lexer errors.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "platform/machine.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "stream/stream.h"
#include "stream/stream_write.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

int lex_token_cap = kTokenCap;

namespace {

constexpr LText kFuncLex = "lex";
constexpr int kFirstTextSize = 10;       // characters of a new token buffer
constexpr int kKeptTextSize = 4096;      // a larger token buffer is dropped after its token
constexpr int kOverflowTail = 8;         // characters kept at the end of an overlong token
constexpr int kEntityNameMax = 64;       // longer names are never defined
constexpr int kEntityDepthMax = 16;      // expansions for one character

// ---- Entities.

void push_ent_stack(TQ_FILE* f, ENTITY* e, int mode) {
  MemLock hold;
  auto* st = static_cast<ENTITY_STACK*>(mmalloc(sizeof(ENTITY_STACK), gc_text));
  st->up = f->ent_stack;
  st->ent = e;
  st->ptr = e->data;
  st->mode = mode;
  set_reader_field(f->ent_stack, st);
}

void pop_ent_stack(TQ_FILE* f) {
  ENTITY_STACK* st = f->ent_stack;
  set_reader_field(f->ent_stack, st->up);
  mfree(st);
}

// The next character of a replay (modes 2 to 4): the reference as it was written, "&", the
// entity's name, ";". The ampersand comes marked, so that it is not read as a reference
// again; the entry goes after the semicolon.
L_CHAR replay_char(TQ_FILE* f, ENTITY_STACK* st, int* mark) {
  *mark = 0;
  switch (st->mode) {
    case 2:
      st->mode = 3;
      st->ptr = st->ent->name;
      *mark = 1;
      return '&';
    case 3:
      if (const L_CHAR c = *st->ptr) {
        ++st->ptr;
        return c;
      }
      [[fallthrough]];
    case 4:
      pop_ent_stack(f);
      return ';';
    default:
      er_panic("get_1ent(1)");
  }
}

// The next character of the innermost expansion, else of the stream. A pushed-back
// character comes before both: it was read after the expansion's characters.
L_CHAR get_1ent(TQ_FILE* f, int* mark) {
  if (f->buf == 0) {
    while (ENTITY_STACK* st = f->ent_stack) {
      if (st->mode != 1) return replay_char(f, st, mark);
      const L_CHAR c = *st->ptr;
      if (c == 0) {
        pop_ent_stack(f);
        continue;
      }
      ++st->ptr;
      if (*st->ptr == 0) pop_ent_stack(f);
      *mark = 0;
      return c;
    }
  }
  return get_1char(f, mark);
}

// Whether c ends the text of a broken reference before its ";": the end of input, the cancel
// character, a blank or line end, or a character that opens or closes something in one of
// the two notations. What follows the reference is then read as if it had stood alone.
bool ends_reference(L_CHAR c) {
  switch (c) {
    case 0: case 3: case ' ': case '\t': case '\n': case '\r':
    case '<': case '>': case '(': case ')': case '[': case ']': case '"': case '\'': return true;
    default: return false;
  }
}

// The rest of a broken reference from c on: up to its ";" (read), or up to a character that
// cannot stand in one (left to be read), so that no part of it is read as something else
// (the ";" of "&#z;" began a comment that took the rest of the line).
void skip_reference(TQ_FILE* f, L_CHAR c) {
  int mark = 0;
  for (; c != ';'; c = get_1ent(f, &mark)) {
    if (ends_reference(c)) {
      if (c) put_1char(f, c, mark);
      return;
    }
  }
}

// The value of a numeric reference after "&#", "&C" or "&c": hexadecimal after "x", else
// decimal, up to ";". False for any other character (the rest of the reference is skipped),
// and for the character 0, which no text can hold (it would cut the word it stands in).
bool read_char_ref(TQ_FILE* f, uint32_t* value) {
  int mark;
  L_CHAR c = get_1ent(f, &mark);
  uint32_t v = 0;
  const bool hex = c == 'x';
  if (hex) c = get_1ent(f, &mark);
  for (; c != ';'; c = get_1ent(f, &mark)) {
    const int d = hex ? lex_hex_digit(c) : (c >= '0' && c <= '9') ? int(c - '0') : -1;
    if (d < 0) {
      skip_reference(f, c);
      return false;
    }
    v = v * (hex ? 16 : 10) + uint32_t(d);
  }
  *value = v;
  return v != 0;
}

// The value of a text that is one numeric reference and nothing else ("&#x26;", as the three
// standard entities are), read by the rules of read_char_ref; false for any other text.
bool whole_char_ref(const L_CHAR* t, uint32_t* value) {
  if (t[0] != '&' || (t[1] != 'C' && t[1] != 'c' && t[1] != '#')) return false;
  const L_CHAR* p = t + 2;
  uint32_t v = 0;
  if (*p == 'x') {
    for (++p; *p != ';'; ++p) {
      const int d = lex_hex_digit(*p);
      if (d < 0) return false;
      v = v * 16 + uint32_t(d);
    }
  } else {
    for (; *p != ';'; ++p) {
      if (*p < '0' || *p > '9') return false;
      v = v * 10 + (*p - '0');
    }
  }
  *value = v;
  return p[1] == 0 && v != 0;
}

// The entity named from c up to ";", or null when the name is not defined, or is broken off
// by a character that cannot stand in a reference (left to be read) or by the end of input.
ENTITY* read_entity_ref(TQ_FILE* f, L_CHAR c) {
  L_CHAR name[kEntityNameMax + 1];
  int n = 0;
  bool fits = true;
  int mark = 0;
  for (; c != ';'; c = get_1ent(f, &mark)) {
    if (ends_reference(c)) {
      skip_reference(f, c);
      return nullptr;
    }
    if (n < kEntityNameMax)
      name[n++] = c;
    else
      fits = false;
  }
  name[n] = 0;
  return fits ? search_entity(f, name) : nullptr;
}

}  // namespace

// ---- Characters.

int get_long_char(L_CHAR* ch, TQ_FILE* f) {
  for (;;) {
    uint8_t b;
    if (f->rb_ptr < f->rb_len) {
      b = f->rb[f->rb_ptr++];
    } else {
      if (lex_read_stalls(f)) return 0;
      int n;
      int err;  // a failed read's cause: the call-out's end takes locks, which clear errno
      {
        ParseCallOut out(f);
        n = s_read(reader_field(f->st), reinterpret_cast<char*>(f->rb), kReadBuffer);
        err = errno;
      }
      read_time(f).store(tick_now(), std::memory_order_relaxed);
      errno = err;
      if (n < 1) return n;
      f->rb_len = int16_t(n);
      f->rb_ptr = 1;
      b = f->rb[0];
    }
    if (f->cm->to_internal(ch, f->cm_work, b)) return 1;
  }
}

L_CHAR get_1char(TQ_FILE* f, int* ent_flag) {
  *ent_flag = 0;
  if (f->flags & kRfClosed) return 0;
  if (f->buf) {
    const L_CHAR c = f->buf;
    *ent_flag = f->buf_ent_flag;
    f->buf = 0;
    f->buf_ent_flag = 0;
    return c;
  }
  L_CHAR c = 0;
  int r;
  do {
    errno = 0;
    r = get_long_char(&c, f);
  } while (r < 0 && errno == EAGAIN);
  if (r == 1) return c;
  if (r == 0 && lex_read_stalls(f)) return 0;  // read ahead: the end is not the stream's
  if (r < 0) lex_queue_error(f, ER_END_OF_INPUT, {"cannot read the file", f->name, std::strerror(errno ? errno : EIO)});
  ParseCallOut out(f);
  qv_file_delete(f);
  return 0;
}

void put_1char(TQ_FILE* f, L_CHAR ch, int ent_flag) {
  f->buf = ch;
  f->buf_ent_flag = ent_flag;
}

int get_nchar(TQ_FILE* f, uint8_t* buf, int len) {
  if (f->flags & kRfClosed) return 0;
  ParseCallOut out(f);
  int got = 0;
  if (f->rb_ptr < f->rb_len) {
    got = f->rb_len - f->rb_ptr;
    if (got > len) got = len;
    std::memcpy(buf, f->rb + f->rb_ptr, size_t(got));
    f->rb_ptr = int16_t(f->rb_ptr + got);
  }
  while (got < len && !lex_read_stalls(f)) {
    errno = 0;
    const int n = s_read(reader_field(f->st), reinterpret_cast<char*>(buf + got), len - got);
    read_time(f).store(tick_now(), std::memory_order_relaxed);
    if (n > 0) {
      got += n;
      continue;
    }
    if (n < 0 && errno == EAGAIN) continue;
    if (n == 0) {
      qv_file_delete(f);
    } else {
      lex_queue_error(f, ER_END_OF_INPUT, {"cannot read the file", f->name, std::strerror(errno ? errno : EIO)});
    }
    break;
  }
  return got;
}

L_CHAR qv_lex_entity(int* ent_flag, TQ_FILE* f, int mode) {
  if (!mode) return get_1char(f, ent_flag);
  // Expansions begun for this one character: an entity whose text names itself (directly or
  // through others) would otherwise expand for ever.
  for (int expansions = 0;; ++expansions) {
    int mark;
    const L_CHAR c = get_1ent(f, &mark);
    if (c != '&' || mark) {
      *ent_flag = mark;
      return c;
    }
    const L_CHAR c2 = get_1ent(f, &mark);
    if (c2 == 'C' || c2 == 'c' || c2 == '#') {
      uint32_t v;
      if (!read_char_ref(f, &v)) break;
      *ent_flag = 1;
      return v;
    }
    ENTITY* e = read_entity_ref(f, c2);
    if (!e || expansions >= kEntityDepthMax) break;
    uint32_t v;
    if (mode == 1 && whole_char_ref(e->data, &v)) {  // its expansion would give just that, marked
      *ent_flag = 1;
      return v;
    }
    push_ent_stack(f, e, mode);
  }
  lex_queue_error(f, ER_INVALID_ENTITY, {"invalid entity"});
  // An expansion cut short by the invalid reference is abandoned with it.
  while (f->ent_stack) pop_ent_stack(f);
  *ent_flag = 1;  // a marked 0: not the end of input
  return 0;
}

// ---- The token text.

void test_mem(const char* str) {
  std::fprintf(stderr, "%s...\n", str);
  exercise_debug_heap(10000, 0);
  std::fprintf(stderr, "%s...END\n", str);
}

void* lex_mrealloc(void* p, size_t size, GC_FUNC gc_func) {
  return p ? mrealloc(p, size, gc_func) : mmalloc(size, gc_func);
}

void put_data_slow(TQ_FILE* f, L_CHAR ch) {
  if (f->yylen >= lex_token_cap) {
    // Too long already: the token will be refused; keep only its tail moving, so that the
    // states that look at how the text ends still find the end of the token.
    L_CHAR* tail = f->yytext + f->yylen - kOverflowTail;
    std::memmove(tail, tail + 1, (kOverflowTail - 1) * sizeof(L_CHAR));
    tail[kOverflowTail - 1] = ch;
    return;
  }
  if (f->yylen + 1 >= f->yytextlen) {  // one slot stays free for the ending 0
    int cap = f->yytext ? f->yytextlen * 2 : kFirstTextSize;
    if (cap > lex_token_cap + 1) cap = lex_token_cap + 1;
    if (cap < kOverflowTail + 1) cap = kOverflowTail + 1;
    MemLock hold;
    set_reader_field(f->yytext, static_cast<L_CHAR*>(lex_mrealloc(f->yytext, size_t(cap) * sizeof(L_CHAR), gc_text)));
    f->yytextlen = cap;
  }
  f->yytext[f->yylen++] = ch;
}

void reset_yytext(TQ_FILE* f) { f->yylen = 0; }

void token_head(TQ_FILE* f) { f->token_head_line = f->line; }

bool token_overflowed(const TQ_FILE* f) { return f->yylen >= lex_token_cap; }

L_CHAR* take_yytext(TQ_FILE* f) {
  const size_t n = size_t(f->yylen);
  auto* t = static_cast<L_CHAR*>(mmalloc((n + 1) * sizeof(L_CHAR), gc_text));
  if (n) std::memcpy(t, f->yytext, n * sizeof(L_CHAR));
  t[n] = 0;
  f->yylen = 0;
  if (f->yytextlen > kKeptTextSize) {  // a long token's buffer is not kept for the next ones
    set_reader_field(f->yytext, nullptr);
    f->yytextlen = 0;
  }
  return t;
}

// ---- Reader settings.

void set_parseflags(TQ_FILE* f, int set_flags, int res_flags) {
  f->flags |= set_flags;
  f->flags &= ~res_flags;
}

void set_file_line(TQ_FILE* f, int line) { f->line = line; }

void pt_line(TQ_FILE* f) {
  if (f->yylen < 2 || !f->yytext) return;
  char digits[24];
  int n = 0;
  for (int i = 2; i < f->yylen && n < int(sizeof digits) - 1; ++i) {
    const L_CHAR c = f->yytext[i];
    if (c > 0x7F) break;
    digits[n++] = char(c);
  }
  digits[n] = 0;
  f->line = int(std::strtol(digits, nullptr, 0));
}

void tq_set_cm(TQ_SEXP* s, CODE_METHOD* cm) {
  TQ_FILE* f = s ? s->h.file : nullptr;
  if (!f || !cm) return;
  if (f->cm) f->cm->close(nullptr, f->cm_work);
  f->cm = cm;
  f->cm_work = cm->open();
  s_set_cm(reader_field(f->st), cm);
}

int set_encoding(TQ_SEXP* lst) {
  TQ_SEXP* p = lst;
  for (int i = 0; i < 2; ++i, p = p->pair.cdr) {  // the second element is read only when needed
    if (get_type(p) != kTagPair) return 0;
    TQ_SEXP* e = p->pair.car;
    if (get_type(e) != kTagPair) continue;
    TQ_SEXP* h = e->pair.car;
    if (get_type(h) != kTagSymbol) continue;
    const L_CHAR* name = h->symbol.data;
    if (l_strcmp(name, _l_string_2(std_cm, "?xml")) != 0 && l_strcmp(name, _l_string_2(std_cm, "?tq")) != 0) continue;
    if (const L_CHAR* enc = get_symbol_field(h, _l_string_2(std_cm, "encoding"))) {
      CODE_METHOD* cm = search_cm(n_string(std_cm, enc));
      tq_set_cm(e, cm ? cm : std_cm);
      return 1;
    }
  }
  return 0;
}

// ---- Entities.

void new_entity(TQ_FILE* f, const L_CHAR* name, const L_CHAR* data) {
  MemLock hold;
  auto* e = static_cast<ENTITY*>(mmalloc(sizeof(ENTITY), gc_text));
  const size_t nl = size_t(l_strlen(name)) + 1, dl = size_t(l_strlen(data)) + 1;
  e->name = static_cast<L_CHAR*>(mmalloc(nl * sizeof(L_CHAR), gc_text));
  std::memcpy(e->name, name, nl * sizeof(L_CHAR));
  e->data = static_cast<L_CHAR*>(mmalloc(dl * sizeof(L_CHAR), gc_text));
  std::memcpy(e->data, data, dl * sizeof(L_CHAR));
  e->next = f->entity;
  set_reader_field(f->entity, e);
}

ENTITY* search_entity(TQ_FILE* f, const L_CHAR* name) {
  for (ENTITY* e = f->entity; e; e = e->next)
    if (l_strcmp(e->name, name) == 0) return e;
  return nullptr;
}

void define_standard_entities(TQ_FILE* f) {
  static constexpr LText lt = "lt";
  static constexpr LText lt_text = "&#x3c;";
  static constexpr LText amp = "amp";
  static constexpr LText amp_text = "&#x26;";
  static constexpr LText quot = "quot";
  static constexpr LText quot_text = "&#x22;";
  new_entity(f, lt, lt_text);
  new_entity(f, amp, amp_text);
  new_entity(f, quot, quot_text);
}

// ---- Errors.

void lex_queue_error(TQ_FILE* f, uint32_t code, std::initializer_list<LexText> data) {
  // A word broken by an invalid reference stands as that one error; its text, which keeps an
  // "&" where the reference stood, is shown nowhere.
  if (code == ER_TOKEN && lex_word_broken(f)) return;
  MemLock hold;
  const LexText* items = data.begin();
  TQ_SEXP* list = nullptr;
  for (size_t i = data.size(); i-- > 0;)
    list = cons(items[i].n ? n_get_string(items[i].n) : get_string(items[i].l), list);
  TQ_SEXP* er = get_error(f, f->token_head_line, code, kFuncLex, list);
  set_reader_field(f->lex_error, cons(er, f->lex_error));
}

}  // namespace tq
