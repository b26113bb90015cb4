// The table a block's mark word points into: the texts of the sites that last marked blocks.
//
// The table only grows and an entry never changes once its index is handed out, so a block's
// site is read without a lock; only marking when gc_file changes takes tag_lock. Site texts
// are copied and compared by content: the collector's site is often a frame's label, whose
// record is reused for other labels.
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "platform/lock.h"
#include "platform/startup.h"

namespace tq {

MarkingSite marking_site;

namespace {

constexpr uint32_t kSites = 1u << kSiteBits;
constexpr uint32_t kSiteSlots = 2 * kSites;  // open addressing, at most half full

SEM tag_lock;
const char* sites[kSites] = {""};  // [0] is "" (and null)
uint32_t site_count = 1;
uint32_t site_slots[kSiteSlots];  // site indices by hash of the text; 0 is empty

uint32_t text_hash(const char* s) {
  uint32_t h = 2166136261u;
  for (; *s; ++s) h = (h ^ uint8_t(*s)) * 16777619u;
  return h;
}

// The site's index, entered when new; "" once the table is full (tag_lock held).
uint32_t site_index(const char* text) {
  if (!text || !*text) return 0;
  for (uint32_t h = text_hash(text);; ++h) {
    uint32_t& slot = site_slots[h % kSiteSlots];
    if (slot == 0) {
      if (site_count == kSites) return 0;
      const size_t n = std::strlen(text) + 1;
      auto* copy = static_cast<char*>(std::malloc(n));
      if (!copy) er_panic("no memory!!");
      sites[site_count] = static_cast<const char*>(std::memcpy(copy, text, n));
      slot = site_count++;
      return slot;
    }
    if (std::strcmp(sites[slot], text) == 0) return slot;
  }
}

}  // namespace

void block_tags_init() {
  if (!lock_up_test(tag_lock)) tag_lock = new_lock();
}

uint32_t site_tag(const char* text) {
  LOCK_SCOPE(tag_lock);
  return site_index(text);
}

const char* block_site(uint32_t mark) { return sites[mark & kSiteMask]; }

}  // namespace tq
