// Constructors of cells: pairs, atoms, functions, pointers, raw bytes, environments and
// error cells. Each copies the texts it is given into collected memory and returns a cell
// rooted in the calling thread's top frame; a cell and the texts it owns are made under one
// hold of the memory lock.
#include <cstring>

#include "lang/gc.h"
#include "lang/tq_file.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

L_CHAR kEmpty[] = {0};

// The position a new pair takes: car's when it has one, else cdr's, else none.
TQ_SEXP* position_source(TQ_SEXP* car, TQ_SEXP* cdr) {
  if (car && car->h.file) return car;
  if (cdr && cdr->h.file) return cdr;
  return car ? car : cdr;
}

}  // namespace

TQ_SEXP* cons(TQ_SEXP* car, TQ_SEXP* cdr) {
  MemLock lock;  // a collection meets the pair whole
  TQ_SEXP* s = get_sexp_inh(nullptr, kTagPair, position_source(car, cdr));
  s->pair.car = car;
  s->pair.cdr = cdr;
  return s;
}

TQ_SEXP* cons_inh_2(TQ_SEXP* car, TQ_SEXP* cdr) {
  MemLock lock;  // a collection meets the pair whole
  TQ_SEXP* s = get_sexp_inh(nullptr, kTagPair, cdr);
  s->pair.car = car;
  s->pair.cdr = cdr;
  return s;
}

TQ_SEXP* get_symbol(const L_CHAR* name) {
  MemLock lock;  // the texts and the cell appear together
  L_CHAR* text = copy_cell_text(name ? name : kEmpty);
  TQ_SEXP* s = get_sexp(nullptr, kTagSymbol);
  s->symbol.data = text;
  return s;
}

TQ_SEXP* get_string(const L_CHAR* text) {
  MemLock lock;  // the texts and the cell appear together
  L_CHAR* copy = copy_cell_text(text ? text : kEmpty);
  TQ_SEXP* s = get_sexp(nullptr, kTagString);
  s->string.data = copy;
  return s;
}

[[gnu::hot]] TQ_SEXP* get_integer(int64_t value, const L_CHAR* unit) {
  MemLock lock;  // the texts and the cell appear together
  L_CHAR* u = copy_cell_text(unit);
  TQ_SEXP* s = get_sexp(nullptr, kTagInteger);
  s->integer.unit = u;
  s->integer.data = value;
  return s;
}

TQ_SEXP* get_floating(double value, const L_CHAR* unit) {
  MemLock lock;  // the texts and the cell appear together
  L_CHAR* u = copy_cell_text(unit);
  TQ_SEXP* s = get_sexp(nullptr, kTagFloat);
  s->floating.unit = u;
  s->floating.data = value;
  return s;
}

TQ_SEXP* get_func_prim_sp(TQ_PRIM prim, int order, TQISP_ENV* args_env, TQISP_ENV* sp_env, int min, int max) {
  MemLock lock;  // a collection meets the cell whole
  TQ_SEXP* s = get_sexp(nullptr, kTagFunc);
  s->func.type = kFuncPrim;
  s->func.order = int8_t(order);
  s->func.min = int8_t(min);
  s->func.max = int8_t(max);
  s->func.args_env = args_env;
  s->func.sp_env = sp_env;
  s->func.prim = prim;
  return s;
}

TQ_SEXP* get_func_prim(TQ_PRIM prim, int order, TQISP_ENV* args_env, int min, int max) {
  return get_func_prim_sp(prim, order, args_env, nullptr, min, max);
}

TQ_SEXP* get_ptr(void* ptr, GC_FUNC gc) {
  MemLock lock;  // a collection must not call gc before ptr is in place
  TQ_SEXP* s = get_sexp(nullptr, kTagPtr);
  s->ptr.ptr = ptr;
  s->ptr.gc = gc;
  return s;
}

TQ_SEXP* get_raw(const void* bytes, int64_t size) {
  MemLock lock;  // the texts and the cell appear together
  if (size < 0) size = 0;
  void* data = mmalloc(size_t(size), gc_text);
  if (size > 0) std::memcpy(data, bytes, size_t(size));
  return get_raw_set_data(data, size);
}

TQ_SEXP* get_raw_set_data(void* data, int64_t size) {
  MemLock lock;  // a collection meets the cell whole
  TQ_SEXP* s = get_sexp(nullptr, kTagRaw);
  s->raw.size = size;
  s->raw.data = static_cast<uint8_t*>(data);
  return s;
}

TQ_SEXP* get_env(TQISP_ENV* env) {
  MemLock lock;  // a collection meets the cell whole
  TQ_SEXP* s = get_sexp(nullptr, kTagEnv);
  s->env.data = env;
  return s;
}

TQ_SEXP* get_error(TQ_FILE* f, int32_t line, uint32_t er_code, const L_CHAR* func, TQ_SEXP* data) {
  MemLock lock;  // the texts and the cell appear together
  L_CHAR* site = f && f->site ? f->site : copy_cell_text(kEmpty);
  L_CHAR* filename = copy_cell_text(f && f->name ? f->name : kEmpty);
  L_CHAR* fn = copy_cell_text(func);
  TQ_SEXP* s = get_sexp(nullptr, kTagError);
  s->h.file = f;
  s->h.line = line;
  s->error.site = site;
  s->error.filename = filename;
  s->error.line = line;
  s->error.func = fn;
  s->error.code = er_code;
  s->error.data = data;
  return s;
}

TQ_SEXP* get_error_line(TQ_SEXP* error, int32_t line) {
  MemLock lock;  // a collection meets the cell whole
  TQ_SEXP* s = get_sexp_inh(nullptr, kTagError, error);
  s->error = error->error;
  s->error.line = line;
  return s;
}

TQ_SEXP* get_nesting_error(const char* walker, TQ_SEXP* at) {
  TQ_SEXP* data = list(n_get_string("nesting too deep"), nullptr);
  return get_error(at ? at->h.file : nullptr, at ? at->h.line : 0, ER_NESTING, _l_string_1(std_cm, walker), data);
}

TQ_SEXP* n_get_string(const char* text) { return get_string(_l_string_1(std_cm, text)); }
TQ_SEXP* n_get_symbol(const char* name) { return get_symbol(_l_string_1(std_cm, name)); }
TQ_SEXP* n_get_integer(int32_t value, const char* unit) {
  return get_integer(int64_t(value), _l_string_1(std_cm, unit));
}
TQ_SEXP* n_get_floating(double value, const char* unit) { return get_floating(value, _l_string_1(std_cm, unit)); }

}  // namespace tq
