// Median-cut colour quantiser: reduces a true-colour image of 4-byte pixels to at most 256
// colours and maps each pixel to one of them. Also the palette entry and colour map that
// the GIF writer and reader and the JPEG loader exchange.
#pragma once

namespace tq {

// One palette entry: red, green, blue and a fourth byte (alpha in the GIF reader's maps,
// otherwise unused).
struct RGB4 {
  unsigned char r, g, b, x;
};

struct ColorMap {
  RGB4 color[256];
};

}  // namespace tq
