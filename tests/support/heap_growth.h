// Leaks of the debug heap, seen where nothing else sees them: the heap's own records keep
// every block reachable to the sanitizers' leak checker, and a result that is right says
// nothing of a block left behind. An operation run again and again must not leave more live
// bytes at any allocation site each time it runs.
#pragma once
#include <functional>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tqtest {

// Runs op once, so that caches, first-use records and pools reach their size, then `runs`
// times more, reading the debug heap's live bytes per allocation site before and after each
// run. Answers the sites whose bytes grew at every one of those runs, one line each,
// "<file>:<line> +<bytes of the last run>\n" in the heap's order; empty when none did. A
// leak grows its site at every run; work of other tasks meanwhile does not, run after run.
// op must do the same work each time and leave nothing it means to keep. The calling task's
// temporaries (text/l_string.h) are released after every run, the caller's own with them,
// and the heap is read once the ticks due at once that the run queued have run (a line says
// so when they did not within the bound); the records of closed streams waiting for the
// zombie tick are not counted.
// Live bytes per site are all it reads: a leaked block of no bytes, a leak offset by a free
// of an older block of the same size at the same site, and memory outside the debug heap
// go unseen.
std::string heap_growth(const std::function<void()>& op, int runs = 3);

// The debug heap's live bytes, the closed streams' records waiting for the zombie tick not
// counted: what heap_growth reads per site, summed.
int64_t live_heap_bytes();
// Waits (bounded) until the streams queued for closing so far are closed and the ticks due at
// once queued so far have run, freeing what they hold: false when the bound passed first.
bool queued_work_done();

// The live bytes at the debug heap's sites in one source file (a path ending in `file`), the
// closed streams' records waiting for the zombie tick not counted, marked when made: grown()
// answers "<file>:<line> +<bytes>\n" for each site holding more now, empty when none does. For code that keeps nothing between calls and that no other task
// runs meanwhile: a table's fixture marks in its set-up and checks in its tear-down, so that
// every case of the table is a leak check of that file too.
class SiteBytesMark {
 public:
  explicit SiteBytesMark(std::string file);
  std::string grown() const;

 private:
  std::string file_;
  std::vector<std::pair<const void*, int64_t>> marked_;
};

}  // namespace tqtest
