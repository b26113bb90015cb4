// Progress estimation over a sequence of stages: each stage reports its amount of work and
// how much is done; the record estimates each stage's and the whole run's total time, and
// learns how long each stage takes relative to the earlier ones (prediction rates).
#pragma once
#include <cstdint>

namespace tq {

struct p_stage {
  double total;                     // the stage's amount of work
  double finished;                  // work done
  int64_t start_time;               // time base seconds; 0 until started
  int64_t end_time;                 // time base second the stage became complete; 0 before
  double rate_estimate_total_time;  // seconds predicted from earlier stages; -1 unknown
  double estimate_total_time;       // seconds; -1 unknown
  double* prediction_rates;         // stage i: i ratios of its time to stage j's; null until set
};
using P_STAGE = p_stage;
struct progressive {
  int stages_nos;
  P_STAGE* stages;
  double estimate_total_time;  // seconds for all stages; -1 unknown
  int64_t est_time;            // time base second of the last estimation
};
using PROGRESSIVE = progressive;

PROGRESSIVE* _new_progressive(int stages);  // debug heap; null for fewer than 1 stage
void _free_progressive(PROGRESSIVE* p);      // null allowed
// Starts a stage of total work. -1 when an earlier stage has finished nothing, -2 when an
// earlier stage is incomplete, -3 when the stage was started before, -4 for a stage number
// out of range; else 0 after a forced estimation.
int _start_progressive(PROGRESSIVE* p, int stage, double total);
// Reports work done: -1 when the stage has not started (or is out of range); else 0 after
// an estimation (forced when the stage is complete, otherwise at most once per second).
int _set_progressive(PROGRESSIVE* p, int stage, double finished);
// Recomputes the estimates; without force at most once per second.
void _progressive_estimation(PROGRESSIVE* p, int force);
// Prediction rates as one flat array of stages_nos * (stages_nos - 1) / 2 doubles: stage 1's
// one rate, then stage 2's two, and so on.
void _set_prediction_rates(PROGRESSIVE* p, const double* rates);
// Writes the learnt rates in the same layout: 0.9 times the stored rate plus 0.1 times the
// observed ratio; the observed ratio alone while none is stored; the stored rate (or -1)
// unchanged when the earlier stage's estimate is 0.
void _get_prediction_rates(PROGRESSIVE* p, double* rates);

}  // namespace tq
