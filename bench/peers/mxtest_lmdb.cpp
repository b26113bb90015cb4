// mxtest_lmdb: the peer of mxtest as a whole process. It runs the store test's workload on
// LMDB in the current folder (file "test.mdb", no sync, one transaction per allocation or
// free) and prints the same lines as mxtest, with record keys in place of file offsets.
#include <lmdb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/store_workload.h"

namespace {

[[noreturn]] void fail(const char* what, int rc) {
  fprintf(stderr, "mxtest_lmdb: %s: %s\n", what, mdb_strerror(rc));
  exit(1);
}

void check(const char* what, int rc) {
  if (rc != 0) fail(what, rc);
}

}  // namespace

int main() {
  MDB_env* env;
  check("create", mdb_env_create(&env));
  check("map size", mdb_env_set_mapsize(env, size_t(1) << 30));
  check("open", mdb_env_open(env, "test.mdb", MDB_NOSUBDIR | MDB_NOSYNC, 0644));
  MDB_txn* txn;
  MDB_dbi dbi;
  check("begin", mdb_txn_begin(env, nullptr, 0, &txn));
  check("dbi", mdb_dbi_open(txn, nullptr, 0, &dbi));
  check("commit", mdb_txn_commit(txn));

  const std::vector<unsigned char> zeros(201028, 0);
  uint64_t next_key = 1, slot[tqbench::kStoreSlots] = {};
  auto alloc = [&](int s, int64_t size) {
    printf("SIZE = %lli ", (long long)size);
    slot[s] = next_key++;
    MDB_val k{sizeof(uint64_t), &slot[s]};
    MDB_val v{size_t(size), const_cast<unsigned char*>(zeros.data())};
    check("begin", mdb_txn_begin(env, nullptr, 0, &txn));
    check("put", mdb_put(txn, dbi, &k, &v, 0));
    check("commit", mdb_txn_commit(txn));
    printf("ofs = %lli\n", (long long)slot[s]);
  };
  auto release = [&](int s) {
    printf("ofs = %lli\n", (long long)slot[s]);
    MDB_val k{sizeof(uint64_t), &slot[s]};
    check("begin", mdb_txn_begin(env, nullptr, 0, &txn));
    check("del", mdb_del(txn, dbi, &k, nullptr));
    check("commit", mdb_txn_commit(txn));
  };
  tqbench::store_workload(alloc, release, [](int clear, int left) { printf("T %i %i\n", clear, left); },
                          [](int phase) { printf(phase == 1 ? "PHASE 1 ALLOC\n" : "PHASE 2 FREE\n"); });
  mdb_env_close(env);
  return fflush(stdout) == 0 ? 0 : 1;
}
