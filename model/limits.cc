// Limit checking: classifying readings, feeding the pending alert list and
// timing out unanswered power-status queries.
#include <stdio.h>

#include "model/datastructs.h"
#include "model/globals.h"

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
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    chassisslots cs = thischassis->slots(kind);
    nodeslots ns = slots(kind);
    for (int i = 0; i < cs.count; i++) {
      double v = ns.values[i];
      bool out;
      if (kind == DISC)
        out = v != IPMI_DISC_HEALTHY;
      else if (kind == TEMP)
        out = comparelimits(v, cs.limits[i]) > 0;  // too cold is harmless
      else
        out = comparelimits(v, cs.limits[i]) != 0;
      if (!out) {
        if (alerthook.quiet) alerthook.quiet(kind, this, i);
        continue;
      }
      if (kind == DISC) {
        // A discrete sensor carries no limits and asks for no power state.
        static const double nolimits[NUMLIMITS] = {};
        if (alerthook.seen) alerthook.seen(DISC, this, i, v, nolimits);
        continue;
      }
      result = 0;
      querypower();
      if (alerthook.seen) alerthook.seen(kind, this, i, v, cs.limits[i]);
    }
  }
  return result;
}
