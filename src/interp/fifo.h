// The request FIFO between an interpreter's front and relay threads, and the small services
// around evaluation that the runtime installs into lower layers: the break check, the
// interrupt handler, the reader's hooks, prompts, page feed and the lock-function
// rendezvous between the two threads of an interpreter.
#pragma once
#include "interp/interpreter.h"

namespace tq {

struct TQ_FIFO {
  TQ_FIFO* next;
  TQ_SEXP* cmd;  // the request form (marked by gc_tq_fifo)
};

extern SEM fifo_lock;         // every FIFO
extern SEM sem_tqi_lex_lock;  // the reader's result wake-ups against the front thread's end
extern TQ_FILE* terminal_file;  // the terminal interpreter's reader, for the prompt

// Appends form and wakes the relay while tqi runs (mode 0); otherwise drops it.
void put_tq_fifo(TQ_INTERPRETER* tqi, TQ_SEXP* form);
// The oldest form, entered in the caller's top root frame; null when tqi no longer runs,
// or at once when the FIFO is empty and nowait is set; otherwise waits for one.
TQ_SEXP* get_tq_fifo(TQ_INTERPRETER* tqi, int nowait);
int check_fifo(TQ_INTERPRETER* tqi);  // 1 when a form is queued
void interrupt_fifo(TQ_INTERPRETER* tqi);  // wakes a thread waiting in get_tq_fifo
void close_fifo(TQ_INTERPRETER* tqi);      // fifo_lock held: frees every entry
void gc_tq_fifo(TQ_FIFO* head);            // collector: marks every queued form
// Changes tqi's mode under fifo_lock (tqi_lock held), freeing the queued forms when the
// new mode ends the FIFO, so that nothing can be queued between the two.
void _set_tqi_mode(TQ_INTERPRETER* tqi, int mode);

// The evaluator's break-check hook. Nil to go on; else an error positioned at site:
// 0x80011404 "break" for a thread bound to no interpreter, a close request or a mode other
// than running; 0x80011405 "cancel" for a cancel request.
TQ_SEXP* _tqi_break_check(TQ_SEXP* site);
// The platform's interrupt hook, called from the signal handler: it takes no lock. 0 when
// a terminal interpreter exists (the first in table order gets a cancel request at its
// thread's next break check), -1 when none does.
int tq_int_handler();

// Reader hooks; file->work holds the interpreter.
void tqi_lex_result(TQ_FILE* file);  // wakes the threads sleeping on the interpreter's out
void tqi_lex_lock(TQ_FILE* file);    // takes the output lock, writes a vertical tab
void tqi_lex_unlock(TQ_FILE* file);

// Prompts "%i>" with the depth of the terminal reader's open forms.
void terminal_prompt(STREAM* stream, int flag);
void terminal_prompt_2(STREAM* stream);
// A form feed and a line end to its out, which then counts lines from 1 again; written
// under the interpreter's output lock (the caller may hold it), not under tqi_lock.
void tqi_page_feed(unsigned id);

// The lock-function rendezvous (inert while no function name is set).
void set_lock_function(const L_CHAR* name);
void inp_lock_function(const L_CHAR* name);
void out_lock_function(int flag);
void timeout_lock_function();  // tqi_lock held; every tick

}  // namespace tq
