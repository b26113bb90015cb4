// Program arguments and child processes: the process's arguments after the "/" marker
// ("Arg", "ArgOption") and its environment ("GetVariable"); and the words that start other
// programs: "Launch" (a program and its arguments), "Shell" (a shell command, detached or
// with its output captured), "LaunchWWW" (the web browser) and "Export" (a program of this
// system that evaluates forms sent to it over a pipe).
//
// Only "Shell" hands a text to the system shell; "Launch" and "LaunchWWW" split theirs into
// an argument vector, so no character of a page address or a command line is ever read by a
// shell behind the caller's back. A program that cannot run is reported by the platform
// layer at once (launch_proc gives the error of its start), never as a process id.
#include "words/processes.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "interp/front_relay.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/core_words.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "remote/query.h"
#include "stream/child_process.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/fpipe_stream.h"
#include "stream/script_search.h"
#include "stream/stream_write.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// ---- the argument store ----------------------------------------------------------------------
// Written once at start-up (or by set_arg before any word runs), read by any thread.

int sh_argc;
char** sh_argv;
int v_offset;  // index of the "/" marker, or sh_argc without one

TQ_SEXP* tq_Arg(TQ_WORD_ARGS) {
  if (list_length(s) < 2) return get_integer(sh_argc - v_offset, nullptr);
  TQ_SEXP* n = get_el(s, 1);
  int64_t k;
  switch (get_type(n)) {
    case kTagInteger: k = n->integer.data; break;
    case kTagFloat: k = saturate_int32(n->floating.data); break;
    default: return lang_error(s, ER_TYPE, "Arg", nullptr);
  }
  if (sh_argc == 0) return word_error_str(s, ER_SETUP_MISSING, "Arg", "shell argments initializing is required");
  int64_t at;
  if (__builtin_add_overflow(int64_t(v_offset), k, &at) || at < 0 || at >= sh_argc)
    return word_error_str(s, ER_ARG_COUNT, "Arg", "shell argments length over");
  return n_get_string(sh_argv[at]);
}

// The first argument after the marker written name=value gives value.
TQ_SEXP* tq_ArgOption(TQ_WORD_ARGS) {
  const L_CHAR* name = word_attr(sf, "name");
  if (!name) return word_error_str(s, ER_INVALID_PARAM, "ArgOption", "invalid parameter(Attribute option required)");
  const char* key = n_string(std_cm, name);
  const size_t len = strlen(key);
  for (int i = v_offset + 1; i < sh_argc; ++i)
    if (strncmp(sh_argv[i], key, len) == 0 && sh_argv[i][len] == '=') return n_get_string(sh_argv[i] + len + 1);
  if (list_length(s) >= 2) return get_el(s, 1);
  return word_error_str(s, ER_MISSING, "ArgOption", "no option that name");
}

TQ_SEXP* tq_GetVariable(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (get_type(v) != kTagString) return lang_error(s, ER_TYPE, "GetEnvVar", nullptr);
  const char* value = getenv(n_string(std_cm, v->string.data));
  if (!value) return word_error_str(s, ER_NO_OBJECT, "GetEnvVar", "undefined evironment variable");
  return n_get_string(value);
}

// ---- argument vectors ------------------------------------------------------------------------

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The words of text (split at runs of blanks and tabs) as a null-ended vector with `extra`
// free slots before the null, in one debug-heap block (the words live in it too); *n words.
char** split_blanks(const char* text, int extra, int* n) {
  const size_t len = strlen(text);
  int words = 0;
  for (size_t i = 0; i < len; ++i)
    if (!is_blank(text[i]) && (i == 0 || is_blank(text[i - 1]))) ++words;
  const size_t slots = size_t(words + extra + 1);
  auto** v = static_cast<char**>(d_alloc(slots * sizeof(char*) + len + 1));
  char* copy = reinterpret_cast<char*>(v + slots);
  memcpy(copy, text, len + 1);
  *n = 0;
  for (char* p = copy; *p;) {
    while (is_blank(*p)) *p++ = 0;
    if (!*p) break;
    v[(*n)++] = p;
    while (*p && !is_blank(*p)) ++p;
  }
  for (int i = *n; i < words + extra + 1; ++i) v[i] = nullptr;
  return v;
}

const char kNoStreamFlags[] = {1, 0};

TQ_SEXP* tq_Launch(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (get_type(v) != kTagString) return word_error_str(s, ER_TYPE, "Launch", "type missmatch");
  int n;
  char** words = split_blanks(n_string(std_cm, v->string.data), 0, &n);
  const int pid = n > 0 ? launch_proc(words[0], words, nullptr, kNoStreamFlags, nullptr, nullptr) : 0;
  d_f_ree(words);
  if (n == 0) return word_error_str(s, ER_INVALID_PARAM, "Launch", "parameter error");
  if (pid < 0) return word_error_str(s, ER_CANNOT_LAUNCH, "Launch", "cannot launch");
  return get_integer(pid, nullptr);
}

constexpr int kBrowserTries = 10;

TQ_SEXP* tq_LaunchWWW(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (get_type(v) != kTagString) return lang_error(s, ER_TYPE, "LaunchWWW", nullptr);
  open_browser(n_string(std_cm, v->string.data));
  return nullptr;
}

// ---- Shell -----------------------------------------------------------------------------------

// A growing byte buffer on the debug heap that always has room for a closing zero.
struct ByteBuf {
  char* data = nullptr;
  size_t len = 0, cap = 0;
  ~ByteBuf() { d_f_ree(data); }
  char* room(size_t want) {
    if (cap - len < want + 1) {
      cap = (cap + want + 1) * 2;
      data = static_cast<char*>(d_re_alloc(data, cap));
    }
    return data + len;
  }
  TQ_SEXP* string() {
    room(0)[0] = 0;
    return n_get_string(data);
  }
};

constexpr int kShellPiece = 4096;

// Reads the command's output and error output as either fills, until both have ended, so
// that a command writing much to one of them never waits for a reader of the other.
void read_outputs(STREAM* out, STREAM* err, bool echo, ByteBuf* o, ByteBuf* e) {
  struct Side {
    STREAM* st;
    ByteBuf* buf;
    bool echo, open;
  } sides[2] = {{out, o, echo, true}, {err, e, false, true}};
  while (sides[0].open || sides[1].open) {
    pollfd fds[2];
    Side* of[2];
    int n = 0;
    for (Side& sd : sides)
      if (sd.open) fds[n] = {s_get_fid(sd.st), POLLIN, 0}, of[n++] = &sd;
    if (poll(fds, nfds_t(n), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      Side& sd = *of[i];
      char* at = sd.buf->room(kShellPiece);
      const int got = s_read(sd.st, at, kShellPiece);
      if (got <= 0) {
        sd.open = false;
        continue;
      }
      sd.buf->len += size_t(got);
      if (sd.echo) s_write(s_stdout, at, got);
    }
  }
  if (echo) s_flush(s_stdout);
}

// The pieces joined (a debug-heap text the caller frees), or null when piece k is not a
// string (then *bad is k).
L_CHAR* join_pieces(TQ_SEXP* s, int* bad) {
  size_t total = 0;
  int k = 1;
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr, ++k) {
    if (get_type(p->pair.car) != kTagString) {
      *bad = k;
      return nullptr;
    }
    total += size_t(l_strlen(p->pair.car->string.data));
  }
  auto* text = static_cast<L_CHAR*>(d_alloc((total + 1) * sizeof(L_CHAR)));
  L_CHAR* at = text;
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    l_strcpy(at, p->pair.car->string.data);
    at += l_strlen(at);
  }
  *at = 0;
  return text;
}

TQ_SEXP* tq_Shell(TQ_WORD_ARGS) {
  const bool capture = word_attr_is(sf, "pipe", "on");
  const bool echo = word_attr_is(sf, "cmdout", "on");
  int bad = 0;
  L_CHAR* text = join_pieces(s, &bad);
  if (!text)
    return lang_error(s, ER_TYPE, "Shell", list(n_get_string("type missmatch at argment "), get_integer(bad, nullptr), nullptr));
  if (echo) ss_printf("%ls\n", text);
  char* command = ln_copy_str(std_cm, text);
  d_f_ree(text);
  STREAM *in = nullptr, *out = nullptr, *err = nullptr;
  const int started = capture ? launch_proc_stdio(&in, &out, &err, command) : launch_proc_stdio(nullptr, nullptr, nullptr, command);
  d_f_ree(command);
  if (started != 0) return word_error_str(s, ER_CANNOT_LAUNCH, "Shell", "cannot launch");
  if (!capture) return nullptr;
  d_s_close(in);  // nothing is written: a command that reads its input finds its end
  ByteBuf o, e;
  read_outputs(out, err, echo, &o, &e);
  d_s_close(out);
  d_s_close(err);
  if (e.len > 0) return lang_error(s, ER_USER, "Shell", list(o.string(), e.string(), nullptr));
  return o.string();
}

// ---- Export ----------------------------------------------------------------------------------

// (PrintChain sync="mode")
TQ_SEXP* sync_form(const char* mode) {
  TQ_SEXP* head = n_get_symbol("PrintChain");
  set_attribute(head, _l_string_2(std_cm, "sync"), _l_string_1(std_cm, mode));
  return list(head, nullptr);
}

// Sends form through the pipe interpreter iid; the reply, rooted in the caller's frame.
TQ_SEXP* send_form(int iid, TQISP_ENV* env, TQ_SEXP* form) {
  TQ_SEXP* r = remote_query(iid, env, nullptr, form);
  gc_set(r, gc_qv_sexp);
  return r;
}

// The forms after the head of s, sent in order after the opening forms; the last reply, or
// the first that is an error.
TQ_SEXP* run_export(int iid, TQISP_ENV* env, TQ_SEXP* s, const L_CHAR* type) {
  TQ_SEXP* r = send_form(iid, env, sync_form("entry"));
  if (is_error_cell(r)) return r;
  if (L_CHAR* path = get_script_path()) {
    TQ_SEXP* set = list(n_get_symbol("SetScriptPath"), get_string(path), nullptr);
    d_f_ree(path);
    r = send_form(iid, env, set);
    if (is_error_cell(r)) return r;
  }
  // The target answers (PrintChain sync="exit") only once its chained output has been
  // answered here, that is evaluated by this side's relay thread onto our own standard
  // streams: waiting for that reply keeps the output from being lost in the close below.
  // A form that failed still gets it, since what the target printed before is owed too.
  TQ_SEXP* last = nullptr;
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    last = send_form(iid, env, qv_quote_trace(env, p->pair.car, type));
    if (is_error_cell(last)) break;
  }
  get_type(send_form(iid, env, sync_form("exit")));
  if (!is_error_cell(last)) send_form(iid, env, list(n_get_symbol("Exit"), nullptr));
  return last;
}

// Whether the pipe's input has ended, the target gone: its relay then answers what is queued
// and closes the pipe itself.
bool target_ended(unsigned iid) {
  TqiLock l;
  const TQ_INTERPRETER* t = _search_tqi_id(iid);
  return !t || (t->flags & TQF_INPUT_DONE);
}

TQ_SEXP* tq_Export(TQ_WORD_ARGS) {
  const L_CHAR* target = word_attr(sf, "target");
  if (!target) return lang_error_text(s, ER_INVALID_PARAM, "Export", "target is required ");
  const L_CHAR* type = word_attr(sf, "type");
  return Shell_target(target, type ? type : _l_string_2(std_cm, "direct"), env, s);
}

TQ_SEXP* pipe_error(TQ_SEXP* s, int id) {
  return lang_error(s, ER_USER, "Export", list(n_get_string("cannot open the pipe"), get_integer(id, nullptr), nullptr));
}

}  // namespace

// ---- shared entry points ---------------------------------------------------------------------

void init_sh_arg(int argc, char** argv) {
  sh_argc = argc;
  sh_argv = argv;
  v_offset = argc;
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "/") == 0) {
      v_offset = i;
      break;
    }
}

void set_arg(int argc, char** argv, int offset) {
  auto** copy = static_cast<char**>(d_alloc(sizeof(char*) * size_t(argc + 1)));
  for (int i = 0; i < argc; ++i) copy[i] = copy_str(argv[i]);
  copy[argc] = nullptr;
  sh_argc = argc;
  sh_argv = copy;
  v_offset = offset;
}

int open_browser(const char* url) {
  const char* browser = getenv("BROWSER");
  if (!browser || !*browser) browser = "xdg-open";
  int n;
  char** words = split_blanks(browser, 1, &n);
  bool shown = false;
  // An address beginning with "-" would reach the browser as one of its options (some
  // of which run other programs): no address begins so, and none such is handed over.
  if (n > 0 && url[0] != '-') {
    words[n] = const_cast<char*>(url);
    for (int i = 0; i < kBrowserTries && !shown; ++i) shown = launch_proc(words[0], words, nullptr, kNoStreamFlags, nullptr, nullptr) >= 0;
  }
  d_f_ree(words);
  if (shown) return 0;
  fprintf(stderr, "cannot open the browser %s\n", browser);
  return -1;
}

TQ_SEXP* Shell_target(const L_CHAR* target, const L_CHAR* type, TQISP_ENV* env, TQ_SEXP* s) {
  STREAM* fp[2];
  if (s_open_fpipe(fp) != 0) return pipe_error(s, -1);
  char* program = ln_copy_str(std_cm, target);
  char* args[] = {program, nullptr};
  STREAM* streams[] = {fp[0], nullptr};
  const int pid = launch_proc(program, args, streams, kNoStreamFlags, nullptr, nullptr);
  d_f_ree(program);
  if (pid < 0) {
    if (pid == -EINVAL) d_s_close(fp[0]);  // otherwise launch_proc has closed it
    d_s_close(fp[1]);
    return word_error_str(s, ER_CANNOT_LAUNCH, "Export", "cannot launch");
  }
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_PIPE;
  t->env = env;
  t->inp = t->out = fp[1];
  t->environment = 1;
  t->flags |= TQF_DRAIN;  // what the target wrote before it ended is relayed, reply or none
  const int iid = setup_i(t);  // a refused registration leaves the record and the stream here
  if (iid == SETUP_MAIN_CLOSED) release_unregistered(t);
  if (iid < 0) return pipe_error(s, iid);
  GcFrame frame("Export");
  TQ_SEXP* r = run_export(iid, env, s, type);
  // A target that ended by itself may have written requests still queued here: closing the
  // pipe would drop them.
  if (target_ended(unsigned(iid)))
    wait_stop_interpreter(unsigned(iid));
  else
    close_interpreter(unsigned(iid));
  return frame.release(r);
}

void init_Arg(TQISP_ENV* env) {
  bind_word(env, "Arg", tq_Arg, 1, nullptr, 1, 2);
  bind_word(env, "ArgOption", tq_ArgOption, 1, nullptr, 1, 2);
}
void init_GetVariable(TQISP_ENV* env) { bind_word(env, "GetVariable", tq_GetVariable, 1, nullptr, 2, 2); }
void init_Launch(TQISP_ENV* env) { bind_word(env, "Launch", tq_Launch, 1, nullptr, 2, 2); }
void init_LaunchWWW(TQISP_ENV* env) { bind_word(env, "LaunchWWW", tq_LaunchWWW, 1, nullptr, 2, 2); }
void init_Shell(TQISP_ENV* env) { bind_word(env, "Shell", tq_Shell, 1, nullptr, 2, kNoMax); }
void init_Export(TQISP_ENV* env) { bind_word(env, "Export", tq_Export, 0, nullptr, 2, kNoMax); }

}  // namespace tq
