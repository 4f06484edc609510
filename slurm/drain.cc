#include "slurm/drain.h"

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "model/counters.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "slurm/child.h"
#include "slurm/scontrol.h"

namespace {

// What a node needs from Slurm next.
enum { WANT_NONE = 0, WANT_SURVEY, WANT_DRAIN, WANT_RESUME };
// The run a node has going.
enum { STEP_IDLE = 0, STEP_SHOW, STEP_UPDATE };

class slurmnode {
 public:
  int want = WANT_NONE;
  int step = STEP_IDLE;
  int doing = WANT_NONE;  // the want the running step serves
  std::string reason;     // of the drain wanted
  time_t healthysince = 0;
  time_t retryat = 0;
  int failures = 0;      // in a row
  bool failsaid = false;  // the failure has been said
  std::unique_ptr<childrun> run;
};

cluster* slurmcluster = nullptr;  // set once by startslurm()
std::vector<slurmnode> slurmnodes;  // by node index
int running = 0;
bool spawnfailsaid = false;

// A name Slurm would read as something else (an option, a host list)
// is never handed to scontrol.
bool usablename(const char* name) {
  return name && name[0] && name[0] != '-' && !strpbrk(name, ",[] \t");
}

std::string commandline(const std::vector<std::string>& argv) {
  std::string out;
  for (const std::string& a : argv) out += (out.empty() ? "" : " ") + a;
  return out;
}

std::string firstline(const std::string& text) {
  size_t start = text.find_first_not_of(" \n");
  if (start == std::string::npos) return "";
  std::string line = text.substr(start, text.find('\n', start) - start);
  return line.size() > 200 ? line.substr(0, 200) : line;
}

void say(bool error, const std::string& text) {
  (error ? error_msg : info_msg)((text + "\n").c_str());
}

void setstate(node* n, slurmnode& sn, int state) {
  if (state == SLURM_DRAINED && n->slurmstate != SLURM_DRAINED)
    sn.healthysince = 0;
  n->slurmstate = state;
}

int stateof(const shownode& rec) {
  if (rec.drained && rec.kestrels()) return SLURM_DRAINED;
  return rec.drained || rec.down ? SLURM_HELD : SLURM_INSERVICE;
}

void count(int want, int result) {
  if (want == WANT_DRAIN) counters.slurmactions[SLURMDRAIN][result]++;
  if (want == WANT_RESUME) counters.slurmactions[SLURMRESUME][result]++;
}

void done(slurmnode& sn) {
  if (sn.want == sn.doing) sn.want = WANT_NONE;
  sn.doing = WANT_NONE;
}

void failed(node* n, slurmnode& sn, time_t now,
            const std::vector<std::string>& argv) {
  count(sn.doing, SLURMFAILED);
  int shift = sn.failures < 5 ? sn.failures : 5;
  sn.failures++;
  time_t pause = SLURMRETRYFIRST << shift;
  sn.retryat = now + (pause < SLURMRETRYMOST ? pause : SLURMRETRYMOST);
  sn.doing = WANT_NONE;
  const childrun& run = *sn.run;
  if (run.spawnerror) {
    // A missing scontrol fails every node alike: said once for all.
    if (!spawnfailsaid)
      say(true, "Slurm: cannot run " + argv[0] + ": " + run.failure() +
                    "; kestrel tries again later");
    spawnfailsaid = true;
    sn.failsaid = true;
    return;
  }
  if (sn.failsaid) return;
  sn.failsaid = true;
  std::string out = firstline(run.output);
  say(true, "Slurm: " + commandline(argv) + " failed for " + n->name + " (" +
                run.failure() + (out.empty() ? "" : ": " + out) +
                "); kestrel tries again later");
}

void succeeded(node* n, slurmnode& sn) {
  spawnfailsaid = false;
  sn.failures = 0;
  if (sn.failsaid) say(false, std::string("Slurm: scontrol works again for ") + n->name);
  sn.failsaid = false;
}

void startstep(node* n, slurmnode& sn, int step,
               const std::vector<std::string>& argv, time_t now);

// A `scontrol show node` ended: act on what it says.
void showed(node* n, slurmnode& sn, time_t now) {
  const char* path = slurmcluster->slurmscontrol;
  shownode rec;
  if (!sn.run->succeeded() || !parseshownode(sn.run->output, n->name, &rec)) {
    failed(n, sn, now, showargs(path, n->name));
    return;
  }
  succeeded(n, sn);
  int was = n->slurmstate;
  switch (sn.doing) {
    case WANT_DRAIN:
      if (stateof(rec) == SLURM_INSERVICE) {
        startstep(n, sn, STEP_UPDATE, drainargs(path, n->name, sn.reason), now);
        return;
      }
      if (stateof(rec) == SLURM_HELD) {
        count(WANT_DRAIN, SLURMSKIPPED);
        if (was != SLURM_HELD)
          say(false, std::string("Slurm: ") + n->name +
                         " is drained or down for another reason (State=" +
                         rec.state + ", Reason=" + rec.reason +
                         "): kestrel leaves it as it is");
      }
      break;
    case WANT_RESUME:
      if (stateof(rec) == SLURM_DRAINED && !rec.down) {
        startstep(n, sn, STEP_UPDATE, resumeargs(path, n->name), now);
        return;
      }
      if (stateof(rec) != SLURM_DRAINED) {
        count(WANT_RESUME, SLURMSKIPPED);
        say(false, std::string("Slurm: the drain of ") + n->name +
                       " is no longer kestrel's (State=" + rec.state +
                       ", Reason=" + rec.reason + "): not resumed");
      }
      // Down as well: it waits for another healthy spell.
      sn.healthysince = 0;
      break;
  }
  setstate(n, sn, stateof(rec));
  done(sn);
}

// A `scontrol update` ended.
void updated(node* n, slurmnode& sn, time_t now) {
  const char* path = slurmcluster->slurmscontrol;
  bool drain = sn.doing == WANT_DRAIN;
  if (!sn.run->succeeded()) {
    failed(n, sn, now,
           drain ? drainargs(path, n->name, sn.reason) : resumeargs(path, n->name));
    return;
  }
  succeeded(n, sn);
  count(sn.doing, SLURMOK);
  if (drain) {
    setstate(n, sn, SLURM_DRAINED);
    say(false, std::string("Slurm: drained ") + n->name + ": " + sn.reason);
  } else {
    say(false, std::string("Slurm: resumed ") + n->name +
                   (sn.healthysince ? ", healthy for " +
                                          std::to_string(now - sn.healthysince) +
                                          " s"
                                    : ""));
    setstate(n, sn, SLURM_INSERVICE);
  }
  done(sn);
}

void finish(node* n, slurmnode& sn, time_t now) {
  int step = sn.step;
  sn.step = STEP_IDLE;
  if (step == STEP_SHOW)
    showed(n, sn, now);
  else
    updated(n, sn, now);
}

void startstep(node* n, slurmnode& sn, int step,
               const std::vector<std::string>& argv, time_t now) {
  if (step == STEP_SHOW) sn.doing = sn.want;
  sn.step = step;
  sn.run.reset(new childrun);
  if (sn.run->start(argv, now + SCONTROLLIMIT)) {
    running++;
    return;
  }
  finish(n, sn, now);
}

// Starts the runs that are due, within SLURMRUNS at once.
void pump(time_t now) {
  for (size_t i = 0; i < slurmnodes.size() && running < SLURMRUNS; i++) {
    slurmnode& sn = slurmnodes[i];
    if (sn.step != STEP_IDLE || sn.want == WANT_NONE || now < sn.retryat)
      continue;
    node* n = &slurmcluster->mynodes[i];
    startstep(n, sn, STEP_SHOW, showargs(slurmcluster->slurmscontrol, n->name),
              now);
  }
}

int wantdrain(node* n, const std::string& reason) {
  size_t i = static_cast<size_t>(n - slurmcluster->mynodes);
  if (i >= slurmnodes.size() || !usablename(n->name)) return DRAIN_NONE;
  slurmnode& sn = slurmnodes[i];
  sn.want = WANT_DRAIN;
  sn.reason = reason;
  sn.healthysince = 0;
  sn.retryat = 0;  // an alert is worth a try at once
  time_t now = nowtime();
  pump(now);
  int state = n->slurmstate;
  return state == SLURM_DRAINED ? DRAIN_ALREADY
         : state == SLURM_HELD  ? DRAIN_HELD
                                : DRAIN_STARTED;
}

int alerted(node* n, int kind, int index, double value, const double* limits) {
  // Only the critical state of a discrete sensor drains.
  if (kind == DISC && value != IPMI_DISC_CRIT) return DRAIN_NONE;
  return wantdrain(n, drainreason(n, kind, index, value, limits));
}

int hardware(node* n, const char* line) {
  return wantdrain(n, hardwarereason(line));
}

}  // namespace

bool nodehealthy(node* n, time_t now) {
  time_t first = n->firsttime;
  if (!n->power || n->dead || n->inShutdown || first == 0 ||
      now - first < SETTLETIME || !n->thischassis)
    return false;
  for (int kind = FAN; kind < NUMKINDS; kind++) {
    chassisslots cs = n->thischassis->slots(kind);
    nodeslots ns = n->slots(kind);
    for (int i = 0; i < cs.count; i++) {
      double v = ns.values[i];
      if (kind == DISC ? v == IPMI_DISC_CRIT
          : kind == TEMP ? comparelimits(v, cs.limits[i]) > 0
                         : comparelimits(v, cs.limits[i]) != 0)
        return false;
    }
  }
  return true;
}

bool resumedue(time_t since, time_t now, time_t after) {
  return after > 0 && since > 0 && now - since >= after;
}

void startslurm(cluster* cl) {
  slurmcluster = cl;
  slurmnodes.clear();
  slurmnodes.resize(cl->numnodes);
  for (int i = 0; i < cl->numnodes; i++)
    if (usablename(cl->mynodes[i].name)) slurmnodes[i].want = WANT_SURVEY;
  drainhook = {alerted, hardware};
}

void slurmpass(time_t now) {
  if (!slurmcluster) return;
  for (size_t i = 0; i < slurmnodes.size(); i++) {
    slurmnode& sn = slurmnodes[i];
    node* n = &slurmcluster->mynodes[i];
    if (sn.step != STEP_IDLE && sn.run->poll(now)) {
      running--;
      finish(n, sn, now);
    }
    if (n->slurmstate != SLURM_DRAINED ||
        (sn.want != WANT_NONE && sn.want != WANT_RESUME))
      continue;
    if (!nodehealthy(n, now)) {
      sn.healthysince = 0;
      // A resume waiting to be tried again waits for a new healthy spell.
      if (sn.want == WANT_RESUME && sn.step == STEP_IDLE) sn.want = WANT_NONE;
    } else if (sn.healthysince == 0) {
      sn.healthysince = now;
    }
    if (sn.want == WANT_NONE &&
        resumedue(sn.healthysince, now, slurmcluster->slurmresumeafter))
      sn.want = WANT_RESUME;
  }
  pump(now);
}
