// The printer: writes a cell to a stream as text the reader reads back, in S-expression,
// XML or HTML form, collecting the text in the stream layer's accumulator and writing it
// in one flush; and the HTML preparation of a list (tq_format_HTML).
//
// The printer keeps its state on the caller's stack and takes no lock of its own; it reads
// cells without locking, so callers print only values no other thread is changing.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "stream/stream.h"

namespace tq {

// ---- Print flags.
inline constexpr int kPrintModeMask = 0x3;  // 0 S-expression, 1 XML, 2 HTML
inline constexpr int kPrintSexp = 0;
inline constexpr int kPrintXml = 1;
inline constexpr int kPrintHtml = 2;
inline constexpr int kPrintRawNoBytes = 16;  // raw cells: "]" after the size instead of the bytes
inline constexpr int kPrintRawFree = 32;     // raw cells: free the data after printing
inline constexpr int kPrintLines = 64;       // top level: one element of the list per line
inline constexpr int kPrintIndent = 128;     // nested lists and elements on indented lines
inline constexpr int kPrintInList = 256;     // set by the printer inside S-expression lists
inline constexpr int kPrintBare = 512;       // no parentheses, no "()", strings unquoted

// Prints cell to stream with flags. The result of the final flush (0 or more), or -1 on
// failure with the error number in errno and, when err is given, in *err: EINVAL (22) when
// the stream is null or not live, the write's error when a write fails, ELOOP when the value
// nests deeper than the language's nesting limit. A nesting failure is found before anything
// is written; a write failure ends the print at once (what was flushed before it stays
// written). A cell of an unknown tag ends the process. With kPrintRawFree, raw cells lose
// their data (pointer null, size 0) even when the print fails after them.
int e_print_sexp(STREAM* stream, int* err, TQ_SEXP* cell, int flags);
int print_sexp(STREAM* stream, TQ_SEXP* cell, int flags);  // e_print_sexp without err
// e_print_sexp of cell after the ASCII text before (null for none) and followed by a line
// end, all collected in one buffer: a whole line that fits it goes out in one write, so a
// peer that acts on the form never sees it without its line end.
int e_print_sexp_line(STREAM* stream, int* err, const char* before, TQ_SEXP* cell, int flags);
// The same with any ASCII text after (null for none) in place of the line end.
int e_print_sexp_framed(STREAM* stream, int* err, const char* before, TQ_SEXP* cell, int flags, const char* after);
// Realises every delayed cell that printing cell with flags would reach, in the order the
// printer reaches them, and writes nothing: false when the value nests deeper than the
// calling thread may print (printing would fail with ELOOP). A caller that prints under a
// lock during which nothing may be read or waited for calls it first, without the lock.
bool realize_for_print(TQ_SEXP* cell, int flags);

// 0 when every character of name may stand in a tag name, -1 otherwise. Rejected: codes 0
// to 32 and " % & ' ( ) + / < = > \ ^; character-set tagged codes (0x80000000 up) pass.
int check_valid_tag_char(L_CHAR ch);
int check_valid_tag(const L_CHAR* name);
// The same for bare words: rejected are codes 0 to 32 and % ' ( ) ^.
int check_valid_string_char(L_CHAR ch);
int check_valid_string(const L_CHAR* text);

// ---- HTML preparation. All make new cells rooted in the caller's top frame and never
// change their argument. A list nested past the nesting limit gives the error cell
// 0x8003020a (func "cut_null" or "base_list", data ("nesting too deep")) instead of a list.
// A list without its nils, the first symbol element kept and later symbol elements turned
// into strings (cast_symbol2string); applied to every nested list. A non-list is returned.
TQ_SEXP* cut_null(TQ_SEXP* x);
// A flattened list: nested lists headed by a symbol (elements) stay whole, other nested
// lists are spliced in, nils dropped. A non-list is returned.
TQ_SEXP* base_list(TQ_SEXP* x);
TQ_SEXP* format_HTML(TQ_SEXP* x);  // base_list(cut_null(x)), in a root frame of its own
// The primitive: format_HTML of element 1 of form.
TQ_SEXP* tq_format_HTML(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr,
                        TQISP_ENV* sp_env);

}  // namespace tq
