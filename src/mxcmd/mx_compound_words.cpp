// "mxCompound" and "mxSeparate": several values packed into one compound block and
// unpacked again (the layout is in mx_compound_words.h).
#include "mxcmd/mx_compound_words.h"

#include <climits>
#include <cstring>
#include <string>

#include "matrix/mx_code.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxtype/net_form.h"
#include "platform/d_alloc.h"
#include "store/record_list.h"
#include "text/l_string.h"

namespace tq {

namespace {

enum : uint8_t { kItemInteger = MXT_INT64, kItemFloat = MXT_DOUBLE, kItemBlock = MXT_BLOCK, kItemString = MXT_STRING };
constexpr int64_t kNumberBytes = 8;

// One byte per type code, so that a type byte is a chunk the record list does not own.
constexpr auto kTypeBytes = [] {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[size_t(i)] = uint8_t(i);
  return t;
}();

// The record list a compound payload is built in; freed with the word's scope.
struct Packer {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  ~Packer() { free_recordlist64(rl); }
  // Appends the type byte, lets add append the payload, then puts the payload's length code
  // between them.
  template <class F>
  void item(uint8_t type, F&& add) {
    set_recordlist_chain64(rl, const_cast<uint8_t*>(&kTypeBytes[type]), 1, 0);
    CHAIN_LIST64* mark = rl->chain_tail;
    add();
    set_recordlist_code(rl, mark);
  }
  void bytes(const void* p, int64_t n) {
    void* copy = d_alloc(size_t(n > 0 ? n : 1));
    if (n > 0) memcpy(copy, p, size_t(n));
    set_recordlist_chain64(rl, copy, n, 1);
  }
  void number(uint64_t bits) {
    uint8_t be[kNumberBytes];
    for (int i = 0; i < kNumberBytes; ++i) be[i] = uint8_t(bits >> (56 - 8 * i));
    bytes(be, kNumberBytes);
  }
};

uint64_t read_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < kNumberBytes; ++i) v = v << 8 | p[i];
  return v;
}

// Whether the head symbol carries the attribute `type`, whatever its value.
bool has_type_attr(const MX_WORD& w) {
  for (TQ_SYM_FIELD* f = w.sf; f; f = f->next)
    if (mx_text_is(f->name, "type")) return true;
  return false;
}

// Appends one item; null, or the word's error for it.
TQ_SEXP* pack_item(const MX_WORD& w, Packer& pk, TQ_SEXP* item) {
  TQ_SEXP* v = item;
  if (get_type(v) == kTagPair && get_type(v = get_el(item, 2)) == kTagPair) return mx_invalid(w, item);
  switch (get_type(v)) {
    case kTagString: {
      const std::string text = n_string(utf8_cm, v->string.data);
      pk.item(kItemString, [&] { pk.bytes(text.data(), int64_t(text.size())); });
      return nullptr;
    }
    case kTagInteger: pk.item(kItemInteger, [&] { pk.number(uint64_t(v->integer.data)); }); return nullptr;
    case kTagFloat: {
      uint64_t bits;
      memcpy(&bits, &v->floating.data, sizeof bits);
      pk.item(kItemFloat, [&] { pk.number(bits); });
      return nullptr;
    }
    case kTagPtr:
    case kTagRaw: {
      void* d = mx_datum_of(v);
      const int type = d ? static_cast<MATRIX_DATA_HEADER*>(d)->type : -1;
      MDT tp = type == MXT_BLOCK ? &mx_type_block : mx_packable_vector(type);
      if (!tp) return mx_invalid(w, item);
      pk.item(uint8_t(type), [&] { tp->convert_to_net(tp, pk.rl, d); });
      return nullptr;
    }
    default: return mx_mismatch(w, v);
  }
}

// ([mxCompound type=ANY] item ...) or (mxCompound (item ...)): one block of the items.
TQ_SEXP* tq_mxCompound(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxCompound", env, s, sf)) return nullptr;
  Packer pk;
  TQ_SEXP* items = has_type_attr(w) ? s->pair.cdr : get_el(s, 1);
  for (; get_type(items) == kTagPair; items = items->pair.cdr)
    if (TQ_SEXP* err = pack_item(w, pk, items->pair.car)) return err;
  const int64_t size = _setup_recordlist64(pk.rl);
  if (size > INT_MAX) return mx_invalid(w);
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(mx_new_block(pk.rl->data, int(size))));
}

// (mxSeparate cell): the items of the compound block the cell holds, last first.
TQ_SEXP* tq_mxSeparate(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxSeparate", env, s, sf)) return nullptr;
  const MATRIX_ALLOC_BLOCK_PARAM* b = mx_block_of(get_el(s, 1));
  if (!b) return mx_invalid(w);
  bool ok = false;
  TQ_SEXP* values = mx_separate_payload(static_cast<const uint8_t*>(b->block), b->size,
                                        get_sexp_from_dim_code(w.m, w.n->dim_code), &ok);
  return ok ? values : mx_invalid(w);
}

// One item's value; null when its payload does not hold one of its type.
TQ_SEXP* item_value(uint8_t type, const uint8_t* p, int64_t len, TQ_SEXP* dc_list) {
  switch (type) {
    case kItemString: return get_string(_l_string_1(utf8_cm, std::string(reinterpret_cast<const char*>(p), size_t(len)).c_str()));
    case kItemInteger: return len == kNumberBytes ? get_integer(int64_t(read_be64(p)), nullptr) : nullptr;
    case kItemFloat: {
      if (len != kNumberBytes) return nullptr;
      const uint64_t bits = read_be64(p);
      double v;
      memcpy(&v, &bits, sizeof v);
      return get_floating(v, nullptr);
    }
    default: break;
  }
  void* d = nullptr;
  if (type == kItemBlock) {
    d = mx_new_block(p, int(len));
  } else if (MDT tp = mx_packable_vector(type)) {
    d = tp->convert_to_host(tp, const_cast<uint8_t*>(p), int(len), MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
  }
  return d ? List(n_get_symbol("data"), dc_list, mx_datum_cell(d), kListEnd) : nullptr;
}

}  // namespace

TQ_SEXP* mx_separate_payload(const uint8_t* payload, int size, TQ_SEXP* dc_list, bool* ok) {
  *ok = false;
  const uint8_t* p = payload;
  const uint8_t* const end = payload + (size > 0 ? size : 0);
  TQ_SEXP* values = nullptr;
  while (p < end) {
    const uint8_t type = *p++;
    int64_t len;
    if (!(p = get_uncompressed_code64_b(&len, p, end)) || len < 0 || len > end - p) return nullptr;
    TQ_SEXP* v = item_value(type, p, len, dc_list);
    if (!v) return nullptr;
    values = cons(v, values);
    p += len;
  }
  *ok = true;
  return values;
}

void init_mxCompound(TQISP_ENV* env) { mx_bind_word(env, "mxCompound", tq_mxCompound, kMxEvaluated, 2, -1); }
void init_mxSeparate(TQISP_ENV* env) { mx_bind_word(env, "mxSeparate", tq_mxSeparate, kMxEvaluated, 2, -1); }

}  // namespace tq
