// The evaluator: eval, the application of list forms (head kinds, argument counts, the
// three argument orders, primitive calls and lambda application), environment calls and
// the substitution of caret attributes. The break check lives here too.
//
// What every evaluation step runs, here and in the frames, lookups, memory section and cell
// makers, is marked [[gnu::hot]]: the compiler puts it all side by side (.text.hot), so a
// loop's code stays in few lines of the instruction cache whatever the rest of the layout.
#include "lang/eval.h"

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "lang/binary.h"
#include "lang/compare.h"
#include "lang/gc.h"
#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/startup.h"
#include "text/l_string.h"

namespace tq {

TQ_SEXP* (*break_check)(TQ_SEXP* form) = nullptr;
uint32_t (*break_check_clock)() = get_tqtime;
void (*eval_check_hook)() = nullptr;

namespace {

// The time of the last call of the hook, per thread, so that a busy thread cannot use up
// another thread's chance to see its break or cancel.
thread_local int64_t tim = -1;

// A constant text as a 32-bit string, converted once and kept.
L_CHAR* lt(ConstText s) { return _l_string_2(std_cm, s); }

bool is_error(TQ_SEXP* s) { return get_type(s) == kTagError; }

// The source position of a cell (none for null).
TQ_FILE* pos_file(TQ_SEXP* s) { return s ? s->h.file : nullptr; }
int32_t pos_line(TQ_SEXP* s) { return s ? s->h.line : 0; }

// A pair carrying the given position and header flags.
TQ_SEXP* positioned_pair(TQ_SEXP* car_v, TQ_SEXP* cdr_v, TQ_FILE* f, int32_t line, int32_t flags) {
  MemLock lock;  // a collection meets the pair whole
  TQ_SEXP* p = get_sexp(nullptr, kTagPair);
  p->h.file = f;
  p->h.line = line;
  p->h.flags = flags;
  p->pair.car = car_v;
  p->pair.cdr = cdr_v;
  return p;
}

TQ_SEXP* count_error(TQ_SEXP* s, const char* text, TQ_FUNC* fn) {
  return lang_error(s, ER_ARG_COUNT, "eval",
                    List(n_get_string(text), n_get_string("minimum"), get_integer(fn->min, nullptr),
                         n_get_string("maximum"), get_integer(fn->max, nullptr), s, kListEnd));
}

// Checks the element count of form s against fn's limits; nil when it passes. *length
// receives the form's length when the whole list was counted.
TQ_SEXP* check_count(TQ_SEXP* s, TQ_FUNC* fn, int* length) {
  if (fn->max == kNoMax && fn->order != 1) {
    // Special forms without maximum: walk only min elements, so a long or lazily read
    // body is neither walked nor realised before the call.
    int n = 0;
    TQ_SEXP* p = s;
    while (n < fn->min && get_type(p) == kTagPair) ++n, p = p->pair.cdr;
    if (n >= fn->min) return nullptr;
    if (list_length(s) < 0) return list_error(s);
    return count_error(s, "invalid parameters length(2)", fn);
  }
  int n = *length = list_length(s);
  if (n < 0) return list_error(s);
  if (n < fn->min || (fn->max != kNoMax && n > fn->max)) return count_error(s, "invalid parameters length", fn);
  return nullptr;
}

// The scratch arrays of the calls in progress on one thread, as a stack on debug-heap
// chunks: a call takes its block from the top and gives it back when it returns, and calls
// nest strictly (arguments evaluate further calls), so after the first calls no call needs
// a heap call. An emptied chunk is kept for the next; all go back to the heap when the
// thread ends.
class ScratchStack {
 public:
  ~ScratchStack() {
    while (top_) pop_chunk();
    d_f_ree(spare_);
  }
  // size bytes, zeroed, 16-byte aligned.
  char* take(size_t size) {
    size = (size + 15) & ~size_t(15);
    if (!top_ || top_->size - top_->used < size) push_chunk(size);
    char* p = top_->data() + top_->used;
    top_->used += size;
    std::memset(p, 0, size);
    return p;
  }
  // Gives back the block taken last, of the size it was taken with.
  void give(size_t size) {
    top_->used -= (size + 15) & ~size_t(15);
    if (top_->used == 0) pop_chunk();
  }

 private:
  struct alignas(16) Chunk {
    Chunk* prev;
    size_t size;  // bytes of data
    size_t used;
    char* data() { return reinterpret_cast<char*>(this + 1); }
  };
  static constexpr size_t kChunk = 4096;

  void push_chunk(size_t need) {
    Chunk* c = nullptr;
    if (spare_ && spare_->size >= need) {
      c = spare_;
      spare_ = nullptr;
    } else {
      const size_t size = need > kChunk ? need : kChunk;
      c = static_cast<Chunk*>(d_alloc(sizeof(Chunk) + size));
      c->size = size;
    }
    c->prev = top_;
    c->used = 0;
    top_ = c;
  }
  void pop_chunk() {
    Chunk* c = top_;
    top_ = c->prev;
    if (c->size == kChunk && !spare_) {
      spare_ = c;  // an ordinary chunk is kept; a large one goes back at once
    } else {
      d_f_ree(c);
    }
  }
  Chunk* top_ = nullptr;
  Chunk* spare_ = nullptr;
};
thread_local ScratchStack scratch;

// Scratch arrays for the argument values of one call (one slot per element): value, file,
// line, flags and a marker of named slots, in one block of the thread's scratch stack,
// given back on every path.
struct ArgSlots {
  // With cells, room for the list itself too (local_list).
  explicit ArgSlots(int n, bool cells = false)
      : n(n), bytes(size_t(n) * (sizeof(TQ_SEXP*) + sizeof(TQ_FILE*) + 3 * sizeof(int32_t) +
                                 (cells ? sizeof(TQ_PAIR) : 0))) {
    const size_t m = size_t(n);
    block = scratch.take(bytes);
    pairs = reinterpret_cast<TQ_PAIR*>(block);  // first, so 16-byte aligned
    if (cells) block += m * sizeof(TQ_PAIR);
    value = reinterpret_cast<TQ_SEXP**>(block);
    file = reinterpret_cast<TQ_FILE**>(block + m * sizeof(TQ_SEXP*));
    line = reinterpret_cast<int32_t*>(block + m * (sizeof(TQ_SEXP*) + sizeof(TQ_FILE*)));
    flags = line + m;
    named = flags + m;
  }
  ~ArgSlots() { scratch.give(bytes); }
  ArgSlots(const ArgSlots&) = delete;
  ArgSlots& operator=(const ArgSlots&) = delete;

  // The list of the slots, built once from the end under one hold of the memory lock;
  // with point, the check point of a primitive's call is taken in the same hold.
  TQ_SEXP* build(GC_CHECK_POINT* point = nullptr) const {
    MemLock lock;
    TQ_SEXP* r = nullptr;
    for (int i = n - 1; i >= 0; --i) r = positioned_pair(value[i], r, file[i], line[i], flags[i]);
    if (point) *point = get_gc_check_point();
    return r;
  }
  // The list of the slots in the scratch block itself, for a primitive that only reads its
  // form during the call: nothing roots the values through it, but eval_args rooted them in
  // the call's frame (or they are the form's own cells). Under one hold of the memory lock,
  // with the check point.
  TQ_SEXP* local_list(GC_CHECK_POINT* point) const {
    MemLock lock;
    TQ_SEXP* r = nullptr;
    for (int i = n - 1; i >= 0; --i) {
      auto* p = reinterpret_cast<TQ_SEXP*>(&pairs[i]);
      p->h = TQ_SEXP_HEADER{file[i], line[i], kTagPair, flags[i]};
      p->pair.car = value[i];
      p->pair.cdr = r;
      r = p;
    }
    *point = get_gc_check_point();
    return r;
  }
  int n;
  size_t bytes;
  char* block;
  TQ_SEXP** value;
  TQ_FILE** file;
  int32_t* line;
  int32_t* flags;
  int32_t* named;  // keyword arguments: the slots an argument named
  TQ_PAIR* pairs;
};

// Order 1: the head, then the value of every argument, evaluated left to right in eenv,
// into the slots a (one per element of s). Returns null, or the first error. Every value is
// rooted in the call's frame (a name's as it is looked up: its binding may be set anew by
// this call's later arguments or by another thread) or is one of the form's own cells.
TQ_SEXP* eval_args(TQISP_ENV* eenv, TQ_SEXP* s, ArgSlots& a) {
  const int n = a.n;
  TQ_SEXP* head = s->pair.car;
  a.value[0] = head;
  a.file[0] = pos_file(head);
  a.line[0] = pos_line(head);
  a.flags[0] = head ? head->h.flags : 0;
  TQ_SEXP* p = s->pair.cdr;
  for (int i = 1; i < n; ++i, p = p->pair.cdr) {
    TQ_SEXP* v = eval(eenv, p->pair.car);
    if (is_error(v)) return v;
    a.value[i] = v;
    a.file[i] = p->h.file;
    a.line[i] = p->h.line;
    a.flags[i] = p->h.flags;
  }
  return nullptr;
}

// Order 2 (lambdas only): each argument is (parameter expression); the new list holds a
// leading nil and one value per parameter, nil for parameters no argument named.
TQ_SEXP* eval_keyword_args(TQISP_ENV* eenv, TQ_SEXP* s, TQ_FUNC* fn) {
  int params = list_length(fn->l_params);
  int n = list_length(s);
  int slots = (params + 1 > n ? params + 1 : n);
  ArgSlots a(slots);
  for (int i = 0; i < slots; ++i) a.file[i] = pos_file(s), a.line[i] = pos_line(s);
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    gc_push(nullptr, nullptr, "t");
    TQ_SEXP* arg = p->pair.car;
    if (get_type(arg) != kTagPair || get_type(arg->pair.car) != kTagSymbol) {
      TQ_SEXP* e = lang_error(p, ER_INVALID_PARAM, "eval", list(n_get_string("invalid parameter (1)"), arg, nullptr));
      gc_pop(e, gc_qv_sexp);
      return e;
    }
    int ix = get_args_symbol(fn->l_params, arg->pair.car->symbol.data);
    if (ix < 0) {
      TQ_SEXP* e =
          lang_error(p, ER_INVALID_PARAM, "eval", list(n_get_string("invalid parameter(symbol error) (2)"), arg, nullptr));
      gc_pop(e, gc_qv_sexp);
      return e;
    }
    TQ_SEXP* v = eval(eenv, get_el(arg, 1));
    gc_pop(v, gc_qv_sexp);
    if (is_error(v)) return v;
    a.value[ix + 1] = v;
    a.named[ix + 1] = 1;
    a.file[ix + 1] = p->h.file;
    a.line[ix + 1] = p->h.line;
    a.flags[ix + 1] = p->h.flags;
  }
  a.n = params + 1;
  return a.build();
}

// "__args_env" as a text that the collector takes for a block of collected memory that is
// always marked and never swept (it lies in no chunk and on no ring), so that every lambda's
// table can name its binding with it instead of with a copy made for each call.
struct alignas(16) FixedText {
  GC_BLOCK head;
  L_CHAR text[11];
};
FixedText args_env_name{{kMarkLive, 0},
                        {'_', '_', 'a', 'r', 'g', 's', '_', 'e', 'n', 'v', 0}};

// The table of a lambda call is this thread's alone until the body runs: its bindings are
// made without the environment lock, named by the parameters' own texts. value(i) is the
// value of the i-th parameter. Without attributes the table and its bindings are made under
// one hold of the memory lock.
template <class Value>
TQISP_ENV* lambda_table(TQISP_ENV* env, TQ_FUNC* fn, TQ_SYM_FIELD* attr, Value value) {
  // Nothing delayed is realised under the memory lock: the parameter list is realised first.
  for (TQ_SEXP* p = fn->l_params; get_type(p) == kTagPair; p = p->pair.cdr) get_type(p->pair.car);
  MemLock lock;
  TQISP_ENV* le = new_env(env);
  bind_fresh(le, args_env_name.text, fn->args_env ? get_env(fn->args_env) : nullptr);
  if (attr) {
    unlock_mem();  // set_env takes the environment lock, which comes before the memory lock
    for (TQ_SYM_FIELD* f = attr; f; f = f->next) set_env(le, f->name, get_string(f->data));
    lock_mem();
  }
  int i = 0;
  for (TQ_SEXP* p = fn->l_params; get_type(p) == kTagPair; p = p->pair.cdr, ++i)
    if (get_type(p->pair.car) == kTagSymbol) bind_fresh(le, p->pair.car->symbol.data, value(i));
  return le;
}

TQ_SEXP* apply_lambda(TQISP_ENV* env, TQ_FUNC* fn, TQ_SEXP* args, TQ_SYM_FIELD* attr) {
  if (get_type(fn->l_params) == kTagSymbol) {
    TQISP_ENV* le = lambda_table(env, fn, attr, [](int) -> TQ_SEXP* { return nullptr; });
    bind_fresh(le, fn->l_params->symbol.data, args);
    return eval_body(le, fn->l_body);
  }
  TQ_SEXP* v = cdr(args);
  TQISP_ENV* le = lambda_table(env, fn, attr, [&v](int) {
    TQ_SEXP* value = get_type(v) == kTagPair ? v->pair.car : nullptr;
    if (get_type(v) == kTagPair) v = v->pair.cdr;
    return value;
  });
  return eval_body(le, fn->l_body);
}

// The head evaluated to an environment: the elements after the head run in a child of it
// (where Local is the caller's environment), or in it directly with type="raw".
TQ_SEXP* eval_in_env(TQISP_ENV* env, TQ_SEXP* s, TQ_SEXP* env_cell, TQ_SYM_FIELD* attr) {
  bool raw = false;
  for (TQ_SYM_FIELD* f = attr; f; f = f->next)
    if (l_strcmp(f->name, lt("type")) == 0 && l_strcmp(f->data, lt("raw")) == 0) raw = true;
  gc_push(nullptr, nullptr, "eval env 1");
  TQISP_ENV* target = env_cell->env.data;
  if (!raw) {
    target = new_env(target);
    set_env(target, lt("Local"), get_env(env));
  }
  for (TQ_SYM_FIELD* f = attr; f; f = f->next) set_env(target, f->name, get_string(f->data));
  TQ_SEXP* r = nullptr;
  TQ_SEXP* p = s->pair.cdr;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* form = p->pair.car;
    if (is_error(form)) {
      r = form;
      break;
    }
    gc_push(form, gc_qv_sexp, "eval env");
    r = eval(target, form);
    gc_pop(r, gc_qv_sexp);
    if (is_error(r)) break;
  }
  if (is_error(p)) r = p;  // the form was cut off by the end of input
  gc_pop(r, gc_qv_sexp);
  return r;
}

// Closes the call's "eval_p2" frame keeping r as a root of the frame below; returns r.
TQ_SEXP* close_call(TQ_SEXP* r) {
  gc_pop(r, gc_qv_sexp);
  return r;
}

// After a primitive returned r: the frames checked against point, then the call's frame
// closed keeping r.
[[gnu::hot]] TQ_SEXP* finish_prim(TQ_SEXP* r, const GC_CHECK_POINT& point) {
  if (eval_check_hook) {  // the hook collects: not under the memory lock
    compare_gc_check_point("eval", point);
    eval_check_hook();
    return close_call(r);
  }
  MemLock lock;
  compare_gc_check_point("eval", point);
  return close_call(r);
}

// The primitives of order 1 that only read their form while they run (elements, position)
// and never keep it or a pair of it: they are handed a list in scratch memory.
constexpr TQ_PRIM kFormReaders[] = {qv_add, qv_mul, qv_and, qv_or, qv_xor, qv_sub, qv_div, qv_rem, qv_not,
                                    qv_equ, qv_Neq, qv_leq, qv_lt, qv_geq, qv_gt, qv_And, qv_Or, qv_Xor,
                                    qv_Not, qv_car, qv_cdr};
bool reads_form_only(TQ_PRIM p) {
  for (TQ_PRIM q : kFormReaders)
    if (p == q) return true;
  return false;
}

// The integer operations of two operands that the evaluator computes itself when both are
// plain integers; the words compute the same value at the same position.
enum class IntOp { kNone, kAdd, kSub, kMul, kEqu, kNeq, kLt, kLeq, kGt, kGeq };

[[gnu::hot]] IntOp int_op_of(TQ_PRIM p) {
  if (p == qv_add) return IntOp::kAdd;
  if (p == qv_sub) return IntOp::kSub;
  if (p == qv_lt) return IntOp::kLt;
  if (p == qv_gt) return IntOp::kGt;
  if (p == qv_leq) return IntOp::kLeq;
  if (p == qv_geq) return IntOp::kGeq;
  if (p == qv_equ) return IntOp::kEqu;
  if (p == qv_Neq) return IntOp::kNeq;
  if (p == qv_mul) return IntOp::kMul;
  return IntOp::kNone;
}

// The value of an operand that is an integer literal or a name bound to an integer, both
// without unit; null for anything else (memory lock held, so the value stays while it is
// read). Such an operand evaluates without effects.
[[gnu::hot]] TQ_SEXP* plain_integer(TQISP_ENV* env, TQ_SEXP* form) {
  if (!form) return nullptr;
  TQ_SEXP* v = form;
  int32_t t = sexp_tag(form);
  if (t == kTagSymbol) {
    if (lookup_env_held(&v, env, form->symbol.data) != 0 || !v) return nullptr;
    t = sexp_tag(v);
  }
  return t == kTagInteger && !v->integer.unit ? v : nullptr;
}

// The result of op on the values a and b when both are integers without unit, positioned as
// the word positions it; else null (memory lock held).
[[gnu::hot]] TQ_SEXP* integer_result(IntOp op, TQ_SEXP* a, TQ_SEXP* b) {
  if (!a || !b || sexp_tag(a) != kTagInteger || sexp_tag(b) != kTagInteger || a->integer.unit || b->integer.unit)
    return nullptr;
  const int64_t x = a->integer.data, y = b->integer.data;
  int64_t v = 0;
  TQ_SEXP* at = a;  // the position the word's result takes
  switch (op) {
    case IntOp::kAdd: v = wrap_add(x, y); break;
    case IntOp::kSub: v = wrap_sub(x, y); break;
    case IntOp::kMul: v = wrap_mul(x, y); break;
    case IntOp::kEqu: v = x == y; break;
    case IntOp::kNeq: v = x != y, at = nullptr; break;  // the negation of Equ's result: unpositioned
    case IntOp::kLt: v = x < y; break;
    case IntOp::kLeq: v = x <= y; break;
    case IntOp::kGt: v = x > y, at = b; break;  // b < a: the operands swapped
    case IntOp::kGeq: v = x >= y, at = b; break;
    case IntOp::kNone: break;
  }
  TQ_SEXP* r = get_integer(v, nullptr);
  if (at) inherit(r, at);
  return r;
}

// Form s, (head a b) with fn its head's value, computed without a call when fn is one of
// the integer operations above and a and b are plain integers: the result cell (rooted in
// the caller's frame, where the call would leave it), or null for the call. The memory lock
// is held; the break hook is due at no element of the form (it would be asked at each).
[[gnu::hot]] TQ_SEXP* integer_operation(TQISP_ENV* env, TQ_SEXP* s, TQ_FUNC* fn) {
  if (fn->type != kFuncPrim || fn->order != 1 || fn->args_env) return nullptr;
  const IntOp op = int_op_of(fn->prim);
  if (op == IntOp::kNone || fn->min > 3 || (fn->max != kNoMax && fn->max < 3)) return nullptr;
  TQ_SEXP* p1 = s->pair.cdr;
  if (!p1 || sexp_tag(p1) != kTagPair) return nullptr;
  TQ_SEXP* p2 = p1->pair.cdr;
  if (!p2 || sexp_tag(p2) != kTagPair) return nullptr;
  if (TQ_SEXP* end = p2->pair.cdr; end && sexp_tag(end) != kTagNil) return nullptr;
  if (break_check_clock() != tim) return nullptr;
  return integer_result(op, plain_integer(env, p1->pair.car), plain_integer(env, p2->pair.car));
}

// Calls the primitive fn (order 1, one of kFormReaders) on form s with its values in a
// scratch list; the frame "eval_p2" is open and is closed here, keeping the result.
[[gnu::hot]] TQ_SEXP* call_reader(TQISP_ENV* env, TQISP_ENV* eenv, TQ_SEXP* s, int n, TQ_FUNC* fn, TQ_SYM_FIELD* attr) {
  ArgSlots a(n, true);
  if (TQ_SEXP* e = eval_args(eenv, s, a)) return close_call(e);
  if (const IntOp op = n == 3 && !fn->args_env ? int_op_of(fn->prim) : IntOp::kNone; op != IntOp::kNone) {
    TQ_SEXP* r;
    {
      MemLock lock;
      r = integer_result(op, a.value[1], a.value[2]);
    }
    if (r) {
      if (eval_check_hook) eval_check_hook();
      return close_call(r);
    }
  }
  GC_CHECK_POINT point;
  TQ_SEXP* args = a.local_list(&point);
  TQ_SEXP* r = fn->prim(env, args, fn->args_env, attr, fn->sp_env);
  return finish_prim(r, point);
}

// Calls fn on form s; the head value's frame "eval_p2" is open and is closed here, keeping
// the result. Frame work and list cells that follow each other share one hold of the
// memory lock.
[[gnu::hot]] TQ_SEXP* call_function(TQISP_ENV* env, TQ_SEXP* s, TQ_FUNC* fn, TQ_SYM_FIELD* attr) {
  int n = 0;
  TQ_SEXP* r = check_count(s, fn, &n);
  if (r) return close_call(r);
  TQISP_ENV* eenv = fn->args_env ? new_env_pair(fn->args_env, env) : env;
  TQ_SEXP* args = s;
  GC_CHECK_POINT point{};
  bool have_point = false;
  if (fn->order == 1) {
    if (fn->type == kFuncPrim && reads_form_only(fn->prim)) return call_reader(env, eenv, s, n, fn, attr);
    if (fn->type == kFuncLambda && get_type(fn->l_params) != kTagSymbol) {
      // The parameters are bound straight from the argument slots: no list is made. The
      // new table roots the values once they are bound; until then the frame and the
      // bindings they were found in hold them, as for a built list.
      TQISP_ENV* le;
      {
        ArgSlots a(n);
        if (TQ_SEXP* e = eval_args(eenv, s, a)) return close_call(e);
        le = lambda_table(env, fn, attr, [&a](int i) { return i + 1 < a.n ? a.value[i + 1] : nullptr; });
      }
      return close_call(eval_body(le, fn->l_body));
    }
    have_point = fn->type == kFuncPrim;
    ArgSlots a(n);
    args = eval_args(eenv, s, a);
    if (!args) args = a.build(have_point ? &point : nullptr);
  } else if (fn->order == 2) {
    if (fn->type != kFuncLambda) er_panic("eval_pair: a primitive of order 2");
    args = eval_keyword_args(eenv, s, fn);
  }
  if (is_error(args)) return close_call(args);
  if (fn->type == kFuncPrim) {
    if (!have_point) point = get_gc_check_point();
    r = fn->prim(env, args, fn->args_env, attr, fn->sp_env);
    return finish_prim(r, point);
  }
  if (fn->type == kFuncLambda) return close_call(apply_lambda(env, fn, args, attr));
  return close_call(
      lang_error(s, ER_UNSUPPORTED_LAMBDA, "eval", list(n_get_string("eval:unsupport lambda"), s, nullptr)));
}

}  // namespace

[[gnu::hot]] TQ_SEXP* eval_body(TQISP_ENV* env, TQ_SEXP* body) {
  TQ_SEXP* r = nullptr;
  TQ_SEXP* p = body;
  for (;;) {
    int t = get_type(p);
    if (t == kTagNil) return r;
    if (t != kTagPair) return eval(env, p);
    r = eval(env, p->pair.car);
    if (is_error(r)) return r;
    p = p->pair.cdr;
  }
}

TQ_SEXP* lang_error(TQ_SEXP* at, uint32_t code, const char* func, TQ_SEXP* data) {
  return get_error(pos_file(at), pos_line(at), code, _l_string_1(std_cm, func), data);
}

TQ_SEXP* lang_error_text(TQ_SEXP* at, uint32_t code, const char* func, const char* text) {
  return lang_error(at, code, func, list(n_get_string(text), nullptr));
}

[[gnu::hot]] int number_truth(TQ_SEXP* v) {
  switch (get_type(v)) {
    case kTagInteger: return v->integer.data != 0;
    case kTagFloat: return v->floating.data != 0.0;
    default: return -1;
  }
}

[[gnu::hot]] TQ_SEXP* do_break_check(TQ_SEXP* s) {
  int64_t now = break_check_clock();
  if (now == tim) return nullptr;
  tim = now;
  if (!break_check) return nullptr;
  TQ_SEXP* r = break_check(s);
  if (!is_error(r)) return nullptr;
  tim = 0;  // ask again at the very next evaluation
  return r;
}

namespace {

// The undefined-name handler of the chain, read and rooted in one section (see _eval_symbol).
int default_handler_rooted(TQ_SEXP** ret, TQISP_ENV* env) {
  MemLock hold;
  const int found = _eval_default_symbol(ret, env);
  if (found == 0 && *ret) gc_pin_nl(*ret);
  return found;
}

}  // namespace

[[gnu::hot]] TQ_SEXP* eval(TQISP_ENV* env, TQ_SEXP* s) {
  TQ_SEXP* b = do_break_check(s);
  if (b) return b;
  switch (get_type(s)) {
    case kTagPair: {
      NestLevel level;
      if (!level.ok()) return get_nesting_error("eval", s);
      return eval_pair(env, s);
    }
    case kTagSymbol: return eval_symbol(env, s, -1);  // rooted in the caller's frame
    default: return s;
  }
}

namespace {

// The head's value hv (of tag t, rooted; the call's frame "eval_p2" open when t is a
// function) applied to form s.
[[gnu::hot]] TQ_SEXP* apply_head(TQISP_ENV* env, TQ_SEXP* s, TQ_SEXP* head, TQ_SEXP* hv, int t, TQ_SYM_FIELD* attr) {
  const bool head_symbol = head && sexp_tag(head) == kTagSymbol;
  for (;;) {
    switch (t) {
      case kTagFunc:
        return call_function(env, s, &hv->func, attr);
      case kTagEnv: return eval_in_env(env, s, hv, attr);
      case kTagError: {
        TQ_SEXP* handler = nullptr;
        if (hv->error.code == ER_UNDEFINED && head_symbol && default_handler_rooted(&handler, env) == 0 &&
            handler != hv) {
          hv = handler;
          t = get_type(hv);
          if (t == kTagFunc) gc_push(nullptr, nullptr, "eval_p2");
          continue;
        }
        return hv;
      }
      default:
        return lang_error(head, ER_NOT_FUNCTION, "eval", list(n_get_string("execute no function"), s, nullptr));
    }
  }
}

}  // namespace

[[gnu::hot]] TQ_SEXP* eval_pair(TQISP_ENV* env, TQ_SEXP* s) {
  TQ_SEXP* head = s->pair.car;
  bool head_symbol = get_type(head) == kTagSymbol;
  TQ_SYM_FIELD* attr = nullptr;
  if (head_symbol) {
    attr = head->symbol.field;
    for (TQ_SYM_FIELD* f = attr; f; f = f->next) {
      if (f->data && f->data[0] == '^') {
        TQ_SEXP* e = get_sym_field(&attr, env, head);
        if (e) return e;
        break;
      }
    }
  }
  TQ_SEXP* hv;
  int t;
  if (head_symbol) {
    // A name's value: the head's own frame would hold nothing but the value, which it hands
    // to the frame below as it closes; the value is rooted there at once instead, in the
    // section of the memory lock that found it, and the call's frame opens in the same hold.
    hv = do_break_check(head);
    if (!hv) {
      lock_mem();
      const int found = lookup_env_held(&hv, env, head->symbol.data);
      if (found == 0 && !(hv && sexp_tag(hv) == kTagDelay)) {
        t = hv ? sexp_tag(hv) : kTagNil;
        if (t == kTagFunc) {
          if (TQ_SEXP* r = integer_operation(env, s, &hv->func)) {
            unlock_mem();
            if (eval_check_hook) eval_check_hook();
            return r;
          }
          gc_pin_nl(hv);
          gc_push(nullptr, nullptr, "eval_p2");
        } else if (hv) {
          gc_pin_nl(hv);
        }
        unlock_mem();
        return apply_head(env, s, head, hv, t, attr);
      }
      if (found == 0) gc_set_nl(hv, gc_qv_sexp);  // delayed: realised below, outside the lock
      unlock_mem();
      if (found != 0) hv = eval_symbol(env, head, -1);
    }
    if (hv && sexp_tag(hv) == kTagDelay) {
      gc_set(hv, gc_qv_sexp);
      t = get_type(hv);
      if (t == kTagFunc) gc_push(nullptr, nullptr, "eval_p2");
    } else {
      t = hv ? sexp_tag(hv) : kTagNil;
      MemLock lock;
      if (hv) gc_set_nl_non_check(hv, gc_qv_sexp);
      if (t == kTagFunc) gc_push(nullptr, nullptr, "eval_p2");
    }
    return apply_head(env, s, head, hv, t, attr);
  }
  gc_push(nullptr, nullptr, "eval_p1");
  hv = eval(env, head);
  t = get_type(hv);  // realised while its frame still roots it
  if (t == kTagFunc) {
    // The head's frame closes and the call's frame opens under one hold of the memory lock.
    MemLock lock;
    gc_pop(hv, gc_qv_sexp);
    gc_push(nullptr, nullptr, "eval_p2");
  } else {
    gc_pop(hv, gc_qv_sexp);
  }
  return apply_head(env, s, head, hv, t, attr);
}

int _eval_symbol(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth) {
  return lookup_env_rooted(ret, env, name, depth);
}

TQ_SEXP* eval_symbol(TQISP_ENV* env, TQ_SEXP* s, int depth) {
  TQ_SEXP* r = nullptr;
  if (_eval_symbol(&r, env, s->symbol.data, depth) == 0) return r;
  return lang_error(s, ER_UNDEFINED, "eval(symbol)",
                    list(n_get_string("eval:undefined symbol"), get_integer(kTagSymbol, nullptr), s, nullptr));
}

TQ_SEXP* get_env_symbol(TQISP_ENV* env, const L_CHAR* name, int depth) {
  TQ_SEXP* r = nullptr;
  return _eval_symbol(&r, env, name, depth) == 0 ? r : nullptr;
}

int _eval_default_symbol(TQ_SEXP** ret, TQISP_ENV* env) {
  while (env) {
    if (env->type == kEnvPair) {
      if (_eval_default_symbol(ret, env->pair.env[0]) == 0) return 0;
      env = env->pair.env[1];
    } else if (env->type == kEnvHash) {
      // Read once: another thread may clear or replace the handler meanwhile (each change
      // is published whole with one release store).
      if (ELEMENT* h = std::atomic_ref<ELEMENT*>(env->env.default_sym).load(std::memory_order_acquire)) {
        *ret = h->data;
        return 0;
      }
      env = env->env.parent;
    } else {
      er_panic("_eval_default_symbol(1)");
    }
  }
  return -1;
}

int get_args_symbol(TQ_SEXP* params, const L_CHAR* name) {
  int i = 0;
  for (TQ_SEXP* p = params; get_type(p) == kTagPair; p = p->pair.cdr, ++i) {
    if (get_type(p->pair.car) != kTagSymbol) er_panic("get_args_symbol(1)");
    if (l_strcmp(p->pair.car->symbol.data, name) == 0) return i;
  }
  return -1;
}

L_CHAR* number_text(TQ_SEXP* v, bool unitless_float_as_int) {
  char buf[512];
  int t = get_type(v);
  if (t != kTagInteger && t != kTagFloat) return nullptr;
  const L_CHAR* unit = t == kTagInteger ? v->integer.unit : v->floating.unit;
  const char* u = unit ? n_string(std_cm, unit) : nullptr;
  if (!u) u = "";
  if (t == kTagInteger)
    snprintf(buf, sizeof buf, "%" PRId64 "%s", v->integer.data, u);
  else if (unit || !unitless_float_as_int)
    snprintf(buf, sizeof buf, "%f%s", v->floating.data, u);
  else
    snprintf(buf, sizeof buf, "%i", saturate_int32(v->floating.data));
  return copy_cell_text(_l_string_1(std_cm, buf));
}

int saturate_int32(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 2147483647.0) return INT32_MAX;
  if (d <= -2147483648.0) return INT32_MIN;
  return int(d);
}

namespace {

// The value of one attribute of head symbol s, for get_sym_field: *text, or the error of the
// substitution. A name's value is rooted until its text is kept (see _eval_symbol).
TQ_SEXP* attribute_value(L_CHAR** text, TQISP_ENV* env, TQ_SEXP* s, const L_CHAR* d) {
  *text = const_cast<L_CHAR*>(d);
  if (!d || d[0] != '^') return nullptr;
  if (d[1] == '^') {
    *text = copy_cell_text(d + 1);
    return nullptr;
  }
  TQ_SEXP* v = nullptr;
  if (_eval_symbol(&v, env, d + 1, -1) != 0)
    return lang_error(s, ER_UNDEFINED, "eval(attribute symbol)",
                      list(n_get_string("eval:undefined symbol-1"), s, get_string(d + 1), nullptr));
  switch (get_type(v)) {
    case kTagString: *text = v->string.data; return nullptr;
    case kTagInteger:
    case kTagFloat: *text = number_text(v, false); return nullptr;
    case kTagError: return v;
    default:
      return lang_error(s, ER_TYPE, "eval(attribute symbol)", list(n_get_string("eval:type missmatch"), s, nullptr));
  }
}

}  // namespace

TQ_SEXP* get_sym_field(TQ_SYM_FIELD** sfp, TQISP_ENV* env, TQ_SEXP* s) {
  // The frame holds the names' values and the new entries; the whole list, or the error,
  // goes to the frame below as it closes.
  gc_push(nullptr, nullptr, "get_sym_field");
  TQ_SYM_FIELD* first = nullptr;
  TQ_SYM_FIELD** tail = &first;
  for (TQ_SYM_FIELD* f = s->symbol.field; f; f = f->next) {
    L_CHAR* text = nullptr;
    if (TQ_SEXP* e = attribute_value(&text, env, s, f->data)) {
      gc_pop(e, gc_qv_sexp);
      return e;
    }
    MemLock hold;  // the entry is filled and linked where no collection reads it half made
    auto* nf = static_cast<TQ_SYM_FIELD*>(mmalloc(sizeof(TQ_SYM_FIELD), gc_qv_sym_field));
    nf->name = f->name;
    nf->data = text;
    *tail = nf;
    tail = &nf->next;
  }
  gc_pop(first, gc_qv_sym_field);
  *sfp = first;
  return nullptr;
}

L_CHAR* eval_carret(TQ_SEXP** retp, TQISP_ENV* env, const L_CHAR* text, TQ_SEXP* at) {
  if (!text || text[0] != '^') return const_cast<L_CHAR*>(text);
  if (text[1] == '^') return copy_cell_text(text + 1);
  TQ_SEXP* sym = get_symbol(text + 1);
  inherit(sym, at);
  TQ_SEXP* v = eval(env, sym);  // rooted while number_text makes its text
  TQ_SEXP* err = nullptr;
  L_CHAR* r = nullptr;
  switch (get_type(v)) {
    case kTagString: r = v->string.data; break;
    case kTagInteger:
    case kTagFloat: r = number_text(v, false); break;
    case kTagError: err = v; break;
    default:
      err = get_error(pos_file(at), pos_line(at), ER_TYPE, lt("eval(attribute symbol)"),
                      list(n_get_string("symbol attr field:type missmatch"), get_string(text), nullptr));
  }
  if (retp && *retp) *retp = err;
  return r;
}

}  // namespace tq
