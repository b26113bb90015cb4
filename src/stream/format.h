// Formatted output: the system's printf. A format and its arguments become L_CHAR
// characters first (literal text and byte strings read as UTF-8, "%ls" taking L_CHAR
// strings as they are); the characters are then encoded by the stream's own code method,
// a character it cannot encode written as "&cx<hex>;".
//
// Directives: "%", at most one flag of "+- 0#", a width of digits (a '*' is ignored and
// takes no argument; widths above 999 are cut to 999), "." and exactly one precision
// character, a length modifier ("I64" and "ll" mean 64-bit, or one of "hlL"), and the
// conversion. d i o u x X c C take an int, a long with 'l', a long long with "ll", "I64"
// or 'L'; e E f g G a double; p a pointer; n takes a pointer and stores nothing; s S a
// UTF-8 byte string, or an L_CHAR string with 'l' or 'L'; "%%" one "%". Any other
// conversion prints nothing and takes nothing. No directive writes past its buffer.
#pragma once
#include <cstdarg>

#include "stream/stream.h"
#include "text/l_char.h"

namespace tq {

// Batched output: characters are collected and converted and written kSpsatChars at a time.
inline constexpr int kSpsatChars = 1024;
struct S_PRINTF_SAT {
  void* alc[3];      // 0 and 1 unused; 2 the encoded bytes being written
  int alc_len[3];    // allocated sizes
  int alc_size[3];   // sizes in use
  L_CHAR* str_buf;   // kSpsatChars characters
  int str_buf_ptr;   // characters in str_buf
  STREAM* st;
  int err;           // negative once a write or conversion failed
};

// -1 when s is not live, else the number of characters formatted (whether or not the
// write succeeded).
int s_printf(STREAM* s, const char* fmt, ...);
// The same; 22 (EINVAL) through erp when s is not live, the system error on a failed write.
int e_printf(STREAM* s, int* erp, const char* fmt, ...);
int ss_printf(const char* fmt, ...);  // on s_stdout
// Formats into buf (the caller makes it large enough), ended by a 0 character; the number
// of characters, or -1.
int ss_sprintf(L_CHAR* buf, const char* fmt, ...);
// The characters one call formats (what a string stream in the internal code method would
// collect, without a stream), copied with an ending 0 character into the room that
// room(ctx, n) gives for their n characters and the end, so that the caller can put them
// where it likes (the log puts a record's texts in one block). Returns that room; null when
// room gave none.
L_CHAR* l_vformat_to(const char* fmt, va_list p, L_CHAR* (*room)(void* ctx, int n), void* ctx);
// With sat null formats and writes to s; with sat set formats into the accumulator.
int _s_printf(STREAM* s, int* erp, const char* fmt, va_list p, S_PRINTF_SAT* sat);

int new_spsat(S_PRINTF_SAT* sat, STREAM* st);  // -1 for a null stream, else 0
int write_spsat(S_PRINTF_SAT* sat, const L_CHAR* data, int len);  // -1 once err is negative
int flush_spsat(S_PRINTF_SAT* sat, int* erp);   // returns err
int finish_spsat(S_PRINTF_SAT* sat, int* erp);  // flushes, frees the buffers

}  // namespace tq
