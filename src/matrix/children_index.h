// The children index of a node: which of its children (the nodes one level finer inside
// its block) exist. A matrix whose divisors sum to at most 13 keeps it as a bit field of
// dim_bit_field bytes (child ix is bit ix & 7 of byte ix >> 3); a finer-divided matrix as a
// list of child dimension codes at the level below, ascending by _cmp_dim_code, without
// duplicates. A level-0 node has no children.
//
// Child numbers: for a node at level L, axis by axis from the first (most significant) to
// the last, ix = (ix << d_i) | ((c_i >> s_i) & (2^d_i - 1)) with s_i = d_i * (L - 1) + b_i.
//
// Functions with a leading underscore expect matrix_lock held; the others take it.
#pragma once
#include <cstdint>

#include "matrix/matrix_node.h"

namespace tq {

// The number, within n, of the child containing dim_code's coordinates (its level unused).
int _get_dim_code_index(const MATRIX_NODE* n, const int64_t* dim_code);
// A new debug-heap code of child ix of the node at dc (one level down); the caller frees it.
int64_t* get_dim_code_from_index(const MATRIX* m, const int64_t* dc, int ix);
// 1 when any child is recorded, else 0 (always 0 at level 0).
int _check_children(const MATRIX_NODE* n);
int check_children(const MATRIX_NODE* n);
// 1 when the child containing dim_code is recorded, else 0 (0 at level 0). The caller's
// code is not changed.
int _check_dim_code(const MATRIX_NODE* n, const int64_t* dim_code);
// Records the child containing dim_code unless it is recorded (nothing at level 0); a list
// keeps a copy at the level below. With dirty, a node that changed is marked dirty.
void _insert_dim_code_index(MATRIX_NODE* n, const int64_t* dim_code, int dirty);
void insert_dim_code_index(MATRIX_NODE* n, const int64_t* dim_code, int dirty);
// Bit field: records every child (and marks the node dirty with dirty). List: nothing.
void _allset_dim_code_index(MATRIX_NODE* n, int dirty);
void allset_dim_code_index(MATRIX_NODE* n, int dirty);
// Bit field: ORs the dim_bit_field bytes at lst into the node's; never marks it. List:
// nothing.
void _vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst);
void vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* lst);

// 0 when a is a power of n (n^k, k >= 0: 1 is one), -1 otherwise and for 0 (unsigned
// 64-bit division); for n below 2 only 1 is a power.
int power_of(int64_t a, int64_t n);

}  // namespace tq
