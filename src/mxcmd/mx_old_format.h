// Images of older stores, handed over as language lists, decoded into two-axis uint32
// vectors by "mxUncompressOldFormat". An output pixel keeps 10 bits a channel: red x 4 in
// bits 0-9, green x 4 in bits 10-19, blue x 4 in bits 20-29; a pixel nothing wrote keeps
// the fill 0x40000000.
//
//   CR value   (width height ((x y bx by) ...) (tile ...)): one rectangle per tile, each
//              tile a raw cell: tag 'j' (JPEG) or 'n' (raw CR tile), three tone-curve
//              parameters (red, green, blue), then the coded tile. With a base image (the
//              level above, in the output format) tiles hold differences against it, read
//              at half resolution from (bx, by).
//   R64 value  (width height kind pixels): kind a string, "P..." for colour (3 bytes a
//              pixel) and anything else grey (1 byte); pixels a raw cell, axis 0 fastest.
//
// Nothing in a value is trusted: sides must be positive and their product fit a vector,
// pixel bytes must cover the image, tile writes are clipped to the output and base reads
// outside the base give 0.
#pragma once
#include <cstdint>

#include "lang/sexp.h"

namespace tq {

inline constexpr uint32_t kOldFormatFill = 0x40000000;

// The vector of a CR value, in collected memory, against base (a two-axis vector of 4-byte
// elements) when it is given; null when the value or the base is not one. Tiles that do
// not decode are skipped with a line on standard output.
void* uncompress_cr(TQ_SEXP* value, void* base);
// The vector of an R64 value in collected memory; null when it is not one.
void* uncompress_r64(TQ_SEXP* value);
// n pixels into output words: 3 bytes (red, green, blue) each, or 1 grey byte each.
void copy_buf_p_of(uint32_t* out, const uint8_t* rgb, int64_t n);
void copy_buf_g_of(uint32_t* out, const uint8_t* grey, int64_t n);

}  // namespace tq
