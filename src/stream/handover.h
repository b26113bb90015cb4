// The child side of a stream hand-over: a first argument beginning with "+" names the
// streams a parent left open for this process, each as a class letter and the class's
// own text, optionally followed by "[" escaped-text "]" to be written to every one.
#pragma once
#include "stream/stream.h"

namespace tq {

extern STREAM** recv_streams;  // the received streams in order, ended by null
extern int recv_streams_len;

// Rebuilds the streams described by msg (the whole argument, "+" included). A letter no
// class claims gives a null entry and parsing goes on at the next character.
void proc_recv_stream(const char* msg);

// Decodes the escaped text starting after "[" (up to "]" or the end): "\" and three octal
// digits give the low 8 bits of their value; any other byte stands for itself. Returns a
// debug-heap buffer and its length through len.
char* decode_ret_str(const char* text, int* len);

}  // namespace tq
