// Structure blocks in tests: a matrix described by hand as their owner, their stored form in
// hex, and the reading of exactly given bytes (a heap copy of their size, for the sanitizers).
#pragma once
#include <cstring>
#include <memory>

#include "matrix/matrix.h"
#include "matrix/matrix_node.h"
#include "mxcmd/sb_array.h"
#include "mxcmd/sb_interface.h"
#include "mxcmd/sb_primitive.h"
#include "mxtype/mxtype_test_util.h"
#include "platform/d_alloc.h"

namespace mxtest {

// As many axes as block sizes, divisor 1, and a node of the matrix at dc.
struct SbMatrix {
  explicit SbMatrix(std::vector<uint8_t> block, std::vector<int64_t> dc = {})
      : bs(std::move(block)), dd(bs.size(), 1), code(std::move(dc)) {
    m->p.dim = int(bs.size());
    m->block_size = bs.data();
    m->dim_divide = dd.data();
    node.matrix = m.get();
    node.dim_code = code.data();
  }
  tq::MX_SB_NEW owner(bool with_node = false) { return {m.get(), with_node ? &node : nullptr, 0}; }
  std::unique_ptr<tq::MATRIX> m = std::make_unique<tq::MATRIX>();
  std::vector<uint8_t> bs, dd;
  std::vector<int64_t> code;
  tq::MATRIX_NODE node{};
};

// A new sparse array whose template is a primitive block.
inline tq::MX_STRUCT_BLOCK* sb_sparse(tq::MX_SB_NEW owner) {
  tq::SA_NEW prm{tq::pr_new_sb(&owner, nullptr)};
  return tq::sa_new_sb(&owner, &prm);
}

inline std::string sb_encode(tq::MX_STRUCT_BLOCK* b) {
  tq::MATRIX_ALLOC_BLOCK_PARAM* d = b->tbl->struct2block(b);
  const auto* p = static_cast<const uint8_t*>(d->block);
  const std::string out = to_hex(Bytes(p, p + d->size));
  EXPECT_EQ(d->h.type, 0);
  tq::mxt_free_block(&tq::mx_type_block, d);
  return out;
}

inline int sb_read(tq::MX_STRUCT_BLOCK* b, const std::string& hex_bytes) {
  Exact bytes(from_hex(hex_bytes));
  tq::MATRIX_ALLOC_BLOCK_PARAM d{{0, 0, 0}, bytes.size, bytes.get()};
  return b->tbl->block2struct(b, &d);
}

// Live debug-heap bytes of the sparse arrays and their (primitive) members.
inline int64_t sb_held_bytes() {
  int64_t n = 0;
  for (tq::MEM_LIST* m = tq::get_mem_debug_list(nullptr); m; m = tq::get_mem_debug_list(m))
    if (m->file && (strstr(m->file, "sb_array.cpp") || strstr(m->file, "sb_primitive.cpp"))) n += tq::mem_list_bytes(m);
  return n;
}

}  // namespace mxtest
