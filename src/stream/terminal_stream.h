// The terminal class 'e': standard input and output with a prompt callback, called once
// at opening and after every line read.
#pragma once
#include "stream/stream.h"

namespace tq {

extern S_TABLE s_terminal_table;
void init_terminal_stream();

// A terminal stream over s_stdin and s_stdout (mode 2, type 16); calls prompt(s, 0) once
// before returning it. prompt may be null.
STREAM* s_open_terminal(TERMINAL_PROMPT prompt);
// Reads inp; for every newline read calls prompt(s, n), n the bytes since the previous
// newline of this read. A read broken by a signal returns the one byte 3.
int s_read_terminal(STREAM* s, char* data, int len);
int s_write_terminal(STREAM* s, const char* data, int len);
int s_flush_terminal(STREAM* s);
int s_close_terminal(STREAM* s);
int s_set_prompt(STREAM* s, TERMINAL_PROMPT prompt);  // -1 for another class

}  // namespace tq
