// The access token: the record that carries one node's access events (loading, editing,
// display, saving) through the access queue and the wait chains of matrices and nodes, and
// the open token that carries a matrix's open hook. A token is in at most one place at a
// time: the queue, a matrix's wait_token chain or a node's wait_token chain.
#pragma once
#include "lang/sexp.h"
#include "matrix/matrix.h"
#include "util/sys_queue.h"

namespace tq {

// An access id still to run, first in first out, never the same id twice.
struct MATRIX_ACCESS_LIST {
  MATRIX_ACCESS_LIST* next;
  int id;
};
// A node locked on a token's behalf.
struct MATRIX_LIST {
  MATRIX_LIST* next;
  MATRIX_NODE* node;
};

struct MATRIX_TOKEN {
  Q_HEADER h;                // the queue header
  MATRIX_TOKEN* next;        // link in a matrix's or a node's chain of waiting tokens
  MATRIX_ACCESS_LIST* access_list;
  int access_target_id;      // the class-mapped id whose script runs; -1 when none
  MATRIX* wait_matrix;       // the matrix whose open the token waits for
  MATRIX_NODE* wait_node;    // the node it waits for
  MATRIX_NODE* process_node; // the node it works on
  MATRIX_LIST* locked_node_list;
  TQ_SEXP* cal_target;       // the rest of the script still to evaluate
  void (*func)(MATRIX_TOKEN* t);  // what the queue worker calls with the token
  void (*aboat_func)(MATRIX_TOKEN* t);  // abort of work running elsewhere on its behalf
  void* aboat_work;
  int aboat_status;          // scheduled abort calls; negated when the token ended meanwhile
  MATRIX_SEXP* env;          // holder of the token's language environment
  int loop_no;
  int normal_jump;           // set by the script's finish word; -1 means none
  int normal_jump_status;
  int err_jump;
  int err_jump_status;
  void* work;                // for the words running on the token
  const char* c_file;        // the last insertion into the queue
  int c_line;
};

}  // namespace tq
