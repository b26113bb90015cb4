// Opening a web page in a browser, and running shell commands whose output or status the
// caller needs. Every command runs as /bin/sh -c in a child that closes the descriptors it
// inherited from 3 up; texts taken from the caller (page, host, user) are quoted for the shell.
#pragma once

namespace tq {

// Opens page (or, when page is null, "http://hostname:port/"); answers the shell's status.
using POSIX_OPEN_FUNC = int (*)(const char* hostname, int port, const char* page);
// Used by http_system when BROWSER is not set; set at start-up to linux_dependent_open.
extern POSIX_OPEN_FUNC posix_dependent_open;
// Runs "xdg-open <url>" and answers the shell's status; when xdg-open is not on PATH it
// prints "cannot open <url>: xdg-open not found\n" to standard error and answers -1.
int linux_dependent_open(const char* hostname, int port, const char* page);
void install_posix_dependent_open();  // posix_dependent_open = linux_dependent_open

// Shows page, or "http://hostname:port/" when page is null, in a web browser: through
// posix_dependent_open when BROWSER is not set (its result), else through the browser's
// remote command "<browser> -remote 'openURL(<url>)'"; when that fails the browser is
// started in the background and the remote command is tried again, at most 10 times.
// 0 when shown; -1 after printing "cannot open the browser %s\n" to standard error.
int http_system(const char* hostname, int port, const char* page);
// The pauses before each repeated remote command (300 ms) and between the two looks for a
// running netscape (1 s); tests replace it.
extern void (*browser_pause_ms)(long ms);

// Runs command with its output (on descriptor fd in the child) read back in full. With a
// search text: -1 when the output contains it, else 0; without: 0. -1 when no child starts.
int call_system(int fd, const char* command, const char* search);
// Starts "<browser> <url> &" and returns at once: 0, or -1 when no child starts.
int _http_system(const char* browser, const char* hostname, int port, const char* page);
// For browsers that take remote commands: starts "netscape" unless one of the user's is
// running (looked for twice, 1 second apart), else sends it the remote command.
int _http_netscape(const char* hostname, int port, const char* page);

// Runs command through the shell and answers its exit status (128 + n after signal n), or
// -1 when no child could be started. Works whether or not SIGCHLD is ignored.
int shell_status(const char* command);

}  // namespace tq
