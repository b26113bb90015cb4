// Log conditions: the (Condition ...) and (Action ...) syntax, the word SetLogCondition,
// set_log_path, and the matching of a record against a condition.
#include "interp/log_cond.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <cstdlib>
#include <iterator>

#include "interp/interpreter.h"
#include "interp/log_queue.h"
#include "lang/core_words.h"
#include "platform/d_alloc.h"
#include "platform/file.h"
#include "stream/format.h"
#include "stream/log_hook.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "text/text_util.h"

namespace tq {

LOG_COND* condition_list;
std::atomic<void (*)()> log_conditions_built_hook;

namespace {

// Rows 1..4 the operators, 5..15 the record field names.
constexpr const char* fs_table[] = {"",          "*",          "=",         "<",          "<=",           "time",
                                    "level",     "URL.proto",  "URL.server", "URL.port",  "URL.agent",    "URL.database",
                                    "URL.resource", "user",     "key",        "data",      ""};
enum : int { FS_ANY = 1, FS_EQ = 2, FS_LT = 3, FS_LE = 4, FS_FIELD = 5 };

constexpr ATTR_TABLE log_cond_attr_table[] = {
    {"unlock", LO_UNLOCK}, {"lock", 0},      {"time", LO_TIME}, {"level", LO_LEVEL}, {"URL", LO_URL}, {"layer", LO_LAYER},
    {"user", LO_USER},     {"key", LO_KEY},  {"data", LO_DATA}, {"all", LO_ALL},     {nullptr, 0},
};

constexpr int kIntMax = 0x7fffffff;

TQ_SEXP* param_error(TQ_SEXP* at, const char* site, TQ_SEXP* data) {
  return get_error(at ? at->h.file : nullptr, at ? at->h.line : 0, ER_INVALID_PARAM, _l_string_1(std_cm, site), data);
}
TQ_SEXP* element_error(TQ_SEXP* at) { return param_error(at, "log condition element parameter", at); }

bool is_symbol(TQ_SEXP* s, const char* name) {
  return get_type(s) == kTagSymbol && l_text_is(s->symbol.data, name);
}

// One item of an element: an operator or field code, a value, or -1 for anything else.
enum : int { ITEM_VALUE = 0, ITEM_BAD = -1 };
int item_kind(TQ_SEXP* s) {
  const int t = get_type(s);
  if (t == kTagString || t == kTagInteger) return ITEM_VALUE;
  if (t == kTagSymbol) return get_log_cond_symbol(s->symbol.data);
  return ITEM_BAD;
}
bool is_field(int kind) { return kind >= FS_FIELD; }
bool is_order(int kind) { return kind == FS_LT || kind == FS_LE; }

void free_slot(LOG_NODE_DATA* d, int index) {
  if (log_field_is_int(index)) return;
  L_CHAR** t = log_field_text(d, index);
  if (*t) d_f_ree(*t);
  *t = nullptr;
}

// Stores value v (a cell, or null for the bound's minimum or maximum) in slot index of d:
// false when its type does not suit the field.
bool set_slot(LOG_NODE_DATA* d, int index, TQ_SEXP* v, bool maximum) {
  free_slot(d, index);
  if (log_field_is_int(index)) {
    if (v && get_type(v) != kTagInteger) return false;
    *log_field_int(d, index) = v ? int(v->integer.data) : maximum ? kIntMax : 0;
    return true;
  }
  if (v && get_type(v) != kTagString) return false;
  static const L_CHAR top[2] = {L_CHAR(kIntMax), 0};
  static const L_CHAR empty[1] = {0};
  *log_field_text(d, index) = ll_copy_str(v ? v->string.data : maximum ? top : empty);
  return true;
}

// The check code of "V OP1 F OP2 W" (op_before and op_after 0 when absent).
int range_code(int op_before, int op_after) {
  const int lower = op_before == FS_LT ? 0x28 : 0x50;  // no operator before: the inclusive minimum
  return lower & (op_after == FS_LT ? 0x18 : 0x60);
}

// The element as a shape: fills the field, code, low and high value cells.
struct Shape {
  int field = -1;  // fs_table row
  int code = 0;
  TQ_SEXP* low = nullptr;   // null: the minimum
  TQ_SEXP* high = nullptr;  // null: the maximum
};
bool match_shape(TQ_SEXP* const* item, const int* k, int n, Shape* s) {
  if (n == 3 && is_field(k[0]) && k[1] == FS_EQ && k[2] == ITEM_VALUE) {
    *s = Shape{k[0], LC_EQ, item[2], nullptr};  // (F = V)
  } else if (n == 3 && k[0] == ITEM_VALUE && k[1] == FS_EQ && is_field(k[2])) {
    *s = Shape{k[2], LC_EQ, item[0], nullptr};  // (V = F)
  } else if (n == 3 && k[0] == ITEM_VALUE && is_order(k[1]) && is_field(k[2])) {
    *s = Shape{k[2], range_code(k[1], 0), item[0], nullptr};  // (V OP F)
  } else if (n == 3 && is_field(k[0]) && is_order(k[1]) && k[2] == ITEM_VALUE) {
    *s = Shape{k[0], range_code(0, k[1]), nullptr, item[2]};  // (F OP V)
  } else if (n == 4 && is_field(k[0]) && k[1] == FS_EQ && k[2] == ITEM_VALUE && k[3] == FS_ANY) {
    *s = Shape{k[0], LC_BEGIN, item[2], nullptr};  // (F = V *)
  } else if (n == 4 && k[0] == ITEM_VALUE && k[1] == FS_ANY && k[2] == FS_EQ && is_field(k[3])) {
    *s = Shape{k[3], LC_BEGIN, item[0], nullptr};  // (V * = F)
  } else if (n == 4 && k[0] == FS_ANY && k[1] == ITEM_VALUE && k[2] == FS_EQ && is_field(k[3])) {
    *s = Shape{k[3], LC_END, item[1], nullptr};  // (* V = F)
  } else if (n == 5 && k[0] == ITEM_VALUE && is_order(k[1]) && is_field(k[2]) && is_order(k[3]) &&
             k[4] == ITEM_VALUE) {
    *s = Shape{k[2], range_code(k[1], k[3]), item[0], item[4]};  // (V OP1 F OP2 W)
  } else {
    return false;
  }
  return true;
}

int int_check(int code, int f, int lo, int hi) {
  switch (code) {
    case LC_EQ: return f == lo;
    case LC_BEGIN:
    case LC_END: return 1;
    case LC_LT_LT: return lo < f && f < hi;
    case LC_LE_LT: return lo <= f && f < hi;
    case LC_LT_LE: return lo < f && f <= hi;
    case LC_LE_LE: return lo <= f && f <= hi;
    default: return 1;
  }
}

int text_check(int code, const L_CHAR* f, const L_CHAR* lo, const L_CHAR* hi) {
  if (code == LC_EQ) return !f || !lo ? f == lo : l_strcmp(f, lo) == 0;
  if (!f || !lo) return 0;
  if (code == LC_BEGIN || code == LC_END) {
    const int nf = l_strlen(f), nv = l_strlen(lo);
    if (nv > nf) return 0;
    const L_CHAR* at = code == LC_BEGIN ? f : f + (nf - nv);
    for (int i = 0; i < nv; ++i)
      if (at[i] != lo[i]) return 0;
    return 1;
  }
  if (!hi) return 0;
  const int a = l_strcmp(lo, f), b = l_strcmp(f, hi);
  switch (code) {
    case LC_LT_LT: return a < 0 && b < 0;
    case LC_LE_LT: return a <= 0 && b < 0;
    case LC_LT_LE: return a < 0 && b <= 0;
    case LC_LE_LE: return a <= 0 && b <= 0;
    default: return 1;
  }
}

// Empties or makes the file a (Reset file="...") element names.
void reset_file(TQ_SEXP* head) {
  const L_CHAR* file = get_symbol_field(head, _l_string_1(std_cm, "file"));
  if (!file) return;
  L_CHAR* path = parse_dir_path(nullptr, file);
  const int fd = u_open(n_string(std_cm, path), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) u_close(fd);
  d_f_ree(path);
}

int dotted_address(const L_CHAR* text) { return text ? int(ntohl(inet_addr(n_string(std_cm, text)))) : 0; }
int decimal(const L_CHAR* text) { return text ? atoi(n_string(std_cm, text)) : 0; }

// The list whose actions the worker runs now, or null (lock_log): a replacement leaves it
// for the worker to free.
LOG_COND* worker_list;

void free_log_conds(LOG_COND* list) {
  while (LOG_COND* c = list) {
    list = c->next;
    free_log_cond(c);
  }
}

// One condition from a (Condition ...) form, not yet in force: the condition, or null with
// *err the first error.
LOG_COND* build_log_cond(TQ_SEXP* form, TQ_SEXP** err) {
  auto* cond = static_cast<LOG_COND*>(d_calloc(1, sizeof(LOG_COND)));
  for (TQ_SEXP* p = cdr(form); get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* el = p->pair.car;
    if (get_type(el) != kTagPair) continue;
    TQ_SEXP* head = el->pair.car;
    TQ_SEXP* e = is_symbol(head, "Action") ? get_log_cond_action(cond, head) : get_log_cond_element(cond, el);
    if (e) {
      ss_printf("get_log_cond err\n");
      free_log_cond(cond);
      *err = e;
      return nullptr;
    }
  }
  return cond;
}

}  // namespace

int get_log_cond_symbol(const L_CHAR* name) {
  for (int i = 1; i < int(std::size(fs_table)) - 1; ++i)
    if (l_text_is(name, fs_table[i])) return i;
  return -1;
}

TQ_SEXP* get_log_cond_element(LOG_COND* cond, TQ_SEXP* element) {
  TQ_SEXP* head = get_el(element, 0);
  if (get_type(head) == kTagError) return head;
  TQ_SEXP* item[5];
  int kind[5];
  int n = 0;
  for (TQ_SEXP* p = element; get_type(p) == kTagPair; p = p->pair.cdr) {
    if (n == 5) return element_error(element);
    item[n] = p->pair.car;
    kind[n] = item_kind(item[n]);
    if (kind[n] == ITEM_BAD) return element_error(item[n]);
    ++n;
  }
  Shape s;
  if (!match_shape(item, kind, n, &s)) return element_error(element);
  const int index = log_field_index(_l_string_1(std_cm, fs_table[s.field]));
  if (!set_slot(&cond->low, index, s.low, false) || !set_slot(&cond->high, index, s.high, true))
    return element_error(element);
  cond->op[index] = char(s.code);
  return nullptr;
}

TQ_SEXP* get_log_cond_action(LOG_COND* cond, TQ_SEXP* head) {
  auto attr = [head](const char* name) { return get_symbol_field(head, _l_string_1(std_cm, name)); };
  const L_CHAR* type = attr("type");
  if (!type) return param_error(head, "log condition action attribute (type is required)", head);
  static constexpr const char* kTypes[] = {"save", "console", "relay", "wait"};
  int t = 0;
  for (int i = 0; i < 4 && !t; ++i)
    if (l_text_is(type, kTypes[i])) t = i + 1;
  if (!t) return param_error(head, "log condition action attribute (type)", head);
  int option = t == LA_SAVE ? LO_ALL : 0;
  if (const L_CHAR* o = attr("option")) {
    int er = 0;
    option = get_attr_flags(&er, o, log_cond_attr_table);
    if (er) return param_error(head, "log condition action attribute (option)", head);
  }
  auto* a = static_cast<LOG_ACTION*>(d_calloc(1, sizeof(LOG_ACTION)));
  a->type = t;
  a->path = ll_copy_str(attr("path"));
  a->option = option;
  a->ip = dotted_address(attr("ip"));
  a->mask = dotted_address(attr("mask"));
  a->div_nos = decimal(attr("divide"));
  a->size = decimal(attr("size"));
  a->next = cond->action_list;  // so the actions run in the reverse of their writing
  cond->action_list = a;
  return nullptr;
}

TQ_SEXP* get_log_cond(TQ_SEXP* form) {
  TQ_SEXP* e = nullptr;
  if (LOG_COND* cond = build_log_cond(form, &e)) set_log_condition(cond);
  return e;
}

void free_log_cond(LOG_COND* cond) {
  free_v_log_node_data(&cond->low);
  free_v_log_node_data(&cond->high);
  while (LOG_ACTION* a = cond->action_list) {
    cond->action_list = a->next;
    if (a->path) d_f_ree(a->path);
    d_f_ree(a);
  }
  d_f_ree(cond);
}

void set_log_condition(LOG_COND* cond) {
  cond->next = nullptr;
  LOCK_SCOPE(lock_log);
  LOG_COND** p = &condition_list;
  while (*p) p = &(*p)->next;
  __atomic_store_n(p, cond, __ATOMIC_RELEASE);  // the worker may be walking the list
}

void replace_log_conditions(LOG_COND* list) {
  LOG_COND* old;
  {
    LOCK_SCOPE(lock_log);
    old = condition_list;
    condition_list = list;
    if (old == worker_list) old = nullptr;  // the worker frees it once its actions are done
  }
  free_log_conds(old);
}

void reset_log_condition() { replace_log_conditions(nullptr); }

LOG_COND* enter_log_conditions() {
  LOCK_SCOPE(lock_log);
  return worker_list = condition_list;
}

void leave_log_conditions(LOG_COND* list) {
  {
    LOCK_SCOPE(lock_log);
    worker_list = nullptr;
    if (list == condition_list) return;  // still in force
  }
  free_log_conds(list);  // replaced meanwhile: no one else holds it
}

void set_log_path(const L_CHAR* str, int size, int filenos) {
  auto* cond = static_cast<LOG_COND*>(d_calloc(1, sizeof(LOG_COND)));
  auto* a = static_cast<LOG_ACTION*>(d_calloc(1, sizeof(LOG_ACTION)));
  a->type = LA_SAVE;
  a->path = ll_copy_str(str);
  a->option = LO_ALL;
  a->div_nos = filenos;
  a->size = size;
  cond->action_list = a;
  replace_log_conditions(cond);
}

int cmp_log_node_data(LOG_NODE_DATA* d, LOG_COND* cond) {
  for (int i = 0; i < kLogFields; ++i) {
    const int code = cond->op[i];
    if (!code) continue;
    const int pass = log_field_is_int(i)
                         ? int_check(code, *log_field_int(d, i), *log_field_int(&cond->low, i), *log_field_int(&cond->high, i))
                         : text_check(code, *log_field_text(d, i), *log_field_text(&cond->low, i),
                                      *log_field_text(&cond->high, i));
    if (!pass) return -1;
  }
  return 0;
}

TQ_SEXP* tq_set_log_condition(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD* attr, TQISP_ENV*) {
  TQ_SEXP* body = qv_quote_trace(env, cdr(form), get_sf_attribute(attr, _l_string_1(std_cm, "type")));
  if (get_type(body) == kTagError) return body;
  // The new list is built aside and put in force whole: records keep meeting the old one
  // until then.
  LOG_COND* list = nullptr;
  LOG_COND** tail = &list;
  for (TQ_SEXP* p = body; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* el = p->pair.car;
    if (get_type(el) != kTagPair || get_type(el->pair.car) != kTagSymbol) continue;
    if (is_symbol(el->pair.car, "Condition")) {
      TQ_SEXP* e = nullptr;
      LOG_COND* cond = build_log_cond(el, &e);
      if (!cond) {
        free_log_conds(list);
        reset_log_condition();
        return e;
      }
      *tail = cond;
      tail = &cond->next;
    } else if (is_symbol(el->pair.car, "Reset")) {
      reset_file(el->pair.car);
    }
  }
  if (void (*hook)() = log_conditions_built_hook.load()) hook();
  replace_log_conditions(list);
  log_printf(LOG_MESSAGE, LOG_TQ, 0, "Launch up the Log system");
  return nullptr;
}

}  // namespace tq
