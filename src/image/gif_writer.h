// GIF writer: turns a true-colour image of 4-byte pixels into a GIF87a stream in memory
// (median cut to 256 colours, one global map, one image, LZW). Encodings are serialised by
// gif_compres_lock, since the encoder keeps its state in module globals. Also the colour
// packing helpers.
#pragma once

#include "image/quantize.h"
#include "platform/lock.h"

namespace tq {

// An image's palette and size, as gif_compress reports them and gif_uncompress fills them.
struct GIF_ENV {
  ColorMap cmap;  // gif_compress: the palette written; gif_uncompress: entries with alpha in x
  int width;
  int height;
};

// Serialises whole encodings; created on first use, never destroyed.
extern SEM gif_compres_lock;

// Encodes width x height pixels of 4 bytes (byte 0 red, 1 green, 2 blue, 3 ignored), rows
// top first, as a GIF87a stream: screen width x height, flags 0xF7, a global map of 256
// entries (MedianCut's palette, histogram slot 1), one image at (0, 0) without a local
// map or interlacing, LZW with minimum code size 8, data sub-blocks of at most 255 bytes,
// and the trailer. Writes the palette and size into *ret_ge (its x bytes untouched).
// Returns the stream in a debug-heap block (free with d_f_ree) and its exact length in
// *ret_length; null with *ret_length 0 when data or ret_ge is null, a side is outside
// 1..65535 (the screen fields are 16-bit), the image has more than INT_MAX pixels, or the
// stream would pass INT_MAX bytes. ge is not used.
unsigned char* gif_compress(int* ret_length, GIF_ENV* ret_ge, const GIF_ENV* ge, const unsigned char* data, int width,
                            int height);

// b << 16 | g << 8 | r, each masked to 8 bits.
int GetColorInt(int r, int g, int b);
int GetColorRGB(RGB4 rgb);

}  // namespace tq
