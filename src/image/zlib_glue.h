// In-memory zlib blocks: one call packs a buffer, one unpacks it. The matrix words and the
// compressed rasters store their blocks through these. No state between calls; any thread.
#pragma once

namespace tq {

// Compresses sourceSize bytes at zlib level opt (0..9, or -1 for zlib's default) into a
// zlib stream (header, deflate data, Adler-32), the same bytes zlib's compress2 gives.
// Returns a debug-heap block (free with d_f_ree) holding the stream, its length in
// *compressedSize. Returns null with *compressedSize 0 when sourceSize is negative,
// sourceMemory is null while sourceSize > 0, opt is not a level, or the stream would not
// fit in sourceSize + sourceSize / 1000 + 12 bytes (at most INT_MAX).
unsigned char* zlib_compress(int* compressedSize, const void* sourceMemory, int sourceSize, int opt);

// Inflates the zlib stream in the first `length` bytes of data (bytes after the stream's
// end are ignored). Returns a debug-heap block (free with d_f_ree) that may be larger than
// the inflated data, and its exact inflated length in *uncompress_len. Returns null,
// leaving *uncompress_len alone, when the stream is damaged or ends early (also for
// length <= 0 or null data), or when it would inflate past INT_MAX bytes.
void* zlib_uncompress(int* uncompress_len, const void* data, int length);

}  // namespace tq
