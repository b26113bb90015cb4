// Language cells: every value of TQ is a TQ_SEXP in collected memory, a common header (the
// source it came from, its tag, reader flags) followed by one of twelve bodies chosen by the
// tag. Constructors, list and attribute operations, error cells and their code catalogue,
// and the cell allocator that every constructor of the system goes through.
//
// Invariants:
//  - A cell's tag is read only through get_type, which realises a delayed cell (tag 8) first.
//    The tag is written last (release) when a cell is rewritten in place and read with
//    acquire, so another thread never sees a half-written body.
//  - A cell takes the size of its own body only; delayed cells take the size of the largest
//    body, because realisation rewrites them in place into any other kind. Only delayed
//    cells are ever rewritten in place (set_sexp, set_sexp_inh, over_write_sexp).
//  - Texts in cells are L_CHAR strings in collected memory owned by the cell; constructors
//    copy what they are given.
//  - Nil is either the null pointer or a header-only cell of tag 0; both end a list.
//  - Operations never throw: failures are error cells, and an error cell met where a value
//    was expected is handed back unchanged.
#pragma once
#include <cstdint>

#include "text/l_char.h"

namespace tq {

struct TQ_FILE;    // a reader record (lang/tq_file.h)
union TQISP_ENV;   // an environment (lang/env.h)
struct TQ_DELAY;   // body of a delayed cell (below)
struct DELAY_FUNC; // head of a function-backed delayed value (lang/tq_file.h)
union tq_sexp;
using TQ_SEXP = tq_sexp;

// ---- Tags.
enum : int32_t {
  kTagNil = 0,
  kTagError = 1,
  kTagPair = 2,
  kTagSymbol = 3,
  kTagString = 4,
  kTagInteger = 5,
  kTagFloat = 6,
  kTagFunc = 7,
  kTagDelay = 8,
  kTagPtr = 9,
  kTagRaw = 10,
  kTagEnv = 11,
};
inline constexpr int32_t kTagMax = 11;

// Header flags.
inline constexpr int32_t kSexpFromMarkup = 0x1;  // strings and symbols read from markup

struct TQ_SEXP_HEADER {
  TQ_FILE* file;  // the reader the value was read from, or null
  int32_t line;   // line in that source, 0 when none
  int32_t type;   // tag 0..11; read through get_type (acquire), written last (release)
  int32_t flags;  // reader and realisation flags, 0 when made
};

// One attribute of a symbol; lists are singly linked, nearer entries hide later ones.
struct TQ_SYM_FIELD {
  TQ_SYM_FIELD* next;
  L_CHAR* name;
  L_CHAR* data;
};

struct TQ_NULL {
  TQ_SEXP_HEADER h;
};
struct TQ_ERROR {
  TQ_SEXP_HEADER h;
  L_CHAR* site;      // site of the reader of the failing form (shared), or empty text
  L_CHAR* filename;  // name of that reader, or empty text
  int32_t line;      // line of the failing form
  L_CHAR* func;      // the failing operation or word, or a message
  uint32_t code;     // 0x80GGCCNN, see the catalogue below
  TQ_SEXP* data;     // details, often a list of one string
};
struct TQ_PAIR {
  TQ_SEXP_HEADER h;
  TQ_SEXP* car;
  TQ_SEXP* cdr;
};
struct TQ_SYMBOL {
  TQ_SEXP_HEADER h;
  L_CHAR* data;         // the name
  TQ_SYM_FIELD* field;  // attributes, or null
};
struct TQ_STRING {
  TQ_SEXP_HEADER h;
  L_CHAR* data;  // never null
};
struct TQ_INTEGER {
  TQ_SEXP_HEADER h;
  L_CHAR* unit;  // unit text, or null
  int64_t data;
};
struct TQ_FLOAT {
  TQ_SEXP_HEADER h;
  L_CHAR* unit;  // unit text, or null
  double data;
};

// A primitive: (environment, form, args_env, attribute list, sp_env) -> value.
using TQ_PRIM = TQ_SEXP* (*)(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr,
                             TQISP_ENV* sp_env);

inline constexpr int8_t kFuncPrim = 1;
inline constexpr int8_t kFuncLambda = 2;
inline constexpr int8_t kNoMax = -1;  // max with all bits set: no upper limit

struct TQ_FUNC {
  TQ_SEXP_HEADER h;
  int8_t type;   // kFuncPrim or kFuncLambda
  int8_t order;  // 0 special form, 1 arguments evaluated first, 2 keyword arguments
  int8_t min;    // elements of the form, head included
  int8_t max;    // kNoMax for no maximum
  TQISP_ENV* args_env;
  TQISP_ENV* sp_env;
  TQ_PRIM prim;
  TQ_SEXP* l_params;  // lambda: nil, a list of symbols, or one symbol
  TQ_SEXP* l_body;    // lambda: the body forms
};

// Delay types.
inline constexpr int kDelayList = 1;   // the rest of a list (the root: all forms of a reader)
inline constexpr int kDelayDatum = 2;  // exactly one datum (after a quote mark)
inline constexpr int kDelayFunc = 3;   // a value a function produces
struct TQ_DELAY {
  TQ_SEXP_HEADER h;  // file: the owning reader record (also for function-backed cells)
  int dtype;
  union {
    struct {
      TQ_FILE* f;
      TQ_SEXP* tag;  // start-tag symbol whose content the list is, or null
      int mode;      // lexer context of that list: 0 markup, 0x20000 S-expression
    } file;
    DELAY_FUNC* func;
  } d;
  TQ_DELAY* next;  // the entry below on the reader's pending stack
};

// Marks the record a pointer cell holds (called with the pointer during a collection).
using GC_FUNC = void (*)(void* ptr);

struct TQ_PTR {
  TQ_SEXP_HEADER h;
  void* ptr;
  GC_FUNC gc;  // null when the record holds nothing collected
};
struct TQ_RAW {
  TQ_SEXP_HEADER h;
  int64_t size;   // bytes; never above the reader's raw cap, so "#%x#" reads back
  uint8_t* data;  // collected memory, or null
};
struct TQ_TQISP_ENV {
  TQ_SEXP_HEADER h;
  TQISP_ENV* data;
};

union tq_sexp {
  TQ_SEXP_HEADER h;
  TQ_NULL null;
  TQ_ERROR error;
  TQ_PAIR pair;
  TQ_SYMBOL symbol;
  TQ_STRING string;
  TQ_INTEGER integer;
  TQ_FLOAT floating;
  TQ_FUNC func;
  TQ_DELAY delay;
  TQ_PTR ptr;
  TQ_RAW raw;
  TQ_TQISP_ENV env;
};

// ---- Error codes, 0x80GGCCNN: GG the raising layer (01 system and interpreter control,
// 02 reader, 03 evaluator and operators, 04 words and services), CC the kind, NN a serial.
enum : uint32_t {
  ER_END_OF_INPUT = 0x80010101,      // "cannot read the file"
  ER_LOCAL_EVAL = 0x80010102,        // "local evaluation error"
  ER_SETUP_MISSING = 0x80010507,
  ER_BREAK = 0x80011404,             // break check: break
  ER_CANCEL = 0x80011405,            // break check: cancel
  ER_CANCELLED = 0x80011406,         // a waited-for result was cancelled
  ER_CTL_BREAK = 0x80011608,         // Break out of a loop, its value in data
  ER_CTL_CONTINUE = 0x80011609,      // Continue
  ER_APPLICATION = 0x8001160a,       // "Application System error"
  ER_TOO_MANY_CLOSE = 0x80020301,    // "too many )"
  ER_NO_CLOSE = 0x80020402,          // "no ) for ("
  ER_UNTERMINATED = 0x80020507,      // unterminated text (func "lex")
  ER_INVALID_ENTITY = 0x80020508,    // "invalid entity"
  ER_BAD_ERROR_LITERAL = 0x80021003, // a printed error form that cannot be read back
  ER_UNEXPECTED_END = 0x80021004,    // "unsutisfied file end"
  ER_TOKEN = 0x80021005,             // "token error ..."
  ER_TAG_MISMATCH = 0x80021306,      // "not correspond tag"
  ER_NOT_FUNCTION = 0x80030201,      // "execute no function"
  ER_NESTING = 0x8003020a,           // "nesting too deep"
  ER_ARG_COUNT = 0x80030502,         // "invalid parameter length"
  ER_FORMAT = 0x80030503,            // "format error ..."
  ER_UNSUPPORTED_LAMBDA = 0x80030604,
  ER_UNDEFINED = 0x80030705,         // undefined symbol
  ER_TYPE = 0x80030806,              // "type missmatch"
  ER_UNORDERED = 0x80030809,         // "< or >", "<= or >="
  ER_SYMBOL_REQUIRED = 0x80030907,
  ER_DIVIDE_BY_ZERO = 0x80031508,
  ER_SESSION_ENV = 0x80040217,
  ER_USER = 0x8004021a,              // the word Error
  ER_MISSING = 0x80040501,
  ER_INVALID_PARAM = 0x80040503,
  ER_CALENDAR = 0x80040505,
  ER_INVALID_IID = 0x8004051d,
  ER_NOT_IN_THREAD = 0x80040608,
  ER_MX_LOAD_SAVE = 0x80040609,
  ER_UNDEFINED_AGENT = 0x8004070c,
  ER_NO_OBJECT = 0x8004070e,         // "no object"
  ER_CANNOT_OPEN = 0x80040a06,
  ER_STREAM_ACCESS = 0x80040a12,
  ER_CANNOT_LAUNCH = 0x80040a19,
  ER_PERMISSION = 0x80040d10,
};

// ---- Raw tag access, for the reader, the collector and in-place rewrites only; everyone
// else asks get_type, which realises a delayed cell first.
inline int32_t sexp_tag(const TQ_SEXP* s) { return __atomic_load_n(&s->h.type, __ATOMIC_ACQUIRE); }
inline void set_sexp_tag(TQ_SEXP* s, int32_t type) { __atomic_store_n(&s->h.type, type, __ATOMIC_RELEASE); }
// Gives a cell that may be reachable already (position inheritance) its source reader: a
// collection marks the reader through that word while the caller runs outside its memory
// section, so it is stored, and read by the collector, as a relaxed atomic.
inline void set_header_file(TQ_SEXP* s, TQ_FILE* f) { __atomic_store_n(&s->h.file, f, __ATOMIC_RELAXED); }

// ---- The cell allocator. Each returns a zeroed cell of the tag's size in collected memory,
// rooted in the calling thread's top root frame. With a reader f the cell takes f's current
// token line and becomes f's last made cell (f->sexp); with h its position comes from h.
// A tag above 11 ends the process ("get_sexp_size(1) %i").
int64_t get_sexp_size(int32_t type);
TQ_SEXP* xx_get_sexp(TQ_FILE* f, int32_t type, const char* file, int line);
TQ_SEXP* xx_get_sexp_inh(TQ_FILE* f, int32_t type, TQ_SEXP* h, const char* file, int line);
#define get_sexp(f, type) ::tq::xx_get_sexp((f), (type), __FILE__, __LINE__)
#define get_sexp_inh(f, type, h) ::tq::xx_get_sexp_inh((f), (type), (h), __FILE__, __LINE__)
// In-place rewrites of a delayed cell d, under the memory lock, the body first and the tag
// last (release). Only a cell whose tag is still 8 may be rewritten: any other cell may be
// smaller than the new body, so it ends the process ("set_sexp(1)", "over_write_sexp(1)"). Another thread may
// read the cell as soon as its tag is stored: fill a body that others may see through
// over_write_sexp from a finished cell rather than after set_sexp.
// set_sexp: an empty cell of type, position and reader's last cell from f, flags 0.
// set_sexp_inh: the same with the position from h (else f, else none), flags kept.
// over_write_sexp: a copy of the whole cell from (header and body), or nil for null.
void set_sexp(TQ_FILE* f, int32_t type, TQ_SEXP* d);
void set_sexp_inh(TQ_FILE* f, int32_t type, TQ_SEXP* d, TQ_SEXP* h);
void over_write_sexp(TQ_SEXP* d, TQ_SEXP* from);

// ---- Constructors (cells rooted in the calling thread's top frame).
TQ_SEXP* cons(TQ_SEXP* car, TQ_SEXP* cdr);       // position from car, else from cdr
TQ_SEXP* cons_inh_2(TQ_SEXP* car, TQ_SEXP* cdr); // position from cdr
TQ_SEXP* get_symbol(const L_CHAR* name);
TQ_SEXP* get_string(const L_CHAR* text);         // null gives the empty string
TQ_SEXP* get_integer(int64_t value, const L_CHAR* unit);
TQ_SEXP* get_floating(double value, const L_CHAR* unit);
TQ_SEXP* get_func_prim(TQ_PRIM prim, int order, TQISP_ENV* args_env, int min, int max);
TQ_SEXP* get_func_prim_sp(TQ_PRIM prim, int order, TQISP_ENV* args_env, TQISP_ENV* sp_env, int min, int max);
TQ_SEXP* get_ptr(void* ptr, GC_FUNC gc);
TQ_SEXP* get_raw(const void* bytes, int64_t size);  // a copy of size bytes
TQ_SEXP* get_raw_set_data(void* data, int64_t size); // takes a block of collected memory
TQ_SEXP* get_env(TQISP_ENV* env);
// An error cell positioned at (f, line): site shared from f, filename copied from f, func
// copied. Pass the position of the offending form (its header's file and line).
TQ_SEXP* get_error(TQ_FILE* f, int32_t line, uint32_t er_code, const L_CHAR* func, TQ_SEXP* data);
TQ_SEXP* get_error_line(TQ_SEXP* error, int32_t line);  // a copy with another line
// The error of a recursive walker stopped at kNestLimit: 0x8003020a, func the walker's name,
// data ("nesting too deep"), positioned at the cell where it stopped.
TQ_SEXP* get_nesting_error(const char* walker, TQ_SEXP* at);
// An L_CHAR copy in collected memory (mark gc_text), rooted like any new block; null stays null.
L_CHAR* copy_cell_text(const L_CHAR* s);
// The same with texts in the process's default code method.
TQ_SEXP* n_get_string(const char* text);
TQ_SEXP* n_get_symbol(const char* name);
TQ_SEXP* n_get_integer(int32_t value, const char* unit);
TQ_SEXP* n_get_floating(double value, const char* unit);

// ---- Accessors and lists.
TQ_SEXP* realize_sexp(TQ_SEXP* s);  // the reader's (lang/tq_file.h)
TQ_SEXP* realize_sexp_from(TQ_SEXP* s, const char* file, int line);  // file, line: the asker
// 0 for null; realises a delayed cell first. Inline: the evaluator asks it at every step.
// The caller's site goes with a realisation, for the rule check that names it.
inline int32_t get_type(TQ_SEXP* s, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (!s) return kTagNil;
  if (sexp_tag(s) == kTagDelay) realize_sexp_from(s, file, line);
  return sexp_tag(s);
}
inline int32_t get_type_sexp(TQ_SEXP* s) { return get_type(s); }
TQ_SEXP* car(TQ_SEXP* s);  // error cells pass; non-pairs give 0x80030806 "car"
TQ_SEXP* cdr(TQ_SEXP* s);  // error cells pass; non-pairs give 0x80030806 "cdr"
TQ_SEXP* qv_car(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_cdr(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
// The list of the arguments up to the first null (the first is always taken).
TQ_SEXP* list(TQ_SEXP* first, ...);
// The list of the arguments up to kListEnd, so nils can be elements.
#define kListEnd (reinterpret_cast<::tq::TQ_SEXP*>(~uintptr_t(0)))
TQ_SEXP* List(TQ_SEXP* first, ...);
TQ_SEXP* append(TQ_SEXP* a, TQ_SEXP* b);  // copies both spines; nil when either is improper
int list_length(TQ_SEXP* s);              // pairs before nil; -1 for an improper list
// The first error cell met depth first (car before cdr) in a list and its sublists; nil for
// a proper list without one; a non-list argument, or a non-nil tail ending the walk, as it
// is (callers test for tag 1). Past the nesting limit: 0x8003020a "list_error".
TQ_SEXP* list_error(TQ_SEXP* x);
TQ_SEXP* search_error(TQ_SEXP* x);  // first error cell on the spine (x itself, elements, tail), else nil
// 0 equal, else -1; strings -1/0/1 by their characters (a list passes on its first element's
// answer). Nil equals nil, symbols compare by name, numbers by value and unit, raw cells by
// bytes, error cells by their fields, other kinds by identity; -1 past the nesting limit.
int cmp_sexp(TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* get_el(TQ_SEXP* s, int n);  // element n from 0, nil when missing
// The first element that is a list headed by a symbol called name carrying every given
// attribute with exactly the given value (L_CHAR key, value pairs, a null key ends); nil.
TQ_SEXP* get_el_by_symbol(TQ_SEXP* s, const L_CHAR* name, ...);
// The count-th element (from 1; below 2 the first) headed by a symbol called name, or the
// count-th element at all for an empty name; else 0x8004070e "get_el_c" "no object".
TQ_SEXP* get_el_by_symbol_cnt(const L_CHAR* name, int count, TQ_SEXP* s);
// Walks a path "name'count/name/..." (count read as %i reads it; an empty name counts by
// position; an empty path gives s). A miss or a malformed segment gives the "no object"
// error, or with def: a symbol for "$name", nil for "(...", else a string of def.
TQ_SEXP* get_el_c(TQ_SEXP* s, const L_CHAR* path, const L_CHAR* def);

// ---- Attributes. Lookups take the first entry of a name; lists may be shared.
L_CHAR* get_sf_attribute(TQ_SYM_FIELD* fields, const L_CHAR* name);  // the value, or null
L_CHAR* get_symbol_field(TQ_SEXP* s, const L_CHAR* name);             // null for a non-symbol
// Adds copies of name and value at the head of a symbol's list, in place; others: nothing.
void set_attribute(TQ_SEXP* s, const L_CHAR* name, const L_CHAR* value);
// A symbol with the attribute set to value (removed for null); s itself when nothing
// changes or s is no symbol. s and its list are left as they are; the new symbol has its
// own copy of the name and shares the entries after the changed one.
TQ_SEXP* replace_attribute(TQ_SEXP* s, const L_CHAR* name, const L_CHAR* value);
// The list with name set to value (removed for null), sharing the entries after the match
// and copying those before it; the given list never changes.
TQ_SYM_FIELD* set_sym_field(TQ_SYM_FIELD* fields, const L_CHAR* name, const L_CHAR* value);

// ---- Source positions (a position is a reader record and a line; none is null and 0).
TQ_SEXP* inherit(TQ_SEXP* dst, TQ_SEXP* src);  // dst takes src's position; returns dst
// Gives (file, line) to every cell of a tree without a reader record: elements (descending
// up to the nesting limit), spine and final tail.
void _set_inh(TQ_FILE* file, int32_t line, TQ_SEXP* tree);
// The position of a tree: the first spine pair that has one; a position found in the car of
// a pair without one is kept unless a later spine pair or the final tail has one. The
// outputs are left as they were when nothing has a position.
void search_inh(TQ_FILE** file_out, int32_t* line_out, TQ_SEXP* tree);
int curret_check(TQ_SEXP* s);  // 0 for nil, pairs and numbers, else 1
// The primitive set-line-fix; it evaluates its argument, so it comes with the evaluator.
TQ_SEXP* set_line_fix(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);

// ---- Helpers the printer and the word library share (they come with the printer).
TQ_SEXP* reverse(TQ_SEXP* list);             // a new reversed list; stops at a non-pair tail
TQ_SEXP* cast_symbol2string(TQ_SEXP* sym);   // "[name k=\"v\" ...]" for a symbol with attributes

}  // namespace tq
