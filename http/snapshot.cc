#include "http/snapshot.h"

#include <math.h>

#include "model/datastructs.h"
#include "model/globals.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace {

// The sensor slots of a chassis in output order, none present.
void slotsof(chassis* c, std::vector<readingsnap>& out) {
  out.clear();
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    chassisslots slots = c->slots(kind);
    for (int i = 0; i < slots.count; i++) {
      readingsnap r;
      r.kind = kind;
      r.sensor = slots.names[i] ? slots.names[i] : "";
      r.label = slots.labels[i] ? slots.labels[i] : "";
      r.limits = slots.limits ? slots.limits[i] : nullptr;
      r.critical = slots.crit && slots.crit[i];
      out.push_back(r);
    }
  }
}

}  // namespace

void takesnapshot(clustersnap& s, time_t now) {
  s.now = now;
  s.version = KESTREL_VERSION;
  s.alerts = mycluster.processalerts;
  s.shutdowns = mycluster.processshutdowns;
  s.chassis.resize(mycluster.numchassis);
  for (int i = 0; i < mycluster.numchassis; i++) {
    s.chassis[i].name = mychassis[i].name;
    slotsof(&mychassis[i], s.chassis[i].sensors);
  }
  s.nodes.resize(mycluster.numnodes);
  for (int i = 0; i < mycluster.numnodes; i++) {
    node& n = mycluster.mynodes[i];
    chassis* c = n.thischassis;
    nodesnap& ns = s.nodes[i];
    ns.name = n.name;
    ns.chassis = c->name;
    ns.transport = n.link ? n.link->name() : "";
    ns.hasevents = n.link && n.link->hardwareevents(&ns.events, ns.eventcounts);
    ns.hasrequests = n.link && n.link->requeststats(&ns.requests);
    ns.dead = n.dead;
    ns.power = n.power;
    ns.lastupdate = n.lastupdate;
    ns.watts = ns.dead || !ns.power ? -1 : n.watts.load();
    ns.settling = settlingstate(n.firsttime, nowtime());
    ns.slurm = n.slurmstate;
    slotsof(c, ns.readings);
    time_t first = n.firsttime;
    ns.unbound = !ns.dead && ns.power && !ns.readings.empty() && !n.everread &&
                 first > 0 && nowtime() - first >= UNBOUNDAFTER;
    int next[NUMKINDS] = {};
    for (readingsnap& r : ns.readings) {
      int index = next[r.kind]++;
      double v = n.slots(r.kind).values[index];
      r.percent = r.kind == FAN && n.fanunit[index] == UNIT_PERCENT;
      r.present = readingpresent(r.kind, v, ns.dead, ns.power, ns.lastupdate);
      if (!r.present) continue;
      r.value = v;
      r.state = limitstate(r.kind, v, r.limits);
    }
  }
  s.emailssent = counters.emailssent;
  s.emailsfailed = counters.emailsfailed;
  s.shutdowncount = counters.shutdowns;
  s.testemails = counters.testemails;
  s.alertspending = counters.alertspending;
  for (int i = 0; i < POWERCOMMANDS; i++)
    s.powercommands[i] = counters.powercommands[i];
  s.slurmdrain = mycluster.slurmdrain && mycluster.processalerts;
  for (int a = 0; a < SLURMACTIONS; a++)
    for (int r = 0; r < SLURMRESULTS; r++)
      s.slurmactions[a][r] = counters.slurmactions[a][r];
}

bool readingpresent(int kind, double value, bool dead, bool power,
                    time_t lastupdate) {
  if (dead || !power || lastupdate == 0 || !isfinite(value))
    return false;
  return kind == DISC || value != 0.0;
}

int limitstate(int kind, double value, const double* limits) {
  if (kind == DISC) return static_cast<int>(value);
  int c = comparelimits(value, limits);
  return kind == TEMP && c < 0 ? 0 : c;
}

int settlingstate(time_t firsttime, time_t now) {
  if (firsttime == 0) return SETTLE_NONE;
  return now - firsttime < SETTLETIME ? SETTLE_RUNNING : SETTLE_DONE;
}

int worststate(const nodesnap& n) {
  if (n.dead) return WORST_DEAD;
  if (!n.power) return WORST_OFF;
  int worst = WORST_OK;
  for (const readingsnap& r : n.readings) {
    if (!r.present) continue;
    int level = WORST_OK;
    if (r.kind == DISC)
      level = r.state == IPMI_DISC_CRIT ? WORST_CRITICAL
              : r.state == IPMI_DISC_HEALTHY ? WORST_OK
                                             : WORST_WARNING;
    else
      level = r.state == 2 || r.state == -2 ? WORST_CRITICAL
              : r.state != 0                ? WORST_WARNING
                                            : WORST_OK;
    if (level > worst) worst = level;
  }
  return worst;
}
