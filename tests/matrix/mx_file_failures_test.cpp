// Changes of a matrix file that write several records, failed at each of their writes in
// turn, on files made from fixed random seeds, under a page limit of one so that write-backs
// run inside them. Failed at the page cache's door: after every failure the file as it
// stands (what a crash would leave) names only whole records of their types, each once; and
// once the index is written back, the independent walker's view of the file (ring, scripts,
// each node's records) is what memory holds, the file sound but for room a failure lost.
// Failed at the disk: the change succeeds, and the file's close either answers 0, leaving
// the file as memory held it, or fails, leaving it refused. On a disk that stays full a
// change may instead be refused at the page cache's bound: once the disk has room, the file
// closes as memory holds it.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <random>
#include <utility>

#include "matrix/children_index.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_file_fixture.h"
#include "matrix/mx_node_index.h"
#include "matrix/mx_node_record.h"
#include "matrix/node_cache.h"
#include "mxtype/datum.h"
#include "mxtype/mx_type.h"
#include "store/store_lock.h"
#include "support/test_util.h"
#include "support/write_fault.h"

namespace {

using namespace mxtest;
using namespace tq;
using Nodes = std::vector<std::unique_ptr<FreeNode>>;
using Rng = std::mt19937;

constexpr int64_t kSpan = 32768;  // a level-1 block's edge on these axes
const FileShape kShape{{{4096, 7, 8}, {4096, 7, 8}},
                       {{&mx_type_double, 2, nullptr, 0}, {&mx_type_string, 2, nullptr, 0}},
                       MXP_FILE_RING};

// Random content: a double, a text of 1 to `text` bytes or none, up to 3 more children.
int scramble(FreeNode* n, Rng& rng, unsigned text = 40) {
  MDT st = &mx_type_string;
  n->fill(double(rng() % 100));
  if (n->ch[1].data) st->free_data(st, n->ch[1].data);
  const std::string t(1 + rng() % text, 't');
  n->ch[1].data = rng() % 4 ? st->alloc_data(st, MX_ALLOC_DEBUG, const_cast<char*>(t.c_str()), nullptr, "", 0)
                            : nullptr;
  for (int k = int(rng() % 4); k > 0; --k)
    insert_dim_code_index(&n->n, std::vector<int64_t>{0, n->dc[1] + 256 * int64_t(rng() % 64), n->dc[2]}.data(), 0);
  return save_matrix_node(&n->n);
}

// Scripts of random length for events 0 to 3 of mode 0, a third of them none.
int save_scripts(MATRIX* m, Rng& rng) {
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
// scripts, and each node of nodes (in index order) that has a record.
std::string view(MATRIX* m, const Nodes& nodes) {
  auto num = [](int64_t v) { return std::to_string(v); };
  const PN64_MX_SUBHEADER& s = m->file_work->subheader;
  std::string out = "ring " + num(s.cache_count) + " " + num(s.cache_next) + " " + num(s.cache_prev) + "\n";
  int scripts = 0, stored = 0;
  for (int e = 0; e < kMxEvents; ++e)
    if (const int64_t o = s.mode_cal_fofs[0][e]; o && ++scripts) out += "script 0-" + num(e) + " " + num(o) + "\n";
  for (const auto& n : nodes) {
    if (!n->n.fofs || !++stored) continue;
    out += "node 1," + num(n->dc[1]) + "," + num(n->dc[2]) + " " + num(n->n.fofs) + " ring " + num(n->n.ring_fofs) +
           " children " + num(n->n.dim_addr_fofs) + " chain";
    for (int ch = 0; ch < 2; ++ch)
      if (const int64_t o = n->ch[size_t(ch)].data_fofs) out += " " + num(ch) + ":" + num(o);
    out += "\n";
  }
  return out + "OK nodes=" + num(stored) + " ring=" + num(s.cache_count) + " scripts=" + num(scripts) + "\n";
}

// Runs each operation on files of seeds 1 to 4 (at the disk, 1), nodes in index
// order, its n-th write failing for every n up to its count of writes (at the disk, of it
// and the close, at most three of them). The file's nodes are loaded (and in the node hash,
// where a purge looks) before; after a failure at the door the walker checks the file as its
// pages stand, then with its tree records written back too, against the view of memory.
// Spread: files of seed 1 alone, of 12 to 15 nodes whose texts of up to 4000 bytes put their
// ring entries on pages apart, every write failed in turn at the disk too.
using Op = std::function<int(MATRIX*, Nodes*, Rng&)>;
void fail_each_write(const std::vector<std::pair<const char*, Op>>& ops, bool spread = false) {
  tqtest::TempDir dir;
  const std::string path = dir.file("m");
  Walks walks;  // every write point's files, walked at the end
  tqtest::PageLimit pages(1);
  for (const tqtest::WriteFault& f : tqtest::kWriteFaults)
    for (const auto& [name, op] : ops)
      for (unsigned seed = 1; seed <= (f.at_disk() || spread ? 1u : 4u); ++seed) {
        Rng rng(seed);
        std::vector<std::vector<int64_t>> codes;
        {
          BareMatrix m(kShape, path);
          for (int64_t i = 0, k = (spread ? 12 : 2) + rng() % 4; i < k; ++i) {
            codes.push_back({1, kSpan * i, kSpan * int64_t(rng() % 4)});
            FreeNode fresh(m.get(), codes.back());
            ASSERT_EQ(scramble(&fresh, rng, spread ? 4000 : 40), 0);
            ASSERT_EQ(scramble(&fresh, rng, spread ? 4000 : 40), 0);  // records moved: free room
          }
          ASSERT_EQ(save_scripts(m.get(), rng), 0);
        }
        const std::string bytes = tqtest::read_file(path);
        for_each_write(
            [&](int64_t n) -> int64_t {
              const std::string where = std::string(f.name) + ", " + name + ", seed " + std::to_string(seed) +
                                        ", write " + std::to_string(n);
              SCOPED_TRACE(where);
              tqtest::write_file(path, bytes);
              BareMatrix m(load_shape(), path);
              Nodes nodes;
              for (const auto& dc : codes) {
                nodes.push_back(std::make_unique<FreeNode>(m.get(), dc));
                EXPECT_EQ(load_matrix_node(&nodes.back()->n), 0);
                MATRIX_NODE*& chain = m->node_hash[_get_node_hash(m.get(), dc.data())];
                nodes.back()->n.nh_next = std::exchange(chain, &nodes.back()->n);
              }
              Rng choices(seed);
              const int64_t before = f.count();
              f.arm(int(n), ENOSPC);
              const int r = op(m.get(), &nodes, choices);
              EXPECT_TRUE(n > 0 || r == 0);
              EXPECT_TRUE(!f.at_disk() || r == 0 || f.seam == tqtest::WriteFault::kDiskFull)
                  << "a call answered for the disk";
              if (f.at_disk() && r != 0) f.arm(0, 0);  // refused at the bound: the disk has room again
              const std::string memory = f.at_disk() ? view(m.get(), nodes) : "";
              int closed = 0;
              if (f.at_disk()) closed = close_matrix_file(m.get());
              const int64_t writes = f.count() - before;
              f.arm(0, 0);
              if (f.at_disk()) {
                walks.expect_closed(path, closed, {"--view"}, memory, where);
              } else {
                EXPECT_EQ(fac_flush(&m->file_work->pdb_fd->fac), 0);
                walks.expect_ok(path, {"--lost", "--open", "--unflushed"}, where);
                l_flush_filespace64(m->file_work->pdb_fd);
                EXPECT_EQ(fac_flush(&m->file_work->pdb_fd->fac), 0);
                walks.expect(path, {"--view", "--lost", "--open"}, view(m.get(), nodes), where);
              }
              for (MATRIX_NODE*& chain : m->node_hash) chain = nullptr;
              return writes;
            },
            seed, f.at_disk() && !spread ? 3 : 1 << 30);
      }
}

FreeNode* any(Nodes* nodes, Rng& rng) { return (*nodes)[rng() % nodes->size()].get(); }

TEST(MxFileFailures, Purge) {
  fail_each_write({{"a purge", [](MATRIX* m, Nodes* ns, Rng& r) { return mx_cache_purge(m, any(ns, r)->n.ring_fofs); }}});
}

TEST(MxFileFailures, RingUnlinkAndLink) {
  const Op load = [](MATRIX* m, Nodes* ns, Rng& r) {
    return load_matrix_node(&std::make_unique<FreeNode>(m, any(ns, r)->dc)->n);
  };
  fail_each_write({{"a load moves its entry to the front", load},
                   {"a new node links its entry", [](MATRIX* m, Nodes* ns, Rng& r) {
                      ns->push_back(std::make_unique<FreeNode>(m, std::vector<int64_t>{1, 6 * kSpan, 0}));
                      return scramble(ns->back().get(), r);
                    }}});
  // At the bound: a move whose later write is refused puts back entries of pages written back.
  fail_each_write({{"a load moves its entry to the front of a ring over pages", load}}, true);
}

TEST(MxFileFailures, OldRecordsFreed) {
  fail_each_write({{"a node's records move or go", [](MATRIX*, Nodes* ns, Rng& r) { return scramble(any(ns, r), r); }},
                   {"scripts move or go", [](MATRIX* m, Nodes*, Rng& r) { return save_scripts(m, r); }}});
}

}  // namespace
