// How a field column is filled: the `initial` operation of each field kind, which either
// parses a column's option list into its option record or fills one field from a value
// (a language value, or with `flag` set a 32-bit character text), and the mark routines of
// the option records. Filling a string field may evaluate the option's conversion, so it
// runs on a thread that may call the evaluator.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/print.h"
#include "mxcmd/pp_fields.h"
#include "stream/format.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

// A double truncated toward zero into 64 bits; out-of-range values saturate, NaN gives 0.
int64_t trunc_s64(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775807.0) return INT64_MAX;
  if (x <= -9223372036854775808.0) return INT64_MIN;
  return int64_t(x);
}

bool is_number(TQ_SEXP* v) { return get_type(v) == kTagInteger || get_type(v) == kTagFloat; }
double number_of(TQ_SEXP* v) { return get_type(v) == kTagInteger ? double(v->integer.data) : v->floating.data; }

// The text of a `flag` call or of a string value as bytes of the standard code method (a
// temporary), or null for other values.
const char* text_value(void* data, int flag) {
  if (flag) return data ? n_string(std_cm, static_cast<const L_CHAR*>(data)) : "";
  auto* v = static_cast<TQ_SEXP*>(data);
  return get_type(v) == kTagString ? n_string(std_cm, v->string.data) : nullptr;
}

void print_line(TQ_SEXP* v) {
  print_sexp(s_stdout, v, kPrintSexp);
  ss_printf("\n");
}

// The printed form of v in code method cm (debug heap).
char* printed_text(TQ_SEXP* v, CODE_METHOD* cm) {
  STREAM* st = s_open_string_write(cm);
  const char* text = print_sexp(st, v, kPrintSexp) >= 0 ? s_get_string(st) : nullptr;
  char* r = copy_str(text ? text : "");
  d_s_close(st);
  return r;
}

int64_t* heap_numbers(int n) { return static_cast<int64_t*>(d_alloc(sizeof(int64_t) * size_t(n))); }

// ---- option lists

int str_options(TQ_SEXP* list, FD_OPT* opt) {
  if (get_type(list) != kTagPair) return -1;
  TQ_SEXP* name = get_el(list, 0);
  if (get_type(name) != kTagString) return -2;
  CODE_METHOD* cm = search_cm(n_string(std_cm, name->string.data));
  if (!cm) return -4;
  TQ_SEXP* convert = get_el(list, 1);
  opt->str.convert = get_type(convert) == kTagNil ? nullptr : convert;
  opt->str.cm = cm;
  opt->h.merge_type = FD_STRING;
  if (list_length(list) == 3) opt->h.init_sexp = get_el(list, 2);
  return 0;
}

int int_options(TQ_SEXP* list, FD_OPT* opt) {
  if (list_length(list) < 4) return -1;
  TQ_SEXP *type = get_el(list, 0), *reso = get_el(list, 1), *offset = get_el(list, 2), *count = get_el(list, 3);
  if (get_type(type) != kTagInteger) return -2;
  if (!is_number(reso)) return -3;
  if (!is_number(offset)) return -9;
  if (get_type(count) != kTagInteger) return -4;
  opt->i.type = int(type->integer.data);
  opt->i.reso = number_of(reso);
  opt->i.offset = get_type(offset) == kTagInteger ? offset->integer.data : trunc_s64(offset->floating.data);
  opt->i.count = count->integer.data;
  if (list_length(list) == 5) opt->h.init_sexp = get_el(list, 4);
  return 0;
}

// ---- filling one field

// The string field of a language value: nil erases; else the value (converted by the
// option's expression when it has one) as text in the option's code method.
int str_value(IP_FIELD* target, TQ_SEXP* v, FD_OPT* opt, CODE_METHOD* cm) {
  if (get_type(v) == kTagNil) {
    target->type = FD_STRING_ERASE;
    target->d.p = nullptr;
    return 0;
  }
  GcFrame frame("fd_initial_str");
  if (opt && opt->str.convert) {
    TQISP_ENV* e = new_env(qvlisp_top_env0);
    set_env(e, _l_string_2(std_cm, "___convert"), v);
    v = eval(e, opt->str.convert);
    if (get_type(v) == kTagError) {
      print_line(v);
      return -1;
    }
  }
  target->type = FD_STRING;
  target->d.str = get_type(v) == kTagString ? ln_copy_str(cm, v->string.data) : printed_text(v, cm);
  return 0;
}

// The number x an integer field takes from data by the option's input type; 0 or the
// refusal.
int int_input(double* x, void* data, const FD_INT_OPT& o, int flag) {
  if (const char* text = text_value(data, flag)) {
    long long i = 0;
    double f = 0;
    switch (o.type) {
      case FD_IT_INT: sscanf(text, "%lli", &i), *x = double(i); return 0;
      case FD_IT_FLOAT:
      case FD_IT_DD: sscanf(text, "%lf", &f), *x = f; return 0;
      case FD_IT_DDMMSS: sscanf(text, "%lf", &f), *x = double(ddmmss_int(trunc_s64(f))); return 0;
      default: return -7;
    }
  }
  auto* v = static_cast<TQ_SEXP*>(data);
  if (get_type(v) == kTagInteger) {
    if (o.type < FD_IT_INT || o.type > FD_IT_DDMMSS) return -6;
    *x = double(o.type == FD_IT_DDMMSS ? ddmmss_int(v->integer.data) : v->integer.data);
    return 0;
  }
  if (get_type(v) == kTagFloat) {
    if (o.type < FD_IT_INT || o.type > FD_IT_DDMMSS) return -5;
    *x = o.type == FD_IT_DDMMSS ? ddmmss_float(v->floating.data) : v->floating.data;
    return 0;
  }
  return int(ER_TYPE);
}

}  // namespace

int fd_initial_none(IP_FIELD* target, void*, FD_OPT* opt, int) {
  if (target)
    target->d.p = nullptr;
  else
    opt->h.merge_type = FD_NONE;
  return 0;
}

int fd_initial_str(IP_FIELD* target, void* data, FD_OPT* opt, int flag) {
  if (!target) return str_options(static_cast<TQ_SEXP*>(data), opt);
  CODE_METHOD* cm = opt ? opt->str.cm : utf8_cm;
  if (!flag) return str_value(target, static_cast<TQ_SEXP*>(data), opt, cm);
  target->type = data ? FD_STRING : FD_STRING_ERASE;
  target->d.str = data ? ln_copy_str(cm, static_cast<const L_CHAR*>(data)) : nullptr;
  return 0;
}

int fd_initial_int(IP_FIELD* target, void* data, FD_OPT* opt, int flag) {
  if (!target) return int_options(static_cast<TQ_SEXP*>(data), opt);
  if (!opt) return -8;
  double x = 0;
  if (const int r = int_input(&x, data, opt->i, flag)) return r;
  const int64_t v = trunc_s64(std::trunc(x * opt->i.reso + double(opt->i.offset)));
  const unsigned type = opt->h.merge_type;
  target->type = type;
  target->d.p = nullptr;
  switch (type) {
    case FD_INT:
      if (opt->h.dim < 0) return -9;
      [[fallthrough]];
    case FD_INT_ADD:
    case FD_INT_MAX:
    case FD_INT_MIN: target->d.i = heap_numbers(1), target->d.i[0] = v; return 0;
    case FD_INT_AVG: target->d.i = heap_numbers(2), target->d.i[0] = v, target->d.i[1] = opt->i.count; return 0;
    default: return -8;
  }
}

// The colour number's low 32 bits are the four colour bytes, most significant first.
int fd_initial_rgba(IP_FIELD* target, void* data, FD_OPT* opt, int flag) {
  if (!target) {
    TQ_SEXP* count = get_el(static_cast<TQ_SEXP*>(data), 0);
    if (get_type(count) != kTagInteger) return -1;
    opt->rgba.count = count->integer.data;
    opt->h.merge_type = FD_RGBA;
    if (list_length(static_cast<TQ_SEXP*>(data)) == 2) opt->h.init_sexp = get_el(static_cast<TQ_SEXP*>(data), 1);
    return 0;
  }
  long long n = 0;
  if (const char* text = text_value(data, flag)) {
    sscanf(text, "%lli", &n);
  } else if (get_type(static_cast<TQ_SEXP*>(data)) == kTagInteger) {
    n = static_cast<TQ_SEXP*>(data)->integer.data;
  } else {
    print_line(static_cast<TQ_SEXP*>(data));
    return -2;
  }
  target->type = opt ? unsigned(opt->h.merge_type) : unsigned(FD_RGBA);
  auto* c = static_cast<FIELD_RGBA_T*>(d_alloc(sizeof(FIELD_RGBA_T)));
  const auto low = uint32_t(uint64_t(n));
  for (int i = 0; i < 4; ++i) c->rgba[i] = uint8_t(low >> (24 - 8 * i));
  c->count = opt ? opt->rgba.count : 0;
  target->d.rgba = c;
  return 0;
}

void fd_gc_str(FD_OPT* opt) { gc_qv_sexp(opt->str.convert); }

void gc_fd_opt(void* p) {
  for (auto* o = static_cast<FD_OPT*>(p); o; o = o->h.next) {
    if (gc_block_of(o)->mark & kMarkLive) return;  // the rest of the chain was marked with it
    gc_text(o);
    gc_qv_sexp(o->h.init_sexp);
    if (const FIELD_TYPE* row = fd_row(o->h.merge_type); row && row->gc) row->gc(o);
  }
}

void gc_fd_opt_ptr(void* p) {
  if (!p) return;
  const bool first = !(gc_block_of(p)->mark & kMarkLive);
  gc_text(p);
  if (first) gc_fd_opt(static_cast<FD_OPT_PTR*>(p)->opt);
}

}  // namespace tq
