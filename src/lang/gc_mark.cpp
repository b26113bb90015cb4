// Marking: the mark routine of every cell type and of the records cells point to
// (environments, bindings, attribute lists, reader records, entities), the language's own
// roots, and the reader pass after marking.
//
// Marking is iterative. A public mark routine sets the block's mark bit and pushes the block
// with its scanner on one mark stack; the outermost call then drains the stack, each scanner
// pushing the blocks it refers to (a pair pushes its cdr, then its car). Records of other layers (pointer cells' gc, a delayed
// function's gc_func, the queues' item routines) call these routines from inside a scan,
// which only pushes, so no depth of lists, environments, delayed chains or records recurses.
// Marking runs only inside a collection, under the memory lock: one thread at a time.
#include <atomic>
#include <cstdio>

#include "lang/env.h"
#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "lang/init_tqlisp.h"
#include "lang/tq_file.h"
#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "stream/stream.h"

namespace tq {

const char* gc_file = "";
int gc_line = 0;

namespace {

using Scan = void (*)(void* p);
struct MarkItem {
  void* p;
  Scan scan;
};

MarkItem* mark_stack = nullptr;
size_t mark_top = 0;
size_t mark_cap = 0;
bool draining = false;

void scan_sexp(void* p);

// Records the marking site; true when the block was not marked yet (and now is).
inline bool mark_header(void* p) { return set_live_mark(gc_block_of(p)); }

[[gnu::noinline]] void grow_mark_stack() {
  const size_t cap = mark_cap ? mark_cap * 2 : 4096;
  void* grown = d_re_alloc(mark_stack, cap * sizeof(MarkItem));
  if (!grown) er_panic("no memory!!");
  mark_stack = static_cast<MarkItem*>(grown);
  mark_cap = cap;
}

inline void push(void* p, Scan scan) {
  if (mark_top == mark_cap) [[unlikely]] grow_mark_stack();
  mark_stack[mark_top++] = MarkItem{p, scan};
}

// Inside a scan the block is pushed; the outermost call scans it at once and drains.
void mark_with(void* p, Scan scan) {
  if (!p || !mark_header(p)) return;
  if (draining) return push(p, scan);
  draining = true;
  scan(p);
  while (mark_top > 0) {
    const MarkItem it = mark_stack[--mark_top];
    it.scan(it.p);
  }
  draining = false;
}

// ---- scanners: mark what a block refers to (the block itself is marked already).

void scan_sym_field(void* p) {
  for (auto* f = static_cast<TQ_SYM_FIELD*>(p); f;) {
    gc_text(f->name);
    gc_text(f->data);
    f = f->next;
    if (f && !mark_header(f)) break;
  }
}

// Words that change by single atomic stores outside the memory lock are read the same way:
// bindings (under the environment lock, which the collector does not take), a table's or
// pair's parent (set_env_parent) and a cell's source reader (set_header_file).
template <class T>
T published(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

void scan_element(void* p) {
  for (auto* e = static_cast<ELEMENT*>(p); e;) {
    gc_text(published(e->sym));
    gc_qv_sexp(published(e->data));
    e = published(e->next);
    if (e && !mark_header(e)) break;
  }
}

void scan_entity(void* p) {
  for (auto* e = static_cast<ENTITY*>(p); e;) {
    gc_text(e->name);
    gc_text(e->data);
    e = e->next;
    if (e && !mark_header(e)) break;
  }
}

void scan_entity_stack(void* p) {
  for (auto* e = static_cast<ENTITY_STACK*>(p); e;) {
    gc_entity(e->ent);
    e = e->up;
    if (e && !mark_header(e)) break;
  }
}

// The rest of the spine is pushed before the car, so the car is scanned first and a long
// list keeps the mark stack at a few entries instead of one per element.
void scan_pair(TQ_SEXP* s) {
  TQ_SEXP* next = s->pair.cdr;
  TQ_SEXP* car = s->pair.car;
  // Both cells are read next: start the two loads together rather than one after the other,
  // for the header and the last words of each (a slot may span two cache lines). Slots are
  // handed out in ascending address order, so the rest of a list made by cons, walked newest
  // first, mostly lies just below its head: the two lines below next are asked for too.
  if (next) {
    __builtin_prefetch(gc_block_of(next), 1);
    __builtin_prefetch(&next->pair.cdr);
    __builtin_prefetch(reinterpret_cast<char*>(next) - 64, 1);
    __builtin_prefetch(reinterpret_cast<char*>(next) - 128, 1);
  }
  if (car) {
    __builtin_prefetch(gc_block_of(car), 1);
    __builtin_prefetch(&car->pair.cdr);
  }
  if (TQ_FILE* f = published(s->h.file)) gc_qv_file(f);  // see set_header_file
  if (next) {
    if (sexp_tag(next) == kTagPair) {
      if (mark_header(next)) push(next, scan_sexp);
    } else {
      gc_qv_sexp(next);
    }
  }
  if (!car || !mark_header(car)) return;
  void* text;  // the elements of most lists are numbers or strings: marked here, not pushed
  switch (sexp_tag(car)) {
    case kTagInteger:
      text = car->integer.unit;
      break;
    case kTagFloat:
      text = car->floating.unit;
      break;
    case kTagString:
      text = car->string.data;
      break;
    default:
      return push(car, scan_sexp);
  }
  if (TQ_FILE* f = published(car->h.file)) gc_qv_file(f);
  gc_text(text);
}

void scan_delay(TQ_SEXP* s) {
  for (;;) {
    gcv_qv_header(&s->h);
    TQ_DELAY& d = s->delay;
    if (d.dtype == kDelayList || d.dtype == kDelayDatum) {
      gc_qv_file(d.d.file.f);
      gc_qv_sexp(d.d.file.tag);
    } else if (d.dtype == kDelayFunc) {
      if (d.d.func && d.d.func->gc_func) d.d.func->gc_func(d.d.func);
    } else {
      er_panic("gc_qv_delay(1)");
    }
    auto* next = reinterpret_cast<TQ_SEXP*>(d.next);
    if (!next || !mark_header(next)) return;
    if (sexp_tag(next) != kTagDelay) {  // realised since it was pushed
      push(next, scan_sexp);
      return;
    }
    s = next;
  }
}

void scan_env(void* p) {
  auto* env = static_cast<TQISP_ENV*>(p);
  switch (env->type) {
    case kEnvPair:
      gc_qvlisp_env(published(env->pair.env[0]));
      gc_qvlisp_env(env->pair.env[1]);
      return;
    case kEnvHash: {
      TQ_ENV& e = env->env;
      gc_qvlisp_env(published(e.parent));
      if (e.hash_ptr) {
        gc_text(e.hash_ptr);
        for (int32_t i = 0; i < e.hash_ptr_size; ++i) gc_element(e.hash_ptr[i]);
      }
      gc_element(e.default_sym);
      gc_unit_env(e.uenv);
      return;
    }
    default:
      er_panic("gc_qvlisp_env(1)");
  }
}

void scan_file(void* p) {
  auto* f = static_cast<TQ_FILE*>(p);
  gc_text(reader_field(f->name));
  gc_text(reader_field(f->yytext));
  gc_text(reader_field(f->site));
  gc_text(reader_field(f->comment));
  gc_qv_sexp(reader_field(f->sexp));
  gc_qv_sexp(reinterpret_cast<TQ_SEXP*>(reader_field(f->stack)));
  gc_qv_sexp(reader_field(f->lex_error));  // queued errors live only here until the parser takes them
  gc_entity(reader_field(f->entity));
  gc_entity_stack(reader_field(f->ent_stack));
  if (f->close_func) f->close_func(2, f->close_work);
  STREAM* st = reader_field(f->st);
  if (st && !_s_exist(st)) {  // the collector's hooks hold the stream lock
    set_reader_field(f->st, nullptr);
    if (TQ_CLOSE_FUNC fn = f->close_func) {
      void* work = f->close_work;
      f->close_func = nullptr;
      f->close_work = nullptr;
      fn(1, work);
    }
  }
}

void scan_sexp(void* p) {
  auto* s = static_cast<TQ_SEXP*>(p);
  const int32_t tag = sexp_tag(s);
  switch (tag) {
    case kTagNil:
      gcv_qv_header(&s->h);
      return;
    case kTagError:
      gcv_qv_header(&s->h);
      gc_text(s->error.site);
      gc_text(s->error.filename);
      gc_text(s->error.func);
      gc_qv_sexp(s->error.data);
      return;
    case kTagPair:
      scan_pair(s);
      return;
    case kTagSymbol:
      gcv_qv_header(&s->h);
      gc_text(s->symbol.data);
      gc_qv_sym_field(s->symbol.field);
      return;
    case kTagString:
      gcv_qv_header(&s->h);
      gc_text(s->string.data);
      return;
    case kTagInteger:
      gcv_qv_header(&s->h);
      gc_text(s->integer.unit);
      return;
    case kTagFloat:
      gcv_qv_header(&s->h);
      gc_text(s->floating.unit);
      return;
    case kTagFunc:
      gcv_qv_header(&s->h);
      gc_qvlisp_env(s->func.args_env);
      gc_qvlisp_env(s->func.sp_env);
      gc_qv_sexp(s->func.l_params);
      gc_qv_sexp(s->func.l_body);
      return;
    case kTagDelay:
      scan_delay(s);
      return;
    case kTagPtr:
      gcv_qv_header(&s->h);
      if (s->ptr.gc) s->ptr.gc(s->ptr.ptr);
      return;
    case kTagRaw:
      gcv_qv_header(&s->h);
      gc_text(s->raw.data);
      return;
    case kTagEnv:
      gcv_qv_header(&s->h);
      gc_qvlisp_env(s->env.data);
      return;
    default:
      std::fprintf(stderr, "%i\n", int(tag));
      er_panic("gc_qv_sexp(1)");
  }
}

}  // namespace

void gc_text(void* p) {
  if (p) mark_header(p);
}

void gc_qv_sexp(void* cell) { mark_with(cell, scan_sexp); }
void gc_qvlisp_env(void* env) { mark_with(env, scan_env); }
void gc_element(void* e) { mark_with(e, scan_element); }
void gc_qv_file(void* f) { mark_with(f, scan_file); }
void gc_qv_sym_field(void* field) { mark_with(field, scan_sym_field); }
void gc_entity(void* e) { mark_with(e, scan_entity); }
void gc_entity_stack(void* e) { mark_with(e, scan_entity_stack); }
void gcv_qv_header(TQ_SEXP_HEADER* h) { gc_qv_file(published(h->file)); }  // see set_header_file

void gc_qvlisp() {
  gc_qvlisp_env(qvlisp_top_env0);
  gc_qvlisp_env(qvlisp_top_env1);
}

// Readers nobody reached are closed; one whose realisation or whose owner's close is under
// way refuses and is kept (marked after all). The collector holds lex_lock, so the ring stands still.
void sp_gc_qvlisp() {
  TQ_FILE* f = qv_file_root.next;
  while (f != &qv_file_root) {
    TQ_FILE* next = f->next;
    if (!(gc_block_of(f)->mark & kMarkLive) && _qv_file_delete(f) < 0) gc_qv_file(f);
    f = next;
  }
}

}  // namespace tq
