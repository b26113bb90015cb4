// Opening interpreters: "OpenInterpreter" makes an interpreter record (the runtime's
// defaults), lets the option forms written inside it fill the record, and hands it to the
// runtime's set-up, which opens the kind's streams and starts its threads.
//
// The option words find the record through the binding "__tqi" (a pointer cell) in a child
// of the caller's environment; they and "Permission" are bound only in the sub-environment
// that "OpenInterpreter" puts in front of that child, and "Allow" and "Deny" only in the
// sub-environment of "Permission". Until set-up the record belongs to the calling thread:
// a form that fails before set-up frees it with the permission lists already attached.
//
// Time-outs are given in seconds and kept by the runtime in its ticks (interp/tick.h
// converts); addresses are 32-bit values with the first octet in the most significant byte.
#include "words/open_interpreter.h"

#include <arpa/inet.h>

#include <cerrno>
#include <utility>

#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/unit.h"
#include "platform/access_rules.h"
#include "platform/d_alloc.h"
#include "stream/handover.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// ---- kind names ----

struct KIND_NAME {
  const char* name;
  char kind;
  bool for_type;  // also a value of the "Type" option
};
constexpr KIND_NAME kKindNames[] = {
    {"stdio", TQI_STDIO, true},     {"file", TQI_FILE, true}, {"ipc", TQI_IPC, true},  {"accept", TQI_ACCEPT, true},
    {"connect", TQI_CONNECT, true}, {"descripter", TQI_DESC, false}, {"pipe", TQI_PIPE, true},
};

// The kind a name stands for (among the names "Type" takes when for_type), 0 for none.
int kind_named(const L_CHAR* name, bool for_type) {
  for (const KIND_NAME& k : kKindNames)
    if ((k.for_type || !for_type) && l_text_is(name, k.name)) return k.kind;
  return 0;
}

L_CHAR* tqi_name() { return _l_string_2(std_cm, "__tqi"); }

// The value of "__tqi" in env: the pointer cell, an error cell, or another value.
TQ_SEXP* record_cell(TQISP_ENV* env) { return eval_symbol(env, get_symbol(tqi_name()), -1); }
TQ_INTERPRETER* record_of(TQ_SEXP* cell) { return static_cast<TQ_INTERPRETER*>(cell->ptr.ptr); }

int32_t low32(TQ_SEXP* v) { return int32_t(uint32_t(uint64_t(v->integer.data))); }

// ---- the option words ----

// Sets the record's field from the argument (of the word's kind); an error cell, or null.
using OPTION_SET = TQ_SEXP* (*)(TQ_INTERPRETER* rec, TQ_SEXP* s, TQ_SEXP* arg, TQISP_ENV* env);
struct OPTION_WORD {
  const char* name;
  const char* label;  // func of its type error
  int32_t arg_type;   // kTagInteger or kTagString
  OPTION_SET set;
};

void set_text(L_CHAR*& field, TQ_SEXP* arg) {
  if (field) d_f_ree(field);
  field = ll_copy_str(arg->string.data);
}

// An integer with a time unit as ticks: converted to seconds in the caller's units and
// truncated toward zero; an integer without unit is taken as seconds.
int timeout_ticks(TQ_SEXP* arg, TQISP_ENV* env) {
  int er = 0;
  const double sec = conv_unit(&er, get_uenv(env), double(arg->integer.data), arg->integer.unit, _l_string_2(std_cm, "sec"));
  return tqi_timeout_ticks(saturate_int32(sec));
}

TQ_SEXP* set_environment(TQ_INTERPRETER* r, TQ_SEXP* s, TQ_SEXP* a, TQISP_ENV*) {
  if (l_text_is(a->string.data, "thisone")) r->environment = 0;
  else if (l_text_is(a->string.data, "new")) r->environment = 1;
  else return lang_error(s, ER_INVALID_PARAM, "Environment", a);
  return nullptr;
}

TQ_SEXP* set_type(TQ_INTERPRETER* r, TQ_SEXP* s, TQ_SEXP* a, TQISP_ENV*) {
  const int kind = kind_named(a->string.data, true);
  if (!kind) return word_error_str(s, ER_INVALID_PARAM, "Type in OpenInterpreter", "invalid Type");
  r->desc_type = kind;
  return nullptr;
}

TQ_SEXP* set_format_mode(TQ_INTERPRETER* r, TQ_SEXP* s, TQ_SEXP* a, TQISP_ENV*) {
  static constexpr const char* kModes[] = {"lisp", "xml", "html"};
  for (int m = 0; m < 3; ++m)
    if (l_text_is(a->string.data, kModes[m])) {
      r->ps_flags = (r->ps_flags & ~3) | m;
      return nullptr;
    }
  return lang_error(s, ER_INVALID_PARAM, "FormatMode", list(n_get_string("invalid format mode"), a, nullptr));
}

#define INT_OPTION(field) [](TQ_INTERPRETER* r, TQ_SEXP*, TQ_SEXP* a, TQISP_ENV*) -> TQ_SEXP* { field; return nullptr; }
constexpr OPTION_WORD kOptions[] = {
    {"Port", "Port", kTagInteger, INT_OPTION(r->port = low32(a))},
    {"IP", "IP", kTagInteger, INT_OPTION(r->ip = low32(a))},
    {"HostName", "HostName", kTagString, INT_OPTION(set_text(r->hostname, a))},
    {"MaxConnection", "MaxConnection", kTagInteger, INT_OPTION(r->max_connection = low32(a))},
    {"InputFileName", "InputFileName", kTagString, INT_OPTION(set_text(r->input_file_name, a))},
    {"OutputFileName", "OutputFileName", kTagString, INT_OPTION(set_text(r->output_file_name, a))},
    {"ErrorFileName", "ErrorFileName", kTagString, INT_OPTION(set_text(r->error_file_name, a))},
    {"ConnectionTimeout", "ConnectionTimeout", kTagInteger,
     [](TQ_INTERPRETER* r, TQ_SEXP*, TQ_SEXP* a, TQISP_ENV* env) -> TQ_SEXP* {
       r->connection_timeout = timeout_ticks(a, env);
       return nullptr;
     }},
    {"SilentTimeout", "SilentTimeout", kTagInteger,
     [](TQ_INTERPRETER* r, TQ_SEXP*, TQ_SEXP* a, TQISP_ENV* env) -> TQ_SEXP* {
       r->silent_timeout = timeout_ticks(a, env);
       return nullptr;
     }},
    {"Environment", "Environment", kTagString, set_environment},
    {"InputDescripter", "InpDescripter", kTagInteger, INT_OPTION(r->inp_desc = low32(a))},
    {"OutputDescripter", "OutDescripter", kTagInteger, INT_OPTION(r->out_desc = low32(a))},
    {"ErrorDescripter", "ErrDescripter", kTagInteger, INT_OPTION(r->err_desc = low32(a))},
    {"Type", "Type", kTagString, set_type},
    {"Result", "Result", kTagInteger, INT_OPTION(r->result_flag = char(a->integer.data & 0xff))},
    {"FormatMode", "FormatMode", kTagString, set_format_mode},
    {"FormatIndent", "FormatIndent", kTagInteger, INT_OPTION(if (a->integer.data) r->ps_flags |= 0x80)},
};
#undef INT_OPTION

template <size_t I>
TQ_SEXP* option_word(TQ_WORD_ARGS) {
  const OPTION_WORD& o = kOptions[I];
  TQ_SEXP* cell = record_cell(env);
  if (is_error_cell(cell)) return cell;
  TQ_SEXP* arg = get_el(s, 1);
  if (get_type(cell) != kTagPtr || get_type(arg) != o.arg_type) return lang_error(s, ER_TYPE, o.label, nullptr);
  return o.set(record_of(cell), s, arg, env);
}

template <size_t... I>
void bind_options(TQISP_ENV* sub, std::index_sequence<I...>) {
  (bind_word(sub, kOptions[I].name, option_word<I>, 1, nullptr, 2, 2), ...);
}

// ---- "Permission", "Allow", "Deny" ----

// The permission list rules are added to: the record's last (an error cell otherwise).
TQ_SEXP* rule_list(TQISP_ENV* env, TQ_SEXP* s, const char* func, PERMISSION_LIST** out) {
  TQ_SEXP* cell = record_cell(env);
  if (is_error_cell(cell)) return cell;
  *out = get_type(cell) == kTagPtr ? record_of(cell)->pl_tail : nullptr;
  if (!*out) return lang_error_text(s, ER_TYPE, func, "__tqi type missmatch");
  return nullptr;
}

// An address or mask of an "ip" rule: a dotted text or an integer's low 32 bits.
bool rule_address(TQ_SEXP* v, uint32_t* out) {
  switch (get_type(v)) {
    case kTagString: *out = dotted_address(n_string(std_cm, v->string.data)); return true;
    case kTagInteger: *out = uint32_t(low32(v)); return true;
    default: return false;
  }
}

TQ_SEXP* allow_deny(int type, TQISP_ENV* env, TQ_SEXP* s) {
  constexpr const char* kFunc = "allow/deny";
  PERMISSION_LIST* pl = nullptr;
  if (TQ_SEXP* e = rule_list(env, s, kFunc, &pl)) return e;
  TQ_SEXP* what = get_el(s, 1);
  if (get_type(what) != kTagString) return lang_error_text(s, ER_TYPE, kFunc, "type missmatch");
  const L_CHAR* w = what->string.data;
  if (l_text_is(w, "ip")) {
    uint32_t ip = 0, mask = 0;
    if (!rule_address(get_el(s, 2), &ip) || !rule_address(get_el(s, 3), &mask))
      return lang_error_text(s, ER_TYPE, kFunc, "type missmatch");
    insert_access_list(&pl->ap, ip, mask, nullptr, 0, 0, type);
  } else if (l_text_is(w, "domain")) {
    TQ_SEXP* d = get_el(s, 2);
    if (get_type(d) != kTagString) return lang_error_text(s, ER_TYPE, kFunc, "type missmatch");
    insert_access_list(&pl->ap, 0, 0, n_string(std_cm, d->string.data), 0, 0, type);
  } else if (l_text_is(w, "all")) {
    insert_access_list(&pl->ap, 0, 0, nullptr, 0, 0, type);
  } else {
    return lang_error(s, ER_INVALID_PARAM, kFunc, list(n_get_string("invalid type"), what, nullptr));
  }
  return nullptr;
}

TQ_SEXP* tq_Allow(TQ_WORD_ARGS) { return allow_deny(1, env, s); }
TQ_SEXP* tq_Deny(TQ_WORD_ARGS) { return allow_deny(0, env, s); }

// (Permission mode-list rule-form ...): a new permission list on the record, whose rules
// the rule forms add.
TQ_SEXP* tq_Permission(TQ_WORD_ARGS) {
  TQ_SEXP* modes = eval(env, get_el(s, 1));
  if (is_error_cell(modes)) return modes;
  bool strings = get_type(modes) == kTagPair && list_length(modes) > 0;
  for (TQ_SEXP* p = modes; strings && get_type(p) == kTagPair; p = p->pair.cdr) {
    if (is_error_cell(p->pair.car)) return p->pair.car;
    strings = get_type(p->pair.car) == kTagString;
  }
  if (!strings) return word_error_str(s, ER_TYPE, "Permission", "type missmatch");
  TQ_SEXP* cell = record_cell(env);
  if (is_error_cell(cell)) return cell;
  if (get_type(cell) != kTagPtr) return lang_error_text(s, ER_TYPE, "Permission", "__tqi type missmatch");
  new_permission_list(record_of(cell), modes);
  TQISP_ENV* rules = new_env_pair(a, env);
  for (TQ_SEXP* p = s->pair.cdr->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr)
    if (TQ_SEXP* v = eval(rules, p->pair.car); is_error_cell(v)) return v;
  return nullptr;
}

void init_Permission(TQISP_ENV* sub) {
  TQISP_ENV* rules = new_env(nullptr);
  bind_word(rules, "Allow", tq_Allow, 1, nullptr, 2, 4);
  bind_word(rules, "Deny", tq_Deny, 1, nullptr, 2, 4);
  bind_word(sub, "Permission", tq_Permission, 0, rules, 2, kNoMax);
}

// ---- "OpenInterpreter" ----

// The streams a "pipe" interpreter takes: the handed-over ones (one serves both ways).
bool handed_over_streams(TQ_INTERPRETER* rec) {
  if (recv_streams_len < 1 || !recv_streams || !recv_streams[0]) return false;
  rec->inp = recv_streams[0];
  rec->out = recv_streams_len > 1 && recv_streams[1] ? recv_streams[1] : rec->inp;
  return true;
}

}  // namespace

uint32_t dotted_address(const char* text) { return ntohl(inet_addr(text)); }

TQ_SEXP* tq_OpenInterpreter(TQ_WORD_ARGS) {
  constexpr const char* kFunc = "OpenInterpreter";
  TQ_SEXP* kind = eval(env, get_el(s, 1));
  if (is_error_cell(kind)) return kind;
  if (get_type(kind) != kTagString) return word_error_str(s, ER_TYPE, kFunc, "first argment(interpreter type)");
  TQ_SEXP* where = eval(env, get_el(s, 2));
  const int where_type = get_type(where);
  if (where_type == kTagError) return where;
  if (where_type != kTagEnv && where_type != kTagNil)
    return word_error_str(s, ER_TYPE, kFunc, "first argment(interpreter environment)");
  if (where_type == kTagEnv) gc_set(where, gc_qv_sexp);  // the record alone holds it until set-up
  const int a_type = kind_named(kind->string.data, false);
  if (!a_type) return word_error_str(s, ER_INVALID_PARAM, kFunc, "interpreter accept type");

  TQ_INTERPRETER* rec = new_tq_interpreter();
  rec->a_type = char(a_type);
  if (a_type == TQI_PIPE && !handed_over_streams(rec)) {
    free_tq_interpreter(rec);
    return word_error_str(s, ER_INVALID_PARAM, "RecvStream in OpenInterpreter", "No recieved streams");
  }
  rec->env = env_of(where);
  TQISP_ENV* child = new_env(env);
  set_env(child, tqi_name(), get_ptr(rec, nullptr));
  TQISP_ENV* options = new_env_pair(a, child);
  TQ_SEXP* failed = nullptr;
  for (TQ_SEXP* p = s->pair.cdr->pair.cdr->pair.cdr; !failed && get_type(p) == kTagPair; p = p->pair.cdr)
    if (TQ_SEXP* v = eval(options, p->pair.car); is_error_cell(v)) failed = v;
  // An option form may have kept the option environment (CurrentEnvironment): from now on
  // the record is freed or the runtime's, so the option words there must not reach it.
  set_env(child, tqi_name(), nullptr);
  if (failed) {
    free_tq_interpreter(rec);  // nothing refers to it any more
    return failed;
  }
  // A failure before registration releases the record; a refused registration leaves it here.
  const int id = setup_i(rec);
  if (id == SETUP_MAIN_CLOSED) release_unregistered(rec);
  if (id == SETUP_NO_THREAD) {  // the record is released; the word names the shortage
    char cause[kNoThreadCauseSize];
    no_thread_cause(cause, errno);
    return lang_error(s, ER_STREAM_ACCESS, kFunc, list(n_get_string("cannot access the stream"), n_get_string(cause), nullptr));
  }
  if (id < 0) return word_error_str(s, ER_STREAM_ACCESS, kFunc, "cannot access the stream");
  return get_integer(id, nullptr);
}

void init_OpenInterpreter(TQISP_ENV* env) {
  GcFrame frame("init_OpenInterpreter");
  TQISP_ENV* sub = new_env(nullptr);
  bind_options(sub, std::make_index_sequence<std::size(kOptions)>());
  init_Permission(sub);
  bind_word(env, "OpenInterpreter", tq_OpenInterpreter, 0, sub, 3, kNoMax);
}

}  // namespace tq
