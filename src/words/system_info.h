// System information words ("GetCPUStatus", "MemoryStatistics", "GetVersion" and the site
// words): the list form of version records, which the remote-session code reads back from
// a peer's "GetVersion" reply.
#pragma once
#include <cstddef>

#include "lang/sexp.h"
#include "util/version.h"

namespace tq {

// The date of a record as text: "%i" (year) when month is 0, "%i-%i" (year-month) when
// date is 0, else "%i-%i-%i" (year-month-day); written into buf of size bytes.
void date_format(const VERSION* v, char* buf, size_t size);
// (layer name publisher version date-text), five strings (an absent text is the empty
// string); the comment is not part of it. Cells in the caller's top root frame.
TQ_SEXP* version_format(const VERSION* v);
// The record of a list form: a new zeroed record on the debug heap whose first four texts
// are debug-heap copies of elements 0 to 3 (default code method), and whose year, month and
// date are read with "%i" from element 4, each "-" taken as a blank (parts missing stay 0);
// elements after the fifth are ignored and the comment stays null. Null when any of the
// five is missing or not a string. free_version releases it.
VERSION* convert_to_version(TQ_SEXP* list);

}  // namespace tq
