// Version records: the process-wide list and deep copies.
#include "util/version.h"

#include <algorithm>
#include <cstring>

#include "platform/d_alloc.h"
#include "text/l_string.h"

namespace tq {

VERSION* version_list = nullptr;

void set_version(VERSION* v) {
  v->next = version_list;
  version_list = v;
}

VERSION* get_version(const char* layer) {
  if (!layer) return version_list;
  for (VERSION* v = version_list; v; v = v->next)
    if (v->layer && std::strcmp(v->layer, layer) == 0) return v;
  return nullptr;
}

static const char* copy_text(const char* s) { return s ? copy_str(s) : nullptr; }

void copy_version(VERSION* dst, const VERSION* src) {
  *dst = *src;
  dst->layer = copy_text(src->layer);
  dst->name = copy_text(src->name);
  dst->publisher = copy_text(src->publisher);
  dst->version = copy_text(src->version);
  dst->comment = copy_text(src->comment);
}

static void free_text(const char* s) {
  if (s) d_f_ree(const_cast<char*>(s));
}

void free_version_v(VERSION* v) {
  free_text(v->layer);
  free_text(v->name);
  free_text(v->publisher);
  free_text(v->version);
  free_text(v->comment);
}

void free_version(VERSION* v) {
  free_version_v(v);
  d_f_ree(v);
}

void marge_vrect(I_RECT* r1, const I_RECT* r2) {
  if (r1->tl.x < r1->br.x) {
    r1->tl.x = std::min(r1->tl.x, r2->tl.x);
    r1->tl.y = std::min(r1->tl.y, r2->tl.y);
    r1->br.x = std::max(r1->br.x, r2->br.x);
    r1->br.y = std::max(r1->br.y, r2->br.y);
  } else {
    *r1 = *r2;
  }
}

}  // namespace tq
