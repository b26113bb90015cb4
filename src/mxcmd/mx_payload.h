// What the words that pack and unpack block payloads share: block datums made from bytes,
// the block a value cell holds, new vectors of collected memory, and the element types a
// payload may name.
//
// Payloads come from channels, files and peers: every reader of one is handed the bytes and
// their count and reads nothing outside them.
#pragma once
#include <cstdint>
#include <vector>

#include "lang/sexp.h"
#include "mxtype/block_type.h"
#include "mxtype/datum.h"

namespace tq {

// A new block datum in collected memory holding a copy of size bytes.
MATRIX_ALLOC_BLOCK_PARAM* mx_new_block(const void* bytes, int size);
// The block datum a pointer cell holds (the cells datums live in); else null.
MATRIX_ALLOC_BLOCK_PARAM* mx_block_of(TQ_SEXP* v);
// The type of a vector datum the payload words pack: a registered vector type with a
// network form; null for anything else (a block, a scalar, an unknown code).
MDT mx_packable_vector(int type_code);
// A new zeroed vector of collected memory with these axis sizes; null when the sizes do
// not make one.
void* mx_new_vector(MDT tp, std::vector<int> sizes);
// A new debug-heap datum (record and bytes, freed by the block type's free_data) with a
// zero header and a copy of bytes: what a structure block's struct2block gives.
MATRIX_ALLOC_BLOCK_PARAM* mx_debug_block(const std::vector<uint8_t>& bytes);
// Appends the store's variable-length code of v.
void mx_put_code(std::vector<uint8_t>& out, int64_t v);
// The network form of vector d behind the byte lead: one joined buffer on the debug heap
// (the caller frees it with d_f_ree), its length in *size.
uint8_t* mx_net_image(MDT tp, void* d, uint8_t lead, int64_t* size);

}  // namespace tq
