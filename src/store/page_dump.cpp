// The page dump of the page cache (see page_dump.h).
#include "store/page_dump.h"

#include "stream/format.h"

namespace tq {

namespace {
constexpr int kDumpLine = 20;  // bytes per printed line
}  // namespace

void fa_print_dump(const char* msg, const FAC_ENTRY* page, int start, int size) {
  if (!msg) msg = "";
  const long long end = size < 0 ? kFacPage : (long long)start + size;  // no overflow
  ss_printf("%s [%i %lli : %i %lli]\n", msg, page->len, end, start, end);
  const int first = start < 0 ? 0 : start / kDumpLine * kDumpLine;  // never before the page
  const int last = end < page->len ? int(end) : page->len;
  for (int i = first; i < last; ++i) {
    if (i % kDumpLine == 0) ss_printf("%s %04i = ", msg, i);
    ss_printf("%02x ", i < page->filled ? page->data[i] : 0);  // zeros a fill only noted
    if (i % kDumpLine == kDumpLine - 1)
      ss_printf("\n");
    else if (i % 10 == 9)
      ss_printf("+ ");
    else if (i % 5 == 4)
      ss_printf("- ");
  }
  ss_printf("\n");
}

}  // namespace tq
