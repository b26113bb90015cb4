// The zlib payload of a block: "mxCompressZ" packs a block or vector datum, "mxUncomressZ"
// (spelled so) gives it back. The payload is a zlib stream (compress2's format) of the
// plain image: one byte, the element type code of the packed datum (13 for a block), then
// the block's bytes or the vector's network form.
#pragma once
#include <cstdint>

namespace tq {

// The datum a zlib payload of size bytes holds, rebuilt in collected memory: a block datum
// for type 13, else the vector of the type its first byte names. Null when the bytes do
// not inflate, inflate to nothing, name a type that is neither the block type nor a packable
// vector type, or hold no whole vector of that type.
void* mx_z_unpack(const uint8_t* payload, int size);

// Prints label and the sum of the bytes, "%s %i\n", on standard output (a diagnostic).
void data_checksum(const char* label, const uint8_t* bytes, int length);

}  // namespace tq
