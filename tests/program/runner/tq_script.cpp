// Test helper, not a user program: the runtime's start-up, then the script start-up with
// this program's arguments, as a program built on the runtime runs a script:
//   tq_script SCRIPT [OUTPUT|-|/] [ERRORS|-|/]
// or, with streams handed over in a "+" argument and no script (or "/"), a pipe-kind
// interpreter on them. It returns when the script's interpreter (the main one) has ended:
// status 0, or 1 when output was lost (a reply to OUTPUT or ERRORS, a write to standard output).
// With TQ_GC_STRESS set, a collection runs at every primitive return (on any thread, through
// the collector's own lock).
#include <cstdlib>

#include "entry/start.h"
#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"

namespace {

void collect() { tq::gc_tick_notin_tick(nullptr, 0); }

int run(int argc, char** argv) {
  tq::minimum_matrix_init(argc, argv);  // the program's whole start-up: every built-in word
  if (getenv("TQ_GC_STRESS")) tq::eval_check_hook = collect;
  return tq::tq_setup_file(argc, argv);  // 1 when a reply could not be written
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, run); }
