// tq_probe: a small program on the full start-up that the black-box tests drive.
//   tq_probe args          prints the argument count and each argument on a line
//   tq_probe exit N        returns N from the main function
//   tq_probe panic TEXT    ends through er_panic(TEXT)
//   tq_probe sigint        interrupts itself
//   tq_probe steps         prints the start-up steps in the order they ran
//   tq_probe streams       prints the streams a "+" argument handed over, through ss_printf
//   tq_probe talk          writes its command line as the kernel gave it (one argument a
//                          line, the "+" argument included) to the first handed-over stream,
//                          then copies what it reads from the last one back to the first
//                          until that ends
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "entry/start.h"
#include "platform/sleep.h"
#include "stream/format.h"
#include "stream/handover.h"
#include "stream/stream_write.h"

namespace {

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
  if (!strcmp(cmd, "steps")) {
    for (const char* const* s = tq::startup_steps(); *s; ++s) printf("%s\n", *s);
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
  fprintf(stderr, "tq_probe: unknown command\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, probe_main); }
