// Block datums, new vectors and network images shared by the payload words.
#include "mxcmd/mx_payload.h"

#include <cstring>

#include "lang/gc.h"
#include "matrix/mx_code.h"
#include "matrix/matrix_registry.h"
#include "platform/d_alloc.h"
#include "store/record_list.h"

namespace tq {

MATRIX_ALLOC_BLOCK_PARAM* mx_new_block(const void* bytes, int size) {
  MATRIX_ALLOC_BLOCK_PARAM prm{{0, MXT_BLOCK, 0}, size, const_cast<void*>(bytes)};
  return static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(
      mxt_alloc_block_data(&mx_type_block, MX_ALLOC_GC, &prm, nullptr, __FILE__, __LINE__));
}

MATRIX_ALLOC_BLOCK_PARAM* mx_block_of(TQ_SEXP* v) {
  if (get_type(v) != kTagPtr || !v->ptr.ptr) return nullptr;
  if (v->ptr.gc && v->ptr.gc != gc_mtx_block) return nullptr;  // other records than datums
  auto* b = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(v->ptr.ptr);
  return b->h.type == MXT_BLOCK && b->size >= 0 && (b->size == 0 || b->block) ? b : nullptr;
}

MDT mx_packable_vector(int type_code) {
  MDT tp = get_matrix_data_type(type_code);
  return tp && tp->parent && tp->convert_to_net && tp->convert_to_host ? tp : nullptr;
}

void* mx_new_vector(MDT tp, std::vector<int> sizes) {
  MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), sizes.data(), nullptr, nullptr};
  return tp->alloc_data(tp, MX_ALLOC_GC, &prm, nullptr, __FILE__, __LINE__);
}

MATRIX_ALLOC_BLOCK_PARAM* mx_debug_block(const std::vector<uint8_t>& bytes) {
  auto* d = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d_calloc(1, sizeof(MATRIX_ALLOC_BLOCK_PARAM)));
  d->size = int(bytes.size());
  if (!bytes.empty()) {
    d->block = d_alloc(bytes.size());
    memcpy(d->block, bytes.data(), bytes.size());
  }
  return d;
}

void mx_put_code(std::vector<uint8_t>& out, int64_t v) {
  uint8_t code[kMxCodeMax];
  out.insert(out.end(), code, get_compressed_code64(code, v));
}

uint8_t* mx_net_image(MDT tp, void* d, uint8_t lead, int64_t* size) {
  RECORD_LIST64* rl = new_recordlist64(0, 0);
  auto* head = static_cast<uint8_t*>(d_alloc(1));
  *head = lead;
  set_recordlist_chain64(rl, head, 1, 1);
  tp->convert_to_net(tp, rl, d);
  *size = _setup_recordlist64(rl);
  auto* bytes = static_cast<uint8_t*>(rl->data);
  rl->data = nullptr;  // handed to the caller
  free_recordlist64(rl);
  return bytes;
}

}  // namespace tq
