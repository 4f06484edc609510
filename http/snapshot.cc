#include "http/snapshot.h"

#include <math.h>

#include "model/datastructs.h"

#ifndef KESTREL_VERSION
#define KESTREL_VERSION "unknown"
#endif

namespace {

void addreadings(std::vector<readingsnap>& out, int kind, int count,
                 char* const* names, char* const* labels,
                 const double (*limits)[4], const bool* critical) {
  for (int i = 0; i < count; i++) {
    readingsnap r;
    r.kind = kind;
    r.sensor = names[i] ? names[i] : "";
    r.label = labels[i] ? labels[i] : "";
    r.limits = limits ? limits[i] : nullptr;
    r.critical = critical && critical[i];
    out.push_back(r);
  }
}

// The sensor slots of a chassis in output order, none present.
void chassisslots(const chassis* c, std::vector<readingsnap>& out) {
  out.clear();
  addreadings(out, FAN, c->numfans, c->fanname, c->fanshortname, c->fanlimit,
              nullptr);
  addreadings(out, TEMP, c->numtemps, c->tempname, c->tempshortname,
              c->templimit, nullptr);
  addreadings(out, VOLT, c->numvolts, c->voltname, c->voltshortname,
              c->voltlimit, nullptr);
  addreadings(out, DISC, c->numdiscs, c->discname, c->discshortname, nullptr,
              c->disccrit);
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
    chassisslots(&mychassis[i], s.chassis[i].sensors);
  }
  s.nodes.resize(mycluster.numnodes);
  for (int i = 0; i < mycluster.numnodes; i++) {
    node& n = mycluster.mynodes[i];
    const chassis* c = n.thischassis;
    nodesnap& ns = s.nodes[i];
    ns.name = n.name;
    ns.chassis = c->name;
    ns.transport = c->openbmc ? "openbmc" : "ipmi";
    ns.dead = n.dead;
    ns.power = n.power;
    ns.lastupdate = n.lastupdate;
    ns.settling = settlingstate(n.firsttime, now);
    chassisslots(c, ns.readings);
    const std::atomic<double>* values[4] = {n.fan, n.temp, n.volt, n.disc};
    int next[4] = {0, 0, 0, 0};
    for (readingsnap& r : ns.readings) {
      double v = values[r.kind][next[r.kind]++];
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
}

bool readingpresent(int kind, double value, bool dead, bool power,
                    time_t lastupdate) {
  if (dead || !power || lastupdate == 0 || isnan(value)) return false;
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
