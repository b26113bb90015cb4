// peers: sqlite3 lmdb
// The store test's workload (201 allocations, then 1000 passes of frees and allocations by
// the driver's slot rule, without printing) on the file space, against the same sequence of
// blob inserts and deletes in SQLite (one table, synchronous and journal off) and in LMDB
// (no sync). Each iteration creates its file (in a folder of its own in the scratch folder),
// runs the whole sequence and closes it. The argument multiplies every size (1, 4, 16): the
// work, and the bytes processed, grow with it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/file_space.h"
#include "store/page_cache.h"
#include "store/record_io.h"
#include "store/store_lock.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "support/store_workload.h"

namespace {

constexpr int kSlots = tqbench::kStoreSlots;

// One step of the workload: allocate size bytes into a slot, or free the slot.
struct Op {
  bool alloc;
  int slot;
  int64_t size;
};

// The driver's two phases as a list of steps (no storage, no printing).
std::vector<Op> workload() {
  std::vector<Op> ops;
  tqbench::store_workload([&](int slot, int64_t size) { ops.push_back({true, slot, size}); },
                          [&](int slot) { ops.push_back({false, slot, 0}); }, [](int, int) {}, [](int) {});
  return ops;
}

const std::vector<Op>& ops() {
  static const std::vector<Op> o = workload();
  return o;
}

constexpr int kMaxFactor = 16;

const std::vector<unsigned char>& zeros() {
  static const std::vector<unsigned char> z(201028 * size_t(kMaxFactor), 0);
  return z;
}

// The size factor of a run, and the bytes one pass of the workload writes at it.
int64_t factor(const benchmark::State& state) { return state.range(0); }

void count_bytes(benchmark::State& state) {
  int64_t bytes = 0;
  for (const Op& op : ops())
    if (op.alloc) bytes += op.size * factor(state);
  state.SetBytesProcessed(bytes * int64_t(state.iterations()));
}

// One pass of the workload at size factor f on each store: empty when every step
// succeeded, else what failed (the benchmark then ends with it as its error).
std::string file_space_pass(const std::string& path, int64_t f, std::vector<unsigned char>& rec) {
  tq::PDB64* p = tq::open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, tq::kFsFreeList, 31, "utf8");
  if (!p) return "store open failed";
  std::string err;
  int64_t slot[kSlots] = {};
  for (const Op& op : ops()) {
    if (!op.alloc) {
      if (tq::free_filespace64(p, uint64_t(slot[op.slot])) < 0) err = "store free failed";
    } else {
      tq::PN64_HEADER h{};
      h.type = 123;
      h.size = uint64_t(op.size * f);
      slot[op.slot] = tq::alloc_filespace64(p, &h);
      tq::set_rec_head64(rec.data(), 123, uint64_t(op.size * f));
      if (slot[op.slot] < 0 || tq::write_filespace64f(p, uint64_t(slot[op.slot]), rec.data()) < 0)
        err = "store write failed";
    }
    if (!err.empty()) break;
  }
  if (tq::close_filespace64(p) < 0 && err.empty()) err = "store close failed";
  return err;
}

std::string sqlite_pass(const std::string& path, int64_t f) {
  unlink(path.c_str());
  sqlite3* db = nullptr;
  sqlite3_stmt *ins = nullptr, *del = nullptr;
  std::string err;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;"
                       "CREATE TABLE blocks(id INTEGER PRIMARY KEY, data BLOB);",
                   nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "INSERT INTO blocks(data) VALUES(?)", -1, &ins, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "DELETE FROM blocks WHERE id=?", -1, &del, nullptr) != SQLITE_OK)
    err = sqlite3_errmsg(db);
  int64_t slot[kSlots] = {};
  for (size_t i = 0; err.empty() && i < ops().size(); ++i) {
    const Op& op = ops()[i];
    sqlite3_stmt* step = op.alloc ? ins : del;
    if (op.alloc)
      sqlite3_bind_blob(ins, 1, zeros().data(), int(op.size * f), SQLITE_STATIC);
    else
      sqlite3_bind_int64(del, 1, slot[op.slot]);
    if (sqlite3_step(step) != SQLITE_DONE) err = sqlite3_errmsg(db);
    sqlite3_reset(step);
    if (op.alloc) slot[op.slot] = sqlite3_last_insert_rowid(db);
  }
  sqlite3_finalize(ins);
  sqlite3_finalize(del);
  sqlite3_close(db);
  return err;
}

std::string lmdb_pass(const std::string& path, int64_t f) {
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  MDB_env* env = nullptr;
  MDB_dbi dbi;
  MDB_txn* txn;
  int rc = mdb_env_create(&env);
  if (rc == 0) rc = mdb_env_set_mapsize(env, size_t(f) << 30);
  if (rc == 0) rc = mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644);
  if (rc == 0) rc = mdb_txn_begin(env, nullptr, 0, &txn);
  if (rc == 0) {
    if ((rc = mdb_dbi_open(txn, nullptr, 0, &dbi)) == 0) rc = mdb_txn_commit(txn);
    else mdb_txn_abort(txn);
  }
  uint64_t next_key = 1, slot[kSlots] = {};
  for (size_t i = 0; rc == 0 && i < ops().size(); ++i) {  // one transaction per step, as SQLite's autocommit
    const Op& op = ops()[i];
    if ((rc = mdb_txn_begin(env, nullptr, 0, &txn)) != 0) break;
    if (op.alloc) {
      slot[op.slot] = next_key++;
      MDB_val k{sizeof(uint64_t), &slot[op.slot]};
      MDB_val v{size_t(op.size * f), const_cast<unsigned char*>(zeros().data())};
      rc = mdb_put(txn, dbi, &k, &v, 0);
    } else {
      MDB_val k{sizeof(uint64_t), &slot[op.slot]};
      rc = mdb_del(txn, dbi, &k, nullptr);
    }
    if (rc != 0) mdb_txn_abort(txn);
    else rc = mdb_txn_commit(txn);
  }
  if (env) mdb_env_close(env);
  return rc == 0 ? std::string() : mdb_strerror(rc);
}

// Runs pass on the store file name (in a folder of its own) once an iteration; a failed
// pass ends the benchmark with its error. The file (and a lock file beside it) and the
// folder go afterwards.
template <class Pass>
void run_passes(benchmark::State& state, const char* name, Pass pass) {
  const std::string dir = benchsupport::new_tmp_folder("bench_store."), path = dir + "/" + name;
  for (auto _ : state) {
    std::string err = pass(path, factor(state));
    if (!err.empty()) {
      state.SkipWithError(err.c_str());
      break;
    }
  }
  count_bytes(state);
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  rmdir(dir.c_str());
}

void BM_FileSpace(benchmark::State& state) {
  tq::init_l_favt64();
  std::vector<unsigned char> rec(zeros());
  run_passes(state, "test", [&](const std::string& path, int64_t f) { return file_space_pass(path, f, rec); });
}

void BM_SQLite(benchmark::State& state) { run_passes(state, "test.db", sqlite_pass); }

void BM_LMDB(benchmark::State& state) { run_passes(state, "test.mdb", lmdb_pass); }

// A disk that stays full (every system write of the write-back fails with ENOSPC): 64 KiB
// writes appended to one file until the megabytes of the second argument were asked for,
// under the page limit of the first. The cache takes writes up to its bound and refuses the
// rest, so the time a byte costs stays the same however many are written. Counters: the
// pages the cache held at the end, and the writes it refused.
void BM_FullDiskWrites(benchmark::State& state) {
  tq::init_l_favt64();
  tq::FAC_GENERAL& g = tq::fac_general_info;
  const int saved = g.total_entries;
  g.total_entries = int(state.range(0));
  const int64_t bytes = state.range(1) << 20;
  const std::string dir = benchsupport::new_tmp_folder("bench_store."), path = dir + "/full";
  const std::vector<unsigned char> chunk(65536, 'f');
  int64_t refused = 0, held = 0;
  for (auto _ : state) {
    tq::PDB64* p = tq::open_pdb64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 0);
    if (!p) {
      state.SkipWithError("open failed");
      break;
    }
    tq::fac_fail_system_write(1, ENOSPC, tq::kFacFailWhole | tq::kFacFailFromThenOn);
    refused = 0;
    for (int64_t asked = 0; asked < bytes; asked += int64_t(chunk.size()))
      if (tq::fac_write(&p->fac, chunk.data(), int(chunk.size())) < 0) ++refused;
    state.PauseTiming();
    held = g.entries_nos;
    tq::fac_fail_system_write(0, 0);
    tq::fac_discard(&p->fac);
    tq::close_pdb64(p);
    state.ResumeTiming();
  }
  state.counters["pages_held"] = double(held);
  state.counters["refused"] = double(refused);
  state.SetBytesProcessed(bytes * int64_t(state.iterations()));
  g.total_entries = saved;
  unlink(path.c_str());
  rmdir(dir.c_str());
}

void full_disk_sizes(benchmark::internal::Benchmark* b) {
  if (benchsupport::smoke_run()) {
    b->Args({64, 1});
    return;
  }
  for (int64_t limit : {int64_t(1024), int64_t(tq::kFacDefaultPages)})
    for (int64_t mb : {64, 128, 256}) b->Args({limit, mb});
}

BENCHMARK(BM_FullDiskWrites)->Apply(full_disk_sizes)->Unit(benchmark::kMillisecond);

// The size factors 1, 4 and 16; the smoke run takes 1 alone.
void factors(benchmark::internal::Benchmark* b) {
  b->Arg(1);
  if (!benchsupport::smoke_run()) b->Arg(4)->Arg(kMaxFactor);
}

BENCHMARK(BM_FileSpace)->Apply(factors)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLite)->Apply(factors)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LMDB)->Apply(factors)->Unit(benchmark::kMillisecond);

}  // namespace
