// URL records whose texts live in collected memory.
#include "lang/url_gc.h"

#include "lang/gc.h"
#include "lang/mstr.h"

namespace tq {

// The nine texts of a URL, in record order.
template <class U, class F>
static void each_text(U* u, F f) {
  f(u->proto);
  f(u->server);
  f(u->agent);
  f(u->db);
  f(u->resource);
  f(u->query);
  f(u->name);
  f(u->user);
  f(u->passwd);
}

void mcopy_url(URL* dst, const URL* src) {
  *dst = *src;
  each_text(dst, [](L_CHAR*& t) { t = ll_copy_mstr(t); });
}

void gcv_url(URL* u) {
  each_text(u, [](L_CHAR* t) { gc_text(t); });
}

}  // namespace tq
