// A plain copy of what the HTTP endpoints show, taken from the model in one
// place (takesnapshot) so that every formatter is a pure function of it.
#ifndef KESTREL_HTTP_SNAPSHOT_H_
#define KESTREL_HTTP_SNAPSHOT_H_

#include <time.h>

#include <vector>

#include "model/counters.h"
#include "model/defines.h"
#include "model/transport.h"

// Where a node stands in its settling time, after which limits count.
enum { SETTLE_NONE = 0, SETTLE_RUNNING = 1, SETTLE_DONE = 2 };

// Worst state of a node, as the status page colours it.
enum { WORST_OK = 0, WORST_WARNING, WORST_CRITICAL, WORST_DEAD, WORST_OFF };

// One sensor slot of a node (or, in a chassissnap, of a chassis). Strings
// point into the chassis tables, which never change after start-up.
class readingsnap {
 public:
  int kind;               // FAN, TEMP, VOLT or DISC
  const char* sensor;     // name as the BMC reports it
  const char* label;      // short label
  const double* limits;   // CRITLOW..CRITHIGH row; nullptr for DISC
  bool critical = false;  // DISC: its critical state powers the node off
  bool present = false;   // the node has this reading now
  double value = 0.0;     // in base units (DISC: health 0..3); when present
  bool percent = false;   // FAN: the value is percent of full speed, not rpm
  int state = 0;          // limitstate(); 0 when not present
};

class nodesnap {
 public:
  const char* name;
  const char* chassis;
  const char* transport;  // "ipmi", "openbmc"
  bool dead;
  bool power;
  time_t lastupdate;  // 0: no reading
  int settling;       // SETTLE_*
  double watts = -1;  // drawn, where the BMC tells it; negative: not known
  // The node has answered for a while, powered, and not one slot of its
  // chassis ever had a reading: the BMC knows none of the section's names.
  bool unbound = false;
  std::vector<readingsnap> readings;  // fans, temps, volts, discs in order
  int slurm = SLURM_UNKNOWN;  // SLURM_*: the node in Slurm, as last seen
  // Its transport's requests to the BMC, when it counts them.
  bool hasrequests = false;
  bmcrequests requests;
  // The hardware events of its BMC's log, when its transport watches one.
  bool hasevents = false;
  std::vector<hardwareevent> events;  // the last ones, oldest first
  unsigned long long eventcounts[NUMHWSEVERITIES] = {};
};

// How long a powered node answers without any reading before it counts
// as unbound: a few passes.
constexpr time_t UNBOUNDAFTER = 30;

class chassissnap {
 public:
  const char* name;
  std::vector<readingsnap> sensors;  // never present; limits and labels
};

class clustersnap {
 public:
  time_t now = 0;
  const char* version = "";  // of this build
  bool alerts = false;     // $ENABLE_ALERTS
  bool shutdowns = false;  // $ENABLE_SHUTDOWNS
  std::vector<nodesnap> nodes;
  std::vector<chassissnap> chassis;
  unsigned long emailssent = 0, emailsfailed = 0, shutdowncount = 0,
                testemails = 0, alertspending = 0;
  unsigned long powercommands[POWERCOMMANDS] = {};
  bool slurmdrain = false;  // $SLURM_DRAIN with alerts on
  unsigned long slurmactions[SLURMACTIONS][SLURMRESULTS] = {};
};

// Fills `s` from mycluster, mychassis and counters; the only code of the
// HTTP server that reads the model. Takes no lock: every value that another
// thread writes is one atomic load, so values may come from different
// moments, as in the status pipe.
void takesnapshot(clustersnap& s, time_t now);

// Whether a node has a reading: it is alive, powered and was read, and the
// value is a finite number; a zero fan, temperature or voltage is the model's
// "no reading" (discrete 0 is healthy).
bool readingpresent(int kind, double value, bool dead, bool power,
                    time_t lastupdate);

// A present reading against its limits, as the alert check compares it:
// -2..2 by comparelimits, temperatures only ever too high (low gives 0).
// DISC: the health value itself (0 healthy, 1 warning, 2 critical,
// 3 unknown).
int limitstate(int kind, double value, const double* limits);

// SETTLE_NONE while firsttime is 0, SETTLE_RUNNING for SETTLETIME seconds
// after it, SETTLE_DONE afterwards.
int settlingstate(time_t firsttime, time_t now);

// WORST_DEAD, WORST_OFF, else the worst present reading: critical for
// |state| 2 or discrete health 2, warning for |state| 1 or discrete 1 or 3.
int worststate(const nodesnap& n);

#endif  // KESTREL_HTTP_SNAPSHOT_H_
