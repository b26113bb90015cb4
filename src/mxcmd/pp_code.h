// Point-list code: the byte form of a plot list, the payload of a block datum (element
// type 13) in a matrix channel, plain or compressed. Numbers are big-endian. The code of a
// list is its plots, then one 0x00. One plot:
//
//   flags (1 byte, never 0)  reserved (1, written 0)  coordinates (dim x u16)
//   [base values, dim x s64, with flag 0x20]  [id, s64, with flag 0x40]
//   fields: each a type byte and its value (pp_fields.h)  field end (0x00)
//
// The code carries no axis count: both sides take `dim` from the node's matrix. The
// compressed form is the zlib stream (level 7) of the byte 0x0D followed by the code; which
// form a datum holds is not marked in it.
//
// The reader is bounded by the given length and refuses input that is not a whole list: a
// plot or field cut by the end, a missing end byte, a type byte outside the nine valid ones.
#pragma once
#include <cstdint>

#include "mxcmd/pp_plot.h"

namespace tq {

// The head of one plot in code; dim big-endian 16-bit coordinates follow.
struct PRIMITIVE_PLOT {
  uint8_t flags;
  uint8_t dummy;
};

inline constexpr uint8_t kPpCodeLead = 0x0D;  // the byte before the code in the compressed form
inline constexpr int kPpZlibLevel = 7;

// The code of list ip (debug heap, the caller frees it); its length in *size_p. A plot's
// flags byte gets 0x40 exactly when its id is not 0, except that a plot whose flags would
// then be 0 keeps 0x40 and writes its zero id (a 0 byte there would end the list). Null,
// with *size_p 0 and nothing allocated, when the code would be longer than INT_MAX bytes.
uint8_t* internal2code(int* size_p, const MATRIX* m, const INTERNAL_PLOT* ip);
// The code of the single plot ip, without the list's end byte; null as internal2code.
uint8_t* one_internal2code(int* size_p, const MATRIX* m, const INTERNAL_PLOT* ip);
// The list coded in the ptr_size bytes at ptr, in code order (bytes after the end byte are
// not read); null for the empty list. With sat every piece is carved from the arena,
// which is emptied first; else from the debug heap (free with free_internal_plot_list).
// Input that is not a whole list gives null with *err PP_BAD_CODE and nothing allocated
// (the arena emptied); else *err is PP_OK. A plot without fields gets no field array.
INTERNAL_PLOT* code2internal(const MATRIX* m, const PRIMITIVE_PLOT* ptr, int ptr_size, SIMPLE_ALLOC_T* sat,
                             int* err);

// The compressed form of size code bytes (debug heap); null with *out_size 0 on failure.
uint8_t* pp_compress(int* out_size, const uint8_t* code, int size);
// Inflates a compressed form: the debug-heap buffer to free, the code at its byte 1 and
// its length in *code_size; null when the stream does not inflate.
uint8_t* pp_uncompress(int* code_size, const void* data, int size);
// The code a datum's size bytes hold: with `compressed` inflated (the debug-heap buffer to
// free in *owned, the code past its first byte), else the bytes themselves (*owned null).
// False when they do not inflate.
bool pp_code_of(bool compressed, const void* bytes, int size, uint8_t** owned, const uint8_t** code,
                int* code_size);

}  // namespace tq
