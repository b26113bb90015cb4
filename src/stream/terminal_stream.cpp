// The terminal class: a stream over the standard input and output streams.
#include "stream/terminal_stream.h"

#include <cerrno>

#include "platform/d_alloc.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"

namespace tq {

S_TABLE s_terminal_table = {
    'e', 0, {0, 0}, nullptr,
    s_error_stream, s_close_terminal, s_write_terminal, s_read_terminal, s_flush_terminal,
    s_error, s_error_stream, s_error, nullptr,
};

void init_terminal_stream() { insert_s_table(&s_terminal_table); }

STREAM* s_open_terminal(TERMINAL_PROMPT prompt) {
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = &s_terminal_table;
  s->terminal.inp = s_stdin;
  s->terminal.out = s_stdout;
  s->terminal.prompt = prompt;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    _xx_s_open(s, 2, ST_MEMORY, __FILE__, __LINE__);
  }
  if (prompt) prompt(s, 0);
  return s;
}

int s_read_terminal(STREAM* s, char* data, int len) {
  const int n = s_read(s->terminal.inp, data, len);
  if (n < 0 && errno == EINTR) {
    data[0] = 3;  // the interrupt character
    return 1;
  }
  TERMINAL_PROMPT prompt;
  {
    LOCK_SCOPE(stream_lock);
    prompt = s->terminal.prompt;
  }
  if (prompt) {
    int last = 0;
    for (int i = 0; i < n; ++i)
      if (data[i] == '\n') {
        prompt(s, i - last);
        last = i + 1;
      }
  }
  return n;
}

int s_write_terminal(STREAM* s, const char* data, int len) { return s_write(s->terminal.out, data, len); }

int s_flush_terminal(STREAM* s) { return s_flush(s->terminal.out); }

// The standard streams' file records refuse to close descriptors 0..2, so this leaves
// them open.
int s_close_terminal(STREAM* s) {
  s_close_file(s->terminal.out);
  s_close_file(s->terminal.inp);
  return 0;
}

int s_set_prompt(STREAM* s, TERMINAL_PROMPT prompt) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || s->h.tbl != &s_terminal_table) return -1;
  s->terminal.prompt = prompt;
  return 0;
}

}  // namespace tq
