// Changes of a matrix file that write several records, failed at each of their writes in
// turn (the page cache's failing-write seam), on files made from fixed random seeds: after
// every failure the independent walker's view of the closed file (ring, scripts, each
// node's records) is what memory holds, and the file is sound but for room a failure lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <random>

#include "matrix/children_index.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_file_fixture.h"
#include "matrix/mx_node_index.h"
#include "matrix/mx_node_record.h"
#include "matrix/node_cache.h"
#include "mxtype/datum.h"
#include "mxtype/mx_type.h"
#include "store/page_cache.h"
#include "store/store_lock.h"
#include "support/test_util.h"

namespace {

using namespace mxtest;
using namespace tq;
using Nodes = std::vector<std::unique_ptr<FreeNode>>;

constexpr int64_t kSpan = 32768;  // a level-1 block's edge on these axes
const FileShape kShape{{{4096, 7, 8}, {4096, 7, 8}},
                       {{&mx_type_double, 2, nullptr, 0}, {&mx_type_string, 2, nullptr, 0}},
                       MXP_FILE_RING};

// Random content: a double or none, a text of 1 to 40 bytes or none, up to 3 more children.
void scramble(FreeNode* n, std::mt19937& rng) {
  MDT st = &mx_type_string;
  n->fill(double(rng() % 100));
  if (n->ch[1].data) st->free_data(st, n->ch[1].data);
  const std::string text(1 + rng() % 40, 't');
  n->ch[1].data = rng() % 4 ? st->alloc_data(st, MX_ALLOC_DEBUG, const_cast<char*>(text.c_str()), nullptr, "", 0)
                            : nullptr;
  if (rng() % 4 == 0) {
    mx_type_double.free_data(&mx_type_double, n->ch[0].data);
    n->ch[0].data = nullptr;
  }
  for (int k = int(rng() % 4); k > 0; --k)
    insert_dim_code_index(&n->n, std::vector<int64_t>{0, n->dc[1] + 256 * int64_t(rng() % 64), n->dc[2]}.data(), 0);
}

// Scripts of random length for events 0 to 3 of mode 0, a third of them none.
int save_scripts(MATRIX* m, std::mt19937& rng) {
  std::string texts[4];
  const char* pieces[4][2] = {};
  const char* const* cals[kMxEvents] = {};
  for (int e = 0; e < 4; ++e) {
    texts[e] = "(note " + std::string(rng() % 30, 'x') + ")";
    pieces[e][0] = texts[e].c_str();
    if (rng() % 3) cals[e] = pieces[e];
  }
  return save_mode_cal(m, 0, cals, nullptr);
}

// What the walker's --view prints of m's file, from memory: the subheader's ring and
// scripts, and each node of nodes that has a record, in index order.
std::string view(MATRIX* m, const Nodes& nodes) {
  const PN64_MX_SUBHEADER& s = m->file_work->subheader;
  std::string out = "ring " + std::to_string(s.cache_count) + " " + std::to_string(s.cache_next) + " " +
                    std::to_string(s.cache_prev) + "\n";
  int scripts = 0, stored = 0;
  for (int i = 0; i < kMxModes * kMxEvents; ++i)
    if (const int64_t o = s.mode_cal_fofs[i / kMxEvents][i % kMxEvents]; o && ++scripts)
      out += "script " + std::to_string(i / kMxEvents) + "-" + std::to_string(i % kMxEvents) + " " +
             std::to_string(o) + "\n";
  std::vector<const FreeNode*> sorted;
  for (const auto& n : nodes)
    if (n->n.fofs) sorted.push_back(n.get());
  std::sort(sorted.begin(), sorted.end(), [](const FreeNode* a, const FreeNode* b) { return a->dc < b->dc; });
  for (const FreeNode* n : sorted) {
    out += "node 1," + std::to_string(n->dc[1]) + "," + std::to_string(n->dc[2]) + " " + std::to_string(n->n.fofs) +
           " ring " + std::to_string(n->n.ring_fofs) + " children " + std::to_string(n->n.dim_addr_fofs) + " chain";
    for (int ch = 0; ch < 2; ++ch)
      if (n->ch[size_t(ch)].data_fofs) out += " " + std::to_string(ch) + ":" + std::to_string(n->ch[size_t(ch)].data_fofs);
    out += "\n";
    ++stored;
  }
  return out + "OK nodes=" + std::to_string(stored) + " ring=" + std::to_string(s.cache_count) +
         " scripts=" + std::to_string(scripts) + "\n";
}

// Runs each operation, on files of seeds 1 to 4, with its n-th write failing for every n
// up to its count of writes: the file's nodes are loaded (and in the node hash, as a purge
// looks) before; after it, the walker's view of the file as it then stands (the cached
// pages and tree records written out) must be the view of memory.
using Op = std::function<int(MATRIX*, Nodes*, std::mt19937&)>;
void fail_each_write(const std::vector<std::pair<const char*, Op>>& ops) {
  tqtest::TempDir dir;
  const std::string path = dir.file("m");
  for (const auto& [name, op] : ops)
    for (unsigned seed = 1; seed <= 4; ++seed) {
      std::mt19937 rng(seed);
      std::vector<std::vector<int64_t>> codes;
      {
        BareMatrix m(kShape, path);
        for (int64_t i = 0, k = 2 + rng() % 4; i < k; ++i) {
          codes.push_back({1, kSpan * i, kSpan * int64_t(rng() % 4)});
          FreeNode n(m.get(), codes.back());
          scramble(&n, rng);
          ASSERT_EQ(save_matrix_node(&n.n), 0);
        }
        ASSERT_EQ(save_scripts(m.get(), rng), 0);
      }
      const std::string bytes = tqtest::read_file(path);
      for (int64_t n = 0, writes = 1; n <= writes; ++n) {
        SCOPED_TRACE(std::string(name) + ", seed " + std::to_string(seed) + ", write " + std::to_string(n));
        tqtest::write_file(path, bytes);
        BareMatrix m(load_shape(), path);
        {
          Nodes nodes;
          for (const auto& dc : codes) {
            nodes.push_back(std::make_unique<FreeNode>(m.get(), dc));
            ASSERT_EQ(load_matrix_node(&nodes.back()->n), 0);
            MATRIX_NODE*& chain = m->node_hash[_get_node_hash(m.get(), dc.data())];
            nodes.back()->n.nh_next = chain;
            chain = &nodes.back()->n;
          }
          std::mt19937 choices(seed);
          const int64_t before = fac_write_calls;
          fac_fail_write(int(n), ENOSPC);
          const int r = op(m.get(), &nodes, choices);
          fac_fail_write(0, 0);
          if (n == 0) writes = fac_write_calls - before;
          EXPECT_TRUE(n > 0 || r == 0);
          PDB64* p = m->file_work->pdb_fd;
          l_flush_filespace64(p);
          ASSERT_EQ(fac_flush(&p->fac), 0);
          EXPECT_EQ(walk(path, {"--view", "--lost", "--open"}), view(m.get(), nodes));
          for (MATRIX_NODE*& chain : m->node_hash) chain = nullptr;
        }
      }
    }
}

FreeNode* any(Nodes* nodes, std::mt19937& rng) { return (*nodes)[rng() % nodes->size()].get(); }

TEST(MxFileFailures, Purge) {
  fail_each_write({{"a purge", [](MATRIX* m, Nodes* nodes, std::mt19937& rng) {
                      return mx_cache_purge(m, any(nodes, rng)->n.ring_fofs);
                    }}});
}

TEST(MxFileFailures, RingUnlinkAndLink) {
  fail_each_write({{"a load moves its entry to the front",
                    [](MATRIX* m, Nodes* nodes, std::mt19937& rng) {
                      FreeNode again(m, any(nodes, rng)->dc);
                      return load_matrix_node(&again.n);
                    }},
                   {"a new node links its entry", [](MATRIX* m, Nodes* nodes, std::mt19937& rng) {
                      nodes->push_back(std::make_unique<FreeNode>(m, std::vector<int64_t>{1, 6 * kSpan, 0}));
                      scramble(nodes->back().get(), rng);
                      return save_matrix_node(&nodes->back()->n);
                    }}});
}

TEST(MxFileFailures, OldRecordsFreed) {
  fail_each_write({{"a node's records move or go",
                    [](MATRIX*, Nodes* nodes, std::mt19937& rng) {
                      FreeNode* n = any(nodes, rng);
                      scramble(n, rng);
                      return save_matrix_node(&n->n);
                    }},
                   {"scripts move or go", [](MATRIX* m, Nodes*, std::mt19937& rng) { return save_scripts(m, rng); }}});
}

}  // namespace
