// Checks and listing of the file space: the free-chain check run around every allocation
// and retirement, the handle check, the (never switched on) write-tracking registry, and
// the record listing. A broken chain stops the process: it would spread damage otherwise.
#include <fcntl.h>

#include <cstdint>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "stream/format.h"

namespace tq {

void (*check_freelist_pause)(int seconds) = sleep_sec;

namespace {

void chain_diag(int64_t prev, const FREELIST64* e) {
  s_printf(s_stderr, "prv%lli ofs%lli typ%x siz%lli\n", (long long)prev, (long long)e->fofs, unsigned(e->f.h.type),
           (long long)e->f.h.size);
}

[[noreturn]] void chain_broken(int64_t prev, const FREELIST64* e, const char* what) {
  chain_diag(prev, e);
  er_panic(what);
}

}  // namespace

int check_freelist64(PDB64* p) {
  FREELIST64* anchor = p->freelist_work;
  if (!anchor) return -1;
  int64_t len = file_length64(p);
  uint64_t end = len < 0 ? 0 : uint64_t(len);
  int64_t prev = -1;  // none yet
  bool prev_is_block = false;
  for (FREELIST64* e = anchor; e; e = next_freelist64(p, e)) {
    if (e->next && e->f.next != e->next->fofs) {
      chain_diag(prev, e);
      s_printf(s_stderr, "f.next %lli next->fofs %lli\n", (long long)e->f.next, (long long)e->next->fofs);
      s_printf(s_stderr, "fp %x %x\n", unsigned(uintptr_t(e)), unsigned(uintptr_t(e->next)));
      er_panic("check_freelist(-1)");
    }
    if (e->fofs >= end) chain_broken(prev, e, "check_freelist64(0)");
    if (e != anchor && e->f.h.type != kRecFreeBlock) chain_broken(prev, e, "check_freelist64(1)");
    if (prev_is_block) {
      // Strictly descending, and never touching: touching blocks would have been merged.
      if (uint64_t(prev) <= e->fofs) {
        chain_diag(prev, e);
        check_freelist_pause(2);  // lets a watcher read the diagnostic before the process ends
        er_panic("check_freelist64(2)");
      }
      if (uint64_t(prev) <= e->fofs + disk_len64(e->f.h.size)) chain_broken(prev, e, "check_freelist64(3)");
    }
    prev = int64_t(e->fofs);
    prev_is_block = e != anchor;
  }
  return 0;
}

void check_pdb64(PDB64* p) {
  if (p && !p->freelist_work) er_panic("check_pdb64");
}

// The registry is switched on by handle flag bit 31, which open_filespace64 never lets
// through: every command answers 0 and nothing is kept.
int debug_pdb64_list(PDB64*, int, int64_t, int64_t) { return 0; }

int test_file64(const char* path, PDB64* p, int64_t limit) {
  PDB64* h = path ? open_filespace64(path, O_RDONLY, 0644, kFsFreeList, 11, "UCS4") : p;
  if (!h) er_panic("test_file64\n");
  uint64_t ofs = 0;
  while (limit <= 0 || int64_t(ofs) < limit) {
    uint64_t at = ofs;
    void* rec = get_file_record64(&at, h, 0, 0);
    if (!rec) break;
    uint64_t m = rec_size64(rec);
    ss_printf("%lli H(%x %lli)\n", (long long)ofs, unsigned(rec_type64(rec)), (long long)m);
    ofs += disk_len64(m);
    d_f_ree(rec);
  }
  if (path) close_filespace64(h);
  return ss_printf("FINISH\n");
}

}  // namespace tq
