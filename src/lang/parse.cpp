// The parse lock, opening a reader, the pending stack, the realisation steps that rewrite
// its top entry in place, and the queries on delayed cells.
#include "lang/parse.h"

#include <atomic>
#include <cstring>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/site.h"
#include "platform/machine.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "stream/script_search.h"
#include "stream/stream.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "text/text_util.h"

namespace tq {

SEM parse_lock;
int parse_lock_pri;
PRI_CTL parse_lock_ctl{5, 0, nullptr};

namespace {

std::atomic<int> parse_lock_task{0};  // read without the lock only by the would-be owner
int parse_lock_cnt;
bool parse_lock_raised;  // the owner's priority was lifted and must be given back
// Whether this thread owns the parse lock: the nested takes of every realisation step
// answer from it without asking the task pool who the caller is.
thread_local bool parse_lock_mine;
int parse_sleepers;      // threads asleep in sleep_parse (parse lock)

TQ_SEXP* cell_of(TQ_DELAY* d) { return reinterpret_cast<TQ_SEXP*>(d); }

// The top entry, taken off the stack with what its replacement needs to know.
struct Popped {
  TQ_SEXP* d;
  int dtype;
  TQ_SEXP* tag;
  int mode;
};

Popped pop_top(TQ_FILE* f) {
  TQ_DELAY* top = f->stack;
  Popped p{cell_of(top), top->dtype, top->d.file.tag, top->d.file.mode};
  qv_pop_delay(f);
  return p;
}

TQ_SEXP* push_delay(TQ_FILE* f, int dtype, TQ_SEXP* tag, int mode) {
  lock_mem();
  TQ_SEXP* c = get_sexp_inh(f, kTagDelay, nullptr);
  c->delay.dtype = dtype;
  c->delay.d.file.f = f;
  c->delay.d.file.tag = tag;
  c->delay.d.file.mode = mode;
  c->delay.next = f->stack;
  set_reader_field(f->stack, &c->delay);
  unlock_mem();
  return c;
}

// The rest of the list the popped entry stood for: a new entry of the same list, or nil
// when the entry was one datum.
TQ_SEXP* rest_of(TQ_FILE* f, const Popped& p) {
  return p.dtype == kDelayList ? push_delay(f, kDelayList, p.tag, p.mode) : nullptr;
}

void clear_body(TQ_SEXP* d) {
  std::memset(reinterpret_cast<char*>(d) + sizeof(TQ_SEXP_HEADER), 0, sizeof(tq_sexp) - sizeof(TQ_SEXP_HEADER));
}

// Rewrites the popped entry as the pair (car . rest), positioned at pos (else at the
// reader's token); the reader's last cell becomes d.
void realise_pair(TQ_FILE* f, const Popped& p, TQ_SEXP* car, TQ_SEXP* cdr, TQ_SEXP* pos) {
  if (pos)
    publish_pair(p.d, car, cdr, pos->h.file, pos->h.line);
  else
    publish_pair(p.d, car, cdr, f, f->token_head_line);
  set_reader_field(f->sexp, p.d);
}

}  // namespace

// ---- The parse lock.

int parse_lock_owner() { return parse_lock_task.load(); }
int parse_lock_depth() { return parse_lock_cnt; }
int parse_lock_sleepers() {
  lock_parse();
  const int n = parse_sleepers;
  unlock_parse("parse_lock_sleepers");
  return n;
}

void _xx_lock_parse(const char* file, int line) {
  if (parse_lock_mine) {
    ++parse_lock_cnt;
    return;
  }
  const int me = get_tid();
  const int old = push_pri_pctl(&parse_lock_ctl);
  _i_lock_task(parse_lock, file, line);
  parse_lock_mine = true;
  parse_lock_task.store(me);
  parse_lock_pri = old;
  // The control's level is lifted by other takers without a lock: read it as they write it.
  parse_lock_raised = old < std::atomic_ref<int>(parse_lock_ctl.ctl_pri).load(std::memory_order_relaxed);
  parse_lock_cnt = 1;
}

void unlock_parse(const char* label) {
  if (--parse_lock_cnt > 0) return;
  const int pri = parse_lock_pri;
  const bool raised = parse_lock_raised;
  parse_lock_task.store(0);
  parse_lock_mine = false;
  parse_lock_pri = 0;
  _i_unlock_task(parse_lock, label, __FILE__, __LINE__);
  if (raised) change_pri(0, pri);
}

// Sleeps on key, giving up the parse lock however deeply it is held, and takes it back.
// The priority to give back is saved with the rest: other owners set it meanwhile.
void sleep_parse(const void* key) {
  const int task = parse_lock_task.exchange(0);
  parse_lock_mine = false;
  const int cnt = parse_lock_cnt;
  const int pri = parse_lock_pri;
  const bool raised = parse_lock_raised;
  parse_lock_cnt = 0;
  ++parse_sleepers;
  sleep_task(key, parse_lock);
  lock_task(parse_lock);
  --parse_sleepers;
  parse_lock_mine = true;
  parse_lock_task.store(task);
  parse_lock_cnt = cnt;
  parse_lock_pri = pri;
  parse_lock_raised = raised;
}

void wakeup_parse(const void* key) {
  if (parse_sleepers) wakeup_task(key);  // a sleeper counts itself before it lets the lock go
}

void init_parse_system() {
  if (!lock_up_test(parse_lock)) parse_lock = new_lock();
  sg_title("src/lang/parse.cpp");
  sg("SEM", "parse_lock", &parse_lock);
  sg("int", "parse_lock_task", &parse_lock_task);
  sg("int", "parse_lock_cnt", &parse_lock_cnt);
  tqrc_reader = read_tqrc;
}

// ---- Readers.

TQ_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment) {
  static constexpr LText empty = "";
  if (!st) return nullptr;
  GcFrame frame("init_parse");
  // What takes other locks comes first: the record is made and filled inside one section
  // of the memory lock, so a collection (which marks it through this thread's frame) never
  // meets it half made, and no lock a collection holds is waited for inside the section.
  const L_CHAR* site = get_tqlisp_site();
  CODE_METHOD* cm = s_get_cm(st);
  if (!cm) cm = std_cm;
  void* cm_work = cm->open();
  TQ_FILE* f;
  {
    MemLock lock;
    f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
    f->name = copy_cell_text(name ? name : empty.s);
    f->site = copy_cell_text(site ? site : empty.s);
    f->st = st;
    f->comment = copy_cell_text(comment ? comment : f->name);
    f->line = f->token_head_line = 1;
    f->flags = kRfNoLineEndsInText | kRfNoBlanksInText;
    f->mode = kLexContent;
    f->cm = cm;
    f->cm_work = cm_work;
    f->rb_len = f->rb_ptr = 0;
    f->rb_time = tick_now();
  }
  TQ_SEXP* root = qv_push_delay(f, nullptr, kDelayList);
  root->h.line = 1;
  qv_file_insert(f);
  define_standard_entities(f);
  return frame.release(root);
}

STREAM* get_sexp_stream(TQ_SEXP* s) {
  lock_parse();
  STREAM* st = s && s->h.file ? reader_field(s->h.file->st) : nullptr;
  unlock_parse("get_sexp_stream");
  return st;
}

// ---- The pending stack.

TQ_SEXP* qv_push_delay(TQ_FILE* f, TQ_SEXP* h, int dtype) {
  lock_mem();
  TQ_SEXP* c = get_sexp_inh(f, kTagDelay, h);
  c->delay.dtype = dtype;
  c->delay.d.file.f = f;
  c->delay.next = f->stack;
  set_reader_field(f->stack, &c->delay);
  unlock_mem();
  return c;
}

int qv_pop_delay(TQ_FILE* f) {
  TQ_DELAY* top = f->stack;
  if (!top) return 0;
  set_reader_field(f->stack, top->next);
  return top->dtype;
}

// ---- Publishing a realised cell: body first, tag last, under the memory lock.

void publish_pair(TQ_SEXP* d, TQ_SEXP* car, TQ_SEXP* cdr, TQ_FILE* pos_file, int32_t pos_line) {
  lock_mem();
  // A function-backed cell keeps its position, and it is published without the parse lock
  // while a waiter, under that lock, reads its file to find the record to sleep on: the
  // position is written only where it changes (a reader's cell, under the parse lock).
  if (d->h.file != pos_file) d->h.file = pos_file;
  if (d->h.line != pos_line) d->h.line = pos_line;
  d->h.flags = 0;
  clear_body(d);
  d->pair.car = car;
  d->pair.cdr = cdr;
  set_sexp_tag(d, kTagPair);
  unlock_mem();
}

void publish_nil(TQ_SEXP* d) {
  lock_mem();
  d->h.flags = 0;
  clear_body(d);
  set_sexp_tag(d, kTagNil);
  unlock_mem();
}

void publish_copy(TQ_SEXP* d, TQ_SEXP* from) {
  if (!from) return publish_nil(d);
  lock_mem();
  const int32_t type = sexp_tag(from);
  d->h.file = from->h.file;
  d->h.line = from->h.line;
  d->h.flags = from->h.flags;
  clear_body(d);
  const size_t body = size_t(get_sexp_size(type)) - sizeof(TQ_SEXP_HEADER);
  std::memcpy(reinterpret_cast<char*>(d) + sizeof(TQ_SEXP_HEADER), reinterpret_cast<char*>(from) + sizeof(TQ_SEXP_HEADER),
              body);
  set_sexp_tag(d, type);
  unlock_mem();
}

// ---- Realisation steps.

void new_pair(TQ_FILE* f, TQ_SEXP* tag, int mode) {
  lock_parse();
  if (f->stack) {
    const Popped p = pop_top(f);
    TQ_SEXP* cdr = rest_of(f, p);
    TQ_SEXP* car = push_delay(f, kDelayList, tag, mode);
    realise_pair(f, p, car, cdr, nullptr);
  }
  unlock_parse("new_pair");
}

void new_quote(TQ_FILE* f) {
  static constexpr LText quote = "quote";
  lock_parse();
  if (f->stack) {
    const Popped p = pop_top(f);
    TQ_SEXP* cdr = rest_of(f, p);
    TQ_SEXP* datum = push_delay(f, kDelayDatum, nullptr, kRfSexpContext);
    TQ_SEXP* sym = get_sexp_inh(f, kTagSymbol, nullptr);
    sym->symbol.data = copy_cell_text(quote);
    TQ_SEXP* form = get_sexp_inh(f, kTagPair, nullptr);
    form->pair.car = sym;
    form->pair.cdr = datum;
    realise_pair(f, p, form, cdr, nullptr);
  }
  unlock_parse("new_quote");
}

void new_data(TQ_FILE* f, TQ_SEXP* data) {
  lock_parse();
  if (f->stack) {
    const Popped p = pop_top(f);
    realise_pair(f, p, data, rest_of(f, p), data);
  }
  unlock_parse("new_data");
}

void new_data_set(TQ_FILE* f, TQ_SEXP* data) {
  lock_parse();
  if (f->stack) {
    const Popped p = pop_top(f);
    realise_pair(f, p, data, rest_of(f, p), nullptr);
  }
  unlock_parse("new_data_set");
}

void null_pair(TQ_FILE* f) { new_data_set(f, nullptr); }

void new_element(TQ_FILE* f, TQ_SEXP* tag) {
  lock_parse();
  if (f->stack) {
    const Popped p = pop_top(f);
    TQ_SEXP* cdr = rest_of(f, p);
    TQ_SEXP* element = get_sexp_inh(f, kTagPair, tag);
    element->pair.car = tag;
    realise_pair(f, p, element, cdr, nullptr);
  }
  unlock_parse("new_element");
}

// ---- Queries.

int check_delay(TQ_SEXP* s, int key) {
  lock_parse();
  if (!s || sexp_tag(s) != kTagDelay) {
    unlock_parse("check_delay");
    return 3;
  }
  TQ_FILE* rec = s->h.file;  // null for a function cell made without init_delay_func
  int r;
  if (rec && (rec->flags & kRfRealising)) {
    r = 1;
  } else if (s->delay.dtype != kDelayFunc) {
    r = 4;
  } else {
    DELAY_FUNC* df = s->delay.d.func;
    if (rec) rec->flags |= kRfRealising;
    unlock_parse("check_delay");
    r = df->check_func ? df->check_func(df, key) : 5;
    lock_parse();
    if (rec) {
      wakeup_parse(rec);
      rec->flags &= ~kRfRealising;
    }
  }
  unlock_parse("check_delay");
  return r;
}

int get_delay_info(STREAM** st, DELAY_FUNC** buf, TQ_SEXP* s) {
  *st = nullptr;
  lock_parse();
  int r = 3;
  if (s) {
    TQ_FILE* rec = s->h.file;
    if (rec) *st = rec->st;
    if (rec && sexp_tag(s) == kTagDelay && !(rec->flags & kRfRealising)) {
      if (s->delay.dtype == kDelayFunc) {
        DELAY_FUNC* df = s->delay.d.func;
        *buf = df;
        lock_mem();
        gc_set_nl(df, df->gc_func);
        unlock_mem();
        wakeup_parse(rec);
        r = 2;
      } else {
        *st = reader_field(s->delay.d.file.f->st);
        r = 4;
      }
    }
  }
  unlock_parse("get_delay_info");
  return r;
}

}  // namespace tq
