// Printing datums: the string buffer that print_data appends to, the shared printer of
// numeric vectors, the text of any datum, the formats callers may give, and a rate-limited
// trace line naming a datum's type.
//
// A vector prints as "[dim:<dim> <size> ... :::\n", its elements each followed by " " (one
// axis), or by " /\n" at the end of each row of the first axis but the last, then "]".
#pragma once
#include <cstddef>
#include <cstdint>

#include "mxtype/mx_type.h"

namespace tq {

// A list of text pieces. The head is the caller's (cleared before use); its `next` is the
// first piece and its `tail` the last. Piece texts are debug-heap copies.
struct MATRIX_STRING_BUFFER {
  char* data;                  // the piece's text (unused in the head)
  MATRIX_STRING_BUFFER* next;  // the next piece; in the head, the first
  MATRIX_STRING_BUFFER* tail;  // in the head, the last piece
  int len;                     // the piece's length, filled while joining
};

// Appends a piece holding a copy of str.
void out_matrix_string_buffer(MATRIX_STRING_BUFFER* b, const char* str);
// A new debug-heap text of every piece in order (the caller frees it); "" for none.
char* get_matrix_string_buffer(MATRIX_STRING_BUFFER* b);
// Frees every piece and its text; the head is left empty.
void free_matrix_string_buffer(MATRIX_STRING_BUFFER* b);

// The kind of value a caller's format prints.
enum class MxFmtArg { kInt, kInt64, kDouble };
// fmt when it is a format that prints exactly that argument safely: any text, "%%", and at
// most one conversion with flags, width and precision (no '*', no '$'), of d i o u x X for
// integers (c too for kInt) or f F e E g G a A for doubles; its length modifier is replaced
// by the one the argument needs ("ll" for kInt64, none otherwise). The rewritten format goes
// to buf (n bytes). Null when fmt is null or not such a format: the caller then uses its
// default.
const char* mxt_safe_format(const char* fmt, MxFmtArg arg, char* buf, size_t n);
// Appends one value printed with fmt (checked as above) or def; the text of a value is cut
// at 999 characters.
void mxt_print_value(MATRIX_STRING_BUFFER* b, const char* fmt, const char* def, MxFmtArg arg, int64_t i, double f);

// Prints vector d's frame around its elements: element(b, address, ctx) for each element in
// storage order (el_size bytes apart); one-axis elements are followed by nothing when
// one_axis_joined is set, by " " otherwise. A vector of 0 axes prints its one element.
void mxt_print_vector_frame(MATRIX_STRING_BUFFER* b, void* d, bool one_axis_joined,
                            void (*element)(MATRIX_STRING_BUFFER* b, void* el, void* ctx), int el_size, void* ctx);
// The print_data of the numeric vector types: each element through the scalar type's
// print_data with fmt.
void mxt_print_vector(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);
// The text of datum d by tp's print_data, a temporary of the calling task (valid for its
// next 50 temporaries); "" for a type that does not print.
char* mxt_print(MDT tp, void* d, const char* fmt);

// A trace line of a datum's type, at most once a second per *tim: nothing when *tim holds
// the current second, else *tim takes it and "<msg>(<fn>)" (or "(<fn>+<ln>)" for an empty
// msg) and " :: <name>|VECTOR\n" or " :: <name>|SCOLOR\n" go to standard output; a null tp
// prints " :: zero\n".
void xx_type_debug(const char* msg, MDT tp, const char* fn, int ln, int* tim);
// The clock of xx_type_debug (tests replace it); null means get_tqtime.
extern uint32_t (*mx_type_debug_clock)();

}  // namespace tq
