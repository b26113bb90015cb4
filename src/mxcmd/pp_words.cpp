// The point-list words of the event scripts: "mxPgPlotInitialize" attaches an empty
// point-list block to a channel of the token's node; "mxPgPlotSort" puts one block value's
// plots into plot order; "mxPgPlotDiff" builds from child nodes' block values the parent's
// list and a difference list per child; "mxPgPlotAdd" rebuilds a child's list from the
// parent's and its difference list; "mxObjID" gives every plot without an id a new object
// id of the matrix. Besides "mxPgPlotInitialize" they only read the values they are given
// and make new ones.
//
// A block value is a data list whose value holds a block datum of point-list code, plain
// or, with the attribute "compress" on, compressed (pp_code.h).
#include <cstdlib>
#include <string>

#include "lang/gc.h"
#include "lang/print.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_open.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxcmd/pp_block.h"
#include "mxcmd/pp_code.h"
#include "mxcmd/pp_level.h"
#include "mxtype/block_type.h"
#include "platform/startup.h"
#include "stream/format.h"
#include "stream/stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

// An on/off attribute: 0 absent or "off", 1 "on", -1 any other value.
int on_off(const MX_WORD& w, const char* name) {
  const L_CHAR* v = mx_attr(w, name);
  if (!v || mx_text_is(v, "off")) return 0;
  return mx_text_is(v, "on") ? 1 : -1;
}

// The block datum a value cell holds, or null.
const MATRIX_ALLOC_BLOCK_PARAM* block_of(TQ_SEXP* v) {
  void* d = mx_datum_of(v);
  return d && static_cast<MATRIX_DATA_HEADER*>(d)->type == MXT_BLOCK ? static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d)
                                                                      : nullptr;
}

// A debug-heap plot list owned for the scope of a word.
class PlotList {
 public:
  ~PlotList() { free_internal_plot_list(p); }
  INTERNAL_PLOT* p = nullptr;
};

// A debug-heap buffer owned for the scope of a word.
class Bytes {
 public:
  ~Bytes() {
    if (p) d_f_ree(p);
  }
  uint8_t* p = nullptr;
};

// The code a block datum holds (inflated into `owned` when compressed); false when it does
// not inflate.
bool code_of(const MATRIX_ALLOC_BLOCK_PARAM* d, bool compressed, Bytes* owned, const uint8_t** code, int* size) {
  return pp_code_of(compressed, d->block, d->size, &owned->p, code, size);
}

// The plots of code (debug heap, or the arena), or *err PP_BAD_CODE.
INTERNAL_PLOT* decode(const MATRIX* m, const uint8_t* code, int size, SIMPLE_ALLOC_T* sat, int* err) {
  return code2internal(m, reinterpret_cast<const PRIMITIVE_PLOT*>(code), size, sat, err);
}

// A new collected block datum of the list's code, compressed when asked; the code's size
// and the datum's in *code_size and *final_size. Null when the code would not fit a block
// datum (a list rebuilt or merged from values that do).
TQ_SEXP* block_value(const MATRIX* m, const INTERNAL_PLOT* list, bool compressed, int* code_size = nullptr,
                     int* final_size = nullptr) {
  Bytes code;
  int size = 0;
  code.p = internal2code(&size, m, list);
  if (!code.p) return nullptr;
  if (code_size) *code_size = size;
  if (compressed) {
    uint8_t* z = pp_compress(&size, code.p, size);
    d_f_ree(code.p);
    code.p = z;
  }
  if (final_size) *final_size = size;
  MATRIX_ALLOC_BLOCK_PARAM desc{{0, MXT_BLOCK, 0}, size, code.p};
  void* d = mxt_alloc_block_data(&mx_type_block, MX_ALLOC_GC, &desc, nullptr, __FILE__, __LINE__);
  return mx_datum_cell(d);
}

TQ_SEXP* form_mismatch(const MX_WORD& w, const char* reason) {
  return mx_type_error(w, List(mx_text("type missmatch"), mx_text(reason), w.s, kListEnd));
}

TQ_SEXP* invalid(const MX_WORD& w, const char* reason) { return mx_invalid(w, mx_text(reason)); }

// ("invalid parameter in <word>" reason form).
TQ_SEXP* invalid_form(const MX_WORD& w, const char* reason) {
  TQ_SEXP* text = mx_text((std::string("invalid parameter in ") + w.name).c_str());
  return mx_error(w, ER_INVALID_PARAM, List(text, mx_text(reason), w.s, kListEnd));
}

// Three arenas freed together.
struct Arenas {
  SIMPLE_ALLOC_T a[3];
  Arenas() {
    for (SIMPLE_ALLOC_T& s : a) smp_init(&s);
  }
  ~Arenas() {
    for (SIMPLE_ALLOC_T& s : a) free_smp(&s);
  }
};

// A word of one block value: the word, its compress attribute, argument 1's dimension
// code and its plots (decoded into the first arena).
struct OneBlock {
  MX_WORD w;
  int compressed = 0;
  MxDc dc;
  Arenas arenas;
  INTERNAL_PLOT* list = nullptr;
};

// Opens the word and reads its block value; false when the word answers *result (nil
// outside a token, or the error). A dimension code that does not convert is named by the
// argument itself with `by_list`, else by "dim code" and the form.
bool one_block(OneBlock* b, const char* name, bool by_list, TQISP_ENV* env, TQ_SEXP* s, TQ_SYM_FIELD* sf,
               TQ_SEXP** result) {
  MX_WORD& w = b->w;
  *result = nullptr;
  if (!mx_word_open(&w, name, env, s, sf)) return false;
  if ((b->compressed = on_off(w, "compress")) < 0) return *result = invalid(w, "compress"), false;
  TQ_SEXP* arg = get_el(s, 1);
  b->dc.reset(get_dim_code_from_sexp(w.m, get_el(arg, 1)));
  if (!b->dc) return *result = by_list ? mx_mismatch(w, arg) : form_mismatch(w, "dim code"), false;
  const MATRIX_ALLOC_BLOCK_PARAM* d = block_of(get_el(arg, 2));
  if (!d) return *result = mx_mismatch(w, mx_text("CH data type(2)")), false;
  Bytes owned;
  const uint8_t* code;
  int size = 0;
  if (!code_of(d, b->compressed, &owned, &code, &size)) return *result = invalid(w, "zlib uncompress"), false;
  int err = PP_OK;
  if (!(b->list = decode(w.m, code, size, &b->arenas.a[0], &err))) return *result = invalid(w, "internal plot code"), false;
  return true;
}

// The answer of a word of one block value: a data list of its dimension code and the
// plots' block value, or the error for a list that will not code.
TQ_SEXP* coded(const OneBlock& b) {
  TQ_SEXP* value = block_value(b.w.m, b.list, b.compressed);
  return value ? mx_data_list(b.w.m, b.dc.get(), value) : invalid(b.w, "internal plot code");
}

// ---- mxPgPlotDiff

// The data lists of a target: one data list, or (Children data-list ...); null or the reason.
const char* target_lists(TQ_SEXP* arg, TQ_SEXP** targets) {
  if (get_type(arg) != kTagPair) return "target-list not a LIST";
  TQ_SEXP* head = arg->pair.car;
  if (get_type(head) != kTagSymbol) return "target-list SYMBOL not aSYMBOL";
  if (mx_text_is(head->symbol.data, "data")) {
    *targets = cons(arg, nullptr);
    return nullptr;
  }
  if (!mx_text_is(head->symbol.data, "Children")) return "target-list data or Children is required";
  *targets = arg->pair.cdr;
  return nullptr;
}

void trace_value(TQ_SEXP* v) {
  print_sexp(s_stdout, v, kPrintSexp);
  ss_printf("\n");
}

TQ_SEXP* tq_mxPgPlotDiff(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  ss_printf("mxPgPlotDiff\n");
  MX_WORD w;
  if (!mx_word_open(&w, "mxPgPlotDiff", env, s, sf)) return nullptr;
  ss_printf("mxPgPlotDiff-1\n");
  const int compressed = on_off(w, "compress");
  if (compressed < 0) return invalid(w, "compress");
  ss_printf("mxPgPlotDiff-2\n");
  const int sort = on_off(w, "sort");
  if (sort < 0) return invalid(w, "sort");
  ss_printf("mxPgPlotDiff-3\n");
  TQ_SEXP* targets = nullptr;
  if (const char* why = target_lists(get_el(s, 1), &targets)) return form_mismatch(w, why);
  ss_printf("mxPgPlotDiff-4\n");
  trace_value(get_el(s, 1));

  PlotList parent;
  TQ_SEXP* children = nullptr;
  TQ_SEXP** tail = &children;
  for (TQ_SEXP* t = targets; get_type(t) == kTagPair; t = t->pair.cdr) {
    MxDc dc(get_dim_code_from_sexp(w.m, get_el(t->pair.car, 1)));
    if (!dc) return form_mismatch(w, "dim code");
    const MATRIX_ALLOC_BLOCK_PARAM* d = block_of(get_el(t->pair.car, 2));
    if (!d) return form_mismatch(w, "CH data type(2)");
    ss_printf("mxPgPlotDiff-5-prev %i\n", d->size);
    Bytes owned;
    const uint8_t* code;
    int size = 0;
    if (!code_of(d, compressed, &owned, &code, &size)) return invalid(w, "zlib uncompress");
    ss_printf("mxPgPlotDiff-5 %i\n", size);
    int err = PP_OK;
    PlotList child, up, diff;
    child.p = decode(w.m, code, size, nullptr, &err);
    if (err != PP_OK) return invalid(w, "internal plot code");
    if (sort) child.p = sort_plot(w.m, child.p);
    ss_printf("mxPgPlotDiff-7 %s %p\n", pt_dc(w.m, dc.get(), 1), static_cast<void*>(child.p));
    up.p = diff_pp(w.m, &diff.p, child.p, &err);
    if (err != PP_OK) return invalid(w, "field kind");
    ss_printf("mxPgPlotDiff-8\n");
    parent.p = shift_insert_plot(w.m, parent.p, up.p, dc.get(), &err);
    if (err != PP_OK) return invalid(w, "plot order");
    up.p = nullptr;  // now the parent's
    ss_printf("mxPgPlotDiff-9 %i\n", get_internal_plot_len(parent.p));
    TQ_SEXP* value = block_value(w.m, diff.p, compressed);
    if (!value) return invalid(w, "internal plot code");
    ss_printf("mxPgPlotDiff-10\n");
    ss_printf("mxPgPlotDiff-11\n");
    TQ_SEXP* item = mx_data_list(w.m, dc.get(), value);  // rooted in the caller's frame, as each new cell
    MemLock hold;  // a collection marking the list must not read the cdr being written
    *tail = cons(item, nullptr);
    tail = &(*tail)->pair.cdr;
  }
  ss_printf("mxPgPlotDiff-6 %i\n", get_internal_plot_len(parent.p));
  int code_size = 0, final_size = 0;
  TQ_SEXP* value = block_value(w.m, parent.p, compressed, &code_size, &final_size);
  if (!value) return invalid(w, "internal plot code");
  ss_printf("mxPgPlotDiff-6 c-size = %i %s\n", code_size, pt_dc(w.m, w.n->dim_code, 1));
  ss_printf("mxPgPlotDiff-END %i\n", final_size);
  return cons(mx_data_list(w.m, w.n->dim_code, value), children);
}

// ---- mxPgPlotSort

TQ_SEXP* tq_mxPgPlotSort(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  OneBlock b;
  TQ_SEXP* r;
  if (!one_block(&b, "mxPgPlotSort", false, env, s, sf, &r)) return r;
  b.list = sort_plot(b.w.m, b.list);
  return coded(b);
}

// ---- mxPgPlotAdd

// The checks of one argument of mxPgPlotAdd ("parent" or "child"): its dimension code and
// block datum, or the reason it is refused in *why.
const MATRIX_ALLOC_BLOCK_PARAM* add_argument(const MX_WORD& w, TQ_SEXP* arg, const std::string& who, MxDc* dc,
                                             std::string* why) {
  if (get_type(arg) != kTagPair) return *why = who + " not a LIST", nullptr;
  if (get_type(arg->pair.car) != kTagSymbol) return *why = who + " SYMBOL not aSYMBOL", nullptr;
  if (!mx_text_is(arg->pair.car->symbol.data, "data")) return *why = who + " data is required", nullptr;
  const MATRIX_ALLOC_BLOCK_PARAM* d = block_of(get_el(arg, 2));
  if (!d) return *why = who + " CH data type(2)", nullptr;
  dc->reset(get_dim_code_from_sexp(w.m, get_el(arg, 1)));
  if (!*dc) return *why = "dim code", nullptr;
  return d;
}

// The plots of one argument decoded into arena sat; null with the reason in *why.
INTERNAL_PLOT* add_plots(const MX_WORD& w, const MATRIX_ALLOC_BLOCK_PARAM* d, bool compressed,
                         SIMPLE_ALLOC_T* sat, const std::string& who, std::string* why) {
  Bytes owned;
  const uint8_t* code;
  int size = 0;
  if (!code_of(d, compressed, &owned, &code, &size)) return *why = "zlib uncompress " + who, nullptr;
  int err = PP_OK;
  INTERNAL_PLOT* list = decode(w.m, code, size, sat, &err);
  if (!list) *why = who + " internal plot code";
  return list;
}

TQ_SEXP* tq_mxPgPlotAdd(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxPgPlotAdd", env, s, sf)) return nullptr;
  const int compressed = on_off(w, "compress");
  if (compressed < 0) return invalid_form(w, "compress");
  std::string why;
  MxDc up_dc, down_dc;
  const MATRIX_ALLOC_BLOCK_PARAM* up_d = add_argument(w, get_el(s, 1), "parent", &up_dc, &why);
  const MATRIX_ALLOC_BLOCK_PARAM* down_d = up_d ? add_argument(w, get_el(s, 2), "child", &down_dc, &why) : nullptr;
  if (!down_d) return form_mismatch(w, why.c_str());
  Arenas arenas;
  INTERNAL_PLOT* up = add_plots(w, up_d, compressed, &arenas.a[0], "parent", &why);
  INTERNAL_PLOT* diff = up ? add_plots(w, down_d, compressed, &arenas.a[1], "child", &why) : nullptr;
  if (!diff) return invalid_form(w, why.c_str());
  int err = PP_OK;
  INTERNAL_PLOT* down = add_diff(w.m, up, diff, down_dc.get(), &arenas.a[2], &err);
  if (err != PP_OK) return invalid_form(w, "field kind");
  // A difference list may rebuild far more than it holds: a child that will not code is
  // refused as its difference list would be.
  TQ_SEXP* value = block_value(w.m, down, compressed);
  if (!value) return invalid_form(w, "child internal plot code");
  return mx_data_list(w.m, w.n->dim_code, value);
}

// ---- mxPgPlotInitialize

TQ_SEXP* tq_mxPgPlotInitialize(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxPgPlotInitialize", env, s, sf)) return nullptr;
  const int compressed = on_off(w, "compress");
  if (compressed < 0) return invalid(w, "compress");
  const L_CHAR* text = mx_attr(w, "channel");
  // The number the text starts with; no text is no channel.
  const long long ch = text ? strtoll(n_string(std_cm, text), nullptr, 10) : -1;
  matrix_node_channel_lock(w.n);
  const char* why = nullptr;
  const int sat = on_off(w, "sat");
  if (ch < 0 || ch >= w.m->p.channel_nos)
    why = "channel range";
  else if (MDT tp = w.m->channel_info[ch].data_type; !tp || tp->type != MXT_BLOCK)
    why = "channel data type is not BLOCK";
  else if (sat < 0)
    why = "attribute sat";
  if (why) {
    matrix_node_channel_unlock(w.n, 0);
    return invalid(w, why);
  }
  {
    LOCK_SCOPE(matrix_lock);
    _mx_node_channels(w.n);
  }
  MATRIX_CHANNEL& c = w.n->channel[ch];
  if (c.sb) c.sb->tbl->free_sb(c.sb);
  MX_SB_NEW owner{w.m, w.n, int(ch)};
  PP_SB_NEW param{nullptr, 0, (compressed ? PP_FLAG_COMPRESS : 0) | (sat ? PP_FLAG_ARENA : 0)};
  if (!(c.sb = pp_new_sb(&owner, &param))) er_panic("insert");
  matrix_node_channel_unlock(w.n, 0);
  return nullptr;
}

// ---- mxObjID

TQ_SEXP* tq_mxObjID(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  OneBlock b;
  TQ_SEXP* r;
  if (!one_block(&b, "mxObjID", true, env, s, sf, &r)) return r;
  for (INTERNAL_PLOT* p = b.list; p; p = p->next) {
    // Id 0 is no id, even under the bit: the code keeps the bit on a plot whose flags are
    // otherwise 0, and such a plot must still get its id.
    if ((p->flags & PLOT_ID) && p->id != 0) continue;
    p->flags |= PLOT_ID;
    p->id = get_matrix_obj_id(b.w.m);
    ss_printf("---IP %p %x\n", static_cast<void*>(p), unsigned(uint64_t(p->id) >> 32));
  }
  return coded(b);
}

// The constants scripts name field types and input types by, in binding order.
struct PgConstant {
  const char* name;
  int value;
};
constexpr PgConstant kPgConstants[] = {
    {"mxPgPointColor", 0},      {"mxPgPointImg", 1},         {"mxPgNONE", FD_NONE},
    {"mxPgSTRING", FD_STRING},  {"mxPgSTRING_INHERIT", FD_STRING_INHERIT},
    {"mxPgSTRING_ERASE", FD_STRING_ERASE},                  {"mxPgINT_ADD", FD_INT_ADD},
    {"mxPgINT_AVG", FD_INT_AVG}, {"mxPgINT_MAX", FD_INT_MAX}, {"mxPgINT_MIN", FD_INT_MIN},
    {"mxPgRGBA", FD_RGBA},      {"mxPgTYPE_NONE", FD_NONE},  {"mxPgTYPE_STRING", FD_STRING},
    {"mxPgTYPE_INT", FD_INT},   {"mxPgTYPE_RGBA", FD_RGBA},  {"mxPgFDIT_INT", FD_IT_INT},
    {"mxPgFDIT_FLOAT", FD_IT_FLOAT}, {"mxPgFDIT_DD", FD_IT_DD}, {"mxPgFDIT_DDMMSS", FD_IT_DDMMSS},
};

}  // namespace

void init_mxPgPlot(TQISP_ENV* env) {
  for (const PgConstant& c : kPgConstants) set_env(env, _l_string_1(std_cm, c.name), mx_int(c.value));
  mx_bind_word(env, "mxPgPlotDiff", tq_mxPgPlotDiff, kMxEvaluated, 2, 2);
  mx_bind_word(env, "mxPgPlotSort", tq_mxPgPlotSort, kMxEvaluated, 2, 2);
  mx_bind_word(env, "mxPgPlotAdd", tq_mxPgPlotAdd, kMxEvaluated, 3, 3);
  mx_bind_word(env, "mxPgPlotInitialize", tq_mxPgPlotInitialize, kMxEvaluated, 1, 1);
}

void init_mxObjID(TQISP_ENV* env) { mx_bind_word(env, "mxObjID", tq_mxObjID, kMxEvaluated, 1, 2); }

}  // namespace tq
