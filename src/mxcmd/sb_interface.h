// The structure-block interface shared by every kind: the command codes of a kind's
// `operation`, the constructor rule of `new_sb`, and the shared steps of the constructor
// words ("sbPrimitive" and those of the other kinds).
//
// A structure block lives on the debug heap and belongs to whoever holds it: the
// constructor word's cell until "mxSetSB" attaches it to a channel, then the channel, which
// releases it only through its own free_sb. The cell a constructor word returns is a
// pointer cell carrying its own mark (gc_mx_struct_block, which marks nothing: the block is
// not collected); "mxSetSB" takes only such cells and empties the cell it attaches (mark
// and pointer), so one block never ends on two channels and no word reads it afterwards.
// A block it refuses (made for another node or channel) it frees, emptying the cell too.
#pragma once
#include "lang/sexp.h"
#include "matrix/struct_block.h"
#include "mxcmd/mx_word_frame.h"

namespace tq {

// The command codes of a kind's operation; a code the kind does not support answers < 0.
enum : int { SB_INSERT = 1, SB_DELETE = 2, SB_SEARCH = 3, SB_CALC = 4 };

// The constructor rule: false when the owner names a matrix and a node of another matrix;
// else the owner's matrix is taken from its node when it names none.
bool sb_owner_rule(MX_SB_NEW* owner);

// After a kind's operation changed block b: marks its node dirty when the channel is stored
// and stamps the channel's structure side, so that "mxSaveSB" writes the change back. A
// block without a node is left alone.
void sb_changed(MX_STRUCT_BLOCK* b);

// The mark of the cells the constructor words make (it marks nothing).
void gc_mx_struct_block(void* b);
// The block held by a cell a constructor word made and no channel took yet; else null.
MX_STRUCT_BLOCK* sb_of_cell(TQ_SEXP* v);
// Empties such a cell (mark and pointer) once its block is attached.
void sb_cell_taken(TQ_SEXP* v);

// The shared steps of a constructor word, for a word already open in a token: "___channel"
// evaluated in the calling environment (an error is returned unchanged; outside "mxSetSB"
// it is unbound); an integer gives the channel (low 32 bits) of a new block of kind tbl,
// owned by the token's node and its matrix, made with param and handed out in a marked
// pointer cell (nil when the kind makes none); any other value is the error 0x80030806
// ("type missmatch" "___channel").
TQ_SEXP* sb_construct(const MX_WORD& w, const MX_STRUCT_BLOCK_TBL* tbl, void* param);

}  // namespace tq
