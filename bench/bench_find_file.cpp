// The wildcard file search of "FindFile" with patterns of 1 to 10 "**" over a tree of about
// 10^4 files (a binary tree of directories 12 levels deep, two files in each directory and
// one more in each of the deepest). Each "**" lists every directory below where it starts,
// and the paths that several starts reach are kept once, so ten "**" must stay well under
// a second. The tree lives in a temporary folder removed at the end.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "stream/file_util.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "words/find_file.h"

namespace {

const int kDepth = benchsupport::sized(12, 4);

std::string tree_root;

void make_tree(const std::string& dir, int depth) {
  for (const char* f : {"/a.c", "/b.h"}) fclose(fopen((dir + f).c_str(), "w"));
  if (depth == kDepth) {
    fclose(fopen((dir + "/c.o").c_str(), "w"));
    return;
  }
  for (const char* d : {"/l", "/r"}) {
    mkdir((dir + d).c_str(), 0755);
    make_tree(dir + d, depth + 1);
  }
}

// Makes the tree once and works inside it.
void enter_tree() {
  if (!tree_root.empty()) return;
  tree_root = benchsupport::new_tmp_folder("tqfind.");
  make_tree(tree_root, 1);
  if (chdir(tree_root.c_str()) != 0) abort();
}

std::string stars(int n) {
  std::string p = "**";
  for (int i = 1; i < n; ++i) p += "/**";
  return p;
}

void BM_FindFileDoubleStars(benchmark::State& state) {
  enter_tree();
  const std::string pattern = stars(int(state.range(0)));
  size_t found = 0;
  for (auto _ : state) {
    tq::DIR_LIST* l = tq::get_dir(pattern.c_str(), nullptr, nullptr, nullptr, tq::kConditionAll);
    found = 0;
    for (tq::DIR_LIST* e = l; e; e = e->next) ++found;
    tq::free_dir_list(l);
  }
  state.counters["paths"] = double(found);
}
BENCHMARK(BM_FindFileDoubleStars)->Arg(1)->Arg(2)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

void bench_after() {
  if (tree_root.empty()) return;
  if (chdir("/") != 0) return;
  tq::u_rm(tree_root.c_str(), tq::RM_TREE);
}
