// Matrix files: load_matrix_node of 10^5 stored nodes in random order against the layer's
// own floor, l_favt64_search of the same keys plus one record read; and saves per second
// into a file of 10^5 nodes, with the ring of stored nodes (each save then purges the
// oldest of its 10000) and without.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "entry/start.h"
#include "lang/gc.h"
#include "matrix/mx_code.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_index.h"
#include "matrix/mx_node_record.h"
#include "mxtype/datum.h"
#include "mxtype/mx_type.h"
#include "platform/d_alloc.h"
#include "store/store_lock.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace tq;
const int kNodes = benchsupport::sized(100000, 1000);
constexpr int kRow = 1000;  // level-0 blocks per row of the grid the nodes fill

// A node outside the node cache with one double channel.
struct Node {
  MATRIX_NODE n{};
  int64_t dc[3];
  MATRIX_CHANNEL ch[1]{};
  uint8_t bits[1]{};
  explicit Node(MATRIX* m) {
    n.matrix = m;
    n.dim_code = dc;
    n.channel = ch;
    n.nlist_dim_bit_field = bits;
    n.nlist_dim_bit_field_len = 1;
  }
  ~Node() { drop_data(); }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Another node: the data of the last one (set or loaded) is freed.
  void at(int64_t i) {
    drop_data();
    dc[0] = 0, dc[1] = 256 * (i % kRow), dc[2] = 256 * (i / kRow);
    n.fofs = n.ring_fofs = 0;
    n.status = 0;
  }
  void set(double v) {
    drop_data();
    ch[0].data = kType->alloc_data(kType, MX_ALLOC_DEBUG, &v, nullptr, __FILE__, __LINE__);
    ch[0].data_fofs = 0;
  }

 private:
  static constexpr MDT kType = &mx_type_double;
  void drop_data() {
    if (ch[0].data) kType->free_data(kType, ch[0].data);
    ch[0].data = nullptr;
  }
};

// A file matrix of two axes (a bit field) and one stored double channel, holding nodes
// 0..kNodes-1.
MATRIX* filled_matrix(bool ring) {
  static bool started = [] {
    minimum_matrix_init(0, nullptr);
    gc_push(nullptr, nullptr, "bench");
    return true;
  }();
  (void)started;
  const std::string dir = benchsupport::new_tmp_folder("tqbench."), path = dir + "/file";
  auto* m = static_cast<MATRIX*>(d_calloc(1, sizeof(MATRIX)));
  m->filename = ll_copy_str(_l_string_1(std_cm, path.c_str()));
  MATRIX_PARAM p{};
  p.dim = 2;
  p.channel_nos = 1;
  p.flags = ring ? MXP_FILE_RING : 0;
  set_matrix_param(m, &p);
  for (int a = 0; a < 2; ++a) {
    set_matrix_block_size(m, a, 8);
    set_matrix_dim_divide(m, a, 1);
    set_matrix_pixel_size(m, a, 256 * kRow * 2);
  }
  MATRIX_CHANNEL_INFO inf{&mx_type_double, MXC_STORED, nullptr, 0};
  set_matrix_channel_info(m, 0, &inf);
  save_matrix_header(m);
  Node n(m);
  for (int i = 0; i < kNodes; ++i) {
    n.at(i);
    n.set(i);
    save_matrix_node(&n.n);
  }
  unlink(path.c_str());  // gone with the process
  rmdir(dir.c_str());
  return m;
}

std::vector<int> shuffled() {
  std::vector<int> order(kNodes);
  for (int i = 0; i < kNodes; ++i) order[size_t(i)] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  return order;
}

MATRIX* plain() {
  static MATRIX* m = filled_matrix(false);
  return m;
}

void BM_LoadMatrixNode(benchmark::State& state) {
  MATRIX* m = plain();
  const std::vector<int> order = shuffled();
  Node n(m);
  size_t k = 0;
  for (auto _ : state) {
    n.at(order[k++ % order.size()]);
    if (load_matrix_node(&n.n) != 0) state.SkipWithError("load failed");
  }
}
BENCHMARK(BM_LoadMatrixNode);

// The floor: the index search of the same key and one read of the record it names.
void BM_SearchPlusRead(benchmark::State& state) {
  MATRIX* m = plain();
  const std::vector<int> order = shuffled();
  start_file_access(m);
  FAVT64_ROOT* root = mx_index_root(m);
  PDB64* p = get_mx_file_pfd(m);
  uint8_t key[64];
  int64_t dc[3];
  size_t k = 0;
  for (auto _ : state) {
    const int i = order[k++ % order.size()];
    dc[0] = 0, dc[1] = 256 * (i % kRow), dc[2] = 256 * (i / kRow);
    mx_index_key(key, 0, dc, 2);
    MX_INDEX_CMP cw{m, 0, key, dc};
    int err = 0;
    FAVT64_NODE* node = l_favt64_search(&err, root, nullptr, key, mx_index_cmp, &cw);
    int64_t fofs = 0;
    if (node) std::memcpy(&fofs, node->data, 8);
    l_favt64_release_node(node);
    void* rec = l_read_filespace64f(p, uint64_t(fofs));
    if (!rec) state.SkipWithError("read failed");
    d_f_ree(rec);
  }
  finish_file_access(m, 0);
}
BENCHMARK(BM_SearchPlusRead);

// New nodes saved into a file of 10^5 (with the ring: 10^4 kept, one purged per save).
void BM_SaveMatrixNode(benchmark::State& state) {
  static MATRIX* ringed = nullptr;
  MATRIX* m = state.range(0) ? (ringed ? ringed : (ringed = filled_matrix(true))) : plain();
  static int64_t next = kNodes;
  Node n(m);
  for (auto _ : state) {
    n.at(next++);
    n.set(1.0);
    if (save_matrix_node(&n.n) != 0) state.SkipWithError("save failed");
  }
  state.counters["saves_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SaveMatrixNode)->Arg(0)->Arg(1);

}  // namespace
