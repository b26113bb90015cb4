// The string class 't': a read stream over a byte buffer, or a write stream collecting
// what is written into a growing buffer that the caller takes out afterwards. The class
// operations take no lock of their own: a stream has one reader or writer at a time. The
// accessors below may be called from any thread; on a write stream they first wait for a
// write in progress in another thread to end, so they never see one half done.
#pragma once
#include <cstdarg>

#include "stream/stream.h"

namespace tq {

extern S_TABLE s_string_table;
void init_string_stream();

// A read stream over size bytes at str, copied into a buffer of the stream when flag is
// set, else read in place (the caller keeps the bytes alive). Code method cm (the
// default when null).
STREAM* s_open_string_read(const char* str, CODE_METHOD* cm, int size, int flag);
// A write stream with an empty buffer, code method cm (the default when null).
STREAM* s_open_string_write(CODE_METHOD* cm);

int s_read_string(STREAM* s, char* data, int len);  // n, then 0 once at the end, then -1
int s_write_string(STREAM* s, const char* data, int len);
// Frees an owned buffer once no other thread is inside an operation of s (stream lock held); 0.
int s_close_string(STREAM* s);

// The buffer of a string stream, ended by one 0 byte (s_get_l_string: four, one 0
// character of the "Internal" method). A write stream gives the bytes collected so far;
// the buffer stays valid until the stream is closed or written again. A read stream
// gives the whole text it was opened over (read or not), in a buffer of its own that
// stays valid until the stream is closed; the caller's bytes are never written. Null for
// another class or a write stream that never received bytes.
char* s_get_string(STREAM* s);
char* s_get_l_string(STREAM* s);
// Bytes collected so far by a write stream; -1 otherwise.
int s_get_string_size(STREAM* s);

// Formats with the C formatter straight into the buffer (no code method); the
// formatter's result. The _cr form counts line feeds and carriage returns in cr_cnt.
int s_vprintf_string(STREAM* s, const char* fmt, va_list p);
int s_vprintf_string_cr(STREAM* s, const char* fmt, va_list p);

}  // namespace tq
