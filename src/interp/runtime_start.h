// The language runtime's start-up: one fixed order on the calling thread, before any other
// thread evaluates language code. Steps of layers that are not built yet are empty.
#pragma once

namespace tq {

// Collected memory, the keyed queues, the language core with its top environments and
// primitives, the units, the collector's tick, and the stream layer's collector hook.
// Called once; the result carries no meaning.
int init_tq();

}  // namespace tq
