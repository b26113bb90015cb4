// The records that describe a file matrix as a whole: the matrix header (0x600) and the
// subheader (0x601).
//
// 0x600 body, big-endian: 0 channel_nos s32, 4 dim s32, 8 flags s32 (bit 1: the file keeps
// the ring of stored nodes), 12 total_levels s32, 16 modify_time s64, 24 subheader offset
// s64, 32 dim_divide (a byte per axis), then block_size (a byte per axis), then one
// variable-length code per axis of the level-0 size, then a 12-byte entry per channel:
// type code u16 (0 untyped), flags u16, default datum offset s64 (a 0x602, or 0).
//
// A header is read from a file that may be damaged or hostile: it is checked whole before
// anything of the matrix is set or the file marked.
#pragma once
#include "matrix/matrix.h"
#include "matrix/mx_file_format.h"

namespace tq {

// Creates the file of m (emptying it) with its header, its channels' default datums, the
// subheader (an empty ring, the open mark) and an empty node index; m's parameters,
// geometry and channels are set. 0, or -1 when the file cannot be had or a record cannot be
// placed or written. Later openings of the file do not empty it.
int save_matrix_header(MATRIX* m);

// Opens m's file with the open flags oflags (O_RDWR to work on it) and describes m from its
// records: parameters (channels, axes, flags, fixed level count, modification time), per
// axis divisor, block size and level-0 size, and each channel whose type code is
// registered, with its default datum (a default that does not load, or is not a 0x602,
// leaves the channel without one and its record in place). Then marks the file open. mode
// is not read.
// 0; MX_SCRIPT_FAILED (-100) without a file name; the access's -123 or -124
// ("load_matrix_header-1 %i\n"); -124 with a line for a file that has no header
// ("************ DESTROY-1\n"), a subheader that cannot be read ("************ DESTROY-2\n"),
// a file marked open ("************ DESTROY-3 %x\n" with its flags), an absurd header or a
// subheader not of 912 bytes or with a ring count outside 0..10000
// ("************ DESTROY-5\n"), a node index root that is not
// a tree root of kind 1025 ("************ DESTROY-6\n"); a setter's code when m is
// described already; -123 when the open mark cannot be written. A refusal leaves m without
// a work record and the file's bytes as they were.
int load_matrix_header(MATRIX* m, int oflags, int mode);

// The subheader between the work record and its record; sfa 1 when the caller holds the
// access, 0 to take it here. 0, or -1 (no access, the record cannot be read or written);
// the load gives -2 for a record there that is not a 912-byte subheader or whose ring count
// lies outside 0..10000, leaving the work record's copy as it was.
int save_subheader(MATRIX* m, int sfa);
int load_subheader(MATRIX* m, int sfa);
// Writes s as the subheader and only then makes it the work record's copy, so a failed
// write leaves memory and file alike: 0, or -1. The caller holds the access.
int save_subheader_as(MATRIX* m, const PN64_MX_SUBHEADER& s);

// Reads the 0x600 record and drops it; prints "load_matrix_header-1 %i %p %p\n" (the code,
// the work record, m) when the access fails.
void matrix_test(MATRIX* m);

}  // namespace tq
