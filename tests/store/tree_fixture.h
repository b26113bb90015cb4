// Helpers of the tree and trie tests: 64-bit integer keys (big-endian in the file), node
// records and whole files built by hand from the record layout, the shape of a cached
// tree as text, and the cached records of one file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "store/favt64.h"
#include "store_test_util.h"

namespace treetest {

// The integer trees' endian function and comparator (keys are int64 at data offset 0).
void int_endian(void* data, int64_t len);
int int_cmp(void* node_data, void* key, void* work);
int64_t key_of(const tq::FAVT64_NODE* n);

// Allocates and inserts key; true when it was new (a duplicate's node is freed).
bool insert_key(tq::FAVT64_ROOT* root, int64_t key);
tq::FAVT64_NODE* find_key(tq::FAVT64_ROOT* root, int64_t key);
bool delete_key(tq::FAVT64_ROOT* root, int64_t key);
// The keys in ascending order through a walk.
std::vector<int64_t> keys_of(tq::FAVT64_ROOT* root);

// The tree as "key:level(small,large)", "-" for an empty link; loads what it needs.
std::string shape(tq::FAVT64_ROOT* root);

// The file's records in the cache ring, front first.
std::vector<tq::FAVT64_HEADER*> cached(tq::PDB64* p);

// Records as the layout lays them out (short heads only).
std::string root_record(int32_t kind, uint64_t node);
std::string node_record(uint64_t small, uint64_t large, int32_t level, const std::string& data);
std::string int_key(int64_t key);  // 8 bytes big-endian

// Writes a file of header, anchor, a root at 44 and n nodes in one chain of large links
// (node i at 60 + 32 i, key i, level n - i): the deepest shape a tree can have.
void write_chain_file(const std::string& path, int64_t n);
inline constexpr uint64_t kChainRoot = 44;

// A store test whose tree cache limit is restored afterwards.
class TreeTest : public storetest::StoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  tq::PDB64* create(const std::string& name = "store");
  tq::PDB64* reopen(const std::string& name = "store");
  std::string bytes(const std::string& name = "store") { return tqtest::read_file(path(name)); }
  int saved_cache_limit_ = 0;
};

}  // namespace treetest
