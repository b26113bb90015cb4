// The language runtime's start-up: one fixed order on the calling thread, before any other
// thread evaluates language code. Steps of layers that are not built yet are empty.
#pragma once

namespace tq {

// Collected memory, the keyed queues, the language core with its top environments and
// primitives, the units, the collector's tick, the interpreter tables with the delay thread
// and the interpreter tick, the remote queries, the stream layer's collector hook, the
// version records and the SetAgent text. The first call does the work; later calls do
// nothing. The result carries no meaning.
int init_tq();

// The interpreter tables' part of init_tq: tqi_lock, fifo_lock and sem_tqi_lex_lock, the
// delay queue, the id counter, the break-check and interrupt hooks, the delay thread and the
// interpreter tick task.
void init_interpreter();

}  // namespace tq
