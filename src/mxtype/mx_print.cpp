// Printing datums into string buffers, the checked formats of callers, the numeric vector
// printer and the type trace line.
#include "mxtype/mx_print.h"

#include <cstdio>
#include <cstring>

#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "stream/format.h"
#include "text/l_string.h"

namespace tq {

uint32_t (*mx_type_debug_clock)() = nullptr;

namespace {

constexpr size_t kValueText = 1000;  // the local buffer of one printed value
constexpr size_t kFormatMax = 200;   // longer caller formats are not taken

bool is_conversion(char c, MxFmtArg arg) {
  if (arg == MxFmtArg::kDouble) return c && strchr("fFeEgGaA", c);
  if (c == 'c') return arg == MxFmtArg::kInt;
  return c && strchr("diouxX", c);
}

void out_text(MATRIX_STRING_BUFFER* b, const char* fmt, int64_t v) {
  char t[32];
  snprintf(t, sizeof t, fmt, int(v));
  out_matrix_string_buffer(b, t);
}

}  // namespace

// ---- The string buffer.

void out_matrix_string_buffer(MATRIX_STRING_BUFFER* b, const char* str) {
  auto* p = static_cast<MATRIX_STRING_BUFFER*>(d_calloc(1, sizeof(MATRIX_STRING_BUFFER)));
  p->data = copy_str(str);
  if (b->tail)
    b->tail->next = p;
  else
    b->next = p;
  b->tail = p;
}

char* get_matrix_string_buffer(MATRIX_STRING_BUFFER* b) {
  size_t total = 0;
  for (MATRIX_STRING_BUFFER* p = b->next; p; p = p->next) {
    p->len = int(strlen(p->data));
    total += size_t(p->len);
  }
  auto* text = static_cast<char*>(d_alloc(total + 1));
  char* at = text;
  for (MATRIX_STRING_BUFFER* p = b->next; p; p = p->next) {
    memcpy(at, p->data, size_t(p->len));
    at += p->len;
  }
  *at = 0;
  return text;
}

void free_matrix_string_buffer(MATRIX_STRING_BUFFER* b) {
  for (MATRIX_STRING_BUFFER* p = b->next; p;) {
    MATRIX_STRING_BUFFER* next = p->next;
    d_f_ree(p->data);
    d_f_ree(p);
    p = next;
  }
  b->next = b->tail = nullptr;
}

// ---- Values.

const char* mxt_safe_format(const char* fmt, MxFmtArg arg, char* buf, size_t n) {
  if (!fmt || strlen(fmt) > kFormatMax || n < kFormatMax + 4) return nullptr;
  char* out = buf;
  int conversions = 0;
  for (const char* p = fmt; *p;) {
    if (*p != '%') {
      *out++ = *p++;
      continue;
    }
    if (p[1] == '%') {
      *out++ = '%', *out++ = '%', p += 2;
      continue;
    }
    *out++ = *p++;
    while (*p && strchr("-+ #0'", *p)) *out++ = *p++;
    while (*p >= '0' && *p <= '9') *out++ = *p++;
    if (*p == '.') {
      *out++ = *p++;
      while (*p >= '0' && *p <= '9') *out++ = *p++;
    }
    while (*p && strchr("hlLqjzt", *p)) ++p;  // the argument's own modifier goes in below
    if (!is_conversion(*p, arg) || ++conversions > 1) return nullptr;
    if (arg == MxFmtArg::kInt64) *out++ = 'l', *out++ = 'l';
    *out++ = *p++;
  }
  *out = 0;
  return buf;
}

void mxt_print_value(MATRIX_STRING_BUFFER* b, const char* fmt, const char* def, MxFmtArg arg, int64_t i, double f) {
  char checked[kFormatMax + 4];
  const char* use = mxt_safe_format(fmt, arg, checked, sizeof checked);
  if (!use) use = def;
  char text[kValueText];
  // use is a checked format of one argument of the kind passed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  switch (arg) {
    case MxFmtArg::kInt: snprintf(text, sizeof text, use, int(i)); break;
    case MxFmtArg::kInt64: snprintf(text, sizeof text, use, static_cast<long long>(i)); break;
    case MxFmtArg::kDouble: snprintf(text, sizeof text, use, f); break;
  }
#pragma GCC diagnostic pop
  out_matrix_string_buffer(b, text);
}

// ---- Vectors.

void mxt_print_vector_frame(MATRIX_STRING_BUFFER* b, void* d, bool one_axis_joined,
                            void (*element)(MATRIX_STRING_BUFFER* b, void* el, void* ctx), int el_size, void* ctx) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  const int dim = dh.hd->dim;
  out_text(b, "[dim:%i ", dim);
  for (int i = 0; i < dim; ++i) out_text(b, "%i ", dh.ix[i]);
  out_matrix_string_buffer(b, ":::\n");
  const int64_t row = dim > 0 ? dh.ix[0] : 1;
  for (int64_t j = 1; j <= dh.total_element; ++j) {
    element(b, dh.offset + (j - 1) * el_size, ctx);
    if (dim == 1)
      out_matrix_string_buffer(b, one_axis_joined ? "" : " ");
    else
      out_matrix_string_buffer(b, j % row == 0 && j != dh.total_element ? " /\n" : " ");
  }
  out_matrix_string_buffer(b, "]");
}

void mxt_print_vector(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt) {
  struct Ctx {
    MDT el;
    const char* fmt;
  } ctx{tp->parent, fmt};
  auto element = [](MATRIX_STRING_BUFFER* b, void* e, void* c) {
    auto* x = static_cast<Ctx*>(c);
    x->el->print_data(x->el, b, e, x->fmt);
  };
  mxt_print_vector_frame(b, d, false, element, ctx.el->get_size(ctx.el, nullptr), &ctx);
}

char* mxt_print(MDT tp, void* d, const char* fmt) {
  MATRIX_STRING_BUFFER b{};
  if (tp && tp->print_data && d) tp->print_data(tp, &b, d, fmt);
  char* text = get_matrix_string_buffer(&b);
  free_matrix_string_buffer(&b);
  set_buffer(text);
  return text;
}

// ---- Trace.

void xx_type_debug(const char* msg, MDT tp, const char* fn, int ln, int* tim) {
  const auto now = int(mx_type_debug_clock ? mx_type_debug_clock() : get_tqtime());
  if (*tim == now) return;
  *tim = now;
  if (msg && *msg)
    ss_printf("%s(%s)", msg, fn);
  else
    ss_printf("(%s+%i)", fn, ln);
  if (!tp) {
    ss_printf(" :: zero\n");
    return;
  }
  static const char* const kNames[16] = {"unknown", "bit",    "int8",   "int16", "int32", "int64",
                                         "uint8",   "uint16", "uint32", "uint64", "float", "double",
                                         "rgb8",    "block",  "string", "sexp"};
  ss_printf(tp->type & MXT_VECTOR ? " :: %s|VECTOR\n" : " :: %s|SCOLOR\n", kNames[tp->type & 0xF]);
}

}  // namespace tq
