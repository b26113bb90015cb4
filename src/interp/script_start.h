// The start of a program from its shell arguments (a script with optional output and error
// files, or the streams a parent handed over), an interpreter on a named file, language
// forms built from text pieces, and a diagnostic dump of the bound threads.
#pragma once
#include "interp/interpreter.h"

namespace tq {

// Arguments: [1] the script (found along the script path), [2] its output file, [3] its
// error file ("/" for none; "/" as [2] also means no error file). With no script (or "/")
// and streams handed over by the parent, a pipe-kind interpreter on them. Returns when only
// self-kind interpreters remain: the program's status, run_end_status(0).
// On a failure to start it writes to standard error and ends the process with status 1:
// "too few arguments", "cannot open shell argument(1) NAME", "cannot open shell
// argument(2) NAME (result:errno)" (NAME empty without argument 1; errno 22 for an output
// or error file that is the script itself).
int tq_setup_file(int count, char** arguments);
// The status a run ends with, status unless an output was lost; then 1, after a line on
// standard error for each kind of loss:
//   a reply of the script's run not written to its output (N 2) or error file (N 3), the
//     first such: "cannot write shell argument(N) FILE: CAUSE";
//   a write to the process's standard output that failed, the first such (not told again
//     when the lost reply went there, FILE "-"): "cannot write standard output: CAUSE";
//   a reply of another file interpreter lost (file_reply_lost): named when it failed.
// The program's main function returns it, and a word that ends the process calls it first.
int run_end_status(int status);
// An interpreter of the file kind on name: 0 registered; -1 the file did not open, or the
// record was not registered (no thread for it, the main interpreter closed; the file is
// closed again): the record's mode is then TQI_OPEN_FAILED and it stays the caller's.
int new_file_interpreter(TQ_INTERPRETER* tqi, const L_CHAR* name);

// Joins the byte texts up to a null, reads them as language forms through cm, and returns
// the list of every form (all read), or the first error cell in it. Cells in the caller's
// top root frame.
TQ_SEXP* sexp_commands(CODE_METHOD* cm, const char* text, ...);
// Appends text to a debug-heap text (a new copy for a null buffer) and returns it.
char* sc_add_str(char* buffer, const char* text);
// "%lli" and "%f" texts, temporaries of the calling task, as pieces of sexp_commands.
const char* sxc_int(int64_t value);
const char* sxc_float(double value);

// "thread TID FRONT RELAY - MODE\n" for every bound thread, then " \n", on standard output.
void test_thread();

}  // namespace tq
