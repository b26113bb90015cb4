// The script start-up, file interpreters, forms from text pieces, and the thread dump.
#include "interp/script_start.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/handover.h"
#include "stream/script_search.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tq {

namespace {

[[noreturn]] void fail_start(const char* fmt, const char* name, int result = 0, int err = 0) {
  s_printf(s_stderr, fmt, name, result, err);
  s_flush(s_stderr);
  u_exit(1);
}

bool is_slash(const char* a) { return std::strcmp(a, "/") == 0; }
bool is_minus(const char* a) { return std::strcmp(a, "-") == 0; }

// The file interpreter of a script: its output and error files from arguments 2 and 3.
void script_files(TQ_INTERPRETER* t, int count, char** args, L_CHAR* script) {
  t->a_type = TQI_FILE;
  t->input_file_name = script;
  if (count > 2 && !is_slash(args[2])) {
    t->output_file_name = nl_copy_str_1(std_cm, args[2]);
    if (count > 3 && !is_slash(args[3])) t->error_file_name = nl_copy_str_1(std_cm, args[3]);
  }
}

// The arguments of a script's run, for the names of its output and error files at the end;
// null for a run on handed-over streams.
char** script_args;

// Names on standard error the first reply of the script's run that could not be written to
// its output or error file: false when none was lost. *std_out tells whether that file was
// the standard output ("-").
bool tell_lost_reply(bool* std_out) {
  LOST_REPLY lost;
  {
    TqiLock l;
    lost = main_lost_reply;
  }
  if (!script_args || !lost.err) return false;
  const int which = lost.error_file ? 3 : 2;
  s_printf(s_stderr, "cannot write shell argument(%i) %s: %s\n", which, script_args[which], std::strerror(lost.err));
  s_flush(s_stderr);
  *std_out = is_minus(script_args[which]);
  return true;
}

}  // namespace

int run_end_status(int status) {
  bool std_out = false;
  if (tell_lost_reply(&std_out)) status = 1;
  {
    TqiLock l;
    if (file_reply_lost) status = 1;  // named when it failed
  }
  // Every write to the standard output, by any word, is counted in its stream; a stream a
  // failed reply closed was told above.
  if (const int err = s_write_error(&__s_std[1]); err > 0 && !std_out) {
    std::fprintf(stderr, "cannot write standard output: %s\n", std::strerror(err));
    status = 1;
  }
  return status;
}

int tq_setup_file(int count, char** args) {
  const char* arg1 = count > 1 ? args[1] : "";
  bool handed;
  int result;
  int err;
  {
    GcFrame frame("tq_setup_file");
    TQ_INTERPRETER* t = new_tq_interpreter();
    t->env = new_env(qvlisp_top_env1);
    handed = (count < 2 || is_slash(args[1])) && recv_streams_len > 0;
    if (handed) {
      t->a_type = TQI_PIPE;
      t->inp = recv_streams[0];
      t->out = recv_streams_len > 1 ? recv_streams[1] : recv_streams[0];
    } else {
      if (count < 2) {
        free_tq_interpreter(t);
        fail_start("too few arguments\n", nullptr);
      }
      // A copy of its own: the search converts a text for every folder it tries, and a
      // temporary would be reused by those conversions (along a TQPATH of 50 folders).
      L_CHAR* name = nl_copy_str_1(std_cm, args[1]);
      L_CHAR* script = get_script(nullptr, name);
      d_f_ree(name);
      if (!script) {
        free_tq_interpreter(t);
        fail_start("cannot open shell argument(1) %s\n", args[1]);
      }
      set_script_path(script);
      script_files(t, count, args, script);
      script_args = args;
    }
    result = setup_i(t);
    err = errno;
    if (result == SETUP_MAIN_CLOSED) {
      if (handed) t->inp = t->out = nullptr;  // the handed-over streams stay
      release_unregistered(t);
    }
  }
  if (result < 0) fail_start("cannot open shell argument(2) %s (%i:%i)\n", arg1, result, err);
  wait_stop_all();
  return run_end_status(0);
}

int new_file_interpreter(TQ_INTERPRETER* tqi, const L_CHAR* name) {
  tqi->msg = ll_copy_str(name);
  tqi->inp = s_open_file(n_string(std_cm, name), O_RDONLY, 0);
  if (!tqi->inp) {
    tqi->mode = TQI_OPEN_FAILED;
    return -1;
  }
  tqi->thread_mode = TM_EVAL;
  if (setup_tq_interpreter(tqi) >= 0) return 0;
  d_s_close(tqi->inp);  // not registered: no thread for it, or the main interpreter has closed
  tqi->inp = nullptr;
  tqi->mode = TQI_OPEN_FAILED;
  return -1;
}

char* sc_add_str(char* buffer, const char* text) {
  const size_t add = std::strlen(text);
  if (!buffer) {
    auto* b = static_cast<char*>(d_alloc(add + 1));
    std::memcpy(b, text, add + 1);
    return b;
  }
  const size_t have = std::strlen(buffer);
  auto* b = static_cast<char*>(d_re_alloc(buffer, have + add + 1));
  if (!b) er_panic("no memory!!");
  std::memcpy(b + have, text, add + 1);
  return b;
}

TQ_SEXP* sexp_commands(CODE_METHOD* cm, const char* text, ...) {
  char* joined = nullptr;
  va_list ap;
  va_start(ap, text);
  for (const char* t = text; t; t = va_arg(ap, const char*)) joined = sc_add_str(joined, t);
  va_end(ap);
  if (!joined) joined = sc_add_str(nullptr, "");
  STREAM* st = s_open_string_read(joined, cm, int(std::strlen(joined)), 1);
  d_f_ree(joined);
  const L_CHAR* name = _l_string_2(std_cm, "sexp_commands");
  GcFrame frame("sexp_commands");
  TQ_SEXP* root = init_parse(st, name, name);
  TQ_SEXP* err = list_error(root);  // reads every form, depth first
  return frame.release(get_type(err) == kTagError ? err : root);
}

namespace {

const char* number_text(const char* fmt, ...) {
  constexpr size_t kSize = 100;
  auto* buf = static_cast<char*>(d_alloc(kSize));
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, kSize, fmt, ap);
  va_end(ap);
  set_buffer(buf);
  return buf;
}

}  // namespace

const char* sxc_int(int64_t value) { return number_text("%lli", static_cast<long long>(value)); }
const char* sxc_float(double value) { return number_text("%f", value); }

void test_thread() {
  TqiLock l;
  for (TQ_THREAD* b : thread_hash)
    for (TQ_THREAD* t = b; t; t = t->next)
      ss_printf("thread %i %i %i - %i\n", t->tid, t->tqi->front_thread, t->tqi->relay_thread, t->tqi->mode);
  ss_printf(" \n");
}

}  // namespace tq
