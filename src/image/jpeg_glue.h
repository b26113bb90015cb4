// In-memory JPEG: encoding 4-byte pixels into a baseline JPEG stream and decoding a JPEG
// stream into 4-byte pixels, on the installed libjpeg-turbo. Pixels are rows of 4 bytes,
// top row first: byte 0 red, 1 green, 2 blue, byte 3 unused. No state between calls; any
// thread. Library errors never end the process: they give null (or 0).
#pragma once

namespace tq {

struct RGB4;  // image/quantize.h

// Encodes image_width x image_height pixels as a baseline JPEG stream (4:2:0, all tables
// written) at quality (clamped to 1..100). Returns a malloc'd buffer (free with free())
// running from the start-of-image marker through the end-of-image marker (its last two
// bytes are FF D9), and its length in *ret_jpeg_length. Returns null with
// *ret_jpeg_length 0 when data is null, a side is outside what JPEG allows (1..65500), or
// the stream would pass INT_MAX bytes.
unsigned char* jpeg_compress(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                             int image_height, int quality);

// Decodes a colour JPEG stream (three-component colour, or CMYK, which becomes red =
// c*k/255, green = m*k/255, blue = y*k/255) into a zero-filled malloc'd buffer of
// width x height pixels (free with free()); byte 3 of every pixel stays 0. *ret_width and
// *ret_height are always written: the image size when the result is not null, else 0 or
// the size read from the header. Null for greyscale or other colour spaces, a damaged
// stream the library gives up on, or width * height * 4 beyond INT_MAX.
unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data, int jpeg_length);

// What LoadJPGFromMemory tells its header callback.
struct LoadJPGInfo {
  int width, height;  // image size from the header
  int bpp;            // 24 colour (RGB or CMYK), 8 greyscale
  int num_palette;    // 256 for greyscale, else 0
  RGB4* palette;      // greyscale ramp {i, i, i, 0}; valid only during the callback
};
using LoadJPGHeaderCallback = int (*)(LoadJPGInfo* info, void* data);
// Where the pixels of line line_number go: 4 bytes a pixel for bpp 24 (byte 3 not
// written), 1 for bpp 8. Null stops decoding (the call still answers 1).
using LoadJPGReadCallback = unsigned char* (*)(int line_number, void* data);

// Decodes the JPEG stream in memory[0..memory_size): reads the header, asks
// header_callback (0 refuses the image), then fills the lines that read_callback gives.
// Answers 1 when the image was accepted and decoded, 0 when a callback is null, the colour
// space is not RGB, CMYK or greyscale, the callback refused, or the library reported an
// error. Never reads outside the block: a stream that ends early reads as if it ended
// with an end-of-image marker.
int LoadJPGFromMemory(const void* memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data);

}  // namespace tq
