// Limit checking: classifying readings, feeding the pending alert list and
// timing out unanswered power-status queries.
#include <stdio.h>

#include "alerts/alerts.h"
#include "daemon/globals.h"
#include "model/datastructs.h"

namespace {

// A node is examined at most once per this many seconds.
constexpr time_t CHECKPERIOD = 6;
// Passes a power-status query may stay unanswered.
constexpr int STATUSPASSES = 5;

}  // namespace

int comparelimits(double value, const double* limits) {
  // Strict comparisons, low tests first; NaN fails them all.
  if (limits[CRITLOW] > value) return -2;
  if (limits[ALERTLOW] > value) return -1;
  if (value > limits[CRITHIGH]) return 2;
  if (value > limits[ALERTHIGH]) return 1;
  return 0;
}

void cluster::checklimits() {
  for (int i = 0; i < numnodes; i++) mynodes[i].checklimits();
}

bool cluster::processshutdown() { return processshutdowns; }

int node::checklimits() {
  time_t now = nowtime();
  time_t first = firsttime;
  if (now - first < SETTLETIME || inShutdown || !power || dead ||
      now - lastcheck < CHECKPERIOD || !thischassis)
    return 1;
  lastcheck = now;

  if (pwr_statuswaiting != 0) {
    pwr_statuswaiting++;
    if (pwr_statuswaiting > STATUSPASSES) {
      error_msg("checklimits setting power to false\n");
      pwr_statuswaiting = 0;
      power = false;
      dead = true;
      clearfirsttime();
      return 1;
    }
  }

  int result = 1;
  const chassis* c = thischassis;
  auto outoflimits = [&](int kind, int i, double value, const double* limit) {
    result = 0;
    if (pwr_statuswaiting == 0) command(STATUS);
    pendingalerts.add(kind, this, i, value, limit);
  };
  for (int i = 0; i < c->numfans; i++) {
    double v = fan[i];
    if (comparelimits(v, c->fanlimit[i]) != 0)
      outoflimits(FAN, i, v, c->fanlimit[i]);
    else
      pendingalerts.prune(FAN, this, i);
  }
  // A temperature below its low limits is harmless.
  for (int i = 0; i < c->numtemps; i++) {
    double v = temp[i];
    if (comparelimits(v, c->templimit[i]) > 0)
      outoflimits(TEMP, i, v, c->templimit[i]);
    else
      pendingalerts.prune(TEMP, this, i);
  }
  for (int i = 0; i < c->numvolts; i++) {
    double v = volt[i];
    if (comparelimits(v, c->voltlimit[i]) != 0)
      outoflimits(VOLT, i, v, c->voltlimit[i]);
    else
      pendingalerts.prune(VOLT, this, i);
  }
  for (int i = 0; i < c->numdiscs; i++) {
    double v = disc[i];
    if (v == IPMI_DISC_HEALTHY)
      pendingalerts.prune(DISC, this, i);
    else
      pendingalerts.add(DISC, this, i, v);
  }
  return result;
}
