// The reader record TQ_FILE (one per reader, and one per function-backed delayed value),
// its entities, and DELAY_FUNC, the head of a record whose function produces a delayed
// value. The records are defined here, with the cells, because the collector marks them;
// the reader that fills them lives in lang/lex*.cpp and lang/parse.cpp.
#pragma once
#include <atomic>
#include <cstdint>
#include <type_traits>

#include "lang/sexp.h"
#include "platform/lock.h"

namespace tq {

union STREAM;
struct code_method;
using CODE_METHOD = code_method;

struct ENTITY {
  ENTITY* next;
  L_CHAR* name;
  L_CHAR* data;  // replacement text
};
struct ENTITY_STACK {
  ENTITY_STACK* up;
  ENTITY* ent;
  L_CHAR* ptr;  // next character of the replacement text
  int mode;     // 1 plain expansion; 2, 3, 4 the steps of a replay
};

// Reader flags (TQ_FILE::flags).
enum : int {
  kRfLineFixed = 0x1,
  kRfClosed = 0x2,
  kRfNoLineEndsInText = 0x4,
  kRfNoBlanksInText = 0x8,
  kRfHtml = 0x10,
  kRfTextMode = 0x20,
  kRfEqualsToken = 0x10000,
  kRfSexpContext = 0x20000,
  kRfRealising = 0x40000,
  kRfTokenAfterErrors = 0x80000,  // the token returned with queued errors is read after them
  kRfKeepStream = 0x1000000,
};

// The reader flags are changed under different locks (kRfRealising under the parse lock,
// kRfClosed under lex_lock, the lexer's own bits by the reading thread alone), so every
// change is one atomic read-modify-write: a plain `|=` racing another thread's `&=` could
// lose a bit, leaving a closed record open or a realisation that never ends. The word stays
// a plain int, since the record lives in collected memory that is never constructed.
struct READER_FLAGS {
  int v;
  operator int() const { return std::atomic_ref<int>(const_cast<int&>(v)).load(); }
  READER_FLAGS& operator=(int x) {
    std::atomic_ref<int>(v).store(x);
    return *this;
  }
  void operator|=(int bits) { std::atomic_ref<int>(v).fetch_or(bits); }
  void operator&=(int mask) { std::atomic_ref<int>(v).fetch_and(mask); }
};

inline constexpr int kReadBuffer = 4096;

using TQ_FILE_HOOK = void (*)(TQ_FILE* f);
using TQ_CLOSE_FUNC = void (*)(int code, void* work);  // 1 closed, 2 marked by the collector

struct TQ_FILE {
  TQ_FILE* next;  // the reader ring
  TQ_FILE* prev;
  L_CHAR* name;
  L_CHAR* site;
  L_CHAR* comment;
  STREAM* st;  // null for a function-backed record and after closing; read with reader_field
  CODE_METHOD* cm;
  void* cm_work;
  // Lexer state.
  uint8_t rb[kReadBuffer];
  int16_t rb_len;
  int16_t rb_ptr;
  uint32_t rb_time;  // tick_now() of the last read; through read_time() (the interpreter tick reads it)
  L_CHAR buf;  // one pushed-back character, 0 when empty
  int buf_ent_flag;
  int error;
  int mode;
  READER_FLAGS flags;
  int line;
  int token_head_line;
  L_CHAR* yytext;  // collected memory
  int yylen;
  int yytextlen;
  TQ_SEXP* sexp;      // the last cell made for this reader
  TQ_DELAY* stack;    // pending delayed cells, the next in source order on top
  TQ_SEXP* lex_error; // queued errors, newest first
  ENTITY* entity;
  ENTITY_STACK* ent_stack;
  TQ_FILE_HOOK func_11;
  TQ_FILE_HOOK func_12;
  TQ_FILE_HOOK func_14;
  void* work;
  TQ_CLOSE_FUNC close_func;
  void* close_work;
};

// The last read's time is written by the reading thread and read by the interpreter tick
// under other locks, so both go through one relaxed atomic.
inline std::atomic_ref<uint32_t> read_time(TQ_FILE* f) { return std::atomic_ref<uint32_t>(f->rb_time); }

// The fields the collector marks through (name, site, comment, yytext, sexp, stack,
// lex_error, entity, ent_stack) and st, which it clears once the stream is gone. A
// collection marks a reader while its lexer runs outside its memory-lock section, so every
// change of these fields made outside a section, and every read of st, is a relaxed atomic
// (a word the collector sees whole, before or after the change); the collector reads them so.
template <class T>
inline T reader_field(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <class T>
inline void set_reader_field(T& field, std::type_identity_t<T> value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

struct DELAY_FUNC {
  TQ_SEXP* (*func)(TQ_SEXP* cell);  // produces the value, normally rewriting cell in place
  GC_FUNC gc_func;                  // marks the record
  int (*check_func)(DELAY_FUNC* df, int key);  // readiness code; may be null
};

// The reader ring: every reader and every function-backed record from its creation until
// it is closed. Guarded by lex_lock (made at language start-up, taken alone).
extern TQ_FILE qv_file_root;
extern SEM lex_lock;
void init_lex_lock();
void qv_file_insert(TQ_FILE* f);
// Closes a reader once: its stream (unless kRfKeepStream), its close hook with code 1, its
// code method; then unlinks it. A second call does nothing.
void qv_file_delete(TQ_FILE* f);
// The collector's close of a reader nobody refers to (lex_lock not taken): -1 and nothing
// closed while a realisation or its owner's close is under way (the collector then keeps
// it), else 0.
int _qv_file_delete(TQ_FILE* f);
void set_close_func(TQ_FILE* f, TQ_CLOSE_FUNC func, void* work);

// Realises s when it is a delayed cell and returns the cell to use (a reader's cell is
// rewritten in place; a function-backed cell becomes whatever its function returns, until
// that is not delayed). Null gives null. get_type calls it (realize_sexp_from, naming its
// caller's site).
//
// Nothing delayed is realised inside a memory section: a realisation may wait for another
// thread (a reader's stream, a thread's result, a remote reply), and a collection asked for
// meanwhile waits for this thread to leave its section while that other thread waits for the
// collection. With the rule checks on, a realisation asked for inside a section ends the
// process: "rule broken: nothing delayed is realised inside a memory section at FILE:LINE
// (realised at FILE:LINE)", the first site where the section was entered, the second where
// the cell was asked for (when known).
TQ_SEXP* realize_sexp(TQ_SEXP* s);
// The rule's check alone, for a delay function that realises a sibling cell directly.
void check_realisation_site(const char* file, int line);
// A new function-backed delayed cell (delay type 3) for df, with a record of its own.
TQ_SEXP* init_delay_func(DELAY_FUNC* df);
// A new function-backed delayed cell for df naming the record rec, which it shares with the
// other cells of one reading, so one thread at a time realises them (rooted in the caller's
// top frame).
TQ_SEXP* new_delay_func_cell(TQ_FILE* rec, DELAY_FUNC* df);

}  // namespace tq
