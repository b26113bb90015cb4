// The Newton solver: given goal values for the channels of a double matrix, finds the point
// whose interpolated channel values (interp_read.h) meet them. It starts at the level the
// request gives, rises according to the first step's length against `tolerance`, then
// descends one level per step to level 0, where it runs until a step is shorter than
// `tolerance`. A singular Jacobian is replaced by the upper left block of the affine model
// avg_mtx ((F(x), 1) ~ avg_mtx . (x, 1)), a failed read uses that model alone, and a solve
// that stalls at level 0 switches to the interpolated Jacobian and then to grid searches.
//
// The request (MX_CACHE_PARAM, access_cache.h): ret_buf the estimate, a double_v column
// (1, dim), updated in place; inp_buf the goals, a column (1, dim); exactly dim channels
// taken, at output area 0 and positions 0..dim-1 in channel order. newton_status tells how
// a solve went:
//   0 converged without help; 1 slow at level 0, steps used the interpolated Jacobian;
//   2 more than 25 steps at level 0 (grid searches every tenth step from the 30th on);
//   3 given up: try_max steps reached, a second grid search missed y_tolerance, no step
//     could be taken (neither the Jacobian nor avg_mtx solves), or the request is unusable
//     (a tolerance that is not positive, an estimate or goals that are not such columns,
//     channels taken other than those dim).
// All vectors of a step come from the cache's pool and go back at the step's end. No locks.
#pragma once

#include "matrix/access_cache.h"

namespace tq {

enum : int { MX_NEWTON_OK = 0, MX_NEWTON_SLOW = 1, MX_NEWTON_SEARCH = 2, MX_NEWTON_GIVEN_UP = 3 };

// One solve; always 0. Results in ret_buf, newton_status, result_tolerance (the last step's
// length), result_y_tolerance (the last grid search's best distance, 0 when none ran),
// try_avg (updated as try_avg * 0.9 + steps * 0.1) and inp_level.
int matrix_newton_double(MX_CACHE_PARAM* p);
// One Newton step at inp_level; detail 0 takes the Jacobian of read_mx_ipdiff_double, 1 of
// read_mx_ipdiff_double2, any other value none (the affine model alone). The step's length,
// or -1 when no step could be taken (the estimate is then unchanged). tr is not used.
double matrix_newton_double_loop(MX_CACHE_PARAM* p, int detail, double tr);
// A grid search around ret_buf: 11^dim points, offsets -5..5 times a step of
// 2 * (tr / 5) truncated, the best distance to the goals kept (ties keep the earlier point,
// axis 0 varying fastest); moves ret_buf there and halves tr until it falls below
// tolerance. Sets result_y_tolerance to the last pass's best distance (-1 when no point
// could be read). Returns at once for a tolerance that is not positive.
void generate_rand(MX_CACHE_PARAM* p, double tr);

// Print "<str>\n" then "\t%f\n" per element of ret_buf / "<str> " then "%f " per value and a
// line end; what the last print answers.
int print_ret_buf(const char* str, MX_CACHE_PARAM* p);
int print_data(const char* str, const double* d, int len);

}  // namespace tq
