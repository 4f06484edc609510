#include "http/metrics.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "http/textout.h"

const char* const METRICSTYPE = "text/plain; version=0.0.4; charset=utf-8";
const char* const OPENMETRICSTYPE =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";

namespace {

// Metric kinds and the base units the model stores them in.
const char* const READINGFAMILY[NUMKINDS] = {
    "kestrel_fan_speed_rpm", "kestrel_temperature_celsius",
    "kestrel_voltage_volts", "kestrel_sensor_health"};
const char DISCHELP[] =
    "Health of a discrete sensor: 0 healthy, 1 warning, 2 critical, 3 unknown.";
const char* const READINGHELP[NUMKINDS] = {
    "Fan speed in revolutions per minute.", "Temperature in degrees Celsius.",
    "Voltage in volts.", DISCHELP};
const char* const KINDNAME[3] = {"fan", "temperature", "voltage"};
const char* const LIMITNAME[NUMLIMITS] = {"critical_low", "warning_low",
                                  "warning_high", "critical_high"};
// By command code; see eventcounters::powercommands.
const char* const COMMANDNAME[POWERCOMMANDS] = {"power_off", "power_on",
                                                "reset"};
static_assert(POWEROFF == 0 && POWERON == 1 && RESET == 2,
              "COMMANDNAME follows the command codes");

enum { GAUGE, COUNTER, INFO, SUMMARY };
// By FAIL_* of model/transport.h.
const char* const FAILKIND[NUMFAILKINDS] = {"timeout", "connection", "busy",
                                            "refused", "other"};

class writer {
 public:
  writer(std::string& text, bool openmetrics) : out(text), om(openmetrics) {}

  // # HELP and # TYPE of a family; `name` without _total or _info.
  void family(const char* name, int type, const char* help) {
    const char* suffix = "";
    if (!om && type == COUNTER) suffix = "_total";
    if (!om && type == INFO) suffix = "_info";
    const char* typetext = type == COUNTER       ? "counter"
                           : type == SUMMARY     ? "summary"
                           : type == INFO && om  ? "info"
                                                 : "gauge";
    out += "# HELP ";
    out += name;
    out += suffix;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += suffix;
    out += ' ';
    out += typetext;
    out += '\n';
  }
  // Starts a sample; labels follow, then value().
  void sample(const char* name, const char* suffix = "") {
    out += name;
    out += suffix;
    first = true;
  }
  void label(const char* key, const char* value) {
    out += first ? '{' : ',';
    first = false;
    out += key;
    out += "=\"";
    appendlabelvalue(out, value);
    out += '"';
  }
  void value(double v) {
    if (!first) out += '}';
    out += ' ';
    appendnumber(out, v);
    out += '\n';
  }

  std::string& out;
  bool om;
  bool first = true;
};

// q-value of one media range, 1 when it names none; -1 when unreadable.
double qvalue(const std::string& params) {
  size_t at = params.find("q=");
  if (at == std::string::npos) return 1.0;
  char* end;
  double q = strtod(params.c_str() + at + 2, &end);
  return end == params.c_str() + at + 2 ? -1.0 : q;
}

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool wantsopenmetrics(const char* accept) {
  if (!accept) return false;
  double om = 0.0, text = 0.0;
  std::string all(accept);
  size_t start = 0;
  while (start <= all.size()) {
    size_t comma = all.find(',', start);
    if (comma == std::string::npos) comma = all.size();
    std::string range = all.substr(start, comma - start);
    start = comma + 1;
    size_t semi = range.find(';');
    std::string type = trimmed(range.substr(0, semi));
    double q = semi == std::string::npos ? 1.0 : qvalue(range.substr(semi));
    if (strcasecmp(type.c_str(), "application/openmetrics-text") == 0) {
      if (q > om) om = q;
    } else if (strcasecmp(type.c_str(), "text/plain") == 0 ||
               strcasecmp(type.c_str(), "text/*") == 0 || type == "*/*") {
      if (q > text) text = q;
    }
  }
  return om > 0.0 && om >= text;
}

void formatmetrics(const clustersnap& s, bool openmetrics, std::string& out) {
  writer w(out, openmetrics);

  w.family("kestrel_up", GAUGE,
           "Whether the node's BMC answers: 1 answering, 0 dead.");
  for (const nodesnap& n : s.nodes) {
    w.sample("kestrel_up");
    w.label("node", n.name);
    w.label("chassis", n.chassis);
    w.label("transport", n.transport);
    w.value(n.dead ? 0 : 1);
  }
  w.family("kestrel_power_on", GAUGE,
           "Whether the node is powered on; absent while its BMC is dead.");
  for (const nodesnap& n : s.nodes) {
    if (n.dead) continue;
    w.sample("kestrel_power_on");
    w.label("node", n.name);
    w.value(n.power ? 1 : 0);
  }
  w.family("kestrel_last_reading_timestamp_seconds", GAUGE,
           "Time of the node's last accepted reading, seconds since the "
           "epoch; absent when there is none.");
  for (const nodesnap& n : s.nodes) {
    if (n.lastupdate == 0) continue;
    w.sample("kestrel_last_reading_timestamp_seconds");
    w.label("node", n.name);
    w.value(static_cast<double>(n.lastupdate));
  }

  // Fans a BMC gives in percent have a family of their own: one family is
  // one unit.
  static const struct {
    int kind;
    bool percent;
  } FAMILIES[] = {{FAN, false}, {FAN, true}, {TEMP, false}, {VOLT, false},
                  {DISC, false}};
  for (const auto& f : FAMILIES) {
    int kind = f.kind;
    bool percent = f.percent;
    const char* name = percent ? "kestrel_fan_speed_percent" : READINGFAMILY[kind];
    w.family(name, GAUGE,
             percent ? "Fan speed in percent of full speed, where the BMC "
                       "gives it so."
                     : READINGHELP[kind]);
    for (const nodesnap& n : s.nodes)
      for (const readingsnap& r : n.readings) {
        if (r.kind != kind || !r.present || r.percent != percent) continue;
        w.sample(name);
        w.label("node", n.name);
        w.label("chassis", n.chassis);
        w.label("sensor", r.sensor);
        w.label("label", r.label);
        w.value(r.value);
      }
  }

  w.family("kestrel_sensor_limit", GAUGE,
           "Limit of a sensor in its chassis definition, in base units.");
  for (const chassissnap& c : s.chassis)
    for (const readingsnap& r : c.sensors) {
      if (r.kind == DISC) continue;
      for (int l = CRITLOW; l <= CRITHIGH; l++) {
        w.sample("kestrel_sensor_limit");
        w.label("chassis", c.name);
        w.label("kind", KINDNAME[r.kind]);
        w.label("sensor", r.sensor);
        w.label("limit", LIMITNAME[l]);
        w.value(r.limits[l]);
      }
    }
  w.family("kestrel_limit_state", GAUGE,
           "A reading against its limits: -2 below critical, -1 below "
           "warning, 0 within, 1 above warning, 2 above critical; only for "
           "nodes past their settling time.");
  for (const nodesnap& n : s.nodes) {
    if (n.settling != SETTLE_DONE) continue;
    for (const readingsnap& r : n.readings) {
      if (r.kind == DISC || !r.present) continue;
      w.sample("kestrel_limit_state");
      w.label("node", n.name);
      w.label("chassis", n.chassis);
      w.label("kind", KINDNAME[r.kind]);
      w.label("sensor", r.sensor);
      w.label("label", r.label);
      w.value(r.state);
    }
  }

  w.family("kestrel_power_watts", GAUGE,
           "Power the node draws, where its BMC tells it.");
  for (const nodesnap& n : s.nodes) {
    if (n.watts < 0) continue;
    w.sample("kestrel_power_watts");
    w.label("node", n.name);
    w.value(n.watts);
  }
  w.family("kestrel_reading_age_seconds", GAUGE,
           "Seconds since the node's last accepted reading; absent when "
           "there is none.");
  for (const nodesnap& n : s.nodes) {
    if (n.lastupdate == 0) continue;
    w.sample("kestrel_reading_age_seconds");
    w.label("node", n.name);
    w.value(s.now > n.lastupdate ? static_cast<double>(s.now - n.lastupdate)
                                 : 0.0);
  }
  // A summary without quantiles: rate(sum) / rate(count) is the mean time
  // of a request over any range.
  w.family("kestrel_bmc_request_duration_seconds", SUMMARY,
           "Time of the HTTPS requests to the node's BMC.");
  for (const nodesnap& n : s.nodes) {
    if (!n.hasrequests) continue;
    w.sample("kestrel_bmc_request_duration_seconds", "_sum");
    w.label("node", n.name);
    w.value(n.requests.seconds);
    w.sample("kestrel_bmc_request_duration_seconds", "_count");
    w.label("node", n.name);
    w.value(static_cast<double>(n.requests.count));
  }
  w.family("kestrel_bmc_request_failures", COUNTER,
           "Requests to the node's BMC that failed, by kind: timeout, "
           "connection, busy (5xx), refused (401, 403), other (4xx).");
  for (const nodesnap& n : s.nodes) {
    if (!n.hasrequests) continue;
    for (int k = 0; k < NUMFAILKINDS; k++) {
      w.sample("kestrel_bmc_request_failures", "_total");
      w.label("node", n.name);
      w.label("kind", FAILKIND[k]);
      w.value(static_cast<double>(n.requests.failures[k]));
    }
  }

  w.family("kestrel_sel_events", COUNTER,
           "Entries of the BMC's system event log reported since start, by "
           "severity.");
  static const char* const SEVERITY[NUMHWSEVERITIES] = {"info", "warning",
                                                        "critical"};
  for (const nodesnap& n : s.nodes) {
    if (!n.hasevents) continue;
    for (int sev = 0; sev < NUMHWSEVERITIES; sev++) {
      w.sample("kestrel_sel_events", "_total");
      w.label("node", n.name);
      w.label("severity", SEVERITY[sev]);
      w.value(static_cast<double>(n.eventcounts[sev]));
    }
  }

  w.family("kestrel_alerts_pending", GAUGE,
           "Sensors on the pending alert list.");
  w.sample("kestrel_alerts_pending");
  w.value(static_cast<double>(s.alertspending));
  w.family("kestrel_alert_emails", COUNTER,
           "Alert and test e-mails handed to the SMTP server, by result.");
  w.sample("kestrel_alert_emails", "_total");
  w.label("result", "sent");
  w.value(static_cast<double>(s.emailssent));
  w.sample("kestrel_alert_emails", "_total");
  w.label("result", "failed");
  w.value(static_cast<double>(s.emailsfailed));
  w.family("kestrel_automatic_shutdowns", COUNTER,
           "Automatic shutdowns started.");
  w.sample("kestrel_automatic_shutdowns", "_total");
  w.value(static_cast<double>(s.shutdowncount));
  w.family("kestrel_commands", COUNTER,
           "Command lines executed from the command pipe, by command.");
  for (int code = 0; code < POWERCOMMANDS; code++) {
    w.sample("kestrel_commands", "_total");
    w.label("command", COMMANDNAME[code]);
    w.value(static_cast<double>(s.powercommands[code]));
  }
  w.sample("kestrel_commands", "_total");
  w.label("command", "test_email");
  w.value(static_cast<double>(s.testemails));
  w.family("kestrel_slurm_drained", GAUGE,
           "Whether kestrel holds the node drained in Slurm: 1 drained by "
           "kestrel, 0 not; absent without $SLURM_DRAIN.");
  for (const nodesnap& n : s.nodes) {
    if (!s.slurmdrain) break;
    w.sample("kestrel_slurm_drained");
    w.label("node", n.name);
    w.value(n.slurm == SLURM_DRAINED ? 1 : 0);
  }
  w.family("kestrel_slurm_actions", COUNTER,
           "Drains and resumes in Slurm by result: ok, failed (scontrol "
           "failed; tried again later), skipped (drained or down by someone "
           "else, left alone).");
  static const char* const ACTION[SLURMACTIONS] = {"drain", "resume"};
  static const char* const RESULT[SLURMRESULTS] = {"ok", "failed", "skipped"};
  for (int a = 0; s.slurmdrain && a < SLURMACTIONS; a++)
    for (int r = 0; r < SLURMRESULTS; r++) {
      w.sample("kestrel_slurm_actions", "_total");
      w.label("action", ACTION[a]);
      w.label("result", RESULT[r]);
      w.value(static_cast<double>(s.slurmactions[a][r]));
    }
  w.family("kestrel_build", INFO, "The running kestrel's version.");
  w.sample("kestrel_build", "_info");
  w.label("version", s.version);
  w.value(1);

  if (openmetrics) out += "# EOF\n";
}
