// The image payloads of a block: "mxCompressJPEG" packs a two-axis uint8 (grey) or rgb8
// (colour) vector, "mxUncompressJPEG" gives it back. A payload starts with a two-byte tag:
//
//   "gn"  grey raw      width byte, height byte, then width x height grey bytes
//   "gj"  grey JPEG     a JPEG stream of the image with red = green = blue = grey
//   "cn"  colour raw    width byte, height byte, then red, green, blue of each pixel
//   "cj"  colour JPEG   a JPEG stream of the image
//
// Pixels run axis 0 (width) fastest. An image takes the JPEG form when both sides are above
// 19, else the raw form, whose sides must fit a byte. An rgb8 element is red << 24 |
// green << 16 | blue << 8 | a fourth byte; a JPEG pixel carries the first three.
#pragma once
#include <cstdint>

namespace tq {

// The vector an image payload of size bytes holds, in collected memory: uint8 for "g"
// tags, rgb8 for "c" tags. Null for an unknown tag, a raw image shorter than its sides
// need, or a JPEG stream that does not decode.
void* mx_jpeg_unpack(const uint8_t* payload, int size);

}  // namespace tq
