// The frame every matrix word shares (see mx_word_frame.h).
#include "mxcmd/mx_word_frame.h"

#include <cstring>
#include <string>

#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/dim_code.h"
#include "matrix/mx_codes.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "mxtype/block_type.h"
#include "mxtype/datum.h"
#include "mxtype/string_type.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

struct NameId {
  const char* name;
  int id;
};
constexpr NameId kAccessNames[] = {{"MI_DEF", 0},    {"MI_FETCH_1", 3}, {"MI_FETCH_2", 6}, {"MI_EDIT_1", 9},
                                   {"MI_EDIT_2", 12}, {"MI_VISU_1", 15}, {"MI_VISU_2", 18}};
constexpr NameId kStatusNames[] = {{"MS_OK", MS_OK},
                                   {"MS_LOADING_ERR_1", MS_LOADING_ERR_1},
                                   {"MS_PROCESS_ERR_1", MS_PROCESS_ERR_1},
                                   {"MS_EDIT_ERR_1", MS_EDIT_ERR_1},
                                   {"MS_EDIT_ERR_2", MS_EDIT_ERR_2}};

template <size_t N>
int name_id(const L_CHAR* name, const NameId (&table)[N]) {
  if (!name) return -1;
  for (const NameId& row : table)
    if (mx_text_is(name, row.name)) return row.id;
  return -2;
}

constexpr int kMaxDecimalDigits = 18;  // fits int64 whatever the digits

}  // namespace

bool mx_word_open(MX_WORD* w, const char* name, TQISP_ENV* env, TQ_SEXP* s, TQ_SYM_FIELD* sf) {
  *w = MX_WORD{name, env, s, sf, static_cast<MATRIX_TOKEN*>(get_env_work(env)), nullptr, nullptr};
  if (!w->t || !w->t->process_node) return false;
  w->n = w->t->process_node;
  w->m = w->n->matrix;
  return true;
}

void mx_bind_word(TQISP_ENV* env, const char* name, TQ_PRIM prim, int order, int min, int max) {
  set_env(env, _l_string_1(std_cm, name), get_func_prim(prim, order, nullptr, min, max));
}

bool mx_text_is(const L_CHAR* text, const char* name) {
  if (!text) return false;
  for (; *name; ++text, ++name)
    if (*text != L_CHAR(static_cast<unsigned char>(*name))) return false;
  return *text == 0;
}

L_CHAR* mx_attr(const MX_WORD& w, const char* name) {
  for (TQ_SYM_FIELD* f = w.sf; f; f = f->next)
    if (mx_text_is(f->name, name)) return f->data;
  return nullptr;
}

int get_access(const L_CHAR* name) { return name_id(name, kAccessNames); }
int get_jump_status(const L_CHAR* name) { return name_id(name, kStatusNames); }

bool mx_decimal(const L_CHAR* text, int64_t* v) {
  if (!text) return false;
  const bool neg = *text == '-';
  if (neg) ++text;
  int64_t r = 0;
  int digits = 0;
  for (; *text; ++text, ++digits) {
    if (*text < '0' || *text > '9' || digits == kMaxDecimalDigits) return false;
    r = r * 10 + int64_t(*text - '0');
  }
  if (digits == 0) return false;
  *v = neg ? -r : r;
  return true;
}

int mx_channel_attr(const MX_WORD& w, int* ch) {
  const L_CHAR* text = mx_attr(w, "channel");
  if (!text) return MX_ATTR_ABSENT;
  int64_t v;
  if (!mx_decimal(text, &v) || v < 0 || v >= w.m->p.channel_nos) return MX_ATTR_BAD;
  *ch = int(v);
  return MX_ATTR_OK;
}

void* mx_datum_of(TQ_SEXP* v) {
  switch (get_type(v)) {
    case kTagPtr:  // the datums' own cells: results, and the store's views of channel data
      return !v->ptr.gc || v->ptr.gc == gc_text || v->ptr.gc == gc_mtx_block || v->ptr.gc == gc_mx_stringv_data
                 ? v->ptr.ptr
                 : nullptr;
    case kTagRaw: {
      if (v->raw.size < kMxHeaderSize || !v->raw.data) return nullptr;
      MDT tp = get_matrix_data_type(reinterpret_cast<MATRIX_DATA_HEADER*>(v->raw.data)->type);
      if (!tp || !tp->parent || !tp->sexp2md) return nullptr;
      int copied = 0;
      void* d = tp->sexp2md(&copied, tp, v);  // checks the bytes hold the whole vector
      return copied ? nullptr : d;  // a vector's bytes are always taken in place
    }
    default: return nullptr;
  }
}

void mx_read_data(MATRIX* m, TQ_SEXP* list, MxDc* dc, void** d) {
  dc->reset(get_dim_code_from_sexp(m, get_el(list, 1)));
  *d = mx_datum_of(get_el(list, 2));
}

TQ_SEXP* mx_data_list(MATRIX* m, const int64_t* dc, TQ_SEXP* value) {
  return List(n_get_symbol("data"), get_sexp_from_dim_code(m, dc), value, kListEnd);
}

TQ_SEXP* mx_datum_cell(void* d) {
  switch (static_cast<MATRIX_DATA_HEADER*>(d)->type) {
    case MXT_BLOCK: return get_ptr(d, gc_mtx_block);
    case MXT_STRING_V: return get_ptr(d, gc_mx_stringv_data);  // marks its strings too
    default: return get_ptr(d, gc_text);
  }
}

TQ_SEXP* mx_info(MATRIX* m, int code, const int64_t* dc, bool parent) {
  TQ_SEXP* info = List(mx_int(code), get_sexp_from_dim_code(m, dc), kListEnd);
  return parent ? cons(mx_text("parent"), info) : info;
}

const char* mx_target_list(TQ_SEXP* arg, TQ_SEXP** targets) {
  if (get_type(arg) != kTagPair) return "target-list not a LIST";
  TQ_SEXP* head = arg->pair.car;
  if (get_type(head) != kTagSymbol) return "target-list SYMBOL not a SYMBOL";
  if (mx_text_is(head->symbol.data, "data")) {
    *targets = cons(arg, nullptr);
    return nullptr;
  }
  if (mx_text_is(head->symbol.data, "Children")) {
    *targets = arg->pair.cdr;
    return nullptr;
  }
  return "target-list data or Children is required";
}

MATRIX_NODE* mx_request(const MX_WORD& w, int* code, int64_t* dc, int access) {
  *code = MX_OK;
  return get_matrix_node(code, w.m, dc, access, w.t, nullptr);
}

MX_DIM_CODE_LIST* mx_children_codes(const MX_WORD& w) {
  LOCK_SCOPE(matrix_lock);
  MATRIX* m = w.m;
  MATRIX_NODE* n = w.n;
  MX_DIM_CODE_LIST* head = nullptr;
  auto push = [&head](int64_t* dc) {
    auto* e = static_cast<MX_DIM_CODE_LIST*>(d_calloc(1, sizeof(MX_DIM_CODE_LIST)));
    e->next = head;
    e->dc = dc;
    head = e;
  };
  if (mx_dc_level(n->dim_code) <= 0) return nullptr;
  if (m->dim_bit_field) {
    int bits = 0;
    for (int a = 0; a < m->p.dim; ++a) bits += m->dim_divide[a];
    const uint8_t* field = n->nlist_dim_bit_field;
    for (int ix = (1 << bits) - 1; field && ix >= 0; --ix)
      if ((ix >> 3) < n->nlist_dim_bit_field_len && (field[ix >> 3] >> (ix & 7) & 1))
        push(get_dim_code_from_index(m, n->dim_code, ix));
  } else {
    int count = 0;  // the list ends at its length or at an empty entry
    while (count < n->nlist_dim_addr_len && n->nlist_dim_addr[count]) ++count;
    for (int i = 0; i < count; ++i) push(_copy_dim_code(m, n->nlist_dim_addr[count - 1 - i]));
  }
  return head;
}

void _mx_node_channels(MATRIX_NODE* n) {
  if (!n->channel)
    n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(size_t(n->matrix->p.channel_nos), sizeof(MATRIX_CHANNEL)));
}

TQ_SEXP* mx_error(const MX_WORD& w, uint32_t code, TQ_SEXP* data) { return lang_error(w.s, code, w.name, data); }

TQ_SEXP* mx_invalid(const MX_WORD& w) {
  return mx_error(w, ER_INVALID_PARAM, mx_text((std::string("invalid parameter in ") + w.name).c_str()));
}

TQ_SEXP* mx_invalid(const MX_WORD& w, TQ_SEXP* extra) {
  TQ_SEXP* text = mx_text((std::string("invalid parameter in ") + w.name).c_str());
  return mx_error(w, ER_INVALID_PARAM, List(text, extra, kListEnd));
}

TQ_SEXP* mx_type_error(const MX_WORD& w, TQ_SEXP* data) { return mx_error(w, ER_TYPE, data); }

TQ_SEXP* mx_mismatch(const MX_WORD& w, TQ_SEXP* what) {
  return mx_error(w, ER_TYPE, List(mx_text("type missmatch"), what, kListEnd));
}

TQ_SEXP* mx_object_error(const MX_WORD& w, const char* reason, TQ_SEXP* info) {
  return mx_error(w, ER_MISSING, List(mx_text("invalid object in channel of NODE"), mx_text(reason), info, kListEnd));
}

TQ_SEXP* mx_loading_error(const MX_WORD& w) { return mx_error(w, ER_MISSING, mx_text("invalid matrix loading")); }

TQ_SEXP* mx_store_error(const MX_WORD& w, int code, TQ_SEXP* extra) { return matrix_error(w.name, w.s, code, extra); }

}  // namespace tq
