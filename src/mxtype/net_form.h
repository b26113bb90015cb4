// The network form of datums: the one byte order in which datums go into store records and
// to peers, every multi-byte field big-endian (in memory datums are in host order). Swaps
// happen only when endian_flag says the host is little-endian.
//
//   bit, int8, uint8          the byte
//   int16..uint64, float,     the element big-endian (floats as IEEE 754 bits)
//   double, rgb8
//   string                    the UTF-8 bytes and a 0
//   block                     its bytes only (the record gives the length)
//   vectors but string_v      offset byte, type byte, dim (16 bits), dim sizes (32 bits),
//                             padding as held, then the elements each in its scalar's form
//                             (bit_v: the packed bytes as they are)
//   string_v                  head word (type << 16 | dim), dim sizes, then each element's
//                             bytes and a 0 (a null element: one 0)
//
// Datums from a peer or a file are bounded by their length: every reader here answers null
// (allocating nothing) or -1 for bytes whose header, type, sizes or strings do not fit,
// instead of trusting them.
#pragma once
#include <cstdint>

#include "mxtype/mx_type.h"

namespace tq {

struct CHAIN_LIST64;

// ---- In-place byte order (the same swap serves both directions).
void mxt_endian_nothing(void* d);
void mxt_endian_int16(void* d);  // reverses 2 bytes when endian_flag is set
void mxt_endian_int32(void* d);  // 4 bytes (also int32's unsigned sibling, rgb8 and float)
void mxt_endian_int64(void* d);  // 8 bytes (also uint64 and double)
inline constexpr auto mxt_endian_float = &mxt_endian_int32;
inline constexpr auto mxt_endian_double = &mxt_endian_int64;
// A fixed-size vector to network order: the elements through the parent type's swap (the
// header still readable in host order), then the sizes, then dim. The reverse takes the
// reverse order. The datum is one of ours: header and type are trusted.
void mxt_endian_vector_to_net(void* v);
void mxt_endian_vector_to_host(void* v);
// The bit vector: header and sizes as above, the packed bytes untouched.
void mxt_endian_bitv_to_net(void* v);
void mxt_endian_bitv_to_host(void* v);

// ---- Record lists.
// Appends a debug-heap copy of d in network form (owned by the list).
void mxt_convert_basic_to_net(MDT tp, RECORD_LIST64* rlp, void* d);
// The byte size of a vector whose header is in network form, at most `size` bytes long;
// -1 when the header or the sizes are cut, the type is not a registered vector type of the
// offset layout (string_v is not), dim or a size is negative, the offset byte is not the
// one the type's layout gives, the element count overflows, or the datum passes size.
// Reads without changing the bytes.
int get_size_endian(const void* ptr, int64_t size);
// A new datum of kind atype from the network form of tp's datum at d, which has _size bytes:
// a vector must carry tp's code and fit (get_size_endian), a string must end inside them,
// a fixed scalar must fit. Null for anything else, allocating nothing. d is not changed.
void* mxt_convert_basic_to_host(MDT tp, void* d, int _size, int atype, void* at_work, const char* __f, int __l);
// Inserts after piece `ptr` (null: at the front) the variable-length code of the byte
// count of every piece behind it, so that the payload appended after ptr is led by its
// length. The code's buffer belongs to the list.
void set_recordlist_code(RECORD_LIST64* rl, CHAIN_LIST64* ptr);

}  // namespace tq
