// The calendar reader: characters from the stream through the code method, terms up to a
// delimiter, lines, elements, and the realisation of delayed cells in file order.
//
// Invariant: every delayed cell of a reading that is still pending is the delay of exactly
// one stack entry, and the entries stand in the order the components were opened. Reading
// one element realises the top entry's cell; an outer cell waits until the entries above it
// are gone. Once the stream is closed nothing reads again: a pending cell realises to nil
// and leaves the stack.
#include "lang/calendar.h"

#include "lang/gc.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "stream/stream.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

namespace {

// Line kinds.
constexpr int kKindBegin = 1;
constexpr int kKindEnd = 2;
constexpr int kKindProperty = 3;
constexpr int kKindLineEnd = 0;    // a name ended by a line end: no colon on the line
constexpr int kKindInputEnd = -1;  // the input ended (or failed) where a line should start

constexpr L_CHAR kCR = '\r';
constexpr L_CHAR kLF = '\n';
constexpr L_CHAR kNameDelims[] = {':', ';', kCR, kLF};
constexpr L_CHAR kParamNameDelims[] = {'=', kCR, kLF};
constexpr L_CHAR kParamValueDelims[] = {';', ':', kCR, kLF};
constexpr L_CHAR kValueDelims[] = {kCR, kLF};

bool marked(void* p) { return gc_block_of(p)->mark & kMarkLive; }

// ---- Characters.

void tqcal_push(TQ_CAL* cal, L_CHAR c) {
  if (cal->push_chr_flag) er_panic("tqcal_push");
  cal->push_chr = c;
  cal->push_chr_flag = 1;
}

// 1 and a character; 0 at the end of the input (also once the reading is closed), or the
// stream's negative result.
int tqcal_read(L_CHAR* out, TQ_CAL* cal) {
  if (cal->push_chr_flag) {
    cal->push_chr_flag = 0;
    *out = cal->push_chr;
    return 1;
  }
  for (;;) {
    if (cal->bptr >= cal->buffer_len) {
      if (!cal->st) return 0;
      const int n = s_read(cal->st, reinterpret_cast<char*>(cal->buffer), kCalBuffer);
      if (n <= 0) return n;
      cal->buffer_len = n;
      cal->bptr = 0;
    }
    if (cal->cm->to_internal(out, cal->cm_work, cal->buffer[cal->bptr++])) return 1;
  }
}

// ---- Terms: a growing 32-bit text on the debug heap.

struct Term {
  L_CHAR* s = nullptr;
  int len = 0;
  int cap = 0;
  Term() = default;
  Term(const Term&) = delete;
  Term& operator=(const Term&) = delete;
  ~Term() {
    if (s) d_f_ree(s);
  }
  void add(L_CHAR c) {
    if (len + 1 >= cap) {
      cap = cap ? cap * 2 : 10;
      s = static_cast<L_CHAR*>(d_re_alloc(s, sizeof(L_CHAR) * size_t(cap)));
      if (!s) er_panic("alloc");  // as the debug heap ends when memory is refused
    }
    s[len++] = c;
    s[len] = 0;
  }
  const L_CHAR* text() {
    if (!s) {
      add(0);
      len = 0;
    }
    return s;
  }
  bool is(const char* word) const {
    int i = 0;
    for (; word[i]; ++i)
      if (i >= len || s[i] != L_CHAR(word[i])) return false;
    return i == len;
  }
};

// Collects characters into t until an unescaped delimiter: its index in delims. -1 at the
// end of the input, or the stream's negative result; what came before stays in t. A
// backslash takes the next character literally; backslash n is a line feed, t a tab.
template <size_t N>
int get_term(Term* t, TQ_CAL* cal, const L_CHAR (&delims)[N]) {
  for (;;) {
    L_CHAR c;
    int r = tqcal_read(&c, cal);
    if (r <= 0) return r == 0 ? -1 : r;
    if (c == '\\') {
      r = tqcal_read(&c, cal);
      if (r <= 0) return r == 0 ? -1 : r;
      t->add(c == 'n' ? kLF : c == 't' ? L_CHAR('\t') : c);
      continue;
    }
    for (size_t i = 0; i < N; ++i)
      if (c == delims[i]) return int(i);
    t->add(c);
  }
}

// Joins folded continuation lines to the value: line ends are skipped, a line that starts
// with a blank continues the value, anything else is put back for the next line.
void read_folds(Term* value, TQ_CAL* cal) {
  for (;;) {
    L_CHAR c;
    if (tqcal_read(&c, cal) <= 0) return;
    if (c == kCR || c == kLF) continue;
    if (c != ' ') {
      tqcal_push(cal, c);
      return;
    }
    get_term(value, cal, kValueDelims);
  }
}

// The attributes of the symbol, reversed in place: set_attribute adds at the head.
void reverse_fields(TQ_SEXP* sym) {
  MemLock hold;  // the chain is relinked where no collection walks it
  TQ_SYM_FIELD* done = nullptr;
  for (TQ_SYM_FIELD* f = sym->symbol.field; f;) {
    TQ_SYM_FIELD* next = f->next;
    f->next = done;
    done = f;
    f = next;
  }
  sym->symbol.field = done;
}

// The parameters after ";": each becomes an attribute of sym. True when ":" follows (the
// value comes next), false when the line ended first.
bool read_params(TQ_SEXP* sym, TQ_CAL* cal) {
  for (;;) {
    Term name, value;
    const int k = get_term(&name, cal, kParamNameDelims);
    if (k != 0) return false;
    const int v = get_term(&value, cal, kParamValueDelims);
    if (v < 0) return false;
    set_attribute(sym, name.text(), value.text());
    if (v == 1) return true;
    if (v != 0) return false;
  }
}

TQ_SEXP* cal_error(ConstText func, TQ_SEXP* data) {
  return get_error(nullptr, 0, ER_CALENDAR, _l_string_2(std_cm, func), data);
}

// One line: BEGIN and END give the symbol of their value (kind 1, 2), a property its list
// (kind 3). Lines that are empty up to their end are skipped; a name ended by a line end
// or the input's end gives nil with kind 0 or -1.
TQ_SEXP* get_cal_line(int* kind, TQ_CAL* cal) {
  Term name;
  int k;
  while ((k = get_term(&name, cal, kNameDelims)) >= 2 && name.len == 0) {
  }
  if (k < 0 || k >= 2) {
    *kind = k < 0 ? kKindInputEnd : kKindLineEnd;
    return nullptr;
  }
  TQ_SEXP* sym = nullptr;
  if (name.is("BEGIN") || name.is("END")) {
    *kind = name.is("BEGIN") ? kKindBegin : kKindEnd;
    if (k == 1)
      return cal_error(*kind == kKindBegin ? ConstText("iCalendar parser (BEGIN with parameter)")
                                           : ConstText("iCalendar parser (END with parameter)"),
                       nullptr);
  } else {
    *kind = kKindProperty;
    sym = get_symbol(name.text());
    if (k == 1) {
      const bool has_value = read_params(sym, cal);
      reverse_fields(sym);
      if (!has_value) return cons(sym, nullptr);
    }
  }
  Term value;
  get_term(&value, cal, kValueDelims);
  read_folds(&value, cal);
  if (!sym) return get_symbol(value.text());
  return cons(sym, cons(get_string(value.text()), nullptr));
}

// ---- The reading's end.

void tqcal_close(TQ_CAL* cal) {
  if (cal->cm_work) cal->cm->close(nullptr, cal->cm_work);
  cal->cm_work = nullptr;
  if (cal->st) d_s_close(cal->st);
  cal->st = nullptr;
}

// The close hook of the reading's record: 2 when the collector marks it, 1 when the
// collector drops it unreferenced (it holds the stream lock, so the stream is queued).
void tqcal_record_hook(int code, void* work) {
  auto* cal = static_cast<TQ_CAL*>(work);
  if (code == 2) {
    tqcal_gc(cal);
    return;
  }
  if (cal->cm_work) cal->cm->close(nullptr, cal->cm_work);
  cal->cm_work = nullptr;
  s_close_queue(cal->st);
  cal->st = nullptr;
}

TQ_SEXP* new_cal_cell(TQ_CAL* cal) { return new_delay_func_cell(cal->rec, &cal->h); }

// The stack is changed only inside a memory section: the older entries are reachable only
// through the chain, and a collection on another thread must never see a head whose next is
// not yet written (a weakly ordered processor may show the stores in any order).
void push_component(TQ_CAL* cal, TQ_SEXP* cell) {
  MemLock hold;
  auto* e = static_cast<TQ_CAL_STACK*>(mmalloc(sizeof(TQ_CAL_STACK), gc_tq_cal_stack));
  e->delay = cell;
  e->next = cal->stack;
  cal->stack = e;
}

// One element: a property, a nested component (its entry pushed) or nil for an END.
TQ_SEXP* get_cal_component(TQ_CAL* cal) {
  int kind = kKindLineEnd;
  TQ_SEXP* line = get_cal_line(&kind, cal);
  if (get_type(line) == kTagError) {
    tqcal_close(cal);
    return line;
  }
  switch (kind) {
    case kKindEnd:
    case kKindProperty:
      if (!cal->stack) tqcal_close(cal);
      return kind == kKindEnd ? nullptr : line;
    case kKindBegin: {
      TQ_SEXP* cell = new_cal_cell(cal);
      push_component(cal, cell);
      return cons(line, cell);
    }
    default:
      tqcal_close(cal);
      return cal_error("iCalendar parser (invalid property)", get_integer(kind, nullptr));
  }
}

// Takes cell's entry off the stack, wherever it stands.
void drop_entry(TQ_CAL* cal, TQ_SEXP* cell) {
  MemLock hold;
  for (TQ_CAL_STACK** p = &cal->stack; *p; p = &(*p)->next) {
    if ((*p)->delay == cell) {
      *p = (*p)->next;
      return;
    }
  }
}

bool on_top(TQ_CAL* cal, TQ_SEXP* cell) { return cal->stack && cal->stack->delay == cell; }

}  // namespace

TQ_SEXP* get_cal(STREAM* stream, CODE_METHOD* cm) {
  if (!stream) return nullptr;
  GcFrame frame("get_cal");
  TQ_CAL* cal;
  {
    MemLock hold;  // the record is filled where no collection reads it half made
    cal = static_cast<TQ_CAL*>(mmalloc(sizeof(TQ_CAL), tqcal_gc));
    cal->h = DELAY_FUNC{tqcal_load, tqcal_gc, nullptr};
    cal->st = stream;
    cal->cm = cm ? cm : utf8_cm;
    cal->rec = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  }
  cal->cm_work = cal->cm->open();
  qv_file_insert(cal->rec);
  set_close_func(cal->rec, tqcal_record_hook, cal);
  return frame.release(get_cal_component(cal));
}

TQ_SEXP* tqcal_load(TQ_SEXP* cell) {
  auto* cal = reinterpret_cast<TQ_CAL*>(cell->delay.d.func);
  GcFrame frame("tqcal_load", cal, tqcal_gc);
  while (cal->st && cal->stack && !on_top(cal, cell)) {
    check_realisation_site(__FILE__, __LINE__);  // realised here without realize_sexp
    tqcal_load(cal->stack->delay);
  }
  if (!cal->st || !on_top(cal, cell)) {  // the reading has ended: nothing more to read
    drop_entry(cal, cell);
    publish_nil(cell);
    return cell;
  }
  TQ_CAL_STACK* mine = cal->stack;
  TQ_SEXP* element = get_cal_component(cal);
  const bool end = element == nullptr;
  if (!end) {
    MemLock hold;  // the entry's new delay is set where no collection reads it
    mine->delay = new_cal_cell(cal);
    publish_pair(cell, element, mine->delay, cell->h.file, cell->h.line);
    return cell;
  }
  publish_nil(cell);
  {
    MemLock hold;
    cal->stack = cal->stack->next;
  }
  if (!cal->stack) tqcal_close(cal);
  return cell;
}

void gc_tq_cal_stack(void* p) {
  for (auto* e = static_cast<TQ_CAL_STACK*>(p); e && !marked(e); e = e->next) {
    gc_text(e);
    gc_qv_sexp(e->delay);
  }
}

void tqcal_gc(void* p) {
  auto* cal = static_cast<TQ_CAL*>(p);
  if (!cal || marked(cal)) return;
  gc_text(cal);
  gc_qv_file(cal->rec);
  gc_tq_cal_stack(cal->stack);
}

}  // namespace tq
