// The site of this process: the host name and address that every reader stamps on what it
// reads (and error cells carry), made from the local host on first demand and changed only by
// set_tqlisp_site. Guarded by lex_lock.
#pragma once
#include "platform/resolve.h"
#include "text/l_char.h"

namespace tq {

// The site name, made on the first call from the local host's name. Shared: the caller
// neither frees nor changes it. A name replaced by set_tqlisp_site stays valid for the life
// of the process, so a caller may keep what it was given.
L_CHAR* get_tqlisp_site();
// A copy of the site's address (IPv4, type 4 size 4) in *ret, making the site first if
// needed; returns ret.
HOST_ADDR* get_tqlisp_site_ip(HOST_ADDR* ret);
// 0 when name resolves: the site becomes a copy of name and its first address; -1 when it
// does not, and nothing changes.
int set_tqlisp_site(const L_CHAR* name);

}  // namespace tq
