// The process entry: brings the platform, text and stream layers up on the first thread
// in their fixed order, hands a leading "+" argument to the stream layer, then runs the
// program's main function and ends the process with its result.
#pragma once
#include "platform/startup.h"

namespace tq {

[[noreturn]] void start_process(int argc, char** argv, MAIN_FUNC main_fn);

// The start-up steps in the order they run, as names (for the start-up order test).
const char* const* startup_steps();

}  // namespace tq
