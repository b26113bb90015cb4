// Loading files: "Load" and load_file, which reads a file in one of seven modes (source
// forms, evaluation, HTML, raw chunks, text records with or without "&cx" escapes, and
// iCalendar), and the lazily read lists of raw and text records with their collector hooks.
// "Get" loads through load_file too. A parsed file's encoding header is applied by the
// reader's set_encoding (lang/parse.h).
//
// A lazily read raw or text list stands on one DELAY_LOAD_T: every delayed cell of the list
// names it (and its reader record, so one thread at a time realises them). The file is read
// only as far as the list is walked; the stream is closed at its end, or by the collector's
// sweep (sp_gc_load) once no cell of the list is reachable. Every record is on df_list from
// its creation until that sweep; insertion holds df_lock, which every collection takes after
// lex_lock, so the sweep walks the list alone.
#pragma once
#include <cstddef>

#include "lang/env.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "platform/lock.h"
#include "stream/stream.h"
#include "text/regex.h"

namespace tq {

// Modes of load_file.
enum : int {
  LOAD_RAW = 0,
  LOAD_TQ = 1,
  LOAD_EXEC = 2,
  LOAD_TEXT = 3,
  LOAD_HTML = 4,
  LOAD_TEXT_ESCAPE = 5,
  LOAD_ICALENDAR = 6,
};
inline constexpr int kLoadChunk = 4096;  // bytes of one raw cell at most

// One lazily read raw or text file (collected memory, marked by tq_load_gc).
struct DELAY_LOAD_T {
  DELAY_FUNC h;  // tq_delay_load or tq_delay_load_text, tq_load_gc, no check
  STREAM* st;    // null once closed
  void* work;    // argument of close_func
  TQ_CLOSE_FUNC close_func;  // 1 release, 2 mark; null when none (or once called with 1)
  DELAY_LOAD_T* next;        // df_list
  AUTOMATON* term_a;         // text modes: the record terminator, or null
  L_CHAR* backbuffer;        // characters read past a terminator, to be read again (debug heap)
  size_t bb_size;
  size_t bb_ptr;             // the next to take; the buffer is spent at bb_size
  int escapeflag;            // text.escape: "&cx" escapes are decoded
  TQ_FILE* rec;              // the record every delayed cell of the list names
  CODE_METHOD* cm;           // text modes: the decoder and its state
  void* cm_work;
  uint8_t* rb;               // text modes: bytes read and not yet decoded (debug heap)
  int rb_len;
  int rb_ptr;
};

extern SEM df_lock;
extern DELAY_LOAD_T* df_list;  // newest first
// Makes df_lock and joins the collector (its lock and sp_gc_load); from the registrar.
void init_load_list();

// The lazily read list of st in mode LOAD_RAW, LOAD_TEXT or LOAD_TEXT_ESCAPE: its first
// delayed cell. The list owns st and term_a; func(kind, work) is its close hook. path names
// the file in read errors.
TQ_SEXP* new_delay_load(STREAM* st, int mode, const L_CHAR* path, AUTOMATON* term_a, TQ_CLOSE_FUNC func, void* work);
TQ_SEXP* tq_delay_load(TQ_SEXP* cell);       // raw realiser
TQ_SEXP* tq_delay_load_text(TQ_SEXP* cell);  // text realiser
void tq_load_gc(void* rec);
void sp_gc_load();  // sweep: releases the records nothing reached, and unlinks them

// The terminator search of one text record.
struct STATE_CHECKER {
  AUTOMATON* a;
  int stptr;   // where the candidate terminator starts
  int endptr;  // just past a matched terminator
};
// Runs the automaton over data[stptr..n): 0 a terminator found (longest match, endptr set),
// 1 none can start at stptr (stptr moved on), 2 more characters are needed. With at_end
// (no character will follow) a match seen so far counts, and no match is 1.
int en_state_checker(STATE_CHECKER* sc, const L_CHAR* data, int n, bool at_end = false);
// Decodes "&cx<hex>;" (c and x in either case; the ";" may be missing at the very end) in
// place; a sequence followed by anything else, or of the value 0, is left as written.
void escape_handling(L_CHAR* text);

// Reads filename (found by the script search beside the file of s) in mode type; see the
// word "Load". encode: an encoding name or null; term_a: owned (freed when unused); flags:
// reader flags added; func/work: the close hook of the lazily read list or reader. Errors:
// 0x80040a06 ("cannot open the file" filename cause), func "load", positioned at s.
TQ_SEXP* load_file(TQISP_ENV* env, TQ_SEXP* s, int type, const L_CHAR* filename, const L_CHAR* encode,
                   AUTOMATON* term_a, int flags, TQ_CLOSE_FUNC func, void* work);
// The error of a file that cannot be opened: 0x80040a06 ("cannot open the file" filename
// cause), func "load", positioned at s; the cause is the system's text of err (none for 0).
TQ_SEXP* load_open_error(TQ_SEXP* s, const L_CHAR* filename, int err);

}  // namespace tq
