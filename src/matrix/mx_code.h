// The variable-length code of signed 64-bit numbers that the matrix store writes into
// store files (pixel sizes, the levels and coordinates of dimension codes in node records,
// index keys and address lists, lengths and ids inside structure blocks). Self-delimiting,
// big-endian, one code per number:
//
//   class  first byte   bytes  field            numbers
//   short  0sxxxxxx     2      15 bits          -2^14 .. 2^14-1
//   word   10sxxxxx     4      30 bits          -2^29 .. 2^29-1
//   long   110sxxxx     6      45 bits          -2^44 .. 2^44-1
//   huge   1110sxxx     8      60 bits          -2^59 .. 2^59-1
//   raw    0xF0         9      the 8 bytes that follow
//
// The field is the number's two's complement, s its sign bit. First bytes 0xF1..0xFF begin
// no code: 0xF1 ends a dimension code (the codes of its level and coordinates, then 0xF1),
// 0xF2 fills a dimension-address list.
//
// Two families of readers: the plain forms trust a buffer our own writer filled (they still
// refuse a byte that begins no code); the bounded forms (suffix _b) take the end of the
// bytes and give null on a truncated or malformed code, never reading past the end or
// writing more codes than the destination holds. Every reader of bytes from a file or a
// peer uses the bounded forms.
#pragma once
#include <cstdint>

namespace tq {

inline constexpr uint8_t kMxCodeRaw = 0xF0;
inline constexpr uint8_t kMxDimCodeEnd = 0xF1;
inline constexpr uint8_t kMxDimCodeFiller = 0xF2;
inline constexpr int kMxCodeMax = 9;  // the longest code
// Bytes a dimension code of dim axes takes at most, and a node-index key (an 8-byte file
// offset followed by such a code).
inline constexpr int mx_dim_code_bytes(int dim) { return kMxCodeMax * (dim + 1) + 1; }
inline constexpr int mx_index_key_bytes(int dim) { return 8 + mx_dim_code_bytes(dim); }

// Writes the code of in at ptr; the pointer behind it.
uint8_t* get_compressed_code64(uint8_t* ptr, int64_t in);
// The length of in's code (2, 4, 6, 8 or 9).
int mx_code_length(int64_t in);
// Reads one code at ptr into *retp; the pointer behind it, or null when the first byte is
// 0xF1..0xFF (nothing stored).
const uint8_t* get_uncompressed_code64(int64_t* retp, const uint8_t* ptr);
// Writes entries 0..dim of dim_code as codes, then 0xF1; the pointer behind the 0xF1.
uint8_t* get_compressed_dim_code(uint8_t* ptr, const int64_t* dim_code, int dim);
// Reads codes into dim_code[0], [1], ... until 0xF1 (a null dim_code skips them); the
// pointer behind the 0xF1, or null at a byte that begins no code. The caller's array holds
// every code of the buffer.
const uint8_t* get_uncompressed_dim_code(int64_t* dim_code, const uint8_t* ptr);
// The number of codes before the 0xF1, minus one (the axis count); -2 at a malformed byte.
int get_dim_code_dimension(const uint8_t* ptr);

// ---- Bounded readers: [ptr, end) holds the bytes.
// One code; null when it is cut by end or begins with 0xF1..0xFF.
const uint8_t* get_uncompressed_code64_b(int64_t* retp, const uint8_t* ptr, const uint8_t* end);
// A dimension code of at most dim + 1 codes and its 0xF1: stores them in dim_code (dim + 1
// entries; null skips) and their number in *ncodes (when given); the pointer behind the
// 0xF1. Null when a code or the end mark is cut by end, a code is malformed, or more than
// dim + 1 codes come before the end mark; dim_code may then hold some codes.
const uint8_t* get_uncompressed_dim_code_b(int64_t* dim_code, int dim, int* ncodes, const uint8_t* ptr,
                                           const uint8_t* end);
// The axis count of the dimension code at ptr (codes before 0xF1, minus one); -2 when it is
// cut by end or malformed.
int get_dim_code_dimension_b(const uint8_t* ptr, const uint8_t* end);

// ---- The node index's keys in the store file (tree kind 1025).
// Whether len bytes hold a node-index key: an 8-byte offset, then a whole dimension code
// (a level at least) whose end mark lies within the bytes. The store checks each node of
// a node index with it when it loads one, so the key's compare never reads past the node.
bool mx_index_key_check(const void* data, int64_t len);
// Installs mx_index_key_check as the store's node-index check: once, at the matrix store's
// start-up, before a matrix file is opened.
void init_mx_index_key_check();

}  // namespace tq
