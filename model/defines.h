// Fixed table sizes and the codes shared by every subsystem.
#ifndef KESTREL_MODEL_DEFINES_H_
#define KESTREL_MODEL_DEFINES_H_

#include <time.h>

constexpr int MAXNODES = 512;
constexpr int MAXCHASSIS = 100;
constexpr int MAXFANS = 64;
constexpr int MAXTEMPS = 192;
constexpr int MAXVOLTS = 192;
constexpr int MAXDISCS = 32;
constexpr int MAXIPMISENSORS = 512;  // registered IPMI sensors per node
constexpr int MSGLEN = 512;          // per-node message buffer
constexpr int NAMELEN = 96;          // sensor long and short names (95 chars)
constexpr int FIELDLEN = 50;         // $NODE fields (49 chars)
constexpr int PATHLEN = 514;         // a data-directory file path, NUL included
constexpr int DATADIRLEN = 256;      // the data directory, NUL included
constexpr int MAXSETTING = 120;      // a cluster-file value, NUL included
// Seconds a node must have been up before its limits are compared.
constexpr time_t SETTLETIME = 180;

// Sensor kinds, in the order of every per-kind list the daemon writes.
enum { FAN = 0, TEMP = 1, VOLT = 2, DISC = 3, NUMKINDS = 4 };

// Columns of a limit row.
enum { CRITLOW = 0, ALERTLOW = 1, ALERTHIGH = 2, CRITHIGH = 3, NUMLIMITS = 4 };

// How a chassis's BMCs are reached. A new transport adds its line here.
enum { TRANSPORT_IPMI = 0, TRANSPORT_OPENBMC = 1, TRANSPORT_REDFISH = 2 };
// The unit a BMC gives a reading in: its kind's usual one (rpm, degrees
// Celsius, volts), or percent (fans some BMCs give as a share of full speed).
enum { UNIT_USUAL = 0, UNIT_PERCENT = 1 };

// Node command codes, also the REST task codes.
enum {
  POWEROFF = 0,
  POWERON = 1,
  RESET = 2,
  STATUS = 3,
  GETDATA = 4,
  NONE = 5,
  QUIT = 6,
  LOGIN = 7
};

// Discrete health values, stored as readings.
enum {
  IPMI_DISC_HEALTHY = 0,
  IPMI_DISC_WARN = 1,
  IPMI_DISC_CRIT = 2,
  IPMI_DISC_UNKNOWN = 3
};

// Power-supply event offsets.
enum {
  IPMI_PS_PRESENT = 0,
  IPMI_PS_FAIL = 1,
  IPMI_PS_PREDFAIL = 2,
  IPMI_PS_ACLOST = 3
};

// Battery event offsets.
enum { IPMI_BAT_LOW = 0, IPMI_BAT_FAIL = 1, IPMI_BAT_PRESENT = 2 };

// States of the e-mail sender.
enum {
  ALERT_STATUS_IDLE = 0,
  ALERT_STATUS_SPUN = 1,
  ALERT_STATUS_BUSY = 2,
  ALERT_STATUS_DONE = 3,
  ALERT_STATUS_ERROR = 4
};

// Slurm ($SLURM_DRAIN): what the alert e-mail says of a node whose alert is
// reported (DRAIN_*), where a node stands in Slurm as kestrel last saw it
// (SLURM_*), and the actions counted with their results.
enum { DRAIN_NONE = 0, DRAIN_STARTED, DRAIN_ALREADY, DRAIN_HELD };
enum { SLURM_UNKNOWN = 0, SLURM_INSERVICE, SLURM_DRAINED, SLURM_HELD };
enum { SLURMDRAIN = 0, SLURMRESUME, SLURMACTIONS };
enum { SLURMOK = 0, SLURMFAILED, SLURMSKIPPED, SLURMRESULTS };

// The pace of every transport's polling and its liveness rules.
constexpr time_t POLLPERIOD = 5;    // a live, powered node
constexpr time_t RETRYEARLIER = 2;  // off or dead: every 3 s
constexpr time_t STALEAFTER = 25;   // no accepted reading for this long: dead
// A BMC that measures its passes may take this many of them, up to the most.
constexpr time_t STALEPASSES = 3;
constexpr time_t STALEMOST = 180;
// A power query unanswered this long is taken as lost (a transport may drop
// one it has no session for): the next may go out.
constexpr time_t POWERQUERYLOST = 30;
// Power-ons sent within any one second ($POWER_ON_RATE): a burst beyond it
// waits, so that hundreds of power supplies do not start at once.
constexpr int DEFAULTPOWERONRATE = 10;
constexpr int MAXPOWERONRATE = 1000;
// A sensor name found in two kinds feeds the first of them in this order.
constexpr int NAMEORDER[NUMKINDS] = {FAN, VOLT, TEMP, DISC};
// A zero reading is believed only on this many in a row.
constexpr unsigned char ZEROSBELIEVED = 3;

#endif  // KESTREL_MODEL_DEFINES_H_
