// GIF reader: decodes the first image of a GIF87a or GIF89a stream held in memory into
// 4-byte pixels with alpha, de-interlacing as needed; transparency comes from a graphic
// control extension before the image. No shared state; any thread.
#pragma once

#include "image/gif_writer.h"
#include "image/quantize.h"

namespace tq {

// Decodes data[0..length). Returns width x height pixels {r, g, b, alpha}, rows top first,
// in a debug-heap block (free with d_f_ree); alpha is 0 for the transparent index of a
// graphic control extension met before the image, else 255. The image's width and height
// go to *ret_width, *ret_height and ge->width, ge->height, and the 256 palette entries
// with their alpha into ge->cmap (entries no map gives are {0, 0, 0}; a local map
// replaces the start of the global one). The image's left and top offsets are ignored.
// Pixels the code stream never reaches (it ends early, or its sub-blocks end without the
// end code, or its minimum code size is outside 2..9) keep index 0.
// Null, with *ret_width and *ret_height 0 and ge untouched, when the stream does not
// begin with "GIF8", the input ends before the image data ends, there is no image, the
// image has no pixels, its w * h * 4 bytes pass INT_MAX, or its code stream is broken
// (a string longer than the table can hold).
RGB4* gif_uncompress(int* ret_width, int* ret_height, GIF_ENV* ge, const unsigned char* data, int length);

}  // namespace tq
