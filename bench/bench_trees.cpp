// peers: sqlite3 lmdb
// 1 000 000 random 64-bit keys (each with a 64-bit value) inserted into, then looked up in
// random order from: an AVL tree in a store file through the locked l_ wrappers (make the
// node, insert it; top node, search), LMDB (one write transaction, no sync, integer keys)
// and SQLite (a table with an index on the key, one transaction, synchronous and journal
// off). Each run starts from an empty file; lookups are timed on a store built beforehand.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/file_space.h"
#include "store/store_lock.h"
#include "support/scratch.h"
#include "support/smoke.h"

namespace {

const size_t kKeys = benchsupport::sized(size_t(1000000), size_t(1000));

const std::vector<uint64_t>& keys() {
  static const std::vector<uint64_t> k = [] {
    std::mt19937_64 rng(42);
    std::vector<uint64_t> v(kKeys);
    for (auto& x : v) x = rng();
    return v;
  }();
  return k;
}

// The keys in another random order, for lookups.
const std::vector<uint64_t>& probes() {
  static const std::vector<uint64_t> p = [] {
    std::vector<uint64_t> v = keys();
    std::shuffle(v.begin(), v.end(), std::mt19937_64(7));
    return v;
  }();
  return p;
}

const std::string& dir() {
  static const std::string d = benchsupport::new_tmp_folder("bench_trees.");
  return d;
}

// --- the store's tree ------------------------------------------------------------------

struct Entry {
  uint64_t key;
  uint64_t value;
};

void entry_endian(void* data, int64_t len) {
  if (!tq::endian_flag) return;
  auto* w = static_cast<uint64_t*>(data);
  for (int64_t i = 0; i < len / 8; ++i) w[i] = __builtin_bswap64(w[i]);
}

int entry_cmp(void* node_data, void* key, void*) {
  uint64_t a, b;
  std::memcpy(&a, node_data, 8);
  std::memcpy(&b, key, 8);
  return a > b ? 1 : a < b ? -1 : 0;
}

struct TreeStore {
  tq::PDB64* p;
  tq::FAVT64_ROOT* root;
};

TreeStore tree_build() {
  tq::init_l_favt64();
  std::string path = dir() + "/tree";
  tq::PDB64* p = tq::open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, tq::kFsFreeList, 31, "utf8");
  tq::FAVT64_ROOT* root = tq::l_favt64_alloc_root(p, 256, entry_endian);
  for (uint64_t k : keys()) {
    Entry e{k, ~k};
    tq::FAVT64_NODE* n = tq::l_favt64_alloc_node(root, &e, sizeof e);
    tq::FAVT64_NODE* in = tq::l_favt64_insert(nullptr, root, &root->node, n, entry_cmp, nullptr);
    tq::l_favt64_release_node(in);  // handed out held, as a caller of the store gets it
    if (in != n) tq::l_favt64_free_node(n);
  }
  return {p, root};
}

void tree_close(TreeStore s) {
  tq::l_close_filespace64(s.p);
  unlink((dir() + "/tree").c_str());
}

void BM_TreeInsert(benchmark::State& state) {
  for (auto _ : state) {
    TreeStore s = tree_build();
    state.PauseTiming();
    tree_close(s);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kKeys));
}

void BM_TreeLookup(benchmark::State& state) {
  TreeStore s = tree_build();
  for (auto _ : state) {
    size_t found = 0;
    for (uint64_t k : probes()) {  // a search starts from the top whatever start it is given
      tq::FAVT64_NODE* n = tq::l_favt64_search(nullptr, s.root, nullptr, &k, entry_cmp, nullptr);
      found += n != nullptr;
      tq::l_favt64_release_node(n);
    }
    if (found != kKeys) state.SkipWithError("a key was lost");
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kKeys));
  tree_close(s);
}

// --- LMDB --------------------------------------------------------------------------------

struct Lmdb {
  MDB_env* env;
  MDB_dbi dbi;
};

Lmdb lmdb_build() {
  std::string path = dir() + "/lmdb";
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  Lmdb l{};
  mdb_env_create(&l.env);
  mdb_env_set_mapsize(l.env, size_t(1) << 31);
  mdb_env_open(l.env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644);
  MDB_txn* txn;
  mdb_txn_begin(l.env, nullptr, 0, &txn);
  mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &l.dbi);
  for (uint64_t k : keys()) {
    uint64_t key = k, value = ~k;
    MDB_val kv{sizeof key, &key}, vv{sizeof value, &value};
    mdb_put(txn, l.dbi, &kv, &vv, 0);
  }
  mdb_txn_commit(txn);
  return l;
}

void lmdb_close(Lmdb l) {
  mdb_env_close(l.env);
  std::string path = dir() + "/lmdb";
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
}

void BM_LmdbInsert(benchmark::State& state) {
  for (auto _ : state) {
    Lmdb l = lmdb_build();
    state.PauseTiming();
    lmdb_close(l);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kKeys));
}

void BM_LmdbLookup(benchmark::State& state) {
  Lmdb l = lmdb_build();
  for (auto _ : state) {
    MDB_txn* txn;
    mdb_txn_begin(l.env, nullptr, MDB_RDONLY, &txn);
    size_t found = 0;
    for (uint64_t k : probes()) {
      MDB_val kv{sizeof k, &k}, vv;
      found += mdb_get(txn, l.dbi, &kv, &vv) == 0;
    }
    mdb_txn_abort(txn);
    if (found != kKeys) state.SkipWithError("a key was lost");
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kKeys));
  lmdb_close(l);
}

// --- SQLite ------------------------------------------------------------------------------

sqlite3* sqlite_build() {
  std::string path = dir() + "/sqlite";
  unlink(path.c_str());
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;"
               "CREATE TABLE kv(k INTEGER NOT NULL, v INTEGER); CREATE UNIQUE INDEX kv_k ON kv(k);",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins;
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO kv(k, v) VALUES(?, ?)", -1, &ins, nullptr);
  for (uint64_t k : keys()) {
    sqlite3_bind_int64(ins, 1, int64_t(k));
    sqlite3_bind_int64(ins, 2, int64_t(~k));
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  return db;
}

void sqlite_close(sqlite3* db) {
  sqlite3_close(db);
  unlink((dir() + "/sqlite").c_str());
}

void BM_SqliteInsert(benchmark::State& state) {
  for (auto _ : state) {
    sqlite3* db = sqlite_build();
    state.PauseTiming();
    sqlite_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kKeys));
}

void BM_SqliteLookup(benchmark::State& state) {
  sqlite3* db = sqlite_build();
  sqlite3_stmt* get;
  sqlite3_prepare_v2(db, "SELECT v FROM kv WHERE k = ?", -1, &get, nullptr);
  for (auto _ : state) {
    size_t found = 0;
    for (uint64_t k : probes()) {
      sqlite3_bind_int64(get, 1, int64_t(k));
      found += sqlite3_step(get) == SQLITE_ROW;
      sqlite3_reset(get);
    }
    if (found != kKeys) state.SkipWithError("a key was lost");
  }
  sqlite3_finalize(get);
  state.SetItemsProcessed(int64_t(state.iterations() * kKeys));
  sqlite_close(db);
}

BENCHMARK(BM_TreeInsert)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));
BENCHMARK(BM_LmdbInsert)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));
BENCHMARK(BM_SqliteInsert)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));
BENCHMARK(BM_TreeLookup)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));
BENCHMARK(BM_LmdbLookup)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));
BENCHMARK(BM_SqliteLookup)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));

}  // namespace

void bench_after() { rmdir(dir().c_str()); }
