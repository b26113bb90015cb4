// Test helper, not a user program: starts the runtime, reads the script named by its
// argument with the reader and prints, for every top-level form, the form's value with the
// printer and a line feed. With TQ_GC_STRESS set, a collection runs after every form and at
// every primitive return, so values that are not rooted are lost and show up in the output.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "entry/start.h"
#include "interp/runtime_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream.h"

namespace {

void collect() { tq::gc_enable(); }

int run(int argc, char** argv) {
  using namespace tq;
  if (argc < 2) {
    fprintf(stderr, "usage: tq_script file.tq\n");
    return 2;
  }
  init_tq();
  bool stress = getenv("TQ_GC_STRESS") != nullptr;
  if (stress) eval_check_hook = collect;
  STREAM* in = s_open_file(argv[1], O_RDONLY, 0);
  if (!in) {
    fprintf(stderr, "tq_script: cannot open %s\n", argv[1]);
    return 2;
  }
  gc_push(nullptr, nullptr, "tq_script");
  TQ_SEXP* root = init_parse(in, n_get_string(argv[1])->string.data, nullptr);
  gc_set(root, gc_qv_sexp);
  for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = p->pair.cdr) {
    gc_push(nullptr, nullptr, "tq_script form");
    TQ_SEXP* v = eval(qvlisp_top_env1, p->pair.car);
    if (print_sexp(s_stdout, v, 0) < 0) fprintf(stderr, "tq_script: print failed\n");
    s_printf(s_stdout, "\n");
    gc_pop(nullptr, nullptr);
    if (stress) gc_enable();
  }
  gc_pop(nullptr, nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, run); }
