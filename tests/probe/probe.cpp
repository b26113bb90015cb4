// tq_probe: a small program on the full start-up that the black-box tests drive.
//   tq_probe args          prints the argument count and each argument on a line
//   tq_probe exit N        returns N from the main function
//   tq_probe panic TEXT    ends through er_panic(TEXT)
//   tq_probe sigint        interrupts itself
//   tq_probe sigint-at-exit  interrupts itself once it has claimed the exit as u_exit does
//                          just before its _exit, then ends with _exit(7)
//   tq_probe steps         prints the start-up steps in the order they ran
//   tq_probe barrier       after the platform's start-up alone (no runtime), asks the kernel
//                          for the private expedited barrier: prints "0" when it runs,
//                          "-1 ERRNO" when refused, "unsupported" when the kernel lacks it
//   tq_probe streams       prints the streams a "+" argument handed over, through ss_printf
//   tq_probe talk          writes its command line as the kernel gave it (one argument a
//                          line, the "+" argument included) to the first handed-over stream,
//                          then copies what it reads from the last one back to the first
//                          until that ends
//   tq_probe stdio         the runtime with a stdio-kind interpreter, until its input ends
//   tq_probe desc          the runtime with a descriptor-kind interpreter on the descriptor
//                          of the first handed-over stream, until its input ends
//   tq_probe listen [N]    the runtime with a listener on a free port admitting every peer;
//                          prints the port, serves until standard input ends; with N, the
//                          system refuses threads (EAGAIN) past N more: a small thread
//                          limit; and a local HTTP agent at /agent
//   tq_probe chain PORT    the same, but first a connection to PORT on loopback as the main
//                          interpreter (GetUserInfo requests go through it)
//   tq_probe hold PATH     holds a store file for writing: makes PATH anew with a free list,
//                          writes 100 records of 1000 bytes ('h') and writes back its pages;
//                          a line on standard input then closes it (status 0 when the close
//                          answered 0, else 1); the end of the input ends the process at
//                          once, without a close
//   tq_probe collecting    the upper start-up (minimum_matrix_init) while another task
//                          collects again and again; then prints how many values bound in
//                          the top environments and the matrix words' one are not live
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "entry/start.h"
#include "interp/interpreter.h"
#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "matrix/matrix_registry.h"
#include "platform/task.h"
#include "remote/http_agent.h"
#include "stream/file_stream.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/format.h"
#include "stream/handover.h"
#include "stream/stream_write.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "store/store_lock.h"

namespace {

int open_kind(char kind, int fd = -1, int port = 0) {
  tq::TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = kind;
  t->env = tq::qvlisp_top_env1;
  t->port = port;
  if (kind == tq::TQI_DESC) {
    t->inp_desc = fd;
    t->out_desc = dup(fd);
  } else if (kind == tq::TQI_CONNECT) {
    t->ip = 0x7f000001;
  } else if (kind == tq::TQI_ACCEPT) {
    tq::PERMISSION_LIST* pl = tq::new_permission_list(t, nullptr);
    tq::insert_access_list(&pl->ap, 0, 0, nullptr, 0, 0, 1);
  }
  return tq::setup_i(t);
}

// Threads the system still gives (a small thread limit), once the listener is up.
std::atomic<int> threads_left{0};
int capped_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  return --threads_left < 0 ? EAGAIN : pthread_create(t, a, f, arg);
}

// A listener on a free port, printed; served until standard input ends. extra > 0: at most
// that many threads started after it (beside the idle ones it had, which it may reuse).
int serve_listener(int extra = 0) {
  const int id = open_kind(tq::TQI_ACCEPT);
  if (id < 0) return 3;
  if (extra > 0) {
    tq::insert_http_agent_list("/agent", tq::qvlisp_top_env1, nullptr, nullptr, nullptr);  // its body read on a thread
    threads_left = extra;
    tq::task_thread_create_hook = capped_create;
  }
  tq::TQ_INTERPRETER info{};
  tq::get_tqi_info(&info, unsigned(id));
  printf("%d\n", info.port);
  fflush(stdout);
  char b[256];
  while (read(0, b, sizeof b) > 0) {
  }
  tq::close_all_interpreter();
  tq::wait_stop_all();
  return 0;
}

int run_runtime(int argc, char** argv) {
  const char* cmd = argv[1];
  tq::init_tq();
  if (!strcmp(cmd, "stdio")) {
    if (open_kind(tq::TQI_STDIO) < 0) return 3;
  } else if (!strcmp(cmd, "desc") && tq::recv_streams_len > 0) {
    const int fd = tq::s_get_fid(tq::recv_streams[0]);
    if (open_kind(tq::TQI_DESC, dup(fd)) < 0) return 3;
    d_s_close(tq::recv_streams[0]);
  } else if (!strcmp(cmd, "listen")) {
    return serve_listener(argc > 2 ? atoi(argv[2]) : 0);
  } else if (!strcmp(cmd, "chain") && argc > 2) {
    if (open_kind(tq::TQI_CONNECT, -1, atoi(argv[2])) < 0) return 4;
    return serve_listener();
  } else {
    return 2;
  }
  tq::wait_stop_all();
  return 0;
}

// The bindings of env whose value is not a live block of collected memory.
int dead_bindings(tq::TQISP_ENV* env) {
  int dead = 0;
  const tq::TQ_ENV& e = env->env;
  for (int b = 0; e.hash_ptr && b < e.hash_ptr_size; ++b)
    for (const tq::ELEMENT* el = e.hash_ptr[b]; el; el = el->next) dead += el->data && !tq::mem_is_block(el->data);
  return dead;
}

std::atomic<int> collector_state;  // 1 collecting, 2 asked to stop, 3 stopped

void collect_until_stopped(void*) {
  while (collector_state.load() == 1) tq::gc_tick_notin_tick(nullptr, 0);
  collector_state.store(3);
}

int start_while_collecting() {
  collector_state.store(1);
  create_task(collect_until_stopped, nullptr, 3);
  tq::minimum_matrix_init(0, nullptr);
  collector_state.store(2);
  while (collector_state.load() != 3) sched_yield();
  printf("%d\n", dead_bindings(tq::qvlisp_top_env0) + dead_bindings(tq::qvlisp_top_env1) + dead_bindings(tq::matrix_tq_env));
  return 0;
}

int hold_store_file(const char* path) {
  tq::init_l_favt64();
  tq::PDB64* p = tq::open_filespace64(path, O_RDWR | O_CREAT | O_TRUNC, 0644, tq::kFsFreeList, 31, "utf8");
  if (!p) {
    printf("open failed: %s\n", strerror(errno));
    return 1;
  }
  std::vector<unsigned char> rec(1000, 'h');
  for (int i = 0; i < 100; ++i) {
    tq::PN64_HEADER h{};
    h.type = 123;
    h.size = rec.size();
    const int64_t at = tq::alloc_filespace64(p, &h);
    tq::set_rec_head64(rec.data(), 123, rec.size());
    if (at < 0 || tq::write_filespace64f(p, uint64_t(at), rec.data()) < 0) return 1;
  }
  if (tq::fac_flush(&p->fac) < 0) return 1;
  char line[64];
  if (!fgets(line, sizeof line, stdin)) _exit(0);
  return tq::close_filespace64(p) < 0 ? 1 : 0;
}

int probe_main(int argc, char** argv) {
  const char* cmd = argc > 1 ? argv[1] : "";
  if (!strcmp(cmd, "args")) {
    printf("%d\n", argc);
    for (int i = 0; i < argc; ++i) printf("%s\n", argv[i]);
    return 0;
  }
  if (!strcmp(cmd, "exit") && argc > 2) return atoi(argv[2]);
  if (!strcmp(cmd, "panic") && argc > 2) tq::er_panic(argv[2]);
  if (!strcmp(cmd, "sigint")) {
    raise(SIGINT);
    tq::sleep_sec(10);
    return 3;
  }
  if (!strcmp(cmd, "sigint-at-exit")) {
    if (!tq::claim_exit()) return 3;
    raise(SIGINT);
    _exit(7);
  }
  if (!strcmp(cmd, "steps")) {
    for (const char* const* s = tq::startup_steps(); *s; ++s) printf("%s\n", *s);
    return 0;
  }
  if (!strcmp(cmd, "barrier")) {
    const long cmds = syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    if (cmds < 0 || !(cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED)) {
      printf("unsupported\n");
      return 0;
    }
    if (syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0)
      printf("0\n");
    else
      printf("-1 %d\n", errno);
    return 0;
  }
  if (!strcmp(cmd, "streams")) {
    tq::ss_printf("%d\n", tq::recv_streams_len);
    for (int i = 0; i < tq::recv_streams_len; ++i) {
      tq::STREAM* s = tq::recv_streams[i];
      if (!s)
        tq::ss_printf("-\n");
      else if (s->h.tbl->type == 'P')
        tq::ss_printf("P %d %d\n", s->fpipe.fid_read, s->fpipe.fid_write);
      else
        tq::ss_printf("%c %d\n", s->h.tbl->type, s->file.fid);
    }
    return 0;
  }
  if (!strcmp(cmd, "talk") && tq::recv_streams_len > 0) {
    tq::STREAM* out = tq::recv_streams[0];
    tq::STREAM* in = tq::recv_streams[tq::recv_streams_len - 1];
    char buf[4096];
    FILE* f = fopen("/proc/self/cmdline", "rb");
    const size_t n = f ? fread(buf, 1, sizeof buf, f) : 0;
    if (f) fclose(f);
    for (size_t i = 0; i < n; ++i)
      if (!buf[i]) buf[i] = '\n';
    tq::s_write(out, buf, int(n));
    tq::s_flush(out);
    for (int got; (got = tq::s_read(in, buf, sizeof buf)) > 0;) {
      tq::s_write(out, buf, got);
      tq::s_flush(out);
    }
    return 0;
  }
  if (!strcmp(cmd, "collecting")) return start_while_collecting();
  if (!strcmp(cmd, "hold") && argc > 2) return hold_store_file(argv[2]);
  if (int r = argc > 1 ? run_runtime(argc, argv) : 2; r != 2) return r;
  fprintf(stderr, "tq_probe: unknown command\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, probe_main); }
