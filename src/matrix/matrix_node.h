// The cached node: one block of a matrix in memory, addressed by its dimension code, with
// one typed datum per channel. All nodes of all matrices sit on one process-wide ring in
// order of use (nd_root.h.next the newest) and on a hash chain of their matrix.
//
// Every field below is guarded by matrix_lock. A node is allocated zeroed on the debug heap
// and owned by the matrix store.
#pragma once
#include <cstdint>

#include "matrix/matrix.h"

namespace tq {

struct MX_STRUCT_BLOCK;  // the structure block of a block-type channel (matrix commands)

// Node states; the names are those by which event scripts give a status.
enum : int {
  MX_NODE_NOT_LOADED = 0,  // just made or restarted; its load is queued at once
  MX_NODE_IN_PROCESS = 1,  // events queued or running
  MS_OK = 2,               // ready
  MS_LOADING_ERR_1 = 3,
  MS_PROCESS_ERR_1 = 4,
  MS_EDIT_ERR_1 = 5,
  MS_EDIT_ERR_2 = 6,
};

inline constexpr int kMxEventCount = 8;   // access events; an access id is event * 3 + level class
inline constexpr int kMxAccessSave = 21;  // the access id that writes a dirty node to its file

// One channel of a node.
struct MATRIX_CHANNEL {
  void* data;              // the datum (element-type specific); null: none
  int64_t data_fofs;       // file offset of the stored datum
  MX_STRUCT_BLOCK* sb;     // structure block of a block-type channel; null: none
  int64_t update_time[2];  // stamp 0: data replaced; stamp 1: structure block changed
};

struct MATRIX_NODE_LINKS {
  MATRIX_NODE* next;  // toward older nodes
  MATRIX_NODE* prev;  // toward newer nodes
};

struct MATRIX_NODE {
  MATRIX_NODE_LINKS h;     // the node ring
  MATRIX_NODE* nh_next;    // the matrix's hash chain
  MATRIX* matrix;
  int64_t* dim_code;       // normalised, dim + 1 entries, own copy
  int status;              // MX_NODE_* / MS_*
  int locked;              // node locks held; a locked node is never freed
  int ch_lock;             // depth of the recursive channel lock
  int ch_lock_tid;         // its holder
  unsigned save_lock : 1;  // set while the node is written to its file
  unsigned save_failed : 1;  // its last save failed: the file may hold part of that save
  unsigned save_partial : 1;  // a failed save of it wrote over records the file names: the
                              // file holds it part new, part old (mx_file_access.h)
  uint32_t dirty_file_time;  // get_tqtime of the latest dirty marking; 0 = clean
  MATRIX_CHANNEL* channel;   // channel_nos entries
  uint8_t* nlist_dim_bit_field;  // children as bits (matrix dim_bit_field != 0)
  int64_t** nlist_dim_addr;      // children as sorted codes (otherwise)
  int nlist_dim_bit_field_len;
  int nlist_dim_addr_len;
  MATRIX_TOKEN* wait_token;     // tokens waiting for the node
  MATRIX_TOKEN* process_token;  // the token processing it
  int process_token_key;
  int64_t req_level;
  int64_t last_access;  // get_tqtime of the last insertion into the ring, sign-extended
  int64_t fofs;
  int64_t ring_fofs;
  int64_t dim_addr_fofs;
  int64_t dim_addr_size;
  int8_t scan_call[kMxEventCount];  // completion byte per event (mx_codes.h)
  MATRIX_SEXP* send_data;        // holder of the delayed-value cell given to waiters
  MATRIX_SEXP* send_data_delay;  // holder of that cell's record
};

// The node ring: its head (only h is used) and the number of nodes on it. The head is made
// by init_matrix.
extern MATRIX_NODE* nd_root;
extern int nd_cnt;

}  // namespace tq
