// The byte string in which a node travels between processes: its children index, then the
// network form of its carried channels (declared with flags bit 0 and holding a datum):
//
//   kind        1 byte: 1 a bit field follows, 0 a child-code list (1 exactly when the
//               matrix has a bit-field length)
//   kind 1      the bit field's length (variable-length code), then its bytes
//   kind 0      the number of child codes (variable-length code), then each child code in
//               the variable-length dimension-code form
//   records     until the end: channel number, payload length (both variable-length
//               codes), then the payload, the datum's network form (its element type's
//               convert_to_net), channels in ascending order
//
// The string comes from a peer, so decoding parses it whole with the bounded readers
// before it changes anything.
#pragma once
#include "lang/sexp.h"
#include "matrix/matrix_node.h"

namespace tq {

// A raw-bytes cell holding n's encoding (rooted in the caller's top frame). The caller holds
// the node; no lock is taken. A channel whose type has no network form is not carried.
TQ_SEXP* encode_matrix_node(MATRIX_NODE* n);
// Installs the encoding s into n: the children index (a list sorted, without duplicates)
// and, for each record of a channel below channel_nos, a new datum in place of the stored
// one; records of other channel numbers are skipped. Takes matrix_lock, a node lock and the
// node's channel lock, in that order. -1 with n and its matrix untouched when s is not a
// raw-bytes cell or anything in it is cut or malformed: a code, a length or count past the
// end, a kind not the matrix's form, a bit field of another length than the matrix's, a
// child code of another axis count, a record of a channel without element type or network
// form, or a payload the type refuses. 0 when installed.
int decode_matrix_node(MATRIX_NODE* n, TQ_SEXP* s);

}  // namespace tq
