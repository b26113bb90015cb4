// The process entry: brings the platform, text and stream layers up on the first thread
// in their fixed order, hands a leading "+" argument to the stream layer, then runs the
// program's main function and ends the process with its result. The program's main
// function starts the upper layers with minimum_matrix_init.
#pragma once
#include "platform/startup.h"

namespace tq {

[[noreturn]] void start_process(int argc, char** argv, MAIN_FUNC main_fn);

// The upper layers' start-up, on the start-up thread, once (later calls do nothing): the
// interpreter runtime (init_tq) with the program's collector hooks in place of its own, the
// store lock (init_l_favt64), the built-in words in the two top environments with the
// arguments (init_function), the interrupt hook cleared (an interrupt prints "Interrupted"
// and ends the process with status 1), and the matrix store with its words (init_matrix).
void minimum_matrix_init(int argc, char** argv);

// The start-up steps in the order they run, as names (for the start-up order test): the
// process entry's, then minimum_matrix_init's once it has run; the list ends with null.
const char* const* startup_steps();

}  // namespace tq
