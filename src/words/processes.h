// Program arguments and child processes (the words "Arg", "ArgOption", "GetVariable",
// "Launch", "LaunchWWW", "Shell" and "Export"): what other code may call besides the
// registrars of words/registrars.h.
#pragma once
#include "lang/env.h"
#include "lang/sexp.h"

namespace tq {

// Replaces the argument store of "Arg" and "ArgOption" with a copy of argv (argc strings,
// each duplicated on the debug heap, ended by a null) and takes offset as the index of the
// marker directly. Not called by any word; the store it replaces is not freed.
void set_arg(int argc, char** argv, int offset);

// Starts the web browser on url without a shell: the words of the environment variable
// BROWSER (the program and its options, split at blanks), else "xdg-open", with url as the
// last argument; up to 10 tries while the program cannot be started. 0 once it runs (it
// is not waited for); -1 after writing "cannot open the browser %s\n" to standard error,
// also, with nothing started, for a url beginning with "-" (it would read as an option).
int open_browser(const char* url);

// The body of "Export": starts target with one end of a new flush pipe handed over to it,
// talks to it through a pipe interpreter whose environment is env, sends the forms after
// the head of s (quoted by type) between the opening and closing forms, and closes the
// interpreter. The last reply, or the first error.
TQ_SEXP* Shell_target(const L_CHAR* target, const L_CHAR* type, TQISP_ENV* env, TQ_SEXP* s);

}  // namespace tq
