// Plot lists across pyramid levels: moving plots into a node below, inserting a child's
// plots into its parent's list, and the level difference: from a child's sorted plots the
// parent-level plots (plots of one parent cell merged into one) plus a difference list from
// which the child's plots are rebuilt later (add_diff).
//
// A difference list holds one group per parent-level plot, in the same order; a group's
// first plot carries PLOT_GROUP, and each plot keeps only its position inside the parent's
// cell (the low dd bits of each coordinate), its base values, its id and the difference of
// its fields against the group's merged fields.
//
// All lists here are private to the caller; nothing takes a lock but get_matrix_obj_id.
#pragma once
#include <cstdint>

#include "mxcmd/pp_plot.h"

namespace tq {

// Copies (debug heap) of the plots of ip (a node at `level`) that lie inside the node of
// dc below it, moved to dc's level: coordinates of that level, base values below its cells
// (freed, flag cleared, when all become 0). Plots outside are dropped. ip is unchanged.
INTERNAL_PLOT* shift_under_plot(const MATRIX* m, const INTERNAL_PLOT* ip, int64_t level, const int64_t* dc);

// Inserts the sorted run ip of parent-level plots of the child dim_code into target: each
// plot of ip gets the child's quadrant (the top dd bits of each coordinate) and the run is
// linked in before the first plot of target not lower than it. A run that would interleave
// with target's plots gives target unchanged and *err PP_PLOT_ORDER; ip then stays the
// caller's (quadrant already added). Else ip's plots join the result and *err is PP_OK.
INTERNAL_PLOT* shift_insert_plot(const MATRIX* m, INTERNAL_PLOT* target, INTERNAL_PLOT* ip, const int64_t* dim_code,
                                 int* err);

// The parent-level list of the sorted child plots `down` (debug heap; plots of one parent
// cell merged, keeping the first one's id; flag PLOT_MERGED where fields were merged), with
// the difference list in *diff. Writes "diff-1\n" and "diff-2\n". down is unchanged. Fields
// that cannot be merged give null, *diff null and *err PP_FIELD_KIND.
INTERNAL_PLOT* diff_pp(const MATRIX* m, INTERNAL_PLOT** diff, const INTERNAL_PLOT* down, int* err);

// The plots of the child down_code rebuilt from the parent's sorted list up and the child's
// difference list (arena sat, or debug heap). A difference id of 0 becomes a new object id
// of m unless its group is one plot (which takes the parent plot's id); 1 takes the
// parent's id. The rebuild stops where the difference list ends. Fields of different kinds
// write "MF %x %x\n" (parent's and difference's type) and give null with *err
// PP_FIELD_KIND (heap plots made so far freed).
INTERNAL_PLOT* add_diff(MATRIX* m, const INTERNAL_PLOT* up, const INTERNAL_PLOT* diff, const int64_t* down_code,
                        SIMPLE_ALLOC_T* sat, int* err);

}  // namespace tq
