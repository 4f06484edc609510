// The fixed tables behind the words of a SEL entry: sensor types, the
// sensor-specific offsets of the types that matter on a compute node,
// threshold crossings and the generic event types.
#include "ipmi/seltext.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "util/appendf.h"

namespace {

constexpr size_t SELDATALEN = 13;
// The time stamp of a record that has none.
constexpr unsigned long long UNSPECIFIEDTIME = 0xffffffffULL;
constexpr unsigned FIRSTOEMRECORD = 0xc0;
constexpr unsigned FIRSTUNSTAMPEDRECORD = 0xe0;
constexpr unsigned char FIRSTOEMSENSORTYPE = 0xc0;
// Generic event/reading types are 02h-0Ch, with at most this many offsets.
constexpr unsigned char FIRSTGENERIC = 0x02;
constexpr int GENERICOFFSETS = 9;
// The direction and type byte, and the offset in the first event data byte.
constexpr unsigned char DEASSERTION = 0x80;
constexpr unsigned char EVENTTYPEMASK = 0x7f;
constexpr unsigned char OFFSETMASK = 0x0f;

struct offsetword {
  const char* words;
  int severity;  // when asserted
};

#define W SEL_WARNING
#define C SEL_CRITICAL
#define I SEL_INFO

const offsetword PHYSICALSECURITY[] = {{"general chassis intrusion", C},
                                       {"drive bay intrusion", C},
                                       {"I/O card area intrusion", C},
                                       {"processor area intrusion", C},
                                       {"LAN leash lost", W},
                                       {"unauthorized dock", W},
                                       {"fan area intrusion", C}};
const offsetword PLATFORMSECURITY[] = {
    {"secure mode violation attempt", W},
    {"pre-boot user password violation", W},
    {"pre-boot setup password violation", W},
    {"pre-boot network boot password violation", W},
    {"other pre-boot password violation", W},
    {"out-of-band access password violation", W}};
const offsetword PROCESSOR[] = {{"IERR", C},
                                {"thermal trip", C},
                                {"FRB1/BIST failure", W},
                                {"FRB2/hang in POST failure", W},
                                {"FRB3/processor startup failure", W},
                                {"configuration error", W},
                                {"uncorrectable CPU-complex error", C},
                                {"presence detected", I},
                                {"disabled", W},
                                {"terminator presence detected", I},
                                {"throttled", W},
                                {"uncorrectable machine check exception", C},
                                {"correctable machine check error", W}};
const offsetword POWERSUPPLY[] = {
    {"presence detected", I},       {"failure detected", C},
    {"predictive failure", W},      {"AC lost", C},
    {"AC lost or out of range", C}, {"AC out of range, but present", W},
    {"configuration error", W},     {"inactive", I}};
const offsetword POWERUNIT[] = {{"power off", I},
                                {"power cycle", I},
                                {"240VA power down", W},
                                {"interlock power down", W},
                                {"AC lost", C},
                                {"soft power control failure", W},
                                {"power unit failure detected", C},
                                {"predictive failure", W}};
const offsetword MEMORY[] = {{"correctable ECC", W},
                             {"uncorrectable ECC", C},
                             {"parity", C},
                             {"memory scrub failed", W},
                             {"memory device disabled", W},
                             {"correctable ECC logging limit reached", W},
                             {"presence detected", I},
                             {"configuration error", W},
                             {"spare", I},
                             {"automatically throttled", W},
                             {"critical overtemperature", C}};
const offsetword DRIVESLOT[] = {{"drive present", I},
                                {"drive fault", W},
                                {"predictive failure", W},
                                {"hot spare", I},
                                {"consistency check in progress", I},
                                {"in critical array", W},
                                {"in failed array", W},
                                {"rebuild in progress", I},
                                {"rebuild aborted", W}};
const offsetword FIRMWARE[] = {{"system firmware error", C},
                               {"system firmware hang", C},
                               {"system firmware progress", I}};
const offsetword EVENTLOGGING[] = {
    {"correctable memory error logging disabled", W},
    {"event type logging disabled", W},
    {"log area reset/cleared", I},
    {"all event logging disabled", W},
    {"SEL full", W},
    {"SEL almost full", W},
    {"correctable machine check error logging disabled", W}};
const offsetword WATCHDOG1[] = {{"BIOS watchdog reset", C},
                                {"OS watchdog reset", C},
                                {"OS watchdog shut down", C},
                                {"OS watchdog power down", C},
                                {"OS watchdog power cycle", C},
                                {"OS watchdog NMI/diagnostic interrupt", C},
                                {"OS watchdog expired, status only", W},
                                {"OS watchdog pre-timeout interrupt", W}};
const offsetword SYSTEMEVENT[] = {{"system reconfigured", I},
                                  {"OEM system boot event", I},
                                  {"undetermined system hardware failure", W},
                                  {"entry added to auxiliary log", I},
                                  {"PEF action", I},
                                  {"timestamp clock synch", I}};
const offsetword CRITICALINTERRUPT[] = {
    {"front panel NMI/diagnostic interrupt", C},
    {"bus timeout", C},
    {"I/O channel check NMI", C},
    {"software NMI", C},
    {"PCI PERR", C},
    {"PCI SERR", C},
    {"EISA fail safe timeout", C},
    {"bus correctable error", W},
    {"bus uncorrectable error", C},
    {"fatal NMI", C},
    {"bus fatal error", C},
    {"bus degraded", W}};
const offsetword BUTTON[] = {{"power button pressed", I},
                             {"sleep button pressed", I},
                             {"reset button pressed", I},
                             {"FRU latch open", I},
                             {"FRU service request button", I}};
const offsetword BOOTRESTART[] = {
    {"initiated by power up", I},        {"initiated by hard reset", I},
    {"initiated by warm reset", I},      {"user requested PXE boot", I},
    {"automatic boot to diagnostic", I}, {"OS initiated hard reset", I},
    {"OS initiated warm reset", I},      {"system restart", I}};
const offsetword BOOTERROR[] = {{"no bootable media", W},
                                {"non-bootable diskette left in drive", W},
                                {"PXE server not found", W},
                                {"invalid boot sector", W},
                                {"timeout waiting for boot source", W}};
const offsetword OSSTOP[] = {{"critical stop during OS load", C},
                             {"run-time critical stop", C},
                             {"OS graceful stop", I},
                             {"OS graceful shutdown", I},
                             {"soft shutdown initiated by PEF", I},
                             {"agent not responding", W}};
const offsetword SLOT[] = {
    {"fault status", W},           {"identify status", I},
    {"device installed", I},       {"ready for installation", I},
    {"ready for removal", I},      {"slot power off", I},
    {"device removal request", I}, {"interlock", I},
    {"slot disabled", W}};
const offsetword WATCHDOG2[] = {{"timer expired, status only", W},
                                {"hard reset", C},
                                {"power down", C},
                                {"power cycle", C},
                                {"reserved offset 4", I},
                                {"reserved offset 5", I},
                                {"reserved offset 6", I},
                                {"reserved offset 7", I},
                                {"timer interrupt", W}};
const offsetword ENTITYPRESENCE[] = {
    {"entity present", I}, {"entity absent", W}, {"entity disabled", W}};
const offsetword BATTERY[] = {{"battery low", W},
                              {"battery failed", W},
                              {"battery presence detected", I}};

#undef W
#undef C
#undef I

struct sensortype {
  const char* name;
  const offsetword* offsets;  // sensor-specific offsets; null when none
  int count;
};

#define OFFSETS(table) table, static_cast<int>(sizeof table / sizeof table[0])

// By sensor type, 00h-2Ch.
const sensortype SENSORTYPES[] = {
    {"Reserved", nullptr, 0},
    {"Temperature", nullptr, 0},
    {"Voltage", nullptr, 0},
    {"Current", nullptr, 0},
    {"Fan", nullptr, 0},
    {"Physical security", OFFSETS(PHYSICALSECURITY)},
    {"Platform security", OFFSETS(PLATFORMSECURITY)},
    {"Processor", OFFSETS(PROCESSOR)},
    {"Power supply", OFFSETS(POWERSUPPLY)},
    {"Power unit", OFFSETS(POWERUNIT)},
    {"Cooling device", nullptr, 0},
    {"Other units-based sensor", nullptr, 0},
    {"Memory", OFFSETS(MEMORY)},
    {"Drive slot", OFFSETS(DRIVESLOT)},
    {"POST memory resize", nullptr, 0},
    {"System firmware", OFFSETS(FIRMWARE)},
    {"Event logging", OFFSETS(EVENTLOGGING)},
    {"Watchdog", OFFSETS(WATCHDOG1)},
    {"System event", OFFSETS(SYSTEMEVENT)},
    {"Critical interrupt", OFFSETS(CRITICALINTERRUPT)},
    {"Button/switch", OFFSETS(BUTTON)},
    {"Module/board", nullptr, 0},
    {"Microcontroller", nullptr, 0},
    {"Add-in card", nullptr, 0},
    {"Chassis", nullptr, 0},
    {"Chip set", nullptr, 0},
    {"Other FRU", nullptr, 0},
    {"Cable/interconnect", nullptr, 0},
    {"Terminator", nullptr, 0},
    {"System boot/restart", OFFSETS(BOOTRESTART)},
    {"Boot error", OFFSETS(BOOTERROR)},
    {"OS boot", nullptr, 0},
    {"OS stop/shutdown", OFFSETS(OSSTOP)},
    {"Slot/connector", OFFSETS(SLOT)},
    {"System ACPI power state", nullptr, 0},
    {"Watchdog 2", OFFSETS(WATCHDOG2)},
    {"Platform alert", nullptr, 0},
    {"Entity presence", OFFSETS(ENTITYPRESENCE)},
    {"Monitor ASIC", nullptr, 0},
    {"LAN", nullptr, 0},
    {"Management subsystem health", nullptr, 0},
    {"Battery", OFFSETS(BATTERY)},
    {"Session audit", nullptr, 0},
    {"Version change", nullptr, 0},
    {"FRU state", nullptr, 0},
};
constexpr int NUMSENSORTYPES =
    static_cast<int>(sizeof SENSORTYPES / sizeof SENSORTYPES[0]);

#undef OFFSETS

const char* const THRESHOLDS[] = {
    "lower non-critical going low",    "lower non-critical going high",
    "lower critical going low",        "lower critical going high",
    "lower non-recoverable going low", "lower non-recoverable going high",
    "upper non-critical going low",    "upper non-critical going high",
    "upper critical going low",        "upper critical going high",
    "upper non-recoverable going low", "upper non-recoverable going high"};
constexpr int NUMTHRESHOLDS =
    static_cast<int>(sizeof THRESHOLDS / sizeof THRESHOLDS[0]);

// Generic event types 02h-0Ch, by offset; the words of both directions are
// kept, so "state asserted" reads right whichever way it went.
const char* const GENERIC[][GENERICOFFSETS] = {
    {"transition to idle", "transition to active", "transition to busy"},
    {"state deasserted", "state asserted"},
    {"predictive failure deasserted", "predictive failure asserted"},
    {"limit not exceeded", "limit exceeded"},
    {"performance met", "performance lags"},
    {"transition to OK", "transition to non-critical from OK",
     "transition to critical from less severe",
     "transition to non-recoverable from less severe",
     "transition to non-critical from more severe",
     "transition to critical from non-recoverable",
     "transition to non-recoverable", "monitor", "informational"},
    {"device removed/absent", "device inserted/present"},
    {"device disabled", "device enabled"},
    {"transition to running", "transition to in test",
     "transition to power off", "transition to on line",
     "transition to off line", "transition to off duty",
     "transition to degraded", "transition to power save", "install error"},
    {"fully redundant", "redundancy lost", "redundancy degraded",
     "non-redundant: sufficient resources from redundant",
     "non-redundant: sufficient resources from insufficient",
     "non-redundant: insufficient resources", "redundancy degraded from fully",
     "redundancy degraded from non-redundant"},
    {"D0 power state", "D1 power state", "D2 power state", "D3 power state"},
};
constexpr int NUMGENERIC = static_cast<int>(sizeof GENERIC / sizeof GENERIC[0]);

const sensortype* typeentry(unsigned char type) {
  return type < NUMSENSORTYPES ? &SENSORTYPES[type] : nullptr;
}

const offsetword* specificword(const selevent& e) {
  const sensortype* t = typeentry(e.sensortype);
  if (!t || e.eventtype != SELSPECIFIC || e.offset >= t->count) return nullptr;
  return &t->offsets[e.offset];
}

bool isoem(const selevent& e) { return e.recordtype >= FIRSTOEMRECORD; }

// The sensor type by name, or its number when the table has none.
void appendtype(char* out, size_t outlen, size_t* pos, unsigned char type) {
  const sensortype* t = typeentry(type);
  if (t && type != 0)
    appendf(out, outlen, pos, "%s", t->name);
  else if (type >= FIRSTOEMSENSORTYPE)
    appendf(out, outlen, pos, "OEM sensor type 0x%02x", type);
  else
    appendf(out, outlen, pos, "sensor type 0x%02x", type);
}

}  // namespace

bool decodeselrecord(unsigned recordid, unsigned recordtype,
                     const unsigned char* data, size_t len, selevent* out) {
  if (len < SELDATALEN) return false;
  selevent e = {};
  e.recordid = recordid;
  e.recordtype = recordtype;
  unsigned long long stamp = data[0] | data[1] << 8 | data[2] << 16 |
                             static_cast<unsigned long long>(data[3]) << 24;
  e.timestamp = recordtype >= FIRSTUNSTAMPEDRECORD || stamp == UNSPECIFIEDTIME
                    ? SELNOTIME
                    : static_cast<long long>(stamp);
  if (recordtype < FIRSTOEMRECORD) {
    e.sensortype = data[7];
    e.sensornum = data[8];
    e.asserted = (data[9] & DEASSERTION) == 0;
    e.eventtype = data[9] & EVENTTYPEMASK;
    e.offset = data[10] & OFFSETMASK;
  }
  *out = e;
  return true;
}

const char* selseverityname(int severity) {
  switch (severity) {
    case SEL_CRITICAL:
      return "critical";
    case SEL_WARNING:
      return "warning";
    default:
      return "info";
  }
}

int selseverity(const selevent& e) {
  if (isoem(e) || !e.asserted) return SEL_INFO;
  if (e.eventtype == SELTHRESHOLD) return SEL_WARNING;
  const offsetword* w = specificword(e);
  return w ? w->severity : SEL_INFO;
}

size_t describeselevent(const selevent& e, char* out, size_t outlen) {
  size_t pos = 0;
  if (outlen) out[0] = '\0';
  if (isoem(e)) {
    appendf(out, outlen, &pos, "OEM record 0x%02x", e.recordtype);
    return pos;
  }
  appendtype(out, outlen, &pos, e.sensortype);
  appendf(out, outlen, &pos, ": ");
  if (const offsetword* w = specificword(e)) {
    appendf(out, outlen, &pos, "%s", w->words);
  } else if (e.eventtype == SELTHRESHOLD && e.offset < NUMTHRESHOLDS) {
    appendf(out, outlen, &pos, "%s", THRESHOLDS[e.offset]);
  } else if (e.eventtype >= FIRSTGENERIC &&
             e.eventtype < FIRSTGENERIC + NUMGENERIC &&
             e.offset < GENERICOFFSETS &&
             GENERIC[e.eventtype - FIRSTGENERIC][e.offset]) {
    appendf(out, outlen, &pos, "%s",
            GENERIC[e.eventtype - FIRSTGENERIC][e.offset]);
  } else {
    appendf(out, outlen, &pos, "offset %u", e.offset);
  }
  return pos;
}

size_t formatseltime(long long timestamp, char* out, size_t outlen) {
  size_t pos = 0;
  if (outlen) out[0] = '\0';
  if (timestamp < 0) {
    appendf(out, outlen, &pos, "no time stamp");
  } else if (timestamp <= SELPREINIT) {
    appendf(out, outlen, &pos, "BMC time +%lld s", timestamp);
  } else {
    // BMC clocks run in UTC (OpenIPMI sets them so).
    time_t t = static_cast<time_t>(timestamp);
    struct tm tm;
    char text[32];
    if (gmtime_r(&t, &tm) &&
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm))
      appendf(out, outlen, &pos, "%s", text);
  }
  return pos;
}

size_t formatselline(const char* nodename, const selevent& e,
                     const char* sensor, char* out, size_t outlen) {
  size_t pos = 0;
  if (outlen) out[0] = '\0';
  char when[40];
  formatseltime(e.timestamp, when, sizeof when);
  appendf(out, outlen, &pos, "Hardware event on %s at %s: ", nodename, when);
  if (sensor && sensor[0]) {
    appendf(out, outlen, &pos, "%s: ", sensor);
  } else if (!isoem(e)) {
    appendf(out, outlen, &pos, "sensor 0x%02x (", e.sensornum);
    appendtype(out, outlen, &pos, e.sensortype);
    appendf(out, outlen, &pos, "): ");
  }
  char words[128];
  describeselevent(e, words, sizeof words);
  appendf(out, outlen, &pos, "%s", words);
  if (!isoem(e))
    appendf(out, outlen, &pos, ", %s", e.asserted ? "asserted" : "deasserted");
  appendf(out, outlen, &pos, "\n");
  return pos;
}
