// Text replies, the server side of the text connection between interpreters: one reply per
// request, "<Result> N " value "</Result>\n" numbered by the request's source line, with
// code announcements "&cx%x;" before a value that needs another character code; and the
// protocol forms a connection acts on at once (Cancel, Break, Permission) and the chained
// user-information query.
#pragma once
#include "interp/interpreter.h"

namespace tq {

// The code a value's text needs (an lccode): the encoding named by a "?tq" or "?xml" head,
// else the character set the value's text uses most that some code method serves, else
// 0xdfff0001. str_max -2 surveys the whole value; any other value only what is realised
// already, looking at no more than str_max strings (negative: all).
L_CHAR get_proper_code(TQ_SEXP* s, int str_max);
inline constexpr L_CHAR kNoParticularCode = 0xdfff0001;

// Replies to request number `number` on tqi: a value to out; an error also to err (when it
// is another stream); an interruption (break, cancel) as nil to out.
void _reply(TQ_INTERPRETER* tqi, int number, TQ_SEXP* value);
// One reply on the stream held in *field (a field of tqi); a failed write closes that stream
// and clears the field (the main interpreter's first is kept in main_lost_reply; another file
// interpreter's file is named at once, "cannot write the output file NAME: CAUSE" or "the
// error file", and noted in file_reply_lost). A value nested too deep to print is answered
// with the nesting error.
void __reply(STREAM** field, TQ_INTERPRETER* tqi, int number, TQ_SEXP* value);

void send_code_sync(unsigned id);  // the next reply or request first announces the out code
void _cancel(TQ_INTERPRETER* tqi); // tqi_lock held
void send_cancel(unsigned id);
void _break(TQ_INTERPRETER* tqi);  // takes tqi_lock: requests the close
// Records the peer's answer (Permission X): Allow, Denied, Busy, or failed for anything else.
void _permission(TQ_INTERPRETER* tqi, TQ_SEXP* form);
// A GetUserInfo request: 0 when it was answered through the main interpreter, -1 when it is
// to be evaluated as any request.
int _get_user_info(TQ_INTERPRETER* tqi, TQISP_ENV* env, int number, TQ_SEXP* form);
// The chain of addresses behind the caller's interpreter.
TQ_SEXP* get_user_ip(int number);
// Sets the calling task's diagnostic message (the text must outlive the task's function).
void a_set_t_msg(const char* text);

}  // namespace tq
