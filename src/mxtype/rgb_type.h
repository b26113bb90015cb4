// The rgb8 types: four 8-bit colour values packed in one unsigned 32-bit word, colour byte n
// being bits 8n .. 8n + 7 (byte 0 the least significant). The colour bytes are taken from
// and put into the word by shifts only, never by addressing the word's memory, so the rule
// holds on any host. The network form is the word big-endian. Arithmetic works on each
// colour byte by itself and saturates at 0 and 255; the curve option codes differences.
#pragma once
#include <cstdint>

#include "mxtype/mx_type.h"

namespace tq {

// A language integer gives a new debug-heap word of its low 32 bits (*cpy becomes 1).
void* mxt_RGB_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
TQ_SEXP* mxt_RGB_md2sexp(MDT tp, void* d);  // the word as unsigned (0 .. 2^32-1)
// Colour byte by colour byte from byte 0 up, unsigned; the first difference decides.
int cmp_RGB(uint32_t r1, uint32_t r2);
int mxt_RGB_cmp(MDT tp, void* d1, void* d2);
int mxt_RGBv_cmp(MDT tp, void* d1, void* d2);  // the headers, then the words in order
// Per colour byte: opt 2, a + the curve's difference of code b, clamped to 0..255; else
// a + b, clamped to 255.
uint32_t add_RGB(uint32_t a, uint32_t b, int opt);
// Per colour byte: opt 2, the curve code of a - b; else a - b, clamped to 0.
uint32_t sub_RGB(uint32_t a, uint32_t b, int opt);
// Thinning as the integer vectors do (-1 for src, -2 for dest of another axis count or
// type); the average takes each colour byte's truncated mean of the cell's elements
// inside the block, at any level.
int mxt_RGB_thined_rep(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src);
int mxt_RGB_thined_avg(MDT tp, MATRIX* m, int64_t* dim_code, int parent, void* dest, void* src);
// dest[fine] = add_RGB / sub_RGB (coarse element, fine element, *opt); -1 without writing
// when a block has not the matrix's axis count or is not an rgb8 vector, or the fine level
// is below 1. A null opt is option 0.
int mxt_RGB_add(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2);
int mxt_RGB_sub(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2);

}  // namespace tq
