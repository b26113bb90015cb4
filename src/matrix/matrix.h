// The matrix record: a pyramid of blocks ("nodes") over a grid of `dim` axes. Level 0 holds
// the full-size grid; each higher level divides every axis by 2^dim_divide (ceiling), and
// every node of every level carries the same typed channels. An open hook describes a
// matrix once through the set-once setters here (parameters, per-axis geometry, channels,
// event scripts, mode); the level count, the size of every level and the length of a
// node's child bit field follow from the geometry.
//
// Invariants: a parameter once set (non-zero) is never set again; dim_divide, block_size
// and pixel_size exist exactly when p.dim is set and hold dim entries each; channel_info
// exists exactly when p.channel_nos is set; pixel_size_list holds total_levels rows of dim
// sizes (null when total_levels is 0), each row the ceiling of the one before divided by
// 2^dim_divide, at least 1. Every shift by an axis's dim_divide goes through the guarded
// helpers of dim_code.h, so a divisor of 64 or more is defined.
//
// Public setters take matrix_lock around the inner worker of the same name with a leading
// underscore; inner workers expect it held. Setters answer 0 or a code of mx_codes.h; a
// failed setter changes nothing.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "matrix/matrix_registry.h"
#include "text/l_char.h"

namespace tq {

struct MATRIX;
struct MATRIX_NODE;   // a cached node
struct MATRIX_TOKEN;  // an access or open token (matrix_token.h)
struct MX_FILE_WORK;  // the open-file state of a file matrix

inline constexpr int kMxAccessIds = 24;    // access ids: event * 3 + level class
inline constexpr int kMxNodeHashSize = 403;

// Matrix modes.
enum : int { MX_MODE_OPENING = 0, MX_MODE_OPEN = 1, MX_MODE_UNUSABLE = 2, MX_MODE_CLOSING = 3 };
// MATRIX_PARAM.flags.
enum : int { MXP_VECTOR_PLUS_ONE = 1, MXP_FILE_RING = 2 };
// MATRIX.flags.
enum : int { MXF_ASKED_WHILE_OPENING = 1, MXF_DAMAGED = 2 };
// MATRIX_CHANNEL_INFO.flags.
enum : int { MXC_NETWORK = 1, MXC_STORED = 2 };

// The set-once parameters; 0 or null means "not set".
struct MATRIX_PARAM {
  int channel_nos;
  int dim;
  int pri_area[kMxAccessIds];  // per access id: high 16 bits a base, low 16 bits a mode 0..3
  int flags;                   // MXP_*
  int total_levels;            // a fixed level count overriding the computed one
  int64_t modify_time;
  void (*open_method)(MATRIX_TOKEN* t);  // the open hook, given the open token
  int (*read_file)(MATRIX_TOKEN* t);
  int (*write_file)(MATRIX_TOKEN* t);
  int (*read_net)(MATRIX_TOKEN* t);
  int (*close_file)(MATRIX* m);  // 0, or -1 when the file could not be closed whole
  void (*close_net)(MATRIX* m);
  void (*new_token)(MATRIX_TOKEN* t, int kind);   // kind 1 access token, 2 open token
  void (*free_token)(MATRIX_TOKEN* t, int kind);  // kind 0 when an access token ends
  // trigger(1, matrix) when a matrix asked for while opening is open, trigger(2, token)
  // when an event script leaves its node ready, trigger(4, 0) when the last access token
  // of a matrix ends.
  int (*trigger)(int event, void* arg);
};

struct MATRIX_CHANNEL_INFO {
  MDT data_type;        // the channel's element type; null: not declared
  int flags;            // MXC_*
  void* default_data;   // the datum standing for a missing value (the matrix's own copy)
  int64_t default_data_fofs;  // file offset of its stored copy
};

struct MATRIX {
  MATRIX* mx_next;  // ring of open matrices
  MATRIX* mx_prev;
  int mode;         // MX_MODE_*
  MATRIX_CHANNEL_INFO* channel_info;       // p.channel_nos entries
  MATRIX_NODE* node_hash[kMxNodeHashSize];  // chains of cached nodes
  MATRIX_PARAM p;
  int total_levels;        // the level count in force
  uint8_t* dim_divide;     // per axis: log2 of the reduction from one level to the next
  uint8_t* block_size;     // per axis: log2 of a node's edge in samples of its level
  int64_t* pixel_size;     // per axis: the size of level 0
  int64_t** pixel_size_list;  // per level, dim sizes
  MATRIX_SEXP* cal[kMxAccessIds];  // event scripts per access id; null where none is set
  void* open_work;         // the open hook's argument
  L_CHAR* neturl;          // identity, owned (any may be null)
  L_CHAR* filename;
  L_CHAR* key;
  int dim_bit_field;       // bytes of a node's child bit field; 0: children listed as codes
  MATRIX_TOKEN* wait_token;  // tokens waiting for the open to finish (through next)
  int token_cnt;           // access tokens alive
  int flags;               // MXF_*
  int access_cnt;          // shift register of recent node requests
  int access_lock;         // holds of work on the file outside matrix_lock (_hold_matrix_access)
  int64_t last_access;     // time of the last move to the front of the ring
  MATRIX_SEXP* mx_env;     // holder of the matrix's language environment
  int64_t obj_id;          // the last object id handed out
  MX_FILE_WORK* file_work; // the matrix file's state
  int unsaved;             // nodes whose saves failed and that its close gave up (set before close_file)
};

// ---- Setters.
// Refuses, before copying anything, a field set both in p and in the matrix, in this
// order: channel_nos -108, dim -105, any pri_area entry -111, open_method -112, the file
// and network operations -113, new_token -115, free_token -116, trigger -117, flags -114,
// total_levels -110, modify_time -118; a negative channel_nos, dim or total_levels -104.
// Then copies every set field (channel_nos with a zeroed channel_info, dim with zeroed
// axis arrays, each non-zero pri_area entry); total_levels recomputes the geometry.
int set_matrix_param(MATRIX* m, MATRIX_PARAM* p);
int _set_matrix_param(MATRIX* m, MATRIX_PARAM* p);
// Per-axis geometry: -105 when p.dim is not set, -104 when the axis is outside 0..dim-1.
// dim_divide recomputes the levels and the child bit field, pixel_size the levels,
// block_size nothing.
int set_matrix_dim_divide(MATRIX* m, int dim, int dim_divide);
int _set_matrix_dim_divide(MATRIX* m, int dim, int dim_divide);
int set_matrix_block_size(MATRIX* m, int dim, int block_size);
int _set_matrix_block_size(MATRIX* m, int dim, int block_size);
int set_matrix_pixel_size(MATRIX* m, int dim, int64_t pixel_size);
int _set_matrix_pixel_size(MATRIX* m, int dim, int64_t pixel_size);
// Declares channel ch (-104 outside 0..channel_nos-1). A default datum is stored as a
// debug-heap copy made by alloc_copy of the type's parent (a vector channel's default is
// one element) or of the type itself; a default without a type able to copy it gives -104.
// A channel declared again has its previous default freed.
int set_matrix_channel_info(MATRIX* m, int ch, MATRIX_CHANNEL_INFO* inf);
int _set_matrix_channel_info(MATRIX* m, int ch, MATRIX_CHANNEL_INFO* inf);
// The script (a list of forms) of access id 0..23 (-104 otherwise), held in the holder
// ring. An error cell is printed on standard output and ends the process
// ("_set_matrix_cal"). The caller keeps cal rooted until the call returns.
int set_matrix_cal(MATRIX* m, int id, TQ_SEXP* cal);
int _set_matrix_cal(MATRIX* m, int id, TQ_SEXP* cal);
// Slot id gets the script of slot id2 (null when id2 has none); -104 unless both are 0..23.
int set_matrix_cal_equ(MATRIX* m, int id, int id2);
int _set_matrix_cal_equ(MATRIX* m, int id, int id2);
// Mode 0..3 (anything else ends the process, "_set_matrix_mode"). Mode 1 calls trigger(1, m)
// when a node was asked for while opening; modes 1 to 3 requeue every token waiting for the
// open, wake the sleepers on m and, with an idle access queue, the close key.
void set_matrix_mode(MATRIX* m, int mode);
void _set_matrix_mode(MATRIX* m, int mode);
// Waits (sleeping on m, matrix_lock released meanwhile) until the mode is no longer 0.
void wait_matrix_mode(MATRIX* m);
void _wait_matrix_mode(MATRIX* m);

// The requeue of a token that waited for the open: queues it to run matrix_exec_cal
// (matrix_requeue_access). A token waiting while it is unset ends the process
// ("_set_matrix_mode").
extern void (*matrix_requeue_open_waiter)(MATRIX_TOKEN* t, const char* file, int line);

// ---- Geometry (caller holds matrix_lock).
// Recomputes total_levels and pixel_size_list: 0 levels (and no list) while pixel_size,
// dim_divide or dim is missing, or an axis has pixel_size or dim_divide 0; else the fixed
// count of the parameters, or the most levels any axis needs to ceil-halve to 1.
void _cal_matrix_total_levels(MATRIX* m);
// Sets dim_bit_field from the sum of the divisors: unchanged while an axis has divisor 0,
// 0 above 13 (children listed as codes), 2^(sum-3) bytes above 2, else 1.
void _cal_nlist_dim_bit_field(MATRIX* m);

// Frees every channel's default datum (through the type's parent when it has one).
void _free_matrix_channel_defaults(MATRIX* m);
// Releases what the setters made: the channels' default datums, channel_info, the axis
// arrays, the per-level sizes, and the script holders (their del bit; the collector frees
// them). The record itself stays with its owner.
void _free_matrix_description(MATRIX* m);

}  // namespace tq
