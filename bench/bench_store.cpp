// peers: sqlite3 lmdb
// The store test's workload (201 allocations, then 1000 passes of frees and allocations by
// the driver's slot rule, without printing) on the file space, against the same sequence of
// blob inserts and deletes in SQLite (one table, synchronous and journal off) and in LMDB
// (no sync). Each iteration creates its file, runs the whole sequence and closes it. The
// argument multiplies every size (1, 4, 16): the work, and the bytes processed, grow with it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lmdb.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store/file_space.h"
#include "store/record_io.h"
#include "store/store_lock.h"
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

std::string scratch_dir() {
  char tmpl[] = "/tmp/bench_store.XXXXXX";
  return mkdtemp(tmpl);
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

void BM_FileSpace(benchmark::State& state) {
  tq::init_l_favt64();
  std::string dir = scratch_dir(), path = dir + "/test";
  std::vector<unsigned char> rec(zeros());
  const int64_t f = factor(state);
  for (auto _ : state) {
    tq::PDB64* p = tq::open_filespace64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, tq::kFsFreeList, 31, "utf8");
    int64_t slot[kSlots] = {};
    for (const Op& op : ops()) {
      if (!op.alloc) {
        tq::free_filespace64(p, uint64_t(slot[op.slot]));
        continue;
      }
      tq::PN64_HEADER h{};
      h.type = 123;
      h.size = uint64_t(op.size * f);
      slot[op.slot] = tq::alloc_filespace64(p, &h);
      tq::set_rec_head64(rec.data(), 123, uint64_t(op.size * f));
      if (slot[op.slot] < 0 || tq::write_filespace64f(p, uint64_t(slot[op.slot]), rec.data()) < 0) {
        state.SkipWithError("store write failed");
        break;
      }
    }
    if (tq::close_filespace64(p) < 0) state.SkipWithError("store close failed");
  }
  count_bytes(state);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

void BM_SQLite(benchmark::State& state) {
  std::string dir = scratch_dir(), path = dir + "/test.db";
  const int64_t f = factor(state);
  for (auto _ : state) {
    unlink(path.c_str());
    sqlite3* db;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;"
                     "CREATE TABLE blocks(id INTEGER PRIMARY KEY, data BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *ins, *del;
    sqlite3_prepare_v2(db, "INSERT INTO blocks(data) VALUES(?)", -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "DELETE FROM blocks WHERE id=?", -1, &del, nullptr);
    int64_t slot[kSlots] = {};
    for (const Op& op : ops()) {
      if (op.alloc) {
        sqlite3_bind_blob(ins, 1, zeros().data(), int(op.size * f), SQLITE_STATIC);
        if (sqlite3_step(ins) != SQLITE_DONE) {
          state.SkipWithError(sqlite3_errmsg(db));
          break;
        }
        sqlite3_reset(ins);
        slot[op.slot] = sqlite3_last_insert_rowid(db);
      } else {
        sqlite3_bind_int64(del, 1, slot[op.slot]);
        sqlite3_step(del);
        sqlite3_reset(del);
      }
    }
    sqlite3_finalize(ins);
    sqlite3_finalize(del);
    sqlite3_close(db);
  }
  count_bytes(state);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

void BM_LMDB(benchmark::State& state) {
  std::string dir = scratch_dir(), path = dir + "/test.mdb";
  const int64_t f = factor(state);
  for (auto _ : state) {
    unlink(path.c_str());
    unlink((path + "-lock").c_str());
    MDB_env* env;
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, size_t(f) << 30);
    mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644);
    MDB_dbi dbi;
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi);
    mdb_txn_commit(txn);
    uint64_t next_key = 1, slot[kSlots] = {};
    for (const Op& op : ops()) {  // one transaction per step, as SQLite's autocommit
      mdb_txn_begin(env, nullptr, 0, &txn);
      int rc;
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
      if (rc != 0 || (rc = mdb_txn_commit(txn)) != 0) {
        state.SkipWithError(mdb_strerror(rc));
        break;
      }
    }
    mdb_env_close(env);
  }
  count_bytes(state);
  unlink(path.c_str());
  unlink((path + "-lock").c_str());
  rmdir(dir.c_str());
}

BENCHMARK(BM_FileSpace)->Arg(1)->Arg(4)->Arg(kMaxFactor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SQLite)->Arg(1)->Arg(4)->Arg(kMaxFactor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LMDB)->Arg(1)->Arg(4)->Arg(kMaxFactor)->Unit(benchmark::kMillisecond);

}  // namespace
