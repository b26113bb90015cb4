// Version records: each layer of the library describes itself with a VERSION record; the
// records form one process-wide list searched by layer name. Copies received from a peer
// are deep copies on the debug heap. Also the integer-rectangle merge of version areas.
#pragma once
#include <cstdint>
#include "util/geometry.h"

namespace tq {

struct VERSION {
  const char* layer;  // the key
  const char* name;
  const char* publisher;
  const char* version;
  uint16_t year;
  uint8_t month;
  uint8_t date;
  VERSION* next;  // list link
  const char* comment;
};  // any text may be null

// Head of the registered records. Registration happens during start-up, before other
// threads read the list, so it is not locked; registered records are never freed here.
extern VERSION* version_list;

void set_version(VERSION* v);  // pushes v (no copy) at the head
// The most recently registered record whose layer equals the text, or null; a null
// argument gives the head of the list.
VERSION* get_version(const char* layer);
// Copies every field, then replaces each present text by a fresh debug-heap copy; next is
// copied as it is.
void copy_version(VERSION* dst, const VERSION* src);
void free_version_v(VERSION* v);  // frees the texts of a copy
void free_version(VERSION* v);    // and the record itself (from the debug heap)

// A non-empty r1 (tl.x < br.x) becomes the smallest rectangle holding r1 and r2;
// otherwise r1 becomes a copy of r2.
void marge_vrect(I_RECT* r1, const I_RECT* r2);

}  // namespace tq
