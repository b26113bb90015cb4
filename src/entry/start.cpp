// The process entry. The start-up order lives here and only here: each layer's step is
// one line of the table below, in the order the layers depend on each other.
#include "entry/start.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <cerrno>

#include "entry/runtime_start.h"
#include "lang/init_tqlisp.h"
#include "matrix/matrix_gc_hooks.h"
#include "matrix/matrix_start.h"
#include "mxcmd/mx_word_registrars.h"
#include "platform/access_rules.h"
#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/file_helper.h"
#include "platform/resolve.h"
#include "platform/rules.h"
#include "platform/socket.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/handover.h"
#include "stream/socket_stream.h"
#include "store/store_lock.h"
#include "stream/stream.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "util/sys_param.h"
#include "words/function_start.h"

namespace tq {

namespace {

// Descriptors above 65535 are the file helper's virtual descriptors, and loops over
// descriptors must stay short: never run with a higher limit.
constexpr rlim_t kMaxDescriptors = 65536;

void limit_descriptors() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  bool change = false;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > kMaxDescriptors) rl.rlim_cur = kMaxDescriptors, change = true;
  if (rl.rlim_max == RLIM_INFINITY || rl.rlim_max > kMaxDescriptors) rl.rlim_max = kMaxDescriptors, change = true;
  if (change) setrlimit(RLIMIT_NOFILE, &rl);
}

// A standard descriptor closed at exec would be the first number the start-up's own opens
// get (the poll thread's pipe, a store file), and the program's output would land there.
// /dev/null opened for the other direction holds the number and still fails every read of
// 0 or write of 1 and 2 with EBADF, as a closed descriptor does.
void reserve_std_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)  // the lowest free number is fd: every lower one is open
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
}

void init_task_step() { init_task(2); }

void init_longchar_step() { init_longchar(); }

// The streams; from now on the file helper's diagnostics go through the standard output
// stream, so they cannot split a line of the program's own output.
void init_stream_step() {
  init_stream();
  ufr_print_hook = ss_printf;
}

void init_utils() {
  init_utils_locks();
  init_blacklist();
  set_sys_param();
}

// The resolver's locks; the accept stream class and the socket hooks of the stream layer.
void init_netutils_step() {
  init_netutils();
  init_socket_stream();
}

// Resolver answers become temporaries of the asking task (the text layer's ring).
void resolve_to_ring(void* block) { set_buffer(block); }

void init_resolve_step() {
  resolve_buffer_hook = resolve_to_ring;
  init_resolve();
}

struct Step {
  const char* name;
  void (*run)();
};

constexpr Step kSteps[] = {
    {"check_endian", check_endian},
    {"init_rule_checks", init_rule_checks},
    {"limit_descriptors", limit_descriptors},
    {"reserve_std_descriptors", reserve_std_descriptors},
    {"init_task", init_task_step},
    {"init_tick", init_tick},
    {"init_d_alloc", init_d_alloc},
    {"init_longchar", init_longchar_step},
    {"init_stream", init_stream_step},
    {"init_utils", init_utils},
    {"init_netutils", init_netutils_step},
    {"init_resolve", init_resolve_step},
};
constexpr int kStepCount = int(sizeof kSteps / sizeof kSteps[0]);

// ---- The upper layers (minimum_matrix_init).

int init_argc;
char** init_argv;

// The runtime's collector hooks give way to the program's, which add the matrix store's
// lock and roots. A collection already under way ends with the runtime's (the collector
// keeps the set a collection began with).
void init_tq_step() {
  init_tq();
  set_matrix_gc_hooks();
}
void init_function_step() { init_function(qvlisp_top_env0, qvlisp_top_env1, init_argc, init_argv); }
void clear_int_handler() { int_handler = nullptr; }  // the runtime installed its own

void init_matrix_step() {
  matrix_word_registrars = mx_word_registrars;
  init_matrix();
}

constexpr Step kUpperSteps[] = {
    {"init_tq", init_tq_step},
    {"init_l_favt64", init_l_favt64},
    {"init_function", init_function_step},
    {"clear_int_handler", clear_int_handler},
    {"init_matrix", init_matrix_step},
};
constexpr int kUpperStepCount = int(sizeof kUpperSteps / sizeof kUpperSteps[0]);

const char* steps_run[kStepCount + kUpperStepCount + 1];
bool upper_started;

// Streams handed over by a parent in a leading "+" argument.
void receive_handover(const char* arg) { proc_recv_stream(arg); }

}  // namespace

const char* const* startup_steps() { return steps_run; }

void minimum_matrix_init(int argc, char** argv) {
  if (upper_started) return;
  upper_started = true;
  init_argc = argc;
  init_argv = argv;
  for (int i = 0; i < kUpperStepCount; ++i) {
    kUpperSteps[i].run();
    steps_run[kStepCount + i] = kUpperSteps[i].name;
  }
}

void start_process(int argc, char** argv, MAIN_FUNC main_fn) {
  command_arg = argc > 0 ? argv[0] : "";
  for (int i = 0; i < kStepCount; ++i) {
    kSteps[i].run();
    steps_run[i] = kSteps[i].name;
  }
  if (argc >= 2 && argv[1][0] == '+') {
    const char* handover = argv[1];
    argv[1] = argv[0];
    --argc;
    ++argv;
    receive_handover(handover);
  }
  call_main(argc, argv, main_fn);
}

}  // namespace tq
