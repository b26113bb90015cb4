// Progress estimation over a sequence of stages.
#include "util/progressive.h"

#include "platform/d_alloc.h"
#include "platform/machine.h"

namespace tq {

PROGRESSIVE* _new_progressive(int stages) {
  if (stages < 1) return nullptr;
  auto* p = static_cast<PROGRESSIVE*>(d_calloc(1, sizeof(PROGRESSIVE)));
  p->stages_nos = stages;
  p->stages = static_cast<P_STAGE*>(d_calloc(stages, sizeof(P_STAGE)));
  for (int i = 0; i < stages; i++) {
    p->stages[i].rate_estimate_total_time = -1;
    p->stages[i].estimate_total_time = -1;
  }
  p->estimate_total_time = -1;
  return p;
}

void _free_progressive(PROGRESSIVE* p) {
  if (!p) return;
  for (int i = 0; i < p->stages_nos; i++)
    if (p->stages[i].prediction_rates) d_f_ree(p->stages[i].prediction_rates);
  d_f_ree(p->stages);
  d_f_ree(p);
}

int _start_progressive(PROGRESSIVE* p, int stage, double total) {
  if (stage < 0 || stage >= p->stages_nos) return -4;
  for (int j = 0; j < stage; j++) {
    if (p->stages[j].finished == 0) return -1;
    if (p->stages[j].finished < p->stages[j].total) return -2;
  }
  P_STAGE& s = p->stages[stage];
  if (s.start_time != 0) return -3;
  s.total = total;
  s.finished = 0;
  s.start_time = get_tqtime();
  _progressive_estimation(p, 1);
  return 0;
}

int _set_progressive(PROGRESSIVE* p, int stage, double finished) {
  if (stage < 0 || stage >= p->stages_nos || p->stages[stage].start_time == 0) return -1;
  P_STAGE& s = p->stages[stage];
  s.finished = finished;
  if (s.finished == 0 || s.finished < s.total)
    s.end_time = 0;
  else if (s.end_time == 0)
    s.end_time = get_tqtime();
  _progressive_estimation(p, finished == s.total);
  return 0;
}

// Estimate of a stage that has finished nothing yet, from the earlier stages' estimates.
static double predicted(PROGRESSIVE* p, int i) {
  const double* rates = p->stages[i].prediction_rates;
  if (!rates) return -1;
  double sum = 0;
  int n = 0;
  for (int j = 0; j < i; j++) {
    double e = p->stages[j].estimate_total_time;
    if (rates[j] >= 0 && e >= 0) {
      sum += rates[j] * e;
      n++;
    }
  }
  return n ? sum / n : -1;
}

void _progressive_estimation(PROGRESSIVE* p, int force) {
  int64_t now = get_tqtime();
  if (!force && p->est_time == now) return;
  double overall = 0;
  for (int i = 0; i < p->stages_nos; i++) {
    P_STAGE& s = p->stages[i];
    double elapsed = double(now - s.start_time);
    if (s.finished != 0) {
      if (s.finished >= s.total)  // a complete stage took until it completed, not until now
        s.estimate_total_time = double((s.end_time ? s.end_time : now) - s.start_time);
      else if (s.rate_estimate_total_time < 0)
        s.estimate_total_time = elapsed * s.total / s.finished;
      else
        s.estimate_total_time = elapsed + s.rate_estimate_total_time * (1 - s.finished / s.total);
    } else if (i == 0) {
      s.estimate_total_time = -1;
    } else {
      s.rate_estimate_total_time = predicted(p, i);
      s.estimate_total_time = s.rate_estimate_total_time;
    }
    if (overall >= 0) overall = s.estimate_total_time < 0 ? -1 : overall + s.estimate_total_time;
  }
  p->estimate_total_time = overall;
  p->est_time = now;
}

void _set_prediction_rates(PROGRESSIVE* p, const double* rates) {
  for (int i = 1; i < p->stages_nos; i++) {
    P_STAGE& s = p->stages[i];
    if (!s.prediction_rates) s.prediction_rates = static_cast<double*>(d_alloc(sizeof(double) * i));
    for (int j = 0; j < i; j++) s.prediction_rates[j] = *rates++;
  }
}

void _get_prediction_rates(PROGRESSIVE* p, double* rates) {
  for (int i = 1; i < p->stages_nos; i++) {
    const P_STAGE& s = p->stages[i];
    for (int j = 0; j < i; j++) {
      double stored = s.prediction_rates ? s.prediction_rates[j] : -1;
      double ej = p->stages[j].estimate_total_time;
      if (ej == 0)
        *rates++ = stored;
      else if (stored < 0)
        *rates++ = s.estimate_total_time / ej;
      else
        *rates++ = 0.9 * stored + 0.1 * (s.estimate_total_time / ej);
    }
  }
}

}  // namespace tq
