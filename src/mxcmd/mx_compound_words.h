// Compound blocks: "mxCompound" packs strings, integers, floats, blocks and vectors into the
// payload of one block datum, "mxSeparate" unpacks it. The payload is a sequence of items,
// with no count and no end mark (the byte count ends it):
//
//   type    1 byte   14 string, 5 integer, 11 float, 13 block, else the vector's type code
//   length  the store's variable-length code of the payload's byte count
//   payload          string: UTF-8 bytes, no terminator; integer: 64 bits big-endian;
//                    float: the IEEE 754 double big-endian; block: its bytes; vector: its
//                    network form
//
// The grid words "mxSquash" and "mxStuffing" share nothing of this layout; they live in
// mx_grid_words.cpp.
#pragma once
#include <cstdint>

#include "lang/sexp.h"

namespace tq {

// The values of a compound payload of size bytes, last item first: strings, integers and
// floats as plain cells, blocks and vectors as (data dc_list value) with new datums in
// collected memory. Null in *ok false when an item's length code or payload is cut by the
// end, its type is neither one of the four nor a packable vector type, or its payload does
// not hold such a value (a number takes exactly 8 bytes).
TQ_SEXP* mx_separate_payload(const uint8_t* payload, int size, TQ_SEXP* dc_list, bool* ok);

}  // namespace tq
