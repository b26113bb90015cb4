// Plots: the points of a point list, held in the block channel of one matrix node. A plot
// is a cell of the node's block (one 16-bit block coordinate per axis), an optional offset
// inside the cell in level-0 units, an optional object id and a row of typed fields.
//
// Plot order interleaves the bits of the block coordinates, most significant bit first and
// axis 0 first within a bit, so the plots of one child node's quadrant form one contiguous
// run of a sorted list; that is what lets a parent's list be the merge of its children's
// (pp_level.h).
//
// Geometry per axis from the MATRIX: dd = dim_divide (bits added per level), bs =
// block_size (bits of a block coordinate). At level L a cell spans 2^(dd*L) level-0 units;
// the block coordinate of a position x at level L is (x >> dd*L) masked to bs bits.
//
// A plot and its pieces live either on the debug heap or in an arena (`in_arena`); plots of
// both kinds may share one list. Freeing a list frees only its heap plots: arena plots go
// with their arena.
#pragma once
#include <cstdint>

#include "matrix/matrix.h"
#include "mxcmd/pp_fields.h"

namespace tq {

// INTERNAL_PLOT.flags.
enum : uint8_t {
  PLOT_MADE = 0x01,    // made by make_plot
  PLOT_MERGED = 0x08,  // fields merged from several plots
  PLOT_GROUP = 0x10,   // starts a group in a difference list
  PLOT_BASE = 0x20,    // base values present
  PLOT_ID = 0x40,      // an id present (point-list code)
};

struct INTERNAL_PLOT {
  INTERNAL_PLOT* next;
  INTERNAL_PLOT* prev;  // kept only by the density pass
  uint8_t flags;        // PLOT_*
  uint8_t in_arena;     // 1: the record and its pieces are arena pieces
  int min_direction;    // distance to the nearest other plot of the list; -1 unknown
  uint16_t* c;          // block coordinate per axis
  int64_t* base;        // offset inside the cell per axis (level-0 units), or null
  IP_FIELD* fields;     // or null
  int64_t id;           // object id, 0 none; 1 in a difference list: the parent's id
  MATRIX_SEXP* onmap;   // carried along by copies, otherwise unused
  MATRIX_SEXP* card;
};

// A zeroed plot with a zeroed coordinate array (arena, or debug heap at file, line).
INTERNAL_PLOT* xx_new_plot(const MATRIX* m, SIMPLE_ALLOC_T* sat, const char* file, int line);
// Base values for p (zeroed, where p lives), flag PLOT_BASE set.
int64_t* new_plot_base(const MATRIX* m, INTERNAL_PLOT* p, SIMPLE_ALLOC_T* sat);

// Plot order of two coordinate arrays: -1, 0, 1.
int cmp_plot(const MATRIX* m, const uint16_t* c1, const uint16_t* c2);
// The list in plot order (merge sort; equal plots may change their relative order).
INTERNAL_PLOT* sort_plot(const MATRIX* m, INTERNAL_PLOT* list);

// A plot (debug heap, flag PLOT_MADE) of the position crd (crd[0] its own level, crd[1+i]
// its coordinates) in a node of `level`, with a copy of fd. A position finer than the cell
// keeps its offset inside the cell as base values.
INTERNAL_PLOT* make_plot(const MATRIX* m, int64_t level, const int64_t* crd, const IP_FIELD* fd);
// The plot's position at `level` into crd (dim + 1 numbers).
void get_plot_crd(int64_t* crd, const MATRIX* m, const INTERNAL_PLOT* ip, int64_t level);

// Deep copies (records, coordinates, base values, fields) in list order, into the arena or
// the debug heap at file, line.
INTERNAL_PLOT* xx_copy_internal_plot(const MATRIX* m, const INTERNAL_PLOT* ip, const char* file, int line,
                                     SIMPLE_ALLOC_T* sat = nullptr);
#define copy_internal_plot(m, ip) ::tq::xx_copy_internal_plot((m), (ip), __FILE__, __LINE__)
INTERNAL_PLOT* xx_copy_one_plot(const MATRIX* m, const INTERNAL_PLOT* p, SIMPLE_ALLOC_T* sat, const char* file,
                                int line);
// Frees a heap plot with its pieces; an arena plot is left to its arena.
void free_internal_plot(INTERNAL_PLOT* ip);
void free_internal_plot_list(INTERNAL_PLOT* ip);
// Re-attributes a list's heap pieces to file, line in the debug heap's statistics.
void xx_change_st_internal_plot(INTERNAL_PLOT* ip, const char* file, int line);
int get_internal_plot_len(const INTERNAL_PLOT* ip);

// Debugging aids. check_internal_plot ends the process, after "%s %x\n" (msg, type), on a
// field type byte outside the nine valid ones, or after "%s\n" on a plot with fields that
// compares greater than its successor. print_internal_plot writes the list on one line.
void check_internal_plot(const MATRIX* m, const INTERNAL_PLOT* ip, const char* msg);
void print_internal_plot(const MATRIX* m, const INTERNAL_PLOT* ip, const char* msg);

// ---- Geometry helpers of the plot algorithms (guarded shifts: a count of 64 or more gives
// 0 or the sign, a count <= 0 changes nothing).
inline int64_t pp_shl(int64_t v, int64_t s) { return s <= 0 ? v : s >= 64 ? 0 : int64_t(uint64_t(v) << s); }
inline uint64_t pp_low_mask(int64_t bits) { return bits <= 0 ? 0 : bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1; }
inline int64_t pp_dd(const MATRIX* m, int i) { return m->dim_divide[i]; }
inline int64_t pp_bs(const MATRIX* m, int i) { return m->block_size[i]; }

}  // namespace tq
