// "Get": a file named by an absolute, extension-qualified name, loaded through the get-file
// table of the runtime's file prefixes (which tree or trees, in which order, which lock,
// read as forms or as raw chunks). It is the one file reader open to peers, so every name
// passes the checks of get_path first.
//
// A lock of the table's entry is held while the returned list is read: it is released when
// the list has been read to its end or is collected, or at once when the load fails. The
// release runs on the tick thread, so a collection that drops the list never waits on the
// lock server.
#pragma once
#include <cstdint>

#include "text/l_char.h"

namespace tq {

// The call locks "Get" takes. lock answers a descriptor (0: refused); unlock releases one.
// The default grants every lock at once, as a node without a lock server does; a call-lock
// client installs its own operations.
struct GET_LOCK_OPS {
  uint64_t (*lock)(const L_CHAR* key);
  void (*unlock)(uint64_t id);
};
extern GET_LOCK_OPS get_lock_ops;

}  // namespace tq
