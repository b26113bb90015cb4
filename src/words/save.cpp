// "Save": a value written to a file as printed language text (S-expression, XML or HTML), as
// the bytes of a list of raw cells, or as a comma-separated table whose columns are given or
// derived from the records. The file is always opened read-write with the open flags the
// attributes choose; a write that fails (a full disk, a file-size limit) is an error. A save
// that answers an error leaves the file as it found it, as the core word save does, through
// the same open and close (stream/save_file.h).
#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "interp/interpreter.h"
#include "lang/core_words.h"
#include "lang/eval.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "stream/file_stream.h"
#include "stream/save_file.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "words/output.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

enum : int { SAVE_RAW = 0, SAVE_TQ = 1, SAVE_CSV = 2 };

// One column of a table (debug heap).
struct CSV_FIELD_LIST {
  CSV_FIELD_LIST* next;
  L_CHAR* title;
  int type;        // the cell type the column takes; 2 for a column keyed by a field name
  L_CHAR* symbol;  // the field name the column takes from records, or null
  TQ_SEXP* data;   // the value in the record being written; null when empty
  int flags;       // 1: taken in the record being examined
};

constexpr WORD_KEYWORD kOpenFlags[] = {{"creat", O_CREAT}, {"trunc", O_TRUNC}, {"append", O_APPEND}, {nullptr, 0}};

struct SaveOptions {
  int kind = SAVE_TQ;
  int oflag = 0;
  int perm = 0600;
  int print_flags = kPrintLines;
  const L_CHAR* encoding = nullptr;
};

void on_off(const L_CHAR* v, int bit, int* flags) {
  if (l_text_is(v, "on")) *flags |= bit;
  if (l_text_is(v, "off")) *flags &= ~bit;
}

// The attributes in list order; false for a bad "option" or "oflag".
bool read_options(TQ_SYM_FIELD* sf, SaveOptions* o) {
  for (TQ_SYM_FIELD* f = sf; f; f = f->next) {
    const L_CHAR* v = f->data;
    if (l_text_is(f->name, "option")) {
      static constexpr const char* kKinds[] = {"raw", "tq", "csv"};
      int k = 0;
      while (k < 3 && !l_text_is(v, kKinds[k])) ++k;
      if (k == 3) return false;
      o->kind = k;
    } else if (l_text_is(f->name, "oflag")) {
      if (!keyword_flags(v, kOpenFlags, &o->oflag)) return false;
    } else if (l_text_is(f->name, "mode")) {
      std::sscanf(n_string(std_cm, v), "%i", &o->perm);
    } else if (l_text_is(f->name, "format.mode")) {
      static constexpr const char* kForms[] = {"lisp", "xml", "html"};
      for (int m = 0; m < 3; ++m)
        if (l_text_is(v, kForms[m])) o->print_flags = (o->print_flags & ~kPrintModeMask) | m;
    } else if (l_text_is(f->name, "format.indent")) {
      on_off(v, kPrintIndent, &o->print_flags);
    } else if (l_text_is(f->name, "format.multiroot")) {
      on_off(v, kPrintLines, &o->print_flags);
    } else if (l_text_is(f->name, "format.text")) {
      on_off(v, kPrintBare, &o->print_flags);
    } else if (l_text_is(f->name, "encoding")) {
      o->encoding = v;
    }
  }
  return true;
}

TQ_SEXP* type_error(TQ_SEXP* s, int which) {
  return lang_error(s, ER_TYPE, "Save", list(n_get_string("save:type missmatch"), get_integer(which, nullptr), nullptr));
}

TQ_SEXP* nesting_error(TQ_SEXP* s) {
  return lang_error(s, ER_NESTING, "Save", list(n_get_string("nesting too deep"), nullptr));
}

// Writes every byte of a raw cell: 0, or -1 on a write failure.
int tq_save_write(STREAM* st, TQ_SEXP* raw) {
  const char* p = reinterpret_cast<const char*>(raw->raw.data);
  for (int64_t left = raw->raw.data ? raw->raw.size : 0; left > 0;) {
    const int n = s_write(st, p, left > (1 << 30) ? 1 << 30 : int(left));
    if (n <= 0) return -1;
    p += n;
    left -= n;
  }
  return 0;
}

// ---- Tables.

CSV_FIELD_LIST* new_column(const L_CHAR* title, int type, const L_CHAR* symbol) {
  auto* c = static_cast<CSV_FIELD_LIST*>(d_calloc(1, sizeof(CSV_FIELD_LIST)));
  c->title = ll_copy_str(title);
  c->type = type;
  c->symbol = ll_copy_str(symbol);
  return c;
}

CSV_FIELD_LIST* append_column(CSV_FIELD_LIST** fields, CSV_FIELD_LIST* c) {
  CSV_FIELD_LIST** at = fields;
  while (*at) at = &(*at)->next;
  *at = c;
  return c;
}

void free_csv_field_list(CSV_FIELD_LIST* f) {
  while (f) {
    CSV_FIELD_LIST* next = f->next;
    d_f_ree(f->title);
    d_f_ree(f->symbol);
    d_f_ree(f);
    f = next;
  }
}

bool symbol_headed(TQ_SEXP* x) { return get_type(x) == kTagPair && get_type(x->pair.car) == kTagSymbol; }
const L_CHAR* head_name(TQ_SEXP* x) { return x->pair.car->symbol.data; }

// The column of a named field (or of a cell type, name null) that is still free: with
// by_data, free means empty of data; otherwise not yet taken (flags clear).
CSV_FIELD_LIST* free_column(CSV_FIELD_LIST* f, const L_CHAR* name, int type, bool by_data) {
  for (; f; f = f->next) {
    const bool fits = name ? f->symbol && l_strcmp(f->symbol, name) == 0 : f->type == type;
    if (fits && (by_data ? !f->data : !f->flags)) return f;
  }
  return nullptr;
}

L_CHAR* type_title(int type) {
  char t[16];
  std::snprintf(t, sizeof t, "tp%i", type);
  return _l_string_1(std_cm, t);
}

CSV_FIELD_LIST* csv_generate_field_list(TQ_SEXP* records) {
  CSV_FIELD_LIST* fields = new_column(_l_string_2(std_cm, "RECORD-TYPE"), kTagPair, nullptr);
  for (TQ_SEXP* r = records; get_type(r) == kTagPair; r = r->pair.cdr) {
    for (CSV_FIELD_LIST* f = fields; f; f = f->next) f->flags = 0;
    TQ_SEXP* rec = r->pair.car;
    const int t = get_type(rec);
    if (t != kTagPair) {
      append_column(&fields, new_column(type_title(t), t, nullptr));
      continue;
    }
    if (!symbol_headed(rec)) continue;
    for (TQ_SEXP* p = rec->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
      TQ_SEXP* e = p->pair.car;
      const int et = get_type(e);
      if (et == kTagPair && !symbol_headed(e)) continue;
      const L_CHAR* name = et == kTagPair ? head_name(e) : nullptr;
      CSV_FIELD_LIST* c = free_column(fields, name, et, false);
      if (!c) c = append_column(&fields, name ? new_column(name, 0, name) : new_column(type_title(et), et, nullptr));
      c->flags = 1;
    }
  }
  return fields;
}

CSV_FIELD_LIST* csv_get_field_list(TQ_SEXP* shape) {
  CSV_FIELD_LIST* fields = nullptr;
  for (TQ_SEXP* p = shape; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    if (!symbol_headed(e)) continue;
    TQ_SEXP* key = get_el(e, 1);
    switch (get_type(key)) {
      case kTagString: append_column(&fields, new_column(head_name(e), kTagPair, key->string.data)); break;
      case kTagSymbol: append_column(&fields, new_column(head_name(e), kTagPair, key->symbol.data)); break;
      case kTagInteger: append_column(&fields, new_column(head_name(e), int(key->integer.data), nullptr)); break;
      default: break;
    }
  }
  return fields;
}

// A new string: in double quotes when it holds a quote or a comma (inner quotes as they are),
// then every line feed, carriage return and tab a blank.
L_CHAR* csv_convert_string(const L_CHAR* text) {
  bool quote = false;
  const int n = l_strlen(text);
  for (int i = 0; i < n; ++i) quote |= text[i] == '"' || text[i] == ',';
  auto* r = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + 3)));
  int k = 0;
  if (quote) r[k++] = '"';
  for (int i = 0; i < n; ++i) r[k++] = text[i] == '\n' || text[i] == '\r' || text[i] == '\t' ? ' ' : text[i];
  if (quote) r[k++] = '"';
  r[k] = 0;
  return r;
}

void fill_columns(TQ_SEXP* rec, CSV_FIELD_LIST* fields) {
  for (CSV_FIELD_LIST* f = fields; f; f = f->next) f->data = nullptr;
  auto put = [](CSV_FIELD_LIST* c, TQ_SEXP* v) {
    if (c) c->data = get_type(v) == kTagNil ? nullptr : v;
  };
  const int t = get_type(rec);
  if (t != kTagPair) return put(free_column(fields, nullptr, t, true), rec);
  if (!symbol_headed(rec)) return;
  put(free_column(fields, nullptr, kTagPair, false), rec->pair.car);
  for (TQ_SEXP* p = rec->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    const int et = get_type(e);
    if (et != kTagPair)
      put(free_column(fields, nullptr, et, true), e);
    else if (symbol_headed(e))
      put(free_column(fields, head_name(e), 0, true), get_el(e, 1));
  }
}

void write_cell(STREAM* st, int* err, TQ_SEXP* v) {
  switch (get_type(v)) {
    case kTagNil: return;
    case kTagError: e_printf(st, err, "!!ERROR!!"); return;
    case kTagSymbol: e_printf(st, err, "%ls", v->symbol.data); return;
    case kTagString: {
      L_CHAR* t = csv_convert_string(v->string.data);
      e_printf(st, err, "%ls", t);
      d_f_ree(t);
      return;
    }
    case kTagInteger: e_printf(st, err, "%lli", static_cast<long long>(v->integer.data)); return;
    case kTagFloat: e_printf(st, err, "%f", v->floating.data); return;
    default: e_printf(st, err, "!!D(%i)!!", int(get_type(v)));
  }
}

// The table: the titles, an empty line, one line per record. 0, or the write's error.
int tq_save_csv_pat1(STREAM* st, TQ_SEXP* records, CSV_FIELD_LIST* fields) {
  int err = 0;
  for (CSV_FIELD_LIST* f = fields; f; f = f->next) e_printf(st, &err, f->next ? "%ls," : "%ls", f->title);
  e_printf(st, &err, "\n\n");
  for (TQ_SEXP* r = records; get_type(r) == kTagPair && !err; r = r->pair.cdr) {
    fill_columns(r->pair.car, fields);
    for (CSV_FIELD_LIST* f = fields; f; f = f->next) {
      write_cell(st, &err, f->data);
      e_printf(st, &err, f->next ? "," : "\n");
    }
  }
  return err;
}

// Writes the value in the chosen kind: null, or the error (the file still open). A write
// that fails sets *failed (its error waits for the close, which may learn why).
TQ_SEXP* write_value(STREAM* st, TQ_SEXP* s, const SaveOptions& o, bool* failed) {
  TQ_SEXP* value = get_el(s, 2);
  if (o.kind == SAVE_TQ) {
    int err = 0;
    if (e_print_sexp(st, &err, value, o.print_flags) >= 0) return nullptr;
    if (err == ELOOP) return nesting_error(s);
    *failed = true;
    return nullptr;
  }
  if (o.kind == SAVE_CSV) {
    CSV_FIELD_LIST* fields = list_length(s) == 3 ? csv_generate_field_list(value) : csv_get_field_list(get_el(s, 3));
    *failed = tq_save_csv_pat1(st, value, fields) != 0;
    free_csv_field_list(fields);
    return nullptr;
  }
  if (get_type(value) != kTagPair) return type_error(s, 5);
  for (TQ_SEXP* p = value; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    if (get_type(e) == kTagError) return e;
    if (get_type(e) != kTagRaw) return type_error(s, 6);
    if (tq_save_write(st, e) < 0) {
      *failed = true;
      return nullptr;
    }
  }
  return nullptr;
}

// The file is opened, and undone when the save fails, as stream/save_file.h says.
TQ_SEXP* tq_Save(TQ_WORD_ARGS) {
  SaveOptions o;
  if (!read_options(sf, &o)) return lang_error_text(s, ER_INVALID_PARAM, "Save", "invalid parameter");
  TQ_SEXP* name = get_el(s, 1);
  if (get_type(name) != kTagString) return type_error(s, 1);
  // Nothing is read once it is open; a value too deep to print leaves the file untouched.
  if (o.kind == SAVE_TQ && !realize_for_print(get_el(s, 2), o.print_flags)) return nesting_error(s);
  SAVE_FILE file;
  STREAM* st = open_save_stream(n_string(std_cm, name->string.data), O_RDWR | o.oflag, o.perm, "Save", &file);
  if (!st) return save_access_error(s, "Save", name, &file);
  if (o.encoding) set_encoding_st(st, o.encoding);
  bool failed = start_save_writes(st, &file) != 0;
  TQ_SEXP* r = failed ? nullptr : write_value(st, s, o, &failed);
  if (close_save_stream(st, &file, !failed && !r) != 0) failed = true;
  return failed && !r ? save_access_error(s, "Save", name, &file) : r;
}

}  // namespace

void init_Save(TQISP_ENV* env) { bind_word(env, "Save", tq_Save, 1, nullptr, 3, 4); }

}  // namespace tq
