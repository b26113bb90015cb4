// The lazy parser. Opening a reader on a stream (init_parse) gives one delayed cell that
// stands for the list of all forms of the stream; inspecting a delayed cell (get_type ->
// realize_sexp) pulls tokens just until that cell is determined and rewrites it in place
// into nil, a pair whose parts are again delayed cells, or an error cell. Syntax errors never
// stop a reader: they become error cells where the broken text stood.
//
// Each reader keeps a pending stack (TQ_FILE::stack) of its delayed cells not yet realised,
// the next one in source order on top; every token acts on the top entry. Reading nests
// without recursion: open lists are entries of that stack, however deep.
//
// Locks: the parse lock serialises the realisation steps and the queries; it is recursive
// for its owner and lifts the owner's priority to at least 5. A realisation holds it while
// it lexes, except around stream reads and owner hooks (ParseCallOut), so a reader waiting
// for input holds up no one: bit kRfRealising of a reader gives one thread at a time the
// right to read it, the others sleep on the record and are woken after each token. Cell allocation takes the memory lock
// inside the parse lock, never the other way round.
//
// A realised cell is published whole: its body is written first and its tag last (release)
// under the memory lock, so a thread that reads the tag (get_type, acquire) sees the body.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "platform/lock.h"
#include "platform/task.h"
#include "text/l_char.h"

namespace tq {

union STREAM;

// ---- The parse lock.
extern SEM parse_lock;
extern int parse_lock_pri;  // the owner's priority before it took the lock
extern PRI_CTL parse_lock_ctl;
int parse_lock_owner();  // task number of the owner, 0 when free
int parse_lock_depth();  // the owner's nesting count
int parse_lock_sleepers();  // threads asleep on a record, the parse lock given up
void _xx_lock_parse(const char* file, int line);
void unlock_parse(const char* label);
#define lock_parse() ::tq::_xx_lock_parse(__FILE__, __LINE__)
// Sleeps on key, giving up the parse lock however deeply the caller holds it, and takes it
// back at the same depth. wakeup_parse (parse lock held) wakes the threads asleep on key.
void sleep_parse(const void* key);
void wakeup_parse(const void* key);

// Makes the parse lock, lists it in the global dump and installs the reader of rc files
// (tqrc_reader). Once, at language start-up, after lex_lock exists.
void init_parse_system();

// ---- Readers.
// A reader on st named `name` (comment: the caller's note, name when null). Returns the
// root delayed cell, or null when st is null; the cell and the reader are entered in the
// caller's top root frame. The reader's stream is closed when the reader ends or is closed.
TQ_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment);
// The stream of the reader cell s came from, or null.
STREAM* get_sexp_stream(TQ_SEXP* s);
// When one of the first two elements of a read list is a "?xml" or "?tq" form with an
// "encoding" attribute, its reader switches to that encoding (an unknown name: the default
// code method): 1; else 0.
int set_encoding(TQ_SEXP* list);

// ---- The pending stack (parse lock held, or f not yet shared).
// A new delayed cell of dtype on top of f's stack, positioned from h (else from f).
TQ_SEXP* qv_push_delay(TQ_FILE* f, TQ_SEXP* h, int dtype);
// Takes the top entry off the stack: its dtype, 0 when the stack is empty.
int qv_pop_delay(TQ_FILE* f);

// ---- Realisation steps on the top entry of f's stack (each takes the parse lock).
// A list opens: car = the new list (on top), standing for the content of tag (null for a
// parenthesised list) read in lexer context mode (0 markup, kRfSexpContext).
void new_pair(TQ_FILE* f, TQ_SEXP* tag = nullptr, int mode = 0);
void new_element(TQ_FILE* f, TQ_SEXP* tag);  // car = (tag): a closed tag
void new_quote(TQ_FILE* f);             // car = (quote <one datum>)
void new_data(TQ_FILE* f, TQ_SEXP* data);      // car = data, positioned from data
void new_data_set(TQ_FILE* f, TQ_SEXP* data);  // car = data, positioned from the reader
void null_pair(TQ_FILE* f);             // car = nil
// Rewrites the delayed cell d in place and publishes it (memory lock held inside).
void publish_pair(TQ_SEXP* d, TQ_SEXP* car, TQ_SEXP* cdr, TQ_FILE* pos_file, int32_t pos_line);
void publish_nil(TQ_SEXP* d);
void publish_copy(TQ_SEXP* d, TQ_SEXP* from);

// Acts on token t of reader f (the parser's table); a value outside it ends the process
// ("qv_parse(1)").
void parse_token(TQ_FILE* f, int t);
// An error literal (token 0x600, the error cell in f->sexp): completed from the form that
// follows it and inserted as the next datum. Returns a token that ended the literal and
// still has to be acted on (cancel, or the end of input), else kNoToken.
inline constexpr int kNoToken = INT32_MIN;
int parse_error(TQ_FILE* f);
// Inserts the errors the lexer queued as data (newest first), clears the queue and sets the
// lexer's context from the list now on top.
void deliver_lex_errors(TQ_FILE* f);
// The lexer's context bit (kRfSexpContext) from the list on top of f's pending stack: set for
// a parenthesised list or a quoted datum, clear for markup content and the top level. By the
// thread that reads f, which alone changes the stack meanwhile.
void set_lex_context(TQ_FILE* f);

// ---- Queries for the interpreter runtime and the session code.
// 3 for null or a cell that is not delayed; 1 while a realisation of it is under way; 4 for
// a reader cell; for a function cell the code of its check_func (5 when it has none).
int check_delay(TQ_SEXP* s, int key);
// *st = the stream of s's record (or null). 2 for a function cell not being realised (*buf
// = its DELAY_FUNC, entered in the caller's top frame); 4 for a reader cell not being
// realised (*st = its reader's stream); 3 otherwise.
int get_delay_info(STREAM** st, DELAY_FUNC** buf, TQ_SEXP* s);

// ---- The character-set survey of a value (which code method a reply needs).
struct CS_LIST {
  CS_LIST* next;
  L_CHAR code;  // a character class: the character ANDed with its class mask
  int count;    // characters of that class seen
};
struct CS_WORK {
  CS_LIST* lst;  // debug heap
  int str_max;   // strings still to look at; negative: no limit; 0 stops the survey
};
// 0 when the survey went through, -1 when it stopped (str_max reached 0, or the value nests
// deeper than kNestLimit). cs_sexp realises delayed cells; cs_sexp_on_mem looks only at what
// is realised already, under the parse lock.
int cs_sexp(CS_WORK* w, TQ_SEXP* s);
int cs_sexp_on_mem(CS_WORK* w, TQ_SEXP* s);
int cs_l_char(CS_WORK* w, const L_CHAR* str);
CS_LIST* search_cs(CS_WORK* w, L_CHAR code);
void free_cs_work(CS_WORK* w);

// ---- rc files: the second element of every top-level form headed by the symbol `symbol`,
// as strings, the last form first (the script search's tqrc_reader). The stream stays open.
L_CHAR** read_tqrc(STREAM* s, const char* symbol);

}  // namespace tq
