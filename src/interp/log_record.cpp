// Log records: field access by index, copies, the (Log ...) form, and path templates.
#include "interp/log_record.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "interp/interpreter.h"
#include "interp/log_cond.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/paths.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

const char* const log_level_msg[kLogLevels] = {"TEST", "DEBUG", "WARNING", "ERROR", "SYSTEM", "MESSAGE"};
const char* const log_layer[kLogLayers] = {"NANE", "LIB", "TQoHTTP", "STREAM", "TQ", "QV", "UI"};

namespace {

using LText = std::basic_string<L_CHAR>;

// Where each field index lives in the data (pointers take 8 bytes here, so the fields are
// found by offset rather than as sixteen words).
constexpr size_t kURL = offsetof(LOG_NODE_DATA_D, u);  // d is the data's only member
constexpr size_t kFieldOffset[kLogFields] = {
    offsetof(LOG_NODE_DATA_D, time),   offsetof(LOG_NODE_DATA_D, level), kURL + offsetof(URL, proto),
    kURL + offsetof(URL, server),      kURL + offsetof(URL, port),        kURL + offsetof(URL, agent),
    kURL + offsetof(URL, db),          kURL + offsetof(URL, resource),    kURL + offsetof(URL, query),
    kURL + offsetof(URL, name),        kURL + offsetof(URL, user),        kURL + offsetof(URL, passwd),
    offsetof(LOG_NODE_DATA_D, layer),  offsetof(LOG_NODE_DATA_D, user),  offsetof(LOG_NODE_DATA_D, key),
    offsetof(LOG_NODE_DATA_D, data),
};

struct FIELD_NAME {
  const char* name;
  int index;
};
constexpr FIELD_NAME kFieldNames[] = {
    {"time", 0},       {"level", 1},        {"URL.proto", 2},     {"URL.server", 3}, {"URL.port", 4}, {"URL.agent", 5},
    {"URL.database", 6}, {"URL.resource", 7}, {"user", 13},       {"key", 14},       {"data", 15},
};

LText ltext(const char* a) {
  LText r;
  while (*a) r.push_back(L_CHAR(static_cast<unsigned char>(*a++)));
  return r;
}

L_CHAR* heap_text(const LText& t) {
  auto* r = static_cast<L_CHAR*>(d_alloc((t.size() + 1) * sizeof(L_CHAR)));
  std::memcpy(r, t.data(), t.size() * sizeof(L_CHAR));
  r[t.size()] = 0;
  return r;
}

// A field's value as a path part: it may not add a folder level or climb out.
LText path_safe(LText v) {
  for (L_CHAR& c : v)
    if (c == '/') c = '_';
  for (size_t at = v.find(ltext("..")); at != LText::npos; at = v.find(ltext(".."), at)) v.replace(at, 2, ltext("__"));
  return v;
}

L_CHAR* get_preference(LOG_NODE_DATA*, const L_CHAR*) { return _xx_nl_copy_str_1(std_cm, get_preference_path(), __FILE__, __LINE__); }

L_CHAR* get_data_info(LOG_NODE_DATA* d, const L_CHAR* name) {
  const int index = log_field_index(name);
  if (!d || index < 0) return nullptr;
  LText v;
  if (log_field_is_int(index)) {
    char n[16];
    std::snprintf(n, sizeof n, "%i", *log_field_int(d, index));
    v = ltext(n);
  } else if (const L_CHAR* t = *log_field_text(d, index)) {
    v = t;
  }
  return heap_text(path_safe(std::move(v)));
}

struct SYM_DATA_TYPE {
  const char* name;
  L_CHAR* (*func)(LOG_NODE_DATA* d, const L_CHAR* name);
};
constexpr SYM_DATA_TYPE sym_data_list[] = {
    {"preference", get_preference}, {"time", get_data_info},         {"level", get_data_info},
    {"URL.proto", get_data_info},   {"URL.server", get_data_info},   {"URL.port", get_data_info},
    {"URL.agent", get_data_info},   {"URL.database", get_data_info}, {"URL.resource", get_data_info},
    {"user", get_data_info},        {"key", get_data_info},          {"data", get_data_info},
    {nullptr, nullptr},
};

// The index of text in names (exact), or -1.
int name_index(TQ_SEXP* v, const char* const* names, int count) {
  for (int i = 0; i < count; ++i)
    if (l_text_is(v->string.data, names[i])) return i;
  return -1;
}

// A level or layer element: a name of the table or an integer; false for anything else.
bool read_coded(TQ_SEXP* v, const char* const* names, int count, int* out) {
  const int t = get_type(v);
  if (t == kTagInteger) {
    *out = int(v->integer.data);
    return true;
  }
  if (t != kTagString) return false;
  const int i = name_index(v, names, count);
  if (i < 0) return false;
  *out = i;
  return true;
}

TQ_SEXP* named_element(TQ_SEXP* form, const char* name) {
  TQ_SEXP* sub = get_el_by_symbol(form, _l_string_1(std_cm, name), nullptr);
  return get_type(sub) == kTagPair ? sub : nullptr;
}

TQ_SEXP* coded_cell(int v, const char* const* names, int count) {
  return v >= 0 && v < count ? n_get_string(names[v]) : get_integer(v, nullptr);
}

TQ_SEXP* tagged(const char* name, TQ_SEXP* value) { return List(n_get_symbol(name), value, kListEnd); }

}  // namespace

int* log_field_int(LOG_NODE_DATA* d, int index) {
  return reinterpret_cast<int*>(reinterpret_cast<char*>(d) + kFieldOffset[index]);
}

L_CHAR** log_field_text(LOG_NODE_DATA* d, int index) {
  return reinterpret_cast<L_CHAR**>(reinterpret_cast<char*>(d) + kFieldOffset[index]);
}

int log_field_index(const L_CHAR* name) {
  for (const FIELD_NAME& f : kFieldNames)
    if (l_text_is(name, f.name)) return f.index;
  return -1;
}

namespace {

// Frees every text of d that does not lie in the block [keep, keep + bytes) of its record.
void free_texts(LOG_NODE_DATA* d, const void* keep, int bytes) {
  const auto lo = reinterpret_cast<uintptr_t>(keep);
  for (int i = 0; i < kLogFields; ++i)
    if (!log_field_is_int(i)) {
      L_CHAR** t = log_field_text(d, i);
      if (*t && reinterpret_cast<uintptr_t>(*t) - lo >= uintptr_t(bytes)) d_f_ree(*t);
      *t = nullptr;
    }
}

}  // namespace

void free_v_log_node_data(LOG_NODE_DATA* d) { free_texts(d, nullptr, 0); }

void copy_log_node_fields(LOG_NODE_DATA* to, const LOG_NODE_DATA* from, unsigned skip) {
  auto* src = const_cast<LOG_NODE_DATA*>(from);
  for (int i = 0; i < kLogFields; ++i) {
    if ((skip >> i) & 1) continue;
    if (log_field_is_int(i))
      *log_field_int(to, i) = *log_field_int(src, i);
    else
      *log_field_text(to, i) = ll_copy_str(*log_field_text(src, i));
  }
}

void copy_log_node_data(LOG_NODE_DATA* to, const LOG_NODE_DATA* from) { copy_log_node_fields(to, from, 0); }

LOG_NODE* new_log_node() { return reinterpret_cast<LOG_NODE*>(new_queue_node(int(sizeof(LOG_NODE)))); }

LOG_ACTION* copy_wait_action(const LOG_ACTION* a) {
  if (!a) return nullptr;
  auto* c = static_cast<LOG_ACTION*>(d_alloc(sizeof(LOG_ACTION)));
  *c = *a;
  c->next = nullptr;
  c->cond = nullptr;
  c->path = nullptr;
  return c;
}

LOG_NODE* copy_log_node(const LOG_NODE* n) {
  LOG_NODE* c = new_log_node();
  copy_log_node_data(&c->d, &n->d);
  c->wait_action = copy_wait_action(n->wait_action);
  return c;
}

void free_log_node_parts(LOG_NODE* n) {
  free_texts(&n->d, n, n->block);
  if (n->wait_action) d_f_ree(n->wait_action);
  if (n->h.key) d_f_ree(n->h.key);
  n->wait_action = nullptr;
  n->h.key = nullptr;
}

void free_log_node(LOG_NODE* n) {
  free_log_node_parts(n);
  d_f_ree(n);
}

const char* log_level_name(int level) { return level >= 0 && level < kLogLevels ? log_level_msg[level] : nullptr; }
const char* log_layer_name(int layer) { return layer >= 0 && layer < kLogLayers ? log_layer[layer] : nullptr; }

TQ_SEXP* get_log_node_sexp(LOG_NODE_DATA* d) {
  const LOG_NODE_DATA_D& r = d->d;
  const L_CHAR* url = r.u.proto ? get_url_str2(&r.u) : nullptr;
  TQ_SEXP* tail = r.data ? list(tagged("data", get_string(r.data)), nullptr) : nullptr;
  if (r.user) tail = cons(tagged("user", get_string(r.user)), tail);
  if (r.layer != 0) tail = cons(tagged("layer", coded_cell(r.layer, log_layer, kLogLayers)), tail);
  return cons(n_get_symbol("Log"),
              cons(tagged("time", get_integer(uint32_t(r.time), _l_string_2(std_cm, "sec"))),
                   cons(tagged("level", coded_cell(r.level, log_level_msg, kLogLevels)),
                        cons(tagged("URL", get_string(url)), tail))));
}

void get_log_node_data_from_sexp(LOG_NODE_DATA* d, TQ_SEXP* form) {
  LOG_NODE_DATA_D& r = d->d;
  if (TQ_SEXP* s = named_element(form, "time")) {
    TQ_SEXP* v = get_el(s, 1);
    if (get_type(v) != kTagInteger) return;
    r.time = int(v->integer.data);
  }
  if (TQ_SEXP* s = named_element(form, "level"))
    if (!read_coded(get_el(s, 1), log_level_msg, kLogLevels, &r.level)) return;
  if (TQ_SEXP* s = named_element(form, "URL")) {
    TQ_SEXP* v = get_el(s, 1);
    if (get_type(v) != kTagString) return;
    free_url(&r.u);
    get_url2(&r.u, v->string.data);
  }
  if (TQ_SEXP* s = named_element(form, "layer"))
    if (!read_coded(get_el(s, 1), log_layer, kLogLayers, &r.layer)) return;
  for (const char* name : {"user", "data"}) {
    TQ_SEXP* s = named_element(form, name);
    if (!s) continue;
    TQ_SEXP* v = get_el(s, 1);
    if (get_type(v) != kTagString) return;
    L_CHAR** field = name[0] == 'u' ? &r.user : &r.data;
    if (*field) d_f_ree(*field);
    *field = ll_copy_str(v->string.data);
  }
}

L_CHAR* get_sym_data(LOG_NODE_DATA* d, const L_CHAR* name) {
  for (const SYM_DATA_TYPE* s = sym_data_list; s->name; ++s)
    if (l_text_is(name, s->name)) return s->func(d, name);
  return nullptr;
}

L_CHAR* parse_dir_path(LOG_NODE_DATA* d, const L_CHAR* tmpl) {
  LText out;
  const LText t = tmpl ? tmpl : LText();
  for (size_t i = 0; i < t.size();) {
    if (t[i] != '\\' || i + 1 >= t.size() || t[i + 1] != '{') {
      out.push_back(t[i++]);
      if (t[i - 1] == '\\' && i < t.size()) out.push_back(t[i++]);  // the escaped character
      continue;
    }
    const size_t close = t.find('}', i + 2);
    L_CHAR* v = nullptr;
    if (close != LText::npos) v = get_sym_data(d, t.substr(i + 2, close - i - 2).c_str());
    if (!v) {
      out.append(t, i, 2);  // as written; copying goes on after the brace
      i += 2;
      continue;
    }
    out += v;
    d_f_ree(v);
    i = close + 1;
  }
  return heap_text(out);
}

char* get_logfile(const L_CHAR* path, int no) {
  const char* narrow = n_string(std_cm, path);
  const size_t n = std::strlen(narrow) + 20;
  auto* r = static_cast<char*>(d_alloc(n));
  std::snprintf(r, n, "%slog%i", narrow, no);
  return r;
}

}  // namespace tq
