// A debugging aid of the page cache: a hex dump of one cached page on standard output.
// Nothing in the store calls it; it is kept for whoever hunts a damaged page.
#pragma once
#include "store/page_cache.h"

namespace tq {

// Prints, through ss_printf, the line "<msg> [<len> <end> : <start> <end>]" where end is
// start + size (kFacPage when size is negative), then the page's bytes from start rounded
// down to a multiple of 20 up to end, never past the page's valid bytes (len) nor before
// its first byte, as "%02x " each: lines of 20 bytes headed "<msg> <index> = " (index
// four digits), "+ " after the 10th and "- " after the 5th and 15th byte of a line, and a
// final line end. page must be a live page of the cache; msg may be null (printed empty).
void fa_print_dump(const char* msg, const FAC_ENTRY* page, int start, int size);

}  // namespace tq
