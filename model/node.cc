// The chassis and node records: per-kind access, readings, liveness, and the
// pacing of every node's polling.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "model/datastructs.h"
#include "model/globals.h"

namespace {

// The limits of a slot the chassis file does not define.
constexpr double DEFAULTLIMITS[NUMLIMITS] = {-1.0, 0.0, 40000.0, 40001.0};

}  // namespace

void defaultlimits(double* row) {
  for (int l = 0; l < NUMLIMITS; l++) row[l] = DEFAULTLIMITS[l];
}

const char* kindname(int kind) {
  static const char* const names[NUMKINDS] = {"FAN", "TEMP", "VOLT", "DISC"};
  return kind >= 0 && kind < NUMKINDS ? names[kind] : "";
}

int kindsize(int kind) {
  static const int sizes[NUMKINDS] = {MAXFANS, MAXTEMPS, MAXVOLTS, MAXDISCS};
  return kind >= 0 && kind < NUMKINDS ? sizes[kind] : 0;
}

chassis::chassis()
    : name(),
      fanname(),
      tempname(),
      voltname(),
      discname(),
      fanshortname(),
      tempshortname(),
      voltshortname(),
      discshortname(),
      disccrit(),
      numfans(0),
      numtemps(0),
      numvolts(0),
      numdiscs(0),
      transportkind(TRANSPORT_IPMI) {
  for (int kind = FAN; kind < DISC; kind++) {
    chassisslots s = slots(kind);
    for (int i = 0; i < s.size; i++) defaultlimits(s.limits[i]);
  }
}

chassisslots chassis::slots(int kind) {
  switch (kind) {
    case FAN:
      return {FAN, numfans, MAXFANS, fanname, fanshortname, fanlimit, nullptr};
    case TEMP:
      return {TEMP,          numtemps,  MAXTEMPS, tempname,
              tempshortname, templimit, nullptr};
    case VOLT:
      return {VOLT,          numvolts,  MAXVOLTS, voltname,
              voltshortname, voltlimit, nullptr};
    default:
      return {DISC,          numdiscs, MAXDISCS, discname,
              discshortname, nullptr,  disccrit};
  }
}

int* chassis::countof(int kind) {
  switch (kind) {
    case FAN:
      return &numfans;
    case TEMP:
      return &numtemps;
    case VOLT:
      return &numvolts;
    default:
      return &numdiscs;
  }
}

node::node() : node(nullptr) {}

node::node(chassis* c)
    : thischassis(c),
      name(nullptr),
      username(nullptr),
      password(nullptr),
      link(nullptr),
      voltfail(),
      tempfail(),
      fanfail(),
      discfail(),
      voltnonfinite(),
      tempnonfinite(),
      fannonfinite(),
      discnonfinite(),
      lastupdate(0),
      lastreading(0),
      lastquery(0),
      lastcheck(0),
      pwr_statuswaiting(0),
      powerasked(0),
      lastanswer(0),
      power(false),
      tmperrmsg(),
      inShutdown(false),
      inAlert(false),
      wasdead(false),
      updated(false),
      dead(true),
      firsttime(0),
      slurmstate(SLURM_UNKNOWN) {
  for (auto& v : volt) v.store(0.0);
  for (auto& v : temp) v.store(0.0);
  for (auto& v : fan) v.store(0.0);
  for (auto& v : disc) v.store(0.0);
  for (auto& u : fanunit) u.store(UNIT_USUAL);
  watts.store(-1.0);
  everread.store(false);
}

nodeslots node::slots(int kind) {
  int count = thischassis ? thischassis->slots(kind).count : 0;
  switch (kind) {
    case FAN:
      return {count, fan, fanfail, fannonfinite};
    case TEMP:
      return {count, temp, tempfail, tempnonfinite};
    case VOLT:
      return {count, volt, voltfail, voltnonfinite};
    default:
      return {count, disc, discfail, discnonfinite};
  }
}

bool node::isdead() { return dead; }
bool node::ispowered() { return power; }

void node::initfirsttime() {
  time_t expected = 0;
  firsttime.compare_exchange_strong(expected, nowtime());
}

void node::clearfirsttime() {
  firsttime = 0;
  lastupdate = 0;
  lastreading = 0;
}

void node::reportreading(const char* sensorname, double value, int unit) {
  time_t now = nowtime();
  // An answer with data: a node back from silence starts settling.
  if (value > 0) initfirsttime();
  nodeslots found = {0, nullptr, nullptr, nullptr};
  int index = -1;
  int foundkind = FAN;
  for (int kind : NAMEORDER) {
    chassisslots s = thischassis->slots(kind);
    for (int i = 0; i < s.count && index < 0; i++)
      if (s.names[i] && strcmp(s.names[i], sensorname) == 0) index = i;
    if (index >= 0) {
      found = slots(kind);
      foundkind = kind;
      break;
    }
  }
  if (index < 0) return;

  // An infinity or NaN (a 1/x conversion of raw 0, a broken reply) would
  // reach every output and the limit check; the last value stands instead.
  if (!isfinite(value)) {
    if (!found.nonfinite[index]) {
      char msg[MSGLEN];
      snprintf(msg, sizeof msg, "Sensor %s on %s gave no finite reading\n",
               sensorname, name ? name : "");
      error_msg(msg);
    }
    found.nonfinite[index] = true;
    return;
  }
  found.nonfinite[index] = false;
  // Only a reading taken counts as one and gives its slot a unit.
  everread = true;
  if (foundkind == FAN) fanunit[index] = static_cast<unsigned char>(unit);

  // A BMC often answers 0 for a sensor it could not read this time; only a
  // third zero in a row is believed.
  if (value != 0.0) {
    found.zeros[index] = 0;
    found.values[index] = value;
    dead = false;
    lastupdate = walltime();
    lastreading = now;
  } else {
    if (found.zeros[index] < 255) found.zeros[index]++;
    if (found.zeros[index] >= ZEROSBELIEVED) found.values[index] = 0.0;
  }
}

void node::zerosensors() {
  lastupdate = walltime();
  lastreading = nowtime();
  power = false;
  watts = -1.0;
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    nodeslots s = slots(kind);
    for (int i = 0; i < s.count; i++) s.values[i] = 0.0;
  }
}

void node::reportpower(bool on) {
  pwr_statuswaiting = 0;
  lastanswer = nowtime();
  dead = false;
  if (on) {
    if (!power) clearfirsttime();  // back on: its settling starts afresh
    power = true;
    initfirsttime();
  } else {
    zerosensors();
    clearfirsttime();
  }
}

void node::reportwatts(double value) {
  if (isfinite(value)) watts = value >= 0 ? value : -1.0;
}

void node::reportanswered() {
  dead = false;
  lastanswer = nowtime();
}

void node::reportunreachable() { dead = true; }

void node::reportpowerunknown() {
  pwr_statuswaiting = 0;
  dead = true;
  zerosensors();
  clearfirsttime();
}

void node::querypower() {
  time_t now = nowtime();
  // A transport may drop a query (no session to send it on): one unanswered
  // for long no longer holds the next back.
  if (pwr_statuswaiting != 0 && now - powerasked < POWERQUERYLOST) return;
  // Marked before it goes out, as another thread may answer at once; a
  // query sent again keeps the age the limit check counts.
  int was = pwr_statuswaiting;
  if (was == 0) pwr_statuswaiting = 1;
  time_t asked = powerasked;
  powerasked = now;
  if (!command(STATUS)) {
    pwr_statuswaiting = was;
    powerasked = asked;
  }
}

bool node::getdata() {
  time_t now = nowtime();
  if (now - lastquery < POLLPERIOD) return false;
  lastquery = now;

  const time_t limit = link ? link->stalelimit() : STALEAFTER;
  time_t last = lastreading;
  if (last > 0 && now - last > limit) {
    dead = true;
    lastupdate = 0;
    lastreading = 0;
    firsttime = 0;
  }
  // Every poll asks for the power state: a BMC silent about it as long is
  // gone, powered or not, as if the answer had been that it cannot be had.
  time_t heard = lastanswer;
  if (heard > 0 && now - heard > limit) {
    lastanswer = 0;
    reportpowerunknown();
  }
  // A dead or powered-off node is probed sooner, to notice it coming back.
  bool waiting = dead || !power;
  bool asked = link && link->poll(this);
  if (waiting) lastquery -= RETRYEARLIER;
  return asked;
}

bool node::command(int code) {
  if (!link || !link->command(this, code)) return false;
  if (code == POWERON || code == POWEROFF || code == RESET) clearfirsttime();
  return true;
}

void cluster::getdata() {
  for (int i = 0; i < numnodes; i++) mynodes[i].getdata();
}
