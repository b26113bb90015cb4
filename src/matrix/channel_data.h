// Channel data of nodes: reading a channel as a language value, writing a language value
// into a channel with change detection, a channel's structure block, dirty marking of nodes
// for saving and flushing them, and the error cell of the matrix layer's codes.
//
// Data of a channel are read and written only under the node's channel lock (recursive for
// its holder; matrix_open.h). A node is marked dirty (dirty_file_time = tick_now()) only
// when its matrix has a save event: an event script set at access 21, 22 or 23.
//
// Functions with a leading underscore expect matrix_lock held; the others take it.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "matrix/matrix_node.h"
#include "matrix/struct_block.h"

namespace tq {

// The error cell 0x8001160a of function func (default code method) positioned at form s,
// with data ("Application System error" code info), or without info when it is null.
TQ_SEXP* matrix_error(const char* func, TQ_SEXP* s, int code, TQ_SEXP* info);

// Channel ch of n as a language value (a vector as a pointer cell that does not own it, a
// language-value channel as its value), or the error 0x80040501 "mxCH:get_channel_data" at
// s, data ("invalid object in channel of NODE" reason position ch), position the node's
// (level coordinate ...) list; the reasons, tested in this order: "blocken matrix", "no
// data channel" (no channel array), "overflow the ch No.", "no data channel" (no element
// type), "not sexp data / no data", "SEXP type no data".
TQ_SEXP* _get_channel_data(MATRIX_NODE* n, int ch, TQ_SEXP* s);
TQ_SEXP* get_channel_data(MATRIX_NODE* n, int ch, TQ_SEXP* s);
// The structure block of block channel ch with the node's channel lock taken (the caller
// releases it); null, no lock held, when the node has no channels, ch is out of range, the
// channel is not of the block type or has no block.
MX_STRUCT_BLOCK* _get_channel_struct_block(MATRIX_NODE* n, int ch);
MX_STRUCT_BLOCK* get_channel_struct_block(MATRIX_NODE* n, int ch);

// Marks n dirty (now) when its matrix has a save event; else nothing.
void _set_dirty_file(MATRIX_NODE* n);
void set_dirty_file(MATRIX_NODE* n);
// Marks the owner node of b dirty when b's channel is stored (channel flags bit 1).
void set_dirty_file_sb(MX_STRUCT_BLOCK* b);
// For every node of m: a dirty ready node gets its save (access 21) triggered, a dirty node
// in any other state has its mark cleared.
void _flush_all_dirty_file(MATRIX* m);
void flush_all_dirty_file(MATRIX* m);

enum : int {
  MX_SET_STORED = 1,
  MX_SET_UNCHANGED = 0,
  MX_SET_BAD_CHANNEL = -1,   // matrix damaged, or ch outside 0..channel_nos-1
  MX_SET_NO_CONVERT = -2,    // the value does not convert to the channel's type
  MX_SET_INCOMPARABLE = -3,  // the value cannot be compared with the stored datum
};
// Writes value s into channel ch of n. An equal value changes nothing; a different one
// replaces the datum (in place when it has the stored datum's shape, else as a new datum)
// and stamps the channel's data update time; a stored channel (flags bit 1) marks the node
// dirty. A failure leaves the stored datum as it was.
int _set_channel_sexp(MATRIX_NODE* n, int ch, TQ_SEXP* s);
int set_channel_sexp(MATRIX_NODE* n, int ch, TQ_SEXP* s);

// The pointer of a pointer cell, the bytes of a raw cell; null for any other cell.
void* get_vdata_from_sexp(TQ_SEXP* s);
// Diagnostic: for channel 9 only, prints "CB %i\n" with vector d's first element byte when
// it is not 0.
void check_bit(int ch, void* d);

}  // namespace tq
