// Starting other programs: one that inherits some of the caller's open streams, described
// to it in a first argument beginning with "+" (the hand-over argument); a shell command
// whose standard input, output and error become three new streams; and detached shell
// commands. Every fork holds the fork lock's write side; a child makes only
// async-signal-safe calls between fork and exec (every text is made before the fork).
#pragma once
#include "stream/stream.h"

namespace tq {

// Starts program (searched on PATH when it holds no "/") with the argument vector args
// (argument 0 first, null-terminated). When `streams` (null-terminated, may be null)
// names streams, the child gets as argument 1 "+" followed by each stream's class letter
// and text, then "[" escaped ret_str_child "]" when that text is not empty, and keeps
// their descriptors open; its other arguments follow unchanged. After the fork the parent
// writes ret_str_parent (when given) into each stream and closes (queued close) those whose
// close_flags byte is non-zero; the child does not run the program before that is done.
// Returns the child's process id, or minus the error number: -EINVAL, without forking and
// with the streams untouched, when a stream is not live or its class cannot hand it over
// (descriptors of the root file helper cannot be inherited either); minus the fork's error
// when the fork failed (the streams are then still written and closed as above); minus the
// error of execve when the program cannot run (a missing or non-executable program: the
// child has then ended and is reaped, the streams are written and closed as above). It
// returns once the child runs the program or has failed to.
int launch_proc(const char* program, char* const* args, STREAM** streams, const char* close_flags,
                const char* ret_str_parent, const char* ret_str_child);

// Appends "[" + text escaped + "]" to the debug-heap text msg (reallocating it) and returns
// it; a null or empty text returns msg unchanged. Bytes 0x21..0x7f other than "]" and "\"
// stand as themselves; every other byte b is "\" and three octal digits of b taken as a
// signed byte: (b >> 6) & 7, (b >> 3) & 7, b & 7 (so 0x80 is "\600" and 0xff "\777").
char* setup_ret_str_child(char* msg, const char* text);

// With st_in: runs command through the shell on three new pipes, storing in *st_in a file
// stream writing its standard input, in *st_out and *st_err streams reading its output
// and error output. Without st_in: runs the command detached, with no new streams.
// 0, or -1 with errno (and null streams) when no pipe or child could be made.
int launch_proc_stdio(STREAM** st_in, STREAM** st_out, STREAM** st_err, const char* command);
// The two roads of launch_proc_stdio, giving the child's process id or -1 with errno.
int _launch_proc_stdio_1(STREAM** st_in, STREAM** st_out, STREAM** st_err, const char* command);
int _launch_proc_stdio_2(const char* command);

// Runs "command &" through the shell with standard output and error on /dev/null.
// The shell's process id, or minus the fork's error number.
int launch_devnull(const char* command);
// Runs command through the shell. The shell's process id, or minus the fork's error number.
int launch_normal(const char* command);

}  // namespace tq
