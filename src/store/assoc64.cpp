// The associative index (see store/assoc64.h): slots of open index files, the index header
// record, value texts printed and read back in the file's encoding, and the integer (tree)
// and string (trie) indexes under them.
//
// A tree or trie found damaged on the way gives the caller -1 (or null) and changes
// nothing; the stops kept are those for a value record that is missing or no text, which
// a sound index never holds.
//
// A change that takes room and frees it again when a later step fails holds its file in
// the page cache from the first step to the last (FacHold): the free writes only into pages
// the change wrote, which stay dirty, so it is never refused at the cache's bound.
#include "store/assoc64.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lang/gc.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/startup.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "store/trie64.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tq {

ASSOC64_KEY as_key64[kAssocSlots + 1];

namespace {

constexpr int kStringTopKind = kAssocStringKind | 1;

ASSOC64_KEY* slot(int key) {
  if (key < 1 || key > kAssocSlots || !as_key64[key].p) return nullptr;
  return &as_key64[key];
}

// The slot and the index at pos, or null.
ASSOC64_KEY* slot_at(int key, int pos) {
  ASSOC64_KEY* k = slot(key);
  return k && pos >= 0 && pos < k->assoc_len ? k : nullptr;
}

bool damage(int err) { return err == kFavtUnreadable || err == kFavtDamaged; }

// ---- the index header record ----------------------------------------------------------

void read_header(ASSOC64_KEY* k, const unsigned char* rec, uint64_t ofs) {
  uint64_t n = (rec_size64(rec) - sizeof(PN64_HEADER)) / kAssocEntryLen;
  k->assoc = static_cast<ASSOC64_INDEX*>(d_calloc(n ? n : 1, sizeof(ASSOC64_INDEX)));
  for (uint64_t i = 0; i < n; ++i) {
    const unsigned char* e = rec + sizeof(PN64_HEADER) + kAssocEntryLen * i;
    k->assoc[i] = ASSOC64_INDEX{int64_t(get_be64(e)), int16_t(get_be16(e + 8)), int16_t(get_be16(e + 10))};
  }
  k->assoc_len = int(n);
  k->assoc_fofs = ofs;
}

// Writes the entries as a new 513 record and only then frees the old one, so a failed
// reservation or write (a full disk) leaves the file with its old header: 0 or -1. When
// the old one cannot be freed the new one goes instead, so that the file does not keep two.
int write_header(ASSOC64_KEY* k) {
  FacHold hold(&k->p->fac);
  uint64_t m = sizeof(PN64_HEADER) + kAssocEntryLen * uint64_t(k->assoc_len);
  auto* rec = static_cast<unsigned char*>(d_calloc(1, m));
  set_rec_head64(rec, kRecIndexHeader, m);
  for (int i = 0; i < k->assoc_len; ++i) {
    unsigned char* e = rec + sizeof(PN64_HEADER) + kAssocEntryLen * uint64_t(i);
    put_be64(e, uint64_t(k->assoc[i].fofs));
    put_be16(e + 8, uint16_t(k->assoc[i].type));
    put_be16(e + 10, uint16_t(k->assoc[i].name));
  }
  PN64_HEADER h{};
  h.type = kRecIndexHeader;
  h.size = m;
  int64_t at = alloc_filespace64(k->p, &h);
  int rc = at > 0 && write_filespace64f(k->p, uint64_t(at), rec) >= 0 ? 0 : -1;
  d_f_ree(rec);
  if (rc < 0) {
    if (at > 0) free_filespace64(k->p, uint64_t(at));  // no second 513 record beside the old
    return -1;
  }
  if (k->assoc_fofs && free_filespace64(k->p, k->assoc_fofs) < 0) {
    free_filespace64(k->p, uint64_t(at));
    return -1;
  }
  k->assoc_fofs = uint64_t(at);
  return 0;
}

// The root of the index at pos, when it can be read and is of the kind its type needs;
// null otherwise (a damaged header or file).
FAVT64_ROOT* index_root(ASSOC64_KEY* k, int pos) {
  const ASSOC64_INDEX& e = k->assoc[pos];
  if (e.fofs <= 0) return nullptr;
  bool integer = e.type == kAssocInteger;
  FAVT64_ROOT* r = get_root64(nullptr, k->p, uint64_t(e.fofs), integer ? integer_endian64 : dtree64_endian);
  return r && r->type == (integer ? kFavtKindIndexInt : kStringTopKind) ? r : nullptr;
}

// ---- value texts ------------------------------------------------------------------------

// The value printed in the file's encoding: a zero-terminated debug-heap text, or null
// when the printer fails (a value nested too deep).
char* print_value(ASSOC64_KEY* k, TQ_SEXP* value) {
  STREAM* st = s_open_string_write(k->cm);
  if (!st) er_panic("insert_associate(1)");
  char* out = nullptr;
  if (print_sexp(st, value, kPrintSexp) >= 0) {
    const char* text = s_get_string(st);
    if (!text) er_panic("insert_associate(2)");
    size_t len = size_t(s_get_string_size(st));
    out = static_cast<char*>(d_alloc(len + 1));
    std::memcpy(out, text, len + 1);
  }
  d_s_close(st);
  return out;
}

// Whether the record at ofs is a value text its namer may replace or drop: not one that
// waits to be freed already (in a damaged file two keys may name one text, and the other
// key has let it go).
bool is_text(PDB64* p, uint64_t ofs) {
  if (favt64_free_waiting(p, ofs)) return false;
  PN64_HEADER* h = read_filespace64f_header(p, ofs);
  bool text = h && rec_type64(h) == kRecIndexValue;
  if (h) d_f_ree(h);
  return text;
}

// Reads the text of a 514 record (head in file order) back into a value. The text ends at
// its zero, or at the record's end when a damaged record has none.
TQ_SEXP* parse_text(CODE_METHOD* cm, const unsigned char* rec) {
  const L_CHAR* name = _l_string_2(std_cm, "associate");
  auto* body = reinterpret_cast<const char*>(rec + sizeof(PN64_HEADER));
  size_t len = strnlen(body, size_t(rec_size64(rec) - sizeof(PN64_HEADER)));
  STREAM* st = s_open_string_read(body, cm, int(len), 1);
  if (!st) er_panic("search_assoc");
  return car(init_parse(st, name, name));
}

// The value whose 514 record (head in file order) is rec, or lies at ofs: null when it
// cannot be read or is no text (a damaged file).
TQ_SEXP* read_value(ASSOC64_KEY* k, uint64_t ofs, const unsigned char* rec = nullptr) {
  unsigned char* own = rec ? nullptr : static_cast<unsigned char*>(read_filespace64f(k->p, ofs));
  if (!rec) rec = own;
  TQ_SEXP* v = rec && rec_type64(rec) == kRecIndexValue ? parse_text(k->cm, rec) : nullptr;
  if (own) d_f_ree(own);
  return v;
}

// ---- integer indexes ---------------------------------------------------------------------

ASSOC64_INTEGER int_data(const FAVT64_NODE* n) {
  ASSOC64_INTEGER v;
  std::memcpy(&v.data, n->data, 4);
  std::memcpy(&v.fofs, static_cast<const unsigned char*>(n->data) + 4, 8);
  return v;
}

// The node of key, or null; *err -1 when absent, -2 / -3 when the tree is damaged.
FAVT64_NODE* find_int(FAVT64_ROOT* r, int32_t key, int* err) {
  *err = kFavtNotFound;
  if (r->node.fofs == 0) return nullptr;
  FAVT64_NODE* top = root_node64(err, r);
  return top ? favt64_search(err, r, top, &key, cmp_assoc64_integer, nullptr) : nullptr;
}

int insert_assoc64_integer(ASSOC64_KEY* k, FAVT64_ROOT* r, int32_t key, const char* text) {
  FacHold hold(&k->p->fac);
  int err;
  FAVT64_NODE* n = find_int(r, key, &err);
  if (!n && damage(err)) return -1;
  if (n) {
    int64_t old = int_data(n).fofs;
    if (old <= 0 || !is_text(k->p, uint64_t(old))) return -1;  // damaged: never free a stranger
    // The new text is in place before the node names it (a failed write leaves the old),
    // and the old one goes once the node is written back.
    favt64_lock(&n->h);
    int64_t at = alloc64_data(k->p, text);
    favt64_unlock(&n->h);
    if (at <= 0) return -1;
    std::memcpy(static_cast<unsigned char*>(n->data) + 4, &at, 8);
    favt64_set_dirty(&n->h);
    favt64_free_later(k->p, uint64_t(old));
    return 0;
  }
  int64_t at = alloc64_data(k->p, text);
  if (at <= 0) return -1;
  unsigned char data[kFavtIndexIntDataLen];
  std::memcpy(data, &key, 4);
  std::memcpy(data + 4, &at, 8);
  FAVT64_NODE* a = favt64_alloc_node(r, data, kFavtIndexIntDataLen);
  FAVT64_NODE* got = a ? favt64_insert(&err, r, &r->node, a, cmp_assoc64_integer, nullptr) : nullptr;
  if (got != a || !a) {
    if (a && got) er_panic("assoc_insert_integer");
    favt64_free_node(a);  // not linked: the tree is damaged, or no room for the node
    free_filespace64(k->p, uint64_t(at));
    return -1;
  }
  return 0;
}

// ---- string indexes ----------------------------------------------------------------------

// The key's current value (its 514 record), 0 when absent, -1 when the trie is damaged or
// the key holds something else than one text.
int64_t current_string(ASSOC64_KEY* k, FAVT64_ROOT* r, const L_CHAR* key) {
  int err = 0;
  uint64_t old = search_dtree64(&err, nullptr, r, key, 1);
  if (damage(err)) return -1;
  if (old && !is_text(k->p, old)) return -1;
  return int64_t(old);
}

int insert_assoc64_string(ASSOC64_KEY* k, FAVT64_ROOT* r, const L_CHAR* key, const char* text) {
  if (!key || !key[0]) return -1;
  int64_t old = current_string(k, r, key);
  if (old < 0) return -1;
  // The new text is in place before the key names it, and the old one goes once the key's
  // node is written back: a failed insertion (a damaged trie, or a node or level that
  // cannot be written) leaves the key as it was.
  FacHold hold(&k->p->fac);
  int64_t at = alloc64_data(k->p, text);
  if (at <= 0) return -1;
  int err = 0;
  if (insert_dtree64(&err, r, key, uint64_t(old), uint64_t(at)) < 0) {
    free_filespace64(k->p, uint64_t(at));
    return -1;
  }
  if (old) favt64_free_later(k->p, uint64_t(old));
  return 0;
}

// ---- collecting all values ---------------------------------------------------------------

// Conses the value (read under a frame of its own) onto the front of the list, which stays
// rooted in the collection's frame: 0, or -1 when it cannot be read (the walk ends).
int collect(GET_ALL_WORK* w, const char* label, ASSOC64_KEY* k, uint64_t ofs, const unsigned char* rec) {
  gc_push(nullptr, nullptr, label);
  TQ_SEXP* v = read_value(k, ofs, rec);
  if (v) w->ret = cons(v, w->ret);
  gc_pop(w->ret, gc_qv_sexp);
  return v ? 0 : -1;
}

struct CollectWork {
  GET_ALL_WORK all;
  ASSOC64_KEY* k;
};

int get_all_integer_func64(FAVT64_NODE* n, void* work) {
  auto* cw = static_cast<CollectWork*>(work);
  return collect(&cw->all, "get_all_integer", cw->k, uint64_t(int_data(n).fofs), nullptr);
}

int get_all_string_func64(uint64_t value, void* record, DTREE64_TRACE_WORK* st) {
  auto* cw = static_cast<CollectWork*>(st->w);
  const auto* rec = record ? reinterpret_cast<const unsigned char*>(record) + sizeof(ACC64_HEADER) : nullptr;
  return collect(&cw->all, "get_all_string", cw->k, value, rec);
}

}  // namespace

int open_associate64(const char* path, int oflags, int mode, uint32_t flags, int32_t type, const char* encoding) {
  int key = 1;
  while (key <= kAssocSlots && as_key64[key].p) ++key;
  if (key > kAssocSlots) return -1;
  PDB64* p = open_filespace64(path, oflags, mode, flags, type, encoding);
  if (!p) return -1;
  auto* rec = static_cast<unsigned char*>(read_filespace64f(p, 0));
  auto* fh = static_cast<PN64_FILE_HEADER*>(d_calloc(1, sizeof(PN64_FILE_HEADER)));
  if (rec) file_header64_from_record(fh, rec);
  if (rec) d_f_ree(rec);
  char name[sizeof fh->encoding + 1] = {};
  std::memcpy(name, fh->encoding, sizeof fh->encoding);
  CODE_METHOD* cm = rec ? search_cm(name) : nullptr;
  if (!cm) {  // texts in an unknown encoding would depend on the process that wrote them
    d_f_ree(fh);
    close_filespace64(p);
    errno = EINVAL;
    return -1;
  }
  ASSOC64_KEY& k = as_key64[key];
  k = ASSOC64_KEY{p, fh, nullptr, 0, 0, cm};
  uint64_t ofs = 0;
  if (auto* hdr = static_cast<unsigned char*>(get_file_record64(&ofs, p, int16_t(kRecIndexHeader), 0))) {
    read_header(&k, hdr, ofs);
    d_f_ree(hdr);
  }
  return key;
}

int close_associate64(int key) {
  ASSOC64_KEY* k = slot(key);
  if (!k) return -1;
  int rc = close_filespace64(k->p);
  d_f_ree(k->fheader);
  if (k->assoc) d_f_ree(k->assoc);
  *k = ASSOC64_KEY{};
  return rc;
}

int new_index64(int key, int type, int16_t name) {
  ASSOC64_KEY* k = slot(key);
  if (!k || get_index64(key, name) >= 0) return -1;
  FacHold hold(&k->p->fac);
  FAVT64_ROOT* r;
  if (type == kAssocInteger)
    r = favt64_alloc_root(k->p, kFavtKindIndexInt, integer_endian64);
  else if (type == kAssocString)
    r = alloc64_dtree(k->p, kAssocStringKind);
  else
    er_panic("new_index");
  // The header names the root: it is written first, as an empty tree.
  if (!r || favt64_write(&r->h) < 0) {
    favt64_free_root(r);
    return -1;
  }
  int pos = k->assoc_len;
  k->assoc = static_cast<ASSOC64_INDEX*>(d_re_alloc(k->assoc, size_t(pos + 1) * sizeof(ASSOC64_INDEX)));
  if (!k->assoc) er_panic("new_index");
  k->assoc[pos] = ASSOC64_INDEX{int64_t(r->h.fofs), int16_t(type), name};
  k->assoc_len = pos + 1;
  if (write_header(k) == 0) return pos;
  k->assoc_len = pos;  // the file still lists the old indexes: so does the slot
  favt64_free_root(r);
  return -1;
}

int get_index64(int key, int16_t name) {
  ASSOC64_KEY* k = slot(key);
  if (!k) return -1;
  for (int i = 0; i < k->assoc_len; ++i)
    if (k->assoc[i].name == name) return i;
  return -1;
}

int get_index_type64(int key, int pos) {
  ASSOC64_KEY* k = slot_at(key, pos);
  return k ? k->assoc[pos].type : -1;
}

int insert_associate64(int key, int pos, const void* key_value, TQ_SEXP* value) {
  ASSOC64_KEY* k = slot_at(key, pos);
  if (!k || !key_value) return -1;
  int16_t type = k->assoc[pos].type;
  if (type != kAssocInteger && type != kAssocString) er_panic("insert_associate(3)");
  char* text = print_value(k, value);
  if (!text) return -1;
  FAVT64_ROOT* r = index_root(k, pos);
  int rc = -1;
  if (r && type == kAssocInteger)
    rc = insert_assoc64_integer(k, r, *static_cast<const int32_t*>(key_value), text);
  else if (r)
    rc = insert_assoc64_string(k, r, static_cast<const L_CHAR*>(key_value), text);
  d_f_ree(text);
  return rc;
}

TQ_SEXP* search_associate64(int key, int pos, const void* key_value, ASSOC64_STRING_OPT* opt) {
  ASSOC64_KEY* k = slot_at(key, pos);
  if (!k || !key_value) return nullptr;
  FAVT64_ROOT* r = index_root(k, pos);
  if (!r) return nullptr;
  if (k->assoc[pos].type == kAssocInteger) {
    int err;
    FAVT64_NODE* n = find_int(r, *static_cast<const int32_t*>(key_value), &err);
    if (!n) return nullptr;
    return read_value(k, uint64_t(int_data(n).fofs));
  }
  if (k->assoc[pos].type != kAssocString) return nullptr;
  auto* skey = static_cast<const L_CHAR*>(key_value);
  uint64_t at = search_dtree64(nullptr, opt ? &opt->size : nullptr, r, skey, opt ? opt->flags : 1);
  if (!at) return nullptr;
  return read_value(k, at);
}

int delete_associate64(int key, int pos, const L_CHAR* key_value) {
  ASSOC64_KEY* k = slot_at(key, pos);
  if (!k || !key_value || !key_value[0] || k->assoc[pos].type != kAssocString) return -1;
  FAVT64_ROOT* r = index_root(k, pos);
  int64_t old = r ? current_string(k, r, key_value) : -1;
  if (old <= 0) return -1;  // absent (or damaged): nothing to delete
  if (delete_dtree64(nullptr, r, key_value, 0) < 0) return -1;
  favt64_free_later(k->p, uint64_t(old));
  return 0;
}

TQ_SEXP* get_assoc64_all(int key, int pos) {
  ASSOC64_KEY* k = slot_at(key, pos);
  if (!k) return nullptr;
  GcFrame frame("get_assoc64_all");
  CollectWork cw{GET_ALL_WORK{k->p, nullptr, k->cm}, k};
  check_cache64("assoc 1");
  FAVT64_ROOT* r = index_root(k, pos);
  check_cache64("assoc 2");
  if (!r) return nullptr;
  int err = 0, rc = -1;
  if (k->assoc[pos].type == kAssocInteger)
    rc = favt64_trace_from_large(&err, r, root_node64(&err, r), get_all_integer_func64, &cw);
  else if (k->assoc[pos].type == kAssocString)
    rc = dtree64_trace_from_large(&err, r, get_all_string_func64, &cw);
  return rc == 0 && !damage(err) ? frame.release(cw.all.ret) : nullptr;
}

int64_t alloc64_data(PDB64* p, const char* text) {
  const int64_t len = int64_t(std::strlen(text));
  uint64_t body = std::max<uint64_t>(uint64_t(len) + 1, kAssocMinText);
  uint64_t m = sizeof(PN64_HEADER) + body;
  PN64_HEADER h{};
  h.type = kRecIndexValue;
  h.size = m;
  FacHold hold(&p->fac);
  int64_t at = alloc_filespace64(p, &h);
  if (at <= 0) return -1;
  auto* rec = static_cast<unsigned char*>(d_calloc(1, m));
  set_rec_head64(rec, kRecIndexValue, m);
  std::memcpy(rec + sizeof(PN64_HEADER), text, size_t(len));
  int rc = write_filespace64f(p, uint64_t(at), rec);
  d_f_ree(rec);
  if (rc < 0) {
    const int err = errno;
    free_filespace64(p, uint64_t(at));
    errno = err;
    return -1;
  }
  return at;
}

int cmp_assoc64_integer(void* node_data, void* key, void*) {
  int32_t a, b;
  std::memcpy(&a, node_data, 4);
  std::memcpy(&b, key, 4);
  return a > b ? 1 : a < b ? -1 : 0;
}

void integer_endian64(void* data, int64_t len) {
  if (!endian_flag || len < kFavtIndexIntDataLen) return;
  auto* b = static_cast<unsigned char*>(data);
  uint32_t key;
  uint64_t ofs;
  std::memcpy(&key, b, 4);
  std::memcpy(&ofs, b + 4, 8);
  key = __builtin_bswap32(key);
  ofs = __builtin_bswap64(ofs);
  std::memcpy(b, &key, 4);
  std::memcpy(b + 4, &ofs, 8);
}

}  // namespace tq
