// Helpers of the tree and trie tests (see tree_fixture.h).
#include "tree_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "platform/endian.h"
#include "store/file_space.h"

using namespace tq;

namespace treetest {

void int_endian(void* data, int64_t len) {
  if (!endian_flag || len < 8) return;
  uint64_t v;
  std::memcpy(&v, data, 8);
  v = __builtin_bswap64(v);
  std::memcpy(data, &v, 8);
}

int int_cmp(void* node_data, void* key, void*) {
  int64_t a, b;
  std::memcpy(&a, node_data, 8);
  std::memcpy(&b, key, 8);
  return a > b ? 1 : a < b ? -1 : 0;
}

int64_t key_of(const FAVT64_NODE* n) {
  int64_t k;
  std::memcpy(&k, n->data, 8);
  return k;
}

bool insert_key(FAVT64_ROOT* root, int64_t key) {
  FAVT64_NODE* a = favt64_alloc_node(root, &key, 8);
  EXPECT_TRUE(a);
  FAVT64_NODE* got = favt64_insert(nullptr, root, &root->node, a, int_cmp, nullptr);
  EXPECT_TRUE(got);
  if (got == a) return true;
  favt64_free_node(a);
  return false;
}

FAVT64_NODE* find_key(FAVT64_ROOT* root, int64_t key) {
  FAVT64_NODE* top = root_node64(nullptr, root);
  return top ? favt64_search(nullptr, root, top, &key, int_cmp, nullptr) : nullptr;
}

bool delete_key(FAVT64_ROOT* root, int64_t key) {
  FAVT64_NODE* n = favt64_delete(nullptr, root, &root->node, &key, int_cmp, nullptr);
  if (!n) return false;
  favt64_free_node(n);
  return true;
}

std::vector<int64_t> keys_of(FAVT64_ROOT* root) {
  std::vector<int64_t> out;
  favt64_trace_from_small(
      nullptr, root, root_node64(nullptr, root),
      [](FAVT64_NODE* n, void* w) {
        static_cast<std::vector<int64_t>*>(w)->push_back(key_of(n));
        return 0;
      },
      &out);
  return out;
}

namespace {

std::string shape_at(FAVT64_ROOT* root, FAVT64_PTR* link) {
  FAVT64_NODE* n = g_ptr64(nullptr, root, link);
  if (!n) return "-";
  favt64_lock(&n->h);
  std::string s = std::to_string(key_of(n)) + ":" + std::to_string(n->level);
  if (n->small.fofs || n->large.fofs) s += "(" + shape_at(root, &n->small) + "," + shape_at(root, &n->large) + ")";
  favt64_unlock(&n->h);
  return s;
}

}  // namespace

std::string shape(FAVT64_ROOT* root) { return shape_at(root, &root->node); }

std::vector<FAVT64_HEADER*> cached(PDB64* p) {
  std::vector<FAVT64_HEADER*> out;
  for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
    if (h->p == p) out.push_back(h);
  return out;
}

using storetest::be16;
using storetest::be32;
using storetest::be64;

std::string root_record(int32_t kind, uint64_t node) { return be16(257) + be16(16) + be32(uint32_t(kind)) + be64(node); }

std::string node_record(uint64_t small, uint64_t large, int32_t level, const std::string& data) {
  return be16(258) + be16(uint16_t(24 + data.size())) + be64(small) + be64(large) + be32(uint32_t(level)) + data;
}

std::string int_key(int64_t key) { return be64(uint64_t(key)); }

void write_chain_file(const std::string& path, int64_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << storetest::header_bytes() << storetest::anchor_bytes(0) << root_record(0, n > 0 ? 60 : 0);
  std::string buf;
  for (int64_t i = 0; i < n; ++i) {
    uint64_t large = i + 1 < n ? 60 + 32 * uint64_t(i + 1) : 0;
    buf += node_record(0, large, int32_t(n - i), int_key(i));
    if (buf.size() > (1 << 20)) out << buf, buf.clear();
  }
  out << buf;
}

void TreeTest::SetUp() {
  StoreTest::SetUp();
  saved_cache_limit_ = favt64_cache_limit;
}

void TreeTest::TearDown() {
  favt64_cache_limit = saved_cache_limit_;
  StoreTest::TearDown();
}

PDB64* TreeTest::create(const std::string& name) {
  PDB64* p = open_filespace64(path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kFsFreeList, 31, "utf8");
  EXPECT_TRUE(p);
  return p;
}

PDB64* TreeTest::reopen(const std::string& name) {
  PDB64* p = open_filespace64(path(name).c_str(), O_RDWR, 0644, kFsFreeList, 31, "utf8");
  EXPECT_TRUE(p);
  return p;
}

}  // namespace treetest
