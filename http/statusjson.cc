#include "http/statusjson.h"

#include "http/textout.h"

namespace {

const char* const KIND[4] = {"fan", "temperature", "voltage", "discrete"};
const char* const UNIT[3] = {"\"rpm\"", "\"celsius\"", "\"volts\""};
const char* const SETTLING[3] = {"none", "settling", "settled"};
const char* const WORST[5] = {"ok", "warning", "critical", "dead", "off"};
const char* const SEVERITY[NUMHWSEVERITIES] = {"info", "warning", "critical"};
// By SLURM_*; null while not known (or not asked: no $SLURM_DRAIN).
const char* const SLURMSTATE[4] = {nullptr, "in_service", "drained",
                                   "held"};
const char* const LIMIT[4] = {"critical_low", "warning_low", "warning_high",
                              "critical_high"};

void key(std::string& out, const char* name) {
  out += '"';
  out += name;
  out += "\":";
}

// JSON has no infinities or NaN; one of them would make the whole document
// unreadable, so it is given as null.
void number(std::string& out, double value) {
  if (value - value == 0.0)
    appendnumber(out, value);
  else
    out += "null";
}

void boolean(std::string& out, bool value) {
  out += value ? "true" : "false";
}

void reading(std::string& out, const readingsnap& r) {
  out += "{\"kind\":\"";
  out += KIND[r.kind];
  out += "\",";
  key(out, "sensor");
  appendjsonstring(out, r.sensor);
  out += ',';
  key(out, "label");
  appendjsonstring(out, r.label);
  out += ',';
  key(out, "unit");
  out += r.kind == DISC ? "null" : r.percent ? "\"percent\"" : UNIT[r.kind];
  out += ',';
  key(out, "value");
  if (r.present)
    number(out, r.value);
  else
    out += "null";
  out += ',';
  key(out, "limits");
  if (r.kind == DISC) {
    out += "null,";
    key(out, "critical");
    boolean(out, r.critical);
  } else {
    for (int l = CRITLOW; l <= CRITHIGH; l++) {
      out += l == CRITLOW ? "{" : ",";
      key(out, LIMIT[l]);
      // An infinite limit is no limit: null.
      number(out, r.limits[l]);
    }
    out += '}';
  }
  out += ',';
  key(out, "state");
  if (r.present)
    appendnumber(out, r.state);
  else
    out += "null";
  out += '}';
}

}  // namespace

void formatstatusjson(const clustersnap& s, std::string& out) {
  out += '{';
  key(out, "version");
  appendjsonstring(out, s.version);
  out += ',';
  key(out, "time");
  appendnumber(out, static_cast<double>(s.now));
  out += ',';
  key(out, "alerts");
  boolean(out, s.alerts);
  out += ',';
  key(out, "shutdowns");
  boolean(out, s.shutdowns);
  out += ',';
  key(out, "settle_seconds");
  appendnumber(out, SETTLETIME);
  out += ',';
  key(out, "nodes");
  out += '[';
  bool firstnode = true;
  for (const nodesnap& n : s.nodes) {
    if (!firstnode) out += ',';
    firstnode = false;
    out += '{';
    key(out, "name");
    appendjsonstring(out, n.name);
    out += ',';
    key(out, "chassis");
    appendjsonstring(out, n.chassis);
    out += ',';
    key(out, "transport");
    appendjsonstring(out, n.transport);
    out += ',';
    key(out, "dead");
    boolean(out, n.dead);
    out += ',';
    key(out, "power");
    boolean(out, n.power);
    out += ',';
    key(out, "last_reading");
    if (n.lastupdate)
      appendnumber(out, static_cast<double>(n.lastupdate));
    else
      out += "null";
    out += ',';
    key(out, "sensors_bound");
    boolean(out, !n.unbound);
    out += ',';
    key(out, "power_watts");
    if (n.watts >= 0)
      number(out, n.watts);
    else
      out += "null";
    out += ',';
    key(out, "slurm");
    if (n.slurm > SLURM_UNKNOWN && n.slurm <= SLURM_HELD)
      appendjsonstring(out, SLURMSTATE[n.slurm]);
    else
      out += "null";
    out += ",\"settling\":\"";
    out += SETTLING[n.settling];
    out += "\",\"worst\":\"";
    out += WORST[worststate(n)];
    out += "\",";
    key(out, "readings");
    out += '[';
    bool firstreading = true;
    for (const readingsnap& r : n.readings) {
      if (!firstreading) out += ',';
      firstreading = false;
      reading(out, r);
    }
    out += "],";
    key(out, "events");
    if (!n.hasevents) {
      out += "null}";
      continue;
    }
    out += '[';
    bool firstevent = true;
    for (const hardwareevent& e : n.events) {
      if (!firstevent) out += ',';
      firstevent = false;
      out += '{';
      key(out, "time");
      appendjsonstring(out, e.time.c_str());
      out += ',';
      key(out, "sensor");
      appendjsonstring(out, e.sensor.c_str());
      out += ',';
      key(out, "event");
      appendjsonstring(out, e.event.c_str());
      out += ',';
      key(out, "asserted");
      boolean(out, e.asserted);
      out += ",\"severity\":\"";
      out += SEVERITY[e.severity];
      out += "\"}";
    }
    out += "]}";
  }
  out += "]}";
}
