// Evaluation, error and process-control words: "Eval", "FormatEval", "ListEval",
// "IgnoreDelay", "ErrHandler", "Error", "Sleep", "Exit" and "Test".
#pragma once

namespace tq {

// 0 at start and never changed by this system: "Exit" ends the process while it is 0 and
// closes every interpreter instead otherwise.
extern int exit_mode;

// One second of "Sleep": sleep_sec(1) unless a test installs its own.
extern void (*sleep_word_second)();

}  // namespace tq
