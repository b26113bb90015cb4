// "Get": a file named by an absolute, extension-qualified name, loaded through the get-file
// table of the runtime's file prefixes (which tree or trees, in which order, which lock,
// read as forms or as raw chunks). It is the one file reader open to peers, so every name
// passes the checks of get_path first, and a candidate is read only when it lies inside its
// tree with every link followed.
//
// A lock of the table's entry is held while the returned list is read: it is released when
// the list has been read to its end or is collected, or at once when the load fails. The
// release runs on the tick thread, so a collection that drops the list never waits on the
// lock server.
#pragma once
#include "interp/call_lock.h"
#include "text/l_char.h"

namespace tq {

// The call locks "Get" takes (read locks): the call-lock client's take and release, which a
// test may replace. A take answers the invalid descriptor when the lock is refused, and when
// no lock server is configured.
struct GET_LOCK_OPS {
  CALL_LOCK_DESCRIPTER (*lock)(const L_CHAR* key);
  int (*unlock)(CALL_LOCK_DESCRIPTER d);
};
extern GET_LOCK_OPS get_lock_ops;

}  // namespace tq
