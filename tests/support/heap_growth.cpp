// The debug heap's live bytes per site around repeated runs of an operation (see
// heap_growth.h).
#include "support/heap_growth.h"

#include <unordered_map>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/tick.h"
#include "stream/stream.h"
#include "support/test_util.h"
#include "text/l_string.h"

namespace tqtest {

namespace {

// Site records are never removed, so a record's address names its site for the whole run.
using SiteBytes = std::unordered_map<const tq::MEM_LIST*, int64_t>;

// A closed stream's record stays a zombie until the zombie tick frees it, minutes later:
// not a leak, so not counted.
SiteBytes site_bytes() {
  SiteBytes s;
  for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m))
    s[m] = tq::mem_list_bytes(m);
  if (!tq::lock_up_test(tq::stream_lock)) return s;
  LOCK_SCOPE(tq::stream_lock);
  for (tq::STREAM* z = tq::close_zonbie_list; z; z = z->h.next)
    if (tq::d_is_live(z)) {
      const tq::MEM_HEADER* h = reinterpret_cast<const tq::MEM_HEADER*>(z) - 1;
      s[h->mlp] -= h->size;
    }
  return s;
}

// A run's conversions leave up to 50 temporaries in the calling task's ring, which a later
// run frees as it registers its own: released here, so that a ring still filling up does not
// look like a leak.
void release_temporaries() {
  for (int i = 0; i < tq::kTempRing; ++i) set_buffer(nullptr);
}

// What a run queued on the thread of entries due at once (a closed interpreter's login
// state, a closed stream's checksum) is freed there after the run returns: read the heap
// once it has been. False when the bound passed first.
bool at_once_ticks_run() {
  const uint64_t queued = tq::tick_at_once_queued();
  return wait_until([queued] { return tq::tick_at_once_done() >= queued; });
}

// Likewise the streams a run queued for closing (a closed interpreter's), closed and their
// cells freed by the close queue's tasks.
bool queued_closes_ended() {
  return wait_until([] { return tq::s_close_queue_pending() == 0; });
}

}  // namespace

bool queued_work_done() { return queued_closes_ended() & at_once_ticks_run(); }

int64_t live_heap_bytes() {
  int64_t n = 0;
  for (const auto& [site, bytes] : site_bytes()) n += bytes;
  return n;
}

namespace {

int64_t bytes_at(const SiteBytes& s, const tq::MEM_LIST* m) {
  const auto it = s.find(m);
  return it == s.end() ? 0 : it->second;  // a site made during the runs had none before
}

}  // namespace

std::string heap_growth(const std::function<void()>& op, int runs) {
  std::string out;
  const auto run = [&] {
    op();
    release_temporaries();
    if (!queued_closes_ended()) out += "the closes the run queued did not end\n";
    if (!at_once_ticks_run()) out += "the ticks due at once the run queued did not run\n";
  };
  run();
  std::vector<SiteBytes> seen{site_bytes()};
  for (int i = 0; i < runs; ++i) {
    run();
    seen.push_back(site_bytes());
  }
  for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m)) {
    bool grew = runs > 0;
    for (size_t i = 1; grew && i < seen.size(); ++i) grew = bytes_at(seen[i], m) > bytes_at(seen[i - 1], m);
    if (grew)
      out += std::string(m->file ? m->file : "?") + ":" + std::to_string(m->line) + " +" +
             std::to_string(bytes_at(seen.back(), m) - bytes_at(seen[seen.size() - 2], m)) + "\n";
  }
  return out;
}

namespace {

bool in_file(const tq::MEM_LIST* m, const std::string& file) {
  const std::string f = m->file ? m->file : "";
  return f.size() >= file.size() && f.compare(f.size() - file.size(), file.size(), file) == 0;
}

}  // namespace

SiteBytesMark::SiteBytesMark(std::string file) : file_(std::move(file)) {
  for (const auto& [m, bytes] : site_bytes())
    if (in_file(m, file_)) marked_.emplace_back(m, bytes);
}

std::string SiteBytesMark::grown() const {
  std::string out;
  const SiteBytes sites = site_bytes();
  for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m)) {
    if (!in_file(m, file_)) continue;
    int64_t before = 0;  // a site made since the mark had none
    for (const auto& [site, bytes] : marked_)
      if (site == m) before = bytes;
    const auto it = sites.find(m);  // a site made after the read holds nothing of the run
    const int64_t now = it == sites.end() ? 0 : it->second;
    if (now > before) out += std::string(m->file) + ":" + std::to_string(m->line) + " +" + std::to_string(now - before) + "\n";
  }
  return out;
}

}  // namespace tqtest
