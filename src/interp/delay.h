// Delayed values: D_SEXP, a value another thread fills in later; the delay queue, on which a
// relay thread leaves a value that is not ready so that its connection goes on serving; the
// self-replacing delay thread that replies once a queued value is ready; and the reconnect
// queue, whose forms are forced on helper tasks.
//
// Each interpreter has its own delay-queue lock (TQF_DQUE_LOCK): its relay holds it while it
// queues or purges its entries, and a delay thread while it writes a reply from the queue to
// it, so that an interpreter cannot queue or purge entries while a reply from the queue is
// written to it, and its relay's end cannot free its record meanwhile. No lock another
// interpreter needs is held while a value is forced or a reply written: a delay thread that
// has taken an entry hands the serving of the queue to a successor first, and an interpreter
// has at most one entry in flight, so a peer that does not read holds one thread and itself.
//
// Lock order: the delay queue's own lock is the queues' high collector class, which the
// collector takes before tqi_lock; so queue operations run without tqi_lock, and readiness
// checks (which take tqi_lock) may run inside them.
#pragma once
#include "interp/interpreter.h"
#include "lang/tq_file.h"
#include "util/sys_queue.h"

namespace tq {

struct D_SEXP {
  DELAY_FUNC h;   // d_sexp_func, gc_d_sexp, check_d_sexp
  int flags;      // bit 0: the value has arrived (tqi_lock)
  TQ_SEXP* ret;   // the value
};

struct DELAY_QUE_T {
  Q_HEADER h;
  TQ_SEXP* ret;         // the pending value
  TQ_INTERPRETER* tqi;  // the interpreter to reply on; cleared when its relay ends while the
                        // entry is in flight (tqi_lock)
  int line;             // the reply number
  DELAY_QUE_T* next_in_flight;  // taken by a delay thread: the chain of such (tqi_lock)
};

extern SYS_QUEUE interpreter_que;
extern int interpreter_que_task;  // delay threads waiting on the queue (at most one)

// Sets up the delay queue (start-up).
void init_delay_queue();

// A delayed cell for a new D_SEXP (collected memory), stored through d.
TQ_SEXP* new_d_sexp(D_SEXP** d);
void set_d_sexp(D_SEXP* d, TQ_SEXP* value);  // the value arrives; its waiters wake
TQ_SEXP* d_sexp_func(TQ_SEXP* cell);  // waits for the value and writes it over the cell
int check_d_sexp(DELAY_FUNC* d, int key);  // 2 arrived, 1 pending
void gc_d_sexp(void* d);
// The first delayed cell made by new_d_sexp in a tree of pairs, depth first (car before
// cdr): its D_SEXP; null when the walk meets any other cell first or the tree nests deeper
// than the language's nesting limit.
D_SEXP* search_d_sexp(TQ_SEXP* form);

// Queues a pending value for the delay thread, to be replied on tqi as number line; dropped
// if tqi's relay ends before it is ready (see close_delay_que).
void insert_delay_que(TQ_INTERPRETER* tqi, int line, TQ_SEXP* value);
// The relay's end (tqi_lock held, released while it waits and while the queue is changed):
// no more entries for tqi, the queued ones removed, and one being forced let go (its value
// is dropped); a reply from the queue being written to tqi is waited for. With deliver (the input has ended,
// and every request read before the end is owed its reply) it first waits, asleep on
// tqi->delay_que_cnt, until the delay thread has replied every queued value; a close
// requested (TQF_CLOSE) or the output gone ends the wait, and what is left is dropped.
// The delay thread, _close_interpreter, the tick's close of the input, a keep-alive that
// finds the peer gone, and each tick that finds the output gone wake it.
void close_delay_que(TQ_INTERPRETER* tqi, bool deliver);
// Wakes the delay thread to look at the queue again (tqi_lock held): a value may be ready.
void _wakeup_delay_thread();
// The key a thread waiting for an interpreter's delay-queue lock sleeps on: counted by
// sleepers_on, a test knows the wait has begun.
const void* dque_wait_key();
// The key the delay thread serving the queue sleeps on while no entry is ready (woken by a
// value's arrival, a queuing interpreter, or its one-second time-out of the tick clock).
const void* delay_wait_key();

// Task body, priority 4: serves the queue; once it has taken an entry, it starts a successor
// (from a reservation, never waited for) to serve it meanwhile, forces the value and replies, and ends when another
// thread then serves the queue.
void delay_thread(void* data);

// Collector functions of the delay queue.
void gc_ique(Q_HEADER* entry);      // marks the queued value
void gc_get_ique(Q_HEADER* entry);  // roots a fetched value in the caller's frame

// The reconnect queue: form is queued (once) to be forced on a reconnect task, a new one
// while fewer than five run: 0. The task's thread is reserved, never waited for; when a task
// is due and none can be had, -1 with errno from reserve_task, and nothing is queued.
int sexp_reconnect(TQ_SEXP* form);
void gc_reconnect_que();  // collector: marks the queued forms

}  // namespace tq
