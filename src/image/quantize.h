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

// Work slots of the colour histogram: a run uses one, and two runs must not use the same
// slot at once. The GIF writer uses slot 1 under its lock.
inline constexpr int kMedianCutSlots = 5;

// Quantises iWidth x iHeight pixels of 4 bytes (byte 0 red, 1 green, 2 blue, 3 ignored),
// rows in order, by median cut in a 16 x 16 x 16 histogram of colour lists:
// - the palette gets one entry per box (the box's centre), at most 256; the entries after
//   the last box are {0, 0, 0}; the fourth byte of cmap's entries is not written;
// - when pCode is not null it receives one palette index per pixel.
// Returns -1 when done; 0, touching nothing, when pData or cmap is null, iWorkID is not a
// slot (0..4), a side is negative or the image has more than INT_MAX pixels. An image of
// no pixels gives an all-zero palette.
int MedianCut(const unsigned char* pData, int iWidth, int iHeight, ColorMap* cmap, unsigned char* pCode, int iWorkID);

}  // namespace tq
