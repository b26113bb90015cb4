// URL records whose texts live in collected memory: the deep copy into it, and the mark
// routine of a URL held by value inside a collected block.
#pragma once
#include "util/url.h"

namespace tq {

// Copies the port and all nine texts of src into collected memory (null texts stay null);
// dst's old texts are not freed. The copies are rooted in the calling thread's top frame.
void mcopy_url(URL* dst, const URL* src);
// Marks every text of u, for the mark routine of the block that holds u (collection only).
void gcv_url(URL* u);

}  // namespace tq
