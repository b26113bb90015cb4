// The data and script records of a file matrix: a single datum (0x602, a channel's
// default), a node's channel datum (0x603, chained by next offset, ascending channel), and
// an event script's text (0x604). A record is rewritten in place exactly when its new size
// equals the stored one; otherwise a new one is placed, and the old one freed once nothing
// names it.
//
// 0x602 body: the datum's network form, filled to at least 8 bytes (a reader hands the
// whole body to the type). 0x603 body: next s64, channel s32, the datum's network form.
// 0x604 body: the script's pieces joined, UTF-8, no terminator.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "matrix/matrix.h"

namespace tq {

// Writes datum target of type tp as a 0x602 at or in place of fofs (0: a new one): the
// record's offset, or -1 (no access, no place, or the write failed; the record at fofs is
// then left as it was), or -2 when the write over the record at fofs failed (it may then
// hold part of the new bytes). A record that moves frees the one at fofs once it is written.
int64_t save_matrix_data_1(MATRIX* m, int64_t fofs, void* target, MDT tp);
// The same for a 0x603 with its link and channel number, except that a record that moves
// leaves the one at fofs to the caller (a node's save frees it once the node's chain no
// longer runs through it).
int64_t save_matrix_data_2(MATRIX* m, int64_t fofs, void* target, int64_t next_fofs, int id, MDT tp);
// A new debug-heap datum from the 0x602 (converted by tp) or the 0x603 (converted by its
// channel's type; tp is not read) at fofs; for a 0x603 the link and the channel number go
// through next_fofs and id when given. Null when there is no access, the record cannot be
// read, is of another type, names a channel outside 0..channel_nos-1 or without a
// registered type, or its bytes do not convert.
void* load_matrix_data(int64_t* next_fofs, int* id, MATRIX* m, int64_t fofs, MDT tp);

// One of the three sets (mode 0..2) of event priorities and scripts. Save: pri (24 ints)
// becomes the mode's row; each non-null entry of cals (24 null-terminated lists of
// strings) becomes the event's 0x604, a null entry removes the event's record; the
// subheader is saved when a row was given or a record placed or removed. Load: the row
// into pri; each event's script, read as language forms (source "sexp_commands"), into
// cals (null without a record, or when it cannot be read or parsed); the cells are rooted
// in the caller's top frame. 0; -1 for another mode (the load zeroes what it was given);
// -2 when the file cannot be had or a record not be written (the save then leaves the
// subheader, in memory and in the file, as it was, naming the same records; a script
// rewritten in place before the failure, its size unchanged, already holds its new text).
int save_mode_cal(MATRIX* m, int mode, const char* const* const* cals, const int* pri);
int load_mode_cal(TQ_SEXP** cals, int* pri, MATRIX* m, int mode);

// Checks that no two events of the subheader share a script record: prints "SCC\n", then
// "SCC %i-%i -- %lli\n" (mode, event, offset) per script. 0; -1 after the line
// "save_cal_Check" when two share one.
int save_cal_check(MATRIX* m);

}  // namespace tq
