// System event log entries in words: the fields of a record, its sensor type
// and offset decoded from a fixed table, its severity class, and the line
// the daemon logs for it. Pure and bounded: no OpenIPMI, no allocation.
#ifndef KESTREL_IPMI_SELTEXT_H_
#define KESTREL_IPMI_SELTEXT_H_

#include <stddef.h>

// Severity classes; critical entries join the alert e-mail.
enum { SEL_INFO = 0, SEL_WARNING = 1, SEL_CRITICAL = 2, NUMSELSEVERITIES = 3 };

// A record without a time stamp of its own (OEM records E0h-FFh, or FFFFFFFFh).
constexpr long long SELNOTIME = -1;
// Time stamps up to this count seconds since the BMC started, not the epoch.
constexpr long long SELPREINIT = 0x20000000;
// Record type of a system event; C0h-DFh are OEM with a time stamp, E0h-FFh
// OEM without one.
constexpr unsigned SELSYSTEMEVENT = 0x02;
// Event/reading type of threshold and of sensor-specific events.
constexpr unsigned char SELTHRESHOLD = 0x01;
constexpr unsigned char SELSPECIFIC = 0x6f;

// One record as the daemon reads it.
struct selevent {
  unsigned recordid;
  unsigned recordtype;
  long long timestamp;  // seconds; SELNOTIME when the record carries none
  unsigned char sensortype;
  unsigned char sensornum;
  unsigned char eventtype;  // event/reading type, direction bit removed
  unsigned char offset;     // event offset, 0-15
  bool asserted;
};

// Reads the 13 data bytes of a SEL record (time stamp, generator, format
// revision, sensor type and number, direction and type, event data) into
// *out. False, leaving *out untouched, when fewer than 13 bytes are given.
// An OEM record keeps only its id, type and, where it has one, time stamp.
bool decodeselrecord(unsigned recordid, unsigned recordtype,
                     const unsigned char* data, size_t len, selevent* out);

// "info", "warning" or "critical".
const char* selseverityname(int severity);

// The class of an entry: what the table says for an asserted sensor-specific
// offset, warning for threshold crossings (the readings' limits alert on
// those already), info for every deassertion and everything unknown.
int selseverity(const selevent& e);

// The event in words, at most outlen - 1 characters: "Memory: uncorrectable
// ECC", "Temperature: upper critical going high", "Memory: offset 14",
// "sensor type 0xc5: offset 3", "OEM record 0xd0". Returns the length.
size_t describeselevent(const selevent& e, char* out, size_t outlen);

// The entry's time: "2026-12-08 10:05:01 UTC", "BMC time +1289 s" (before
// the BMC's clock was set) or "no time stamp". Returns the length.
size_t formatseltime(long long timestamp, char* out, size_t outlen);

// The line the daemon logs for an entry, with its line feed:
// "Hardware event on node01 at <time>: <sensor>: <event in words>, asserted".
// `sensor` is the name the BMC gives it; null or empty names it by number
// and type instead: "sensor 0x40 (Memory)". Returns the length.
size_t formatselline(const char* nodename, const selevent& e,
                     const char* sensor, char* out, size_t outlen);

#endif  // KESTREL_IPMI_SELTEXT_H_
